/*
 * pipe_peer.dll: a plugin that talks with the supervising daemon, for the
 * process-level tests of the supervisor link.
 *
 * Its ModuleId is 0x00070000 (module number 7), so daemon packets whose
 * target carries 7 in its top 12 bits reach its IOCTL with code 4.  Each
 * such call appends the line "<code> <length> <hex of the whole packet>" to
 * "pipe_peer.trace" in the working directory, and the answer depends on the
 * packet's kind:
 *   PEER_KIND_RETURN  returns the header's extra word, error word 0;
 *   PEER_KIND_BURST   asks the run thread to send `extra` packets to the
 *                     daemon, returns 0;
 *   any other kind    returns 0 with the extra word as the error word.
 *
 * Burst packet i is PeerBurstLength(i) bytes long, with target 0x00700000,
 * kind PEER_KIND_BURST_PACKET, extra i and payload byte j equal to
 * (i * 31 + j) & 0xFF.  The run thread (IOCTL code 1, from load to close)
 * hands each over as a malloc'ed to-supervisor event; a refusal is traced as
 * "refused <i> <code>".
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pluginhost/plugin_abi.h"
#include "tests/plugins/pipe_peer.h"

static CoreWriteFn g_write;
static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;
static uint32_t g_pending; /* burst packets asked for, guarded by g_mutex */
static int g_closed;       /* guarded by g_mutex */

static void Trace(const char* line) {
  pthread_mutex_lock(&g_mutex);
  FILE* file = fopen(PEER_TRACE_FILE, "a");
  if (file != NULL) {
    fputs(line, file);
    fclose(file);
  }
  pthread_mutex_unlock(&g_mutex);
}

static void TracePacket(uint32_t code, const uint8_t* data, uint32_t length) {
  static const char kDigits[] = "0123456789abcdef";
  char* line = malloc(2 * (size_t)length + 32);
  if (line == NULL) return;
  int used = sprintf(line, "%u %u ", code, length);
  for (uint32_t i = 0; i < length; ++i) {
    line[used++] = kDigits[data[i] >> 4];
    line[used++] = kDigits[data[i] & 0xF];
  }
  line[used++] = '\n';
  line[used] = '\0';
  Trace(line);
  free(line);
}

static void SendBurstPacket(uint32_t index) {
  const uint32_t length = PeerBurstLength(index);
  uint8_t* packet = malloc(length);
  if (packet == NULL) return;
  const PipePacketHeader header = {length, PEER_MODULE_NUMBER << 20, PEER_KIND_BURST_PACKET, index};
  memcpy(packet, &header, sizeof header);
  for (uint32_t j = 0; j < length - sizeof header; ++j) {
    packet[sizeof header + j] = (uint8_t)(index * 31 + j);
  }
  CoreEvent event;
  memset(&event, 0, sizeof event);
  event.structSize = sizeof event;
  event.version = 1;
  event.dataSize = (int32_t)length;
  event.data = packet; /* the core's from here on */
  event.providerID = PEER_MODULE_ID;
  event.eventType = EVENT_TO_SUPERVISOR;
  WriteResult result = {sizeof result, 1, 0};
  g_write(&event, &result);
  if (result.code != 0) {
    char line[64];
    snprintf(line, sizeof line, "refused %u %d\n", index, result.code);
    Trace(line);
  }
}

/* The run thread: sends what bursts ask for until the plugin is closed. */
static void Run(void) {
  uint32_t sent = 0;
  pthread_mutex_lock(&g_mutex);
  for (;;) {
    while (g_pending == 0 && !g_closed) pthread_cond_wait(&g_changed, &g_mutex);
    if (g_closed) break;
    const uint32_t count = g_pending;
    g_pending = 0;
    pthread_mutex_unlock(&g_mutex);
    for (uint32_t i = 0; i < count; ++i) SendBurstPacket(sent++);
    pthread_mutex_lock(&g_mutex);
  }
  pthread_mutex_unlock(&g_mutex);
}

PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  g_write = request->write;
  reply->systemID = PEER_MODULE_ID;
  reply->runThread = 1;
  reply->logLevel = -1;
  return 0;
}

PLUGIN_EXPORT int32_t Unload(const UnloadRequest* request, UnloadReply* reply) {
  (void)request;
  (void)reply;
  return 0;
}

PLUGIN_EXPORT int32_t Open(const OpenRequest* request, OpenReply* reply) {
  (void)request;
  (void)reply;
  return 0;
}

PLUGIN_EXPORT int32_t Close(const CloseRequest* request, CloseReply* reply) {
  (void)request;
  (void)reply;
  pthread_mutex_lock(&g_mutex);
  g_closed = 1;
  pthread_cond_broadcast(&g_changed);
  pthread_mutex_unlock(&g_mutex);
  return 0;
}

PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
  if (request->code == IOCTL_RUN) {
    Run();
    return 0;
  }
  if (request->code != IOCTL_SUPERVISOR) return 0;
  const uint8_t* packet = request->buffer.data;
  TracePacket(request->code, packet, request->buffer.length);
  if (request->buffer.length < sizeof(PipePacketHeader)) return 0;
  PipePacketHeader header;
  memcpy(&header, packet, sizeof header);
  if (header.kind == PEER_KIND_RETURN) return (int32_t)header.extra;
  if (header.kind == PEER_KIND_BURST) {
    pthread_mutex_lock(&g_mutex);
    g_pending += header.extra;
    pthread_cond_broadcast(&g_changed);
    pthread_mutex_unlock(&g_mutex);
    return 0;
  }
  reply->errorCode = (int32_t)header.extra;
  return 0;
}
