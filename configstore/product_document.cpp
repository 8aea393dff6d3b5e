#include "configstore/product_document.h"

#include "configstore/module_levels.h"

#include <tinyxml.h>

#include "configstore/atomic_save.h"

namespace configstore {
namespace {

// The first child of `parent` with that value, when it is an element: a
// comment or text that happens to carry the name hides later elements.
const TiXmlElement* FirstChildNamed(const TiXmlNode* parent, const char* name) {
  const TiXmlNode* child = parent->FirstChild(name);
  return child != nullptr ? child->ToElement() : nullptr;
}

}  // namespace

void ReadProductAndSettings(ProductSettings* settings, base::LogThresholds& thresholds) {
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
  ForEachModuleLevel(root->FirstChild("Modules"), [&](uint32_t number, int level,
                                                      const TiXmlElement& plugin) {
    if (level < -1 || level > 100) return;
    // LogLevel -1 means "start with what the plugin declared last time",
    // which the document recorded as LogLevelDefault.  A stored default
    // outside -1..100 is not a threshold: it counts as missing, so the
    // module starts unset.
    int levelDefault = -1;
    if (plugin.QueryIntAttribute("LogLevelDefault", &levelDefault) != TIXML_SUCCESS ||
        levelDefault < -1 || levelDefault > 100)
      levelDefault = -1;
    thresholds.SetCurrent(number, level == -1 && levelDefault != -1 ? levelDefault : level);
  });
}

}  // namespace configstore
