// Process-level tests: the real core executable, copied into a temporary
// core directory, started, signalled and watched from outside.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "platform/subprocess.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

class CoreProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() /
                 ("core-process-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                  "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory_);
    fs::create_directories(directory_ / "plugins");
    fs::copy_file(CORE_EXECUTABLE, directory_ / "core");
    Write("core.xml", "<Vexo Delta=\"0\"><Memory Throttling=\"1\"/></Vexo>");
    Write("useraccounts.xml", "<UserAccounts/>");
  }
  void TearDown() override { fs::remove_all(directory_); }

  void Write(const std::string& name, const std::string& text) {
    std::ofstream(directory_ / name) << text;
  }

  bool Start(std::vector<std::string> args = {}) {
    args.insert(args.begin(), (directory_ / "core").string());
    return child_.Start((directory_ / "core").string(), args, directory_.string());
  }

  fs::path directory_;
  platform::ChildProcess child_;
};

TEST_F(CoreProcessTest, UsagePrintsTwoLinesAndExitsZero) {
  ASSERT_TRUE(Start({"-help"}));
  EXPECT_EQ(child_.Wait(seconds(20)), 0);
  EXPECT_EQ(child_.Stderr(), "core version 20.12.8.0\nUsage: " + (directory_ / "core").string() + " <pipe>\n");
  EXPECT_EQ(child_.Stdout(), "");
}

TEST_F(CoreProcessTest, NonNumericPipeFailsToInitialise) {
  ASSERT_TRUE(Start({"abc"}));
  EXPECT_EQ(child_.Wait(seconds(20)), 2);
  EXPECT_NE(child_.Stdout().find("failed to open ipc pipe"), std::string::npos);
  EXPECT_NE(child_.Stderr().find("failed to initialize core\n"), std::string::npos);
}

TEST_F(CoreProcessTest, SigintStopsInOrder) {
  ASSERT_TRUE(Start());
  ASSERT_TRUE(child_.WaitForOutput("successfully started core version 20.12.8.0", seconds(30)))
      << child_.Stdout();
  child_.Signal(SIGINT);
  EXPECT_EQ(child_.Wait(seconds(30)), 0);
  const std::string out = child_.Stdout();
  const auto started = out.find("successfully started core version 20.12.8.0");
  const auto stopping = out.find("stopping core version 20.12.8.0...");
  ASSERT_NE(stopping, std::string::npos) << out;
  EXPECT_LT(started, stopping);
  // Output is not a terminal: no colour sequences.
  EXPECT_EQ(out.find('\033'), std::string::npos);
  EXPECT_TRUE(fs::is_directory(directory_ / "configbackupUP"));
  EXPECT_TRUE(fs::exists(directory_ / "configbackupDN" / "core.xml"));
}

TEST_F(CoreProcessTest, SigtermStopsLikeSigint) {
  ASSERT_TRUE(Start());
  ASSERT_TRUE(child_.WaitForOutput("successfully started core", seconds(30)));
  child_.Signal(SIGTERM);
  EXPECT_EQ(child_.Wait(seconds(30)), 0);
  EXPECT_NE(child_.Stdout().find("stopping core version"), std::string::npos);
}

}  // namespace
