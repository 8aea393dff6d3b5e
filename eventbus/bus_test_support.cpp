#include "eventbus/bus_test_support.h"

#include <cstdlib>
#include <cstring>
#include <thread>

namespace eventbus::testing {
namespace {

EventBus* g_bus = nullptr;

int32_t TestWriteToCore(const CoreEvent* event, WriteResult* result) {
  if (g_bus != nullptr) g_bus->Write(event, result);
  return 0;
}

FakePlugin g_fakes[kMaxFakePlugins];

std::string PayloadOf(const void* data, int64_t size) {
  if (data == nullptr || size <= 0) return {};
  return std::string(static_cast<const char*>(data), static_cast<size_t>(size));
}

template <int N>
int32_t FakeWrite(const DeliveredEvent* event, WriteReply* reply) {
  FakePlugin& fake = g_fakes[N];
  {
    std::lock_guard lock(fake.mutex);
    fake.writes.push_back({*event, PayloadOf(event->data, event->dataSize)});
  }
  if (fake.onWrite) fake.onWrite(*event, *reply);
  fake.changed.notify_all();
  return 0;
}

template <int N>
int32_t FakeIoctl(const IoctlRequest* request, IoctlReply* reply) {
  FakePlugin& fake = g_fakes[N];
  {
    std::lock_guard lock(fake.mutex);
    Delivery delivery{};
    delivery.event.dataSize = static_cast<int32_t>(request->buffer.length);
    delivery.event.data = request->buffer.data;
    delivery.payload = PayloadOf(request->buffer.data, request->buffer.length);
    fake.ioctls.push_back(delivery);
  }
  const int32_t rc = fake.onIoctl ? fake.onIoctl(*request, *reply) : 0;
  fake.changed.notify_all();
  return rc;
}

template <int N>
int32_t FakeRead(const ReadRequest* request, ReadReply*) {
  if (g_fakes[N].onRead) g_fakes[N].onRead(*request);
  return 0;
}

template <int... N>
struct EntryTables {
  static constexpr PluginWriteFn writes[] = {&FakeWrite<N>...};
  static constexpr PluginIoctlFn ioctls[] = {&FakeIoctl<N>...};
  static constexpr PluginReadFn reads[] = {&FakeRead<N>...};
};
using Entries = EntryTables<0, 1, 2, 3, 4, 5>;
static_assert(sizeof(Entries::writes) / sizeof(Entries::writes[0]) == kMaxFakePlugins);

}  // namespace

void FakeHost::ConsoleSink(ModuleId module, int32_t level, const char* text) {
  std::lock_guard lock(mutex);
  lines.push_back({module, level, text != nullptr ? text : "<null>"});
}

int32_t FakeHost::SubmitToSupervisor(void* data, int64_t size) {
  std::lock_guard lock(mutex);
  if (pipeOpen) submitted.push_back(PayloadOf(data, size));
  std::free(data);
  return pipeOpen ? 0 : 1;
}

void FakeHost::PostApplyCoreConfig(std::string text) {
  std::lock_guard lock(mutex);
  configs.push_back(std::move(text));
}

CoreWriteFn FakeHost::Writer() { return &TestWriteToCore; }

std::vector<LogLine> FakeHost::Lines() {
  std::lock_guard lock(mutex);
  return lines;
}

bool FakeHost::HasLineContaining(const std::string& part) {
  std::lock_guard lock(mutex);
  for (const LogLine& line : lines)
    if (line.text.find(part) != std::string::npos) return true;
  return false;
}

size_t FakePlugin::WriteCount() {
  std::lock_guard lock(mutex);
  return writes.size();
}

bool FakePlugin::WaitForWrites(size_t n) {
  std::unique_lock lock(mutex);
  return changed.wait_for(lock, std::chrono::seconds(20), [&] { return writes.size() >= n; });
}

FakePlugin& Fake(int slot) { return g_fakes[slot]; }

void ResetFakes() {
  for (FakePlugin& fake : g_fakes) {
    std::lock_guard lock(fake.mutex);
    fake.onWrite = nullptr;
    fake.onIoctl = nullptr;
    fake.onRead = nullptr;
    fake.writes.clear();
    fake.ioctls.clear();
  }
}

std::unique_ptr<pluginhost::PluginInfo> MakePlugin(int slot, const PluginSpec& spec) {
  auto info = std::make_unique<pluginhost::PluginInfo>();
  info->descriptor.structSize = sizeof(LoadReply);
  info->descriptor.version = 2;
  info->descriptor.systemID = spec.id;
  for (uint32_t& mask : info->descriptor.subscriptionMasks) mask = spec.mask;
  info->descriptor.acceptsWrite = spec.acceptsWrite ? 1 : 0;
  info->descriptor.acceptsRead = spec.acceptsRead ? 1 : 0;
  info->Write = spec.exportsWrite ? Entries::writes[slot] : nullptr;
  info->Ioctl = spec.exportsIoctl ? Entries::ioctls[slot] : nullptr;
  info->Read = spec.exportsRead ? Entries::reads[slot] : nullptr;
  info->Filename = "fake" + std::to_string(slot) + ".dll";
  return info;
}

BusFixture::BusFixture() {
  ResetFakes();
  bus_ = std::make_unique<EventBus>(thresholds_, plugins_, host_);
  g_bus = bus_.get();
}

BusFixture::~BusFixture() {
  // Request threads are detached: let those still registered finish with the bus.
  for (int i = 0; i < 2000 && bus_->Requests().SlotCount() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  g_bus = nullptr;
  bus_.reset();
  ResetFakes();
}

void BusFixture::AddPlugin(int slot, const PluginSpec& spec) {
  plugins_.Modify([&](pluginhost::PluginList::Records& records) {
    records.push_back(MakePlugin(slot, spec));
  });
}

CoreEvent BusFixture::MakeEvent(ModuleId provider, uint32_t type, uint32_t subtype,
                                const void* data, int32_t size) {
  CoreEvent event;
  std::memset(&event, 0, sizeof event);
  event.structSize = sizeof(CoreEvent);
  event.version = 1;
  event.providerID = provider;
  event.eventType = type;
  event.eventSubtype = subtype;
  event.data = const_cast<void*>(data);
  event.dataSize = size;
  return event;
}

WriteResult BusFixture::Send(const CoreEvent& event, int32_t preset) {
  WriteResult result{sizeof(WriteResult), 1, preset};
  bus_->Write(&event, &result);
  return result;
}

void BusFixture::Drain() {
  bus_->RequestStop();
  bus_->RunDispatcher();
}

}  // namespace eventbus::testing
