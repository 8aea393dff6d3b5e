// recorder.cpp - "recorder.dll", the example recorder.
//
// Recording.  The recorder subscribes to the cameras' coded frames and codec
// parameters (camera_protocol.h) and remuxes each camera's access units,
// without decoding them, into MP4 segments of `segment_seconds`:
// recordings/NAME/YYYYMMDDTHHMMSSZ.mp4, named by the camera's name and the
// segment's start in UTC.  The files are fragmented MP4 (an empty index at
// the front, then one fragment per key frame, each written out as soon as
// the next key frame arrives), so a segment cut short by a crash or a power
// loss plays up to its last fragment.  Every segment starts at a key frame;
// a segment is cut at the first key frame after `segment_seconds`, when the
// camera reconnects (the next segment starts with the new connection) and
// when the stream's parameters change.  H.264 and H.265 are recorded; a
// camera with another codec gets one line per connection and is skipped.
// The simulator's synthetic frames are not subscribed: no player could
// open them.
//
// Time.  Frame times in a segment start at 0.  The recorder rebases the
// camera's times at every connection and at every loop of a looped source
// (a flagged frame, or any decode time that does not rise), so the times in
// a file always rise.  A segment's start in UTC is the wall-clock time of
// the connection's first frame plus the stream time since then, so the
// segments of one connection follow each other without a gap.
//
// Index.  Each camera directory has an "index" file, appended to: a line
// "open FILE START_MS" when a segment starts and "closed FILE START_MS
// END_MS BYTES" when it ends (UTC milliseconds since 1970).  A time range is
// found from the index alone.  At Load the recorder reads the indexes of
// every camera directory; a segment that was opened but never closed (the
// process was killed) is closed there, with the file's last modification as
// its end, and each index is written afresh without the stale lines.
//
// Retention.  After every segment and at Load the oldest segments of all
// cameras go first while the recordings take more than `retention_bytes`
// (0: no limit) or are older than `retention_days` (0: no limit).
//
// Threads.  Writing to disk on the dispatcher would hold up every other
// plugin, so Write keeps the core's payload block (reply->keepBlock = 1) and
// queues it for a writer thread, which muxes the frame and then drops the
// hold with a block-release event.  Every kept block is released exactly
// once, and the writer empties its queue before Close returns.  When the
// queue is full (the disk fell behind) Write does not keep the block and the
// frame is counted as dropped; the camera's segment then goes on at the next
// key frame.
//
// Playback.  The recorder answers read requests for a camera and a time
// range (camera_protocol.h) on the request's own thread, which is the only
// thread whose answers the core takes.  Each answer waits inside the write
// callback until the previous one has been delivered and released, so the
// stream runs at the pace of the slowest client.  A refused answer (the
// client cancelled, or the core is stopping) ends the stream at once.  Close
// waits until no Read call runs any more; once closing, new requests end at
// once.
//
// Settings, from recorder.conf in the working directory (all optional):
//   directory = recordings
//   segment_seconds = 60     segment length, 1..3600
//   retention_bytes = 0      keep at most this many bytes, 0 = no limit
//   retention_days = 0       keep at most this many days, 0 = no limit
//   report_seconds = 5       progress line and status interval, 1..3600
//   max_queued_frames = 500  frames waiting for the disk before frames are dropped
//   log_level = 25
extern "C" {
#include <libavutil/log.h>
}

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera_protocol.h"
#include "plugin_support.h"
#include "recorder_index.h"
#include "recorder_playback.h"
#include "recorder_state.h"
#include "recorder_writer.h"
#include "recording-core/plugin_abi.h"

// The pieces: recorder_state.h (what they share), recorder_writer.h (the
// writer thread and its MP4 segments), recorder_index.h (the index files and
// retention), recorder_playback.h (read requests).  This file holds the
// plugin's entry points.
namespace {

namespace fs = recorder::fs;
using recorder::kRecorderId;
using recorder::PendingFrame;
using recorder::Range;
using recorder::Recorder;
using recorder::Segment;

Recorder* g_rec = nullptr;

}  // namespace

// [main thread]
PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  delete g_rec;
  g_rec = new Recorder;
  g_rec->write = request->write;
  g_rec->context = request->context;
  g_rec->log.Bind(request->write, kRecorderId);
  av_log_set_level(AV_LOG_FATAL);  // our own lines name the camera; libav's would not

  example::Settings settings = example::Settings::Read("recorder.conf");
  g_rec->directory = settings.Text("directory", "recordings");
  g_rec->segmentUs = settings.Int("segment_seconds", 60, 1, 3600) * 1000000;
  g_rec->retentionBytes = static_cast<uint64_t>(settings.Int("retention_bytes", 0, 0, INT64_MAX));
  g_rec->retentionDays = settings.Int("retention_days", 0, 0, 100000);
  g_rec->reportInterval = std::chrono::seconds(settings.Int("report_seconds", 5, 1, 3600));
  g_rec->maxQueued = static_cast<size_t>(settings.Int("max_queued_frames", 500, 1, 100000));
  const int32_t level = static_cast<int32_t>(settings.Int("log_level", 25, -1, 100));
  for (const std::string& problem : settings.problems()) g_rec->log.Write(50, "%s", problem.c_str());
  // Before any Open: a client opened before the recorder may ask at once.
  recorder::LoadIndexes(*g_rec);
  recorder::ApplyRetention(*g_rec);

  reply->systemID = kRecorderId;
  reply->subscriptionMasks[0] = CAMERA_CODED_FRAME_QUEUED_KEY | CAMERA_CODEC_QUEUED_KEY;  // through Write
  reply->subscriptionMasks[7] = RECORDING_REQUEST_BROADCAST_KEY;                        // requests, through Read
  reply->acceptsWrite = 1;
  reply->acceptsRead = 1;
  reply->logLevel = level;
  return 0;
}

// [main thread] Starts the writer.
PLUGIN_EXPORT int32_t Open(const OpenRequest* /*request*/, OpenReply* /*reply*/) {
  if (g_rec == nullptr) return 1;
  std::lock_guard lock(g_rec->mutex);
  g_rec->opened = true;
  if (!g_rec->writer.joinable()) g_rec->writer = std::thread(recorder::WriterLoop, std::ref(*g_rec));
  return 0;
}

// [dispatcher] Keeps the frame's block and queues it for the writer.
PLUGIN_EXPORT int32_t Write(const DeliveredEvent* event, WriteReply* reply) {
  if (g_rec == nullptr) return 1;
  const bool frame = event->eventSubtype == CAMERA_CODED_FRAME_SUBTYPE;
  const bool codec = event->eventSubtype == CAMERA_CODEC_SUBTYPE;
  if ((event->eventType & EVENT_VIDEO) == 0 || !(frame || codec) || event->data == nullptr || event->dataSize <= 0)
    return 0;
  {
    std::lock_guard lock(g_rec->mutex);
    if (!g_rec->opened || g_rec->closing) return 0;
    // Codec parameters are never dropped: every frame after them needs them.
    if (frame && g_rec->queue.size() >= g_rec->maxQueued) {
      ++g_rec->dropped;  // not kept: the core drops our hold when we return
      return 0;
    }
    g_rec->queue.push_back(PendingFrame{event->data, event->dataSize, event->providerID, event->eventSubtype});
  }
  reply->keepBlock = 1;  // released by the writer thread once recorded
  g_rec->wake.notify_one();
  return 0;
}

// [plugin read thread] once at start with requestID 0: nothing to do.
// [request thread] once per read request: streams the range back, on this
// thread, before returning.
PLUGIN_EXPORT int32_t Read(const ReadRequest* request, ReadReply* /*reply*/) {
  if (g_rec == nullptr || request->requestID == 0) return 0;
  Range range;
  const bool valid = recorder::ParseRequest(request->data, request->dataSize, &range);
  std::vector<Segment> segments;
  fs::path dir;
  {
    std::lock_guard lock(g_rec->mutex);
    if (g_rec->closing) return 0;
    ++g_rec->activeReads;
    auto found = valid ? g_rec->tracks.find(recorder::DirectoryName(range.name)) : g_rec->tracks.end();
    if (found != g_rec->tracks.end()) {
      dir = recorder::CameraDir(*g_rec, *found->second);
      // Segments that overlap the range, the one being written included.
      std::vector<Segment> all = found->second->segments;
      if (!found->second->openSegment.file.empty()) {
        Segment open = found->second->openSegment;
        open.endMs = INT64_MAX;
        all.push_back(open);
      }
      for (const Segment& s : all)
        if (s.endMs >= range.fromMs && s.startMs <= range.toMs) segments.push_back(s);
    }
  }
  if (!valid) g_rec->log.Write(50, "request %u: not 'NAME FROM_MS TO_MS', answered empty", request->requestID);
  recorder::Stream(*g_rec, range, request->requestID, dir, segments);
  {
    std::lock_guard lock(g_rec->mutex);
    --g_rec->activeReads;
  }
  g_rec->readers.notify_all();
  return 0;
}

// [main thread] Ends the writer after it has recorded and released every
// queued frame and closed every segment, and waits for running requests,
// which stop at their next answer.  Nothing of the recorder runs once Close
// returns.
PLUGIN_EXPORT int32_t Close(const CloseRequest* /*request*/, CloseReply* /*reply*/) {
  if (g_rec == nullptr) return 0;
  std::unique_lock lock(g_rec->mutex);
  g_rec->closing = true;
  g_rec->wake.notify_one();
  g_rec->readers.wait(lock, [] { return g_rec->activeReads == 0; });
  lock.unlock();
  if (g_rec->writer.joinable()) g_rec->writer.join();
  return 0;
}

// [main thread]
PLUGIN_EXPORT int32_t Unload(const UnloadRequest* /*request*/, UnloadReply* /*reply*/) {
  if (g_rec != nullptr && g_rec->writer.joinable()) {  // Close was never called
    {
      std::lock_guard lock(g_rec->mutex);
      g_rec->closing = true;
    }
    g_rec->wake.notify_one();
    g_rec->writer.join();
  }
  delete g_rec;
  g_rec = nullptr;
  return 0;
}
