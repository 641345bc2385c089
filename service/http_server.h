#pragma once
// The HTTP front: Boost.Beast over Boost.Asio, TLS through OpenSSL. Network
// threads only ever wait on sockets and timers; no thread is held by a
// connection. Routes that may wait on storage run on a separate pool.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "service/certificate.h"
#include "service/http.h"

namespace quorvane::service {

enum class ListenerKind {
  Https,  // TLS, every route
  Http,   // plain, the configuration only
  // Plain, for a TLS-terminating proxy on this machine: the client's address
  // comes from X-Real-IP, and X-Forwarded-Proto says whether the client used
  // https (every route) or http (the configuration only; also when absent).
  Proxy,
};

struct ListenAddress {
  ListenerKind kind;
  std::string address;  // numeric IPv4 or IPv6
  int port = 0;         // 0: any free one
};

// What a client may take of the server. Every wait on a client has a
// deadline, and nothing a client sends is held beyond these sizes.
struct HttpLimits {
  std::size_t header_bytes = 8 * 1024;
  // TLS handshake from accept; request headers from the request's first byte.
  std::chrono::milliseconds header_time{10'000};
  std::chrono::milliseconds request_time{60'000};  // the whole request, from its first byte
  std::chrono::milliseconds idle_time{15'000};     // waiting for a request's first byte
  std::chrono::milliseconds reply_time{60'000};    // writing one reply
  // After a refusal the server stops sending and reads away what the client
  // still sends, so that the client sees the reply rather than a reset.
  std::chrono::milliseconds linger_time{2'000};
  // Stop: how long requests in flight may take to finish.
  std::chrono::milliseconds stop_time{3'500};
  std::size_t max_connections = 4096;
  // Request bodies held at once over all connections: a body's declared length
  // (a chunked one: its route's limit) is taken from this before it is read.
  std::size_t body_memory = 256u << 20;
};

struct HttpServerOptions {
  std::vector<ListenAddress> listeners;
  CertificateFiles certificate;       // for Https listeners
  std::size_t network_threads = 0;    // 0: one per core
  std::size_t blocking_threads = 16;  // for routes marked blocking
  HttpLimits limits;
};

class HttpServer {
 public:
  // Receives one AccessLine per request, and notices. Called from many
  // threads, one line at a time.
  using Log = std::function<void(std::string_view line)>;

  // router must outlive the server.
  HttpServer(HttpServerOptions options, const Router& router, Log log);
  // Stops first.
  ~HttpServer();

  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds every listener and serves until Stop. Throws std::runtime_error
  // naming what could not be set up; nothing is left listening then.
  void Start();

  // The bound port of the first listener of that kind; 0 when there is none.
  int port(ListenerKind kind) const;

  // Stops accepting and closes connections waiting for a request at once;
  // requests in flight get stop_time to finish, then every connection is
  // closed. Returns once the network threads and the blocking pool have ended.
  // Idempotent.
  void Stop();

  // Connections open now.
  std::size_t connections() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quorvane::service
