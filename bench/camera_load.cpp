// bench_camera_load: a recording server's load through the bus.  64 cameras
// at 25 frames per second (frames of 40-200 KiB, a key frame every 50, about
// 200 MB/s) delivered to two subscribers, a recorder and an analyser that
// each read every byte.  Reports the CPU time of the whole process per
// second of video (getrusage; the stand-ins do nothing but write and read)
// and the write-to-delivery latency p50, p99 and max over every delivery.
//
// Usage: bench_camera_load [--seconds S] [--json FILE]
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bus_harness.h"

namespace {

double CpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 10;
  std::string json;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) seconds = std::atof(argv[++i]);
    else if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) json = argv[++i];
  }
  std::unique_ptr<bench::BenchControl> control = bench::MakeControl();
  control->mode = bench::Mode::kCameras;
  control->producers = 1;
  control->subscribers = 2;
  control->videoNs = static_cast<int64_t>(seconds * 1e9);
  std::vector<int64_t> latencies(static_cast<size_t>(seconds * 64 * 25 * 2) + 1024);
  control->latencies = latencies.data();
  control->latencyCapacity = latencies.size();

  bench::BusCore core(BENCH_PLUGIN_DIR, {"camera.dll", "subscriber0.dll", "subscriber1.dll"}, *control);
  const double cpuBefore = CpuSeconds();
  const int64_t start = bench::NowNs();
  control->round.Raise();
  for (uint32_t done = 0; (done = control->producersDone.value.load()) == 0;) control->producersDone.Wait(done);
  control->expected.store(control->written.value.load());
  bench::WaitForDeliveries(*control);
  const double videoSeconds = static_cast<double>(bench::NowNs() - start) / 1e9;
  const double cpuShare = (CpuSeconds() - cpuBefore) / videoSeconds;

  const size_t count = std::min<uint64_t>(control->latencyCount.value.load(), latencies.size());
  latencies.resize(count);
  std::sort(latencies.begin(), latencies.end());
  auto percentile = [&](double p) {
    return count == 0 ? 0.0 : static_cast<double>(latencies[std::min(count - 1, static_cast<size_t>(p * count))]) / 1e3;
  };
  const double p50 = percentile(0.50), p99 = percentile(0.99), max = percentile(1.0);
  std::printf("camera load: %.1f s of video, %llu frames written, %llu refused, %zu deliveries\n", videoSeconds,
              static_cast<unsigned long long>(control->written.value.load()),
              static_cast<unsigned long long>(control->refused.value.load()), count);
  std::printf("core_cpu_share %.4f  latency_us p50 %.0f  p99 %.0f  max %.0f\n", cpuShare, p50, p99, max);
  if (!json.empty()) {
    FILE* out = std::fopen(json.c_str(), "w");
    if (out == nullptr) {
      std::perror(json.c_str());
      return 2;
    }
    std::fprintf(out,
                 "{\"core_cpu_share\": %.4f, \"latency_us_p50\": %.1f, \"latency_us_p99\": %.1f, "
                 "\"latency_us_max\": %.1f, \"video_seconds\": %.2f, \"frames\": %llu}\n",
                 cpuShare, p50, p99, max, videoSeconds,
                 static_cast<unsigned long long>(control->written.value.load()));
    std::fclose(out);
  }
  return control->refused.value.load() == 0 ? 0 : 1;
}
