#include "eventbus/slow_subscribers.h"

#include <algorithm>

#include "base/log.h"

namespace eventbus {

void SlowSubscribers::Record(const pluginhost::PluginInfo* plugin, int64_t elapsedNs) {
  for (Times& times : times_) {
    if (times.plugin == plugin) {
      times.totalNs += elapsedNs;
      ++times.writes;
      return;
    }
  }
  times_.push_back(Times{plugin, elapsedNs, 1});
}

void SlowSubscribers::Report(int64_t nowNs, uint64_t refusals, uint64_t limit, base::EventSink& writer,
                             const std::function<size_t(const pluginhost::PluginInfo&)>& waitingFor) {
  reported_ = true;
  lastReportNs_ = nowNs;

  base::Log(CORE_MODULE_ID, writer, base::kLevelError,
            "core event queue over its budget of %llu bytes: %llu events refused",
            static_cast<unsigned long long>(limit), static_cast<unsigned long long>(refusals));
  std::sort(times_.begin(), times_.end(),
            [](const Times& a, const Times& b) { return a.totalNs > b.totalNs; });
  for (size_t i = 0; i < times_.size() && i < kNamed; ++i) {
    const Times& times = times_[i];
    const double averageMs = static_cast<double>(times.totalNs) / 1e6 / static_cast<double>(times.writes);
    base::Log(CORE_MODULE_ID, writer, base::kLevelError,
              "slow subscriber %s: %zu events waiting, %.2f ms per Write",
              times.plugin->Filename.c_str(), waitingFor(*times.plugin), averageMs);
  }
  times_.clear();
}

}  // namespace eventbus
