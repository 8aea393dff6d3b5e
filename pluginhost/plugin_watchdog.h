// PluginWatchdog: tells the operator which plugin the core is waiting for.
//
// The core waits for plugins without a time limit: a plugin stuck in Load,
// Open, Close or Unload, or one whose thread does not end, holds start or
// stop up for good, and that stays so.  What the watchdog adds is a voice:
// while one wait lasts longer than the interval (10 s), it logs "waiting for
// plugin NAME in ENTRY for N s" at level 100, and again every interval while
// the wait goes on.  It never interrupts anything.
//
// The waits are armed by the plugin host's passes on the main thread, one at
// a time; the watchdog's own thread sleeps on a condition variable until a
// wait is armed and its next deadline comes.  [main] Watch; the destructor
// joins the thread.
#ifndef PLUGINHOST_PLUGIN_WATCHDOG_H_
#define PLUGINHOST_PLUGIN_WATCHDOG_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "recording-core/plugin_abi.h"

namespace pluginhost {

class PluginWatchdog {
 public:
  static constexpr std::chrono::milliseconds kInterval{10000};

  // `writer` carries the lines.  Tests shorten the interval.
  explicit PluginWatchdog(CoreWriteFn writer, std::chrono::milliseconds interval = kInterval);
  ~PluginWatchdog();
  PluginWatchdog(const PluginWatchdog&) = delete;
  PluginWatchdog& operator=(const PluginWatchdog&) = delete;

  // Arms the watchdog for one wait until the scope ends.
  class Scope {
   public:
    Scope(PluginWatchdog* watchdog, const std::string& plugin, const char* entry);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    PluginWatchdog* watchdog_;
  };

 private:
  void Arm(const std::string& plugin, const char* entry);
  void Disarm();
  void Run();

  const CoreWriteFn writer_;
  const std::chrono::milliseconds interval_;

  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;                                // guarded by mutex_
  uint64_t wait_ = 0;                                // guarded by mutex_; 0: none armed
  std::string plugin_;                               // guarded by mutex_
  const char* entry_ = "";                           // guarded by mutex_
  std::chrono::steady_clock::time_point since_;      // guarded by mutex_
  uint64_t nextWait_ = 1;                            // guarded by mutex_
  std::thread thread_;
};

}  // namespace pluginhost

#endif  // PLUGINHOST_PLUGIN_WATCHDOG_H_
