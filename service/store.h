#pragma once
// Where reports and configuration requests are kept. The service talks to this
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

// One configuration request, kept so that the operator can see which program
// versions are out there.
struct CheckIn {
  std::int64_t received_ms = 0;
  std::optional<std::string> version;
  std::optional<std::string> union_key;
};

// The store could not do what was asked (connection lost, disk full, schema
// newer than this service). Absence is never reported this way.
class StoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// All operations may be called from many threads at once. Throw StoreError.
class ReportStore {
 public:
  virtual ~ReportStore() = default;

  // Stores the report durably before returning true. False, with nothing
  // stored, when a report with the same key exists already.
  virtual bool PutReport(const StoredReport& report) = 0;

  // The report of that key; nullopt when there is none.
  virtual std::optional<StoredReport> GetReport(std::string_view key) = 0;

  virtual void RecordCheckIn(const CheckIn& check_in) = 0;

  // The most recent configuration requests, newest first.
  virtual std::vector<CheckIn> RecentCheckIns(std::size_t limit) = 0;
};

// Keeps nothing and takes every report: the service's speed without storage,
// to compare against.
class NullStore final : public ReportStore {
 public:
  bool PutReport(const StoredReport&) override { return true; }
  std::optional<StoredReport> GetReport(std::string_view) override { return std::nullopt; }
  void RecordCheckIn(const CheckIn&) override {}
  std::vector<CheckIn> RecentCheckIns(std::size_t) override { return {}; }
};

}  // namespace quorvane::service
