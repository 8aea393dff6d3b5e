#include "configstore/utf8.h"

#include <cstdint>

namespace configstore {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// The length of the valid UTF-8 sequence at the start of `text`, 0 when
// there is none.
size_t SequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // the range of the first continuation byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

}  // namespace

std::string DocumentSafeText(std::string_view text) {
  std::string safe;
  safe.reserve(text.size());
  while (!text.empty()) {
    const size_t length = SequenceLength(text);
    if (length == 0) {
      safe += kReplacement;
      text.remove_prefix(1);
      continue;
    }
    if (text[0] == '&' && text.substr(0, 3) == "&#x") {
      safe += "&#X";  // printed as "&amp;#X", read back as written here
      text.remove_prefix(3);
      continue;
    }
    if (text[0] != '\0') safe.append(text.data(), length);
    text.remove_prefix(length);
  }
  return safe;
}

void SetOutsideAttribute(TiXmlElement& element, const char* name, std::string_view value) {
  element.SetAttribute(name, DocumentSafeText(value));
}

}  // namespace configstore
