#include "http_session.h"

#include "recording_files.h"
#include "render.h"

namespace webview {

namespace asio = boost::asio;

namespace {

constexpr size_t kChunkBytes = 64 * 1024;
constexpr size_t kMaxDrainBytes = 1 << 20;
// Pages and scripts come only from the plugin itself.
constexpr char kSecurityPolicy[] =
    "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; media-src 'self'; "
    "img-src 'self'; connect-src 'self'";

std::string_view View(beast::string_view text) { return std::string_view(text.data(), text.size()); }
beast::string_view View(std::string_view text) { return beast::string_view(text.data(), text.size()); }

}  // namespace

Session::Session(asio::ip::tcp::socket socket, Server::Impl& server)
    : stream_(std::move(socket)), buffer_(server.options.headerLimit + 4096), server_(server) {
  ++server_.model.http.open;
}

Session::~Session() { --server_.model.http.open; }

void Session::Read() {
  parser_.emplace();
  parser_->header_limit(server_.options.headerLimit);
  stream_.expires_after(server_.options.requestTimeout);
  http::async_read(stream_, buffer_, *parser_,
                   [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
}

void Session::OnRead(beast::error_code ec) {
  if (ec == http::error::end_of_stream || ec == asio::error::operation_aborted) return Close();
  if (ec == beast::error::timeout) {
    ++server_.model.http.timeouts;
    return Close();
  }
  keepAlive_ = false;
  head_ = false;
  if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
    ++server_.model.http.badRequests;
    return SendText(http::status::request_header_fields_too_large, "text/plain", "request header too large\n");
  }
  if (ec == http::error::unexpected_body) {
    ++server_.model.http.badRequests;
    return SendText(http::status::bad_request, "text/plain", "requests with a body are not accepted\n");
  }
  if (ec == asio::error::connection_reset || ec == asio::error::eof) return Close();
  if (ec) {
    ++server_.model.http.badRequests;
    return SendText(http::status::bad_request, "text/plain", "malformed request\n");
  }
  const Request& request = parser_->get();
  keepAlive_ = request.keep_alive();
  head_ = request.method() == http::verb::head;
  Route(request);
}

void Session::Route(const Request& request) {
  if (request.method() != http::verb::get && request.method() != http::verb::head) {
    keepAlive_ = false;
    return SendText(http::status::method_not_allowed, "text/plain", "only GET and HEAD\n");
  }
  const std::string_view target = View(request.target());
  const std::string_view path = target.substr(0, target.find('?'));
  if (path.empty() || path[0] != '/') {
    ++server_.model.http.badRequests;
    keepAlive_ = false;
    return SendText(http::status::bad_request, "text/plain", "malformed request target\n");
  }
  StatusModel& model = server_.model;
  if (path == "/" || path == "/index.html") {
    server_.hooks.refresh(model);
    return SendText(http::status::ok, "text/html; charset=utf-8", RenderHtml(model, server_.options.refreshSeconds));
  }
  if (path == "/metrics") {
    server_.hooks.refresh(model);
    return SendText(http::status::ok, "text/plain; version=0.0.4; charset=utf-8", RenderMetrics(model));
  }
  if (path == "/api/status") {
    server_.hooks.refresh(model);
    return SendText(http::status::ok, "application/json", RenderJson(model));
  }
  constexpr std::string_view kRecordings = "/recordings/";
  if (path.starts_with(kRecordings)) return ServeFile(request, path.substr(kRecordings.size()));
  SendText(http::status::not_found, "text/plain", "not found\n");
}

void Session::ServeFile(const Request& request, std::string_view relative) {
  server_.hooks.refresh(server_.model);
  Lookup lookup = Lookup::kNotFound;
  std::string path;
  for (const auto& [provider, recorder] : server_.model.recorders)
    if ((lookup = ResolveRecording(recorder.directory, relative, &path)) != Lookup::kNotFound) break;
  if (lookup == Lookup::kMalformed) {
    ++server_.model.http.badRequests;
    keepAlive_ = false;  // whoever sends such names gets no second try on this connection
    return SendText(http::status::bad_request, "text/plain", "malformed recording name\n");
  }
  beast::error_code ec;
  if (lookup == Lookup::kFound) file_.open(path.c_str(), beast::file_mode::scan, ec);
  const uint64_t size = lookup == Lookup::kFound && !ec ? file_.size(ec) : 0;
  if (lookup != Lookup::kFound || ec) return SendText(http::status::not_found, "text/plain", "no such recording\n");

  const ByteRange range = ParseRange(View(request[http::field::range]), size);
  if (range.kind == ByteRange::kUnsatisfiable) {
    auto response = std::make_shared<http::response<http::string_body>>(http::status::range_not_satisfiable, 11);
    SetCommonFields(*response, "text/plain");
    response->set(http::field::content_range, "bytes */" + std::to_string(size));
    response->body() = head_ ? "" : "range not satisfiable\n";
    response->prepare_payload();
    return Write(response);
  }
  SendFile(path, size, range);
}

// Sends the header for the file opened in file_, then its bytes in pieces.
void Session::SendFile(const std::string& path, uint64_t size, const ByteRange& range) {
  const uint64_t first = range.kind == ByteRange::kPartial ? range.first : 0;
  const uint64_t last = range.kind == ByteRange::kPartial ? range.last : size - 1;
  const uint64_t length = size == 0 ? 0 : last - first + 1;
  http::response_header<> header;
  header.result(range.kind == ByteRange::kPartial ? http::status::partial_content : http::status::ok);
  header.version(11);
  SetCommonFields(header, ContentTypeFor(path));
  header.set(http::field::accept_ranges, "bytes");
  header.set(http::field::content_length, std::to_string(length));
  if (range.kind == ByteRange::kPartial)
    header.set(http::field::content_range, "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                               std::to_string(size));
  if (head_) return Write(std::make_shared<http::response<http::empty_body>>(std::move(header)));

  beast::error_code ec;
  file_.seek(first, ec);
  if (ec) return SendText(http::status::internal_server_error, "text/plain", "cannot read the recording\n");
  remaining_ = length;
  fileResponse_.emplace(std::move(header));
  fileResponse_->body().data = nullptr;
  fileResponse_->body().more = true;
  fileResponse_->keep_alive(keepAlive_);
  ++server_.model.http.responses[fileResponse_->result_int()];
  serializer_.emplace(*fileResponse_);
  stream_.expires_after(server_.options.requestTimeout);
  http::async_write_header(stream_, *serializer_, [self = shared_from_this()](beast::error_code error, size_t) {
    if (error) return self->AfterWrite(error);
    self->SendChunk();
  });
}

// Sends the next piece of the file; each write has its own deadline, so a
// client that stops reading is dropped.
void Session::SendChunk() {
  http::buffer_body::value_type& body = fileResponse_->body();
  if (remaining_ == 0) {
    body.data = nullptr;
    body.size = 0;
    body.more = false;
  } else {
    if (chunk_.empty()) chunk_.resize(kChunkBytes);
    beast::error_code ec;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining_, chunk_.size()));
    const size_t got = file_.read(chunk_.data(), want, ec);
    if (ec || got == 0) return Close();  // the header promised more: only closing tells the client
    remaining_ -= got;
    body.data = chunk_.data();
    body.size = got;
    body.more = true;
  }
  stream_.expires_after(server_.options.requestTimeout);
  http::async_write(stream_, *serializer_, [self = shared_from_this()](beast::error_code ec, size_t) {
    if (ec == http::error::need_buffer) ec = {};
    if (ec || self->serializer_->is_done()) {
      self->file_.close(ec);
      self->serializer_.reset();
      self->fileResponse_.reset();
      return self->AfterWrite(ec);
    }
    self->SendChunk();
  });
}

template <class Message>
void Session::SetCommonFields(Message& message, std::string_view type) {
  message.set(http::field::server, "webview");
  message.set(http::field::content_type, View(type));
  message.set(http::field::cache_control, "no-store");
  message.set("X-Content-Type-Options", "nosniff");
  message.set("Content-Security-Policy", kSecurityPolicy);
}

void Session::SendText(http::status status, std::string_view type, std::string body) {
  if (head_) {
    auto response = std::make_shared<http::response<http::empty_body>>(status, 11);
    SetCommonFields(*response, type);
    response->content_length(body.size());
    return Write(response);
  }
  auto response = std::make_shared<http::response<http::string_body>>(status, 11);
  SetCommonFields(*response, type);
  if (status == http::status::method_not_allowed) response->set(http::field::allow, "GET, HEAD");
  response->body() = std::move(body);
  response->prepare_payload();
  Write(response);
}

template <class Message>
void Session::Write(std::shared_ptr<Message> message) {
  ++server_.model.http.responses[message->result_int()];
  message->keep_alive(keepAlive_);
  stream_.expires_after(server_.options.requestTimeout);
  http::async_write(stream_, *message, [self = shared_from_this(), message](beast::error_code ec, size_t) {
    self->AfterWrite(ec);
  });
}

void Session::AfterWrite(beast::error_code ec) {
  if (ec == beast::error::timeout) ++server_.model.http.timeouts;
  if (ec || !keepAlive_) return Close();
  Read();
}

// Closing with unread request bytes would make the kernel reset the
// connection and drop the answer before the client reads it (a refused
// oversized header, say).  So the sending side is shut down first and what
// the client still sends is read and discarded for a short while.
void Session::Close() {
  beast::error_code ignored;
  stream_.socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  drained_ = 0;
  stream_.expires_after(std::chrono::seconds(2));
  Drain();
}

void Session::Drain() {
  if (chunk_.empty()) chunk_.resize(kChunkBytes);
  stream_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](beast::error_code ec, size_t got) {
    self->drained_ += got;
    if (ec || self->drained_ > kMaxDrainBytes) return self->stream_.close();
    self->Drain();
  });
}

}  // namespace webview
