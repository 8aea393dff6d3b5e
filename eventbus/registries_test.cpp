// The bus's bookkeeping parts: block holders and their table, frame
// admission, the event ring and matching. Grouped numbers show in the bus's
// statistics line.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>

#include "eventbus/block_table.h"
#include "eventbus/core_event_queue.h"
#include "eventbus/event_match.h"
#include "eventbus/frame_tracker.h"
#include "eventbus/ref_block_registry.h"

namespace eventbus {
namespace {

// Release order and non-holders are covered through the bus; here sizes and the set.
TEST(RefBlockRegistryTest, SizesAndTheHolderSet) {
  RefBlockRegistry registry;
  char a[1], b[1];
  registry.AddHolder(a, 100, CORE_MODULE_ID);
  registry.AddHolder(a, 999, 0x10000);  // the size of the first add stays
  registry.AddHolder(a, 999, 0x10000);  // holders are a set: one release is enough
  registry.AddHolder(b, 20, CORE_MODULE_ID);
  registry.AddHolder(nullptr, 5, CORE_MODULE_ID);
  EXPECT_EQ(registry.Counts().bytes, 120u);
  EXPECT_FALSE(registry.ReleaseHolder(a, 0x10000));
  EXPECT_TRUE(registry.ReleaseHolder(a, CORE_MODULE_ID));
  EXPECT_EQ(registry.Counts().count, 1u);
  EXPECT_EQ(registry.Counts().bytes, 20u);
  EXPECT_TRUE(registry.ReleaseHolder(nullptr, CORE_MODULE_ID));
}

// Random insertions and removals against a reference map: small tables kept
// half full (collisions, runs that wrap around the end), then growth.
TEST(BlockTableTest, MatchesReferenceUnderChurn) {
  static char pool[1 << 16];
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    const size_t keys = round < 150 ? 8 : 200;
    BlockTable table(16);
    std::map<const void*, int64_t> reference;
    for (int step = 0; step < 400; ++step) {
      const void* block = &pool[random() % keys * 97];
      if (BlockTable::Entry* entry = table.Find(block)) {
        table.Erase(entry);
        reference.erase(block);
      } else {
        table.Insert(block)->size = step;
        reference[block] = step;
      }
      ASSERT_EQ(table.size(), reference.size());
      for (const auto& [key, size] : reference)
        ASSERT_EQ(table.Find(key) ? table.Find(key)->size : -1, size) << round << " " << step;
    }
  }
}

TEST(FrameTrackerTest, RunLimitThrottlingAndForgetting) {
  std::atomic<bool> throttling{false};
  FrameTracker tracker(throttling);
  const auto admit = [&](bool key, uint32_t provider = 7) { return tracker.AdmitVideoFrame(provider, key); };
  EXPECT_EQ(admit(false), WRITE_NO_KEY_FRAME);
  EXPECT_EQ(admit(true), WRITE_ACCEPTED);
  EXPECT_EQ(admit(false), WRITE_ACCEPTED);
  EXPECT_EQ(admit(true), WRITE_ACCEPTED);  // restarts the run
  for (int i = 1; i <= 766; ++i) ASSERT_EQ(admit(false), WRITE_ACCEPTED) << i;
  EXPECT_EQ(admit(false), WRITE_RUN_TOO_LONG);  // the 767th
  EXPECT_EQ(admit(false), WRITE_NO_KEY_FRAME);  // the 768th
  EXPECT_EQ(admit(false, 8), WRITE_NO_KEY_FRAME);  // runs are per provider
  EXPECT_EQ(admit(true), WRITE_ACCEPTED);
  tracker.ForgetProvider(7);
  EXPECT_EQ(admit(false), WRITE_NO_KEY_FRAME);
  EXPECT_EQ(admit(true), WRITE_ACCEPTED);
  throttling = true;
  EXPECT_EQ(admit(false), WRITE_THROTTLED);
  EXPECT_EQ(admit(true), WRITE_THROTTLED);
  throttling = false;
  EXPECT_EQ(admit(false), WRITE_NO_KEY_FRAME);  // a refusal drops the run
  EXPECT_EQ(tracker.TakeThrottledVideoFrames(), 2u);
  EXPECT_EQ(tracker.ThrottledVideoFrames(), 0u);
}

TEST(CoreEventQueueTest, FifoAcrossGrowthAndCompaction) {
  CoreEventQueue queue;
  CoreEvent event{};
  uint32_t in = 0, out = 0;
  const auto push = [&](int n) {
    for (; n > 0; --n) event.requestID = in++, queue.PushBack(event);
  };
  const auto pop = [&](int n) {
    for (; n > 0; --n) {
      queue.PopFront(&event);
      ASSERT_EQ(event.requestID, out++);
    }
  };
  push(10);
  pop(7);
  push(100);  // the ring wraps, then grows while wrapped
  pop(50);
  EXPECT_TRUE(queue.Compact());  // 53 left of 128: the storage shrinks, the order stays
  pop(53);
  EXPECT_TRUE(queue.Compact());
  EXPECT_EQ(queue.capacity(), CoreEventQueue::kMinCapacity);
}

TEST(EventMatchTest, KeysMasksAndVideoFrames) {
  EXPECT_EQ(QueuedKey(0x01000002u), 0x02000002u);
  EXPECT_EQ(BroadcastKey(0x01000002u), 0x00800002u);
  EXPECT_EQ(QueuedKey(0x80000000u), 0u);
  EXPECT_EQ(BroadcastKey(0x80000000u), 0x40000000u);
  uint32_t masks[SUBSCRIPTION_MASKS] = {};
  EXPECT_TRUE(Matches(EVENT_CLASS(3), masks, 0));        // key 0 matches every mask
  EXPECT_FALSE(Matches(EVENT_CONFIG_UPDATE, masks, 0));  // no class bit
  masks[8] = 0x6;
  EXPECT_TRUE(Matches(EVENT_CLASS8, masks, 0x2));
  EXPECT_FALSE(Matches(EVENT_CLASS8 | EVENT_CLASS(0), masks, 0x3));
  EXPECT_TRUE(IsVideoFrame(EVENT_VIDEO | EVENT_LOG, SUBTYPE_VIDEO_FRAME | 1));
  EXPECT_FALSE(IsVideoFrame(EVENT_CLASS(1), SUBTYPE_VIDEO_FRAME));
}

}  // namespace
}  // namespace eventbus
