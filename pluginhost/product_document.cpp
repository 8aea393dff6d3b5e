#include "pluginhost/product_document.h"

#include <tinyxml.h>

#include "configstore/atomic_save.h"

namespace pluginhost {
namespace {

// The first child of `parent` with that value, when it is an element: a
// comment or text that happens to carry the name hides later elements.
const TiXmlElement* FirstChildNamed(const TiXmlNode* parent, const char* name) {
  const TiXmlNode* child = parent->FirstChild(name);
  return child != nullptr ? child->ToElement() : nullptr;
}

}  // namespace

void ReadProductAndSettings(ProductSettings* settings, core::LogThresholds& thresholds) {
  TiXmlDocument product;
  if (configstore::LoadFileWithBackup(product, "product.xml") && product.RootElement()) {
    if (const TiXmlElement* element = FirstChildNamed(product.RootElement(), "Product")) {
      if (const char* family = element->Attribute("Family")) settings->family = family;
      if (const char* version = element->Attribute("Version")) settings->version = version;
    }
  }

  TiXmlDocument coreDocument;
  if (!configstore::LoadFileWithBackup(coreDocument, "core.xml")) return;
  const TiXmlElement* root = coreDocument.RootElement();
  if (root == nullptr) return;
  if (const TiXmlElement* memory = FirstChildNamed(root, "Memory")) {
    int throttling = 0;
    if (memory->QueryIntAttribute("Throttling", &throttling) == TIXML_SUCCESS)
      settings->throttlingSwitch = throttling != 0;
  }
  const TiXmlNode* modules = root->FirstChild("Modules");
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
      if (number >= static_cast<uint32_t>(core::LogThresholds::kSlots) || level < -1 || level > 100)
        continue;
      // LogLevel -1 means "start with what the plugin declared last time",
      // which the document recorded as LogLevelDefault.  A stored default
      // outside -1..100 is not a threshold: it counts as missing, so the
      // module starts unset.
      int levelDefault = -1;
      if (plugin->QueryIntAttribute("LogLevelDefault", &levelDefault) != TIXML_SUCCESS ||
          levelDefault < -1 || levelDefault > 100)
        levelDefault = -1;
      if (level == -1 && levelDefault != -1)
        thresholds.SetCurrent(number, levelDefault);
      else
        thresholds.SetCurrent(number, level);
    }
  }
}

}  // namespace pluginhost
