#include "pluginhost/plugin_host.h"

namespace pluginhost {

PluginHost::PluginHost(CoreContext* context, CoreWriteFn write, base::LogThresholds& thresholds)
    : watchdog_(write) {
  host_.context = context;
  host_.write = write;
  host_.thresholds = &thresholds;
  host_.names = &names_;
  host_.loadProblems = &loadProblems_;
  host_.plugins = &plugins_;
  host_.watchdog = &watchdog_;
}

void PluginHost::FillStatus(configstore::StatusSnapshot* snapshot) const {
  snapshot->plugins.clear();
  plugins_.ForEach([&](const PluginInfo& record) {
    snapshot->plugins.push_back(
        {record.systemID(), record.Filename, record.LoadTimeMs, record.OpenTimeMs, record.OpenCode});
  });
  snapshot->loadProblems = loadProblems_;
}

}  // namespace pluginhost
