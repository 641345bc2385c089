#pragma once
// The embedded default store: one SQLite database file in WAL mode.
#include <filesystem>
#include <memory>

#include "service/store.h"

namespace quorvane::service {

// Writes go through one connection on a writer thread that commits whatever has
// queued up in one transaction (synchronous=FULL, so a commit is on disk when it
// returns). Concurrent uploads thus share one flush instead of queueing for one
// each. Reads use connections of their own, which WAL lets run beside the writer.
class SqliteStore final : public ReportStore {
 public:
  // Opens or creates the database, owner-only, and brings its schema up to
  // date. Throws StoreError, also for a schema newer than this service knows.
  explicit SqliteStore(const std::filesystem::path& file);
  // Finishes the writes already queued, then closes.
  ~SqliteStore() override;

  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

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
