// http_session.h - the server's state and one client connection.  Private to
// http_server.cpp and http_session.cpp.
//
// [plugin run thread]: every handler runs on the server's one thread, so
// the model and the counters need no lock.
#ifndef EXAMPLES_PLUGINS_WEBVIEW_HTTP_SESSION_H_
#define EXAMPLES_PLUGINS_WEBVIEW_HTTP_SESSION_H_

// Boost 1.74's Asio uses std::exchange without including <utility>.
#include <utility>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http_server.h"
#include "recording_files.h"

namespace webview {

namespace beast = boost::beast;
namespace http = boost::beast::http;

// Declared in the order they must be torn down in reverse: the io_context
// destroys the sessions' pending handlers, and a session's destructor still
// counts itself out of `model`.
struct Server::Impl {
  Impl(ServerOptions o, ServerHooks h) : options(std::move(o)), hooks(std::move(h)) {}

  void Accept();
  void OnAcceptError(const boost::system::error_code& ec);
  void Refuse(boost::asio::ip::tcp::socket socket);
  void Tick();

  ServerOptions options;
  ServerHooks hooks;
  StatusModel model;
  std::chrono::steady_clock::time_point lastAcceptLog{};
  boost::asio::io_context io{1};
  boost::asio::ip::tcp::acceptor acceptor{io};
  boost::asio::steady_timer backoff{io};
  boost::asio::steady_timer tick{io};
};

// One connection: reads requests one after the other (keep-alive), each
// within the request deadline, and answers each before reading the next.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(boost::asio::ip::tcp::socket socket, Server::Impl& server);
  ~Session();
  void Start() { Read(); }

 private:
  using Request = http::request<http::empty_body>;

  void Read();
  void OnRead(beast::error_code ec);
  void Route(const Request& request);
  void ServeFile(const Request& request, std::string_view relative);
  void SendFile(const std::string& path, uint64_t size, const ByteRange& range);
  void SendText(http::status status, std::string_view type, std::string body);
  void SendChunk();
  void AfterWrite(beast::error_code ec);
  void Close();
  void Drain();
  template <class Message>
  void Write(std::shared_ptr<Message> message);
  template <class Message>
  void SetCommonFields(Message& message, std::string_view type);

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  Server::Impl& server_;
  bool head_ = false;       // the current request is a HEAD
  bool keepAlive_ = false;  // read another request after this answer

  // A file being sent, from the file's current position.
  beast::file file_;
  uint64_t remaining_ = 0;
  std::vector<char> chunk_;  // file pieces, and what is discarded before closing
  size_t drained_ = 0;
  std::optional<http::response<http::buffer_body>> fileResponse_;
  std::optional<http::response_serializer<http::buffer_body>> serializer_;
};

}  // namespace webview

#endif  // EXAMPLES_PLUGINS_WEBVIEW_HTTP_SESSION_H_
