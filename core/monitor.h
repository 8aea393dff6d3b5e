// The memory and clock monitor: a 100 ms tick on the I/O thread that
//  - fixes the memory limit on its first run (the machine's physical memory,
//    lowered to the container's limit, but at most half the user address
//    space; 2 GiB when the machine cannot be asked),
//  - logs every jump of the wall clock by more than one second,
//  - once per wall-clock second, while the throttling switch is on, compares
//    the process's private memory with the limit: the throttling flag follows
//    every check, an over-limit episode is announced (and the memory state
//    published) when it begins and cleared 60 s after its last over-limit
//    check, and the usage is reported at most once a minute when the core's
//    level-0 messages pass.
//
// The monitor owns its own state (limit, clocks of the previous tick and of
// the last report, last over-limit time).  The core lends it the timer, the
// log writer, the memory state publisher, the throttling flag and the switch
// through `MonitorHost`, and the machine through `platform::SystemInfo`.
//
// Threads: Start and Cancel run on the main thread; the tick and everything
// it calls run on the I/O thread, one at a time.  Tests drive ticks on their
// own thread.
#ifndef CORE_MONITOR_H_
#define CORE_MONITOR_H_

#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>
#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>

#include "platform/system_info.h"
#include "recording-core/plugin_abi.h"

namespace core {

// What the core object lends the monitor.
class MonitorHost {
 public:
  virtual ~MonitorHost() = default;
  // The core's write callback, for the monitor's log lines.
  virtual CoreWriteFn Writer() = 0;
  // Builds and posts the memory state document.
  virtual void PublishMemoryState() = 0;
  // Sets the throttling flag the write path reads.
  virtual void SetThrottling(bool on) = 0;
  // Whether memory is watched at all.
  virtual bool ThrottlingSwitch() = 0;
  // Told the memory limit once it is fixed.
  virtual void MemoryLimitSet(uint64_t limit) = 0;
};

class MemoryMonitor {
 public:
  static constexpr uint64_t kFallbackLimit = 0x80000000u;             // 2 GiB
  static constexpr int64_t kTickPeriodNs = 100'000'000;               // 100 ms
  static constexpr int64_t kAllClearDelayNs = 60'000'000'000;         // 60 s
  static constexpr int64_t kReportIntervalSeconds = 60;
  static constexpr int64_t kNoOverLimit = std::numeric_limits<int64_t>::max();

  // Keeps references to `timer` and `system`; both must outlive the monitor.
  MemoryMonitor(boost::asio::steady_timer& timer, MonitorHost& host, platform::SystemInfo& system);
  MemoryMonitor(const MemoryMonitor&) = delete;
  MemoryMonitor& operator=(const MemoryMonitor&) = delete;

  // [main] Waits on the timer with Tick as handler.  The timer's first
  // expiry was set when it was built and has normally passed, so the first
  // tick runs at once.  Does nothing once cancelled.
  void Start();
  // [main] Ends the monitor: a pending wait completes as aborted, and no
  // tick waits again, even one whose expiry was already being handled.
  void Cancel();

  // [io-thread] One tick.  An error (the cancelled wait) or a cancelled
  // monitor ends it without waiting again; otherwise the tick checks, then
  // waits again 100 ms from now.
  void Tick(const boost::system::error_code& error);
  // [io-thread] Sets the throttling flag to `over` and moves the over-limit
  // episode on: announced and published when it begins, cleared and
  // published 60 s after its last over-limit check.
  void ThrottleDecision(bool over);

  // The limit fixed on the first tick, for tests.
  uint64_t MemoryLimit() const { return limit_; }

 private:
  void ComputeLimit();
  void WaitAgain();

  boost::asio::steady_timer& timer_;
  MonitorHost& host_;
  platform::SystemInfo& system_;

  std::mutex timerMutex_;  // guards the timer's waits and cancelled_ between main and I/O thread
  bool cancelled_ = false;

  // Tick state, written on the I/O thread only.
  uint64_t limit_ = 0;                     // bytes; 0 until the first tick
  int64_t lastWallSeconds_ = 0;            // wall clock of the previous tick; 0 before the first
  int64_t lastReportNs_ = 0;               // steady clock of the last usage report
  uint64_t lastReportedUsage_ = 0;         // bytes in the last usage report
  int64_t lastOverLimitNs_ = kNoOverLimit; // last over-limit check of the announced episode
};

}  // namespace core

#endif  // CORE_MONITOR_H_
