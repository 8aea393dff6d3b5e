// recording_files.h - which file a /recordings/ address names, and the byte
// range a request asks for.  Only regular files inside a recorder's
// directory are ever served: names are checked before the file system is
// asked anything, and the resolved path (symbolic links followed) must still
// lie inside the directory's own resolved path.
//
// [any-thread]: no shared state.
#ifndef EXAMPLES_PLUGINS_WEBVIEW_RECORDING_FILES_H_
#define EXAMPLES_PLUGINS_WEBVIEW_RECORDING_FILES_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace webview {

// Why a name was not resolved; kFound when it was.
enum class Lookup { kFound, kMalformed, kNotFound };

// Resolves `relative` (the address after "/recordings/", query removed)
// inside `directory`.  Malformed: empty, over 512 bytes, a '%' (no encoded
// form is taken), a backslash, a control character or NUL, an empty, "." or
// ".." component, or a component starting with '.'.  Not found: no such
// regular file, or one that resolves outside the directory.
Lookup ResolveRecording(const std::string& directory, std::string_view relative, std::string* path);

// The content type for a file name, by its extension: video/mp4 for .mp4.
const char* ContentTypeFor(std::string_view name);

// What a Range header asks of a file of `size` bytes.  Headers that are not
// one "bytes=" range (several ranges, other units, bad syntax) are ignored,
// as HTTP allows, and the whole file is sent.
struct ByteRange {
  enum Kind { kWhole, kPartial, kUnsatisfiable } kind = kWhole;
  uint64_t first = 0, last = 0;  // inclusive, for kPartial
};
ByteRange ParseRange(std::string_view header, uint64_t size);

}  // namespace webview

#endif  // EXAMPLES_PLUGINS_WEBVIEW_RECORDING_FILES_H_
