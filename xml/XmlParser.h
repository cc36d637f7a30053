// Reader for XML settings files: a recursive-descent parser over the whole
// document held in memory, for a narrow dialect (elements, double-quoted
// attributes, text values, comments, an optional byte order mark and XML
// declaration). It stops at the first error and remembers its position.
//
//   KParser parser;
//   KXmlNode root;
//   if (parser.ParseFile("settings.xml", &root)) ... root.FindNodeAttr(...)
#pragma once

#include <cstdio>

#include "KXmlNodeList.h"

// Size of an open stream in bytes (the stream is left at its start), or 0
// for a null stream or when seeking fails.
long FileSize(FILE* stream);
// Size of the file at `path`, or 0 when it cannot be opened.
long FileSize(const char* path);
// Reads `size` bytes from `stream` into `buffer` (allocated with new[] by
// the caller, at least `size` bytes). On failure the buffer is released and
// set to null and the size to 0.
bool ReadFileBuffer(FILE* stream, char*& buffer, long& size);

class KParser {
public:
  enum : int {
    cNameSize = KXmlNodeList::cNameSize,
    cMaxDepth = 100,     // deepest element nesting accepted
    cContextLength = 80  // characters shown after an error position
  };

  KParser();
  ~KParser();

  KParser(const KParser&) = delete;
  KParser& operator=(const KParser&) = delete;

  // Reads and parses the file into `root` (the root element's name goes
  // into `root` itself, its children below it). A null root only checks the
  // syntax. Reports a missing or unreadable file and the position of a
  // syntax error on stdout.
  bool ParseFile(const char* path, KXmlNode* root);

  // Takes ownership of `text` (allocated with new[], NUL-terminated, may be
  // null) and starts reading it from its beginning.
  void Initialize(const char* text);

  // Steps over a byte order mark and an XML declaration at the very start,
  // then over text and comments up to the first element.
  bool ParseXmlHeader();

  // Reads one element with everything inside it into `parent`.
  bool GenerateFromXml(KXmlNode* parent);

  bool Ok() const { return mOk; }
  int ErrorPos() const { return mErrorPos; }
  int Length() const { return mLength; }

protected:
  // The reading steps. Each one does nothing (and returns false, 0 or a zero
  // byte) once an error has occurred, so the first error position stays.
  char SkipSpaces();
  void SetError(int pos);
  void NeedChar(char c);
  bool TestChar(char c);
  bool IsActualPositionValid();
  int GetIdentifier(char* buffer, int size);
  int GetTagName(int& pos, char (&name)[cNameSize]);
  void GetAttribute();
  bool HasSubBody();
  bool StartNewBody();
  void TestBodyEnd(const char (&name)[cNameSize]);

  int mLength;
  const char* mText;
  int mPos;
  int mErrorPos;
  int mDepth;
  bool mOk;
  int mAttrPos;
  int mAttrValuePos;
  int mAttrValueLen;
  char mAttrName[cNameSize];

private:
  bool StartsWith(const char* literal) const;
};
