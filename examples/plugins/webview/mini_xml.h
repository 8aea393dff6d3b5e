// mini_xml.h - a small, tolerant reader for the short XML documents that
// travel on the bus (the status document, memory state, camera and recorder
// status).  It keeps elements and their attributes and skips text, comments,
// processing instructions and DOCTYPEs.  It never recurses, and refuses a
// document that nests deeper than kMaxDepth or holds more than kMaxElements
// elements, so a hostile or broken document from another plugin costs a
// bounded amount of work and memory.
//
// [any-thread]: no shared state.
#ifndef EXAMPLES_PLUGINS_WEBVIEW_MINI_XML_H_
#define EXAMPLES_PLUGINS_WEBVIEW_MINI_XML_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace webview {

struct XmlElement {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;  // values unescaped
  int parent = -1;  // index into XmlDocument::elements, -1 for the root

  // The attribute's value, or `fallback` when it is missing.
  std::string Attr(std::string_view key, std::string_view fallback = {}) const;
  // The attribute as a signed decimal (or 0x hexadecimal) integer, `fallback`
  // when missing or not a number.
  int64_t Int(std::string_view key, int64_t fallback = 0) const;
  double Real(std::string_view key, double fallback = 0.0) const;
};

struct XmlDocument {
  static constexpr int kMaxDepth = 32;
  static constexpr size_t kMaxElements = 20000;

  std::vector<XmlElement> elements;  // in document order; elements[0] is the root

  // Parses `text`; false (with `error` set) when it is not one well-formed
  // element tree within the limits.
  bool Parse(std::string_view text, std::string* error);
  // Indices of the direct children of `parent` named `name`.
  std::vector<int> Children(int parent, std::string_view name) const;
};

}  // namespace webview

#endif  // EXAMPLES_PLUGINS_WEBVIEW_MINI_XML_H_
