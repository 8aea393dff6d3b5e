// Process-level tests of the supervisor link: the real core executable in a
// temporary core directory, with the test playing the supervising daemon on
// the other end of a stream socket pair, and a copy of the test plugin, which
// echoes daemon packets, as the plugin the daemon talks to.
#include <gtest/gtest.h>

#include <csignal>

#include <sys/ioctl.h>

#include "platform/supervisor_link.h"
#include "tests/core_directory.h"

namespace {

using namespace testing_core;
using namespace std::string_literals;

constexpr char kDisconnectLine[] = "orvaned ipc pipe disconnected";
constexpr uint32_t kPeerTarget = 7u << 20;  // the echo plugin's module

// Supervisor information: NUL-separated file name, version and option.
std::string Info(const std::string& fields) { return Packet(0, PIPE_KIND_INFO, 0, fields); }

// The bytes that arrived on a socket and wait to be read, or -1.
int64_t Unread(int fd) {
  int bytes = 0;
  return ioctl(fd, FIONREAD, &bytes) == 0 ? bytes : -1;
}

class SupervisorProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    core_.AddPlugin(TEST_PLUGIN, "echo", "systemID=0x00070000");
    // The core's threshold 0 lets its level-0 lines (failed ipc ioctls) through.
    core_.Write("core.xml", "<Vexo Delta=\"0\"><Memory Throttling=\"1\"/><Modules>"
                            "<Module><Plugin ID=\"-2147483648\" LogLevel=\"0\"/></Module></Modules></Vexo>");
    ASSERT_TRUE(platform::CreateStreamSocketPair(&daemon_fd_, &core_fd_));
  }
  void TearDown() override {
    platform::CloseDescriptor(daemon_fd_);
    platform::CloseDescriptor(core_fd_);
  }

  // Starts the core with its end of the link, which the test then closes;
  // unless `info` is empty, sends it and waits for the start line.
  void Start(const std::string& info = Info("orvaned\0" "1.2.3"s)) {
    ASSERT_TRUE(core_.Start({std::to_string(core_fd_)}, {core_fd_}));
    platform::CloseDescriptor(core_fd_);
    core_fd_ = -1;
    if (info.empty()) return;
    Send(info);
    ASSERT_TRUE(child().WaitForOutput(kStartLine, 30s)) << child().Stdout();
  }
  void Send(const std::string& bytes) {
    ASSERT_TRUE(platform::WriteAll(daemon_fd_, bytes.data(), bytes.size()));
  }
  int StopCore() {
    Send(Packet(0, PIPE_KIND_STOP, 0, ""));
    return child().Wait(30s);
  }
  std::string Read(const std::string& name) { return ReadText(core_.dir / name); }
  platform::ChildProcess& child() { return core_.child(); }
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

  CoreDirectory core_;
  int daemon_fd_ = -1;
  int core_fd_ = -1;
};

TEST_F(SupervisorProcessTest, InformationPluginPacketsAndStopInOneRun) {
  const auto begin = std::chrono::steady_clock::now();
  Start(Info("/opt/orvane/orvaned\0" "1.2.3\0" "Background:false"s));
  // Without the message the wait alone holds the start line back 10 seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 9s);
  const std::string status = Read("plugins.xml");
  EXPECT_NE(status.find(R"(<Library Name="orvaned" Filename="/opt/orvane/orvaned" )"
                        R"(Version="1.2.3" />)"),
            npos)
      << status;
  // Packets from a bare header to the largest reach the plugin whole (the
  // low target bits are not the module) and come back in order, also when
  // they queue up in the core behind a write still in flight.
  std::string sent = Packet(kPeerTarget | 0xABCDE, 1, 0, "low bits") +
                     Packet(kPeerTarget, 1, 5, "error word") + Packet(kPeerTarget, 2, 3, "result") +
                     Packet(kPeerTarget, PIPE_KIND_INFO, 0, "");
  for (uint32_t i = 0; i < 40; ++i) {
    const size_t size = i % 4 == 0 ? PIPE_MAX_PACKET - 16 : (i * 40503u) % 65521u;
    sent += Packet(kPeerTarget, 0x43, 0, std::string(size, static_cast<char>(i)));
  }
  Send(sent + Packet(9u << 20, 1, 5, "to nobody"));
  // Once the plugin has echoed every packet (its trace shows the last call
  // ended) while the daemon read nothing, the socket holds only part of the
  // echoes: the rest waits in the core's queue.
  ASSERT_TRUE(WaitUntil([&] {
    const std::string trace = Read("trace.txt");
    return Count(trace, "IOCTL begin code=4 ") == 44 &&
           trace.find("IOCTL end", trace.rfind("IOCTL begin code=4 ")) != npos;
  })) << Read("trace.txt");
  const int64_t unread = Unread(daemon_fd_);
  EXPECT_GE(unread, 0);
  EXPECT_LT(unread, static_cast<int64_t>(sent.size()));
  EXPECT_TRUE(Receive(sent.size()) == sent);
  // The stop packet ends the core; the read left outstanding at the stop is
  // abandoned, not a lost daemon.  An ASan build also fails the exit code
  // when a written buffer leaked.
  EXPECT_EQ(StopCore(), 0);
  EXPECT_EQ(Receive(1), "");  // the core's end is closed
  const std::string out = child().Stdout();
  EXPECT_NE(out.find("plugin echo.dll ipc ioctl returned 0 error 5\n"), npos) << out;
  EXPECT_NE(out.find("plugin echo.dll ipc ioctl returned 3 error 0\n"), npos) << out;
  EXPECT_EQ(Count(out, "ipc ioctl returned"), 2u) << out;
  EXPECT_NE(out.find(kStopLine), npos) << out;
  EXPECT_EQ(out.find(kDisconnectLine), npos) << out;
}

TEST_F(SupervisorProcessTest, BackgroundModeSilencesTheConsoleOnly) {
  Start();
  Send(Info("orvaned\0" "1.2.3\0" "Background:true"s));
  // An echo of a later packet shows that the core took the message in and
  // still runs.
  const std::string ping = Packet(kPeerTarget, 0x43, 0, "ping");
  Send(ping);
  ASSERT_EQ(Receive(ping.size()), ping);
  EXPECT_EQ(StopCore(), 0);
  EXPECT_EQ(child().Stdout().find(kStopLine), npos) << child().Stdout();
}

// Waits out the 10-second start-up wait: registered with the label "slow".
class SupervisorProcessSlowTest : public SupervisorProcessTest {};

TEST_F(SupervisorProcessSlowTest, SilentDaemonDelaysTheStartLineAndItsLossStopsTheCore) {
  Start("");
  EXPECT_FALSE(child().WaitForOutput(kStartLine, 7s)) << child().Stdout();
  ASSERT_TRUE(child().WaitForOutput(kStartLine, 40s)) << child().Stdout();
  // Nothing was heard, so the status document names no daemon.
  EXPECT_EQ(Read("plugins.xml").find("<Library"), npos);
  // Closing the daemon's end is a lost daemon, which stops the core.
  platform::CloseDescriptor(daemon_fd_);
  daemon_fd_ = -1;
  EXPECT_EQ(child().Wait(30s), 0);
  const std::string out = child().Stdout();
  EXPECT_EQ(Count(out, kDisconnectLine), 1u) << out;
  EXPECT_EQ(Count(out, kStopLine), 1u) << out;
  EXPECT_LT(out.find(kDisconnectLine), out.find(kStopLine));
}

}  // namespace
