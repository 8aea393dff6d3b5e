// The log entry: how the core, and any code that holds a write callback,
// writes a log message.  Every message travels as an event on the bus: a
// threshold query first (so a filtered message costs no formatting), then a
// log-message event that the write path filters, prints and routes.
//
// [any-thread]: holds no lock; the write path does the rest.
#ifndef BASE_LOG_H_
#define BASE_LOG_H_

#include <cstdarg>
#include <cstdint>

#include "recording-core/plugin_abi.h"

namespace base {

// The levels the core itself uses.
constexpr int32_t kLevelDebug = 0;
constexpr int32_t kLevelInfo = 25;
constexpr int32_t kLevelWarning = 50;
constexpr int32_t kLevelError = 75;
constexpr int32_t kLevelFatal = 100;

// Where an event goes: the object behind the write callback.  The core's
// own components that own the bus (or stand in for it in tests) log through
// this interface; everything else passes the C write callback.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // The write callback's contract: routes one event, outcome in result->code.
  virtual void Write(const CoreEvent* event, WriteResult* result) = 0;
};

// Writes a printf-style message for `module` through `sink`.  Nothing
// happens when the module's threshold is above `level`, or when the text is
// empty or the format fails.  Texts of 512 bytes or more are cut to 511
// characters, except at level 0, which is never cut.
void Log(ModuleId module, EventSink& sink, int32_t level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));
void LogV(ModuleId module, EventSink& sink, int32_t level, const char* format, va_list args);
bool LogEnabled(ModuleId module, EventSink& sink, int32_t level);

// Writes a printf-style message for `module` through `writer`.  Nothing
// happens without a writer, when the module's threshold is above `level`,
// or when the text is empty or the format fails.  Texts of 512 bytes or more
// are cut to 511 characters, except at level 0, which is never cut.
void Log(ModuleId module, CoreWriteFn writer, int32_t level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// The same with a va_list.
void LogV(ModuleId module, CoreWriteFn writer, int32_t level, const char* format, va_list args);

// True when a message of `level` from `module` would pass its threshold:
// the threshold query answers -1 (unset) or a value not above `level`.
bool LogEnabled(ModuleId module, CoreWriteFn writer, int32_t level);

}  // namespace base

#endif  // BASE_LOG_H_
