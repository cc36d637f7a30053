// libFuzzer target for the settings file reader: arbitrary bytes are parsed
// the way ParseFile parses a file, then the tree is walked, queried and
// destroyed. Besides the sanitizers' findings, a broken invariant aborts.
//
//   clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -Ixml \
//     xml/KXmlNodeList.cpp xml/XmlParser.cpp tests/xml/fuzz_xml.cpp -o fuzz_xml
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "XmlParser.h"

namespace {

void Check(bool condition) {
  if (!condition)
    std::abort();
}

char* NewText(const uint8_t* data, std::size_t size) {
  char* text = new char[size + 1];
  std::memcpy(text, data, size);
  text[size] = 0;
  return text;
}

void Walk(const KXmlNodeList& node, int depth) {
  Check(depth <= KParser::cMaxDepth);
  Check(std::strlen(node.mName) < KXmlNodeList::cNameSize - 1);
  Check(node.mValue == nullptr || node.mValue[0] != 0);

  int forward = 0;
  const KXmlNode* cursor = nullptr;
  while (node.GetNextNode(cursor)) {
    ++forward;
    // Every child is found by its own name, at or before its place.
    KXmlNode* found = node.Find(cursor->mName);
    Check(cursor->mName[0] == 0 ? found == nullptr
                                : found != nullptr && std::strcmp(found->mName, cursor->mName) == 0);
    Walk(*cursor, depth + 1);
  }
  int backward = 0;
  for (cursor = nullptr; node.GetPrevNode(cursor);)
    ++backward;
  Check(forward == backward);
  Check((node.GetLastNode() == nullptr) == (forward == 0));

  for (const KXmlAttrList* attr = node.mFirstAttr; attr != nullptr; attr = attr->mNext) {
    Check(node.GetPrevAttr(attr->mNext) == attr);
    if (attr->mValue != nullptr)
      Check(std::strlen(attr->mValue) < KXmlNodeList::cAttrValueSize);
    if (attr->mName != nullptr) {
      const char* value = node.FindAttr(attr->mName);
      Check(value == nullptr || std::strlen(value) < KXmlNodeList::cAttrValueSize);
    }
  }
  // The logger's own queries.
  node.FindNodeAttr("device", "Name");
  node.FindNodeAttr("mysql", "Host");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  KParser parser;
  KXmlNode root;
  parser.Initialize(NewText(data, size));
  parser.ParseXmlHeader();
  const bool ok = parser.GenerateFromXml(&root);
  Check(ok == parser.Ok());
  Check(ok || (parser.ErrorPos() >= 0 && parser.ErrorPos() <= parser.Length()));
  Walk(root, 1);

  // Checking the syntax without a tree gives the same verdict.
  KParser checker;
  checker.Initialize(NewText(data, size));
  checker.ParseXmlHeader();
  Check(checker.GenerateFromXml(nullptr) == ok);
  Check(ok || checker.ErrorPos() == parser.ErrorPos());

  // Attribute decoding straight from the raw bytes, entities cut anywhere.
  const int length = size > 2048 ? 2048 : static_cast<int>(size);
  root.AppendAttr("raw", reinterpret_cast<const char*>(data), length);
  const KXmlAttrList* last = root.GetPrevAttr(nullptr);
  Check(last != nullptr && (length == 0) == (last->mValue == nullptr));

  root.Init();
  Check(root.mFirstNode == nullptr && root.mFirstAttr == nullptr && root.mValue == nullptr);
  return 0;
}
