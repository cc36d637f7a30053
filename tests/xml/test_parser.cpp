#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "XmlParser.h"

namespace {

// Compact picture of a tree: name(attr=value attr){child child}="value".
std::string Dump(const KXmlNodeList& node) {
  std::string s = node.mName;
  if (node.mFirstAttr != nullptr) {
    s += "(";
    for (const KXmlAttrList* a = node.mFirstAttr; a != nullptr; a = a->mNext) {
      if (a != node.mFirstAttr)
        s += " ";
      s += a->mName != nullptr ? a->mName : "";
      if (a->mValue != nullptr)
        s += std::string("=") + a->mValue;
    }
    s += ")";
  }
  if (node.mValue != nullptr)
    s += std::string("=\"") + node.mValue + "\"";
  if (node.mFirstNode != nullptr) {
    s += "{";
    for (const KXmlNode* c = node.mFirstNode; c != nullptr; c = c->mNext)
      s += (c != node.mFirstNode ? " " : "") + Dump(*c);
    s += "}";
  }
  return s;
}

struct KResult {
  bool mOk;
  int mErrorPos;
  std::string mTree;
};

// A copy the parser can take ownership of.
char* NewText(const std::string& doc) {
  char* text = new char[doc.size() + 1];
  std::memcpy(text, doc.c_str(), doc.size() + 1);
  return text;
}

// Parses the way ParseFile does, into a root (or only checking with null).
KResult Parse(const std::string& doc, bool withRoot = true) {
  char* text = NewText(doc);
  KParser parser;
  KXmlNode root;
  parser.Initialize(text);
  parser.ParseXmlHeader();
  const bool ok = parser.GenerateFromXml(withRoot ? &root : nullptr);
  EXPECT_EQ(ok, parser.Ok());
  return {ok, parser.ErrorPos(), Dump(root)};
}

std::string Nested(int depth) {
  std::string doc;
  for (int i = 0; i < depth; ++i)
    doc += "<e>";
  for (int i = 0; i < depth; ++i)
    doc += "</e>";
  return doc;
}

struct TreeCase {
  const char* what;
  std::string doc;
  std::string tree;
};

TEST(XmlParser, DocumentsAndTheirTrees) {
  const std::string n70(70, 'n');
  const std::string k70(70, 'k');
  const TreeCase cases[] = {
      {"bom, declaration, comments",
       "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- top -->\n<cfg>\n"
       "  <!-- a --> <device Name=\"can0\"/>\n<!--b--><sleep Name=\"10\"/>\n</cfg>\n",
       "cfg{device(Name=can0) sleep(Name=10)}"},
      {"blank after the question mark", "<? xml version=\"1.0\" ?><a/>", "a"},
      {"leaf values trimmed", "<a><v>10\n   </v><w> \n\t </w><x>\n 1 \n 2 </x></a>",
       "a{v=\"10\" w x=\"1 \n 2\"}"},
      {"comment kept inside a leaf", "<a> x <!-- c --> y </a>", "a=\"x <!-- c --> y\""},
      {"entities raw in values", "<a>&amp;&lt;</a>", "a=\"&amp;&lt;\""},
      {"text between children dropped", "<a>t<b/>u<c>1</c>v</a>", "a{b c=\"1\"}"},
      {"70-character names stored as 62",
       "<" + n70 + " " + k70 + "=\"v\"></" + n70 + ">",
       std::string(62, 'n') + "(" + std::string(62, 'k') + "=v)"},
      {"blanks inside tags", "<a>< b  x = \"1\" / >< c >2< / c ></ a >", "a{b(x=1) c=\"2\"}"},
      {"attribute values decoded, empty one kept nameless of value",
       "<a v=\"x&amp;y&lt;\" Name=\"\" w=\"a'b\"/>", "a(v=x&y&lt; Name w=a'b)"},
      {"text after the root ignored", "<a/>trailing <junk", "a"},
      {"duplicates in document order",
       "<r><d Name=\"1\"/><s/><d Name=\"2\"/></r>", "r{d(Name=1) s d(Name=2)}"},
      {"bytes above 127 are text", "<a>\xC3\xA4\xFF</a>", "a=\"\xC3\xA4\xFF\""},
      {"underscores and digits in names",
       "<_cfg2><log_file Name=\"x\"/><ip_address _n9=\"1\"/></_cfg2>",
       "_cfg2{log_file(Name=x) ip_address(_n9=1)}"},
  };
  for (const TreeCase& c : cases) {
    SCOPED_TRACE(c.what);
    const KResult r = Parse(c.doc);
    EXPECT_TRUE(r.mOk) << "error at " << r.mErrorPos;
    EXPECT_EQ(r.mTree, c.tree);
    EXPECT_TRUE(Parse(c.doc, false).mOk) << "checking without a tree";
  }
}

struct ErrorCase {
  const char* doc;
  const char* at; // the error lies at the first occurrence of this text;
                  // nullptr: at the end of the document
};

TEST(XmlParser, ErrorsAndTheirPositions) {
  const ErrorCase cases[] = {
      {" <?xml version=\"1.0\"?><a/>", "?xml"},
      {"\n<?xml version=\"1.0\"?><a/>", "?xml"},
      {"<?XML version=\"1.0\"?><a/>", "XML"},
      {"<?xml version=\"1.0\"", " version"},
      {"<a b='1'/>", "'1'"},
      {"<a b/>", "/>"},
      {"<a b=/>", "/>"},
      {"<1a/>", "1a"},
      {"<a><1b/></a>", "1b"},
      {"<a-b/>", "-b"},
      {"<a b-c=\"1\"/>", "-c"},
      {"<a><b></c></a>", "c>"},
      {"<a><b></b></ab>", "ab>"},
      {"<a v=\"x<y\"/>", "x<y"},
      {"<a v=\"x>y\"/>", "x>y"},
      {"<a v=\"xy/>", "xy/>"},
      {"<a><!-- never closed </a>", "<!--"},
      {"<!-- never closed <a/>", "<!--"},
      {"<!DOCTYPE a><a/>", "!DOC"},
      {"<a><![CDATA[x]]></a>", "![CDATA"},
      {"<a><?pi?></a>", "?pi"},
      {"<a>1 > 2</a>", "1 >"},
      {"text", "text"},
      {"<a>", nullptr},
      {"<a><b/>", nullptr},
      {"", nullptr},
      {"   ", nullptr},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.doc);
    const std::string doc = c.doc;
    const int expected =
        static_cast<int>(c.at != nullptr ? doc.find(c.at) : doc.size());
    ASSERT_NE(expected, static_cast<int>(std::string::npos));
    const KResult r = Parse(doc);
    EXPECT_FALSE(r.mOk);
    EXPECT_EQ(r.mErrorPos, expected);
    const KResult check = Parse(doc, false);
    EXPECT_FALSE(check.mOk);
    EXPECT_EQ(check.mErrorPos, expected);
  }
}

TEST(XmlParser, NestingIsLimited) {
  EXPECT_TRUE(Parse(Nested(KParser::cMaxDepth)).mOk);
  const std::string tooDeep = Nested(KParser::cMaxDepth + 1);
  const KResult r = Parse(tooDeep);
  EXPECT_FALSE(r.mOk);
  EXPECT_EQ(r.mErrorPos, 3 * KParser::cMaxDepth); // the innermost '<'

  // Far deeper than any stack would take in recursion: refused quickly.
  EXPECT_FALSE(Parse(Nested(200000), false).mOk);
}

TEST(XmlParser, ParserCanBeInitialisedAgain) {
  KParser parser;
  EXPECT_FALSE(parser.GenerateFromXml(nullptr)); // no text yet
  parser.Initialize(NewText("<a><b/></a>"));
  KXmlNode first;
  EXPECT_TRUE(parser.GenerateFromXml(&first));
  parser.Initialize(NewText("<c x=\"1\"/>"));
  KXmlNode second;
  EXPECT_TRUE(parser.GenerateFromXml(&second));
  EXPECT_EQ(Dump(first), "a{b}");
  EXPECT_EQ(Dump(second), "c(x=1)");
}

class ParseFileTest : public testing::Test {
protected:
  void SetUp() override {
    mPath = testing::TempDir() + "telltrail_xml_" + std::to_string(getpid()) + ".xml";
  }
  void TearDown() override { std::remove(mPath.c_str()); }

  void Write(const std::string& content) {
    FILE* f = std::fopen(mPath.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
    std::fclose(f);
  }

  // Runs ParseFile and returns what it printed.
  std::string Run(const char* path, bool expected) {
    testing::internal::CaptureStdout();
    const bool ok = mParser.ParseFile(path, &mRoot);
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(ok, expected);
    return out;
  }

  std::string mPath;
  KParser mParser;
  KXmlNode mRoot;
};

TEST_F(ParseFileTest, ReadsAFileIntoTheRoot) {
  const std::string doc = "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<telltrail>\r\n"
                          " <device Name=\"can0\"/>\r\n <sleep Name=\"5\"/>\r\n</telltrail>\r\n";
  Write(doc);
  EXPECT_EQ(FileSize(mPath.c_str()), static_cast<long>(doc.size()));
  EXPECT_EQ(Run(mPath.c_str(), true), "");
  EXPECT_STREQ(mRoot.mName, "telltrail");
  EXPECT_STREQ(mRoot.FindNodeAttr("device", "Name"), "can0");
  EXPECT_STREQ(mRoot.FindNodeAttr("sleep", "Name"), "5");
}

TEST_F(ParseFileTest, Messages) {
  EXPECT_EQ(Run("/nonexistent/dir/s.xml", false), "file \"/nonexistent/dir/s.xml\" not found\n");
  EXPECT_EQ(FileSize("/nonexistent/dir/s.xml"), 0);

  Write("<a>\n <b></c>\n</a>");
  EXPECT_EQ(Run(mPath.c_str(), false), "xml-parser error pos: c>\n</a>\n");

  // The context stops after 80 characters.
  Write("<a v=\"x<" + std::string(200, 'y') + "\"/>");
  EXPECT_EQ(Run(mPath.c_str(), false), "xml-parser error pos: x<" + std::string(78, 'y') + "\n");

  // No element at all, or a file cut off: no context to show, but a word.
  for (const char* text : {"", "<!-- only a comment -->", "<a>", "<a><b/>"}) {
    Write(text);
    EXPECT_EQ(Run(mPath.c_str(), false), "xml-parser error: unexpected end of file\n") << text;
  }

  // Streams without a size of their own: a directory, a device.
  const std::string dir = testing::TempDir();
  EXPECT_EQ(Run(dir.c_str(), false), "file \"" + dir + "\" not read\n");
  EXPECT_EQ(Run("/dev/null", false), "file \"/dev/null\" not read\n");
}

TEST(XmlFileFunctions, NullAndShortStreams) {
  EXPECT_EQ(FileSize(static_cast<FILE*>(nullptr)), 0);
  char* buffer = new char[16];
  long size = 16;
  EXPECT_FALSE(ReadFileBuffer(nullptr, buffer, size));
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(size, 0);

  // A stream that ends before the requested size: a short read fails.
  FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  std::fputs("12345", f);
  EXPECT_EQ(FileSize(f), 5);
  buffer = new char[16];
  size = 16;
  EXPECT_FALSE(ReadFileBuffer(f, buffer, size));
  EXPECT_EQ(buffer, nullptr);
  std::rewind(f);
  buffer = new char[16];
  size = 5;
  EXPECT_TRUE(ReadFileBuffer(f, buffer, size));
  EXPECT_EQ(std::string(buffer, 5), "12345");
  delete[] buffer;
  std::fclose(f);
}

TEST(XmlFileFunctions, ReadsInPiecesBeyondOnePiece) {
  // More than one 8 MiB piece, in a pattern that does not repeat with the
  // piece size, so a piece read to the wrong place shows.
  const long size = 0x800000 + 1000;
  FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  std::string content(static_cast<std::size_t>(size), 0);
  for (long i = 0; i < size; ++i)
    content[static_cast<std::size_t>(i)] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), f), content.size());
  EXPECT_EQ(FileSize(f), size);
  char* buffer = new char[static_cast<std::size_t>(size)];
  long got = size;
  ASSERT_TRUE(ReadFileBuffer(f, buffer, got));
  EXPECT_EQ(got, size);
  EXPECT_TRUE(std::memcmp(buffer, content.data(), content.size()) == 0);
  delete[] buffer;
  std::fclose(f);
}

} // namespace
