#include "eventbus/ref_block_registry.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <functional>

namespace eventbus {

void RefBlockRegistry::AddHolder(void* block, int64_t size, ModuleId holder) {
  if (block == nullptr) return;
  std::lock_guard lock(mutex_);
  BlockTable::Entry* entry = entries_.Find(block);
  if (entry == nullptr) {
    entry = entries_.Insert(block);
    entry->size = size;
    entry->holders.push_back(holder);
    ++count_;
    bytes_ += static_cast<uint64_t>(size);
    return;
  }
  if (std::find(entry->holders.begin(), entry->holders.end(), holder) == entry->holders.end())
    entry->holders.push_back(holder);
}

bool RefBlockRegistry::ReleaseHolder(void* block, ModuleId holder) {
  if (block == nullptr) return true;
  std::lock_guard lock(mutex_);
  BlockTable::Entry* entry = entries_.Find(block);
  if (entry == nullptr) {
    NoteEarlyRelease(block, holder);
    return false;
  }
  auto pos = std::find(entry->holders.begin(), entry->holders.end(), holder);
  if (pos != entry->holders.end())
    entry->holders.erase(pos);
  else
    NoteEarlyRelease(block, holder);
  if (!entry->holders.empty()) return false;
  bytes_ -= static_cast<uint64_t>(entry->size);
  --count_;
  entries_.Erase(entry);
  return true;
}

void RefBlockRegistry::NoteEarlyRelease(const void* block, ModuleId holder) {
  if (block != delivering_.load(std::memory_order_acquire) ||
      holder != recipient_.load(std::memory_order_relaxed))
    return;
  earlyBlock_ = block;  // the recipient let go before it was entered
  earlyHolder_ = holder;
  earlyDelivery_ = deliveries_.load(std::memory_order_relaxed);
}

void RefBlockRegistry::Kept(void* block, ModuleId recipient) {
  if (block == nullptr) return;
  std::lock_guard lock(mutex_);
  if (earlyBlock_ == block && earlyHolder_ == recipient &&
      earlyDelivery_ == deliveries_.load(std::memory_order_relaxed)) {
    earlyBlock_ = nullptr;  // released already: the keep is void
    return;
  }
  BlockTable::Entry* entry = entries_.Find(block);
  if (entry == nullptr) return;  // no hold of the core's: nothing to keep alive
  if (std::find(entry->holders.begin(), entry->holders.end(), recipient) == entry->holders.end())
    entry->holders.push_back(recipient);
}

RefBlockRegistry::Totals RefBlockRegistry::Counts() const {
  std::lock_guard lock(mutex_);
  return Totals{count_, bytes_};
}

std::vector<ModuleId> RefBlockRegistry::Holders(const void* block) const {
  std::lock_guard lock(mutex_);
  const BlockTable::Entry* entry = entries_.Find(block);
  if (entry == nullptr) return {};
  return std::vector<ModuleId>(entry->holders.begin(), entry->holders.end());
}

std::string RefBlockRegistry::LeakReport() const {
  std::lock_guard lock(mutex_);
  // The table has no order of its own; address order makes the report stable.
  std::vector<const BlockTable::Entry*> sorted;
  sorted.reserve(entries_.size());
  entries_.ForEach([&](const BlockTable::Entry& entry) { sorted.push_back(&entry); });
  std::sort(sorted.begin(), sorted.end(), [](const BlockTable::Entry* a, const BlockTable::Entry* b) {
    return std::less<const void*>()(a->block, b->block);
  });

  std::string report;
  char buffer[64];
  for (const BlockTable::Entry* entry : sorted) {
    std::snprintf(buffer, sizeof buffer, "address %p", entry->block);
    report += buffer;
    report += " leaked by plugins [";
    bool first = true;
    for (ModuleId holder : entry->holders) {
      std::snprintf(buffer, sizeof buffer, first ? "%" PRIx32 : ",%" PRIx32, holder);
      report += buffer;
      first = false;
    }
    report += "]\n";
  }
  return report;
}

}  // namespace eventbus
