// Product document and stored module settings, read once per run before the
// plugins load: the product family and version from "product.xml", and the
// throttling switch and the stored per-module log thresholds from
// "core.xml", both through the backup-aware load.  Missing files, elements or
// attributes leave the defaults; nothing is logged.
//
// [main], before any plugin is loaded.
#ifndef CONFIGSTORE_PRODUCT_DOCUMENT_H_
#define CONFIGSTORE_PRODUCT_DOCUMENT_H_

#include <string>

#include "base/log_thresholds.h"

namespace configstore {

struct ProductSettings {
  std::string family;     // in: default; out: Product/@Family when present (even empty)
  std::string version;    // in: built-in version; out: Product/@Version when present
  bool throttlingSwitch;  // in: default; out: Memory/@Throttling != 0 when it reads
};

// Reads "product.xml" and "core.xml" in the current directory.
void ReadProductAndSettings(ProductSettings* settings, base::LogThresholds& thresholds);

}  // namespace configstore

#endif  // CONFIGSTORE_PRODUCT_DOCUMENT_H_
