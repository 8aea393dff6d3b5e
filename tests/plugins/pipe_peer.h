/*
 * What the supervisor link's process tests and their pipe_peer.dll plugin
 * agree on: the plugin's module, the packet kinds it understands, the trace
 * file it writes and the lengths of the packets it sends in a burst.
 * Plain C, shared by the plugin and the tests.
 */
#ifndef TESTS_PLUGINS_PIPE_PEER_H_
#define TESTS_PLUGINS_PIPE_PEER_H_

#include <stdint.h>

#define PEER_MODULE_NUMBER 7u
#define PEER_MODULE_ID (PEER_MODULE_NUMBER << 16)
#define PEER_TRACE_FILE "pipe_peer.trace"

#define PEER_KIND_RETURN 2u          /* answer with extra as the result */
#define PEER_KIND_BURST 0x42u        /* send extra packets to the daemon */
#define PEER_KIND_BURST_PACKET 0x43u /* kind of the packets sent */

/* Lengths from the smallest packet (a bare header) to the largest. */
static inline uint32_t PeerBurstLength(uint32_t index) {
  if (index % 5 == 0) return 16;
  if (index % 5 == 1) return 65536;
  return 16 + (index * 40503u) % 65521u;
}

#endif /* TESTS_PLUGINS_PIPE_PEER_H_ */
