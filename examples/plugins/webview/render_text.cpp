// The machine-readable forms: /metrics and /api/status.
#include <cinttypes>
#include <cstdio>

#include "render.h"

namespace webview {
namespace {

std::string Hex(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", id);
  return text;
}

std::string LabelValue(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string Number(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

class Exposition {
 public:
  void Family(const char* name, const char* type, const char* help) {
    name_ = name;
    out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const std::string& labels, const std::string& value) {
    out_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
  }
  void Sample(const std::string& labels, uint64_t value) { Sample(labels, std::to_string(value)); }
  std::string Take() { return std::move(out_); }

 private:
  std::string name_, out_;
};

std::string CameraLabels(const CameraRow& camera) {
  return "camera=\"" + LabelValue(camera.name) + "\",id=\"" + LabelValue(camera.id) + "\"";
}

void CameraMetrics(const StatusModel& model, Exposition& out) {
  out.Family("recording_camera_connected", "gauge", "1 while the camera delivers frames, else 0.");
  for (const auto& [key, c] : model.cameras) out.Sample(CameraLabels(c), c.connected ? 1u : 0u);
  out.Family("recording_camera_frame_rate_hertz", "gauge", "Frames per second the camera delivered lately.");
  for (const auto& [key, c] : model.cameras) out.Sample(CameraLabels(c), Number(c.fps));
  out.Family("recording_camera_frames_accepted_total", "counter", "Frames of the camera the core accepted.");
  for (const auto& [key, c] : model.cameras) out.Sample(CameraLabels(c), c.frames.Value());
  out.Family("recording_camera_frames_refused_total", "counter",
             "Frames of the camera the core refused, by the write result code.");
  for (const auto& [key, c] : model.cameras)
    for (size_t i = 0; i < std::size(kRefusalCodes); ++i)
      out.Sample(CameraLabels(c) + ",code=\"" + std::to_string(kRefusalCodes[i].first) + "\"",
                 c.refused[i].Value());
  out.Family("recording_camera_reconnects_total", "counter", "Times the camera connection was made again.");
  for (const auto& [key, c] : model.cameras) out.Sample(CameraLabels(c), c.reconnects.Value());
}

void RecorderMetrics(const StatusModel& model, Exposition& out) {
  out.Family("recording_frames_recorded_total", "counter", "Frames the recorder wrote to disk, by camera.");
  for (const auto& [provider, r] : model.recorders)
    for (const auto& [name, recording] : r.cameras)
      out.Sample("recorder=\"" + Hex(provider) + "\",camera=\"" + LabelValue(name) + "\"",
                 recording.frames.Value());
  out.Family("recording_segment_written_bytes_total", "counter", "Bytes of recording segments written.");
  for (const auto& [provider, r] : model.recorders)
    out.Sample("recorder=\"" + Hex(provider) + "\"", r.bytesWritten.Value());
  out.Family("recording_disk_free_bytes", "gauge", "Free bytes on the file system of the recordings.");
  for (const auto& [provider, r] : model.recorders)
    out.Sample("recorder=\"" + Hex(provider) + "\",directory=\"" + LabelValue(r.directory) + "\"",
               r.diskFreeBytes);
}

void CoreMetrics(const StatusModel& model, Exposition& out) {
  out.Family("recording_memory_throttling", "gauge", "1 while the core drops video frames for lack of memory.");
  out.Sample("", model.throttling == 1 ? 1u : 0u);
  out.Family("recording_memory_throttling_enabled", "gauge",
             "1 when the core's memory throttling switch is on (-1 before the status document).");
  out.Sample("", std::to_string(model.throttlingSwitch));
  out.Family("recording_module_open_code", "gauge", "Result of each module's Open, 0 for success.");
  for (const ModuleRow& m : model.modules)
    out.Sample("id=\"" + Hex(static_cast<uint32_t>(m.id)) + "\",name=\"" + LabelValue(m.name) + "\",file=\"" +
                   LabelValue(m.file) + "\"",
               std::to_string(m.openCode));
  out.Family("recording_module_load_seconds", "gauge", "Time each module took to load.");
  for (const ModuleRow& m : model.modules)
    out.Sample("id=\"" + Hex(static_cast<uint32_t>(m.id)) + "\",name=\"" + LabelValue(m.name) + "\"",
               Number(static_cast<double>(m.loadMs) / 1000.0));
  out.Family("recording_bus_events_received_total", "counter",
             "Events the status plugin received from the bus, by provider module and event class.");
  for (const auto& [key, count] : model.events)
    out.Sample("provider=\"" + Hex(key.first) + "\",class=\"" +
                   (key.second < 0 ? std::string("config") : std::to_string(key.second)) + "\"",
               count);
  out.Family("recording_status_documents_refused_total", "counter",
             "Status texts from the bus the plugin could not read.");
  out.Sample("", model.documentsRefused);
  out.Family("recording_status_texts_dropped_total", "counter",
             "Status texts from the bus dropped unread: empty, too long, or too many waiting.");
  out.Sample("", model.textsDropped);
}

void HttpMetrics(const StatusModel& model, Exposition& out) {
  const HttpStats& http = model.http;
  out.Family("recording_http_responses_total", "counter", "HTTP responses of the status plugin, by status code.");
  for (const auto& [code, count] : http.responses) out.Sample("code=\"" + std::to_string(code) + "\"", count);
  out.Family("recording_http_connections_open", "gauge", "HTTP connections open now.");
  out.Sample("", http.open);
  out.Family("recording_http_connections_refused_total", "counter", "HTTP connections refused over the limit.");
  out.Sample("", http.connectionsRefused);
  out.Family("recording_http_timeouts_total", "counter", "HTTP requests or responses cut off at their deadline.");
  out.Sample("", http.timeouts);
  out.Family("recording_http_bad_requests_total", "counter", "Malformed or oversized HTTP requests.");
  out.Sample("", http.badRequests);
  out.Family("recording_http_accept_errors_total", "counter", "Failed accepts, such as running out of descriptors.");
  out.Sample("", http.acceptErrors);
}

std::string Quoted(std::string_view text) {
  std::string quoted(1, '"');
  quoted += JsonEscaped(text);
  quoted += '"';
  return quoted;
}

std::string Flag(int value) { return value < 0 ? "null" : value ? "true" : "false"; }

// Starts a value in an array or object, after a comma unless it is the first.
void Open(std::string& out, char bracket) {
  if (out.back() != '[' && out.back() != '{') out += ',';
  out += bracket;
}

void Field(std::string& out, std::string_view key, std::string_view value) {
  if (out.back() != '[' && out.back() != '{') out += ',';
  out += '"';
  out += key;
  out += "\":";
  out += value;
}

void RecorderJson(std::string& out, uint32_t provider, const RecorderRow& r) {
  Open(out, '{');
  Field(out, "provider", Quoted(Hex(provider)));
  Field(out, "directory", Quoted(r.directory));
  Field(out, "bytesWritten", std::to_string(r.bytesWritten.Value()));
  Field(out, "diskFreeBytes", std::to_string(r.diskFreeBytes));
  Field(out, "cameras", "[");
  for (const auto& [name, recording] : r.cameras) {
    Open(out, '{');
    Field(out, "name", Quoted(name));
    Field(out, "frames", std::to_string(recording.frames.Value()));
    Field(out, "open", Quoted(recording.open));
    Field(out, "segments", "[");
    for (const Segment& s : recording.segments) {
      Open(out, '{');
      Field(out, "file", Quoted(s.file));
      Field(out, "startUtc", Quoted(s.startUtc));
      Field(out, "endUtc", Quoted(s.endUtc));
      Field(out, "bytes", std::to_string(s.bytes));
      out += '}';
    }
    out += "]}";
  }
  out += "]}";
}

}  // namespace

std::string JsonEscaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

std::string RenderMetrics(const StatusModel& model) {
  Exposition out;
  CoreMetrics(model, out);
  CameraMetrics(model, out);
  RecorderMetrics(model, out);
  HttpMetrics(model, out);
  return out.Take();
}

std::string RenderJson(const StatusModel& model) {
  std::string out = "{";
  Field(out, "product", Quoted(model.product));
  Field(out, "version", Quoted(model.version));
  Field(out, "throttlingEnabled", Flag(model.throttlingSwitch));
  Field(out, "throttling", Flag(model.throttling));
  Field(out, "modules", "[");
  for (const ModuleRow& m : model.modules) {
    Open(out, '{');
    Field(out, "id", Quoted(Hex(static_cast<uint32_t>(m.id))));
    Field(out, "name", Quoted(m.name));
    Field(out, "file", Quoted(m.file));
    Field(out, "opened", Flag(m.opened));
    Field(out, "loadMs", std::to_string(m.loadMs));
    Field(out, "openMs", std::to_string(m.openMs));
    Field(out, "openCode", std::to_string(m.openCode));
    Field(out, "logLevel", std::to_string(m.logLevel));
    Field(out, "logLevelDefault", std::to_string(m.logLevelDefault));
    out += '}';
  }
  out += "]";
  Field(out, "cameras", "[");
  for (const auto& [key, c] : model.cameras) {
    Open(out, '{');
    Field(out, "name", Quoted(c.name));
    Field(out, "id", Quoted(c.id));
    Field(out, "url", Quoted(c.url));
    Field(out, "connected", Flag(c.connected));
    Field(out, "fps", Number(c.fps));
    Field(out, "frames", std::to_string(c.frames.Value()));
    Field(out, "lastKeyFrameUtc", Quoted(c.lastKeyFrameUtc));
    Field(out, "reconnects", std::to_string(c.reconnects.Value()));
    out += '}';
  }
  out += "]";
  Field(out, "recorders", "[");
  for (const auto& [provider, r] : model.recorders) RecorderJson(out, provider, r);
  out += "]}";
  return out;
}

}  // namespace webview
