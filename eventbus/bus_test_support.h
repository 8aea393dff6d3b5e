// Test doubles for the event bus: a fake host that records what the bus hands
// it, and fake plugins that are plain functions filled into PluginInfo
// records, each forwarding to a per-slot behaviour the test sets.
#ifndef EVENTBUS_BUS_TEST_SUPPORT_H_
#define EVENTBUS_BUS_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/log_thresholds.h"
#include "eventbus/event_bus.h"
#include "pluginhost/plugin_info.h"

namespace eventbus::testing {

struct LogLine {
  ModuleId module;
  int32_t level;
  std::string text;
};

class FakeHost : public BusHost {
 public:
  void ConsoleSink(ModuleId module, int32_t level, const char* text) override;
  int32_t SubmitToSupervisor(void* data, int64_t size) override;
  void PostApplyCoreConfig(std::string text) override;
  CoreWriteFn Writer() override;

  std::vector<LogLine> Lines();
  bool HasLineContaining(const std::string& part);

  std::mutex mutex;
  bool pipeOpen = true;
  std::vector<LogLine> lines;
  std::vector<std::string> submitted;  // payloads handed to the pipe (then freed)
  std::vector<std::string> configs;
};

// What one fake plugin saw through Write or IOCTL.
struct Delivery {
  DeliveredEvent event;
  std::string payload;  // copy of the block's bytes at delivery
};

// Behaviour and record of one fake plugin slot.
struct FakePlugin {
  std::function<void(const DeliveredEvent&, WriteReply&)> onWrite;  // default: accept
  std::function<int32_t(const IoctlRequest&, IoctlReply&)> onIoctl;  // default: 0
  std::function<void(const ReadRequest&)> onRead;

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Delivery> writes;
  std::vector<Delivery> ioctls;  // event.dataSize/data from the IOCTL buffer

  size_t WriteCount();
  // Waits (generous timeout) until at least n writes were recorded.
  bool WaitForWrites(size_t n);
};

constexpr int kMaxFakePlugins = 6;
FakePlugin& Fake(int slot);
void ResetFakes();

struct PluginSpec {
  ModuleId id = 0x00010000;
  uint32_t mask = 0xFFFFFFFFu;  // put into all nine masks
  bool acceptsWrite = true;
  bool acceptsRead = false;
  bool exportsWrite = true;
  bool exportsRead = true;
  bool exportsIoctl = true;
};

// A PluginInfo bound to fake slot `slot`.
std::unique_ptr<pluginhost::PluginInfo> MakePlugin(int slot, const PluginSpec& spec);

// The bus under test with its surroundings.  The write callback of the fake
// host reaches the bus of the fixture alive at the moment.
class BusFixture : public ::testing::Test {
 public:
  static CoreEvent MakeEvent(ModuleId provider, uint32_t type, uint32_t subtype,
                             const void* data = nullptr, int32_t size = 0);

 protected:
  BusFixture();
  ~BusFixture() override;

  void AddPlugin(int slot, const PluginSpec& spec);
  WriteResult Send(const CoreEvent& event, int32_t preset = 0);
  // Delivers everything queued so far and returns (stops the bus).
  void Drain();

  core::LogThresholds thresholds_;
  pluginhost::PluginList plugins_;
  FakeHost host_;
  std::unique_ptr<EventBus> bus_;
};

}  // namespace eventbus::testing

#endif  // EVENTBUS_BUS_TEST_SUPPORT_H_
