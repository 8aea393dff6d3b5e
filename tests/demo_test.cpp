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
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The core's own threshold at 0, so that level-0 lines (the loaded plugins,
// a leak report) reach the console.
constexpr char kCoreXmlAtLevelZero[] =
    "<?xml version=\"1.0\"?>\n"
    "<Vexo Delta=\"0\">\n"
    "    <Memory ID=\"-2147483648\" Throttling=\"1\" />\n"
    "    <Modules>\n"
    "        <Module ID=\"-2147483648\" Name=\"Core\">\n"
    "            <Plugin ID=\"-2147483648\" Filename=\"core\" LogLevel=\"0\" LogLevelDefault=\"25\" />\n"
    "        </Module>\n"
    "    </Modules>\n"
    "</Vexo>\n";

std::string Packet(uint32_t kind, const std::string& payload) {
  const PipePacketHeader header{static_cast<uint32_t>(sizeof(PipePacketHeader) + payload.size()), 0,
                                kind, 0};
  std::string bytes(sizeof header, '\0');
  std::memcpy(bytes.data(), &header, sizeof header);
  return bytes + payload;
}

// Cuts a recording into frames and checks each: a valid header of this
// camera, a key frame first, sequence numbers without a gap, and the file
// ending on a frame boundary.  Returns the number of frames.
size_t CheckRecording(const std::string& data, unsigned camera) {
  size_t offset = 0, frames = 0;
  uint32_t last = 0;
  while (offset < data.size()) {
    CameraFrameHeader header;
    if (data.size() - offset < sizeof header) {
      ADD_FAILURE() << "camera " << camera << ": partial header at " << offset;
      break;
    }
    std::memcpy(&header, data.data() + offset, sizeof header);
    EXPECT_EQ(header.magic, CAMERA_FRAME_MAGIC) << "at " << offset;
    EXPECT_EQ(header.camera, camera) << "at " << offset;
    if (frames == 0) {
      EXPECT_EQ(header.keyFrame, 1) << "camera " << camera << " starts without a key frame";
    } else {
      EXPECT_EQ(header.sequence, last + 1) << "camera " << camera << ": gap before frame " << frames;
    }
    if (header.magic != CAMERA_FRAME_MAGIC || header.payloadSize > data.size()) break;
    last = header.sequence;
    offset += sizeof header + header.payloadSize;
    ++frames;
  }
  EXPECT_EQ(offset, data.size()) << "camera " << camera << ": recording ends inside a frame";
  return frames;
}

class DemoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() / ("core-demo-" + std::to_string(std::random_device()()));
    fs::remove_all(directory_);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(directory_);  // kept for a look after a failure
  }

  // The demo set-up, then this test's two changes: the core's threshold at 0
  // and the export one second after start.
  void SetUpDemoDirectory() {
    platform::ChildProcess setup;
    ASSERT_TRUE(setup.Start(DEMO_SCRIPT, {DEMO_SCRIPT, "--build", BUILD_DIRECTORY, "--setup-only",
                                          directory_.string()}));
    ASSERT_EQ(setup.Wait(seconds(60)), 0) << setup.Stderr();
    std::ofstream(directory_ / "core.xml") << kCoreXmlAtLevelZero;

    std::istringstream conf(ReadFile(directory_ / "exporter.conf"));
    std::string text, line;
    bool replaced = false;
    while (std::getline(conf, line)) {
      if (line.rfind("after_seconds", 0) == 0) {
        line = "after_seconds = 1";
        replaced = true;
      }
      text += line + "\n";
    }
    ASSERT_TRUE(replaced) << "exporter.conf has no after_seconds line";
    std::ofstream(directory_ / "exporter.conf") << text;
  }

  fs::path directory_;
};

TEST_F(DemoTest, RecordsExportsAndStopsOnAStopPacket) {
  ASSERT_NO_FATAL_FAILURE(SetUpDemoDirectory());
  int own = -1, coreEnd = -1;
  ASSERT_TRUE(platform::CreateStreamSocketPair(&own, &coreEnd));
  platform::ChildProcess core;
  const std::string executable = (directory_ / "core").string();
  const bool started = core.Start(executable, {executable, std::to_string(coreEnd)},
                                  directory_.string(), {coreEnd});
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
  const std::string status = ReadFile(directory_ / "plugins.xml");
  EXPECT_NE(status.find("Filename=\"statusview.dll\""), std::string::npos) << status;
  EXPECT_EQ(status.find("OpenCode=\"-"), std::string::npos) << status;

  // The log file has the start line; the stop line reaches only the console.
  EXPECT_NE(ReadFile(directory_ / "logs" / "core.log").find("successfully started core version"),
            std::string::npos);

  // Both cameras recorded from a key frame on, without a gap.
  std::string recordings[2];
  for (unsigned camera = 0; camera < 2; ++camera) {
    recordings[camera] =
        ReadFile(directory_ / "recordings" / ("camera-" + std::to_string(camera) + ".rec"));
    EXPECT_GT(CheckRecording(recordings[camera], camera), 1u) << "camera " << camera;
  }

  // The exporter's copy, made from the recorder's answers, is the start of
  // the recording byte for byte.
  EXPECT_NE(out.find("export of camera 0 done"), std::string::npos) << out;
  const std::string exported = ReadFile(directory_ / "exports" / "camera-0.rec");
  EXPECT_FALSE(exported.empty());
  EXPECT_LE(exported.size(), recordings[0].size());
  EXPECT_TRUE(recordings[0].compare(0, exported.size(), exported) == 0)
      << "the export differs from the recording";
}

}  // namespace
