// PostDocument: publishes an XML document on the bus as a core event.
#ifndef CONFIGSTORE_POST_DOCUMENT_H_
#define CONFIGSTORE_POST_DOCUMENT_H_

#include <cstdint>

#include "recording-core/plugin_abi.h"

class TiXmlNode;

namespace configstore {

// The core's XML-document subtype (bit 4, with bit 24 set).
constexpr uint32_t kCoreDocumentSubtype = 0x01000000u | SUBTYPE_XML_DOCUMENT;

// Prints `document` compactly (no indentation, no line breaks) and writes it
// through `write` as an event of `eventType` from the core (provider
// 0x80000000), with dataSize the text length without its NUL.  The result is
// not looked at; the text is released when the write returns (the bus has
// copied it).  [any-thread]
void PostDocument(const TiXmlNode& document, uint32_t eventType, CoreWriteFn write);

}  // namespace configstore

#endif  // CONFIGSTORE_POST_DOCUMENT_H_
