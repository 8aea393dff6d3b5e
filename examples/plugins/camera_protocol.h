/*
 * camera_protocol.h - what the example cameras, the example recorder and any
 * client of the recorder agree on.  The core gives none of these values a
 * meaning; they are a convention between plugins, built on the core's
 * matching rule.
 *
 * Video frames.  A camera writes each frame as a class-0 event whose subtype
 * has bit 24 set (so the core treats it as a video frame and applies its
 * key-frame admission) and one format bit: CAMERA_FRAME_SUBTYPE (bit 8) for
 * the simulator's synthetic pictures, CAMERA_CODED_FRAME_SUBTYPE (bit 9) for
 * one compressed access unit of a real stream (H.264 or H.265 in Annex B
 * byte-stream form, as the camera received it; nothing is transcoded).  The
 * payload starts with a CameraFrameHeader, followed by `payloadSize` bytes of
 * picture data.  The event's keyFrame attribute and the header's keyFrame
 * agree.
 *
 * Frame times.  `pts` is the frame's presentation time and `dts` its decode
 * time, both in the stream time base of the camera's codec parameters (the
 * CameraCodecHeader of the same `connection`); a stream without decode
 * times gives dts = pts.  They are the source's own clock: they start
 * anywhere, restart when the camera reconnects (a new `connection`) and jump
 * back when a looped source starts over (CAMERA_FRAME_LOOPED on the first
 * frame after the jump).  A recorder rebases them at each of these points so
 * that its files run on.  `captureNs` is the core clock when the frame
 * arrived, which relates the stream to wall-clock time.
 *
 * Codec parameters.  Before the first frame of every connection, and
 * whenever they change, a camera of coded frames writes one event of class 0
 * with subtype CAMERA_CODEC_SUBTYPE (not a video frame: bit 24 clear) and the
 * same providerID as its frames.  The payload is a CameraCodecHeader followed
 * by `extradataSize` bytes of codec extradata (the parameter sets, as the
 * demuxer gave them).  The name in it is the camera's name, which a recorder
 * uses for its directory.  Frames whose connection has no codec parameters
 * yet cannot be put in a file and are skipped.
 *
 * A recorder subscribes to coded frames and codec parameters with
 *   subscriptionMasks[0] = CAMERA_CODED_FRAME_QUEUED_KEY | CAMERA_CODEC_QUEUED_KEY
 * and to the simulator's frames with CAMERA_FRAME_QUEUED_KEY.
 *
 * Recording requests.  A client asks the recorder for a part of a camera's
 * recording with a read request: providerID 0, a requestID of the client's
 * choosing, eventType RECORDING_EVENT_CLASS and eventSubtype
 * RECORDING_REQUEST_SUBTYPE, and as payload the text
 *   "NAME FROM_MS TO_MS"
 * where NAME is the camera's name and FROM_MS / TO_MS are UTC times in
 * milliseconds since 1970 (a bare "NAME" asks for everything kept).  The
 * recorder answers with events of the same class, subtype
 * RECORDING_ANSWER_SUBTYPE and the request's requestID: first one
 * CameraCodecHeader (with its extradata) for the recording, then the frames
 * from the last key frame at or before FROM_MS up to TO_MS, one frame per
 * answer, each a CameraFrameHeader and its access unit, with times rebased to
 * run on from 0 in the codec header's time base.  A new CameraCodecHeader
 * may come between frames when the stream's parameters changed.  An empty
 * answer (no payload) ends the stream; a stream with nothing recorded in the
 * range is just the empty answer.  A client subscribes to the answers with
 * subscriptionMasks[7] = RECORDING_ANSWER_QUEUED_KEY.
 *
 * Plain C11 and C++; includes only the plugin header.
 */
#ifndef EXAMPLES_PLUGINS_CAMERA_PROTOCOL_H_
#define EXAMPLES_PLUGINS_CAMERA_PROTOCOL_H_

#include "recording-core/plugin_abi.h"

#define CAMERA_FRAME_MAGIC 0x32465343u /* "CSF2" in memory order */
#define CAMERA_FRAME_SUBTYPE (SUBTYPE_VIDEO_FRAME | 0x00000100u)
#define CAMERA_CODED_FRAME_SUBTYPE (SUBTYPE_VIDEO_FRAME | 0x00000200u)
#define CAMERA_CODEC_SUBTYPE 0x00000400u
/* Matching keys: the top byte moves up one bit for queued delivery (0x01 ->
 * bit 25) and down one bit for a read request broadcast (0x01 -> bit 23);
 * the low 24 bits stay. */
#define CAMERA_FRAME_QUEUED_KEY 0x02000100u
#define CAMERA_CODED_FRAME_QUEUED_KEY 0x02000200u
#define CAMERA_CODEC_QUEUED_KEY 0x00000400u

#define RECORDING_EVENT_CLASS EVENT_CLASS(7) /* 0x80 */
#define RECORDING_REQUEST_SUBTYPE 0x01000200u
#define RECORDING_REQUEST_BROADCAST_KEY 0x00800200u
#define RECORDING_ANSWER_SUBTYPE 0x01000400u
#define RECORDING_ANSWER_QUEUED_KEY 0x02000400u

#define CAMERA_MAX_CAMERAS 16

/* CameraFrameHeader.flags */
#define CAMERA_FRAME_LOOPED 0x01u /* a looped source started over at this frame */

/* Start of every frame payload, little-endian, 48 bytes. */
typedef struct CameraFrameHeader {
  uint32_t magic;       /* 0: CAMERA_FRAME_MAGIC */
  uint16_t camera;      /* 4: camera index within its plugin, 0-based */
  uint8_t keyFrame;     /* 6: 1 for a key frame, as in the event attribute */
  uint8_t flags;        /* 7: CAMERA_FRAME_* bits */
  uint32_t sequence;    /* 8: frame number of this camera from 0; counts every
                           frame produced, also those the core refused, so a
                           jump shows frames that were lost */
  uint32_t payloadSize; /* 12: bytes of picture data after this header */
  int64_t captureNs;    /* 16: core clock when the frame arrived, nanoseconds;
                           frames read ahead while a stream is opened count
                           from the start of the stream by their times */
  int64_t pts;          /* 24: presentation time, stream time base */
  int64_t dts;          /* 32: decode time, stream time base (= pts if none) */
  uint32_t connection;  /* 40: the camera's connection, counted from 1 */
  uint32_t reserved;    /* 44: 0 */
} CameraFrameHeader;
PLUGIN_ABI_STATIC_ASSERT(sizeof(CameraFrameHeader) == 48, "CameraFrameHeader size");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CameraFrameHeader, sequence) == 8, "sequence");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CameraFrameHeader, captureNs) == 16, "captureNs");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CameraFrameHeader, pts) == 24, "pts");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CameraFrameHeader, dts) == 32, "dts");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CameraFrameHeader, connection) == 40, "connection");

#define CAMERA_CODEC_MAGIC 0x31504343u /* "CCP1" in memory order */
/* CameraCodecHeader.codec */
#define CAMERA_CODEC_OTHER 0 /* nothing a recorder should put in a file */
#define CAMERA_CODEC_H264 1
#define CAMERA_CODEC_H265 2
#define CAMERA_NAME_BYTES 32

/* Start of every codec-parameters payload, little-endian, 80 bytes. */
typedef struct CameraCodecHeader {
  uint32_t magic;         /* 0: CAMERA_CODEC_MAGIC */
  uint16_t camera;        /* 4: camera index within its plugin */
  uint16_t codec;         /* 6: CAMERA_CODEC_* */
  uint32_t connection;    /* 8: the connection these parameters belong to */
  uint32_t width;         /* 12: pixels */
  uint32_t height;        /* 16 */
  uint32_t timeBaseNum;   /* 20: frame times count timeBaseNum/timeBaseDen s */
  uint32_t timeBaseDen;   /* 24 */
  uint32_t extradataSize; /* 28: bytes after this header */
  char name[CAMERA_NAME_BYTES]; /* 32: camera name, NUL-terminated */
  uint32_t frameRateNum;  /* 64: nominal frame rate, 0/0 when unknown */
  uint32_t frameRateDen;  /* 68 */
  uint64_t reserved;      /* 72: 0 */
} CameraCodecHeader;
PLUGIN_ABI_STATIC_ASSERT(sizeof(CameraCodecHeader) == 80, "CameraCodecHeader size");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CameraCodecHeader, timeBaseNum) == 20, "timeBaseNum");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CameraCodecHeader, name) == 32, "name");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CameraCodecHeader, frameRateNum) == 64, "frameRateNum");

#endif /* EXAMPLES_PLUGINS_CAMERA_PROTOCOL_H_ */
