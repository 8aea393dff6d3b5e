#include "core/monitor.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <algorithm>
#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace core {
namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;
constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr int64_t kSecond = 1'000'000'000;
const std::string kLow = "50:available system memory is low, throttling video";
const std::string kOk = "50:available system memory ok, not throttling video";

// The core's log as the write path answers it: threshold queries get a
// settable threshold, messages are kept as "LEVEL:TEXT".  A C callback has
// no context, hence the one shared instance.
struct FakeLog {
  std::mutex mutex;
  int32_t threshold = 0;
  std::vector<std::string> lines;
} g_log;

int32_t FakeWrite(const CoreEvent* event, WriteResult* result) {
  std::lock_guard<std::mutex> lock(g_log.mutex);
  if (event->eventSubtype & SUBTYPE_LOG_MESSAGE) {
    g_log.lines.push_back(std::to_string(event->attributes.logLevel) + ":" +
                          static_cast<const char*>(event->data));
  } else {
    result->code = g_log.threshold;
  }
  return 0;
}

struct FakeSystem : platform::SystemInfo {
  uint64_t physical = 16 * kGiB, cgroup = 0, addressSpace = uint64_t{1} << 47, usage = 0;
  std::atomic<int64_t> wall{1'700'000'000}, steady{1000 * kSecond};
  int usageReads = 0;
  uint64_t PhysicalMemory() override { return physical; }
  uint64_t CgroupMemoryLimit() override { return cgroup; }
  uint64_t AddressSpaceLimit() override { return addressSpace; }
  uint64_t ProcessMemoryUsage() override { return ++usageReads, usage; }
  int64_t WallNowSeconds() override { return wall; }
  int64_t SteadyNowNs() override { return steady; }
};

class MonitorTest : public testing::Test {
 protected:
  MonitorTest() { g_log.threshold = 0, g_log.lines.clear(); }
  MonitorHost Host() {
    return MonitorHost{&FakeWrite, [this] { published.push_back(flag); },
                       [this](bool value) { flag = value; }, [this] { return throttlingSwitch; }};
  }
  // Moves the steady clock by `seconds` and the wall clock by `wallSeconds`
  // (the same unless given), then ticks.
  void TickAfter(int64_t seconds, std::optional<int64_t> wallSeconds = {}) {
    system.wall += wallSeconds.value_or(seconds);
    system.steady += seconds * kSecond;
    monitor.Tick({});
  }
  // One tick a second for `seconds` seconds with `usage`.
  void Hold(uint64_t usage, int seconds) {
    system.usage = usage;
    for (int i = 0; i < seconds; ++i) TickAfter(1);
  }
  size_t Count(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_log.mutex);
    return std::count(g_log.lines.begin(), g_log.lines.end(), line);
  }

  boost::asio::io_context io;
  boost::asio::steady_timer timer{io, std::chrono::milliseconds(100)};
  FakeSystem system;
  bool throttlingSwitch = true, flag = false;
  std::vector<bool> published;  // the flag at each publish
  MemoryMonitor monitor{timer, Host(), system};
};

TEST_F(MonitorTest, LimitFromMachineOnFirstTickOnly) {
  struct { uint64_t physical, cgroup, addressSpace, limit; } const cases[] = {
      {16 * kGiB, 0, uint64_t{1} << 47, 16 * kGiB},        // 128 TiB address space
      {128 * kGiB, 0, 64 * kGiB, 32 * kGiB},               // half the address space
      {16 * kGiB, 4 * kGiB, uint64_t{1} << 47, 4 * kGiB},  // container limit
      {0, 0, uint64_t{1} << 47, 0x80000000u},              // machine unknown: 2 GiB
  };
  for (const auto& c : cases) {
    FakeSystem machine;
    machine.physical = c.physical, machine.cgroup = c.cgroup, machine.addressSpace = c.addressSpace;
    boost::asio::steady_timer ownTimer(io);
    MemoryMonitor fresh(ownTimer, Host(), machine);
    fresh.Tick({});
    machine.physical = kGiB, machine.wall += 1;
    fresh.Tick({});
    EXPECT_EQ(fresh.MemoryLimit(), c.limit);
    EXPECT_EQ(Count("0:memory limit set to " + std::to_string(c.limit)), 1u);
    g_log.lines.clear();
  }
}

TEST_F(MonitorTest, ThrottleEpisode) {
  system.usage = 16 * kGiB;  // equal to the limit: not over
  monitor.Tick({});
  EXPECT_FALSE(flag);
  Hold(16 * kGiB + 1, 10);  // over from second 1 to 10
  EXPECT_TRUE(flag);
  Hold(kGiB, 1);  // the flag drops at once
  EXPECT_FALSE(flag);
  Hold(kGiB, 58);  // second 69
  EXPECT_EQ(Count(kOk), 0u);
  Hold(kGiB, 1);  // 60 s after the last over-limit check
  EXPECT_EQ(Count(kOk), 1u);
  EXPECT_EQ(monitor.LastOverLimitNs(), MemoryMonitor::kNoOverLimit);

  // A second episode, renewed by one more over-limit check within the delay.
  Hold(17 * kGiB, 1);
  Hold(kGiB, 20);
  Hold(17 * kGiB, 1);
  EXPECT_TRUE(flag);
  Hold(kGiB, 59);
  EXPECT_EQ(Count(kOk), 1u);
  Hold(kGiB, 1);
  EXPECT_EQ(Count(kLow), 2u);
  EXPECT_EQ(Count(kOk), 2u);
  // The first tick's calm state, then each announcement.
  EXPECT_EQ(published, (std::vector<bool>{false, true, false, true, false}));
}

TEST_F(MonitorTest, SwitchOffWatchesOnlyTheClock) {
  throttlingSwitch = false;
  system.usage = 100 * kGiB;
  monitor.Tick({});
  TickAfter(1);
  TickAfter(120);
  EXPECT_FALSE(flag);
  EXPECT_TRUE(published.empty());
  EXPECT_EQ(system.usageReads, 0);
  EXPECT_EQ(g_log.lines, (std::vector<std::string>{"0:memory limit set to 17179869184",
                                                   "50:system time changed by 120 seconds"}));
}

TEST_F(MonitorTest, ClockJumpsAndOncePerSecondChecks) {
  monitor.Tick({});
  monitor.Tick({});  // same second: no second usage check
  EXPECT_EQ(system.usageReads, 1);
  for (int jump : {-5, 1, -1, 2}) TickAfter(jump);
  EXPECT_EQ(system.usageReads, 5);
  EXPECT_EQ(g_log.lines.size(), 4u);  // limit, first report, two jumps
  EXPECT_EQ(Count("50:system time changed by -5 seconds"), 1u);
  EXPECT_EQ(Count("50:system time changed by 2 seconds"), 1u);
}

TEST_F(MonitorTest, UsageReports) {
  system.usage = 300 * kMiB;
  monitor.Tick({});  // the first report shows the whole usage as the change
  EXPECT_EQ(Count("0:memory usage changed 300MB (total usage: 300MB)"), 1u);
  system.usage = 298 * kMiB + kMiB / 2;  // 1.5 MiB less
  TickAfter(59, 1);
  EXPECT_EQ(g_log.lines.size(), 2u);  // not yet a minute
  TickAfter(1, 1);
  EXPECT_EQ(Count("0:memory usage changed -1MB (total usage: 298MB)"), 1u);
  // Level 0 filtered for the core: no report, nothing remembered.
  g_log.threshold = 25;
  system.usage = 400 * kMiB;
  TickAfter(120, 1);
  EXPECT_EQ(g_log.lines.size(), 3u);
  EXPECT_EQ(monitor.LastReportedUsage(), 298 * kMiB + kMiB / 2);
}

TEST_F(MonitorTest, TickWaitsAgainUntilCancelled) {
  monitor.Tick(boost::asio::error::operation_aborted);
  EXPECT_TRUE(g_log.lines.empty());
  EXPECT_EQ(timer.cancel(), 0u);  // no wait pending
  const auto before = std::chrono::steady_clock::now();
  monitor.Tick({});
  EXPECT_GE(timer.expiry(), before + std::chrono::milliseconds(100));
  EXPECT_EQ(timer.cancel(), 1u);
  // An expiry already on its way to the handler when the stop cancels.
  monitor.Cancel();
  g_log.lines.clear();
  TickAfter(5);
  EXPECT_TRUE(g_log.lines.empty());
  EXPECT_EQ(timer.cancel(), 0u);
}

TEST_F(MonitorTest, StartThenCancelEndsTheIoService) {
  // Real 100 ms ticks on an I/O thread; waits generously for a line.
  const auto waitForLine = [this](const std::string& line) {
    for (int i = 0; i < 600 && Count(line) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return Count(line) == 1;
  };
  monitor.Start();
  auto run = std::async(std::launch::async, [this] { io.run(); });
  EXPECT_TRUE(waitForLine("0:memory limit set to 17179869184"));
  system.wall += 2;
  EXPECT_TRUE(waitForLine("50:system time changed by 2 seconds"));
  monitor.Cancel();
  const bool ended = run.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  if (!ended) io.stop();
  EXPECT_TRUE(ended);
}

}  // namespace
}  // namespace core
