// PacketFramer: cuts the byte stream from the supervising daemon into
// packets.
//
// It owns the fixed 65,536-byte receive buffer and its fill count.  The
// reader appends the bytes of each read at WritePosition() (at most Room()
// of them) and calls Received(), which hands every packet that is now
// complete to the sink, in stream order and in place, and moves what is left
// to the start of the buffer: the buffer always begins with a packet header.
// A packet is complete once its header's `length` bytes are held.
//
// A header whose length is above 65,536 can never fit; one below the 16-byte
// header itself would never advance the stream (0 would not move at all).
// Both empty the buffer: everything held is dropped, the sink is told, and
// framing starts again with the next bytes read.  No attempt is made to skip
// the rest of the bad packet as it arrives.
//
// After every Received() at least one byte of room is left: a held packet is
// at most the buffer's size and is handed over as soon as it is complete.
//
// No I/O, no locks, no logging: one thread at a time ([io-thread] in the
// pipe).
#ifndef SUPERVISOR_PACKET_FRAMER_H_
#define SUPERVISOR_PACKET_FRAMER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "recording-core/plugin_abi.h"

namespace supervisor {

class PacketFramer {
 public:
  static constexpr uint32_t kCapacity = PIPE_MAX_PACKET;
  static constexpr uint32_t kHeaderSize = sizeof(PipePacketHeader);

  // What the framer hands its results to.
  class Sink {
   public:
    // A complete packet: `header.length` bytes at `packet`, which is the
    // start of the receive buffer.  Valid only during the call; the callee
    // must not call back into the framer.
    virtual void OnPacket(const PipePacketHeader& header, unsigned char* packet) = 0;
    // The header at the start of the buffer claimed `length`, outside 16 to
    // 65,536; all `dropped` bytes held were discarded.
    virtual void OnBadLength(uint32_t length, uint64_t dropped) = 0;

   protected:
    ~Sink() = default;
  };

  PacketFramer();
  PacketFramer(const PacketFramer&) = delete;
  PacketFramer& operator=(const PacketFramer&) = delete;

  // Where the next read puts its bytes, and how many it may put there.
  unsigned char* WritePosition() { return buffer_.get() + fill_; }
  size_t Room() const { return kCapacity - fill_; }

  // Accounts for `bytes` just written at WritePosition() (more than Room()
  // is taken as Room()) and hands over every complete packet.
  void Received(size_t bytes, Sink& sink);

  // The bytes held: the start of an incomplete packet, or fewer than 16.
  const unsigned char* Data() const { return buffer_.get(); }
  uint64_t Fill() const { return fill_; }

 private:
  std::unique_ptr<unsigned char[]> buffer_;
  uint64_t fill_ = 0;
};

}  // namespace supervisor

#endif  // SUPERVISOR_PACKET_FRAMER_H_
