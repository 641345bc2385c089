#include "tests/service/service_fixture.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "core/report.h"
#include "service/certificate.h"
#include "service/sqlite_store.h"
#include "vek/strings.h"

extern char** environ;

namespace quorvane::service::testing {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "qv-service.XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void WriteFile(const std::filesystem::path& file, std::string_view text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

std::string ConfigJson(const ServiceConfig& config) {
  return nlohmann::json{{"update", config.update}, {"noclean", config.noclean}, {"bankclean", config.bankclean}}
      .dump(2);
}

std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return std::move(text).str();
}

void SpyStore::Hold() {
  std::lock_guard lock(mutex_);
  held_ = true;
}

void SpyStore::Release() {
  {
    std::lock_guard lock(mutex_);
    held_ = false;
  }
  released_.notify_all();
}

void SpyStore::Write() {
  std::unique_lock lock(mutex_);
  released_.wait(lock, [&] { return !held_; });
  if (failing) throw StoreError("spy: failing as told");
}

bool SpyStore::PutReport(const StoredReport& report) {
  Write();
  ++puts;
  return inner_.PutReport(report);
}

void SpyStore::Read() {
  if (failing) throw StoreError("spy: failing as told");
}

std::optional<StoredReport> SpyStore::GetReport(std::string_view key) {
  Read();
  return inner_.GetReport(key);
}

std::size_t SpyStore::PurgeReports(std::int64_t received_before_ms, std::size_t limit) {
  Write();
  return inner_.PurgeReports(received_before_ms, limit);
}

bool SpyStore::PutCrash(const StoredCrash& crash) {
  Write();
  ++crash_puts;
  return inner_.PutCrash(crash);
}

std::optional<StoredCrash> SpyStore::GetCrash(std::string_view key) {
  Read();
  return inner_.GetCrash(key);
}

std::vector<CrashGroup> SpyStore::CrashGroups(std::size_t limit) {
  Read();
  return inner_.CrashGroups(limit);
}

std::vector<CrashSummary> SpyStore::CrashesWithSignature(std::string_view signature, std::size_t limit) {
  Read();
  return inner_.CrashesWithSignature(signature, limit);
}

std::size_t SpyStore::PurgeCrashes(std::int64_t received_before_ms, std::size_t limit) {
  Write();
  return inner_.PurgeCrashes(received_before_ms, limit);
}

void SpyStore::AddCheckIns(const std::vector<CheckInCount>& counts) {
  Write();
  inner_.AddCheckIns(counts);
}

std::vector<CheckInCount> SpyStore::CheckInCounts(std::string_view since_day) {
  return inner_.CheckInCounts(since_day);
}

TestService::TestService(std::string config_json, ReportStore* store, ServiceOptions options) {
  config_file_ = dir_.path() / "config.json";
  WriteFile(config_file_, config_json);
  if (!store) {
    owned_store_ = std::make_unique<SqliteStore>(dir_.path() / "reports.sqlite3");
    store = owned_store_.get();
  }
  spy_ = std::make_unique<SpyStore>(*store);
  const auto log = [this](std::string_view line) {
    std::lock_guard lock(log_mutex_);
    log_.emplace_back(line);
  };
  config_ = std::make_unique<ConfigSource>(config_file_, log);
  options.certificate = EnsureCertificate(dir_.path());
  if (options.network_threads == 0) options.network_threads = 2;
  options.store_threads = 4;
  service_ = std::make_unique<Service>(options, *config_, *spy_, log);
  service_->Start();
}

TestService::~TestService() {
  spy_->Release();
  service_->Stop();
}

Endpoint TestService::Http() const { return {service_->http_port(), std::nullopt}; }

Endpoint TestService::Https() const { return {service_->https_port(), dir_.path() / "cert.pem"}; }

std::vector<std::string> TestService::log() const {
  std::lock_guard lock(log_mutex_);
  return log_;
}

std::string ProgramReport::Body() const {
  using vek::JsonEscape;
  std::vector<std::u16string> records;
  for (const auto& p : processes) {
    records.push_back(u"{\"cate\":\"clean\",\"file\":\"" + JsonEscape(p.file) + u"\",\"state\":\"" +
                      vek::FromUtf8(std::to_string(p.state)) + u"\"}");
  }
  if (memory) {
    const auto n = [](std::uint64_t v) { return vek::FromUtf8(std::to_string(v)); };
    records.push_back(u"{\"cate\":\"memory\",\"old\":\"" + n((*memory)[0]) + u"\",\"new\":\"" + n((*memory)[1]) +
                      u"\",\"tot\":\"" + n((*memory)[2]) + u"\"}");
  }
  for (const auto& [clsid, item] : browser) {
    records.push_back(u"{\"cate\":\"browser\",\"clsid\":\"" + JsonEscape(clsid) + u"\",\"item\":\"" +
                      JsonEscape(item) + u"\"}");
  }
  for (const auto& [item, state] : start) {
    records.push_back(state.empty() ? u"{\"cate\":\"start\",\"item\":\"" + JsonEscape(item) + u"\"}"
                                    : core::StartRecord(item, state));
  }
  for (const auto& [name, publisher] : install) {
    records.push_back(u"{\"cate\":\"install\",\"displayname\":\"" + JsonEscape(name) + u"\",\"publisher\":\"" +
                      JsonEscape(publisher) + u"\"}");
  }
  std::u16string body = u"[";
  for (std::size_t i = 0; i < records.size(); ++i) body += (i ? u"," : u"") + records[i];
  body += u"]";
  return vek::ToUtf8(body);
}

ProgramReport SampleReport() {
  ProgramReport r;
  r.processes = {
      {u"%SystemRoot%\\System32\\svchost.exe", 1},
      {u"%SystemRoot%\\explorer.exe", 1},
      {u"%ProgramFiles(x86)%\\Wizvera\\Veraport20\\veraport.exe", -1},
      {u"C:\\Users\\홍길동\\AppData\\Local\\은행보안\\agent.exe", -1},
      {u"%ProgramFiles%\\IPinside\\I3GProc.exe", -2},
  };
  r.memory = std::array<std::uint64_t, 3>{2ull << 30, 7ull << 29, 8ull << 30};  // 2 GB, 3.5 GB, 8 GB
  r.browser = {{u"{8FD5B1C4-1111-4E3A-9F00-0123456789AB}", u"TouchEn Key BHO"}};
  r.start = {{u"IPinside LWS Agent", u"off"}, {u"V3 Lite", u"on"}, {u"KeySharp", u"stored"}, {u"Old Agent", u""},
             {u"Newer", u"later"}};
  r.install = {{u"MagicLine4NP 1.0.0.24", u"Dreamsecurity"},
               {u"Microsoft Edge", u"Microsoft Corporation"},
               {u"한글 2020", u"한글과컴퓨터"},
               {u"magicline4np", u""}};
  return r;
}

std::string ProgramCrash::UpperHex(std::uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string ProgramCrash::Body(const HexWriter& hex) const {
  using vek::JsonEscape;
  const auto text = [](const std::u16string& s) { return "\"" + vek::ToUtf8(JsonEscape(s)) + "\""; };
  const auto quoted = [&](std::uint64_t v) { return "\"" + hex(v) + "\""; };
  const auto list = [](const auto& items, const auto& one) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + one(items[i]);
    return out + "]";
  };
  const auto frame = [&](const Frame& f) {
    return "{\"module\":" + text(f.module) + ",\"offset\":" + quoted(f.offset) + "}";
  };
  std::string body = "{\"program\":" + text(program) + ",\"version\":" + text(version) +
                     ",\"unionkey\":" + text(unionkey) + ",\"windows\":" + text(windows) + ",\"arch\":" + text(arch);
  body += ",\"exception\":{\"code\":" + quoted(code) + ",\"module\":" + text(place.module) +
          ",\"offset\":" + quoted(place.offset) + ",\"thread\":" + std::to_string(thread) +
          ",\"info\":" + list(info, quoted) + "}";
  body += ",\"threads\":" + list(threads, [&](const Thread& t) {
            return "{\"id\":" + std::to_string(t.id) + ",\"crashed\":" + (t.crashed ? "true" : "false") +
                   ",\"frames\":" + list(t.frames, frame) + "}";
          });
  body += ",\"modules\":" + list(modules, [&](const Module& m) {
            return "{\"name\":" + text(m.name) + ",\"path\":" + text(m.path) + ",\"base\":" + quoted(m.base) +
                   ",\"size\":" + quoted(m.size) + ",\"version\":" + text(m.version) +
                   ",\"timestamp\":" + quoted(m.timestamp) + "}";
          });
  body += ",\"processes\":" + list(processes, [&](const Process& p) {
            return "{\"pid\":" + std::to_string(p.pid) + ",\"name\":" + text(p.name) + ",\"path\":" + text(p.path) +
                   "}";
          });
  return body + "}";
}

ProgramCrash SampleCrash() {
  ProgramCrash c;
  c.unionkey = u"0123456789abcdef0123456789abcdef01234567";
  c.place = {u"quorvane.exe", 0x1A2B0};
  c.thread = 1234;
  c.info = {0x1, 0x0};
  c.threads = {
      {1234, true, {{u"quorvane.exe", 0x1A2B0}, {u"quorvane.exe", 0x2F00}, {u"kernel32.dll", 0x17614}}},
      {1240, false, {{u"ntdll.dll", 0x9F2A4}, {u"", 0x7FF6A0001000}}},
  };
  c.modules = {
      {u"quorvane.exe", u"%ProgramFiles%\\Quorvane\\quorvane.exe", 0x140000000, 0x9C000, u"3.6.0.0", 0x675A1B2C},
      {u"ntdll.dll", u"%SystemRoot%\\System32\\ntdll.dll", 0x7FFE0000000, 0x1F8000, u"10.0.19041.3636", 0x5B1C2D3E},
      {u"kernel32.dll", u"%SystemRoot%\\System32\\kernel32.dll", 0x7FFD0000000, 0xBE000, u"10.0.19041.3636",
       0x1A2B3C4D},
  };
  c.processes = {
      {4, u"System", u""},
      {1888, u"quorvane.exe", u"%ProgramFiles%\\Quorvane\\quorvane.exe"},
      {2040, u"은행보안.exe", u"C:\\Users\\홍길동\\AppData\\Local\\은행보안\\은행보안.exe"},
  };
  return c;
}

std::string KeyOf(const std::string& reply) {
  const auto doc = nlohmann::json::parse(reply, nullptr, false);
  if (!doc.is_object() || !doc.contains("pk") || !doc["pk"].is_string()) return {};
  return doc["pk"].get<std::string>();
}

namespace {

// Runs argv to its end with output to the file; true when it exits 0.
bool RunToEnd(const std::vector<std::string>& argv, const std::filesystem::path& output) {
  Child child(argv, output);
  const int status = child.Wait();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Tail(const std::filesystem::path& file) {
  const std::string text = ReadFile(file);
  return text.size() > 600 ? text.substr(text.size() - 600) : text;
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const std::filesystem::path& output) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int rc = ::posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
}

Child::~Child() {
  if (pid_ > 0) StopWith(SIGKILL);
}

int Child::StopWith(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
  return Wait();
}

std::optional<int> Child::WaitFor(std::chrono::milliseconds time) {
  int status = 0;
  if (pid_ <= 0) return status;
  const auto until = std::chrono::steady_clock::now() + time;
  for (;;) {
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return status;
    }
    if (r < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= until) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int Child::Wait() {
  int status = 0;
  if (pid_ <= 0) return status;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return status;
}

int FreeLoopbackPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
    port = ntohs(addr.sin_port);
  }
  ::close(fd);
  return port;
}

long ProcessStatusKib(pid_t pid, std::string_view field) {
  std::istringstream text(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(text, line);) {
    if (line.starts_with(field)) return std::stol(line.substr(field.size()));
  }
  return -1;
}

namespace {

std::atomic<int> started_services{0};

std::vector<std::string> WithDefaults(const std::filesystem::path& data, std::vector<std::string> args) {
  std::filesystem::create_directories(data.parent_path());
  const auto has = [&](std::string_view option) { return std::find(args.begin(), args.end(), option) != args.end(); };
  if (!has("--https-port") && !has("--http-port") && !has("--proxy-port")) {
    args.insert(args.end(), {"--https-port", "0", "--http-port", "0"});
  }
  args.insert(args.begin(), {QV_SERVICE_EXE, "--data", data.string()});
  return args;
}

}  // namespace

ServiceProcess::ServiceProcess(const std::filesystem::path& dir, std::vector<std::string> args)
    : data_(dir / "data"),
      output_(dir / ("service." + std::to_string(::getpid()) + "." + std::to_string(++started_services) + ".log")),
      child_(WithDefaults(data_, std::move(args)), output_) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    std::istringstream text(ReadFile(output_));
    for (std::string line; std::getline(text, line);) {
      if (!line.starts_with("listening ")) continue;
      std::istringstream fields(line.substr(10));
      for (std::string field; fields >> field;) {
        const auto eq = field.find('=');
        if (eq != std::string::npos) ports_.emplace_back(field.substr(0, eq), std::stoi(field.substr(eq + 1)));
      }
      listening_ = true;
      return;
    }
    if (child_.WaitFor(std::chrono::milliseconds(20))) return;  // ended before listening
  }
}

std::string ServiceProcess::output() const { return ReadFile(output_); }

int ServiceProcess::port(std::string_view kind) const {
  for (const auto& [name, port] : ports_) {
    if (name == kind) return port;
  }
  return 0;
}

namespace {

// Replaces from, which must be there that many times: a shipped file that says
// it otherwise is refused rather than run with a production value left in.
bool Replace(std::string& text, std::string_view from, std::string_view to, int times, std::string& why) {
  int seen = 0;
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
    ++seen;
  }
  if (seen != times && why.empty()) {
    why = "the shipped configuration says this " + std::to_string(seen) + " times: " + std::string(from);
  }
  return seen == times;
}

bool Accepts(int port) {
  Connection c({port, std::nullopt}, std::chrono::seconds(1));
  return c.ok();
}

}  // namespace

NginxFront::NginxFront(const std::filesystem::path& dir, const std::vector<int>& instance_ports)
    : dir_(dir / "nginx") {
  if (!std::filesystem::exists(kExecutable)) {
    why_ = "nginx is not installed (scripts/test installs it)";
    return;
  }
  std::filesystem::create_directories(dir_);
  const auto tls = EnsureCertificate(dir_);
  certificate_ = tls.certificate;
  https_ = FreeLoopbackPort();
  http_ = FreeLoopbackPort();
  std::string site = ReadFile(std::filesystem::path(QUORVANE_SOURCE_DIR) / "service/deploy/quorvane.nginx.conf");
  const std::string upstream = "    server 127.0.0.1:8101 max_fails=1 fail_timeout=10s;\n"
                               "    server 127.0.0.1:8102 max_fails=1 fail_timeout=10s;\n";
  std::string servers;
  for (const int port : instance_ports) {
    servers += "    server 127.0.0.1:" + std::to_string(port) + " max_fails=1 fail_timeout=10s;\n";
  }
  const bool ok = Replace(site, "listen 443 ssl;", "listen 127.0.0.1:" + std::to_string(https_) + " ssl;", 1, why_) &&
                  Replace(site, "listen 80;", "listen 127.0.0.1:" + std::to_string(http_) + ";", 1, why_) &&
                  Replace(site, upstream, servers, 1, why_) &&
                  Replace(site, "/etc/quorvane/tls/fullchain.pem", tls.certificate.string(), 1, why_) &&
                  Replace(site, "/etc/quorvane/tls/privkey.pem", tls.private_key.string(), 1, why_) &&
                  Replace(site, "/var/log/nginx/quorvane.access.log", (dir_ / "access.log").string(), 2, why_);
  if (!ok) return;
  WriteFile(dir_ / "quorvane.conf", site);
  const std::string n = dir_.string();
  // As root, nginx hands its work to an unprivileged user, who could not reach
  // the temporary files in this owner-only folder.
  const std::string user = ::geteuid() == 0 ? "user root;\n" : "";
  WriteFile(dir_ / "nginx.conf", user + "daemon off;\nworker_processes auto;\npid " + n + "/nginx.pid;\nerror_log " + n +
                                      "/error.log info;\nevents { worker_connections 1024; }\nhttp {\n"
                                      "  client_body_temp_path " + n + "/body;\n  proxy_temp_path " + n +
                                      "/proxy;\n  fastcgi_temp_path " + n + "/fastcgi;\n  uwsgi_temp_path " + n +
                                      "/uwsgi;\n  scgi_temp_path " + n + "/scgi;\n  include " + n +
                                      "/quorvane.conf;\n}\n");
  child_ = std::make_unique<Child>(
      std::vector<std::string>{kExecutable, "-p", n, "-e", n + "/error.log", "-c", n + "/nginx.conf"}, dir_ / "out.log");
  for (int i = 0; i < 200 && !running_; ++i) {
    running_ = Accepts(https_) && Accepts(http_);
    if (!running_) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (!running_) why_ = "nginx did not start: " + ReadFile(dir_ / "error.log") + ReadFile(dir_ / "out.log");
}

NginxFront::~NginxFront() {
  if (!child_ || child_->pid() <= 0) return;
  // On SIGTERM the master takes its workers down before it ends; killed
  // outright, it would leave them running, holding the ports.
  ::kill(child_->pid(), SIGTERM);
  if (!child_->WaitFor(std::chrono::seconds(10))) child_->StopWith(SIGKILL);
}

std::string NginxFront::access_log() const { return ReadFile(dir_ / "access.log"); }

std::unique_ptr<PostgresCluster> PostgresCluster::Start(std::string& why) {
  std::unique_ptr<PostgresCluster> cluster(new PostgresCluster());
  std::error_code ec;
  for (const auto& version : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
    const auto bin = version.path() / "bin";
    if (std::filesystem::exists(bin / "initdb") && std::filesystem::exists(bin / "pg_ctl") && bin > cluster->bin_) {
      cluster->bin_ = bin;
    }
  }
  if (cluster->bin_.empty()) {
    why = "no PostgreSQL server binaries under /usr/lib/postgresql";
    return nullptr;
  }
  std::string pattern = "/tmp/qv-pg.XXXXXX";
  if (!::mkdtemp(pattern.data())) {
    why = "cannot make a temporary folder";
    return nullptr;
  }
  cluster->dir_ = pattern;
  if (::geteuid() == 0) {
    const passwd* pw = ::getpwnam("postgres");
    if (!pw || ::chown(cluster->dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) {
      why = "running as root and there is no postgres user to run the server as";
      return nullptr;
    }
    cluster->as_postgres_ = true;
  }
  cluster->port_ = FreeLoopbackPort();
  const auto as = [&](std::vector<std::string> argv) {
    if (cluster->as_postgres_) argv.insert(argv.begin(), {"runuser", "-u", "postgres", "--"});
    return argv;
  };
  const auto data = (cluster->dir_ / "data").string();
  const auto log = cluster->dir_ / "commands.log";
  if (!RunToEnd(as({(cluster->bin_ / "initdb").string(), "-D", data, "-A", "trust", "-U", "postgres", "-E", "UTF8",
                    "--locale=C", "--no-sync"}),
                log)) {
    why = "initdb failed: " + Tail(log);
    return nullptr;
  }
  cluster->server_options_ = "-p " + std::to_string(cluster->port_) + " -k " + cluster->dir_.string() +
                             " -c listen_addresses=127.0.0.1 -c fsync=off";
  if (!RunToEnd(as({(cluster->bin_ / "pg_ctl").string(), "-D", data, "-l", (cluster->dir_ / "server.log").string(),
                    "-w", "-t", "30", "-o", cluster->server_options_, "start"}),
                log)) {
    why = "the server did not start: " + Tail(cluster->dir_ / "server.log");
    return nullptr;
  }
  return cluster;
}

PostgresCluster::~PostgresCluster() {
  if (dir_.empty()) return;
  std::vector<std::string> stop{(bin_ / "pg_ctl").string(), "-D", (dir_ / "data").string(), "-m", "immediate", "-w",
                                "stop"};
  if (as_postgres_) stop.insert(stop.begin(), {"runuser", "-u", "postgres", "--"});
  if (std::filesystem::exists(dir_ / "data" / "postmaster.pid")) RunToEnd(stop, "/dev/null");
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

bool PostgresCluster::Restart() {
  std::vector<std::string> argv{(bin_ / "pg_ctl").string(), "-D", (dir_ / "data").string(), "-l",
                                (dir_ / "server.log").string(), "-w", "-t", "30", "-m", "fast", "-o",
                                server_options_, "restart"};
  if (as_postgres_) argv.insert(argv.begin(), {"runuser", "-u", "postgres", "--"});
  return RunToEnd(argv, dir_ / "commands.log");
}

std::string PostgresCluster::conninfo() const {
  return "host=127.0.0.1 port=" + std::to_string(port_) + " user=postgres dbname=postgres connect_timeout=10";
}

}  // namespace quorvane::service::testing
