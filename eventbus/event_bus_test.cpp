// The event bus with fake plugins: the write path's branches and result codes,
// log filtering, pacing and cancellation, the dispatcher's holds and reports,
// and many threads at once. Plain delivery, read broadcast and configuration
// updates through real plugins are covered by the plugin process test.
#include "eventbus/event_bus.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "base/log.h"
#include "tests/recording_writer.h"

namespace eventbus {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
using testing_writer::RecordingWriter;
constexpr ModuleId kA = 0x00010000, kB = 0x00020000, kC = 0x00030000, kD = 0x00040000;

EventBus* g_bus = nullptr;  // what the host's write callback reaches
std::mutex g_mutex;         // guards what the fakes record from other threads

std::string Bytes(const void* data, int64_t size) {
  return data == nullptr || size <= 0 ? std::string() : std::string(static_cast<const char*>(data), size);
}

// Polls `done` for up to 20 s.
bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 4000 && !done(); ++i) std::this_thread::sleep_for(5ms);
  return done();
}

// The core object as the bus sees it.
struct FakeHost : BusHost {
  // The console records through the tests' writer, as the lines it prints.
  void ConsoleSink(ModuleId module, int32_t level, const char* text) override {
    RecordingWriter::Instance().AddLine(module, level, text != nullptr ? text : "<null>");
  }
  int32_t SubmitToSupervisor(void* data, int64_t size) override {
    if (pipeOpen) submitted.push_back(Bytes(data, size));
    std::free(data);
    return pipeOpen ? 0 : 1;
  }
  void OnConfigUpdate(const void* block, std::string_view text) override {
    std::lock_guard lock(g_mutex);
    configUpdates.emplace_back(block, std::string(text));
  }
  static Strings Console() { return RecordingWriter::Instance().Lines(nullptr); }
  static Strings Lines(const std::string& prefix) {
    Strings found;
    for (const std::string& line : Console())
      if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
  }
  bool pipeOpen = true;
  Strings submitted;
  std::vector<std::pair<const void*, std::string>> configUpdates;  // guarded by g_mutex
};

struct Delivery {
  void* data;
  std::string payload;  // the block's bytes at delivery
};

// A fake plugin: behaviours the test sets, and what its entry points saw.
struct FakePlugin {
  std::function<void(const DeliveredEvent&, WriteReply&)> onWrite;
  std::function<void(const ReadRequest&)> onRead;
  std::vector<Delivery> writes;  // guarded by g_mutex

  // Waits for the i-th delivery.
  Delivery Written(size_t i) {
    EXPECT_TRUE(Eventually([&] {
      std::lock_guard lock(g_mutex);
      return writes.size() > i;
    })) << i;
    std::lock_guard lock(g_mutex);
    return writes.at(i);
  }
} g_fake[4];

// Entry points are plain C functions without context: one instance per fake.
template <int N>
struct Entries {
  static int32_t Write(const DeliveredEvent* event, WriteReply* reply) {
    {
      std::lock_guard lock(g_mutex);
      g_fake[N].writes.push_back({event->data, Bytes(event->data, event->dataSize)});
    }
    if (g_fake[N].onWrite) g_fake[N].onWrite(*event, *reply);
    return 0;
  }
  static int32_t Read(const ReadRequest* request, ReadReply*) {
    if (g_fake[N].onRead) g_fake[N].onRead(*request);
    return 0;
  }
};

CoreEvent Event(ModuleId provider, uint32_t type, uint32_t subtype = 0, const void* data = nullptr,
                int32_t size = 0, uint32_t requestID = 0) {
  return {sizeof(CoreEvent), 1, size, 0, const_cast<void*>(data), provider, requestID, type, subtype, {}};
}

// A log message; its size counts the terminating zero unless given.
CoreEvent LogEvent(ModuleId module, int32_t level, const char* text, int32_t size = -1) {
  if (size < 0) size = static_cast<int32_t>(std::strlen(text)) + 1;
  CoreEvent event = Event(module, EVENT_LOG, 0x01000002u, text, size);
  event.attributes.logLevel = level;
  return event;
}

CoreEvent VideoFrame(ModuleId provider, bool key, int32_t size = 1) {
  CoreEvent event = Event(provider, EVENT_VIDEO, SUBTYPE_VIDEO_FRAME, "v", size);
  event.attributes.keyFrame = key ? 1 : 2;  // 2 is a dependent frame
  return event;
}

void KeepBlock(const DeliveredEvent&, WriteReply& reply) { reply.keepBlock = 1; }

class BusTest : public ::testing::Test {
 protected:
  BusTest() {
    for (FakePlugin& fake : g_fake) fake = {};
    g_bus = &bus_;
    RecordingWriter::Instance().Reset();
  }
  // Request threads are detached: let them finish with the bus.
  ~BusTest() override { Eventually([this] { return bus_.Requests().SlotCount() == 0; }); }

  // A plugin subscribed to everything.
  template <int N>
  void AddPlugin(ModuleId id, bool acceptsWrite = true, bool acceptsRead = false) {
    auto info = std::make_unique<pluginhost::PluginInfo>();
    info->descriptor.systemID = id;
    for (uint32_t& mask : info->descriptor.subscriptionMasks) mask = 0xFFFFFFFFu;
    info->descriptor.acceptsWrite = acceptsWrite;
    info->descriptor.acceptsRead = acceptsRead;
    info->Write = &Entries<N>::Write;
    info->Read = &Entries<N>::Read;
    info->Filename = "fake" + std::to_string(N) + ".dll";
    plugins_.Modify([&](auto& records) { records.push_back(std::move(info)); });
  }
  // The write path's result code; `preset` shows where it is left untouched.
  int32_t Code(const CoreEvent& event, int32_t preset = 0) {
    WriteResult result{sizeof(WriteResult), 1, preset};
    bus_.Write(&event, &result);
    return result.code;
  }
  void Release(ModuleId holder, void* block) { Code(Event(holder, EVENT_BLOCK_RELEASE, 0, block)); }
  uint64_t LiveBlocks() { return bus_.Blocks().Counts().count; }
  // Delivers everything queued so far; the bus is stopped afterwards.
  void Drain() {
    bus_.RequestStop();
    bus_.RunDispatcher();
  }

  base::LogThresholds thresholds_;
  pluginhost::PluginList plugins_;
  FakeHost host_;
  EventBus bus_{thresholds_, plugins_, host_};
};

using WritePathTest = BusTest;

TEST_F(WritePathTest, SupervisorPacketsAndWhatStillWorksWhileStopping) {
  const auto packet = [](const char* text, int32_t size) {
    return Event(kA, EVENT_TO_SUPERVISOR, 0, std::memcpy(std::malloc(4), text, 4), size);
  };
  EXPECT_EQ(Code(packet("pkt1", 4)), 0);
  host_.pipeOpen = false;
  EXPECT_EQ(Code(packet("pkt2", 4)), 1);
  host_.pipeOpen = true;
  EXPECT_EQ(Code(packet("pkt3", -4)), 1);  // never reaches the pipe, freed all the same
  bus_.RequestStop();
  EXPECT_EQ(Code(packet("pkt4", 4)), 0);
  EXPECT_EQ(host_.submitted, (Strings{"pkt1", "pkt4"}));
  EXPECT_EQ(Code(Event(kA, EVENT_CLASS(1))), WRITE_REFUSED);
  EXPECT_EQ(Code(Event(0, EVENT_CANCEL_REQUEST)), 0);
  EXPECT_EQ(Code(Event(0, EVENT_CLASS(1))), 0);  // a broadcast nobody reads
  EXPECT_EQ(Code(Event(kA, EVENT_LOG, SUBTYPE_LOG_QUERY)), -1);
  EXPECT_EQ(Code(Event(kA, EVENT_BLOCK_RELEASE), 77), 77);  // releases leave the code alone
  Code(LogEvent(kA, 10, "late"));
  EXPECT_EQ(host_.Console(), Strings{"late"});  // printed before the stop test
  EXPECT_EQ(bus_.QueueSize(), 0u);
}

TEST_F(WritePathTest, LogFilterAndThresholdQueries) {
  thresholds_.SetCurrent(1, 50);  // kA; kB stays unset
  EXPECT_EQ(Code(LogEvent(kA, 40, "dropped"), 77), 77);
  EXPECT_EQ(Code(LogEvent(kA, 60, "passes"), 77), 0);
  EXPECT_EQ(Code(LogEvent(kB, 0, "printed only"), 77), 77);
  EXPECT_EQ(Code(LogEvent(kB, 1, "printed and queued"), 77), 0);
  EXPECT_EQ(bus_.QueueSize(), 2u);
  EXPECT_EQ(Code(Event(kA, EVENT_LOG, SUBTYPE_LOG_QUERY)), 50);
  EXPECT_EQ(Code(Event(kB, EVENT_LOG, SUBTYPE_LOG_QUERY)), -1);
  EXPECT_EQ(Code(Event(0x0FFF0000, EVENT_LOG, SUBTYPE_LOG_QUERY)), -1);  // module 4095
  // The log entry through the bus: the core's default threshold 25 hides level 0.
  base::Log(CORE_MODULE_ID, *g_bus, 0, "quiet %d", 1);
  base::Log(CORE_MODULE_ID, *g_bus, 25, "loud %d", 2);
  Code(LogEvent(kB, 10, "abc", 3));  // no terminating zero: printed within its size
  EXPECT_EQ(host_.Console(), (Strings{"passes", "printed only", "printed and queued", "loud 2", "abc"}));
}

TEST_F(WritePathTest, VideoAdmissionAndCopyFailures) {
  EXPECT_EQ(Code(VideoFrame(kA, true, -1)), WRITE_NO_MEMORY);  // admitted, not copied: forgotten
  EXPECT_EQ(Code(VideoFrame(kA, false)), WRITE_NO_KEY_FRAME);
  EXPECT_EQ(Code(VideoFrame(kA, true)), 0);
  bus_.SetThrottling(true);
  EXPECT_EQ(Code(VideoFrame(kA, true)), WRITE_THROTTLED);
  EXPECT_EQ(Code(Event(kA, EVENT_VIDEO, 0x2)), 0);  // class 0 but no frame: never throttled
  bus_.SetThrottling(false);
  EXPECT_EQ(Code(Event(kA, EVENT_CLASS(1), 0, "abc", -1)), WRITE_NO_MEMORY);
  EXPECT_EQ(bus_.QueueSize(), 2u);  // freed with the bus
}

// The C heap, running dry on request; counts what it hands out and takes
// back.
struct DryAllocator : PayloadAllocator {
  void* Allocate(size_t size) override {
    if (dry) return nullptr;
    ++allocated;
    return std::malloc(size);
  }
  void Free(void* block) override {
    ++freed;
    std::free(block);
  }
  std::atomic<bool> dry{false};
  std::atomic<int> allocated{0}, freed{0};
};

TEST(PayloadAllocatorTest, OutOfMemoryRefusesLikeAFailedCopyAndEveryBlockComesBack) {
  base::LogThresholds thresholds;
  pluginhost::PluginList plugins;
  FakeHost host;
  DryAllocator heap;
  {
    EventBus bus(thresholds, plugins, host, heap);
    const auto code = [&](const CoreEvent& event) {
      WriteResult result{sizeof(WriteResult), 1, 77};
      bus.Write(&event, &result);
      return result.code;
    };
    EXPECT_EQ(code(VideoFrame(kA, true)), 0);
    heap.dry = true;
    EXPECT_EQ(code(VideoFrame(kA, true)), WRITE_NO_MEMORY);  // admitted, not copied: forgotten
    heap.dry = false;
    EXPECT_EQ(code(VideoFrame(kA, false)), WRITE_NO_KEY_FRAME);
    heap.dry = true;
    EXPECT_EQ(code(Event(kA, EVENT_CLASS(1), 0, "abc", 3)), WRITE_NO_MEMORY);
    EXPECT_EQ(code(Event(kA, EVENT_CLASS(1))), 0);  // no payload, no block
    heap.dry = false;
    EXPECT_EQ(code(Event(kA, EVENT_CLASS(1), 0, "abc", 3)), 0);
    EXPECT_EQ(bus.QueueSize(), 3u);
    bus.RequestStop();
    bus.RunDispatcher();  // nobody subscribed: the core's hold is the last
  }
  EXPECT_EQ(heap.allocated.load(), 2);
  EXPECT_EQ(heap.freed.load(), 2);
}

// A reader (fake 0) whose answers go to a subscriber (fake 1) that keeps every block.
class PacingTest : public BusTest {
 protected:
  void SetUp() override {
    g_fake[1].onWrite = &KeepBlock;
    AddPlugin<0>(kA, false, true);
    AddPlugin<1>(kB);
    dispatcher_ = std::thread([this] { bus_.RunDispatcher(); });
  }
  void TearDown() override { StopDispatcher(); }
  void StopDispatcher() {
    bus_.RequestStop();
    if (dispatcher_.joinable()) dispatcher_.join();
  }
  void Broadcast(uint32_t id) { ASSERT_EQ(Code(Event(0, EVENT_CLASS(1), 0, nullptr, 0, id)), 0); }
  int32_t Answer(uint32_t requestID, const char* text) {
    return Code(Event(kA, EVENT_CLASS(1), 0, text, static_cast<int32_t>(std::strlen(text)), requestID));
  }
  std::thread dispatcher_;
  std::promise<std::vector<int32_t>> codes_;
};

// a2 waits for a1's block; a3 still waits for a2's when the dispatcher ends:
// refused (an unpaced a3 would be accepted).
TEST_F(PacingTest, EachAnswerWaitsUntilThePreviousBlockIsFreed) {
  g_fake[0].onRead = [&](const ReadRequest& request) {
    std::vector<int32_t> c;  // the answer without payload is never paced
    for (const char* text : {"a1", "", "a2", "a3"}) c.push_back(Answer(request.requestID, text));
    codes_.set_value(c);
  };
  EXPECT_EQ(Answer(5, "xx"), WRITE_REFUSED);  // a plugin's worker thread is no request thread
  Broadcast(5);
  Release(kB, g_fake[1].Written(0).data);
  EXPECT_EQ(g_fake[1].Written(2).payload, "a2");
  StopDispatcher();
  Release(kB, g_fake[1].Written(2).data);
  EXPECT_EQ(codes_.get_future().get(), (std::vector<int32_t>{0, 0, 0, WRITE_REFUSED}));
  EXPECT_EQ(bus_.QueueSize() + LiveBlocks(), 0u);  // the core's own hold went with the dispatcher
}

TEST_F(PacingTest, CancelRefusesAnswersUntilReissued) {
  std::promise<std::vector<int32_t>> runs[2];
  std::atomic<int> run{0};
  g_fake[0].onRead = [&](const ReadRequest& request) {
    std::vector<int32_t> c{Answer(request.requestID, "")};
    if (run == 0) {
      c.push_back(Code(Event(0, EVENT_CANCEL_REQUEST, 0, nullptr, 0, request.requestID)));
      c.push_back(Answer(request.requestID, ""));
    }
    runs[run++].set_value(c);
  };
  Broadcast(6);
  EXPECT_EQ(runs[0].get_future().get(), (std::vector<int32_t>{0, 0, WRITE_REFUSED}));
  Broadcast(6);  // live again
  EXPECT_EQ(runs[1].get_future().get(), (std::vector<int32_t>{0}));
}

using DispatcherTest = BusTest;

// Fakes 0 and 1 keep the 4-byte block; fake 2 fails and is slow on every
// write; fake 3, called first, lets go of the block from inside its Write
// and then says it keeps it: the release stands.
TEST_F(DispatcherTest, HoldsLeakReportAndFailedOrSlowWrites) {
  thresholds_.SetCurrent(0, 0);
  g_fake[0].onWrite = g_fake[1].onWrite = [](const DeliveredEvent& e, WriteReply& reply) {
    reply.keepBlock = e.dataSize == 4;
  };
  g_fake[2].onWrite = [](const DeliveredEvent&, WriteReply& reply) {
    reply.errorCode = 7;
    std::this_thread::sleep_for(std::chrono::milliseconds(4 * EventBus::kSlowWriteMs));  // slow, not a wait
  };
  constexpr ModuleId kE = 0x00050000;
  g_fake[3].onWrite = [](const DeliveredEvent& e, WriteReply& reply) {
    CoreEvent release = Event(kE, EVENT_BLOCK_RELEASE, 0, e.data);
    g_bus->Write(&release, nullptr);
    reply.keepBlock = 1;
  };
  AddPlugin<3>(kE);  // called first, before anyone else holds the block
  AddPlugin<0>(kA);
  AddPlugin<1>(kB);
  AddPlugin<2>(kC);
  Code(Event(kD, EVENT_CLASS(1), 0, "kept", 4));
  Code(LogEvent(kD, 50, "a log"));  // log traffic is never timed
  Drain();
  EXPECT_EQ(host_.Lines("plugin "), Strings(2, "plugin fake2.dll write returned 0 error 7"));
  Strings slow = host_.Lines("core write took ");  // the others may be slow by accident
  std::erase_if(slow, [](const std::string& line) { return line.find("fake2.dll") == std::string::npos; });
  ASSERT_EQ(slow.size(), 1u);
  EXPECT_NE(slow[0].find("ms, providerID 40000, eventType: 2, PI.systemID: 30000, PI.Filename: fake2.dll"),
            std::string::npos) << slow[0];
  void* block = g_fake[0].writes.at(0).data;
  EXPECT_EQ(bus_.Blocks().Holders(block), (std::vector<ModuleId>{kA, kB}));
  EXPECT_EQ(bus_.Blocks().Counts().bytes, 4u);
  bus_.LogLeakReport();
  char expected[80];
  std::snprintf(expected, sizeof expected, "address %p leaked by plugins [10000,20000]\n", block);
  EXPECT_EQ(host_.Lines("address"), Strings{expected});
  // Releases by a non-holder, under the core's identity or repeated change nothing.
  for (ModuleId holder : {kC, CORE_MODULE_ID, kA, kA}) Release(holder, block);
  EXPECT_EQ(LiveBlocks(), 1u);
  Release(kB, block);
  EXPECT_EQ(LiveBlocks(), 0u);
  Release(kB, block);  // unknown now: never freed again
}

TEST_F(DispatcherTest, ConfigUpdatesReachTheCoreWithTheirBlock) {
  // The core recognises its own documents by the block Publish reports.
  const char text[] = "<Vexo Delta=\"1\"/>\0tail";
  const void* published = bus_.Publish(Event(CORE_MODULE_ID, EVENT_CONFIG_UPDATE, 0, text, sizeof text));
  ASSERT_NE(published, nullptr);
  EXPECT_EQ(Code(Event(kA, EVENT_CONFIG_UPDATE, 0, "<A/>", 4)), 0);
  Drain();
  ASSERT_EQ(host_.configUpdates.size(), 2u);
  EXPECT_EQ(host_.configUpdates[0].first, published);
  EXPECT_EQ(host_.configUpdates[0].second, "<Vexo Delta=\"1\"/>");  // up to the first zero byte
  EXPECT_EQ(host_.configUpdates[1].second, "<A/>");
  EXPECT_EQ(bus_.Publish(Event(CORE_MODULE_ID, EVENT_CONFIG_UPDATE, 0, text, sizeof text)), nullptr);
}

TEST_F(DispatcherTest, StatisticsLineWhileEventsWait) {
  bus_.SetStatisticsIntervalForTesting(0);
  bus_.SetThrottling(true);
  for (int i = 0; i < 1234; ++i) ASSERT_EQ(Code(VideoFrame(kA, true)), WRITE_THROTTLED);
  bus_.SetThrottling(false);
  for (int i = 0; i < 3; ++i) Code(Event(kA, EVENT_CLASS(1), 0, "0123456789", 10));
  thresholds_.SetCurrent(0, 0);
  Drain();
  // None once the queue is empty after a take-out.
  EXPECT_EQ(host_.Console(),
            (Strings{"core event queue size: 2, throttledvideoframes:1,234, events:1, refblks: 1 (10 bytes)",
                     "core event queue size: 1, throttledvideoframes:0, events:1, refblks: 1 (10 bytes)"}));
}

// Events of the concurrency test carry their number, source * 100000 +
// sequence, as text; anything else reads as UINT32_MAX.
uint32_t NumberOf(const DeliveredEvent& event) {
  const std::string text = Bytes(event.data, event.dataSize);
  const uint32_t n = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
  return std::to_string(n) == text ? n : UINT32_MAX;
}

using BusConcurrencyTest = BusTest;

// Many writers, paced readers, a keeper releasing blocks from its own thread
// and a stop in the middle: every accepted event is delivered once, intact
// and in its source's order, and every block is freed once.
TEST_F(BusConcurrencyTest, NoEventLostReorderedOrFreedTwice) {
  constexpr uint32_t kWriters = 6, kEvents = 3000, kReaders = 3, kAnswers = 300;
  std::atomic<int> corrupt{0}, readersDone{0};
  std::atomic<uint64_t> accepted{0}, delivered{0};
  std::deque<void*> kept;  // guarded by g_mutex
  g_fake[0].onWrite = [&](const DeliveredEvent& event, WriteReply& reply) {  // keeps every other block
    reply.keepBlock = NumberOf(event) % 2 == 0;
    std::lock_guard lock(g_mutex);
    if (reply.keepBlock) kept.push_back(event.data);
  };
  std::vector<int64_t> last(kWriters + kReaders + 1, -1);  // per source, on the dispatcher
  g_fake[1].onWrite = [&](const DeliveredEvent& event, WriteReply&) {
    const uint32_t n = NumberOf(event), source = n / 100000;
    if (source >= last.size() || n % 100000 <= last[source]) ++corrupt;
    else last[source] = n % 100000;
    ++delivered;
  };
  g_fake[2].onRead = [&](const ReadRequest& request) {
    for (uint32_t n = (kWriters + request.requestID) * 100000; n % 100000 < kAnswers; ++n) {
      const std::string text = std::to_string(n);
      const CoreEvent answer = Event(kC, EVENT_CLASS(3), 0, text.data(), text.size(), request.requestID);
      if (Code(answer) != 0) break;  // stopping
      ++accepted;
    }
    ++readersDone;
  };
  AddPlugin<0>(kA);
  AddPlugin<1>(kB);
  AddPlugin<2>(kC, false, true);

  std::thread dispatcher([this] { bus_.RunDispatcher(); });
  std::atomic<bool> releasing{true};
  std::thread releaser([&] {
    for (;;) {
      const bool last = !releasing;  // read first: nothing is kept after it is cleared
      void* block = nullptr;
      {
        std::lock_guard lock(g_mutex);
        if (!kept.empty()) block = kept.front(), kept.pop_front();
      }
      if (block != nullptr) Release(kA, block);
      else if (last) return;
      else std::this_thread::yield();
    }
  });
  const auto readersFinished = [&] { return readersDone == static_cast<int>(kReaders); };
  for (uint32_t r = 1; r <= kReaders; ++r) EXPECT_EQ(Code(Event(0, EVENT_CLASS(3), 0, nullptr, 0, r)), 0);
  std::vector<std::thread> writers;
  for (uint32_t w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (uint32_t i = 0; i < kEvents; ++i) {
        const std::string text = std::to_string(w * 100000 + i);
        if (Code(Event(0x00100000u + w, EVENT_CLASS(3), 0, text.data(), text.size())) == 0) ++accepted;
        // The readers answer during the first three quarters; then one
        // writer requests the stop while the others go on writing.
        if (i == kEvents * 3 / 4 && Eventually(readersFinished) && w == 0) bus_.RequestStop();
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_TRUE(Eventually(readersFinished));
  bus_.RequestStop();
  dispatcher.join();
  releasing = false;
  releaser.join();
  EXPECT_EQ(corrupt.load(), 0);
  EXPECT_EQ(delivered.load(), accepted.load());
  EXPECT_GT(accepted.load(), 0u);
  EXPECT_EQ(bus_.Blocks().Counts().bytes + LiveBlocks() + bus_.QueueSize(), 0u);
}

}  // namespace
}  // namespace eventbus
