// Product document and stored module settings, read once per run before the
// plugins load: the product family and version from "product.xml", and the
// throttling switch and the stored per-module log thresholds from
// "core.xml", both through the backup-aware load.  Missing files, elements or
// attributes leave the defaults; nothing is logged.
//
// [main], before any plugin is loaded.
#ifndef PLUGINHOST_PRODUCT_DOCUMENT_H_
#define PLUGINHOST_PRODUCT_DOCUMENT_H_

#include <string>

#include "core/log_thresholds.h"

namespace pluginhost {

struct ProductSettings {
  std::string family;     // in: default; out: Product/@Family when present (even empty)
  std::string version;    // in: built-in version; out: Product/@Version when present
  bool throttlingSwitch;  // in: default; out: Memory/@Throttling != 0 when it reads
};

// Reads "product.xml" and "core.xml" in the current directory.
void ReadProductAndSettings(ProductSettings* settings, core::LogThresholds& thresholds);

}  // namespace pluginhost

#endif  // PLUGINHOST_PRODUCT_DOCUMENT_H_
