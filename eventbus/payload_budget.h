// PayloadBudget: the bound on payload bytes waiting in the core event queue.
//
// A subscriber slower than its producer makes the queue grow; unbounded, the
// backlog eats the machine's memory and a stop takes as long as delivering
// it.  The budget is the smaller of 256 MiB and an eighth of the memory
// limit the monitor computes on its first tick (256 MiB until then): a
// backlog past that is minutes of delay, not a buffer.  Past it, the write
// path refuses ordinary events at the payload copy with -1, exactly as when
// the copy cannot be allocated; what was accepted is always delivered.
//
// Bytes are reserved by the write path before the copy and released when
// the dispatcher takes the event out (or when the event is not queued after
// all).  [any-thread], lock-free.  Writers add to one counter and the
// dispatcher to another, on cache lines of their own, and the dispatcher
// adds once per batch: a writer's reservation does not pull a line the
// dispatcher writes on every event.
#ifndef EVENTBUS_PAYLOAD_BUDGET_H_
#define EVENTBUS_PAYLOAD_BUDGET_H_

#include <atomic>
#include <cstdint>

namespace eventbus {

class PayloadBudget {
 public:
  static constexpr uint64_t kCeiling = 256ull << 20;
  static constexpr uint64_t kMemoryShare = 8;  // at most an eighth of the memory limit

  // The monitor's memory limit in bytes; 0 leaves the ceiling.
  void SetMemoryLimit(uint64_t memoryLimit);
  uint64_t Limit() const { return limit_.load(std::memory_order_relaxed); }

  // Reserves `bytes` for one payload; false (and the refusal counted) when
  // that would pass the limit.  [writer]
  bool Reserve(uint64_t bytes);
  // Gives back a reservation whose event was not queued after all.  [writer]
  void Release(uint64_t bytes) { reserved_.fetch_sub(bytes, std::memory_order_relaxed); }
  // The dispatcher has taken events with `bytes` of payload out.  [dispatcher]
  void Taken(uint64_t bytes) {
    taken_.store(taken_.load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
  }
  uint64_t Waiting() const;

  // Past half the limit, or with refusals not yet reported: the dispatcher
  // times deliveries then, so that the report finds the slow subscribers
  // measured.
  bool UnderPressure() const {
    return Waiting() > Limit() / 2 || refused_.load(std::memory_order_relaxed) != 0;
  }
  // Refusals since the last call.
  uint64_t TakeRefusals() { return refused_.exchange(0, std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> limit_{kCeiling};
  std::atomic<uint64_t> refused_{0};
  alignas(64) std::atomic<uint64_t> reserved_{0};  // ever reserved, less what went back
  alignas(64) std::atomic<uint64_t> taken_{0};     // ever taken out by the dispatcher
};

}  // namespace eventbus

#endif  // EVENTBUS_PAYLOAD_BUDGET_H_
