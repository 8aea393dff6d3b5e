// The nesting check in front of every parse.  Stock TinyXML 2.6.2 (Debian's
// libtinyxml 2.6.2, built with TIXML_USE_STL) has no limit on nesting: its
// parser recurses once per element level and overflows the stack on a
// document of some tens of thousands of nested elements.  The core must
// refuse such a text with its own error instead, so the scanner below reads
// the text the way TinyXML 2.6.2 will and stops where TinyXML would begin a
// child node below the maximum level.  It is written against that version's
// parser (TiXmlElement::Parse and ReadValue, TiXmlNode::Identify,
// TiXmlBase::SkipWhiteSpace, ReadName, GetEntity and the UTF-8 length
// table); a newer TinyXML would need it checked again line by line.
#include "configstore/xml_document.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>
#include <unordered_set>

#include "configstore/tinyxml_errors.h"

namespace configstore {
namespace {

// The nesting check.  It walks the text exactly as TinyXML's parser does
// (same character classes, same entity and multi-byte stepping, same points
// of failure, same switch of encoding after the first declaration), but
// builds nothing.  Where TinyXML would give up, so does the scan, leaving
// the text to TinyXML to report its own error; where TinyXML would start a
// child node of an element at the maximum level, the scan refuses the text.
// Its own recursion therefore ends at that level too.
class NestingScanner {
 public:
  explicit NestingScanner(const char* text) : text_(text) {}

  XmlNestingResult Run() {
    const char* p = text_;
    if (p == nullptr || *p == 0) return {};
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    if (u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF) encoding_ = TIXML_ENCODING_UTF8;
    p = SkipWhiteSpace(p);
    while (p != nullptr && *p != 0) {
      const NodeKind kind = Identify(p);
      if (kind == NodeKind::kNone) break;
      const bool decidesEncoding =
          encoding_ == TIXML_ENCODING_UNKNOWN && kind == NodeKind::kDeclaration;
      std::string declared;
      p = ParseNode(kind, p, 0, decidesEncoding ? &declared : nullptr);
      if (refused_ != nullptr) return {true, static_cast<size_t>(refused_ - text_)};
      if (decidesEncoding) encoding_ = DeclaredEncoding(declared.c_str());
      p = SkipWhiteSpace(p);
    }
    return {};
  }

 private:
  enum class NodeKind { kNone, kDeclaration, kComment, kCData, kUnknown, kElement };

  // Names of the attributes of one start tag: TinyXML refuses a repeated one.
  class AttributeNames {
   public:
    bool Insert(std::string_view name) {
      if (many_) return many_->insert(name).second;
      for (size_t i = 0; i < count_; ++i) {
        if (few_[i] == name) return false;
      }
      if (count_ < few_.size()) {
        few_[count_++] = name;
      } else {
        many_.emplace(few_.begin(), few_.end());
        many_->insert(name);
      }
      return true;
    }

   private:
    std::array<std::string_view, 16> few_;
    size_t count_ = 0;
    std::optional<std::unordered_set<std::string_view>> many_;
  };

  // Character classes as TinyXML computes them (same C library calls, so
  // the same answers under any locale).
  static bool IsWhiteSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) || c == '\n' || c == '\r';
  }
  static bool IsAlpha(unsigned char c) { return c < 127 ? std::isalpha(c) != 0 : true; }
  static bool IsAlphaNum(unsigned char c) { return c < 127 ? std::isalnum(c) != 0 : true; }
  int ToLower(int v) const {
    if (encoding_ == TIXML_ENCODING_UTF8) return v < 128 ? ::tolower(v) : v;
    return ::tolower(v);
  }

  static TiXmlEncoding DeclaredEncoding(const char* name) {
    if (*name == 0) return TIXML_ENCODING_UTF8;
    if (PrefixIgnoringCase(name, "UTF-8") || PrefixIgnoringCase(name, "UTF8")) {
      return TIXML_ENCODING_UTF8;
    }
    return TIXML_ENCODING_LEGACY;
  }
  static bool PrefixIgnoringCase(const char* p, const char* tag) {
    while (*p && *tag && ::tolower(*p) == ::tolower(*tag)) {
      ++p;
      ++tag;
    }
    return *tag == 0;
  }

  bool StringEqual(const char* p, const char* tag, bool ignoreCase) const {
    if (p == nullptr || *p == 0) return false;
    if (ignoreCase) {
      while (*p && *tag && ToLower(*p) == ToLower(*tag)) {
        ++p;
        ++tag;
      }
    } else {
      while (*p && *tag && *p == *tag) {
        ++p;
        ++tag;
      }
    }
    return *tag == 0;
  }

  // "</" followed by `name` (a prefix match, as TinyXML compares end tags).
  static bool EndTagFollows(const char* p, std::string_view name) {
    if (p == nullptr || p[0] != '<' || p[1] != '/') return false;
    p += 2;
    for (const char c : name) {
      if (*p != c) return false;  // a NUL never matches: names hold none
      ++p;
    }
    return true;
  }

  const char* SkipWhiteSpace(const char* p) const {
    if (p == nullptr || *p == 0) return nullptr;
    if (encoding_ == TIXML_ENCODING_UTF8) {
      while (*p) {
        const auto* u = reinterpret_cast<const unsigned char*>(p);
        if (u[0] == 0xEF && ((u[1] == 0xBB && u[2] == 0xBF) ||
                             (u[1] == 0xBF && (u[2] == 0xBE || u[2] == 0xBF)))) {
          p += 3;
          continue;
        }
        if (!IsWhiteSpace(*p)) break;
        ++p;
      }
    } else {
      while (*p && IsWhiteSpace(*p)) ++p;
    }
    return p;
  }

  static const char* ReadName(const char* p, std::string_view* name) {
    if (p == nullptr || *p == 0 || !(IsAlpha(static_cast<unsigned char>(*p)) || *p == '_')) {
      return nullptr;
    }
    const char* start = p;
    while (*p && (IsAlphaNum(static_cast<unsigned char>(*p)) || *p == '_' || *p == '-' ||
                  *p == '.' || *p == ':')) {
      ++p;
    }
    if (name != nullptr) *name = std::string_view(start, static_cast<size_t>(p - start));
    return p;
  }

  // One character of text or of an attribute value.  A UTF-8 lead byte
  // takes its whole sequence, even across the terminating NUL (hence the
  // padding the caller provides).  `out`, when given, receives the decoded
  // byte; values are only decoded before the encoding is known, when every
  // character is one byte.
  const char* GetChar(const char* p, std::string* out) const {
    const int length = encoding_ == TIXML_ENCODING_UTF8
                           ? TiXmlBase::utf8ByteTable[static_cast<unsigned char>(*p)]
                           : 1;
    if (length == 1) {
      if (*p == '&') return GetEntity(p, out);
      if (out != nullptr) out->push_back(*p);
      return p + 1;
    }
    if (out != nullptr) {
      char bytes[4] = {0, 0, 0, 0};
      for (int i = 0; p[i] && i < length; ++i) bytes[i] = p[i];
      out->append(bytes, static_cast<size_t>(length));
    }
    return p + length;
  }

  // A character reference jumps to the first ';' after it, provided the
  // characters back from that ';' to the nearest 'x' (or '#') are digits of
  // the base, whatever lies in between: "&#x<a b='x;" is one character.
  const char* GetEntity(const char* p, std::string* out) const {
    if (p[1] == '#' && p[2]) {
      const char stop = p[2] == 'x' ? 'x' : '#';
      const char* from = stop == 'x' ? p + 3 : p + 2;
      if (*from == 0) return nullptr;
      const char* semicolon = std::strchr(from, ';');
      if (semicolon == nullptr) return nullptr;
      unsigned long code = 0;
      unsigned multiplier = 1;
      for (const char* q = semicolon - 1; *q != stop; --q) {
        unsigned digit;
        if (*q >= '0' && *q <= '9') {
          digit = static_cast<unsigned>(*q - '0');
        } else if (stop == 'x' && *q >= 'a' && *q <= 'f') {
          digit = static_cast<unsigned>(*q - 'a' + 10);
        } else if (stop == 'x' && *q >= 'A' && *q <= 'F') {
          digit = static_cast<unsigned>(*q - 'A' + 10);
        } else {
          return nullptr;
        }
        code += multiplier * digit;
        multiplier *= stop == 'x' ? 16u : 10u;
      }
      if (out != nullptr && encoding_ != TIXML_ENCODING_UTF8) {
        out->push_back(static_cast<char>(code));
      }
      return semicolon + 1;
    }
    static constexpr struct {
      const char* text;
      size_t length;
      char value;
    } kEntities[] = {{"&amp;", 5, '&'},
                     {"&lt;", 4, '<'},
                     {"&gt;", 4, '>'},
                     {"&quot;", 6, '"'},
                     {"&apos;", 6, '\''}};
    for (const auto& entity : kEntities) {
      if (std::strncmp(entity.text, p, entity.length) == 0) {
        if (out != nullptr) out->push_back(entity.value);
        return p + entity.length;
      }
    }
    return p + 1;  // an unknown '&' is dropped from the value
  }

  const char* ReadText(const char* p, bool trimWhiteSpace, const char* endTag,
                       std::string* out) const {
    if (out != nullptr) out->clear();
    if (!trimWhiteSpace || !TiXmlBase::IsWhiteSpaceCondensed()) {
      while (p != nullptr && *p && !StringEqual(p, endTag, false)) p = GetChar(p, out);
    } else {
      p = SkipWhiteSpace(p);
      while (p != nullptr && *p && !StringEqual(p, endTag, false)) {
        if (IsWhiteSpace(*p)) {
          ++p;
        } else {
          p = GetChar(p, out);
        }
      }
    }
    if (p != nullptr && *p) p += std::strlen(endTag);
    return p != nullptr && *p ? p : nullptr;
  }

  NodeKind Identify(const char* p) const {
    p = SkipWhiteSpace(p);
    if (p == nullptr || *p != '<') return NodeKind::kNone;
    if (StringEqual(p, "<?xml", true)) return NodeKind::kDeclaration;
    if (StringEqual(p, "<!--", false)) return NodeKind::kComment;
    if (StringEqual(p, "<![CDATA[", false)) return NodeKind::kCData;
    if (StringEqual(p, "<!", false)) return NodeKind::kUnknown;
    if (IsAlpha(static_cast<unsigned char>(p[1])) || p[1] == '_') return NodeKind::kElement;
    return NodeKind::kUnknown;
  }

  // A node met inside an element of `parentLevel` (0 = the document).
  const char* ParseNode(NodeKind kind, const char* p, int parentLevel,
                        std::string* declaredEncoding) {
    switch (kind) {
      case NodeKind::kDeclaration:
        return ParseDeclaration(p, declaredEncoding);
      case NodeKind::kComment:
        return ParseComment(p);
      case NodeKind::kCData:
        return ParseCData(p);
      case NodeKind::kUnknown:
        return ParseUnknown(p);
      case NodeKind::kElement:
        return ParseElement(p, parentLevel + 1);
      case NodeKind::kNone:
        break;
    }
    return nullptr;
  }

  const char* ParseElement(const char* p, int level) {
    p = SkipWhiteSpace(p);
    if (p == nullptr || *p != '<') return nullptr;
    std::string_view name;
    p = ReadName(SkipWhiteSpace(p + 1), &name);
    if (p == nullptr || *p == 0) return nullptr;
    AttributeNames attributes;
    for (;;) {
      p = SkipWhiteSpace(p);
      if (p == nullptr || *p == 0) return nullptr;
      if (*p == '/') {
        return p[1] == '>' ? p + 2 : nullptr;
      }
      if (*p == '>') {
        p = ReadValue(p + 1, level);
        if (p == nullptr || *p == 0 || !EndTagFollows(p, name)) return nullptr;
        p = SkipWhiteSpace(p + 2 + name.size());
        return p != nullptr && *p == '>' ? p + 1 : nullptr;
      }
      std::string_view attribute;
      p = ParseAttribute(p, &attribute, nullptr);
      if (p == nullptr || *p == 0 || !attributes.Insert(attribute)) return nullptr;
    }
  }

  // The content of an element of `level`, up to its end tag.
  const char* ReadValue(const char* p, int level) {
    const char* withWhiteSpace = p;
    p = SkipWhiteSpace(p);
    while (p != nullptr && *p) {
      if (*p != '<') {
        p = ParseText(TiXmlBase::IsWhiteSpaceCondensed() ? p : withWhiteSpace);
      } else if (StringEqual(p, "</", false)) {
        return p;
      } else if (level >= kXmlMaxElementDepth) {
        refused_ = p;
        return nullptr;
      } else {
        p = ParseNode(Identify(p), p, level, nullptr);
      }
      withWhiteSpace = p;
      p = SkipWhiteSpace(p);
    }
    return p;
  }

  const char* ParseText(const char* p) const {
    p = ReadText(p, true, "<", nullptr);
    return p != nullptr && *p ? p - 1 : nullptr;
  }

  const char* ParseAttribute(const char* p, std::string_view* name, std::string* value) const {
    p = SkipWhiteSpace(p);
    if (p == nullptr || *p == 0) return nullptr;
    p = ReadName(p, name);
    if (p == nullptr || *p == 0) return nullptr;
    p = SkipWhiteSpace(p);
    if (p == nullptr || *p != '=') return nullptr;
    p = SkipWhiteSpace(p + 1);
    if (p == nullptr || *p == 0) return nullptr;
    if (*p == '\'') return ReadText(p + 1, false, "'", value);
    if (*p == '"') return ReadText(p + 1, false, "\"", value);
    if (value != nullptr) value->clear();
    while (*p && !IsWhiteSpace(*p) && *p != '/' && *p != '>') {
      if (*p == '\'' || *p == '"') return nullptr;
      if (value != nullptr) value->push_back(*p);
      ++p;
    }
    return p;
  }

  const char* ParseDeclaration(const char* p, std::string* declaredEncoding) const {
    p = SkipWhiteSpace(p);
    if (!StringEqual(p, "<?xml", true)) return nullptr;
    p += 5;
    while (p != nullptr && *p) {
      if (*p == '>') return p + 1;
      p = SkipWhiteSpace(p);
      if (p == nullptr || *p == 0) break;
      if (StringEqual(p, "version", true) || StringEqual(p, "standalone", true)) {
        p = ParseAttribute(p, nullptr, nullptr);
      } else if (StringEqual(p, "encoding", true)) {
        p = ParseAttribute(p, nullptr, declaredEncoding);
      } else {
        while (*p && *p != '>' && !IsWhiteSpace(*p)) ++p;
      }
    }
    return nullptr;
  }

  const char* ParseComment(const char* p) const {
    p = SkipWhiteSpace(p);
    if (!StringEqual(p, "<!--", false)) return nullptr;
    p += 4;
    while (*p && !StringEqual(p, "-->", false)) ++p;
    return *p ? p + 3 : p;
  }

  const char* ParseCData(const char* p) const {
    if (!StringEqual(p, "<![CDATA[", false)) return nullptr;
    p += 9;
    while (*p && !StringEqual(p, "]]>", false)) ++p;
    return ReadText(p, false, "]]>", nullptr);
  }

  const char* ParseUnknown(const char* p) const {
    p = SkipWhiteSpace(p);
    if (p == nullptr || *p != '<') return nullptr;
    ++p;
    while (*p && *p != '>') ++p;
    return *p == '>' ? p + 1 : p;
  }

  const char* const text_;
  TiXmlEncoding encoding_ = TIXML_ENCODING_UNKNOWN;
  const char* refused_ = nullptr;
};

}  // namespace

XmlNestingResult CheckXmlNesting(const char* text) { return NestingScanner(text).Run(); }

}  // namespace configstore
