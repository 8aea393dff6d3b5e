#include "pluginhost/status_document.h"

#include <cstdint>
#include <vector>

#include "configstore/atomic_save.h"
#include "configstore/post_document.h"
#include "configstore/utf8.h"

namespace pluginhost {
namespace {

// Numbers are written as signed 32-bit decimals, so identifiers with the top
// bit set appear negative.
int AsInt(uint32_t value) { return static_cast<int>(static_cast<int32_t>(value)); }
int Cut32(int64_t value) { return AsInt(static_cast<uint32_t>(value)); }

TiXmlElement PluginElement(int id, const std::string& filename, int loadMs, int openMs,
                           int openCode, int level, int levelDefault) {
  TiXmlElement plugin("Plugin");
  plugin.SetAttribute("ID", id);
  configstore::SetOutsideAttribute(plugin, "Filename", filename);
  plugin.SetAttribute("Opened", 1);
  plugin.SetAttribute("LoadTimeMs", loadMs);
  plugin.SetAttribute("OpenTimeMs", openMs);
  plugin.SetAttribute("OpenCode", openCode);
  plugin.SetAttribute("LogLevel", level);
  plugin.SetAttribute("LogLevelDefault", levelDefault);
  return plugin;
}

}  // namespace

void BuildStatusDocument(const StatusInputs& inputs, TiXmlDocument* document) {
  document->Clear();
  document->InsertEndChild(TiXmlDeclaration("", "", ""));

  TiXmlElement root("Vexo");
  root.SetAttribute("Delta", 0);

  TiXmlElement memory("Memory");
  memory.SetAttribute("ID", AsInt(CORE_MODULE_ID));
  memory.SetAttribute("Throttling", inputs.throttlingSwitch ? 1 : 0);
  root.InsertEndChild(memory);

  TiXmlElement modules("Modules");
  TiXmlElement coreModule("Module");
  coreModule.SetAttribute("ID", AsInt(CORE_MODULE_ID));
  coreModule.SetAttribute("Name", "Core");
  configstore::SetOutsideAttribute(coreModule, "Version", inputs.version);
  coreModule.InsertEndChild(PluginElement(AsInt(CORE_MODULE_ID), inputs.executableName, 0, 0, 0,
                                          inputs.thresholds->Current(0),
                                          inputs.thresholds->Default(0)));

  // Totals are sums of the 32-bit values, modulo 2^32.
  uint32_t totalLoad = 0, totalOpen = 0;
  inputs.plugins->ForEach([&](const PluginInfo& record) {
    totalLoad += static_cast<uint32_t>(record.LoadTimeMs);
    totalOpen += static_cast<uint32_t>(record.OpenTimeMs);
    const uint32_t number = MODULE_NUMBER(record.systemID());
    coreModule.InsertEndChild(PluginElement(
        AsInt(record.systemID()), record.Filename, Cut32(record.LoadTimeMs),
        Cut32(record.OpenTimeMs), record.OpenCode, inputs.thresholds->Current(number),
        inputs.thresholds->Default(number)));
  });
  modules.SetAttribute("TotalLoadTimeMs", AsInt(totalLoad));
  modules.SetAttribute("TotalOpenTimeMs", AsInt(totalOpen));

  if (!inputs.supervisorVersion.empty()) {
    TiXmlElement library("Library");
    library.SetAttribute("Name", "orvaned");
    configstore::SetOutsideAttribute(library, "Filename", inputs.supervisorFileName);
    configstore::SetOutsideAttribute(library, "Version", inputs.supervisorVersion);
    coreModule.InsertEndChild(library);
  }

  // Libraries that failed to load appear twice, numbered from 1: as a
  // plugin of the core module and as a module of their own.
  int k = 0;
  std::vector<TiXmlElement> failedModules;
  for (const auto& [filename, reason] : *inputs.loadProblems) {
    ++k;
    coreModule.InsertEndChild(PluginElement(k, filename, 0, 0, kLibraryNotFoundCode, -1, -1));
    TiXmlElement failed("Module");
    failed.SetAttribute("ID", k);
    configstore::SetOutsideAttribute(failed, "Name", filename);
    configstore::SetOutsideAttribute(failed, "Version", reason);
    failedModules.push_back(failed);
  }
  modules.InsertEndChild(coreModule);
  for (const auto& failed : failedModules) modules.InsertEndChild(failed);

  root.InsertEndChild(modules);
  document->InsertEndChild(root);
}

void WriteStatusDocument(const StatusInputs& inputs, CoreWriteFn write) {
  TiXmlDocument document;
  BuildStatusDocument(inputs, &document);
  configstore::SaveFileAtomic(document, "core.xml");
  configstore::SaveFilePlain(document, "plugins.xml");

  TiXmlElement product("Product");
  configstore::SetOutsideAttribute(product, "Family", inputs.productFamily);
  configstore::SetOutsideAttribute(product, "Version", inputs.version);
  document.RootElement()->InsertEndChild(product);
  configstore::PostDocument(document, EVENT_CONFIG_UPDATE, write);
}

}  // namespace pluginhost
