#include "tests/service/http_client.h"

#include <variant>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

namespace quorvane::service::testing {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using beast::error_code;

using TlsStream = beast::ssl_stream<beast::tcp_stream>;

}  // namespace

std::string Reply::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (beast::iequals(beast::string_view(key.data(), key.size()), beast::string_view(name.data(), name.size()))) {
      return value;
    }
  }
  return {};
}

struct Connection::State {
  asio::io_context io;
  std::optional<asio::ssl::context> tls;
  std::variant<beast::tcp_stream, TlsStream> stream;
  beast::flat_buffer buffer;
  std::string error;
  bool connected = false;
  bool ok = false;  // connected, and the last operation succeeded

  explicit State(const Endpoint& endpoint) : stream(std::in_place_index<0>, io) {
    if (endpoint.trust) {
      tls.emplace(asio::ssl::context::tls_client);
      tls->load_verify_file(endpoint.trust->string());
      tls->set_verify_mode(asio::ssl::verify_peer);
      stream.emplace<TlsStream>(io, *tls);
      std::get<TlsStream>(stream).set_verify_callback(asio::ssl::host_name_verification("127.0.0.1"));
    }
  }

  beast::tcp_stream& Lowest() {
    return std::visit([](auto& s) -> beast::tcp_stream& { return beast::get_lowest_layer(s); }, stream);
  }

  // Starts one asynchronous operation on the stream under a deadline and runs
  // it to its end.
  template <class Start>
  bool Run(Deadline deadline, std::string_view what, Start start) {
    if (!connected) return false;
    error_code result;
    bool done = false;
    Lowest().expires_after(deadline);
    std::visit([&](auto& s) { start(s, [&](error_code ec, auto&&...) { result = ec, done = true; }); }, stream);
    io.restart();
    io.run();
    if (!done || result) {
      ok = false;
      error = std::string(what) + ": " + (done ? result.message() : "not finished");
      return false;
    }
    ok = true;
    return true;
  }
};

Connection::Connection(const Endpoint& endpoint, Deadline deadline) : state_(std::make_unique<State>(endpoint)) {
  State& s = *state_;
  s.connected = true;
  const tcp::endpoint to(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(endpoint.port));
  bool made = s.Run(deadline, "connect", [&](auto&, auto done) { s.Lowest().async_connect(to, done); });
  // A request goes out in more than one write; with Nagle's algorithm the
  // last would wait for the server's delayed acknowledgement of the first.
  error_code ignored;
  if (made) s.Lowest().socket().set_option(tcp::no_delay(true), ignored);
  if (auto* tls = std::get_if<TlsStream>(&s.stream); made && tls) {
    made = s.Run(deadline, "handshake",
                 [&](auto&, auto done) { tls->async_handshake(asio::ssl::stream_base::client, done); });
  }
  s.connected = made;
}

Connection::~Connection() = default;

bool Connection::ok() const { return state_->ok; }

const std::string& Connection::error() const { return state_->error; }

bool Connection::Send(std::string_view bytes, Deadline deadline) {
  return state_->Run(deadline, "send",
                     [&](auto& s, auto done) { asio::async_write(s, asio::buffer(bytes.data(), bytes.size()), done); });
}

bool Connection::SendRequest(std::string_view method, std::string_view target, std::string_view body,
                             const Headers& headers, Deadline deadline) {
  http::request<http::string_body> req;
  req.method_string(beast::string_view(method.data(), method.size()));
  req.target(beast::string_view(target.data(), target.size()));
  req.version(11);
  bool host = false, length = false;
  for (const auto& [name, value] : headers) {
    req.insert(name, value);
    host |= beast::iequals(name, "Host");
    length |= beast::iequals(name, "Content-Length") || beast::iequals(name, "Transfer-Encoding");
  }
  if (!host) req.set(http::field::host, "127.0.0.1");
  req.body() = std::string(body);
  if (!length && (!body.empty() || method == "POST")) req.content_length(body.size());
  return state_->Run(deadline, "send request", [&](auto& s, auto done) { http::async_write(s, req, done); });
}

void Connection::FinishSending() {
  error_code ec;
  state_->Lowest().socket().shutdown(tcp::socket::shutdown_send, ec);
}

std::optional<Reply> Connection::Read(Deadline deadline) {
  http::response_parser<http::string_body> parser;
  parser.body_limit(256u << 20);
  if (!state_->Run(deadline, "read reply",
                   [&](auto& s, auto done) { http::async_read(s, state_->buffer, parser, done); })) {
    return std::nullopt;
  }
  auto res = parser.release();
  Reply reply;
  reply.status = static_cast<int>(res.result_int());
  for (const auto& f : res) {
    reply.headers.emplace_back(std::string(f.name_string()), std::string(f.value()));
  }
  reply.keep_alive = res.keep_alive();
  reply.body = std::move(res.body());
  return reply;
}

std::optional<Reply> Connection::Exchange(std::string_view method, std::string_view target, std::string_view body,
                                          const Headers& headers, Deadline deadline) {
  if (!SendRequest(method, target, body, headers, deadline)) return std::nullopt;
  return Read(deadline);
}

std::optional<std::string> Connection::ReadUntil(std::string_view marker, Deadline deadline) {
  State& s = *state_;
  const auto held = [&] {
    return std::string_view(static_cast<const char*>(s.buffer.data().data()), s.buffer.size());
  };
  while (held().find(marker) == std::string_view::npos) {
    std::size_t got = 0;
    const bool read = s.Run(deadline, "read", [&](auto& stream, auto done) {
      stream.async_read_some(s.buffer.prepare(16 * 1024), [&, done](error_code ec, std::size_t n) {
        got = n;
        done(ec);
      });
    });
    s.buffer.commit(got);
    if (!read) return std::nullopt;
  }
  const std::size_t end = held().find(marker) + marker.size();
  std::string bytes(held().substr(0, end));
  s.buffer.consume(end);
  return bytes;
}

std::optional<std::string> Connection::ReadToClose(Deadline deadline) {
  State& s = *state_;
  if (!s.connected) return std::nullopt;
  std::string bytes(static_cast<const char*>(s.buffer.data().data()), s.buffer.size());
  s.buffer.consume(s.buffer.size());
  const auto until = std::chrono::steady_clock::now() + deadline;
  for (;;) {
    const auto left = std::chrono::duration_cast<Deadline>(until - std::chrono::steady_clock::now());
    if (left <= Deadline::zero()) return std::nullopt;
    char chunk[16 * 1024];
    error_code result;
    std::size_t got = 0;
    bool done = false;
    s.Lowest().expires_after(left);
    std::visit(
        [&](auto& stream) {
          stream.async_read_some(asio::buffer(chunk), [&](error_code ec, std::size_t n) {
            result = ec, got = n, done = true;
          });
        },
        s.stream);
    s.io.restart();
    s.io.run();
    bytes.append(chunk, got);
    if (!done || result == beast::error::timeout) return std::nullopt;
    // The end of the connection, with or without a TLS close_notify, or a
    // reset: either way the server has closed.
    if (result) return bytes;
  }
}

std::optional<Reply> Fetch(const Endpoint& endpoint, std::string_view method, std::string_view target,
                           std::string_view body, const Headers& headers, Connection::Deadline deadline) {
  Connection c(endpoint, deadline);
  return c.Exchange(method, target, body, headers, deadline);
}

}  // namespace quorvane::service::testing
