#include "eventbus/payload_budget.h"

namespace eventbus {

void PayloadBudget::SetMemoryLimit(uint64_t memoryLimit) {
  const uint64_t share = memoryLimit / kMemoryShare;
  limit_.store(memoryLimit != 0 && share < kCeiling ? share : kCeiling, std::memory_order_relaxed);
}

bool PayloadBudget::Reserve(uint64_t bytes) {
  const uint64_t limit = Limit();
  const uint64_t reserved = reserved_.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  // Signed: a reservation given back meanwhile may make the difference
  // look negative for a moment.
  const int64_t waiting =
      static_cast<int64_t>(reserved - taken_.load(std::memory_order_relaxed));
  if (bytes <= limit && waiting <= static_cast<int64_t>(limit)) return true;
  reserved_.fetch_sub(bytes, std::memory_order_relaxed);
  refused_.fetch_add(1, std::memory_order_relaxed);
  return false;
}

uint64_t PayloadBudget::Waiting() const {
  const int64_t waiting = static_cast<int64_t>(reserved_.load(std::memory_order_relaxed) -
                                               taken_.load(std::memory_order_relaxed));
  return waiting > 0 ? static_cast<uint64_t>(waiting) : 0;
}
}  // namespace eventbus
