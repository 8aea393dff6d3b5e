// media_test_support.h - what the tests of the video plugins use to make
// their input and to look at their output the way an operator would: with
// Debian's ffmpeg and ffprobe.  [test thread]
#ifndef EXAMPLES_PLUGINS_MEDIA_TEST_SUPPORT_H_
#define EXAMPLES_PLUGINS_MEDIA_TEST_SUPPORT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace media_test {

// The camera clip of scripts/make-clip (raw H.264, 320x240, 25 fps, a key
// frame every second), made once into `directory` if missing; its path.
std::string Clip(const std::string& directory);
// The clip's first `seconds` as an MP4 file `path` (parameter sets out of
// band, as MP4 keeps them); false when ffmpeg fails.
bool ClipAsMp4(const std::string& directory, const std::string& path, int seconds);

// Runs a program (found on PATH) and returns its exit code; output kept.
int Run(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr);

struct Packet {
  double dts = 0, pts = 0;
  bool key = false;
};
// The video packets of a media file, in file order.
std::vector<Packet> Packets(const std::string& path);
// What `ffmpeg -v error -i FILE -f null -` says when decoding the whole
// file ("" when it decodes without an error), or a note when ffmpeg fails.
std::string DecodeErrors(const std::string& path);

// A segment as a recorder's index lists it: its file (relative to the
// camera's folder), start and end in UTC milliseconds (end 0: still open)
// and its size once closed.
struct Segment {
  std::string file;
  int64_t start = 0, end = 0;
  uint64_t bytes = 0;
};
// The segments of a recorder's index file, in the order they were opened,
// each as its last line left it; reading stops at a line that is not an
// index line.
std::vector<Segment> IndexedSegments(const std::string& index);

}  // namespace media_test

#endif  // EXAMPLES_PLUGINS_MEDIA_TEST_SUPPORT_H_
