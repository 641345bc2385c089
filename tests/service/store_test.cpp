// Both stores behind the same interface, each against a real database.
#include <thread>

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include "service/postgres_store.h"
#include "service/report_key.h"
#include "service/sqlite_store.h"
#include "tests/service/service_fixture.h"

namespace quorvane::service::testing {
namespace {

class StoreTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "postgres") {
      std::string why;
      cluster_ = PostgresCluster::Start(why);
      if (!cluster_) GTEST_SKIP() << "PostgreSQL cannot be started here, so its store is not tested: " << why;
    }
  }

  // A store on this test's database; a second call opens the same database again.
  std::unique_ptr<ReportStore> Open() {
    if (cluster_) return std::make_unique<PostgresStore>(cluster_->conninfo(), 4);
    return std::make_unique<SqliteStore>(dir_.path() / "reports.sqlite3");
  }

  void SetSchemaVersion(int version) {
    if (cluster_) {
      std::unique_ptr<PGconn, decltype(&PQfinish)> c(PQconnectdb(cluster_->conninfo().c_str()), &PQfinish);
      const std::string sql = "UPDATE quorvane_schema SET version = " + std::to_string(version);
      std::unique_ptr<PGresult, decltype(&PQclear)> r(PQexec(c.get(), sql.c_str()), &PQclear);
      ASSERT_EQ(PQresultStatus(r.get()), PGRES_COMMAND_OK) << PQerrorMessage(c.get());
    } else {
      sqlite3* raw = nullptr;
      sqlite3_open((dir_.path() / "reports.sqlite3").c_str(), &raw);
      std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
      const std::string sql = "PRAGMA user_version = " + std::to_string(version);
      ASSERT_EQ(sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    }
  }

  static StoredReport Report(std::string body) {
    return {NewReportKey(), 1'700'000'000'123, "3.6.0.0", "ABCDEF0123", std::move(body)};
  }

  TempDir dir_;
  std::unique_ptr<PostgresCluster> cluster_;
};

TEST_P(StoreTest, KeepsEveryFieldAndTellsAbsentHeadersFromEmptyOnes) {
  auto store = Open();
  const StoredReport full = Report(SampleReport().Body() + std::string(1 << 20, ' '));
  StoredReport bare = Report("[]");
  bare.version = std::nullopt;
  bare.union_key = "";
  ASSERT_TRUE(store->PutReport(full));
  ASSERT_TRUE(store->PutReport(bare));

  const auto a = store->GetReport(full.key);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->key, full.key);
  EXPECT_EQ(a->received_ms, full.received_ms);
  EXPECT_EQ(a->version, "3.6.0.0");
  EXPECT_EQ(a->union_key, "ABCDEF0123");
  EXPECT_EQ(a->body, full.body);
  const auto b = store->GetReport(bare.key);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->version, std::nullopt);
  EXPECT_EQ(b->union_key, "");
  EXPECT_FALSE(store->GetReport(NewReportKey()));
}

TEST_P(StoreTest, SecondReportWithTheSameKeyIsRefusedAndTheFirstKept) {
  auto store = Open();
  StoredReport first = Report("[1]");
  StoredReport second = first;
  second.body = "[2]";
  EXPECT_TRUE(store->PutReport(first));
  EXPECT_FALSE(store->PutReport(second));
  EXPECT_EQ(store->GetReport(first.key)->body, "[1]");
}

TEST_P(StoreTest, ConcurrentWritesAllLand) {
  auto store = Open();
  constexpr int kThreads = 8, kEach = 25;
  const std::string padding(24 * 1024, ' ');
  std::vector<std::vector<std::string>> keys(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        // Large enough that the WAL passes its checkpoint size while writing.
        StoredReport r = Report("[\"" + std::to_string(t) + "/" + std::to_string(i) + "\"]" + padding);
        if (store->PutReport(r)) keys[t].push_back(r.key);
        store->RecordCheckIn({i, std::to_string(t), std::nullopt});
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(keys[t].size(), static_cast<std::size_t>(kEach));
    for (int i = 0; i < kEach; ++i) {
      const auto r = store->GetReport(keys[t][i]);
      ASSERT_TRUE(r);
      EXPECT_EQ(r->body, "[\"" + std::to_string(t) + "/" + std::to_string(i) + "\"]" + padding);
    }
  }
  EXPECT_EQ(store->RecentCheckIns(1000).size(), static_cast<std::size_t>(kThreads * kEach));
}

TEST_P(StoreTest, CheckInsComeNewestFirst) {
  auto store = Open();
  store->RecordCheckIn({1, std::nullopt, std::nullopt});
  store->RecordCheckIn({2, "3.6.0.0", "KEY"});
  store->RecordCheckIn({3, "3.7.0.0", std::nullopt});
  const auto rows = store->RecentCheckIns(2);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].received_ms, 3);
  EXPECT_EQ(rows[0].version, "3.7.0.0");
  EXPECT_EQ(rows[0].union_key, std::nullopt);
  EXPECT_EQ(rows[1].union_key, "KEY");
}

TEST_P(StoreTest, ReopeningKeepsReportsAndRefusesANewerSchema) {
  StoredReport r = Report("[]");
  {
    auto store = Open();
    ASSERT_TRUE(store->PutReport(r));
  }
  {
    auto store = Open();
    EXPECT_TRUE(store->GetReport(r.key));
  }
  SetSchemaVersion(99);
  try {
    Open();
    ADD_FAILURE() << "opened a database of a newer schema";
  } catch (const StoreError& e) {
    EXPECT_NE(std::string(e.what()).find("schema version 99"), std::string::npos) << e.what();
  }
}

TEST_P(StoreTest, ServesTheWholeRoadThroughTheService) {
  auto store = Open();
  TestService service("{}", store.get());
  const auto client = service.Https();
  EXPECT_EQ(Get(service.Http(), "/api.init.php", {{"User-Version", "3.6.0.0"}})->status, 200);
  const auto up = PostJson(client, "/report.php", SampleReport().Body());
  ASSERT_EQ(up->status, 200) << up->body;
  const auto page = Get(client, "/?report=" + KeyOf(up->body));
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("id=\"ended-count\">2<"), std::string::npos);
  EXPECT_EQ(store->RecentCheckIns(1).at(0).version, "3.6.0.0");
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return info.param; });

TEST(PostgresStore, UnreachableServerIsAStoreError) {
  EXPECT_THROW(PostgresStore("host=127.0.0.1 port=1 dbname=x connect_timeout=2", 1), StoreError);
}

}  // namespace
}  // namespace quorvane::service::testing
