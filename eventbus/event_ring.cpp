#include "eventbus/event_ring.h"

#include <new>

namespace eventbus {

EventRing::EventRing() : cells_(new Cell[kCells]) {
  for (size_t i = 0; i < kCells; ++i) cells_[i].sequence.store(i, std::memory_order_relaxed);
}

EventRing::Push EventRing::TryPush(const CoreEvent& event) {
  uint64_t position = enqueue_.load(std::memory_order_relaxed);
  for (;;) {
    if ((position & kClosedBit) != 0) return Push::kClosed;
    Cell& cell = cells_[position & (kCells - 1)];
    const uint64_t sequence = cell.sequence.load(std::memory_order_acquire);
    const int64_t lag = static_cast<int64_t>(sequence - position);
    if (lag == 0) {
      // Sequentially consistent: the caller's later look at whether the
      // dispatcher sleeps must not be ordered before this claim.
      if (enqueue_.compare_exchange_weak(position, position + 1, std::memory_order_seq_cst,
                                         std::memory_order_relaxed)) {
        cell.event = event;
        cell.sequence.store(position + 1, std::memory_order_release);
        return Push::kQueued;
      }
    } else if (lag < 0) {
      return Push::kFull;  // the cell still holds an event a lap behind
    } else {
      position = enqueue_.load(std::memory_order_relaxed);  // another writer took it
    }
  }
}

size_t EventRing::PopInto(CoreEventQueue& out, size_t max, uint64_t maxBytes) {
  size_t moved = 0;
  uint64_t bytes = 0;
  while (moved < max && bytes < maxBytes) {
    Cell& cell = cells_[dequeue_ & (kCells - 1)];
    if (cell.sequence.load(std::memory_order_acquire) != dequeue_ + 1) break;
    try {
      out.PushBack(cell.event);
    } catch (const std::bad_alloc&) {
      break;  // the batch ends here; the event stays for the next one
    }
    if (cell.event.data != nullptr && cell.event.dataSize > 0)
      bytes += static_cast<uint64_t>(cell.event.dataSize);
    // The cell is free for a writer from here on.
    cell.sequence.store(dequeue_ + kCells, std::memory_order_release);
    ++dequeue_;
    ++moved;
  }
  taken_.store(dequeue_, std::memory_order_relaxed);
  return moved;
}

bool EventRing::Drained() const {
  return (enqueue_.load(std::memory_order_seq_cst) & ~kClosedBit) == dequeue_;
}

uint64_t EventRing::Claimed() const {
  return enqueue_.load(std::memory_order_seq_cst) & ~kClosedBit;
}

size_t EventRing::Size() const {
  const uint64_t taken = taken_.load(std::memory_order_relaxed);  // never ahead of the claims
  return static_cast<size_t>(Claimed() - taken);
}

void EventRing::Close() { enqueue_.fetch_or(kClosedBit, std::memory_order_seq_cst); }

}  // namespace eventbus
