#pragma once
// The service's endpoints on the HTTP front:
//   GET  /api.init.php   the configuration reply (also over plain http)
//   POST /report.php     a report upload, answered with its key "pk"
//   GET  /?report=KEY    the report page
//   POST /crash.php      a crash report upload
// and, only when the service has an admin token, the crash pages under
// /crashes (crash_pages.h), which answer 404 to a request without it.
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "service/admin_gate.h"
#include "service/certificate.h"
#include "service/check_in_recorder.h"
#include "service/config.h"
#include "service/http.h"
#include "service/http_server.h"
#include "service/store.h"
#include "service/symbols.h"

namespace quorvane::service {

struct ServiceOptions {
  std::string bind_address = "127.0.0.1";  // numeric
  // nullopt: no such listener; 0: any free port.
  std::optional<int> https_port = 0;
  std::optional<int> http_port = 0;
  std::optional<int> proxy_port;
  CertificateFiles certificate;
  std::size_t max_report_bytes = 4 * 1024 * 1024;
  std::size_t max_crash_bytes = 1024 * 1024;
  std::optional<AdminGate> admin;      // the crash pages: off without it
  std::filesystem::path symbols;       // where the unstripped executables are; empty: frames unnamed
  std::size_t network_threads = 0;  // 0: one per core
  std::size_t store_threads = 16;   // uploads and pages waiting on storage at once
  HttpLimits limits;
  CheckInRecorder::Options check_ins;
};

class Service {
 public:
  // Receives one line per request (AccessLine) and the service's own notices.
  // Called from many threads, one line at a time.
  using Log = std::function<void(std::string_view line)>;

  // config and store must outlive the service. The configuration request is
  // answered without waiting for storage; its check-in is counted on the side.
  Service(ServiceOptions options, ConfigSource& config, ReportStore& store, Log log);
  // Stops first.
  ~Service();

  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Binds every listener and serves until Stop. Throws std::runtime_error
  // naming what could not be set up.
  void Start();

  // Stops as HttpServer::Stop does. Idempotent.
  void Stop();

  int https_port() const { return server_->port(ListenerKind::Https); }
  int http_port() const { return server_->port(ListenerKind::Http); }
  int proxy_port() const { return server_->port(ListenerKind::Proxy); }

  CheckInRecorder& check_ins() { return check_ins_; }

  // What the crash pages can do here, in a line for the log at start.
  std::string CrashPagesNotice() const;

 private:
  Response Configuration(const Request& request);
  Response Upload(Request& request);
  Response Page(const Request& request);
  Response CrashUpload(Request& request);
  // The crash pages; each answers a request without the token as if it did
  // not exist.
  Response CrashList(const Request& request);
  Response CrashGroupPage(const Request& request);
  Response CrashPage(const Request& request);
  Response SignInForm(const Request& request);
  Response SignIn(const Request& request);
  Response Absent(const Request& request) const;

  ServiceOptions options_;
  ConfigSource& config_;
  ReportStore& store_;
  Log log_;
  CheckInRecorder check_ins_;
  std::unique_ptr<SymbolIndex> symbol_index_;
  std::unique_ptr<Symbolizer> symbolizer_;
  Router router_;
  std::unique_ptr<HttpServer> server_;  // last: stopped first
};

}  // namespace quorvane::service
