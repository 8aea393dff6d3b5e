// Calls into one plugin shared by the loading and lifecycle passes and the
// one-shot log delivery: binding its entry points, its run and read threads,
// and unloading it.  Each function works on one record that the caller owns
// or has exclusive use of.  [main] unless noted.
#ifndef PLUGINHOST_PLUGIN_CALLS_H_
#define PLUGINHOST_PLUGIN_CALLS_H_

#include <cstdint>

#include "pluginhost/plugin_info.h"
#include "pluginhost/plugin_watchdog.h"

namespace pluginhost {

// Looks up the eight entry points of record.module in the order Load,
// Unload, Open, Close, Read, Write, Seek, IOCTL; unexported ones stay null.
void BindEntryPoints(PluginInfo& record);

// Sets all eight entry points to null.
void ClearEntryPoints(PluginInfo& record);

// Whole milliseconds between two monotonic readings, truncated.
int64_t ElapsedMs(int64_t startNs, int64_t endNs);

// Starts the run thread: one IOCTL call with code 1, result ignored.  Does
// nothing when the plugin does not export IOCTL.  A thread that cannot be
// started throws std::system_error.
void StartRunThread(PluginInfo& record);

// Starts the read thread: one start-up Read call, result ignored.  Does
// nothing when the plugin does not export Read.
void StartReadThread(PluginInfo& record);

// Joins the read thread, then the run thread, calls Unload when exported
// (else the result is -100), clears the entry points and releases the
// library, whatever Unload returned.  *result and *error receive the
// result and the reply's errorCode.  While request threads of the plugin
// still run, the library is not released (a level-25 line says so): the
// process is about to end, and its code must stay mapped under them.  Each
// wait for the plugin is shown to `watchdog` (may be null).
void UnloadRecord(PluginInfo& record, int32_t* result, int32_t* error,
                  PluginWatchdog* watchdog = nullptr);

}  // namespace pluginhost

#endif  // PLUGINHOST_PLUGIN_CALLS_H_
