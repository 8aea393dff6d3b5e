// recorder_state.cpp - the recorder's helpers for times and names.
#include "recorder_state.h"

extern "C" {
#include <libavutil/avutil.h>
}

#include <cstdio>
#include <ctime>

namespace recorder {

int64_t UtcNowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t CoreNowNs(const Recorder& rec) {
  if (rec.context != nullptr && rec.context->table != nullptr && rec.context->table->now) {
    int64_t slot = 0;
    return *rec.context->table->now(rec.context, &slot);
  }
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

std::string DirectoryName(const std::string& name) {
  std::string out;
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                       c == '_' || (c == '.' && !out.empty());
    out += plain ? c : '_';
  }
  return out.empty() ? std::string("_") : out;
}

fs::path CameraDir(const Recorder& rec, const Track& track) { return rec.directory / DirectoryName(track.name); }

}  // namespace recorder
