// service/deploy/quorvane.nginx.conf as it is shipped (NginxFront moves only
// its ports, paths and certificate): nginx in front of two service instances
// on one private PostgreSQL database.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <signal.h>

#include "service/postgres_store.h"
#include "tests/service/service_fixture.h"

namespace quorvane::service::testing {
namespace {

using namespace std::chrono_literals;

class Deployment : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    cluster_ = PostgresCluster::Start(why);
    if (!cluster_) GTEST_SKIP() << "PostgreSQL cannot be started here: " << why;
    std::vector<int> ports;
    for (const char* name : {"a", "b"}) {
      instances_.push_back(std::make_unique<ServiceProcess>(
          dir_.path() / name, std::vector<std::string>{"--proxy-port", "0", "--store", "postgres", "--postgres",
                                                       cluster_->conninfo(), "--threads", "1"}));
      ASSERT_TRUE(instances_.back()->listening()) << instances_.back()->output();
      ports.push_back(instances_.back()->port("proxy"));
    }
    nginx_ = std::make_unique<NginxFront>(dir_.path(), ports);
    ASSERT_TRUE(nginx_->running()) << nginx_->why();
  }

  Endpoint Front() const { return nginx_->Https(); }

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
  std::unique_ptr<NginxFront> nginx_;
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
  EXPECT_EQ(Get(nginx_->Http(), "/api.init.php")->status, 200);
  EXPECT_EQ(Get(nginx_->Http(), "/?report=" + keys[0])->status, 404);
  EXPECT_EQ(PostJson(nginx_->Http(), "/report.php", SampleReport().Body())->status, 404);
  // nginx logs no report key.
  EXPECT_EQ(nginx_->access_log().find(keys[0]), std::string::npos);
}

TEST_F(Deployment, CrashReportsPassThroughNginxWithinTheirSizeOnly) {
  const std::string body = SampleCrash().Body();
  for (int i = 0; i < 4; ++i) {
    const auto reply = PostJson(Front(), "/crash.php", body, {{"User-Version", "3.6.0.0"}});
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200) << reply->body;
    EXPECT_EQ(reply->body, "{\"status\":\"ok\"}");
  }
  // Padding after the object keeps it valid JSON, so only its size refuses it.
  const auto big = PostJson(Front(), "/crash.php", body + std::string((1 << 20) + 1 - body.size(), ' '));
  ASSERT_TRUE(big);
  EXPECT_EQ(big->status, 413);
  EXPECT_EQ(PostJson(nginx_->Http(), "/crash.php", body)->status, 404);
  PostgresStore store(cluster_->conninfo(), 1);
  const auto groups = store.CrashGroups(10);
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].count, 4);
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
