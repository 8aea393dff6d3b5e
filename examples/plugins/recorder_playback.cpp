// recorder_playback.cpp - streaming a camera's recorded range to a client.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>

#include "recorder_playback.h"

namespace recorder {

namespace {

struct InputCloser {
  void operator()(AVFormatContext* ctx) const { avformat_close_input(&ctx); }
};
struct BsfCloser {
  void operator()(AVBSFContext* ctx) const { av_bsf_free(&ctx); }
};
struct PacketCloser {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

// One segment file opened for reading, its frames converted to Annex B.
struct SegmentInput {
  std::unique_ptr<AVFormatContext, InputCloser> input;
  std::unique_ptr<AVBSFContext, BsfCloser> bsf;
  AVStream* stream = nullptr;
  std::vector<uint8_t> extradata;  // after the conversion
};

// What the stream does after a segment or a frame.
enum class Next {
  kGoOn,  // the next frame or segment
  kEnd,   // past the range: the end-of-stream answer, then return
  kStop,  // return at once, without another answer
};

// One request's stream.
class Playback {
 public:
  Playback(Recorder& rec, const Range& range, uint32_t requestID) : rec_(rec), range_(range), requestID_(requestID) {}

  void Run(const fs::path& dir, const std::vector<Segment>& segments) {
    for (const Segment& segment : segments) {
      if (Closing()) return;
      const Next next = PlaySegment(dir, segment);
      if (next == Next::kStop) return;
      if (next == Next::kEnd) break;
    }
    Answer(nullptr, 0);  // end of stream
  }

 private:
  int32_t Answer(const void* data, size_t size) {
    CoreEvent event = example::MakeEvent(kRecorderId, RECORDING_EVENT_CLASS, RECORDING_ANSWER_SUBTYPE, data,
                                         static_cast<int32_t>(size));
    event.requestID = requestID_;
    return example::WriteEvent(rec_.write, event);
  }

  bool Closing() {
    std::lock_guard lock(rec_.mutex);
    return rec_.closing;
  }

  // Opens a segment into `in`; `usable` tells whether its frames can be
  // read.  kStop when no converter can be made (the stream ends at once
  // without an end-of-stream answer), kGoOn otherwise: an unreadable file
  // is skipped.
  Next OpenInput(const fs::path& dir, const Segment& segment, SegmentInput& in, bool& usable) {
    usable = false;
    AVFormatContext* raw = nullptr;
    const std::string path = (dir / segment.file).string();
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) {
      rec_.log.Write(50, "camera %s: cannot read %s, skipped", range_.name.c_str(), segment.file.c_str());
      return Next::kGoOn;
    }
    in.input.reset(raw);
    if (avformat_find_stream_info(in.input.get(), nullptr) < 0 || in.input->nb_streams < 1) return Next::kGoOn;
    in.stream = in.input->streams[0];
    const AVCodecParameters& par = *in.stream->codecpar;
    AVBSFContext* rawBsf = nullptr;
    const char* filterName = par.codec_id == AV_CODEC_ID_HEVC ? "hevc_mp4toannexb" : "h264_mp4toannexb";
    if (av_bsf_alloc(av_bsf_get_by_name(filterName), &rawBsf) < 0) return Next::kStop;
    in.bsf.reset(rawBsf);
    avcodec_parameters_copy(in.bsf->par_in, &par);
    in.bsf->time_base_in = in.stream->time_base;
    if (av_bsf_init(in.bsf.get()) < 0) return Next::kGoOn;
    const AVCodecParameters& outPar = *in.bsf->par_out;
    in.extradata.assign(outPar.extradata, outPar.extradata + std::max(0, outPar.extradata_size));
    usable = true;
    return Next::kGoOn;
  }

  Next PlaySegment(const fs::path& dir, const Segment& segment) {
    SegmentInput in;
    bool usable = false;
    const Next opened = OpenInput(dir, segment, in, usable);
    if (!usable) return opened;
    std::unique_ptr<AVPacket, PacketCloser> packet(av_packet_alloc());
    while (av_read_frame(in.input.get(), packet.get()) >= 0) {
      if (av_bsf_send_packet(in.bsf.get(), packet.get()) < 0) {
        av_packet_unref(packet.get());
        continue;
      }
      while (av_bsf_receive_packet(in.bsf.get(), packet.get()) == 0) {
        const Next next = TakeFrame(in, segment, packet.get());
        if (next != Next::kGoOn) return next;
      }
    }
    return Next::kGoOn;
  }

  // One converted frame: kept with its group of pictures, sent once the
  // range has started.
  Next TakeFrame(const SegmentInput& in, const Segment& segment, AVPacket* packet) {
    const AVRational timeBase = in.stream->time_base;
    const int64_t dtsUs = packet->dts == AV_NOPTS_VALUE ? 0 : av_rescale_q(packet->dts, timeBase, kMicros);
    const int64_t ptsUs = packet->pts == AV_NOPTS_VALUE ? dtsUs : av_rescale_q(packet->pts, timeBase, kMicros);
    const int64_t utcUs = segment.startMs * 1000 + dtsUs;
    const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    if (utcUs > range_.toUs) return Next::kEnd;
    CameraFrameHeader header;
    std::memset(&header, 0, sizeof header);
    header.magic = CAMERA_FRAME_MAGIC;
    header.keyFrame = key ? 1 : 0;
    header.payloadSize = static_cast<uint32_t>(packet->size);
    header.pts = utcUs + (ptsUs - dtsUs);  // made relative in SendGop
    header.dts = utcUs;
    header.connection = 1;
    buffer_.resize(sizeof header + static_cast<size_t>(packet->size));
    std::memcpy(buffer_.data(), &header, sizeof header);
    std::memcpy(buffer_.data() + sizeof header, packet->data, static_cast<size_t>(packet->size));
    av_packet_unref(packet);
    if (key) {
      gop_.clear();
      haveKey_ = true;
    }
    if (!haveKey_) return Next::kGoOn;  // nothing decodes before a key frame
    gop_.push_back(buffer_);
    if (utcUs < range_.fromUs) return Next::kGoOn;  // kept until the range starts
    if (!sentCodec_ || in.extradata != sentExtradata_) {
      if (!SendCodec(*in.stream->codecpar, in.extradata)) return Next::kStop;
    }
    return SendGop() ? Next::kGoOn : Next::kStop;
  }

  bool SendCodec(const AVCodecParameters& par, const std::vector<uint8_t>& extradata) {
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
    std::snprintf(codec.name, sizeof codec.name, "%s", range_.name.c_str());
    std::vector<uint8_t> payload(sizeof codec + extradata.size());
    std::memcpy(payload.data(), &codec, sizeof codec);
    if (!extradata.empty()) std::memcpy(payload.data() + sizeof codec, extradata.data(), extradata.size());
    if (Answer(payload.data(), payload.size()) != WRITE_ACCEPTED) return false;
    sentCodec_ = true;
    sentExtradata_ = extradata;
    return true;
  }

  // Sends the frames kept since the key frame, with times relative to the
  // first frame of the stream; false when the stream is to stop.
  bool SendGop() {
    for (std::vector<uint8_t>& frame : gop_) {
      CameraFrameHeader* h = reinterpret_cast<CameraFrameHeader*>(frame.data());
      if (firstUs_ == INT64_MIN) firstUs_ = h->dts;
      h->pts -= firstUs_;
      h->dts -= firstUs_;
      h->sequence = sequence_++;
      // Waits here while the previous answer is still in flight.
      const int32_t code = Answer(frame.data(), frame.size());
      if (code != WRITE_ACCEPTED || Closing()) {
        if (code != WRITE_REFUSED) Answer(nullptr, 0);
        return false;
      }
    }
    gop_.clear();
    return true;
  }

  Recorder& rec_;
  const Range& range_;
  const uint32_t requestID_;
  std::vector<uint8_t> sentExtradata_;
  bool sentCodec_ = false;
  int64_t firstUs_ = INT64_MIN;  // UTC of the first frame sent
  uint32_t sequence_ = 0;
  std::vector<std::vector<uint8_t>> gop_;  // frames since the last key frame before the range
  bool haveKey_ = false;
  std::vector<uint8_t> buffer_;
};

}  // namespace

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

void Stream(Recorder& rec, const Range& range, uint32_t requestID, const fs::path& dir,
            const std::vector<Segment>& segments) {
  Playback(rec, range, requestID).Run(dir, segments);
}

}  // namespace recorder
