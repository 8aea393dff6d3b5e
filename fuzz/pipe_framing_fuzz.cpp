// Feeds byte streams to the supervisor link's framing in reads of varying
// sizes, as a daemon's writes may arrive, and checks after every read that
//   - the fill count never exceeds the 65,536-byte buffer and room for at
//     least one more byte is always left (the reader always makes progress);
//   - every packet handed over claims 16 to 65,536 bytes, all of them held,
//     starts at the buffer's start and carries exactly the next bytes of the
//     stream;
//   - a drop happens only for a header whose length is out of range, and
//     takes exactly the bytes held;
//   - what is left is the start of an incomplete packet (or under 16 bytes)
//     and equals the stream's unconsumed tail, so handled packets, dropped
//     bytes and the fill count together account for every byte fed.
//
// The input is read as a small program: first the stream is built from
// chunks (literal bytes, headers with chosen lengths, whole packets, runs of
// one byte, so that packets up to the largest size are reachable from short
// inputs), then the rest of the input gives the sizes of the reads that
// deliver it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "supervisor/packet_framer.h"

namespace {

using supervisor::PacketFramer;

constexpr size_t kMaxStream = 4 * PIPE_MAX_PACKET;

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "pipe_framing_fuzz: %s\n", what);
    std::abort();
  }
}

uint32_t LengthAt(const std::vector<uint8_t>& stream, size_t offset) {
  uint32_t length;
  std::memcpy(&length, stream.data() + offset, sizeof length);
  return length;
}

// Checks each result against the stream as fed so far.
class CheckingSink : public PacketFramer::Sink {
 public:
  CheckingSink(const PacketFramer& framer, const std::vector<uint8_t>& stream)
      : framer_(framer), stream_(stream) {}

  void OnPacket(const PipePacketHeader& header, unsigned char* packet) override {
    Check(packet == framer_.Data(), "packet not at the buffer's start");
    Check(header.length >= PacketFramer::kHeaderSize, "packet shorter than its header");
    Check(header.length <= PacketFramer::kCapacity, "packet longer than the buffer");
    Check(header.length <= framer_.Fill(), "packet not wholly held");
    Check(consumed_ + header.length <= fed_, "packet beyond the bytes fed");
    Check(std::memcmp(packet, stream_.data() + consumed_, header.length) == 0,
          "packet differs from the stream");
    consumed_ += header.length;
  }

  void OnBadLength(uint32_t length, uint64_t dropped) override {
    Check(length > PacketFramer::kCapacity || length < PacketFramer::kHeaderSize,
          "valid length refused");
    Check(length == LengthAt(stream_, consumed_), "refused length is not the header's");
    Check(framer_.Fill() == 0, "buffer not emptied by a drop");
    Check(dropped >= PacketFramer::kHeaderSize && consumed_ + dropped == fed_,
          "drop does not take exactly the bytes held");
    consumed_ += dropped;
  }

  // Before a read: the stream's first `fed` bytes have been delivered.
  void BeforeRead(size_t fed) { fed_ = fed; }

  // After a read: everything fed is handled, dropped or still held.
  void AfterRead() {
    const uint64_t fill = framer_.Fill();
    Check(fill < PacketFramer::kCapacity && framer_.Room() == PacketFramer::kCapacity - fill,
          "no room left for the next read");
    Check(consumed_ + fill == fed_, "bytes unaccounted for");
    Check(std::memcmp(framer_.Data(), stream_.data() + consumed_, fill) == 0,
          "held bytes differ from the stream's tail");
    if (fill >= PacketFramer::kHeaderSize) {
      const uint32_t length = LengthAt(stream_, consumed_);
      Check(
          length >= PacketFramer::kHeaderSize && length <= PacketFramer::kCapacity && length > fill,
          "a complete or invalid packet was left behind");
    }
  }

 private:
  const PacketFramer& framer_;
  const std::vector<uint8_t>& stream_;
  size_t fed_ = 0;
  size_t consumed_ = 0;
};

void AppendHeader(std::vector<uint8_t>& stream, uint32_t length, FuzzedDataProvider& input) {
  const PipePacketHeader header{length, input.ConsumeIntegral<uint32_t>(),
                                input.ConsumeIntegral<uint32_t>(), 0};
  const auto* bytes = reinterpret_cast<const uint8_t*>(&header);
  stream.insert(stream.end(), bytes, bytes + sizeof header);
}

// A length near the edges that matter more often than chance gives.
uint32_t PickLength(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return input.ConsumeIntegralInRange<uint32_t>(0, 32);
    case 1:
      return input.ConsumeIntegralInRange<uint32_t>(PIPE_MAX_PACKET - 2, PIPE_MAX_PACKET + 2);
    case 2:
      return input.ConsumeIntegralInRange<uint32_t>(16, PIPE_MAX_PACKET);
    default:
      return input.ConsumeIntegral<uint32_t>();
  }
}

std::vector<uint8_t> BuildStream(FuzzedDataProvider& input) {
  std::vector<uint8_t> stream;
  const int chunks = input.ConsumeIntegralInRange<int>(0, 64);
  for (int i = 0; i < chunks && stream.size() < kMaxStream; ++i) {
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
      case 0: {
        const size_t count = input.ConsumeIntegralInRange<size_t>(1, 64);
        const auto bytes = input.ConsumeBytes<uint8_t>(count);
        stream.insert(stream.end(), bytes.begin(), bytes.end());
        break;
      }
      case 1:  // a header alone, whatever its length
        AppendHeader(stream, PickLength(input), input);
        break;
      case 2: {  // a whole valid packet, header and payload
        const uint32_t length = std::clamp<uint32_t>(PickLength(input), 16, PIPE_MAX_PACKET);
        AppendHeader(stream, length, input);
        stream.insert(stream.end(), length - 16, input.ConsumeIntegral<uint8_t>());
        break;
      }
      default: {
        const size_t count = input.ConsumeIntegralInRange<size_t>(1, PIPE_MAX_PACKET);
        stream.insert(stream.end(), count, input.ConsumeIntegral<uint8_t>());
        break;
      }
    }
  }
  if (stream.size() > kMaxStream) stream.resize(kMaxStream);
  return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const std::vector<uint8_t> stream = BuildStream(input);

  PacketFramer framer;
  CheckingSink sink(framer, stream);
  size_t fed = 0;
  while (fed < stream.size()) {
    // Read sizes from the input; once it is used up, reads fill all the room.
    size_t want = framer.Room();
    if (input.remaining_bytes() > 0) {
      want = input.ConsumeBool() ? input.ConsumeIntegralInRange<size_t>(1, 32)
                                 : input.ConsumeIntegralInRange<size_t>(1, framer.Room());
    }
    const size_t bytes = std::min({want, framer.Room(), stream.size() - fed});
    Check(bytes > 0, "no room for a read");
    std::memcpy(framer.WritePosition(), stream.data() + fed, bytes);
    sink.BeforeRead(fed + bytes);
    framer.Received(bytes, sink);
    fed += bytes;
    sink.AfterRead();
  }
  return 0;
}
