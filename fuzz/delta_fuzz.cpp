// Feeds arbitrary bytes to the core as a configuration delta applied to a
// running configuration: thresholds set for the core and a few modules, with
// defaults declared at load.  Besides "no crash, no sanitizer report":
//   - the defaults modules declared never change,
//   - every threshold stays within -1..100,
//   - a delta reported as changing nothing changed nothing, and
//   - a text without the word Delta (so no Delta="1" root) changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "base/log_thresholds.h"
#include "configstore/core_config.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "delta_fuzz: %s\n", what);
    std::abort();
  }
}

void SetRunning(base::LogThresholds& thresholds) {
  const struct { uint32_t number; int current, byDefault; } running[] = {
      {0, 25, 25}, {1, 50, 40}, {5, -1, 30}, {7, 100, -1}, {254, 0, 0}};
  for (const auto& module : running) {
    thresholds.SetCurrent(module.number, module.current);
    thresholds.SetDefault(module.number, module.byDefault);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  base::LogThresholds thresholds, before;
  SetRunning(thresholds);
  SetRunning(before);
  const bool changed = configstore::ApplyCoreConfig(text, thresholds);

  bool differs = false;
  for (uint32_t n = 0; n < base::LogThresholds::kSlots; ++n) {
    Check(thresholds.Default(n) == before.Default(n), "a default changed");
    Check(thresholds.Current(n) >= -1 && thresholds.Current(n) <= 100, "threshold out of range");
    differs = differs || thresholds.Current(n) != before.Current(n);
  }
  Check(changed || !differs, "changed thresholds reported as unchanged");
  if (text.find("Delta") == std::string_view::npos) Check(!changed, "not a delta, yet applied");
  // The same text once more: still within range, defaults still in place.
  configstore::ApplyCoreConfig(text, thresholds);
  for (uint32_t n = 0; n < base::LogThresholds::kSlots; ++n) {
    Check(thresholds.Default(n) == before.Default(n), "a default changed on the second apply");
  }
  return 0;
}
