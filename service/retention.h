#pragma once
// Reports and crash reports are kept for a number of days and then deleted: once at start, and
// once a day after that.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>

#include "service/store.h"

namespace quorvane::service {

struct PurgeCounts {
  std::size_t reports = 0;
  std::size_t crashes = 0;
};

// Deletes every report and crash report received before now - keep_days, in
// batches, until none is left or stop becomes true; how many it deleted.
// Throws StoreError.
PurgeCounts PurgeOldReports(ReportStore& store, int keep_days, std::chrono::system_clock::time_point now,
                            const std::atomic<bool>* stop = nullptr);

class Retention {
 public:
  using Log = std::function<void(std::string_view line)>;

  // store must outlive the retention. Purges on a thread of its own at once
  // and then every period; a failed purge is logged and tried again at the
  // next.
  Retention(ReportStore& store, int keep_days, Log log, std::chrono::milliseconds period = std::chrono::hours(24));
  // Waits for a purge in progress to end.
  ~Retention();

  Retention(const Retention&) = delete;
  Retention& operator=(const Retention&) = delete;

 private:
  void Run();

  ReportStore& store_;
  const int keep_days_;
  const Log log_;
  const std::chrono::milliseconds period_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;  // last: started once the rest exists
};

}  // namespace quorvane::service
