#pragma once
// The store for many PCs: a PostgreSQL database reached through libpq.
#include <memory>
#include <string>

#include "service/store.h"

namespace quorvane::service {

// Keeps a small pool of connections; a connection that breaks is dropped and a
// fresh one opened for the next operation. Commits are durable as the server's
// synchronous_commit makes them (on by default).
class PostgresStore final : public ReportStore {
 public:
  // conninfo is a libpq connection string ("host=... port=... dbname=...").
  // Connects once and brings the schema up to date, under an advisory lock so
  // that services starting together migrate once. Throws StoreError.
  PostgresStore(std::string conninfo, std::size_t max_connections);
  ~PostgresStore() override;

  PostgresStore(const PostgresStore&) = delete;
  PostgresStore& operator=(const PostgresStore&) = delete;

  bool PutReport(const StoredReport& report) override;
  std::optional<StoredReport> GetReport(std::string_view key) override;
  void RecordCheckIn(const CheckIn& check_in) override;
  std::vector<CheckIn> RecentCheckIns(std::size_t limit) override;

  static constexpr int kSchemaVersion = 1;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace quorvane::service
