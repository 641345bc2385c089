#pragma once
// What the HTTP front hands to the service and takes back: requests with their
// bodies read whole, replies, and the table of routes with what each accepts.
// Nothing here knows sockets; http_server.h does.
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvane::service {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Which routes a connection may reach. The plain-http listener exists for the
// program's second try at its configuration only: a report key must never
// cross the network in clear.
enum class Exposure { Everything, ConfigurationOnly };

struct Request {
  std::string method;  // as sent: "GET", "POST", ...
  std::string target;  // as sent, not decoded: "/?report=..."
  HeaderList headers;
  std::string body;
  std::string client;  // the client's IP address

  // The target up to its query.
  std::string_view Path() const;
  // The first value of a query parameter, percent-decoded; nullopt when absent.
  std::optional<std::string> QueryParam(std::string_view name) const;
  // The first header of that name (ASCII case ignored); nullopt when absent.
  std::optional<std::string_view> Header(std::string_view name) const;
};

struct Response {
  int status = 200;
  std::string content_type;
  std::string body;
  HeaderList headers;  // besides Content-Type, Content-Length and Connection
};

// One endpoint. The front reads no more than max_body bytes of body, counted as
// they arrive whatever the transfer coding, before the handler sees the
// request.
struct Route {
  std::string method;
  std::string path;  // matched exactly against Request::Path()
  std::size_t max_body = 0;
  bool plain_http = false;  // also served where the exposure is ConfigurationOnly
  bool blocking = false;    // may wait on storage: run off the network threads
  // Must not throw; a throw becomes a 500 all the same.
  std::function<Response(Request&)> handler;
};

class Router {
 public:
  // Builds the reply to a request that no route takes, or that the front
  // refused (status 400..599); request is null when there was no readable one.
  using Refusal = std::function<Response(int status, const Request* request, std::string_view reason)>;

  explicit Router(Refusal refusal);

  void Add(Route route);

  struct Match {
    const Route* route = nullptr;  // null: refuse with status
    int status = 0;                // 404 unknown here, 405 known with another method
  };
  Match Find(std::string_view method, std::string_view path, Exposure exposure) const;

  // The largest max_body of any route: the front's limit before it knows the route.
  std::size_t LargestBody() const;

  Response Refuse(int status, const Request* request, std::string_view reason) const;

 private:
  std::vector<Route> routes_;
  Refusal refusal_;
};

// The first value of a field of a form-encoded text ("a=1&b=2", as a query
// or an application/x-www-form-urlencoded body), percent-decoded with "+" as
// a blank; nullopt when absent.
std::optional<std::string> FormField(std::string_view form, std::string_view name);

// One line of the request log. Only the path is kept, never the query: the
// report page's query is its key.
struct AccessRecord {
  std::string client;   // empty: unknown
  std::string scheme;   // "https" or "http"
  std::string method;   // empty: none was read
  std::string target;   // raw; empty: none was read
  int status = 0;
  std::size_t bytes = 0;  // body bytes sent
  std::chrono::microseconds duration{0};
};

// "2024-05-01T12:00:00.000Z 203.0.113.7 https POST /report.php 200 47 3.21ms":
// time, client, scheme, method, path, status, body bytes and time from the
// request's first byte to the end of the reply. Whatever the client wrote is
// passed through LogEscape, and absent parts show as "-".
std::string AccessLine(const AccessRecord& record, std::chrono::system_clock::time_point now);

}  // namespace quorvane::service
