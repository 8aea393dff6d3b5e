// RecordingWriter: the core's write callback as the tests hand it to the code
// under test.  It answers log threshold queries with a threshold the test
// sets, answers everything else with 0, and records every event written, so
// a test compares the log lines the code produced or waits for one written
// on another thread.  The callback is a plain C function without a context,
// so a test executable has one writer; each test resets it first.  Any
// thread may write, read or wait.
#ifndef TESTS_RECORDING_WRITER_H_
#define TESTS_RECORDING_WRITER_H_

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "recording-core/plugin_abi.h"

namespace testing_writer {

using Strings = std::vector<std::string>;

// One event as written.  `text` is the payload within its size, up to its
// first zero byte: a log message's text.
struct Written {
  ModuleId provider = 0;
  uint32_t type = 0, subtype = 0;
  int32_t level = 0;
  int64_t size = 0;
  std::string text;

  bool IsLogMessage() const { return type == EVENT_LOG && (subtype & 0xFFFFu) == SUBTYPE_LOG_MESSAGE; }
  bool IsThresholdQuery() const { return type == EVENT_LOG && (subtype & 0xFFFFu) == SUBTYPE_LOG_QUERY; }
};

class RecordingWriter {
 public:
  static RecordingWriter& Instance() {
    static RecordingWriter writer;
    return writer;
  }

  // The write callback to hand to the code under test.
  static int32_t Write(const CoreEvent* event, WriteResult* result) {
    Written written;
    written.provider = event->providerID;
    written.type = event->eventType;
    written.subtype = event->eventSubtype;
    written.level = event->attributes.logLevel;
    written.size = event->dataSize;
    if (event->data != nullptr && event->dataSize > 0) {
      const char* data = static_cast<const char*>(event->data);
      const size_t size = static_cast<size_t>(event->dataSize);
      const void* zero = std::memchr(data, 0, size);
      written.text.assign(data, zero != nullptr ? static_cast<const char*>(zero) - data : size);
    }
    RecordingWriter& writer = Instance();
    std::lock_guard lock(writer.mutex_);
    result->code = written.IsThresholdQuery() ? writer.threshold_ : 0;
    writer.events_.push_back(std::move(written));
    writer.changed_.notify_all();
    return 0;
  }

  // Forgets every event; threshold queries get `threshold` from now on (-1:
  // no threshold, every level passes).
  void Reset(int32_t threshold = -1) {
    std::lock_guard lock(mutex_);
    events_.clear();
    threshold_ = threshold;
  }
  void SetThreshold(int32_t threshold) {
    std::lock_guard lock(mutex_);
    threshold_ = threshold;
  }

  // Records a line that reached a sink as text (a console) as a log message
  // of `module`.
  void AddLine(ModuleId module, int32_t level, const std::string& text) {
    Written line;
    line.provider = module;
    line.type = EVENT_LOG;
    line.subtype = SUBTYPE_LOG_MESSAGE;
    line.level = level;
    line.size = static_cast<int64_t>(text.size());
    line.text = text;
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(line));
    changed_.notify_all();
  }

  // Everything written, in order.
  std::vector<Written> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  // The log messages, in order.
  std::vector<Written> Messages() const {
    std::vector<Written> messages = Events();
    std::erase_if(messages, [](const Written& w) { return !w.IsLogMessage(); });
    return messages;
  }
  int Queries() const {
    int queries = 0;
    for (const Written& w : Events()) queries += w.IsThresholdQuery() ? 1 : 0;
    return queries;
  }
  // The log messages as "LEVEL<separator>TEXT", or their texts alone when
  // `separator` is null.
  Strings Lines(const char* separator = ":") const {
    Strings lines;
    for (const Written& w : Messages())
      lines.push_back(separator == nullptr ? w.text : std::to_string(w.level) + separator + w.text);
    return lines;
  }
  // Messages(), then forgets every event.
  std::vector<Written> TakeMessages() {
    std::vector<Written> messages;
    {
      std::lock_guard lock(mutex_);
      messages = std::exchange(events_, {});
    }
    std::erase_if(messages, [](const Written& w) { return !w.IsLogMessage(); });
    return messages;
  }
  // Waits up to `deadline` until at least `count` log messages are recorded.
  bool WaitForMessages(size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, deadline, [&] {
      size_t messages = 0;
      for (const Written& w : events_) messages += w.IsLogMessage() ? 1 : 0;
      return messages >= count;
    });
  }

 private:
  RecordingWriter() = default;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Written> events_;  // guarded by mutex_
  int32_t threshold_ = -1;       // guarded by mutex_
};

}  // namespace testing_writer

#endif  // TESTS_RECORDING_WRITER_H_
