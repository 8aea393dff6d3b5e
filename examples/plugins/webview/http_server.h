// http_server.h - the plugin's HTTP server: Boost.Beast on one thread, the
// plugin's run thread, which also owns the status model.
//
// Defences against hostile or broken clients: a limit on the request header
// size (431), a deadline for each request and each response (a client that
// sends one byte a second is cut off), a connection limit (503 beyond it),
// GET and HEAD only, no request body, and an accept loop that waits before
// it tries again when the process is out of descriptors, so it never spins.
//
// [plugin run thread] everything but Stop, which is [any-thread].
#ifndef EXAMPLES_PLUGINS_WEBVIEW_HTTP_SERVER_H_
#define EXAMPLES_PLUGINS_WEBVIEW_HTTP_SERVER_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "status_model.h"

namespace webview {

struct ServerOptions {
  std::string address = "127.0.0.1";
  uint16_t port = 8780;            // 0: any free port
  bool allowRemote = false;        // serve on an address other than loopback
  size_t maxConnections = 256;
  uint32_t headerLimit = 8192;     // bytes of request line and header fields
  std::chrono::seconds requestTimeout{10};
  int refreshSeconds = 5;
};

struct ServerHooks {
  // Brings the model up to date with what arrived from the bus.
  std::function<void(StatusModel&)> refresh;
  // One log line at `level`.
  std::function<void(int level, const std::string& text)> log;
};

class Server {
 public:
  Server(ServerOptions options, ServerHooks hooks);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens.  False, with the reason in `error`, when the address
  // is not loopback and remote access is not allowed, or binding fails.
  bool Listen(std::string* error);
  uint16_t port() const;
  // Serves until Stop; returns at once if Stop came first.
  void Run();
  // [any-thread] Makes Run return; open connections are dropped.
  void Stop();

  struct Impl;  // http_session.h; public only for the sessions

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace webview

#endif  // EXAMPLES_PLUGINS_WEBVIEW_HTTP_SERVER_H_
