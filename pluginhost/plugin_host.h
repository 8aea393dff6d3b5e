// The plugin host: finds the plugin libraries beside the core executable,
// loads and binds them, opens them, starts their read threads, and at the
// end closes, unloads and releases them.  It also carries the one-shot log
// delivery that hands a fatal configuration problem to the log plugin
// "ZovUR.dll" before any plugin is loaded.
//
// PluginHost owns the plugin list, the module name map and the load
// problems; the thresholds belong to the core's settings and are lent by
// reference.  The passes are free functions over a HostContext, the host's
// view of those members, so tests can run them on their own.  Every pass
// runs on the main thread, one plugin at a time.
// While a pass runs, plugins loaded earlier may call the write callback from
// their own threads; the list therefore grows only under its exclusive lock,
// and no plugin is ever called while that lock is held.
#ifndef PLUGINHOST_PLUGIN_HOST_H_
#define PLUGINHOST_PLUGIN_HOST_H_

#include <map>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "base/log_thresholds.h"
#include "base/module_names.h"
#include "configstore/status_document.h"
#include "recording-core/plugin_abi.h"
#include "pluginhost/plugin_info.h"
#include "pluginhost/plugin_watchdog.h"

namespace pluginhost {

// What the passes work on.
struct HostContext {
  std::string coreDirectory;  // parent directory of the executable (may be empty)
  CoreContext* context = nullptr;  // handed to Load as LoadRequest.context
  CoreWriteFn write = nullptr;  // LoadRequest.write, and the writer of the host's log lines
  base::LogThresholds* thresholds = nullptr;
  base::ModuleNameMap* names = nullptr;
  std::map<std::string, std::string>* loadProblems = nullptr;  // file name -> reason
  PluginList* plugins = nullptr;
  PluginWatchdog* watchdog = nullptr;  // told of every wait for a plugin (may be null)
};

// Directory names inside the core directory, in scanning order.
inline constexpr const char* kPluginDirectory = "plugins";
inline constexpr const char* kProtectedPluginDirectory = "protected-plugins";
// Only files with exactly this extension are plugin candidates.
inline constexpr const char* kPluginExtension = ".dll";
// Libraries whose path contains this text are loaded before all others.
inline constexpr const char* kOrderingMarker = "vAVOde";
// The log plugin that receives the one-shot delivery.
inline constexpr const char* kLogPluginFile = "ZovUR.dll";
// Reason recorded in the load problem map for a library the loader refused.
inline constexpr const char* kMissingDependency = "missing dependency";

// Discovery ---------------------------------------------------------------

// Appends to `candidates` the full path of every regular file directly in
// `directory` whose extension equals `extension` exactly (case-sensitive).
// A missing, unreadable or non-directory path adds nothing; an entry that
// cannot be examined is skipped; a failing iteration keeps what it found.
// Nothing is logged.  [main]
void ScanDirectory(const boost::filesystem::path& directory, const std::string& extension,
                   std::vector<boost::filesystem::path>* candidates);

// Strict ordering of candidates: a path containing the ordering marker
// anywhere comes first; otherwise paths compare element by element (root,
// each directory, file name).  [any-thread]
bool CandidateBefore(const boost::filesystem::path& a, const boost::filesystem::path& b);

// Both plugin directories of `coreDirectory` scanned and sorted into load
// order.  An empty core directory means the current directory.  [main]
std::vector<boost::filesystem::path> FindCandidates(const std::string& coreDirectory);

// Passes ------------------------------------------------------------------

// Loads every candidate in order: binds it, calls Load, checks the reply,
// sets the thresholds and module name, starts the run thread and appends the
// record.  Failures are logged and skipped.  Returns true when the plugin
// list is not empty afterwards.  [main]
bool LoadAllPlugins(HostContext& host);

// Calls Open (mode 0) on every plugin in list order and stores OpenCode and
// OpenTimeMs; nothing is logged.  A plugin without Open gets OpenCode -100.
// [main]
void OpenAll(HostContext& host);

// Starts the read thread of every plugin whose descriptor sets acceptsRead:
// one start-up Read call.  [main]
void StartReadThreads(HostContext& host);

// Reorders the list by subscription mask 5, largest first (not stable), and
// calls Close on every plugin in that order, logging failures.  [main]
void CloseAll(HostContext& host);

// In list order: joins the read thread, then the run thread, calls Unload
// (logging failures) and releases the library; then empties the list.
// Waits without a limit for plugin threads to end.  [main]
void UnloadAll(HostContext& host);

// One-shot log delivery of `text` to coreDirectory/plugins/ZovUR.dll: load
// it with a write callback that drops everything, open it in log-delivery
// mode, hand it the text through Write, close and unload it.  Returns false
// for an empty text (nothing is done), true otherwise, whatever happened.
// Leaves no trace in the core's list, maps or thresholds.  [main]
bool DeliverLogOnce(const std::string& coreDirectory, const std::string& text,
                    CoreContext* context);

// The plugin host object of the core.
class PluginHost {
 public:
  // `context` and `write` are handed to every plugin's Load; `thresholds`
  // must outlive the host.
  PluginHost(CoreContext* context, CoreWriteFn write, base::LogThresholds& thresholds);
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  // The directory the plugin directories are found in.  [main], before LoadAll.
  void SetCoreDirectory(std::string directory) { host_.coreDirectory = std::move(directory); }

  bool LoadAll() { return LoadAllPlugins(host_); }        // [main]
  void OpenAll() { pluginhost::OpenAll(host_); }           // [main]
  void StartReadThreads() { pluginhost::StartReadThreads(host_); }  // [main]
  void CloseAll() { pluginhost::CloseAll(host_); }         // [main]
  void UnloadAll() { pluginhost::UnloadAll(host_); }       // [main]
  bool DeliverLogOnce(const std::string& coreDirectory, const std::string& text) {
    return pluginhost::DeliverLogOnce(coreDirectory, text, host_.context);
  }

  // The accepted plugins and the libraries that failed, for the status
  // document.  Not while a loading pass runs.  [main] or [io-thread]
  void FillStatus(configstore::StatusSnapshot* snapshot) const;

  PluginList& Plugins() { return plugins_; }
  base::ModuleNameMap& Names() { return names_; }

 private:
  PluginList plugins_;
  base::ModuleNameMap names_;
  std::map<std::string, std::string> loadProblems_;  // written only while loading
  PluginWatchdog watchdog_;
  HostContext host_;
};

}  // namespace pluginhost

#endif  // PLUGINHOST_PLUGIN_HOST_H_
