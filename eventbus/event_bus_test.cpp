// The write path of the bus: every branch and result code, log filtering,
// read-request broadcast, pacing and cancellation.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

#include "core/log.h"
#include "eventbus/bus_test_support.h"

namespace eventbus::testing {
namespace {

constexpr ModuleId kPluginA = 0x00010000;
constexpr ModuleId kPluginB = 0x00020000;

void* Malloced(const char* text) {
  void* block = std::malloc(std::strlen(text));
  std::memcpy(block, text, std::strlen(text));
  return block;
}

CoreEvent LogEvent(ModuleId module, int32_t level, const char* text) {
  CoreEvent event = BusFixture::MakeEvent(module, EVENT_LOG, 0x01000000u | SUBTYPE_LOG_MESSAGE,
                                          text, static_cast<int32_t>(std::strlen(text) + 1));
  event.attributes.logLevel = level;
  return event;
}

CoreEvent VideoFrame(ModuleId provider, bool key, int32_t size = 1) {
  static const char byte = 'v';
  CoreEvent event = BusFixture::MakeEvent(provider, EVENT_VIDEO, SUBTYPE_VIDEO_FRAME, &byte, size);
  event.attributes.keyFrame = key ? 1 : 2;  // 2 is a dependent frame
  return event;
}

using WritePathTest = BusFixture;

TEST_F(WritePathTest, SupervisorBuffersAreHandedOverOrFreed) {
  EXPECT_EQ(Send(MakeEvent(kPluginA, EVENT_TO_SUPERVISOR, 0, Malloced("pkt1"), 4)).code, 0);
  host_.pipeOpen = false;
  EXPECT_EQ(Send(MakeEvent(kPluginA, EVENT_TO_SUPERVISOR, 0, Malloced("pkt2"), 4)).code, 1);
  host_.pipeOpen = true;
  // A negative size never reaches the pipe; the buffer is freed all the same.
  EXPECT_EQ(Send(MakeEvent(kPluginA, EVENT_TO_SUPERVISOR, 0, Malloced("pkt3"), -4)).code, 1);
  // Still handled while stopping.
  bus_->RequestStop();
  EXPECT_EQ(Send(MakeEvent(kPluginA, EVENT_TO_SUPERVISOR, 0, Malloced("pkt4"), 4)).code, 0);
  EXPECT_EQ(host_.submitted, (std::vector<std::string>{"pkt1", "pkt4"}));
}

TEST_F(WritePathTest, StoppingRefusesOrdinaryEventsOnly) {
  bus_->RequestStop();
  EXPECT_EQ(Send(MakeEvent(kPluginA, EVENT_CLASS(1), 0)).code, WRITE_REFUSED);
  EXPECT_EQ(Send(MakeEvent(0, EVENT_CANCEL_REQUEST, 0)).code, 0);
  EXPECT_EQ(Send(MakeEvent(0, EVENT_CLASS(1), 0)).code, 0);  // broadcast, no reader
  // A release of nothing frees nothing and leaves the code alone.
  EXPECT_EQ(Send(MakeEvent(kPluginA, EVENT_BLOCK_RELEASE, 0), 77).code, 77);
  // Log messages are still printed.
  Send(LogEvent(kPluginA, 10, "late"));
  EXPECT_TRUE(host_.HasLineContaining("late"));
  EXPECT_EQ(bus_->QueueSize(), 0u);
}

TEST_F(WritePathTest, LogFilterAgainstThresholds) {
  thresholds_.SetCurrent(1, 50);  // kPluginA; kPluginB stays unset
  EXPECT_EQ(Send(LogEvent(kPluginA, 40, "dropped"), 77).code, 77);
  EXPECT_EQ(Send(LogEvent(kPluginA, 60, "passes"), 77).code, 0);
  EXPECT_EQ(Send(LogEvent(kPluginB, 0, "printed only"), 77).code, 77);
  EXPECT_EQ(Send(LogEvent(kPluginB, 1, "printed and queued"), 77).code, 0);
  EXPECT_EQ(bus_->QueueSize(), 2u);
  const auto lines = host_.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, "passes");
  EXPECT_EQ(lines[0].level, 60);
  EXPECT_EQ(lines[1].module, kPluginB);
  EXPECT_EQ(lines[1].text, "printed only");

  const CoreEvent queryA = MakeEvent(kPluginA, EVENT_LOG, SUBTYPE_LOG_QUERY);
  EXPECT_EQ(Send(queryA).code, 50);
  EXPECT_EQ(Send(MakeEvent(kPluginB, EVENT_LOG, SUBTYPE_LOG_QUERY)).code, -1);
  EXPECT_EQ(Send(MakeEvent(0x0FFF0000, EVENT_LOG, SUBTYPE_LOG_QUERY)).code, -1);  // index 4095

  // The core at its default threshold 25: a level-0 line goes nowhere.
  core::Log(CORE_MODULE_ID, host_.Writer(), 0, "quiet %d", 1);
  core::Log(CORE_MODULE_ID, host_.Writer(), 25, "loud %d", 2);
  EXPECT_FALSE(host_.HasLineContaining("quiet"));
  EXPECT_TRUE(host_.HasLineContaining("loud 2"));

  // A text without its terminating zero is printed within its size.
  const char unterminated[3] = {'a', 'b', 'c'};
  CoreEvent raw = LogEvent(kPluginB, 10, "");
  raw.data = const_cast<char*>(unterminated);
  raw.dataSize = 3;
  Send(raw);
  EXPECT_EQ(host_.Lines().back().text, "abc");
}

TEST_F(WritePathTest, VideoAdmissionAndCopyFailures) {
  EXPECT_EQ(Send(VideoFrame(kPluginA, false)).code, WRITE_NO_KEY_FRAME);
  // An admitted key frame whose copy fails is forgotten.
  EXPECT_EQ(Send(VideoFrame(kPluginA, true, -1)).code, WRITE_NO_MEMORY);
  EXPECT_EQ(Send(VideoFrame(kPluginA, false)).code, WRITE_NO_KEY_FRAME);
  EXPECT_EQ(Send(VideoFrame(kPluginA, true)).code, 0);
  EXPECT_EQ(Send(VideoFrame(kPluginA, false)).code, 0);
  bus_->SetThrottling(true);
  EXPECT_EQ(Send(VideoFrame(kPluginA, true)).code, WRITE_THROTTLED);
  EXPECT_EQ(bus_->ThrottledVideoFrames(), 1u);
  // Class 0 without the video bit is no frame and never throttled.
  EXPECT_EQ(Send(MakeEvent(kPluginA, EVENT_VIDEO, 0x2)).code, 0);
  bus_->SetThrottling(false);
  const char data[4] = "abc";
  EXPECT_EQ(Send(MakeEvent(kPluginA, EVENT_CLASS(1), 0, data, -1)).code, WRITE_NO_MEMORY);
  EXPECT_EQ(bus_->QueueSize(), 3u);  // freed with the bus
}

TEST_F(WritePathTest, PayloadIsCopiedAndNullDataQueuesNoPayload) {
  AddPlugin(0, {});
  char data[4] = "abc";
  Send(MakeEvent(kPluginA, EVENT_CLASS(1), 0, data, 4));
  data[0] = 'X';  // the writer's buffer is its own again
  Send(MakeEvent(kPluginA, EVENT_CLASS(1), 0, nullptr, 10));
  Drain();
  ASSERT_EQ(Fake(0).writes.size(), 2u);
  EXPECT_EQ(Fake(0).writes[0].payload, std::string("abc", 4));
  EXPECT_NE(Fake(0).writes[0].event.data, static_cast<void*>(data));
  EXPECT_EQ(Fake(0).writes[1].event.dataSize, 0);
  EXPECT_EQ(Fake(0).writes[1].event.data, nullptr);
}

TEST_F(WritePathTest, ReadRequestReachesMatchingReadersOnOwnThreads) {
  std::promise<ReadRequest> seen;
  std::promise<std::string> payload;
  std::atomic<int> others{0};
  Fake(0).onRead = [&](const ReadRequest& r) {
    payload.set_value(std::string(static_cast<const char*>(r.data), r.dataSize));
    seen.set_value(r);
  };
  Fake(1).onRead = [&](const ReadRequest&) { ++others; };
  Fake(2).onRead = [&](const ReadRequest&) { ++others; };
  // Subtype 0x01000002 gives broadcast key 0x00800002 (and 0x02000002 when queued).
  AddPlugin(0, {.id = kPluginA, .mask = 0x00800002u, .acceptsRead = true});
  AddPlugin(1, {.id = kPluginB, .mask = 0x02000002u, .acceptsRead = true});
  AddPlugin(2, {.id = 0x30000, .mask = 0xFFFFFFFFu, .acceptsRead = false});

  const CoreEvent request = MakeEvent(0, EVENT_CLASS(2), 0x01000002u, "req", 3);
  CoreEvent withId = request;
  withId.requestID = 9;
  EXPECT_EQ(Send(withId).code, 0);
  auto future = seen.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  const ReadRequest r = future.get();
  EXPECT_EQ(r.structSize, sizeof(ReadRequest));
  EXPECT_EQ(r.flag, 1);
  EXPECT_EQ(r.requestID, 9u);
  EXPECT_EQ(r.dataSize, 3u);
  EXPECT_EQ(payload.get_future().get(), "req");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(others.load(), 0);
}

// A reader whose answers go to a subscriber that keeps every block.
class PacingTest : public BusFixture {
 protected:
  void SetUp() override {
    Fake(1).onWrite = [](const DeliveredEvent&, WriteReply& reply) { reply.keepBlock = 1; };
    AddPlugin(0, {.id = kPluginA, .acceptsWrite = false, .acceptsRead = true});
    AddPlugin(1, {.id = kPluginB});
    dispatcher_ = std::thread([this] { bus_->RunDispatcher(); });
  }
  void TearDown() override { StopDispatcher(); }
  void StopDispatcher() {
    bus_->RequestStop();
    if (dispatcher_.joinable()) dispatcher_.join();
  }
  int32_t Answer(uint32_t requestID, const char* text) {
    CoreEvent event = MakeEvent(kPluginA, EVENT_CLASS(1), 0, text, text ? 2 : 0);
    event.requestID = requestID;
    return Send(event).code;
  }
  void Broadcast(uint32_t requestID, uint32_t type = EVENT_CLASS(1)) {
    CoreEvent event = MakeEvent(0, type, 0);
    event.requestID = requestID;
    ASSERT_EQ(Send(event).code, 0);
  }
  void ReleaseKept(size_t index) {
    void* block;
    {
      std::lock_guard lock(Fake(1).mutex);
      block = Fake(1).writes.at(index).event.data;
    }
    Send(MakeEvent(kPluginB, EVENT_BLOCK_RELEASE, 0, block, 0));
  }
  std::thread dispatcher_;
};

TEST_F(PacingTest, SecondAnswerWaitsUntilFirstBlockIsFreed) {
  std::promise<std::vector<int32_t>> codes;
  std::atomic<bool> secondReturned{false};
  Fake(0).onRead = [&](const ReadRequest& request) {
    std::vector<int32_t> c;
    c.push_back(Answer(request.requestID, "a1"));
    c.push_back(Answer(request.requestID, nullptr));  // no payload: never paced
    c.push_back(Answer(request.requestID, "a2"));
    secondReturned = true;
    codes.set_value(c);
  };
  // A worker thread of the plugin is no request thread.
  EXPECT_EQ(Answer(5, "xx"), WRITE_REFUSED);
  Broadcast(5);
  ASSERT_TRUE(Fake(1).WaitForWrites(2));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(secondReturned.load());
  EXPECT_EQ(Fake(1).WriteCount(), 2u);

  ReleaseKept(0);
  auto future = codes.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(future.get(), (std::vector<int32_t>{0, 0, 0}));
  ASSERT_TRUE(Fake(1).WaitForWrites(3));
  {
    std::lock_guard lock(Fake(1).mutex);
    EXPECT_EQ(Fake(1).writes[2].payload, std::string("a2", 2));
  }
  ReleaseKept(2);
  StopDispatcher();  // the core's own hold is gone once the dispatcher is done
  EXPECT_EQ(bus_->Blocks().Counts().count, 0u);
}

TEST_F(PacingTest, AnswerWaitingWhileTheDispatcherEndsIsRefused) {
  std::promise<std::vector<int32_t>> codes;
  Fake(0).onRead = [&](const ReadRequest& request) {
    std::vector<int32_t> c;
    c.push_back(Answer(request.requestID, "a1"));
    c.push_back(Answer(request.requestID, "a2"));  // waits for a1's block
    codes.set_value(c);
  };
  Broadcast(3);
  ASSERT_TRUE(Fake(1).WaitForWrites(1));
  StopDispatcher();
  ReleaseKept(0);
  EXPECT_EQ(codes.get_future().get(), (std::vector<int32_t>{0, WRITE_REFUSED}));
  EXPECT_EQ(bus_->QueueSize(), 0u);
  EXPECT_EQ(bus_->Blocks().Counts().count, 0u);
}

TEST_F(PacingTest, CancelRefusesAnswersUntilReissued) {
  CoreEvent early = MakeEvent(0, EVENT_CANCEL_REQUEST, 0);
  early.requestID = 7;  // never broadcast: recorded all the same
  EXPECT_EQ(Send(early).code, 0);
  EXPECT_TRUE(bus_->Requests().IsCancelled(7));
  std::promise<void> cancelled;
  std::shared_future<void> cancelledSignal = cancelled.get_future().share();
  std::promise<std::vector<int32_t>> firstRun, secondRun;
  std::atomic<int> run{0};
  Fake(0).onRead = [&](const ReadRequest& request) {
    if (run++ == 0) {
      const int32_t before = Answer(request.requestID, nullptr);
      cancelledSignal.wait();
      firstRun.set_value({before, Answer(request.requestID, nullptr)});
    } else {
      secondRun.set_value({Answer(request.requestID, nullptr)});
    }
  };
  Broadcast(6);
  ASSERT_TRUE(Fake(1).WaitForWrites(1));
  CoreEvent cancel = MakeEvent(0, EVENT_CANCEL_REQUEST, 0);
  cancel.requestID = 6;
  EXPECT_EQ(Send(cancel).code, 0);
  cancelled.set_value();
  EXPECT_EQ(firstRun.get_future().get(), (std::vector<int32_t>{0, WRITE_REFUSED}));
  Broadcast(6);  // the same identifier is live again
  EXPECT_EQ(secondRun.get_future().get(), (std::vector<int32_t>{0}));
}

}  // namespace
}  // namespace eventbus::testing
