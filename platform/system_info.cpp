#include "platform/system_info.h"

#include <sys/resource.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr const char* kDefaultCgroupMount = "/sys/fs/cgroup";
// Deeper than any real hierarchy; only guards the upward walk.
constexpr int kMaxCgroupDepth = 64;

// Reads a whole small file (files under /proc and /sys report no size, so
// this reads to the end).  False when it cannot be opened.
bool ReadSmallFile(const std::string& path, std::string* text) {
  FILE* file = std::fopen(path.c_str(), "re");
  if (file == nullptr) return false;
  text->clear();
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text->append(buffer, n);
  std::fclose(file);
  return true;
}

std::string_view TrimSpace(std::string_view text) {
  const auto is_space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
  return text;
}

// Calls `visit` with each line of `text`, without its line break.
template <typename Visit>
void ForEachLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    visit(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

// The value of a "Name:   N kB" line in bytes, 0 when it does not parse.
uint64_t KilobyteValue(std::string_view rest) {
  rest = TrimSpace(rest);
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
  if (error != std::errc() || value > UINT64_MAX / 1024) return 0;
  const std::string_view unit = TrimSpace(std::string_view(end, rest.data() + rest.size() - end));
  return unit == "kB" ? value * 1024 : value;
}

// Mount points in mountinfo escape blanks and backslashes as \ooo.
std::string UnescapeMountField(std::string_view field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
        field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
      out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

}  // namespace

uint64_t ParseProcessMemoryUsage(std::string_view status) {
  uint64_t anonymous = 0;
  uint64_t swapped = 0;
  ForEachLine(status, [&](std::string_view line) {
    if (line.starts_with("RssAnon:")) anonymous = KilobyteValue(line.substr(8));
    else if (line.starts_with("VmSwap:")) swapped = KilobyteValue(line.substr(7));
  });
  return anonymous + swapped;
}

uint64_t ParseCgroupMemoryMax(std::string_view text) {
  text = TrimSpace(text);
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return 0;
  return value;
}

std::string ParseCgroupV2Path(std::string_view cgroup) {
  std::string path;
  ForEachLine(cgroup, [&](std::string_view line) {
    if (path.empty() && line.starts_with("0::")) path = std::string(TrimSpace(line.substr(3)));
  });
  return path;
}

std::string ParseCgroupV2Mount(std::string_view mountinfo) {
  std::string mount;
  ForEachLine(mountinfo, [&](std::string_view line) {
    // "ID PARENT MAJ:MIN ROOT MOUNTPOINT OPTIONS [TAGS...] - FSTYPE SOURCE ..."
    const size_t separator = line.find(" - ");
    if (!mount.empty() || separator == std::string_view::npos) return;
    if (!line.substr(separator + 3).starts_with("cgroup2 ")) return;
    std::string_view fields = line.substr(0, separator);
    for (int skip = 0; skip < 4; ++skip) {
      const size_t blank = fields.find(' ');
      if (blank == std::string_view::npos) return;
      fields.remove_prefix(blank + 1);
    }
    mount = UnescapeMountField(fields.substr(0, fields.find(' ')));
  });
  return mount;
}

uint64_t LinuxSystemInfo::PhysicalMemory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

uint64_t LinuxSystemInfo::CgroupMemoryLimit() {
  std::string text;
  if (!ReadSmallFile("/proc/self/cgroup", &text)) return 0;
  std::string path = ParseCgroupV2Path(text);
  if (path.empty()) return 0;
  std::string mount;
  if (ReadSmallFile("/proc/self/mountinfo", &text)) mount = ParseCgroupV2Mount(text);
  if (mount.empty()) mount = kDefaultCgroupMount;
  // A path that climbs out of the namespace root ("/../x") is not visible
  // below the mount; only the visible root can be consulted then.
  if (path.find("/..") != std::string::npos) path = "/";

  // A limit anywhere above the process's group binds it too: take the
  // smallest one on the way up to the mount point.
  uint64_t limit = 0;
  for (int depth = 0; depth < kMaxCgroupDepth; ++depth) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const std::string directory = path == "/" ? mount : mount + path;
    if (ReadSmallFile(directory + "/memory.max", &text)) {
      const uint64_t value = ParseCgroupMemoryMax(text);
      if (value != 0 && (limit == 0 || value < limit)) limit = value;
    }
    if (path == "/" || path.empty()) break;
    const size_t slash = path.rfind('/');
    path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
  return limit;
}

uint64_t LinuxSystemInfo::AddressSpaceLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kDefaultAddressSpace;
  return static_cast<uint64_t>(limit.rlim_cur);
}

uint64_t LinuxSystemInfo::ProcessMemoryUsage() {
  std::string text;
  if (!ReadSmallFile("/proc/self/status", &text)) return 0;
  return ParseProcessMemoryUsage(text);
}

int64_t LinuxSystemInfo::WallNowSeconds() { return ::platform::WallNowSeconds(); }

int64_t LinuxSystemInfo::SteadyNowNs() { return ::platform::SteadyNowNs(); }

}  // namespace platform
