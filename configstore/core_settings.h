// CoreSettings: the core's own settings and the one component that knows
// the layout of "core.xml" at run time.  It owns the product family and
// version, the throttling switch and the per-module log thresholds; it reads
// the stored settings once before the plugins load, applies configuration
// deltas, saves the module status document and publishes it, and publishes
// the memory state document.
//
// The core's own published status document comes back to it through the
// dispatcher like any configuration update; it recognises it by the payload
// block its publication was queued with, so it never parses it again.  A
// provider ModuleId would not do: any writer can set that.
//
// Threads: ReadStored [main] before any plugin is loaded.  ApplyDelta
// [io-thread].  SaveAndPublish [main] before the dispatcher starts, later
// [io-thread].  IsOwnDocument [dispatcher].  The thresholds are atomic and
// read [any-thread]; the product fields are written only by ReadStored.
#ifndef CONFIGSTORE_CORE_SETTINGS_H_
#define CONFIGSTORE_CORE_SETTINGS_H_

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/log_thresholds.h"
#include "configstore/status_document.h"
#include "recording-core/plugin_abi.h"

namespace configstore {

// Where the core's documents go: the event bus.
class DocumentPublisher {
 public:
  virtual ~DocumentPublisher() = default;
  // Writes `event` as the core's own and returns the payload block it was
  // queued with, or nullptr when it was not queued.  [any-thread]
  virtual const void* Publish(const CoreEvent& event) = 0;
};

class CoreSettings {
 public:
  static constexpr const char* kDefaultFamily = "Orvane";

  explicit CoreSettings(std::string builtInVersion);
  CoreSettings(const CoreSettings&) = delete;
  CoreSettings& operator=(const CoreSettings&) = delete;

  // Reads "product.xml" and "core.xml" in the current directory: product
  // family and version, the throttling switch and the stored thresholds.
  // Missing files or parts leave the defaults; nothing is logged.  [main]
  void ReadStored();

  // Applies a configuration document: only a delta (root Delta="1") sets
  // thresholds.  True when a threshold changed.  [io-thread]
  bool ApplyDelta(std::string_view text);

  // Builds the status document from `snapshot`, saves it to "core.xml"
  // (atomic) and "plugins.xml" (plain), appends the product and publishes
  // it as a configuration update.  Save failures are ignored.
  void SaveAndPublish(const StatusSnapshot& snapshot, DocumentPublisher& bus);

  // Publishes the memory state document with the current throttling flag.
  void PublishMemoryState(bool throttling, DocumentPublisher& bus);

  // True (once) when `block` carries a status document this component
  // published.  [dispatcher]
  bool IsOwnDocument(const void* block);

  base::LogThresholds& Thresholds() { return thresholds_; }
  const ProductInfo& Product() const { return product_; }

 private:
  ProductInfo product_;
  base::LogThresholds thresholds_;

  // Held across a publication, so that the dispatcher, which may take the
  // event before Publish returns, asks only once the block is recorded.
  std::mutex publishMutex_;
  std::vector<const void*> ownBlocks_;  // guarded by publishMutex_
};

}  // namespace configstore

#endif  // CONFIGSTORE_CORE_SETTINGS_H_
