// The loading pass: every candidate library is loaded, bound, asked to
// describe itself through Load, checked, registered and appended to the
// plugin list.
#include <cctype>
#include <cstring>
#include <memory>

#include <boost/filesystem/operations.hpp>

#include "base/log.h"
#include "platform/platform.h"
#include "pluginhost/plugin_calls.h"
#include "pluginhost/plugin_blocks.h"
#include "pluginhost/plugin_host.h"

namespace fs = boost::filesystem;

namespace pluginhost {
namespace {

// The console name of a plugin: its file stem, lower-cased byte by byte.
std::string ModuleName(const fs::path& file) {
  std::string name = file.stem().string();
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

// A plugin's own default threshold: L of 0 means none was given; levels
// outside -1..100 and module numbers without a slot change nothing.  A
// threshold configured before loading (current not unset) is kept.
void ApplyPluginLevel(base::LogThresholds& thresholds, uint32_t number, int32_t level) {
  if (number >= static_cast<uint32_t>(base::LogThresholds::kSlots)) return;
  if (level < -1 || level > 100 || level == 0) return;
  thresholds.SetDefault(number, level);
  if (thresholds.Current(number) == base::LogThresholds::kUnset) thresholds.SetCurrent(number, level);
}

// Calls the plugin's Load, timed and watched; fills *reply.
int32_t CallLoad(HostContext& host, PluginInfo& record, LoadReply* reply) {
  LoadRequest request = MakeLoadRequest(host.context, host.write);
  PluginWatchdog::Scope watch(host.watchdog, record.Filename, EntryName(Entry::kLoad));
  const int64_t start = platform::SteadyNowNs();
  const int32_t result = Guarded(*record.guard, Entry::kLoad, [&] { return record.Load(&request, reply); });
  record.LoadTimeMs = ElapsedMs(start, platform::SteadyNowNs());
  return result;
}

// Opens a candidate's library and binds its entry points; returns the new
// record, or null after logging why the library was refused.
std::unique_ptr<PluginInfo> OpenCandidate(HostContext& host, const fs::path& path) {
  const std::string fileName = path.filename().string();
  std::string loaderError;
  boost::system::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  void* module = platform::OpenLibrary((ec ? path : absolute).string(), &loaderError);
  if (module == nullptr) {
    base::Log(CORE_MODULE_ID, host.write, base::kLevelFatal, "Core: Failed to load plugin '%s': %s",
              fileName.c_str(), kMissingDependency);
    // The loader's own reason, which the line above cannot carry.
    base::Log(CORE_MODULE_ID, host.write, base::kLevelDebug, "Core: Loader error for '%s': %s",
              fileName.c_str(), loaderError.c_str());
    (*host.loadProblems)[fileName] = kMissingDependency;
    return nullptr;
  }

  auto record = std::make_unique<PluginInfo>();
  record->module = module;
  record->Filename = fileName;
  record->guard = std::make_shared<PluginGuard>(fileName, host.write);
  base::Log(CORE_MODULE_ID, host.write, base::kLevelDebug, "Core: Loaded plugin: %s", fileName.c_str());

  BindEntryPoints(*record);
  if (record->Load == nullptr) {
    platform::CloseLibrary(module);
    base::Log(CORE_MODULE_ID, host.write, base::kLevelFatal,
              "Core: Failed to load plugin: %s (missing symbol)", fileName.c_str());
    return nullptr;
  }
  return record;
}

// Checks a Load reply: result, a module ID not taken yet, a module number
// with a threshold slot.  False after logging the refusal.
bool ReplyAccepted(HostContext& host, const PluginInfo& record, int32_t result,
                   const LoadReply& reply) {
  const char* fileName = record.Filename.c_str();
  const ModuleId id = reply.systemID;
  if (result != 0 || reply.errorCode != 0) {
    base::Log(CORE_MODULE_ID, host.write, base::kLevelFatal, "plugin %s load returned %d error %d",
              fileName, result, reply.errorCode);
  } else if (host.names->Contains(id)) {
    base::Log(CORE_MODULE_ID, host.write, base::kLevelWarning, "plugin %s ID 0x%08lX already loaded",
              fileName, static_cast<unsigned long>(id));
  } else if (MODULE_NUMBER(id) > 255) {
    base::Log(CORE_MODULE_ID, host.write, base::kLevelFatal,
              "plugin %s ID 0x%08lX exceeds the log level array size, set LogLevelArraySize to 0xfff",
              fileName, static_cast<unsigned long>(id));
  } else {
    return true;
  }
  return false;
}

// Loads one candidate; returns the accepted record, or null after logging
// why it was refused.  The library of a refused plugin is released without
// calling Unload.
std::unique_ptr<PluginInfo> LoadOne(HostContext& host, const fs::path& path) {
  std::unique_ptr<PluginInfo> record = OpenCandidate(host, path);
  if (!record) return nullptr;

  LoadReply reply = MakeLoadReply();
  const int32_t result = CallLoad(host, *record, &reply);
  if (!ReplyAccepted(host, *record, result, reply)) {
    platform::CloseLibrary(record->module);
    return nullptr;
  }

  const ModuleId id = reply.systemID;
  ApplyPluginLevel(*host.thresholds, MODULE_NUMBER(id), reply.logLevel);
  host.names->Set(id, ModuleName(path));
  record->descriptor = reply;
  if (reply.runThread != 0) StartRunThread(*record);
  return record;
}

}  // namespace

bool LoadAllPlugins(HostContext& host) {
  for (const fs::path& path : FindCandidates(host.coreDirectory)) {
    std::unique_ptr<PluginInfo> record = LoadOne(host, path);
    if (!record) continue;
    // Read requests from run threads may walk the list at this moment.
    host.plugins->Modify([&](PluginList::Records& records) { records.push_back(std::move(record)); });
  }
  return host.plugins->size() != 0;
}

}  // namespace pluginhost
