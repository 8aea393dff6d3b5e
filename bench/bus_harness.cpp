#include "bench/bus_harness.h"

#include <stdlib.h>
#include <time.h>

#include <cstdio>
#include <filesystem>

#include "pluginhost/plugin_host.h"

// The allocation counter: these definitions take the place of the C
// library's for the whole process (plugins and libraries included) and
// forward to its implementation.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {
std::atomic<bool> g_counting{false};
std::atomic<uint64_t> g_allocations{0};
inline void Count() {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(size_t size) {
  Count();
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  Count();
  return __libc_calloc(count, size);
}
void* realloc(void* block, size_t size) {
  Count();
  return __libc_realloc(block, size);
}
void* memalign(size_t alignment, size_t size) {
  Count();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  Count();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
  Count();
  void* block = __libc_memalign(alignment, size);
  if (block == nullptr) return 12;  // ENOMEM
  *out = block;
  return 0;
}
}

namespace bench {

void SetAllocationCounting(bool on) { g_counting.store(on); }
uint64_t Allocations() { return g_allocations.load(); }

int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::unique_ptr<BenchControl> MakeControl() {
  auto control = std::make_unique<BenchControl>();
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<void*>(control.get()));
  setenv(kControlVariable, address, 1);
  return control;
}

namespace {

eventbus::EventBus* g_bus = nullptr;

int32_t WriteCallback(const CoreEvent* event, WriteResult* result) {
  g_bus->Write(event, result);
  return 0;
}

const CoreContextTable kContextTable = {
    [](CoreContext*) {},
    [](CoreContext*, int64_t* slot) {
      *slot = NowNs();
      return slot;
    },
    [](CoreContext*) {},
    [](CoreContext*, ModuleId, int32_t, const char* text) { std::fprintf(stderr, "%s\n", text); },
};
CoreContext g_context{&kContextTable};

}  // namespace

class BusCore::Host : public eventbus::BusHost {
 public:
  void ConsoleSink(ModuleId, int32_t level, const char* text) override {
    if (level >= 50) std::fprintf(stderr, "%s\n", text != nullptr ? text : "");
  }
  int32_t SubmitToSupervisor(void* data, int64_t) override {
    std::free(data);
    return WRITE_REFUSED;
  }
  void OnConfigUpdate(const void*, std::string_view) override {}
};

BusCore::BusCore(const std::string& pluginDir, const std::vector<std::string>& plugins,
                 BenchControl& control)
    : control_(control),
      pluginHost_(&g_context, &WriteCallback, thresholds_),
      host_(std::make_unique<Host>()) {
  char pattern[] = "/tmp/bench-core-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::perror("mkdtemp");
    std::exit(2);
  }
  directory_ = pattern;
  std::filesystem::create_directory(directory_ + "/plugins");
  for (const std::string& name : plugins)
    std::filesystem::create_symlink(pluginDir + "/" + name, directory_ + "/plugins/" + name);

  bus_ = std::make_unique<eventbus::EventBus>(thresholds_, pluginHost_.Plugins(), *host_);
  g_bus = bus_.get();
  pluginHost_.SetCoreDirectory(directory_);
  pluginHost_.LoadAll();
  const size_t loaded = pluginHost_.Plugins().Snapshot().size();
  if (loaded != plugins.size()) {
    std::fprintf(stderr, "bench: %zu of %zu plugins loaded from %s\n", loaded, plugins.size(),
                 pluginDir.c_str());
    std::exit(2);
  }
  pluginHost_.OpenAll();
  dispatcher_ = std::thread([this] { bus_->RunDispatcher(); });
}

BusCore::~BusCore() {
  QuitProducers(control_);
  bus_->RequestStop();
  dispatcher_.join();
  pluginHost_.CloseAll();
  pluginHost_.UnloadAll();
  bus_->LogLeakReport();
  bus_.reset();
  g_bus = nullptr;
  std::filesystem::remove_all(directory_);
}

void WaitForDeliveries(BenchControl& control) {
  const uint64_t expected = control.expected.load();
  for (;;) {
    const uint32_t done = control.subscribersDone.value.load(std::memory_order_acquire);
    bool all = true;
    for (uint32_t i = 0; i < control.subscribers; ++i)
      all = all && control.delivered[i].value.load(std::memory_order_acquire) >= expected;
    if (all) return;
    control.subscribersDone.Wait(done);
  }
}

int64_t RunRound(BenchControl& control, uint64_t eventsPerProducer) {
  const uint32_t producersBefore = control.producersDone.value.load();
  control.eventsPerProducer = eventsPerProducer;
  control.expected.fetch_add(eventsPerProducer * control.producers);
  const int64_t start = NowNs();
  control.round.Raise();
  WaitForDeliveries(control);
  const int64_t elapsed = NowNs() - start;
  for (;;) {
    const uint32_t done = control.producersDone.value.load(std::memory_order_acquire);
    if (done - producersBefore >= control.producers) break;
    control.producersDone.Wait(done);
  }
  return elapsed;
}

void QuitProducers(BenchControl& control) {
  control.quit.store(1, std::memory_order_release);
  control.round.Raise();
}

}  // namespace bench
