#include "pluginhost/plugin_watchdog.h"

#include "base/log.h"

namespace pluginhost {

PluginWatchdog::PluginWatchdog(CoreWriteFn writer, std::chrono::milliseconds interval)
    : writer_(writer), interval_(interval), thread_([this] { Run(); }) {}

PluginWatchdog::~PluginWatchdog() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  changed_.notify_one();
  thread_.join();
}

PluginWatchdog::Scope::Scope(PluginWatchdog* watchdog, const std::string& plugin, const char* entry)
    : watchdog_(watchdog) {
  if (watchdog_ != nullptr) watchdog_->Arm(plugin, entry);
}

PluginWatchdog::Scope::~Scope() {
  if (watchdog_ != nullptr) watchdog_->Disarm();
}

void PluginWatchdog::Arm(const std::string& plugin, const char* entry) {
  {
    std::lock_guard lock(mutex_);
    wait_ = nextWait_++;
    plugin_ = plugin;
    entry_ = entry;
    since_ = std::chrono::steady_clock::now();
  }
  changed_.notify_one();
}

void PluginWatchdog::Disarm() {
  {
    std::lock_guard lock(mutex_);
    wait_ = 0;
  }
  changed_.notify_one();
}

void PluginWatchdog::Run() {
  std::unique_lock lock(mutex_);
  while (!stop_) {
    if (wait_ == 0) {
      changed_.wait(lock, [this] { return stop_ || wait_ != 0; });
      continue;
    }
    // One wait: a line at every whole interval it lasts, until it ends or
    // another wait replaces it.
    const uint64_t wait = wait_;
    const auto since = since_;
    for (int64_t reports = 1; !stop_ && wait_ == wait; ++reports) {
      const auto deadline = since + interval_ * reports;
      if (changed_.wait_until(lock, deadline, [&] { return stop_ || wait_ != wait; })) break;
      const std::string plugin = plugin_;
      const char* entry = entry_;
      const auto seconds =
          std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - since);
      // The line goes through the write path; the passes must not be kept
      // from disarming meanwhile.
      lock.unlock();
      base::Log(CORE_MODULE_ID, writer_, base::kLevelFatal, "waiting for plugin %s in %s for %lld s",
                plugin.c_str(), entry, static_cast<long long>(seconds.count()));
      lock.lock();
    }
  }
}

}  // namespace pluginhost
