#include "status_model.h"

#include <algorithm>
#include <cctype>
#include <climits>

#include "mini_xml.h"

namespace webview {
namespace {

// The name the core's console gives a module: its file name without the
// last extension, in lower case.
std::string ModuleName(const std::string& file) {
  std::string name = file.substr(0, file.rfind('.'));
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

uint64_t Unsigned(const XmlElement& element, std::string_view key) {
  const int64_t value = element.Int(key, 0);
  return value < 0 ? 0 : static_cast<uint64_t>(value);
}

bool ParseRoot(XmlDocument& document, std::string_view text, std::string_view root, std::string* error) {
  if (!document.Parse(text, error)) return false;
  if (document.elements[0].name != root) {
    *error = "root element <" + document.elements[0].name + ">, not <" + std::string(root) + ">";
    return false;
  }
  return true;
}

std::vector<ModuleRow> ReadModules(const XmlDocument& document, int modules) {
  // A Module without children names a library that failed to load; the
  // reason stands in its Version, and the library is listed as a Plugin too.
  std::map<int64_t, std::string> failures;
  std::vector<ModuleRow> rows;
  for (int module : document.Children(modules, "Module")) {
    const bool empty = std::none_of(document.elements.begin(), document.elements.end(),
                                    [&](const XmlElement& e) { return e.parent == module; });
    const XmlElement& m = document.elements[module];
    if (empty) failures[m.Int("ID")] = m.Attr("Version");
    for (int plugin : document.Children(module, "Plugin")) {
      const XmlElement& p = document.elements[plugin];
      ModuleRow row;
      row.id = p.Int("ID");
      row.file = p.Attr("Filename");
      row.name = ModuleName(row.file);
      row.opened = p.Int("Opened") != 0;
      row.loadMs = p.Int("LoadTimeMs");
      row.openMs = p.Int("OpenTimeMs");
      row.openCode = p.Int("OpenCode");
      row.logLevel = p.Int("LogLevel", -1);
      row.logLevelDefault = p.Int("LogLevelDefault", -1);
      if (row.id == INT32_MIN) row.version = m.Attr("Version");
      rows.push_back(std::move(row));
    }
  }
  for (ModuleRow& row : rows) {
    auto failed = failures.find(row.id);
    if (failed != failures.end()) row.version = "not loaded: " + failed->second;
  }
  return rows;
}

}  // namespace

bool ApplyConfigDocument(StatusModel& model, std::string_view text, std::string* error) {
  XmlDocument document;
  if (!document.Parse(text, error)) return false;
  const XmlElement& root = document.elements[0];
  const std::vector<int> modules = document.Children(0, "Modules");
  // Other plugins' documents and threshold deltas travel the same way.
  if (root.name != "Vexo" || modules.empty() || root.Int("Delta") == 1) return true;

  model.haveStatus = true;
  model.modules = ReadModules(document, modules[0]);
  model.totalLoadMs = document.elements[modules[0]].Int("TotalLoadTimeMs");
  model.totalOpenMs = document.elements[modules[0]].Int("TotalOpenTimeMs");
  for (int memory : document.Children(0, "Memory"))
    model.throttlingSwitch = document.elements[memory].Int("Throttling", 1) != 0 ? 1 : 0;
  for (int product : document.Children(0, "Product")) {
    model.product = document.elements[product].Attr("Family");
    model.version = document.elements[product].Attr("Version");
  }
  if (model.version.empty())
    for (const ModuleRow& row : model.modules)
      if (row.id == INT32_MIN) model.version = row.version;
  return true;
}

bool ApplyMemoryState(StatusModel& model, std::string_view text, std::string* error) {
  XmlDocument document;
  if (!ParseRoot(document, text, "Vexo", error)) return false;
  const std::vector<int> memory = document.Children(0, "Memory");
  if (memory.empty() || document.elements[memory[0]].Attr("Throttling").empty()) {
    *error = "no Memory element with a Throttling attribute";
    return false;
  }
  model.throttling = document.elements[memory[0]].Int("Throttling") != 0 ? 1 : 0;
  return true;
}

bool ApplyCameraStatus(StatusModel& model, uint32_t provider, std::string_view text, std::string* error) {
  XmlDocument document;
  if (!ParseRoot(document, text, "CameraStatus", error)) return false;
  const XmlElement& e = document.elements[0];
  const std::string name = e.Attr("Name");
  if (name.empty()) {
    *error = "a CameraStatus without a Name";
    return false;
  }
  CameraRow& camera = model.cameras[e.Attr("Id") + "/" + name];
  camera.name = name;
  camera.provider = provider;
  camera.id = e.Attr("Id");
  camera.url = e.Attr("Url");
  camera.codec = e.Attr("Codec");
  camera.lastKeyFrameUtc = e.Attr("LastKeyFrameUtc");
  camera.index = e.Int("Index");
  camera.width = e.Int("Width");
  camera.height = e.Int("Height");
  camera.connected = e.Int("Connected") != 0;
  camera.fps = e.Real("Fps");
  camera.frames.Observe(Unsigned(e, "Frames"));
  camera.reconnects.Observe(Unsigned(e, "Reconnects"));
  for (size_t i = 0; i < std::size(kRefusalCodes); ++i)
    camera.refused[i].Observe(Unsigned(e, kRefusalCodes[i].second));
  return true;
}

bool ApplyRecorderStatus(StatusModel& model, uint32_t provider, std::string_view text, std::string* error) {
  XmlDocument document;
  if (!ParseRoot(document, text, "RecorderStatus", error)) return false;
  const XmlElement& e = document.elements[0];
  const std::string directory = e.Attr("Directory");
  if (directory.empty() || directory[0] != '/') {
    *error = "a RecorderStatus without an absolute Directory";
    return false;
  }
  RecorderRow& recorder = model.recorders[provider];
  recorder.directory = directory;
  recorder.bytesWritten.Observe(Unsigned(e, "BytesWritten"));
  recorder.diskFreeBytes = Unsigned(e, "DiskFreeBytes");
  for (int camera : document.Children(0, "Camera")) {
    const XmlElement& c = document.elements[camera];
    Recording& recording = recorder.cameras[c.Attr("Name")];
    recording.frames.Observe(Unsigned(c, "Frames"));
    recording.open = c.Attr("Open");
    recording.segments.clear();
    for (int segment : document.Children(camera, "Segment")) {
      const XmlElement& s = document.elements[segment];
      recording.segments.push_back({s.Attr("File"), s.Attr("StartUtc"), s.Attr("EndUtc"), Unsigned(s, "Bytes")});
    }
  }
  return true;
}

}  // namespace webview
