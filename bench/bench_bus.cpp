// bench_bus: events per second through the event bus, black-box through real
// plugins (producer plugins' run threads writing, subscriber plugins' Write
// counting), against ZeroMQ inproc PUB/SUB and against the one-copy floor,
// for every payload size and fan shape; and the bus's heap allocations per
// event in steady state.
//
// Both pipelines keep at most kWindow events written and not yet delivered
// to every subscriber, so a round measures sustained delivery, not how fast
// an unbounded queue fills.  Bus and ZeroMQ rounds take turns, and each
// figure is the median of its five rounds.
//
// Every shape runs in a process of its own (the benchmark starts itself once
// per shape), so that what one shape leaves in the C heap and the page
// tables (glibc's raised mmap threshold, a fragmented heap without huge
// pages) cannot slow the large copies of a later one.
//
// Usage: bench_bus [--smoke] [--json FILE] [--shape BYTES PRODUCERS SUBSCRIBERS]
//   --smoke  a few events per round: checks that everything runs, no timing.
//   --shape  that one shape only, in this process.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bus_harness.h"
#include "bench/zmq_peer.h"

namespace {

using bench::BenchControl;

constexpr uint64_t kWindow = 1000;

struct Shape {
  uint32_t payload;
  uint32_t producers;
  uint32_t subscribers;
};

struct Figures {
  double bus = 0, zeromq = 0, floor = 0;
  double allocationsPerEvent = 0;
};

// Events per round over all producers: a few tens of milliseconds of bus
// time at each size on an idle machine.
uint64_t RoundEvents(uint32_t payload, bool smoke) {
  if (smoke) return 256;
  if (payload <= 64) return 300000;
  if (payload <= 4096) return 100000;
  if (payload <= 65536) return 10000;
  return 1000;
}

std::unique_ptr<BenchControl> ControlFor(const Shape& shape) {
  std::unique_ptr<BenchControl> control = bench::MakeControl();
  control->payload = shape.payload;
  control->producers = shape.producers;
  control->subscribers = shape.subscribers;
  control->window = kWindow;
  return control;
}

constexpr int kRounds = 5;

double Median(std::vector<double> rates) {
  std::sort(rates.begin(), rates.end());
  return rates[rates.size() / 2];
}

double Rate(BenchControl& control, uint64_t perProducer) {
  return 1e9 * static_cast<double>(perProducer * control.producers) /
         static_cast<double>(bench::RunRound(control, perProducer));
}

// The bus and ZeroMQ side by side: a warm-up round each, then timed rounds
// taking turns, so that whatever else the machine does in the meantime
// falls on both alike; each figure is the median of its rounds.  Then the
// bus's allocations in steady state: over a round of N and one of 10N
// events, the difference over 9N is what each further event costs, start-up
// and growth excluded.
void MeasurePair(const Shape& shape, const std::string& pluginDir, bool smoke, Figures& figures) {
  std::vector<std::string> plugins;
  for (uint32_t i = 0; i < shape.producers; ++i) plugins.push_back("producer" + std::to_string(i) + ".dll");
  for (uint32_t i = 0; i < shape.subscribers; ++i) plugins.push_back("subscriber" + std::to_string(i) + ".dll");
  // The plugins find the control block published last as they load.
  std::unique_ptr<BenchControl> busControl = ControlFor(shape);
  bench::BusCore core(pluginDir, plugins, *busControl);
  std::unique_ptr<BenchControl> zmqControl = ControlFor(shape);
  bench::ZmqPeer peer(*zmqControl);
  const uint64_t perProducer = RoundEvents(shape.payload, smoke) / shape.producers;

  bench::RunRound(*busControl, perProducer);
  bench::RunRound(*zmqControl, perProducer);
  std::vector<double> bus, zeromq;
  for (int round = 0; round < kRounds; ++round) {
    bus.push_back(Rate(*busControl, perProducer));
    zeromq.push_back(Rate(*zmqControl, perProducer));
  }
  figures.bus = Median(bus);
  figures.zeromq = Median(zeromq);

  // Steady state: long rounds first let the pools grow to the largest
  // number of blocks in flight that a round of 10N reaches.
  for (int round = 0; round < 3; ++round) bench::RunRound(*busControl, perProducer * 10);
  bench::SetAllocationCounting(true);
  const uint64_t before = bench::Allocations();
  bench::RunRound(*busControl, perProducer);
  const uint64_t afterN = bench::Allocations();
  bench::RunRound(*busControl, perProducer * 10);
  const uint64_t after10N = bench::Allocations();
  bench::SetAllocationCounting(false);
  const double n = static_cast<double>(perProducer * shape.producers);
  figures.allocationsPerEvent =
      (static_cast<double>(after10N - afterN) - static_cast<double>(afterN - before)) / (9 * n);
}

// One memcpy of the payload per event in one thread, into a ring of
// preallocated buffers: the best of rings of 2, 8 and 64 buffers.
double MeasureFloor(uint32_t payload, bool smoke) {
  const uint64_t events = smoke ? 1000 : std::min<uint64_t>(20000000, (uint64_t{2} << 30) / payload);
  std::vector<unsigned char> source(payload, 's');
  double best = 0;
  for (size_t ringSize : {2, 8, 64}) {
    std::vector<std::vector<unsigned char>> ring(ringSize, std::vector<unsigned char>(payload, 0));
    std::vector<unsigned char*> slots;
    for (auto& buffer : ring) slots.push_back(buffer.data());
    const int64_t start = bench::NowNs();
    for (uint64_t i = 0; i < events; ++i) {
      unsigned char* target = slots[i % ringSize];
      std::memcpy(target, source.data(), payload);
      asm volatile("" : : "r"(target) : "memory");  // the copy must happen
    }
    const double rate = 1e9 * static_cast<double>(events) / static_cast<double>(bench::NowNs() - start);
    best = std::max(best, rate);
  }
  return best;
}

std::string SizeName(uint32_t payload) {
  if (payload >= (1u << 20)) return std::to_string(payload >> 20) + " MiB";
  if (payload >= 1024) return std::to_string(payload >> 10) + " KiB";
  return std::to_string(payload) + " B";
}

void Print(const Shape& shape, const Figures& f) {
  std::printf("%-7s %uP%uS  %13.0f %13.0f %13.0f  %7.2fx %7.3fx  %6.3f\n", SizeName(shape.payload).c_str(),
              shape.producers, shape.subscribers, f.bus, f.zeromq, f.floor, f.bus / f.zeromq, f.bus / f.floor,
              f.allocationsPerEvent);
  std::fflush(stdout);
}

// Measures `shape` in a fresh process: this executable with --shape --row.
bool MeasureApart(const Shape& shape, bool smoke, Figures& figures) {
  // popen runs a shell, whose /proc/self/exe is the shell: resolve it here.
  static const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string command = self + " --row" + std::string(smoke ? " --smoke" : "") + " --shape " +
                              std::to_string(shape.payload) + " " + std::to_string(shape.producers) + " " +
                              std::to_string(shape.subscribers);
  FILE* child = popen(command.c_str(), "r");
  if (child == nullptr) return false;
  char line[512];
  bool found = false;
  while (std::fgets(line, sizeof line, child) != nullptr) {
    found = found || std::sscanf(line, "row %lf %lf %lf %lf", &figures.bus, &figures.zeromq, &figures.floor,
                                 &figures.allocationsPerEvent) == 4;
  }
  return pclose(child) == 0 && found;
}

void WriteJson(const std::string& path, const std::vector<Shape>& shapes, const std::vector<Figures>& figures) {
  FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) {
    std::perror(path.c_str());
    std::exit(2);
  }
  std::fprintf(out, "[\n");
  for (size_t i = 0; i < shapes.size(); ++i) {
    const Shape& s = shapes[i];
    const Figures& f = figures[i];
    std::fprintf(out,
                 "  {\"payload\": %u, \"producers\": %u, \"subscribers\": %u, \"bus_events_per_s\": %.0f, "
                 "\"zeromq_events_per_s\": %.0f, \"floor_events_per_s\": %.0f, "
                 "\"bus_heap_allocations_per_event\": %.4f}%s\n",
                 s.payload, s.producers, s.subscribers, f.bus, f.zeromq, f.floor, f.allocationsPerEvent,
                 i + 1 < shapes.size() ? "," : "");
  }
  std::fprintf(out, "]\n");
  std::fclose(out);
}

}  // namespace

int main(int argc, char** argv) {
  bool smoke = false, row = false;
  std::string json;
  std::vector<Shape> shapes;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smoke") == 0) {
      smoke = true;
    } else if (std::strcmp(argv[i], "--row") == 0) {
      row = true;
    } else if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) {
      json = argv[++i];
    } else if (std::strcmp(argv[i], "--shape") == 0 && i + 3 < argc) {
      const auto number = [&] { return static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10)); };
      const uint32_t payload = number(), producers = number(), subscribers = number();
      if (payload == 0 || producers == 0 || producers > bench::kMaxProducers || subscribers == 0 ||
          subscribers > bench::kMaxSubscribers) {
        std::fprintf(stderr, "bench_bus: bad shape\n");
        return 2;
      }
      shapes.push_back({payload, producers, subscribers});
    }
  }
  const bool apart = shapes.empty();
  if (apart) {
    for (uint32_t payload : {64u, 4096u, 65536u, 1u << 20})
      for (auto [producers, subscribers] : {std::pair{1u, 1u}, {1u, 4u}, {4u, 1u}})
        shapes.push_back({payload, producers, subscribers});
  }

  if (!row) std::printf("payload shape  bus events/s  zmq events/s  floor events/s  bus/zmq bus/floor  allocs/event\n");
  std::vector<Figures> figures(shapes.size());
  for (size_t i = 0; i < shapes.size(); ++i) {
    if (apart) {
      if (!MeasureApart(shapes[i], smoke, figures[i])) {
        std::fprintf(stderr, "bench_bus: the run of shape %zu failed\n", i);
        return 1;
      }
    } else {
      MeasurePair(shapes[i], BENCH_PLUGIN_DIR, smoke, figures[i]);
      figures[i].floor = MeasureFloor(shapes[i].payload, smoke);
    }
    if (row) {
      std::printf("row %.1f %.1f %.1f %.6f\n", figures[i].bus, figures[i].zeromq, figures[i].floor,
                  figures[i].allocationsPerEvent);
    } else {
      Print(shapes[i], figures[i]);
    }
  }
  if (!json.empty()) WriteJson(json, shapes, figures);
  return 0;
}
