// Tests of the recorder recorder.dll, fed with what ipcam.dll makes of a
// three-second file: segments cut at key frames that follow each other
// without a gap, times rebased at a loop and a new segment at a reconnect,
// frames it cannot record, the index after a kill and the retention limit,
// and read requests for a time range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "camera_protocol.h"
#include "fake_core.h"
#include "media_test_support.h"
#include "plugin_support.h"

namespace example_test {

// The codec event and the 75 frames that ipcam.dll writes for a 3 s file;
// the exporter's test uses them too.
const std::vector<Written>& CameraEvents() {
  static std::vector<Written> captured;
  if (!captured.empty()) return captured;
  ScopedWorkDir dir;
  EXPECT_TRUE(media_test::ClipAsMp4(CLIP_DIR, "three.mp4", 3));
  WriteTextFile("ipcam.conf", "camera0 = door three.mp4\nloop = 0\n");
  FakeCore core(EXAMPLE_PLUGIN_DIR "/ipcam.dll");
  core.Load();
  EXPECT_EQ(core.Open(), 0);
  EXPECT_TRUE(core.WaitUntil([](const std::vector<Written>& events) {
    return std::any_of(events.begin(), events.end(),
                       [](const Written& w) { return w.payload.find("the stream ended") != std::string::npos; });
  }));
  core.Stop();
  for (const Written& w : core.events())
    if (w.event.eventSubtype == CAMERA_CODED_FRAME_SUBTYPE || w.event.eventSubtype == CAMERA_CODEC_SUBTYPE)
      captured.push_back(w);
  EXPECT_EQ(captured.size(), 76u);
  return captured;
}

namespace {

namespace fs = std::filesystem;
constexpr ModuleId kCamera = 0x00060001u;

// Hands `payload` to the recorder in a malloc'ed block, as the core does.
void Deliver(FakeCore& core, uint32_t subtype, const std::string& payload, ModuleId provider = kCamera) {
  void* block = std::malloc(payload.size());
  std::memcpy(block, payload.data(), payload.size());
  const WriteReply reply =
      core.Write(example::MakeEvent(provider, EVENT_VIDEO, subtype, block, static_cast<int32_t>(payload.size())));
  if (reply.keepBlock == 0) std::free(block);
}

// The camera's events with the frames' times shifted, flags and connection
// set, and frame number `lost` left out.
void DeliverRun(FakeCore& core, uint32_t connection, int64_t shift, uint8_t firstFlags, uint32_t lost = ~0u) {
  bool first = true;
  for (const Written& w : CameraEvents()) {
    std::string payload = w.payload;
    if (w.event.eventSubtype == CAMERA_CODED_FRAME_SUBTYPE &&
        reinterpret_cast<const CameraFrameHeader*>(payload.data())->sequence == lost)
      continue;
    if (w.event.eventSubtype == CAMERA_CODEC_SUBTYPE) {
      reinterpret_cast<CameraCodecHeader*>(payload.data())->connection = connection;
    } else {
      auto* header = reinterpret_cast<CameraFrameHeader*>(payload.data());
      header->connection = connection;
      header->pts += shift;
      header->dts += shift;
      if (first) header->flags = firstFlags;
      first = false;
    }
    Deliver(core, w.event.eventSubtype, payload);
  }
}

bool AllReleased(FakeCore& core, size_t count) {
  return core.WaitUntil([count](const std::vector<Written>& events) {
    return static_cast<size_t>(std::count_if(events.begin(), events.end(), [](const Written& w) {
             return w.event.eventType == EVENT_BLOCK_RELEASE;
           })) == count;
  });
}

using IndexLine = media_test::Segment;
// The closed segments of an index, in the order they were opened.
std::vector<IndexLine> Closed(const std::string& path) {
  std::vector<IndexLine> segments = media_test::IndexedSegments(path);
  std::erase_if(segments, [](const IndexLine& s) { return s.end == 0; });
  return segments;
}

// The camera's three seconds recorded in one-second segments, from Open to
// Close; the closed segments of the index.
std::vector<IndexLine> RecordInOneSecondSegments() {
  WriteTextFile("recorder.conf", "segment_seconds = 1\n");
  FakeCore core(EXAMPLE_PLUGIN_DIR "/recorder.dll");
  core.Load();
  EXPECT_EQ(core.Open(), 0);
  DeliverRun(core, 1, 0, 0);
  EXPECT_TRUE(AllReleased(core, 76));
  core.Stop();
  return Closed("recordings/door/index");
}

bool Logged(const std::vector<Written>& events, const std::string& text) {
  return std::any_of(events.begin(), events.end(), [&](const Written& w) {
    return w.event.eventType == EVENT_LOG && w.payload.find(text) != std::string::npos;
  });
}

TEST(RecorderTest, SegmentsStartAtKeyFramesFollowWithoutGapsRebaseAtALoopAndRestartAtAReconnect) {
  CameraEvents();
  ScopedWorkDir dir;
  {  // one-second segments
    const std::vector<IndexLine> segments = RecordInOneSecondSegments();
    ASSERT_EQ(segments.size(), 3u);
    for (size_t i = 0; i < segments.size(); ++i) {
      const std::string path = "recordings/door/" + segments[i].file;
      const std::vector<media_test::Packet> packets = media_test::Packets(path);
      ASSERT_EQ(packets.size(), 25u) << path;
      EXPECT_TRUE(packets[0].key && packets[0].dts == 0) << path;
      EXPECT_EQ(media_test::DecodeErrors(path), "");
      EXPECT_EQ(segments[i].end - segments[i].start, 1000) << path;
      EXPECT_EQ(segments[i].bytes, fs::file_size(path));
      if (i > 0) {
        EXPECT_EQ(segments[i].start, segments[i - 1].end) << "a gap before " << path;
      }
    }
  }
  fs::remove_all("recordings");
  {  // a loop (times jump back) within one segment, then a new connection
    WriteTextFile("recorder.conf", "segment_seconds = 60\n");
    FakeCore core(EXAMPLE_PLUGIN_DIR "/recorder.dll");
    core.Load();
    ASSERT_EQ(core.Open(), 0);
    DeliverRun(core, 1, 0, 0);
    DeliverRun(core, 1, 0, CAMERA_FRAME_LOOPED);
    DeliverRun(core, 2, -123456, 0);
    std::string stale = CameraEvents().back().payload;  // a late frame of the old connection
    reinterpret_cast<CameraFrameHeader*>(stale.data())->connection = 1;
    Deliver(core, CAMERA_CODED_FRAME_SUBTYPE, stale);
    ASSERT_TRUE(AllReleased(core, 3 * 76 + 1));
    core.Stop();
    const std::vector<IndexLine> segments = Closed("recordings/door/index");
    ASSERT_EQ(segments.size(), 2u);
    const std::vector<media_test::Packet> looped = media_test::Packets("recordings/door/" + segments[0].file);
    ASSERT_EQ(looped.size(), 150u);
    for (size_t i = 1; i < looped.size(); ++i) EXPECT_NEAR(looped[i].dts - looped[i - 1].dts, 0.04, 1e-6) << i;
    EXPECT_EQ(segments[0].end - segments[0].start, 6000);
    EXPECT_EQ(media_test::Packets("recordings/door/" + segments[1].file).size(), 75u);
    EXPECT_GE(segments[1].start, segments[0].start);
  }
}

TEST(RecorderTest, SkipsWhatItCannotRecordRecoversAnUnclosedSegmentAndKeepsToTheRetentionLimit) {
  CameraEvents();
  ScopedWorkDir dir;
  // Left behind by a killed process: one segment opened, never closed, and
  // an old closed one.
  fs::create_directories("recordings/door");
  WriteTextFile("recordings/door/20200101T000000Z.mp4", std::string(100000, 'x'));
  WriteTextFile("recordings/door/20200101T000100Z.mp4", std::string(45000, 'y'));
  WriteTextFile("recordings/door/index",
                "closed 20200101T000000Z.mp4 1577836800000 1577836860000 100000\n"
                "open 20200101T000100Z.mp4 1577836860000\nrubbish\n");
  WriteTextFile("recorder.conf", "segment_seconds = 1\nretention_bytes = 150000\n");
  FakeCore core(EXAMPLE_PLUGIN_DIR "/recorder.dll");
  core.Load();
  ASSERT_EQ(core.Open(), 0);
  std::vector<Written> events = core.events();
  EXPECT_TRUE(Logged(events, "recordings/door/index: line 'rubbish' is not an index line, ignored"));
  EXPECT_TRUE(Logged(events, "camera door: segment 20200101T000100Z.mp4 was not closed, kept up to "));
  const std::vector<IndexLine> recovered = media_test::IndexedSegments("recordings/door/index");
  ASSERT_EQ(recovered.size(), 2u);
  EXPECT_TRUE(recovered[1].bytes == 45000 && recovered[1].end > recovered[1].start);

  // Frames before any codec parameters, malformed parameters, and a codec
  // MP4 cannot take: nothing recorded, one line each.
  Deliver(core, CAMERA_CODED_FRAME_SUBTYPE, CameraEvents()[1].payload, 0x00060002u);
  Deliver(core, CAMERA_CODEC_SUBTYPE, "CCP1 too short", 0x00060002u);
  std::string other = CameraEvents()[0].payload;
  auto* codec = reinterpret_cast<CameraCodecHeader*>(other.data());
  codec->codec = CAMERA_CODEC_OTHER;
  std::strcpy(codec->name, "mjpeg-cam");
  Deliver(core, CAMERA_CODEC_SUBTYPE, other, 0x00060002u);
  Deliver(core, CAMERA_CODED_FRAME_SUBTYPE, CameraEvents()[1].payload, 0x00060002u);
  // Then three seconds of the real camera, frame 10 lost on the way: the
  // first segment pushes the oldest out, and then all fits.
  DeliverRun(core, 1, 0, 0, 10);
  ASSERT_TRUE(AllReleased(core, 4 + 75));
  core.Stop();
  events = core.events();
  EXPECT_TRUE(Logged(events, "camera id 0x00060002: malformed codec parameters ignored"));
  EXPECT_TRUE(Logged(events, "camera mjpeg-cam: its codec cannot be put in MP4 (only H.264 and H.265), not recorded"));
  EXPECT_FALSE(fs::exists("recordings/mjpeg-cam/index"));
  EXPECT_TRUE(Logged(events, "camera door: deleted 20200101T000000Z.mp4 (100000 bytes) for the retention limit"));
  EXPECT_FALSE(fs::exists("recordings/door/20200101T000000Z.mp4"));
  uint64_t total = 0;
  for (const IndexLine& line : Closed("recordings/door/index")) {
    EXPECT_TRUE(fs::exists("recordings/door/" + line.file)) << line.file;
    total += line.bytes;
  }
  EXPECT_LE(total, 150000u);
  const std::vector<IndexLine> segments = Closed("recordings/door/index");
  ASSERT_EQ(segments.size(), 4u);  // the recovered one and three new ones
  // Frames 11 to 24 depend on the lost one: the segment stops before them
  // and still decodes.
  const std::string first = "recordings/door/" + segments[1].file;
  EXPECT_EQ(media_test::Packets(first).size(), 10u);
  EXPECT_EQ(media_test::DecodeErrors(first), "");
}

TEST(RecorderTest, AnswersATimeRangeFromTheKeyFrameBeforeItAndStopsAtARefusal) {
  CameraEvents();
  ScopedWorkDir dir;
  // The last segment closes only with the next key frame or at Close, so
  // the recorder that reads them is a second one on the same directory.
  const std::vector<IndexLine> segments = RecordInOneSecondSegments();
  ASSERT_EQ(segments.size(), 3u);
  FakeCore again(EXAMPLE_PLUGIN_DIR "/recorder.dll");
  again.Load();
  ASSERT_EQ(again.Open(), 0);

  auto answers = [&](uint32_t requestID) {
    std::vector<Written> list;
    for (const Written& w : again.events())
      if (w.event.requestID == requestID && w.event.eventSubtype == RECORDING_ANSWER_SUBTYPE) list.push_back(w);
    return list;
  };
  // From the middle of the second segment for 1.2 s: its key frame first.
  const int64_t from = segments[1].start + 500, to = from + 1200;
  again.Read("door " + std::to_string(from) + " " + std::to_string(to), 7);
  const std::vector<Written> range = answers(7);
  ASSERT_GE(range.size(), 3u);
  EXPECT_EQ(range[0].payload.compare(0, 4, "CCP1"), 0);
  EXPECT_EQ(range.back().payload, "");
  CameraFrameHeader first;
  std::memcpy(&first, range[1].payload.data(), sizeof first);
  EXPECT_TRUE(first.keyFrame == 1 && first.dts == 0);
  EXPECT_EQ(range.size() - 2, 43u);  // 1.2 s after 0.5 s into the segment, from its start
  int64_t last = -1;
  for (size_t i = 1; i + 1 < range.size(); ++i) {
    CameraFrameHeader h;
    std::memcpy(&h, range[i].payload.data(), sizeof h);
    EXPECT_EQ(h.payloadSize + sizeof h, range[i].payload.size());
    EXPECT_GT(h.dts, last);
    last = h.dts;
  }
  // Requests it cannot serve get just the end marker.
  uint32_t id = 100;
  for (const std::string request : {"nosuch 0 1", "door", "door x", "door 5 1", ""}) {
    again.Read(request, ++id);
    const std::vector<Written> list = answers(id);
    EXPECT_TRUE(request == "door" ? list.size() == 77u : list.size() == 1u && list[0].payload.empty()) << request;
  }
  // A refusal (the client cancelled) ends the stream: nothing follows it.
  again.decide = [n = 0](const CoreEvent& e) mutable { return e.requestID == 9 && ++n > 2 ? WRITE_REFUSED : 0; };
  again.Read("door", 9);
  EXPECT_EQ(answers(9).size(), 3u);
  again.Stop();
}

}  // namespace
}  // namespace example_test
