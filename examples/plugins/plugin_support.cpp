#include "plugin_support.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

namespace example {
namespace {

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

}  // namespace

std::string UtcText(int64_t unixMs, bool compact) {
  const std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[80];
  if (compact)
    std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
  else
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(unixMs % 1000));
  return text;
}

std::string UtcNow() {
  using namespace std::chrono;
  return UtcText(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count(), false);
}

std::string XmlEscaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

Settings Settings::Read(const std::string& path) {
  Settings settings;
  settings.path_ = path;
  std::ifstream in(path);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string trimmed = Trim(line);
    if (trimmed.empty() || trimmed[0] == '#') continue;
    const size_t equals = trimmed.find('=');
    if (equals == std::string::npos) {
      settings.problems_.push_back(path + " line " + std::to_string(number) +
                                   ": no '=', line ignored");
      continue;
    }
    settings.values_[Trim(trimmed.substr(0, equals))] = Trim(trimmed.substr(equals + 1));
  }
  return settings;
}

long Settings::Int(const std::string& key, long fallback, long min, long max) {
  auto it = values_.find(key);
  if (it == values_.end()) return fallback;
  const char* text = it->second.c_str();
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || value < min || value > max) {
    problems_.push_back(path_ + ": " + key + " = '" + it->second + "' is not a number from " +
                        std::to_string(min) + " to " + std::to_string(max) + ", using " +
                        std::to_string(fallback));
    return fallback;
  }
  return value;
}

std::string Settings::Text(const std::string& key, const std::string& fallback) const {
  auto it = values_.find(key);
  return it == values_.end() ? fallback : it->second;
}

bool PluginLog::Enabled(int32_t level) const {
  if (write_ == nullptr) return false;
  CoreEvent query = MakeEvent(module_, EVENT_LOG, SUBTYPE_LOG_QUERY, nullptr, 0);
  const int32_t threshold = WriteEvent(write_, query);
  return threshold == -1 || threshold <= level;
}

void PluginLog::Write(int32_t level, const char* format, ...) const {
  // Ask first, so that a filtered message costs no formatting.
  if (!Enabled(level)) return;
  char text[512];
  va_list args;
  va_start(args, format);
  const int length = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (length <= 0) return;
  const size_t kept = static_cast<size_t>(length) < sizeof text ? static_cast<size_t>(length)
                                                                 : sizeof text - 1;
  CoreEvent message = MakeEvent(module_, EVENT_LOG, 0x01000000u | SUBTYPE_LOG_MESSAGE, text,
                                static_cast<int32_t>(kept + 1));  // the NUL is counted
  message.attributes.logLevel = level;
  WriteEvent(write_, message);
}

CoreEvent MakeEvent(ModuleId provider, uint32_t eventType, uint32_t eventSubtype,
                    const void* data, int32_t dataSize) {
  CoreEvent event;
  std::memset(&event, 0, sizeof event);
  event.structSize = sizeof(CoreEvent);
  event.version = 1;
  event.dataSize = data != nullptr ? dataSize : 0;
  event.data = const_cast<void*>(data);
  event.providerID = provider;
  event.eventType = eventType;
  event.eventSubtype = eventSubtype;
  return event;
}

int32_t WriteEvent(CoreWriteFn write, const CoreEvent& event) {
  WriteResult result{sizeof(WriteResult), 1, 0};
  write(&event, &result);
  return result.code;
}

void ReleaseBlock(CoreWriteFn write, ModuleId holder, void* block) {
  CoreEvent release = MakeEvent(holder, EVENT_BLOCK_RELEASE, 0, nullptr, 0);
  release.data = block;  // names the block; the core frees it after the last hold
  WriteEvent(write, release);
}

}  // namespace example
