// ipcam_stream.cpp - a camera's connections, from open to loss, and the
// reconnect loop around them.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "camera_protocol.h"
#include "ipcam_stream.h"

namespace ipcam {

namespace {

struct FormatCloser {
  void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};
struct BsfCloser {
  void operator()(AVBSFContext* ctx) const { av_bsf_free(&ctx); }
};
struct PacketCloser {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

uint16_t CodecOf(AVCodecID id) {
  if (id == AV_CODEC_ID_H264) return CAMERA_CODEC_H264;
  if (id == AV_CODEC_ID_HEVC) return CAMERA_CODEC_H265;
  return CAMERA_CODEC_OTHER;
}

void WriteCodecParameters(Camera& cam, const AVCodecParameters& par, AVRational timeBase, AVRational rate) {
  CameraCodecHeader header;
  std::memset(&header, 0, sizeof header);
  header.magic = CAMERA_CODEC_MAGIC;
  header.camera = cam.index;
  header.codec = CodecOf(par.codec_id);
  header.connection = cam.connection;
  header.width = static_cast<uint32_t>(par.width);
  header.height = static_cast<uint32_t>(par.height);
  header.timeBaseNum = static_cast<uint32_t>(timeBase.num);
  header.timeBaseDen = static_cast<uint32_t>(timeBase.den);
  header.frameRateNum = rate.num > 0 ? static_cast<uint32_t>(rate.num) : 0;
  header.frameRateDen = rate.num > 0 ? static_cast<uint32_t>(rate.den) : 0;
  header.extradataSize = par.extradata_size > 0 ? static_cast<uint32_t>(par.extradata_size) : 0;
  std::snprintf(header.name, sizeof header.name, "%s", cam.config.name.c_str());
  std::vector<uint8_t> payload(sizeof header + header.extradataSize);
  std::memcpy(payload.data(), &header, sizeof header);
  if (header.extradataSize != 0) std::memcpy(payload.data() + sizeof header, par.extradata, header.extradataSize);
  example::WriteEvent(cam.plugin->write, example::MakeEvent(cam.provider, EVENT_VIDEO, CAMERA_CODEC_SUBTYPE,
                                                            payload.data(), static_cast<int32_t>(payload.size())));
}

// An opened stream: its demuxer, the video stream and its Annex B converter.
struct Connection {
  std::unique_ptr<AVFormatContext, FormatCloser> input;
  std::unique_ptr<AVBSFContext, BsfCloser> bsf;
  int video = -1;
  AVStream* stream = nullptr;
  bool isFile = false;
  // The stream plays from here; the frames the demuxer reads ahead while it
  // looks at the stream arrive in a burst, so their arrival is reckoned from
  // this moment and their times (see Reader::SendFrame).
  int64_t startNs = 0;
};

// Opens the camera's URL into `conn`.  Nothing when it is open, else the
// reason for the loss (empty when the plugin closes).
std::optional<std::string> Connect(Camera& cam, Connection& conn) {
  Plugin& plugin = *cam.plugin;
  conn.isFile = cam.config.url.find("://") == std::string::npos || cam.config.url.compare(0, 7, "file://") == 0;
  const bool isRtsp = cam.config.url.compare(0, 7, "rtsp://") == 0;
  AVFormatContext* raw = avformat_alloc_context();
  if (raw == nullptr) return "out of memory";
  raw->interrupt_callback.callback = &Interrupt;
  raw->interrupt_callback.opaque = &cam;
  AVDictionary* options = nullptr;
  if (isRtsp) av_dict_set(&options, "rtsp_transport", "tcp", 0);
  cam.deadline = Clock::now() + plugin.connectTimeout;
  int rc = avformat_open_input(&raw, cam.config.url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (rc < 0) return plugin.closing ? std::string() : "cannot open: " + AvError(rc);
  conn.input.reset(raw);
  conn.startNs = CoreNowNs(plugin);
  conn.input->probesize = 1 << 20;
  conn.input->max_analyze_duration = 2 * AV_TIME_BASE;
  rc = avformat_find_stream_info(conn.input.get(), nullptr);
  if (rc < 0) return plugin.closing ? std::string() : "cannot read the stream: " + AvError(rc);
  conn.video = av_find_best_stream(conn.input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (conn.video < 0) return "the stream has no video";
  conn.stream = conn.input->streams[conn.video];
  const AVCodecParameters& par = *conn.stream->codecpar;
  // Annex B for H.264 and H.265 whatever the container; other codecs pass
  // through as they are and the recorder decides what it can keep.
  const char* filterName = par.codec_id == AV_CODEC_ID_H264   ? "h264_mp4toannexb"
                           : par.codec_id == AV_CODEC_ID_HEVC ? "hevc_mp4toannexb"
                                                              : "null";
  AVBSFContext* rawBsf = nullptr;
  if (av_bsf_alloc(av_bsf_get_by_name(filterName), &rawBsf) < 0) return "no bitstream filter";
  conn.bsf.reset(rawBsf);
  avcodec_parameters_copy(conn.bsf->par_in, &par);
  conn.bsf->time_base_in = conn.stream->time_base;
  if ((rc = av_bsf_init(conn.bsf.get())) < 0) return "cannot convert the stream: " + AvError(rc);
  return std::nullopt;
}

// A new connection: its codec parameters, a log line and the status.
void Announce(Camera& cam, const Connection& conn) {
  const AVCodecParameters& par = *conn.stream->codecpar;
  ++cam.connection;
  const char* codecName = avcodec_get_name(par.codec_id);
  cam.codec = codecName;
  cam.width = par.width;
  cam.height = par.height;
  cam.connected = true;
  WriteCodecParameters(cam, *conn.bsf->par_out, conn.stream->time_base, conn.stream->avg_frame_rate);
  cam.plugin->log.Write(25, "camera %s %s %s: %s %dx%d, id 0x%08x", cam.config.name.c_str(),
                        cam.connection > 1 ? "reconnected to" : "connected to", cam.maskedUrl.c_str(), codecName,
                        par.width, par.height, cam.provider);
  WriteStatus(cam);
}

// Reads one connection's packets and writes their frames, until a loss.
class Reader {
 public:
  Reader(Camera& cam, Connection& conn)
      : cam_(cam), plugin_(*cam.plugin), conn_(conn), timeBase_(conn.stream->time_base),
        frameTicks_(conn.stream->avg_frame_rate.num > 0
                        ? av_rescale_q(1, av_inv_q(conn.stream->avg_frame_rate), timeBase_)
                        : av_rescale_q(40000, AVRational{1, 1000000}, timeBase_)) {}

  // The reason for the loss; empty when the plugin closes.
  std::string Run(bool& delivered) {
    for (;;) {
      const Step step = NextPacket(delivered);
      if (step == Step::kLost) return reason_;
      if (step == Step::kSkip) continue;
      while (av_bsf_receive_packet(conn_.bsf.get(), unit_.get()) == 0) {
        if (!TakeUnit(delivered)) return std::string();
      }
    }
  }

 private:
  enum class Step { kConvert, kSkip, kLost };

  Step Lost(std::string reason) {
    reason_ = std::move(reason);
    return Step::kLost;
  }

  // Reads a packet and hands it to the converter.
  Step NextPacket(bool delivered) {
    cam_.deadline = Clock::now() + plugin_.stallTimeout;
    int rc = av_read_frame(conn_.input.get(), packet_.get());
    if (plugin_.closing) return Lost(std::string());
    if (rc == AVERROR_EOF && conn_.isFile && plugin_.loop && delivered) {
      // Start the file over; the recorder rebases at the flagged frame.
      if ((rc = av_seek_frame(conn_.input.get(), conn_.video, 0, AVSEEK_FLAG_BACKWARD)) < 0)
        return Lost("cannot restart the file: " + AvError(rc));
      looped_ = true;
      startDts_ = AV_NOPTS_VALUE;
      paceFirst_ = AV_NOPTS_VALUE;
      return Step::kSkip;
    }
    if (rc == AVERROR_EOF) return Lost("the stream ended");
    if (rc < 0)
      return Lost(Clock::now() >= cam_.deadline ? "no data for " + std::to_string(plugin_.stallTimeout.count()) + " s"
                                                : "read failed: " + AvError(rc));
    if (packet_->stream_index != conn_.video) {
      av_packet_unref(packet_.get());
      return Step::kSkip;
    }
    if ((packet_->flags & AV_PKT_FLAG_CORRUPT) != 0 || packet_->size <= 0) {
      av_packet_unref(packet_.get());
      if (++garbage_ > 100) return Lost("the stream sends only damaged packets");
      return Step::kSkip;
    }
    if ((rc = av_bsf_send_packet(conn_.bsf.get(), packet_.get())) < 0) {
      av_packet_unref(packet_.get());
      if (++garbage_ > 100) return Lost("the stream sends only damaged packets: " + AvError(rc));
      return Step::kSkip;
    }
    return Step::kConvert;
  }

  // One converted access unit; false when the plugin closes.
  bool TakeUnit(bool& delivered) {
    garbage_ = 0;
    int64_t pts = unit_->pts, dts = unit_->dts;
    if (pts == AV_NOPTS_VALUE) pts = dts;
    if (pts == AV_NOPTS_VALUE) pts = lastPts_ == AV_NOPTS_VALUE ? 0 : lastPts_ + frameTicks_;
    if (dts == AV_NOPTS_VALUE) dts = pts;
    lastPts_ = pts;
    if (conn_.isFile && !Pace(dts)) return false;

    const bool key = (unit_->flags & AV_PKT_FLAG_KEY) != 0;
    const uint32_t sequence = cam_.sequence++;
    if (waitKey_ && !key) {
      av_packet_unref(unit_.get());
      return true;
    }
    SendFrame(key, sequence, pts, dts, delivered);
    if (Clock::now() >= cam_.nextStatus) WriteStatus(cam_);
    return true;
  }

  // A file plays at its own rate, not as fast as the disk reads: waits until
  // the frame is due.  False when the plugin closes.
  bool Pace(int64_t dts) {
    if (paceFirst_ == AV_NOPTS_VALUE) {
      paceFirst_ = dts;
      paceStart_ = Clock::now();
    }
    const auto due = paceStart_ + std::chrono::microseconds(
                                      av_rescale_q(dts - paceFirst_, timeBase_, AVRational{1, 1000000}));
    return WaitUntil(cam_, due);
  }

  void SendFrame(bool key, uint32_t sequence, int64_t pts, int64_t dts, bool& delivered) {
    CameraFrameHeader header;
    std::memset(&header, 0, sizeof header);
    header.magic = CAMERA_FRAME_MAGIC;
    header.camera = cam_.index;
    header.keyFrame = key ? 1 : 0;
    header.flags = looped_ ? CAMERA_FRAME_LOOPED : 0;
    header.sequence = sequence;
    header.payloadSize = static_cast<uint32_t>(unit_->size);
    // Arrival: now, or when the frame was due after the stream started,
    // whichever is earlier (read-ahead frames come out late).
    const int64_t nowNs = CoreNowNs(plugin_);
    if (startDts_ == AV_NOPTS_VALUE) {
      startDts_ = dts;
      if (looped_) conn_.startNs = nowNs;
    }
    header.captureNs =
        std::min(nowNs, conn_.startNs + av_rescale_q(dts - startDts_, timeBase_, AVRational{1, 1000000000}));
    header.pts = pts;
    header.dts = dts;
    header.connection = cam_.connection;
    frame_.resize(sizeof header + static_cast<size_t>(unit_->size));
    std::memcpy(frame_.data(), &header, sizeof header);
    std::memcpy(frame_.data() + sizeof header, unit_->data, static_cast<size_t>(unit_->size));
    av_packet_unref(unit_.get());

    CoreEvent event = example::MakeEvent(cam_.provider, EVENT_VIDEO, CAMERA_CODED_FRAME_SUBTYPE, frame_.data(),
                                         static_cast<int32_t>(frame_.size()));
    event.attributes.keyFrame = header.keyFrame;
    const int32_t code = example::WriteEvent(plugin_.write, event);
    if (code == WRITE_ACCEPTED) {
      ++cam_.frames;
      waitKey_ = false;
      looped_ = false;
      delivered = true;
      if (key) cam_.lastKeyUtc = example::UtcNow();
    } else {
      const int slot = code == WRITE_NO_MEMORY ? 0 : code >= 1 && code <= 5 ? code : 2;
      ++cam_.refused[slot];
      // The chain of dependent frames is broken: go on at the next key frame.
      waitKey_ = true;
    }
  }

  Camera& cam_;
  Plugin& plugin_;
  Connection& conn_;
  const AVRational timeBase_;
  const int64_t frameTicks_;
  std::unique_ptr<AVPacket, PacketCloser> packet_{av_packet_alloc()};
  std::unique_ptr<AVPacket, PacketCloser> unit_{av_packet_alloc()};
  std::vector<uint8_t> frame_;
  bool waitKey_ = true;  // nothing decodes before the first key frame
  bool looped_ = false;
  int64_t lastPts_ = AV_NOPTS_VALUE;
  int64_t startDts_ = AV_NOPTS_VALUE;
  // Pacing of a file: the wall-clock time of its first frame in this pass.
  int64_t paceFirst_ = AV_NOPTS_VALUE;
  Clock::time_point paceStart_;
  int garbage_ = 0;
  std::string reason_;  // why the connection was lost
};

// One connection, from open to loss.  Returns a reason for the loss (empty
// when the plugin closes) and sets `delivered` once frames went out.
std::string Stream(Camera& cam, bool& delivered) {
  delivered = false;
  Connection conn;
  if (const std::optional<std::string> lost = Connect(cam, conn)) return *lost;
  Announce(cam, conn);
  return Reader(cam, conn).Run(delivered);
}

}  // namespace

void CameraLoop(Camera& cam) {
  Plugin& plugin = *cam.plugin;
  // Named, so that a look at the core's threads tells the cameras apart.
  const std::string thread = "ipcam " + std::to_string(cam.index);
  pthread_setname_np(pthread_self(), thread.c_str());
  auto retry = plugin.retryMin;
  bool lost = false;  // a connection was made before: the next one is a reconnect
  int attempts = 0;
  cam.statusAt = Clock::now();
  while (!plugin.closing) {
    ++attempts;
    bool delivered = false;
    const uint32_t before = cam.connection;
    const std::string reason = Stream(cam, delivered);
    if (plugin.closing) break;
    const bool connected = cam.connection != before;
    if (connected) {
      if (lost) ++cam.reconnects;
      lost = true;
      attempts = 0;
    }
    if (delivered) retry = plugin.retryMin;  // it worked for a while: start the back-off over
    cam.connected = false;
    cam.fps = 0;
    if (connected) {
      plugin.log.Write(50, "camera %s lost %s: %s; reconnecting in %lld ms", cam.config.name.c_str(),
                       cam.maskedUrl.c_str(), reason.c_str(), static_cast<long long>(retry.count()));
    } else {
      plugin.log.Write(50, "camera %s cannot connect to %s: %s; attempt %d, next in %lld ms",
                       cam.config.name.c_str(), cam.maskedUrl.c_str(), reason.c_str(), attempts,
                       static_cast<long long>(retry.count()));
    }
    WriteStatus(cam);
    if (!WaitUntil(cam, Clock::now() + retry)) break;
    retry = std::min(retry * 2, plugin.retryMax);
  }
  cam.connected = false;
  plugin.log.Write(25, "camera %s stopped after %llu frames, %llu reconnects", cam.config.name.c_str(),
                   static_cast<unsigned long long>(cam.frames), static_cast<unsigned long long>(cam.reconnects));
}

}  // namespace ipcam
