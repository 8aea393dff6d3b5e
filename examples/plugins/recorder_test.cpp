// Tests of the recorder recorder.dll: each frame's block is kept and
// released once recorded, recordings start at a key frame and report gaps,
// and read requests are answered from the request thread in paced answers
// that end with an empty one, or at the first refusal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "camera_protocol.h"
#include "fake_core.h"
#include "plugin_support.h"

namespace example_test {
namespace {

constexpr uint32_t kRecorderId = 0x00030000u;

class RecorderTest : public ::testing::Test {
 protected:
  void Start(const std::string& settings) {
    WriteTextFile("recorder.conf", settings);
    LoadReply load;
    ASSERT_EQ(core_.Load(&load), 0);
    EXPECT_EQ(load.subscriptionMasks[0], CAMERA_FRAME_QUEUED_KEY);
    EXPECT_EQ(load.subscriptionMasks[7], RECORDING_REQUEST_BROADCAST_KEY);
    EXPECT_TRUE(load.acceptsWrite && load.acceptsRead);
    ASSERT_EQ(core_.Open(), 0);
  }
  void TearDown() override {  // harmless after a test's own Close
    core_.Close();
    core_.Unload();
  }

  // Delivers a frame in a malloc'ed block, as the core does; returns its bytes.
  std::string Deliver(uint16_t camera, uint32_t sequence, bool key, size_t size,
                      uint32_t subtype = CAMERA_FRAME_SUBTYPE) {
    std::string bytes(size, static_cast<char>(sequence));
    const CameraFrameHeader header{CAMERA_FRAME_MAGIC, camera, key, 0, sequence,
                                   static_cast<uint32_t>(size - sizeof header), 0, 0};
    std::memcpy(bytes.data(), &header, sizeof header);
    void* block = std::malloc(size);
    std::memcpy(block, bytes.data(), size);
    WriteReply reply;
    core_.Write(example::MakeEvent(0x00020001u, EVENT_VIDEO, subtype, block, static_cast<int32_t>(size)), &reply);
    EXPECT_EQ(reply.keepBlock, subtype == CAMERA_FRAME_SUBTYPE ? 1u : 0u);
    if (reply.keepBlock == 0) std::free(block);
    return bytes;
  }

  bool WaitForReleases(size_t count) {
    return core_.WaitUntil([&](const std::vector<Written>& events) {
      return std::count_if(events.begin(), events.end(), [](const Written& w) {
               return w.event.eventType == EVENT_BLOCK_RELEASE && w.event.providerID == kRecorderId;
             }) == static_cast<long>(count);
    });
  }

  // The accepted answers to `requestID`, all from this thread.
  std::vector<std::string> Answers(uint32_t requestID) {
    std::vector<std::string> answers;
    for (const Written& w : core_.events()) {
      if (w.event.requestID != requestID || w.code != WRITE_ACCEPTED) continue;
      EXPECT_TRUE(w.event.providerID == kRecorderId && w.event.eventType == RECORDING_EVENT_CLASS &&
                  w.event.eventSubtype == RECORDING_ANSWER_SUBTYPE && w.thread == std::this_thread::get_id());
      answers.push_back(w.payload);
    }
    return answers;
  }

  ScopedWorkDir dir_;
  FakeCore core_{EXAMPLE_PLUGIN_DIR "/recorder.dll"};
};

TEST_F(RecorderTest, RecordsFromTheFirstKeyFrameAndReleasesEveryBlockOnce) {
  Start("");
  std::string camera0, camera1;
  Deliver(0, 3, false, 80);  // before the first key frame: released, not recorded
  for (uint32_t seq : {4u, 5u, 8u}) camera0 += Deliver(0, seq, seq == 4, 80 + seq);
  for (uint32_t seq = 0; seq < 10; ++seq) camera1 += Deliver(1, seq, seq % 5 == 0, 100 + seq);
  Deliver(0, 9, true, 64, SUBTYPE_VIDEO_FRAME);  // not a camera frame: not kept
  ASSERT_EQ(core_.Close(), 0);  // the writer finishes its queue first
  EXPECT_TRUE(WaitForReleases(14));
  EXPECT_TRUE(ReadTextFile("recordings/camera-0.rec") == camera0);
  EXPECT_TRUE(ReadTextFile("recordings/camera-1.rec") == camera1);
  const std::vector<Written> events = core_.events();
  EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const Written& w) {
    return w.payload.c_str() == std::string("camera 0: 2 frames missing before frame 8");
  }));
}

TEST_F(RecorderTest, StreamsARecordingBackInAnswersFromTheRequestThread) {
  Start("read_chunk = 1024\n");
  std::string recording;
  for (uint32_t seq = 0; seq < 5; ++seq) recording += Deliver(1, seq, seq == 0, 1000);
  ASSERT_TRUE(WaitForReleases(5));
  EXPECT_EQ(core_.Read("1", 77), 0);
  std::vector<std::string> answers = Answers(77);
  ASSERT_EQ(answers.size(), 6u);  // five chunks of at most 1024 bytes, then an empty one
  EXPECT_EQ(answers.back(), "");
  std::string joined;
  for (const std::string& answer : answers) joined += answer;
  EXPECT_TRUE(joined == recording);

  uint32_t id = 100;  // requests it cannot serve still get the end marker
  for (const char* request : {"7", "x", "1x", ""}) {
    core_.Read(request, ++id);
    EXPECT_EQ(Answers(id), std::vector<std::string>{""}) << request;
  }
}

TEST_F(RecorderTest, StopsStreamingAtTheFirstRefusedAnswer) {
  Start("");
  Deliver(0, 0, true, 200000);
  ASSERT_TRUE(WaitForReleases(1));
  core_.refuseAnswersAfter = 2;  // as when the client cancels the request
  core_.Read(std::string("0\0", 2), 9);
  EXPECT_EQ(Answers(9).size(), 2u);
  const std::vector<Written> events = core_.events();
  EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const Written& w) { return w.event.requestID == 9; }),
            3);  // two accepted, one refused, nothing after it
}

}  // namespace
}  // namespace example_test
