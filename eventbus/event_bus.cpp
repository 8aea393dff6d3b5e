#include "eventbus/event_bus.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include <boost/container/small_vector.hpp>

#include "base/log.h"
#include "eventbus/event_match.h"
#include "eventbus/grouped_number.h"
#include "platform/platform.h"
#include "pluginhost/plugin_blocks.h"

namespace eventbus {

void* EventBus::CopyPayload(const void* data, int32_t size) {
  if (size <= 0) return nullptr;
  void* copy = std::malloc(static_cast<size_t>(size));
  if (copy != nullptr) std::memcpy(copy, data, static_cast<size_t>(size));
  return copy;
}

namespace {

class HeapAllocator final : public PayloadAllocator {
 public:
  void* Allocate(size_t size) override { return std::malloc(size); }
  void Free(void* block) override { std::free(block); }
};

}  // namespace

PayloadAllocator& HeapPayloads() {
  static HeapAllocator heap;
  return heap;
}

EventBus::EventBus(base::LogThresholds& thresholds, pluginhost::PluginList& plugins,
                   BusHost& host, PayloadAllocator& payloads)
    : thresholds_(thresholds), plugins_(plugins), host_(host), payloads_(payloads) {}

EventBus::~EventBus() {
  std::lock_guard lock(queueMutex_);
  CoreEvent event;
  while (!queue_.empty()) {
    queue_.PopFront(&event);
    if (event.data != nullptr) payloads_.Free(event.data);
  }
}

// Write path ---------------------------------------------------------------

void EventBus::Write(const CoreEvent* event, WriteResult* result) {
  WriteResult unused{};
  if (result == nullptr) result = &unused;
  if (event == nullptr) {
    result->code = WRITE_REFUSED;
    return;
  }

  if (event->eventType == EVENT_BLOCK_RELEASE) {
    // The core's own hold is dropped by the dispatcher alone; a release under
    // the core's ModuleId would let a block go while it is still being
    // delivered.
    if (event->providerID != CORE_MODULE_ID) Release(event->data, event->providerID);
    return;
  }

  if (event->eventType == EVENT_TO_SUPERVISOR) {
    // The buffer is ours from here on, whatever happens to it.
    if (event->dataSize < 0) {
      std::free(event->data);
      result->code = WRITE_REFUSED;
      return;
    }
    result->code = host_.SubmitToSupervisor(event->data, event->dataSize);
    return;
  }

  if (event->providerID == 0) {
    result->code = HandleReadRequest(*event);
    return;
  }

  WriteOrdinary(*event, result);
}

void EventBus::PrintLog(const CoreEvent& event) {
  const char* text = static_cast<const char*>(event.data);
  // A text without its terminating zero inside dataSize is printed from a
  // bounded copy, so a careless writer cannot make the sink read past it.
  if (text != nullptr && event.dataSize > 0 &&
      std::memchr(text, 0, static_cast<size_t>(event.dataSize)) == nullptr) {
    const std::string bounded(text, static_cast<size_t>(event.dataSize));
    host_.ConsoleSink(event.providerID, event.attributes.logLevel, bounded.c_str());
    return;
  }
  host_.ConsoleSink(event.providerID, event.attributes.logLevel, text);
}

const void* EventBus::Publish(const CoreEvent& event) {
  WriteResult result{sizeof(WriteResult), 1, WRITE_REFUSED};
  const void* block = nullptr;
  WriteOrdinary(event, &result, &block);
  return result.code == WRITE_ACCEPTED ? block : nullptr;
}

void EventBus::WriteOrdinary(const CoreEvent& original, WriteResult* result,
                             const void** queuedBlock) {
  CoreEvent event = original;  // the working copy that is queued

  if ((event.eventType & EVENT_LOG) != 0) {
    const int32_t threshold = thresholds_.CurrentOf(event.providerID);
    if ((event.eventSubtype & SUBTYPE_LOG_MESSAGE) != 0) {
      const int32_t level = event.attributes.logLevel;
      if (threshold < 0) {
        // No threshold: printed always, but a level-0 message goes no further.
        PrintLog(event);
        if (level == 0) return;
      } else if (threshold > level) {
        return;
      } else {
        PrintLog(event);
      }
    } else if ((event.eventSubtype & SUBTYPE_LOG_QUERY) != 0) {
      result->code = threshold;
      return;
    }
  }

  if (Stopping()) {
    result->code = WRITE_REFUSED;
    return;
  }

  const bool video = IsVideoFrame(event.eventType, event.eventSubtype);
  if (video) {
    const int32_t admitted = frames_.AdmitVideoFrame(event.providerID, event.attributes.keyFrame == 1);
    if (admitted != WRITE_ACCEPTED) {
      result->code = admitted;
      return;
    }
  }

  if (!CopyForQueue(event, video)) {
    result->code = WRITE_NO_MEMORY;
    return;
  }

  if (event.requestID != 0) {
    WriterSlot* slot = requests_.SlotFor(event.requestID, platform::CurrentThreadId());
    if (slot == nullptr) {
      Unqueued(event);
      result->code = WRITE_REFUSED;
      return;
    }
    // One answer with a payload in flight per request thread.
    if (event.data != nullptr) slot->Claim(event.data);
  }

  if (queuedBlock != nullptr) *queuedBlock = event.data;
  result->code = AppendEvent(event);
}

bool EventBus::CopyForQueue(CoreEvent& event, bool video) {
  if (event.data == nullptr || event.dataSize == 0) {
    event.data = nullptr;
    event.dataSize = 0;
    return true;
  }
  // Past the queue's byte budget the copy is refused as if it could not be
  // allocated: the backlog of a slow subscriber must not grow without bound.
  // The bytes are the queue's until the dispatcher takes the event out.
  const bool reserved = event.dataSize > 0 && budget_.Reserve(static_cast<uint64_t>(event.dataSize));
  void* copy = reserved ? payloads_.Allocate(static_cast<size_t>(event.dataSize)) : nullptr;
  if (copy == nullptr) {
    if (reserved) budget_.Release(static_cast<uint64_t>(event.dataSize));
    // No subscriber gets this frame, so none may get the frames that
    // depend on it.
    if (video) frames_.ForgetProvider(event.providerID);
    return false;
  }
  std::memcpy(copy, event.data, static_cast<size_t>(event.dataSize));
  event.data = copy;
  return true;
}

void EventBus::Unqueued(const CoreEvent& event) {
  if (event.data == nullptr) return;
  budget_.Release(static_cast<uint64_t>(event.dataSize));
  // The block is nobody's, and its writer must not stay paced on it.
  requests_.WakeWriters(event.data);
  payloads_.Free(event.data);
}

int32_t EventBus::AppendEvent(const CoreEvent& event) {
  int32_t code = WRITE_ACCEPTED;
  {
    std::lock_guard lock(queueMutex_);
    // Checked again under the mutex: once the dispatcher has seen the stop
    // and drained the queue, nothing would take this event out any more.
    if (stop_.load(std::memory_order_relaxed)) {
      code = WRITE_REFUSED;
    } else {
      try {
        queue_.PushBack(event);
        queuedCount_.store(queue_.size(), std::memory_order_relaxed);
        ++notifications_;
      } catch (const std::bad_alloc&) {
        code = WRITE_NO_MEMORY;
      }
    }
  }
  if (code == WRITE_ACCEPTED) {
    queueCv_.notify_one();
    return code;
  }
  Unqueued(event);
  return code;
}

// Dispatcher -----------------------------------------------------------------

void EventBus::RunDispatcher() {
  platform::RaiseThreadPriority();

  // The plugin list is complete before the dispatcher starts and is not
  // changed again until it has returned (plugins are closed afterwards), so
  // one snapshot serves the whole run without taking the list's lock per
  // event.  This also lets a plugin broadcast a read request from inside its
  // Write without taking that lock twice on this thread.
  const std::vector<pluginhost::PluginInfo*> plugins = plugins_.Snapshot();

  // Events are taken out in batches: under the queue mutex the dispatcher
  // swaps the writers' ring with its own drained one, then delivers the batch
  // in order without the mutex.  Writers and the dispatcher thus meet on the
  // mutex once per batch instead of once per event; the order of delivery is
  // the order of the queue all the same.
  CoreEventQueue taken;
  std::unique_lock lock(queueMutex_);
  int64_t mark = platform::SteadyNowNs();
  uint32_t events = 0;
  for (;;) {
    if (taken.empty()) {
      if (!lock.owns_lock()) lock.lock();
      queueCv_.wait(lock, [this] { return stop_.load(std::memory_order_relaxed) || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and everything queued was delivered
      queue_.Swap(taken);
      queuedCount_.store(0, std::memory_order_relaxed);
      lock.unlock();
    }

    CoreEvent event;
    taken.PopFront(&event);
    if (event.data != nullptr) budget_.Release(static_cast<uint64_t>(event.dataSize));
    // Entries still waiting: the rest of this batch and what writers have
    // queued since.
    const size_t queued = taken.size() + queuedCount_.load(std::memory_order_relaxed);
    ++events;
    const int64_t now = platform::SteadyNowNs();
    const bool intervalPassed = now - mark >= statisticsIntervalNs_;
    // The ring goes back to the writers once drained: give back its storage
    // after a burst.
    if (intervalPassed) taken.Compact();

    blocks_.AddHolder(event.data, event.dataSize, CORE_MODULE_ID);

    if (intervalPassed && queued != 0 && CoreAdmitsLevel0()) {
      mark = now;
      LogStatistics(queued, events);
      events = 0;
    }

    if ((event.eventType & EVENT_CONFIG_UPDATE) != 0 && event.data != nullptr) PostCoreConfig(event);
    Deliver(event, plugins);
    Release(event.data, CORE_MODULE_ID);
    ReportSlowSubscribers(taken, now);
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

void EventBus::Deliver(const CoreEvent& event, const std::vector<pluginhost::PluginInfo*>& plugins) {
  const uint32_t key = QueuedKey(event.eventSubtype);
  for (const pluginhost::PluginInfo* plugin : plugins) {
    if ((event.eventType & EVENT_CONFIG_UPDATE) != 0 && plugin->systemID() != event.providerID) {
      DeliverConfigUpdate(event, *plugin);
    } else if (plugin->descriptor.acceptsWrite != 0 && plugin->Write != nullptr &&
               Matches(event.eventType, plugin->descriptor.subscriptionMasks, key)) {
      DeliverWrite(event, *plugin);
    }
  }
}

void EventBus::DeliverWrite(const CoreEvent& event, const pluginhost::PluginInfo& plugin) {
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
  blocks_.AddHolder(event.data, event.dataSize, holder);

  // Clock reads only when the report could be printed at all, or while the
  // queue's budget is under pressure and its slow subscribers are measured.
  const bool timed = event.eventType != EVENT_LOG && CoreAdmitsLevel0();
  const bool measured = budget_.UnderPressure();
  const int64_t start = timed || measured ? platform::SteadyNowNs() : 0;
  const int32_t rc = pluginhost::Guarded(*plugin.guard, pluginhost::Entry::kWrite,
                                         [&] { return plugin.Write(&delivered, &reply); });
  // A Write that threw has no say over the block.
  if (rc == CORE_RC_PLUGIN_EXCEPTION) reply.keepBlock = 0;
  const int64_t elapsedNs = timed || measured ? platform::SteadyNowNs() - start : 0;
  const int64_t elapsedMs = elapsedNs / 1000000;
  if (measured) slow_.Record(&plugin, elapsedNs);

  if (rc != 0 || reply.errorCode != 0)
    base::Log(CORE_MODULE_ID, *this, 0, "plugin %s write returned %d error %d",
              plugin.Filename.c_str(), rc, reply.errorCode);
  if (timed && elapsedMs > kSlowWriteMs)
    base::Log(CORE_MODULE_ID, *this, 0,
              "core write took %lldms, providerID %x, eventType: %d, PI.systemID: %x, PI.Filename: %s",
              static_cast<long long>(elapsedMs), event.providerID,
              static_cast<int>(event.eventType), holder, plugin.Filename.c_str());

  if (reply.keepBlock == 0) Release(event.data, holder);
}

void EventBus::DeliverConfigUpdate(const CoreEvent& event, const pluginhost::PluginInfo& plugin) {
  if (plugin.Ioctl == nullptr) return;
  IoctlRequest request = pluginhost::MakeIoctlRequest(IOCTL_CONFIG_UPDATE, event.data,
                                                      static_cast<uint32_t>(event.dataSize));
  IoctlReply reply = pluginhost::MakeIoctlReply(IOCTL_CONFIG_UPDATE);

  const ModuleId holder = plugin.systemID();
  blocks_.AddHolder(event.data, event.dataSize, holder);
  const int32_t rc = pluginhost::Guarded(*plugin.guard, pluginhost::Entry::kIoctl,
                                         [&] { return plugin.Ioctl(&request, &reply); });
  if (rc == CORE_RC_PLUGIN_EXCEPTION) reply.keepBlock = 0;
  if (rc != 0 || reply.errorCode != 0)
    base::Log(CORE_MODULE_ID, *this, 0, "plugin %s update config returned %d error %d",
              plugin.Filename.c_str(), rc, reply.errorCode);
  if (reply.keepBlock == 0) Release(event.data, holder);
}

void EventBus::LogStatistics(size_t queued, uint32_t events) {
  const RefBlockRegistry::Totals totals = blocks_.Counts();
  // Read and reset in one step, so frames refused meanwhile count next time.
  const uint64_t throttled = frames_.TakeThrottledVideoFrames();
  base::Log(CORE_MODULE_ID, *this, 0,
            "core event queue size: %zu, throttledvideoframes:%s, events:%s, refblks: %s (%s bytes)",
            queued, GroupedDecimal(throttled).c_str(), GroupedDecimal(events).c_str(),
            GroupedDecimal(totals.count).c_str(), GroupedDecimal(totals.bytes).c_str());
}

void EventBus::Release(void* block, ModuleId holder) {
  if (!blocks_.ReleaseHolder(block, holder) || block == nullptr) return;
  // Wake before freeing: once freed, the address may come back from malloc as
  // another answer's block, and a late wake must not clear that one.
  requests_.WakeWriters(block);
  payloads_.Free(block);
}

bool EventBus::CoreAdmitsLevel0() const {
  // What a threshold query for the core through the write path answers,
  // read directly: unset, or not above 0.
  const int32_t threshold = thresholds_.CurrentOf(CORE_MODULE_ID);
  return threshold <= 0;
}

// Stop, start-up wait, misc ----------------------------------------------------

void EventBus::RequestStop() {
  {
    std::lock_guard lock(queueMutex_);
    stop_.store(true, std::memory_order_release);
    ++notifications_;
  }
  queueCv_.notify_one();
}

uint64_t EventBus::NotificationMark() const {
  std::lock_guard lock(queueMutex_);
  return notifications_;
}

void EventBus::WaitOnce(uint64_t mark, std::chrono::milliseconds timeout) {
  std::unique_lock lock(queueMutex_);
  queueCv_.wait_for(lock, timeout, [&] { return notifications_ != mark; });
}

void EventBus::NotifyUnderQueueMutex(const std::function<void()>& fn) {
  {
    std::lock_guard lock(queueMutex_);
    if (fn) fn();
    ++notifications_;
  }
  queueCv_.notify_one();
}

void EventBus::LogLeakReport() {
  const std::string report = blocks_.LeakReport();
  if (!report.empty()) base::Log(CORE_MODULE_ID, *this, 0, "%s", report.c_str());
}

size_t EventBus::QueueSize() const {
  std::lock_guard lock(queueMutex_);
  return queue_.size();
}

}  // namespace eventbus
