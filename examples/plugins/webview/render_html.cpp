// The status page: one self-contained HTML document, readable on a phone.
#include <algorithm>
#include <cstdio>

#include "recording_files.h"
#include "plugin_support.h"
#include "render.h"

namespace webview {
namespace {

constexpr char kStyle[] = R"(
*{box-sizing:border-box}
body{font:15px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;margin:0;background:#f4f6f8;color:#1d2733}
header{background:#1d2733;color:#fff;padding:12px 16px}
header h1{font-size:20px;margin:0}
header p{margin:4px 0 0;color:#c9d3dd}
main{padding:8px 12px;max-width:1100px;margin:auto}
section{background:#fff;border-radius:8px;box-shadow:0 1px 3px rgba(0,0,0,.12);margin:12px 0;padding:8px 12px}
h2{font-size:17px;margin:6px 0 8px}
.scroll{overflow-x:auto}
table{border-collapse:collapse;width:100%;font-size:14px}
th,td{padding:5px 8px;text-align:left;border-bottom:1px solid #e3e7eb;white-space:nowrap}
th{background:#eef1f4;font-weight:600}
.n{text-align:right;font-variant-numeric:tabular-nums}
.ok{color:#17803d;font-weight:600}.bad{color:#c0262d;font-weight:600}.muted{color:#6b7785}
.pill{display:inline-block;border-radius:10px;padding:1px 8px;font-size:13px;font-weight:600}
.on{background:#fde2e2;color:#a11a20}.off{background:#dcf3e4;color:#17803d}
video{width:100%;max-width:640px;margin-top:6px;background:#000}
summary{cursor:pointer;color:#1a5fb4}
a{color:#1a5fb4}
@media(max-width:600px){main{padding:4px 6px}section{padding:6px 8px}th,td{padding:4px 5px;font-size:13px}}
)";

std::string Text(double value, const char* format) {
  char text[48];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Video throttling: red while the core drops frames.
std::string OnOff(int value) {
  return value ? "<span class=\"pill on\">yes</span>" : "<span class=\"pill off\">no</span>";
}

std::string Switch(int value) {
  return value < 0 ? "unknown" : value ? "enabled" : "disabled";
}

std::string ModuleTable(const StatusModel& model) {
  std::string out =
      "<section><h2>Modules</h2><div class=scroll><table><tr><th>ID</th><th>Name</th><th>File</th>"
      "<th class=n>Load ms</th><th class=n>Open ms</th><th class=n>Open code</th><th class=n>Log level</th>"
      "<th class=n>Default</th></tr>";
  for (const ModuleRow& m : model.modules) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%08x", static_cast<uint32_t>(m.id));
    out += std::string("<tr><td>") + id + "</td><td>" + HtmlEscaped(m.name) + "</td><td>" + HtmlEscaped(m.file) +
           "</td><td class=n>" + std::to_string(m.loadMs) + "</td><td class=n>" + std::to_string(m.openMs) +
           "</td><td class=n><span class=" + (m.openCode == 0 ? "ok" : "bad") + ">" + std::to_string(m.openCode) +
           "</span></td><td class=n>" + std::to_string(m.logLevel) + "</td><td class=n>" +
           std::to_string(m.logLevelDefault) + "</td></tr>";
  }
  if (!model.haveStatus) out += "<tr><td colspan=8 class=muted>no status document yet</td></tr>";
  out += "<tr><th colspan=3>Total</th><th class=n>" + std::to_string(model.totalLoadMs) + "</th><th class=n>" +
         std::to_string(model.totalOpenMs) + "</th><th colspan=3></th></tr>";
  return out + "</table></div></section>";
}

// The segment a camera's recorder is writing, if any recorder names one.
std::string OpenSegment(const StatusModel& model, const std::string& camera) {
  for (const auto& [provider, r] : model.recorders) {
    auto it = r.cameras.find(camera);
    if (it != r.cameras.end() && !it->second.open.empty()) return it->second.open;
  }
  return std::string();
}

std::string CameraTable(const StatusModel& model) {
  std::string out =
      "<section><h2>Cameras</h2><div class=scroll><table><tr><th>Camera</th><th>State</th><th class=n>Frames/s</th>"
      "<th class=n>Frames</th><th>Last key frame (UTC)</th><th>Writing</th><th class=n>Reconnects</th></tr>";
  for (const auto& [key, c] : model.cameras) {
    const std::string open = OpenSegment(model, c.name);
    out += "<tr><td>" + HtmlEscaped(c.name) + " <span class=muted>" + HtmlEscaped(c.id) + "</span></td><td>" +
           (c.connected ? "<span class=ok>connected</span>" : "<span class=bad>disconnected</span>") +
           "</td><td class=n>" + Text(c.fps, "%.1f") + "</td><td class=n>" + std::to_string(c.frames.Value()) +
           "</td><td>" + HtmlEscaped(c.lastKeyFrameUtc.empty() ? "-" : c.lastKeyFrameUtc) + "</td><td>" +
           (open.empty() ? "-" : HtmlEscaped(open)) + "</td><td class=n>" + std::to_string(c.reconnects.Value()) +
           "</td></tr>";
  }
  if (model.cameras.empty()) out += "<tr><td colspan=7 class=muted>no camera has reported yet</td></tr>";
  return out + "</table></div></section>";
}

std::string SegmentRow(const Segment& s, bool open) {
  const std::string link = "/recordings/" + HtmlEscaped(s.file);
  const bool video = std::string_view(ContentTypeFor(s.file)).starts_with("video/");
  std::string out = "<tr><td><a href=\"" + link + "\">" + HtmlEscaped(s.file) + "</a>" +
                    (open ? " <span class=muted>(writing)</span>" : "") + "</td><td>" + HtmlEscaped(s.startUtc) +
                    "</td><td>" + HtmlEscaped(s.endUtc) + "</td><td class=n>" + HumanBytes(s.bytes) + "</td><td>";
  if (video)
    out += "<details><summary>play</summary><video controls preload=none src=\"" + link + "\"></video></details>";
  return out + "</td></tr>";
}

std::string Recordings(const StatusModel& model) {
  std::string out = "<section><h2>Recordings</h2>";
  for (const auto& [provider, r] : model.recorders) {
    out += "<p class=muted>" + HtmlEscaped(r.directory) + ": " + HumanBytes(r.diskFreeBytes) + " free, " +
           HumanBytes(r.bytesWritten.Value()) + " written</p>";
    for (const auto& [name, rec] : r.cameras) {
      out += "<h2>" + HtmlEscaped(name) + " <span class=muted>" + std::to_string(rec.frames.Value()) +
             " frames</span></h2><div class=scroll><table><tr><th>Segment</th><th>Start (UTC)</th>"
             "<th>End (UTC)</th><th class=n>Size</th><th></th></tr>";
      // A recorder that lists closed segments only still names the one it
      // writes: it comes first, linked, without an end or a size yet.
      const bool openListed = std::any_of(rec.segments.begin(), rec.segments.end(),
                                          [&](const Segment& s) { return s.file == rec.open; });
      if (!rec.open.empty() && !openListed) {
        const std::string link = "/recordings/" + HtmlEscaped(rec.open);
        out += "<tr><td><a href=\"" + link + "\">" + HtmlEscaped(rec.open) +
               "</a> <span class=muted>(writing)</span></td><td></td><td></td><td class=n></td><td></td></tr>";
      }
      for (auto s = rec.segments.rbegin(); s != rec.segments.rend(); ++s)
        out += SegmentRow(*s, s->file == rec.open);
      out += "</table></div>";
    }
  }
  if (model.recorders.empty()) out += "<p class=muted>no recorder has reported yet</p>";
  return out + "</section>";
}

}  // namespace

std::string HtmlEscaped(std::string_view text) { return example::XmlEscaped(std::string(text)); }

std::string HumanBytes(uint64_t bytes) {
  static const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  return unit == 0 ? std::to_string(bytes) + " B" : Text(value, "%.1f ") + kUnits[unit];
}

std::string RenderHtml(const StatusModel& model, int refreshSeconds) {
  const std::string refresh = std::to_string(refreshSeconds);
  const std::string title = model.product.empty() ? std::string("Recording server") : model.product;
  std::string out = "<!DOCTYPE html><html lang=en><head><meta charset=utf-8>"
                    "<meta name=viewport content=\"width=device-width,initial-scale=1\"><title>" +
                    HtmlEscaped(title) + " status</title><noscript><meta http-equiv=refresh content=" + refresh +
                    "></noscript><style>" + kStyle + "</style></head><body><header><h1>" + HtmlEscaped(title) +
                    " " + HtmlEscaped(model.version) + "</h1><p>" + std::to_string(model.modules.size()) +
                    " modules &middot; memory throttling " + Switch(model.throttlingSwitch) +
                    " &middot; video throttled now " + OnOff(model.throttling < 0 ? 0 : model.throttling) +
                    "</p></header><main>";
  out += ModuleTable(model) + CameraTable(model) + Recordings(model);
  out += "<p class=muted>Refreshes every " + refresh +
         " s while no video is open. <a href=\"/metrics\">metrics</a> &middot; "
         "<a href=\"/api/status\">JSON</a></p></main><script>setInterval(function(){"
         "if(!document.querySelector('details[open]'))location.reload();},"
         + std::to_string(refreshSeconds * 1000) + ");</script></body></html>";
  return out;
}

}  // namespace webview
