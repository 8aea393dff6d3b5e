// Process-level tests of the supervisor link: the real core executable in a
// temporary core directory, with the test playing the supervising daemon on
// the other end of a stream socket pair, and pipe_peer.dll as the plugin the
// daemon talks to.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/subprocess.h"
#include "platform/supervisor_link.h"
#include "pluginhost/plugin_abi.h"
#include "tests/plugins/pipe_peer.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr char kStartLine[] = "successfully started core version 20.12.8.0";
constexpr char kStopLine[] = "stopping core version 20.12.8.0...";
constexpr char kDisconnectLine[] = "orvaned ipc pipe disconnected";
constexpr uint32_t kPeerTarget = PEER_MODULE_NUMBER << 20;

std::string Packet(uint32_t target, uint32_t kind, uint32_t extra, const std::string& payload) {
  const PipePacketHeader header{static_cast<uint32_t>(sizeof(PipePacketHeader) + payload.size()),
                                target, kind, extra};
  std::string bytes(sizeof header, '\0');
  std::memcpy(bytes.data(), &header, sizeof header);
  return bytes + payload;
}
// A supervisor information packet: the fields joined with NUL.
std::string Info(std::initializer_list<std::string> fields) {
  std::string payload;
  for (const std::string& field : fields) payload += field + '\0';
  payload.pop_back();
  return Packet(0, PIPE_KIND_INFO, 0, payload);
}
std::string Stop() { return Packet(0, PIPE_KIND_STOP, 0, ""); }

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes) {
    text += kDigits[c >> 4];
    text += kDigits[c & 0xF];
  }
  return text;
}

size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

class SupervisorProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Unique per run: a normal and a sanitizer build may run side by side.
    directory_ = fs::temp_directory_path() /
                 ("core-supervisor-" + std::to_string(std::random_device()()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory_);
    fs::create_directories(directory_ / "plugins");
    fs::copy_file(CORE_EXECUTABLE, directory_ / "core");
    fs::copy_file(PIPE_PEER_PLUGIN, directory_ / "plugins" / "pipe_peer.dll");
    // The core's threshold 0 lets its level-0 lines (failed ipc ioctls) through.
    Write("core.xml",
          "<Vexo Delta=\"0\"><Memory Throttling=\"1\"/><Modules><Module>"
          "<Plugin ID=\"-2147483648\" LogLevel=\"0\"/></Module></Modules></Vexo>");
    Write("useraccounts.xml", "<UserAccounts/>");
    ASSERT_TRUE(platform::CreateStreamSocketPair(&daemon_fd_, &core_fd_));
  }
  void TearDown() override {
    CloseLink();
    if (core_fd_ >= 0) platform::CloseDescriptor(core_fd_);
    if (child_.Wait(0ms) < 0) {
      child_.Signal(SIGKILL);
      child_.Wait(30s);
    }
    fs::remove_all(directory_);
  }

  void Write(const std::string& name, const std::string& text) {
    std::ofstream(directory_ / name) << text;
  }
  std::string Read(const std::string& name) {
    std::ifstream file(directory_ / name);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  }

  // Starts the core with its end of the link; the test keeps only its own.
  void Start() {
    const std::string core = (directory_ / "core").string();
    ASSERT_TRUE(
        child_.Start(core, {core, std::to_string(core_fd_)}, directory_.string(), {core_fd_}));
    platform::CloseDescriptor(core_fd_);
    core_fd_ = -1;
  }
  void StartAndIntroduce() {
    Start();
    Send(Info({"orvaned", "1.2.3"}));
    ASSERT_TRUE(child_.WaitForOutput(kStartLine, 30s)) << child_.Stdout();
  }

  void Send(const std::string& bytes) {
    ASSERT_TRUE(platform::WriteAll(daemon_fd_, bytes.data(), bytes.size()));
  }
  void CloseLink() {
    if (daemon_fd_ >= 0) platform::CloseDescriptor(daemon_fd_);
    daemon_fd_ = -1;
  }

  // The next packet the core sends, or nothing when the link closes, breaks
  // a packet's framing or stays silent for 30 seconds.
  std::optional<std::string> Receive() {
    for (;;) {
      if (received_.size() >= sizeof(PipePacketHeader)) {
        uint32_t length;
        std::memcpy(&length, received_.data(), sizeof length);
        if (length < sizeof(PipePacketHeader) || length > PIPE_MAX_PACKET) return std::nullopt;
        if (received_.size() >= length) {
          std::string packet = received_.substr(0, length);
          received_.erase(0, length);
          return packet;
        }
      }
      char chunk[1 << 16];
      const int64_t n = platform::ReadSome(daemon_fd_, chunk, sizeof chunk, 30000);
      if (n <= 0) return std::nullopt;
      received_.append(chunk, static_cast<size_t>(n));
    }
  }

  fs::path directory_;
  platform::ChildProcess child_;
  int daemon_fd_ = -1;
  int core_fd_ = -1;
  std::string received_;
};

TEST_F(SupervisorProcessTest, InformationEndsTheStartUpWaitAndNamesTheDaemon) {
  const auto begin = Clock::now();
  Start();
  Send(Info({"/opt/orvane/orvaned", "1.2.3", "Background:false"}));
  ASSERT_TRUE(child_.WaitForOutput(kStartLine, 30s)) << child_.Stdout();
  // Without the message the wait alone holds the start line back 10 seconds.
  EXPECT_LT(Clock::now() - begin, 9s);
  EXPECT_NE(
      Read("plugins.xml")
          .find("<Library Name=\"orvaned\" Filename=\"/opt/orvane/orvaned\" Version=\"1.2.3\" />"),
      std::string::npos)
      << Read("plugins.xml");
  Send(Stop());
  EXPECT_EQ(child_.Wait(30s), 0);
}

TEST_F(SupervisorProcessTest, ClosingTheDaemonEndStopsTheCore) {
  StartAndIntroduce();
  CloseLink();
  EXPECT_EQ(child_.Wait(30s), 0);
  const std::string out = child_.Stdout();
  const auto lost = out.find(kDisconnectLine);
  ASSERT_NE(lost, std::string::npos) << out;
  EXPECT_LT(lost, out.find(kStopLine));
  EXPECT_EQ(Count(out, kDisconnectLine), 1u);
}

TEST_F(SupervisorProcessTest, StopPacketStopsTheCoreWithoutDisconnect) {
  StartAndIntroduce();
  Send(Stop());
  EXPECT_EQ(child_.Wait(30s), 0);
  const std::string out = child_.Stdout();
  EXPECT_NE(out.find(kStopLine), std::string::npos) << out;
  // The read left outstanding at the stop is abandoned, not a lost daemon.
  EXPECT_EQ(out.find(kDisconnectLine), std::string::npos) << out;
  EXPECT_FALSE(Receive().has_value());  // the core's end is closed
}

TEST_F(SupervisorProcessTest, PluginMessagesReachTheAddressedPluginWhole) {
  StartAndIntroduce();
  const std::string plain = Packet(kPeerTarget | 0xABCDE, 1, 0, "low bits are not the module");
  const std::string error_word = Packet(kPeerTarget, 1, 5, "error word");
  const std::string result = Packet(kPeerTarget, PEER_KIND_RETURN, 3, "result");
  const std::string nobody = Packet(9u << 20, 1, 5, "no such module");
  const std::string bare_info = Packet(kPeerTarget, PIPE_KIND_INFO, 0, "");
  // One write: the packets, the stop among them, are handled in order.
  Send(plain + error_word + result + nobody + bare_info + Stop());
  ASSERT_EQ(child_.Wait(30s), 0);

  std::string expected;
  for (const std::string& packet : {plain, error_word, result, bare_info}) {
    expected += "4 " + std::to_string(packet.size()) + " " + Hex(packet) + "\n";
  }
  EXPECT_EQ(Read(PEER_TRACE_FILE), expected);
  const std::string out = child_.Stdout();
  EXPECT_NE(out.find("plugin pipe_peer.dll ipc ioctl returned 0 error 5\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("plugin pipe_peer.dll ipc ioctl returned 3 error 0\n"), std::string::npos);
  EXPECT_EQ(Count(out, "ipc ioctl returned"), 2u) << out;
}

TEST_F(SupervisorProcessTest, PluginPacketsArriveWholeAndInOrder) {
  StartAndIntroduce();
  constexpr uint32_t kCount = 50;
  Send(Packet(kPeerTarget, PEER_KIND_BURST, kCount, ""));
  // Not reading for a moment lets the socket fill, so that the plugin's
  // later packets queue up behind a write still in flight.
  std::this_thread::sleep_for(200ms);
  for (uint32_t i = 0; i < kCount; ++i) {
    const std::optional<std::string> packet = Receive();
    ASSERT_TRUE(packet.has_value()) << "packet " << i;
    PipePacketHeader header;
    std::memcpy(&header, packet->data(), sizeof header);
    ASSERT_EQ(header.extra, i);
    ASSERT_EQ(header.length, PeerBurstLength(i));
    EXPECT_EQ(header.target, kPeerTarget);
    EXPECT_EQ(header.kind, PEER_KIND_BURST_PACKET);
    for (size_t j = sizeof header; j < packet->size(); ++j) {
      ASSERT_EQ(static_cast<uint8_t>((*packet)[j]),
                static_cast<uint8_t>(i * 31 + j - sizeof header))
          << "packet " << i << " byte " << j;
    }
  }
  Send(Stop());
  // An ASan build also fails the exit code when a written buffer leaked.
  EXPECT_EQ(child_.Wait(30s), 0);
  EXPECT_EQ(Read(PEER_TRACE_FILE).find("refused"), std::string::npos);
}

TEST_F(SupervisorProcessTest, BackgroundModeSilencesTheConsoleOnly) {
  StartAndIntroduce();
  Send(Info({"orvaned", "1.2.3", "Background:true"}));
  // A reply to a later packet shows that the core has taken the message in
  // and still runs.
  Send(Packet(kPeerTarget, PEER_KIND_BURST, 1, ""));
  ASSERT_TRUE(Receive().has_value());
  Send(Stop());
  EXPECT_EQ(child_.Wait(30s), 0);
  const std::string out = child_.Stdout();
  EXPECT_NE(out.find(kStartLine), std::string::npos);
  EXPECT_EQ(out.find(kStopLine), std::string::npos) << out;
}

// Waits out the 10-second start-up wait: registered with the label "slow".
class SupervisorProcessSlowTest : public SupervisorProcessTest {};

TEST_F(SupervisorProcessSlowTest, SilentDaemonDelaysTheStartLineByTheWait) {
  Start();
  EXPECT_FALSE(child_.WaitForOutput(kStartLine, 7s)) << child_.Stdout();
  ASSERT_TRUE(child_.WaitForOutput(kStartLine, 40s)) << child_.Stdout();
  // Nothing was heard, so the status document names no daemon.
  EXPECT_EQ(Read("plugins.xml").find("<Library"), std::string::npos);
  Send(Stop());
  EXPECT_EQ(child_.Wait(30s), 0);
}

}  // namespace
