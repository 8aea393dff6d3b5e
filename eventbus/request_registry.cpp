#include "eventbus/request_registry.h"

namespace eventbus {

void WriterSlot::Claim(void* block) {
  std::unique_lock lock(mutex_);
  cv_.wait(lock, [this] { return pending_ == nullptr; });
  pending_ = block;
}

void WriterSlot::WakeIf(void* block) {
  std::lock_guard lock(mutex_);
  if (pending_ != block) return;
  pending_ = nullptr;
  cv_.notify_one();
}

void RequestRegistry::Cancel(uint32_t requestID) {
  std::lock_guard lock(mutex_);
  cancelled_.insert(requestID);
}

void RequestRegistry::Reissue(uint32_t requestID) {
  std::lock_guard lock(mutex_);
  cancelled_.erase(requestID);
}

WriterSlot* RequestRegistry::SlotFor(uint32_t requestID, uint32_t threadId) {
  std::lock_guard lock(mutex_);
  if (cancelled_.count(requestID) != 0) return nullptr;
  auto it = slots_.find(threadId);
  return it == slots_.end() ? nullptr : it->second.get();
}

void RequestRegistry::RegisterRequestThread(uint32_t threadId, bool on) {
  std::lock_guard lock(mutex_);
  if (on) {
    std::unique_ptr<WriterSlot>& slot = slots_[threadId];
    if (!slot) slot = std::make_unique<WriterSlot>();
  } else {
    slots_.erase(threadId);
  }
  slotCount_.store(slots_.size(), std::memory_order_relaxed);
}

void RequestRegistry::WakeWriters(void* block) {
  if (block == nullptr) return;
  // A slot that waits on this block was claimed before the block was queued,
  // and the queue and block-registry mutexes order that claim before this
  // call, so a zero count here means no slot can be waiting on it.
  if (slotCount_.load(std::memory_order_relaxed) == 0) return;
  std::lock_guard lock(mutex_);
  for (auto& [thread, slot] : slots_) slot->WakeIf(block);
}

size_t RequestRegistry::SlotCount() const {
  std::lock_guard lock(mutex_);
  return slots_.size();
}

}  // namespace eventbus
