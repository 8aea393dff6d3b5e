// plugin_support.h - small helpers that the C++ example plugins share: their
// settings files, the log protocol, and building events for the write
// callback.  Each plugin compiles its own copy of plugin_support.cpp, so a
// plugin author can take these two files along with any one example.
//
// [any-thread]: nothing here holds state shared between threads, except
// PluginLog, whose members are set once in Load before any thread uses it.
#ifndef EXAMPLES_PLUGINS_PLUGIN_SUPPORT_H_
#define EXAMPLES_PLUGINS_PLUGIN_SUPPORT_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "recording-core/plugin_abi.h"

namespace example {

// Settings of one plugin, read from a text file of "key = value" lines in the
// core's working directory.  Blank lines and lines starting with '#' are
// skipped.  A missing file is no error: every value then takes its default.
class Settings {
 public:
  // Reads `path`.  Lines without '=' are noted in problems().
  static Settings Read(const std::string& path);

  // The integer value of `key`, or `fallback` when the key is missing.  A
  // value that is not a whole number or lies outside min..max gives
  // `fallback` too, and a note in problems().
  long Int(const std::string& key, long fallback, long min, long max);
  // The text value of `key`, or `fallback` when it is missing.
  std::string Text(const std::string& key, const std::string& fallback) const;

  // What was wrong with the file, one sentence each, for the plugin to log
  // once it can.
  const std::vector<std::string>& problems() const { return problems_; }

 private:
  std::string path_;
  std::map<std::string, std::string> values_;
  std::vector<std::string> problems_;
};

// The log protocol as a plugin speaks it: a threshold query for the module,
// then, when the level passes, a log-message event whose text counts its NUL.
class PluginLog {
 public:
  void Bind(CoreWriteFn write, ModuleId module) {
    write_ = write;
    module_ = module;
  }
  // True when a message of `level` would pass the module's threshold.
  bool Enabled(int32_t level) const;
  // Formats and writes a message; texts are cut at 511 characters.
  void Write(int32_t level, const char* format, ...) const __attribute__((format(printf, 3, 4)));

 private:
  CoreWriteFn write_ = nullptr;
  ModuleId module_ = 0;
};

// A CoreEvent with its header set and the given fields; attributes are zero.
CoreEvent MakeEvent(ModuleId provider, uint32_t eventType, uint32_t eventSubtype,
                    const void* data, int32_t dataSize);

// Writes `event` through the callback and returns the WriteResult's code
// (WRITE_ACCEPTED, WRITE_REFUSED, ...).
int32_t WriteEvent(CoreWriteFn write, const CoreEvent& event);

// The wall-clock time as ISO 8601 UTC with milliseconds, "2026-12-07T10:00:01.040Z".
std::string UtcNow();
// Unix milliseconds in UTC: "2026-12-07T10:00:01.040Z", or compact
// "20261207T100001Z" (whole seconds) for file names.
std::string UtcText(int64_t unixMs, bool compact = false);

// `text` with & < > " ' written as entities, for XML attribute values and HTML.
std::string XmlEscaped(const std::string& text);

// Drops this module's hold on a payload block it kept with keepBlock.
void ReleaseBlock(CoreWriteFn write, ModuleId holder, void* block);

}  // namespace example

#endif  // EXAMPLES_PLUGINS_PLUGIN_SUPPORT_H_
