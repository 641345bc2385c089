// Both stores behind the same interface, each against a real database.
#include <set>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include "service/postgres_store.h"
#include "service/report_key.h"
#include "service/retention.h"
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

  static StoredCrash Crash(std::string signature, std::int64_t received_ms, std::string version = "3.6.0.0",
                           std::string arch = "x86_64") {
    return {NewReportKey(), received_ms, std::move(signature), std::move(version), std::move(arch), "10.0.19045",
            std::string(40, 'a'), SampleCrash().Body()};
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
        store->AddCheckIns({{"2024-05-0" + std::to_string(1 + i % 2), std::to_string(t), 1}});
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
  std::int64_t counted = 0;
  for (const auto& c : store->CheckInCounts("2024-01-01")) counted += c.count;
  EXPECT_EQ(counted, kThreads * kEach);
}

TEST_P(StoreTest, CrashesKeepEveryFieldAndGroupBySignatureNewestFirst) {
  auto store = Open();
  const std::string a = "0xc0000005 quorvane.exe+0x1a2b0", b = "0xc0000409 quorvane.exe+0x2f00",
                    c = "0xe06d7363 kernelbase.dll+0x3e49c";
  StoredCrash big = Crash(c, 1'000);
  big.body += std::string(1 << 20, ' ');
  big.union_key = "";
  const std::vector<StoredCrash> crashes{
      Crash(a, 5'000, "3.6.0.0"), Crash(a, 7'000, "3.6.0.1", "i686"), Crash(a, 6'000, "3.6.0.0"),
      Crash(b, 9'000, "3.6.0.1"), big, Crash(c, 2'000),
  };
  for (const auto& crash : crashes) ASSERT_TRUE(store->PutCrash(crash));
  StoredCrash again = crashes[0];
  again.body = "{}";
  EXPECT_FALSE(store->PutCrash(again)) << "a key is taken once";

  const auto read = store->GetCrash(big.key);
  ASSERT_TRUE(read);
  EXPECT_EQ(std::tie(read->key, read->received_ms, read->signature, read->version, read->arch, read->windows,
                     read->union_key, read->body),
            std::tie(big.key, big.received_ms, big.signature, big.version, big.arch, big.windows, big.union_key,
                     big.body));
  EXPECT_EQ(store->GetCrash(crashes[0].key)->body, crashes[0].body);
  EXPECT_FALSE(store->GetCrash(NewReportKey()));

  const auto groups = store->CrashGroups(10);
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0].signature, b);
  EXPECT_EQ(groups[1].signature, a);
  EXPECT_EQ(groups[2].signature, c);
  const CrashGroup& g = groups[1];
  EXPECT_EQ(g.count, 3);
  EXPECT_EQ(g.first_ms, 5'000);
  EXPECT_EQ(g.last_ms, 7'000);
  EXPECT_EQ(std::set<std::string>(g.versions.begin(), g.versions.end()), (std::set<std::string>{"3.6.0.0", "3.6.0.1"}));
  EXPECT_EQ(std::set<std::string>(g.arches.begin(), g.arches.end()), (std::set<std::string>{"i686", "x86_64"}));
  EXPECT_EQ(g.latest_key, crashes[1].key);
  EXPECT_EQ(groups[2].count, 2);
  EXPECT_EQ(groups[2].latest_key, crashes[5].key);
  EXPECT_EQ(store->CrashGroups(1).size(), 1u);

  const std::vector<CrashSummary> newest{{crashes[1].key, 7'000, "3.6.0.1", "i686", "10.0.19045"},
                                         {crashes[2].key, 6'000, "3.6.0.0", "x86_64", "10.0.19045"}};
  EXPECT_EQ(store->CrashesWithSignature(a, 2), newest);
  EXPECT_EQ(store->CrashesWithSignature(a, 10).size(), 3u);
  EXPECT_TRUE(store->CrashesWithSignature("0x1 nowhere+0x0", 10).empty());
}

TEST_P(StoreTest, CheckInCountsAddUpPerDayAndVersion) {
  auto store = Open();
  store->AddCheckIns({{"2024-05-01", "3.6.0.0", 2}, {"2024-05-01", "", 1}, {"2024-05-02", "3.6.0.0", 4}});
  store->AddCheckIns({{"2024-05-01", "3.6.0.0", 3}, {"2024-04-30", "other", 7}});
  store->AddCheckIns({});
  const std::vector<CheckInCount> expected{
      {"2024-05-01", "", 1}, {"2024-05-01", "3.6.0.0", 5}, {"2024-05-02", "3.6.0.0", 4}};
  EXPECT_EQ(store->CheckInCounts("2024-05-01"), expected);
}

TEST_P(StoreTest, PurgeDeletesOnlyReportsOlderThanTheCutoffInBatches) {
  auto store = Open();
  const auto now = std::chrono::system_clock::now();
  const auto days_ago = [&](int days) {
    return std::chrono::duration_cast<std::chrono::milliseconds>((now - std::chrono::hours(24) * days).time_since_epoch())
        .count();
  };
  std::vector<std::string> old_keys, kept_keys;
  for (int i = 0; i < 600; ++i) {  // more than one batch
    StoredReport r = Report("[]");
    r.received_ms = days_ago(181 + i % 30);
    ASSERT_TRUE(store->PutReport(r));
    if (i % 50 == 0) old_keys.push_back(r.key);
  }
  std::vector<std::string> old_crashes, kept_crashes;
  for (int i = 0; i < 520; ++i) {
    const StoredCrash c = Crash("0x1 a+0x" + std::to_string(i % 3), days_ago(181 + i % 7));
    ASSERT_TRUE(store->PutCrash(c));
    if (i % 100 == 0) old_crashes.push_back(c.key);
  }
  for (const int age : {0, 179, 180}) {  // a minute short of each age
    StoredReport r = Report("[]");
    r.received_ms = days_ago(age) + 60'000;
    ASSERT_TRUE(store->PutReport(r));
    kept_keys.push_back(r.key);
    const StoredCrash c = Crash("0x1 a+0x0", days_ago(age) + 60'000);
    ASSERT_TRUE(store->PutCrash(c));
    kept_crashes.push_back(c.key);
  }
  const PurgeCounts purged = PurgeOldReports(*store, 180, now);
  EXPECT_EQ(purged.reports, 600u);
  EXPECT_EQ(purged.crashes, 520u);
  for (const auto& k : old_keys) EXPECT_FALSE(store->GetReport(k)) << k;
  for (const auto& k : kept_keys) EXPECT_TRUE(store->GetReport(k)) << k;
  for (const auto& k : old_crashes) EXPECT_FALSE(store->GetCrash(k)) << k;
  for (const auto& k : kept_crashes) EXPECT_TRUE(store->GetCrash(k)) << k;
  ASSERT_EQ(store->CrashGroups(10).size(), 1u);
  EXPECT_EQ(store->CrashGroups(10)[0].count, 3);
  const PurgeCounts again = PurgeOldReports(*store, 180, now);
  EXPECT_EQ(again.reports + again.crashes, 0u);
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
  service.service().check_ins().Flush();
  const auto up = PostJson(client, "/report.php", SampleReport().Body());
  ASSERT_EQ(up->status, 200) << up->body;
  const auto page = Get(client, "/?report=" + KeyOf(up->body));
  EXPECT_EQ(page->status, 200);
  EXPECT_NE(page->body.find("id=\"ended-count\">2<"), std::string::npos);
  const auto counts = store->CheckInCounts("2000-01-01");
  ASSERT_EQ(counts.size(), 1u);
  EXPECT_EQ(counts[0].version, "3.6.0.0");
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreTest, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return info.param; });

TEST(PostgresStore, UnreachableServerIsAStoreError) {
  EXPECT_THROW(PostgresStore("host=127.0.0.1 port=1 dbname=x connect_timeout=2", 1), StoreError);
}

// The database going away under the service, as in a restart for an upgrade:
// the pooled connections are dead, and the next upload must still be stored.
TEST(PostgresStore, RestartBetweenTwoUploadsLosesNeither) {
  std::string why;
  auto cluster = PostgresCluster::Start(why);
  if (!cluster) GTEST_SKIP() << "PostgreSQL cannot be started here: " << why;
  PostgresStore store(cluster->conninfo(), 4);
  TestService service("{}", &store);
  const auto first = PostJson(service.Https(), "/report.php", SampleReport().Body());
  ASSERT_TRUE(first && first->status == 200);
  Get(service.Https(), "/?report=" + KeyOf(first->body));  // more connections into the pool
  ASSERT_TRUE(cluster->Restart()) << "the database did not restart";
  const auto second = PostJson(service.Https(), "/report.php", SampleReport().Body());
  ASSERT_TRUE(second);
  EXPECT_EQ(second->status, 200) << second->body;
  for (const auto& reply : {first, second}) {
    const auto page = Get(service.Https(), "/?report=" + KeyOf(reply->body));
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
  }
}

TEST(PostgresStore, ConnectionsGetTimeoutsKeepalivesAndDurableCommitsUnlessTheOperatorSaysOtherwise) {
  using Parameters = std::vector<std::pair<std::string, std::string>>;
  const auto value = [](const Parameters& p, std::string_view key) {
    for (const auto& [k, v] : p) {
      if (k == key) return v;
    }
    return std::string("(none)");
  };
  const Parameters plain = PostgresConnectionParameters("host=db.example port=5433 dbname=q");
  EXPECT_EQ(value(plain, "host"), "db.example");
  EXPECT_EQ(value(plain, "port"), "5433");
  EXPECT_EQ(value(plain, "connect_timeout"), "5");
  EXPECT_EQ(value(plain, "keepalives"), "1");
  EXPECT_EQ(value(plain, "tcp_user_timeout"), "20000");
  EXPECT_EQ(value(plain, "options"), "-c statement_timeout=15000 -c synchronous_commit=on");

  const Parameters own = PostgresConnectionParameters(
      "postgresql://q@db.example/q?connect_timeout=2&options=-c%20statement_timeout%3D500");
  EXPECT_EQ(value(own, "connect_timeout"), "2");
  EXPECT_EQ(value(own, "user"), "q");
  EXPECT_EQ(value(own, "options"), "-c statement_timeout=500 -c synchronous_commit=on");

  EXPECT_THROW(PostgresConnectionParameters("host='unterminated"), StoreError);
}

TEST(SqliteStore, OlderDatabaseKeepsItsReportsAndItsCheckInsAsCounts) {
  TempDir dir;
  const auto file = dir.path() / "reports.sqlite3";
  {
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
    // The first schema, as the first version of the service left it.
    ASSERT_EQ(sqlite3_exec(db.get(), R"sql(
CREATE TABLE reports (report_key TEXT PRIMARY KEY, received_ms INTEGER NOT NULL, version TEXT, union_key TEXT,
                      body TEXT NOT NULL);
CREATE INDEX reports_by_union_key ON reports (union_key, received_ms);
CREATE TABLE check_ins (id INTEGER PRIMARY KEY, received_ms INTEGER NOT NULL, version TEXT, union_key TEXT);
INSERT INTO reports VALUES ('AAAAAAAAAAAAAAAAAAAAAAAA', 1714521600000, '3.6.0.0', 'K', '[]');
INSERT INTO check_ins (received_ms, version, union_key) VALUES
  (1714521600000, '3.6.0.0', 'K1'), (1714521601000, '3.6.0.0', 'K2'), (1714521602000, NULL, NULL),
  (1714608000000, '3.6.0.0', 'K1');
PRAGMA user_version = 1;
)sql",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
  }
  SqliteStore store(file);
  EXPECT_TRUE(store.GetReport("AAAAAAAAAAAAAAAAAAAAAAAA"));
  EXPECT_TRUE(store.PutCrash({"BBBBBBBBBBBBBBBBBBBBBBBB", 1, "0x1 a+0x0", "3.6.0.0", "i686", "6.1.7601", "", "{}"}));
  const std::vector<CheckInCount> expected{
      {"2024-05-01", "", 1}, {"2024-05-01", "3.6.0.0", 2}, {"2024-05-02", "3.6.0.0", 1}};
  EXPECT_EQ(store.CheckInCounts("2024-01-01"), expected);
}

}  // namespace
}  // namespace quorvane::service::testing
