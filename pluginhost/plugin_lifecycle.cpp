// The open, read-thread, close and unload passes over the plugin list.
//
// Only the main thread changes the list, so these passes walk a snapshot of
// it without holding any lock while they call plugins; the list's exclusive
// lock is taken only to reorder and to empty it.
#include <algorithm>
#include <cstring>

#include "base/log.h"
#include "platform/platform.h"
#include "pluginhost/plugin_calls.h"
#include "pluginhost/plugin_blocks.h"
#include "pluginhost/plugin_host.h"

namespace pluginhost {

void OpenAll(HostContext& host) {
  for (PluginInfo* record : host.plugins->Snapshot()) {
    if (record->Open == nullptr) {
      record->OpenCode = CORE_RC_NOT_EXPORTED;
      continue;
    }
    OpenRequest request = MakeOpenRequest(OPEN_MODE_NORMAL);
    OpenReply reply = MakeOpenReply();
    const int64_t start = platform::SteadyNowNs();
    {
      PluginWatchdog::Scope watch(host.watchdog, record->Filename, EntryName(Entry::kOpen));
      record->OpenCode =
          Guarded(*record->guard, Entry::kOpen, [&] { return record->Open(&request, &reply); });
    }
    record->OpenTimeMs = ElapsedMs(start, platform::SteadyNowNs());
  }
}

void StartReadThreads(HostContext& host) {
  for (PluginInfo* record : host.plugins->Snapshot()) {
    if (record->descriptor.acceptsRead != 0) StartReadThread(*record);
  }
}

void CloseAll(HostContext& host) {
  // Mask 5 decides the close order, largest first; the list keeps this order
  // for unloading.  Equal masks may end up in any order.
  host.plugins->Modify([](PluginList::Records& records) {
    std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) {
      return a->descriptor.subscriptionMasks[5] > b->descriptor.subscriptionMasks[5];
    });
  });
  for (PluginInfo* record : host.plugins->Snapshot()) {
    int32_t result = CORE_RC_NOT_EXPORTED;
    int32_t error = 0;
    if (record->Close != nullptr) {
      const CloseRequest request{sizeof(CloseRequest), 1, 0};
      CloseReply reply{sizeof(CloseReply), 1, 0};
      PluginWatchdog::Scope watch(host.watchdog, record->Filename, EntryName(Entry::kClose));
      result = Guarded(*record->guard, Entry::kClose, [&] { return record->Close(&request, &reply); });
      error = reply.errorCode;
    }
    if (result != 0 || error != 0) {
      base::Log(CORE_MODULE_ID, host.write, base::kLevelDebug, "plugin %s close returned %d error %d",
                record->Filename.c_str(), result, error);
    }
  }
}

void UnloadAll(HostContext& host) {
  for (PluginInfo* record : host.plugins->Snapshot()) {
    int32_t result = 0;
    int32_t error = 0;
    UnloadRecord(*record, &result, &error, host.watchdog);
    if (result != 0 || error != 0) {
      base::Log(CORE_MODULE_ID, host.write, base::kLevelDebug, "plugin %s unload returned %d error %d",
                record->Filename.c_str(), result, error);
    }
  }
  host.plugins->Modify([](PluginList::Records& records) { records.clear(); });
}

}  // namespace pluginhost
