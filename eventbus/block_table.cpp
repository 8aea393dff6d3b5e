#include "eventbus/block_table.h"

#include <utility>

namespace eventbus {

BlockTable::BlockTable(size_t initialSlots) {
  size_t slots = 16;
  while (slots < initialSlots) slots *= 2;
  slots_.resize(slots);
  mask_ = slots - 1;
}

size_t BlockTable::Home(const void* block) const {
  // Fibonacci hashing: the high bits of the product mix every address bit,
  // including the low ones that allocator alignment leaves constant.
  const uint64_t product = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(block)) * 0x9E3779B97F4A7C15ull;
  return static_cast<size_t>(product >> 32) & mask_;
}

BlockTable::Entry* BlockTable::Find(const void* block) {
  for (size_t i = Home(block);; i = (i + 1) & mask_) {
    Entry& entry = slots_[i];
    if (entry.block == block) return &entry;
    if (entry.block == nullptr) return nullptr;
  }
}

const BlockTable::Entry* BlockTable::Find(const void* block) const {
  return const_cast<BlockTable*>(this)->Find(block);
}

BlockTable::Entry* BlockTable::Insert(const void* block) {
  // At most half full, so probe runs stay short and a free slot always exists.
  if ((used_ + 1) * 2 > slots_.size()) Grow();
  size_t i = Home(block);
  while (slots_[i].block != nullptr) i = (i + 1) & mask_;
  ++used_;
  slots_[i].block = block;
  return &slots_[i];
}

void BlockTable::Erase(Entry* entry) {
  size_t hole = static_cast<size_t>(entry - slots_.data());
  // Shift back every following entry of the run that may not stay behind the
  // hole: one whose home lies cyclically in (hole, i] is still reachable.
  for (size_t i = (hole + 1) & mask_; slots_[i].block != nullptr; i = (i + 1) & mask_) {
    const size_t home = Home(slots_[i].block);
    const bool reachable = hole <= i ? (hole < home && home <= i) : (hole < home || home <= i);
    if (reachable) continue;
    slots_[hole] = std::move(slots_[i]);
    hole = i;
  }
  slots_[hole].block = nullptr;
  slots_[hole].size = 0;
  slots_[hole].holders.clear();
  --used_;
}

void BlockTable::Grow() {
  std::vector<Entry> old(slots_.size() * 2);
  old.swap(slots_);
  mask_ = slots_.size() - 1;
  for (Entry& entry : old) {
    if (entry.block == nullptr) continue;
    size_t i = Home(entry.block);
    while (slots_[i].block != nullptr) i = (i + 1) & mask_;
    slots_[i] = std::move(entry);
  }
}

}  // namespace eventbus
