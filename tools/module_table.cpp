#include "module_table.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>

#include "configstore/xml_document.h"

namespace tools {
namespace {

std::optional<int32_t> IntAttribute(const TiXmlElement* element, const char* name) {
  int value = 0;
  if (element->QueryIntAttribute(name, &value) != TIXML_SUCCESS) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::string TextAttribute(const TiXmlElement* element, const char* name) {
  const char* value = element->Attribute(name);
  return value != nullptr ? value : "";
}

std::string Number(const std::optional<int32_t>& value) {
  return value ? std::to_string(*value) : std::string("-");
}

// The name the core's console shows for a module: its file name without the
// last extension, in lower case.
std::string ConsoleName(const std::string& file) {
  std::string name = file.substr(0, file.rfind('.'));
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

std::string Padded(const std::string& text, size_t width, bool right) {
  if (text.size() >= width) return text;
  const std::string fill(width - text.size(), ' ');
  return right ? fill + text : text + fill;
}

// One Plugin element as a table row.
ModuleRow PluginRow(const TiXmlElement& plugin) {
  ModuleRow row;
  row.id = static_cast<uint32_t>(IntAttribute(&plugin, "ID").value_or(0));
  row.file = TextAttribute(&plugin, "Filename");
  row.loadMs = IntAttribute(&plugin, "LoadTimeMs");
  row.openMs = IntAttribute(&plugin, "OpenTimeMs");
  row.openCode = IntAttribute(&plugin, "OpenCode");
  row.logLevel = IntAttribute(&plugin, "LogLevel");
  row.logLevelDefault = IntAttribute(&plugin, "LogLevelDefault");
  return row;
}

}  // namespace


// The text goes through the configuration store's parser, which refuses a
// document nested too deeply before TinyXML recurses into it.
bool ParseModuleTable(const std::string& text, ModuleTable* table, std::string* error) {
  TiXmlDocument document;
  configstore::ParseXml(document, text);
  return ReadModuleTable(document, table, error);
}

bool ReadModuleTable(const TiXmlDocument& document, ModuleTable* table, std::string* error) {
  *table = ModuleTable();
  if (document.Error()) {
    *error = std::string(document.ErrorDesc()) + " at line " +
             std::to_string(document.ErrorRow()) + ", column " +
             std::to_string(document.ErrorCol());
    return false;
  }
  const TiXmlElement* root = document.RootElement();
  const TiXmlElement* modules = root != nullptr ? root->FirstChildElement("Modules") : nullptr;
  if (modules == nullptr) {
    *error = "no Modules element";
    return false;
  }
  table->delta = IntAttribute(root, "Delta").value_or(0) == 1;
  table->totalLoadMs = IntAttribute(modules, "TotalLoadTimeMs");
  table->totalOpenMs = IntAttribute(modules, "TotalOpenTimeMs");

  // A Module with Plugin or Library children is the core's; a Module
  // without children names a library that failed to load, and the core
  // lists it a second time as a Plugin with the same ID and file name.
  struct Failure {
    int32_t id;
    FailedLibrary library;
  };
  std::vector<Failure> failures;
  std::vector<ModuleRow> rows;
  for (const TiXmlElement* module = modules->FirstChildElement("Module"); module != nullptr;
       module = module->NextSiblingElement("Module")) {
    if (module->FirstChildElement() == nullptr) {
      failures.push_back({IntAttribute(module, "ID").value_or(0),
                          {TextAttribute(module, "Name"), TextAttribute(module, "Version")}});
      continue;
    }
    if (IntAttribute(module, "ID") == INT32_MIN || table->coreVersion.empty())
      table->coreVersion = TextAttribute(module, "Version");
    for (const TiXmlElement* child = module->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement()) {
      if (child->ValueStr() == "Library") {
        table->supervisorFile = TextAttribute(child, "Filename");
        table->supervisorVersion = TextAttribute(child, "Version");
      } else if (child->ValueStr() == "Plugin") {
        ModuleRow row = PluginRow(*child);
        rows.push_back(std::move(row));
      }
    }
  }
  for (ModuleRow& row : rows) {
    const bool failed = std::any_of(failures.begin(), failures.end(), [&](const Failure& f) {
      return static_cast<uint32_t>(f.id) == row.id && f.library.file == row.file;
    });
    if (!failed) table->modules.push_back(std::move(row));
  }
  for (Failure& failure : failures) table->failed.push_back(std::move(failure.library));
  return true;
}

std::vector<std::string> FormatModuleTable(const ModuleTable& table) {
  std::vector<std::string> lines;
  std::string title = table.delta ? "Module settings change" : "Core " + table.coreVersion;
  if (!table.supervisorVersion.empty())
    title += ", supervised by " + table.supervisorFile + " " + table.supervisorVersion;
  title += ", " + std::to_string(table.modules.size()) + " modules";
  lines.push_back(title);

  size_t nameWidth = 4, fileWidth = 4;
  for (const ModuleRow& row : table.modules) {
    nameWidth = std::max(nameWidth, ConsoleName(row.file).size());
    fileWidth = std::max(fileWidth, row.file.size());
  }
  fileWidth += nameWidth + 2;  // the file column follows the name column
  size_t failedWidth = 4;
  for (const FailedLibrary& f : table.failed) failedWidth = std::max(failedWidth, f.file.size());

  lines.push_back("ID          " + Padded(Padded("Name", nameWidth, false) + "  File", fileWidth, false) +
                  "  Load ms  Open ms  Open code  Level  Default");
  for (const ModuleRow& row : table.modules) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%08X", row.id);
    const std::string names = Padded(ConsoleName(row.file), nameWidth, false) + "  " + row.file;
    lines.push_back(std::string(id) + "  " + Padded(names, fileWidth, false) + "  " +
                    Padded(Number(row.loadMs), 7, true) + "  " + Padded(Number(row.openMs), 7, true) +
                    "  " + Padded(Number(row.openCode), 9, true) + "  " +
                    Padded(Number(row.logLevel), 5, true) + "  " +
                    Padded(Number(row.logLevelDefault), 7, true));
  }
  if (table.totalLoadMs || table.totalOpenMs) {
    lines.push_back(Padded("Total", 12 + fileWidth, false) + "  " +
                    Padded(Number(table.totalLoadMs), 7, true) + "  " +
                    Padded(Number(table.totalOpenMs), 7, true));
  }
  if (!table.failed.empty()) {
    lines.push_back("Failed libraries:");
    for (const FailedLibrary& f : table.failed)
      lines.push_back("  " + Padded(f.file, failedWidth, false) + "  " + f.reason);
  }
  return lines;
}

}  // namespace tools
