// status_model.h - what the web status plugin knows about the server, built
// only from documents and events that travel on the bus: the module status
// document, the memory state documents, and the cameras' and recorders'
// status events (status_events.h).
//
// [plugin run thread]: the model belongs to the HTTP thread, which applies
// the copied texts and renders pages from it; nothing here locks.
#ifndef EXAMPLES_PLUGINS_WEBVIEW_STATUS_MODEL_H_
#define EXAMPLES_PLUGINS_WEBVIEW_STATUS_MODEL_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace webview {

// A counter that only grows, fed with a source's running total: when the
// source starts again from a smaller value (a camera plugin restarted its
// counts), what was counted before is kept as a base.
class Counter {
 public:
  void Observe(uint64_t total) {
    if (total < last_) base_ += last_;
    last_ = total;
  }
  uint64_t Value() const { return base_ + last_; }

 private:
  uint64_t base_ = 0, last_ = 0;
};

// One row of the module table, from a Plugin element of the status document.
struct ModuleRow {
  int64_t id = 0;
  std::string name, file, version;
  bool opened = false;
  int64_t loadMs = 0, openMs = 0, openCode = 0, logLevel = -1, logLevelDefault = -1;
};

// The result codes a camera reports refusals for, in the order of
// CameraRow::refused, and their attribute names in a CameraStatus event.
inline constexpr std::pair<int, const char*> kRefusalCodes[5] = {
    {3, "Refused3"}, {4, "Refused4"}, {5, "Refused5"}, {-1, "RefusedMinus1"}, {1, "Refused1"}};

struct CameraRow {
  std::string name, id, url, codec, lastKeyFrameUtc;
  uint32_t provider = 0;
  int64_t index = 0, width = 0, height = 0;
  bool connected = false;
  double fps = 0;
  Counter frames, reconnects;
  Counter refused[5];  // by kRefusalCodes
};

struct Segment {
  std::string file, startUtc, endUtc;
  uint64_t bytes = 0;
};

struct Recording {
  Counter frames;
  std::string open;               // the segment being written, relative to the directory
  std::vector<Segment> segments;  // oldest first
};

struct RecorderRow {
  std::string directory;  // absolute
  Counter bytesWritten;
  uint64_t diskFreeBytes = 0;
  std::map<std::string, Recording> cameras;  // by camera name
};

// The HTTP server's own counters.
struct HttpStats {
  uint64_t acceptErrors = 0;        // failed accepts (out of descriptors and the like)
  uint64_t connectionsRefused = 0;  // over the connection limit
  uint64_t timeouts = 0;            // requests or responses past their deadline
  uint64_t badRequests = 0;         // malformed, oversized, or with a body
  std::map<int, uint64_t> responses;  // by status code
  uint64_t open = 0;                // connections now open
};

struct StatusModel {
  bool haveStatus = false;          // a full status document arrived
  std::string product, version;     // Product element
  int throttlingSwitch = -1;        // status document's Memory/@Throttling; -1 unknown
  int throttling = -1;              // latest memory state's Throttling; -1 none seen yet
  int64_t totalLoadMs = 0, totalOpenMs = 0;
  std::vector<ModuleRow> modules;
  std::map<std::string, CameraRow> cameras;       // by id and name
  std::map<uint32_t, RecorderRow> recorders;      // by provider
  std::map<std::pair<uint32_t, int>, uint64_t> events;  // (provider, class) -> events seen
  uint64_t documentsRefused = 0;    // texts that did not parse
  uint64_t textsDropped = 0;        // texts not kept: empty, too long, or too many waiting
  HttpStats http;
};

// Each applies one copied text to the model.  Documents of another kind
// (another plugin's configuration document, a threshold delta) are skipped
// and give true; a text that does not parse, or lacks what its kind needs,
// gives false with `error` set and leaves the model as it was.
bool ApplyConfigDocument(StatusModel& model, std::string_view text, std::string* error);
bool ApplyMemoryState(StatusModel& model, std::string_view text, std::string* error);
bool ApplyCameraStatus(StatusModel& model, uint32_t provider, std::string_view text, std::string* error);
bool ApplyRecorderStatus(StatusModel& model, uint32_t provider, std::string_view text, std::string* error);

}  // namespace webview

#endif  // EXAMPLES_PLUGINS_WEBVIEW_STATUS_MODEL_H_
