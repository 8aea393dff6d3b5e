// The call boundary and the watchdog: exceptions of every kind become -102
// with one line per entry point; request threads are counted until the
// unload closes the door; a wait longer than the interval is named, and
// again every interval, until it ends.
#include "pluginhost/plugin_guard.h"
#include "pluginhost/plugin_watchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace pluginhost {
namespace {

using namespace std::chrono_literals;

std::mutex g_mutex;
std::condition_variable g_logged;
std::vector<std::string> g_lines;  // guarded by g_mutex

// A write callback that answers threshold queries with "unset" and keeps
// the log messages.
int32_t Capture(const CoreEvent* event, WriteResult* result) {
  if ((event->eventSubtype & SUBTYPE_LOG_QUERY) != 0) {
    result->code = -1;
  } else if ((event->eventSubtype & SUBTYPE_LOG_MESSAGE) != 0) {
    std::lock_guard lock(g_mutex);
    g_lines.emplace_back(static_cast<const char*>(event->data));
    g_logged.notify_all();
  }
  return 0;
}

size_t Count(const std::string& prefix) {
  std::lock_guard lock(g_mutex);
  return static_cast<size_t>(std::count_if(g_lines.begin(), g_lines.end(), [&](const std::string& line) {
    return line.rfind(prefix, 0) == 0;
  }));
}

// Waits up to 20 s until `n` lines start with `prefix`.
bool WaitForLines(const std::string& prefix, size_t n) {
  std::unique_lock lock(g_mutex);
  return g_logged.wait_for(lock, 20s, [&] {
    return static_cast<size_t>(std::count_if(g_lines.begin(), g_lines.end(), [&](const std::string& line) {
             return line.rfind(prefix, 0) == 0;
           })) >= n;
  });
}

class GuardTest : public ::testing::Test {
 protected:
  GuardTest() {
    std::lock_guard lock(g_mutex);
    g_lines.clear();
  }
};

TEST_F(GuardTest, ExceptionsBecomeAFailedCallLoggedOncePerEntryPoint) {
  PluginGuard guard("cam.dll", &Capture);
  EXPECT_EQ(7, Guarded(guard, Entry::kOpen, [] { return 7; }));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(CORE_RC_PLUGIN_EXCEPTION,
              Guarded(guard, Entry::kWrite, []() -> int32_t { throw std::runtime_error("disk gone"); }));
  }
  EXPECT_EQ(CORE_RC_PLUGIN_EXCEPTION, Guarded(guard, Entry::kIoctl, []() -> int32_t { throw 42; }));
  EXPECT_EQ(CORE_RC_PLUGIN_EXCEPTION,
            Guarded(guard, Entry::kRead, []() -> int32_t { throw std::bad_alloc(); }));

  std::lock_guard lock(g_mutex);
  EXPECT_EQ(g_lines, (std::vector<std::string>{
                         "plugin cam.dll threw an exception in Write: disk gone",
                         "plugin cam.dll threw an exception in IOCTL",
                         "plugin cam.dll threw an exception in Read: std::bad_alloc"}));
}

TEST_F(GuardTest, RequestThreadsCountUntilTheUnloadClosesTheDoor) {
  PluginGuard guard("cam.dll", &Capture);
  ASSERT_TRUE(guard.EnterRequest());
  ASSERT_TRUE(guard.EnterRequest());
  guard.LeaveRequest();
  EXPECT_EQ(1, guard.CloseForRequests());
  EXPECT_FALSE(guard.EnterRequest());  // the library may be going: no new thread
  guard.LeaveRequest();
  EXPECT_EQ(0, guard.CloseForRequests());
}

TEST_F(GuardTest, WatchdogNamesALongWaitEveryIntervalUntilItEnds) {
  PluginWatchdog watchdog(&Capture, 40ms);
  {
    PluginWatchdog::Scope quick(&watchdog, "fast.dll", "Open");  // ends well within the interval
  }
  {
    PluginWatchdog::Scope stuck(&watchdog, "stuck.dll", "Close");
    ASSERT_TRUE(WaitForLines("waiting for plugin stuck.dll in Close for ", 3));
  }
  const size_t stuckLines = Count("waiting for plugin stuck.dll");
  {
    // A later wait is named on its own; the ended one is not named again.
    PluginWatchdog::Scope next(&watchdog, "next.dll", "Unload");
    ASSERT_TRUE(WaitForLines("waiting for plugin next.dll in Unload for ", 2));
  }
  EXPECT_EQ(stuckLines, Count("waiting for plugin stuck.dll"));
  EXPECT_EQ(0u, Count("waiting for plugin fast.dll"));
}

}  // namespace
}  // namespace pluginhost
