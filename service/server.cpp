#include "service/server.h"

#include <chrono>

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

constexpr const char* kJson = "application/json; charset=utf-8";
constexpr const char* kHtml = "text/html; charset=utf-8";

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::optional<std::string> Header(const Request& request, std::string_view name) {
  const auto value = request.Header(name);
  if (!value) return std::nullopt;
  return CleanHeaderValue(*value, kHeaderValueLimit);
}

Response Json(int status, std::string body) { return {status, kJson, std::move(body), {{"Cache-Control", "no-store"}}}; }

Response ErrorJson(int status, std::string_view message) {
  return Json(status, nlohmann::ordered_json{{"status", "error"}, {"message", message}}.dump(
                          -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
}

Response Html(int status, std::string html) {
  // The page address is the report's only key: keep it out of caches and out
  // of Referer headers, and let the page run nothing.
  return {status,
          kHtml,
          std::move(html),
          {{"Cache-Control", "no-store"},
           {"Referrer-Policy", "no-referrer"},
           {"X-Content-Type-Options", "nosniff"},
           {"Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; img-src data:"}}};
}

Response Refusal(int status, const Request* request, std::string_view reason) {
  if (request && request->method == "GET" && status == 404) return Html(404, RenderNotFoundPage());
  if (!reason.empty()) return ErrorJson(status, reason);
  return ErrorJson(status, "request refused with status " + std::to_string(status));
}

}  // namespace

Service::Service(ServiceOptions options, ConfigSource& config, ReportStore& store, Log log)
    : options_(std::move(options)),
      config_(config),
      store_(store),
      log_(std::move(log)),
      check_ins_(store, log_, options_.check_ins),
      router_(&Refusal) {
  router_.Add({"GET", "/api.init.php", 0, /*plain_http=*/true, /*blocking=*/false,
               [this](Request& r) { return Configuration(r); }});
  router_.Add({"POST", "/report.php", options_.max_report_bytes, false, true, [this](Request& r) { return Upload(r); }});
  router_.Add({"GET", "/", 0, false, true, [this](Request& r) { return Page(r); }});

  HttpServerOptions http;
  const auto listen = [&](ListenerKind kind, const std::optional<int>& port) {
    if (port) http.listeners.push_back({kind, options_.bind_address, *port});
  };
  listen(ListenerKind::Https, options_.https_port);
  listen(ListenerKind::Http, options_.http_port);
  listen(ListenerKind::Proxy, options_.proxy_port);
  http.certificate = options_.certificate;
  http.network_threads = options_.network_threads;
  http.blocking_threads = options_.store_threads;
  http.limits = options_.limits;
  server_ = std::make_unique<HttpServer>(std::move(http), router_, log_);
}

Service::~Service() { Stop(); }

void Service::Start() { server_->Start(); }

void Service::Stop() { server_->Stop(); }

Response Service::Configuration(const Request& request) {
  check_ins_.Record(NowMs(), Header(request, "User-Version"));
  return Json(200, config_.Current()->reply);
}

Response Service::Upload(Request& request) {
  StoredReport report;
  report.body = std::move(request.body);
  RepairLoneSurrogateEscapes(report.body);
  if (const std::string error = ReportError(report.body); !error.empty()) return ErrorJson(400, error);
  report.received_ms = NowMs();
  report.version = Header(request, "User-Version");
  report.union_key = Header(request, "User-UnionKey");
  try {
    for (int attempt = 0; attempt < kKeyAttempts; ++attempt) {
      report.key = NewReportKey();
      if (store_.PutReport(report)) return Json(200, "{\"status\":\"ok\",\"pk\":\"" + report.key + "\"}");
    }
    log_("error: no free report key after " + std::to_string(kKeyAttempts) + " attempts");
  } catch (const StoreError& e) {
    log_(std::string("error: report not stored: ") + e.what());
  }
  return ErrorJson(503, "the report could not be stored; try again later");
}

Response Service::Page(const Request& request) {
  const std::string key = request.QueryParam("report").value_or("");
  if (key.empty()) return Html(200, RenderAboutPage());
  if (!IsWellFormedReportKey(key)) return Html(404, RenderNotFoundPage());
  std::optional<StoredReport> stored;
  try {
    stored = store_.GetReport(key);
  } catch (const StoreError& e) {
    log_(std::string("error: report not read: ") + e.what());
    return Html(503, RenderUnavailablePage());
  }
  if (!stored) return Html(404, RenderNotFoundPage());
  ReportParse parsed = ParseReport(stored->body);
  if (!parsed.report) {
    log_("error: stored report cannot be read: " + parsed.error);
    return Html(500, RenderUnavailablePage());
  }
  std::string().swap(stored->body);  // read: not needed beside its page
  const auto plugins = EffectivePluginList(config_.Current()->config.bankclean);
  return Html(200, RenderReportPage(std::move(*parsed.report), *stored, plugins));
}

}  // namespace quorvane::service
