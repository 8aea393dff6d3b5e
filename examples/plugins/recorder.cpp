// recorder.cpp - "recorder.dll", the example recorder.
//
// Recording.  The recorder subscribes to the simulated cameras' video frames
// (subscriptionMasks[0] = CAMERA_FRAME_QUEUED_KEY) and appends each frame's
// payload to recordings/camera-N.rec in the core's working directory.  The
// files of this run replace those of the last one.
//
// Writing to disk on the dispatcher would hold up every other plugin, so
// Write does not copy the frame either: it keeps the core's payload block
// (reply->keepBlock = 1) and queues it for a writer thread.  The writer
// appends the block to the camera's file and then drops the recorder's hold
// with a block-release event (eventType 512, data = the block, providerID =
// the recorder's systemID).  Every kept block is released exactly once, also
// when its frame cannot be written, and the writer empties its queue before
// Close returns.  When the queue is full (the disk fell behind) Write does
// not keep the block and the frame is counted as dropped.
//
// Recordings start at each camera's first key frame; a jump in the frame
// sequence numbers (frames lost before they reached the recorder) is logged.
// Every `report_seconds` the writer logs how much it recorded per camera.
//
// Playback.  The recorder also answers read requests for a camera's
// recording (acceptsRead = 1, subscriptionMasks[7] =
// RECORDING_REQUEST_BROADCAST_KEY; see camera_protocol.h for the request).
// The core calls Read on a fresh thread for each request, and the answers
// must be written from that very thread: the core refuses answers from any
// other thread.  Each answer with a payload waits inside the write callback
// until the previous one has been delivered and released by every
// recipient, so the stream runs at the pace of the slowest client without
// any pacing code here.  The stream covers the recording as it was when the
// request arrived, in chunks of `read_chunk` bytes, and ends with an empty
// answer.  A write refused with code 1 (the client cancelled the request,
// or the core is stopping) ends the stream at once.
//
// Request threads are not joined by the core, so Close waits until no Read
// call is running any more; once closing, new requests end at once.
//
// Status.  Every `status_seconds`, when a camera's file is created and at
// Close, the writer publishes a RecorderStatus event (status_events.h): the
// absolute recordings directory, the bytes written, the free disk space and
// each camera's file as its one segment, so a viewer can list and serve the
// recordings without knowing the core's working directory.
//
// Settings, from recorder.conf in the working directory (all optional):
//   directory = recordings
//   report_seconds = 5      progress line interval, 1..3600
//   read_chunk = 65536      bytes per answer, 1024..16777216
//   max_queued_frames = 500 frames waiting for the disk before frames are dropped
//   status_seconds = 2      status event interval, 1..3600
//   log_level = 25
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera_protocol.h"
#include "plugin_support.h"
#include "recording-core/plugin_abi.h"
#include "status_events.h"

namespace {

constexpr ModuleId kRecorderId = 0x00030000u;  // module number 3

// Per-camera recording state.  Only the writer thread touches the file and
// the counters; `committed` is read by request threads.
struct Track {
  FILE* file = nullptr;
  bool started = false;          // a key frame has been recorded this run
  uint32_t lastSequence = 0;
  uint64_t frames = 0, bytes = 0, gaps = 0;
  uint64_t reportedFrames = 0;
  std::string firstUtc, lastUtc;  // times of the first and the latest frame written
  std::atomic<uint64_t> committed{0};  // bytes flushed to the file
};

struct PendingFrame {
  void* block;  // the core's payload block, held by the recorder
  int32_t size;
};

struct Recorder {
  CoreWriteFn write = nullptr;
  example::PluginLog log;
  std::filesystem::path directory;
  std::chrono::seconds reportInterval{5};
  std::chrono::seconds statusInterval{2};
  bool statusDue = false;  // writer thread only: a file was created
  size_t readChunk = 65536;
  size_t maxQueued = 500;

  std::mutex mutex;
  std::condition_variable wake;     // writer: queue or closing changed
  std::condition_variable readers;  // Close: activeReads dropped
  std::deque<PendingFrame> queue;   // guarded by mutex
  bool closing = false;             // guarded by mutex
  bool opened = false;              // guarded by mutex
  int activeReads = 0;              // guarded by mutex
  uint64_t dropped = 0;             // guarded by mutex
  std::thread writer;

  Track tracks[CAMERA_MAX_CAMERAS];
};

Recorder* g_rec = nullptr;

std::filesystem::path TrackPath(const Recorder& rec, unsigned camera) {
  return rec.directory / ("camera-" + std::to_string(camera) + ".rec");
}

// Publishes the RecorderStatus event.  [writer thread]
void PublishStatus(Recorder& rec) {
  std::error_code error;
  const std::filesystem::space_info space = std::filesystem::space(rec.directory, error);
  uint64_t written = 0;
  std::string cameras;
  for (unsigned i = 0; i < CAMERA_MAX_CAMERAS; ++i) {
    const Track& track = rec.tracks[i];
    written += track.bytes;
    if (!track.started) continue;
    const std::string name = "camera-" + std::to_string(i);
    const std::string file = name + ".rec";
    cameras += "<Camera Name=\"" + name + "\" Frames=\"" + std::to_string(track.frames) + "\" Open=\"" +
               (track.file != nullptr ? file : std::string()) + "\"><Segment File=\"" + file +
               "\" StartUtc=\"" + track.firstUtc + "\" EndUtc=\"" + track.lastUtc + "\" Bytes=\"" +
               std::to_string(track.bytes) + "\"/></Camera>";
  }
  const std::string text = "<RecorderStatus Directory=\"" + example::XmlEscaped(rec.directory.string()) +
                           "\" BytesWritten=\"" + std::to_string(written) + "\" DiskFreeBytes=\"" +
                           std::to_string(error ? 0 : space.available) + "\">" + cameras +
                           "</RecorderStatus>";
  example::WriteEvent(rec.write, example::MakeEvent(kRecorderId, STATUS_EVENT_CLASS,
                                                    RECORDER_STATUS_SUBTYPE, text.data(),
                                                    static_cast<int32_t>(text.size())));
}

// Appends one frame to its camera's file.  [writer thread]
void RecordFrame(Recorder& rec, const uint8_t* data, int32_t size) {
  CameraFrameHeader header;
  if (size < static_cast<int32_t>(sizeof header)) return;
  std::memcpy(&header, data, sizeof header);
  if (header.camera >= CAMERA_MAX_CAMERAS) return;
  Track& track = rec.tracks[header.camera];

  if (!track.started) {
    if (header.keyFrame != 1) return;  // nothing decodes before the first key frame
    std::error_code ignored;
    std::filesystem::create_directories(rec.directory, ignored);
    track.file = std::fopen(TrackPath(rec, header.camera).c_str(), "wb");
    if (track.file == nullptr) {
      rec.log.Write(75, "cannot create %s: %s", TrackPath(rec, header.camera).c_str(),
                    std::strerror(errno));
    }
    track.started = true;
    track.firstUtc = example::UtcNow();
    rec.statusDue = true;
  } else if (header.sequence <= track.lastSequence) {
    rec.log.Write(50, "camera %u: frame %u arrived after frame %u", header.camera,
                  header.sequence, track.lastSequence);
  } else if (header.sequence != track.lastSequence + 1) {
    const uint32_t missing = header.sequence - track.lastSequence - 1;
    track.gaps += missing;
    rec.log.Write(50, "camera %u: %u frames missing before frame %u", header.camera, missing,
                  header.sequence);
  }
  track.lastSequence = header.sequence;
  if (track.file == nullptr) return;
  const size_t length = static_cast<size_t>(size);
  if (std::fwrite(data, 1, length, track.file) != length || std::fflush(track.file) != 0) {
    rec.log.Write(75, "cannot write %s, recording of camera %u stopped",
                  TrackPath(rec, header.camera).c_str(), header.camera);
    std::fclose(track.file);
    track.file = nullptr;
    return;
  }
  ++track.frames;
  track.bytes += length;
  track.lastUtc = example::UtcNow();
  track.committed.store(track.bytes, std::memory_order_release);
}

void Report(Recorder& rec, uint64_t dropped) {
  std::string text;
  for (unsigned i = 0; i < CAMERA_MAX_CAMERAS; ++i) {
    Track& track = rec.tracks[i];
    if (track.frames == track.reportedFrames) continue;
    track.reportedFrames = track.frames;
    char part[160];
    std::snprintf(part, sizeof part, "%scamera %u: %llu frames, %llu KiB, %llu missing",
                  text.empty() ? "" : "; ", i, static_cast<unsigned long long>(track.frames),
                  static_cast<unsigned long long>(track.bytes / 1024),
                  static_cast<unsigned long long>(track.gaps));
    text += part;
  }
  if (dropped != 0) text += "; " + std::to_string(dropped) + " frames dropped, disk too slow";
  if (!text.empty()) rec.log.Write(25, "recorded %s", text.c_str());
}

// The writer thread, from Open to Close.  Records every queued frame, then
// releases its block; at Close it finishes the queue before it returns.
void WriterLoop(Recorder& rec) {
  using Clock = std::chrono::steady_clock;
  auto nextReport = Clock::now() + rec.reportInterval;
  auto nextStatus = Clock::now() + rec.statusInterval;
  uint64_t dropped = 0;
  std::unique_lock lock(rec.mutex);
  for (;;) {
    rec.wake.wait_until(lock, std::min(nextReport, nextStatus),
                        [&] { return rec.closing || !rec.queue.empty(); });
    if (!rec.queue.empty()) {
      PendingFrame frame = rec.queue.front();
      rec.queue.pop_front();
      lock.unlock();
      RecordFrame(rec, static_cast<const uint8_t*>(frame.block), frame.size);
      example::ReleaseBlock(rec.write, kRecorderId, frame.block);
      lock.lock();
    } else if (rec.closing) {
      break;
    }
    if (Clock::now() >= nextReport) {
      dropped += rec.dropped;
      rec.dropped = 0;
      lock.unlock();
      Report(rec, dropped);
      dropped = 0;
      nextReport = Clock::now() + rec.reportInterval;
      lock.lock();
    }
    if (rec.statusDue || Clock::now() >= nextStatus) {
      rec.statusDue = false;
      lock.unlock();
      PublishStatus(rec);
      nextStatus = Clock::now() + rec.statusInterval;
      lock.lock();
    }
  }
  dropped += rec.dropped;
  lock.unlock();
  Report(rec, dropped);
  for (Track& track : rec.tracks) {
    if (track.file != nullptr) std::fclose(track.file);
    track.file = nullptr;
  }
  PublishStatus(rec);  // refused once the core is stopping; harmless
}

// Parses a request payload: the camera index as decimal text, possibly
// followed by NULs.  Returns -1 when it is anything else.
int ParseCamera(const void* data, uint32_t size) {
  if (data == nullptr || size == 0) return -1;
  const char* text = static_cast<const char*>(data);
  int camera = 0;
  uint32_t i = 0;
  for (; i < size && text[i] >= '0' && text[i] <= '9'; ++i) {
    camera = camera * 10 + (text[i] - '0');
    if (camera >= CAMERA_MAX_CAMERAS) return -1;
  }
  if (i == 0) return -1;
  for (; i < size; ++i)
    if (text[i] != '\0') return -1;
  return camera;
}

// Streams one camera's recording back under `requestID`.  [request thread]
void Stream(Recorder& rec, int camera, uint32_t requestID) {
  auto answer = [&](const void* data, int32_t size) {
    CoreEvent event = example::MakeEvent(kRecorderId, RECORDING_EVENT_CLASS,
                                         RECORDING_ANSWER_SUBTYPE, data, size);
    event.requestID = requestID;
    return example::WriteEvent(rec.write, event);
  };

  const uint64_t length = camera >= 0 ? rec.tracks[camera].committed.load(std::memory_order_acquire) : 0;
  FILE* in = length > 0 ? std::fopen(TrackPath(rec, static_cast<unsigned>(camera)).c_str(), "rb") : nullptr;
  if (in != nullptr) {
    std::unique_ptr<uint8_t[]> chunk(new uint8_t[rec.readChunk]);
    uint64_t sent = 0;
    while (sent < length) {
      {
        std::lock_guard lock(rec.mutex);
        if (rec.closing) break;
      }
      const size_t want = static_cast<size_t>(std::min<uint64_t>(rec.readChunk, length - sent));
      const size_t got = std::fread(chunk.get(), 1, want, in);
      if (got == 0) break;
      // Waits here while the previous answer is still in flight.
      const int32_t code = answer(chunk.get(), static_cast<int32_t>(got));
      if (code == WRITE_REFUSED) {  // cancelled, or the core is stopping
        std::fclose(in);
        return;
      }
      if (code != WRITE_ACCEPTED) break;
      sent += got;
    }
    std::fclose(in);
  }
  answer(nullptr, 0);  // end of stream
}

}  // namespace

// [main thread]
PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  delete g_rec;
  g_rec = new Recorder;
  g_rec->write = request->write;
  g_rec->log.Bind(request->write, kRecorderId);

  example::Settings settings = example::Settings::Read("recorder.conf");
  // Absolute, for the status events: a viewer may not share our working directory.
  std::error_code ignored;
  g_rec->directory = std::filesystem::absolute(settings.Text("directory", "recordings"), ignored);
  g_rec->reportInterval = std::chrono::seconds(settings.Int("report_seconds", 5, 1, 3600));
  g_rec->statusInterval = std::chrono::seconds(settings.Int("status_seconds", 2, 1, 3600));
  g_rec->readChunk = static_cast<size_t>(settings.Int("read_chunk", 65536, 1024, 16 << 20));
  g_rec->maxQueued = static_cast<size_t>(settings.Int("max_queued_frames", 500, 1, 100000));
  const int32_t level = static_cast<int32_t>(settings.Int("log_level", 25, -1, 100));
  for (const std::string& problem : settings.problems()) g_rec->log.Write(50, "%s", problem.c_str());

  reply->systemID = kRecorderId;
  reply->subscriptionMasks[0] = CAMERA_FRAME_QUEUED_KEY;          // frames, through Write
  reply->subscriptionMasks[7] = RECORDING_REQUEST_BROADCAST_KEY;  // requests, through Read
  reply->acceptsWrite = 1;
  reply->acceptsRead = 1;
  reply->logLevel = level;
  return 0;
}

// [main thread] Starts the writer thread.
PLUGIN_EXPORT int32_t Open(const OpenRequest* /*request*/, OpenReply* /*reply*/) {
  if (g_rec == nullptr) return 1;
  std::lock_guard lock(g_rec->mutex);
  g_rec->opened = true;
  if (!g_rec->writer.joinable()) g_rec->writer = std::thread(WriterLoop, std::ref(*g_rec));
  return 0;
}

// [dispatcher] Keeps the frame's block and queues it for the writer.
PLUGIN_EXPORT int32_t Write(const DeliveredEvent* event, WriteReply* reply) {
  if (g_rec == nullptr) return 1;
  if ((event->eventType & EVENT_VIDEO) == 0 || event->eventSubtype != CAMERA_FRAME_SUBTYPE ||
      event->data == nullptr || event->dataSize < static_cast<int32_t>(sizeof(CameraFrameHeader)))
    return 0;
  uint32_t magic;
  std::memcpy(&magic, event->data, sizeof magic);
  if (magic != CAMERA_FRAME_MAGIC) return 0;
  {
    std::lock_guard lock(g_rec->mutex);
    if (!g_rec->opened || g_rec->closing) return 0;
    if (g_rec->queue.size() >= g_rec->maxQueued) {
      ++g_rec->dropped;  // not kept: the core drops our hold when we return
      return 0;
    }
    g_rec->queue.push_back(PendingFrame{event->data, event->dataSize});
  }
  reply->keepBlock = 1;  // released by the writer thread once recorded
  g_rec->wake.notify_one();
  return 0;
}

// [plugin read thread] once at start with requestID 0: nothing to do.
// [request thread] once per read request: streams the recording back, on
// this thread, before returning.
PLUGIN_EXPORT int32_t Read(const ReadRequest* request, ReadReply* /*reply*/) {
  if (g_rec == nullptr || request->requestID == 0) return 0;
  {
    std::lock_guard lock(g_rec->mutex);
    if (g_rec->closing) return 0;
    ++g_rec->activeReads;
  }
  Stream(*g_rec, ParseCamera(request->data, request->dataSize), request->requestID);
  {
    std::lock_guard lock(g_rec->mutex);
    --g_rec->activeReads;
  }
  g_rec->readers.notify_all();
  return 0;
}

// [main thread] Ends the writer after it has recorded and released every
// queued frame, and waits for running requests, which stop at their next
// chunk.  Nothing of the recorder runs once Close returns.
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
