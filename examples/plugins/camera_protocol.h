/*
 * camera_protocol.h - what the example camera simulator, the example recorder
 * and any client of the recorder agree on.  The core gives none of these
 * values a meaning; they are a convention between plugins, built on the
 * core's matching rule.
 *
 * Video frames.  The camera simulator writes each frame as a class-0 event
 * whose subtype has bit 24 set (so the core treats it as a video frame and
 * applies its key-frame admission) and bit 8 set (our "synthetic camera"
 * format).  The payload starts with a CameraFrameHeader, followed by
 * `payloadSize` bytes of picture data.  A recording is the plain
 * concatenation of frame payloads as they arrived, so it can be cut back into
 * frames by reading one header at a time.
 *
 * Recording requests.  A client asks the recorder for a camera's recording
 * with a read request: providerID 0, a requestID of the client's choosing,
 * eventType RECORDING_EVENT_CLASS and eventSubtype RECORDING_REQUEST_SUBTYPE,
 * and as payload the camera index as decimal text ("0", "1", ...).  The
 * recorder answers with events of the same class, subtype
 * RECORDING_ANSWER_SUBTYPE and the request's requestID, carrying the
 * recording's bytes in order, and ends with an empty answer (no payload).
 * A client subscribes to the answers with
 * subscriptionMasks[7] = RECORDING_ANSWER_QUEUED_KEY.
 *
 * Plain C11 and C++; includes only the plugin header.
 */
#ifndef EXAMPLES_PLUGINS_CAMERA_PROTOCOL_H_
#define EXAMPLES_PLUGINS_CAMERA_PROTOCOL_H_

#include "recording-core/plugin_abi.h"

#define CAMERA_FRAME_MAGIC 0x31465343u /* "CSF1" in memory order */
#define CAMERA_FRAME_SUBTYPE (SUBTYPE_VIDEO_FRAME | 0x00000100u)
/* Matching keys for CAMERA_FRAME_SUBTYPE: the top byte moves up one bit for
 * queued delivery (0x01 -> bit 25) and down one bit for a read request
 * broadcast (0x01 -> bit 23); the low 24 bits stay. */
#define CAMERA_FRAME_QUEUED_KEY 0x02000100u

#define RECORDING_EVENT_CLASS EVENT_CLASS(7) /* 0x80 */
#define RECORDING_REQUEST_SUBTYPE 0x01000200u
#define RECORDING_REQUEST_BROADCAST_KEY 0x00800200u
#define RECORDING_ANSWER_SUBTYPE 0x01000400u
#define RECORDING_ANSWER_QUEUED_KEY 0x02000400u

#define CAMERA_MAX_CAMERAS 16

/* Start of every frame payload, little-endian, 32 bytes. */
typedef struct CameraFrameHeader {
  uint32_t magic;       /* 0: CAMERA_FRAME_MAGIC */
  uint16_t camera;      /* 4: camera index, 0-based */
  uint8_t keyFrame;     /* 6: 1 for a key frame, as in the event attribute */
  uint8_t reserved0;    /* 7: 0 */
  uint32_t sequence;    /* 8: frame number of this camera from 0; counts every
                           frame produced, also those the core refused, so a
                           jump shows frames that were lost */
  uint32_t payloadSize; /* 12: bytes of picture data after this header */
  int64_t captureNs;    /* 16: core clock at capture, nanoseconds */
  uint64_t reserved1;   /* 24: 0 */
} CameraFrameHeader;
PLUGIN_ABI_STATIC_ASSERT(sizeof(CameraFrameHeader) == 32, "CameraFrameHeader size");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CameraFrameHeader, sequence) == 8, "sequence");
PLUGIN_ABI_STATIC_ASSERT(offsetof(CameraFrameHeader, captureNs) == 16, "captureNs");

#endif /* EXAMPLES_PLUGINS_CAMERA_PROTOCOL_H_ */
