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
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <pthread.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camera_protocol.h"
#include "plugin_support.h"
#include "recording-core/plugin_abi.h"
#include "status_events.h"

namespace {

namespace fs = std::filesystem;
constexpr ModuleId kRecorderId = 0x00030000u;  // module number 3
constexpr AVRational kMicros{1, 1000000};

struct Segment {
  std::string file;  // name within the camera directory
  int64_t startMs = 0, endMs = 0;
  uint64_t bytes = 0;
};

// One camera's recording.  The writer thread owns everything but `segments`
// and `openSegment`, which request threads read under Recorder::mutex.
struct Track {
  std::string name;
  std::vector<Segment> segments;  // closed ones, oldest first; guarded by mutex
  Segment openSegment;            // file empty when none; guarded by mutex

  // Writer thread only.
  CameraCodecHeader codec{};
  std::vector<uint8_t> extradata;
  bool haveCodec = false, unsupported = false;
  AVFormatContext* out = nullptr;
  bool waitKey = true;
  bool haveSequence = false;
  uint32_t lastSequence = 0;
  bool runStarted = false;   // the connection's first frame has been seen
  int64_t runDtsBase = 0;    // stream time (codec time base) of output time runOutBase
  int64_t runOutBase = 0;    // output time, microseconds
  int64_t utcAnchorUs = 0;   // UTC of output time 0
  int64_t lastOutUs = 0, lastStepUs = 40000;
  int64_t segmentStartOutUs = 0;
  uint64_t frames = 0, reportedFrames = 0, bytes = 0;
};

struct PendingFrame {
  void* block;  // the core's payload block, held by the recorder
  int32_t size;
  ModuleId provider;
  uint32_t subtype;
};

struct Recorder {
  CoreWriteFn write = nullptr;
  CoreContext* context = nullptr;
  example::PluginLog log;
  fs::path directory;
  int64_t segmentUs = 60000000;
  uint64_t retentionBytes = 0;
  int64_t retentionDays = 0;
  std::chrono::seconds reportInterval{5};
  size_t maxQueued = 500;

  std::mutex mutex;
  std::condition_variable wake;     // writer: queue or closing changed
  std::condition_variable readers;  // Close: activeReads dropped
  std::deque<PendingFrame> queue;   // guarded by mutex
  bool closing = false;             // guarded by mutex
  bool opened = false;              // guarded by mutex
  int activeReads = 0;              // guarded by mutex
  uint64_t dropped = 0;             // guarded by mutex
  std::map<std::string, std::unique_ptr<Track>> tracks;  // by name; guarded by mutex
  std::map<ModuleId, Track*> byProvider;                 // writer thread only
  uint64_t bytesWritten = 0;                             // writer thread only
  std::thread writer;
};

Recorder* g_rec = nullptr;

int64_t UtcNowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t CoreNowNs(const Recorder& rec) {
  if (rec.context != nullptr && rec.context->table != nullptr && rec.context->table->now) {
    int64_t slot = 0;
    return *rec.context->table->now(rec.context, &slot);
  }
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string UtcText(int64_t ms, bool compact) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[64];
  if (compact)
    std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
  else
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
  return text;
}

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// A camera name becomes a directory name: only letters, digits, '-', '_'
// and '.' (not leading) are kept as they are.
std::string DirectoryName(const std::string& name) {
  std::string out;
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '_' || (c == '.' && !out.empty());
    out += plain ? c : '_';
  }
  return out.empty() ? std::string("_") : out;
}

fs::path CameraDir(const Recorder& rec, const Track& track) { return rec.directory / DirectoryName(track.name); }

void AppendIndex(Recorder& rec, const Track& track, const std::string& line) {
  std::ofstream index(CameraDir(rec, track) / "index", std::ios::app);
  index << line << '\n';
  if (!index.flush()) rec.log.Write(75, "camera %s: cannot write its index", track.name.c_str());
}

// Writes a camera's index afresh from its closed segments.  [writer thread, or Open]
void RewriteIndex(Recorder& rec, const Track& track) {
  const fs::path path = CameraDir(rec, track) / "index";
  const fs::path temporary = path.string() + ".new";
  {
    std::ofstream index(temporary, std::ios::trunc);
    for (const Segment& s : track.segments)
      index << "closed " << s.file << ' ' << s.startMs << ' ' << s.endMs << ' ' << s.bytes << '\n';
    if (!index.flush()) {
      rec.log.Write(75, "camera %s: cannot write its index", track.name.c_str());
      return;
    }
  }
  std::error_code error;
  fs::rename(temporary, path, error);
}

// Reads every camera directory's index; closes segments a killed process
// left open.  [main thread, Load]
void LoadIndexes(Recorder& rec) {
  std::error_code error;
  if (!fs::is_directory(rec.directory, error)) return;
  for (const fs::directory_entry& entry : fs::directory_iterator(rec.directory, error)) {
    if (!entry.is_directory()) continue;
    std::ifstream in(entry.path() / "index");
    if (!in) continue;
    auto track = std::make_unique<Track>();
    track->name = entry.path().filename().string();
    std::map<std::string, Segment> segments;
    std::string line;
    bool recovered = false;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string kind;
      Segment s;
      fields >> kind >> s.file >> s.startMs;
      if (kind == "closed") fields >> s.endMs >> s.bytes;
      if (fields.fail() || s.file.find('/') != std::string::npos || (kind != "open" && kind != "closed")) {
        rec.log.Write(50, "%s: line '%s' is not an index line, ignored", (entry.path() / "index").c_str(),
                      line.c_str());
        continue;
      }
      if (kind == "closed" || segments.count(s.file) == 0) segments[s.file] = s;
    }
    for (auto it = segments.begin(); it != segments.end();) {
      Segment& s = it->second;
      const fs::path file = entry.path() / s.file;
      if (!fs::exists(file, error)) {
        it = segments.erase(it);
        recovered = true;
        continue;
      }
      if (s.endMs == 0) {  // opened, never closed: the process was killed
        const auto modified = fs::last_write_time(file, error);
        const auto system = std::chrono::file_clock::to_sys(modified);
        s.endMs = std::max(s.startMs, static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                               system.time_since_epoch())
                                                               .count()));
        s.bytes = fs::file_size(file, error);
        rec.log.Write(50, "camera %s: segment %s was not closed, kept up to %s", track->name.c_str(),
                      s.file.c_str(), UtcText(s.endMs, false).c_str());
        recovered = true;
      }
      ++it;
    }
    for (auto& [file, s] : segments) track->segments.push_back(s);
    std::sort(track->segments.begin(), track->segments.end(),
              [](const Segment& a, const Segment& b) { return a.startMs < b.startMs; });
    if (recovered) RewriteIndex(rec, *track);
    rec.tracks[track->name] = std::move(track);
  }
}

// Deletes the oldest segments while the limits are exceeded.  [writer thread, Load]
void ApplyRetention(Recorder& rec) {
  if (rec.retentionBytes == 0 && rec.retentionDays == 0) return;
  std::vector<std::pair<Track*, Segment>> all;
  uint64_t total = 0;
  {
    std::lock_guard lock(rec.mutex);
    for (auto& [name, track] : rec.tracks)
      for (const Segment& s : track->segments) {
        all.emplace_back(track.get(), s);
        total += s.bytes;
      }
  }
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.second.startMs < b.second.startMs; });
  const int64_t oldest = rec.retentionDays > 0 ? UtcNowUs() / 1000 - rec.retentionDays * 86400000 : INT64_MIN;
  std::vector<Track*> changed;
  for (const auto& [track, s] : all) {
    const bool tooMuch = rec.retentionBytes != 0 && total > rec.retentionBytes;
    if (!tooMuch && s.endMs >= oldest) break;
    std::error_code error;
    fs::remove(CameraDir(rec, *track) / s.file, error);
    if (error) {
      rec.log.Write(75, "camera %s: cannot delete %s: %s", track->name.c_str(), s.file.c_str(),
                    error.message().c_str());
      break;
    }
    total -= s.bytes;
    rec.log.Write(25, "camera %s: deleted %s (%llu bytes) for the retention limit", track->name.c_str(),
                  s.file.c_str(), static_cast<unsigned long long>(s.bytes));
    {
      std::lock_guard lock(rec.mutex);
      auto& list = track->segments;
      list.erase(std::remove_if(list.begin(), list.end(), [&](const Segment& x) { return x.file == s.file; }),
                 list.end());
    }
    if (std::find(changed.begin(), changed.end(), track) == changed.end()) changed.push_back(track);
  }
  for (Track* track : changed) RewriteIndex(rec, *track);
}

void PublishStatus(Recorder& rec) {
  std::string xml;
  std::error_code error;
  const fs::path absolute = fs::absolute(rec.directory, error);
  struct statvfs disk {};
  uint64_t freeBytes = 0;
  if (statvfs(rec.directory.c_str(), &disk) == 0) freeBytes = static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize;
  xml = "<RecorderStatus Directory=\"" + absolute.string() + "\" BytesWritten=\"" +
        std::to_string(rec.bytesWritten) + "\" DiskFreeBytes=\"" + std::to_string(freeBytes) + "\">";
  {
    std::lock_guard lock(rec.mutex);
    for (auto& [name, track] : rec.tracks) {
      const std::string dir = DirectoryName(name);
      xml += "<Camera Name=\"" + dir + "\" Frames=\"" + std::to_string(track->frames) + "\" Open=\"" +
             (track->openSegment.file.empty() ? std::string() : dir + "/" + track->openSegment.file) + "\">";
      const size_t first = track->segments.size() > 10 ? track->segments.size() - 10 : 0;
      for (size_t i = first; i < track->segments.size(); ++i) {
        const Segment& s = track->segments[i];
        xml += "<Segment File=\"" + dir + "/" + s.file + "\" StartUtc=\"" + UtcText(s.startMs, false) +
               "\" EndUtc=\"" + UtcText(s.endMs, false) + "\" Bytes=\"" + std::to_string(s.bytes) + "\"/>";
      }
      xml += "</Camera>";
    }
  }
  xml += "</RecorderStatus>";
  example::WriteEvent(rec.write, example::MakeEvent(kRecorderId, STATUS_EVENT_CLASS, RECORDER_STATUS_SUBTYPE,
                                                    xml.data(), static_cast<int32_t>(xml.size())));
}

// Ends the camera's open segment, if any, and enters it in the index.
// [writer thread]
void CloseSegment(Recorder& rec, Track& track) {
  if (track.out == nullptr) return;
  const int rc = av_write_trailer(track.out);
  avio_closep(&track.out->pb);
  avformat_free_context(track.out);
  track.out = nullptr;
  Segment s;
  {
    std::lock_guard lock(rec.mutex);
    s = track.openSegment;
    track.openSegment = Segment();
  }
  std::error_code error;
  s.bytes = fs::file_size(CameraDir(rec, track) / s.file, error);
  s.endMs = (track.utcAnchorUs + track.lastOutUs + track.lastStepUs) / 1000;
  if (rc < 0) rec.log.Write(75, "camera %s: cannot finish %s: %s", track.name.c_str(), s.file.c_str(), AvError(rc).c_str());
  AppendIndex(rec, track, "closed " + s.file + " " + std::to_string(s.startMs) + " " + std::to_string(s.endMs) + " " +
                              std::to_string(s.bytes));
  {
    std::lock_guard lock(rec.mutex);
    track.segments.push_back(s);
  }
  rec.bytesWritten += s.bytes;
  track.waitKey = true;
  ApplyRetention(rec);
  PublishStatus(rec);
}

// Starts a segment at a key frame with output time `outUs`.  [writer thread]
bool OpenSegment(Recorder& rec, Track& track, int64_t outUs) {
  const fs::path dir = CameraDir(rec, track);
  std::error_code error;
  fs::create_directories(dir, error);
  Segment s;
  s.startMs = (track.utcAnchorUs + outUs) / 1000;
  s.file = UtcText(s.startMs, true) + ".mp4";
  for (int n = 1; fs::exists(dir / s.file, error); ++n)  // two starts within a second
    s.file = UtcText(s.startMs, true) + "-" + std::to_string(n) + ".mp4";
  const std::string path = (dir / s.file).string();

  AVFormatContext* out = nullptr;
  int rc = avformat_alloc_output_context2(&out, nullptr, "mp4", path.c_str());
  if (rc < 0 || out == nullptr) {
    rec.log.Write(75, "camera %s: no MP4 muxer: %s", track.name.c_str(), AvError(rc).c_str());
    return false;
  }
  AVStream* stream = avformat_new_stream(out, nullptr);
  stream->time_base = AVRational{1, 90000};
  AVCodecParameters* par = stream->codecpar;
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = track.codec.codec == CAMERA_CODEC_H265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
  par->width = static_cast<int>(track.codec.width);
  par->height = static_cast<int>(track.codec.height);
  if (!track.extradata.empty()) {
    par->extradata = static_cast<uint8_t*>(av_mallocz(track.extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(par->extradata, track.extradata.data(), track.extradata.size());
    par->extradata_size = static_cast<int>(track.extradata.size());
  }
  if (track.codec.frameRateNum != 0 && track.codec.frameRateDen != 0)
    stream->avg_frame_rate = AVRational{static_cast<int>(track.codec.frameRateNum),
                                        static_cast<int>(track.codec.frameRateDen)};
  AVDictionary* options = nullptr;
  // One fragment per key frame behind an empty index: every fragment on
  // disk plays without the rest of the file.
  av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
  rc = avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE);
  if (rc >= 0) rc = avformat_write_header(out, &options);
  av_dict_free(&options);
  if (rc < 0) {
    rec.log.Write(75, "camera %s: cannot start %s: %s", track.name.c_str(), path.c_str(), AvError(rc).c_str());
    avio_closep(&out->pb);
    avformat_free_context(out);
    fs::remove(path, error);
    return false;
  }
  avio_flush(out->pb);
  track.out = out;
  track.segmentStartOutUs = outUs;
  {
    std::lock_guard lock(rec.mutex);
    track.openSegment = s;
  }
  AppendIndex(rec, track, "open " + s.file + " " + std::to_string(s.startMs));
  return true;
}

Track* TrackFor(Recorder& rec, const std::string& name) {
  std::lock_guard lock(rec.mutex);
  auto& slot = rec.tracks[name];
  if (!slot) {
    slot = std::make_unique<Track>();
    slot->name = name;
  }
  return slot.get();
}

// A camera's codec parameters.  [writer thread]
void TakeCodec(Recorder& rec, ModuleId provider, const uint8_t* data, int32_t size) {
  CameraCodecHeader header;
  if (size < static_cast<int32_t>(sizeof header)) {
    rec.log.Write(50, "camera id 0x%08x: malformed codec parameters ignored", provider);
    return;
  }
  std::memcpy(&header, data, sizeof header);
  if (header.magic != CAMERA_CODEC_MAGIC || header.extradataSize > static_cast<uint32_t>(size) - sizeof header ||
      header.timeBaseNum == 0 || header.timeBaseDen == 0) {
    rec.log.Write(50, "camera id 0x%08x: malformed codec parameters ignored", provider);
    return;
  }
  header.name[CAMERA_NAME_BYTES - 1] = '\0';
  const std::string name = DirectoryName(header.name);
  Track& track = *TrackFor(rec, name);
  rec.byProvider[provider] = &track;
  std::vector<uint8_t> extradata(data + sizeof header, data + sizeof header + header.extradataSize);
  const bool sameStream = track.haveCodec && track.codec.connection == header.connection &&
                          track.codec.codec == header.codec && track.codec.width == header.width &&
                          track.codec.height == header.height && track.extradata == extradata;
  if (sameStream) return;
  CloseSegment(rec, track);  // a new connection or new parameters: a new segment
  const bool newConnection = !track.haveCodec || track.codec.connection != header.connection;
  track.codec = header;
  track.extradata = std::move(extradata);
  track.haveCodec = true;
  track.waitKey = true;
  if (newConnection) track.runStarted = false;
  track.unsupported = header.codec != CAMERA_CODEC_H264 && header.codec != CAMERA_CODEC_H265;
  if (track.unsupported)
    rec.log.Write(50, "camera %s: its codec cannot be put in MP4 (only H.264 and H.265), not recorded", name.c_str());
}

// Muxes one coded frame.  [writer thread]
void RecordFrame(Recorder& rec, ModuleId provider, const uint8_t* data, int32_t size) {
  CameraFrameHeader header;
  if (size < static_cast<int32_t>(sizeof header)) return;
  std::memcpy(&header, data, sizeof header);
  if (header.magic != CAMERA_FRAME_MAGIC || header.payloadSize != static_cast<uint32_t>(size) - sizeof header) return;
  auto found = rec.byProvider.find(provider);
  if (found == rec.byProvider.end()) return;  // no codec parameters yet
  Track& track = *found->second;
  if (track.unsupported || header.connection != track.codec.connection) return;

  const AVRational timeBase{static_cast<int>(track.codec.timeBaseNum), static_cast<int>(track.codec.timeBaseDen)};
  const int64_t stepUs = track.codec.frameRateNum != 0
                             ? av_rescale(1000000, track.codec.frameRateDen, track.codec.frameRateNum)
                             : track.lastStepUs;
  if (!track.runStarted) {
    // The connection's first frame: output time 0 is now in UTC.
    track.runStarted = true;
    track.runDtsBase = header.dts;
    track.runOutBase = 0;
    track.lastOutUs = -stepUs;
    track.lastStepUs = stepUs;
    const int64_t ageUs = (CoreNowNs(rec) - header.captureNs) / 1000;
    track.utcAnchorUs = UtcNowUs() - std::max<int64_t>(0, ageUs);
  }
  int64_t outUs = track.runOutBase + av_rescale_q(header.dts - track.runDtsBase, timeBase, kMicros);
  if ((header.flags & CAMERA_FRAME_LOOPED) != 0 || outUs <= track.lastOutUs ||
      outUs - track.lastOutUs > 10 * 1000000) {
    // A loop or a jump of the source's clock: go on one frame later.
    track.runDtsBase = header.dts;
    track.runOutBase = track.lastOutUs + track.lastStepUs;
    outUs = track.runOutBase;
  }
  const int64_t ptsOffsetUs = av_rescale_q(header.pts - header.dts, timeBase, kMicros);

  const bool key = header.keyFrame == 1;
  // A frame lost on the way (the camera numbers every frame) breaks the
  // chain of dependent frames: go on at the next key frame.
  if (track.haveSequence && header.sequence != track.lastSequence + 1 && !key) track.waitKey = true;
  track.haveSequence = true;
  track.lastSequence = header.sequence;
  if (track.out != nullptr && key && outUs - track.segmentStartOutUs >= rec.segmentUs) CloseSegment(rec, track);
  if (track.out == nullptr) {
    if (!key) return;  // a segment starts at a key frame
    if (!OpenSegment(rec, track, outUs)) return;
    track.waitKey = false;
  }
  if (track.waitKey) {
    if (!key) return;
    track.waitKey = false;
  }

  if (outUs > track.lastOutUs) track.lastStepUs = std::min<int64_t>(outUs - track.lastOutUs, 1000000);
  track.lastOutUs = outUs;
  AVStream* stream = track.out->streams[0];
  AVPacket* packet = av_packet_alloc();
  packet->data = const_cast<uint8_t*>(data) + sizeof header;
  packet->size = static_cast<int>(header.payloadSize);
  packet->stream_index = 0;
  packet->dts = av_rescale_q(outUs - track.segmentStartOutUs, kMicros, stream->time_base);
  packet->pts = av_rescale_q(outUs - track.segmentStartOutUs + std::max<int64_t>(0, ptsOffsetUs), kMicros,
                             stream->time_base);
  packet->duration = av_rescale_q(stepUs, kMicros, stream->time_base);
  if (key) packet->flags |= AV_PKT_FLAG_KEY;
  const int rc = av_write_frame(track.out, packet);
  av_packet_free(&packet);
  if (rc < 0) {
    rec.log.Write(75, "camera %s: cannot write %s: %s; a new segment starts at the next key frame",
                  track.name.c_str(), track.openSegment.file.c_str(), AvError(rc).c_str());
    CloseSegment(rec, track);
    return;
  }
  // A key frame completes the fragment before it: put it on disk now.
  if (key) avio_flush(track.out->pb);
  ++track.frames;
  track.bytes += header.payloadSize;
}

void Report(Recorder& rec, uint64_t dropped) {
  std::string text;
  std::lock_guard lock(rec.mutex);
  for (auto& [name, track] : rec.tracks) {
    if (track->frames == track->reportedFrames) continue;
    track->reportedFrames = track->frames;
    char part[200];
    std::snprintf(part, sizeof part, "%scamera %s: %llu frames, %llu KiB", text.empty() ? "" : "; ", name.c_str(),
                  static_cast<unsigned long long>(track->frames), static_cast<unsigned long long>(track->bytes / 1024));
    text += part;
  }
  if (dropped != 0) text += "; " + std::to_string(dropped) + " frames dropped, disk too slow";
  if (!text.empty()) rec.log.Write(25, "recorded %s", text.c_str());
}

// The writer thread, from Open to Close.  Records every queued frame, then
// releases its block; at Close it finishes the queue and every segment.
void WriterLoop(Recorder& rec) {
  pthread_setname_np(pthread_self(), "recorder");
  using Clock = std::chrono::steady_clock;
  auto nextReport = Clock::now() + rec.reportInterval;
  uint64_t dropped = 0;
  std::unique_lock lock(rec.mutex);
  for (;;) {
    rec.wake.wait_until(lock, nextReport, [&] { return rec.closing || !rec.queue.empty(); });
    if (!rec.queue.empty()) {
      PendingFrame frame = rec.queue.front();
      rec.queue.pop_front();
      lock.unlock();
      const uint8_t* data = static_cast<const uint8_t*>(frame.block);
      if (frame.subtype == CAMERA_CODEC_SUBTYPE)
        TakeCodec(rec, frame.provider, data, frame.size);
      else
        RecordFrame(rec, frame.provider, data, frame.size);
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
      PublishStatus(rec);
      dropped = 0;
      nextReport = Clock::now() + rec.reportInterval;
      lock.lock();
    }
  }
  dropped += rec.dropped;
  std::vector<Track*> tracks;
  for (auto& [name, track] : rec.tracks) tracks.push_back(track.get());
  lock.unlock();
  for (Track* track : tracks) CloseSegment(rec, *track);
  Report(rec, dropped);
}

// ---- Playback ---------------------------------------------------------

struct Range {
  std::string name;
  int64_t fromMs = INT64_MIN, toMs = INT64_MAX;
  int64_t fromUs = INT64_MIN, toUs = INT64_MAX;  // the same, in microseconds
};

// "NAME FROM_MS TO_MS" or "NAME", possibly followed by NULs.
bool ParseRequest(const void* data, uint32_t size, Range* range) {
  if (data == nullptr || size == 0) return false;
  std::string text(static_cast<const char*>(data), size);
  text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
  std::istringstream fields(text);
  if (!(fields >> range->name)) return false;
  if (fields >> range->fromMs) {
    if (!(fields >> range->toMs) || range->toMs < range->fromMs) return false;
  } else if (!fields.eof()) {
    return false;
  }
  std::string rest;
  if (fields >> rest) return false;
  const int64_t limit = INT64_MAX / 1000;
  if (range->fromMs != INT64_MIN) {
    if (range->fromMs < -limit || range->toMs > limit) return false;
    range->fromUs = range->fromMs * 1000;
    range->toUs = range->toMs * 1000;
  }
  return true;
}

struct InputCloser {
  void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};
struct BsfCloser {
  void operator()(AVBSFContext* ctx) const { av_bsf_free(&ctx); }
};

// Streams the frames of `range` under `requestID`.  [request thread]
void Stream(Recorder& rec, const Range& range, uint32_t requestID, const fs::path& dir,
            const std::vector<Segment>& segments) {
  auto answer = [&](const void* data, size_t size) {
    CoreEvent event = example::MakeEvent(kRecorderId, RECORDING_EVENT_CLASS, RECORDING_ANSWER_SUBTYPE, data,
                                         static_cast<int32_t>(size));
    event.requestID = requestID;
    return example::WriteEvent(rec.write, event);
  };
  auto closing = [&] {
    std::lock_guard lock(rec.mutex);
    return rec.closing;
  };
  std::vector<uint8_t> sentExtradata;
  bool sentCodec = false;
  int64_t firstUs = INT64_MIN;  // UTC of the first frame sent
  uint32_t sequence = 0;
  std::vector<std::vector<uint8_t>> gop;  // frames since the last key frame before the range
  bool haveKey = false;
  std::vector<uint8_t> buffer;

  for (const Segment& segment : segments) {
    if (closing()) return;
    AVFormatContext* raw = nullptr;
    const std::string path = (dir / segment.file).string();
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
      rec.log.Write(50, "camera %s: cannot read %s, skipped", range.name.c_str(), segment.file.c_str());
      continue;
    }
    std::unique_ptr<AVFormatContext, InputCloser> input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0 || input->nb_streams < 1) continue;
    AVStream* stream = input->streams[0];
    const AVCodecParameters& par = *stream->codecpar;
    AVBSFContext* rawBsf = nullptr;
    const char* filterName = par.codec_id == AV_CODEC_ID_HEVC ? "hevc_mp4toannexb" : "h264_mp4toannexb";
    if (av_bsf_alloc(av_bsf_get_by_name(filterName), &rawBsf) < 0) return;
    std::unique_ptr<AVBSFContext, BsfCloser> bsf(rawBsf);
    avcodec_parameters_copy(bsf->par_in, &par);
    bsf->time_base_in = stream->time_base;
    if (av_bsf_init(bsf.get()) < 0) continue;
    const AVCodecParameters& outPar = *bsf->par_out;
    std::vector<uint8_t> extradata(outPar.extradata, outPar.extradata + std::max(0, outPar.extradata_size));

    AVPacket* packet = av_packet_alloc();
    bool done = false;
    while (!done && av_read_frame(input.get(), packet) >= 0) {
      if (av_bsf_send_packet(bsf.get(), packet) < 0) {
        av_packet_unref(packet);
        continue;
      }
      while (!done && av_bsf_receive_packet(bsf.get(), packet) == 0) {
        const int64_t dtsUs = packet->dts == AV_NOPTS_VALUE ? 0 : av_rescale_q(packet->dts, stream->time_base, kMicros);
        const int64_t ptsUs = packet->pts == AV_NOPTS_VALUE ? dtsUs : av_rescale_q(packet->pts, stream->time_base, kMicros);
        const int64_t utcUs = segment.startMs * 1000 + dtsUs;
        const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        if (utcUs > range.toUs) {
          done = true;
          break;
        }
        CameraFrameHeader header;
        std::memset(&header, 0, sizeof header);
        header.magic = CAMERA_FRAME_MAGIC;
        header.keyFrame = key ? 1 : 0;
        header.payloadSize = static_cast<uint32_t>(packet->size);
        header.pts = utcUs + (ptsUs - dtsUs);  // made relative below
        header.dts = utcUs;
        header.connection = 1;
        buffer.resize(sizeof header + static_cast<size_t>(packet->size));
        std::memcpy(buffer.data(), &header, sizeof header);
        std::memcpy(buffer.data() + sizeof header, packet->data, static_cast<size_t>(packet->size));
        av_packet_unref(packet);
        if (key) {
          gop.clear();
          haveKey = true;
        }
        if (!haveKey) continue;  // nothing decodes before a key frame
        gop.push_back(buffer);
        if (utcUs < range.fromUs) continue;  // kept until the range starts

        if (!sentCodec || extradata != sentExtradata) {
          CameraCodecHeader codec;
          std::memset(&codec, 0, sizeof codec);
          codec.magic = CAMERA_CODEC_MAGIC;
          codec.codec = par.codec_id == AV_CODEC_ID_HEVC ? CAMERA_CODEC_H265 : CAMERA_CODEC_H264;
          codec.connection = 1;
          codec.width = static_cast<uint32_t>(par.width);
          codec.height = static_cast<uint32_t>(par.height);
          codec.timeBaseNum = 1;
          codec.timeBaseDen = 1000000;
          codec.extradataSize = static_cast<uint32_t>(extradata.size());
          std::snprintf(codec.name, sizeof codec.name, "%s", range.name.c_str());
          std::vector<uint8_t> payload(sizeof codec + extradata.size());
          std::memcpy(payload.data(), &codec, sizeof codec);
          if (!extradata.empty()) std::memcpy(payload.data() + sizeof codec, extradata.data(), extradata.size());
          if (answer(payload.data(), payload.size()) != WRITE_ACCEPTED) {
            av_packet_free(&packet);
            return;
          }
          sentCodec = true;
          sentExtradata = extradata;
        }
        for (std::vector<uint8_t>& frame : gop) {
          CameraFrameHeader* h = reinterpret_cast<CameraFrameHeader*>(frame.data());
          if (firstUs == INT64_MIN) firstUs = h->dts;
          h->pts -= firstUs;
          h->dts -= firstUs;
          h->sequence = sequence++;
          // Waits here while the previous answer is still in flight.
          const int32_t code = answer(frame.data(), frame.size());
          if (code != WRITE_ACCEPTED || closing()) {
            av_packet_free(&packet);
            if (code != WRITE_REFUSED) answer(nullptr, 0);
            return;
          }
        }
        gop.clear();
      }
    }
    av_packet_free(&packet);
    if (done) break;
  }
  answer(nullptr, 0);  // end of stream
}

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
  LoadIndexes(*g_rec);
  ApplyRetention(*g_rec);

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
  if (!g_rec->writer.joinable()) g_rec->writer = std::thread(WriterLoop, std::ref(*g_rec));
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
  const bool valid = ParseRequest(request->data, request->dataSize, &range);
  std::vector<Segment> segments;
  fs::path dir;
  {
    std::lock_guard lock(g_rec->mutex);
    if (g_rec->closing) return 0;
    ++g_rec->activeReads;
    auto found = valid ? g_rec->tracks.find(DirectoryName(range.name)) : g_rec->tracks.end();
    if (found != g_rec->tracks.end()) {
      dir = CameraDir(*g_rec, *found->second);
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
  Stream(*g_rec, range, request->requestID, dir, segments);
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
