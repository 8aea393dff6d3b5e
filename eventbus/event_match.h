// The subscription rule of the bus: how an event's eventType and eventSubtype
// are matched against the nine subscription masks a plugin declared at load,
// and which events are video frames.
//
// The matching key is the subtype with its top byte moved by one bit; queued
// delivery and the read-request broadcast move it in opposite directions, so
// each path has its own key function.
//
// [any-thread]: pure functions, no state.
#ifndef EVENTBUS_EVENT_MATCH_H_
#define EVENTBUS_EVENT_MATCH_H_

#include <cstdint>

#include "recording-core/plugin_abi.h"

namespace eventbus {

// Key for delivery of a queued event through Write: subtype bits 24..30 move
// up to 25..31, bit 31 falls off, key bit 24 is always clear.
constexpr uint32_t QueuedKey(uint32_t subtype) {
  return ((subtype & 0xFF000000u) << 1) | (subtype & 0x00FFFFFFu);
}

// Key for the broadcast of a read request: subtype bits 24..31 move down to
// 23..30, where bit 23 merges with the subtype's own bit 23.
constexpr uint32_t BroadcastKey(uint32_t subtype) {
  return ((subtype >> 1) & 0x7F800000u) | (subtype & 0x00FFFFFFu);
}

// True when, for at least one class bit set in eventType (bits 0..7 for
// classes 0..7, bit 10 for class 8), the class's mask contains every bit of
// `key`.  Other eventType bits take no part.
constexpr bool Matches(uint32_t eventType, const uint32_t (&masks)[SUBSCRIPTION_MASKS],
                       uint32_t key) {
  for (int i = 0; i < 8; ++i) {
    if ((eventType & (1u << i)) != 0 && (masks[i] & key) == key) return true;
  }
  return (eventType & EVENT_CLASS8) != 0 && (masks[8] & key) == key;
}

// A video frame: class 0 with subtype bit 24.
constexpr bool IsVideoFrame(uint32_t eventType, uint32_t subtype) {
  return (eventType & EVENT_VIDEO) != 0 && (subtype & SUBTYPE_VIDEO_FRAME) != 0;
}

}  // namespace eventbus

#endif  // EVENTBUS_EVENT_MATCH_H_
