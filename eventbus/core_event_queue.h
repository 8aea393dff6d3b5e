// CoreEventQueue: the FIFO of 192-byte CoreEvent copies between the write path
// and the dispatcher.
//
// A ring of slots that doubles when full.  Events are 192 bytes, so a ring
// keeps them in one allocation where a node-based deque would allocate every
// few events.  Compact() gives storage back after a burst.
//
// Not thread-safe: the event bus guards it with its queue mutex.  An entry's
// payload block belongs to the queue while the entry waits; the queue never
// frees blocks itself.
#ifndef EVENTBUS_CORE_EVENT_QUEUE_H_
#define EVENTBUS_CORE_EVENT_QUEUE_H_

#include <cstddef>
#include <memory>

#include "recording-core/plugin_abi.h"

namespace eventbus {

class CoreEventQueue {
 public:
  // Capacity the ring never shrinks below once it has storage: a queue that
  // drains after every event must not allocate for each one.
  static constexpr size_t kMinCapacity = 16;

  CoreEventQueue() = default;
  CoreEventQueue(const CoreEventQueue&) = delete;
  CoreEventQueue& operator=(const CoreEventQueue&) = delete;

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }

  // Appends at the tail.  Throws std::bad_alloc when the ring cannot grow.
  void PushBack(const CoreEvent& event);
  // Removes the head into *out.  The queue must not be empty.
  void PopFront(CoreEvent* out);
  // The head, and its removal without a copy.  The queue must not be empty.
  const CoreEvent& Front() const { return slots_[head_]; }
  void DropFront() {
    if (++head_ == capacity_) head_ = 0;
    --size_;
  }
  // The entry `index` places behind the head; index < size().
  const CoreEvent& At(size_t index) const {
    const size_t slot = head_ + index;
    return slots_[slot < capacity_ ? slot : slot - capacity_];
  }

  // Exchanges contents and storage with `other`, in constant time.
  void Swap(CoreEventQueue& other) noexcept;

  // Rebuilds the storage to fit the contents (never below kMinCapacity) when
  // the queue is empty with storage beyond that, or holds at most
  // max(capacity / 2, 8) entries and that bound is below the capacity.
  // Returns whether it rebuilt.
  bool Compact();

 private:
  // Moves the entries into fresh storage of `capacity` slots; false, with
  // nothing changed, when that cannot be allocated.
  bool Reallocate(size_t capacity);

  std::unique_ptr<CoreEvent[]> slots_;
  size_t capacity_ = 0;
  size_t head_ = 0;  // index of the oldest entry
  size_t size_ = 0;
};

}  // namespace eventbus

#endif  // EVENTBUS_CORE_EVENT_QUEUE_H_
