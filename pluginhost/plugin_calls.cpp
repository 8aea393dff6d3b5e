#include "pluginhost/plugin_calls.h"
#include "pluginhost/plugin_blocks.h"

#include <cstring>

#include "base/log.h"
#include "platform/platform.h"

namespace pluginhost {
namespace {

template <typename Fn>
Fn Bind(void* module, const char* name) {
  return reinterpret_cast<Fn>(platform::FindSymbol(module, name));
}

}  // namespace

void BindEntryPoints(PluginInfo& record) {
  record.Load = Bind<PluginLoadFn>(record.module, "Load");
  record.Unload = Bind<PluginUnloadFn>(record.module, "Unload");
  record.Open = Bind<PluginOpenFn>(record.module, "Open");
  record.Close = Bind<PluginCloseFn>(record.module, "Close");
  record.Read = Bind<PluginReadFn>(record.module, "Read");
  record.Write = Bind<PluginWriteFn>(record.module, "Write");
  record.Seek = Bind<PluginSeekFn>(record.module, "Seek");
  record.Ioctl = Bind<PluginIoctlFn>(record.module, "IOCTL");
}

void ClearEntryPoints(PluginInfo& record) {
  record.Load = nullptr;
  record.Unload = nullptr;
  record.Open = nullptr;
  record.Close = nullptr;
  record.Read = nullptr;
  record.Write = nullptr;
  record.Seek = nullptr;
  record.Ioctl = nullptr;
}

int64_t ElapsedMs(int64_t startNs, int64_t endNs) { return (endNs - startNs) / 1000000; }

void StartRunThread(PluginInfo& record) {
  PluginIoctlFn ioctl = record.Ioctl;
  if (ioctl == nullptr) return;
  // The thread captures the entry point and the guard only, never the
  // record, so the record may be moved into the list after it has started.
  record.runThread = std::thread([ioctl, guard = record.guard] {
    IoctlRequest request = MakeIoctlRequest(IOCTL_RUN, nullptr, 0);
    IoctlReply reply = MakeIoctlReply(IOCTL_RUN);
    Guarded(*guard, Entry::kIoctl, [&] { return ioctl(&request, &reply); });
  });
}

void StartReadThread(PluginInfo& record) {
  PluginReadFn read = record.Read;
  if (read == nullptr) return;
  record.readThread = std::thread([read, guard = record.guard] {
    ReadRequest request = MakeReadRequest(0, nullptr, 0);
    ReadReply reply = MakeReadReply();
    Guarded(*guard, Entry::kRead, [&] { return read(&request, &reply); });
  });
}

void UnloadRecord(PluginInfo& record, int32_t* result, int32_t* error, PluginWatchdog* watchdog) {
  // Both threads end only when the plugin's Read or IOCTL returns, which
  // the plugin arranges when it is closed; the library must not go away
  // under them.
  if (record.readThread.joinable()) {
    PluginWatchdog::Scope watch(watchdog, record.Filename, EntryName(Entry::kRead));
    record.readThread.join();
  }
  if (record.runThread.joinable()) {
    PluginWatchdog::Scope watch(watchdog, record.Filename, EntryName(Entry::kIoctl));
    record.runThread.join();
  }

  PluginGuard& guard = *record.guard;
  *result = CORE_RC_NOT_EXPORTED;
  *error = 0;
  if (record.Unload != nullptr) {
    const UnloadRequest request{sizeof(UnloadRequest), 1};
    UnloadReply reply{sizeof(UnloadReply), 1, 0};
    PluginWatchdog::Scope watch(watchdog, record.Filename, EntryName(Entry::kUnload));
    *result = Guarded(guard, Entry::kUnload, [&] { return record.Unload(&request, &reply); });
    *error = reply.errorCode;
  }
  ClearEntryPoints(record);
  // A request thread may be paced on a block another plugin keeps, so the
  // stop does not wait for it; its plugin's code simply stays mapped until
  // the process ends.
  const int running = guard.CloseForRequests();
  if (running > 0) {
    base::Log(CORE_MODULE_ID, guard.Writer(), base::kLevelInfo,
              "plugin %s still answers %d read requests: its library stays loaded",
              record.Filename.c_str(), running);
  } else {
    platform::CloseLibrary(record.module);
  }
  record.module = nullptr;
}

}  // namespace pluginhost
