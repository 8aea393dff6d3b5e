// Short module names for the console log ("core", then each plugin's
// lower-cased file stem).  The loading pass inserts names on the main thread
// while plugins loaded earlier may already log from their own threads, so
// lookups and insertions share a reader/writer lock.
//
// [any-thread]
#ifndef BASE_MODULE_NAMES_H_
#define BASE_MODULE_NAMES_H_

#include <map>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "recording-core/plugin_abi.h"

namespace base {

class ModuleNameMap {
 public:
  // Sets (or replaces) the name of `id`.
  void Set(ModuleId id, std::string name) {
    std::unique_lock lock(mutex_);
    names_[id] = std::move(name);
  }
  bool Contains(ModuleId id) const {
    std::shared_lock lock(mutex_);
    return names_.count(id) != 0;
  }
  // The name of `id`, or "?" when it has none.  Never inserts.
  std::string Lookup(ModuleId id) const {
    std::shared_lock lock(mutex_);
    auto it = names_.find(id);
    return it == names_.end() ? std::string("?") : it->second;
  }

 private:
  mutable std::shared_mutex mutex_;
  std::map<ModuleId, std::string> names_;  // guarded by mutex_
};

}  // namespace base

#endif  // BASE_MODULE_NAMES_H_
