#include "core/monitor.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace core {
namespace {

constexpr uint64_t kGiB = uint64_t{1} << 30;
constexpr uint64_t kMiB = uint64_t{1} << 20;
constexpr int64_t kSecond = 1'000'000'000;

// The core's log as the write path would answer it: threshold queries get a
// settable threshold, messages are recorded.  A C callback has no context,
// hence the one shared instance.
struct FakeLog {
  std::mutex mutex;
  int32_t threshold = 0;
  std::vector<std::pair<int32_t, std::string>> lines;
} g_log;

int32_t FakeWrite(const CoreEvent* event, WriteResult* result) {
  std::lock_guard<std::mutex> lock(g_log.mutex);
  if (event->eventSubtype & SUBTYPE_LOG_MESSAGE) {
    g_log.lines.emplace_back(event->attributes.logLevel, static_cast<const char*>(event->data));
  } else if (event->eventSubtype & SUBTYPE_LOG_QUERY) {
    result->code = g_log.threshold;
  }
  return 0;
}

class FakeSystem : public platform::SystemInfo {
 public:
  uint64_t physical = 16 * kGiB, cgroup = 0, addressSpace = uint64_t{1} << 47, usage = 0;
  std::atomic<int64_t> wall{1'700'000'000}, steady{1000 * kSecond};
  int usageReads = 0;
  uint64_t PhysicalMemory() override { return physical; }
  uint64_t CgroupMemoryLimit() override { return cgroup; }
  uint64_t AddressSpaceLimit() override { return addressSpace; }
  uint64_t ProcessMemoryUsage() override { ++usageReads; return usage; }
  int64_t WallNowSeconds() override { return wall; }
  int64_t SteadyNowNs() override { return steady; }
};

class MonitorTest : public testing::Test {
 protected:
  MonitorTest() {
    std::lock_guard<std::mutex> lock(g_log.mutex);
    g_log.threshold = 0;
    g_log.lines.clear();
  }

  MonitorHost Host() {
    return MonitorHost{&FakeWrite, [this] { published.push_back(flag); },
                       [this](bool value) { flag = value; }, [this] { return throttlingSwitch; }};
  }
  // Moves the steady clock on by `seconds` and the wall clock by
  // `wallSeconds` (the same unless told), then ticks.
  void TickAfter(int64_t seconds, int64_t wallSeconds = INT64_MIN) {
    system.wall += wallSeconds == INT64_MIN ? seconds : wallSeconds;
    system.steady += seconds * kSecond;
    monitor.Tick({});
  }
  int Count(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_log.mutex);
    int n = 0;
    for (const auto& line : g_log.lines) n += line.second == text;
    return n;
  }
  std::vector<std::pair<int32_t, std::string>> Lines() {
    std::lock_guard<std::mutex> lock(g_log.mutex);
    return g_log.lines;
  }

  boost::asio::io_context io;
  boost::asio::steady_timer timer{io, std::chrono::milliseconds(100)};
  FakeSystem system;
  bool throttlingSwitch = true;
  bool flag = false;
  std::vector<bool> published;  // the flag at each publish
  MemoryMonitor monitor{timer, Host(), system};
};

const char kLow[] = "available system memory is low, throttling video";
const char kOk[] = "available system memory ok, not throttling video";

TEST_F(MonitorTest, LimitFromMachineOnFirstTickOnly) {
  struct Case { uint64_t physical, cgroup, addressSpace, limit; };
  const Case cases[] = {
      {16 * kGiB, 0, uint64_t{1} << 47, 16 * kGiB},   // 128 TiB address space
      {128 * kGiB, 0, 64 * kGiB, 32 * kGiB},          // half the address space
      {16 * kGiB, 4 * kGiB, uint64_t{1} << 47, 4 * kGiB},  // container limit
      {16 * kGiB, 64 * kGiB, uint64_t{1} << 47, 16 * kGiB},
      {0, 0, uint64_t{1} << 47, 0x80000000u},          // machine unknown: 2 GiB
  };
  for (const Case& c : cases) {
    g_log.lines.clear();
    FakeSystem machine;
    machine.physical = c.physical;
    machine.cgroup = c.cgroup;
    machine.addressSpace = c.addressSpace;
    boost::asio::steady_timer ownTimer(io);
    MemoryMonitor fresh(ownTimer, Host(), machine);
    fresh.Tick({});
    EXPECT_EQ(fresh.MemoryLimit(), c.limit);
    EXPECT_EQ(Count("memory limit set to " + std::to_string(c.limit)), 1);
    machine.physical = kGiB;
    machine.wall += 1;
    fresh.Tick({});
    EXPECT_EQ(fresh.MemoryLimit(), c.limit);
  }
}

TEST_F(MonitorTest, ThrottleEpisode) {
  system.usage = 16 * kGiB;  // equal to the limit: not over
  monitor.Tick({});
  EXPECT_FALSE(flag);
  EXPECT_EQ(published, std::vector<bool>{false});  // the first tick's state

  system.usage = 16 * kGiB + 1;
  for (int s = 1; s <= 10; ++s) TickAfter(1);  // over from second 1 to 10
  EXPECT_TRUE(flag);
  EXPECT_EQ(Count(kLow), 1);
  EXPECT_EQ(published, (std::vector<bool>{false, true}));

  system.usage = kGiB;
  TickAfter(1);  // second 11: the flag drops at once, no all-clear yet
  EXPECT_FALSE(flag);
  for (int s = 12; s <= 69; ++s) TickAfter(1);
  EXPECT_EQ(Count(kOk), 0);
  TickAfter(1);  // second 70: 60 s after the last over-limit check
  EXPECT_EQ(Count(kOk), 1);
  EXPECT_EQ(published, (std::vector<bool>{false, true, false}));
  EXPECT_EQ(monitor.LastOverLimitNs(), MemoryMonitor::kNoOverLimit);

  // A new episode, renewed by one more over-limit check within the delay.
  system.usage = 17 * kGiB;
  TickAfter(10);
  system.usage = kGiB;
  TickAfter(1);
  system.usage = 17 * kGiB;
  TickAfter(20);
  EXPECT_TRUE(flag);
  system.usage = kGiB;
  TickAfter(59);
  EXPECT_FALSE(flag);
  EXPECT_EQ(Count(kOk), 1);
  TickAfter(1);
  EXPECT_EQ(Count(kLow), 2);
  EXPECT_EQ(Count(kOk), 2);
  EXPECT_EQ(published, (std::vector<bool>{false, true, false, true, false}));
  for (const auto& line : Lines()) {
    if (line.second == kLow || line.second == kOk) {
      EXPECT_EQ(line.first, 50);
    }
  }
}

TEST_F(MonitorTest, SwitchOffWatchesOnlyTheClock) {
  throttlingSwitch = false;
  system.usage = 100 * kGiB;
  monitor.Tick({});
  TickAfter(1);
  TickAfter(120);
  EXPECT_EQ(monitor.MemoryLimit(), 16 * kGiB);
  EXPECT_FALSE(flag);
  EXPECT_TRUE(published.empty());
  EXPECT_EQ(system.usageReads, 0);
  const auto lines = Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].second, "memory limit set to 17179869184");
  EXPECT_EQ(lines[1].second, "system time changed by 120 seconds");
}

TEST_F(MonitorTest, ClockJumpsAndOncePerSecondChecks) {
  monitor.Tick({});
  monitor.Tick({});  // same second: no second usage check
  EXPECT_EQ(system.usageReads, 1);
  TickAfter(-5);
  TickAfter(1);
  TickAfter(-1);
  TickAfter(2);
  EXPECT_EQ(system.usageReads, 5);
  int jumps = 0;
  for (const auto& line : Lines()) {
    if (line.second.starts_with("system time changed by")) {
      ++jumps;
      EXPECT_EQ(line.first, 50);
    }
  }
  EXPECT_EQ(jumps, 2);
  EXPECT_EQ(Count("system time changed by -5 seconds"), 1);
  EXPECT_EQ(Count("system time changed by 2 seconds"), 1);
}

TEST_F(MonitorTest, UsageReports) {
  system.usage = 300 * kMiB;
  monitor.Tick({});  // the first report shows the whole usage as the change
  EXPECT_EQ(Count("memory usage changed 300MB (total usage: 300MB)"), 1);
  system.usage = 298 * kMiB + kMiB / 2;  // 1.5 MiB less
  TickAfter(59, 1);
  EXPECT_EQ(Lines().size(), 2u);  // limit and first report only
  TickAfter(1, 1);
  EXPECT_EQ(Count("memory usage changed -1MB (total usage: 298MB)"), 1);
  EXPECT_EQ(monitor.LastReportedUsage(), system.usage);

  // Level 0 filtered for the core: no report, nothing remembered.
  g_log.threshold = 25;
  system.usage = 400 * kMiB;
  TickAfter(120, 1);
  EXPECT_EQ(Lines().size(), 3u);
  EXPECT_NE(monitor.LastReportedUsage(), system.usage);
}

TEST_F(MonitorTest, TickWaitsAgainUntilCancelled) {
  monitor.Tick(boost::asio::error::operation_aborted);
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(timer.cancel(), 0u);  // no wait pending

  const auto before = std::chrono::steady_clock::now();
  monitor.Tick({});
  EXPECT_GE(timer.expiry(), before + std::chrono::milliseconds(100));
  EXPECT_EQ(timer.cancel(), 1u);

  // An expiry already handed to the handler when the stop cancels.
  monitor.Cancel();
  const size_t logged = Lines().size();
  TickAfter(5);
  EXPECT_EQ(Lines().size(), logged);
  EXPECT_EQ(timer.cancel(), 0u);
}

TEST_F(MonitorTest, StartThenCancelEndsTheIoService) {
  // Ticks in real time on an I/O thread until the given line shows up.
  const auto waitForLine = [this](const std::string& text) {
    for (int i = 0; i < 600 && Count(text) == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return Count(text) == 1;
  };
  monitor.Start();
  auto run = std::async(std::launch::async, [this] { io.run(); });
  EXPECT_TRUE(waitForLine("memory limit set to 17179869184"));
  system.wall += 2;
  EXPECT_TRUE(waitForLine("system time changed by 2 seconds"));
  monitor.Cancel();
  const bool ended = run.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  if (!ended) io.stop();
  EXPECT_TRUE(ended);
}

}  // namespace
}  // namespace core
