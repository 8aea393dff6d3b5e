// Benchmark producer plugin: its run thread writes the harness's rounds of
// events of one payload size, keeping at most the control block's window of
// events written and not yet delivered to every subscriber.  Built once per
// producer number (PRODUCER_INDEX), so that each copy has its own ModuleId.
#include <sched.h>

#include <algorithm>
#include <vector>

#include "plugin_common.h"

namespace {

constexpr ModuleId kId = (0x10u + PRODUCER_INDEX) << 16;
// Producers publish their count and check the window every kStep events, so
// the shared counters cost the pipeline little.
constexpr uint64_t kStep = 64;

bench::BenchControl* g_control = nullptr;
CoreWriteFn g_write = nullptr;

uint64_t SlowestDelivered(const bench::BenchControl& control) {
  uint64_t slowest = UINT64_MAX;
  for (uint32_t i = 0; i < control.subscribers; ++i)
    slowest = std::min(slowest, control.delivered[i].value.load(std::memory_order_acquire));
  return slowest;
}

void Publish(bench::BenchControl& control, uint64_t& pending) {
  const uint64_t written = control.written.value.fetch_add(pending) + pending;
  pending = 0;
  // Signed: other producers' unpublished events may already be delivered.
  while (static_cast<int64_t>(written - SlowestDelivered(control)) > static_cast<int64_t>(control.window))
    sched_yield();
}

void WriteRound(bench::BenchControl& control) {
  std::vector<unsigned char> payload(control.payload, 'p');
  CoreEvent event;
  std::memset(&event, 0, sizeof event);
  event.structSize = sizeof event;
  event.version = 1;
  event.dataSize = static_cast<int32_t>(payload.size());
  event.data = payload.data();
  event.providerID = kId;
  event.eventType = EVENT_CLASS(3);
  event.eventSubtype = 0x1;
  WriteResult result{sizeof result, 1, 0};
  uint64_t pending = 0;
  for (uint64_t i = 0; i < control.eventsPerProducer; ++i) {
    g_write(&event, &result);
    if (result.code != WRITE_ACCEPTED) {
      std::fprintf(stderr, "producer %d: write refused with %d\n", PRODUCER_INDEX, result.code);
      std::abort();  // the round's count could never be reached
    }
    if (++pending == kStep) Publish(control, pending);
  }
  if (pending != 0) Publish(control, pending);
}

}  // namespace

BENCH_WRITER_ENTRY_POINTS(kId, g_control, g_write, WriteRound)
