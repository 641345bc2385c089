#pragma once
// Configuration requests counted off the reply path: the reply never waits for
// storage, and a store that is slow or down costs counts, never replies.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "service/store.h"

namespace quorvane::service {

class CheckInRecorder {
 public:
  using Log = std::function<void(std::string_view line)>;

  struct Options {
    // Distinct (day, version) pairs held between writes; a check-in that
    // would need another one is dropped and counted.
    std::size_t capacity = 4096;
    std::chrono::milliseconds interval{1000};  // between writes
  };

  // store must outlive the recorder.
  CheckInRecorder(ReportStore& store, Log log, Options options);
  // Writes what is pending, once, then stops.
  ~CheckInRecorder();

  CheckInRecorder(const CheckInRecorder&) = delete;
  CheckInRecorder& operator=(const CheckInRecorder&) = delete;

  // Counts one check-in; takes a lock for a moment, never waits on the store.
  void Record(std::int64_t received_ms, const std::optional<std::string>& version_header);

  // Writes what is pending now, on the caller's thread. A failed write puts
  // the counts back for the next one (within the capacity).
  void Flush();

  // Check-ins lost so far, because the queue was full or a write failed and
  // the queue had no room to take them back.
  std::uint64_t dropped() const;

 private:
  using Key = std::pair<std::string, std::string>;  // day, version
  void Run();
  // Adds to pending under the lock; false when it has no room for a new key.
  bool AddPending(const Key& key, std::int64_t count);

  ReportStore& store_;
  const Log log_;
  const Options options_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<Key, std::int64_t> pending_;
  std::uint64_t dropped_ = 0;
  std::uint64_t dropped_logged_ = 0;
  bool stopping_ = false;
  std::mutex flush_mutex_;  // one write at a time
  std::thread thread_;      // last: started once the rest exists
};

}  // namespace quorvane::service
