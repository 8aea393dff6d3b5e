// Test of the exporter exporter.dll: it asks for its range, turns its own
// request's answers into one MP4 file that plays from the first frame, and
// cancels the request at Close when the stream has not ended.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "camera_protocol.h"
#include "fake_core.h"
#include "media_test_support.h"
#include "plugin_support.h"

namespace example_test {

const std::vector<Written>& CameraEvents();  // recorder_test.cpp

namespace {

uint32_t AwaitRequest(FakeCore& core, const std::string& text) {
  uint32_t requestID = 0;
  EXPECT_TRUE(core.WaitUntil([&](const std::vector<Written>& events) {
    for (const Written& w : events)
      if (w.event.providerID == 0 && w.event.eventSubtype == RECORDING_REQUEST_SUBTYPE && w.payload == text)
        requestID = w.event.requestID;
    return requestID != 0;
  }));
  return requestID;
}

void Answer(FakeCore& core, uint32_t requestID, const std::string& payload) {
  CoreEvent answer = example::MakeEvent(0x00030000u, RECORDING_EVENT_CLASS, RECORDING_ANSWER_SUBTYPE,
                                        payload.empty() ? nullptr : payload.data(),
                                        static_cast<int32_t>(payload.size()));
  answer.requestID = requestID;
  core.Write(answer);
}

bool Logged(FakeCore& core, const std::string& text) {
  const std::vector<Written> events = core.events();
  return std::any_of(events.begin(), events.end(),
                     [&](const Written& w) { return w.payload.find(text) != std::string::npos; });
}

TEST(ExporterTest, WritesItsOwnAnswersIntoOnePlayableFileAndCancelsAnUnfinishedRequest) {
  const std::vector<Written>& camera = CameraEvents();
  ASSERT_EQ(camera.size(), 76u);
  ScopedWorkDir dir;
  WriteTextFile("exporter.conf", "camera = door\nafter_seconds = 0\nfrom_ms = 1000\nto_ms = 4000\n");
  {
    FakeCore core(EXAMPLE_PLUGIN_DIR "/exporter.dll");
    core.Load();
    ASSERT_EQ(core.Open(), 0);
    const uint32_t id = AwaitRequest(core, "door 1000 4000");
    ASSERT_NE(id, 0u);
    for (size_t i = 0; i < camera.size(); ++i) {
      Answer(core, id, camera[i].payload);
      if (i == 10) Answer(core, id + 1, camera[5].payload);  // another client's answer
    }
    Answer(core, id, "");
    core.Stop();
    EXPECT_TRUE(Logged(core, "export of camera door done: exports/door-19700101T000001Z.mp4, 75 frames, 3.00 s"));
    const std::vector<media_test::Packet> packets = media_test::Packets("exports/door-19700101T000001Z.mp4");
    ASSERT_EQ(packets.size(), 75u);
    EXPECT_TRUE(packets[0].key && packets[0].dts == 0);
    EXPECT_EQ(media_test::DecodeErrors("exports/door-19700101T000001Z.mp4"), "");
  }
  {
    FakeCore core(EXAMPLE_PLUGIN_DIR "/exporter.dll");
    core.Load();
    ASSERT_EQ(core.Open(), 0);
    const uint32_t id = AwaitRequest(core, "door 1000 4000");
    for (size_t i = 0; i < 30; ++i) Answer(core, id, camera[i].payload);
    core.Stop();
    const std::vector<Written> events = core.events();
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const Written& w) {
      return w.event.eventType == EVENT_CANCEL_REQUEST && w.event.providerID == 0 && w.event.requestID == id;
    }));
    EXPECT_TRUE(Logged(core, "export of camera door cancelled: exports/door-19700101T000001Z.mp4, 29 frames"));
    EXPECT_EQ(media_test::Packets("exports/door-19700101T000001Z.mp4").size(), 29u);
  }
}

}  // namespace
}  // namespace example_test
