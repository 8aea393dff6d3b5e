// recorder_playback.h - answering read requests: a camera and a time range
// ("NAME FROM_MS TO_MS", or "NAME" for everything) are streamed back from
// the camera's segments as codec parameters and coded frames
// (camera_protocol.h), starting at the key frame before the range, and end
// with an empty answer.
//
// Threads.  Everything here runs on the request's own thread, the only
// thread whose answers the core takes.  Each answer waits inside the write
// callback until the previous one has been delivered and released, so the
// stream runs at the pace of the slowest client.  A refused answer (the
// client cancelled, or the core is stopping) or a closing recorder ends the
// stream at once; the stream reads Recorder::closing under its mutex.
#ifndef EXAMPLES_PLUGINS_RECORDER_PLAYBACK_H_
#define EXAMPLES_PLUGINS_RECORDER_PLAYBACK_H_

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "recorder_state.h"

namespace recorder {

struct Range {
  std::string name;
  int64_t fromMs = INT64_MIN, toMs = INT64_MAX;
  int64_t fromUs = INT64_MIN, toUs = INT64_MAX;  // the same, in microseconds
};

// "NAME FROM_MS TO_MS" or "NAME", possibly followed by NULs.
bool ParseRequest(const void* data, uint32_t size, Range* range);

// Streams the frames of `range` from `segments` in `dir` under `requestID`.
void Stream(Recorder& rec, const Range& range, uint32_t requestID, const fs::path& dir,
            const std::vector<Segment>& segments);

}  // namespace recorder

#endif  // EXAMPLES_PLUGINS_RECORDER_PLAYBACK_H_
