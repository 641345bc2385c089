#include "service/server.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "service/escape.h"
#include "service/plugin_list.h"
#include "service/report.h"
#include "service/report_key.h"
#include "service/report_page.h"

namespace quorvane::service {
namespace {

constexpr std::size_t kHeaderValueLimit = 256;
constexpr int kKeyAttempts = 3;
constexpr auto kStartTimeout = std::chrono::seconds(10);

constexpr const char* kJson = "application/json; charset=utf-8";
constexpr const char* kHtml = "text/html; charset=utf-8";

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::optional<std::string> Header(const httplib::Request& req, const char* name) {
  if (!req.has_header(name)) return std::nullopt;
  return CleanHeaderValue(req.get_header_value(name), kHeaderValueLimit);
}

std::string ErrorJson(std::string_view message) {
  return nlohmann::ordered_json{{"status", "error"}, {"message", message}}.dump(
      -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void Page(httplib::Response& res, int status, std::string html) {
  res.status = status;
  // The page address is the report's only key: keep it out of caches and out
  // of Referer headers, and let the page run nothing.
  res.set_header("Cache-Control", "no-store");
  res.set_header("Referrer-Policy", "no-referrer");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; img-src data:");
  res.set_content(std::move(html), kHtml);
}

// When the request being served began; set before routing, cleared by the
// logger, so a request rejected before routing shows no time rather than a
// stale one. httplib serves each request on one thread from start to log.
thread_local std::chrono::steady_clock::time_point t_request_start{};

std::string UtcStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return text;
}

}  // namespace

struct Service::Listener {
  std::unique_ptr<httplib::Server> server;
  std::thread thread;
};

Service::Service(ServiceOptions options, ConfigSource& config, ReportStore& store, Log log)
    : options_(std::move(options)), config_(config), store_(store), log_(std::move(log)) {}

Service::~Service() { Stop(); }

void Service::Configure(httplib::Server& server, std::string_view scheme) {
  // httplib's default sets SO_REUSEPORT on Linux, which lets a second copy bind
  // the same port and take half of the connections. SO_REUSEADDR alone still
  // allows a restart over connections lingering in TIME_WAIT.
  server.set_socket_options([](int sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
  });
  const std::size_t threads = options_.worker_threads;
  server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server.set_payload_max_length(options_.max_report_bytes);
  server.set_keep_alive_max_count(100);
  // Replies go out in more than one write; with Nagle's algorithm the second
  // waits for the client's delayed acknowledgement, some 40 ms a request.
  server.set_tcp_nodelay(true);
  server.set_read_timeout(20);
  server.set_write_timeout(20);

  server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
    t_request_start = std::chrono::steady_clock::now();
    // httplib would inflate a compressed body without regard to the size limit.
    if (req.has_header("Content-Encoding") && req.get_header_value("Content-Encoding") != "identity") {
      res.status = 415;
      res.set_content(ErrorJson("compressed request bodies are not accepted"), kJson);
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });

  server.set_logger([this, scheme = std::string(scheme)](const httplib::Request& req, const httplib::Response& res) {
    std::string line = UtcStamp() + ' ' + scheme + ' ' + req.method + ' ' + req.path + ' ' +
                       std::to_string(res.status) + ' ' + std::to_string(res.body.size()) + ' ';
    if (t_request_start != std::chrono::steady_clock::time_point{}) {
      const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                            t_request_start)
                          .count();
      char ms[32];
      std::snprintf(ms, sizeof ms, "%.2fms", static_cast<double>(us) / 1000.0);
      line += ms;
    } else {
      line += '-';
    }
    t_request_start = {};
    log_(line);
  });

  server.set_error_handler(httplib::Server::HandlerWithResponse([this](const httplib::Request& req,
                                                                       httplib::Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    if (res.status == 413) {
      res.set_content(ErrorJson("the report is larger than the limit of " + std::to_string(options_.max_report_bytes) +
                                " bytes"),
                      kJson);
    } else if (res.status == 404 && req.method == "GET") {
      Page(res, 404, RenderNotFoundPage());
    } else {
      res.set_content(ErrorJson("request refused with status " + std::to_string(res.status)), kJson);
    }
    return httplib::Server::HandlerResponse::Handled;
  }));

  server.set_exception_handler([this](const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "unknown exception";
    try {
      std::rethrow_exception(ep);
    } catch (const std::exception& e) {
      what = e.what();
    } catch (...) {
    }
    log_("error: " + req.method + ' ' + req.path + ": " + what);
    res.status = 500;
    res.set_content(ErrorJson("internal error"), kJson);
  });

  server.Get("/api.init.php", [this](const httplib::Request& req, httplib::Response& res) {
    const auto snapshot = config_.Current();
    try {
      store_.RecordCheckIn({NowMs(), Header(req, "User-Version"), Header(req, "User-UnionKey")});
    } catch (const StoreError& e) {
      // The program needs its configuration more than we need the record.
      log_(std::string("check-in not recorded: ") + e.what());
    }
    res.set_header("Cache-Control", "no-store");
    res.set_content(snapshot->reply, kJson);
  });

  server.Post("/report.php", [this](const httplib::Request& req, httplib::Response& res) {
    StoredReport report;
    report.body = req.body;
    RepairLoneSurrogateEscapes(report.body);
    if (const ReportParse parsed = ParseReport(report.body); !parsed.report) {
      res.status = 400;
      res.set_content(ErrorJson(parsed.error), kJson);
      return;
    }
    report.received_ms = NowMs();
    report.version = Header(req, "User-Version");
    report.union_key = Header(req, "User-UnionKey");
    try {
      for (int attempt = 0; attempt < kKeyAttempts; ++attempt) {
        report.key = NewReportKey();
        if (store_.PutReport(report)) {
          res.set_content("{\"status\":\"ok\",\"pk\":\"" + report.key + "\"}", kJson);
          return;
        }
      }
      log_("error: no free report key after " + std::to_string(kKeyAttempts) + " attempts");
    } catch (const StoreError& e) {
      log_(std::string("error: report not stored: ") + e.what());
    }
    res.status = 503;
    res.set_content(ErrorJson("the report could not be stored; try again later"), kJson);
  });

  server.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
    const std::string key = req.get_param_value("report");
    if (key.empty()) return Page(res, 200, RenderAboutPage());
    if (!IsWellFormedReportKey(key)) return Page(res, 404, RenderNotFoundPage());
    std::optional<StoredReport> stored;
    try {
      stored = store_.GetReport(key);
    } catch (const StoreError& e) {
      log_(std::string("error: report not read: ") + e.what());
      return Page(res, 503, RenderUnavailablePage());
    }
    if (!stored) return Page(res, 404, RenderNotFoundPage());
    const ReportParse parsed = ParseReport(stored->body);
    if (!parsed.report) {
      log_("error: stored report cannot be read: " + parsed.error);
      return Page(res, 500, RenderUnavailablePage());
    }
    const auto plugins = EffectivePluginList(config_.Current()->config.bankclean);
    Page(res, 200, RenderReportPage(*parsed.report, *stored, plugins));
  });
}

void Service::Start() {
  auto https = std::make_unique<Listener>();
  auto http = std::make_unique<Listener>();
  https->server = std::make_unique<httplib::SSLServer>(options_.certificate.certificate.c_str(),
                                                       options_.certificate.private_key.c_str());
  if (!https->server->is_valid()) {
    throw std::runtime_error("the certificate " + options_.certificate.certificate.string() + " or its key " +
                             options_.certificate.private_key.string() + " cannot be used");
  }
  http->server = std::make_unique<httplib::Server>();
  Configure(*https->server, "https");
  Configure(*http->server, "http");

  const auto bind = [&](httplib::Server& server, int port, std::string_view scheme) {
    const int bound = port == 0 ? server.bind_to_any_port(options_.bind_address)
                                : (server.bind_to_port(options_.bind_address, port) ? port : -1);
    if (bound <= 0) {
      throw std::runtime_error("cannot listen for " + std::string(scheme) + " on " + options_.bind_address + ":" +
                               std::to_string(port));
    }
    return bound;
  };
  https_port_ = bind(*https->server, options_.https_port, "https");
  http_port_ = bind(*http->server, options_.http_port, "http");

  for (Listener* l : {https.get(), http.get()}) {
    l->thread = std::thread([server = l->server.get()] { server->listen_after_bind(); });
  }
  https_ = std::move(https);
  http_ = std::move(http);
  // stop() does nothing to a server that has not begun its accept loop, so
  // Stop could otherwise miss a listener that is still starting.
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  while (!(https_->server->is_running() && http_->server->is_running())) {
    if (std::chrono::steady_clock::now() > deadline) {
      Stop();
      throw std::runtime_error("the listeners did not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void Service::Stop() {
  for (auto* l : {&https_, &http_}) {
    if (!*l) continue;
    (*l)->server->stop();
    if ((*l)->thread.joinable()) (*l)->thread.join();
    l->reset();
  }
}

}  // namespace quorvane::service
