// The event bus's side of the payload budget: the report of the slow
// subscribers that make the write path refuse events.
#include "eventbus/event_bus.h"

#include "eventbus/event_match.h"

namespace eventbus {
namespace {

bool WantsWrite(const pluginhost::PluginInfo& plugin, const CoreEvent& event) {
  return plugin.descriptor.acceptsWrite != 0 && plugin.Write != nullptr &&
         Matches(event.eventType, plugin.descriptor.subscriptionMasks, QueuedKey(event.eventSubtype));
}

}  // namespace

void EventBus::ReportSlowSubscribers(const CoreEventQueue& taken, int64_t nowNs) {
  if (!slow_.Due(nowNs)) return;
  const uint64_t refusals = budget_.TakeRefusals();
  if (refusals == 0) return;
  // Events waiting: the rest of the dispatcher's batch, the ring and the
  // overflow.  A walk of some thousand entries, at most once per report.
  slow_.Report(nowNs, refusals, budget_.Limit(), *this,
               [&](const pluginhost::PluginInfo& plugin) {
                 size_t waiting = 0;
                 for (size_t i = 0; i < taken.size(); ++i) waiting += WantsWrite(plugin, taken.At(i));
                 ring_.ForEachWaiting([&](const CoreEvent& event) { waiting += WantsWrite(plugin, event); });
                 std::lock_guard lock(queueMutex_);
                 for (size_t i = 0; i < overflow_.size(); ++i) waiting += WantsWrite(plugin, overflow_.At(i));
                 return waiting;
               });
}

}  // namespace eventbus
