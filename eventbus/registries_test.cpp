// Unit tests of the bus's bookkeeping parts: block holders and their table,
// frame admission, writer slots, the event ring, matching, grouped numbers.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>

#include "eventbus/block_table.h"
#include "eventbus/core_event_queue.h"
#include "eventbus/event_match.h"
#include "eventbus/frame_tracker.h"
#include "eventbus/grouped_number.h"
#include "eventbus/ref_block_registry.h"
#include "eventbus/request_registry.h"

namespace eventbus {
namespace {

TEST(RefBlockRegistryTest, LastHolderFreesAndTotalsFollow) {
  RefBlockRegistry registry;
  char a[8], b[8];
  registry.AddHolder(a, 100, CORE_MODULE_ID);
  registry.AddHolder(a, 999, 0x10000);  // size of the first add stays
  registry.AddHolder(b, 20, CORE_MODULE_ID);
  EXPECT_EQ(registry.Counts().count, 2u);
  EXPECT_EQ(registry.Counts().bytes, 120u);

  EXPECT_FALSE(registry.ReleaseHolder(a, 0x10000));
  EXPECT_FALSE(registry.ReleaseHolder(a, 0x10000));  // second release: nothing
  EXPECT_FALSE(registry.ReleaseHolder(a, 0x30000));  // never a holder
  EXPECT_TRUE(registry.ReleaseHolder(a, CORE_MODULE_ID));
  EXPECT_FALSE(registry.ReleaseHolder(a, CORE_MODULE_ID));  // entry gone
  EXPECT_EQ(registry.Counts().count, 1u);
  EXPECT_EQ(registry.Counts().bytes, 20u);

  // Holders are a set: added twice, released once.
  registry.AddHolder(b, 20, CORE_MODULE_ID);
  EXPECT_TRUE(registry.ReleaseHolder(b, CORE_MODULE_ID));
  EXPECT_EQ(registry.Counts().count, 0u);
  EXPECT_EQ(registry.Counts().bytes, 0u);

  registry.AddHolder(nullptr, 5, CORE_MODULE_ID);
  EXPECT_EQ(registry.Counts().count, 0u);
  EXPECT_TRUE(registry.ReleaseHolder(nullptr, CORE_MODULE_ID));
}

// Random insertions and removals against a reference set: small tables kept
// half full (many collisions, runs that wrap around the end), then growth.
TEST(BlockTableTest, MatchesReferenceUnderChurn) {
  static char pool[1 << 16];
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    const size_t keys = round < 150 ? 8 : 200;
    std::vector<const void*> candidates;
    for (size_t k = 0; k < keys; ++k) candidates.push_back(&pool[random() % sizeof pool]);
    BlockTable table(16);
    std::map<const void*, int64_t> reference;
    for (int step = 0; step < 400; ++step) {
      const void* block = candidates[random() % keys];
      if (BlockTable::Entry* entry = table.Find(block)) {
        ASSERT_EQ(reference.at(block), entry->size);
        table.Erase(entry);
        reference.erase(block);
      } else {
        ASSERT_EQ(reference.count(block), 0u);
        table.Insert(block)->size = step;
        reference[block] = step;
      }
      ASSERT_EQ(table.size(), reference.size());
      for (const auto& [key, size] : reference) {
        const BlockTable::Entry* entry = table.Find(key);
        ASSERT_NE(entry, nullptr) << round << " " << step;
        ASSERT_EQ(entry->size, size);
      }
    }
  }
}

TEST(FrameTrackerTest, RunLimitAndKeyFrames) {
  std::atomic<bool> throttling{false};
  FrameTracker tracker(throttling);
  EXPECT_EQ(tracker.AdmitVideoFrame(7, false), WRITE_NO_KEY_FRAME);
  EXPECT_EQ(tracker.AdmitVideoFrame(7, true), WRITE_ACCEPTED);
  for (uint32_t i = 1; i <= FrameTracker::kMaxDependentRun; ++i)
    ASSERT_EQ(tracker.AdmitVideoFrame(7, false), WRITE_ACCEPTED) << i;
  EXPECT_EQ(tracker.RunLength(7), 766u);
  EXPECT_EQ(tracker.AdmitVideoFrame(7, false), WRITE_RUN_TOO_LONG);
  EXPECT_EQ(tracker.AdmitVideoFrame(7, false), WRITE_NO_KEY_FRAME);
  EXPECT_EQ(tracker.AdmitVideoFrame(7, true), WRITE_ACCEPTED);
  EXPECT_EQ(tracker.AdmitVideoFrame(7, false), WRITE_ACCEPTED);
  EXPECT_EQ(tracker.RunLength(7), 1u);
  EXPECT_EQ(tracker.AdmitVideoFrame(8, false), WRITE_NO_KEY_FRAME);  // per provider

  tracker.ForgetProvider(7);
  EXPECT_EQ(tracker.AdmitVideoFrame(7, false), WRITE_NO_KEY_FRAME);
}

TEST(FrameTrackerTest, ThrottlingRefusesAndCounts) {
  std::atomic<bool> throttling{false};
  FrameTracker tracker(throttling);
  EXPECT_EQ(tracker.AdmitVideoFrame(7, true), WRITE_ACCEPTED);
  throttling = true;
  EXPECT_EQ(tracker.AdmitVideoFrame(7, false), WRITE_THROTTLED);
  EXPECT_EQ(tracker.AdmitVideoFrame(7, true), WRITE_THROTTLED);
  EXPECT_EQ(tracker.AdmitVideoFrame(7, false), WRITE_NO_KEY_FRAME);  // entry was dropped
  EXPECT_EQ(tracker.ThrottledVideoFrames(), 2u);
  throttling = false;
  EXPECT_EQ(tracker.AdmitVideoFrame(7, false), WRITE_NO_KEY_FRAME);
  EXPECT_EQ(tracker.AdmitVideoFrame(7, true), WRITE_ACCEPTED);
  EXPECT_EQ(tracker.TakeThrottledVideoFrames(), 2u);
  EXPECT_EQ(tracker.ThrottledVideoFrames(), 0u);
}

TEST(RequestRegistryTest, SlotsCancellationAndReissue) {
  RequestRegistry registry;
  EXPECT_EQ(registry.SlotFor(5, 100), nullptr);  // not a request thread
  registry.RegisterRequestThread(100, true);
  WriterSlot* slot = registry.SlotFor(5, 100);
  ASSERT_NE(slot, nullptr);
  registry.RegisterRequestThread(100, true);
  EXPECT_EQ(registry.SlotFor(9, 100), slot);  // same slot, whatever the request
  EXPECT_EQ(registry.SlotCount(), 1u);

  registry.Cancel(5);
  EXPECT_EQ(registry.SlotFor(5, 100), nullptr);
  registry.Reissue(5);
  EXPECT_EQ(registry.SlotFor(5, 100), slot);

  registry.RegisterRequestThread(100, false);
  EXPECT_EQ(registry.SlotFor(5, 100), nullptr);
  EXPECT_EQ(registry.SlotCount(), 0u);
}

TEST(CoreEventQueueTest, FifoAcrossGrowthAndCompaction) {
  CoreEventQueue queue;
  CoreEvent event{};
  uint32_t next_in = 0, next_out = 0;
  auto push = [&](int n) {
    for (int i = 0; i < n; ++i) {
      event.requestID = next_in++;
      queue.PushBack(event);
    }
  };
  auto pop = [&](int n) {
    for (int i = 0; i < n; ++i) {
      queue.PopFront(&event);
      ASSERT_EQ(event.requestID, next_out++);
    }
  };
  push(10);
  pop(7);    // head moves, then the ring wraps and grows while wrapped
  push(100);
  EXPECT_EQ(queue.capacity(), 128u);
  pop(38);
  EXPECT_FALSE(queue.Compact());  // 65 entries: more than half of 128
  pop(12);
  EXPECT_TRUE(queue.Compact());
  EXPECT_EQ(queue.capacity(), 53u);
  pop(53);
  EXPECT_TRUE(queue.Compact());
  EXPECT_EQ(queue.capacity(), CoreEventQueue::kMinCapacity);
  EXPECT_FALSE(queue.Compact());
  push(3);
  CoreEventQueue other;
  queue.Swap(other);
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(other.size(), 3u);
  other.PopFront(&event);
  EXPECT_EQ(event.requestID, next_out);
}

TEST(EventMatchTest, KeysAndMasks) {
  EXPECT_EQ(QueuedKey(0x01000002u), 0x02000002u);
  EXPECT_EQ(BroadcastKey(0x01000002u), 0x00800002u);
  EXPECT_EQ(QueuedKey(0x80000000u), 0u);
  EXPECT_EQ(BroadcastKey(0x80000000u), 0x40000000u);
  uint32_t masks[SUBSCRIPTION_MASKS] = {};
  EXPECT_TRUE(Matches(EVENT_CLASS(3), masks, 0));       // key 0 matches every mask
  EXPECT_FALSE(Matches(EVENT_CONFIG_UPDATE, masks, 0));  // no class bit
  masks[8] = 0x6;
  EXPECT_TRUE(Matches(EVENT_CLASS8, masks, 0x2));
  EXPECT_FALSE(Matches(EVENT_CLASS8 | EVENT_CLASS(0), masks, 0x3));
  EXPECT_TRUE(IsVideoFrame(EVENT_VIDEO | EVENT_LOG, SUBTYPE_VIDEO_FRAME | 1));
  EXPECT_FALSE(IsVideoFrame(EVENT_CLASS(1), SUBTYPE_VIDEO_FRAME));
}

TEST(GroupedDecimalTest, GroupsByThree) {
  EXPECT_EQ(GroupedDecimal(0), "0");
  EXPECT_EQ(GroupedDecimal(999), "999");
  EXPECT_EQ(GroupedDecimal(1000), "1,000");
  EXPECT_EQ(GroupedDecimal(1000000), "1,000,000");
  EXPECT_EQ(GroupedDecimal(18446744073709551615ull), "18,446,744,073,709,551,615");
}

}  // namespace
}  // namespace eventbus
