// module_table.h - the module status document (plugins.xml, core.xml, or the
// copy the core publishes on the bus) read into a table of modules, and that
// table laid out as text lines.  Used by the plugins_table command and by the
// example status viewer plugin.
//
// [any-thread]: plain functions without shared state.
#ifndef TOOLS_MODULE_TABLE_H_
#define TOOLS_MODULE_TABLE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TiXmlDocument;

namespace tools {

// One accepted module: the core itself or a plugin.  Attributes that the
// document leaves out (as a delta does) are empty.
struct ModuleRow {
  uint32_t id = 0;
  std::string file;
  std::optional<int32_t> loadMs, openMs, openCode, logLevel, logLevelDefault;
};

// A library that could not be loaded, with the reason the core gave.
struct FailedLibrary {
  std::string file;
  std::string reason;
};

struct ModuleTable {
  bool delta = false;         // the root's Delta attribute is 1
  std::string coreVersion;    // Version of the core's Module
  std::string supervisorFile, supervisorVersion;  // the Library element, if any
  std::optional<int32_t> totalLoadMs, totalOpenMs;
  std::vector<ModuleRow> modules;     // in document order
  std::vector<FailedLibrary> failed;  // in document order
};

// Reads the text of a module status document (parsed by
// configstore::ParseXml).  Returns false with a reason in *error when the
// text is not XML, is nested too deeply, or has no Modules element under its
// root.
bool ParseModuleTable(const std::string& text, ModuleTable* table, std::string* error);

// The same for a document already parsed or loaded through the
// configuration store's wrapper; a document with its error set is refused
// with that error.
bool ReadModuleTable(const TiXmlDocument& document, ModuleTable* table, std::string* error);

// The table as aligned text lines (without line breaks): a title line, a
// header, one line per module, the totals and the failed libraries.
std::vector<std::string> FormatModuleTable(const ModuleTable& table);

}  // namespace tools

#endif  // TOOLS_MODULE_TABLE_H_
