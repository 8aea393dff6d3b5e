// Text from outside the core (the supervising daemon's name and version,
// plugin file names, loader messages) on its way into a document the core
// will read back.  TinyXML reads a document declared as UTF-8 by the lead
// bytes it finds, so one stray lead byte in an attribute swallows the
// closing quote and the whole file fails to load at the next start.
//
// [any-thread]: pure functions.
#ifndef CONFIGSTORE_UTF8_H_
#define CONFIGSTORE_UTF8_H_

#include <string>
#include <string_view>

#include <tinyxml.h>

namespace configstore {

// `text` as valid UTF-8: every byte that does not begin a complete, shortest
// form sequence of a scalar value (no surrogates, nothing above U+10FFFF)
// becomes U+FFFD.  Also disarms "&#x", which TinyXML's printer would
// otherwise copy unescaped up to the next ';' (its '&' becomes "&amp;" as
// any other), and drops NUL bytes, which end a C string in the document.
std::string DocumentSafeText(std::string_view text);

// Sets attribute `name` of `element` to DocumentSafeText(value).
void SetOutsideAttribute(TiXmlElement& element, const char* name, std::string_view value);

}  // namespace configstore

#endif  // CONFIGSTORE_UTF8_H_
