#include "core/console_line.h"

#include <cstdio>
#include <vector>

#include "platform/platform.h"

namespace core {

int LevelColour(int32_t level) {
  static const int kColours[5] = {35, 32, 33, 31, 31};
  if (level < 0 || level > 100) return -1;
  return kColours[level / 25];
}

std::string FormatConsoleLine(bool colour, int32_t level, int64_t seconds,
                              const std::string& name, const char* text) {
  int h = 0, m = 0, s = 0;
  platform::UtcTimeOfDay(seconds, &h, &m, &s);
  const int digit = LevelColour(level);
  char small[512];
  const char* format = (!colour || digit < 0) ? "%02d:%02d:%02d %-6.6s %s\n"
                                              : "\033[%dm%02d:%02d:%02d\033[36m %-6.6s\033[0m %s\n";
  auto print = [&](char* out, size_t size) {
    if (!colour || digit < 0) return std::snprintf(out, size, format, h, m, s, name.c_str(), text);
    return std::snprintf(out, size, format, digit, h, m, s, name.c_str(), text);
  };
  const int needed = print(small, sizeof small);
  if (needed < 0) return std::string();
  if (static_cast<size_t>(needed) < sizeof small) return std::string(small, static_cast<size_t>(needed));
  std::vector<char> large(static_cast<size_t>(needed) + 1);
  print(large.data(), large.size());
  return std::string(large.data(), static_cast<size_t>(needed));
}

}  // namespace core
