#include "recording_files.h"

#include <charconv>
#include <filesystem>
#include <system_error>

namespace webview {
namespace {

namespace fs = std::filesystem;

bool NameIsPlain(std::string_view relative) {
  if (relative.empty() || relative.size() > 512) return false;
  for (char c : relative)
    if (c == '%' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  size_t start = 0;
  for (;;) {
    const size_t slash = relative.find('/', start);
    const std::string_view part = relative.substr(start, slash == std::string_view::npos ? relative.npos : slash - start);
    if (part.empty() || part[0] == '.') return false;  // also "." and ".."
    if (slash == std::string_view::npos) return true;
    start = slash + 1;
  }
}

bool ParseNumber(std::string_view text, uint64_t* value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

Lookup ResolveRecording(const std::string& directory, std::string_view relative, std::string* path) {
  if (!NameIsPlain(relative)) return Lookup::kMalformed;
  std::error_code error;
  const fs::path root = fs::canonical(directory, error);
  if (error) return Lookup::kNotFound;
  const fs::path resolved = fs::canonical(root / fs::path(std::string(relative)), error);
  if (error) return Lookup::kNotFound;
  const std::string prefix = root.string() + "/";
  if (resolved.string().compare(0, prefix.size(), prefix) != 0) return Lookup::kNotFound;
  if (!fs::is_regular_file(fs::symlink_status(resolved, error)) || error) return Lookup::kNotFound;
  *path = resolved.string();
  return Lookup::kFound;
}

const char* ContentTypeFor(std::string_view name) {
  static const std::pair<std::string_view, const char*> kTypes[] = {
      {".mp4", "video/mp4"},  {".m4s", "video/iso.segment"}, {".mkv", "video/x-matroska"},
      {".webm", "video/webm"}, {".ts", "video/mp2t"},        {".jpg", "image/jpeg"},
      {".png", "image/png"},  {".txt", "text/plain; charset=utf-8"}};
  for (const auto& [extension, type] : kTypes)
    if (name.size() > extension.size() && name.ends_with(extension)) return type;
  return "application/octet-stream";
}

ByteRange ParseRange(std::string_view header, uint64_t size) {
  ByteRange range;
  constexpr std::string_view kUnit = "bytes=";
  if (!header.starts_with(kUnit)) return range;
  const std::string_view spec = header.substr(kUnit.size());
  const size_t dash = spec.find('-');
  if (dash == std::string_view::npos || spec.find(',') != std::string_view::npos) return range;
  const std::string_view from = spec.substr(0, dash), to = spec.substr(dash + 1);
  uint64_t first = 0, last = 0;
  if (from.empty()) {  // the last N bytes
    if (!ParseNumber(to, &last)) return range;
    if (last == 0 || size == 0) return {ByteRange::kUnsatisfiable, 0, 0};
    return {ByteRange::kPartial, last >= size ? 0 : size - last, size - 1};
  }
  if (!ParseNumber(from, &first) || (!to.empty() && !ParseNumber(to, &last))) return range;
  if (!to.empty() && last < first) return range;  // invalid: ignored
  if (first >= size) return {ByteRange::kUnsatisfiable, 0, 0};
  if (to.empty() || last >= size) last = size - 1;
  return {ByteRange::kPartial, first, last};
}

}  // namespace webview
