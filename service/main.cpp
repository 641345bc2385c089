// quorvane-service: the program's web service.
//
//   quorvane-service --data DIR [--https-port N] [--http-port N] [--proxy-port N] ...
//
// Prints "listening https=N http=N" (each listener asked for, with the port it
// got) once they accept connections, then one line per request; stops cleanly
// on SIGINT or SIGTERM.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <malloc.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "service/certificate.h"
#include "service/config.h"
#include "service/postgres_store.h"
#include "service/retention.h"
#include "service/server.h"
#include "service/sqlite_store.h"

namespace {

using namespace quorvane::service;

constexpr std::string_view kUsage =
    "usage: quorvane-service --data DIR [--https-port N] [--http-port N] [--proxy-port N]\n"
    "                        [--config FILE] [--bind ADDRESS] [--store sqlite|postgres|none]\n"
    "                        [--postgres CONNINFO] [--keep-days N] [--discard-reports]\n"
    "                        [--threads N] [--store-threads N]\n"
    "                        [--admin-token-file FILE [--symbols DIR]]\n"
    "  --https-port N     https, every endpoint; 0 picks a free port\n"
    "  --http-port N      plain http, the configuration request only\n"
    "  --proxy-port N     plain http for a TLS-terminating proxy on this machine (nginx):\n"
    "                     X-Real-IP names the client, X-Forwarded-Proto its scheme\n"
    "                     (at least one of the three ports is needed)\n"
    "  --data DIR         data folder, owner-only: database, certificate, configuration\n"
    "  --config FILE      configuration file (default DIR/config.json, created when missing)\n"
    "  --bind ADDRESS     numeric address to listen on (default 127.0.0.1)\n"
    "  --store KIND       sqlite (default, DIR/reports.sqlite3), postgres, or none\n"
    "  --postgres CONNINFO  libpq connection string for --store postgres\n"
    "  --keep-days N      reports and crash reports older than N days are deleted, daily\n"
    "                     (default 180)\n"
    "  --discard-reports  needed with --store none, which answers uploads with keys\n"
    "                     but keeps nothing (to measure the service without storage)\n"
    "  --threads N        network threads (default: one per core)\n"
    "  --store-threads N  requests waiting on storage at once (default 16)\n"
    "  --admin-token-file FILE  turns on the crash pages under /crashes (https only) for\n"
    "                     whoever presents the token in FILE (owner-only, 16 to 512\n"
    "                     printable characters): \"Authorization: Bearer TOKEN\", or the\n"
    "                     cookie that the sign-in form at /crashes/login sets\n"
    "  --symbols DIR      unstripped executables of the program's builds, to name the\n"
    "                     frames on the crash pages (with the MinGW addr2line)\n";

struct CommandLine {
  std::optional<int> https_port;
  std::optional<int> http_port;
  std::optional<int> proxy_port;
  std::filesystem::path data;
  std::filesystem::path config;
  std::string bind = "127.0.0.1";
  std::string store = "sqlite";
  std::string postgres;
  int keep_days = 180;
  bool discard_reports = false;
  std::size_t threads = 0;
  std::size_t store_threads = 16;
  std::filesystem::path admin_token_file;
  std::filesystem::path symbols;
};

[[noreturn]] void Usage(std::string_view problem) {
  std::cerr << "quorvane-service: " << problem << "\n" << kUsage;
  std::exit(2);
}

long Number(std::string_view option, const std::string& text, long min, long max) {
  std::size_t used = 0;
  long v = 0;
  try {
    v = std::stol(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || text.empty() || v < min || v > max) {
    Usage(std::string(option) + " needs a number from " + std::to_string(min) + " to " + std::to_string(max));
  }
  return v;
}

CommandLine Parse(int argc, char** argv) {
  CommandLine cl;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      std::exit(0);
    }
    if (option == "--discard-reports") {
      cl.discard_reports = true;
      continue;
    }
    if (i + 1 >= argc) Usage(std::string(option) + " needs a value");
    const std::string value = argv[++i];
    if (option == "--https-port") {
      cl.https_port = static_cast<int>(Number(option, value, 0, 65535));
    } else if (option == "--http-port") {
      cl.http_port = static_cast<int>(Number(option, value, 0, 65535));
    } else if (option == "--proxy-port") {
      cl.proxy_port = static_cast<int>(Number(option, value, 0, 65535));
    } else if (option == "--data") {
      cl.data = value;
    } else if (option == "--config") {
      cl.config = value;
    } else if (option == "--bind") {
      cl.bind = value;
    } else if (option == "--store") {
      if (value != "sqlite" && value != "postgres" && value != "none") Usage("--store is sqlite, postgres or none");
      cl.store = value;
    } else if (option == "--postgres") {
      cl.postgres = value;
    } else if (option == "--keep-days") {
      cl.keep_days = static_cast<int>(Number(option, value, 1, 36500));
    } else if (option == "--threads") {
      cl.threads = static_cast<std::size_t>(Number(option, value, 1, 1024));
    } else if (option == "--store-threads") {
      cl.store_threads = static_cast<std::size_t>(Number(option, value, 1, 1024));
    } else if (option == "--admin-token-file") {
      cl.admin_token_file = value;
    } else if (option == "--symbols") {
      cl.symbols = value;
    } else {
      Usage("unknown option " + std::string(option));
    }
  }
  if (cl.data.empty()) Usage("--data is needed");
  if (!cl.https_port && !cl.http_port && !cl.proxy_port) Usage("--https-port, --http-port or --proxy-port is needed");
  if (cl.store == "postgres" && cl.postgres.empty()) Usage("--store postgres needs --postgres CONNINFO");
  if (cl.store == "none" && !cl.discard_reports) {
    Usage("--store none keeps no report, so every key it hands out leads nowhere; add --discard-reports if that is "
          "what you want");
  }
  if (!cl.symbols.empty() && cl.admin_token_file.empty()) {
    Usage("--symbols names frames on the crash pages only, which need --admin-token-file");
  }
  if (!cl.symbols.empty() && !std::filesystem::is_directory(cl.symbols)) Usage("--symbols needs a folder");
  return cl;
}

constexpr auto kStopLimit = std::chrono::milliseconds(4700);

std::mutex g_output;

void Print(std::string_view line) {
  std::lock_guard lock(g_output);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::unique_ptr<ReportStore> OpenStore(const CommandLine& cl) {
  if (cl.store == "postgres") return std::make_unique<PostgresStore>(cl.postgres, cl.store_threads);
  if (cl.store == "none") return std::make_unique<NullStore>();
  return std::make_unique<SqliteStore>(cl.data / "reports.sqlite3");
}

// Reports, the certificate's key and the configuration are nobody else's
// business: the folder is owner-only, and so is whatever is created in it.
void MakeDataFolder(const std::filesystem::path& data) {
  ::umask(077);
  std::filesystem::create_directories(data);
  std::filesystem::permissions(data, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace);
}

// As many connections as the system lets this process have.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int Run(const CommandLine& cl, const sigset_t& stop_signals) {
  MakeDataFolder(cl.data);
  RaiseDescriptorLimit();
  std::filesystem::path config_file = cl.config;
  if (config_file.empty()) {
    config_file = cl.data / "config.json";
    CreateDefaultConfig(config_file);
  }
  ConfigSource config(config_file, Print);
  const std::unique_ptr<ReportStore> store = OpenStore(cl);
  std::optional<Retention> retention;
  if (cl.store == "none") {
    Print("warning: --store none --discard-reports: uploads are answered with keys, but no report is kept and no "
          "report page will be found");
  } else {
    retention.emplace(*store, cl.keep_days, Print);
  }

  ServiceOptions options;
  options.bind_address = cl.bind;
  options.https_port = cl.https_port;
  options.http_port = cl.http_port;
  options.proxy_port = cl.proxy_port;
  if (cl.https_port) options.certificate = EnsureCertificate(cl.data);
  options.network_threads = cl.threads;
  options.store_threads = cl.store_threads;
  if (!cl.admin_token_file.empty()) options.admin = AdminGate::FromFile(cl.admin_token_file);
  options.symbols = cl.symbols;
  Service service(options, config, *store, Print);
  service.Start();
  if (options.admin) Print(service.CrashPagesNotice());
  std::string listening = "listening";
  if (cl.https_port) listening += " https=" + std::to_string(service.https_port());
  if (cl.http_port) listening += " http=" + std::to_string(service.http_port());
  if (cl.proxy_port) listening += " proxy=" + std::to_string(service.proxy_port());
  Print(listening);

  int signal = 0;
  sigwait(&stop_signals, &signal);
  Print(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
  // The front gives requests in flight a bounded time, but a store may still
  // wait on a dead database; the process ends in time all the same. A report
  // caught then was never answered, so no client holds a key to it.
  std::thread([] {
    std::this_thread::sleep_for(kStopLimit);
    Print("stopping took too long; exiting now");
    std::_Exit(1);
  }).detach();
  service.Stop();
  Print("stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const CommandLine cl = Parse(argc, argv);

  // Request bodies, stored reports and pages run to megabytes. Mapped on
  // their own and returned when freed, they leave nothing behind; glibc's
  // default would move its threshold up after the first and keep them in the
  // heap, where each of the many threads' arenas would hold on to its share.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);

  // Every thread started from here on inherits the blocked set, so the stop
  // signals reach only the sigwait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);  // a client gone mid-reply is not the service's end

  try {
    return Run(cl, stop_signals);
  } catch (const std::exception& e) {
    std::cerr << "quorvane-service: " << e.what() << "\n";
    return 1;
  }
}
