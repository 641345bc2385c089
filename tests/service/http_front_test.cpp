// The HTTP front as a hostile client meets it: bodies over the limit in every
// transfer coding, ranges, slow and silent clients, refused requests with more
// behind them, the plain-http listener, the log.
#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "tests/service/service_fixture.h"

namespace quorvane::service::testing {
namespace {

using namespace std::chrono_literals;

constexpr std::size_t kLimit = 4 * 1024 * 1024;

bool Has(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// The bytes of a body in chunked transfer coding, in pieces of the given size.
std::string Chunked(std::string_view body, std::size_t piece) {
  std::string out;
  char size[32];
  for (std::size_t at = 0; at < body.size(); at += piece) {
    const std::string_view part = body.substr(at, piece);
    std::snprintf(size, sizeof size, "%zx\r\n", part.size());
    out += size;
    out += part;
    out += "\r\n";
  }
  return out + "0\r\n\r\n";
}

std::size_t CountReplies(std::string_view bytes) {
  std::size_t n = 0;
  for (std::size_t at = bytes.find("HTTP/1.1 "); at != std::string_view::npos; at = bytes.find("HTTP/1.1 ", at + 1)) ++n;
  return n;
}

int StatusOf(std::string_view bytes) {
  return bytes.starts_with("HTTP/1.1 ") && bytes.size() >= 12 ? std::stoi(std::string(bytes.substr(9, 3))) : 0;
}

std::vector<std::string> LinesWith(const TestService& service, std::string_view part) {
  std::vector<std::string> lines;
  for (const auto& line : service.log()) {
    if (Has(line, part)) lines.push_back(line);
  }
  return lines;
}

// The service logs a request once its reply is written, which the client may
// have read before that: the lines with part once there are at least count of
// them, or what there is after 5 s.
std::vector<std::string> AwaitLinesWith(const TestService& service, std::string_view part, std::size_t count) {
  auto lines = LinesWith(service, part);
  for (int i = 0; i < 250 && lines.size() < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lines = LinesWith(service, part);
  }
  return lines;
}

std::string Upload(const TestService& service, const std::string& body = SampleReport().Body()) {
  const auto reply = PostJson(service.Https(), "/report.php", body);
  return reply && reply->status == 200 ? KeyOf(reply->body) : std::string();
}

TEST(HttpFront, OversizedBodiesAreRefusedInEveryCodingAndNothingIsStored) {
  TestService service;
  const std::string over(kLimit + 2 * 1024 * 1024, 'x');
  struct Case {
    std::string name;
    std::string head;
    std::string body;
    bool half_close;
    int status;
  };
  const Case cases[] = {
      // Refused from its header alone, before a byte of body is sent.
      {"declared length", "POST /report.php HTTP/1.1\r\nHost: q\r\nContent-Length: " + std::to_string(over.size()) +
                              "\r\n\r\n",
       "", false, 413},
      {"chunked", "POST /report.php HTTP/1.1\r\nHost: q\r\nTransfer-Encoding: chunked\r\n\r\n",
       Chunked(over, 64 * 1024), false, 413},
      // No length at all: the body would end only where the connection does.
      {"unbounded", "POST /report.php HTTP/1.1\r\nHost: q\r\n\r\n", over, true, 411},
  };
  for (const auto& c : cases) {
    Connection connection(service.Https());
    ASSERT_TRUE(connection.Send(c.head)) << c.name << ": " << connection.error();
    if (!c.body.empty()) connection.Send(c.body);  // may fail once the server has refused
    if (c.half_close) connection.FinishSending();
    const auto rest = connection.ReadToClose(10s);
    ASSERT_TRUE(rest) << c.name << ": the connection stayed open";
    EXPECT_EQ(StatusOf(*rest), c.status) << c.name << ": " << rest->substr(0, 200);
    EXPECT_EQ(CountReplies(*rest), 1u) << c.name;
  }
  EXPECT_EQ(service.store().puts, 0);
  // A body of exactly the limit is still taken.
  std::string largest = "[{\"cate\":\"start\",\"item\":\"";
  largest += std::string(kLimit - largest.size() - 3, 'y') + "\"}]";
  ASSERT_EQ(largest.size(), kLimit);
  EXPECT_FALSE(Upload(service, largest).empty());
}

TEST(HttpFront, RangeHeadersAreIgnoredAndThePageIsSentOnce) {
  TestService service;
  const std::string key = Upload(service);
  ASSERT_FALSE(key.empty());
  const auto whole = Get(service.Https(), "/?report=" + key);
  ASSERT_TRUE(whole);
  // As many ranges as the header limit allows.
  std::string ranges = "bytes=0-10";
  for (int i = 1; i < 600; ++i) ranges += "," + std::to_string(i * 5) + "-" + std::to_string(i * 5 + 3);
  const auto ranged = Get(service.Https(), "/?report=" + key, {{"Range", ranges}});
  ASSERT_TRUE(ranged);
  EXPECT_EQ(ranged->status, 200);
  EXPECT_EQ(ranged->Header("Content-Range"), "");
  EXPECT_TRUE(ranged->body == whole->body) << ranged->body.size() << " bytes, not " << whole->body.size();
}

TEST(HttpFront, SixtyFourSlowClientsHoldNoOneElseUp) {
  TestService service;
  std::vector<std::unique_ptr<Connection>> slow;
  for (int i = 0; i < 64; ++i) {
    slow.push_back(std::make_unique<Connection>(service.Https()));
    ASSERT_TRUE(slow.back()->Send("GET /api.init.php HTTP/1.1\r\nHost: q\r\n")) << slow.back()->error();
  }
  for (int line = 0; line < 3; ++line) {
    for (auto& c : slow) ASSERT_TRUE(c->Send("X-Slow-" + std::to_string(line) + ": 1\r\n"));
    const auto quick = Fetch(service.Https(), "GET", "/api.init.php", {}, {}, 1s);
    ASSERT_TRUE(quick) << "a normal request waited behind the slow clients";
    EXPECT_EQ(quick->status, 200);
  }
  // The slow ones were only waited for, not dropped.
  for (auto& c : slow) {
    ASSERT_TRUE(c->Send("\r\n"));
    const auto reply = c->Read();
    ASSERT_TRUE(reply) << c->error();
    EXPECT_EQ(reply->status, 200);
  }
}

TEST(HttpFront, DeadlinesEndSilentAndDribblingClients) {
  ServiceOptions options;
  options.limits.header_time = 400ms;
  options.limits.idle_time = 400ms;
  options.limits.request_time = 800ms;
  TestService service("{}", nullptr, options);
  const auto closes = [](Connection& c) { return c.ReadToClose(5s).has_value(); };

  Connection silent(service.Https());  // handshake done, no request
  EXPECT_TRUE(closes(silent));

  Connection no_handshake({service.Https().port, std::nullopt});  // TCP only, no TLS
  EXPECT_TRUE(closes(no_handshake));

  Connection kept(service.Https());
  ASSERT_TRUE(kept.Exchange("GET", "/api.init.php"));
  EXPECT_TRUE(closes(kept)) << "idle after a reply";

  Connection header_dribble(service.Https());
  ASSERT_TRUE(header_dribble.Send("GET /api.init.php HTTP/1.1\r\n"));
  for (int i = 0; i < 10 && header_dribble.Send("X-A: b\r\n"); ++i) std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(closes(header_dribble));
  EXPECT_EQ(LinesWith(service, " 408 ").size(), 1u);

  Connection body_dribble(service.Https());
  ASSERT_TRUE(body_dribble.Send("POST /report.php HTTP/1.1\r\nHost: q\r\nContent-Length: 100\r\n\r\n["));
  for (int i = 0; i < 20 && body_dribble.Send(" "); ++i) std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(closes(body_dribble));
  EXPECT_EQ(service.store().puts, 0);
}

// Whatever a refused request carries after its header must never be read as a
// request of its own: behind a proxy that reuses connections, that would be
// another user's request.
TEST(HttpFront, RefusedRequestIsAnsweredOnceAndWhatFollowsIsNeverRead) {
  TestService service;
  const std::string smuggled = "GET /api.init.php?smuggled HTTP/1.1\r\nHost: q\r\n\r\n";
  const std::string length = std::to_string(smuggled.size());
  struct Case {
    std::string head;
    int status;
  };
  const Case cases[] = {
      {"POST /report.php HTTP/1.1\r\nHost: q\r\nContent-Encoding: gzip\r\nContent-Length: " + length + "\r\n\r\n", 415},
      {"POST /elsewhere.php HTTP/1.1\r\nHost: q\r\nContent-Length: " + length + "\r\n\r\n", 404},
      {"PUT /report.php HTTP/1.1\r\nHost: q\r\nContent-Length: " + length + "\r\n\r\n", 405},
      {"POST /report.php HTTP/1.1\r\nHost: q\r\nTransfer-Encoding: gzip\r\n\r\n", 400},
      {"POST /report.php HTTP/1.1\r\nHost: q\r\nContent-Length: 99999999\r\n\r\n", 413},
      {"GET /api.init.php HTTP/1.1\r\nHost: q\r\nContent-Length: " + length + "\r\n\r\n", 413},
  };
  for (const auto& c : cases) {
    Connection connection(service.Https());
    ASSERT_TRUE(connection.Send(c.head + smuggled));
    const auto rest = connection.ReadToClose(10s);
    ASSERT_TRUE(rest) << c.head << ": the connection stayed open";
    EXPECT_EQ(StatusOf(*rest), c.status) << c.head;
    EXPECT_EQ(CountReplies(*rest), 1u) << c.head << *rest;
  }
  EXPECT_TRUE(LinesWith(service, "?smuggled").empty());
  EXPECT_EQ(LinesWith(service, " GET /api.init.php ").size(), 1u) << "only the refused GET with a body";
  EXPECT_EQ(service.store().puts, 0);
}

TEST(HttpFront, PlainHttpServesTheConfigurationOnly) {
  ServiceOptions options;
  options.proxy_port = 0;
  TestService service("{}", nullptr, options);
  const std::string key = Upload(service);
  ASSERT_FALSE(key.empty());
  const int puts = service.store().puts;
  const Endpoint proxy{service.service().proxy_port(), std::nullopt};
  const Headers via_https{{"X-Forwarded-Proto", "https"}, {"X-Real-IP", "203.0.113.9"}};
  const Headers via_http{{"X-Forwarded-Proto", "http"}, {"X-Real-IP", "2001:db8::7"}};
  struct Case {
    Endpoint where;
    Headers headers;
    std::string method, target;
    int status;
  };
  const Case cases[] = {
      {service.Http(), {}, "GET", "/api.init.php", 200},
      {service.Http(), {}, "POST", "/report.php", 404},
      {service.Http(), {}, "GET", "/?report=" + key, 404},
      {service.Http(), {}, "GET", "/", 404},
      {proxy, via_http, "GET", "/api.init.php", 200},
      {proxy, via_http, "POST", "/report.php", 404},
      {proxy, via_http, "GET", "/?report=" + key, 404},
      {proxy, {}, "GET", "/?report=" + key, 404},  // no scheme said: the narrower one
      {proxy, via_https, "GET", "/?report=" + key, 200},
      {proxy, via_https, "POST", "/report.php", 200},
  };
  for (const auto& c : cases) {
    Headers headers = c.headers;
    headers.emplace_back("Content-Type", "application/json");
    const auto reply = Fetch(c.where, c.method, c.target, c.method == "POST" ? SampleReport().Body() : "", headers);
    ASSERT_TRUE(reply) << c.method << ' ' << c.target;
    EXPECT_EQ(reply->status, c.status) << c.method << ' ' << c.target << " on port " << c.where.port;
    if (c.status == 404) {
      EXPECT_FALSE(Has(reply->body, "초기화 결과")) << c.target;
    }
  }
  EXPECT_EQ(service.store().puts, puts + 1) << "only the upload the proxy said came over https";
  EXPECT_EQ(AwaitLinesWith(service, " 203.0.113.9 https POST /report.php 200 ", 1).size(), 1u);
  EXPECT_EQ(AwaitLinesWith(service, " 2001:db8::7 http GET /api.init.php 200 ", 1).size(), 1u);
  // Only the proxy listener believes the header.
  Get(service.Http(), "/api.init.php", {{"X-Real-IP", "198.51.100.1"}});
  EXPECT_TRUE(LinesWith(service, "198.51.100.1").empty());
}

TEST(HttpFront, LogHasOneLinePerRequestWithTheClientAndNothingForged) {
  TestService service;
  const std::string key = Upload(service);
  ASSERT_FALSE(key.empty());
  Get(service.Https(), "/?report=" + key);
  // What a percent-decoding log would turn into a second line.
  Get(service.Https(), "/%0A2024-01-01T00:00:00.000Z%201.2.3.4%20https%20POST%20/report.php%20200");
  Connection raw(service.Https());
  raw.Send("GET /caf\xc3\xa9\\x HTTP/1.1\r\nHost: q\r\n\r\n");
  raw.ReadToClose(5s);

  const auto log = service.log();
  for (const auto& line : log) {
    EXPECT_FALSE(Has(line, key)) << "a report key in the log: " << line;
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    EXPECT_TRUE(std::all_of(line.begin(), line.end(), [](char c) { return c >= 0x20 && c < 0x7f; })) << line;
  }
  EXPECT_EQ(LinesWith(service, " 127.0.0.1 https POST /report.php 200 ").size(), 1u);
  EXPECT_EQ(LinesWith(service, " 127.0.0.1 https GET / 200 ").size(), 1u);
  EXPECT_EQ(LinesWith(service, " GET /%0A2024-01-01T00:00:00.000Z%201.2.3.4%20https%20POST%20/report.php%20200 404 ")
                .size(),
            1u);
  EXPECT_EQ(LinesWith(service, " GET /caf\\xc3\\xa9\\x5cx 404 ").size(), 1u);
  EXPECT_TRUE(LinesWith(service, " 1.2.3.4 ").empty());
}

}  // namespace
}  // namespace quorvane::service::testing
