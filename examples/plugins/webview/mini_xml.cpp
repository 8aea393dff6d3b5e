#include "mini_xml.h"

#include <cerrno>
#include <cstdlib>

namespace webview {
namespace {

bool NameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.' || c == ':' || static_cast<unsigned char>(c) >= 0x80;
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Appends the UTF-8 form of `code`; false for values that are no character.
bool AppendUtf8(std::string& out, unsigned long code) {
  if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
  return true;
}

// Replaces the five predefined entities and character references.
bool Unescape(std::string_view raw, std::string* out) {
  static const std::pair<std::string_view, char> kEntities[] = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '&') {
      *out += raw[i];
      continue;
    }
    const size_t end = raw.find(';', i);
    if (end == std::string_view::npos || end - i > 12) return false;
    const std::string_view name = raw.substr(i + 1, end - i - 1);
    bool known = false;
    for (const auto& [entity, c] : kEntities)
      if (name == entity) {
        *out += c;
        known = true;
      }
    if (!known) {
      if (name.size() < 2 || name[0] != '#') return false;
      const bool hex = name[1] == 'x';
      const std::string digits(name.substr(hex ? 2 : 1));
      char* stop = nullptr;
      const unsigned long code = std::strtoul(digits.c_str(), &stop, hex ? 16 : 10);
      if (digits.empty() || *stop != '\0' || !AppendUtf8(*out, code)) return false;
    }
    i = end;
  }
  return true;
}

// Reads the start tag at `at` (its '<') into `element`; returns the offset
// after its '>', or npos with the reason in `why`.
size_t ReadStartTag(std::string_view text, size_t at, XmlElement* element, bool* selfClosing, std::string* why) {
  auto bad = [why](const char* reason) {
    *why = reason;
    return std::string_view::npos;
  };
  size_t j = at + 1;
  while (j < text.size() && NameChar(text[j])) ++j;
  if (j == at + 1) return bad("malformed start tag");
  element->name = std::string(text.substr(at + 1, j - at - 1));
  for (;;) {
    while (j < text.size() && Blank(text[j])) ++j;
    if (j >= text.size()) return bad("unterminated start tag");
    if (text[j] == '>') return j + 1;
    if (text.substr(j).starts_with("/>")) {
      *selfClosing = true;
      return j + 2;
    }
    const size_t nameStart = j;
    while (j < text.size() && NameChar(text[j])) ++j;
    if (j == nameStart) return bad("malformed attribute");
    std::string name(text.substr(nameStart, j - nameStart));
    while (j < text.size() && Blank(text[j])) ++j;
    if (j >= text.size() || text[j] != '=') return bad("attribute without a value");
    ++j;
    while (j < text.size() && Blank(text[j])) ++j;
    if (j >= text.size() || (text[j] != '"' && text[j] != '\'')) return bad("unquoted attribute");
    const size_t end = text.find(text[j], j + 1);
    if (end == std::string_view::npos) return bad("unterminated attribute");
    const std::string_view raw = text.substr(j + 1, end - j - 1);
    std::string value;
    if (raw.find('<') != std::string_view::npos || !Unescape(raw, &value))
      return bad("bad attribute value");
    element->attributes.emplace_back(std::move(name), std::move(value));
    j = end + 1;
  }
}

}  // namespace

std::string XmlElement::Attr(std::string_view key, std::string_view fallback) const {
  for (const auto& [name, value] : attributes)
    if (name == key) return value;
  return std::string(fallback);
}

int64_t XmlElement::Int(std::string_view key, int64_t fallback) const {
  const std::string text = Attr(key);
  if (text.empty()) return fallback;
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 0);
  return (*end != '\0' || errno == ERANGE) ? fallback : static_cast<int64_t>(value);
}

double XmlElement::Real(std::string_view key, double fallback) const {
  const std::string text = Attr(key);
  if (text.empty()) return fallback;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  return *end != '\0' ? fallback : value;
}

std::vector<int> XmlDocument::Children(int parent, std::string_view name) const {
  std::vector<int> found;
  for (size_t i = 0; i < elements.size(); ++i)
    if (elements[i].parent == parent && elements[i].name == name) found.push_back(static_cast<int>(i));
  return found;
}

bool XmlDocument::Parse(std::string_view text, std::string* error) {
  elements.clear();
  std::vector<int> open;  // the path of elements not yet closed
  bool rootClosed = false;
  auto fail = [&](const std::string& why, size_t at) {
    *error = why + " at offset " + std::to_string(at);
    elements.clear();
    return false;
  };
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '<') {
      if (!Blank(text[i]) && open.empty()) return fail("text outside the root element", i);
      ++i;
      continue;
    }
    const std::string_view rest = text.substr(i);
    if (rest.starts_with("<?") || rest.starts_with("<!--") || rest.starts_with("<!")) {
      const std::string_view close = rest.starts_with("<?") ? "?>" : rest.starts_with("<!--") ? "-->" : ">";
      const size_t end = text.find(close, i + 2);
      if (end == std::string_view::npos) return fail("unterminated markup", i);
      i = end + close.size();
      continue;
    }
    if (rest.starts_with("</")) {
      size_t j = i + 2;
      while (j < text.size() && NameChar(text[j])) ++j;
      const std::string_view name = text.substr(i + 2, j - i - 2);
      while (j < text.size() && Blank(text[j])) ++j;
      if (j >= text.size() || text[j] != '>') return fail("malformed end tag", i);
      if (open.empty() || elements[open.back()].name != name) return fail("mismatched end tag", i);
      open.pop_back();
      rootClosed = open.empty();
      i = j + 1;
      continue;
    }
    // A start tag.
    if (rootClosed || (open.empty() && !elements.empty())) return fail("a second root element", i);
    if (elements.size() >= kMaxElements) return fail("too many elements", i);
    if (static_cast<int>(open.size()) >= kMaxDepth) return fail("nested too deep", i);
    XmlElement element;
    element.parent = open.empty() ? -1 : open.back();
    bool selfClosing = false;
    std::string why;
    const size_t end = ReadStartTag(text, i, &element, &selfClosing, &why);
    if (end == std::string_view::npos) return fail(why, i);
    elements.push_back(std::move(element));
    if (!selfClosing) open.push_back(static_cast<int>(elements.size()) - 1);
    rootClosed = open.empty();
    i = end;
  }
  if (elements.empty()) return fail("no element", 0);
  if (!open.empty()) return fail("unclosed element <" + elements[open.back()].name + ">", text.size());
  return true;
}

}  // namespace webview
