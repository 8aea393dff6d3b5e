// The read-request branch of the write path: a request is broadcast to the
// readers that subscribe to it, each on a short-lived thread of its own.
#include <cstdlib>
#include <thread>

#include <boost/container/small_vector.hpp>

#include "base/log.h"
#include "eventbus/event_bus.h"
#include "eventbus/event_match.h"
#include "platform/platform.h"
#include "pluginhost/plugin_blocks.h"

namespace eventbus {

int32_t EventBus::HandleReadRequest(const CoreEvent& event) {
  if (event.eventType == EVENT_CANCEL_REQUEST) {
    requests_.Cancel(event.requestID);
    return WRITE_ACCEPTED;
  }
  requests_.Reissue(event.requestID);

  // Plugins loaded earlier may broadcast while the loading pass still appends
  // to the list, or while the close pass reorders it, so the walk takes the
  // list's shared lock.  Only the matching readers are collected, and counted
  // in, under it; the request threads are started after it is released.  A
  // reader whose unload has begun is left out: its library may be going.
  const uint32_t key = BroadcastKey(event.eventSubtype);
  struct Reader {
    PluginReadFn read;
    std::shared_ptr<pluginhost::PluginGuard> guard;
  };
  boost::container::small_vector<Reader, 8> readers;
  plugins_.ForEach([&](const pluginhost::PluginInfo& plugin) {
    if (plugin.descriptor.acceptsRead != 0 && plugin.Read != nullptr &&
        Matches(event.eventType, plugin.descriptor.subscriptionMasks, key) &&
        plugin.guard->EnterRequest())
      readers.push_back(Reader{plugin.Read, plugin.guard});
  });

  int32_t code = WRITE_ACCEPTED;
  for (Reader& reader : readers) {
    // Each reader owns its copy.  When it cannot be made, the reader gets a
    // null payload with the request's own size.
    void* copy = event.data != nullptr ? CopyPayload(event.data, event.dataSize) : nullptr;
    requestThreads_.fetch_add(1, std::memory_order_relaxed);
    try {
      std::thread(&EventBus::RunRequestThread, this, reader.read, reader.guard, event.dataSize,
                  copy, event.requestID)
          .detach();
    } catch (const std::exception& error) {
      // Out of threads or memory: this reader does not get the request, and
      // the writer learns it from the code.
      requestThreads_.fetch_sub(1, std::memory_order_relaxed);
      reader.guard->LeaveRequest();
      std::free(copy);
      base::Log(CORE_MODULE_ID, *this, base::kLevelError,
                "cannot start a request thread for plugin %s: %s",
                reader.guard->FileName().c_str(), error.what());
      code = WRITE_NO_MEMORY;
    }
  }
  return code;
}

void EventBus::RunRequestThread(PluginReadFn read, std::shared_ptr<pluginhost::PluginGuard> guard,
                                int32_t dataSize, void* copy, uint32_t requestID) {
  ReadRequest request =
      pluginhost::MakeReadRequest(static_cast<uint32_t>(dataSize), copy, requestID);
  ReadReply reply = pluginhost::MakeReadReply();

  const uint32_t self = platform::CurrentThreadId();
  requests_.RegisterRequestThread(self, true);
  pluginhost::Guarded(*guard, pluginhost::Entry::kRead, [&] { return read(&request, &reply); });
  guard->LeaveRequest();
  requests_.RegisterRequestThread(self, false);
  std::free(copy);
  requestThreads_.fetch_sub(1, std::memory_order_release);
}

}  // namespace eventbus
