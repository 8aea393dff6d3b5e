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
// all).  [any-thread], lock-free.
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
  // that would pass the limit.
  bool Reserve(uint64_t bytes);
  void Release(uint64_t bytes) { waiting_.fetch_sub(bytes, std::memory_order_relaxed); }
  uint64_t Waiting() const { return waiting_.load(std::memory_order_relaxed); }

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
  std::atomic<uint64_t> waiting_{0};
  std::atomic<uint64_t> refused_{0};
};

}  // namespace eventbus

#endif  // EVENTBUS_PAYLOAD_BUDGET_H_
