// The demo as a test: the directory `make demo` runs (set up by the same
// script), with its two cameras pointed at a test RTSP source of the test's
// own, run under a supervisor socket until the export is done and stopped
// with a stop packet.  Afterwards the recordings, the log file, the export
// and the console are checked the way an operator would look at them: the
// MP4 files with ffprobe and ffmpeg.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "examples/plugins/media_test_support.h"
#include "platform/subprocess.h"
#include "platform/supervisor_link.h"
#include "recording-core/plugin_abi.h"
#include "rtsp_test_source.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

std::string ReadFile(const fs::path& path) {
  std::ostringstream text;
  text << std::ifstream(path, std::ios::binary).rdbuf();
  return text.str();
}

// The core's own threshold at 0, so that level-0 lines (the loaded plugins,
// a leak report) reach the console.
constexpr char kCoreXmlAtLevelZero[] =
    "<?xml version=\"1.0\"?>\n<Vexo Delta=\"0\"><Memory ID=\"-2147483648\" Throttling=\"1\"/><Modules>"
    "<Module ID=\"-2147483648\" Name=\"Core\"><Plugin ID=\"-2147483648\" Filename=\"core\" LogLevel=\"0\" "
    "LogLevelDefault=\"25\"/></Module></Modules></Vexo>\n";

std::string Packet(uint32_t kind, const std::string& payload) {
  const PipePacketHeader header{static_cast<uint32_t>(sizeof(PipePacketHeader) + payload.size()), 0, kind, 0};
  return std::string(reinterpret_cast<const char*>(&header), sizeof header) + payload;
}

// Checks a segment or an export as a player sees it: a key frame first,
// decoding without an error; returns its number of frames.
size_t CheckPlayable(const fs::path& file) {
  const std::vector<media_test::Packet> packets = media_test::Packets(file.string());
  EXPECT_TRUE(!packets.empty() && packets[0].key) << file << ": no key frame first";
  EXPECT_EQ(media_test::DecodeErrors(file.string()), "") << file;
  return packets.size();
}

// The demo set-up, then this test's changes: the core's threshold at 0, the
// cameras at the test's source, an export of two seconds five seconds
// after start and the status page on any free port (a later line wins).
TEST(DemoTest, RecordsExportsAndStopsOnAStopPacket) {
  testing_rtsp::RtspTestSource source;
  ASSERT_TRUE(source.Start());
  const fs::path directory = fs::temp_directory_path() / ("core-demo-" + std::to_string(std::random_device()()));
  platform::ChildProcess setup;
  ASSERT_TRUE(setup.Start(DEMO_SCRIPT,
                          {DEMO_SCRIPT, "--build", BUILD_DIRECTORY, "--setup-only", directory.string()}));
  ASSERT_EQ(setup.Wait(seconds(60)), 0) << setup.Stderr();
  std::ofstream(directory / "core.xml") << kCoreXmlAtLevelZero;
  std::ofstream(directory / "exporter.conf", std::ios::app)
      << "after_seconds = 5\nseconds = 2\nlag_seconds = 2\n";
  std::ofstream(directory / "ipcam.conf", std::ios::app)
      << "camera0 = cam0 " << source.Url(0) << "\ncamera1 = cam1 " << source.Url(1) << "\n";
  std::ofstream(directory / "webview.conf", std::ios::app) << "port = 0\n";  // any free port
  EXPECT_FALSE(fs::exists(directory / "plugins" / "camsim.dll")) << "the simulator is for tests only";

  int own = -1, coreEnd = -1;
  ASSERT_TRUE(platform::CreateStreamSocketPair(&own, &coreEnd));
  platform::ChildProcess core;
  const std::string executable = (directory / "core").string();
  const bool started = core.Start(executable, {executable, std::to_string(coreEnd)},
                                  directory.string(), {coreEnd});
  platform::CloseDescriptor(coreEnd);
  ASSERT_TRUE(started);

  // The core waits for the supervisor's introduction before it opens the
  // plugins; one that arrives before the wait begins is not seen, so it is
  // repeated until the core reports its start.
  const std::string info = Packet(PIPE_KIND_INFO, std::string("demo_test\0" "1.0", 12));
  const auto deadline = std::chrono::steady_clock::now() + seconds(60);
  bool running = false;
  while (!running && std::chrono::steady_clock::now() < deadline) {
    platform::WriteAll(own, info.data(), info.size());
    running = core.WaitForOutput("successfully started core version", milliseconds(250));
  }
  ASSERT_TRUE(running) << core.Stdout();
  EXPECT_TRUE(core.WaitForOutput("export of camera cam0 done", seconds(60))) << core.Stdout();
  const std::string stop = Packet(PIPE_KIND_STOP, "");
  ASSERT_TRUE(platform::WriteAll(own, stop.data(), stop.size()));
  const int code = core.Wait(seconds(60));
  platform::CloseDescriptor(own);
  const std::string out = core.Stdout();
  ASSERT_EQ(code, 0) << out << core.Stderr();

  // The threshold took effect, and no block was held past the stop.
  EXPECT_NE(out.find("Core: Loaded plugin: recorder.dll"), std::string::npos) << out;
  EXPECT_NE(out.find("stopping core version"), std::string::npos) << out;
  EXPECT_EQ(out.find("leaked by plugins"), std::string::npos) << out;

  // Every plugin of the demo opened cleanly.
  const std::string status = ReadFile(directory / "plugins.xml");
  EXPECT_NE(status.find("Filename=\"statusview.dll\""), std::string::npos) << status;
  EXPECT_EQ(status.find("OpenCode=\"-"), std::string::npos) << status;

  // The log file has the start line; the stop line reaches only the console.
  EXPECT_NE(ReadFile(directory / "logs" / "core.log").find("successfully started core version"),
            std::string::npos);

  // Both cameras recorded playable segments, listed in their index.
  for (const char* camera : {"cam0", "cam1"}) {
    const fs::path folder = directory / "recordings" / camera;
    const std::string index = ReadFile(folder / "index");
    EXPECT_NE(index.find("closed "), std::string::npos) << camera << ": " << index;
    size_t segments = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      if (entry.path().extension() != ".mp4") continue;
      ++segments;
      EXPECT_NE(index.find(entry.path().filename().string()), std::string::npos) << entry.path();
      EXPECT_GT(CheckPlayable(entry.path()), 25u) << entry.path();
    }
    EXPECT_GE(segments, 1u) << camera;
  }

  // The exporter's file, made from the recorder's answers, plays from its
  // first frame and holds about the two seconds asked for.
  EXPECT_NE(out.find("export of camera cam0 done: exports/cam0-"), std::string::npos) << out;
  size_t exports = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(directory / "exports")) {
    ++exports;
    EXPECT_GE(CheckPlayable(entry.path()), 50u) << entry.path();
  }
  EXPECT_EQ(exports, 1u);
  if (!::testing::Test::HasFailure()) fs::remove_all(directory);  // kept for a look after a failure
}

}  // namespace
