// EventRing: the lock-free front of the core event queue.
//
// Writers claim a cell by advancing one shared position with compare-and-
// swap and copy their event in; the dispatcher alone takes published cells
// out in position order.  No writer ever waits for another: a writer that
// finds the ring full is told so and takes the queue's slower overflow path
// instead (see EventBus).  The order of positions is the order of the queue:
// events from one writer keep their order, and an event whose write returned
// before another's began is ahead of it.
//
// Closing sets a bit in the shared position, so no claim can succeed after
// it; the positions claimed before it are still taken out.
//
// Writers: TryPush [any-thread].  Everything else: the single consumer (the
// dispatcher, or the owner when no dispatcher runs any more), except
// Claimed and Size, which any thread may read.
#ifndef EVENTBUS_EVENT_RING_H_
#define EVENTBUS_EVENT_RING_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "eventbus/core_event_queue.h"
#include "recording-core/plugin_abi.h"

namespace eventbus {

class EventRing {
 public:
  static constexpr size_t kCells = 2048;  // a power of two

  enum class Push { kQueued, kFull, kClosed };

  EventRing();
  EventRing(const EventRing&) = delete;
  EventRing& operator=(const EventRing&) = delete;

  Push TryPush(const CoreEvent& event);

  // Moves published events, oldest first, into `out`, at most `max` of them
  // and no more once their payloads reach `maxBytes`; stops early at a cell
  // whose writer is still copying.  Returns how many.
  size_t PopInto(CoreEventQueue& out, size_t max, uint64_t maxBytes = UINT64_MAX);
  // True when every claimed position has been taken out.
  bool Drained() const;
  // Positions claimed so far: each one an event queued.
  uint64_t Claimed() const;
  // Events claimed and not yet taken out.
  size_t Size() const;
  // No claim succeeds from now on.
  void Close();

  // Calls fn on each published event not yet taken out, oldest first.  A
  // cell stays the consumer's until it is taken, so the walk needs no lock.
  template <class Fn>
  void ForEachWaiting(Fn&& fn) const {
    for (uint64_t position = dequeue_;; ++position) {
      const Cell& cell = cells_[position & (kCells - 1)];
      if (cell.sequence.load(std::memory_order_acquire) != position + 1) return;
      fn(cell.event);
    }
  }

 private:
  static constexpr uint64_t kClosedBit = uint64_t{1} << 63;
  struct Cell {
    // Position + 1 once the event is published; position + kCells once the
    // consumer has taken it and the cell is free for that later position.
    std::atomic<uint64_t> sequence;
    CoreEvent event;
  };

  std::unique_ptr<Cell[]> cells_;
  alignas(64) std::atomic<uint64_t> enqueue_{0};  // next position; kClosedBit once closed
  alignas(64) uint64_t dequeue_ = 0;              // consumer's next position
  std::atomic<uint64_t> taken_{0};                // dequeue_, for Size from any thread
};

}  // namespace eventbus

#endif  // EVENTBUS_EVENT_RING_H_
