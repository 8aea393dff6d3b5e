// recorder_index.h - each camera directory's "index" file and the retention
// limits.  The index is appended to: "open FILE START_MS" when a segment
// starts and "closed FILE START_MS END_MS BYTES" when it ends (UTC
// milliseconds since 1970), so a time range is found from the index alone.
//
// Threads.  LoadIndexes and the first ApplyRetention run on the main thread
// in Load, before the writer exists; afterwards only the writer thread
// appends, rewrites and applies retention.  Track::segments changes under
// Recorder::mutex, because request threads read it.
#ifndef EXAMPLES_PLUGINS_RECORDER_INDEX_H_
#define EXAMPLES_PLUGINS_RECORDER_INDEX_H_

#include <string>

#include "recorder_state.h"

namespace recorder {

// Appends one line to the camera's index.  [writer thread]
void AppendIndex(Recorder& rec, const Track& track, const std::string& line);

// Writes a camera's index afresh from its closed segments.  [writer thread, or Load]
void RewriteIndex(Recorder& rec, const Track& track);

// Reads every camera directory's index; closes segments a killed process
// left open, with the file's last modification as their end.  [main thread, Load]
void LoadIndexes(Recorder& rec);

// Deletes the oldest segments of all cameras while the recordings take more
// than `retentionBytes` or are older than `retentionDays`.  [writer thread, Load]
void ApplyRetention(Recorder& rec);

}  // namespace recorder

#endif  // EXAMPLES_PLUGINS_RECORDER_INDEX_H_
