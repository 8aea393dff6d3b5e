// BlockTable: the map from payload block address to its size and holders
// behind RefBlockRegistry.
//
// Every event the dispatcher delivers costs two holder updates per recipient
// plus an insertion and a removal, so the map is an open-addressing table:
// linear probing over a power-of-two array with a multiplicative hash of the
// address, removal by shifting the following entries back (no tombstones).
// No allocation per block and no division per lookup.
//
// Not thread-safe: RefBlockRegistry guards it with its mutex.
#ifndef EVENTBUS_BLOCK_TABLE_H_
#define EVENTBUS_BLOCK_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include <boost/container/small_vector.hpp>

#include "recording-core/plugin_abi.h"

namespace eventbus {

class BlockTable {
 public:
  // A holder set stays small (the core plus the recipients still holding), so
  // a short vector kept in insertion order serves as the set.
  using HolderSet = boost::container::small_vector<ModuleId, 4>;
  struct Entry {
    const void* block = nullptr;  // null: free slot
    int64_t size = 0;
    HolderSet holders;
  };

  explicit BlockTable(size_t initialSlots = 64);

  // The entry of `block`, or null.  Valid until the next Insert or Erase.
  Entry* Find(const void* block);
  const Entry* Find(const void* block) const;
  // Inserts an empty entry for `block`, which must not be present.  Throws
  // std::bad_alloc when the table cannot grow.
  Entry* Insert(const void* block);
  // Removes the entry, which must come from Find or Insert.
  void Erase(Entry* entry);

  size_t size() const { return used_; }

  template <typename Fn>
  void ForEach(Fn&& fn) const {
    for (const Entry& entry : slots_)
      if (entry.block != nullptr) fn(entry);
  }

 private:
  size_t Home(const void* block) const;
  void Grow();

  std::vector<Entry> slots_;  // size is a power of two
  size_t mask_;
  size_t used_ = 0;
};

}  // namespace eventbus

#endif  // EVENTBUS_BLOCK_TABLE_H_
