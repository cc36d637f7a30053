#include "KXmlNodeList.h"

#include <cstring>
#include <new>

namespace {

// Heap copy of `length` characters plus a terminating zero; null when the
// memory cannot be had.
char* CopyText(const char* text, std::size_t length) {
  char* copy = new (std::nothrow) char[length + 1];
  if (copy != nullptr) {
    std::memcpy(copy, text, length);
    copy[length] = 0;
  }
  return copy;
}

struct TEntity {
  const char* mText;
  std::size_t mLength;
  char mChar;
};

// The entities decoded in attribute values. "&lt;" and "&gt;" are left as
// they are: the parser refuses '<' and '>' inside a value, so a settings
// file cannot hold them otherwise.
const TEntity cEntities[] = {
    {"&amp;", 5, '&'},
    {"&apos;", 6, '\''},
    {"&quot;", 6, '"'},
};

} // namespace

KXmlAttrList::KXmlAttrList() : mNext(nullptr), mName(nullptr), mValue(nullptr) {}

KXmlAttrList::~KXmlAttrList() {
  delete[] mName;
  delete[] mValue;
  // Unlink the rest of the chain before deleting it, one attribute at a
  // time: a recursive delete would need one stack frame per attribute.
  KXmlAttrList* attr = mNext;
  mNext = nullptr;
  while (attr != nullptr) {
    KXmlAttrList* next = attr->mNext;
    attr->mNext = nullptr;
    delete attr;
    attr = next;
  }
}

KXmlNodeList::KXmlNodeList() : mFirstNode(nullptr), mFirstAttr(nullptr), mValue(nullptr) {
  mName[0] = 0;
}

KXmlNodeList::~KXmlNodeList() { Init(); }

void KXmlNodeList::Init() {
  mName[0] = 0;
  KXmlNode* node = mFirstNode;
  mFirstNode = nullptr;
  while (node != nullptr) {
    KXmlNode* next = node->mNext;
    delete node;
    node = next;
  }
  delete mFirstAttr;
  mFirstAttr = nullptr;
  delete[] mValue;
  mValue = nullptr;
}

void KXmlNodeList::SetNodeValue(const char* text, int length) {
  delete[] mValue;
  mValue = nullptr;
  if (text != nullptr && length >= 1)
    mValue = CopyText(text, static_cast<std::size_t>(length));
}

void KXmlNodeList::AppendAttr(const char* name, const char* value, int length) {
  KXmlAttrList* attr = new (std::nothrow) KXmlAttrList;
  if (attr == nullptr)
    return;
  if (name != nullptr && name[0] != 0)
    attr->mName = CopyText(name, std::strlen(name));

  if (value != nullptr && length > 0) {
    char buffer[cAttrValueSize];
    std::size_t count = static_cast<std::size_t>(length);
    if (count > sizeof(buffer) - 1)
      count = sizeof(buffer) - 1;
    std::memcpy(buffer, value, count);

    // Decode in place. Every entity test is bounded by the characters left
    // in the copied value, so an '&' near its end never looks beyond it.
    std::size_t out = 0;
    std::size_t in = 0;
    while (in < count) {
      char c = buffer[in];
      std::size_t step = 1;
      if (c == '&') {
        for (const TEntity& e : cEntities) {
          if (count - in >= e.mLength && std::memcmp(buffer + in, e.mText, e.mLength) == 0) {
            c = e.mChar;
            step = e.mLength;
            break;
          }
        }
      }
      buffer[out++] = c;
      in += step;
    }
    attr->mValue = CopyText(buffer, out);
  }

  KXmlAttrList** link = &mFirstAttr;
  while (*link != nullptr)
    link = &(*link)->mNext;
  *link = attr;
}

const char* KXmlNodeList::FindAttr(const char* name) const {
  if (name == nullptr)
    return nullptr;
  for (const KXmlAttrList* attr = mFirstAttr; attr != nullptr; attr = attr->mNext) {
    if (attr->mName != nullptr && std::strcmp(attr->mName, name) == 0)
      return attr->mValue;
  }
  return nullptr;
}

const char* KXmlNodeList::FindNodeAttr(const char* tag, const char* attr) const {
  const KXmlNode* node = Find(tag);
  return node != nullptr ? node->FindAttr(attr) : nullptr;
}

void KXmlNodeList::Append(KXmlNode* child) {
  if (child == nullptr)
    return;
  child->mNext = nullptr;
  KXmlNode** link = &mFirstNode;
  while (*link != nullptr)
    link = &(*link)->mNext;
  *link = child;
}

bool KXmlNodeList::GetNextNode(const KXmlNode*& cursor) const {
  cursor = cursor == nullptr ? mFirstNode : cursor->mNext;
  return cursor != nullptr;
}

bool KXmlNodeList::GetPrevNode(const KXmlNode*& cursor) const {
  if (cursor == mFirstNode) {
    cursor = nullptr;
    return false;
  }
  const KXmlNode* node = mFirstNode;
  while (node != nullptr && node->mNext != cursor)
    node = node->mNext;
  cursor = node;
  return cursor != nullptr;
}

KXmlNode* KXmlNodeList::GetLastNode() const {
  KXmlNode* node = mFirstNode;
  while (node != nullptr && node->mNext != nullptr)
    node = node->mNext;
  return node;
}

KXmlAttrList* KXmlNodeList::GetPrevAttr(const KXmlAttrList* attr) const {
  if (attr == mFirstAttr)
    return nullptr;
  KXmlAttrList* prev = mFirstAttr;
  while (prev != nullptr && prev->mNext != attr)
    prev = prev->mNext;
  return prev;
}

KXmlNode* KXmlNodeList::Find(const char* name) const { return FindNext(name, mFirstNode); }

KXmlNode* KXmlNodeList::FindNext(const char* name, KXmlNode* start) {
  if (name == nullptr || name[0] == 0)
    return nullptr;
  for (KXmlNode* node = start; node != nullptr; node = node->mNext) {
    if (std::strcmp(node->mName, name) == 0)
      return node;
  }
  return nullptr;
}

KXmlNode::KXmlNode() : mNext(nullptr) {}

KXmlNode::~KXmlNode() = default;
