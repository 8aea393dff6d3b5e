// The dispatcher: delivery order, stop draining, block holds, error and slow
// delivery reports, configuration updates and the statistics line.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "eventbus/bus_test_support.h"

namespace eventbus::testing {
namespace {

constexpr ModuleId kA = 0x00010000, kB = 0x00020000, kC = 0x00030000, kD = 0x00040000;

using DispatcherTest = BusFixture;

TEST_F(DispatcherTest, DeliversInQueueThenListOrderAndDrainsOnStop) {
  std::vector<std::string> order;
  auto record = [&](char plugin, const DeliveredEvent& e) {
    order.emplace_back(1, plugin);
    order.back().append(static_cast<const char*>(e.data), 2);
  };
  Fake(0).onWrite = [&](const DeliveredEvent& e, WriteReply&) { record('A', e); };
  Fake(1).onWrite = [&](const DeliveredEvent& e, WriteReply&) { record('B', e); };
  AddPlugin(0, {.id = kA});
  AddPlugin(1, {.id = kB});
  for (const char* text : {"e1", "e2", "e3"}) {
    CoreEvent event = MakeEvent(kC, EVENT_CLASS(4), 0x7, text, 2);
    event.attributes.logLevel = 33;
    ASSERT_EQ(Send(event).code, 0);
  }
  Drain();  // the stop comes before the dispatcher even starts
  EXPECT_EQ(order, (std::vector<std::string>{"Ae1", "Be1", "Ae2", "Be2", "Ae3", "Be3"}));
  const DeliveredEvent& first = Fake(0).writes[0].event;
  EXPECT_EQ(first.structSize, sizeof(DeliveredEvent));
  EXPECT_EQ(first.providerID, kC);
  EXPECT_EQ(first.eventSubtype, 0x7u);
  EXPECT_EQ(first.attributes.logLevel, 33);
  EXPECT_EQ(bus_->Blocks().Counts().count, 0u);
  EXPECT_EQ(Send(MakeEvent(kC, EVENT_CLASS(4), 0)).code, WRITE_REFUSED);
}

TEST_F(DispatcherTest, OnlyMatchingWritersAreCalledAndUnmatchedBlocksAreFreed) {
  AddPlugin(0, {.id = kA, .mask = 0x02000002u});  // queued key of subtype 0x01000002
  AddPlugin(1, {.id = kB, .mask = 0x01000002u});
  AddPlugin(2, {.id = kC, .acceptsWrite = false});
  AddPlugin(3, {.id = kD, .exportsWrite = false});
  Send(MakeEvent(kD, EVENT_CLASS(5), 0x01000002u, "x", 1));
  Send(MakeEvent(kD, EVENT_CLASS(5) | EVENT_CONFIG_UPDATE << 1, 0x00000004u, "y", 1));  // no match
  Drain();
  EXPECT_EQ(Fake(0).writes.size(), 1u);
  EXPECT_EQ(Fake(1).writes.size(), 0u);
  EXPECT_EQ(Fake(2).writes.size() + Fake(3).writes.size(), 0u);
  EXPECT_EQ(bus_->Blocks().Counts().count, 0u);
}

TEST_F(DispatcherTest, KeptBlocksLiveUntilReleased) {
  Fake(0).onWrite = [](const DeliveredEvent&, WriteReply& reply) { reply.keepBlock = 1; };
  AddPlugin(0, {.id = kA});
  AddPlugin(1, {.id = kB});
  Send(MakeEvent(kC, EVENT_CLASS(1), 0, "kept", 4));
  Drain();
  void* block = Fake(0).writes.at(0).event.data;
  EXPECT_EQ(Fake(1).writes.at(0).event.data, block);  // one copy for all recipients
  EXPECT_EQ(bus_->Blocks().Counts().count, 1u);
  EXPECT_EQ(bus_->Blocks().Counts().bytes, 4u);
  EXPECT_EQ(bus_->Blocks().Holders(block), std::vector<ModuleId>{kA});
  // Releases by a non-holder or under the core's own identity change nothing.
  Send(MakeEvent(kB, EVENT_BLOCK_RELEASE, 0, block, 0));
  Send(MakeEvent(CORE_MODULE_ID, EVENT_BLOCK_RELEASE, 0, block, 0));
  EXPECT_EQ(bus_->Blocks().Counts().count, 1u);
  Send(MakeEvent(kA, EVENT_BLOCK_RELEASE, 0, block, 0));
  EXPECT_EQ(bus_->Blocks().Counts().count, 0u);
  Send(MakeEvent(kA, EVENT_BLOCK_RELEASE, 0, block, 0));  // second release: nothing to free
}

TEST_F(DispatcherTest, FailedAndSlowWritesAreReportedWhenCoreLogsLevel0) {
  thresholds_.SetCurrent(0, 0);
  Fake(0).onWrite = [](const DeliveredEvent&, WriteReply& reply) { reply.errorCode = 7; };
  Fake(1).onWrite = [](const DeliveredEvent&, WriteReply&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  AddPlugin(0, {.id = kA});
  AddPlugin(1, {.id = kB});
  Send(MakeEvent(kC, EVENT_CLASS(1), 0));
  CoreEvent log = MakeEvent(kC, EVENT_LOG, 0x01000002u, "msg", 4);
  log.attributes.logLevel = 50;
  Send(log);  // log traffic is never timed
  Drain();
  size_t slow = 0, failed = 0;
  for (const LogLine& line : host_.Lines()) {
    if (line.text == "plugin fake0.dll write returned 0 error 7") ++failed;
    if (line.text.rfind("core write took ", 0) == 0) {
      ++slow;
      EXPECT_NE(line.text.find("ms, providerID 30000, eventType: 2, PI.systemID: 20000, PI.Filename: fake1.dll"),
                std::string::npos) << line.text;
    }
  }
  EXPECT_EQ(failed, 2u);
  EXPECT_EQ(slow, 1u);
}

TEST_F(DispatcherTest, ConfigUpdateGoesToEveryOtherPluginThroughIoctl) {
  thresholds_.SetCurrent(0, 0);
  Fake(1).onIoctl = [](const IoctlRequest&, IoctlReply& reply) {
    reply.keepBlock = 1;
    return 0;
  };
  Fake(2).onIoctl = [](const IoctlRequest& request, IoctlReply& reply) {
    EXPECT_EQ(request.code, uint32_t{IOCTL_CONFIG_UPDATE});
    EXPECT_EQ(request.buffer.structSize, sizeof(BufferDescriptor));
    EXPECT_EQ(reply.code, uint32_t{IOCTL_CONFIG_UPDATE});
    EXPECT_EQ(reply.nested.structSize, 8u);
    return 3;
  };
  AddPlugin(0, {.id = kA});
  AddPlugin(1, {.id = kB, .acceptsWrite = false});
  AddPlugin(2, {.id = kC});
  AddPlugin(3, {.id = kD, .exportsIoctl = false});
  const char doc[] = "<Doc Delta=\"1\"/>";
  Send(MakeEvent(kA, EVENT_CONFIG_UPDATE | EVENT_CLASS(1), 0, doc, sizeof doc - 1));
  Send(MakeEvent(CORE_MODULE_ID, EVENT_CONFIG_UPDATE, 0x01000010u, doc, sizeof doc - 1));
  Send(MakeEvent(kA, EVENT_CONFIG_UPDATE, 0, nullptr, 0));
  Drain();

  // The provider gets its own update through Write only.
  EXPECT_EQ(Fake(0).ioctls.size(), 1u);  // the core's document only
  EXPECT_EQ(Fake(0).writes.size(), 1u);
  ASSERT_EQ(Fake(1).ioctls.size(), 3u);
  EXPECT_EQ(Fake(1).ioctls[0].payload, doc);
  EXPECT_EQ(Fake(1).ioctls[2].event.dataSize, 0);
  EXPECT_EQ(Fake(1).ioctls[2].event.data, nullptr);
  EXPECT_EQ(Fake(2).ioctls.size(), 3u);
  EXPECT_EQ(Fake(2).writes.size(), 0u);  // the core's document has no class bit
  EXPECT_EQ(host_.configs, (std::vector<std::string>{doc, doc}));
  EXPECT_TRUE(host_.HasLineContaining("plugin fake2.dll update config returned 3 error 0"));
  // Plugin B kept both documents.
  EXPECT_EQ(bus_->Blocks().Counts().count, 2u);
  Send(MakeEvent(kB, EVENT_BLOCK_RELEASE, 0, Fake(1).ioctls[0].event.data, 0));
  Send(MakeEvent(kB, EVENT_BLOCK_RELEASE, 0, Fake(1).ioctls[1].event.data, 0));
  EXPECT_EQ(bus_->Blocks().Counts().count, 0u);
}

TEST_F(DispatcherTest, StatisticsLineWhileEventsWait) {
  bus_->SetStatisticsIntervalForTesting(0);
  bus_->SetThrottling(true);
  CoreEvent frame = MakeEvent(kA, EVENT_VIDEO, SUBTYPE_VIDEO_FRAME, "f", 1);
  frame.attributes.keyFrame = 1;
  for (int i = 0; i < 1234; ++i) ASSERT_EQ(Send(frame).code, WRITE_THROTTLED);
  bus_->SetThrottling(false);
  for (int i = 0; i < 3; ++i) Send(MakeEvent(kA, EVENT_CLASS(1), 0, "0123456789", 10));
  thresholds_.SetCurrent(0, 0);
  Drain();
  std::vector<std::string> stats;
  for (const LogLine& line : host_.Lines())
    if (line.text.rfind("core event queue size", 0) == 0) stats.push_back(line.text);
  // None once the queue is empty after a take-out.
  EXPECT_EQ(stats, (std::vector<std::string>{
                       "core event queue size: 2, throttledvideoframes:1,234, events:1, refblks: 1 (10 bytes)",
                       "core event queue size: 1, throttledvideoframes:0, events:1, refblks: 1 (10 bytes)"}));
}

TEST_F(DispatcherTest, LeakReportNamesHoldersAndQueuedBlocksAreFreed) {
  thresholds_.SetCurrent(0, 0);
  Fake(0).onWrite = [](const DeliveredEvent&, WriteReply& reply) { reply.keepBlock = 1; };
  Fake(1).onWrite = [](const DeliveredEvent&, WriteReply& reply) { reply.keepBlock = 1; };
  AddPlugin(0, {.id = kA});
  AddPlugin(1, {.id = kB});
  Send(MakeEvent(kC, EVENT_CLASS(1), 0, "leak", 4));
  Drain();
  bus_->LogLeakReport();
  char expected[128];
  std::snprintf(expected, sizeof expected, "address %p leaked by plugins [10000,20000]\n",
                Fake(0).writes.at(0).event.data);
  EXPECT_EQ(host_.Lines().back().text, expected);
  std::free(Fake(0).writes.at(0).event.data);  // the bus never frees held blocks
}

}  // namespace
}  // namespace eventbus::testing
