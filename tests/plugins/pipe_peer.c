/*
 * pipe_peer.dll: a plugin that talks with the supervising daemon, for the
 * process-level tests of the supervisor link.
 *
 * Its ModuleId is 0x00070000 (module number 7), so daemon packets whose
 * target carries 7 in its top 12 bits reach its IOCTL with code 4.  Each such
 * packet is appended, bytes as received, to "pipe_peer.trace" in the working
 * directory, and the answer depends on the packet's kind:
 *   PEER_KIND_RETURN  returns the header's extra word, error word 0;
 *   PEER_KIND_BURST   sends `extra` packets to the daemon, returns 0;
 *   any other kind    returns 0 with the extra word as the error word.
 *
 * Burst packet i is PeerBurstLength(i) bytes long, with target 0x00700000,
 * kind PEER_KIND_BURST_PACKET, extra i and payload byte j equal to
 * (i * 31 + j) & 0xFF.  Each is handed over as a malloc'ed to-supervisor
 * event from within the IOCTL call, so the core queues them all behind the
 * write of the first.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pluginhost/plugin_abi.h"
#include "tests/plugins/pipe_peer.h"

static CoreWriteFn g_write;
static uint32_t g_sent; /* burst packets sent so far */

static void SendBurstPacket(uint32_t index) {
  const uint32_t length = PeerBurstLength(index);
  uint8_t* packet = malloc(length);
  if (packet == NULL) return;
  const PipePacketHeader header = {length, PEER_MODULE_NUMBER << 20, PEER_KIND_BURST_PACKET, index};
  memcpy(packet, &header, sizeof header);
  for (uint32_t j = 0; j < length - sizeof header; ++j) {
    packet[sizeof header + j] = (uint8_t)(index * 31 + j);
  }
  /* The packet is the core's from here on. */
  CoreEvent event = {.structSize = sizeof event, .version = 1, .dataSize = (int32_t)length,
                     .data = packet, .providerID = PEER_MODULE_ID,
                     .eventType = EVENT_TO_SUPERVISOR};
  WriteResult result = {sizeof result, 1, 0};
  g_write(&event, &result);
}

PLUGIN_EXPORT int32_t Load(const LoadRequest* request, LoadReply* reply) {
  g_write = request->write;
  reply->systemID = PEER_MODULE_ID;
  reply->logLevel = -1;
  return 0;
}

PLUGIN_EXPORT int32_t Unload(const UnloadRequest* request, UnloadReply* reply) {
  return (void)request, (void)reply, 0;
}

PLUGIN_EXPORT int32_t Open(const OpenRequest* request, OpenReply* reply) {
  return (void)request, (void)reply, 0;
}

PLUGIN_EXPORT int32_t Close(const CloseRequest* request, CloseReply* reply) {
  return (void)request, (void)reply, 0;
}

PLUGIN_EXPORT int32_t IOCTL(const IoctlRequest* request, IoctlReply* reply) {
  if (request->code != IOCTL_SUPERVISOR) return 0;
  FILE* trace = fopen(PEER_TRACE_FILE, "ab");
  if (trace != NULL) {
    fwrite(request->buffer.data, 1, request->buffer.length, trace);
    fclose(trace);
  }
  PipePacketHeader header;
  if (request->buffer.length < sizeof header) return 0;
  memcpy(&header, request->buffer.data, sizeof header);
  if (header.kind == PEER_KIND_RETURN) return (int32_t)header.extra;
  if (header.kind == PEER_KIND_BURST) {
    for (uint32_t i = 0; i < header.extra; ++i) SendBurstPacket(g_sent++);
    return 0;
  }
  reply->errorCode = (int32_t)header.extra;
  return 0;
}
