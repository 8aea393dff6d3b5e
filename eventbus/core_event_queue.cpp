#include "eventbus/core_event_queue.h"

#include <algorithm>

namespace eventbus {

void CoreEventQueue::PushBack(const CoreEvent& event) {
  if (size_ == capacity_) Reallocate(capacity_ == 0 ? kMinCapacity : capacity_ * 2);
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

bool CoreEventQueue::Compact() {
  const size_t target = std::max(size_, kMinCapacity);
  if (target >= capacity_) return false;
  const size_t bound = std::max(capacity_ / 2, size_t{8});
  if (size_ != 0 && !(size_ <= bound && bound < capacity_)) return false;
  Reallocate(target);
  return true;
}

void CoreEventQueue::Reallocate(size_t capacity) {
  std::unique_ptr<CoreEvent[]> slots(new CoreEvent[capacity]);
  for (size_t i = 0, at = head_; i < size_; ++i) {
    slots[i] = slots_[at];
    if (++at == capacity_) at = 0;
  }
  slots_ = std::move(slots);
  capacity_ = capacity;
  head_ = 0;
}

}  // namespace eventbus
