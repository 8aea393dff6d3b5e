#include "eventbus/core_config.h"

#include <tinyxml.h>

#include "configstore/xml_document.h"

namespace eventbus {

bool ApplyCoreConfig(std::string_view text, core::LogThresholds& thresholds) {
  TiXmlDocument document;
  // A text that does not parse may still leave a partial tree behind; none
  // of it is applied.
  if (!configstore::ParseXml(document, text)) return false;
  const TiXmlElement* root = document.RootElement();
  if (root == nullptr) return false;
  int delta = 0;
  if (root->QueryIntAttribute("Delta", &delta) != TIXML_SUCCESS || delta != 1) return false;

  const TiXmlElement* modules = root->FirstChildElement("Modules");
  if (modules == nullptr) return false;
  bool changed = false;
  for (const TiXmlElement* module = modules->FirstChildElement("Module"); module != nullptr;
       module = module->NextSiblingElement("Module")) {
    for (const TiXmlElement* plugin = module->FirstChildElement("Plugin"); plugin != nullptr;
         plugin = plugin->NextSiblingElement("Plugin")) {
      int id = 0, level = 0;
      if (plugin->QueryIntAttribute("ID", &id) != TIXML_SUCCESS ||
          plugin->QueryIntAttribute("LogLevel", &level) != TIXML_SUCCESS)
        continue;
      const uint32_t number = MODULE_NUMBER(static_cast<uint32_t>(id));
      if (number >= static_cast<uint32_t>(core::LogThresholds::kSlots)) continue;
      if (thresholds.Current(number) != level && level >= -1 && level <= 100) {
        thresholds.SetCurrent(number, level);
        changed = true;
      } else if (level == -1 && thresholds.Default(number) != -1) {
        // Already unset: fall back to what the module declared at load.
        thresholds.SetCurrent(number, thresholds.Default(number));
        changed = true;
      }
    }
  }
  return changed;
}

}  // namespace eventbus
