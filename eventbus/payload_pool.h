// PayloadPools: the bus's own payload allocator, recycled blocks sorted by
// size class.
//
// A camera writes the same frame sizes over and over, and a block comes back
// within microseconds of being taken, usually on the dispatcher thread, so
// the pools keep freed blocks on a last-in first-out list per class: the next
// writer gets the block that was touched last, still warm in the cache, and
// the C heap sees neither the allocation nor the free.  Classes are four per
// power of two (64, 80, 96, 112, 128, 160, ...), so a block wastes at most a
// fifth of itself.  Payloads above kLargestPooled go straight to the C heap.
// Each class keeps at most kRetainedBlocks blocks and twice as many bytes as
// the event queue's budget (the core lowers it with the budget); beyond that a
// freed block goes back to the C heap, and Trim gives everything back when
// the memory monitor throttles, so a burst does not pin its memory for good.
//
// [any-thread]: each class has its own spin lock, held only to push or pop
// list entries.
#ifndef EVENTBUS_PAYLOAD_POOL_H_
#define EVENTBUS_PAYLOAD_POOL_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "eventbus/payload_allocator.h"
#include "eventbus/spin_lock.h"

namespace eventbus {

class PayloadPools final : public PayloadAllocator {
 public:
  static constexpr size_t kLargestPooled = size_t{16} << 20;
  static constexpr size_t kRetainedBlocks = 4096;
  // Twice what the core event queue's budget lets wait at most: the blocks
  // waiting, and as many again in delivery or held by plugins.
  static constexpr size_t kRetainedBytes = size_t{512} << 20;

  // `retainedBytes` bounds what each class keeps.
  explicit PayloadPools(size_t retainedBytes = kRetainedBytes) : retainedBytes_(retainedBytes) {}
  // Frees the retained blocks.  Blocks still out are the caller's to free
  // before (Free), or leak.
  ~PayloadPools() override;
  PayloadPools(const PayloadPools&) = delete;
  PayloadPools& operator=(const PayloadPools&) = delete;

  void* Allocate(size_t size) override;
  void Free(void* block) override;
  // Blocks of one class in a row go back under one lock.
  void FreeMany(void* const* blocks, size_t count) override;

  // Blocks kept for reuse, over all classes.
  size_t RetainedBlocks() const;
  // Changes the bound on what each class keeps from now on.
  void SetRetainedBytes(size_t bytes) { retainedBytes_.store(bytes, std::memory_order_relaxed); }
  // Gives every block kept for reuse back to the C heap: the process's
  // memory is what the memory monitor throttles on, and blocks kept after a
  // burst must not hold it over its limit.
  void Trim();

  // The class a size falls in, and the block size of a class.  Exposed for
  // the tests of the class boundaries.
  static uint32_t ClassOf(size_t size);
  static size_t ClassSize(uint32_t sizeClass);

 private:
  // In front of every block: the class it belongs to, and the list link
  // while it waits on a free list.  16 bytes keep the payload aligned as
  // malloc aligns.
  struct Header {
    Header* next;
    uint32_t sizeClass;
    uint32_t reserved;
  };
  static_assert(sizeof(Header) == 16, "payload alignment");

  struct alignas(64) Pool {
    mutable SpinLock mutex;
    Header* free = nullptr;  // guarded by mutex
    size_t count = 0;        // guarded by mutex
  };

  // One past the class of kLargestPooled; also the mark of an unpooled block.
  static constexpr uint32_t kClasses = 1 + (24 - 6) * 4;

  // How many blocks `sizeClass` keeps at most.
  size_t Retained(uint32_t sizeClass) const;

  std::atomic<size_t> retainedBytes_;
  std::array<Pool, kClasses> pools_;
};

}  // namespace eventbus

#endif  // EVENTBUS_PAYLOAD_POOL_H_
