// The core's own handling of configuration updates: a document marked as a
// delta (root attribute Delta="1") sets module log thresholds from its
// Modules/Module/Plugin elements (ID, LogLevel).  Full documents, such as the
// core's own status document (Delta="0"), change nothing.
//
// [io-thread]: runs on the I/O service; stores into the threshold arrays are
// atomic because the write path reads them on every log event.
#ifndef CONFIGSTORE_CORE_CONFIG_H_
#define CONFIGSTORE_CORE_CONFIG_H_

#include <string_view>

#include "base/log_thresholds.h"

namespace configstore {

// Applies a delta document to the current thresholds.  True when at least
// one threshold changed (the caller then rewrites the status document).
// A document that does not parse, or whose Delta is not 1, changes nothing.
bool ApplyCoreConfig(std::string_view text, base::LogThresholds& thresholds);

}  // namespace configstore

#endif  // CONFIGSTORE_CORE_CONFIG_H_
