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
  uint64_t count_ = 0;  // guarded by mutex_
  uint64_t bytes_ = 0;  // guarded by mutex_
};

}  // namespace eventbus

#endif  // EVENTBUS_REF_BLOCK_REGISTRY_H_
