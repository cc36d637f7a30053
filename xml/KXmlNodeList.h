// Element tree of an XML settings file: an element (KXmlNodeList) with its
// name, text value, attribute chain and child chain; a child element
// (KXmlNode) linked to its next sibling; one attribute (KXmlAttrList) linked
// to the next one.
//
// Ownership: an element owns its children, its attributes and its value; an
// attribute owns its name, its value and every attribute after it. Children
// are heap objects; the root may live anywhere. All lookups are exact,
// case-sensitive, first-match searches over one level.
#pragma once

class KXmlNode;

class KXmlAttrList {
public:
  KXmlAttrList* mNext; // owned: the rest of the chain
  char* mName;         // owned, null when the name was empty
  char* mValue;        // owned, entities decoded, null when the value was empty

  KXmlAttrList();
  // Releases name and value and deletes the rest of the chain.
  ~KXmlAttrList();

  KXmlAttrList(const KXmlAttrList&) = delete;
  KXmlAttrList& operator=(const KXmlAttrList&) = delete;
};

class KXmlNodeList {
public:
  enum : int {
    cNameSize = 64,           // mName including its terminating zero
    cAttrValueSize = 1024     // decoding buffer of one attribute value
  };

  KXmlNode* mFirstNode;      // owned child chain, linked through mNext
  KXmlAttrList* mFirstAttr;  // owned attribute chain
  char* mValue;              // owned text value, null when there is none
  char mName[cNameSize];     // tag name, empty after construction

  KXmlNodeList();
  virtual ~KXmlNodeList();

  KXmlNodeList(const KXmlNodeList&) = delete;
  KXmlNodeList& operator=(const KXmlNodeList&) = delete;

  // Back to the empty state: no name, children, attributes or value.
  void Init();

  // Stores a copy of `length` characters of `text` as the value; a null text
  // or a length below 1 leaves the element without a value.
  void SetNodeValue(const char* text, int length);

  // Appends an attribute. The value (at most cAttrValueSize - 1 characters
  // of it) is stored with "&amp;", "&apos;" and "&quot;" decoded.
  void AppendAttr(const char* name, const char* value, int length);

  // Value of the first attribute with this name, or null (also when that
  // attribute has an empty value).
  const char* FindAttr(const char* name) const;

  // FindAttr(attr) of the first direct child named `tag`, or null.
  const char* FindNodeAttr(const char* tag, const char* attr) const;

  // Links `child` at the end of the child chain and takes ownership of it.
  void Append(KXmlNode* child);

  // Cursor walks: a null cursor starts at the first (Next) or last (Prev)
  // child. The result tells whether the cursor now stands on a child.
  bool GetNextNode(const KXmlNode*& cursor) const;
  bool GetPrevNode(const KXmlNode*& cursor) const;
  KXmlNode* GetLastNode() const;

  // Attribute before `attr` (the last one for null), or null when `attr` is
  // the first attribute or not in the chain.
  KXmlAttrList* GetPrevAttr(const KXmlAttrList* attr) const;

  // First direct child named `name`, or null (also for a null or empty name).
  KXmlNode* Find(const char* name) const;

  // First node named `name` from `start` (included) along the sibling links.
  // Continue a search after node n with FindNext(name, n->mNext).
  static KXmlNode* FindNext(const char* name, KXmlNode* start);
};

class KXmlNode : public KXmlNodeList {
public:
  KXmlNode* mNext; // next sibling, owned by the parent

  KXmlNode();
  ~KXmlNode() override;
};
