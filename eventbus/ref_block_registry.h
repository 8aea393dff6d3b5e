// RefBlockRegistry: who holds each shared payload block of the bus.
//
// The write path copies an event's payload once into a malloc'ed block; the
// dispatcher hands that one block to every recipient.  The registry records
// the holders of each block (the core under CORE_MODULE_ID while it delivers,
// each plugin under its systemID while it is called or keeps the block), tells
// the caller when the last holder has let go, and keeps the block count and
// byte total for the statistics line.  It never frees memory itself: the
// caller that gets `true` from ReleaseHolder frees the block.
//
// [any-thread]: one mutex guards everything and is held only for the map
// operation, never while memory is freed or a writer is woken.
#ifndef EVENTBUS_REF_BLOCK_REGISTRY_H_
#define EVENTBUS_REF_BLOCK_REGISTRY_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "eventbus/block_table.h"
#include "recording-core/plugin_abi.h"

namespace eventbus {

class RefBlockRegistry {
 public:
  struct Totals {
    uint64_t count = 0;  // live blocks
    uint64_t bytes = 0;  // sum of their sizes
  };

  RefBlockRegistry() = default;
  RefBlockRegistry(const RefBlockRegistry&) = delete;
  RefBlockRegistry& operator=(const RefBlockRegistry&) = delete;

  // Adds `holder` to the block's holders; the first holder creates the entry
  // with `size` (later sizes are ignored).  A holder already present stays
  // once.  A null block does nothing.
  void AddHolder(void* block, int64_t size, ModuleId holder);

  // Drops `holder` from the block.  Returns true when the caller must now free
  // the block: for a null block (freeing null is harmless), or when its last
  // holder went, which also removes the entry from the totals.  A block
  // without an entry (unknown, or already released) gives false and changes
  // nothing; a holder not in the set leaves the set as it is.
  bool ReleaseHolder(void* block, ModuleId holder);

  Totals Counts() const;

  // One delivery by the dispatcher, without the lock when the recipient
  // does not keep the block: the recipient is not entered while it is called
  // (the dispatcher keeps the block alive meanwhile), only afterwards, when
  // it kept the block (Kept).  A release of the block by the recipient during
  // the call, from its Write or from a thread it handed the block to, is
  // remembered and cancels the keep, exactly as if the recipient had been
  // entered first.  BeginDelivery, Kept and EndDelivery: [dispatcher].
  void BeginDelivery(const void* block, ModuleId recipient) {
    deliveries_.store(deliveries_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    recipient_.store(recipient, std::memory_order_relaxed);
    delivering_.store(block, std::memory_order_release);
  }
  void Kept(void* block, ModuleId recipient);
  void EndDelivery() { delivering_.store(nullptr, std::memory_order_release); }

  // The holders of `block` in the order they were added; empty when the block
  // has no entry.
  std::vector<ModuleId> Holders(const void* block) const;

  // One line per block still registered, in address order:
  // "address <%p> leaked by plugins [<holder>,<holder>]\n", holders in lower-
  // case hex without prefix in the order they were added.  Empty when nothing
  // is held.
  std::string LeakReport() const;

 private:
  mutable std::mutex mutex_;
  BlockTable entries_;  // guarded by mutex_
  // The delivery in progress, and a release its recipient made before it
  // was entered (guarded by mutex_; cleared when consumed or when the
  // block's entry goes).
  std::atomic<const void*> delivering_{nullptr};
  std::atomic<ModuleId> recipient_{0};
  std::atomic<uint64_t> deliveries_{0};  // numbers the deliveries
  const void* earlyBlock_ = nullptr;
  ModuleId earlyHolder_ = 0;
  uint64_t earlyDelivery_ = 0;
  // Remembers a release by the recipient of the delivery in progress.
  void NoteEarlyRelease(const void* block, ModuleId holder);
  uint64_t count_ = 0;  // guarded by mutex_
  uint64_t bytes_ = 0;  // guarded by mutex_
};

}  // namespace eventbus

#endif  // EVENTBUS_REF_BLOCK_REGISTRY_H_
