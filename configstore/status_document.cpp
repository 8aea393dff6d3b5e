#include "configstore/status_document.h"

#include <tinyxml.h>

#include "configstore/utf8.h"

namespace configstore {
namespace {

// Numbers are written as signed 32-bit decimals, so identifiers with the top
// bit set appear negative.
int AsInt(uint32_t value) { return static_cast<int>(static_cast<int32_t>(value)); }
int Cut32(int64_t value) { return AsInt(static_cast<uint32_t>(value)); }

TiXmlElement PluginElement(int id, const std::string& filename, int loadMs, int openMs,
                           int openCode, int level, int levelDefault) {
  TiXmlElement plugin("Plugin");
  plugin.SetAttribute("ID", id);
  SetOutsideAttribute(plugin, "Filename", filename);
  plugin.SetAttribute("Opened", 1);
  plugin.SetAttribute("LoadTimeMs", loadMs);
  plugin.SetAttribute("OpenTimeMs", openMs);
  plugin.SetAttribute("OpenCode", openCode);
  plugin.SetAttribute("LogLevel", level);
  plugin.SetAttribute("LogLevelDefault", levelDefault);
  return plugin;
}

// The core's Module element with every accepted plugin; sets the totals on
// `modules` (sums of the 32-bit values, modulo 2^32).
TiXmlElement CoreModule(const StatusSnapshot& snapshot, const ProductInfo& product,
                        const base::LogThresholds& thresholds, TiXmlElement* modules) {
  TiXmlElement coreModule("Module");
  coreModule.SetAttribute("ID", AsInt(CORE_MODULE_ID));
  coreModule.SetAttribute("Name", "Core");
  SetOutsideAttribute(coreModule, "Version", product.version);
  coreModule.InsertEndChild(PluginElement(AsInt(CORE_MODULE_ID), snapshot.executableName, 0, 0, 0,
                                          thresholds.Current(0), thresholds.Default(0)));
  uint32_t totalLoad = 0, totalOpen = 0;
  for (const ModuleRow& row : snapshot.plugins) {
    totalLoad += static_cast<uint32_t>(row.loadTimeMs);
    totalOpen += static_cast<uint32_t>(row.openTimeMs);
    const uint32_t number = MODULE_NUMBER(row.id);
    coreModule.InsertEndChild(PluginElement(AsInt(row.id), row.filename, Cut32(row.loadTimeMs),
                                            Cut32(row.openTimeMs), row.openCode,
                                            thresholds.Current(number), thresholds.Default(number)));
  }
  modules->SetAttribute("TotalLoadTimeMs", AsInt(totalLoad));
  modules->SetAttribute("TotalOpenTimeMs", AsInt(totalOpen));

  if (!snapshot.supervisorVersion.empty()) {
    TiXmlElement library("Library");
    library.SetAttribute("Name", "orvaned");
    SetOutsideAttribute(library, "Filename", snapshot.supervisorFileName);
    SetOutsideAttribute(library, "Version", snapshot.supervisorVersion);
    coreModule.InsertEndChild(library);
  }
  return coreModule;
}

}  // namespace

void BuildStatusDocument(const StatusSnapshot& snapshot, const ProductInfo& product,
                         const base::LogThresholds& thresholds, TiXmlDocument* document) {
  document->Clear();
  document->InsertEndChild(TiXmlDeclaration("", "", ""));

  TiXmlElement root("Vexo");
  root.SetAttribute("Delta", 0);

  TiXmlElement memory("Memory");
  memory.SetAttribute("ID", AsInt(CORE_MODULE_ID));
  memory.SetAttribute("Throttling", product.throttlingSwitch ? 1 : 0);
  root.InsertEndChild(memory);

  TiXmlElement modules("Modules");
  TiXmlElement coreModule = CoreModule(snapshot, product, thresholds, &modules);

  // Libraries that failed to load appear twice, numbered from 1: as a
  // plugin of the core module and as a module of their own.
  int k = 0;
  std::vector<TiXmlElement> failedModules;
  for (const auto& [filename, reason] : snapshot.loadProblems) {
    ++k;
    coreModule.InsertEndChild(PluginElement(k, filename, 0, 0, kLibraryNotFoundCode, -1, -1));
    TiXmlElement failed("Module");
    failed.SetAttribute("ID", k);
    SetOutsideAttribute(failed, "Name", filename);
    SetOutsideAttribute(failed, "Version", reason);
    failedModules.push_back(failed);
  }
  modules.InsertEndChild(coreModule);
  for (const auto& failed : failedModules) modules.InsertEndChild(failed);

  root.InsertEndChild(modules);
  document->InsertEndChild(root);
}

void AppendProduct(const ProductInfo& product, TiXmlDocument* document) {
  TiXmlElement element("Product");
  SetOutsideAttribute(element, "Family", product.family);
  SetOutsideAttribute(element, "Version", product.version);
  document->RootElement()->InsertEndChild(element);
}

}  // namespace configstore
