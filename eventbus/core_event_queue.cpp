#include "eventbus/core_event_queue.h"

#include <algorithm>
#include <new>
#include <utility>

namespace eventbus {

void CoreEventQueue::PushBack(const CoreEvent& event) {
  if (size_ == capacity_ && !Reallocate(capacity_ == 0 ? kMinCapacity : capacity_ * 2))
    throw std::bad_alloc();
  size_t tail = head_ + size_;
  if (tail >= capacity_) tail -= capacity_;
  slots_[tail] = event;
  ++size_;
}

void CoreEventQueue::PopFront(CoreEvent* out) {
  *out = slots_[head_];
  if (++head_ == capacity_) head_ = 0;
  --size_;
}

void CoreEventQueue::Swap(CoreEventQueue& other) noexcept {
  std::swap(slots_, other.slots_);
  std::swap(capacity_, other.capacity_);
  std::swap(head_, other.head_);
  std::swap(size_, other.size_);
}

bool CoreEventQueue::Compact() {
  const size_t target = std::max(size_, kMinCapacity);
  if (target >= capacity_) return false;
  const size_t bound = std::max(capacity_ / 2, size_t{8});
  if (size_ != 0 && !(size_ <= bound && bound < capacity_)) return false;
  return Reallocate(target);  // without memory, the old storage simply stays
}

bool CoreEventQueue::Reallocate(size_t capacity) {
  std::unique_ptr<CoreEvent[]> slots(new (std::nothrow) CoreEvent[capacity]);
  if (!slots) return false;
  for (size_t i = 0, at = head_; i < size_; ++i) {
    slots[i] = slots_[at];
    if (++at == capacity_) at = 0;
  }
  slots_ = std::move(slots);
  capacity_ = capacity;
  head_ = 0;
  return true;
}

}  // namespace eventbus
