/*
 * Plugins for the end-to-end flow tests, built from this one source in four
 * roles (FLOW_PRODUCER, FLOW_CONSUMER, FLOW_READER, FLOW_SLOW).  Each appends
 * lines to the file named by the environment variable FLOW_TRACE, so a test
 * can check what crossed the bus and in which order.
 *
 *   producer  run thread: 100 events of class 3, then one read request
 *             (requestID 77) for the reader.
 *   consumer  receives class 3 through Write; keeps the block of the first
 *             answer to request 77 for 300 ms and releases it from a thread
 *             of its own, which holds the reader's next answer back.
 *   reader    answers request 77 with three 1 KiB answers from the thread
 *             the core called Read on.
 *   slow      takes 1.5 s in Load (a stop requested meanwhile must still let
 *             the core open, start and then stop in order).
 */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "pluginhost/plugin_abi.h"

#if defined(FLOW_PRODUCER)
#define FLOW_ID 0x00110000u
#elif defined(FLOW_CONSUMER)
#define FLOW_ID 0x00120000u
#elif defined(FLOW_READER)
#define FLOW_ID 0x00130000u
#else
#define FLOW_ID 0x00140000u
#endif

#define FLOW_CLASS 0x8u /* class 3 */
#define FLOW_REQUEST 77u

static CoreWriteFn g_write;
static atomic_int g_closed;

static void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void Trace(const char* format, ...) {
  const char* path = getenv("FLOW_TRACE");
  if (path == NULL) return;
  FILE* file = fopen(path, "a");
  if (file == NULL) return;
  va_list args;
  va_start(args, format);
  vfprintf(file, format, args);
  va_end(args);
  fputc('\n', file);
  fclose(file);
}

__attribute__((unused)) static void Sleep(long ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0) {  /* a signal for the core must not cut the wait short */
  }
}

__attribute__((unused)) static int32_t Send(uint32_t provider, uint32_t type, uint32_t request, const void* data, int32_t size) {
  CoreEvent event;
  memset(&event, 0, sizeof event);
  event.structSize = sizeof event;
  event.version = 1;
  event.dataSize = size;
  event.data = (void*)data;
  event.providerID = provider;
  event.requestID = request;
  event.eventType = type;
  event.eventSubtype = 0x5;
  WriteResult result = {sizeof result, 1, 99};
  g_write(&event, &result);
  return result.code;
}

PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  g_write = request->write;
  reply->systemID = FLOW_ID;
#if defined(FLOW_PRODUCER)
  reply->runThread = 1;
#elif defined(FLOW_CONSUMER)
  reply->acceptsWrite = 1;
  reply->subscriptionMasks[3] = 0xFFFFFFFFu;
#elif defined(FLOW_READER)
  reply->acceptsRead = 1;
  reply->subscriptionMasks[3] = 0xFFFFFFFFu;
#else
  Trace("slow load begins");
  Sleep(1500);
  Trace("slow load ends");
#endif
  return 0;
}

PLUGIN_EXPORT int32_t Open(const OpenRequest* request, OpenReply* reply) {
  (void)request;
  (void)reply;
  Trace("open 0x%08X", FLOW_ID);
  return 0;
}

PLUGIN_EXPORT int32_t Close(const CloseRequest* request, CloseReply* reply) {
  (void)request;
  (void)reply;
  atomic_store(&g_closed, 1);
  Trace("close 0x%08X", FLOW_ID);
  return 0;
}

PLUGIN_EXPORT int32_t Unload(const UnloadRequest* request, UnloadReply* reply) {
  (void)request;
  (void)reply;
  return 0;
}

#if defined(FLOW_PRODUCER)
PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
  (void)reply;
  if (request->code != IOCTL_RUN) return 0;
  /* Wait until every plugin is open, so that the first events have readers. */
  Sleep(300);
  for (int i = 0; i < 100 && !atomic_load(&g_closed); ++i) {
    char text[32];
    int length = snprintf(text, sizeof text, "event %d", i);
    int32_t code = Send(FLOW_ID, FLOW_CLASS, 0, text, length + 1);
    if (code != 0) Trace("producer write %d refused %d", i, code);
  }
  Trace("producer broadcast code=%d", Send(0, FLOW_CLASS, FLOW_REQUEST, "camera", 7));
  while (!atomic_load(&g_closed)) Sleep(5);
  return 0;
}
#endif

#if defined(FLOW_CONSUMER)
static void* ReleaseLater(void* block) {
  Sleep(300);
  Trace("consumer releases first answer");
  CoreEvent release;
  memset(&release, 0, sizeof release);
  release.structSize = sizeof release;
  release.version = 1;
  release.data = block;
  release.providerID = FLOW_ID;
  release.eventType = EVENT_BLOCK_RELEASE;
  WriteResult result = {sizeof result, 1, 0};
  g_write(&release, &result);
  return NULL;
}

PLUGIN_EXPORT int32_t Write(const DeliveredEvent* event, WriteReply* reply) {
  if (event->requestID == FLOW_REQUEST) {
    Trace("consumer answer %.*s", event->dataSize > 8 ? 8 : event->dataSize, (const char*)event->data);
    static int first = 1;
    if (first) {
      first = 0;
      reply->keepBlock = 1;
      pthread_t thread;
      if (pthread_create(&thread, NULL, ReleaseLater, event->data) == 0) pthread_detach(thread);
    }
    return 0;
  }
  Trace("consumer got %.*s from 0x%08X", event->dataSize, (const char*)event->data, event->providerID);
  return 0;
}
#endif

#if defined(FLOW_READER)
PLUGIN_EXPORT int32_t Read(const ReadRequest* request, ReadReply* reply) {
  (void)reply;
  if (request->requestID == 0) {  /* the start-up call: nothing to do */
    return 0;
  }
  Trace("reader request %u payload %.*s", request->requestID, (int)request->dataSize,
        (const char*)request->data);
  static char answer[1024];
  for (int k = 1; k <= 3; ++k) {
    memset(answer, 'a', sizeof answer);
    snprintf(answer, sizeof answer, "answer%d", k);
    int32_t code = Send(FLOW_ID, FLOW_CLASS, request->requestID, answer, (int32_t)sizeof answer);
    Trace("reader answer%d written code=%d", k, code);
  }
  return 0;
}
#endif
