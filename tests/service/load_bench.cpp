// Load benchmark of report uploads as the program makes them: every upload a
// new https connection (full TLS handshake, no session reuse) carrying one
// report of about 45 KB, from several clients at once, all on loopback.
//
//   quorvane-service-load [--uploads N] [--clients N] [--rounds N] [--seconds N]
//
// Three setups, each started afresh for every run, in turns so that a
// neighbour's load on the machine weighs on all alike:
//   none     the service with --store none --discard-reports: the same
//            checking and reply, nothing stored
//   sqlite   the single binary with its SQLite store
//   nginx    nginx (service/deploy/quorvane.nginx.conf) in front of two
//            instances on one private PostgreSQL cluster
// Prints uploads per second, p50 and p99 latency (connect to reply), the
// service's peak RSS, and the medians over the rounds. Then uploads one report
// of 4 MB to the SQLite setup and measures the service's peak RSS while it
// renders that report's page. Every run is bounded by its upload count and a
// time limit.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>


#include "tests/service/service_fixture.h"

namespace {

using namespace quorvane::service::testing;
using Clock = std::chrono::steady_clock;

struct Options {
  int uploads = 2000;
  int clients = 8;
  int rounds = 3;
  int seconds = 120;
};

struct Run {
  int uploads = 0;
  int failures = 0;
  double seconds = 0;
  double p50_ms = 0, p99_ms = 0;
  double peak_mib = 0;  // the service's peak RSS; for nginx, the larger instance's
};

// n records that escape and fold as the program writes them, in its order.
ProgramReport RealisticReport(int processes, int installs) {
  ProgramReport r;
  const std::u16string system[] = {u"svchost.exe", u"RuntimeBroker.exe", u"conhost.exe", u"dllhost.exe",
                                   u"taskhostw.exe", u"sihost.exe", u"ctfmon.exe", u"WUDFHost.exe"};
  const std::u16string vendors[] = {u"AhnLab\\Safe Transaction\\ASDSvc.exe", u"Wizvera\\Veraport20\\veraport.exe",
                                    u"IPinside\\I3GProc.exe", u"INISAFE\\CrossEX\\CrossEXService.exe",
                                    u"RaonSecure\\TouchEn nxKey\\TKFWVT64.exe", u"Interezen\\IPinside\\I3GMainSvc.exe"};
  const auto digit = [](int i) { return std::u16string(1, static_cast<char16_t>(u'0' + i % 10)); };
  for (int i = 0; i < processes; ++i) {
    if (i % 3 != 2) {
      r.processes.push_back({u"%SystemRoot%\\System32\\" + system[i % 8], 1});
    } else if (i % 50 == 2) {
      r.processes.push_back({u"C:\\Users\\홍길동\\AppData\\Local\\은행보안\\agent" + digit(i) + u".exe", -2});
    } else {
      r.processes.push_back({u"%ProgramFiles(x86)%\\" + vendors[i % 6], -1});
    }
  }
  r.memory = std::array<std::uint64_t, 3>{3'221'225'472, 4'831'838'208, 17'179'869'184};
  for (int i = 0; i < 40; ++i) {
    r.browser.push_back({u"{8FD5B1C4-1111-4E3A-9F00-01234567890" + digit(i) + u"}",
                         u"TouchEn Key Browser Helper " + digit(i)});
  }
  for (int i = 0; i < 30; ++i) r.start.push_back({u"IPinside LWS Agent " + digit(i), u"on"});
  for (int i = 0; i < installs; ++i) {
    r.install.push_back({i % 13 == 0 ? u"MagicLine4NP 1.0.0." + digit(i) : u"한글 프로그램 " + digit(i), u"한글과컴퓨터"});
  }
  return r;
}

[[noreturn]] void Fail(const std::string& why) {
  std::cerr << "quorvane-service-load: " << why << "\n";
  std::exit(1);
}

Run Measure(const Options& options, const Endpoint& endpoint, const std::string& body) {
  std::atomic<int> next{0};
  std::mutex mutex;
  std::vector<double> latencies;
  Run run;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::seconds(options.seconds);
  const Headers headers{{"User-Version", "3.6.0.0"}, {"User-UnionKey", "0A1B2C3D"}, {"Content-Type", "application/json"}};
  std::vector<std::thread> clients;
  for (int c = 0; c < options.clients; ++c) {
    clients.emplace_back([&] {
      std::vector<double> mine;
      int failures = 0;
      while (next.fetch_add(1) < options.uploads && Clock::now() < deadline) {
        const auto t0 = Clock::now();
        const auto reply = Fetch(endpoint, "POST", "/report.php", body, headers, std::chrono::seconds(30));
        mine.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (!reply || reply->status != 200 || KeyOf(reply->body).empty()) ++failures;
      }
      std::lock_guard lock(mutex);
      latencies.insert(latencies.end(), mine.begin(), mine.end());
      run.failures += failures;
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
  return run;
}

double PeakMib(pid_t pid) { return ProcessStatusKib(pid, "VmHWM:") / 1024.0; }

Run RunSingle(const Options& options, const std::vector<std::string>& args, const std::string& body) {
  TempDir dir;
  ServiceProcess service(dir.path(), args);
  if (!service.listening()) Fail("the service did not start:\n" + service.output());
  Run run = Measure(options, service.Https(), body);
  run.peak_mib = PeakMib(service.process().pid());
  return run;
}

Run RunNginx(const Options& options, const std::string& body) {
  TempDir dir;
  std::string why;
  const auto cluster = PostgresCluster::Start(why);
  if (!cluster) Fail("PostgreSQL cannot be started: " + why);
  std::vector<std::unique_ptr<ServiceProcess>> instances;
  std::vector<int> ports;
  for (const char* name : {"a", "b"}) {
    instances.push_back(std::make_unique<ServiceProcess>(
        dir.path() / name,
        std::vector<std::string>{"--proxy-port", "0", "--store", "postgres", "--postgres", cluster->conninfo()}));
    if (!instances.back()->listening()) Fail("an instance did not start:\n" + instances.back()->output());
    ports.push_back(instances.back()->port("proxy"));
  }
  NginxFront nginx(dir.path(), ports);
  if (!nginx.running()) Fail(nginx.why());
  Run run = Measure(options, nginx.Https(), body);
  for (const auto& instance : instances) run.peak_mib = std::max(run.peak_mib, PeakMib(instance->process().pid()));
  return run;
}

// The service's memory while it renders the page of one large report: its RSS
// just before the request, and its peak during it (the kernel's peak counter
// is reset first).
void MeasurePage(const std::string& body) {
  TempDir dir;
  ServiceProcess service(dir.path(), {"--https-port", "0"});
  if (!service.listening()) Fail("the service did not start:\n" + service.output());
  const auto up = PostJson(service.Https(), "/report.php", body);
  if (!up || up->status != 200) Fail("the 4 MB report was not taken: " + (up ? up->body : std::string("no reply")));
  const std::string key = KeyOf(up->body);
  const pid_t pid = service.process().pid();
  // Once, so that the allocator and the reader connection exist before the figure.
  if (!Get(service.Https(), "/?report=" + key)) Fail("no page");
  const long before = ProcessStatusKib(pid, "VmRSS:");
  WriteFile("/proc/" + std::to_string(pid) + "/clear_refs", "5");
  const auto t0 = Clock::now();
  const auto page = Get(service.Https(), "/?report=" + key);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  if (!page || page->status != 200) Fail("the 4 MB report's page did not come");
  const long peak = ProcessStatusKib(pid, "VmHWM:");
  const double mib = 1024.0 * 1024.0;
  std::printf("\npage of a %.2f MiB report (%.2f MiB of HTML) in %.0f ms: RSS %.1f MiB before, peak %.1f MiB while "
              "rendering, %.1f MiB more = %.2f x the report\n",
              body.size() / mib, page->body.size() / mib, ms, before / 1024.0, peak / 1024.0, (peak - before) / 1024.0,
              (peak - before) * 1024.0 / body.size());
}

void Print(int round, const char* name, const Run& r) {
  std::printf("%5d  %-7s %8d %7d %8.2f %10.1f %7.2f %7.2f %9.1f\n", round, name, r.uploads, r.failures, r.seconds,
              r.uploads / r.seconds, r.p50_ms, r.p99_ms, r.peak_mib);
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
    const int value = std::atoi(argv[i + 1]);
    if (option == "--uploads") {
      options.uploads = std::max(1, value);
    } else if (option == "--clients") {
      options.clients = std::clamp(value, 1, 64);
    } else if (option == "--rounds") {
      options.rounds = std::clamp(value, 1, 20);
    } else if (option == "--seconds") {
      options.seconds = std::clamp(value, 1, 3600);
    } else {
      std::cerr << "usage: quorvane-service-load [--uploads N] [--clients N] [--rounds N] [--seconds N]\n";
      return 2;
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
  const ProgramReport report = RealisticReport(300, 130);
  const std::string body = report.Body();
  std::printf("report: %zu process records, 1 memory record, %zu other records, %zu bytes\n", report.processes.size(),
              report.browser.size() + report.start.size() + report.install.size(), body.size());
  std::printf("%d uploads per run, each on a new https connection, from %d clients at once; %d rounds, at most %d s "
              "a run; %u cores\n\n",
              options.uploads, options.clients, options.rounds, options.seconds, std::thread::hardware_concurrency());
  std::printf("%5s  %-7s %8s %7s %8s %10s %7s %7s %9s\n", "round", "setup", "uploads", "failed", "seconds",
              "uploads/s", "p50 ms", "p99 ms", "peak MiB");

  const std::array<const char*, 3> setups{"none", "sqlite", "nginx"};
  std::array<std::vector<double>, 3> rates, p50s, p99s, peaks;
  int failures = 0;
  for (int round = 1; round <= options.rounds; ++round) {
    for (std::size_t k = 0; k < setups.size(); ++k) {
      const std::size_t s = (k + round - 1) % setups.size();
      Run run;
      if (s == 0) {
        run = RunSingle(options, {"--https-port", "0", "--store", "none", "--discard-reports"}, body);
      } else if (s == 1) {
        run = RunSingle(options, {"--https-port", "0"}, body);
      } else {
        run = RunNginx(options, body);
      }
      Print(round, setups[s], run);
      failures += run.failures;
      rates[s].push_back(run.uploads / run.seconds);
      p50s[s].push_back(run.p50_ms);
      p99s[s].push_back(run.p99_ms);
      peaks[s].push_back(run.peak_mib);
    }
  }
  std::printf("\nmedians over %d rounds:\n", options.rounds);
  for (std::size_t s = 0; s < setups.size(); ++s) {
    std::printf("  %-7s %8.1f uploads/s  p50 %6.2f ms  p99 %6.2f ms  peak RSS %6.1f MiB  cost %.2f x none\n",
                setups[s], Median(rates[s]), Median(p50s[s]), Median(p99s[s]), Median(peaks[s]),
                Median(rates[0]) / Median(rates[s]));
  }

  // A report just under the 4 MiB limit: the same PC with very many processes
  // and programs.
  const ProgramReport large = RealisticReport(24500, 17000);
  MeasurePage(large.Body());
  return failures == 0 ? 0 : 1;
}
