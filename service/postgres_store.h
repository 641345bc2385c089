#pragma once
// The store for many PCs: a PostgreSQL database reached through libpq.
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "service/store.h"

namespace quorvane::service {

// The libpq connection parameters the store uses for conninfo: the operator's,
// with what a service needs where the operator said nothing, so that no wait on
// the database is unbounded and no commit is acknowledged before it is
// durable: connect_timeout, TCP keepalives, tcp_user_timeout, and in options a
// statement_timeout and synchronous_commit=on. Throws StoreError when conninfo
// cannot be read.
std::vector<std::pair<std::string, std::string>> PostgresConnectionParameters(const std::string& conninfo);

// Keeps a small pool of connections. An operation that fails on a pooled
// connection (one that may have died with a database restart) is tried once
// more on a fresh one. A report whose first try committed but whose answer
// was lost is recognised on the second and not stored twice; a check-in count
// could then be added twice, which costs nothing that matters.
class PostgresStore final : public ReportStore {
 public:
  // conninfo is a libpq connection string ("host=... port=... dbname=...") or
  // URI. Connects once and brings the schema up to date, under an advisory lock
  // so that services starting together migrate once. Throws StoreError.
  PostgresStore(std::string conninfo, std::size_t max_connections);
  ~PostgresStore() override;

  PostgresStore(const PostgresStore&) = delete;
  PostgresStore& operator=(const PostgresStore&) = delete;

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

  static constexpr int kSchemaVersion = 3;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quorvane::service
