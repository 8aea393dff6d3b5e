#include "configstore/xml_document.h"

#include <gtest/gtest.h>

#include "configstore/configstore_test_support.h"

namespace configstore {
namespace {

using namespace configstore::testing;

std::string Repeat(const std::string& piece, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) text += piece;
  return text;
}

// `levels` nested elements around `inner`.
std::string Nested(size_t levels, const std::string& inner) {
  return Repeat("<e>", levels) + inner + Repeat("</e>", levels);
}

void ExpectTooDeep(const TiXmlDocument& document) {
  EXPECT_EQ(kXmlErrorNestedTooDeeply, document.ErrorId());
  EXPECT_STREQ("Elements nested too deeply (exceeds the configured maximum parse depth).",
               document.ErrorDesc());
  EXPECT_EQ(nullptr, document.RootElement());
}

TEST(XmlNestingTest, ElementAtLevel99MayHoldMarkupOneAtLevel100MayNot) {
  TiXmlDocument document;
  ASSERT_TRUE(ParseXml(document, Nested(100, "text"))) << document.ErrorDesc();
  ASSERT_TRUE(ParseXml(document, Nested(99, "<!--c--><x/>")));
  EXPECT_FALSE(ParseXml(document, Nested(101, "")));
  ExpectTooDeep(document);
  EXPECT_EQ(301, document.ErrorCol());  // the '<' of the 101st tag
  for (const char* markup : {"<!--c-->", "<![CDATA[x]]>", "<!DOCTYPE d>", "<?xml?>", "<x/>"}) {
    EXPECT_FALSE(ParseXml(document, Nested(100, markup))) << markup;
    ExpectTooDeep(document);
  }
  // A failed parse leaves nothing behind for the next one.
  ASSERT_TRUE(ParseXml(document, "<ok/>"));
  EXPECT_STREQ("ok", document.RootElement()->Value());
}

// Huge inputs, parsed without recursion: refused when TinyXML would nest them,
// accepted where TinyXML reads the tags as text, and TinyXML's own error when
// it stops before the deep part.  0: parses.
TEST(XmlNestingTest, DeepInputsGetTheErrorTinyXmlWouldNestThemInto) {
  const std::string deep = Repeat("<b>", 100000);
  const std::string utf8 = "<r>" + Repeat("\xE0<b>", 100000) + "</r>";
  const std::pair<std::string, int> cases[] = {
      {Repeat("<e>", 1000000), kXmlErrorNestedTooDeeply},
      {Repeat("<e a='>'>", 200000), kXmlErrorNestedTooDeeply},
      // "&#x<a b='x;" is one character reference: no quote stays open.
      {"<r>&#x<a b='x;" + deep, kXmlErrorNestedTooDeeply},
      {"<r><!--" + deep + "--></r>", 0},
      {"<r><![CDATA[" + deep + "]]></r>", 0},
      {"<!DOCTYPE [" + Repeat("<!ENTITY", 1000) + "><r/>", 0},
      // After a declaration a UTF-8 lead byte takes the '<' with it; without
      // one, or with a legacy encoding, the tags are elements.
      {"<?xml version='1.0'?>" + utf8, 0},
      {utf8, kXmlErrorNestedTooDeeply},
      {"<?xml version='1.0' encoding='ISO-8859-1'?>" + utf8, kXmlErrorNestedTooDeeply},
      {"<r><a x='1' x='2'>" + deep, TiXmlBase::TIXML_ERROR_PARSING_ELEMENT},
      {"<r></q>" + deep, TiXmlBase::TIXML_ERROR_READING_END_TAG},
      {"", TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY},
      {std::string("<r/>\0<", 6), 0},  // the text ends at its first NUL
      // Texts cut short, also inside a multi-byte character.
      {"<a b='", TiXmlBase::TIXML_ERROR_PARSING_ELEMENT},
      {"&#x", TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY},
      {"<?xml version='1.0'?><r>\xF0", TiXmlBase::TIXML_ERROR_READING_ELEMENT_VALUE},
      {"<r>\xEF\xBB", TiXmlBase::TIXML_ERROR_READING_ELEMENT_VALUE},
  };
  for (const auto& [text, error] : cases) {
    SCOPED_TRACE(text.substr(0, 40));
    TiXmlDocument document;
    EXPECT_EQ(error == 0, ParseXml(document, text));
    EXPECT_EQ(error, document.ErrorId());
    if (error == kXmlErrorNestedTooDeeply) ExpectTooDeep(document);
  }
}

TEST(XmlDocumentTest, LoadsFilesAsTinyXmlLoadFileDoes) {
  TempDir dir;
  TiXmlDocument document;
  WriteFile(dir / "a.xml", "<r>\r\n<t>one\rtwo</t>\r\n</r>");
  ASSERT_TRUE(LoadXmlFile(document, dir / "a.xml"));
  EXPECT_EQ(dir / "a.xml", document.ValueStr());
  EXPECT_EQ("<r>\n    <t>one two</t>\n</r>\n", PrintXmlIndented(document));
  EXPECT_EQ("<r><t>one two</t></r>", PrintXmlCompact(document));
}

}  // namespace
}  // namespace configstore
