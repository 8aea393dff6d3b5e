// The supervisor link: its framing on its own, then SupervisorPipe on a
// socket pair with the test as the daemon and as the core (the pipe's host).
#include "supervisor/supervisor_pipe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/supervisor_link.h"
#include "tests/recording_writer.h"

namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using testing_writer::RecordingWriter;

std::string Header(uint32_t length, uint32_t target, uint32_t kind) {
  const PipePacketHeader header{length, target, kind, 0xABCD};
  return std::string(reinterpret_cast<const char*>(&header), sizeof header);
}
std::string Packet(uint32_t target, uint32_t kind, const std::string& payload) {
  return Header(static_cast<uint32_t>(16 + payload.size()), target, kind) + payload;
}
std::string ToModule(uint32_t number, const std::string& payload) {
  return Packet(number << 20, 1, payload);
}

// Feeds `stream` to a framer in reads of at most `read_size` bytes (0: all
// the room) and lists what it handed over: each packet's bytes, "bad
// <length> <dropped>" for each drop, and last "held <fill>".
Strings Frame(const std::string& stream, size_t read_size) {
  struct Sink : supervisor::PacketFramer::Sink {
    Strings seen;
    void OnPacket(const PipePacketHeader& header, unsigned char* packet) override {
      seen.emplace_back(reinterpret_cast<const char*>(packet), header.length);
    }
    void OnBadLength(uint32_t length, uint64_t dropped) override {
      seen.push_back("bad " + std::to_string(length) + " " + std::to_string(dropped));
    }
  } sink;
  supervisor::PacketFramer framer;
  for (size_t fed = 0, n = 0; fed < stream.size(); fed += n) {
    n = std::min({read_size == 0 ? framer.Room() : read_size, framer.Room(), stream.size() - fed});
    std::memcpy(framer.WritePosition(), stream.data() + fed, n);
    framer.Received(n, sink);
  }
  sink.seen.push_back("held " + std::to_string(framer.Fill()));
  return sink.seen;
}

TEST(PacketFramerTest, CutsTheStreamWhateverTheReadSizes) {
  const std::string a = ToModule(1, "first"), b = ToModule(2, "second"), c = ToModule(3, "third!");
  const std::string largest = ToModule(1, std::string(PIPE_MAX_PACKET - 16, 'x'));
  const std::string bare = Header(16, 0, PIPE_KIND_INFO);
  const struct {
    std::string stream;
    size_t read_size;
    Strings seen;
  } cases[] = {
      {a, 1, {a, "held 0"}},                                       // one byte per read
      {a + b + c, a.size() + b.size() + 10, {a, b, c, "held 0"}},  // two and part of a third
      {largest + bare + a.substr(0, 15), 0, {largest, bare, "held 15"}},
      {Header(PIPE_MAX_PACKET + 1, 1, 1) + a, 16, {"bad 65537 16", a, "held 0"}},
      // Lengths below the header drop it, so the stream always moves on; a bad
      // length drops all that is held.
      {Header(0, 1, 1) + Header(5, 1, 1) + Header(15, 1, 1) + a, 16,
       {"bad 0 16", "bad 5 16", "bad 15 16", a, "held 0"}},
      {a + Header(0, 1, 1) + b, 0, {a, "bad 0 " + std::to_string(16 + b.size()), "held 0"}},
  };
  for (const auto& each : cases) {
    EXPECT_EQ(Frame(each.stream, each.read_size), each.seen) << each.stream.size();
  }
}

class SupervisorPipeTest;
SupervisorPipeTest* g_test = nullptr;  // for the plain-C plugin entry points

// The test is the pipe's host and records what the pipe does; `mutex_` also
// plays the core's queue mutex.
class SupervisorPipeTest : public ::testing::Test, public supervisor::PipeHost {
 protected:
  SupervisorPipeTest() {
    g_test = this;
    RecordingWriter::Instance().Reset();
    AddPlugin("a.dll", 0x00010000u, Ioctl<'a'>);
  }
  void SetUp() override { ASSERT_TRUE(platform::CreateStreamSocketPair(&core_fd_, &daemon_fd_)); }
  void TearDown() override {
    StopIo();
    pipe_.ReleaseQueued();
    platform::CloseDescriptor(daemon_fd_);
  }

  void RequestStop() override { Locked([&] { ++stops_; }); }
  void NotifyUnderQueueMutex(const std::function<void()>& fn) override {
    Locked([&] {
      fn();
      ++notifications_;
    });
  }
  CoreWriteFn Writer() override { return &RecordingWriter::Write; }
  pluginhost::PluginList& Plugins() override { return plugins_; }

  // Records "<plugin><code> <packet>"; plugin 'b' fails by its error word.
  template <char kName>
  static int32_t Ioctl(const IoctlRequest* request, IoctlReply* reply) {
    g_test->Locked([&] {
      g_test->calls_.push_back(kName + std::to_string(request->code) + " " +
                               std::string(static_cast<const char*>(request->buffer.data),
                                           request->buffer.length));
      g_test->buffers_.insert(request->buffer.data);
    });
    if (kName == 'b') reply->errorCode = 5;
    return 0;
  }
  void AddPlugin(const char* filename, ModuleId id, PluginIoctlFn ioctl) {
    auto record = std::make_unique<pluginhost::PluginInfo>();
    record->Filename = filename;
    record->descriptor.systemID = id;
    record->Ioctl = ioctl;
    plugins_.Modify([&](pluginhost::PluginList::Records& records) {
      records.push_back(std::move(record));
    });
  }

  template <typename Fn>
  void Locked(Fn fn) {
    std::lock_guard lock(mutex_);
    fn();
    changed_.notify_all();
  }
  // Waits (generously) until pred holds under the mutex.
  template <typename Pred>
  bool WaitUntil(Pred pred) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 20s, pred);
  }
  bool WaitForCalls(size_t n) { return WaitUntil([&] { return calls_.size() >= n; }); }
  // What the pipe logged through the core's writer, as "LEVEL TEXT".
  static Strings Logs() { return RecordingWriter::Instance().Lines(" "); }

  void Start() {
    ASSERT_TRUE(pipe_.Open(core_fd_));
    pipe_.StartReading();
    io_thread_ = std::thread([this] { io_.run(); });
  }
  void StopIo() {
    io_.stop();
    if (io_thread_.joinable()) io_thread_.join();
  }
  void Send(const std::string& bytes) {
    ASSERT_TRUE(platform::WriteAll(daemon_fd_, bytes.data(), bytes.size()));
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  Strings calls_;
  std::set<const void*> buffers_;
  int stops_ = 0, notifications_ = 0, detaches_ = 0;
  pluginhost::PluginList plugins_;
  boost::asio::io_context io_;
  supervisor::SupervisorPipe pipe_{io_, *this, [this] { ++detaches_; }};
  std::thread io_thread_;
  int core_fd_ = -1;  // owned by pipe_ once attached
  int daemon_fd_ = -1;
};

TEST_F(SupervisorPipeTest, ReadsAreFramedAndBadLengthsLogged) {
  Start();
  const std::string third = ToModule(1, "third packet");
  // A stop among the packets of one read does not keep later ones unhandled.
  Send(ToModule(1, "first") + Packet(0, PIPE_KIND_STOP, "") + ToModule(1, "second!") +
       third.substr(0, 10));
  ASSERT_TRUE(WaitForCalls(2));
  Send(third.substr(10));
  Send(Header(PIPE_MAX_PACKET + 1, 1u << 20, 1));
  ASSERT_TRUE(RecordingWriter::Instance().WaitForMessages(1));
  Send(ToModule(1, "after"));
  ASSERT_TRUE(WaitForCalls(4));
  StopIo();
  EXPECT_EQ(stops_, 1);
  const Strings expected = {"a4 " + ToModule(1, "first"), "a4 " + ToModule(1, "second!"),
                            "a4 " + third, "a4 " + ToModule(1, "after")};
  EXPECT_EQ(calls_, expected);
  EXPECT_EQ(Logs(), Strings{"50 bad ipc packet length"});
}

TEST_F(SupervisorPipeTest, SupervisorInformationFields) {
  Start();
  const std::string nul(1, '\0');
  const struct {
    std::string payload, name, version;
    bool background;
    int detaches;
  } cases[] = {
      {"a" + nul + "b", "a", "b", false, 0},
      {"a" + nul + "b" + nul + "Background:true", "a", "b", true, 1},
      {"x", "x", "b", true, 1},  // one field: version and flag unchanged
      {"a" + nul + "c" + nul + "background:true", "a", "c", false, 1},
      {"d" + nul + "b" + nul + "Background:true" + nul + "more", "d", "b", true, 1},  // once
      {"a" + nul + "b" + nul, "a", "b", false, 1},  // an empty third field clears the flag
  };
  int sent = 0;
  for (const auto& c : cases) {
    Send(Packet(0, PIPE_KIND_INFO, c.payload));
    ++sent;
    ASSERT_TRUE(WaitUntil([&] { return notifications_ == sent; }));
    std::lock_guard lock(mutex_);  // how the core reads them
    EXPECT_EQ(pipe_.FileName() + "|" + pipe_.Version(), c.name + "|" + c.version) << sent;
    EXPECT_EQ(pipe_.Background(), c.background) << sent;
    EXPECT_EQ(detaches_, c.detaches) << sent;
  }
}

TEST_F(SupervisorPipeTest, PluginMessagesGoInPlaceToTheFirstMatchingModule) {
  AddPlugin("b.dll", 0x00020000u, Ioctl<'b'>);
  AddPlugin("c.dll", 0x10020005u, Ioctl<'c'>);  // module 2 as well, listed later
  AddPlugin("d.dll", 0x00030000u, nullptr);     // no IOCTL
  Start();
  const std::string bare_info = Packet(1u << 20, PIPE_KIND_INFO, "");  // 16 bytes: a message
  Send(ToModule(2, "to two") + ToModule(3, "to three") + ToModule(9, "to nobody") + bare_info);
  ASSERT_TRUE(WaitForCalls(2));
  StopIo();
  EXPECT_EQ(calls_, (Strings{"b4 " + ToModule(2, "to two"), "a4 " + bare_info}));
  EXPECT_EQ(buffers_.size(), 1u);  // each at the start of the one receive buffer
  EXPECT_EQ(notifications_, 0);
  EXPECT_EQ(Logs(), (Strings{"0 plugin b.dll ipc ioctl returned 0 error 5",
                             "0 plugin d.dll ipc ioctl returned -100 error 0"}));
}

TEST_F(SupervisorPipeTest, OutgoingQueueAndTheLostDaemon) {
  // Without a pipe nothing is attached and every submission is refused.
  EXPECT_TRUE(pipe_.Open(-1));
  EXPECT_EQ(pipe_.Submit(std::malloc(16), 16), 1);
  Start();
  EXPECT_EQ(pipe_.Submit(std::malloc(16), -1), 1);
  EXPECT_EQ(pipe_.Submit(nullptr, 4), 1);
  // Larger than the socket buffer, so later ones queue behind a write in
  // flight while the daemon end is not read.
  std::string expected, received;
  for (int i = 0; i < 4; ++i) {
    const std::string packet(i == 2 ? 0 : 150000 + i, static_cast<char>('A' + i));
    expected += packet;
    void* copy = std::malloc(packet.size() + 1);
    std::memcpy(copy, packet.data(), packet.size());
    ASSERT_EQ(pipe_.Submit(copy, static_cast<int64_t>(packet.size())), 0);
  }
  for (char chunk[1 << 16]; received.size() < expected.size();) {
    const int64_t n = platform::ReadSome(daemon_fd_, chunk, sizeof chunk, 20000);
    ASSERT_GT(n, 0);
    received.append(chunk, static_cast<size_t>(n));
  }
  EXPECT_TRUE(received == expected);
  // The daemon no longer reads: the first write fails (no SIGPIPE), the rest
  // stay queued until ReleaseQueued frees them, and reading goes on.
  platform::ShutdownSocket(daemon_fd_, true, false);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(pipe_.Submit(std::malloc(64), 64), 0);
  Send(ToModule(1, "still reading"));
  ASSERT_TRUE(WaitForCalls(1));
  EXPECT_TRUE(pipe_.IsOpen());
  // Closing the daemon's end is a lost daemon: logged, the core stopped,
  // submissions refused.
  platform::CloseDescriptor(daemon_fd_);
  daemon_fd_ = -1;
  ASSERT_TRUE(WaitUntil([&] { return stops_ == 1; }));
  StopIo();
  EXPECT_EQ(Logs(), Strings{"100 orvaned ipc pipe disconnected"});
  EXPECT_FALSE(pipe_.IsOpen());
  EXPECT_EQ(pipe_.Submit(std::malloc(16), 16), 1);
}

TEST_F(SupervisorPipeTest, OnlyStreamSocketsAreAttached) {
  int pipe_read = -1, pipe_write = -1;
  ASSERT_TRUE(platform::CreatePipe(&pipe_read, &pipe_write));
  const int datagram = platform::CreateDatagramSocket();
  const int64_t refused[] = {2, -5, pipe_read, datagram, 1LL << 32};
  for (int64_t handle : refused) EXPECT_FALSE(pipe_.Open(handle)) << handle;
  EXPECT_FALSE(pipe_.IsOpen());
  EXPECT_EQ(Logs(), Strings(std::size(refused), "100 failed to open ipc pipe"));
  for (int fd : {pipe_read, pipe_write, datagram}) platform::CloseDescriptor(fd);
  platform::ClearCloseOnExec(core_fd_);
  EXPECT_TRUE(pipe_.Open(core_fd_));
  EXPECT_TRUE(pipe_.IsOpen());
  EXPECT_TRUE(platform::IsCloseOnExec(core_fd_));
}

}  // namespace
