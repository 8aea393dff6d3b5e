#include "core/monitor.h"

#include <chrono>
#include <climits>
#include <utility>

#include "base/log.h"

namespace core {
namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr int64_t kNsPerSecond = 1'000'000'000;

int ClampToInt(int64_t value) {
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

}  // namespace

MemoryMonitor::MemoryMonitor(boost::asio::steady_timer& timer, MonitorHost& host,
                             platform::SystemInfo& system)
    : timer_(timer), host_(host), system_(system) {}

void MemoryMonitor::Start() {
  std::lock_guard<std::mutex> lock(timerMutex_);
  if (cancelled_) return;
  timer_.async_wait([this](const boost::system::error_code& error) { Tick(error); });
}

void MemoryMonitor::Cancel() {
  std::lock_guard<std::mutex> lock(timerMutex_);
  cancelled_ = true;
  timer_.cancel();
}

void MemoryMonitor::Tick(const boost::system::error_code& error) {
  if (error) return;
  {
    // An expiry already on its way to this handler when the stop cancelled
    // the timer still arrives without error; it must end the monitor too.
    std::lock_guard<std::mutex> lock(timerMutex_);
    if (cancelled_) return;
  }

  if (limit_ == 0) ComputeLimit();

  const int64_t now = system_.WallNowSeconds();
  const bool watching = host_.ThrottlingSwitch();
  if (lastWallSeconds_ != 0) {
    const int64_t jump = now - lastWallSeconds_;
    if (jump > 1 || jump < -1) {
      base::Log(CORE_MODULE_ID, host_.Writer(), base::kLevelWarning, "system time changed by %d seconds",
          ClampToInt(jump));
    }
  } else if (watching) {
    // Plugins learn the initial (calm) memory state once at start.
    host_.PublishMemoryState();
  }

  // The walk over the process's memory is the expensive part: once per
  // wall-clock second is enough.
  if (watching && now != lastWallSeconds_) {
    const int64_t steadyNow = system_.SteadyNowNs();
    const bool reportDue = (steadyNow - lastReportNs_) / kNsPerSecond >= kReportIntervalSeconds &&
                           base::LogEnabled(CORE_MODULE_ID, host_.Writer(), base::kLevelDebug);
    const uint64_t usage = system_.ProcessMemoryUsage();
    ThrottleDecision(usage > limit_);
    if (reportDue) {
      const int64_t change =
          (static_cast<int64_t>(usage) - static_cast<int64_t>(lastReportedUsage_)) /
          static_cast<int64_t>(kMiB);
      base::Log(CORE_MODULE_ID, host_.Writer(), base::kLevelDebug, "memory usage changed %lldMB (total usage: %zuMB)",
          static_cast<long long>(change), static_cast<size_t>(usage / kMiB));
      lastReportedUsage_ = usage;
      lastReportNs_ = system_.SteadyNowNs();
    }
  }

  lastWallSeconds_ = now;
  WaitAgain();
}

void MemoryMonitor::ThrottleDecision(bool over) {
  const int64_t now = system_.SteadyNowNs();
  host_.SetThrottling(over);
  if (over) {
    if (lastOverLimitNs_ == kNoOverLimit) {
      base::Log(CORE_MODULE_ID, host_.Writer(), base::kLevelWarning, "available system memory is low, throttling video");
      host_.PublishMemoryState();
    }
    lastOverLimitNs_ = now;
    return;
  }
  // Under the limit: the flag has already dropped; the all-clear waits until
  // a full delay has passed without any over-limit check.
  if (lastOverLimitNs_ == kNoOverLimit || now - lastOverLimitNs_ < kAllClearDelayNs) return;
  base::Log(CORE_MODULE_ID, host_.Writer(), base::kLevelWarning, "available system memory ok, not throttling video");
  host_.PublishMemoryState();
  lastOverLimitNs_ = kNoOverLimit;
}

void MemoryMonitor::ComputeLimit() {
  limit_ = kFallbackLimit;
  uint64_t physical = system_.PhysicalMemory();
  if (physical != 0) {
    // A container's memory limit is what the process really has.
    const uint64_t cgroup = system_.CgroupMemoryLimit();
    if (cgroup != 0 && cgroup < physical) physical = cgroup;
    const uint64_t halfAddressSpace = system_.AddressSpaceLimit() / 2;
    limit_ = physical < halfAddressSpace ? physical : halfAddressSpace;
  }
  base::Log(CORE_MODULE_ID, host_.Writer(), base::kLevelDebug, "memory limit set to %zu", static_cast<size_t>(limit_));
  host_.MemoryLimitSet(limit_);
}

void MemoryMonitor::WaitAgain() {
  using Clock = boost::asio::steady_timer::clock_type;
  const auto period =
      std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(kTickPeriodNs));
  std::lock_guard<std::mutex> lock(timerMutex_);
  if (cancelled_) return;
  const auto now = Clock::now();
  timer_.expires_at(now > Clock::time_point::max() - period ? Clock::time_point::max() : now + period);
  timer_.async_wait([this](const boost::system::error_code& error) { Tick(error); });
}

}  // namespace core
