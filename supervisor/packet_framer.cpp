#include "supervisor/packet_framer.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace supervisor {

static_assert(std::endian::native == std::endian::little,
              "packet headers are little-endian and decoded by copying their bytes");

PacketFramer::PacketFramer() : buffer_(new unsigned char[kCapacity]) {}

void PacketFramer::Received(size_t bytes, Sink& sink) {
  fill_ += std::min(bytes, Room());
  while (fill_ >= kHeaderSize) {
    PipePacketHeader header;
    std::memcpy(&header, buffer_.get(), sizeof header);
    if (header.length > kCapacity || header.length < kHeaderSize) {
      const uint64_t dropped = fill_;
      fill_ = 0;
      sink.OnBadLength(header.length, dropped);
      return;
    }
    if (fill_ < header.length) return;
    sink.OnPacket(header, buffer_.get());
    // Keep the next packet at the start of the buffer, where it is handed
    // over in place.
    fill_ -= header.length;
    std::memmove(buffer_.get(), buffer_.get() + header.length, fill_);
  }
}

}  // namespace supervisor
