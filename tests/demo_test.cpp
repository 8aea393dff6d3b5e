// The demo as a test: the directory `make demo` runs (set up by the same
// script), run for a few seconds under a supervisor socket and stopped with
// a stop packet.  Afterwards the recordings, the log file, the export and
// the console are checked the way an operator would look at them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "examples/plugins/camera_protocol.h"
#include "platform/subprocess.h"
#include "platform/supervisor_link.h"

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

// Cuts a recording into frames and checks each: a valid header of this
// camera, a key frame first, sequence numbers without a gap, and the file
// ending on a frame boundary.  Returns the number of frames.
size_t CheckRecording(const std::string& data, unsigned camera) {
  size_t offset = 0, frames = 0;
  CameraFrameHeader header{}, previous{};
  for (; offset + sizeof header <= data.size(); offset += sizeof header + header.payloadSize, ++frames) {
    std::memcpy(&header, data.data() + offset, sizeof header);
    if (header.magic != CAMERA_FRAME_MAGIC || header.camera != camera) break;  // fails below
    EXPECT_TRUE(frames == 0 ? header.keyFrame == 1 : header.sequence == previous.sequence + 1)
        << "camera " << camera << ": no key frame first, or a gap before frame " << frames;
    previous = header;
  }
  EXPECT_EQ(offset, data.size()) << "camera " << camera << ": no whole frame at " << offset;
  return frames;
}

// The demo set-up, then this test's changes: the core's threshold at 0, the
// export one second after start and the status page on any free port (a
// later line wins).
TEST(DemoTest, RecordsExportsAndStopsOnAStopPacket) {
  const fs::path directory = fs::temp_directory_path() / ("core-demo-" + std::to_string(std::random_device()()));
  platform::ChildProcess setup;
  ASSERT_TRUE(setup.Start(DEMO_SCRIPT,
                          {DEMO_SCRIPT, "--build", BUILD_DIRECTORY, "--setup-only", directory.string()}));
  ASSERT_EQ(setup.Wait(seconds(60)), 0) << setup.Stderr();
  std::ofstream(directory / "core.xml") << kCoreXmlAtLevelZero;
  std::ofstream(directory / "exporter.conf", std::ios::app) << "after_seconds = 1\n";
  std::ofstream(directory / "webview.conf", std::ios::app) << "port = 0\n";  // any free port

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
  std::this_thread::sleep_for(seconds(4));
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

  // Both cameras recorded from a key frame on, without a gap.
  std::string recordings[2];
  for (unsigned camera = 0; camera < 2; ++camera) {
    recordings[camera] =
        ReadFile(directory / "recordings" / ("camera-" + std::to_string(camera) + ".rec"));
    EXPECT_GT(CheckRecording(recordings[camera], camera), 1u) << "camera " << camera;
  }

  // The exporter's copy, made from the recorder's answers, is the start of
  // the recording byte for byte.
  EXPECT_NE(out.find("export of camera 0 done"), std::string::npos) << out;
  const std::string exported = ReadFile(directory / "exports" / "camera-0.rec");
  EXPECT_FALSE(exported.empty());
  EXPECT_TRUE(recordings[0].compare(0, exported.size(), exported) == 0)
      << "the export differs from the recording";
  if (!::testing::Test::HasFailure()) fs::remove_all(directory);  // kept for a look after a failure
}

}  // namespace
