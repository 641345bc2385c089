#pragma once
// Where reports, crash reports and configuration requests are kept. The service talks to this
// interface only; SQLite serves one machine, PostgreSQL many.
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane::service {

struct StoredReport {
  std::string key;
  std::int64_t received_ms = 0;           // Unix time, milliseconds
  std::optional<std::string> version;     // "User-Version", absent when not sent
  std::optional<std::string> union_key;   // "User-UnionKey", absent when not sent
  std::string body;                       // the JSON array as checked
};

// A crash report as checked, with what the crash pages list it by.
struct StoredCrash {
  std::string key;  // NewReportKey's form
  std::int64_t received_ms = 0;
  std::string signature;  // CrashSignature
  std::string version;    // the report's own fields
  std::string arch;
  std::string windows;
  std::string union_key;
  std::string body;  // the JSON object as checked
};

// The crashes of one signature.
struct CrashGroup {
  std::string signature;
  std::int64_t count = 0;
  std::int64_t first_ms = 0;
  std::int64_t last_ms = 0;
  std::vector<std::string> versions;  // each once, in no particular order
  std::vector<std::string> arches;
  std::string latest_key;
};

// One crash as the list of its signature shows it.
struct CrashSummary {
  std::string key;
  std::int64_t received_ms = 0;
  std::string version;
  std::string arch;
  std::string windows;
  bool operator==(const CrashSummary&) const = default;
};

// How many configuration requests came on one day from one program version:
// what the operator needs to see which versions are out there, without a row
// per request.
struct CheckInCount {
  std::string day;      // UTC, "YYYY-MM-DD"
  std::string version;  // CheckInVersion's label
  std::int64_t count = 0;
  bool operator==(const CheckInCount&) const = default;
};

// The label a check-in is counted under: a version number as the program
// sends it (up to four dot-separated numbers) as it is, "" when none was sent,
// and "other" for anything else, so that clients cannot fill the table with
// labels of their own.
std::string CheckInVersion(const std::optional<std::string>& header);

// A list the database aggregated with commas, split again; its values never
// hold one. Empty text is no item.
std::vector<std::string> SplitCommaList(std::string_view text);

// The UTC day of a Unix time in milliseconds, "YYYY-MM-DD".
std::string UtcDay(std::int64_t unix_ms);

// The store could not do what was asked (connection lost, disk full, schema
// newer than this service). Absence is never reported this way.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// All operations may be called from many threads at once. Throw StoreError.
// Whatever returns has been committed durably.
class ReportStore {
 public:
  virtual ~ReportStore() = default;

  // Stores the report durably before returning true. False, with nothing
  // stored, when a report with the same key exists already.
  virtual bool PutReport(const StoredReport& report) = 0;

  // The report of that key; nullopt when there is none.
  virtual std::optional<StoredReport> GetReport(std::string_view key) = 0;

  // Deletes at most limit reports received before that time; how many it
  // deleted. Called again until it deletes fewer, so that no single call
  // holds the database for long.
  virtual std::size_t PurgeReports(std::int64_t received_before_ms, std::size_t limit) = 0;

  // Stores the crash report durably before returning true. False, with
  // nothing stored, when one with the same key exists already.
  virtual bool PutCrash(const StoredCrash& crash) = 0;

  // The crash report of that key; nullopt when there is none.
  virtual std::optional<StoredCrash> GetCrash(std::string_view key) = 0;

  // The signatures seen, the most recently seen first, at most limit of them.
  virtual std::vector<CrashGroup> CrashGroups(std::size_t limit) = 0;

  // The crashes of one signature, the newest first, at most limit of them.
  virtual std::vector<CrashSummary> CrashesWithSignature(std::string_view signature, std::size_t limit) = 0;

  // Deletes at most limit crash reports received before that time, as
  // PurgeReports does reports; how many it deleted.
  virtual std::size_t PurgeCrashes(std::int64_t received_before_ms, std::size_t limit) = 0;

  // Adds the counts to those stored for the same day and version, all in one
  // transaction.
  virtual void AddCheckIns(const std::vector<CheckInCount>& counts) = 0;

  // The stored counts from that day on, by day and version.
  virtual std::vector<CheckInCount> CheckInCounts(std::string_view since_day) = 0;
};

// Keeps nothing and takes every report: the service's speed without storage,
// to compare against. Its keys lead nowhere, so the service uses it only when
// told twice (--store none --discard-reports).
class NullStore final : public ReportStore {
 public:
  bool PutReport(const StoredReport&) override { return true; }
  std::optional<StoredReport> GetReport(std::string_view) override { return std::nullopt; }
  std::size_t PurgeReports(std::int64_t, std::size_t) override { return 0; }
  bool PutCrash(const StoredCrash&) override { return true; }
  std::optional<StoredCrash> GetCrash(std::string_view) override { return std::nullopt; }
  std::vector<CrashGroup> CrashGroups(std::size_t) override { return {}; }
  std::vector<CrashSummary> CrashesWithSignature(std::string_view, std::size_t) override { return {}; }
  std::size_t PurgeCrashes(std::int64_t, std::size_t) override { return 0; }
  void AddCheckIns(const std::vector<CheckInCount>&) override {}
  std::vector<CheckInCount> CheckInCounts(std::string_view) override { return {}; }
};

}  // namespace quorvane::service
