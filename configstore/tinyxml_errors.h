// Writing TinyXML's private error fields, and the text position helpers the
// nesting check shares with the parse (see tinyxml_errors.cpp and
// xml_nesting.cpp for why they exist).  Internal to the configuration store.
#ifndef CONFIGSTORE_TINYXML_ERRORS_H_
#define CONFIGSTORE_TINYXML_ERRORS_H_

#include <cstddef>
#include <string>

#include <tinyxml.h>

namespace configstore {

// Stores the location of the error in `document`.
void SetXmlErrorLocation(TiXmlDocument& document, const TiXmlCursor& location);

// Row and column (from 0) of `offset` in `text`, counted as TinyXML counts them.
TiXmlCursor CursorAt(const char* text, size_t offset, int tabSize);

}  // namespace configstore

#endif  // CONFIGSTORE_TINYXML_ERRORS_H_
