// Walks the per-module log levels of a module document: the Plugin elements
// of each Module under Modules, as the status document writes them and as
// configuration deltas carry them.
#ifndef CONFIGSTORE_MODULE_LEVELS_H_
#define CONFIGSTORE_MODULE_LEVELS_H_

#include <cstdint>

#include <tinyxml.h>

#include "base/log_thresholds.h"

namespace configstore {

// Calls fn(number, level, plugin) in document order for every
// Modules/Module/Plugin element whose ID and LogLevel read as integers and
// whose module number has a threshold slot (0..254); others are skipped.
template <typename Fn>
void ForEachModuleLevel(const TiXmlNode* modules, Fn&& fn) {
  if (modules == nullptr) return;
  for (const TiXmlElement* module = modules->FirstChildElement("Module"); module != nullptr;
       module = module->NextSiblingElement("Module")) {
    for (const TiXmlElement* plugin = module->FirstChildElement("Plugin"); plugin != nullptr;
         plugin = plugin->NextSiblingElement("Plugin")) {
      int id = 0, level = 0;
      if (plugin->QueryIntAttribute("ID", &id) != TIXML_SUCCESS ||
          plugin->QueryIntAttribute("LogLevel", &level) != TIXML_SUCCESS)
        continue;
      const uint32_t number = MODULE_NUMBER(static_cast<uint32_t>(id));
      if (number >= static_cast<uint32_t>(base::LogThresholds::kSlots)) continue;
      fn(number, level, *plugin);
    }
  }
}

}  // namespace configstore

#endif  // CONFIGSTORE_MODULE_LEVELS_H_
