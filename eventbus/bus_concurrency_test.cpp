// Many writers, paced readers, kept blocks and a stop in the middle: every
// accepted event is delivered once, every block is freed once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <thread>

#include "eventbus/bus_test_support.h"

namespace eventbus::testing {
namespace {

constexpr ModuleId kKeeper = 0x00010000, kCounter = 0x00020000, kReader = 0x00030000;
constexpr int kWriters = 6;
constexpr int kEventsPerWriter = 3000;
constexpr int kReaders = 3;
constexpr int kAnswersPerReader = 300;

// Payload of event n: its size and bytes derive from n, so a delivery can be
// checked without the writer.
int32_t FillPayload(uint32_t n, char* out) {
  const int32_t size = 4 + static_cast<int32_t>(n % 200);
  std::memcpy(out, &n, 4);
  for (int32_t i = 4; i < size; ++i) out[i] = static_cast<char>(n + i);
  return size;
}

bool PayloadIntact(const DeliveredEvent& event) {
  if (event.data == nullptr || event.dataSize < 4) return false;
  uint32_t n;
  std::memcpy(&n, event.data, 4);
  char expected[256];
  return FillPayload(n, expected) == event.dataSize &&
         std::memcmp(expected, event.data, static_cast<size_t>(event.dataSize)) == 0;
}

using BusConcurrencyTest = BusFixture;

TEST_F(BusConcurrencyTest, NoEventLostNoBlockFreedTwice) {
  std::atomic<int> corrupt{0};
  std::atomic<uint64_t> delivered{0};
  std::mutex keptMutex;
  std::deque<void*> kept;
  // The keeper holds every other block and releases it from its own thread.
  Fake(0).onWrite = [&](const DeliveredEvent& event, WriteReply& reply) {
    uint32_t n;
    std::memcpy(&n, event.data, 4);
    if (n % 2 == 0) {
      reply.keepBlock = 1;
      std::lock_guard lock(keptMutex);
      kept.push_back(event.data);
    }
  };
  Fake(1).onWrite = [&](const DeliveredEvent& event, WriteReply&) {
    if (!PayloadIntact(event)) ++corrupt;
    ++delivered;
  };
  std::atomic<uint64_t> accepted{0};
  std::atomic<int> readersDone{0};
  std::atomic<int> answers{0};
  Fake(2).onRead = [&](const ReadRequest& request) {
    char payload[256];
    for (int i = 0; i < kAnswersPerReader; ++i) {
      const uint32_t n = request.requestID * 100000 + static_cast<uint32_t>(i);
      CoreEvent answer = BusFixture::MakeEvent(kReader, EVENT_CLASS(3), 0, payload, FillPayload(n, payload));
      answer.requestID = request.requestID;
      WriteResult result{sizeof(WriteResult), 1, 0};
      host_.Writer()(&answer, &result);
      if (result.code != 0) break;  // stopping
      ++accepted;
      ++answers;
    }
    ++readersDone;
  };
  AddPlugin(0, {.id = kKeeper});
  AddPlugin(1, {.id = kCounter});
  AddPlugin(2, {.id = kReader, .acceptsWrite = false, .acceptsRead = true});

  std::thread dispatcher([this] { bus_->RunDispatcher(); });
  std::atomic<bool> releasing{true};
  std::thread releaser([&] {
    for (;;) {
      void* block = nullptr;
      {
        std::lock_guard lock(keptMutex);
        if (!kept.empty()) {
          block = kept.front();
          kept.pop_front();
        }
      }
      if (block == nullptr) {
        if (!releasing) return;
        std::this_thread::yield();
        continue;
      }
      Send(MakeEvent(kKeeper, EVENT_BLOCK_RELEASE, 0, block, 0));
    }
  });

  for (uint32_t r = 1; r <= kReaders; ++r) {
    CoreEvent request = MakeEvent(0, EVENT_CLASS(3), 0);
    request.requestID = r;
    ASSERT_EQ(Send(request).code, 0);
  }
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      char payload[256];
      for (int i = 0; i < kEventsPerWriter; ++i) {
        const uint32_t n = static_cast<uint32_t>(w * kEventsPerWriter + i);
        if (Send(MakeEvent(0x00100000u + w, EVENT_CLASS(3), 0, payload, FillPayload(n, payload))).code == 0)
          ++accepted;
        // The readers answer during the first three quarters; then one
        // writer requests the stop while the others go on writing.
        if (i == kEventsPerWriter * 3 / 4) {
          for (int t = 0; t < 2000 && readersDone < kReaders; ++t)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
          if (w == 0) bus_->RequestStop();
        }
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  for (int i = 0; i < 2000 && readersDone < kReaders; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(readersDone.load(), kReaders);
  bus_->RequestStop();
  dispatcher.join();
  releasing = false;
  releaser.join();

  EXPECT_EQ(corrupt.load(), 0);
  EXPECT_EQ(delivered.load(), accepted.load());
  EXPECT_GT(accepted.load(), 0u);
  EXPECT_EQ(bus_->Blocks().Counts().count, 0u);
  EXPECT_EQ(bus_->Blocks().Counts().bytes, 0u);
  EXPECT_EQ(bus_->QueueSize(), 0u);
}

}  // namespace
}  // namespace eventbus::testing
