#include "core/monitor.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tests/recording_writer.h"

namespace core {
namespace {

using Strings = std::vector<std::string>;
constexpr uint64_t kGiB = uint64_t{1} << 30, kMiB = uint64_t{1} << 20;
constexpr int64_t kSecond = 1'000'000'000;
const std::string kLow = "50:available system memory is low, throttling video";
const std::string kOk = "50:available system memory ok, not throttling video";

// The core's log as the write path answers it: threshold queries get the
// writer's threshold (0 unless a test sets it), messages are kept.
using testing_writer::RecordingWriter;
RecordingWriter& g_log = RecordingWriter::Instance();

struct FakeSystem : platform::SystemInfo {
  uint64_t physical = 16 * kGiB, cgroup = 0, addressSpace = uint64_t{1} << 47, usage = 0;
  int64_t wall = 1'700'000'000, steady = 1000 * kSecond;
  int usageReads = 0;
  uint64_t PhysicalMemory() override { return physical; }
  uint64_t CgroupMemoryLimit() override { return cgroup; }
  uint64_t AddressSpaceLimit() override { return addressSpace; }
  uint64_t ProcessMemoryUsage() override { return ++usageReads, usage; }
  int64_t WallNowSeconds() override { return wall; }
  int64_t SteadyNowNs() override { return steady; }
};

class MonitorTest : public testing::Test, public MonitorHost {
 protected:
  MonitorTest() { g_log.Reset(0); }
  CoreWriteFn Writer() override { return &RecordingWriter::Write; }
  void PublishMemoryState() override { published.push_back(flag); }
  void SetThrottling(bool on) override { flag = on; }
  bool ThrottlingSwitch() override { return throttlingSwitch; }
  void MemoryLimitSet(uint64_t limit) override { limits.push_back(limit); }
  // Moves the steady clock by `seconds` and the wall clock by `wall` (the same unless given), then ticks.
  void TickAfter(int64_t seconds, std::optional<int64_t> wall = {}) {
    system.wall += wall.value_or(seconds);
    system.steady += seconds * kSecond;
    monitor.Tick({});
  }
  // One tick a second for `seconds` seconds with `usage`.
  void Hold(uint64_t usage, int seconds) {
    system.usage = usage;
    for (int i = 0; i < seconds; ++i) TickAfter(1);
  }
  size_t Count(const std::string& line) {
    const Strings lines = g_log.Lines();
    return std::count(lines.begin(), lines.end(), line);
  }

  boost::asio::io_context io;
  boost::asio::steady_timer timer{io};
  FakeSystem system;
  bool throttlingSwitch = true, flag = false;
  std::vector<bool> published;  // the flag at each publish
  std::vector<uint64_t> limits;  // each limit the host was told
  MemoryMonitor monitor{timer, *this, system};
};

TEST_F(MonitorTest, LimitFromMachineOnFirstTickOnly) {
  struct { uint64_t physical, cgroup, addressSpace, limit; } const cases[] = {
      {128 * kGiB, 0, 64 * kGiB, 32 * kGiB},               // half the address space
      {16 * kGiB, 4 * kGiB, uint64_t{1} << 47, 4 * kGiB},  // container limit
      {0, 0, uint64_t{1} << 47, 0x80000000u},              // machine unknown: 2 GiB
  };
  for (const auto& c : cases) {
    g_log.Reset(0);
    FakeSystem machine;
    machine.physical = c.physical, machine.cgroup = c.cgroup, machine.addressSpace = c.addressSpace;
    MemoryMonitor fresh(timer, *this, machine);
    fresh.Tick({});
    machine.physical = kGiB;
    fresh.Tick({});
    EXPECT_EQ(fresh.MemoryLimit(), c.limit);
    ASSERT_FALSE(limits.empty());
    EXPECT_EQ(limits.back(), c.limit);  // told once, on the first tick
    EXPECT_EQ(Count("0:memory limit set to " + std::to_string(c.limit)), 1u);
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
  // A second episode, renewed by one more over-limit check within the delay.
  Hold(17 * kGiB, 1);
  Hold(kGiB, 20);
  Hold(17 * kGiB, 1);
  Hold(kGiB, 59);
  EXPECT_EQ(Count(kOk), 1u);
  Hold(kGiB, 1);
  EXPECT_EQ(Count(kLow), 2u);
  EXPECT_EQ(Count(kOk), 2u);
  // The first tick's calm state, then each announcement.
  EXPECT_EQ(published, (std::vector<bool>{false, true, false, true, false}));
}

TEST_F(MonitorTest, ClockJumpsAndTheSwitch) {
  throttlingSwitch = false;  // memory unwatched: no usage check, no flag, no publish
  system.usage = 100 * kGiB;
  monitor.Tick({});
  TickAfter(-5);
  TickAfter(1);
  EXPECT_EQ(system.usageReads, 0);
  throttlingSwitch = true;
  system.usage = 0;
  TickAfter(-1);
  monitor.Tick({});  // the same second: no second usage check
  TickAfter(2);
  EXPECT_EQ(system.usageReads, 2);
  EXPECT_TRUE(!flag && published.empty());
  EXPECT_EQ(g_log.Lines(), (Strings{"0:memory limit set to 17179869184",
                                    "50:system time changed by -5 seconds",
                                    "0:memory usage changed 0MB (total usage: 0MB)",
                                    "50:system time changed by 2 seconds"}));
}

TEST_F(MonitorTest, UsageReportsOncePerMinuteAtLevel0) {
  system.usage = 300 * kMiB;
  monitor.Tick({});  // the first report shows the whole usage as the change
  system.usage = 298 * kMiB + kMiB / 2;  // 1.5 MiB less
  TickAfter(59, 1);  // not yet a minute
  TickAfter(1, 1);
  g_log.SetThreshold(25);  // level 0 filtered: no report, nothing remembered
  system.usage = 400 * kMiB;
  TickAfter(120, 1);
  g_log.SetThreshold(0);
  TickAfter(1, 1);
  EXPECT_EQ(g_log.Lines(), (Strings{"0:memory limit set to 17179869184",
                                    "0:memory usage changed 300MB (total usage: 300MB)",
                                    "0:memory usage changed -1MB (total usage: 298MB)",
                                    "0:memory usage changed 101MB (total usage: 400MB)"}));
}

TEST_F(MonitorTest, TickWaitsAgainUntilCancelled) {
  monitor.Tick(boost::asio::error::operation_aborted);
  EXPECT_TRUE(g_log.Lines().empty());
  EXPECT_EQ(timer.cancel(), 0u);  // no wait pending
  const auto start = std::chrono::steady_clock::now();
  monitor.Tick({});
  EXPECT_GE(timer.expiry(), start + std::chrono::milliseconds(100));
  EXPECT_EQ(timer.cancel(), 1u);
  monitor.Cancel();
  const Strings before = g_log.Lines();
  TickAfter(5);  // an expiry already on its way to the handler when the stop cancels
  EXPECT_EQ(g_log.Lines(), before);
  EXPECT_EQ(timer.cancel(), 0u);
}

}  // namespace
}  // namespace core
