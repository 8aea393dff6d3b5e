#include "configstore/xml_document.h"

#include <gtest/gtest.h>

#include "configstore/configstore_test_support.h"

namespace configstore {
namespace {

using namespace configstore::testing;

std::string Repeat(const std::string& piece, size_t count) {
  std::string text;
  text.reserve(piece.size() * count);
  for (size_t i = 0; i < count; ++i) text += piece;
  return text;
}

// `levels` nested elements around `inner`.
std::string Nested(size_t levels, const std::string& inner) {
  return Repeat("<e>", levels) + inner + Repeat("</e>", levels);
}

void ExpectTooDeep(const TiXmlDocument& document) {
  EXPECT_TRUE(document.Error());
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
  EXPECT_EQ(1, document.ErrorRow());
  EXPECT_EQ(301, document.ErrorCol());  // the '<' of the 101st tag
  for (const char* markup : {"<!--c-->", "<![CDATA[x]]>", "<!DOCTYPE d>", "<?xml?>", "<x/>"}) {
    EXPECT_FALSE(ParseXml(document, Nested(100, markup))) << markup;
    ExpectTooDeep(document);
  }
  // A failed parse leaves nothing behind for the next one.
  ASSERT_TRUE(ParseXml(document, "<ok/>"));
  EXPECT_FALSE(document.Error());
  EXPECT_STREQ("ok", document.RootElement()->Value());
}

TEST(XmlNestingTest, MillionsOfLevelsAreRefusedWithoutRecursing) {
  TiXmlDocument document;
  EXPECT_FALSE(ParseXml(document, Repeat("<e>", 1000000)));
  ExpectTooDeep(document);
  EXPECT_FALSE(ParseXml(document, Nested(1000000, "")));
  ExpectTooDeep(document);
  EXPECT_FALSE(ParseXml(document, Repeat("<e a='>'>", 200000)));
  ExpectTooDeep(document);
  // TinyXML reads "&#x<a b='x;" as one character reference, so the elements
  // after it are real elements even though a quote seems to be open.
  EXPECT_FALSE(ParseXml(document, "<r>&#x<a b='x;" + Repeat("<b>", 1000000)));
  ExpectTooDeep(document);
}

TEST(XmlNestingTest, MarkupThatTinyXmlDoesNotNestIsAccepted) {
  const std::string deep = Repeat("<b>", 100000);
  TiXmlDocument document;
  EXPECT_TRUE(ParseXml(document, "<r><!--" + deep + "--></r>")) << document.ErrorDesc();
  EXPECT_TRUE(ParseXml(document, "<r><![CDATA[" + deep + "]]></r>"));
  EXPECT_TRUE(ParseXml(document, "<r a=\"" + deep + "\"/>"));
  EXPECT_TRUE(ParseXml(document, "<!DOCTYPE [" + Repeat("<!ENTITY", 1000) + "><r/>"));
  // After a declaration TinyXML reads UTF-8: a lead byte takes the next two
  // bytes with it, so "\xE0<b" is one character of text.
  EXPECT_TRUE(ParseXml(document, "<?xml version='1.0'?><r>" + Repeat("\xE0<b>", 100000) + "</r>"));
  // Without it, or with a legacy encoding, those are elements.
  EXPECT_FALSE(ParseXml(document, "<r>" + Repeat("\xE0<b>", 100000) + "</r>"));
  ExpectTooDeep(document);
  EXPECT_FALSE(ParseXml(document, "<?xml version='1.0' encoding='ISO-8859-1'?><r>" +
                                      Repeat("\xE0<b>", 100000) + "</r>"));
  ExpectTooDeep(document);
}

TEST(XmlNestingTest, TinyXmlReportsItsOwnErrorWhenItStopsFirst) {
  TiXmlDocument document;
  // A repeated attribute ends TinyXML's parse before the deep part.
  EXPECT_FALSE(ParseXml(document, "<r><a x='1' x='2'>" + Repeat("<b>", 1000000)));
  EXPECT_EQ(TiXmlBase::TIXML_ERROR_PARSING_ELEMENT, document.ErrorId());
  EXPECT_FALSE(ParseXml(document, "<r></q>" + Repeat("<b>", 1000000)));
  EXPECT_EQ(TiXmlBase::TIXML_ERROR_READING_END_TAG, document.ErrorId());
  EXPECT_FALSE(ParseXml(document, ""));
  EXPECT_EQ(TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY, document.ErrorId());
  // The text ends at its first NUL byte, as a C string does.
  EXPECT_TRUE(ParseXml(document, std::string("<r/>\0<", 6)));
  // Garbage and truncated multi-byte characters at the very end.
  for (const std::string text : {"<", "<a", "<a b", "<a b=", "<a b='", "&#x", "<?xml",
                                 "<?xml version='1.0'?><r>\xF0", "<r>\xEF\xBB", "<![CDATA[",
                                 "<!--", "<r>&#x1;</r>", "<r>&#12</r>", "\xEF\xBB\xBF<r/>"}) {
    ParseXml(document, text);
    EXPECT_NE(kXmlErrorNestedTooDeeply, document.ErrorId()) << text;
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

  WriteFile(dir / "deep.xml", Nested(5000, ""));
  EXPECT_FALSE(LoadXmlFile(document, dir / "deep.xml"));
  ExpectTooDeep(document);

  WriteFile(dir / "empty.xml", "");
  EXPECT_FALSE(LoadXmlFile(document, dir / "empty.xml"));
  EXPECT_EQ(TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY, document.ErrorId());
  EXPECT_FALSE(LoadXmlFile(document, dir / "missing.xml"));
  EXPECT_EQ(TiXmlBase::TIXML_ERROR_OPENING_FILE, document.ErrorId());
  EXPECT_STREQ("Failed to open file", document.ErrorDesc());
}

}  // namespace
}  // namespace configstore
