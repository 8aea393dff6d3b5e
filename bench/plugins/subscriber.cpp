// Benchmark subscriber plugin: counts every delivery in its own counter of
// the control block.  In throughput rounds it reads the first and last byte
// of the payload; as a camera-load recorder or analyser it reads every byte
// and records the write-to-delivery latency from the stamp a camera put in
// the frame's first eight bytes.  Built once per subscriber number
// (SUBSCRIBER_INDEX).
#include <algorithm>

#include "plugin_common.h"

namespace {

constexpr ModuleId kId = (0x20u + SUBSCRIBER_INDEX) << 16;

bench::BenchControl* g_control = nullptr;

uint64_t TouchEvery(const void* data, int64_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  uint64_t sum = 0;
  int64_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    sum += word;
  }
  for (; i < size; ++i) sum += bytes[i];
  return sum;
}

void RecordLatency(bench::BenchControl& control, const void* data, int64_t size) {
  if (size < 8) return;
  int64_t stamp;
  std::memcpy(&stamp, data, 8);
  const int64_t latency = bench::MonotonicNs() - stamp;
  const uint64_t at = control.latencyCount.value.fetch_add(1, std::memory_order_relaxed);
  if (at < control.latencyCapacity) control.latencies[at] = latency;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t Load(const LoadRequest*,
                                                                LoadReply* reply) {
  g_control = bench::FindControl();
  bench::FillLoadReply(reply, kId, false, true);
  if (g_control == nullptr) reply->errorCode = 1;
  return 0;
}

extern "C" __attribute__((visibility("default"))) int32_t Write(const DeliveredEvent* event,
                                                                 WriteReply*) {
  bench::BenchControl& control = *g_control;
  uint64_t seen;
  if (control.mode == bench::Mode::kCameras) {
    RecordLatency(control, event->data, event->dataSize);
    seen = TouchEvery(event->data, event->dataSize);
  } else {
    const auto* bytes = static_cast<const unsigned char*>(event->data);
    seen = event->dataSize > 0 ? bytes[0] + bytes[event->dataSize - 1] : 0;
  }
  // Only the dispatcher thread writes these counters.
  std::atomic<uint64_t>& sink = control.sink[SUBSCRIBER_INDEX].value;
  sink.store(sink.load(std::memory_order_relaxed) + seen, std::memory_order_relaxed);
  std::atomic<uint64_t>& delivered = control.delivered[SUBSCRIBER_INDEX].value;
  const uint64_t count = delivered.load(std::memory_order_relaxed) + 1;
  delivered.store(count, std::memory_order_release);
  if (count == control.expected.load(std::memory_order_acquire)) {
    control.subscribersDone.Raise();
  }
  return 0;
}
