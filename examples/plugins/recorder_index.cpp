// recorder_index.cpp - the cameras' index files and the retention limits.
#include <algorithm>
#include <climits>
#include <fstream>
#include <sstream>

#include "recorder_index.h"

namespace recorder {

namespace {

// The segments an index names, by file; a closed line wins over an open one.
std::map<std::string, Segment> ReadIndexFile(Recorder& rec, const fs::path& path) {
  std::map<std::string, Segment> segments;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string kind;
    Segment s;
    fields >> kind >> s.file >> s.startMs;
    if (kind == "closed") fields >> s.endMs >> s.bytes;
    if (fields.fail() || s.file.find('/') != std::string::npos || (kind != "open" && kind != "closed")) {
      rec.log.Write(50, "%s: line '%s' is not an index line, ignored", path.c_str(), line.c_str());
      continue;
    }
    if (kind == "closed" || segments.count(s.file) == 0) segments[s.file] = s;
  }
  return segments;
}

// Drops segments whose file is gone and closes those a killed process left
// open.  True when anything changed, so that the index is written afresh.
bool RecoverSegments(Recorder& rec, const Track& track, const fs::path& dir,
                     std::map<std::string, Segment>& segments) {
  std::error_code error;
  bool recovered = false;
  for (auto it = segments.begin(); it != segments.end();) {
    Segment& s = it->second;
    const fs::path file = dir / s.file;
    if (!fs::exists(file, error)) {
      it = segments.erase(it);
      recovered = true;
      continue;
    }
    if (s.endMs == 0) {  // opened, never closed: the process was killed
      const auto modified = fs::last_write_time(file, error);
      const auto system = std::chrono::file_clock::to_sys(modified);
      s.endMs = std::max(s.startMs, static_cast<int64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                             system.time_since_epoch())
                                                             .count()));
      s.bytes = fs::file_size(file, error);
      rec.log.Write(50, "camera %s: segment %s was not closed, kept up to %s", track.name.c_str(), s.file.c_str(),
                    UtcText(s.endMs, false).c_str());
      recovered = true;
    }
    ++it;
  }
  return recovered;
}

// Takes one deleted segment out of its track's list.
void ForgetSegment(Recorder& rec, Track& track, const Segment& s) {
  std::lock_guard lock(rec.mutex);
  auto& list = track.segments;
  list.erase(std::remove_if(list.begin(), list.end(), [&](const Segment& x) { return x.file == s.file; }),
             list.end());
}

}  // namespace

void AppendIndex(Recorder& rec, const Track& track, const std::string& line) {
  std::ofstream index(CameraDir(rec, track) / "index", std::ios::app);
  index << line << '\n';
  if (!index.flush()) rec.log.Write(75, "camera %s: cannot write its index", track.name.c_str());
}

void RewriteIndex(Recorder& rec, const Track& track) {
  const fs::path path = CameraDir(rec, track) / "index";
  const fs::path temporary = path.string() + ".new";
  {
    std::ofstream index(temporary, std::ios::trunc);
    for (const Segment& s : track.segments)
      index << "closed " << s.file << ' ' << s.startMs << ' ' << s.endMs << ' ' << s.bytes << '\n';
    if (!index.flush()) {
      rec.log.Write(75, "camera %s: cannot write its index", track.name.c_str());
      return;
    }
  }
  std::error_code error;
  fs::rename(temporary, path, error);
}

void LoadIndexes(Recorder& rec) {
  std::error_code error;
  if (!fs::is_directory(rec.directory, error)) return;
  for (const fs::directory_entry& entry : fs::directory_iterator(rec.directory, error)) {
    if (!entry.is_directory()) continue;
    {
      std::ifstream probe(entry.path() / "index");
      if (!probe) continue;
    }
    auto track = std::make_unique<Track>();
    track->name = entry.path().filename().string();
    std::map<std::string, Segment> segments = ReadIndexFile(rec, entry.path() / "index");
    const bool recovered = RecoverSegments(rec, *track, entry.path(), segments);
    for (auto& [file, s] : segments) track->segments.push_back(s);
    std::sort(track->segments.begin(), track->segments.end(),
              [](const Segment& a, const Segment& b) { return a.startMs < b.startMs; });
    if (recovered) RewriteIndex(rec, *track);
    rec.tracks[track->name] = std::move(track);
  }
}

void ApplyRetention(Recorder& rec) {
  if (rec.retentionBytes == 0 && rec.retentionDays == 0) return;
  std::vector<std::pair<Track*, Segment>> all;
  uint64_t total = 0;
  {
    std::lock_guard lock(rec.mutex);
    for (auto& [name, track] : rec.tracks)
      for (const Segment& s : track->segments) {
        all.emplace_back(track.get(), s);
        total += s.bytes;
      }
  }
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.second.startMs < b.second.startMs; });
  const int64_t oldest = rec.retentionDays > 0 ? UtcNowUs() / 1000 - rec.retentionDays * 86400000 : INT64_MIN;
  std::vector<Track*> changed;
  for (const auto& [track, s] : all) {
    const bool tooMuch = rec.retentionBytes != 0 && total > rec.retentionBytes;
    if (!tooMuch && s.endMs >= oldest) break;
    std::error_code error;
    fs::remove(CameraDir(rec, *track) / s.file, error);
    if (error) {
      rec.log.Write(75, "camera %s: cannot delete %s: %s", track->name.c_str(), s.file.c_str(),
                    error.message().c_str());
      break;
    }
    total -= s.bytes;
    rec.log.Write(25, "camera %s: deleted %s (%llu bytes) for the retention limit", track->name.c_str(),
                  s.file.c_str(), static_cast<unsigned long long>(s.bytes));
    ForgetSegment(rec, *track, s);
    if (std::find(changed.begin(), changed.end(), track) == changed.end()) changed.push_back(track);
  }
  for (Track* track : changed) RewriteIndex(rec, *track);
}

}  // namespace recorder
