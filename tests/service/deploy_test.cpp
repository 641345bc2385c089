// service/deploy/quorvane.nginx.conf as it is shipped, with only its ports,
// paths and certificate moved into a temporary folder: nginx in front of two
// service instances on one private PostgreSQL database.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "service/certificate.h"
#include "tests/service/service_fixture.h"

namespace quorvane::service::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kNginx = "/usr/sbin/nginx";

// Replaces from, which must be there that many times: a shipped file that
// says it otherwise fails the test rather than leaving a production value in.
void Replace(std::string& text, std::string_view from, std::string_view to, int times = 1) {
  int seen = 0;
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
    ++seen;
  }
  ASSERT_EQ(seen, times) << "the shipped configuration says this " << seen << " times: " << from;
}

bool Accepts(int port) {
  Connection c({port, std::nullopt}, 1s);
  return c.ok();
}

class Deployment : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kNginx)) GTEST_SKIP() << "nginx is not installed (scripts/test installs it)";
    std::string why;
    cluster_ = PostgresCluster::Start(why);
    if (!cluster_) GTEST_SKIP() << "PostgreSQL cannot be started here: " << why;
    for (const char* name : {"a", "b"}) {
      instances_.push_back(std::make_unique<ServiceProcess>(
          dir_.path() / name, std::vector<std::string>{"--proxy-port", "0", "--store", "postgres", "--postgres",
                                                       cluster_->conninfo(), "--threads", "1"}));
      ASSERT_TRUE(instances_.back()->listening()) << instances_.back()->output();
    }
    StartNginx();
  }

  void StartNginx() {
    const auto tls = EnsureCertificate(dir_.path());
    const auto nginx = dir_.path() / "nginx";
    std::filesystem::create_directories(nginx);
    https_ = FreeLoopbackPort();
    http_ = FreeLoopbackPort();
    std::string site = ReadFile(std::filesystem::path(QUORVANE_SOURCE_DIR) / "service/deploy/quorvane.nginx.conf");
    Replace(site, "listen 443 ssl;", "listen 127.0.0.1:" + std::to_string(https_) + " ssl;");
    Replace(site, "listen 80;", "listen 127.0.0.1:" + std::to_string(http_) + ";");
    Replace(site, "127.0.0.1:8101", "127.0.0.1:" + std::to_string(instances_[0]->port("proxy")));
    Replace(site, "127.0.0.1:8102", "127.0.0.1:" + std::to_string(instances_[1]->port("proxy")));
    Replace(site, "/etc/quorvane/tls/fullchain.pem", tls.certificate.string());
    Replace(site, "/etc/quorvane/tls/privkey.pem", tls.private_key.string());
    Replace(site, "/var/log/nginx/quorvane.access.log", (nginx / "access.log").string(), 2);
    WriteFile(nginx / "quorvane.conf", site);
    const std::string n = nginx.string();
    // As root, nginx hands its work to an unprivileged user, who could not
    // reach the temporary files in this owner-only folder.
    const std::string user = ::geteuid() == 0 ? "user root;\n" : "";
    WriteFile(nginx / "nginx.conf", user + "daemon off;\nworker_processes 1;\npid " + n + "/nginx.pid;\nerror_log " + n +
                                        "/error.log info;\nevents { worker_connections 256; }\nhttp {\n"
                                        "  client_body_temp_path " + n + "/body;\n  proxy_temp_path " + n +
                                        "/proxy;\n  fastcgi_temp_path " + n + "/fastcgi;\n  uwsgi_temp_path " + n +
                                        "/uwsgi;\n  scgi_temp_path " + n + "/scgi;\n  include " + n +
                                        "/quorvane.conf;\n}\n");
    nginx_ = std::make_unique<Child>(
        std::vector<std::string>{kNginx, "-p", n, "-e", n + "/error.log", "-c", n + "/nginx.conf"}, nginx / "out.log");
    for (int i = 0; i < 200 && !(Accepts(https_) && Accepts(http_)); ++i) std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(Accepts(https_)) << ReadFile(nginx / "error.log") << ReadFile(nginx / "out.log");
  }

  Endpoint Front() const { return {https_, dir_.path() / "cert.pem"}; }

  // An upload as the program makes it: a new https connection through nginx.
  std::string Upload() {
    const auto reply = PostJson(Front(), "/report.php", SampleReport().Body(), {{"User-Version", "3.6.0.0"}});
    return reply && reply->status == 200 ? KeyOf(reply->body) : std::string();
  }

  // The report page straight from an instance, as nginx would ask for it.
  int PageStatus(ServiceProcess& instance, const std::string& key) {
    const auto reply = Get({instance.port("proxy"), std::nullopt}, "/?report=" + key, {{"X-Forwarded-Proto", "https"}});
    return reply ? reply->status : 0;
  }

  TempDir dir_;
  std::unique_ptr<PostgresCluster> cluster_;
  std::vector<std::unique_ptr<ServiceProcess>> instances_;
  int https_ = 0, http_ = 0;
  std::unique_ptr<Child> nginx_;
};

TEST_F(Deployment, ReportsUploadedThroughNginxAreReadBackThroughEitherInstance) {
  std::vector<std::string> keys;
  for (int i = 0; i < 6; ++i) keys.push_back(Upload());
  for (const auto& key : keys) {
    ASSERT_FALSE(key.empty());
    EXPECT_EQ(PageStatus(*instances_[0], key), 200);
    EXPECT_EQ(PageStatus(*instances_[1], key), 200);
    const auto page = Get(Front(), "/?report=" + key);
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
  }
  for (const auto& instance : instances_) {
    EXPECT_NE(instance->output().find(" https POST /report.php 200 "), std::string::npos)
        << "nginx balanced nothing onto this instance:\n" << instance->output();
  }
  // Plain http through nginx reaches the configuration and nothing else.
  EXPECT_EQ(Get({http_, std::nullopt}, "/api.init.php")->status, 200);
  EXPECT_EQ(Get({http_, std::nullopt}, "/?report=" + keys[0])->status, 404);
  EXPECT_EQ(PostJson({http_, std::nullopt}, "/report.php", SampleReport().Body())->status, 404);
  // nginx logs no report key.
  EXPECT_EQ(ReadFile(dir_.path() / "nginx" / "access.log").find(keys[0]), std::string::npos);
}

TEST_F(Deployment, UploadsGoOnWhenAnInstanceIsKilledAndNoneIsLost) {
  constexpr int kUploads = 40;
  std::vector<std::string> keys(kUploads);
  std::atomic<int> done{0};
  std::thread uploader([&] {
    for (int i = 0; i < kUploads; ++i) {
      keys[i] = Upload();
      ++done;
    }
  });
  while (done < kUploads / 4) std::this_thread::sleep_for(5ms);
  instances_[0]->process().StopWith(SIGKILL);
  uploader.join();
  for (int i = 0; i < kUploads; ++i) {
    ASSERT_FALSE(keys[i].empty()) << "upload " << i << " of " << kUploads << " failed";
    EXPECT_EQ(PageStatus(*instances_[1], keys[i]), 200) << "upload " << i;
  }
}

}  // namespace
}  // namespace quorvane::service::testing
