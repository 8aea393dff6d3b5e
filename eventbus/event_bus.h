// EventBus: the in-process event bus between plugins.
//
// Every event enters through Write, the body of the write callback handed to
// plugins: it releases shared blocks, hands packets to the supervisor link,
// cancels and broadcasts read requests, answers log-threshold queries, filters
// and prints log messages, admits video frames, copies the payload once into a
// shared block and appends the event to the core event queue.  RunDispatcher
// takes the queued events out in batches and delivers them one by one, in
// order, to the matching plugins' Write entries, and configuration updates to
// every other plugin's IOCTL entry.
//
// Payload blocks come from a PayloadAllocator: the bus's own recycling pools
// unless the caller lends another one (tests lend one that runs out).
//
// The core event queue is a lock-free ring that writers claim cells in, with
// an overflow queue under the queue mutex behind it for when the ring is
// full; a writer touches the mutex only then, or to wake a sleeping
// dispatcher.
//
// The bus owns the queue with its mutex and condition variable, the stop flag,
// the throttling flag, the block registry, the video-frame tracker and the
// request registry.  The plugin list, the log thresholds and the host (the
// core object) belong to the caller and must outlive the bus.
//
// Threads: Write [any-thread], any number at once; RunDispatcher [main], once.
// No bus lock is held while a plugin's entry point or the host's console sink
// runs.
#ifndef EVENTBUS_EVENT_BUS_H_
#define EVENTBUS_EVENT_BUS_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/log.h"
#include "base/log_thresholds.h"
#include "configstore/core_settings.h"
#include "eventbus/core_event_queue.h"
#include "eventbus/event_ring.h"
#include "eventbus/frame_tracker.h"
#include "eventbus/payload_allocator.h"
#include "eventbus/payload_budget.h"
#include "eventbus/payload_pool.h"
#include "eventbus/ref_block_registry.h"
#include "eventbus/request_registry.h"
#include "eventbus/slow_subscribers.h"
#include "recording-core/plugin_abi.h"
#include "pluginhost/plugin_info.h"

namespace eventbus {

// What the bus needs from the core object.  Tests implement a fake.
class BusHost {
 public:
  virtual ~BusHost() = default;
  // Prints one log line.  [any-thread]
  virtual void ConsoleSink(ModuleId module, int32_t level, const char* text) = 0;
  // Takes ownership of a malloc'ed to-supervisor buffer.  Returns the result
  // code: 0 queued for the pipe, 1 refused because there is no pipe (the host
  // has freed the buffer then).  [any-thread]
  virtual int32_t SubmitToSupervisor(void* data, int64_t size) = 0;
  // The core's own handling of a configuration update, with the payload
  // block it travels in and its text (up to the first zero byte).  Must not
  // block: the work belongs on another thread.  [dispatcher]
  virtual void OnConfigUpdate(const void* block, std::string_view text) = 0;
};

// The bus is also the sink of its own log lines and the publisher of the
// core's documents.
class EventBus final : public base::EventSink, public configstore::DocumentPublisher {
 public:
  // A delivery that takes longer than this is reported (whole milliseconds).
  static constexpr int64_t kSlowWriteMs = 5;
  // Events the dispatcher takes out of the ring at a time, and the bounds of
  // how long it yields on an empty ring before it goes to sleep (doubled
  // after a sleep shorter than kShortSleepNs, halved after a longer one).
  static constexpr size_t kBatchLimit = 256;
  // A batch's payloads leave the queue's budget when it is taken, so its
  // bytes are bounded too: what is in flight stays near the budget.
  static constexpr uint64_t kBatchBytes = 16ull << 20;
  static constexpr int64_t kMinIdleSpinNs = 1000;
  static constexpr int64_t kMaxIdleSpinNs = 100 * 1000;
  static constexpr int64_t kShortSleepNs = 200 * 1000;
  // Interval of the statistics line and of the queue storage check.
  static constexpr int64_t kStatisticsIntervalNs = 60LL * 1000 * 1000 * 1000;

  // Payload blocks come from the bus's own pools, or from `payloads`, which
  // must then outlive the bus and every block it handed out.
  EventBus(base::LogThresholds& thresholds, pluginhost::PluginList& plugins, BusHost& host);
  EventBus(base::LogThresholds& thresholds, pluginhost::PluginList& plugins, BusHost& host,
           PayloadAllocator& payloads);
  // Frees the payload blocks of events still queued.  Blocks still held by
  // plugins are left alone; LogLeakReport names them.
  ~EventBus();
  EventBus(const EventBus&) = delete;
  EventBus& operator=(const EventBus&) = delete;

  // The write path: routes one event and puts the outcome in result->code
  // (WRITE_* codes, or the threshold for a log query).  A null result is
  // tolerated; a null event is refused.  [any-thread]
  void Write(const CoreEvent* event, WriteResult* result) override;

  // The write path for the core's own documents: returns the payload block
  // the event was queued with, or nullptr when it was refused.  [any-thread]
  const void* Publish(const CoreEvent& event) override;

  // Delivers queued events until a stop has been requested and the queue is
  // empty; events queued before the stop are all delivered.  [main]
  void RunDispatcher();

  // Sets the stop flag (never cleared) and wakes the dispatcher.  From then on
  // the write path refuses ordinary events.  [any-thread]
  void RequestStop();
  bool Stopping() const { return stop_.load(std::memory_order_acquire); }

  // The start-up wait for the supervisor's first message: ends at the
  // timeout or at any notification on the queue's condition variable (a
  // queued event, a stop, NotifyUnderQueueMutex) since NotificationMark()
  // gave `mark`.  Taking the mark before the notifiers can run keeps a
  // message that is handled before the wait begins from being missed.  [main]
  uint64_t NotificationMark() const;
  void WaitOnce(uint64_t mark, std::chrono::milliseconds timeout);
  // Runs fn under the queue mutex, then notifies one waiter.  [any-thread]
  void NotifyUnderQueueMutex(const std::function<void()>& fn);

  // The memory monitor's throttling flag.  [io-thread] writes, any reads.
  // Turning it on also gives the payload blocks kept for reuse back.
  void SetThrottling(bool on);
  // The memory monitor's limit: bounds the queue's budget and what the
  // payload pools keep.  [io-thread]
  void SetMemoryLimit(uint64_t limit);
  bool Throttling() const { return throttling_.load(std::memory_order_relaxed); }

  // Logs the shutdown leak report (blocks still held) at level 0 for the core,
  // when there is anything to report.  Called by the core object as it is
  // destroyed, while the write callback still works.  [main]
  void LogLeakReport();

  RefBlockRegistry& Blocks() { return blocks_; }
  FrameTracker& Frames() { return frames_; }
  RequestRegistry& Requests() { return requests_; }
  // The bound on payload bytes waiting in the queue; the core sets its
  // memory limit once the monitor has computed it.
  PayloadBudget& Budget() { return budget_; }
  // Events queued and not yet taken by the dispatcher.
  size_t QueueSize() const;
  // True while any request thread has not finished: the bus must then
  // outlive the process's end rather than be destroyed under it.  [main]
  bool RequestThreadsRunning() const { return requestThreads_.load(std::memory_order_acquire) != 0; }

  // Shortens the statistics interval so tests need not wait a minute.
  // Before RunDispatcher only.
  void SetStatisticsIntervalForTesting(int64_t ns) { statisticsIntervalNs_ = ns; }

 private:
  // Copies a read request's payload into a malloc'ed block of the request
  // thread's own; null for a size of 0 or less (a negative size would be a
  // huge size_t) or without memory.
  static void* CopyPayload(const void* data, int32_t size);
  void WriteOrdinary(const CoreEvent& event, WriteResult* result,
                     const void** queuedBlock = nullptr);
  // Replaces the working copy's payload by the queue's own copy, within the
  // budget; false when refused (a video frame's provider is then forgotten).
  bool CopyForQueue(CoreEvent& event, bool video);
  // An event that was copied but not queued: its bytes and block go back.
  void Unqueued(const CoreEvent& event);
  int32_t HandleReadRequest(const CoreEvent& event);
  void RunRequestThread(PluginReadFn read, std::shared_ptr<pluginhost::PluginGuard> guard,
                        int32_t dataSize, void* copy, uint32_t requestID);
  void PrintLog(const CoreEvent& event);
  // Prints a log message that passes its module's threshold, or answers a
  // threshold query.  True when the event goes no further.
  bool FilterLog(const CoreEvent& event, WriteResult* result);
  int32_t AppendEvent(const CoreEvent& event);
  int32_t AppendOverflow(const CoreEvent& event);
  void WakeWaiter();

  // Dispatcher: waits for queued events and moves a batch of them into
  // `taken`; false once a stop has been requested and nothing is left.
  bool TakeBatch(CoreEventQueue& taken);
  // Under queueMutex_ with the ring drained: the overflow as the batch, the
  // final close, or a sleep.  False when the run is over.
  bool TakeOverflowOrSleep(std::unique_lock<std::mutex>& lock, CoreEventQueue& taken);
  struct DispatchCounters {
    int64_t mark = 0;     // when the statistics line was last due
    uint32_t events = 0;  // delivered since
  };
  // Takes the batch's bytes out of the budget and settles whether its
  // deliveries are timed.
  void StartBatch(const CoreEventQueue& taken);
  void DeliverBatch(CoreEventQueue& taken, const std::vector<pluginhost::PluginInfo*>& plugins,
                    DispatchCounters& counters);
  // Logs the statistics line for the batch's first event when anything is
  // waiting; true when it did.
  bool LogStatisticsIfDue(const CoreEventQueue& taken, DispatchCounters& counters, int64_t now);
  // `clock`: a clock read just before, or 0; set to when the last timed
  // delivery ended, or 0.
  void DeliverEvent(const CoreEvent& event, const std::vector<pluginhost::PluginInfo*>& plugins,
                    int64_t& clock);
  void PostCoreConfig(const CoreEvent& event);
  // `clock`: a clock read just before this delivery (when the previous one
  // ended), or 0; set to when this one ended, or 0 when it was not timed.
  void DeliverWrite(const CoreEvent& event, const pluginhost::PluginInfo& plugin, int64_t& clock);
  void DeliverConfigUpdate(const CoreEvent& event, const pluginhost::PluginInfo& plugin);
  // `unentered`: the event in delivery when the core's hold on its block is
  // not in the registry yet, or null.
  void LogStatistics(size_t queued, uint32_t events, const CoreEvent* unentered);
  // Enters the core's hold on the block in delivery, once.  [dispatcher]
  void HoldForCore(const CoreEvent& event);
  // After a recipient's call: enters it as a holder when it kept the block.
  void EndDelivery(const CoreEvent& event, ModuleId holder, bool kept);
  // The end of a delivery whose block the registry never saw: true when
  // there is a block to free.  [dispatcher]
  bool LastHold(void* block);
  // While the budget refuses events, names the slowest subscribers, at most
  // once per report interval.  `taken` is the dispatcher's current batch.
  void ReportSlowSubscribers(const CoreEventQueue& taken, int64_t nowNs);
  // Drops `holder`'s hold on `block`; frees it when that was the last hold.
  void Release(void* block, ModuleId holder);
  // Drops the hold without freeing: true when that was the last hold and the
  // caller must free the block.
  bool Unhold(void* block, ModuleId holder);
  bool CoreAdmitsLevel0() const;

  base::LogThresholds& thresholds_;
  pluginhost::PluginList& plugins_;
  BusHost& host_;
  PayloadPools ownPayloads_;
  PayloadAllocator& payloads_;
  int64_t statisticsIntervalNs_ = kStatisticsIntervalNs;
  int64_t idleSpinNs_ = 10 * 1000;  // dispatcher only: yielding before it sleeps

  std::atomic<bool> throttling_{false};
  RefBlockRegistry blocks_;
  FrameTracker frames_{throttling_};
  RequestRegistry requests_;
  PayloadBudget budget_;
  SlowSubscribers slow_;  // [dispatcher]
  bool measured_ = false;  // [dispatcher] this batch's deliveries are timed for slow_
  bool coreHolds_ = false;  // [dispatcher] the core's hold on the block in delivery is entered

  // The core event queue: the lock-free ring, and behind it the overflow
  // queue under queueMutex_ for when the ring is full.  While the overflow
  // holds events, writers append there too, and the dispatcher takes it only
  // once the ring is drained, so the overflow's events follow the ring's.
  EventRing ring_;
  mutable std::mutex queueMutex_;
  std::condition_variable queueCv_;
  CoreEventQueue overflow_;               // guarded by queueMutex_
  std::atomic<bool> overflowing_{false};  // overflow_ not empty; written under queueMutex_
  std::atomic<size_t> overflowCount_{0};  // overflow_.size(), for the statistics line
  std::atomic<bool> stop_{false};   // written under queueMutex_, read anywhere
  bool closed_ = false;             // guarded by queueMutex_: the final drain has begun
  uint64_t notifications_ = 0;      // guarded by queueMutex_; see WaitOnce
  // A thread sleeps on queueCv_ (the dispatcher for events, or the start-up
  // wait) and the next event must wake it.  Set under queueMutex_ before the
  // sleeper looks at the ring one last time; a writer looks at it after its
  // claim, so one of the two sees the other.  The first writer to find it set
  // clears it under the mutex and notifies; while the dispatcher is busy no
  // writer touches the mutex at all.
  std::atomic<bool> waiting_{false};
  std::atomic<int> requestThreads_{0};  // request threads started and not finished
};

}  // namespace eventbus

#endif  // EVENTBUS_EVENT_BUS_H_
