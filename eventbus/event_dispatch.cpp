// The dispatcher half of EventBus: taking queued events out in batches and
// delivering them, the statistics line, and the holds the core and each
// recipient take on a payload block while it is delivered.
#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

#include "base/log.h"
#include "eventbus/event_bus.h"
#include "eventbus/event_match.h"
#include "eventbus/grouped_number.h"
#include "platform/platform.h"
#include "pluginhost/plugin_blocks.h"
#include "pluginhost/plugin_guard.h"

namespace eventbus {

void EventBus::RunDispatcher() {
  platform::RaiseThreadPriority();

  // The plugin list is complete before the dispatcher starts and is not
  // changed again until it has returned (plugins are closed afterwards), so
  // one snapshot serves the whole run without taking the list's lock per
  // event.  This also lets a plugin broadcast a read request from inside its
  // Write without taking that lock twice on this thread.
  const std::vector<pluginhost::PluginInfo*> plugins = plugins_.Snapshot();

  // Events are taken out of the ring in batches and delivered in order
  // without any lock; writers and the dispatcher meet on the queue mutex only
  // when the dispatcher goes to sleep or the ring overflows.
  CoreEventQueue taken;
  DispatchCounters counters;
  counters.mark = platform::SteadyNowNs();
  while (TakeBatch(taken)) DeliverBatch(taken, plugins, counters);
}

bool EventBus::TakeBatch(CoreEventQueue& taken) {
  int64_t idleSince = 0;
  for (;;) {
    if (ring_.PopInto(taken, kBatchLimit, kBatchBytes) != 0) return true;
    // Not drained: a writer has claimed a cell and is still copying its
    // event in.  Drained: under a steady stream the next event is a moment
    // away, and yielding for a while costs less than a sleep and a writer's
    // wake-up.
    if (!ring_.Drained()) {
      std::this_thread::yield();
      continue;
    }
    if (!overflowing_.load(std::memory_order_relaxed) && !stop_.load(std::memory_order_relaxed)) {
      const int64_t now = platform::SteadyNowNs();
      if (idleSince == 0) idleSince = now;
      if (now - idleSince < idleSpinNs_) {
        std::this_thread::yield();
        continue;
      }
    }
    std::unique_lock lock(queueMutex_);
    if (!ring_.Drained()) continue;
    const int64_t asleep = platform::SteadyNowNs();
    if (!TakeOverflowOrSleep(lock, taken)) return false;
    // Woken soon: events come a little too far apart for the yielding to
    // bridge, so yield longer next time.  Woken late: yielding would have
    // been wasted, so yield less.
    if (platform::SteadyNowNs() - asleep < kShortSleepNs)
      idleSpinNs_ = std::min(kMaxIdleSpinNs, idleSpinNs_ * 2);
    else
      idleSpinNs_ = std::max(kMinIdleSpinNs, idleSpinNs_ / 2);
    if (!taken.empty()) return true;
    idleSince = 0;
  }
}

bool EventBus::TakeOverflowOrSleep(std::unique_lock<std::mutex>& lock, CoreEventQueue& taken) {
  if (!overflow_.empty()) {
    // Every event in the ring has been taken, so these are next.
    overflow_.Swap(taken);
    overflowing_.store(false, std::memory_order_release);
    overflowCount_.store(0, std::memory_order_relaxed);
    return true;
  }
  if (closed_) return false;  // stopping, and everything queued was delivered
  if (stop_.load(std::memory_order_relaxed)) {
    // The final drain: from now on every write is refused, and what was
    // claimed in the ring before is still taken out.
    closed_ = true;
    ring_.Close();
    return true;
  }
  waiting_.store(true, std::memory_order_seq_cst);
  if (ring_.Drained()) queueCv_.wait(lock);  // a later claim sees waiting_ and wakes this
  waiting_.store(false, std::memory_order_relaxed);
  return true;
}

namespace {

// The blocks the core lets go of as their deliveries end go back to the
// allocator together, a few at a time.  Large ones go back at once, so that
// the next copy of that size lands in a block still warm.
class FreeRun {
 public:
  explicit FreeRun(PayloadAllocator& payloads) : payloads_(payloads) {}
  ~FreeRun() { payloads_.FreeMany(blocks_, count_); }
  FreeRun(const FreeRun&) = delete;
  FreeRun& operator=(const FreeRun&) = delete;

  void Add(void* block, int64_t size) {
    blocks_[count_++] = block;
    bytes_ += static_cast<uint64_t>(size);
    if (count_ < kBlocks && bytes_ < kBytes) return;
    payloads_.FreeMany(blocks_, count_);
    count_ = 0;
    bytes_ = 0;
  }

 private:
  static constexpr size_t kBlocks = 64;
  static constexpr uint64_t kBytes = 256 * 1024;
  PayloadAllocator& payloads_;
  void* blocks_[kBlocks];
  size_t count_ = 0;
  uint64_t bytes_ = 0;
};

}  // namespace

void EventBus::StartBatch(const CoreEventQueue& taken) {
  // The batch's bytes leave the queue's budget at once.
  uint64_t bytes = 0;
  for (size_t i = 0; i < taken.size(); ++i) {
    const CoreEvent& event = taken.At(i);
    if (event.data != nullptr) bytes += static_cast<uint64_t>(event.dataSize);
  }
  budget_.Taken(bytes);
  // Whether deliveries are timed for the slow-subscriber report is settled
  // once a batch: the budget's counters are the writers' cache lines.
  measured_ = budget_.UnderPressure();
}

void EventBus::DeliverBatch(CoreEventQueue& taken,
                            const std::vector<pluginhost::PluginInfo*>& plugins,
                            DispatchCounters& counters) {
  StartBatch(taken);
  FreeRun freed(payloads_);
  // The end of one delivery, when it was timed, is the next one's start.
  int64_t clock = 0;
  while (!taken.empty()) {
    // Delivered from the batch's own slot, which nothing moves meanwhile.
    const CoreEvent& event = taken.Front();
    ++counters.events;
    const int64_t now = clock != 0 ? clock : platform::SteadyNowNs();
    clock = now;
    const bool intervalPassed = now - counters.mark >= statisticsIntervalNs_;

    // The core's hold on the block is entered in the registry only once a
    // recipient keeps it; until then the dispatcher alone keeps it alive,
    // and nobody else can have it.
    coreHolds_ = false;
    if (intervalPassed && LogStatisticsIfDue(taken, counters, now)) clock = 0;
    DeliverEvent(event, plugins, clock);
    void* const block = event.data;
    const int64_t size = event.dataSize;
    taken.DropFront();
    // A burst may have grown the batch's storage: give it back.
    if (intervalPassed) taken.Compact();
    if (coreHolds_ ? Unhold(block, CORE_MODULE_ID) : LastHold(block)) freed.Add(block, size);
    ReportSlowSubscribers(taken, now);
  }
}

bool EventBus::LogStatisticsIfDue(const CoreEventQueue& taken, DispatchCounters& counters,
                                  int64_t now) {
  // Entries still waiting: the rest of this batch and what writers have
  // queued since.  Read only when the line is due: the ring's position is
  // the writers' cache line.
  const size_t queued =
      taken.size() - 1 + ring_.Size() + overflowCount_.load(std::memory_order_relaxed);
  if (queued == 0 || !CoreAdmitsLevel0()) return false;
  counters.mark = now;
  LogStatistics(queued, counters.events, coreHolds_ ? nullptr : &taken.Front());
  counters.events = 0;
  return true;  // the line took time of its own
}

void EventBus::DeliverEvent(const CoreEvent& event,
                            const std::vector<pluginhost::PluginInfo*>& plugins, int64_t& clock) {
  if ((event.eventType & EVENT_CONFIG_UPDATE) != 0 && event.data != nullptr) {
    clock = 0;
    PostCoreConfig(event);
  }

  const uint32_t key = QueuedKey(event.eventSubtype);
  for (const pluginhost::PluginInfo* plugin : plugins) {
    if ((event.eventType & EVENT_CONFIG_UPDATE) != 0 && plugin->systemID() != event.providerID) {
      DeliverConfigUpdate(event, *plugin);
      clock = 0;
    } else if (plugin->descriptor.acceptsWrite != 0 && plugin->Write != nullptr &&
               Matches(event.eventType, plugin->descriptor.subscriptionMasks, key)) {
      DeliverWrite(event, *plugin, clock);
    }
  }
}

void EventBus::PostCoreConfig(const CoreEvent& event) {
  // The document as text: up to its first zero byte, if it carries one.
  const char* text = static_cast<const char*>(event.data);
  const size_t size = static_cast<size_t>(event.dataSize);
  const void* end = std::memchr(text, 0, size);
  host_.OnConfigUpdate(event.data,
                       std::string_view(text, end != nullptr ? static_cast<const char*>(end) - text : size));
}

void EventBus::DeliverWrite(const CoreEvent& event, const pluginhost::PluginInfo& plugin,
                            int64_t& clock) {
  DeliveredEvent delivered = pluginhost::ZeroBlock<DeliveredEvent>(1);
  delivered.dataSize = event.dataSize;
  delivered.data = event.data;
  delivered.providerID = event.providerID;
  delivered.requestID = event.requestID;
  delivered.eventType = event.eventType;
  delivered.eventSubtype = event.eventSubtype;
  delivered.attributes = event.attributes;
  WriteReply reply = pluginhost::MakeWriteReply();

  const ModuleId holder = plugin.systemID();
  blocks_.BeginDelivery(event.data, holder);

  // Clock reads only when the report could be printed at all, or while the
  // queue's budget is under pressure and its slow subscribers are measured.
  const bool timed = event.eventType != EVENT_LOG && CoreAdmitsLevel0();
  const bool measured = measured_;
  // The end of the previous delivery serves as this one's start: only the
  // holder bookkeeping lies between, microseconds against a report in
  // milliseconds.
  const int64_t start = !(timed || measured) ? 0 : clock != 0 ? clock : platform::SteadyNowNs();
  const int32_t rc = pluginhost::Guarded(*plugin.guard, pluginhost::Entry::kWrite,
                                         [&] { return plugin.Write(&delivered, &reply); });
  // A Write that threw has no say over the block.
  if (rc == CORE_RC_PLUGIN_EXCEPTION) reply.keepBlock = 0;
  clock = timed || measured ? platform::SteadyNowNs() : 0;
  const int64_t elapsedNs = clock - start;
  const int64_t elapsedMs = elapsedNs / 1000000;
  if (measured) slow_.Record(&plugin, elapsedNs);

  if (rc != 0 || reply.errorCode != 0) {
    base::Log(CORE_MODULE_ID, *this, 0, "plugin %s write returned %d error %d",
              plugin.Filename.c_str(), rc, reply.errorCode);
    clock = 0;  // the line took time of its own
  }
  if (timed && elapsedMs > kSlowWriteMs) {
    base::Log(CORE_MODULE_ID, *this, 0,
              "core write took %lldms, providerID %x, eventType: %d, PI.systemID: %x, PI.Filename: %s",
              static_cast<long long>(elapsedMs), event.providerID,
              static_cast<int>(event.eventType), holder, plugin.Filename.c_str());
    clock = 0;
  }

  EndDelivery(event, holder, reply.keepBlock != 0);
}

void EventBus::DeliverConfigUpdate(const CoreEvent& event, const pluginhost::PluginInfo& plugin) {
  if (plugin.Ioctl == nullptr) return;
  IoctlRequest request = pluginhost::MakeIoctlRequest(IOCTL_CONFIG_UPDATE, event.data,
                                                      static_cast<uint32_t>(event.dataSize));
  IoctlReply reply = pluginhost::MakeIoctlReply(IOCTL_CONFIG_UPDATE);

  const ModuleId holder = plugin.systemID();
  blocks_.BeginDelivery(event.data, holder);
  const int32_t rc = pluginhost::Guarded(*plugin.guard, pluginhost::Entry::kIoctl,
                                         [&] { return plugin.Ioctl(&request, &reply); });
  if (rc == CORE_RC_PLUGIN_EXCEPTION) reply.keepBlock = 0;
  if (rc != 0 || reply.errorCode != 0)
    base::Log(CORE_MODULE_ID, *this, 0, "plugin %s update config returned %d error %d",
              plugin.Filename.c_str(), rc, reply.errorCode);
  EndDelivery(event, holder, reply.keepBlock != 0);
}

void EventBus::EndDelivery(const CoreEvent& event, ModuleId holder, bool kept) {
  if (kept) {
    HoldForCore(event);
    blocks_.Kept(event.data, holder);
  }
  blocks_.EndDelivery();
}

void EventBus::HoldForCore(const CoreEvent& event) {
  if (coreHolds_) return;
  blocks_.AddHolder(event.data, event.dataSize, CORE_MODULE_ID);
  coreHolds_ = true;
}

bool EventBus::LastHold(void* block) {
  if (block == nullptr) return false;
  requests_.WakeWriters(block);  // before the block can come back as another
  return true;
}

void EventBus::LogStatistics(size_t queued, uint32_t events, const CoreEvent* unentered) {
  RefBlockRegistry::Totals totals = blocks_.Counts();
  // The block in delivery counts whether or not its hold is entered yet.
  if (unentered != nullptr && unentered->data != nullptr) {
    ++totals.count;
    totals.bytes += static_cast<uint64_t>(unentered->dataSize);
  }
  // Read and reset in one step, so frames refused meanwhile count next time.
  const uint64_t throttled = frames_.TakeThrottledVideoFrames();
  base::Log(CORE_MODULE_ID, *this, 0,
            "core event queue size: %zu, throttledvideoframes:%s, events:%s, refblks: %s (%s bytes)",
            queued, GroupedDecimal(throttled).c_str(), GroupedDecimal(events).c_str(),
            GroupedDecimal(totals.count).c_str(), GroupedDecimal(totals.bytes).c_str());
}

}  // namespace eventbus
