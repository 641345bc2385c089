// The built executable as an operator runs it.
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "service/report_key.h"
#include "service/sqlite_store.h"
#include "tests/service/service_fixture.h"

namespace quorvane::service::testing {
namespace {

// Waits for the "listening" line; the two ports, or nullopt when the process
// ended or said nothing within the time.
std::optional<std::pair<int, int>> WaitForListening(const std::filesystem::path& output) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    std::istringstream text(ReadFile(output));
    for (std::string l; std::getline(text, l);) {
      int https = 0, http = 0, used = 0;
      if (std::sscanf(l.c_str(), "listening https=%d http=%d%n", &https, &http, &used) == 2 &&
          used == static_cast<int>(l.size())) {
        return std::make_pair(https, http);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

TEST(Executable, FirstStartSetsUpItsFolderServesAndStopsCleanly) {
  TempDir dir;
  const auto data = dir.path() / "data";
  const auto out = dir.path() / "out.log";
  std::string key, certificate;
  {
    Child service({QV_SERVICE_EXE, "--https-port", "0", "--http-port", "0", "--data", data.string()}, out);
    const auto ports = WaitForListening(out);
    ASSERT_TRUE(ports) << ReadFile(out);
    EXPECT_EQ(ReadFile(data / "config.json"), "{\n  \"update\": \"\",\n  \"noclean\": [],\n  \"bankclean\": []\n}\n");
    certificate = ReadFile(data / "cert.pem");

    const auto up = PostJson({ports->first, data / "cert.pem"}, "/report.php", SampleReport().Body());
    ASSERT_TRUE(up);
    key = KeyOf(up->body);
    ASSERT_FALSE(key.empty()) << up->body;
    EXPECT_EQ(Get({ports->second, std::nullopt}, "/api.init.php")->status, 200);

    // Nobody but the service's own user reads reports, keys or settings.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(data)) {
      struct stat st {};
      ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 077, 0u) << entry.path() << " is open to others: " << std::oct << (st.st_mode & 0777);
    }
    for (const char* file : {"reports.sqlite3", "reports.sqlite3-wal", "reports.sqlite3-shm", "key.pem"}) {
      EXPECT_TRUE(std::filesystem::exists(data / file)) << file;
    }
    struct stat folder {};
    ASSERT_EQ(::stat(data.c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);

    const int status = service.StopWith(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  const std::string log = ReadFile(out);
  // One line per request: time, client, scheme, method, path, status, bytes, duration.
  EXPECT_NE(log.find("Z 127.0.0.1 https POST /report.php 200 47 "), std::string::npos) << log;
  EXPECT_NE(log.find("Z 127.0.0.1 http GET /api.init.php 200 55 "), std::string::npos) << log;
  EXPECT_NE(log.find("stopped"), std::string::npos);

  // A second start keeps the certificate and the report of the first.
  const auto out2 = dir.path() / "out2.log";
  Child again({QV_SERVICE_EXE, "--https-port", "0", "--http-port", "0", "--data", data.string()}, out2);
  const auto ports = WaitForListening(out2);
  ASSERT_TRUE(ports);
  EXPECT_EQ(ReadFile(data / "cert.pem"), certificate);
  const auto page = Get({ports->first, data / "cert.pem"}, "/?report=" + key);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  const int status = again.StopWith(SIGINT);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Executable, AnsweredReportSurvivesAKill) {
  TempDir dir;
  const auto data = dir.path() / "data";
  std::string key;
  {
    Child service({QV_SERVICE_EXE, "--https-port", "0", "--http-port", "0", "--data", data.string()},
                  dir.path() / "first.log");
    const auto ports = WaitForListening(dir.path() / "first.log");
    ASSERT_TRUE(ports);
    key = KeyOf(PostJson({ports->first, data / "cert.pem"}, "/report.php", SampleReport().Body())->body);
    ASSERT_FALSE(key.empty());
    service.StopWith(SIGKILL);  // no shutdown, no checkpoint, no close
  }
  Child again({QV_SERVICE_EXE, "--https-port", "0", "--http-port", "0", "--data", data.string()},
              dir.path() / "second.log");
  const auto ports = WaitForListening(dir.path() / "second.log");
  ASSERT_TRUE(ports);
  const auto page = Get({ports->first, data / "cert.pem"}, "/?report=" + key);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
}

TEST(Executable, RefusesToStartOnWhatItCannotUse) {
  TempDir dir;
  const auto out = dir.path() / "out.log";
  WriteFile(dir.path() / "bad.json", R"({"update": "C:\\evil.exe"})");
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string says;
  };
  const Case cases[] = {
      {{"--http-port", "0"}, 2, "--data is needed"},
      {{"--data", dir.path().string()}, 2, "--https-port, --http-port or --proxy-port is needed"},
      {{"--https-port", "99999", "--http-port", "0", "--data", dir.path().string()}, 2, "needs a number"},
      {{"--https-port", "0", "--http-port", "0", "--data", dir.path().string(), "--config", (dir.path() / "bad.json").string()},
       1, "http:// or https://"},
      {{"--https-port", "0", "--http-port", "0", "--data", dir.path().string(), "--config", (dir.path() / "none.json").string()},
       1, "no such file"},
      {{"--https-port", "0", "--data", dir.path().string(), "--store", "none"}, 2, "add --discard-reports"},
      {{"--https-port", "0", "--data", dir.path().string(), "--keep-days", "0"}, 2, "needs a number from 1"},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(out);
    std::vector<std::string> argv{QV_SERVICE_EXE};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    Child service(argv, out);
    const int status = service.Wait();
    EXPECT_TRUE(WIFEXITED(status)) << c.says;
    EXPECT_EQ(WEXITSTATUS(status), c.exit_code) << c.says;
    EXPECT_NE(ReadFile(out).find(c.says), std::string::npos) << ReadFile(out);
  }
}

TEST(Executable, ReportsOlderThanTheKeptDaysAreDeletedAtStart) {
  TempDir dir;
  std::filesystem::create_directories(dir.path() / "data");
  const auto now = std::chrono::system_clock::now();
  const auto ms = [](std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  };
  StoredReport old{NewReportKey(), ms(now - std::chrono::hours(24 * 31)), "3.6.0.0", "K", "[]"};
  StoredReport recent{NewReportKey(), ms(now - std::chrono::hours(24 * 29)), "3.6.0.0", "K", "[]"};
  {
    SqliteStore store(dir.path() / "data" / "reports.sqlite3");
    ASSERT_TRUE(store.PutReport(old));
    ASSERT_TRUE(store.PutReport(recent));
  }
  ServiceProcess service(dir.path(), {"--https-port", "0", "--keep-days", "30"});
  ASSERT_TRUE(service.listening()) << service.output();
  int status = 0;
  for (int i = 0; i < 100 && (status = Get(service.Https(), "/?report=" + old.key)->status) == 200; ++i) {
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_EQ(status, 404) << "a report of 31 days is still there";
  EXPECT_EQ(Get(service.Https(), "/?report=" + recent.key)->status, 200);
  EXPECT_NE(service.output().find("deleted 1 reports and 0 crash reports older than 30 days"), std::string::npos) << service.output();
}

TEST(Executable, NoStoreAnswersOnlyWhenToldTwiceAndSaysSo) {
  TempDir dir;
  ServiceProcess service(dir.path(), {"--https-port", "0", "--store", "none", "--discard-reports"});
  ASSERT_TRUE(service.listening()) << service.output();
  EXPECT_NE(service.output().find("warning: --store none"), std::string::npos) << service.output();
  const auto up = PostJson(service.Https(), "/report.php", SampleReport().Body());
  ASSERT_TRUE(up);
  EXPECT_EQ(up->status, 200);
  EXPECT_FALSE(std::filesystem::exists(service.data() / "reports.sqlite3"));
}

// A second copy on ports already in use must refuse to start rather than share
// them, or the kernel would split the program's connections between the two.
TEST(Executable, SecondCopyOnTheSamePortsRefusesToStart) {
  TempDir dir;
  const auto out = dir.path() / "first.log", second = dir.path() / "second.log";
  Child first({QV_SERVICE_EXE, "--https-port", "0", "--http-port", "0", "--data", (dir.path() / "a").string()}, out);
  const auto ports = WaitForListening(out);
  ASSERT_TRUE(ports) << ReadFile(out);
  Child copy({QV_SERVICE_EXE, "--https-port", std::to_string(ports->first), "--http-port", "0", "--data",
              (dir.path() / "b").string()},
             second);
  const int status = copy.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << ReadFile(second);
  EXPECT_NE(ReadFile(second).find("cannot listen"), std::string::npos) << ReadFile(second);
  first.StopWith(SIGTERM);
}

TEST(Executable, StopFinishesWhatIsInFlightAndEndsWithinFiveSecondsWhateverClientsDo) {
  TempDir dir;
  std::string key;
  {
    ServiceProcess service(dir.path());
    ASSERT_TRUE(service.listening()) << service.output();
    Connection idle(service.Https());
    Connection slow(service.Https());
    ASSERT_TRUE(slow.Send("GET /api.init.php HTTP/1.1\r\nHost: q\r\nX-Slow: "));
    // The interim reply shows that the server has read the header and waits
    // for the body: the request is in flight when the signal comes.
    const std::string body = SampleReport().Body();
    Connection upload(service.Https());
    ASSERT_TRUE(upload.Send("POST /report.php HTTP/1.1\r\nHost: q\r\nExpect: 100-continue\r\nContent-Length: " +
                            std::to_string(body.size()) + "\r\n\r\n"));
    ASSERT_TRUE(upload.ReadUntil("\r\n\r\n", 5s));
    ASSERT_TRUE(upload.Send(body.substr(0, body.size() / 2)));

    ASSERT_EQ(::kill(service.process().pid(), SIGTERM), 0);
    EXPECT_TRUE(idle.ReadToClose(2s)) << "a connection waiting for a request is closed at once";
    ASSERT_TRUE(upload.Send(body.substr(body.size() / 2)));
    const auto reply = upload.Read(5s);
    ASSERT_TRUE(reply) << upload.error();
    EXPECT_EQ(reply->status, 200);
    EXPECT_FALSE(reply->keep_alive);
    key = KeyOf(reply->body);
    const auto status = service.process().WaitFor(5s);
    ASSERT_TRUE(status) << "still running 5 s after SIGTERM";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << service.output();
  }
  ServiceProcess again(dir.path());
  ASSERT_TRUE(again.listening()) << again.output();
  const auto page = Get(again.Https(), "/?report=" + key);
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200) << "the report answered while stopping was stored";
}

// What no program sends, each on a connection of its own: every one ends in a
// 4xx reply or a closed connection, the server stays up, and its memory stays
// within a few request bodies of where it began.
TEST(Executable, HostileInputIsRefusedAndMemoryStaysBounded) {
  TempDir dir;
  ServiceProcess service(dir.path());
  ASSERT_TRUE(service.listening()) << service.output();
  const auto up = PostJson(service.Https(), "/report.php", SampleReport().Body());
  ASSERT_TRUE(up && up->status == 200);
  ASSERT_EQ(Get(service.Https(), "/?report=" + KeyOf(up->body))->status, 200);
  const pid_t pid = service.process().pid();
  const long before = ProcessStatusKib(pid, "VmRSS:");

  const std::string post = "POST /report.php HTTP/1.1\r\nHost: q\r\n";
  std::string tiny_headers = "GET /api.init.php HTTP/1.1\r\n";
  for (int i = 0; i < 100000; ++i) tiny_headers += "a:b\r\n";
  std::string big_chunked = post + "Transfer-Encoding: chunked\r\n\r\n";
  const std::string chunk = "10000\r\n" + std::string(0x10000, '[') + "\r\n";
  while (big_chunked.size() < 40u << 20) big_chunked += chunk;
  struct Case {
    std::string name;
    std::string bytes;
    bool tls = true;
  };
  const Case cases[] = {
      {"truncated TLS handshake", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), false},
      {"not TLS at all", "GET /api.init.php HTTP/1.1\r\n\r\n", false},
      {"garbage before the request line", "\x01\x02garbage\r\nGET /api.init.php HTTP/1.1\r\nHost: q\r\n\r\n"},
      {"header line without a colon", "GET /api.init.php HTTP/1.1\r\nHost: q\r\nNoColonHere\r\n\r\n"},
      {"100,000 tiny headers", tiny_headers + "\r\n"},
      {"endless header line", "GET /api.init.php HTTP/1.1\r\nX-Long: " + std::string(8u << 20, 'a')},
      {"Content-Length -1", post + "Content-Length: -1\r\n\r\n[]"},
      {"Content-Length 2^64", post + "Content-Length: 18446744073709551616\r\n\r\n[]"},
      {"Content-Length and chunked", post + "Content-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n2\r\n[]\r\n0\r\n\r\n"},
      {"chunked and Content-Length", post + "Transfer-Encoding: chunked\r\nContent-Length: 2\r\n\r\n2\r\n[]\r\n0\r\n\r\n"},
      {"chunk size that overflows", post + "Transfer-Encoding: chunked\r\n\r\n1ffffffffffffffff\r\n[]\r\n0\r\n\r\n"},
      {"40 MB chunked body", big_chunked},
  };
  for (const auto& c : cases) {
    Connection connection(c.tls ? service.Https() : Endpoint{service.port("https"), std::nullopt});
    ASSERT_TRUE(connection.ok()) << c.name << ": " << connection.error();
    connection.Send(c.bytes);  // may be cut short by the refusal
    connection.FinishSending();
    const auto rest = connection.ReadToClose(15s);
    ASSERT_TRUE(rest) << c.name << ": the connection stayed open";
    if (!rest->empty() && c.tls) {
      const int status = rest->starts_with("HTTP/1.1 ") ? std::stoi(rest->substr(9, 3)) : 0;
      EXPECT_TRUE(status >= 400 && status < 500) << c.name << ": " << rest->substr(0, 100);
    }
  }
  const auto after = PostJson(service.Https(), "/report.php", SampleReport().Body());
  ASSERT_TRUE(after) << "the service is down";
  EXPECT_EQ(after->status, 200);
  constexpr long kBodyKib = 4 * 1024;
  EXPECT_LT(ProcessStatusKib(pid, "VmHWM:") - before, 3 * kBodyKib)
      << "KiB over the RSS before the hostile requests (" << before << ")";

  // A report at the limit whose every string is "&": a page five times its
  // size, rendered with little beside it.
  std::string ampersands = "[";
  while (ampersands.size() < (kBodyKib - 8) * 1024) {
    ampersands += "{\"cate\":\"install\",\"displayname\":\"" + std::string(2000, '&') + "\",\"publisher\":\"&\"},";
  }
  ampersands.back() = ']';
  const auto up2 = PostJson(service.Https(), "/report.php", ampersands);
  ASSERT_TRUE(up2 && up2->status == 200);
  const long page_before = ProcessStatusKib(pid, "VmRSS:");
  WriteFile("/proc/" + std::to_string(pid) + "/clear_refs", "5");  // the peak counter starts again
  const auto page = Get(service.Https(), "/?report=" + KeyOf(up2->body));
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_GT(page->body.size(), 4 * ampersands.size());
  // The page, the report it is made from, and room for reading it.
  EXPECT_LT(ProcessStatusKib(pid, "VmHWM:") - page_before, 8 * kBodyKib)
      << "KiB for a page of " << page->body.size() << " bytes";
}

}  // namespace
}  // namespace quorvane::service::testing
