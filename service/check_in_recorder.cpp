#include "service/check_in_recorder.h"

#include <vector>

namespace quorvane::service {

CheckInRecorder::CheckInRecorder(ReportStore& store, Log log, Options options)
    : store_(store), log_(std::move(log)), options_(options), thread_([this] { Run(); }) {}

CheckInRecorder::~CheckInRecorder() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
  Flush();
}

bool CheckInRecorder::AddPending(const Key& key, std::int64_t count) {
  const auto it = pending_.find(key);
  if (it != pending_.end()) {
    it->second += count;
    return true;
  }
  if (pending_.size() >= options_.capacity) return false;
  pending_.emplace(key, count);
  return true;
}

void CheckInRecorder::Record(std::int64_t received_ms, const std::optional<std::string>& version_header) {
  const Key key{UtcDay(received_ms), CheckInVersion(version_header)};
  std::lock_guard lock(mutex_);
  if (!AddPending(key, 1)) ++dropped_;
}

std::uint64_t CheckInRecorder::dropped() const {
  std::lock_guard lock(mutex_);
  return dropped_;
}

void CheckInRecorder::Flush() {
  std::lock_guard one_at_a_time(flush_mutex_);
  std::map<Key, std::int64_t> batch;
  std::uint64_t newly_dropped = 0;
  {
    std::lock_guard lock(mutex_);
    batch.swap(pending_);
    newly_dropped = dropped_ - dropped_logged_;
    dropped_logged_ = dropped_;
  }
  if (newly_dropped > 0) log_("notice: " + std::to_string(newly_dropped) + " check-ins dropped: the queue was full");
  if (batch.empty()) return;
  std::vector<CheckInCount> counts;
  counts.reserve(batch.size());
  for (const auto& [key, count] : batch) counts.push_back({key.first, key.second, count});
  try {
    store_.AddCheckIns(counts);
  } catch (const StoreError& e) {
    log_(std::string("error: check-ins not written: ") + e.what());
    std::lock_guard lock(mutex_);
    for (const auto& [key, count] : batch) {
      if (!AddPending(key, count)) dropped_ += static_cast<std::uint64_t>(count);
    }
  }
}

void CheckInRecorder::Run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    wake_.wait_for(lock, options_.interval, [&] { return stopping_; });
    if (stopping_) break;
    lock.unlock();
    Flush();
    lock.lock();
  }
}

}  // namespace quorvane::service
