// bench_bus: events per second through the bus (write path, core event queue,
// dispatcher, delivery to N subscribers sharing one payload block), and the
// same payloads through ZeroMQ inproc PUSH/PULL with one receiving thread that
// hands each message to the same N subscribers.
//
// Both pipelines are bounded the same way: writers wait while more than
// kInFlightLimit events are undelivered (ZeroMQ's own default high-water mark
// is 1000 messages per socket as well), so each run measures sustained
// delivery, not how fast an unbounded queue fills.  The writers' timing ends
// when their last event is accepted; at most about that limit is still
// undelivered then, which is small next to a run.
#include <benchmark/benchmark.h>
#include <zmq.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/log_thresholds.h"
#include "eventbus/event_bus.h"
#include "pluginhost/plugin_info.h"

namespace {

constexpr int64_t kInFlightLimit = 1000;
constexpr int kMaxSubscribers = 8;

// Events handed to a pipeline and events its last subscriber has seen.
// Writers publish their count and check the distance in steps of kStep, so
// the bookkeeping costs the pipeline little.
constexpr uint64_t kStep = 64;
std::atomic<uint64_t> g_written{0};
std::atomic<uint64_t> g_delivered{0};
std::atomic<uint64_t> g_sink{0};

// A subscriber looks at its payload the way a consumer would start to.
inline void Consume(const void* data, int64_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  g_sink.fetch_add(size > 0 ? bytes[0] + bytes[size - 1] : 0, std::memory_order_relaxed);
}

void Delivered() { g_delivered.fetch_add(1, std::memory_order_release); }

int g_subscribers = 1;

template <int N>
int32_t SubscriberWrite(const DeliveredEvent* event, WriteReply*) {
  Consume(event->data, event->dataSize);
  if (N == g_subscribers - 1) Delivered();
  return 0;
}

template <int... N>
constexpr PluginWriteFn kWriteEntries[] = {&SubscriberWrite<N>...};
constexpr auto& kEntries = kWriteEntries<0, 1, 2, 3, 4, 5, 6, 7>;

// Called by a writer after each event it handed over.
inline void Written(uint64_t& pending) {
  if (++pending < kStep) return;
  const uint64_t written = g_written.fetch_add(pending, std::memory_order_relaxed) + pending;
  pending = 0;
  // Signed: other writers' unpublished events may already be delivered.
  while (static_cast<int64_t>(written - g_delivered.load(std::memory_order_acquire)) > kInFlightLimit)
    std::this_thread::yield();
}

void WaitForAllDelivered() {
  while (g_delivered.load(std::memory_order_acquire) < g_written.load()) std::this_thread::yield();
}

// Event bus ------------------------------------------------------------------

class NullHost : public eventbus::BusHost {
 public:
  void ConsoleSink(ModuleId, int32_t, const char*) override {}
  int32_t SubmitToSupervisor(void* data, int64_t) override {
    std::free(data);
    return 1;
  }
  void PostApplyCoreConfig(std::string) override {}
  CoreWriteFn Writer() override { return nullptr; }
};

struct BusRig {
  base::LogThresholds thresholds;
  pluginhost::PluginList plugins;
  NullHost host;
  std::unique_ptr<eventbus::EventBus> bus;
  std::thread dispatcher;
};
BusRig* g_bus = nullptr;

// The rig without a bus: thresholds, host and the subscribers.
void BusSetupRig(const benchmark::State& state) {
  g_subscribers = static_cast<int>(state.range(1));
  g_written = 0;
  g_delivered = 0;
  g_bus = new BusRig;
  for (int i = 0; i < g_subscribers; ++i) {
    g_bus->plugins.Modify([&](pluginhost::PluginList::Records& records) {
      auto info = std::make_unique<pluginhost::PluginInfo>();
      info->descriptor.systemID = 0x00010000u * static_cast<uint32_t>(i + 1);
      for (uint32_t& mask : info->descriptor.subscriptionMasks) mask = 0xFFFFFFFFu;
      info->descriptor.acceptsWrite = 1;
      info->Write = kEntries[i];
      info->Filename = "subscriber" + std::to_string(i) + ".dll";
      records.push_back(std::move(info));
    });
  }
}

CoreEvent PayloadEvent(std::vector<char>& payload, ModuleId provider) {
  CoreEvent event;
  std::memset(&event, 0, sizeof event);
  event.structSize = sizeof event;
  event.version = 1;
  event.dataSize = static_cast<int32_t>(payload.size());
  event.data = payload.data();
  event.providerID = provider;
  event.eventType = EVENT_CLASS(3);
  event.eventSubtype = 0x1;
  return event;
}

void BusSetup(const benchmark::State& state) {
  BusSetupRig(state);
  g_bus->bus = std::make_unique<eventbus::EventBus>(g_bus->thresholds, g_bus->plugins, g_bus->host);
  g_bus->dispatcher = std::thread([] { g_bus->bus->RunDispatcher(); });
}

void BusTeardown(const benchmark::State&) {
  WaitForAllDelivered();
  g_bus->bus->RequestStop();
  g_bus->dispatcher.join();
  delete g_bus;
  g_bus = nullptr;
}

void BM_Bus(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<char> payload(size, 'p');
  CoreEvent event = PayloadEvent(payload, 0x00100000u + static_cast<uint32_t>(state.thread_index()));
  WriteResult result{sizeof(WriteResult), 1, 0};
  uint64_t pending = 0;
  for (auto _ : state) {
    g_bus->bus->Write(&event, &result);
    if (result.code != 0) state.SkipWithError("write refused");
    Written(pending);
  }
  g_written.fetch_add(pending);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}

// The CPU cost of one event on one thread, without any hand-over between
// threads: a batch is written, then the dispatcher delivers it and returns.
// Small payloads only: a batch of large ones would mostly measure the C heap
// giving the batch's memory back to the system and faulting it in again.
void BM_BusOneThread(benchmark::State& state) {
  constexpr int kBatch = 100;
  BusSetupRig(state);
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<char> payload(size, 'p');
  CoreEvent event = PayloadEvent(payload, 0x00100000u);
  WriteResult result{sizeof(WriteResult), 1, 0};
  for (auto _ : state) {
    eventbus::EventBus bus(g_bus->thresholds, g_bus->plugins, g_bus->host);
    for (int i = 0; i < kBatch; ++i) bus.Write(&event, &result);
    bus.RequestStop();
    bus.RunDispatcher();
  }
  delete g_bus;
  g_bus = nullptr;
  state.SetItemsProcessed(state.iterations() * kBatch);
  state.SetBytesProcessed(state.iterations() * kBatch * static_cast<int64_t>(size));
}

// ZeroMQ inproc ------------------------------------------------------------------

constexpr const char* kEndpoint = "inproc://bench-bus";

struct ZmqRig {
  void* context = nullptr;
  void* pull = nullptr;
  std::thread receiver;
};
ZmqRig* g_zmq = nullptr;

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string(what) + ": " + zmq_strerror(zmq_errno()));
}

void ZmqSetup(const benchmark::State& state) {
  g_subscribers = static_cast<int>(state.range(1));
  g_written = 0;
  g_delivered = 0;
  g_zmq = new ZmqRig;
  g_zmq->context = zmq_ctx_new();
  Check(g_zmq->context != nullptr, "zmq_ctx_new");
  g_zmq->pull = zmq_socket(g_zmq->context, ZMQ_PULL);
  Check(zmq_bind(g_zmq->pull, kEndpoint) == 0, "zmq_bind");
  g_zmq->receiver = std::thread([] {
    zmq_msg_t message;
    zmq_msg_init(&message);
    for (;;) {
      if (zmq_msg_recv(&message, g_zmq->pull, 0) < 0) continue;
      const size_t size = zmq_msg_size(&message);
      if (size == 0) break;  // the teardown's end marker
      // One received message handed to every subscriber, as the dispatcher
      // hands one block to all of them.
      for (int i = 0; i < g_subscribers; ++i) Consume(zmq_msg_data(&message), static_cast<int64_t>(size));
      Delivered();
    }
    zmq_msg_close(&message);
  });
}

void ZmqTeardown(const benchmark::State&) {
  WaitForAllDelivered();
  void* push = zmq_socket(g_zmq->context, ZMQ_PUSH);
  Check(zmq_connect(push, kEndpoint) == 0, "zmq_connect");
  zmq_send(push, "", 0, 0);
  g_zmq->receiver.join();
  zmq_close(push);
  zmq_close(g_zmq->pull);
  zmq_ctx_term(g_zmq->context);
  delete g_zmq;
  g_zmq = nullptr;
}

void BM_ZmqInproc(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<char> payload(size, 'p');
  void* push = zmq_socket(g_zmq->context, ZMQ_PUSH);
  Check(zmq_connect(push, kEndpoint) == 0, "zmq_connect");
  uint64_t pending = 0;
  for (auto _ : state) {
    // zmq_send copies the payload into a message of its own, as the write
    // path copies it into a block.
    if (zmq_send(push, payload.data(), size, 0) != static_cast<int>(size)) state.SkipWithError("zmq_send");
    Written(pending);
  }
  g_written.fetch_add(pending);
  zmq_close(push);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}

void Matrix(benchmark::internal::Benchmark* b) {
  for (int64_t size : {64, 1024, 16 * 1024, 64 * 1024})
    for (int64_t subscribers : {1, 4}) b->Args({size, subscribers});
  b->ArgNames({"bytes", "subs"});
  b->Threads(1)->Threads(2)->Threads(4);
  b->UseRealTime();
  b->MinTime(0.3);
}

BENCHMARK(BM_Bus)->Apply(Matrix)->Setup(BusSetup)->Teardown(BusTeardown);
BENCHMARK(BM_BusOneThread)
    ->ArgNames({"bytes", "subs"})
    ->ArgsProduct({{64, 1024}, {1, 4}})
    ->MinTime(0.3);
BENCHMARK(BM_ZmqInproc)->Apply(Matrix)->Setup(ZmqSetup)->Teardown(ZmqTeardown);

}  // namespace

BENCHMARK_MAIN();
