// A configurable plugin for the tests, written against the plugin header
// alone and compiled as strict C11 (-pedantic -Werror).  Copies of it, each
// with settings of its own, play every role that the plugin host's tests and
// the process-level tests need, and record what the core hands them.
//
// Settings come from the library's own path + ".cfg" (which the scan
// ignores), read when the library is mapped: lines "key=value", numbers in C
// notation.
//   systemID, logLevel, mask2, mask3, mask5, runThread, acceptsRead,
//   acceptsWrite: the load reply; loadResult, loadError, openResult,
//   closeResult, closeError, unloadResult, unloadError: what the entry
//   points return; loadDelayMs: how long Load takes;
//   produce: events of class 3 the run thread writes once every plugin is
//     open, followed by read request 77 with the payload "camera";
//   hold: keep the first answer to a read request and release it 300 ms
//     later from a thread of its own;
//   post (repeatable, up to 8): a configuration document the run thread
//     writes once the core's first document has arrived (empty: no payload);
//   trace: the file each call appends one line to, "<file name> <call>
//     <block sizes/versions> <arguments>"; "<file name> unmapped" is the
//     last line, written when the library is released.
// Daemon packets (IOCTL code 4) are echoed back to the daemon.
// Read answers a read request with three 1 KiB answers, "answer1".."answer3".
// The run thread (IOCTL code 1) and the start-up Read block until Close, as
// real plugins do, so that the host must join them after closing.
//
// Entry points left out by definitions: OMIT_LOAD, ONLY_LOAD, OMIT_READ,
// OMIT_CLOSE.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "recording-core/plugin_abi.h"

enum {
  kSystemId, kLogLevel, kMask2, kMask3, kMask5, kRunThread, kAcceptsRead, kAcceptsWrite,
  kLoadResult, kLoadError, kOpenResult, kCloseResult, kCloseError, kUnloadResult, kUnloadError,
  kLoadDelayMs, kProduce, kHold, kKeys
};
static const char* const kKeyNames[kKeys] = {
    "systemID", "logLevel", "mask2", "mask3", "mask5", "runThread", "acceptsRead", "acceptsWrite",
    "loadResult", "loadError", "openResult", "closeResult", "closeError", "unloadResult",
    "unloadError", "loadDelayMs", "produce", "hold"};
enum { kMaxPosts = 8, kMaxText = 4096, kRequest = 77, kClass3 = 0x8 };

static long g_config[kKeys];
static char g_name[256] = "?";
static char g_trace[1024];
static char g_posts[kMaxPosts][kMaxText];
static int g_postCount;
static CoreWriteFn g_write;

static void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void Trace(const char* format, ...) {
  FILE* file = g_trace[0] != '\0' ? fopen(g_trace, "a") : NULL;
  if (file == NULL) return;
  // One buffered line, so that it reaches the file in one write.
  static _Thread_local char line[2 * kMaxText];
  int used = snprintf(line, sizeof line, "%s ", g_name);
  va_list args;
  va_start(args, format);
  vsnprintf(line + used, sizeof line - (size_t)used, format, args);
  va_end(args);
  fprintf(file, "%s\n", line);
  fclose(file);
}

// Runs when the library is mapped, so that even a library without Load
// knows its trace file.
__attribute__((constructor)) static void ReadConfig(void) {
  Dl_info info;
  if (dladdr((void*)g_name, &info) == 0 || info.dli_fname == NULL) return;
  const char* slash = strrchr(info.dli_fname, '/');
  snprintf(g_name, sizeof g_name, "%s", slash != NULL ? slash + 1 : info.dli_fname);
  static char line[kMaxText + 64];
  snprintf(line, sizeof line, "%s.cfg", info.dli_fname);
  FILE* file = fopen(line, "r");
  while (file != NULL && fgets(line, sizeof line, file) != NULL) {
    char* value = strchr(line, '=');
    if (value == NULL) continue;
    *value++ = '\0';
    value[strcspn(value, "\r\n")] = '\0';
    if (strcmp(line, "trace") == 0) snprintf(g_trace, sizeof g_trace, "%s", value);
    if (strcmp(line, "post") == 0 && g_postCount < kMaxPosts)
      snprintf(g_posts[g_postCount++], kMaxText, "%s", value);
    for (int i = 0; i < kKeys; ++i)
      if (strcmp(line, kKeyNames[i]) == 0) g_config[i] = strtol(value, NULL, 0);
  }
  if (file != NULL) fclose(file);
}

__attribute__((destructor)) static void Unmapped(void) { Trace("unmapped"); }

// The sizes and versions of a request and its reply, for the trace.
#define BLOCKS(request, reply) \
  (request)->structSize, (request)->version, (reply)->structSize, (reply)->version

static void Sleep(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {  // a signal for the core must not cut the wait short
  }
}

#if !defined(OMIT_LOAD)
PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  g_write = request->write;
  Trace("Load req=%u/%u reply=%u/%u context=%d", BLOCKS(request, reply), request->context != NULL);
  reply->systemID = (uint32_t)g_config[kSystemId];
  reply->logLevel = (int32_t)g_config[kLogLevel];
  reply->subscriptionMasks[2] = (uint32_t)g_config[kMask2];
  reply->subscriptionMasks[3] = (uint32_t)g_config[kMask3];
  reply->subscriptionMasks[5] = (uint32_t)g_config[kMask5];
  reply->runThread = g_config[kRunThread] || g_config[kProduce] || g_postCount;
  reply->acceptsRead = (uint8_t)g_config[kAcceptsRead];
  reply->acceptsWrite = (uint8_t)g_config[kAcceptsWrite];
  reply->errorCode = (int32_t)g_config[kLoadError];
  if (g_config[kLoadDelayMs] > 0) {
    Trace("load begins");
    Sleep(g_config[kLoadDelayMs]);
    Trace("load ends");
  }
  return (int32_t)g_config[kLoadResult];
}
#endif

#if !defined(ONLY_LOAD)
static atomic_int g_configs, g_closed, g_held;

// Waits (at most 30 s, so a faulty core cannot hang a test) until `flag`
// reaches `value`.
static void WaitFor(atomic_int* flag, int value) {
  for (int i = 0; i < 30000 && atomic_load(flag) < value; ++i) Sleep(1);
}

// Writes one event through the core's callback; returns the result code.
static int32_t Send(uint32_t provider, uint32_t type, uint32_t subtype, uint32_t request,
                    const void* data, int32_t size) {
  CoreEvent event = {.structSize = sizeof event, .version = 1, .dataSize = size, .data = (void*)data,
                     .providerID = provider, .requestID = request, .eventType = type,
                     .eventSubtype = subtype};
  WriteResult result = {sizeof result, 1, 99};
  g_write(&event, &result);
  return result.code;
}

PLUGIN_EXPORT int32_t Unload(const UnloadRequest* request, UnloadReply* reply) {
  Trace("Unload req=%u/%u reply=%u/%u", BLOCKS(request, reply));
  reply->errorCode = (int32_t)g_config[kUnloadError];
  return (int32_t)g_config[kUnloadResult];
}

PLUGIN_EXPORT int32_t Open(const OpenRequest* request, OpenReply* reply) {
  Trace("Open mode=%u req=%u/%u reply=%u/%u", request->mode, BLOCKS(request, reply));
  return (int32_t)g_config[kOpenResult];
}

#if !defined(OMIT_CLOSE)
PLUGIN_EXPORT int32_t Close(const CloseRequest* request, CloseReply* reply) {
  Trace("Close req=%u/%u reply=%u/%u", BLOCKS(request, reply));
  atomic_store(&g_closed, 1);
  reply->errorCode = (int32_t)g_config[kCloseError];
  return (int32_t)g_config[kCloseResult];
}
#endif

#if !defined(OMIT_READ)
PLUGIN_EXPORT int32_t Read(const ReadRequest* request, ReadReply* reply) {
  const char* payload = request->data != NULL ? (const char*)request->data : "";
  Trace("Read begin req=%u/%u reply=%u/%u flag=%u size=%u data=%d id=%u payload=%.*s",
        BLOCKS(request, reply), request->flag, request->dataSize, request->data != NULL,
        request->requestID, (int)(request->data != NULL ? request->dataSize : 0), payload);
  if (request->requestID == 0) WaitFor(&g_closed, 1);  // the start-up call
  static char answer[1024];
  for (int k = 1; k <= 3 && request->requestID != 0; ++k) {
    memset(answer, 'a', sizeof answer);
    snprintf(answer, sizeof answer, "answer%d", k);
    const int32_t code = Send((uint32_t)g_config[kSystemId], kClass3, 0x5, request->requestID,
                              answer, (int32_t)sizeof answer);
    Trace("answer%d written code=%d", k, code);
  }
  Trace("Read end");
  return 0;
}
#endif

static void* ReleaseLater(void* block) {
  Sleep(300);
  Trace("releases first answer");
  Send((uint32_t)g_config[kSystemId], EVENT_BLOCK_RELEASE, 0, 0, block, 0);
  return NULL;
}

PLUGIN_EXPORT int32_t Write(const DeliveredEvent* event, WriteReply* reply) {
  const char* text = event->data != NULL ? (const char*)event->data : "";
  Trace("Write provider=0x%08X type=0x%X subtype=0x%X request=%u level=%d reply=%u/%u size=%d "
        "text=%.*s", event->providerID, event->eventType, event->eventSubtype, event->requestID,
        event->attributes.logLevel, reply->structSize, reply->version, event->dataSize,
        event->data != NULL ? (int)event->dataSize : 0, text);
  if (event->eventType == EVENT_LOG) {
    // A log plugin writing while it logs: during the one-shot log delivery
    // this must go nowhere.
    Trace("Write callback code=%d", Send(0, 1, 0, 0, NULL, 0));
  }
  if (g_config[kHold] && event->requestID != 0 && atomic_exchange(&g_held, 1) == 0) {
    reply->keepBlock = 1;
    pthread_t thread;
    if (pthread_create(&thread, NULL, ReleaseLater, event->data) == 0) pthread_detach(thread);
  }
  return 0;
}

PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
  Trace("IOCTL begin code=%u req=%u/%u reply=%u/%u buffer=%u/%u nested=%u/%u reply code=%u",
        request->code, BLOCKS(request, reply), BLOCKS(&request->buffer, &reply->nested), reply->code);
  const uint32_t self = (uint32_t)g_config[kSystemId];
  if (request->code == IOCTL_CONFIG_UPDATE) {
    // With the core's answer, at that moment, to a query for the plugin's
    // own threshold.
    const char* text = (const char*)request->buffer.data;
    const int32_t level = Send(self, EVENT_LOG, SUBTYPE_LOG_QUERY, 0, NULL, 0);
    Trace("config size=%u data=%d level=%d text=%.*s", request->buffer.length, text != NULL, level,
          text != NULL ? (int)request->buffer.length : 0, text != NULL ? text : "");
    atomic_fetch_add(&g_configs, 1);
  } else if (request->code == IOCTL_RUN) {
    if (g_config[kProduce] > 0) Sleep(300);  // every plugin is open by then
    for (long i = 0; i < g_config[kProduce] && !atomic_load(&g_closed); ++i) {
      char text[32];
      const int length = snprintf(text, sizeof text, "event %ld", i);
      const int32_t code = Send(self, kClass3, 0x5, 0, text, length + 1);
      if (code != 0) Trace("write %ld refused %d", i, code);
    }
    if (g_config[kProduce] > 0)
      Trace("broadcast code=%d", Send(0, kClass3, 0x5, kRequest, "camera", 7));
    if (g_postCount > 0) WaitFor(&g_configs, 1);  // the core is up, its first document out
    for (int i = 0; i < g_postCount; ++i) {
      const int32_t size = (int32_t)strlen(g_posts[i]);
      Trace("posted code=%d",
            Send(self, EVENT_CONFIG_UPDATE, 0, 0, size != 0 ? g_posts[i] : NULL, size));
    }
    WaitFor(&g_closed, 1);
  } else if (request->code == IOCTL_SUPERVISOR && request->buffer.length >= sizeof(PipePacketHeader)) {
    // A daemon packet goes back to the daemon as it came; kind 2 returns the
    // header's extra word, any other kind gives it as the error word.
    PipePacketHeader header;
    memcpy(&header, request->buffer.data, sizeof header);
    void* copy = malloc(request->buffer.length);
    memcpy(copy, request->buffer.data, request->buffer.length);
    Send(self, EVENT_TO_SUPERVISOR, 0, 0, copy, (int32_t)request->buffer.length);
    if (header.kind == 2) return (int32_t)header.extra;
    reply->errorCode = (int32_t)header.extra;
  }
  Trace("IOCTL end");
  return 0;
}
#endif
