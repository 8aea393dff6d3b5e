#include "eventbus/payload_pool.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

namespace eventbus {

uint32_t PayloadPools::ClassOf(size_t size) {
  if (size <= 64) return 0;
  if (size > kLargestPooled) return kClasses;
  // 2^(width-1) < size <= 2^width, cut into four steps of 2^(width-3).
  const unsigned width = static_cast<unsigned>(std::bit_width(size - 1));
  const size_t base = size_t{1} << (width - 1);
  const size_t step = base / 4;
  const size_t sub = (size - base + step - 1) / step;  // 1..4
  return static_cast<uint32_t>(1 + (width - 7) * 4 + (sub - 1));
}

size_t PayloadPools::ClassSize(uint32_t sizeClass) {
  if (sizeClass == 0) return 64;
  const uint32_t width = 7 + (sizeClass - 1) / 4;
  const size_t base = size_t{1} << (width - 1);
  return base + (1 + (sizeClass - 1) % 4) * (base / 4);
}

PayloadPools::~PayloadPools() {
  for (Pool& pool : pools_) {
    while (pool.free != nullptr) {
      Header* header = pool.free;
      pool.free = header->next;
      std::free(header);
    }
  }
}

void* PayloadPools::Allocate(size_t size) {
  const uint32_t sizeClass = ClassOf(size);
  Header* header = nullptr;
  if (sizeClass < kClasses) {
    Pool& pool = pools_[sizeClass];
    std::lock_guard lock(pool.mutex);
    header = pool.free;
    if (header != nullptr) {
      pool.free = header->next;
      --pool.count;
    }
  }
  if (header == nullptr) {
    const size_t bytes = sizeClass < kClasses ? ClassSize(sizeClass) : size;
    header = static_cast<Header*>(std::malloc(sizeof(Header) + bytes));
    if (header == nullptr) return nullptr;
    header->sizeClass = sizeClass;
  }
  header->next = nullptr;
  return header + 1;
}

void PayloadPools::Free(void* block) {
  if (block == nullptr) return;
  Header* header = static_cast<Header*>(block) - 1;
  const uint32_t sizeClass = header->sizeClass;
  if (sizeClass < kClasses) {
    const size_t keep = std::min(kRetainedBlocks, retainedBytes_ / ClassSize(sizeClass));
    Pool& pool = pools_[sizeClass];
    std::lock_guard lock(pool.mutex);
    if (pool.count < keep) {
      header->next = pool.free;
      pool.free = header;
      ++pool.count;
      return;
    }
  }
  std::free(header);
}

size_t PayloadPools::RetainedBlocks() const {
  size_t total = 0;
  for (const Pool& pool : pools_) {
    std::lock_guard lock(pool.mutex);
    total += pool.count;
  }
  return total;
}

}  // namespace eventbus
