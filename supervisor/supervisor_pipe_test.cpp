#include "supervisor/supervisor_pipe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/supervisor_link.h"

namespace {

using namespace std::chrono_literals;

struct LogLine {
  int32_t level;
  std::string text;
};

struct IoctlCall {
  std::string plugin;
  IoctlRequest request;
  IoctlReply reply;
  std::string packet;  // copy of the bytes the plugin saw
};

// Everything the fakes record.  The write callback and the plugin entry
// points are plain C functions, so they reach it through one pointer.
struct Recorder {
  std::mutex mutex;  // also plays the core's queue mutex
  std::condition_variable changed;
  std::vector<LogLine> logs;
  std::vector<IoctlCall> calls;
  int stops = 0;
  int notifications = 0;
  int detaches = 0;
};
Recorder* g_recorder = nullptr;

int32_t RecordingWriter(const CoreEvent* event, WriteResult* result) {
  result->code = 0;
  if (event->eventSubtype == SUBTYPE_LOG_QUERY) {
    result->code = -1;  // no threshold: everything passes
  } else if ((event->eventSubtype & 0xFFFFu) == SUBTYPE_LOG_MESSAGE) {
    std::lock_guard lock(g_recorder->mutex);
    g_recorder->logs.push_back({event->attributes.logLevel, static_cast<const char*>(event->data)});
    g_recorder->changed.notify_all();
  }
  return 0;
}

int32_t Record(const char* plugin, const IoctlRequest* request, IoctlReply* reply) {
  std::lock_guard lock(g_recorder->mutex);
  g_recorder->calls.push_back({plugin, *request, *reply,
                               std::string(static_cast<const char*>(request->buffer.data),
                                           request->buffer.length)});
  g_recorder->changed.notify_all();
  return 0;
}
int32_t IoctlA(const IoctlRequest* request, IoctlReply* reply) { return Record("a", request, reply); }
int32_t IoctlB(const IoctlRequest* request, IoctlReply* reply) {
  Record("b", request, reply);
  reply->errorCode = 5;  // succeeds by result, fails by its error word
  return 0;
}
int32_t IoctlC(const IoctlRequest* request, IoctlReply* reply) { return Record("c", request, reply); }

class FakeHost : public supervisor::PipeHost {
 public:
  void RequestStop() override {
    std::lock_guard lock(g_recorder->mutex);
    ++g_recorder->stops;
    g_recorder->changed.notify_all();
  }
  void NotifyUnderQueueMutex(const std::function<void()>& fn) override {
    std::lock_guard lock(g_recorder->mutex);
    fn();
    ++g_recorder->notifications;
    g_recorder->changed.notify_all();
  }
  CoreWriteFn Writer() override { return RecordingWriter; }
  pluginhost::PluginList& Plugins() override { return plugins_; }

  void AddPlugin(const char* filename, ModuleId id, PluginIoctlFn ioctl) {
    auto record = std::make_unique<pluginhost::PluginInfo>();
    record->Filename = filename;
    record->descriptor.systemID = id;
    record->Ioctl = ioctl;
    plugins_.Modify([&](pluginhost::PluginList::Records& records) {
      records.push_back(std::move(record));
    });
  }

 private:
  pluginhost::PluginList plugins_;
};

// A header claiming `length`, whatever follows it.
std::string Header(uint32_t length, uint32_t target, uint32_t kind) {
  const PipePacketHeader header{length, target, kind, 0xABCD};
  std::string bytes(sizeof header, '\0');
  std::memcpy(bytes.data(), &header, sizeof header);
  return bytes;
}
std::string Packet(uint32_t target, uint32_t kind, const std::string& payload) {
  return Header(static_cast<uint32_t>(16 + payload.size()), target, kind) + payload;
}
std::string ToModule(uint32_t number, const std::string& payload) {
  return Packet(number << 20, 1, payload);
}
void* Copy(const std::string& bytes) {
  void* data = std::malloc(bytes.size() + 1);
  std::memcpy(data, bytes.data(), bytes.size());
  return data;
}

class SupervisorPipeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_recorder = &recorder_;
    ASSERT_TRUE(platform::CreateStreamSocketPair(&core_fd_, &daemon_fd_));
    pipe_ = std::make_unique<supervisor::SupervisorPipe>(io_, host_, [] {
      ++g_recorder->detaches;  // called under the queue mutex
    });
    host_.AddPlugin("a.dll", 0x00010000u, IoctlA);
  }
  void TearDown() override {
    StopIo();
    if (pipe_ != nullptr) pipe_->ReleaseQueued();
    pipe_.reset();
    if (!attached_) platform::CloseDescriptor(core_fd_);
    platform::CloseDescriptor(daemon_fd_);
  }

  void Start() {
    ASSERT_TRUE(pipe_->Open(core_fd_));
    attached_ = true;
    pipe_->StartReading();
    io_thread_ = std::thread([this] { io_.run(); });
  }
  void StopIo() {
    io_.stop();
    if (io_thread_.joinable()) io_thread_.join();
  }
  void Send(const std::string& bytes) {
    ASSERT_TRUE(platform::WriteAll(daemon_fd_, bytes.data(), bytes.size()));
  }
  // Waits (generously) until pred holds under the recorder's mutex.
  template <typename Pred>
  bool WaitUntil(Pred pred) {
    std::unique_lock lock(recorder_.mutex);
    return recorder_.changed.wait_for(lock, 20s, pred);
  }
  bool WaitForCalls(size_t n) { return WaitUntil([&] { return recorder_.calls.size() >= n; }); }
  bool WaitForLogs(size_t n) { return WaitUntil([&] { return recorder_.logs.size() >= n; }); }
  // Waits until the pipe has read everything sent so far.
  void WaitDrained() {
    for (int i = 0; i < 20000 && platform::PendingInputBytes(core_fd_) != 0; ++i) {
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(platform::PendingInputBytes(core_fd_), 0);
  }

  Recorder recorder_;
  FakeHost host_;
  boost::asio::io_context io_;
  std::unique_ptr<supervisor::SupervisorPipe> pipe_;
  std::thread io_thread_;
  int core_fd_ = -1;
  int daemon_fd_ = -1;
  bool attached_ = false;
};

TEST_F(SupervisorPipeTest, PacketArrivingOneBytePerReadIsHandledOnceWhole) {
  Start();
  const std::string packet = ToModule(1, "one byte at a time");
  for (size_t i = 0; i < packet.size(); ++i) {
    Send(packet.substr(i, 1));
    WaitDrained();  // the outstanding read took exactly this byte
    if (i + 1 < packet.size()) {
      std::lock_guard lock(recorder_.mutex);
      ASSERT_TRUE(recorder_.calls.empty()) << "handled after byte " << i;
    }
  }
  ASSERT_TRUE(WaitForCalls(1));
  StopIo();
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_EQ(recorder_.calls[0].packet, packet);
}

TEST_F(SupervisorPipeTest, SeveralPacketsInOneReadAndARemainder) {
  Start();
  const std::string third = ToModule(1, "third packet");
  // A stop in the middle does not keep later packets of the read unhandled.
  Send(ToModule(1, "first") + Packet(0, PIPE_KIND_STOP, "") + ToModule(1, "second!") +
       third.substr(0, 10));
  ASSERT_TRUE(WaitForCalls(2));
  WaitDrained();
  {
    std::lock_guard lock(recorder_.mutex);
    EXPECT_EQ(recorder_.stops, 1);
    ASSERT_EQ(recorder_.calls.size(), 2u);
    EXPECT_EQ(recorder_.calls[0].packet, ToModule(1, "first"));
    EXPECT_EQ(recorder_.calls[1].packet, ToModule(1, "second!"));
  }
  Send(third.substr(10));
  ASSERT_TRUE(WaitForCalls(3));
  StopIo();
  EXPECT_EQ(recorder_.calls[2].packet, third);
  EXPECT_TRUE(recorder_.logs.empty());
}

TEST_F(SupervisorPipeTest, PacketLengthLimits) {
  Start();
  std::string payload(PIPE_MAX_PACKET - 16, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + 3);
  const std::string largest = ToModule(1, payload);
  ASSERT_EQ(largest.size(), PIPE_MAX_PACKET);
  Send(largest);
  ASSERT_TRUE(WaitForCalls(1));

  // An over-long length and lengths below the header size each drop what is
  // held and the framing carries on with the next packet.
  size_t expected_logs = 0;
  for (uint32_t bad : {PIPE_MAX_PACKET + 1, 0u, 15u}) {
    Send(Header(bad, 1u << 20, 1));
    ASSERT_TRUE(WaitForLogs(++expected_logs)) << bad;
    Send(ToModule(1, "after " + std::to_string(bad)));
    ASSERT_TRUE(WaitForCalls(expected_logs + 1)) << bad;
  }
  StopIo();
  EXPECT_EQ(recorder_.calls[0].packet, largest);
  EXPECT_EQ(recorder_.calls[0].request.buffer.length, PIPE_MAX_PACKET);
  EXPECT_EQ(recorder_.calls[3].packet, ToModule(1, "after 15"));
  for (const LogLine& line : recorder_.logs) {
    EXPECT_EQ(line.level, 50);
    EXPECT_EQ(line.text, "bad ipc packet length");
  }
}

TEST_F(SupervisorPipeTest, SupervisorInformationFields) {
  Start();
  struct Case {
    std::string payload;
    std::string name, version;
    bool background;
    int detaches;
  };
  const std::string nul(1, '\0');
  const Case cases[] = {
      {"a" + nul + "b", "a", "b", false, 0},
      {"a" + nul + "b" + nul + "Background:true", "a", "b", true, 1},
      {"x", "x", "b", true, 1},  // one field: version and flag unchanged
      {"a" + nul + "c" + nul + "background:true", "a", "c", false, 1},
      {"d" + nul + "b" + nul + "Background:true" + nul + "more", "d", "b", true, 1},  // once
      {"a" + nul + "b" + nul, "a", "b", false, 1},  // empty third field clears
      {nul, "", "", false, 1},
  };
  int sent = 0;
  for (const Case& c : cases) {
    Send(Packet(0, PIPE_KIND_INFO, c.payload));
    ++sent;
    ASSERT_TRUE(WaitUntil([&] { return recorder_.notifications == sent; }));
    std::lock_guard lock(recorder_.mutex);  // how the core reads them
    EXPECT_EQ(pipe_->FileName(), c.name) << sent;
    EXPECT_EQ(pipe_->Version(), c.version) << sent;
    EXPECT_EQ(pipe_->Background(), c.background) << sent;
    EXPECT_EQ(recorder_.detaches, c.detaches) << sent;
  }
  // Exactly 16 bytes of kind 7 is a plugin message.
  Send(Packet(1u << 20, PIPE_KIND_INFO, ""));
  ASSERT_TRUE(WaitForCalls(1));
  StopIo();
  EXPECT_EQ(recorder_.calls[0].packet.size(), 16u);
  EXPECT_EQ(recorder_.notifications, sent);
}

TEST_F(SupervisorPipeTest, PluginMessagesGoToFirstMatchingModule) {
  host_.AddPlugin("b.dll", 0x00020000u, IoctlB);
  host_.AddPlugin("c.dll", 0x10020005u, IoctlC);  // module 2 as well, listed later
  host_.AddPlugin("d.dll", 0x00030000u, nullptr);  // no IOCTL
  Start();
  Send(ToModule(2, "to two"));
  Send(ToModule(3, "to three"));
  Send(ToModule(9, "to nobody"));
  Send(Packet((1u << 20) | 0xFFFFFu, 44, "low target bits are not the module"));
  ASSERT_TRUE(WaitForCalls(2));
  StopIo();

  ASSERT_EQ(recorder_.calls.size(), 2u);
  const IoctlCall& call = recorder_.calls[0];
  EXPECT_EQ(call.plugin, "b");
  EXPECT_EQ(call.packet, ToModule(2, "to two"));
  EXPECT_EQ(call.request.structSize, 40u);
  EXPECT_EQ(call.request.code, 4u);
  EXPECT_EQ(call.request.buffer.structSize, 24u);
  EXPECT_EQ(call.request.buffer.length, call.packet.size());
  EXPECT_EQ(call.reply.structSize, 28u);
  EXPECT_EQ(call.reply.code, 4u);
  EXPECT_EQ(call.reply.nested.structSize, 8u);
  EXPECT_EQ(call.reply.nested.version, 1u);
  EXPECT_EQ(recorder_.calls[1].plugin, "a");
  // Handed over in place: each packet sits at the start of the one buffer.
  EXPECT_EQ(recorder_.calls[1].request.buffer.data, call.request.buffer.data);

  ASSERT_EQ(recorder_.logs.size(), 2u);
  EXPECT_EQ(recorder_.logs[0].text, "plugin b.dll ipc ioctl returned 0 error 5");
  EXPECT_EQ(recorder_.logs[0].level, 0);
  EXPECT_EQ(recorder_.logs[1].text, "plugin d.dll ipc ioctl returned -100 error 0");
}

TEST_F(SupervisorPipeTest, LostDaemonStopsTheCore) {
  Start();
  platform::CloseDescriptor(daemon_fd_);
  daemon_fd_ = -1;
  ASSERT_TRUE(WaitForLogs(1));
  ASSERT_TRUE(WaitUntil([&] { return recorder_.stops == 1; }));
  StopIo();
  EXPECT_EQ(recorder_.logs[0].text, "orvaned ipc pipe disconnected");
  EXPECT_EQ(recorder_.logs[0].level, 100);
  EXPECT_FALSE(pipe_->IsOpen());
  EXPECT_EQ(pipe_->Submit(std::malloc(16), 16), 1);
}

TEST_F(SupervisorPipeTest, OrderlyStopAbandonsTheReadSilently) {
  Start();
  Send(ToModule(1, "x"));
  ASSERT_TRUE(WaitForCalls(1));
  StopIo();
  pipe_.reset();  // closes the descriptor under the outstanding read
  EXPECT_TRUE(recorder_.logs.empty());
  EXPECT_EQ(recorder_.stops, 0);
}

TEST_F(SupervisorPipeTest, OutgoingBuffersAreWrittenWholeInSubmissionOrder) {
  Start();
  // Larger than the socket buffer, so several are queued behind a write that
  // is still in flight while the daemon end is not read.
  std::string expected;
  for (int i = 0; i < 8; ++i) {
    std::string packet(i == 3 ? 0 : 150000 + i, static_cast<char>('A' + i));
    expected += packet;
    ASSERT_EQ(pipe_->Submit(Copy(packet), static_cast<int64_t>(packet.size())), 0);
  }
  std::string received;
  std::vector<char> chunk(1 << 16);
  while (received.size() < expected.size()) {
    int64_t n = platform::ReadSome(daemon_fd_, chunk.data(), chunk.size(), 20000);
    ASSERT_GT(n, 0);
    received.append(chunk.data(), static_cast<size_t>(n));
  }
  EXPECT_TRUE(received == expected);
}

TEST_F(SupervisorPipeTest, RefusedSubmissionsAndFailedWrites) {
  // Without a pipe nothing is attached and every submission is refused.
  EXPECT_TRUE(pipe_->Open(-1));
  EXPECT_FALSE(pipe_->IsOpen());
  pipe_->StartReading();
  EXPECT_EQ(pipe_->Submit(std::malloc(16), 16), 1);

  Start();
  EXPECT_EQ(pipe_->Submit(std::malloc(16), -1), 1);
  EXPECT_EQ(pipe_->Submit(nullptr, 4), 1);
  // The daemon no longer reads: the first write fails (no SIGPIPE), the
  // rest stay queued until ReleaseQueued frees them at tear-down.
  platform::ShutdownSocket(daemon_fd_, true, false);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(pipe_->Submit(std::malloc(64), 64), 0);
  Send(ToModule(1, "still reading"));
  ASSERT_TRUE(WaitForCalls(1));
  EXPECT_TRUE(pipe_->IsOpen());
  EXPECT_TRUE(recorder_.logs.empty());
}

TEST_F(SupervisorPipeTest, OnlyStreamSocketsAreAttached) {
  int pipe_read = -1, pipe_write = -1;
  ASSERT_TRUE(platform::CreatePipe(&pipe_read, &pipe_write));
  const int datagram = platform::CreateDatagramSocket();
  ASSERT_GE(datagram, 0);
  int closed_a = -1, closed_b = -1;
  ASSERT_TRUE(platform::CreateStreamSocketPair(&closed_a, &closed_b));
  platform::CloseDescriptor(closed_a);
  platform::CloseDescriptor(closed_b);

  const int64_t refused[] = {0, 1, 2, -5, closed_a, pipe_read, datagram, 1LL << 32};
  for (int64_t handle : refused) EXPECT_FALSE(pipe_->Open(handle)) << handle;
  EXPECT_FALSE(pipe_->IsOpen());
  ASSERT_EQ(recorder_.logs.size(), std::size(refused));
  EXPECT_EQ(recorder_.logs[0].text, "failed to open ipc pipe");
  EXPECT_EQ(recorder_.logs[0].level, 100);

  platform::ClearCloseOnExec(core_fd_);
  EXPECT_TRUE(pipe_->Open(core_fd_));
  attached_ = true;
  EXPECT_TRUE(pipe_->IsOpen());
  EXPECT_TRUE(platform::IsCloseOnExec(core_fd_));
  for (int fd : {pipe_read, pipe_write, datagram}) platform::CloseDescriptor(fd);
}

}  // namespace
