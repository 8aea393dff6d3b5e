#include "media_test_support.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/subprocess.h"

namespace media_test {

int Run(const std::vector<std::string>& args, std::string* out, std::string* err) {
  platform::ChildProcess child;
  std::string path = args.at(0);
  if (path.find('/') == std::string::npos) {
    for (const char* dir : {"/usr/bin/", "/bin/", "/usr/local/bin/"})
      if (std::filesystem::exists(std::string(dir) + path)) path = dir + path;
  }
  if (!child.Start(path, args)) return -1;
  const int code = child.Wait(std::chrono::minutes(5));
  if (out != nullptr) *out = child.Stdout();
  if (err != nullptr) *err = child.Stderr();
  return code;
}

std::string Clip(const std::string& directory) {
  const std::string clip = directory + "/clip.h264";
  if (!std::filesystem::exists(clip)) Run({MAKE_CLIP_SCRIPT, clip});
  return clip;
}

bool ClipAsMp4(const std::string& directory, const std::string& path, int seconds) {
  return Run({"ffmpeg", "-v", "error", "-nostdin", "-y", "-framerate", "25", "-i", Clip(directory), "-t",
              std::to_string(seconds), "-c", "copy", path}) == 0;
}

std::vector<Packet> Packets(const std::string& path) {
  std::string out;
  Run({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=dts_time,pts_time,flags", "-of",
       "csv=p=0", path},
      &out);
  std::vector<Packet> packets;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    Packet packet;
    std::istringstream fields(line);
    std::string pts, dts, flags;
    std::getline(fields, pts, ',');
    std::getline(fields, dts, ',');
    std::getline(fields, flags, ',');
    packet.pts = pts == "N/A" ? -1 : std::stod(pts);
    packet.dts = dts == "N/A" ? -1 : std::stod(dts);
    packet.key = !flags.empty() && flags[0] == 'K';
    packets.push_back(packet);
  }
  return packets;
}

std::string DecodeErrors(const std::string& path) {
  std::string err;
  const int code = Run({"ffmpeg", "-v", "error", "-nostdin", "-i", path, "-f", "null", "-"}, nullptr, &err);
  return code == 0 ? err : "ffmpeg exit " + std::to_string(code) + ": " + err;
}

std::vector<Segment> IndexedSegments(const std::string& index) {
  std::vector<Segment> segments;
  std::ifstream in(index);
  std::string kind;
  Segment line;
  while (in >> kind >> line.file >> line.start) {
    line.end = 0;
    line.bytes = 0;
    if (kind == "closed") in >> line.end >> line.bytes;
    auto at = std::find_if(segments.begin(), segments.end(), [&](const Segment& s) { return s.file == line.file; });
    if (at == segments.end()) {
      segments.push_back(line);
    } else if (kind == "closed") {
      *at = line;
    }
  }
  return segments;
}

}  // namespace media_test
