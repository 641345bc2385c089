#include "service/server.h"

#include <chrono>

#include <nlohmann/json.hpp>

#include "service/crash_pages.h"
#include "service/crash_report.h"
#include "service/escape.h"
#include "service/plugin_list.h"
#include "service/report.h"
#include "service/report_key.h"
#include "service/report_page.h"

namespace quorvane::service {
namespace {

constexpr std::size_t kHeaderValueLimit = 256;
constexpr int kKeyAttempts = 3;
constexpr std::size_t kSignInBytes = 4096;
constexpr std::size_t kCrashGroupsShown = 500;
constexpr std::size_t kCrashesShown = 500;

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

// The crash pages besides: framed by no other site, posting only here.
Response AdminHtml(int status, std::string html) {
  Response r = Html(status, std::move(html));
  for (auto& [name, value] : r.headers) {
    if (name == "Content-Security-Policy") value += "; frame-ancestors 'none'; form-action 'self'";
  }
  return r;
}

// Stores a new record under a fresh key, trying another when the key is
// taken. True once stored; false when storage failed (logged).
template <class Record, class Put>
bool StoreWithNewKey(Record& record, Put put, const Service::Log& log, std::string_view what) {
  try {
    for (int attempt = 0; attempt < kKeyAttempts; ++attempt) {
      record.key = NewReportKey();
      if (put(record)) return true;
    }
    log("error: no free " + std::string(what) + " key after " + std::to_string(kKeyAttempts) + " attempts");
  } catch (const StoreError& e) {
    log("error: " + std::string(what) + " not stored: " + e.what());
  }
  return false;
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
  router_.Add({"POST", "/crash.php", options_.max_crash_bytes, false, true, [this](Request& r) { return CrashUpload(r); }});
  if (options_.admin) {
    router_.Add({"GET", std::string(kCrashListPath), 0, false, true, [this](Request& r) { return CrashList(r); }});
    router_.Add({"GET", std::string(kCrashGroupPath), 0, false, true, [this](Request& r) { return CrashGroupPage(r); }});
    router_.Add({"GET", std::string(kCrashPagePath), 0, false, true, [this](Request& r) { return CrashPage(r); }});
    router_.Add({"GET", std::string(kCrashSignInPath), 0, false, false, [this](Request& r) { return SignInForm(r); }});
    router_.Add({"POST", std::string(kCrashSignInPath), kSignInBytes, false, false, [this](Request& r) { return SignIn(r); }});
    if (!options_.symbols.empty()) {
      symbol_index_ = std::make_unique<SymbolIndex>(options_.symbols);
      symbolizer_ = std::make_unique<Symbolizer>(*symbol_index_);
    }
  }

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

std::string Service::CrashPagesNotice() const {
  if (!options_.admin) return "crash pages: off (no --admin-token-file)";
  std::string notice = "crash pages: on at " + std::string(kCrashListPath) + " over https";
  if (!symbolizer_) return notice + "; frames unnamed (no --symbols)";
  notice += "; symbols: " + std::to_string(symbol_index_->size()) + " images under " + options_.symbols.string();
  for (const std::uint16_t machine : {kMachineX86_64, kMachineI686}) {
    const auto tool = symbolizer_->ToolFor(machine);
    notice += machine == kMachineX86_64 ? "; x86_64 named by " : "; i686 named by ";
    notice += tool.empty() ? std::string("nothing (no addr2line or llvm-symbolizer found)") : tool.string();
  }
  return notice;
}

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
  if (StoreWithNewKey(report, [&](const StoredReport& r) { return store_.PutReport(r); }, log_, "report")) {
    return Json(200, "{\"status\":\"ok\",\"pk\":\"" + report.key + "\"}");
  }
  return ErrorJson(503, "the report could not be stored; try again later");
}

Response Service::CrashUpload(Request& request) {
  StoredCrash crash;
  crash.body = std::move(request.body);
  RepairLoneSurrogateEscapes(crash.body);
  CrashParse parsed = ParseCrashReport(crash.body);
  if (!parsed.report) return ErrorJson(400, parsed.error);
  CrashReport& r = *parsed.report;
  crash.received_ms = NowMs();
  crash.signature = CrashSignature(r);
  crash.version = std::move(r.version);
  crash.arch = std::move(r.arch);
  crash.windows = std::move(r.windows);
  crash.union_key = std::move(r.union_key);
  parsed.report.reset();
  if (StoreWithNewKey(crash, [&](const StoredCrash& c) { return store_.PutCrash(c); }, log_, "crash report")) {
    return Json(200, "{\"status\":\"ok\"}");
  }
  return ErrorJson(503, "the crash report could not be stored; try again later");
}

Response Service::Absent(const Request& request) const { return router_.Refuse(404, &request, {}); }

Response Service::CrashList(const Request& request) {
  if (!options_.admin->Admits(request)) return Absent(request);
  std::vector<CrashGroup> groups;
  try {
    groups = store_.CrashGroups(kCrashGroupsShown + 1);
  } catch (const StoreError& e) {
    log_(std::string("error: crash groups not read: ") + e.what());
    return AdminHtml(503, RenderUnavailablePage());
  }
  const bool more = groups.size() > kCrashGroupsShown;
  if (more) groups.pop_back();
  return AdminHtml(200, RenderCrashList(groups, more));
}

Response Service::CrashGroupPage(const Request& request) {
  if (!options_.admin->Admits(request)) return Absent(request);
  const std::string signature = request.QueryParam("signature").value_or("");
  std::vector<CrashSummary> crashes;
  try {
    if (!signature.empty()) crashes = store_.CrashesWithSignature(signature, kCrashesShown + 1);
  } catch (const StoreError& e) {
    log_(std::string("error: crashes not read: ") + e.what());
    return AdminHtml(503, RenderUnavailablePage());
  }
  if (crashes.empty()) return Absent(request);
  const bool more = crashes.size() > kCrashesShown;
  if (more) crashes.pop_back();
  return AdminHtml(200, RenderCrashGroup(signature, crashes, more));
}

Response Service::CrashPage(const Request& request) {
  if (!options_.admin->Admits(request)) return Absent(request);
  const std::string key = request.QueryParam("id").value_or("");
  if (!IsWellFormedReportKey(key)) return Absent(request);
  std::optional<StoredCrash> stored;
  try {
    stored = store_.GetCrash(key);
  } catch (const StoreError& e) {
    log_(std::string("error: crash report not read: ") + e.what());
    return AdminHtml(503, RenderUnavailablePage());
  }
  if (!stored) return Absent(request);
  const CrashParse parsed = ParseCrashReport(stored->body);
  if (!parsed.report) {
    log_("error: stored crash report cannot be read: " + parsed.error);
    return AdminHtml(500, RenderUnavailablePage());
  }
  std::string().swap(stored->body);
  const FrameNames names = symbolizer_ ? symbolizer_->Resolve(*parsed.report) : FrameNames();
  return AdminHtml(200, RenderCrashPage(*parsed.report, *stored, names));
}

Response Service::SignInForm(const Request& request) {
  return AdminHtml(200, RenderSignInPage(request.QueryParam("next").value_or("")));
}

Response Service::SignIn(const Request& request) {
  const auto token = FormField(request.body, "token");
  if (!token || !options_.admin->Matches(*token)) return Absent(request);
  const std::string next = SafeCrashPageTarget(FormField(request.body, "next").value_or(""));
  return {303,
          "",
          "",
          {{"Location", next}, {"Set-Cookie", options_.admin->SignInCookie()}, {"Cache-Control", "no-store"}}};
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
