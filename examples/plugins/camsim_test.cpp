// Tests of the camera simulator camsim.dll beyond what the demo shows: the
// key frame interval, a key frame right after a refusal, frame size and
// provider id per camera, and the run thread ending at Close without Open.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "camera_protocol.h"
#include "fake_core.h"
#include "status_events.h"

namespace example_test {
namespace {

using Frames = std::map<uint16_t, std::vector<std::pair<CoreEvent, CameraFrameHeader>>>;

Frames ByCamera(const std::vector<Written>& events) {
  Frames cameras;
  for (const Written& w : events) {
    CameraFrameHeader header;
    if (w.event.eventType != EVENT_VIDEO || w.payload.size() < sizeof header) continue;
    std::memcpy(&header, w.payload.data(), sizeof header);
    cameras[header.camera].emplace_back(w.event, header);
  }
  return cameras;
}

TEST(CamsimTest, NumberedFramesPerCameraWithKeyFramesEveryNAndAfterARefusal) {
  ScopedWorkDir dir;
  WriteTextFile("camsim.conf", "cameras = 2\nfps = 200\nframe_bytes = 256\nkey_interval = 4\n");
  FakeCore core(EXAMPLE_PLUGIN_DIR "/camsim.dll");
  core.decide = [](const CoreEvent& event) {  // camera 1's frame 5 is throttled
    uint32_t sequence = 0;
    if (event.eventType == EVENT_VIDEO) std::memcpy(&sequence, static_cast<char*>(event.data) + 8, 4);
    return event.providerID == 0x00020002u && sequence == 5 ? WRITE_THROTTLED : WRITE_ACCEPTED;
  };
  core.Load();
  ASSERT_EQ(core.Open(), 0);
  EXPECT_TRUE(core.WaitUntil([](const std::vector<Written>& events) {
    const Frames cameras = ByCamera(events);
    return cameras.size() == 2 && cameras.at(0).size() >= 10 && cameras.at(1).size() >= 10;
  }));
  core.Stop();
  // Each camera tells viewers it is there, as a real camera plugin does.
  for (const char* id : {"Id=\"0x00020001\" Url=\"\" Connected=\"1\"", "Id=\"0x00020002\" Url=\"\" Connected=\"1\""}) {
    const std::vector<Written> events = core.events();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const Written& w) {
      return w.event.eventSubtype == CAMERA_STATUS_SUBTYPE && w.payload.find(id) != std::string::npos &&
             w.payload.find("Fps=\"200.00\"") != std::string::npos;
    })) << id;
  }
  for (const auto& [camera, frames] : ByCamera(core.events())) {
    for (uint32_t i = 0; i < frames.size(); ++i) {
      const auto& [event, header] = frames[i];
      EXPECT_EQ(event.providerID, 0x00020000u | (camera + 1u));
      EXPECT_EQ(header.sequence, i);
      EXPECT_TRUE(event.dataSize == 256 && header.payloadSize == 256 - sizeof header);
      EXPECT_EQ(event.attributes.keyFrame, i % 4 == 0 || (camera == 1 && i == 6)) << camera << "/" << i;
      EXPECT_EQ(header.keyFrame, event.attributes.keyFrame);
    }
  }
}

TEST(CamsimTest, RunThreadEndsAtCloseWithoutOpen) {
  ScopedWorkDir dir;
  FakeCore core(EXAMPLE_PLUGIN_DIR "/camsim.dll");
  EXPECT_EQ(core.Load().runThread, 1);
  core.Stop();  // joins the run thread
  EXPECT_TRUE(ByCamera(core.events()).empty());
}

}  // namespace
}  // namespace example_test
