// The module status document: the core's own module and version, every
// accepted plugin with its load and open times, open code and log
// thresholds, the supervising daemon, and every library that failed to load.
// It is saved atomically to "core.xml" and plainly to "plugins.xml", and
// published on the bus (with the product appended) as a configuration
// update, so that plugins learn the module set and the thresholds.
//
// Built from scratch each time from a snapshot of what runs; the builder
// takes no lock and keeps nothing.
#ifndef CONFIGSTORE_STATUS_DOCUMENT_H_
#define CONFIGSTORE_STATUS_DOCUMENT_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/log_thresholds.h"
#include "recording-core/plugin_abi.h"

class TiXmlDocument;

namespace configstore {

// One accepted plugin, as the document lists it.
struct ModuleRow {
  ModuleId id = 0;
  std::string filename;
  int64_t loadTimeMs = 0;
  int64_t openTimeMs = 0;
  int32_t openCode = 0;
};

// What runs, taken by the caller when the document is due.
struct StatusSnapshot {
  std::string executableName;      // the core's own file name
  std::string supervisorFileName;  // the daemon's, empty until it spoke
  std::string supervisorVersion;   // no Library element while empty
  std::vector<ModuleRow> plugins;  // in list order
  std::map<std::string, std::string> loadProblems;  // file name -> reason
};

// The product and the setting the document carries.
struct ProductInfo {
  std::string family;
  std::string version;             // the core's (or the product's) version
  bool throttlingSwitch = true;    // the setting, not the current flag
};

// The error code reported for a library that could not be loaded.
constexpr int kLibraryNotFoundCode = 1157;

// Builds the document as saved (without the Product element).
void BuildStatusDocument(const StatusSnapshot& snapshot, const ProductInfo& product,
                         const base::LogThresholds& thresholds, TiXmlDocument* document);

// Appends the Product element that the published form carries.
void AppendProduct(const ProductInfo& product, TiXmlDocument* document);

}  // namespace configstore

#endif  // CONFIGSTORE_STATUS_DOCUMENT_H_
