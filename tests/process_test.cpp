// Process-level tests: the real core executable, copied into a temporary
// core directory, started, signalled and watched from outside.
#include <gtest/gtest.h>

#include <csignal>

#include "tests/core_directory.h"

namespace {

using namespace testing_core;

TEST(CoreProcessTest, UsageAndAnUnusablePipe) {
  CoreDirectory core(false);
  ASSERT_TRUE(core.Start({"-h"}));
  EXPECT_EQ(0, core.child().Wait(20s));
  EXPECT_EQ("core version 20.12.8.0\nUsage: " + core.Path("core") + " <pipe>\n", core.child().Stderr());
  EXPECT_EQ("", core.child().Stdout());

  ASSERT_TRUE(core.Start({"abc"}));
  EXPECT_EQ(2, core.child().Wait(20s));
  EXPECT_NE(npos, core.child().Stdout().find("failed to open ipc pipe"));
  EXPECT_NE(npos, core.child().Stderr().find("failed to initialize core\n"));
}

// SIGINT and SIGTERM each: the start and stop lines in order.
TEST(CoreProcessTest, SignalsStopInOrder) {
  CoreDirectory core(false);
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    ASSERT_TRUE(core.Start());
    ASSERT_TRUE(core.child().WaitForOutput(kStartLine, 30s)) << core.child().Stdout();
    core.child().Signal(signal);
    EXPECT_EQ(0, core.child().Wait(30s));
    const std::string out = core.child().Stdout();
    const size_t stopping = out.find(kStopLine);
    ASSERT_NE(npos, stopping) << out;
    EXPECT_LT(out.find(kStartLine), stopping);
    EXPECT_EQ(npos, out.find('\033'));  // not a terminal: no colours
  }
}

}  // namespace
