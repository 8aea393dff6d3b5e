// Feeds the event bus's write path every event a plugin can hand over, and
// checks that the bus neither crashes nor loses or leaks a block:
//   - every event class (block releases, packets for the daemon, read
//     requests and their cancels, log messages and queries, video frames,
//     configuration updates, ordinary events, and arbitrary type words),
//     from any provider, with sizes within the input, negative sizes, null
//     pointers, a null result or a null event;
//   - releases of blocks the plugin holds and of addresses it never got;
//   - two subscribers: one keeps some blocks beyond Write and releases them
//     later, one throws from Write on some events; one also answers read
//     requests from its request threads.
// Each input runs on a fresh bus: the events are written, then the bus is
// stopped and drained on this thread, kept blocks are released, request
// threads are waited for, and no block may remain registered.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "eventbus/event_bus.h"

namespace {

constexpr ModuleId kKeeper = 0x00010000, kThrower = 0x00020000;

eventbus::EventBus* g_bus = nullptr;
std::mutex g_keptMutex;
std::vector<void*> g_kept;  // blocks the keeper holds beyond Write


struct Host : eventbus::BusHost {
  void ConsoleSink(ModuleId, int32_t, const char* text) override {
    if (text != nullptr) (void)std::strlen(text);  // the text must be readable
  }
  int32_t SubmitToSupervisor(void* data, int64_t) override {
    std::free(data);
    return 1;
  }
  void OnConfigUpdate(const void* block, std::string_view text) override {
    // The block and the text must be readable.
    if (block != nullptr && !text.empty()) (void)std::memchr(text.data(), 0, text.size());
  }
};

int32_t KeeperWrite(const DeliveredEvent* event, WriteReply* reply) {
  if (event->data != nullptr && event->dataSize > 0 &&
      (static_cast<const unsigned char*>(event->data)[0] & 1) != 0) {
    reply->keepBlock = 1;
    std::lock_guard lock(g_keptMutex);
    g_kept.push_back(event->data);
  }
  return 0;
}

int32_t ThrowerWrite(const DeliveredEvent* event, WriteReply*) {
  if (event->data != nullptr && event->dataSize > 0 &&
      static_cast<const unsigned char*>(event->data)[0] == 'T')
    throw std::runtime_error("thrown from Write");
  return 0;
}

// Answers a request once, from its request thread, with a small payload.
int32_t KeeperRead(const ReadRequest* request, ReadReply*) {
  char answer[8] = "answer";
  CoreEvent event{sizeof(CoreEvent), 1, sizeof answer, 0, answer, kKeeper, request->requestID,
                  0x8, 0x5, {}};
  WriteResult result{sizeof(WriteResult), 1, 0};
  g_bus->Write(&event, &result);
  return 0;
}

void AddPlugin(pluginhost::PluginList& plugins, ModuleId id, PluginWriteFn write, PluginReadFn read) {
  auto info = std::make_unique<pluginhost::PluginInfo>();
  info->descriptor.systemID = id;
  for (uint32_t& mask : info->descriptor.subscriptionMasks) mask = 0xFFFFFFFFu;
  info->descriptor.acceptsWrite = 1;
  info->descriptor.acceptsRead = read != nullptr;
  info->Write = write;
  info->Read = read;
  info->Filename = "fuzz.dll";
  plugins.Modify([&](auto& records) { records.push_back(std::move(info)); });
}

constexpr uint32_t kTypes[] = {EVENT_BLOCK_RELEASE, EVENT_TO_SUPERVISOR, EVENT_CANCEL_REQUEST,
                               EVENT_LOG,           EVENT_VIDEO,         EVENT_CONFIG_UPDATE,
                               0x8,                 EVENT_LOG | 0x8};
constexpr ModuleId kProviders[] = {0, CORE_MODULE_ID, kKeeper, kThrower, 0x00FF0000, 0x0FFF0000};

void WriteOne(FuzzedDataProvider& input, eventbus::EventBus& bus, std::vector<uint8_t>& pool) {
  CoreEvent event{};
  event.structSize = sizeof event;
  event.version = 1;
  const uint8_t typeChoice = input.ConsumeIntegral<uint8_t>();
  event.eventType = typeChoice < 8 * 28 ? kTypes[typeChoice % 8] : input.ConsumeIntegral<uint32_t>();
  event.providerID = kProviders[input.ConsumeIntegralInRange<size_t>(0, 5)];
  event.eventSubtype = input.ConsumeIntegral<uint32_t>();
  event.requestID = input.ConsumeIntegralInRange<uint32_t>(0, 7);
  event.attributes.logLevel = input.ConsumeIntegralInRange<int32_t>(-1, 101);
  event.attributes.keyFrame = input.ConsumeIntegralInRange<uint8_t>(0, 2);
  event.dataSize = input.ConsumeIntegralInRange<int32_t>(-2, static_cast<int32_t>(pool.size()));

  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      event.data = nullptr;
      break;
    case 1:  // the plugin's own buffer
      event.data = pool.data();
      break;
    case 2: {  // a block the keeper holds (8 bytes at least): handed back, or released twice
      std::lock_guard lock(g_keptMutex);
      if (!g_kept.empty()) event.data = g_kept[input.ConsumeIntegralInRange<size_t>(0, g_kept.size() - 1)];
      event.dataSize = std::min(event.dataSize, 1);
      break;
    }
    default: {  // an address the core never gave out; what it claims still lies in the buffer
      const size_t offset = input.ConsumeIntegralInRange<size_t>(0, pool.size() - 1);
      event.data = pool.data() + offset;
      event.dataSize = std::min(event.dataSize, static_cast<int32_t>(pool.size() - offset));
      break;
    }
  }
  if (event.eventType == EVENT_TO_SUPERVISOR) {
    // The packet's buffer passes to the core, which frees it.
    event.data = event.data != nullptr && event.dataSize > 0 ? std::malloc(event.dataSize) : nullptr;
    if (event.data != nullptr) std::memcpy(event.data, pool.data(), event.dataSize);
  }
  if (event.eventType == EVENT_BLOCK_RELEASE && event.data != nullptr) {
    std::lock_guard lock(g_keptMutex);
    for (auto it = g_kept.begin(); it != g_kept.end(); ++it) {
      if (*it == event.data && event.providerID == kKeeper) {
        g_kept.erase(it);
        break;
      }
    }
  }
  WriteResult result{sizeof result, 1, 0};
  const bool nullResult = input.ConsumeBool();
  bus.Write(&event, nullResult ? nullptr : &result);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  std::vector<uint8_t> pool = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(1, 4096));
  if (pool.empty()) pool.push_back('T');

  base::LogThresholds thresholds;
  pluginhost::PluginList plugins;
  Host host;
  AddPlugin(plugins, kKeeper, &KeeperWrite, &KeeperRead);
  AddPlugin(plugins, kThrower, &ThrowerWrite, nullptr);
  {
    eventbus::EventBus bus(thresholds, plugins, host);
    g_bus = &bus;
    bus.Write(nullptr, nullptr);
    for (int i = 0; i < 64 && input.remaining_bytes() > 0; ++i) WriteOne(input, bus, pool);

    bus.RequestStop();
    bus.RunDispatcher();
    while (bus.RequestThreadsRunning()) std::this_thread::yield();
    std::vector<void*> kept;
    {
      std::lock_guard lock(g_keptMutex);
      kept.swap(g_kept);
    }
    for (void* block : kept) {
      CoreEvent release{sizeof(CoreEvent), 1, 0, 0, block, kKeeper, 0, EVENT_BLOCK_RELEASE, 0, {}};
      bus.Write(&release, nullptr);
    }
    if (bus.Blocks().Counts().count != 0) {
      std::fprintf(stderr, "blocks left registered: %llu\n",
                   static_cast<unsigned long long>(bus.Blocks().Counts().count));
      std::abort();
    }
  }
  return 0;
}
