#include "pluginhost/plugin_guard.h"

#include "base/log.h"

namespace pluginhost {

const char* EntryName(Entry entry) {
  static const char* const kNames[] = {"Load", "Unload", "Open", "Close",
                                       "Read", "Write",  "Seek", "IOCTL"};
  return kNames[static_cast<size_t>(entry)];
}

void PluginGuard::ReportException(Entry entry, const char* what) {
  // A plugin that throws on every event would otherwise flood the log.
  const uint32_t bit = 1u << static_cast<unsigned>(entry);
  if ((reported_.fetch_or(bit, std::memory_order_relaxed) & bit) != 0) return;
  if (what != nullptr) {
    base::Log(CORE_MODULE_ID, writer_, base::kLevelError, "plugin %s threw an exception in %s: %s",
              fileName_.c_str(), EntryName(entry), what);
  } else {
    base::Log(CORE_MODULE_ID, writer_, base::kLevelError, "plugin %s threw an exception in %s",
              fileName_.c_str(), EntryName(entry));
  }
}

bool PluginGuard::EnterRequest() {
  std::lock_guard lock(mutex_);
  if (closed_) return false;
  ++requestThreads_;
  return true;
}

void PluginGuard::LeaveRequest() {
  std::lock_guard lock(mutex_);
  --requestThreads_;
}

int PluginGuard::CloseForRequests() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  return requestThreads_;
}

}  // namespace pluginhost
