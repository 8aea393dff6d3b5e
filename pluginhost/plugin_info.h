// PluginInfo: the core's record of one accepted plugin, and PluginList, the
// ordered list of them that the core object owns.
//
// The list is filled on the main thread by the loading pass while plugins
// loaded earlier may already broadcast read requests from their run threads,
// and it is reordered by the close pass while request threads may still run.
// Every walk therefore takes the list's shared lock; the loading, sorting and
// emptying passes take it exclusively.  No plugin is ever called under the
// exclusive lock.
#ifndef PLUGINHOST_PLUGIN_INFO_H_
#define PLUGINHOST_PLUGIN_INFO_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "recording-core/plugin_abi.h"
#include "pluginhost/plugin_guard.h"

namespace pluginhost {

struct PluginInfo {
  void* module = nullptr;  // library handle from the platform loader

  // Entry points, null where the plugin does not export the name.
  PluginLoadFn Load = nullptr;
  PluginUnloadFn Unload = nullptr;
  PluginOpenFn Open = nullptr;
  PluginCloseFn Close = nullptr;
  PluginReadFn Read = nullptr;
  PluginWriteFn Write = nullptr;
  PluginSeekFn Seek = nullptr;
  PluginIoctlFn Ioctl = nullptr;

  std::thread runThread;   // IOCTL code 1, when descriptor.runThread
  std::thread readThread;  // start-up Read, when descriptor.acceptsRead

  LoadReply descriptor{};  // as returned by Load
  std::string Filename;    // library file name without directory
  int32_t OpenCode = 0;
  int64_t LoadTimeMs = 0;
  int64_t OpenTimeMs = 0;

  // The call boundary and the count of request threads; the loading pass
  // replaces it with one that carries the file name and the log writer.
  std::shared_ptr<PluginGuard> guard = std::make_shared<PluginGuard>();

  ModuleId systemID() const { return descriptor.systemID; }

  PluginInfo() = default;
  PluginInfo(PluginInfo&&) = default;
  PluginInfo& operator=(PluginInfo&&) = default;
  PluginInfo(const PluginInfo&) = delete;
  PluginInfo& operator=(const PluginInfo&) = delete;
};

// The ordered plugin list.  Records are held by unique_ptr so that a record's
// address stays valid while the list grows or is reordered.
class PluginList {
 public:
  using Records = std::vector<std::unique_ptr<PluginInfo>>;

  // Calls fn(const PluginInfo&) for each record in list order under the
  // shared lock.  fn may call plugins (the lock only blocks growth/reorder).
  template <typename Fn>
  void ForEach(Fn&& fn) const {
    std::shared_lock lock(mutex_);
    for (const auto& record : records_) fn(*record);
  }

  // Runs fn(Records&) under the exclusive lock: append, sort, clear.
  template <typename Fn>
  void Modify(Fn&& fn) {
    std::unique_lock lock(mutex_);
    fn(records_);
  }

  // Pointers to the records in list order.  Only valid while the list is not
  // modified: the dispatcher uses it between the open and close passes.
  std::vector<PluginInfo*> Snapshot() const {
    std::shared_lock lock(mutex_);
    std::vector<PluginInfo*> out;
    out.reserve(records_.size());
    for (const auto& record : records_) out.push_back(record.get());
    return out;
  }

  size_t size() const {
    std::shared_lock lock(mutex_);
    return records_.size();
  }

 private:
  mutable std::shared_mutex mutex_;
  Records records_;  // guarded by mutex_
};

}  // namespace pluginhost

#endif  // PLUGINHOST_PLUGIN_INFO_H_
