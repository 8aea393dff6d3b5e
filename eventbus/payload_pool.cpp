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

size_t PayloadPools::Retained(uint32_t sizeClass) const {
  return std::min(kRetainedBlocks,
                  retainedBytes_.load(std::memory_order_relaxed) / ClassSize(sizeClass));
}

void PayloadPools::Free(void* block) { FreeMany(&block, 1); }

void PayloadPools::FreeMany(void* const* blocks, size_t count) {
  size_t i = 0;
  while (i < count) {
    if (blocks[i] == nullptr) {
      ++i;
      continue;
    }
    const uint32_t sizeClass = (static_cast<Header*>(blocks[i]) - 1)->sizeClass;
    if (sizeClass >= kClasses) {
      std::free(static_cast<Header*>(blocks[i]) - 1);
      ++i;
      continue;
    }
    // The run of blocks of this class goes back under one lock; what the
    // class cannot keep goes to the C heap after the lock is released.
    Header* spill = nullptr;
    {
      const size_t keep = Retained(sizeClass);
      Pool& pool = pools_[sizeClass];
      std::lock_guard lock(pool.mutex);
      for (; i < count && blocks[i] != nullptr; ++i) {
        Header* header = static_cast<Header*>(blocks[i]) - 1;
        if (header->sizeClass != sizeClass) break;
        Header*& list = pool.count < keep ? pool.free : spill;
        if (pool.count < keep) ++pool.count;
        header->next = list;
        list = header;
      }
    }
    while (spill != nullptr) {
      Header* next = spill->next;
      std::free(spill);
      spill = next;
    }
  }
}

void PayloadPools::Trim() {
  for (Pool& pool : pools_) {
    Header* list = nullptr;
    {
      std::lock_guard lock(pool.mutex);
      list = pool.free;
      pool.free = nullptr;
      pool.count = 0;
    }
    while (list != nullptr) {
      Header* next = list->next;
      std::free(list);
      list = next;
    }
  }
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
