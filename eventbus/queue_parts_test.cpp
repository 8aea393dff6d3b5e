// The parts under the bus's hot path: the payload pools (classes, reuse,
// retention) and the event ring (order, full, close, many writers at once).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "eventbus/event_ring.h"
#include "eventbus/payload_pool.h"

namespace eventbus {
namespace {

TEST(PayloadPoolsTest, ClassesCoverEverySizeWithLittleWaste) {
  uint32_t previous = 0;
  for (size_t size = 1; size <= (size_t{1} << 20) + 5; size += size < 4096 ? 1 : 977) {
    const uint32_t sizeClass = PayloadPools::ClassOf(size);
    ASSERT_GE(PayloadPools::ClassSize(sizeClass), size) << size;
    if (size > 64) {
      ASSERT_LE(PayloadPools::ClassSize(sizeClass), size + size / 4 + 16) << size;
      ASSERT_LT(PayloadPools::ClassSize(sizeClass - 1), size) << size;  // the smallest that fits
    }
    ASSERT_GE(sizeClass, previous) << size;
    previous = sizeClass;
  }
}

TEST(PayloadPoolsTest, FreedBlocksComeBackWarmAndRetentionIsBounded) {
  PayloadPools pools(size_t{1} << 20);
  void* first = pools.Allocate(1000);
  ASSERT_NE(first, nullptr);
  std::memset(first, 1, 1000);
  pools.Free(first);
  EXPECT_EQ(pools.RetainedBlocks(), 1u);
  void* again = pools.Allocate(1020);
  void* other = pools.Allocate(1000);
  EXPECT_EQ(again, first);  // same class, last freed first
  EXPECT_NE(other, first);  // still out: a fresh block
  pools.Free(nullptr);
  pools.Free(again);
  pools.Free(other);

  // A burst of 64 KiB blocks: the class keeps 1 MiB of them, 16 blocks.
  std::vector<void*> burst;
  for (int i = 0; i < 40; ++i) burst.push_back(pools.Allocate(65536));
  for (void* block : burst) {
    ASSERT_NE(block, nullptr);
    pools.Free(block);
  }
  EXPECT_EQ(pools.RetainedBlocks(), 2u + 16u);
  void* huge = pools.Allocate(PayloadPools::kLargestPooled + 1);  // beyond the classes
  ASSERT_NE(huge, nullptr);
  const size_t retained = pools.RetainedBlocks();
  pools.Free(huge);
  EXPECT_EQ(pools.RetainedBlocks(), retained);

  // A lower bound from now on, and everything back at once.
  pools.SetRetainedBytes(size_t{1} << 17);
  std::vector<void*> more;
  for (int i = 0; i < 4; ++i) more.push_back(pools.Allocate(65536));
  pools.FreeMany(more.data(), more.size());
  // The four come out of the class's 16 and do not go back: it keeps 2 now.
  EXPECT_EQ(pools.RetainedBlocks(), retained - 4);
  pools.Trim();
  EXPECT_EQ(pools.RetainedBlocks(), 0u);
}

CoreEvent Numbered(uint32_t source, uint32_t number) {
  CoreEvent event{};
  event.providerID = source;
  event.requestID = number;
  return event;
}

TEST(EventRingTest, OrderFullAndClose) {
  EventRing ring;
  for (uint32_t i = 0; i < EventRing::kCells; ++i)
    ASSERT_EQ(ring.TryPush(Numbered(1, i)), EventRing::Push::kQueued);
  EXPECT_EQ(ring.TryPush(Numbered(1, 9999)), EventRing::Push::kFull);
  EXPECT_EQ(ring.Size(), EventRing::kCells);

  CoreEventQueue out;
  EXPECT_EQ(ring.PopInto(out, 10), 10u);
  EXPECT_EQ(ring.TryPush(Numbered(1, EventRing::kCells)), EventRing::Push::kQueued);  // a freed cell
  ring.Close();
  EXPECT_EQ(ring.TryPush(Numbered(1, 0)), EventRing::Push::kClosed);
  EXPECT_FALSE(ring.Drained());
  while (ring.PopInto(out, 1000) != 0) {
  }
  EXPECT_TRUE(ring.Drained());
  EXPECT_EQ(ring.Claimed(), EventRing::kCells + 1);
  ASSERT_EQ(out.size(), EventRing::kCells + 1);  // everything claimed before the close
  for (uint32_t i = 0; i <= EventRing::kCells; ++i) {
    CoreEvent event;
    out.PopFront(&event);
    ASSERT_EQ(event.requestID, i);
  }
}

TEST(EventRingTest, ManyWritersKeepTheirOrderAndLoseNothing) {
  constexpr uint32_t kWriters = 4, kEach = 20000;
  EventRing ring;
  std::vector<std::thread> writers;
  for (uint32_t w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      for (uint32_t i = 0; i < kEach;) {
        if (ring.TryPush(Numbered(w, i)) == EventRing::Push::kQueued) ++i;
        else std::this_thread::yield();  // full: the consumer frees cells
      }
    });
  }
  std::vector<int64_t> last(kWriters, -1);
  uint64_t seen = 0, disorder = 0;
  CoreEventQueue out;
  while (seen < kWriters * kEach) {
    if (ring.PopInto(out, 64) == 0) std::this_thread::yield();
    CoreEvent event;
    while (!out.empty()) {
      out.PopFront(&event);
      if (static_cast<int64_t>(event.requestID) != last[event.providerID] + 1) ++disorder;
      last[event.providerID] = event.requestID;
      ++seen;
    }
  }
  for (std::thread& writer : writers) writer.join();
  EXPECT_EQ(disorder, 0u);
  EXPECT_TRUE(ring.Drained());
  EXPECT_EQ(ring.Size(), 0u);
}

}  // namespace
}  // namespace eventbus
