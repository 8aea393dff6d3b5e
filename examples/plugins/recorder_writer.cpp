// recorder_writer.cpp - the writer thread: MP4 segments, status and reports.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <pthread.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "recorder_index.h"
#include "recorder_writer.h"
#include "status_events.h"

namespace recorder {

namespace {

void PublishStatus(Recorder& rec) {
  std::string xml;
  std::error_code error;
  const fs::path absolute = fs::absolute(rec.directory, error);
  struct statvfs disk {};
  uint64_t freeBytes = 0;
  if (statvfs(rec.directory.c_str(), &disk) == 0) freeBytes = static_cast<uint64_t>(disk.f_bavail) * disk.f_frsize;
  xml = "<RecorderStatus Directory=\"" + example::XmlEscaped(absolute.string()) + "\" BytesWritten=\"" +
        std::to_string(rec.bytesWritten) + "\" DiskFreeBytes=\"" + std::to_string(freeBytes) + "\">";
  {
    std::lock_guard lock(rec.mutex);
    for (auto& [name, track] : rec.tracks) {
      const std::string dir = example::XmlEscaped(DirectoryName(name));
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

// An MP4 muxer for `path` with the track's one video stream, or null.
AVFormatContext* NewMuxer(Recorder& rec, const Track& track, const std::string& path) {
  AVFormatContext* out = nullptr;
  const int rc = avformat_alloc_output_context2(&out, nullptr, "mp4", path.c_str());
  if (rc < 0 || out == nullptr) {
    rec.log.Write(75, "camera %s: no MP4 muxer: %s", track.name.c_str(), AvError(rc).c_str());
    return nullptr;
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
  return out;
}

// Starts a segment at a key frame with output time `outUs`.
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

  AVFormatContext* out = NewMuxer(rec, track, path);
  if (out == nullptr) return false;
  AVDictionary* options = nullptr;
  // One fragment per key frame behind an empty index: every fragment on
  // disk plays without the rest of the file.
  av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
  int rc = avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE);
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

// A camera's codec parameters.
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

// The frame's output time in microseconds: the connection's first frame is
// 0, and a loop or a jump of the source's clock goes on one frame later.
int64_t OutputTime(Recorder& rec, Track& track, const CameraFrameHeader& header, AVRational timeBase,
                   int64_t stepUs) {
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
  return outUs;
}

// Cuts and starts segments as the frame requires; false when the frame is
// not to be written (it is not the key frame a segment or a broken chain
// of frames waits for).
bool ReadyForFrame(Recorder& rec, Track& track, const CameraFrameHeader& header, int64_t outUs) {
  const bool key = header.keyFrame == 1;
  // A frame lost on the way (the camera numbers every frame) breaks the
  // chain of dependent frames: go on at the next key frame.
  if (track.haveSequence && header.sequence != track.lastSequence + 1 && !key) track.waitKey = true;
  track.haveSequence = true;
  track.lastSequence = header.sequence;
  if (track.out != nullptr && key && outUs - track.segmentStartOutUs >= rec.segmentUs) CloseSegment(rec, track);
  if (track.out == nullptr) {
    if (!key) return false;  // a segment starts at a key frame
    if (!OpenSegment(rec, track, outUs)) return false;
    track.waitKey = false;
  }
  if (track.waitKey) {
    if (!key) return false;
    track.waitKey = false;
  }
  return true;
}

// Muxes one coded frame.
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
  const int64_t outUs = OutputTime(rec, track, header, timeBase, stepUs);
  const int64_t ptsOffsetUs = av_rescale_q(header.pts - header.dts, timeBase, kMicros);
  const bool key = header.keyFrame == 1;
  if (!ReadyForFrame(rec, track, header, outUs)) return;

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

}  // namespace

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

}  // namespace recorder
