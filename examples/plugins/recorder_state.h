// recorder_state.h - the example recorder's state, which every piece of the
// recorder shares: one Track per camera, the frames waiting for the writer,
// the settings, and small helpers for times and names.
//
// Threads.  The Recorder is created and set up by Load on the main thread.
// From Open to Close the writer thread owns each Track's muxing state and
// `byProvider`; request threads read a Track's segments under `mutex`; the
// dispatcher queues frames under `mutex`.  The comments on the members say
// which thread or lock each one belongs to.
#ifndef EXAMPLES_PLUGINS_RECORDER_STATE_H_
#define EXAMPLES_PLUGINS_RECORDER_STATE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/rational.h>
}

#include "camera_protocol.h"
#include "plugin_support.h"
#include "recording-core/plugin_abi.h"

struct AVFormatContext;

namespace recorder {

using example::UtcText;

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

// Wall-clock time, microseconds since 1970.  [any thread]
int64_t UtcNowUs();
// The core's clock, so that a frame's capture time compares with it.  [any thread]
int64_t CoreNowNs(const Recorder& rec);
// libav's text for an error code.
std::string AvError(int code);
// A camera name becomes a directory name: only letters, digits, '-', '_'
// and '.' (not leading) are kept as they are.
std::string DirectoryName(const std::string& name);
// Where a camera's segments and index live.
fs::path CameraDir(const Recorder& rec, const Track& track);

}  // namespace recorder

#endif  // EXAMPLES_PLUGINS_RECORDER_STATE_H_
