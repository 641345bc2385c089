#include "service/http_server.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <unordered_map>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "service/escape.h"

namespace quorvane::service {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using beast::error_code;

constexpr std::size_t kReadChunk = 16 * 1024;
constexpr std::size_t kBufferLimit = 64 * 1024;  // well above the header limit
constexpr auto kForceTime = std::chrono::milliseconds(500);
constexpr auto kAcceptRetry = std::chrono::milliseconds(50);
constexpr auto kNoticeInterval = std::chrono::seconds(10);
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

auto Awaitable(error_code& ec) { return asio::redirect_error(asio::use_awaitable, ec); }

std::string Text(beast::string_view s) { return std::string(s.data(), s.size()); }

bool IsHttpError(const error_code& ec) {
  return &ec.category() == &make_error_code(http::error::bad_method).category();
}

const char* SchemeName(ListenerKind kind) {
  switch (kind) {
    case ListenerKind::Https: return "https";
    case ListenerKind::Http: return "http";
    case ListenerKind::Proxy: return "proxy";
  }
  return "-";
}

class Connection;

struct Acceptor {
  Acceptor(ListenerKind k, tcp::acceptor a) : kind(k), acceptor(std::move(a)) {}
  ListenerKind kind;
  tcp::acceptor acceptor;
  int port = 0;
};

// Everything the server's threads share. Each network thread runs an
// io_context of its own, and a connection lives on one of them from accept to
// close, so that nothing of a connection is touched by two threads and no
// strands are needed. Members are destroyed bottom-up: the blocking pool and
// the io_contexts go first, and the connections they still hold unregister
// themselves from the table above them.
struct Core {
  Core(HttpServerOptions o, const Router& r, HttpServer::Log l)
      : options(std::move(o)),
        router(r),
        log(std::move(l)),
        largest_body(r.LargestBody()),
        blocking(std::max<std::size_t>(1, options.blocking_threads)) {}

  HttpServerOptions options;
  const Router& router;
  HttpServer::Log log;
  const std::size_t largest_body;

  mutable std::mutex mutex;
  std::condition_variable drained;
  std::unordered_map<const Connection*, std::weak_ptr<Connection>> open;
  std::atomic<bool> stopping{false};
  std::atomic<std::size_t> body_bytes{0};
  std::mutex notice_mutex;
  Clock::time_point last_notice{};

  std::optional<asio::ssl::context> tls;
  std::vector<std::unique_ptr<asio::io_context>> contexts;  // one per network thread
  std::atomic<std::size_t> next_context{0};
  std::vector<std::unique_ptr<Acceptor>> acceptors;
  asio::thread_pool blocking;
  std::vector<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::vector<std::thread> threads;
  bool started = false;
  bool stopped = false;

  // The context for the next connection, in turn.
  asio::io_context& NextContext() { return *contexts[next_context++ % contexts.size()]; }

  std::size_t OpenCount() const {
    std::lock_guard lock(mutex);
    return open.size();
  }

  // A notice about something that may repeat at the clients' pace.
  void Notice(const std::string& line) {
    {
      std::lock_guard lock(notice_mutex);
      const auto now = Clock::now();
      if (last_notice != Clock::time_point{} && now - last_notice < kNoticeInterval) return;
      last_notice = now;
    }
    log(line);
  }

  // Calls action on every open connection, on that connection's executor.
  template <class Action>
  void ForEachOpen(Action action);
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  explicit Connection(Core& core) : core_(core) {}
  virtual ~Connection() {
    std::lock_guard lock(core_.mutex);
    core_.open.erase(this);
    if (core_.open.empty()) core_.drained.notify_all();
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  virtual asio::any_io_executor executor() = 0;
  // On the connection's executor, as everything below.
  virtual void Close() = 0;
  void BeginStop() {
    stopping_ = true;
    if (waiting_) Close();
  }

 protected:
  Core& core_;
  bool waiting_ = true;  // for the TLS handshake or a request's first byte
  bool stopping_ = false;
};

template <class Action>
void Core::ForEachOpen(Action action) {
  std::vector<std::shared_ptr<Connection>> live;
  {
    std::lock_guard lock(mutex);
    for (const auto& [key, weak] : open) {
      if (auto c = weak.lock()) live.push_back(std::move(c));
    }
  }
  for (auto& c : live) asio::post(c->executor(), [c, action] { action(*c); });
}

// Takes a request body's size from the shared allowance for as long as the
// request lives.
class BodyAllowance {
 public:
  explicit BodyAllowance(std::atomic<std::size_t>& used) : used_(used) {}
  ~BodyAllowance() { used_ -= taken_; }
  BodyAllowance(const BodyAllowance&) = delete;
  BodyAllowance& operator=(const BodyAllowance&) = delete;

  bool Take(std::size_t n, std::size_t limit) {
    std::size_t now = used_.load();
    do {
      if (n > limit || now > limit - n) return false;
    } while (!used_.compare_exchange_weak(now, now + n));
    taken_ = n;
    return true;
  }

 private:
  std::atomic<std::size_t>& used_;
  std::size_t taken_ = 0;
};

// How a connection goes on after one exchange.
enum class After {
  KeepOpen,  // wait for the next request
  Close,     // the request was read whole: close cleanly
  Linger,    // refused before its end: stop sending, read away the rest, close
  Drop,      // the client is gone or too slow: close at once
};

template <class Stream>
class Session final : public Connection {
 public:
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

  template <class... Args>
  Session(Core& core, ListenerKind kind, std::string peer, Args&&... args)
      : Connection(core), kind_(kind), peer_(std::move(peer)), stream_(std::forward<Args>(args)...) {}

  asio::any_io_executor executor() override { return stream_.get_executor(); }

  void Close() override {
    error_code ec;
    Lowest().socket().shutdown(tcp::socket::shutdown_both, ec);
    Lowest().close();
  }

  static asio::awaitable<void> Run(std::shared_ptr<Session> self) { co_await self->Serve(); }

 private:
  const HttpLimits& limits() const { return core_.options.limits; }
  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }

  asio::awaitable<void> Serve() {
    error_code ec;
    if constexpr (kTls) {
      Lowest().expires_after(limits().header_time);
      co_await stream_.async_handshake(asio::ssl::stream_base::server, Awaitable(ec));
      if (ec) co_return;
    }
    After after = After::Close;
    for (;;) {
      waiting_ = true;
      if (stopping_ || core_.stopping) break;
      if (buffer_.size() == 0) {
        Lowest().expires_after(limits().idle_time);
        const std::size_t n = co_await stream_.async_read_some(buffer_.prepare(kReadChunk), Awaitable(ec));
        if (ec) co_return;
        buffer_.commit(n);
      }
      waiting_ = false;
      after = co_await Exchange(Clock::now());
      if (after != After::KeepOpen) break;
    }
    co_await End(after);
  }

  // Reads one request whose first byte has arrived, and answers it.
  asio::awaitable<After> Exchange(Clock::time_point first_byte) {
    AccessRecord record;
    record.client = peer_;
    record.scheme = SchemeName(kind_);
    http::request_parser<http::string_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(limits().header_bytes));
    parser.body_limit(core_.largest_body);
    error_code ec;
    Lowest().expires_at(first_byte + limits().header_time);
    co_await http::async_read_header(stream_, buffer_, parser, Awaitable(ec));
    if (ec) co_return co_await Failed(ec, record, nullptr, first_byte);

    Request request;
    const auto& header = parser.get();
    request.method = Text(header.method_string());
    request.target = Text(header.target());
    for (const auto& field : header) request.headers.emplace_back(Text(field.name_string()), Text(field.value()));
    request.client = peer_;
    Exposure exposure = kind_ == ListenerKind::Http ? Exposure::ConfigurationOnly : Exposure::Everything;
    if (kind_ == ListenerKind::Proxy) {
      const auto proto = request.Header("X-Forwarded-Proto");
      exposure = proto && *proto == "https" ? Exposure::Everything : Exposure::ConfigurationOnly;
      record.scheme = exposure == Exposure::Everything ? "https" : "http";
      if (const auto real = request.Header("X-Real-IP")) {
        error_code bad;
        const auto address = asio::ip::make_address(std::string(*real), bad);
        if (!bad) request.client = address.to_string();
      }
    }
    record.client = request.client;
    record.method = request.method;
    record.target = request.target;

    // A coding other than chunked would leave the body's end unknown, and
    // what follows it would be read as the next request.
    if (header.count(http::field::transfer_encoding) && !parser.chunked()) {
      co_return co_await Refuse(400, "transfer codings other than chunked are not accepted", &request, record,
                                first_byte);
    }
    const Router::Match match = core_.router.Find(request.method, request.Path(), exposure);
    if (!match.route) co_return co_await Refuse(match.status, {}, &request, record, first_byte);
    const Route& route = *match.route;
    if (const auto coding = request.Header("Content-Encoding"); coding && !EqualsIgnoringAsciiCase(*coding, "identity")) {
      co_return co_await Refuse(415, "compressed request bodies are not accepted", &request, record, first_byte);
    }
    const auto length = parser.content_length();
    if (length && *length > route.max_body) co_return co_await TooLarge(route, &request, record, first_byte);
    if (!length && !parser.chunked() && route.max_body > 0) {
      co_return co_await Refuse(411, "the request needs a Content-Length", &request, record, first_byte);
    }
    BodyAllowance allowance(core_.body_bytes);
    if (!allowance.Take(length ? static_cast<std::size_t>(*length) : parser.chunked() ? route.max_body : 0,
                        limits().body_memory)) {
      core_.Notice("notice: request bodies in memory reached the limit; refusing with 503");
      co_return co_await Refuse(503, "the service is busy; try again later", &request, record, first_byte);
    }
    parser.body_limit(route.max_body);

    if (!parser.is_done()) {
      Lowest().expires_at(first_byte + limits().request_time);
      if (const auto expect = request.Header("Expect"); expect && EqualsIgnoringAsciiCase(*expect, "100-continue")) {
        co_await asio::async_write(stream_, asio::buffer(kContinue.data(), kContinue.size()), Awaitable(ec));
        if (ec) co_return After::Drop;
      }
      co_await http::async_read(stream_, buffer_, parser, Awaitable(ec));
      if (ec == http::error::body_limit) co_return co_await TooLarge(route, &request, record, first_byte);
      if (ec) co_return co_await Failed(ec, record, &request, first_byte);
    }
    const bool client_keeps = parser.get().keep_alive();
    const unsigned version = parser.get().version();
    request.body = std::move(parser.get().body());

    // Kept out of a conditional expression: GCC 12 mishandles the temporaries
    // of a co_await inside one.
    Response response;
    if (route.blocking) {
      response = co_await RunBlocking(route, request);
    } else {
      response = Invoke(route, request);
    }
    const bool keep = client_keeps && response.status < 400 && !stopping_ && !core_.stopping;
    co_return co_await Reply(std::move(response), version, keep, After::Close, record, first_byte);
  }

  Response Invoke(const Route& route, Request& request) {
    try {
      return route.handler(request);
    } catch (const std::exception& e) {
      core_.log(std::string("error: ") + LogEscape(request.method) + ' ' + LogEscape(request.Path()) + ": " + e.what());
    } catch (...) {
      core_.log("error: " + LogEscape(request.method) + ' ' + LogEscape(request.Path()) + ": unknown exception");
    }
    return Refusal(500, &request, "internal error");
  }

  // Runs the route's handler on the blocking pool and resumes here with its
  // reply; the request lives in this coroutine's frame meanwhile.
  asio::awaitable<Response> RunBlocking(const Route& route, Request& request) {
    const auto resume_on = co_await asio::this_coro::executor;
    co_return co_await asio::async_initiate<decltype(asio::use_awaitable), void(Response)>(
        [this, &route, &request, resume_on](auto handler) {
          asio::post(core_.blocking, [this, &route, &request, resume_on, handler = std::move(handler)]() mutable {
            Response response = Invoke(route, request);
            asio::post(resume_on, [handler = std::move(handler), response = std::move(response)]() mutable {
              handler(std::move(response));
            });
          });
        },
        asio::use_awaitable);
  }

  Response Refusal(int status, const Request* request, std::string_view reason) {
    try {
      return core_.router.Refuse(status, request, reason);
    } catch (...) {
      Response r;
      r.status = status;
      return r;
    }
  }

  asio::awaitable<After> Refuse(int status, std::string_view reason, const Request* request, AccessRecord& record,
                                Clock::time_point first_byte) {
    co_return co_await Reply(Refusal(status, request, reason), 11, false, After::Linger, record, first_byte);
  }

  asio::awaitable<After> TooLarge(const Route& route, const Request* request, AccessRecord& record,
                                  Clock::time_point first_byte) {
    const std::string reason =
        "the request body is larger than the limit of " + std::to_string(route.max_body) + " bytes";
    co_return co_await Refuse(413, reason, request, record, first_byte);
  }

  // A request that could not be read: the client's fault is answered, a gone
  // or silent client is not.
  asio::awaitable<After> Failed(const error_code& ec, AccessRecord& record, const Request* request,
                                Clock::time_point first_byte) {
    if (ec == beast::error::timeout) {
      record.status = 408;
      record.duration = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - first_byte);
      core_.log(AccessLine(record, std::chrono::system_clock::now()));
      co_return After::Drop;
    }
    if (ec == http::error::header_limit) {
      co_return co_await Refuse(431, "the request headers are larger than the limit of " +
                                         std::to_string(limits().header_bytes) + " bytes",
                                request, record, first_byte);
    }
    if (ec == http::error::body_limit) {
      co_return co_await Refuse(413, "the request body is larger than the limit of " +
                                         std::to_string(core_.largest_body) + " bytes",
                                request, record, first_byte);
    }
    if (IsHttpError(ec) && ec != http::error::end_of_stream) {
      co_return co_await Refuse(400, "the request cannot be read: " + ec.message(), request, record, first_byte);
    }
    co_return After::Drop;
  }

  asio::awaitable<After> Reply(Response r, unsigned version, bool keep, After otherwise, AccessRecord& record,
                               Clock::time_point first_byte) {
    http::response<http::string_body> res;
    res.version(version);
    res.result(static_cast<unsigned>(r.status));
    if (!r.content_type.empty()) res.set(http::field::content_type, r.content_type);
    for (const auto& [name, value] : r.headers) res.insert(name, value);
    res.body() = std::move(r.body);
    res.keep_alive(keep);
    res.prepare_payload();
    record.status = r.status;
    record.bytes = res.body().size();
    error_code ec;
    Lowest().expires_after(limits().reply_time);
    co_await http::async_write(stream_, res, Awaitable(ec));
    record.duration = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - first_byte);
    core_.log(AccessLine(record, std::chrono::system_clock::now()));
    if (ec) co_return After::Drop;
    co_return keep ? After::KeepOpen : otherwise;
  }

  asio::awaitable<void> End(After after) {
    error_code ec;
    if (after == After::Close) {
      if constexpr (kTls) {
        Lowest().expires_after(limits().linger_time);
        co_await stream_.async_shutdown(Awaitable(ec));
      } else {
        Lowest().socket().shutdown(tcp::socket::shutdown_send, ec);
      }
    } else if (after == After::Linger) {
      // Closing with unread data would reset the connection, and the client
      // could lose the reply. TLS is left as is: nothing more is sent or read
      // through it.
      Lowest().socket().shutdown(tcp::socket::shutdown_send, ec);
      Lowest().expires_after(limits().linger_time);
      buffer_.consume(buffer_.size());
      while (!ec) co_await Lowest().async_read_some(buffer_.prepare(kReadChunk), Awaitable(ec));
    }
    Close();
  }

  const ListenerKind kind_;
  const std::string peer_;
  Stream stream_;
  beast::flat_buffer buffer_{kBufferLimit};
};

auto Finished(Core& core) {
  return [&core](std::exception_ptr e) {
    if (!e) return;
    try {
      std::rethrow_exception(e);
    } catch (const std::exception& x) {
      core.log(std::string("error: connection: ") + x.what());
    } catch (...) {
      core.log("error: connection: unknown exception");
    }
  };
}

template <class Stream, class... Args>
void Launch(Core& core, ListenerKind kind, std::string peer, Args&&... args) {
  auto session = std::make_shared<Session<Stream>>(core, kind, std::move(peer), std::forward<Args>(args)...);
  {
    std::lock_guard lock(core.mutex);
    core.open.emplace(session.get(), session);
  }
  const auto executor = session->executor();
  asio::co_spawn(executor, Session<Stream>::Run(std::move(session)), Finished(core));
}

asio::awaitable<void> AcceptLoop(Core& core, Acceptor& listener) {
  for (;;) {
    error_code ec;
    tcp::socket socket = co_await listener.acceptor.async_accept(core.NextContext(), Awaitable(ec));
    if (ec == asio::error::operation_aborted || core.stopping) co_return;
    if (ec) {
      // Out of descriptors, most likely: let some connections end first.
      core.Notice("notice: accept failed: " + ec.message());
      asio::steady_timer pause(listener.acceptor.get_executor(), kAcceptRetry);
      co_await pause.async_wait(Awaitable(ec));
      continue;
    }
    if (core.OpenCount() >= core.options.limits.max_connections) {
      core.Notice("notice: " + std::to_string(core.options.limits.max_connections) +
                  " connections open; refusing new ones");
      continue;
    }
    socket.set_option(tcp::no_delay(true), ec);
    const auto remote = socket.remote_endpoint(ec);
    if (ec) continue;
    std::string peer = remote.address().to_string();
    if (listener.kind == ListenerKind::Https) {
      Launch<beast::ssl_stream<beast::tcp_stream>>(core, listener.kind, std::move(peer), std::move(socket), *core.tls);
    } else {
      Launch<beast::tcp_stream>(core, listener.kind, std::move(peer), std::move(socket));
    }
  }
}

void RunNetwork(Core& core, asio::io_context& io) {
  for (;;) {
    try {
      io.run();
      return;
    } catch (const std::exception& e) {
      core.log(std::string("error: network thread: ") + e.what());
    }
  }
}

void SetUpTls(Core& core) {
  const CertificateFiles& files = core.options.certificate;
  try {
    auto& tls = core.tls.emplace(asio::ssl::context::tls_server);
    tls.set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                    asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1 |
                    asio::ssl::context::no_compression | asio::ssl::context::single_dh_use);
    tls.use_certificate_chain_file(files.certificate.string());
    tls.use_private_key_file(files.private_key.string(), asio::ssl::context::pem);
  } catch (const boost::system::system_error& e) {
    core.tls.reset();
    throw std::runtime_error("the certificate " + files.certificate.string() + " or its key " +
                             files.private_key.string() + " cannot be used: " + e.what());
  }
}

std::unique_ptr<Acceptor> Listen(Core& core, const ListenAddress& place) {
  const std::string where =
      std::string(SchemeName(place.kind)) + " on " + place.address + ":" + std::to_string(place.port);
  error_code ec;
  const auto address = asio::ip::make_address(place.address, ec);
  if (ec) throw std::runtime_error("cannot listen for " + where + ": not a numeric address");
  const tcp::endpoint endpoint(address, static_cast<unsigned short>(place.port));
  auto listener = std::make_unique<Acceptor>(place.kind, tcp::acceptor(*core.contexts.front()));
  tcp::acceptor& a = listener->acceptor;
  // SO_REUSEADDR alone: a restart may bind over connections lingering in
  // TIME_WAIT, but a second copy cannot share the port (SO_REUSEPORT would
  // let it take half of the connections).
  a.open(endpoint.protocol(), ec);
  if (!ec) a.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) a.bind(endpoint, ec);
  if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
  if (!ec) listener->port = a.local_endpoint(ec).port();
  if (ec) throw std::runtime_error("cannot listen for " + where + ": " + ec.message());
  return listener;
}

}  // namespace

struct HttpServer::State : Core {
  using Core::Core;
};

HttpServer::HttpServer(HttpServerOptions options, const Router& router, Log log)
    : state_(std::make_unique<State>(std::move(options), router, std::move(log))) {}

HttpServer::~HttpServer() { Stop(); }

void HttpServer::Start() {
  Core& core = *state_;
  if (core.started) return;
  std::size_t threads = core.options.network_threads;
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  for (std::size_t i = 0; i < threads; ++i) core.contexts.push_back(std::make_unique<asio::io_context>(1));
  try {
    for (const auto& place : core.options.listeners) {
      if (place.kind == ListenerKind::Https && !core.tls) SetUpTls(core);
      core.acceptors.push_back(Listen(core, place));
    }
  } catch (...) {
    core.acceptors.clear();
    throw;
  }
  for (auto& listener : core.acceptors) {
    asio::co_spawn(listener->acceptor.get_executor(), AcceptLoop(core, *listener), Finished(core));
  }
  for (auto& io : core.contexts) {
    core.work.push_back(asio::make_work_guard(*io));
    core.threads.emplace_back([&core, &io = *io] { RunNetwork(core, io); });
  }
  core.started = true;
}

int HttpServer::port(ListenerKind kind) const {
  for (const auto& listener : state_->acceptors) {
    if (listener->kind == kind) return listener->port;
  }
  return 0;
}

std::size_t HttpServer::connections() const { return state_->OpenCount(); }

void HttpServer::Stop() {
  Core& core = *state_;
  if (!core.started || core.stopped) return;
  core.stopping = true;
  for (auto& listener : core.acceptors) {
    asio::post(listener->acceptor.get_executor(), [&a = listener->acceptor] {
      error_code ec;
      a.close(ec);
    });
  }
  const auto wait = [&](auto time) {
    std::unique_lock lock(core.mutex);
    core.drained.wait_for(lock, time, [&] { return core.open.empty(); });
  };
  core.ForEachOpen([](Connection& c) { c.BeginStop(); });
  wait(core.options.limits.stop_time);
  core.ForEachOpen([](Connection& c) { c.Close(); });
  wait(kForceTime);
  core.work.clear();
  for (auto& io : core.contexts) io->stop();
  for (auto& t : core.threads) t.join();
  core.threads.clear();
  core.blocking.join();
  core.stopped = true;
}

}  // namespace quorvane::service
