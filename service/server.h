#pragma once
// The service's two listeners, https and plain http, serving the same endpoints:
//   GET  /api.init.php   the configuration reply
//   POST /report.php     a report upload, answered with its key "pk"
//   GET  /?report=KEY    the report page
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "service/certificate.h"
#include "service/config.h"
#include "service/store.h"

namespace httplib {
class Server;
}

namespace quorvane::service {

struct ServiceOptions {
  std::string bind_address = "127.0.0.1";
  int https_port = 0;  // 0: any free port
  int http_port = 0;
  CertificateFiles certificate;
  std::size_t max_report_bytes = 4 * 1024 * 1024;
  std::size_t worker_threads = 16;  // per listener
};

class Service {
 public:
  // Receives one line per request (method, path without query, status, bytes,
  // time), and the service's own notices. Called from many threads, one line at
  // a time.
  using Log = std::function<void(std::string_view line)>;

  // config and store must outlive the service.
  Service(ServiceOptions options, ConfigSource& config, ReportStore& store, Log log);
  // Stops first.
  ~Service();

  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Binds both ports and serves until Stop; returns once both accept
  // connections. Throws std::runtime_error naming what could not be set up.
  void Start();

  // Stops listening and waits for the requests in progress. Idempotent.
  void Stop();

  int https_port() const { return https_port_; }
  int http_port() const { return http_port_; }

 private:
  struct Listener;
  void Configure(httplib::Server& server, std::string_view scheme);

  ServiceOptions options_;
  ConfigSource& config_;
  ReportStore& store_;
  Log log_;
  std::unique_ptr<Listener> https_;
  std::unique_ptr<Listener> http_;
  int https_port_ = 0;
  int http_port_ = 0;
};

}  // namespace quorvane::service
