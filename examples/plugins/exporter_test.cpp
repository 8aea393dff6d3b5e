// Test of the exporter exporter.dll: it sends its read request from the run
// thread, writes the answers to its file, and cancels the request at Close
// when the stream has not ended.
#include <gtest/gtest.h>

#include <algorithm>

#include "camera_protocol.h"
#include "fake_core.h"
#include "plugin_support.h"

namespace example_test {
namespace {

TEST(ExporterTest, RequestsARecordingWritesTheAnswersAndCancelsAtClose) {
  ScopedWorkDir dir;
  WriteTextFile("exporter.conf", "camera = 1\nafter_seconds = 0\n");
  FakeCore core(EXAMPLE_PLUGIN_DIR "/exporter.dll");
  LoadReply load;
  ASSERT_EQ(core.Load(&load), 0);
  EXPECT_EQ(load.subscriptionMasks[7], RECORDING_ANSWER_QUEUED_KEY);
  core.StartRun();
  ASSERT_EQ(core.Open(), 0);
  uint32_t requestID = 0;
  ASSERT_TRUE(core.WaitUntil([&](const std::vector<Written>& events) {
    for (const Written& w : events) {
      if (w.event.providerID == 0 && w.event.eventType == RECORDING_EVENT_CLASS &&
          w.event.eventSubtype == RECORDING_REQUEST_SUBTYPE && w.payload == "1")
        requestID = w.event.requestID;
    }
    return requestID != 0;
  }));
  for (const char* chunk : {"abc", "def"}) {
    CoreEvent answer = example::MakeEvent(0x00030000u, RECORDING_EVENT_CLASS, RECORDING_ANSWER_SUBTYPE, chunk, 3);
    answer.requestID = requestID;
    WriteReply reply;
    EXPECT_EQ(core.Write(answer, &reply), 0);
    answer.requestID = requestID + 1;  // another client's answer
    EXPECT_EQ(core.Write(answer, &reply), 0);
  }
  core.Close();
  core.JoinRun();
  core.Unload();
  EXPECT_EQ(ReadTextFile("exports/camera-1.rec"), "abcdef");
  const std::vector<Written> events = core.events();
  EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const Written& w) {
    return w.event.eventType == EVENT_CANCEL_REQUEST && w.event.providerID == 0 && w.event.requestID == requestID;
  }));
}

}  // namespace
}  // namespace example_test
