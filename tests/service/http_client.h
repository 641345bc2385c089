#pragma once
// A client for the service tests and the load benchmark, on Boost.Beast: one
// request per connection as the program makes them, keep-alive exchanges, and
// raw bytes for what no well-behaved client sends. Every wait has a deadline,
// so a server that stalls fails the test instead of hanging it.
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane::service::testing {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Endpoint {
  int port = 0;
  // https when set: only this certificate is trusted, and it must name 127.0.0.1.
  std::optional<std::filesystem::path> trust;
};

struct Reply {
  int status = 0;
  Headers headers;
  std::string body;
  bool keep_alive = false;  // the server means to keep the connection

  // The first header of that name (ASCII case ignored); empty when absent.
  std::string Header(std::string_view name) const;
};

class Connection {
 public:
  using Deadline = std::chrono::milliseconds;

  // Connects (and completes the TLS handshake) within the deadline; see ok().
  explicit Connection(const Endpoint& endpoint, Deadline deadline = std::chrono::seconds(30));
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Whether the connection was made and its last operation succeeded. A
  // failed operation does not stop the next: a server that refused a request
  // may still have answered it.
  bool ok() const;
  // Why the last failed operation failed.
  const std::string& error() const;

  // Sends bytes as they are (through TLS on https). False when sending failed.
  bool Send(std::string_view bytes, Deadline deadline = std::chrono::seconds(30));
  // Sends a well-formed request: Host, and Content-Length when there is a body,
  // are added unless headers name them.
  bool SendRequest(std::string_view method, std::string_view target, std::string_view body = {},
                   const Headers& headers = {}, Deadline deadline = std::chrono::seconds(30));
  // Ends the sending side (a TCP half-close): the server sees the end of the
  // request stream.
  void FinishSending();
  // Reads one reply; nullopt when none came whole within the deadline.
  std::optional<Reply> Read(Deadline deadline = std::chrono::seconds(30));
  std::optional<Reply> Exchange(std::string_view method, std::string_view target, std::string_view body = {},
                                const Headers& headers = {}, Deadline deadline = std::chrono::seconds(30));
  // Reads until the bytes read hold marker, and returns them; what follows the
  // marker stays for the next read. nullopt when it did not come in time.
  std::optional<std::string> ReadUntil(std::string_view marker, Deadline deadline = std::chrono::seconds(30));
  // Everything the server still sends until it closes, as bytes; nullopt when
  // it has not closed within the deadline.
  std::optional<std::string> ReadToClose(Deadline deadline = std::chrono::seconds(30));

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// One request on a connection of its own, as the program sends them.
std::optional<Reply> Fetch(const Endpoint& endpoint, std::string_view method, std::string_view target,
                           std::string_view body = {}, const Headers& headers = {},
                           Connection::Deadline deadline = std::chrono::seconds(30));
inline std::optional<Reply> Get(const Endpoint& endpoint, std::string_view target, const Headers& headers = {}) {
  return Fetch(endpoint, "GET", target, {}, headers);
}
inline std::optional<Reply> PostJson(const Endpoint& endpoint, std::string_view target, std::string_view body,
                                     Headers headers = {}) {
  headers.emplace_back("Content-Type", "application/json");
  return Fetch(endpoint, "POST", target, body, headers);
}

}  // namespace quorvane::service::testing
