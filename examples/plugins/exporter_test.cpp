// Test of the exporter exporter.dll beyond what the demo shows: it keeps
// only its own request's answers and cancels the request at Close when the
// stream has not ended.
#include <gtest/gtest.h>

#include <algorithm>

#include "camera_protocol.h"
#include "fake_core.h"
#include "plugin_support.h"

namespace example_test {
namespace {

TEST(ExporterTest, KeepsItsOwnAnswersAndCancelsAnUnfinishedRequestAtClose) {
  ScopedWorkDir dir;
  WriteTextFile("exporter.conf", "camera = 1\nafter_seconds = 0\n");
  FakeCore core(EXAMPLE_PLUGIN_DIR "/exporter.dll");
  core.Load();
  ASSERT_EQ(core.Open(), 0);
  uint32_t requestID = 0;
  ASSERT_TRUE(core.WaitUntil([&](const std::vector<Written>& events) {
    for (const Written& w : events)
      if (w.event.providerID == 0 && w.event.eventSubtype == RECORDING_REQUEST_SUBTYPE && w.payload == "1")
        requestID = w.event.requestID;
    return requestID != 0;
  }));
  for (uint32_t id : {requestID, requestID + 1, requestID}) {  // the middle one is another client's
    CoreEvent answer = example::MakeEvent(0x00030000u, RECORDING_EVENT_CLASS, RECORDING_ANSWER_SUBTYPE,
                                          id == requestID ? "abc" : "xyz", 3);
    answer.requestID = id;
    core.Write(answer);
  }
  core.Stop();
  EXPECT_EQ(ReadTextFile("exports/camera-1.rec"), "abcabc");
  const std::vector<Written> events = core.events();
  EXPECT_TRUE(std::any_of(events.begin(), events.end(), [&](const Written& w) {
    return w.event.eventType == EVENT_CANCEL_REQUEST && w.event.providerID == 0 &&
           w.event.requestID == requestID;
  }));
}

}  // namespace
}  // namespace example_test
