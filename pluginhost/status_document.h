// The module status document: the core's own module and version, every
// accepted plugin with its load and open times, open code and log
// thresholds, the supervising daemon, and every library that failed to load.
// It is saved atomically to "core.xml", plainly to "plugins.xml", and then
// published on the bus (with the product appended) as a configuration
// update, so that plugins learn the module set and the thresholds.
//
// Built from scratch each time: once on the main thread before the
// dispatcher starts, later on the I/O thread after an effective delta.
#ifndef PLUGINHOST_STATUS_DOCUMENT_H_
#define PLUGINHOST_STATUS_DOCUMENT_H_

#include <map>
#include <string>

#include <tinyxml.h>

#include "base/log_thresholds.h"
#include "pluginhost/plugin_info.h"

namespace pluginhost {

// What the document is built from.
struct StatusInputs {
  std::string executableName;   // the core's own file name
  std::string version;          // the core's (or the product's) version
  std::string productFamily;
  bool throttlingSwitch = true;  // the setting, not the current flag
  std::string supervisorFileName;
  std::string supervisorVersion;  // no Library element while empty
  const PluginList* plugins = nullptr;
  const base::LogThresholds* thresholds = nullptr;
  const std::map<std::string, std::string>* loadProblems = nullptr;
};

// The error code reported for a library that could not be loaded.
constexpr int kLibraryNotFoundCode = 1157;

// Builds the document as saved (without the Product element).
void BuildStatusDocument(const StatusInputs& inputs, TiXmlDocument* document);

// Builds, saves to core.xml (atomic) and plugins.xml (plain) in the current
// directory, appends Product and publishes the document through `write`.
// Save failures are ignored.
void WriteStatusDocument(const StatusInputs& inputs, CoreWriteFn write);

}  // namespace pluginhost

#endif  // PLUGINHOST_STATUS_DOCUMENT_H_
