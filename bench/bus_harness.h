// The benchmarks' harness: a core as far as the event bus goes, built in a
// temporary directory whose plugins/ folder holds the benchmark plugins, and
// loaded, opened and later closed through the plugin host exactly as the
// core process does; the dispatcher runs on its own thread.  Also the rounds
// the harness drives through the control block, and the heap allocation
// counter.
#ifndef BENCH_BUS_HARNESS_H_
#define BENCH_BUS_HARNESS_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/log_thresholds.h"
#include "bench/plugins/bench_control.h"
#include "eventbus/event_bus.h"
#include "pluginhost/plugin_host.h"

namespace bench {

// Heap allocations (malloc, calloc, realloc and the aligned forms) made in
// the whole process while counting is on.
void SetAllocationCounting(bool on);
uint64_t Allocations();

int64_t NowNs();

// A fresh control block, its address published for the plugins to find.
std::unique_ptr<BenchControl> MakeControl();

class BusCore {
 public:
  // Loads `plugins` (file names inside `pluginDir`) and starts the dispatcher.
  // Exits the process with a message when a plugin does not load.
  BusCore(const std::string& pluginDir, const std::vector<std::string>& plugins,
          BenchControl& control);
  // Ends the producers' run threads, stops the dispatcher, closes and unloads
  // the plugins and removes the directory.
  ~BusCore();
  BusCore(const BusCore&) = delete;
  BusCore& operator=(const BusCore&) = delete;

 private:
  class Host;
  BenchControl& control_;
  std::string directory_;
  base::LogThresholds thresholds_;
  pluginhost::PluginHost pluginHost_;
  std::unique_ptr<Host> host_;
  std::unique_ptr<eventbus::EventBus> bus_;
  std::thread dispatcher_;
};

// Starts a round of `eventsPerProducer` events on every producer and returns
// its length in nanoseconds: from the start until every subscriber has seen
// every event of it.  Waits for the producers to be ready for the next one.
int64_t RunRound(BenchControl& control, uint64_t eventsPerProducer);

// Waits until every subscriber has counted control.expected deliveries.
void WaitForDeliveries(BenchControl& control);

// Asks the producers' run loops to end.
void QuitProducers(BenchControl& control);

}  // namespace bench

#endif  // BENCH_BUS_HARNESS_H_
