// recorder_writer.h - the recorder's writer thread and its MP4 segments.
// It takes the frames that Write queued, remuxes each camera's access units
// into fragmented MP4 segments (one fragment per key frame, behind an empty
// index), rebases the cameras' times so that they always rise in a file,
// cuts segments at `segment_seconds`, at a reconnect and at new stream
// parameters, and enters each segment in the camera's index.  It also writes
// the progress line and the RecorderStatus event every `report_seconds`.
//
// Threads.  WriterLoop is the body of the writer thread, from Open to Close;
// everything here runs on it.  It takes Recorder::mutex only to pop the
// queue and to change what request threads read (a Track's segments).
#ifndef EXAMPLES_PLUGINS_RECORDER_WRITER_H_
#define EXAMPLES_PLUGINS_RECORDER_WRITER_H_

#include "recorder_state.h"

namespace recorder {

// Records every queued frame, then releases its block; once `closing` is
// set it finishes the queue and every open segment and returns.
void WriterLoop(Recorder& rec);

}  // namespace recorder

#endif  // EXAMPLES_PLUGINS_RECORDER_WRITER_H_
