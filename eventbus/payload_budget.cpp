#include "eventbus/payload_budget.h"

namespace eventbus {

void PayloadBudget::SetMemoryLimit(uint64_t memoryLimit) {
  const uint64_t share = memoryLimit / kMemoryShare;
  limit_.store(memoryLimit != 0 && share < kCeiling ? share : kCeiling, std::memory_order_relaxed);
}

bool PayloadBudget::Reserve(uint64_t bytes) {
  const uint64_t limit = Limit();
  uint64_t waiting = waiting_.load(std::memory_order_relaxed);
  do {
    if (bytes > limit || waiting > limit - bytes) {
      refused_.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
  } while (!waiting_.compare_exchange_weak(waiting, waiting + bytes, std::memory_order_relaxed));
  return true;
}

}  // namespace eventbus
