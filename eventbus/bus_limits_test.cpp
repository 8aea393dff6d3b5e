// The bus against a slow or throwing subscriber: the payload budget refuses
// past its limit exactly like a failed copy (a video frame's dependants
// included), never drops what it accepted, and names the slow subscriber; a
// Write that throws is a failed delivery that still frees the block.
#include "eventbus/event_bus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace eventbus {
namespace {

constexpr ModuleId kCamera = 0x00010000, kSlow = 0x00020000;

EventBus* g_bus = nullptr;
std::mutex g_mutex;
std::vector<std::string> g_lines;  // guarded by g_mutex
int g_writes = 0;                  // [dispatcher]

int32_t Writer(const CoreEvent* event, WriteResult* result) {
  g_bus->Write(event, result);
  return 0;
}

struct Host : BusHost {
  void ConsoleSink(ModuleId, int32_t, const char* text) override {
    std::lock_guard lock(g_mutex);
    g_lines.emplace_back(text);
  }
  int32_t SubmitToSupervisor(void* data, int64_t) override {
    std::free(data);
    return 1;
  }
  void OnConfigUpdate(const void*, std::string_view) override {}
};

int32_t CountingWrite(const DeliveredEvent*, WriteReply*) {
  ++g_writes;
  return 0;
}
int32_t ThrowingWrite(const DeliveredEvent*, WriteReply* reply) {
  reply->keepBlock = 1;  // said, then thrown: it must not count
  throw std::runtime_error("boom");
}

class BusLimitsTest : public ::testing::Test {
 protected:
  BusLimitsTest() {
    g_bus = &bus_;
    g_writes = 0;
    std::lock_guard lock(g_mutex);
    g_lines.clear();
  }
  void AddSubscriber(PluginWriteFn write) {
    auto info = std::make_unique<pluginhost::PluginInfo>();
    info->descriptor.systemID = kSlow;
    for (uint32_t& mask : info->descriptor.subscriptionMasks) mask = 0xFFFFFFFFu;
    info->descriptor.acceptsWrite = 1;
    info->Write = write;
    info->Filename = "slow.dll";
    info->guard = std::make_shared<pluginhost::PluginGuard>("slow.dll", &Writer);
    plugins_.Modify([&](auto& records) { records.push_back(std::move(info)); });
  }
  int32_t Send(uint32_t type, uint32_t subtype, int32_t size, uint8_t keyFrame = 0) {
    std::vector<char> payload(static_cast<size_t>(size), 'x');
    CoreEvent event{sizeof(CoreEvent), 1, size, 0, payload.data(), kCamera, 0, type, subtype, {}};
    event.attributes.keyFrame = keyFrame;
    WriteResult result{sizeof(WriteResult), 1, 99};
    bus_.Write(&event, &result);
    return result.code;
  }
  bool Logged(const std::string& line) {
    std::lock_guard lock(g_mutex);
    for (const std::string& l : g_lines)
      if (l == line) return true;
    return false;
  }
  void Drain() {
    bus_.RequestStop();
    bus_.RunDispatcher();
  }

  base::LogThresholds thresholds_;
  pluginhost::PluginList plugins_;
  Host host_;
  EventBus bus_{thresholds_, plugins_, host_};
};

TEST(PayloadBudgetTest, LimitIsAnEighthOfMemoryAtMost256MiB) {
  PayloadBudget budget;
  EXPECT_EQ(256u << 20, budget.Limit());  // before the monitor's first tick
  budget.SetMemoryLimit(1ull << 30);
  EXPECT_EQ(128u << 20, budget.Limit());
  budget.SetMemoryLimit(64ull << 30);
  EXPECT_EQ(256u << 20, budget.Limit());

  budget.SetMemoryLimit(8000);  // 1000 bytes
  EXPECT_TRUE(budget.Reserve(600));
  EXPECT_FALSE(budget.Reserve(401));
  EXPECT_TRUE(budget.Reserve(400));
  EXPECT_FALSE(budget.Reserve(1));
  budget.Taken(600);    // the dispatcher took the first out
  budget.Release(400);  // the second was not queued after all
  EXPECT_FALSE(budget.Reserve(1001));  // larger than the whole budget
  EXPECT_EQ(3u, budget.TakeRefusals());
  EXPECT_EQ(0u, budget.Waiting());
}

TEST_F(BusLimitsTest, PastTheBudgetEventsAreRefusedLikeAFailedCopy) {
  AddSubscriber(&CountingWrite);
  bus_.Budget().SetMemoryLimit(8000);  // 1000 bytes
  EXPECT_EQ(WRITE_ACCEPTED, Send(0x8, 0, 400));
  EXPECT_EQ(WRITE_ACCEPTED, Send(0x8, 0, 400));
  EXPECT_EQ(WRITE_NO_MEMORY, Send(0x8, 0, 400));
  // A key frame refused at the copy takes its dependants with it.
  EXPECT_EQ(WRITE_NO_MEMORY, Send(EVENT_VIDEO, SUBTYPE_VIDEO_FRAME, 400, 1));
  EXPECT_EQ(WRITE_NO_KEY_FRAME, Send(EVENT_VIDEO, SUBTYPE_VIDEO_FRAME, 10, 2));
  EXPECT_EQ(WRITE_ACCEPTED, Send(0x8, 0, 0));  // no payload, no bytes

  Drain();
  EXPECT_EQ(3, g_writes);  // every accepted event, once
  EXPECT_EQ(0u, bus_.Budget().Waiting());
  EXPECT_TRUE(Logged("core event queue over its budget of 1000 bytes: 2 events refused"));
  std::lock_guard lock(g_mutex);
  bool named = false;
  for (const std::string& line : g_lines)
    named |= line.rfind("slow subscriber slow.dll: 2 events waiting, ", 0) == 0;
  EXPECT_TRUE(named);
}

TEST_F(BusLimitsTest, AThrowingWriteIsAFailedDeliveryThatFreesTheBlock) {
  AddSubscriber(&ThrowingWrite);
  thresholds_.SetCurrent(0, 0);  // the core's level-0 lines pass
  for (int i = 0; i < 3; ++i) EXPECT_EQ(WRITE_ACCEPTED, Send(0x8, 0, 16));
  Drain();
  EXPECT_EQ(0u, bus_.Blocks().Counts().count);
  EXPECT_TRUE(Logged("plugin slow.dll threw an exception in Write: boom"));
  EXPECT_TRUE(Logged("plugin slow.dll write returned -102 error 0"));
  std::lock_guard lock(g_mutex);
  EXPECT_EQ(1, std::count(g_lines.begin(), g_lines.end(),
                          "plugin slow.dll threw an exception in Write: boom"));
}

}  // namespace
}  // namespace eventbus
