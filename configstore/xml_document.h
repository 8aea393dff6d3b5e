// The one way into TinyXML's parser.  Every XML document the core reads,
// from a file or from the bus, is parsed here; no other code calls
// TiXmlDocument::Parse or LoadFile.
//
// TinyXML parses elements by recursion and has no limit of its own, so a
// document of enough nested elements overflows the stack.  Before TinyXML
// sees a text, a linear scan that follows TinyXML's own reading of the text
// (tags, attribute values, text and its character references, comments,
// CDATA sections, declarations, DOCTYPE and other "<!" markup) finds the
// first markup inside an element at nesting level kXmlMaxElementDepth (the
// root element is level 1).  Such a document is refused with error id
// kXmlErrorNestedTooDeeply and its description; the scan itself never
// recurses deeper than that level, whatever the input.
//
// Printing: compact text (no indentation, no line breaks) for documents on
// the bus, indented text (four spaces, "\n") for files.
//
// [any-thread]: the functions keep no state; a document must not be used
// from two threads at once.
#ifndef CONFIGSTORE_XML_DOCUMENT_H_
#define CONFIGSTORE_XML_DOCUMENT_H_

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include <tinyxml.h>

#include "platform/file_ops.h"

namespace configstore {

// An element at this level may hold text but no markup.
inline constexpr int kXmlMaxElementDepth = 100;
inline constexpr int kXmlErrorNestedTooDeeply = 17;
inline constexpr char kXmlNestedTooDeeplyText[] =
    "Elements nested too deeply (exceeds the configured maximum parse depth).";

// Where the nesting check stops a text.
struct XmlNestingResult {
  bool tooDeep = false;
  size_t offset = 0;  // of the refused markup's '<' when tooDeep
};

// Runs the nesting check over the NUL-terminated `text`, which must be
// followed by at least kXmlTextPadding further NUL bytes (TinyXML may step
// up to three bytes past the terminator inside a multi-byte character, and
// the check steps exactly as TinyXML does).
inline constexpr size_t kXmlTextPadding = 8;
XmlNestingResult CheckXmlNesting(const char* text);

// Parses `text` (up to its first NUL byte, as TinyXML reads a C string)
// into `document`, which is cleared first.  Returns false with the
// document's error set: TinyXML's own, or id 17 for nesting too deep.
bool ParseXml(TiXmlDocument& document, std::string_view text);

// Loads the file at `path` as TinyXML's LoadFile does (mode "rb", the whole
// file read at once, CR and CR LF turned into LF, text up to the first NUL
// byte), through `files`.  The document's value becomes `path`.
bool LoadXmlFile(TiXmlDocument& document, const std::string& path,
                 platform::FileOps& files = platform::DefaultFileOps());

// As LoadXmlFile, from a stream the caller opened and will close.
// *readError receives the errno noted after reading (0 when the read went
// well, whatever the parse made of the text).
bool LoadXmlStream(TiXmlDocument& document, std::FILE* file, platform::FileOps& files,
                   int* readError);

// The text of `node` and everything below it.
std::string PrintXmlCompact(const TiXmlNode& node);
std::string PrintXmlIndented(const TiXmlNode& node);

// Records an error in `document`: its ErrorId() becomes `id` and its
// ErrorDesc() `description`.  With `setFlag` its Error() becomes true; else
// that flag is left as it was.
void SetXmlError(TiXmlDocument& document, int id, const std::string& description,
                 bool setFlag);

}  // namespace configstore

#endif  // CONFIGSTORE_XML_DOCUMENT_H_
