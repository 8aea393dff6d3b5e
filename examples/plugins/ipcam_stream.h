// ipcam_stream.h - a camera's connection loop: open the URL, announce the
// codec parameters, put every access unit of the video onto the bus as a
// coded-frame event, and on a loss log it, wait (500 ms, doubled after each
// failed attempt up to `retry_max_ms`) and connect again.  A local file is
// played at its own rate and, with `loop`, over and over.
//
// Threads.  CameraLoop is the body of one camera thread, from Open to
// Close; everything here runs on that thread and touches only its Camera
// and the plugin's settings, which do not change after Load.  Every blocking
// libavformat call is bounded by the camera's interrupt callback.
#ifndef EXAMPLES_PLUGINS_IPCAM_STREAM_H_
#define EXAMPLES_PLUGINS_IPCAM_STREAM_H_

#include "ipcam_camera.h"

namespace ipcam {

// Connects, streams and reconnects until the plugin closes.
void CameraLoop(Camera& cam);

}  // namespace ipcam

#endif  // EXAMPLES_PLUGINS_IPCAM_STREAM_H_
