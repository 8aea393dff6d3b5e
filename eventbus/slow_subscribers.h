// SlowSubscribers: who holds the core event queue up.
//
// While the payload budget is under pressure the dispatcher times every
// Write and adds it here per plugin.  When the budget has refused events,
// at most once per report interval, the report names the slowest
// subscribers (most time spent in Write since the last report) with the
// events waiting for each and their average time per Write, at level 75, so
// that an operator sees why events are refused.
//
// [dispatcher] only; no lock.
#ifndef EVENTBUS_SLOW_SUBSCRIBERS_H_
#define EVENTBUS_SLOW_SUBSCRIBERS_H_

#include <cstdint>
#include <functional>
#include <vector>

#include "base/log.h"
#include "pluginhost/plugin_info.h"
#include "recording-core/plugin_abi.h"

namespace eventbus {

class SlowSubscribers {
 public:
  static constexpr int64_t kReportIntervalNs = 5'000'000'000;
  static constexpr size_t kNamed = 3;  // at most this many subscribers per report

  void Record(const pluginhost::PluginInfo* plugin, int64_t elapsedNs);

  // Whether a report may be made at `nowNs`: none yet, or the interval has
  // passed since the last one.
  // Nothing is due before a delivery has been measured: a report must name
  // whom the queue waits for.
  bool Due(int64_t nowNs) const {
    return !times_.empty() && (!reported_ || nowNs - lastReportNs_ >= kReportIntervalNs);
  }

  // Logs the report through `writer`: the budget `limit` and the `refusals`
  // since the last report, then the slowest subscribers measured since then,
  // each with what `waitingFor` counts for it (the queued events it
  // subscribes to).  The measurements start again afterwards.
  void Report(int64_t nowNs, uint64_t refusals, uint64_t limit, base::EventSink& writer,
              const std::function<size_t(const pluginhost::PluginInfo&)>& waitingFor);

 private:
  struct Times {
    const pluginhost::PluginInfo* plugin;
    int64_t totalNs;
    uint64_t writes;
  };
  std::vector<Times> times_;
  int64_t lastReportNs_ = 0;
  bool reported_ = false;
};

}  // namespace eventbus

#endif  // EVENTBUS_SLOW_SUBSCRIBERS_H_
