#include "configstore/utf8.h"

#include <gtest/gtest.h>

namespace configstore {
namespace {

// Valid sequences of every length stay; what is not the shortest form of a
// scalar value becomes U+FFFD byte by byte; NUL goes; "&#x" is disarmed.
TEST(DocumentSafeTextTest, KeepsUtf8AndReplacesEverythingElse) {
  const std::string r = "\xEF\xBF\xBD";
  const struct {
    std::string in, out;
  } cases[] = {
      {"plain 1.0", "plain 1.0"},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"\xEF\xBF\xBF\xF4\x8F\xBF\xBF", "\xEF\xBF\xBF\xF4\x8F\xBF\xBF"},  // U+FFFF, U+10FFFF
      {"7.1\xC3", "7.1" + r},                           // lead byte at the end
      {"\xC0\xAF", r + r},                              // overlong '/'
      {"\xE0\x80\xAF", r + r + r},                      // overlong, three bytes
      {"\xED\xA0\x80", r + r + r},                      // a surrogate
      {"\xF4\x90\x80\x80", r + r + r + r},              // above U+10FFFF
      {"\xF5\xFF\x80", r + r + r},
      {"\xE2\x82x", r + r + "x"},                       // cut short
      {std::string("a\0b", 3), "ab"},
      {"&#x41;&amp;", "&#X41;&amp;"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.out, DocumentSafeText(c.in)) << c.in;
    EXPECT_EQ(c.out, DocumentSafeText(c.out)) << "not stable: " << c.out;
  }
}

}  // namespace
}  // namespace configstore
