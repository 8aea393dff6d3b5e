#include "base/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace base {
namespace {

constexpr size_t kLogBufferSize = 512;

// The C write callback as a sink.
class CallbackSink final : public EventSink {
 public:
  explicit CallbackSink(CoreWriteFn writer) : writer_(writer) {}
  void Write(const CoreEvent* event, WriteResult* result) override { writer_(event, result); }

 private:
  CoreWriteFn writer_;
};

int32_t QueryThreshold(ModuleId module, EventSink& writer) {
  CoreEvent query;
  std::memset(&query, 0, sizeof query);
  query.structSize = sizeof(CoreEvent);
  query.version = 1;
  query.providerID = module;
  query.eventType = EVENT_LOG;
  query.eventSubtype = SUBTYPE_LOG_QUERY;
  WriteResult result{sizeof(WriteResult), 1, 0};
  writer.Write(&query, &result);
  return result.code;
}

}  // namespace

bool LogEnabled(ModuleId module, CoreWriteFn writer, int32_t level) {
  if (writer == nullptr) return false;
  CallbackSink sink(writer);
  return LogEnabled(module, sink, level);
}

bool LogEnabled(ModuleId module, EventSink& writer, int32_t level) {
  const int32_t threshold = QueryThreshold(module, writer);
  return threshold == -1 || threshold <= level;
}

void Log(ModuleId module, CoreWriteFn writer, int32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(module, writer, level, format, args);
  va_end(args);
}

void Log(ModuleId module, EventSink& sink, int32_t level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogV(module, sink, level, format, args);
  va_end(args);
}

void LogV(ModuleId module, CoreWriteFn writer, int32_t level, const char* format, va_list args) {
  if (writer == nullptr) return;
  CallbackSink sink(writer);
  LogV(module, sink, level, format, args);
}

void LogV(ModuleId module, EventSink& writer, int32_t level, const char* format, va_list args) {
  const int32_t threshold = QueryThreshold(module, writer);
  if (threshold != -1 && threshold > level) return;

  char buffer[kLogBufferSize];
  va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(buffer, sizeof buffer, format, args);
  if (needed <= 0) {
    va_end(again);
    return;
  }

  // Level-0 messages (statistics, leak reports) are never cut: format them
  // again into a buffer of the full length.  Others keep the first 511 bytes.
  std::unique_ptr<char[]> large;
  const char* text = buffer;
  size_t length = static_cast<size_t>(needed);
  if (length >= kLogBufferSize) {
    if (level == 0) {
      large.reset(new char[length + 1]);
      const int second = std::vsnprintf(large.get(), length + 1, format, again);
      if (second <= 0) {
        va_end(again);
        return;
      }
      text = large.get();
      length = static_cast<size_t>(second) < length ? static_cast<size_t>(second) : length;
    } else {
      length = kLogBufferSize - 1;
    }
  }

  va_end(again);

  CoreEvent message;
  std::memset(&message, 0, sizeof message);
  message.structSize = sizeof(CoreEvent);
  message.version = 1;
  message.dataSize = static_cast<int32_t>(length + 1);
  message.data = const_cast<char*>(text);
  message.providerID = module;
  message.eventType = EVENT_LOG;
  message.eventSubtype = 0x01000000u | SUBTYPE_LOG_MESSAGE;
  message.attributes.logLevel = level;
  WriteResult result{sizeof(WriteResult), 1, 0};
  writer.Write(&message, &result);
}

}  // namespace base
