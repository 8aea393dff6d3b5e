// ipcam_camera.cpp - a camera's status event, its waits and small helpers.
#include "ipcam_camera.h"

extern "C" {
#include <libavutil/avutil.h>
}

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "status_events.h"

namespace ipcam {

std::string MaskCredentials(const std::string& url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const size_t hostStart = scheme + 3;
  const size_t pathStart = url.find('/', hostStart);
  const size_t at = url.rfind('@', pathStart == std::string::npos ? std::string::npos : pathStart);
  if (at == std::string::npos || at < hostStart) return url;
  return url.substr(0, hostStart) + "***" + url.substr(at);
}

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

int64_t CoreNowNs(const Plugin& plugin) {
  if (plugin.context != nullptr && plugin.context->table != nullptr && plugin.context->table->now) {
    int64_t slot = 0;
    return *plugin.context->table->now(plugin.context, &slot);
  }
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void WriteStatus(Camera& cam) {
  const auto now = Clock::now();
  const double seconds = std::chrono::duration<double>(now - cam.statusAt).count();
  if (seconds >= 0.5) {
    cam.fps = cam.connected ? static_cast<double>(cam.frames - cam.framesAtStatus) / seconds : 0.0;
    cam.framesAtStatus = cam.frames;
    cam.statusAt = now;
  }
  cam.nextStatus = now + std::chrono::seconds(1);
  char text[1024];
  std::snprintf(text, sizeof text,
                "<CameraStatus Name=\"%s\" Index=\"%u\" Id=\"0x%08x\" Url=\"%s\" Connected=\"%d\" "
                "Codec=\"%s\" Width=\"%d\" Height=\"%d\" Fps=\"%.2f\" Frames=\"%llu\" "
                "LastKeyFrameUtc=\"%s\" Reconnects=\"%llu\" Refused3=\"%llu\" Refused4=\"%llu\" "
                "Refused5=\"%llu\" RefusedMinus1=\"%llu\" Refused1=\"%llu\"/>",
                example::XmlEscaped(cam.config.name).c_str(), cam.index, cam.provider, example::XmlEscaped(cam.maskedUrl).c_str(),
                cam.connected ? 1 : 0, example::XmlEscaped(cam.codec).c_str(), cam.width, cam.height, cam.fps,
                static_cast<unsigned long long>(cam.frames), cam.lastKeyUtc.c_str(),
                static_cast<unsigned long long>(cam.reconnects), static_cast<unsigned long long>(cam.refused[3]),
                static_cast<unsigned long long>(cam.refused[4]), static_cast<unsigned long long>(cam.refused[5]),
                static_cast<unsigned long long>(cam.refused[0]), static_cast<unsigned long long>(cam.refused[1]));
  const std::string xml = text;
  example::WriteEvent(cam.plugin->write, example::MakeEvent(cam.provider, STATUS_EVENT_CLASS, CAMERA_STATUS_SUBTYPE,
                                                            xml.data(), static_cast<int32_t>(xml.size())));
}

int Interrupt(void* opaque) {
  Camera& cam = *static_cast<Camera*>(opaque);
  const auto now = Clock::now();
  if (now >= cam.nextStatus) WriteStatus(cam);
  return cam.plugin->closing.load() || now >= cam.deadline ? 1 : 0;
}

bool WaitUntil(Camera& cam, Clock::time_point until) {
  Plugin& plugin = *cam.plugin;
  std::unique_lock lock(plugin.mutex);
  while (!plugin.closing.load()) {
    const auto now = Clock::now();
    if (now >= until) return true;
    if (now >= cam.nextStatus) {
      lock.unlock();
      WriteStatus(cam);
      lock.lock();
      continue;
    }
    plugin.wake.wait_until(lock, std::min(until, cam.nextStatus));
  }
  return false;
}

}  // namespace ipcam
