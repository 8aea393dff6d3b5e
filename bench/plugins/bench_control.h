// BenchControl: the block the benchmark harness shares with its producer,
// camera and subscriber plugins.  The harness puts its address into the
// environment variable BENCH_CONTROL (printed with %p) before it loads them;
// the plugins find it in Load.  Plugins and harness are built from the same
// tree, so the layout needs no versioning.
#ifndef BENCH_PLUGINS_BENCH_CONTROL_H_
#define BENCH_PLUGINS_BENCH_CONTROL_H_

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdint>

namespace bench {

inline constexpr int kMaxProducers = 4;
inline constexpr int kMaxSubscribers = 4;
inline constexpr const char* kControlVariable = "BENCH_CONTROL";

enum class Mode : uint32_t { kThroughput = 0, kCameras = 1 };

struct alignas(64) Counter {
  std::atomic<uint64_t> value{0};
};
// A count the other side sleeps on.  std::atomic's own wait cannot be used:
// each plugin library has its own copy of the bookkeeping behind it, so a
// notification from the harness would not find a plugin's waiter.
struct alignas(64) Signal {
  std::atomic<uint32_t> value{0};
  // Sleeps while the value is still `seen`.
  void Wait(uint32_t seen) {
    syscall(SYS_futex, &value, FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
  }
  void Raise() {
    value.fetch_add(1, std::memory_order_release);
    syscall(SYS_futex, &value, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
  }
};

struct BenchControl {
  // Set before the plugins load, fixed afterwards.
  Mode mode = Mode::kThroughput;
  uint32_t payload = 64;          // throughput: bytes per event
  uint32_t producers = 1;
  uint32_t subscribers = 1;
  uint64_t window = 1000;         // events written and not yet delivered to all

  // Rounds: the harness sets eventsPerProducer (throughput) or the video
  // length (cameras), then increments round; each producer writes its share
  // and increments producersDone.  quit ends the producers' run threads.
  uint64_t eventsPerProducer = 0;
  int64_t videoNs = 0;
  Signal round;
  std::atomic<uint32_t> quit{0};
  Signal producersDone;
  Counter refused;                // writes answered with a code other than 0

  // Deliveries each subscriber will have counted when the round is over;
  // each subscriber that reaches it increments subscribersDone.
  std::atomic<uint64_t> expected{0};
  Signal subscribersDone;

  Counter written;                // published by producers in steps
  Counter delivered[kMaxSubscribers];
  Counter sink[kMaxSubscribers];  // keeps each subscriber's reads alive

  // Cameras: write-to-delivery latencies in nanoseconds, one per delivery.
  int64_t* latencies = nullptr;
  uint64_t latencyCapacity = 0;
  Counter latencyCount;
};

}  // namespace bench

#endif  // BENCH_PLUGINS_BENCH_CONTROL_H_
