#include "eventbus/ref_block_registry.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

namespace eventbus {

RefBlockRegistry::RefBlockRegistry() {
  // Enough buckets for a deep queue of held blocks without rehashing on the
  // hot path.
  entries_.reserve(1024);
}

void RefBlockRegistry::AddHolder(void* block, int64_t size, ModuleId holder) {
  if (block == nullptr) return;
  std::lock_guard lock(mutex_);
  auto [it, inserted] = entries_.try_emplace(block);
  Entry& entry = it->second;
  if (inserted) {
    entry.size = size;
    entry.holders.push_back(holder);
    ++count_;
    bytes_ += static_cast<uint64_t>(size);
    return;
  }
  if (std::find(entry.holders.begin(), entry.holders.end(), holder) == entry.holders.end())
    entry.holders.push_back(holder);
}

bool RefBlockRegistry::ReleaseHolder(void* block, ModuleId holder) {
  if (block == nullptr) return true;
  std::lock_guard lock(mutex_);
  auto it = entries_.find(block);
  if (it == entries_.end()) return false;
  Entry& entry = it->second;
  auto pos = std::find(entry.holders.begin(), entry.holders.end(), holder);
  if (pos != entry.holders.end()) entry.holders.erase(pos);
  if (!entry.holders.empty()) return false;
  bytes_ -= static_cast<uint64_t>(entry.size);
  --count_;
  entries_.erase(it);
  return true;
}

RefBlockRegistry::Totals RefBlockRegistry::Counts() const {
  std::lock_guard lock(mutex_);
  return Totals{count_, bytes_};
}

std::vector<ModuleId> RefBlockRegistry::Holders(const void* block) const {
  std::lock_guard lock(mutex_);
  auto it = entries_.find(block);
  if (it == entries_.end()) return {};
  return std::vector<ModuleId>(it->second.holders.begin(), it->second.holders.end());
}

std::string RefBlockRegistry::LeakReport() const {
  std::lock_guard lock(mutex_);
  // The map has no order of its own; address order makes the report stable.
  std::vector<const std::pair<const void* const, Entry>*> sorted;
  sorted.reserve(entries_.size());
  for (const auto& item : entries_) sorted.push_back(&item);
  std::sort(sorted.begin(), sorted.end(),
            [](const auto* a, const auto* b) { return std::less<const void*>()(a->first, b->first); });

  std::string report;
  char buffer[64];
  for (const auto* item : sorted) {
    std::snprintf(buffer, sizeof buffer, "address %p", item->first);
    report += buffer;
    report += " leaked by plugins [";
    bool first = true;
    for (ModuleId holder : item->second.holders) {
      std::snprintf(buffer, sizeof buffer, first ? "%" PRIx32 : ",%" PRIx32, holder);
      report += buffer;
      first = false;
    }
    report += "]\n";
  }
  return report;
}

}  // namespace eventbus
