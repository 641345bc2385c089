#include "service/retention.h"

#include <string>

namespace quorvane::service {
namespace {

constexpr std::size_t kPurgeBatch = 500;

}  // namespace

PurgeCounts PurgeOldReports(ReportStore& store, int keep_days, std::chrono::system_clock::time_point now,
                            const std::atomic<bool>* stop) {
  const auto cutoff = now - std::chrono::hours(24) * keep_days;
  const std::int64_t before_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(cutoff.time_since_epoch()).count();
  const auto purge = [&](auto batch) {
    std::size_t total = 0;
    for (;;) {
      const std::size_t n = batch(before_ms, kPurgeBatch);
      total += n;
      if (n < kPurgeBatch || (stop && *stop)) return total;
    }
  };
  PurgeCounts counts;
  counts.reports = purge([&](std::int64_t before, std::size_t limit) { return store.PurgeReports(before, limit); });
  counts.crashes = purge([&](std::int64_t before, std::size_t limit) { return store.PurgeCrashes(before, limit); });
  return counts;
}

Retention::Retention(ReportStore& store, int keep_days, Log log, std::chrono::milliseconds period)
    : store_(store), keep_days_(keep_days), log_(std::move(log)), period_(period), thread_([this] { Run(); }) {}

Retention::~Retention() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

void Retention::Run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    try {
      const PurgeCounts n = PurgeOldReports(store_, keep_days_, std::chrono::system_clock::now(), &stopping_);
      if (n.reports > 0 || n.crashes > 0) {
        log_("deleted " + std::to_string(n.reports) + " reports and " + std::to_string(n.crashes) +
             " crash reports older than " + std::to_string(keep_days_) + " days");
      }
    } catch (const StoreError& e) {
      log_(std::string("error: old reports not deleted: ") + e.what());
    }
    lock.lock();
    wake_.wait_for(lock, period_, [&] { return stopping_.load(); });
  }
}

}  // namespace quorvane::service
