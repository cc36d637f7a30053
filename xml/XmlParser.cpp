#include "XmlParser.h"

#include "Report.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <sys/stat.h>

namespace {

// Largest piece handed to one fread call.
const long cReadPiece = 0x800000;

bool IsSpace(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u >= 1 && u <= 32;
}

bool IsIdentifierStart(char c) {
  return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsIdentifierChar(char c) { return IsIdentifierStart(c) || (c >= '0' && c <= '9'); }

} // namespace

long FileSize(FILE* stream) {
  if (stream == nullptr || std::fseek(stream, 0, SEEK_END) != 0)
    return 0;
  const long size = std::ftell(stream);
  if (std::fseek(stream, 0, SEEK_SET) != 0 || size < 0)
    return 0;
  return size;
}

long FileSize(const char* path) {
  if (path == nullptr)
    return 0;
  FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr)
    return 0;
  const long size = FileSize(stream);
  std::fclose(stream);
  return size;
}

bool ReadFileBuffer(FILE* stream, char*& buffer, long& size) {
  bool ok = stream != nullptr && buffer != nullptr && size >= 0;
  long done = 0;
  while (ok && done < size) {
    const long piece = size - done < cReadPiece ? size - done : cReadPiece;
    const std::size_t got = std::fread(buffer + done, 1, static_cast<std::size_t>(piece), stream);
    done += static_cast<long>(got);
    ok = got == static_cast<std::size_t>(piece);
  }
  if (!ok) {
    delete[] buffer;
    buffer = nullptr;
    size = 0;
  }
  return ok;
}

KParser::KParser() : mText(nullptr) { Initialize(nullptr); }

KParser::~KParser() { delete[] mText; }

bool KParser::ParseFile(const char* path, KXmlNode* root) {
  FILE* stream = path != nullptr ? std::fopen(path, "rb") : nullptr;
  if (stream == nullptr) {
    // A file that is there but may not be read (the service user and a
    // settings file of another group) says why.
    int err = path != nullptr ? errno : ENOENT;
    if (err == ENOENT || err == ENOTDIR) {
      NReport::Failure("file \"%s\" not found\n", path != nullptr ? path : "");
    } else {
      const char* name = strerrorname_np(err);
      const char* text = strerrordesc_np(err);
      NReport::Failure("file \"%s\" not readable: %s (%s)\n", path, name != nullptr ? name : "?",
                  text != nullptr ? text : "?");
    }
    return false;
  }

  // A directory or a device opens as a stream too, but has no size to take
  // (a directory may even claim a huge one or none at all). The size is also
  // checked against the int positions the parser works with.
  struct stat info;
  const bool regular = fstat(fileno(stream), &info) == 0 && S_ISREG(info.st_mode);
  long size = FileSize(stream);
  char* buffer = nullptr;
  if (regular && size >= 0 && size < INT_MAX)
    buffer = new (std::nothrow) char[static_cast<std::size_t>(size) + 1];
  bool read = buffer != nullptr && ReadFileBuffer(stream, buffer, size);
  // One more read must not fail: a directory opens and may report a size of
  // 0, but cannot be read.
  if (read && std::fgetc(stream) == EOF && std::ferror(stream) != 0) {
    delete[] buffer;
    buffer = nullptr;
    read = false;
  }
  std::fclose(stream);
  if (!read) {
    delete[] buffer;
    NReport::Failure("file \"%s\" not read\n", path);
    return false;
  }

  buffer[size] = 0;
  Initialize(buffer);
  ParseXmlHeader();
  GenerateFromXml(root);
  if (mOk)
    return true;
  if (mErrorPos < 0 || mErrorPos >= mLength) {
    // An empty or cut-off file: there is no text to show, but the failure
    // still needs a word.
    NReport::Failure("xml-parser error: unexpected end of file\n");
    return false;
  }

  int count = mLength - mErrorPos;
  if (count > cContextLength)
    count = cContextLength;
  NReport::Failure("xml-parser error pos: %.*s\n", count, mText + mErrorPos);
  return false;
}

void KParser::Initialize(const char* text) {
  if (text != mText)
    delete[] mText;
  mText = text;
  const std::size_t length = text != nullptr ? std::strlen(text) : 0;
  mOk = text != nullptr;
  mLength = static_cast<int>(length);
  if (length >= static_cast<std::size_t>(INT_MAX)) {
    // Positions are ints: a text this long is refused, not wrapped.
    mOk = false;
    mLength = 0;
  }
  mPos = 0;
  mDepth = 0;
  mErrorPos = 0;
  mAttrPos = 0;
  mAttrValuePos = 0;
  mAttrValueLen = 0;
  mAttrName[0] = 0;
}

bool KParser::StartsWith(const char* literal) const {
  // strncmp stops at the text's terminating zero, so this never reads past it.
  return std::strncmp(mText + mPos, literal, std::strlen(literal)) == 0;
}

char KParser::SkipSpaces() {
  if (!mOk)
    return 0;
  while (IsSpace(mText[mPos]))
    ++mPos;
  return mText[mPos];
}

void KParser::SetError(int pos) {
  if (!mOk)
    return;
  mOk = false;
  mErrorPos = pos < 0 ? mPos : pos;
}

void KParser::NeedChar(char c) {
  if (!mOk)
    return;
  if (c != 0 && SkipSpaces() == c)
    ++mPos;
  else
    SetError(-1);
}

bool KParser::TestChar(char c) {
  if (!mOk || c == 0 || SkipSpaces() != c)
    return false;
  ++mPos;
  return true;
}

bool KParser::IsActualPositionValid() {
  if (!mOk)
    return false;
  const char c = SkipSpaces();
  return c != 0 && c != '<' && c != '/' && c != '>';
}

int KParser::GetIdentifier(char* buffer, int size) {
  if (buffer != nullptr && size > 0)
    buffer[0] = 0;
  if (!mOk)
    return 0;
  SkipSpaces();
  int count = 0;
  int stored = 0;
  if (IsIdentifierStart(mText[mPos])) {
    while (IsIdentifierChar(mText[mPos])) {
      // Names longer than the buffer are consumed whole but stored cut.
      if (buffer != nullptr && stored < size - 1)
        buffer[stored++] = mText[mPos];
      ++mPos;
      ++count;
    }
  }
  if (buffer != nullptr && size > 0)
    buffer[stored] = 0;
  if (count == 0)
    SetError(-1);
  return count;
}

int KParser::GetTagName(int& pos, char (&name)[cNameSize]) {
  name[0] = 0;
  NeedChar('<');
  SkipSpaces();
  pos = mPos;
  return GetIdentifier(name, cNameSize - 1);
}

void KParser::GetAttribute() {
  if (!mOk) {
    mAttrName[0] = 0;
    mAttrPos = 0;
    mAttrValuePos = 0;
    mAttrValueLen = 0;
    return;
  }
  mAttrPos = mPos;
  GetIdentifier(mAttrName, cNameSize - 1);
  NeedChar('=');
  NeedChar('"');
  mAttrValuePos = mPos;
  mAttrValueLen = 0;
  while (mOk) {
    const char c = mText[mPos];
    if (c == '"') {
      ++mPos;
      break;
    }
    if (c == 0 || c == '<' || c == '>') {
      SetError(mAttrValuePos);
      break;
    }
    ++mAttrValueLen;
    ++mPos;
  }
}

bool KParser::HasSubBody() {
  const bool slash = TestChar('/');
  NeedChar('>');
  return mOk && !slash;
}

bool KParser::StartNewBody() {
  if (!mOk)
    return false;
  for (;;) {
    const int start = mPos;
    while (mText[mPos] != 0 && mText[mPos] != '<' && mText[mPos] != '>')
      ++mPos;
    if (mText[mPos] != '<') {
      mPos = start;
      return false;
    }
    if (StartsWith("<!--")) {
      const int comment = mPos;
      mPos += 4;
      SkipSpaces();
      while (mText[mPos] != 0 && !StartsWith("-->"))
        ++mPos;
      if (mText[mPos] == 0) {
        // Unterminated comment: the search ends with the text.
        SetError(comment);
        return false;
      }
      mPos += 3;
      continue;
    }
    int next = mPos + 1;
    while (IsSpace(mText[next]))
      ++next;
    return mText[next] != '/';
  }
}

void KParser::TestBodyEnd(const char (&name)[cNameSize]) {
  NeedChar('<');
  NeedChar('/');
  SkipSpaces();
  const int pos = mPos;
  char endName[cNameSize];
  GetIdentifier(endName, cNameSize - 1);
  if (mOk && std::strcmp(endName, name) != 0)
    SetError(pos);
  NeedChar('>');
}

bool KParser::ParseXmlHeader() {
  if (!mOk || mLength == 0)
    return false;
  if (mPos == 0 && StartsWith("\xEF\xBB\xBF"))
    mPos = 3;
  if (mText[mPos] == '<' && mText[mPos + 1] == '?') {
    NeedChar('<');
    NeedChar('?');
    SkipSpaces();
    if (StartsWith("xml"))
      mPos += 3;
    else
      SetError(-1);
    if (mOk) {
      const int search = mPos;
      while (mText[mPos] != 0 && mText[mPos] != '?')
        ++mPos;
      if (mText[mPos] == '?')
        ++mPos;
      else
        SetError(search);
    }
    NeedChar('>');
  }
  return StartNewBody();
}

bool KParser::GenerateFromXml(KXmlNode* parent) {
  if (!mOk)
    return false;
  ++mDepth;
  if (mDepth > cMaxDepth) {
    // Nesting this deep is no settings file; refusing it keeps the
    // recursion (and the tree's destruction) within a small stack.
    SkipSpaces();
    SetError(-1);
    --mDepth;
    return false;
  }

  char name[cNameSize];
  int namePos = 0;
  GetTagName(namePos, name);

  KXmlNode* node = nullptr;
  if (parent != nullptr) {
    if (mDepth == 1) {
      node = parent;
    } else {
      node = new (std::nothrow) KXmlNode;
      parent->Append(node);
    }
  }
  if (node != nullptr)
    std::snprintf(node->mName, sizeof(node->mName), "%s", name);

  while (IsActualPositionValid()) {
    GetAttribute();
    if (node != nullptr)
      node->AppendAttr(mAttrName, mText + mAttrValuePos, mAttrValueLen);
  }

  if (!HasSubBody()) {
    --mDepth;
    return mOk;
  }

  SkipSpaces();
  const int content = mPos;
  int children = 0;
  while (StartNewBody()) {
    GenerateFromXml(node);
    ++children;
  }

  if (mOk && children == 0 && node != nullptr) {
    int last = mPos - 1;
    while (last >= content && IsSpace(mText[last]))
      --last;
    if (last >= content)
      node->SetNodeValue(mText + content, last - content + 1);
  }

  TestBodyEnd(name);
  --mDepth;
  return mOk;
}
