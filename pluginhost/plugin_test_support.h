// Test support for the plugin host: a temporary core directory filled with
// copies of the test plugins, a write callback that records the core's log
// lines, and the state the core object would lend the host.
#ifndef PLUGINHOST_PLUGIN_TEST_SUPPORT_H_
#define PLUGINHOST_PLUGIN_TEST_SUPPORT_H_

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "pluginhost/plugin_host.h"

namespace pluginhost::testing {

struct LogLine {
  ModuleId module;
  int32_t level;
  std::string text;
  bool operator==(const LogLine&) const = default;
};

inline std::mutex g_logMutex;
inline std::vector<LogLine> g_log;  // guarded by g_logMutex

// Records log messages; answers threshold queries with -1 so every message
// passes.
inline int32_t RecordingWrite(const CoreEvent* event, WriteResult* result) {
  result->code = 0;
  if (event->eventType != EVENT_LOG) return 0;
  if (event->eventSubtype & SUBTYPE_LOG_MESSAGE) {
    std::lock_guard lock(g_logMutex);
    g_log.push_back({event->providerID, event->attributes.logLevel,
                     std::string(static_cast<const char*>(event->data))});
  } else if (event->eventSubtype & SUBTYPE_LOG_QUERY) {
    result->code = -1;
  }
  return 0;
}

inline std::vector<LogLine> TakeLog() {
  std::lock_guard lock(g_logMutex);
  std::vector<LogLine> lines;
  lines.swap(g_log);
  return lines;
}

// A core directory with "plugins" and "protected-plugins", removed at the end.
class TempCore {
 public:
  TempCore() {
    namespace fs = boost::filesystem;
    root_ = fs::temp_directory_path() / fs::unique_path("pluginhost-%%%%-%%%%-%%%%");
    fs::create_directories(root_ / kPluginDirectory);
    fs::create_directories(root_ / kProtectedPluginDirectory);
  }
  ~TempCore() {
    boost::system::error_code ec;
    boost::filesystem::remove_all(root_, ec);
  }
  TempCore(const TempCore&) = delete;
  TempCore& operator=(const TempCore&) = delete;

  const boost::filesystem::path& root() const { return root_; }
  std::string tracePath() const { return (root_ / "trace.txt").string(); }

  // Copies test plugin `variant` to dir/name with the given settings, one
  // "key=value" per line; every plugin appends its calls to one trace file.
  void AddPlugin(const std::string& dir, const std::string& variant, const std::string& name,
                 const std::string& settings = "") {
    const auto target = root_ / dir / name;
    boost::filesystem::copy_file(boost::filesystem::path(TEST_PLUGIN_DIR) / (variant + ".dll"),
                                 target);
    std::ofstream(target.string() + ".cfg") << settings << "\ntrace=" << tracePath() << "\n";
  }

  // The trace lines, optionally only those of one plugin file name.
  std::vector<std::string> Trace(const std::string& name = "") const {
    std::ifstream in(tracePath());
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
      if (name.empty() || line.rfind(name + " ", 0) == 0) lines.push_back(line);
    }
    return lines;
  }

 private:
  boost::filesystem::path root_;
};

// What the core object lends the host, with the core's name registered.
struct HostState {
  core::LogThresholds thresholds;
  core::ModuleNameMap names;
  std::map<std::string, std::string> loadProblems;
  PluginList plugins;
  CoreContext context{nullptr};  // only its address travels to the plugins
  HostContext host;

  explicit HostState(const TempCore& core) {
    names.Set(CORE_MODULE_ID, "core");
    host.coreDirectory = core.root().string();
    host.context = &context;
    host.write = RecordingWrite;
    host.thresholds = &thresholds;
    host.names = &names;
    host.loadProblems = &loadProblems;
    host.plugins = &plugins;
    TakeLog();
  }
  std::vector<std::string> Filenames() {
    std::vector<std::string> out;
    plugins.ForEach([&](const PluginInfo& p) { out.push_back(p.Filename); });
    return out;
  }
};

// Index of the first line containing `text`, or -1.
inline int IndexOf(const std::vector<std::string>& lines, const std::string& text) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(text) != std::string::npos) return static_cast<int>(i);
  return -1;
}

}  // namespace pluginhost::testing

#endif  // PLUGINHOST_PLUGIN_TEST_SUPPORT_H_
