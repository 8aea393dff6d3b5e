/*
 * minimal.c - a complete plugin in plain C, the running example of the
 * plugin guide (docs/plugin-guide.md).
 *
 * It counts the video frames that reach it and logs, every ten seconds from
 * its own run thread, how many arrived.  It counts configuration updates,
 * and answers each supervisor message with a packet back.  Small as it is,
 * it follows every rule of the core:
 *   - Write returns at once: it only adds to two counters;
 *   - it keeps no payload block, so it never has to release one;
 *   - the packet it sends to the supervisor is malloc'ed, because the core
 *     frees it;
 *   - Close wakes the run thread, whose IOCTL call then returns, so the core
 *     can join it before Unload.
 *
 * Build: cc -std=c11 -shared -fPIC -fvisibility=hidden -Wl,-z,defs
 *        -I<prefix>/include minimal.c -o minimal.dll
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <threads.h>
#include <time.h>

#include "recording-core/plugin_abi.h"

/* Module number 9 (bits 16..27); the low 16 bits are ours to use. */
#define MINIMAL_ID 0x00090000u
#define REPORT_SECONDS 10

static CoreWriteFn core_write; /* the core's write callback, any thread */

static mtx_t lock; /* guards everything below */
static cnd_t wake; /* signalled at Close */
static int closing;
static unsigned long long frames, bytes, updates;

static CoreEvent new_event(uint32_t type, uint32_t subtype, void* data, int32_t size) {
  CoreEvent event;
  memset(&event, 0, sizeof event);
  event.structSize = sizeof event;
  event.version = 1;
  event.providerID = MINIMAL_ID;
  event.eventType = type;
  event.eventSubtype = subtype;
  event.data = data;
  event.dataSize = size;
  return event;
}

/* The log protocol: ask for the module's threshold first, so a message that
 * would be filtered costs nothing more; then write the text with its NUL
 * counted in dataSize. */
static void log_text(int32_t level, const char* text) {
  CoreEvent query = new_event(EVENT_LOG, SUBTYPE_LOG_QUERY, NULL, 0);
  WriteResult result = {sizeof(WriteResult), 1, 0};
  core_write(&query, &result);
  if (result.code != -1 && result.code > level) return;

  CoreEvent message = new_event(EVENT_LOG, 0x01000000u | SUBTYPE_LOG_MESSAGE, (void*)text,
                                (int32_t)strlen(text) + 1);
  message.attributes.logLevel = level;
  result.code = 0;
  core_write(&message, &result); /* the core copies the text before returning */
}

/* [main thread] Describes the plugin.  A non-zero result or errorCode makes
 * the core reject it. */
PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  core_write = request->write;
  if (mtx_init(&lock, mtx_plain) != thrd_success) {
    reply->errorCode = 1;
    return 1;
  }
  if (cnd_init(&wake) != thrd_success) {
    mtx_destroy(&lock);
    reply->errorCode = 1;
    return 1;
  }
  closing = 0;
  frames = bytes = updates = 0;

  reply->systemID = MINIMAL_ID;
  /* Class 0, every video frame: a frame's subtype has bit 24 set, which the
   * queued matching key moves to bit 25; the low 24 bits may be anything. */
  reply->subscriptionMasks[0] = 0x02FFFFFFu;
  reply->runThread = 1;    /* IOCTL code 1 on a thread of our own */
  reply->acceptsWrite = 1; /* matching events through Write */
  reply->logLevel = 25;    /* our default threshold */
  return 0;
}

/* [main thread] Events start to arrive after this. */
PLUGIN_EXPORT int32_t Open(const OpenRequest* request, OpenReply* reply) {
  (void)request;
  (void)reply;
  log_text(25, "minimal plugin open");
  return 0;
}

/* [dispatcher] One event; every plugin waits while this runs, so it only
 * counts.  keepBlock stays 0: the core drops our hold on return. */
PLUGIN_EXPORT int32_t Write(const DeliveredEvent* event, WriteReply* reply) {
  (void)reply;
  if ((event->eventType & EVENT_VIDEO) != 0 && (event->eventSubtype & SUBTYPE_VIDEO_FRAME) != 0) {
    mtx_lock(&lock);
    ++frames;
    bytes += (unsigned long long)event->dataSize;
    mtx_unlock(&lock);
  }
  return 0;
}

/* [plugin run thread] From Load until Close: report every ten seconds. */
static int32_t run(void) {
  mtx_lock(&lock);
  while (!closing) {
    struct timespec until;
    timespec_get(&until, TIME_UTC);
    until.tv_sec += REPORT_SECONDS;
    int rc = thrd_success;
    while (!closing && rc == thrd_success) rc = cnd_timedwait(&wake, &lock, &until);
    if (closing) break;
    char text[160];
    snprintf(text, sizeof text, "minimal: %llu frames, %llu bytes, %llu configuration updates",
             frames, bytes, updates);
    frames = bytes = 0;
    mtx_unlock(&lock); /* never call the core while holding our lock */
    log_text(25, text);
    mtx_lock(&lock);
  }
  mtx_unlock(&lock);
  return 0;
}

/* [io-thread] A supervisor message: answer with a packet of our own.  The
 * packet must be complete (header included) and malloc'ed; the core owns it
 * from the write on and frees it, also when it refuses it. */
static int32_t answer_supervisor(const IoctlRequest* request) {
  PipePacketHeader in;
  if (request->buffer.data == NULL || request->buffer.length < sizeof in) return 1;
  memcpy(&in, request->buffer.data, sizeof in); /* no cast of the buffer */

  char text[64];
  mtx_lock(&lock);
  const int length = snprintf(text, sizeof text, "minimal: %llu frames", frames);
  mtx_unlock(&lock);
  const size_t size = sizeof(PipePacketHeader) + (size_t)length;
  unsigned char* packet = malloc(size);
  if (packet == NULL) return 1;
  PipePacketHeader out = {(uint32_t)size, MODULE_NUMBER(MINIMAL_ID) << 20, in.kind, in.extra};
  memcpy(packet, &out, sizeof out);
  memcpy(packet + sizeof out, text, (size_t)length);

  CoreEvent event = new_event(EVENT_TO_SUPERVISOR, 0, packet, (int32_t)size);
  WriteResult result = {sizeof(WriteResult), 1, 0};
  core_write(&event, &result); /* code 1: no supervisor; the core freed it */
  return 0;
}

PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
  switch (request->code) {
    case IOCTL_RUN:
      return run();
    case IOCTL_CONFIG_UPDATE: /* [dispatcher] the text is request->buffer */
      mtx_lock(&lock);
      ++updates;
      mtx_unlock(&lock);
      reply->keepBlock = 0; /* we keep nothing of the document */
      return 0;
    case IOCTL_SUPERVISOR:
      return answer_supervisor(request);
    default:
      return 0;
  }
}

/* [main thread] Make the run thread's IOCTL return; the core joins it
 * before Unload. */
PLUGIN_EXPORT int32_t Close(const CloseRequest* request, CloseReply* reply) {
  (void)request;
  (void)reply;
  mtx_lock(&lock);
  closing = 1;
  cnd_broadcast(&wake);
  mtx_unlock(&lock);
  return 0;
}

/* [main thread] Every thread of ours has ended. */
PLUGIN_EXPORT int32_t Unload(const UnloadRequest* request, UnloadReply* reply) {
  (void)request;
  (void)reply;
  cnd_destroy(&wake);
  mtx_destroy(&lock);
  return 0;
}
