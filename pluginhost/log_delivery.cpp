// The one-shot log delivery: before any plugin is loaded, a fatal
// configuration problem is handed straight to the log plugin, which is
// loaded, opened in log-delivery mode, given one log message, closed and
// unloaded again within this call.
#include <cstring>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "platform/platform.h"
#include "pluginhost/plugin_calls.h"
#include "pluginhost/plugin_blocks.h"
#include "pluginhost/plugin_host.h"

namespace fs = boost::filesystem;

namespace pluginhost {
namespace {

// The write callback of the delivery: the core's bus is not up yet, so
// whatever the plugin writes meanwhile is dropped.
int32_t DropWrite(const CoreEvent*, WriteResult* result) {
  if (result != nullptr) result->code = 0;
  return 0;
}

// Hands the text to the plugin's Write as a level-100 log message.  The
// plugin gets its own copy, NUL-terminated; the size excludes the NUL.
void WriteText(PluginInfo& record, const std::string& text, PluginGuard& guard) {
  std::vector<char> data(text.begin(), text.end());
  data.push_back('\0');
  DeliveredEvent event = ZeroBlock<DeliveredEvent>(1);
  event.dataSize = static_cast<int32_t>(text.size());
  event.data = data.data();
  event.providerID = CORE_MODULE_ID;
  event.eventType = EVENT_LOG;
  event.eventSubtype = SUBTYPE_LOG_MESSAGE;
  event.attributes.logLevel = 100;
  WriteReply reply = MakeWriteReply();
  Guarded(guard, Entry::kWrite, [&] { return record.Write(&event, &reply); });
}

// Runs the delivery on a record the call owns; the result is the load
// result (-101 when a required entry point is missing) and is only of
// interest to a debugger: the caller reports nothing.
int32_t Deliver(PluginInfo& record, const std::string& text, CoreContext* context) {
  record.Load = reinterpret_cast<PluginLoadFn>(platform::FindSymbol(record.module, "Load"));
  record.Unload = reinterpret_cast<PluginUnloadFn>(platform::FindSymbol(record.module, "Unload"));
  record.Ioctl = reinterpret_cast<PluginIoctlFn>(platform::FindSymbol(record.module, "IOCTL"));
  record.Read = reinterpret_cast<PluginReadFn>(platform::FindSymbol(record.module, "Read"));
  if (record.Load == nullptr || record.Unload == nullptr || record.Ioctl == nullptr ||
      record.Read == nullptr) {
    ClearEntryPoints(record);
    platform::CloseLibrary(record.module);
    record.module = nullptr;
    return CORE_RC_DELIVERY_MISSING;
  }

  LoadRequest loadRequest = MakeLoadRequest(context, DropWrite);
  LoadReply loadReply = MakeLoadReply();
  PluginGuard& guard = *record.guard;
  const int32_t loaded =
      Guarded(guard, Entry::kLoad, [&] { return record.Load(&loadRequest, &loadReply); });
  if (loaded != 0 || loadReply.errorCode != 0) {
    ClearEntryPoints(record);
    platform::CloseLibrary(record.module);
    record.module = nullptr;
    return loaded != 0 ? loaded : loadReply.errorCode;
  }

  record.Open = reinterpret_cast<PluginOpenFn>(platform::FindSymbol(record.module, "Open"));
  record.Close = reinterpret_cast<PluginCloseFn>(platform::FindSymbol(record.module, "Close"));
  record.Write = reinterpret_cast<PluginWriteFn>(platform::FindSymbol(record.module, "Write"));
  record.Seek = reinterpret_cast<PluginSeekFn>(platform::FindSymbol(record.module, "Seek"));

  if (record.Open != nullptr && record.Close != nullptr) {
    OpenRequest request = MakeOpenRequest(OPEN_MODE_LOG_DELIVERY);
    OpenReply reply = MakeOpenReply();
    Guarded(guard, Entry::kOpen, [&] { return record.Open(&request, &reply); });
  }

  if (record.Write != nullptr) WriteText(record, text, guard);

  if (record.Close != nullptr) {
    const CloseRequest request{sizeof(CloseRequest), 1, 0};
    CloseReply reply{sizeof(CloseReply), 1, 0};
    Guarded(guard, Entry::kClose, [&] { return record.Close(&request, &reply); });
    record.Open = nullptr;
    record.Close = nullptr;
    record.Write = nullptr;
    record.Seek = nullptr;
  }

  int32_t result = 0;
  int32_t error = 0;
  UnloadRecord(record, &result, &error);
  return 0;
}

}  // namespace

bool DeliverLogOnce(const std::string& coreDirectory, const std::string& text, CoreContext* context) {
  if (text.empty()) return false;
  const fs::path path = fs::path(coreDirectory) / kPluginDirectory / kLogPluginFile;
  boost::system::error_code ec;
  const fs::path absolute = fs::absolute(path, ec);
  // The record's guard has no writer: the delivery reports nothing, not
  // even an exception from the log plugin.
  PluginInfo record;
  record.Filename = kLogPluginFile;
  record.module = platform::OpenLibrary((ec ? path : absolute).string(), nullptr);
  if (record.module == nullptr) return true;
  Deliver(record, text, context);
  return true;
}

}  // namespace pluginhost
