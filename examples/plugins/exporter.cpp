// exporter.cpp - "exporter.dll", the example client of the recorder.
//
// Some seconds after Open it asks the recorder for a camera and a time range
// with a read request and writes what comes back into one MP4 file,
// exports/NAME-YYYYMMDDTHHMMSSZ.mp4 in the core's working directory (named
// by the range's start in UTC).  The answers (camera_protocol.h) are the
// recording's codec parameters and then its frames from the key frame at or
// before the range's start, so the file plays from its first frame.
//
// The request is an event with providerID 0 (that is what makes it a read
// request), a requestID of our choosing, the class and subtype the recorder
// subscribes to, and "NAME FROM_MS TO_MS" as its text.  The answers come
// back as ordinary events through Write, carrying the same requestID; an
// empty answer ends the stream.  If the plugin is closed before the stream
// ended, it cancels the request (eventType 4096, providerID 0), so the
// recorder's next answer is refused and its reader stops, and finishes the
// file with what it has.
//
// Write remuxes each answer into the file: a short buffered append, the kind
// of work Write may do on the dispatcher (anything that can wait belongs on
// a thread of the plugin's own, as in the recorder).  The answer block is
// not kept: its bytes are written before Write returns, which also frees the
// recorder to send its next answer.  A change of the stream's parameters
// within the range ends the export there: one MP4 file holds one set.
//
// Settings, from exporter.conf in the working directory (all optional):
//   camera = cam0           name of the camera to export
//   after_seconds = 15      delay after Open, 0..3600
//   seconds = 10            length of the range, 1..86400 ...
//   lag_seconds = 2         ... ending this long before the request (the
//                           newest second or so is not on disk yet)
//   from_ms = , to_ms =     a fixed range instead, UTC milliseconds
//   directory = exports
extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <string>

#include "camera_protocol.h"
#include "plugin_support.h"
#include "recording-core/plugin_abi.h"

namespace {

constexpr ModuleId kExporterId = 0x00050000u;  // module number 5
constexpr uint32_t kRequestId = 0x00050001u;   // any non-zero value of ours

struct Exporter {
  CoreWriteFn write = nullptr;
  example::PluginLog log;
  std::string camera = "cam0";
  std::chrono::seconds delay{5};
  int64_t seconds = 10, lagSeconds = 2;
  int64_t fromMs = -1, toMs = -1;
  std::filesystem::path directory;

  std::mutex mutex;
  std::condition_variable wake;
  bool opened = false, closing = false;   // guarded by mutex
  bool requested = false, ended = false;  // guarded by mutex

  // Dispatcher only, then Close.
  std::string path;
  AVFormatContext* out = nullptr;
  bool failed = false;
  int64_t firstDts = 0, lastDts = 0, step = 40000;
  AVRational timeBase{1, 1000000};
  uint64_t frames = 0;
};

Exporter* g_exp = nullptr;

std::string CompactUtc(int64_t ms) {
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

// Finishes the file (its index goes at the end) and logs the outcome.
void EndExport(Exporter& exp, const char* how) {
  if (exp.out != nullptr) {
    const int rc = exp.frames > 0 ? av_write_trailer(exp.out) : 0;
    avio_closep(&exp.out->pb);
    avformat_free_context(exp.out);
    exp.out = nullptr;
    if (rc < 0) how = "failed at the end";
  }
  const double duration = exp.frames == 0 ? 0.0
                                          : static_cast<double>(exp.lastDts - exp.firstDts + exp.step) *
                                                exp.timeBase.num / exp.timeBase.den;
  exp.log.Write(25, "export of camera %s %s: %s, %llu frames, %.2f s", exp.camera.c_str(), how,
                exp.path.empty() ? "nothing recorded in the range" : exp.path.c_str(),
                static_cast<unsigned long long>(exp.frames), duration);
}

// The first answer: the recording's codec parameters open the file.
bool StartFile(Exporter& exp, const CameraCodecHeader& codec, const uint8_t* extradata) {
  std::error_code ignored;
  std::filesystem::create_directories(exp.directory, ignored);
  exp.path = (exp.directory / (exp.camera + "-" + CompactUtc(exp.fromMs) + ".mp4")).string();
  if (avformat_alloc_output_context2(&exp.out, nullptr, "mp4", exp.path.c_str()) < 0 || exp.out == nullptr) return false;
  AVStream* stream = avformat_new_stream(exp.out, nullptr);
  exp.timeBase = AVRational{static_cast<int>(codec.timeBaseNum), static_cast<int>(codec.timeBaseDen)};
  stream->time_base = exp.timeBase;
  AVCodecParameters* par = stream->codecpar;
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = codec.codec == CAMERA_CODEC_H265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
  par->width = static_cast<int>(codec.width);
  par->height = static_cast<int>(codec.height);
  if (codec.extradataSize != 0) {
    par->extradata = static_cast<uint8_t*>(av_mallocz(codec.extradataSize + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(par->extradata, extradata, codec.extradataSize);
    par->extradata_size = static_cast<int>(codec.extradataSize);
  }
  if (avio_open(&exp.out->pb, exp.path.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(exp.out, nullptr) < 0) {
    exp.log.Write(75, "cannot create %s", exp.path.c_str());
    if (exp.out->pb != nullptr) avio_closep(&exp.out->pb);
    avformat_free_context(exp.out);
    exp.out = nullptr;
    return false;
  }
  return true;
}

bool AddFrame(Exporter& exp, const CameraFrameHeader& header, const uint8_t* data) {
  AVStream* stream = exp.out->streams[0];
  const AVRational from = exp.timeBase;  // answers count in the codec header's base; the
                                         // muxer may have chosen another for the file
  if (exp.frames == 0) exp.firstDts = header.dts;
  if (exp.frames > 0 && header.dts > exp.lastDts) exp.step = header.dts - exp.lastDts;
  exp.lastDts = header.dts;
  AVPacket* packet = av_packet_alloc();
  packet->data = const_cast<uint8_t*>(data);
  packet->size = static_cast<int>(header.payloadSize);
  packet->dts = av_rescale_q(header.dts - exp.firstDts, from, stream->time_base);
  packet->pts = av_rescale_q(header.pts - exp.firstDts, from, stream->time_base);
  packet->duration = av_rescale_q(exp.step, from, stream->time_base);
  if (header.keyFrame == 1) packet->flags |= AV_PKT_FLAG_KEY;
  const int rc = av_write_frame(exp.out, packet);
  av_packet_free(&packet);
  if (rc < 0) return false;
  ++exp.frames;
  return true;
}

}  // namespace

// [main thread]
PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  delete g_exp;
  g_exp = new Exporter;
  g_exp->write = request->write;
  g_exp->log.Bind(request->write, kExporterId);
  av_log_set_level(AV_LOG_FATAL);
  example::Settings settings = example::Settings::Read("exporter.conf");
  g_exp->camera = settings.Text("camera", "cam0");
  g_exp->delay = std::chrono::seconds(settings.Int("after_seconds", 15, 0, 3600));
  g_exp->seconds = settings.Int("seconds", 10, 1, 86400);
  g_exp->lagSeconds = settings.Int("lag_seconds", 2, 0, 3600);
  g_exp->fromMs = settings.Int("from_ms", -1, 0, INT64_MAX);
  g_exp->toMs = settings.Int("to_ms", -1, 0, INT64_MAX);
  g_exp->directory = settings.Text("directory", "exports");
  for (const std::string& problem : settings.problems()) g_exp->log.Write(50, "%s", problem.c_str());
  if ((g_exp->fromMs < 0) != (g_exp->toMs < 0) || g_exp->toMs < g_exp->fromMs) {
    g_exp->log.Write(50, "exporter.conf: from_ms and to_ms go together, from first; using the last %lld s",
                     static_cast<long long>(g_exp->seconds));
    g_exp->fromMs = g_exp->toMs = -1;
  }

  reply->systemID = kExporterId;
  reply->subscriptionMasks[7] = RECORDING_ANSWER_QUEUED_KEY;  // the recorder's answers
  reply->runThread = 1;
  reply->acceptsWrite = 1;
  reply->logLevel = 25;
  return 0;
}

// [main thread] The run thread sends the request.
PLUGIN_EXPORT int32_t Open(const OpenRequest* /*request*/, OpenReply* /*reply*/) {
  if (g_exp == nullptr) return 1;
  {
    std::lock_guard lock(g_exp->mutex);
    g_exp->opened = true;
  }
  g_exp->wake.notify_all();
  return 0;
}

// [plugin run thread] Waits `after_seconds` past Open, sends the request,
// then waits for Close.
PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* request, IoctlReply* /*reply*/) {
  if (request->code != IOCTL_RUN || g_exp == nullptr) return 0;
  Exporter& exp = *g_exp;
  std::unique_lock lock(exp.mutex);
  exp.wake.wait(lock, [&] { return exp.opened || exp.closing; });
  const auto due = std::chrono::steady_clock::now() + exp.delay;
  if (exp.wake.wait_until(lock, due, [&] { return exp.closing; })) return 0;
  if (exp.fromMs < 0) {
    const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    exp.toMs = now - exp.lagSeconds * 1000;
    exp.fromMs = exp.toMs - exp.seconds * 1000;
  }
  exp.requested = true;
  const std::string text = exp.camera + " " + std::to_string(exp.fromMs) + " " + std::to_string(exp.toMs);
  lock.unlock();

  CoreEvent ask = example::MakeEvent(0, RECORDING_EVENT_CLASS, RECORDING_REQUEST_SUBTYPE, text.data(),
                                     static_cast<int32_t>(text.size()));
  ask.requestID = kRequestId;
  example::WriteEvent(exp.write, ask);  // the core copies the payload for each reader

  lock.lock();
  exp.wake.wait(lock, [&] { return exp.closing; });
  return 0;
}

// [dispatcher] One answer: codec parameters, a frame, or the end.
PLUGIN_EXPORT int32_t Write(const DeliveredEvent* event, WriteReply* /*reply*/) {
  if (g_exp == nullptr || event->requestID != kRequestId) return 0;
  Exporter& exp = *g_exp;
  {
    std::lock_guard lock(exp.mutex);
    if (exp.ended || !exp.requested) return 0;
  }
  const uint8_t* data = static_cast<const uint8_t*>(event->data);
  const size_t size = event->data != nullptr && event->dataSize > 0 ? static_cast<size_t>(event->dataSize) : 0;
  const char* end = nullptr;
  if (size == 0 && exp.failed) {
    std::lock_guard lock(exp.mutex);
    exp.ended = true;
    return 0;
  } else if (size == 0) {
    end = "done";
  } else if (exp.failed) {
    return 0;
  } else if (size >= sizeof(CameraCodecHeader) && std::memcmp(data, "CCP1", 4) == 0) {
    CameraCodecHeader codec;
    std::memcpy(&codec, data, sizeof codec);
    if (codec.extradataSize > size - sizeof codec || codec.timeBaseNum == 0 || codec.timeBaseDen == 0) {
      end = "failed: malformed codec parameters";
    } else if (exp.out != nullptr) {
      end = "ended early: the stream's parameters changed";
    } else if (!StartFile(exp, codec, data + sizeof codec)) {
      end = "failed";
    }
  } else if (size >= sizeof(CameraFrameHeader) && std::memcmp(data, "CSF2", 4) == 0) {
    CameraFrameHeader header;
    std::memcpy(&header, data, sizeof header);
    if (exp.out == nullptr || header.payloadSize != size - sizeof header) {
      end = "failed: a frame without codec parameters, or malformed";
    } else if (!AddFrame(exp, header, data + sizeof header)) {
      end = "failed, disk full?";
    }
  }
  if (end != nullptr) {
    if (size != 0) exp.failed = true;  // the rest of the stream is ignored
    EndExport(exp, end);
    if (size == 0) {
      std::lock_guard lock(exp.mutex);
      exp.ended = true;
    }
  }
  return 0;
}

// [main thread] Cancels an unfinished request and ends the run thread.
PLUGIN_EXPORT int32_t Close(const CloseRequest* /*request*/, CloseReply* /*reply*/) {
  if (g_exp == nullptr) return 0;
  bool cancel;
  {
    std::lock_guard lock(g_exp->mutex);
    g_exp->closing = true;
    cancel = g_exp->requested && !g_exp->ended;
    g_exp->ended = true;
  }
  g_exp->wake.notify_all();
  if (cancel) {
    CoreEvent stop = example::MakeEvent(0, EVENT_CANCEL_REQUEST, 0, nullptr, 0);
    stop.requestID = kRequestId;
    example::WriteEvent(g_exp->write, stop);
    if (!g_exp->failed) EndExport(*g_exp, "cancelled");
  }
  return 0;
}

// [main thread] The run thread has returned.
PLUGIN_EXPORT int32_t Unload(const UnloadRequest* /*request*/, UnloadReply* /*reply*/) {
  if (g_exp != nullptr && g_exp->out != nullptr) EndExport(*g_exp, "cancelled");
  delete g_exp;
  g_exp = nullptr;
  return 0;
}
