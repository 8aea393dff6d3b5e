// Configuration bring-up of the real core executable, copied into a
// temporary core directory with the logging plugin, whose file
// logs/core.log (in the working directory) shows every line with its level.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/subprocess.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

constexpr char kValidCore[] = "<Vexo Delta=\"0\"><Memory Throttling=\"0\"/></Vexo>";
constexpr char kStarted[] = "successfully started core version";
constexpr char kPausing[] = "Config issue detected, pausing core for 10 seconds...";

class BringUpProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() / ("core-bringup-" + std::to_string(std::random_device()()) +
                                         "-" + test->test_suite_name() + "-" + test->name());
    fs::remove_all(root_);
    core_ = root_ / "install";
    fs::create_directories(core_ / "plugins");
    core_ = fs::canonical(core_);
    fs::copy_file(CORE_EXECUTABLE, core_ / "core");
    fs::copy_file(LOG_PLUGIN, core_ / "plugins" / "ZovUR.dll");
  }
  void TearDown() override { fs::remove_all(root_); }

  static void Write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // A line of the logging plugin's file, without its time stamp.
  static std::string Logged(int level, const std::string& text) {
    char head[32];
    std::snprintf(head, sizeof head, "80000000 %3d ", level);
    return head + text + "\n";
  }

  bool Start(const fs::path& directory) {
    const std::string core = (core_ / "core").string();
    return child_.Start(core, {core}, directory.string());
  }
  // Waits for the start, stops the core with SIGINT and returns the
  // logging plugin's file from `directory`.
  std::string RunToStopIn(const fs::path& directory) {
    EXPECT_TRUE(child_.WaitForOutput(kStarted, seconds(60))) << child_.Stdout();
    child_.Signal(SIGINT);
    EXPECT_EQ(0, child_.Wait(seconds(60))) << child_.Stdout() << child_.Stderr();
    return Read(directory / "logs" / "core.log");
  }

  fs::path root_;
  fs::path core_;
  platform::ChildProcess child_;
};

// Position of `needle` in `haystack`, failing the test when it is missing.
size_t Find(const std::string& haystack, const std::string& needle) {
  const size_t at = haystack.find(needle);
  EXPECT_NE(std::string::npos, at) << "missing: " << needle << "\nin:\n" << haystack;
  return at;
}

TEST_F(BringUpProcessTest, FirstRunWithNeitherDocumentStarts) {
  ASSERT_TRUE(Start(core_));
  const std::string log = RunToStopIn(core_);
  const size_t firstRun = Find(log, Logged(25, "Config core.xml does not exist, first run"));
  const size_t directory = Find(log, Logged(25, "Current directory: " + core_.string()));
  const size_t accounts = Find(log, Logged(100, "useraccounts.xml: No such file or directory"));
  EXPECT_LT(firstRun, directory);
  EXPECT_LT(directory, accounts);
  EXPECT_LT(accounts, Find(log, kStarted));
  EXPECT_EQ(std::string::npos, log.find("does not match"));
}

TEST_F(BringUpProcessTest, LeftoversOfAnInterruptedSaveAreOnlyReported) {
  Write(core_ / "core.xml", kValidCore);
  Write(core_ / "core.xml.pending", "<Vexo Delta=\"0\"><Mem");
  Write(core_ / "core.xml.bak", "<Vexo Delta=\"0\"><Memory Throttling=\"1\"/></Vexo>");
  Write(core_ / "useraccounts.xml", "<Users/>");
  ASSERT_TRUE(Start(core_));
  const std::string log = RunToStopIn(core_);
  const size_t pending = Find(log, Logged(50, "core.xml.pending exists"));
  EXPECT_LT(pending, Find(log, Logged(50, "core.xml.bak exists")));
  EXPECT_EQ(std::string::npos, log.find("80000000 100 ")) << log;
  // The settings came from core.xml, not from the backup; the status
  // document then replaced core.xml and the side files.
  EXPECT_NE(std::string::npos, Read(core_ / "core.xml").find("Throttling=\"0\""));
  EXPECT_FALSE(fs::exists(core_ / "core.xml.bak"));
  EXPECT_FALSE(fs::exists(core_ / "core.xml.pending"));
}

TEST_F(BringUpProcessTest, DocumentsAreReadFromTheStartDirectory) {
  // The core directory's own documents would stop the core if judged.
  Write(core_ / "core.xml", "");
  Write(core_ / "useraccounts.xml", "");
  const fs::path start = root_ / "elsewhere";
  fs::create_directory(start);
  Write(start / "core.xml", kValidCore);
  Write(start / "useraccounts.xml", "<Users/>");
  ASSERT_TRUE(Start(start));
  const std::string log = RunToStopIn(core_);  // the working directory moved
  Find(log, Logged(25, "Current directory: " + start.string()));
  Find(log, Logged(50, "Current directory does not match core directory " + core_.string()));
  EXPECT_EQ(std::string::npos, log.find("zero bytes")) << log;
  EXPECT_EQ(std::string::npos, log.find("first run")) << log;
  // The backups are made in the core directory, of the core directory.
  EXPECT_EQ(0u, fs::file_size(core_ / "configbackupUP" / "useraccounts.xml"));
  EXPECT_EQ(0u, fs::file_size(core_ / "configbackupDN" / "useraccounts.xml"));
  EXPECT_FALSE(fs::exists(start / "configbackupUP"));
  EXPECT_FALSE(fs::exists(start / "logs"));
}

TEST_F(BringUpProcessTest, DeeplyNestedCoreXmlIsRefusedAndTheCoreStarts) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<e>";
  for (int i = 0; i < 100000; ++i) deep += "</e>";
  Write(core_ / "core.xml", deep);
  Write(core_ / "useraccounts.xml", "<Users/>");
  ASSERT_TRUE(Start(core_));
  const std::string log = RunToStopIn(core_);
  Find(log, Logged(100, "Config core.xml (parse): 17 - Elements nested too deeply (exceeds the "
                        "configured maximum parse depth)."));
}

// Both documents unusable: the joined text goes to the logging plugin, the
// core pauses, and a SIGINT during the pause ends it with code 0.
TEST_F(BringUpProcessTest, SigintDuringTheConfigurationPauseExitsZero) {
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<e>";
  const struct {
    std::string content;
    std::string text;
  } cases[] = {
      {"", "Config core.xml: zero bytes"},
      {deep, "Config core.xml (parse): 17 - Elements nested too deeply (exceeds the configured "
             "maximum parse depth)."},
  };
  for (const auto& broken : cases) {
    SCOPED_TRACE(broken.text);
    fs::remove_all(core_ / "logs");
    Write(core_ / "core.xml", broken.content);
    Write(core_ / "useraccounts.xml", "");
    platform::ChildProcess child;
    const std::string core = (core_ / "core").string();
    ASSERT_TRUE(child.Start(core, {core}, core_.string()));
    ASSERT_TRUE(child.WaitForOutput(kPausing, seconds(60))) << child.Stdout();
    child.Signal(SIGINT);
    EXPECT_EQ(0, child.Wait(seconds(60))) << child.Stderr();
    EXPECT_EQ(Logged(100, "useraccounts.xml: zero bytes\n    " + broken.text),
              Read(core_ / "logs" / "core.log").substr(24));
    // Nothing of the start is logged, and no backup is made.
    EXPECT_EQ(std::string::npos, child.Stdout().find("Current directory")) << child.Stdout();
    EXPECT_FALSE(fs::exists(core_ / "configbackupUP"));
    EXPECT_FALSE(fs::exists(core_ / "configbackupDN"));
  }
}

// Runs the whole 10-second pause; registered with the label "slow".
using BringUpSlowTest = BringUpProcessTest;

TEST_F(BringUpSlowTest, BothDocumentsEmptyExitTwoAfterThePause) {
  Write(core_ / "core.xml", "");
  Write(core_ / "useraccounts.xml", "");
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(Start(core_));
  EXPECT_EQ(2, child_.Wait(seconds(120))) << child_.Stdout() << child_.Stderr();
  EXPECT_GE(std::chrono::steady_clock::now() - started, seconds(9));
  Find(child_.Stdout(), kPausing);
  EXPECT_EQ(std::string::npos, child_.Stdout().find(kStarted));
  EXPECT_FALSE(fs::exists(core_ / "configbackupUP"));
}

}  // namespace
