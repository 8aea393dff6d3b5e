// render.h - the plugin's pages, rendered from the status model: the status
// page (HTML with its CSS inline, nothing loaded from elsewhere), the
// Prometheus text exposition and the same data as JSON.
//
// [plugin run thread]: pure functions of the model.
#ifndef EXAMPLES_PLUGINS_WEBVIEW_RENDER_H_
#define EXAMPLES_PLUGINS_WEBVIEW_RENDER_H_

#include <string>
#include <string_view>

#include "status_model.h"

namespace webview {

// The status page; it reloads itself every `refreshSeconds` unless a video
// is open on it.
std::string RenderHtml(const StatusModel& model, int refreshSeconds);
// Prometheus text format 0.0.4: every family with HELP and TYPE.
std::string RenderMetrics(const StatusModel& model);
std::string RenderJson(const StatusModel& model);

std::string HtmlEscaped(std::string_view text);
std::string JsonEscaped(std::string_view text);  // without the quotes
// "12.3 MiB" and the like.
std::string HumanBytes(uint64_t bytes);

}  // namespace webview

#endif  // EXAMPLES_PLUGINS_WEBVIEW_RENDER_H_
