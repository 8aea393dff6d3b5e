// End-to-end flow through the real core: events written by one plugin's run
// thread reach another plugin's Write in order, a read request reaches the
// reader plugin and its answers are paced by the consumer's hold on the
// previous answer, and a stop requested while plugins load still lets the
// core open, start and then stop in order.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/subprocess.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

class FlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() /
                 ("core-flow-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                  "-" + std::to_string(::getpid()));
    fs::remove_all(directory_);
    fs::create_directories(directory_ / "plugins");
    fs::copy_file(CORE_EXECUTABLE, directory_ / "core");
    std::ofstream(directory_ / "core.xml") << "<Vexo><Memory Throttling=\"1\"/></Vexo>";
    std::ofstream(directory_ / "useraccounts.xml") << "<UserAccounts/>";
    trace_ = directory_ / "trace.txt";
    ::setenv("FLOW_TRACE", trace_.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(directory_); }

  void AddPlugin(const std::string& name) {
    fs::copy_file(fs::path(FLOW_PLUGIN_DIR) / name, directory_ / "plugins" / name);
  }
  bool Start() {
    const std::string core = (directory_ / "core").string();
    return child_.Start(core, {core}, directory_.string());
  }
  std::vector<std::string> Trace() const {
    std::ifstream in(trace_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  static size_t IndexOf(const std::vector<std::string>& lines, const std::string& line) {
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i] == line) return i;
    return lines.size();
  }
  // Waits until the trace holds `line`.
  bool WaitForTrace(const std::string& line, seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto lines = Trace();
      if (IndexOf(lines, line) < lines.size()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }

  fs::path directory_;
  fs::path trace_;
  platform::ChildProcess child_;
};

TEST_F(FlowTest, EventsAndPacedReadAnswersTravelBetweenPlugins) {
  AddPlugin("flow_producer.dll");
  AddPlugin("flow_consumer.dll");
  AddPlugin("flow_reader.dll");
  ASSERT_TRUE(Start());
  ASSERT_TRUE(WaitForTrace("reader answer3 written code=0", seconds(30))) << child_.Stdout();
  ASSERT_TRUE(WaitForTrace("consumer answer answer3", seconds(30)));
  child_.Signal(SIGINT);
  ASSERT_EQ(child_.Wait(seconds(30)), 0);

  const auto lines = Trace();
  // The producer's events arrive whole and in order.
  size_t previous = 0;
  for (int i = 0; i < 100; ++i) {
    const size_t at = IndexOf(lines, "consumer got event " + std::to_string(i) + " from 0x00110000");
    ASSERT_LT(at, lines.size()) << "event " << i << " missing";
    EXPECT_GE(at, previous);
    previous = at;
  }
  EXPECT_LT(IndexOf(lines, "producer broadcast code=0"), lines.size());
  EXPECT_LT(IndexOf(lines, "reader request 77 payload camera"), lines.size());
  // The second answer is admitted only after the consumer let go of the
  // first one: one answer in flight per request thread.
  const size_t released = IndexOf(lines, "consumer releases first answer");
  const size_t second = IndexOf(lines, "reader answer2 written code=0");
  ASSERT_LT(released, lines.size());
  ASSERT_LT(second, lines.size());
  EXPECT_LT(released, second);
  for (const char* answer : {"answer1", "answer2", "answer3"})
    EXPECT_LT(IndexOf(lines, std::string("consumer answer ") + answer), lines.size()) << answer;
}

TEST_F(FlowTest, StopDuringLoadingStillOpensStartsAndStops) {
  AddPlugin("flow_slow.dll");
  ASSERT_TRUE(Start());
  ASSERT_TRUE(WaitForTrace("slow load begins", seconds(30)));
  child_.Signal(SIGINT);
  ASSERT_EQ(child_.Wait(seconds(30)), 0);
  const auto lines = Trace();
  EXPECT_LT(IndexOf(lines, "slow load ends"), IndexOf(lines, "open 0x00140000"));
  EXPECT_LT(IndexOf(lines, "open 0x00140000"), IndexOf(lines, "close 0x00140000"));
  EXPECT_LT(IndexOf(lines, "close 0x00140000"), lines.size());
  const std::string out = child_.Stdout();
  const auto started = out.find("successfully started core version");
  ASSERT_NE(started, std::string::npos) << out;
  EXPECT_LT(started, out.find("stopping core version"));
}

}  // namespace
