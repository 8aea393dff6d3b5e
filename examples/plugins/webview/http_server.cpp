#include "http_server.h"

// Boost 1.74's Asio uses std::exchange without including <utility>.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <optional>
#include <vector>

#include "http_session.h"

namespace webview {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

Server::Server(ServerOptions options, ServerHooks hooks) : impl_(new Impl(std::move(options), std::move(hooks))) {}

Server::~Server() = default;

bool Server::Listen(std::string* error) {
  Impl& s = *impl_;
  boost::system::error_code ec;
  const asio::ip::address address = asio::ip::make_address(s.options.address, ec);
  if (ec) {
    *error = "'" + s.options.address + "' is not an IP address";
    return false;
  }
  if (!address.is_loopback() && !s.options.allowRemote) {
    *error = "refusing to listen on " + s.options.address +
             ": not a loopback address (allow_remote = 1 in webview.conf allows it)";
    return false;
  }
  const tcp::endpoint endpoint(address, s.options.port);
  s.acceptor.open(endpoint.protocol(), ec);
  if (!ec) s.acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) s.acceptor.bind(endpoint, ec);
  if (!ec) s.acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    *error = "cannot listen on " + s.options.address + ":" + std::to_string(s.options.port) + ": " + ec.message();
    return false;
  }
  if (!address.is_loopback())
    s.hooks.log(50, "listening on " + s.options.address + ", reachable from other machines (allow_remote = 1)");
  return true;
}

uint16_t Server::port() const {
  boost::system::error_code ec;
  const tcp::endpoint endpoint = impl_->acceptor.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

void Server::Run() {
  Impl& s = *impl_;
  s.Accept();
  s.Tick();
  s.io.run();
}

void Server::Stop() { impl_->io.stop(); }

void Server::Impl::Accept() {
  acceptor.async_accept(asio::make_strand(io), [this](boost::system::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted) return;
    if (ec) {
      OnAcceptError(ec);
      return;
    }
    if (model.http.open >= options.maxConnections) {
      Refuse(std::move(socket));
    } else {
      std::make_shared<Session>(std::move(socket), *this)->Start();
    }
    Accept();
  });
}

// Out of descriptors (or kernel memory), the connection stays queued and the
// next accept fails at once: wait a little, so the loop does not spin.
void Server::Impl::OnAcceptError(const boost::system::error_code& ec) {
  ++model.http.acceptErrors;
  const bool exhausted = ec == asio::error::no_descriptors || ec.value() == ENFILE ||
                         ec == asio::error::no_buffer_space || ec == asio::error::no_memory;
  if (!exhausted) {
    Accept();
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (now - lastAcceptLog >= std::chrono::seconds(10)) {
    lastAcceptLog = now;
    hooks.log(50, "cannot accept connections: " + ec.message() + "; trying again every 100 ms");
  }
  backoff.expires_after(std::chrono::milliseconds(100));
  backoff.async_wait([this](boost::system::error_code waitError) {
    if (!waitError) Accept();
  });
}

// Over the connection limit: a short answer the socket buffer takes at
// once, without waiting for the client, then the connection is closed.
void Server::Impl::Refuse(tcp::socket socket) {
  ++model.http.connectionsRefused;
  ++model.http.responses[503];
  static constexpr char kBusy[] =
      "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nRetry-After: 1\r\nConnection: close\r\n\r\n";
  boost::system::error_code ec;
  socket.non_blocking(true, ec);
  socket.write_some(asio::buffer(kBusy, sizeof kBusy - 1), ec);
  socket.shutdown(tcp::socket::shutdown_both, ec);
  socket.close(ec);
}

// Applies what came from the bus once a second, so the copies waiting for
// this thread stay few even when nobody asks for a page.
void Server::Impl::Tick() {
  hooks.refresh(model);
  tick.expires_after(std::chrono::seconds(1));
  tick.async_wait([this](boost::system::error_code ec) {
    if (!ec) Tick();
  });
}

}  // namespace webview
