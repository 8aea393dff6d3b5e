#include "configstore/config_bringup.h"

#include <gtest/gtest.h>

#include "configstore/configstore_test_support.h"

namespace configstore {
namespace {

using namespace configstore::testing;
using Lines = LogCapture::Lines;

constexpr char kValidCore[] = "<Vexo Delta='0'><Memory ID='-2147483648' Throttling='1'/></Vexo>";

TEST(CoreConfigurationTest, UsableOrMissingGiveNoText) {
  LogCapture log;
  TempDir dir;
  EXPECT_EQ("", CheckCoreConfiguration(dir.str(), log.Writer()));
  EXPECT_EQ((Lines{{25, "Config core.xml does not exist, first run"}}), log.Take());

  // Leftovers of a save are logged, and dropped when core.xml is fine.
  WriteFile(dir / "core.xml.pending", "");
  WriteFile(dir / "core.xml.bak", "");
  for (const char* valid : {kValidCore, "<Any><Memory Throttling=' -7x'/></Any>"}) {
    WriteFile(dir / "core.xml", valid);
    EXPECT_EQ("", CheckCoreConfiguration(dir.str(), log.Writer()));
    EXPECT_EQ((Lines{{50, "core.xml.pending exists"}, {50, "core.xml.bak exists"}}), log.Take());
  }
}

TEST(CoreConfigurationTest, EachFaultHasItsText) {
  LogCapture log;
  TempDir dir;
  TestFiles files;
  const auto check = [&](const std::string& content) {
    WriteFile(dir / "core.xml", content);
    return CheckCoreConfiguration(dir.str(), log.Writer(), files);
  };
  EXPECT_EQ("Config core.xml: zero bytes", check(""));
  EXPECT_EQ("Config core.xml (parse): 8 - Error reading end tag.", check("<Vexo></Memory>"));
  std::string deep;
  for (int i = 0; i < 1000; ++i) deep += "<e>";
  EXPECT_EQ("Config core.xml (parse): 17 - Elements nested too deeply (exceeds the configured "
            "maximum parse depth).",
            check(deep));
  for (const char* invalid : {"<Vexo><Memory Throttling='on'/></Vexo>", "<Vexo><Memory/></Vexo>",
                              "<Vexo><Other><Memory Throttling='1'/></Other></Vexo>"}) {
    EXPECT_EQ("Failed to validate core.xml", check(invalid)) << invalid;
  }
  files.fail = "read";
  EXPECT_EQ("Config core.xml (read): 5 - Input/output error", check(kValidCore));
  files.fail = "open";
  files.error = EACCES;
  EXPECT_EQ("Config core.xml: 13 - Permission denied", check(kValidCore));

  files.fail.clear();
  WriteFile(dir / "core.xml.pending", "");
  EXPECT_EQ("core.xml.pending exists\nConfig core.xml (parse): 5 - Error reading Element value.",
            check("<Vexo>"));
}

// The core's side: a pretended current directory, a stop flag set after a
// number of polls, and an exit that is recorded instead of taken.
class BringUpTest : public ::testing::Test {
 protected:
  BringUpTest() {
    files_.current = start_.str();
    host_.write = log_.Writer();
    host_.files = &files_;
    host_.stopRequested = [this] { return polls_ == stopAtPoll_; };
    host_.pollIo = [this] { ++polls_; };
    host_.deliverLogOnce = [this](const std::string& directory, const std::string& text) {
      delivered_ = directory + "|" + text;
      return true;
    };
    host_.exitProcess = [this](int code) { exitCode_ = code; };
    host_.pause = std::chrono::milliseconds(50);
    host_.pollStep = std::chrono::milliseconds(5);
  }
  bool Run() { return RunConfigBringUp(core_.str(), host_); }

  LogCapture log_;
  TempDir start_;
  TempDir core_;
  TestFiles files_;
  BringUpHost host_;
  int polls_ = 0;
  int stopAtPoll_ = -1;
  std::string delivered_;
  std::optional<int> exitCode_;
};

TEST_F(BringUpTest, OneUsableDocumentIsEnoughToStart) {
  const Lines directoryLines = {
      {25, "Current directory: " + start_.str()},
      {50, "Current directory does not match core directory " + core_.str()}};
  const auto logged = [&](Lines more) {
    more.insert(more.begin(), directoryLines.begin(), directoryLines.end());
    return more;
  };

  EXPECT_TRUE(Run());  // neither document: the first run
  Lines firstRun = logged({{100, "useraccounts.xml: No such file or directory"}});
  firstRun.insert(firstRun.begin(), {25, "Config core.xml does not exist, first run"});
  EXPECT_EQ(firstRun, log_.Take());
  EXPECT_EQ(core_.str(), files_.changedTo);

  WriteFile(start_ / "useraccounts.xml", "<Users/>");
  WriteFile(start_ / "core.xml", "<Vexo/>");
  EXPECT_TRUE(Run());
  EXPECT_EQ(logged({{100, "Failed to validate core.xml"}}), log_.Take());

  WriteFile(start_ / "core.xml", kValidCore);
  EXPECT_TRUE(Run());
  EXPECT_EQ(logged({}), log_.Take());

  WriteFile(start_ / "useraccounts.xml", "");
  EXPECT_TRUE(Run());
  EXPECT_EQ(logged({{100, "useraccounts.xml: zero bytes"}}), log_.Take());
  EXPECT_EQ("", delivered_);
  EXPECT_FALSE(exitCode_.has_value());
}

TEST_F(BringUpTest, StartDirectoryNamedCoreOrEqualToTheCoreDirectoryStays) {
  fs::create_directory(start_ / "core");
  WriteFile(start_ / "core/useraccounts.xml", "<Users/>");
  WriteFile(start_ / "core/core.xml", kValidCore);
  files_.current = start_ / "core";
  EXPECT_TRUE(Run());
  EXPECT_EQ((Lines{{25, "Current directory: " + files_.current}}), log_.Take());

  files_.current = core_.str();
  EXPECT_TRUE(Run());
  EXPECT_EQ(3u, log_.Take().size());  // first run, directory, user accounts
  EXPECT_FALSE(files_.changedTo.has_value());
}

TEST_F(BringUpTest, BothUnusableEndTheProcessAfterThePause) {
  WriteFile(start_ / "useraccounts.xml", "");
  WriteFile(start_ / "core.xml", "");
  EXPECT_FALSE(Run());
  EXPECT_EQ(kExitConfigFailed, exitCode_);
  EXPECT_EQ(10, polls_);
  EXPECT_EQ(core_.str() + "|useraccounts.xml: zero bytes\nConfig core.xml: zero bytes",
            delivered_);
  EXPECT_EQ((Lines{{50, "Config issue detected, pausing core for 10 seconds..."}}), log_.Take());

  // A stop arriving during the pause ends it at the next look, with code 0.
  polls_ = 0;
  stopAtPoll_ = 3;
  EXPECT_FALSE(Run());
  EXPECT_EQ(kExitStopped, exitCode_);
  EXPECT_EQ(3, polls_);
}

}  // namespace
}  // namespace configstore
