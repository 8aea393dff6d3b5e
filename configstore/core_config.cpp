#include "configstore/core_config.h"

#include <tinyxml.h>

#include "configstore/xml_document.h"
#include "configstore/module_levels.h"

namespace configstore {

bool ApplyCoreConfig(std::string_view text, base::LogThresholds& thresholds) {
  TiXmlDocument document;
  // A text that does not parse may still leave a partial tree behind; none
  // of it is applied.
  if (!configstore::ParseXml(document, text)) return false;
  const TiXmlElement* root = document.RootElement();
  if (root == nullptr) return false;
  int delta = 0;
  if (root->QueryIntAttribute("Delta", &delta) != TIXML_SUCCESS || delta != 1) return false;

  bool changed = false;
  configstore::ForEachModuleLevel(
      root->FirstChildElement("Modules"), [&](uint32_t number, int level, const TiXmlElement&) {
        if (thresholds.Current(number) != level && level >= -1 && level <= 100) {
          thresholds.SetCurrent(number, level);
          changed = true;
        } else if (level == -1 && thresholds.Default(number) != -1) {
          // Already unset: fall back to what the module declared at load.
          thresholds.SetCurrent(number, thresholds.Default(number));
          changed = true;
        }
      });
  return changed;
}

}  // namespace configstore
