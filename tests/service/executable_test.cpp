// The built executable as an operator runs it.
#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

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
    struct stat st {};
    ASSERT_EQ(::stat((data / "key.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    certificate = ReadFile(data / "cert.pem");

    httplib::SSLClient https("127.0.0.1", ports->first);
    https.set_ca_cert_path((data / "cert.pem").c_str());
    https.enable_server_certificate_verification(true);
    const auto up = https.Post("/report.php", SampleReport().Body(), "application/json");
    ASSERT_TRUE(up) << httplib::to_string(up.error());
    key = KeyOf(up->body);
    ASSERT_FALSE(key.empty()) << up->body;
    EXPECT_EQ(httplib::Client("127.0.0.1", ports->second).Get("/api.init.php")->status, 200);

    const int status = service.StopWith(SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  const std::string log = ReadFile(out);
  // One line per request: time, scheme, method, path, status, bytes, duration.
  EXPECT_NE(log.find("Z https POST /report.php 200 47 "), std::string::npos) << log;
  EXPECT_NE(log.find("Z http GET /api.init.php 200 55 "), std::string::npos) << log;
  EXPECT_NE(log.find("stopped"), std::string::npos);

  // A second start keeps the certificate and the report of the first.
  const auto out2 = dir.path() / "out2.log";
  Child again({QV_SERVICE_EXE, "--https-port", "0", "--http-port", "0", "--data", data.string()}, out2);
  const auto ports = WaitForListening(out2);
  ASSERT_TRUE(ports);
  EXPECT_EQ(ReadFile(data / "cert.pem"), certificate);
  const auto page = httplib::Client("127.0.0.1", ports->second).Get("/?report=" + key);
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
    key = KeyOf(httplib::Client("127.0.0.1", ports->second).Post("/report.php", SampleReport().Body(),
                                                                  "application/json")->body);
    ASSERT_FALSE(key.empty());
    service.StopWith(SIGKILL);  // no shutdown, no checkpoint, no close
  }
  Child again({QV_SERVICE_EXE, "--https-port", "0", "--http-port", "0", "--data", data.string()},
              dir.path() / "second.log");
  const auto ports = WaitForListening(dir.path() / "second.log");
  ASSERT_TRUE(ports);
  const auto page = httplib::Client("127.0.0.1", ports->second).Get("/?report=" + key);
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
      {{"--http-port", "0", "--data", dir.path().string()}, 2, "--https-port, --http-port and --data are needed"},
      {{"--https-port", "99999", "--http-port", "0", "--data", dir.path().string()}, 2, "needs a number"},
      {{"--https-port", "0", "--http-port", "0", "--data", dir.path().string(), "--config", (dir.path() / "bad.json").string()},
       1, "http:// or https://"},
      {{"--https-port", "0", "--http-port", "0", "--data", dir.path().string(), "--config", (dir.path() / "none.json").string()},
       1, "no such file"},
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

}  // namespace
}  // namespace quorvane::service::testing
