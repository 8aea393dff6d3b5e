// Real cameras end to end, as an operator meets them: the core with the
// camera plugin, the recorder and (later) the exporter in a demo directory,
// two cameras on a test RTSP source of the test's own on a free loopback
// port.  One run, in order:
//   1. half a minute of recording in 10-second segments: every segment
//      starts with a key frame, decodes without an error, holds 25 frames a
//      second within 2%, and follows the one before without a gap;
//   2. the source killed for 5 s and started again on its port: each camera
//      logs the loss and the reconnect, and records on in a new segment;
//   3. the core SIGKILLed while recording: the open segment still plays up
//      to within 2 s of the kill, and the next start closes it in the index;
//   4. that next start exports 10 s across the first segment boundary: the
//      file plays from its first frame and lasts 10 s +- one key-frame
//      interval (1 s).
// The figures are printed for the record.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "examples/plugins/media_test_support.h"
#include "lines_in_order.h"
#include "platform/subprocess.h"
#include "rtsp_test_source.h"
#include "tests/core_directory.h"

namespace {

using namespace testing_core;
using std::chrono::seconds;

int64_t UtcMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

using Entry = media_test::Segment;

// The segments of a camera's index, in the order they were opened.
std::vector<Entry> Segments(const fs::path& index) { return media_test::IndexedSegments(index.string()); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Duration of a media file as a player sees it: last frame's time plus one frame.
double Duration(const std::vector<media_test::Packet>& packets) {
  return packets.empty() ? 0.0 : packets.back().dts + 0.04;
}

TEST(CameraProcessTest, RecordsReconnectsSurvivesAKillAndExportsARange) {
  testing_rtsp::RtspTestSource source;
  ASSERT_TRUE(source.Start());
  const fs::path directory = fs::temp_directory_path() / ("core-cameras-" + std::to_string(std::random_device()()));
  platform::ChildProcess setup;
  ASSERT_TRUE(setup.Start(DEMO_SCRIPT, {DEMO_SCRIPT, "--build", BUILD_DIRECTORY, "--setup-only", directory.string()}));
  ASSERT_EQ(setup.Wait(seconds(120)), 0) << setup.Stderr();
  fs::rename(directory / "plugins" / "exporter.dll", directory / "exporter.dll.later");
  std::ofstream(directory / "ipcam.conf", std::ios::app)
      << "camera0 = front " << source.Url(0) << "\ncamera1 = back " << source.Url(1)
      << "\nretry_max_ms = 1000\nstall_seconds = 2\n";
  std::ofstream(directory / "recorder.conf", std::ios::app) << "segment_seconds = 10\n";
  const std::string executable = (directory / "core").string();
  const fs::path recordings = directory / "recordings";

  // 1. Half a minute: three closed segments per camera.
  platform::ChildProcess core;
  ASSERT_TRUE(core.Start(executable, {executable}, directory.string()));
  ASSERT_TRUE(core.WaitForOutput("camera back connected to", seconds(60))) << core.Stdout();
  ASSERT_TRUE(core.WaitForOutput("camera front connected to", seconds(60))) << core.Stdout();
  ASSERT_TRUE(WaitUntil(
      [&] {
        for (const char* camera : {"front", "back"}) {
          const std::vector<Entry> s = Segments(recordings / camera / "index");
          if (std::count_if(s.begin(), s.end(), [](const Entry& e) { return e.end != 0; }) < 3) return false;
        }
        return true;
      },
      seconds(90)))
      << core.Stdout();

  // 2. The source gone for five seconds, then back on its port.
  const int64_t lossMs = UtcMs();
  const int port = source.port();
  source.Kill();
  EXPECT_TRUE(core.WaitForOutput("camera front lost rtsp://127.0.0.1:" + std::to_string(port) + "/cam0", seconds(30)));
  std::this_thread::sleep_for(seconds(5));  // the outage itself
  ASSERT_TRUE(source.Start(port));
  EXPECT_TRUE(core.WaitForOutput("camera front reconnected to", seconds(30))) << core.Stdout();
  EXPECT_TRUE(core.WaitForOutput("camera back reconnected to", seconds(30))) << core.Stdout();
  // Recording resumes in a new segment; let it run a few fragments.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const std::vector<Entry> s = Segments(recordings / "front" / "index");
        return !s.empty() && s.back().start > lossMs && s.back().end == 0 &&
               fs::exists(recordings / "front" / s.back().file) &&
               fs::file_size(recordings / "front" / s.back().file) > 20000;
      },
      seconds(30)))
      << core.Stdout();
  // Recording goes on in the new segment: two more fragments (one per key
  // frame, a second apart) reach the file before the kill.
  const auto openSegment = [&] {
    const std::vector<Entry> s = Segments(recordings / "front" / "index");
    return recordings / "front" / s.back().file;
  };
  for (int fragment = 0; fragment < 2; ++fragment) {
    const auto before = fs::file_size(openSegment());
    ASSERT_TRUE(WaitUntil([&] { return fs::file_size(openSegment()) > before; }, seconds(30)));
  }

  // 3. The core killed in the middle of a segment.
  const int64_t killMs = UtcMs();
  core.Signal(SIGKILL);
  EXPECT_EQ(core.Wait(seconds(30)), 128 + SIGKILL);
  const std::string out = core.Stdout();
  for (const char* camera : {"front", "back"}) {
    const std::string name = camera;
    EXPECT_TRUE(testing_lines::InOrder(Lines(out), {"camera " + name + " connected to", "camera " + name + " lost",
                                                    "camera " + name + " reconnected to"}))
        << out;
  }

  for (const char* camera : {"front", "back"}) {
    const std::vector<Entry> segments = Segments(recordings / camera / "index");
    ASSERT_GE(segments.size(), 4u) << camera;
    uint64_t frames = 0;
    double seconds = 0;
    for (size_t i = 0; i < segments.size(); ++i) {
      const Entry& s = segments[i];
      const std::string path = (recordings / camera / s.file).string();
      const std::vector<media_test::Packet> packets = media_test::Packets(path);
      ASSERT_FALSE(packets.empty()) << path;
      EXPECT_TRUE(packets[0].key && packets[0].dts == 0) << path << ": no key frame first";
      EXPECT_EQ(media_test::DecodeErrors(path), "") << path;
      if (s.end == 0) {  // the segment open at the kill
        EXPECT_EQ(i, segments.size() - 1) << path;
        const int64_t playsTo = s.start + static_cast<int64_t>(Duration(packets) * 1000);
        std::printf("[ figures  ] %s: killed segment %s plays %.2f s, to %lld ms before the kill\n", camera,
                    s.file.c_str(), Duration(packets), static_cast<long long>(killMs - playsTo));
        EXPECT_GE(playsTo, killMs - 2000) << path;
        continue;
      }
      const double length = (s.end - s.start) / 1000.0;
      EXPECT_NEAR(Duration(packets), length, 0.05) << path;
      if (s.start < lossMs) {  // the first connection: 25 frames a second, no gaps
        frames += packets.size();
        seconds += length;
        EXPECT_NEAR(packets.size() / length, 25.0, 0.5) << path;
        if (i > 0) {
          EXPECT_LE(std::abs(s.start - segments[i - 1].end), 1) << "a gap before " << path;
        }
      } else {
        EXPECT_GE(s.start, lossMs + 4000) << path << " starts before the source came back";
      }
    }
    std::printf("[ figures  ] %s: %zu segments; before the loss %llu frames in %.2f s = %.2f fps\n", camera,
                segments.size(), static_cast<unsigned long long>(frames), seconds, frames / seconds);
  }

  // 4. The next start: the killed segment is closed in the index, and an
  // export of 10 s around the end of the first segment.
  const std::vector<Entry> front = Segments(recordings / "front" / "index");
  const int64_t boundary = front[0].end;
  fs::rename(directory / "exporter.dll.later", directory / "plugins" / "exporter.dll");
  std::ofstream(directory / "ipcam.conf") << "# no cameras this time\n";
  std::ofstream(directory / "exporter.conf", std::ios::app)
      << "camera = front\nafter_seconds = 0\nfrom_ms = " << boundary - 5000 << "\nto_ms = " << boundary + 5000
      << "\n";
  platform::ChildProcess again;
  ASSERT_TRUE(again.Start(executable, {executable}, directory.string()));
  EXPECT_TRUE(again.WaitForOutput("export of camera front done", seconds(60))) << again.Stdout();
  again.Signal(SIGINT);
  EXPECT_EQ(again.Wait(seconds(60)), 0) << again.Stdout();
  EXPECT_NE(again.Stdout().find("camera front: segment " + front.back().file + " was not closed, kept up to"),
            std::string::npos)
      << again.Stdout();
  EXPECT_NE(Segments(recordings / "front" / "index").back().end, 0);

  size_t exports = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory / "exports")) {
    ++exports;
    const std::vector<media_test::Packet> packets = media_test::Packets(entry.path().string());
    ASSERT_FALSE(packets.empty());
    EXPECT_TRUE(packets[0].key) << entry.path();
    EXPECT_EQ(media_test::DecodeErrors(entry.path().string()), "") << entry.path();
    EXPECT_NEAR(Duration(packets), 10.0, 1.0) << entry.path();
    std::printf("[ figures  ] export %s: %zu frames, %.2f s\n", entry.path().filename().c_str(), packets.size(),
                Duration(packets));
  }
  EXPECT_EQ(exports, 1u);
  if (!::testing::Test::HasFailure()) fs::remove_all(directory);  // kept for a look after a failure
}

}  // namespace
