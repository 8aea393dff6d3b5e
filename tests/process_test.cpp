// Process-level tests: the real core executable, copied into a temporary
// core directory, started, signalled and watched from outside.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <random>

#include "platform/subprocess.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

class CoreProcessTest : public ::testing::Test {
 protected:
  CoreProcessTest() {
    fs::create_directories(directory_ / "plugins");
    fs::copy_file(CORE_EXECUTABLE, core_);
  }
  ~CoreProcessTest() override { fs::remove_all(directory_); }

  bool Start(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {core_};
    argv.insert(argv.end(), args.begin(), args.end());
    return child_.Start(core_, argv, directory_.string());
  }

  const fs::path directory_ =
      fs::temp_directory_path() / ("core-process-" + std::to_string(std::random_device()()));
  const std::string core_ = (directory_ / "core").string();
  platform::ChildProcess child_;
};

TEST_F(CoreProcessTest, UsagePrintsTwoLinesAndExitsZero) {
  ASSERT_TRUE(Start({"-h"}));
  EXPECT_EQ(0, child_.Wait(seconds(20)));
  EXPECT_EQ("core version 20.12.8.0\nUsage: " + core_ + " <pipe>\n", child_.Stderr());
  EXPECT_EQ("", child_.Stdout());
}

TEST_F(CoreProcessTest, NonNumericPipeFailsToInitialise) {
  ASSERT_TRUE(Start({"abc"}));
  EXPECT_EQ(2, child_.Wait(seconds(20)));
  EXPECT_NE(std::string::npos, child_.Stdout().find("failed to open ipc pipe"));
  EXPECT_NE(std::string::npos, child_.Stderr().find("failed to initialize core\n"));
}

// SIGINT here, SIGTERM in the second test: the start and stop lines in order.
class CoreStopTest : public CoreProcessTest, public ::testing::WithParamInterface<int> {};

TEST_P(CoreStopTest, SignalStopsInOrder) {
  ASSERT_TRUE(Start({}));
  ASSERT_TRUE(child_.WaitForOutput("successfully started core version 20.12.8.0", seconds(30)))
      << child_.Stdout();
  child_.Signal(GetParam());
  EXPECT_EQ(0, child_.Wait(seconds(30)));
  const std::string out = child_.Stdout();
  const size_t stopping = out.find("stopping core version 20.12.8.0...");
  ASSERT_NE(std::string::npos, stopping) << out;
  EXPECT_LT(out.find("successfully started core version 20.12.8.0"), stopping);
  EXPECT_EQ(std::string::npos, out.find('\033'));  // not a terminal: no colours
}
INSTANTIATE_TEST_SUITE_P(SigintAndSigterm, CoreStopTest, ::testing::Values(SIGINT, SIGTERM));

}  // namespace
