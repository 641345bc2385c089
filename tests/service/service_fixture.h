#pragma once
// What the service tests share: temporary folders, a service running in this
// process on loopback, reports written the way the program writes them, child
// processes, and a private PostgreSQL server.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "service/config.h"
#include "service/server.h"
#include "service/store.h"
#include "tests/service/http_client.h"

namespace quorvane::service::testing {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::filesystem::path& file, std::string_view text);
// The configuration file an operator would write for config.
std::string ConfigJson(const ServiceConfig& config);
std::string ReadFile(const std::filesystem::path& file);

// Passes everything to another store, counting the reports and crash reports it was asked to keep;
// fails every operation when told to, or holds every write until let go.
class SpyStore final : public ReportStore {
 public:
  explicit SpyStore(ReportStore& inner) : inner_(inner) {}
  std::atomic<int> puts{0};
  std::atomic<int> crash_puts{0};
  std::atomic<bool> failing{false};

  void Hold();
  void Release();

  bool PutReport(const StoredReport& report) override;
  std::optional<StoredReport> GetReport(std::string_view key) override;
  std::size_t PurgeReports(std::int64_t received_before_ms, std::size_t limit) override;
  bool PutCrash(const StoredCrash& crash) override;
  std::optional<StoredCrash> GetCrash(std::string_view key) override;
  std::vector<CrashGroup> CrashGroups(std::size_t limit) override;
  std::vector<CrashSummary> CrashesWithSignature(std::string_view signature, std::size_t limit) override;
  std::size_t PurgeCrashes(std::int64_t received_before_ms, std::size_t limit) override;
  void AddCheckIns(const std::vector<CheckInCount>& counts) override;
  std::vector<CheckInCount> CheckInCounts(std::string_view since_day) override;

 private:
  void Write();  // waits while held, throws while failing
  void Read();   // throws while failing
  ReportStore& inner_;
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
};

// The service in this process, with its own data folder, configuration file,
// SQLite store (unless another store is given) and certificate, listening on
// free loopback ports.
class TestService {
 public:
  explicit TestService(std::string config_json = "{}", ReportStore* store = nullptr, ServiceOptions options = {});
  ~TestService();

  Endpoint Http() const;
  // Trusts the generated certificate only, and checks the host name against it.
  Endpoint Https() const;
  Service& service() { return *service_; }

  SpyStore& store() { return *spy_; }
  const std::filesystem::path& data() const { return dir_.path(); }
  const std::filesystem::path& config_file() const { return config_file_; }
  std::vector<std::string> log() const;

 private:
  TempDir dir_;
  std::filesystem::path config_file_;
  std::unique_ptr<ReportStore> owned_store_;
  std::unique_ptr<SpyStore> spy_;
  std::unique_ptr<ConfigSource> config_;
  mutable std::mutex log_mutex_;
  std::vector<std::string> log_;
  std::unique_ptr<Service> service_;
};

// A report in the program's own format: every value through vek::JsonEscape,
// records in the program's order.
struct ProgramReport {
  struct Process {
    std::u16string file;
    int state;
  };
  std::vector<Process> processes;
  std::optional<std::array<std::uint64_t, 3>> memory;  // old, new, total
  std::vector<std::pair<std::u16string, std::u16string>> browser;  // clsid, item
  // item, state ("on", "off", "stored"); an empty state is left out, as
  // programs before the state did.
  std::vector<std::pair<std::u16string, std::u16string>> start;
  std::vector<std::pair<std::u16string, std::u16string>> install;  // display name, publisher
  std::string Body() const;
};

// A crash report in the program's own format: every string through
// vek::JsonEscape, concatenated in the format's order; hex written by hex
// (by default "0x" and upper-case digits).
struct ProgramCrash {
  struct Frame {
    std::u16string module;
    std::uint64_t offset = 0;
  };
  struct Thread {
    std::uint32_t id = 0;
    bool crashed = false;
    std::vector<Frame> frames;
  };
  struct Module {
    std::u16string name, path;
    std::uint64_t base = 0, size = 0;
    std::u16string version;
    std::uint64_t timestamp = 0;
  };
  struct Process {
    std::uint32_t pid = 0;
    std::u16string name, path;
  };
  std::u16string program = u"quorvane.exe";
  std::u16string version = u"3.6.0.0";
  std::u16string unionkey;
  std::u16string windows = u"10.0.19045";
  std::u16string arch = u"x86_64";
  std::uint64_t code = 0xC0000005;
  Frame place;  // the exception's module and offset
  std::uint32_t thread = 0;
  std::vector<std::uint64_t> info;
  std::vector<Thread> threads;
  std::vector<Module> modules;
  std::vector<Process> processes;

  using HexWriter = std::function<std::string(std::uint64_t)>;
  std::string Body(const HexWriter& hex = UpperHex) const;
  static std::string UpperHex(std::uint64_t value);
};

// An access violation in quorvane.exe on its main thread, a second thread
// waiting in ntdll, a few modules and processes with Korean names.
ProgramCrash SampleCrash();

// A typical PC: a few processes ended, kept and left running, Korean names,
// a plug-in among the installed programs.
ProgramReport SampleReport();

// The report key in an upload reply, or empty.
std::string KeyOf(const std::string& reply);

// A child process whose output goes to a file; killed and reaped when dropped.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::filesystem::path& output);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  // Sends the signal and waits for the end; the exit status as waitpid gives it.
  int StopWith(int signal);
  // Waits for the end; the exit status as waitpid gives it.
  int Wait();
  // Waits at most that long; the exit status, or nullopt while it still runs.
  std::optional<int> WaitFor(std::chrono::milliseconds time);

 private:
  pid_t pid_ = -1;
};

// A loopback port free at the time of asking.
int FreeLoopbackPort();

// A field of /proc/PID/status in KiB ("VmRSS:", "VmHWM:"); -1 when unreadable.
long ProcessStatusKib(pid_t pid, std::string_view field);

// The built service executable, started with a data folder under dir and the
// arguments given (or https and http on free ports when none name a port),
// waited for until it prints its "listening" line.
class ServiceProcess {
 public:
  explicit ServiceProcess(const std::filesystem::path& dir, std::vector<std::string> args = {});
  // Whether it is listening; output() says why not.
  bool listening() const { return listening_; }
  std::string output() const;
  // The port a listener got ("https", "http", "proxy"); 0 when there is none.
  int port(std::string_view kind) const;
  Endpoint Https() const { return {port("https"), data_ / "cert.pem"}; }
  Endpoint Http() const { return {port("http"), std::nullopt}; }
  const std::filesystem::path& data() const { return data_; }
  Child& process() { return child_; }

 private:
  std::filesystem::path data_;
  std::filesystem::path output_;  // a new file for each start
  Child child_;
  bool listening_ = false;
  std::vector<std::pair<std::string, int>> ports_;
};

// nginx with service/deploy/quorvane.nginx.conf as shipped, its ports, paths and
// certificate moved into dir, in front of service instances on the given
// loopback ports. Stopped when dropped.
class NginxFront {
 public:
  static constexpr const char* kExecutable = "/usr/sbin/nginx";

  NginxFront(const std::filesystem::path& dir, const std::vector<int>& instance_ports);
  ~NginxFront();
  NginxFront(const NginxFront&) = delete;
  NginxFront& operator=(const NginxFront&) = delete;
  // Whether it accepts connections on both ports; why() says why not.
  bool running() const { return running_; }
  const std::string& why() const { return why_; }
  pid_t pid() const { return child_ ? child_->pid() : -1; }
  Endpoint Https() const { return {https_, certificate_}; }
  Endpoint Http() const { return {http_, std::nullopt}; }
  std::string access_log() const;

 private:
  std::filesystem::path dir_;
  std::filesystem::path certificate_;
  int https_ = 0;
  int http_ = 0;
  bool running_ = false;
  std::string why_;
  std::unique_ptr<Child> child_;
};

// A PostgreSQL server of its own in a temporary folder, on a free loopback
// port, stopped and removed when dropped. Runs as the "postgres" user when the
// tests run as root, since the server refuses root.
class PostgresCluster {
 public:
  // nullptr, with the reason in why, when no server can be started here.
  static std::unique_ptr<PostgresCluster> Start(std::string& why);
  ~PostgresCluster();
  std::string conninfo() const;
  // Stops the server (fast: connections are cut) and starts it again on the
  // same port; false when it did not come back.
  bool Restart();

 private:
  PostgresCluster() = default;
  std::filesystem::path dir_;
  std::filesystem::path bin_;
  std::string server_options_;
  int port_ = 0;
  bool as_postgres_ = false;
};

}  // namespace quorvane::service::testing
