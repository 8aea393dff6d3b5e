// Process-level tests of the supervisor link: the real core executable in a
// temporary core directory, with the test playing the supervising daemon on
// the other end of a stream socket pair, and pipe_peer.dll as the plugin the
// daemon talks to.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>

#include "platform/subprocess.h"
#include "platform/supervisor_link.h"
#include "pluginhost/plugin_abi.h"
#include "tests/plugins/pipe_peer.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;

constexpr char kStartLine[] = "successfully started core version 20.12.8.0";
constexpr char kStopLine[] = "stopping core version 20.12.8.0...";
constexpr char kDisconnectLine[] = "orvaned ipc pipe disconnected";
constexpr uint32_t kPeerTarget = PEER_MODULE_NUMBER << 20;
constexpr auto npos = std::string::npos;

std::string Packet(uint32_t target, uint32_t kind, uint32_t extra, const std::string& payload) {
  const PipePacketHeader header{static_cast<uint32_t>(16 + payload.size()), target, kind, extra};
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + payload;
}
// Supervisor information: NUL-separated file name, version and option.
std::string Info(const std::string& fields) { return Packet(0, PIPE_KIND_INFO, 0, fields); }
std::string Stop() { return Packet(0, PIPE_KIND_STOP, 0, ""); }

size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

class SupervisorProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Unique per run: a normal and a sanitizer build may run side by side.
    dir_ = fs::temp_directory_path() /
           ("core-supervisor-" + std::to_string(std::random_device()()));
    fs::create_directories(dir_ / "plugins");
    fs::copy_file(CORE_EXECUTABLE, dir_ / "core");
    fs::copy_file(PIPE_PEER_PLUGIN, dir_ / "plugins" / "pipe_peer.dll");
    // The core's threshold 0 lets its level-0 lines (failed ipc ioctls) through.
    std::ofstream(dir_ / "core.xml") << "<Vexo Delta=\"0\"><Memory Throttling=\"1\"/><Modules>"
                                        "<Module><Plugin ID=\"-2147483648\" LogLevel=\"0\"/>"
                                        "</Module></Modules></Vexo>";
    std::ofstream(dir_ / "useraccounts.xml") << "<UserAccounts/>";
    ASSERT_TRUE(platform::CreateStreamSocketPair(&daemon_fd_, &core_fd_));
  }
  void TearDown() override {
    platform::CloseDescriptor(daemon_fd_);
    platform::CloseDescriptor(core_fd_);
    if (child_.Wait(0ms) < 0) {
      child_.Signal(SIGKILL);
      child_.Wait(30s);
    }
    fs::remove_all(dir_);
  }

  // Starts the core with its end of the link, which the test then closes;
  // unless `info` is empty, sends it and waits for the start line.
  void Start(const std::string& info = Info("orvaned\0" "1.2.3"s)) {
    const std::string core = (dir_ / "core").string();
    ASSERT_TRUE(child_.Start(core, {core, std::to_string(core_fd_)}, dir_.string(), {core_fd_}));
    platform::CloseDescriptor(core_fd_);
    core_fd_ = -1;
    if (info.empty()) return;
    Send(info);
    ASSERT_TRUE(child_.WaitForOutput(kStartLine, 30s)) << child_.Stdout();
  }
  void Send(const std::string& bytes) {
    ASSERT_TRUE(platform::WriteAll(daemon_fd_, bytes.data(), bytes.size()));
  }
  int StopCore() {
    Send(Stop());
    return child_.Wait(30s);
  }
  std::string Read(const std::string& name) {
    std::ifstream file(dir_ / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
  }
  // `size` bytes from the core, fewer when the link closes or stays silent
  // for 30 seconds.
  std::string Receive(size_t size) {
    std::string bytes(size, '\0');
    for (size_t got = 0; got < size;) {
      const int64_t n = platform::ReadSome(daemon_fd_, bytes.data() + got, size - got, 30000);
      if (n <= 0) return bytes.substr(0, got);
      got += static_cast<size_t>(n);
    }
    return bytes;
  }

  fs::path dir_;
  platform::ChildProcess child_;
  int daemon_fd_ = -1;
  int core_fd_ = -1;
};

TEST_F(SupervisorProcessTest, InformationEndsTheStartUpWaitAndNamesTheDaemon) {
  const auto begin = std::chrono::steady_clock::now();
  Start(Info("/opt/orvane/orvaned\0" "1.2.3\0" "Background:false"s));
  // Without the message the wait alone holds the start line back 10 seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 9s);
  const std::string status = Read("plugins.xml");
  EXPECT_NE(status.find(R"(<Library Name="orvaned" Filename="/opt/orvane/orvaned" )"
                        R"(Version="1.2.3" />)"),
            npos)
      << status;
  EXPECT_EQ(StopCore(), 0);
}

TEST_F(SupervisorProcessTest, ClosingTheDaemonEndStopsTheCore) {
  Start();
  platform::CloseDescriptor(daemon_fd_);
  daemon_fd_ = -1;
  EXPECT_EQ(child_.Wait(30s), 0);
  const std::string out = child_.Stdout();
  EXPECT_EQ(Count(out, kDisconnectLine), 1u) << out;
  EXPECT_EQ(Count(out, kStopLine), 1u) << out;
  EXPECT_LT(out.find(kDisconnectLine), out.find(kStopLine));
}

TEST_F(SupervisorProcessTest, StopPacketStopsTheCoreWithoutDisconnect) {
  Start();
  EXPECT_EQ(StopCore(), 0);
  const std::string out = child_.Stdout();
  EXPECT_NE(out.find(kStopLine), npos) << out;
  // The read left outstanding at the stop is abandoned, not a lost daemon.
  EXPECT_EQ(out.find(kDisconnectLine), npos) << out;
  EXPECT_EQ(Receive(1), "");  // the core's end is closed
}

TEST_F(SupervisorProcessTest, PluginMessagesReachTheAddressedPluginWhole) {
  Start();
  const std::string plain = Packet(kPeerTarget | 0xABCDE, 1, 0, "low bits are not the module");
  const std::string error_word = Packet(kPeerTarget, 1, 5, "error word");
  const std::string result = Packet(kPeerTarget, PEER_KIND_RETURN, 3, "result");
  const std::string bare_info = Packet(kPeerTarget, PIPE_KIND_INFO, 0, "");
  // One write: the packets and the stop are handled in order.
  Send(plain + error_word + result + Packet(9u << 20, 1, 5, "to nobody") + bare_info + Stop());
  ASSERT_EQ(child_.Wait(30s), 0);
  EXPECT_TRUE(Read(PEER_TRACE_FILE) == plain + error_word + result + bare_info);
  const std::string out = child_.Stdout();
  EXPECT_NE(out.find("plugin pipe_peer.dll ipc ioctl returned 0 error 5\n"), npos) << out;
  EXPECT_NE(out.find("plugin pipe_peer.dll ipc ioctl returned 3 error 0\n"), npos) << out;
  EXPECT_EQ(Count(out, "ipc ioctl returned"), 2u) << out;
}

TEST_F(SupervisorProcessTest, PluginPacketsArriveWholeAndInOrder) {
  Start();
  constexpr uint32_t kCount = 50;
  Send(Packet(kPeerTarget, PEER_KIND_BURST, kCount, ""));
  // Not reading for a moment lets the socket fill, so that the plugin's
  // later packets queue up behind a write still in flight.
  std::this_thread::sleep_for(200ms);
  for (uint32_t i = 0; i < kCount; ++i) {
    std::string expected(PeerBurstLength(i) - 16, '\0');
    for (size_t j = 0; j < expected.size(); ++j) expected[j] = static_cast<char>(i * 31 + j);
    expected = Packet(kPeerTarget, PEER_KIND_BURST_PACKET, i, expected);
    ASSERT_TRUE(Receive(expected.size()) == expected) << "packet " << i;
  }
  // An ASan build also fails the exit code when a written buffer leaked.
  EXPECT_EQ(StopCore(), 0);
}

TEST_F(SupervisorProcessTest, BackgroundModeSilencesTheConsoleOnly) {
  Start();
  Send(Info("orvaned\0" "1.2.3\0" "Background:true"s));
  // A reply to a later packet shows that the core took the message in and
  // still runs.
  Send(Packet(kPeerTarget, PEER_KIND_BURST, 1, ""));
  ASSERT_EQ(Receive(PeerBurstLength(0)).size(), PeerBurstLength(0));
  EXPECT_EQ(StopCore(), 0);
  EXPECT_EQ(child_.Stdout().find(kStopLine), npos) << child_.Stdout();
}

// Waits out the 10-second start-up wait: registered with the label "slow".
class SupervisorProcessSlowTest : public SupervisorProcessTest {};

TEST_F(SupervisorProcessSlowTest, SilentDaemonDelaysTheStartLineByTheWait) {
  Start("");
  EXPECT_FALSE(child_.WaitForOutput(kStartLine, 7s)) << child_.Stdout();
  ASSERT_TRUE(child_.WaitForOutput(kStartLine, 40s)) << child_.Stdout();
  // Nothing was heard, so the status document names no daemon.
  EXPECT_EQ(Read("plugins.xml").find("<Library"), npos);
  EXPECT_EQ(StopCore(), 0);
}

}  // namespace
