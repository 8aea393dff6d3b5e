// zovur.cpp - "ZovUR.dll", the example logging plugin.
//
// Every log message that passes its module's threshold is routed to the
// modules subscribed to class 6; this plugin is one of them and appends each
// message as one line to logs/core.log in the core's working directory:
//
//     2024-05-01 12:00:00.123 80000000  25 successfully started core version ...
//     (UTC date and time of arrival, writer's module id, level, text)
//
// The file is rotated by size: core.log becomes core.log.1, core.log.1
// becomes core.log.2, and so on; the oldest beyond `keep` is deleted.
//
// The plugin is also the target of the core's one-shot delivery, used when
// the configuration is unusable and the core is about to end before any
// plugin is loaded: the core loads this library by itself, calls Load (with
// a write callback that drops everything), Open with mode 1, Write once with
// a log message of subtype 2 whose dataSize does NOT count a terminating NUL,
// then Close and Unload.  That is why the library exports all of Load,
// Unload, Open, Close, Read, Write and IOCTL, and why Write bounds the text
// by dataSize instead of looking for a NUL.
//
// Threads.  Write runs on the core's dispatcher, which delivers every event
// to every plugin one after the other; it must never wait for a disk.  Write
// therefore only formats the line and queues it; a writer thread, started in
// Open and ended in Close, appends queued lines to the file.
//
// This plugin never logs through the bus itself: it receives its own log
// events, so a message about a failing log file would come back to it and
// fail again.  Its own problems go to the console through the core
// context's logLine slot.
//
// Settings, from zovur.conf in the working directory (all optional):
//   directory = logs        where the log files go
//   file = core.log         name of the current file
//   max_bytes = 1048576     rotate before a line would take the file past this
//   keep = 3                rotated files kept (core.log.1 .. core.log.3)
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "plugin_support.h"
#include "recording-core/plugin_abi.h"

namespace {

// Module number 1.  Module numbers are handed out per installation; the low
// 16 bits are the plugin's own.
constexpr ModuleId kZovurId = 0x00010000u;
// Lines waiting for the writer beyond this are dropped (and counted): a
// stuck disk must not make the dispatcher's memory grow without end.
constexpr size_t kMaxQueuedLines = 20000;

struct Logger {
  CoreContext* context = nullptr;  // for logLine; may be null
  std::filesystem::path directory;
  std::filesystem::path current;  // directory / file
  uint64_t maxBytes = 1 << 20;
  int keep = 3;

  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::string> lines;  // guarded by mutex
  uint64_t dropped = 0;           // guarded by mutex
  bool closing = false;           // guarded by mutex
  std::thread writer;

  // Writer thread only.
  FILE* out = nullptr;
  uint64_t size = 0;
  bool failed = false;  // an error was reported; report the next only after a success
};

Logger* g_logger = nullptr;  // created in Load, destroyed in Unload

void Complain(Logger& logger, const std::string& text) {
  if (logger.failed) return;
  logger.failed = true;
  if (logger.context != nullptr && logger.context->table != nullptr &&
      logger.context->table->logLine != nullptr)
    logger.context->table->logLine(logger.context, kZovurId, 75, text.c_str());
}

std::filesystem::path Rotated(const Logger& logger, int index) {
  return logger.current.string() + "." + std::to_string(index);
}

bool OpenCurrent(Logger& logger) {
  std::error_code error;
  std::filesystem::create_directories(logger.directory, error);
  logger.out = std::fopen(logger.current.c_str(), "ab");
  if (logger.out == nullptr) {
    Complain(logger, "cannot open log file " + logger.current.string() + ": " +
                         std::strerror(errno));
    return false;
  }
  std::fseek(logger.out, 0, SEEK_END);
  const long at = std::ftell(logger.out);
  logger.size = at > 0 ? static_cast<uint64_t>(at) : 0;
  return true;
}

// core.log.(keep-1) -> core.log.keep, ..., core.log -> core.log.1.  Renames
// that fail (a file missing) are simply skipped.
void Rotate(Logger& logger) {
  std::fclose(logger.out);
  logger.out = nullptr;
  std::error_code ignored;
  if (logger.keep <= 0) {
    std::filesystem::remove(logger.current, ignored);
  } else {
    std::filesystem::remove(Rotated(logger, logger.keep), ignored);
    for (int i = logger.keep - 1; i >= 1; --i)
      std::filesystem::rename(Rotated(logger, i), Rotated(logger, i + 1), ignored);
    std::filesystem::rename(logger.current, Rotated(logger, 1), ignored);
  }
  OpenCurrent(logger);
}

void Append(Logger& logger, const std::string& line) {
  if (logger.out == nullptr && !OpenCurrent(logger)) return;
  if (logger.size > 0 && logger.size + line.size() > logger.maxBytes) {
    Rotate(logger);
    if (logger.out == nullptr) return;
  }
  if (std::fwrite(line.data(), 1, line.size(), logger.out) != line.size()) {
    Complain(logger, "cannot write log file " + logger.current.string());
    return;
  }
  logger.size += line.size();
  logger.failed = false;
}

// The writer thread: drains the queue in batches and flushes after each, so
// the file is current whenever the queue is empty.  Ends at Close, after
// writing everything queued before it.
void WriterLoop(Logger& logger) {
  std::unique_lock lock(logger.mutex);
  for (;;) {
    logger.wake.wait(lock, [&] { return logger.closing || !logger.lines.empty(); });
    if (logger.lines.empty() && logger.closing) break;
    std::deque<std::string> batch;
    batch.swap(logger.lines);
    const uint64_t dropped = logger.dropped;
    logger.dropped = 0;
    lock.unlock();
    if (dropped != 0)
      Append(logger, std::string("(").append(std::to_string(dropped))
                         .append(" log lines dropped: the log file fell behind)\n"));
    for (const std::string& line : batch) Append(logger, line);
    if (logger.out != nullptr) std::fflush(logger.out);
    lock.lock();
  }
  if (logger.out != nullptr) std::fclose(logger.out);
  logger.out = nullptr;
}

// "YYYY-MM-DD HH:MM:SS.mmm " in UTC.
std::string TimeStamp() {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{floor<milliseconds>(now - day)};
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02ld:%02ld:%02ld.%03ld ",
                static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                static_cast<unsigned>(date.day()), static_cast<long>(time.hours().count()),
                static_cast<long>(time.minutes().count()), static_cast<long>(time.seconds().count()),
                static_cast<long>(time.subseconds().count()));
  return text;
}

// One log record as text.  The text is bounded by dataSize and ends at the
// first NUL inside it (normal messages count their NUL, the one-shot
// delivery does not).  Line breaks inside a message become indented
// continuation lines so that every record starts with its time.
std::string FormatLine(const DeliveredEvent& event) {
  const char* text = static_cast<const char*>(event.data);
  size_t length = static_cast<size_t>(event.dataSize);
  const void* nul = std::memchr(text, '\0', length);
  if (nul != nullptr) length = static_cast<size_t>(static_cast<const char*>(nul) - text);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;

  char head[32];
  std::snprintf(head, sizeof head, "%08x %3d ", event.providerID, event.attributes.logLevel);
  std::string line = TimeStamp() + head;
  line.reserve(line.size() + length + 1);
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '\n') {
      line += "\n    ";
    } else if (text[i] != '\r') {
      line += text[i];
    }
  }
  line += '\n';
  return line;
}

void StopWriter(Logger& logger) {
  {
    std::lock_guard lock(logger.mutex);
    logger.closing = true;
  }
  logger.wake.notify_one();
  if (logger.writer.joinable()) logger.writer.join();
}

}  // namespace

// [main thread] Reads the settings and describes the plugin.  Load is also
// called by the one-shot delivery, with a write callback that drops
// everything; this plugin needs none anyway.
PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  if (g_logger != nullptr) {
    StopWriter(*g_logger);
    delete g_logger;
  }
  g_logger = new Logger;
  g_logger->context = request->context;

  example::Settings settings = example::Settings::Read("zovur.conf");
  g_logger->directory = settings.Text("directory", "logs");
  g_logger->current = g_logger->directory / settings.Text("file", "core.log");
  g_logger->maxBytes = static_cast<uint64_t>(settings.Int("max_bytes", 1 << 20, 1024, 1L << 40));
  g_logger->keep = static_cast<int>(settings.Int("keep", 3, 0, 99));
  for (const std::string& problem : settings.problems()) Complain(*g_logger, problem);
  g_logger->failed = false;

  reply->systemID = kZovurId;
  // Class 6 carries log messages.  The core's messages have subtype
  // 0x01000002; queued delivery moves the top byte up one bit, so their
  // matching key is 0x02000002, and (mask & key) == key must hold.  The same
  // mask also takes subtype 0x00000002 (key 0x2) from plugins that set only
  // the log-message bit.
  reply->subscriptionMasks[6] = 0x02000002u;
  reply->acceptsWrite = 1;
  reply->logLevel = 0;  // no threshold of its own: the plugin never logs through the bus
  return 0;
}

// [main thread] Starts the writer thread; mode 1 (one-shot delivery) works
// the same way, the Close that follows writes the text out.
PLUGIN_EXPORT int32_t Open(const OpenRequest* /*request*/, OpenReply* /*reply*/) {
  if (g_logger == nullptr) return 1;
  std::lock_guard lock(g_logger->mutex);
  g_logger->closing = false;
  if (!g_logger->writer.joinable())
    g_logger->writer = std::thread(WriterLoop, std::ref(*g_logger));
  return 0;
}

// [dispatcher] Queues one log message; never touches the file.  The block is
// not kept: the line is a copy.
PLUGIN_EXPORT int32_t Write(const DeliveredEvent* event, WriteReply* /*reply*/) {
  if (g_logger == nullptr) return 1;
  if ((event->eventType & EVENT_LOG) == 0 || (event->eventSubtype & SUBTYPE_LOG_MESSAGE) == 0 ||
      event->data == nullptr || event->dataSize <= 0)
    return 0;
  std::string line = FormatLine(*event);
  {
    std::lock_guard lock(g_logger->mutex);
    if (g_logger->lines.size() >= kMaxQueuedLines) {
      ++g_logger->dropped;
    } else {
      g_logger->lines.push_back(std::move(line));
    }
  }
  g_logger->wake.notify_one();
  return 0;
}

// [main thread] Ends the writer thread after it has written every queued
// line, so nothing of this plugin runs once Close returns.
PLUGIN_EXPORT int32_t Close(const CloseRequest* /*request*/, CloseReply* /*reply*/) {
  if (g_logger != nullptr) StopWriter(*g_logger);
  return 0;
}

PLUGIN_EXPORT int32_t Unload(const UnloadRequest* /*request*/, UnloadReply* /*reply*/) {
  if (g_logger != nullptr) {
    StopWriter(*g_logger);  // in case Close was never called
    delete g_logger;
    g_logger = nullptr;
  }
  return 0;
}

// Required by the one-shot delivery; the plugin takes no read requests
// (acceptsRead is 0), so the core never calls it otherwise.
PLUGIN_EXPORT int32_t Read(const ReadRequest* /*request*/, ReadReply* /*reply*/) { return 0; }

// Required by the one-shot delivery.  Configuration updates (code 2) and
// supervisor messages (code 4) need no action here.
PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* /*request*/, IoctlReply* /*reply*/) { return 0; }
