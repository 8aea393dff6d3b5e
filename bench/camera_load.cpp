// bench_camera_load: a recording server's load through the bus.  64 cameras
// at 25 frames per second (frames of 40-200 KiB, a key frame every 50, about
// 200 MB/s) delivered to two subscribers, a recorder and an analyser that
// each read every byte.  Reports the CPU time of the whole process per
// second of video (getrusage; the stand-ins do nothing but write and read)
// and the write-to-delivery latency p50, p99 and max over every delivery.
//
// The same load without the bus, in one thread, for comparison: each frame
// copied once into a recycled buffer and read through twice, on the same
// schedule (floor_cpu_share).  On a shared virtual machine a core that
// sleeps between frames finds its caches cold, and that floor shows what
// the copy and the reads alone cost there.
//
// Usage: bench_camera_load [--seconds S] [--json FILE]
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bus_harness.h"

namespace {

double CpuSeconds(int who = RUSAGE_SELF) {
  rusage usage;
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

uint64_t ReadEvery(const unsigned char* bytes, size_t size) {
  uint64_t sum = 0;
  for (size_t i = 0; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    sum += word;
  }
  return sum;
}

// The floor: the frames of the camera stand-in, on its schedule, copied
// into a ring of buffers and read twice in this thread.  Returns the
// thread's CPU time per second of video.
double FloorCpuShare(double seconds) {
  constexpr uint32_t kCameras = 64, kKeyFrameEvery = 50;
  constexpr size_t kMinFrame = 40 * 1024, kMaxFrame = 200 * 1024;
  constexpr int64_t kFramePeriodNs = 40000000;
  std::vector<unsigned char> frame(kMaxFrame, 'v');
  std::vector<std::vector<unsigned char>> ring(16, std::vector<unsigned char>(kMaxFrame));
  uint32_t random = 12345;
  uint64_t sum = 0;
  const uint64_t slots = static_cast<uint64_t>(seconds * 1e9 / kFramePeriodNs) * kCameras;
  const double cpuBefore = CpuSeconds(RUSAGE_THREAD);
  const int64_t start = bench::NowNs();
  for (uint64_t slot = 0; slot < slots; ++slot) {
    const uint64_t index = slot / kCameras;
    const bool key = index == 0 || (index + slot % kCameras) % kKeyFrameEvery == 0;
    random = random * 1664525u + 1013904223u;
    const size_t size = key ? kMaxFrame : kMinFrame + (random >> 8) % (kMaxFrame - kMinFrame);
    const int64_t due = start + static_cast<int64_t>(slot) * kFramePeriodNs / kCameras;
    timespec at{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
    unsigned char* target = ring[slot % ring.size()].data();
    std::memcpy(target, frame.data(), size);
    sum += ReadEvery(target, size) + ReadEvery(target, size);
  }
  const double videoSeconds = static_cast<double>(bench::NowNs() - start) / 1e9;
  asm volatile("" : : "r"(sum));
  return (CpuSeconds(RUSAGE_THREAD) - cpuBefore) / videoSeconds;
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
  const double floorShare = FloorCpuShare(seconds);
  std::printf("camera load: %.1f s of video, %llu frames written, %llu refused, %zu deliveries\n", videoSeconds,
              static_cast<unsigned long long>(control->written.value.load()),
              static_cast<unsigned long long>(control->refused.value.load()), count);
  std::printf("core_cpu_share %.4f (floor %.4f)  latency_us p50 %.0f  p99 %.0f  max %.0f\n", cpuShare,
              floorShare, p50, p99, max);
  if (!json.empty()) {
    FILE* out = std::fopen(json.c_str(), "w");
    if (out == nullptr) {
      std::perror(json.c_str());
      return 2;
    }
    std::fprintf(out,
                 "{\"core_cpu_share\": %.4f, \"latency_us_p50\": %.1f, \"latency_us_p99\": %.1f, "
                 "\"latency_us_max\": %.1f, \"floor_cpu_share\": %.4f, \"video_seconds\": %.2f, "
                 "\"frames\": %llu}\n",
                 cpuShare, p50, p99, max, floorShare, videoSeconds,
                 static_cast<unsigned long long>(control->written.value.load()));
    std::fclose(out);
  }
  return control->refused.value.load() == 0 ? 0 : 1;
}
