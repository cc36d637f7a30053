#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "KXmlNodeList.h"

namespace {

KXmlNode* AddChild(KXmlNodeList& parent, const char* name) {
  KXmlNode* node = new KXmlNode;
  std::snprintf(node->mName, sizeof(node->mName), "%s", name);
  parent.Append(node);
  return node;
}

TEST(XmlNodeList, FindAndFindNextWalkDirectChildrenInOrder) {
  KXmlNode root;
  KXmlNode* first = AddChild(root, "device");
  KXmlNode* sleep = AddChild(root, "sleep");
  KXmlNode* second = AddChild(root, "device");
  AddChild(*sleep, "log_file")->AppendAttr("Name", "x", 1);

  EXPECT_EQ(root.Find("device"), first);
  EXPECT_EQ(KXmlNodeList::FindNext("device", first->mNext), second);
  EXPECT_EQ(KXmlNodeList::FindNext("device", second->mNext), nullptr);
  EXPECT_EQ(root.Find("sleep"), sleep);
  EXPECT_EQ(root.Find("Device"), nullptr);
  EXPECT_EQ(root.Find(""), nullptr);
  EXPECT_EQ(root.Find(nullptr), nullptr);
  // Grandchildren are not searched.
  EXPECT_EQ(root.Find("log_file"), nullptr);
  EXPECT_EQ(root.FindNodeAttr("log_file", "Name"), nullptr);
  EXPECT_STREQ(sleep->FindNodeAttr("log_file", "Name"), "x");
}

TEST(XmlNodeList, FindAttrFirstMatchEmptyAndNamelessAttributes) {
  KXmlNode node;
  node.AppendAttr("Name", "", 0);
  node.AppendAttr("Name", "second", 6);
  node.AppendAttr("Host", "h", 1);
  node.AppendAttr("", "nameless", 8);
  node.AppendAttr(nullptr, "nameless", 8);

  // The first Name has no value, and it is the one that counts.
  EXPECT_EQ(node.FindAttr("Name"), nullptr);
  EXPECT_STREQ(node.FindAttr("Host"), "h");
  EXPECT_EQ(node.FindAttr("host"), nullptr);
  EXPECT_EQ(node.FindAttr("Missing"), nullptr);
  EXPECT_EQ(node.FindAttr(""), nullptr);
  EXPECT_EQ(node.FindAttr(nullptr), nullptr);
}

struct DecodeCase {
  const char* value;
  int length; // -1: the whole text
  const char* stored; // nullptr: no value
};

TEST(XmlNodeList, AppendAttrDecodesWithinTheGivenLength) {
  const DecodeCase cases[] = {
      {"a&amp;b&quot;c&apos;d&lt;e", -1, "a&b\"c'd&lt;e"},
      {"&amp;&amp;", -1, "&&"},
      {"&&amp;", -1, "&&"},
      {"&amp", -1, "&amp"},
      {"&ap;&gt;", -1, "&ap;&gt;"},
      // The entity continues after the given length: it is not decoded.
      {"x&amp;", 4, "x&am"},
      {"x&quot;", 6, "x&quot"},
      {"abc", 0, nullptr},
      {"abc", -3, nullptr},
      {nullptr, 3, nullptr},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "(null)");
    KXmlNode node;
    const int length = c.length == -1 ? static_cast<int>(std::strlen(c.value)) : c.length;
    node.AppendAttr("v", c.value, length);
    ASSERT_NE(node.mFirstAttr, nullptr);
    EXPECT_STREQ(node.mFirstAttr->mValue, c.stored);
  }
}

TEST(XmlNodeList, AppendAttrKeepsTheFirst1023Characters) {
  KXmlNode node;
  const std::string longValue(2000, 'a');
  node.AppendAttr("v", longValue.c_str(), 2000);
  EXPECT_EQ(std::string(node.FindAttr("v")), std::string(1023, 'a'));

  // An entity cut by the limit stays as the characters that were kept.
  const std::string cut = std::string(1020, 'b') + "&amp;tail";
  node.AppendAttr("w", cut.c_str(), static_cast<int>(cut.size()));
  EXPECT_EQ(std::string(node.FindAttr("w")), std::string(1020, 'b') + "&am");
}

TEST(XmlNodeList, CursorsWalkForwardAndBackward) {
  KXmlNode root;
  const KXmlNode* cursor = nullptr;
  EXPECT_FALSE(root.GetNextNode(cursor));
  EXPECT_FALSE(root.GetPrevNode(cursor));
  EXPECT_EQ(root.GetLastNode(), nullptr);

  KXmlNode* a = AddChild(root, "a");
  KXmlNode* b = AddChild(root, "b");
  KXmlNode* c = AddChild(root, "c");
  EXPECT_EQ(root.GetLastNode(), c);

  std::string forward;
  for (cursor = nullptr; root.GetNextNode(cursor);)
    forward += cursor->mName;
  EXPECT_EQ(forward, "abc");
  std::string backward;
  for (cursor = nullptr; root.GetPrevNode(cursor);)
    backward += cursor->mName;
  EXPECT_EQ(backward, "cba");

  cursor = a;
  EXPECT_FALSE(root.GetPrevNode(cursor));
  EXPECT_EQ(cursor, nullptr);
  cursor = c;
  EXPECT_TRUE(root.GetPrevNode(cursor));
  EXPECT_EQ(cursor, b);

  KXmlNode stranger;
  cursor = &stranger;
  EXPECT_FALSE(root.GetPrevNode(cursor));
  EXPECT_EQ(cursor, nullptr);
}

TEST(XmlNodeList, GetPrevAttr) {
  KXmlNode node;
  EXPECT_EQ(node.GetPrevAttr(nullptr), nullptr);
  node.AppendAttr("a", "1", 1);
  node.AppendAttr("b", "2", 1);
  node.AppendAttr("c", "3", 1);
  KXmlAttrList* a = node.mFirstAttr;
  KXmlAttrList* b = a->mNext;
  KXmlAttrList* c = b->mNext;
  EXPECT_EQ(node.GetPrevAttr(a), nullptr);
  EXPECT_EQ(node.GetPrevAttr(c), b);
  EXPECT_EQ(node.GetPrevAttr(nullptr), c);
  KXmlAttrList stranger;
  EXPECT_EQ(node.GetPrevAttr(&stranger), nullptr);
}

TEST(XmlNodeList, SetNodeValueCopiesExactlyTheLength) {
  KXmlNode node;
  node.SetNodeValue("abcdef", 3);
  EXPECT_STREQ(node.mValue, "abc");
  node.SetNodeValue("xyz", 0);
  EXPECT_EQ(node.mValue, nullptr);
  node.SetNodeValue("xyz", 2);
  node.SetNodeValue(nullptr, 2);
  EXPECT_EQ(node.mValue, nullptr);
}

// Counts its own destruction so the tests can see each child go exactly once.
class KCountedNode : public KXmlNode {
public:
  explicit KCountedNode(int& deleted) : mDeleted(deleted) {}
  ~KCountedNode() override { ++mDeleted; }
  int& mDeleted;
};

TEST(XmlNodeList, InitAndDestructionReleaseEveryChildOnce) {
  int deleted = 0;
  {
    KXmlNode root;
    for (int i = 0; i < 3; ++i) {
      KCountedNode* child = new KCountedNode(deleted);
      child->AppendAttr("Name", "v", 1);
      child->SetNodeValue("text", 4);
      for (int j = 0; j < 2; ++j)
        child->Append(new KCountedNode(deleted));
      root.Append(child);
    }
    root.AppendAttr("a", "1", 1);
    root.Init();
    EXPECT_EQ(deleted, 9);
    EXPECT_EQ(root.mFirstNode, nullptr);
    EXPECT_EQ(root.mFirstAttr, nullptr);
    EXPECT_STREQ(root.mName, "");

    // The emptied element can be filled again; the destructor frees it.
    root.Append(new KCountedNode(deleted));
    root.AppendAttr("b", "2", 1);
    EXPECT_STREQ(root.FindAttr("b"), "2");
  }
  EXPECT_EQ(deleted, 10);
}

TEST(XmlNodeList, LongAttributeChainIsDeletedWithoutDeepRecursion) {
  // A chain this long would overflow the stack if each attribute deleted
  // its successor recursively.
  KXmlNode node;
  KXmlAttrList** link = &node.mFirstAttr;
  for (int i = 0; i < 1000000; ++i) {
    *link = new KXmlAttrList;
    link = &(*link)->mNext;
  }
  node.Init();
  EXPECT_EQ(node.mFirstAttr, nullptr);
}

TEST(XmlNodeList, ValueLimitBoundary) {
  // 1023 characters are kept whole; from 1024 on the value is cut to 1023.
  const int lengths[] = {1022, 1023, 1024, 1025};
  for (int length : lengths) {
    SCOPED_TRACE(length);
    const std::string value(static_cast<std::size_t>(length), 'v');
    KXmlNode node;
    node.AppendAttr("v", value.c_str(), length);
    ASSERT_NE(node.FindAttr("v"), nullptr);
    EXPECT_EQ(std::strlen(node.FindAttr("v")), static_cast<std::size_t>(length < 1023 ? length : 1023));
  }
}

TEST(XmlNodeList, AppendTakesTheChildAloneAndInitClearsTheName) {
  KXmlNode root;
  std::snprintf(root.mName, sizeof(root.mName), "%s", "cfg");
  KXmlNode* loose = new KXmlNode;
  KXmlNode* child = new KXmlNode;
  child->mNext = loose; // a stale link from an earlier chain
  root.Append(child);
  const bool alone = child->mNext == nullptr;
  EXPECT_TRUE(alone);
  if (!alone)
    child->mNext = nullptr; // keep `loose` out of the root's chain
  delete loose;
  EXPECT_EQ(root.GetLastNode(), child);

  // A child left without a name (a parse that failed at a tag name) is
  // never found by an empty name.
  AddChild(root, "");
  EXPECT_EQ(root.Find(""), nullptr);

  root.Init();
  EXPECT_STREQ(root.mName, "");
}

} // namespace
