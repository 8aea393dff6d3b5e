// Test of the recorder recorder.dll beyond what the demo shows (which
// streams a recording back whole): recording starts at a key frame, gaps are
// reported, only camera frames are kept, requests it cannot serve get just
// the end marker, and a refused answer ends the stream at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "camera_protocol.h"
#include "fake_core.h"
#include "plugin_support.h"

namespace example_test {
namespace {

TEST(RecorderTest, RecordsFromAKeyFrameAndStreamsUntilARefusal) {
  ScopedWorkDir dir;
  WriteTextFile("recorder.conf", "read_chunk = 1024\n");
  FakeCore core(EXAMPLE_PLUGIN_DIR "/recorder.dll");
  core.Load();
  ASSERT_EQ(core.Open(), 0);
  // Delivers a frame in a malloc'ed block, as the core does; returns its bytes.
  auto deliver = [&](uint32_t sequence, bool key, size_t size, uint32_t subtype = CAMERA_FRAME_SUBTYPE) {
    std::string bytes(size, static_cast<char>(sequence));
    const CameraFrameHeader header{CAMERA_FRAME_MAGIC, 1, key, 0, sequence,
                                   static_cast<uint32_t>(size - sizeof header), 0, 0};
    std::memcpy(bytes.data(), &header, sizeof header);
    void* block = std::malloc(size);
    std::memcpy(block, bytes.data(), size);
    const WriteReply reply =
        core.Write(example::MakeEvent(0x00020002u, EVENT_VIDEO, subtype, block, static_cast<int32_t>(size)));
    EXPECT_EQ(reply.keepBlock, subtype == CAMERA_FRAME_SUBTYPE ? 1u : 0u) << sequence;
    if (reply.keepBlock == 0) std::free(block);
    return bytes;
  };
  std::string recording;
  deliver(3, false, 900);  // before the first key frame: released, not recorded
  for (uint32_t seq : {4u, 5u, 8u, 9u}) recording += deliver(seq, seq == 4, 1000);
  deliver(10, true, 64, SUBTYPE_VIDEO_FRAME);  // not a camera frame: not kept
  ASSERT_TRUE(core.WaitUntil([](const std::vector<Written>& events) {
    return std::count_if(events.begin(), events.end(), [](const Written& w) {
             return w.event.eventType == EVENT_BLOCK_RELEASE && w.event.providerID == 0x00030000u;
           }) == 5;
  }));

  EXPECT_TRUE(ReadTextFile("recordings/camera-1.rec") == recording);
  const std::vector<Written> events = core.events();
  EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const Written& w) {
    return w.payload.c_str() == std::string("camera 1: 2 frames missing before frame 8");
  }));

  // Answers come from this thread: the fake refuses them from any other.
  auto answers = [&](uint32_t requestID) {
    std::vector<std::string> payloads;
    for (const Written& w : core.events())
      if (w.event.requestID == requestID && w.event.eventSubtype == RECORDING_ANSWER_SUBTYPE)
        payloads.push_back(w.code == WRITE_ACCEPTED ? w.payload : "refused");
    return payloads;
  };
  uint32_t id = 100;  // requests it cannot serve still get the end marker
  for (const char* request : {"7", "x", "1x", ""}) {
    core.Read(request, ++id);
    EXPECT_EQ(answers(id), std::vector<std::string>{""}) << request;
  }
  // A refusal (the client cancelled) ends the stream: nothing follows it, not even the end.
  core.decide = [n = 0](const CoreEvent& e) mutable { return e.requestID == 9 && ++n > 1 ? WRITE_REFUSED : 0; };
  core.Read(std::string("1\0", 2), 9);
  EXPECT_TRUE(answers(9) == (std::vector<std::string>{recording.substr(0, 1024), "refused"}));
}

}  // namespace
}  // namespace example_test
