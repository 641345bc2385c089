// Load benchmark of report uploads on loopback.
//
//   quorvane-service-load [--reports N] [--clients N] [--rounds N] [--seconds N] [--service EXE]
//
// Starts the service twice on free loopback ports, each time with a fresh data
// folder: once taking reports without storing them (--store none: the same
// checking and reply, no storage), once with SQLite. Each run uploads N copies
// of a realistic report (300 process records, the memory record and 200
// add-on, startup and installed-program records, escaped as the program
// escapes them) from several clients over keep-alive http, and prints uploads
// per second, latencies, the ratio of the two rates, and the SQLite server's
// memory once all N reports are stored. Bounded by the report count and by a
// time limit per run.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>

#include "tests/service/service_fixture.h"

namespace {

using namespace quorvane::service::testing;
using Clock = std::chrono::steady_clock;

struct Options {
  int reports = 10000;
  int clients = 8;
  int rounds = 3;
  int seconds = 300;
  std::string service = QV_SERVICE_EXE;
};

struct Run {
  int uploads = 0;
  int failures = 0;
  double seconds = 0;
  double p50_ms = 0, p99_ms = 0;
  long rss_kib = 0, hwm_kib = 0;
  std::uintmax_t database_bytes = 0;
  std::string last_key;
};

ProgramReport RealisticReport() {
  ProgramReport r;
  const std::u16string system[] = {u"svchost.exe", u"RuntimeBroker.exe", u"conhost.exe", u"dllhost.exe",
                                   u"taskhostw.exe", u"sihost.exe", u"ctfmon.exe", u"WUDFHost.exe"};
  const std::u16string vendors[] = {u"AhnLab\\Safe Transaction\\ASDSvc.exe", u"Wizvera\\Veraport20\\veraport.exe",
                                    u"IPinside\\I3GProc.exe", u"INISAFE\\CrossEX\\CrossEXService.exe",
                                    u"RaonSecure\\TouchEn nxKey\\TKFWVT64.exe", u"Interezen\\IPinside\\I3GMainSvc.exe"};
  for (int i = 0; i < 300; ++i) {
    if (i % 3 != 2) {
      r.processes.push_back({u"%SystemRoot%\\System32\\" + system[i % 8], 1});
    } else if (i % 50 == 2) {
      r.processes.push_back({u"C:\\Users\\홍길동\\AppData\\Local\\은행보안\\agent" + std::u16string(1, u'0' + i % 10) +
                                 u".exe",
                             -2});
    } else {
      r.processes.push_back({u"%ProgramFiles(x86)%\\" + vendors[i % 6], -1});
    }
  }
  r.memory = std::array<std::uint64_t, 3>{3'221'225'472, 4'831'838'208, 17'179'869'184};
  for (int i = 0; i < 40; ++i) {
    r.browser.push_back({u"{8FD5B1C4-1111-4E3A-9F00-0123456789" + std::u16string(1, u'A' + i % 6) +
                             std::u16string(1, u'0' + i % 10) + u"}",
                         u"TouchEn Key Browser Helper " + std::u16string(1, u'0' + i % 10)});
  }
  for (int i = 0; i < 30; ++i) r.start.push_back(u"IPinside LWS Agent " + std::u16string(1, u'0' + i % 10));
  for (int i = 0; i < 130; ++i) {
    r.install.push_back({i % 13 == 0 ? u"MagicLine4NP 1.0.0." + std::u16string(1, u'0' + i % 10)
                                     : u"한글 프로그램 " + std::u16string(1, u'0' + i % 10),
                         u"한글과컴퓨터"});
  }
  return r;
}

long StatusField(pid_t pid, const char* field) {
  std::istringstream text(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(text, line);) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
  }
  return -1;
}

std::optional<int> WaitForHttpPort(const std::filesystem::path& output) {
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (Clock::now() < deadline) {
    std::istringstream text(ReadFile(output));
    for (std::string line; std::getline(text, line);) {
      int https = 0, http = 0;
      if (std::sscanf(line.c_str(), "listening https=%d http=%d", &https, &http) == 2) return https;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

Run Measure(const Options& options, const std::string& store, const std::string& body) {
  TempDir dir;
  const auto output = dir.path() / "service.log";
  Child service({options.service, "--https-port", "0", "--http-port", "0", "--data", (dir.path() / "data").string(),
                 "--store", store},
                output);
  const auto port = WaitForHttpPort(output);
  if (!port) {
    std::cerr << "the service did not start:\n" << ReadFile(output);
    std::exit(1);
  }

  std::atomic<int> next{0};
  std::mutex mutex;
  std::vector<double> latencies;
  Run run;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(options.seconds);
  std::vector<std::thread> clients;
  for (int c = 0; c < options.clients; ++c) {
    clients.emplace_back([&] {
      const Endpoint endpoint{*port, dir.path() / "data" / "cert.pem"};
      auto client = std::make_unique<Connection>(endpoint);
      std::vector<double> mine;
      int failures = 0;
      std::string key;
      while (next.fetch_add(1) < options.reports && Clock::now() < deadline) {
        const auto t0 = Clock::now();
        if (!client->ok()) client = std::make_unique<Connection>(endpoint);
        const auto res = client->Exchange(
            "POST", "/report.php", body,
            {{"User-Version", "3.6.0.0"}, {"User-UnionKey", "0A1B2C3D"}, {"Content-Type", "application/json"}});
        mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (res && res->status == 200) {
          key = KeyOf(res->body);
        } else {
          ++failures;
        }
      }
      std::lock_guard lock(mutex);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
      run.failures += failures;
      if (!key.empty()) run.last_key = key;
    });
  }
  for (auto& t : clients) t.join();
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.uploads = static_cast<int>(latencies.size()) - run.failures;
  std::sort(latencies.begin(), latencies.end());
  if (!latencies.empty()) {
    run.p50_ms = latencies[latencies.size() / 2];
    run.p99_ms = latencies[std::min(latencies.size() - 1, latencies.size() * 99 / 100)];
  }
  run.rss_kib = StatusField(service.pid(), "VmRSS:");
  run.hwm_kib = StatusField(service.pid(), "VmHWM:");
  if (store == "sqlite" && !run.last_key.empty()) {
    const auto page = Get({*port, dir.path() / "data" / "cert.pem"}, "/?report=" + run.last_key);
    if (!page || page->status != 200) {
      std::cerr << "a stored report does not show\n";
      std::exit(1);
    }
  }
  service.StopWith(SIGTERM);
  std::error_code ec;
  for (const auto& f : std::filesystem::directory_iterator(dir.path() / "data", ec)) {
    if (f.path().filename().string().rfind("reports.sqlite3", 0) == 0) run.database_bytes += f.file_size(ec);
  }
  return run;
}

void Print(int round, const char* name, const Run& r) {
  std::printf("%5d  %-7s %8d %7d %8.2f %10.1f %7.2f %7.2f %8.1f\n", round, name, r.uploads, r.failures, r.seconds,
              r.uploads / r.seconds, r.p50_ms, r.p99_ms, r.rss_kib / 1024.0);
  std::fflush(stdout);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view option = argv[i];
    if (option == "--reports") {
      options.reports = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--clients") {
      options.clients = std::clamp(std::atoi(argv[i + 1]), 1, 64);
    } else if (option == "--rounds") {
      options.rounds = std::clamp(std::atoi(argv[i + 1]), 1, 20);
    } else if (option == "--seconds") {
      options.seconds = std::clamp(std::atoi(argv[i + 1]), 1, 3600);
    } else if (option == "--service") {
      options.service = argv[i + 1];
    } else {
      std::cerr << "usage: quorvane-service-load [--reports N] [--clients N] [--rounds N] [--seconds N] "
                   "[--service EXE]\n";
      return 2;
    }
  }
  const ProgramReport report = RealisticReport();
  const std::string body = report.Body();
  std::printf("report: %zu process records, 1 memory record, %zu other records, %zu bytes\n", report.processes.size(),
              report.browser.size() + report.start.size() + report.install.size(), body.size());
  std::printf("%d uploads per run from %d keep-alive http clients on loopback, %d rounds, at most %d s per run\n\n",
              options.reports, options.clients, options.rounds, options.seconds);
  std::printf("%5s  %-7s %8s %7s %8s %10s %7s %7s %8s\n", "round", "store", "uploads", "failed", "seconds",
              "uploads/s", "p50 ms", "p99 ms", "RSS MiB");
  // Rounds alternate which store goes first, so that a neighbour's load on the
  // machine weighs on both alike; the medians are compared.
  std::vector<double> none_rates, sqlite_rates;
  int failures = 0;
  Run last_sqlite;
  for (int round = 1; round <= options.rounds; ++round) {
    for (const char* store : round % 2 ? std::array{"none", "sqlite"} : std::array{"sqlite", "none"}) {
      const Run run = Measure(options, store, body);
      Print(round, store, run);
      failures += run.failures;
      (std::string_view(store) == "none" ? none_rates : sqlite_rates).push_back(run.uploads / run.seconds);
      if (std::string_view(store) == "sqlite") last_sqlite = run;
    }
  }
  const double none = Median(none_rates), sqlite = Median(sqlite_rates);
  std::printf("\nmedian uploads/s: no store %.1f, SQLite %.1f; SQLite / no store = %.2f\n", none, sqlite,
              sqlite / none);
  std::printf("SQLite server after %d stored reports: VmRSS %.1f MiB (peak %.1f MiB), database %.1f MiB\n",
              last_sqlite.uploads, last_sqlite.rss_kib / 1024.0, last_sqlite.hwm_kib / 1024.0,
              last_sqlite.database_bytes / 1048576.0);
  return failures == 0 ? 0 : 1;
}
