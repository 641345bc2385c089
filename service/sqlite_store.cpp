#include "service/sqlite_store.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sqlite3.h>

namespace quorvane::service {
namespace {

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Step i brings the schema from version i to i + 1.
constexpr std::array<std::string_view, 3> kMigrations{
    R"sql(
CREATE TABLE reports (
  report_key  TEXT PRIMARY KEY,
  received_ms INTEGER NOT NULL,
  version     TEXT,
  union_key   TEXT,
  body        TEXT NOT NULL
);
CREATE INDEX reports_by_union_key ON reports (union_key, received_ms);
CREATE TABLE check_ins (
  id          INTEGER PRIMARY KEY,
  received_ms INTEGER NOT NULL,
  version     TEXT,
  union_key   TEXT
);
)sql",
    // A row per day and version instead of one per request; the requests
    // counted so far keep their count.
    R"sql(
CREATE TABLE check_in_days (
  day     TEXT NOT NULL,
  version TEXT NOT NULL,
  count   INTEGER NOT NULL,
  PRIMARY KEY (day, version)
) WITHOUT ROWID;
INSERT INTO check_in_days (day, version, count)
  SELECT strftime('%Y-%m-%d', received_ms / 1000, 'unixepoch'), coalesce(version, ''), count(*)
  FROM check_ins GROUP BY 1, 2;
DROP TABLE check_ins;
CREATE INDEX reports_by_time ON reports (received_ms);
)sql",
    R"sql(
CREATE TABLE crashes (
  crash_key   TEXT PRIMARY KEY,
  received_ms INTEGER NOT NULL,
  signature   TEXT NOT NULL,
  version     TEXT NOT NULL,
  arch        TEXT NOT NULL,
  windows     TEXT NOT NULL,
  union_key   TEXT NOT NULL,
  body        TEXT NOT NULL
);
CREATE INDEX crashes_by_signature ON crashes (signature, received_ms);
CREATE INDEX crashes_by_time ON crashes (received_ms);
)sql",
};
static_assert(kMigrations.size() == SqliteStore::kSchemaVersion);

[[noreturn]] void Throw(sqlite3* db, std::string_view what) {
  throw StoreError("sqlite: " + std::string(what) + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

void Exec(sqlite3* db, const std::string& sql) {
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) Throw(db, sql.substr(0, 40));
}

// Reports are nobody else's business. SQLite gives the -wal and -shm files the
// mode of the database file, so that one is made owner-only before SQLite
// opens it; files an older version left readable are closed too.
void MakePrivate(const std::filesystem::path& file) {
  struct Descriptor {
    int fd;
    ~Descriptor() {
      if (fd >= 0) ::close(fd);
    }
  } created{::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)};
  if (created.fd < 0 || ::fchmod(created.fd, 0600) != 0) {
    throw StoreError("sqlite: cannot create " + file.string() + ": " + std::strerror(errno));
  }
  for (const char* sidecar : {"-wal", "-shm", "-journal"}) ::chmod((file.string() + sidecar).c_str(), 0600);
}

Db Open(const std::filesystem::path& file) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
  Db db(raw);
  if (rc != SQLITE_OK) Throw(db.get(), "open " + file.string());
  sqlite3_busy_timeout(db.get(), 10000);
  return db;
}

Statement Prepare(sqlite3* db, std::string_view sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &raw, nullptr) !=
      SQLITE_OK) {
    Throw(db, "prepare");
  }
  return Statement(raw);
}

// Resets the statement when the operation ends, however it ends.
class Use {
 public:
  explicit Use(sqlite3_stmt* s) : s_(s) {}
  ~Use() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

 private:
  sqlite3_stmt* s_;
};

void BindText(sqlite3* db, sqlite3_stmt* s, int index, std::string_view text) {
  if (sqlite3_bind_text64(s, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8) != SQLITE_OK) {
    Throw(db, "bind");
  }
}

void BindOptional(sqlite3* db, sqlite3_stmt* s, int index, const std::optional<std::string>& text) {
  if (text) {
    BindText(db, s, index, *text);
  } else if (sqlite3_bind_null(s, index) != SQLITE_OK) {
    Throw(db, "bind");
  }
}

void BindInt(sqlite3* db, sqlite3_stmt* s, int index, std::int64_t v) {
  if (sqlite3_bind_int64(s, index, v) != SQLITE_OK) Throw(db, "bind");
}

std::string ColumnText(sqlite3_stmt* s, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, column));
  return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(s, column))) : std::string();
}

std::optional<std::string> ColumnOptional(sqlite3_stmt* s, int column) {
  if (sqlite3_column_type(s, column) == SQLITE_NULL) return std::nullopt;
  return ColumnText(s, column);
}

void Migrate(sqlite3* db) {
  Exec(db, "BEGIN IMMEDIATE");
  try {
    int have = 0;
    {
      // Finished before the migrations run: a statement still open would keep
      // DROP TABLE from going through.
      Statement version = Prepare(db, "PRAGMA user_version");
      if (sqlite3_step(version.get()) != SQLITE_ROW) Throw(db, "read schema version");
      have = sqlite3_column_int(version.get(), 0);
    }
    if (have > SqliteStore::kSchemaVersion) {
      throw StoreError("sqlite: the database has schema version " + std::to_string(have) +
                       ", newer than this service's " + std::to_string(SqliteStore::kSchemaVersion));
    }
    for (int v = have; v < SqliteStore::kSchemaVersion; ++v) Exec(db, std::string(kMigrations[v]));
    Exec(db, "PRAGMA user_version = " + std::to_string(SqliteStore::kSchemaVersion));
    Exec(db, "COMMIT");
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

struct Reader {
  Db db;
  Statement get_report;
  Statement check_in_counts;
  Statement get_crash;
  Statement crash_groups;
  Statement crashes_with_signature;
};

// WAL sizes, in frames of one page, at which the checkpointer starts a passive
// checkpoint, and past which (writes outpacing it) it makes the writer wait
// once so the log can start over.
constexpr int kCheckpointFrames = 1000;
constexpr int kRestartFrames = 16000;

}  // namespace

struct SqliteStore::State {
  // One write, done by the writer thread in a transaction with whatever else
  // has queued up meanwhile.
  struct Job {
    const StoredReport* report = nullptr;
    const StoredCrash* crash = nullptr;
    const std::vector<CheckInCount>* counts = nullptr;
    bool purge_crashes = false;
    std::int64_t purge_before_ms = 0;
    std::size_t purge_limit = 0;
    bool inserted = false;
    std::size_t purged = 0;
    std::exception_ptr error;
    bool done = false;
  };

  std::filesystem::path file;
  Db writer;
  Statement insert_report;
  Statement insert_crash;
  Statement add_check_ins;
  Statement purge_reports;
  Statement purge_crashes;

  std::mutex mutex;
  std::condition_variable work;
  std::condition_variable finished;
  std::deque<Job*> queue;
  bool stopping = false;

  std::mutex readers_mutex;
  std::vector<std::unique_ptr<Reader>> idle_readers;

  Db checkpointer;
  std::mutex checkpoint_mutex;
  std::condition_variable checkpoint_wanted;
  int wal_frames = 0;
  bool checkpoint_stopping = false;

  // Last: started once everything above exists.
  std::thread checkpoint_thread;
  std::thread writer_thread;

  // Called by SQLite on the writer thread after each commit.
  static int OnWalCommit(void* self, sqlite3*, const char*, int frames) {
    auto* state = static_cast<State*>(self);
    if (frames >= kCheckpointFrames) {
      {
        std::lock_guard lock(state->checkpoint_mutex);
        state->wal_frames = frames;
      }
      state->checkpoint_wanted.notify_one();
    }
    return SQLITE_OK;
  }

  // Copies committed pages from the WAL into the database file on a connection
  // of its own, so that commits do not stop for it as they would with SQLite's
  // automatic checkpoints.
  void CheckpointLoop() {
    for (;;) {
      int frames = 0;
      {
        std::unique_lock lock(checkpoint_mutex);
        checkpoint_wanted.wait(lock, [&] { return checkpoint_stopping || wal_frames > 0; });
        if (checkpoint_stopping) return;
        frames = std::exchange(wal_frames, 0);
      }
      const int mode = frames >= kRestartFrames ? SQLITE_CHECKPOINT_RESTART : SQLITE_CHECKPOINT_PASSIVE;
      // Busy or failing now is no loss: the pages stay safe in the WAL and the
      // next commit asks again.
      sqlite3_wal_checkpoint_v2(checkpointer.get(), nullptr, mode, nullptr, nullptr);
    }
  }

  void Run(Job& job) {
    {
      std::lock_guard lock(mutex);
      if (stopping) throw StoreError("sqlite: the store is closing");
      queue.push_back(&job);
    }
    work.notify_one();
    std::unique_lock lock(mutex);
    finished.wait(lock, [&] { return job.done; });
    if (job.error) std::rethrow_exception(job.error);
  }

  void WriterLoop() {
    for (;;) {
      std::deque<Job*> batch;
      {
        std::unique_lock lock(mutex);
        work.wait(lock, [&] { return stopping || !queue.empty(); });
        if (queue.empty()) return;
        batch.swap(queue);
      }
      Commit(batch);
      {
        std::lock_guard lock(mutex);
        for (Job* job : batch) job->done = true;
      }
      finished.notify_all();
    }
  }

  void Commit(const std::deque<Job*>& batch) {
    sqlite3* db = writer.get();
    try {
      Exec(db, "BEGIN IMMEDIATE");
      for (Job* job : batch) {
        if (job->report) {
          const StoredReport& r = *job->report;
          sqlite3_stmt* s = insert_report.get();
          Use use(s);
          BindText(db, s, 1, r.key);
          BindInt(db, s, 2, r.received_ms);
          BindOptional(db, s, 3, r.version);
          BindOptional(db, s, 4, r.union_key);
          BindText(db, s, 5, r.body);
          if (sqlite3_step(s) != SQLITE_DONE) Throw(db, "insert report");
          job->inserted = sqlite3_changes(db) == 1;
        } else if (job->crash) {
          const StoredCrash& c = *job->crash;
          sqlite3_stmt* s = insert_crash.get();
          Use use(s);
          BindText(db, s, 1, c.key);
          BindInt(db, s, 2, c.received_ms);
          BindText(db, s, 3, c.signature);
          BindText(db, s, 4, c.version);
          BindText(db, s, 5, c.arch);
          BindText(db, s, 6, c.windows);
          BindText(db, s, 7, c.union_key);
          BindText(db, s, 8, c.body);
          if (sqlite3_step(s) != SQLITE_DONE) Throw(db, "insert crash");
          job->inserted = sqlite3_changes(db) == 1;
        } else if (job->counts) {
          for (const CheckInCount& c : *job->counts) {
            sqlite3_stmt* s = add_check_ins.get();
            Use use(s);
            BindText(db, s, 1, c.day);
            BindText(db, s, 2, c.version);
            BindInt(db, s, 3, c.count);
            if (sqlite3_step(s) != SQLITE_DONE) Throw(db, "add check-ins");
          }
        } else {
          sqlite3_stmt* s = job->purge_crashes ? purge_crashes.get() : purge_reports.get();
          Use use(s);
          BindInt(db, s, 1, job->purge_before_ms);
          BindInt(db, s, 2, static_cast<std::int64_t>(job->purge_limit));
          if (sqlite3_step(s) != SQLITE_DONE) Throw(db, "purge");
          job->purged = static_cast<std::size_t>(sqlite3_changes(db));
        }
      }
      Exec(db, "COMMIT");
    } catch (...) {
      const auto error = std::current_exception();
      if (!sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      for (Job* job : batch) job->error = error;
    }
  }

  std::unique_ptr<Reader> OpenReader() {
    auto reader = std::make_unique<Reader>();
    reader->db = Open(file);
    reader->get_report = Prepare(reader->db.get(),
                                 "SELECT received_ms, version, union_key, body FROM reports WHERE report_key = ?1");
    reader->check_in_counts = Prepare(
        reader->db.get(), "SELECT day, version, count FROM check_in_days WHERE day >= ?1 ORDER BY day, version");
    reader->get_crash = Prepare(reader->db.get(),
                                "SELECT received_ms, signature, version, arch, windows, union_key, body FROM crashes "
                                "WHERE crash_key = ?1");
    reader->crash_groups = Prepare(reader->db.get(),
                                   "SELECT signature, count(*), min(received_ms), max(received_ms), "
                                   "group_concat(DISTINCT version), group_concat(DISTINCT arch), "
                                   "(SELECT crash_key FROM crashes AS latest WHERE latest.signature = crashes.signature "
                                   " ORDER BY received_ms DESC, crash_key DESC LIMIT 1) "
                                   "FROM crashes GROUP BY signature ORDER BY max(received_ms) DESC, signature LIMIT ?1");
    reader->crashes_with_signature = Prepare(reader->db.get(),
                                             "SELECT crash_key, received_ms, version, arch, windows FROM crashes "
                                             "WHERE signature = ?1 ORDER BY received_ms DESC, crash_key DESC LIMIT ?2");
    return reader;
  }

  // A reader connection for the caller's use, returned to the idle ones when
  // the lease ends.
  class Lease {
   public:
    explicit Lease(State& state) : state_(state) {
      {
        std::lock_guard lock(state_.readers_mutex);
        if (!state_.idle_readers.empty()) {
          reader_ = std::move(state_.idle_readers.back());
          state_.idle_readers.pop_back();
        }
      }
      if (!reader_) reader_ = state_.OpenReader();
    }
    ~Lease() {
      std::lock_guard lock(state_.readers_mutex);
      state_.idle_readers.push_back(std::move(reader_));
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Reader* operator->() const { return reader_.get(); }

   private:
    State& state_;
    std::unique_ptr<Reader> reader_;
  };
};

SqliteStore::SqliteStore(const std::filesystem::path& file) : state_(std::make_unique<State>()) {
  state_->file = file;
  MakePrivate(file);
  state_->writer = Open(file);
  sqlite3* db = state_->writer.get();
  {
    Statement mode = Prepare(db, "PRAGMA journal_mode = WAL");
    if (sqlite3_step(mode.get()) != SQLITE_ROW || ColumnText(mode.get(), 0) != "wal") Throw(db, "switch to WAL");
  }
  Exec(db, "PRAGMA synchronous = FULL");
  Exec(db, "PRAGMA journal_size_limit = 67108864");
  Migrate(db);
  state_->insert_report = Prepare(db,
                                  "INSERT INTO reports (report_key, received_ms, version, union_key, body) "
                                  "VALUES (?1, ?2, ?3, ?4, ?5) ON CONFLICT (report_key) DO NOTHING");
  state_->add_check_ins = Prepare(db,
                                  "INSERT INTO check_in_days (day, version, count) VALUES (?1, ?2, ?3) "
                                  "ON CONFLICT (day, version) DO UPDATE SET count = count + excluded.count");
  state_->purge_reports = Prepare(db,
                                  "DELETE FROM reports WHERE report_key IN "
                                  "(SELECT report_key FROM reports WHERE received_ms < ?1 LIMIT ?2)");
  state_->insert_crash = Prepare(db,
                                 "INSERT INTO crashes (crash_key, received_ms, signature, version, arch, windows, "
                                 "union_key, body) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) "
                                 "ON CONFLICT (crash_key) DO NOTHING");
  state_->purge_crashes = Prepare(db,
                                  "DELETE FROM crashes WHERE crash_key IN "
                                  "(SELECT crash_key FROM crashes WHERE received_ms < ?1 LIMIT ?2)");
  state_->checkpointer = Open(file);
  Exec(state_->checkpointer.get(), "PRAGMA synchronous = FULL");
  sqlite3_wal_hook(db, &State::OnWalCommit, state_.get());  // replaces the automatic checkpoints
  state_->checkpoint_thread = std::thread([state = state_.get()] { state->CheckpointLoop(); });
  state_->writer_thread = std::thread([state = state_.get()] { state->WriterLoop(); });
}

SqliteStore::~SqliteStore() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->work.notify_one();
  state_->writer_thread.join();
  {
    std::lock_guard lock(state_->checkpoint_mutex);
    state_->checkpoint_stopping = true;
  }
  state_->checkpoint_wanted.notify_one();
  state_->checkpoint_thread.join();
}

bool SqliteStore::PutReport(const StoredReport& report) {
  State::Job job;
  job.report = &report;
  state_->Run(job);
  return job.inserted;
}

void SqliteStore::AddCheckIns(const std::vector<CheckInCount>& counts) {
  if (counts.empty()) return;
  State::Job job;
  job.counts = &counts;
  state_->Run(job);
}

std::size_t SqliteStore::PurgeReports(std::int64_t received_before_ms, std::size_t limit) {
  State::Job job;
  job.purge_before_ms = received_before_ms;
  job.purge_limit = limit;
  state_->Run(job);
  return job.purged;
}

bool SqliteStore::PutCrash(const StoredCrash& crash) {
  State::Job job;
  job.crash = &crash;
  state_->Run(job);
  return job.inserted;
}

std::size_t SqliteStore::PurgeCrashes(std::int64_t received_before_ms, std::size_t limit) {
  State::Job job;
  job.purge_crashes = true;
  job.purge_before_ms = received_before_ms;
  job.purge_limit = limit;
  state_->Run(job);
  return job.purged;
}

std::optional<StoredCrash> SqliteStore::GetCrash(std::string_view key) {
  State::Lease reader(*state_);
  sqlite3* db = reader->db.get();
  sqlite3_stmt* s = reader->get_crash.get();
  Use use(s);
  BindText(db, s, 1, key);
  const int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return std::nullopt;
  if (rc != SQLITE_ROW) Throw(db, "read crash");
  StoredCrash crash;
  crash.key = std::string(key);
  crash.received_ms = sqlite3_column_int64(s, 0);
  crash.signature = ColumnText(s, 1);
  crash.version = ColumnText(s, 2);
  crash.arch = ColumnText(s, 3);
  crash.windows = ColumnText(s, 4);
  crash.union_key = ColumnText(s, 5);
  crash.body = ColumnText(s, 6);
  return crash;
}

std::vector<CrashGroup> SqliteStore::CrashGroups(std::size_t limit) {
  State::Lease reader(*state_);
  sqlite3* db = reader->db.get();
  sqlite3_stmt* s = reader->crash_groups.get();
  Use use(s);
  BindInt(db, s, 1, static_cast<std::int64_t>(limit));
  std::vector<CrashGroup> groups;
  for (int rc; (rc = sqlite3_step(s)) != SQLITE_DONE;) {
    if (rc != SQLITE_ROW) Throw(db, "read crash groups");
    groups.push_back({ColumnText(s, 0), sqlite3_column_int64(s, 1), sqlite3_column_int64(s, 2),
                      sqlite3_column_int64(s, 3), SplitCommaList(ColumnText(s, 4)), SplitCommaList(ColumnText(s, 5)),
                      ColumnText(s, 6)});
  }
  return groups;
}

std::vector<CrashSummary> SqliteStore::CrashesWithSignature(std::string_view signature, std::size_t limit) {
  State::Lease reader(*state_);
  sqlite3* db = reader->db.get();
  sqlite3_stmt* s = reader->crashes_with_signature.get();
  Use use(s);
  BindText(db, s, 1, signature);
  BindInt(db, s, 2, static_cast<std::int64_t>(limit));
  std::vector<CrashSummary> crashes;
  for (int rc; (rc = sqlite3_step(s)) != SQLITE_DONE;) {
    if (rc != SQLITE_ROW) Throw(db, "read crashes");
    crashes.push_back(
        {ColumnText(s, 0), sqlite3_column_int64(s, 1), ColumnText(s, 2), ColumnText(s, 3), ColumnText(s, 4)});
  }
  return crashes;
}

std::optional<StoredReport> SqliteStore::GetReport(std::string_view key) {
  State::Lease reader(*state_);
  sqlite3* db = reader->db.get();
  sqlite3_stmt* s = reader->get_report.get();
  Use use(s);
  BindText(db, s, 1, key);
  const int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return std::nullopt;
  if (rc != SQLITE_ROW) Throw(db, "read report");
  StoredReport report;
  report.key = std::string(key);
  report.received_ms = sqlite3_column_int64(s, 0);
  report.version = ColumnOptional(s, 1);
  report.union_key = ColumnOptional(s, 2);
  report.body = ColumnText(s, 3);
  return report;
}

std::vector<CheckInCount> SqliteStore::CheckInCounts(std::string_view since_day) {
  State::Lease reader(*state_);
  sqlite3* db = reader->db.get();
  sqlite3_stmt* s = reader->check_in_counts.get();
  Use use(s);
  BindText(db, s, 1, since_day);
  std::vector<CheckInCount> rows;
  for (int rc; (rc = sqlite3_step(s)) != SQLITE_DONE;) {
    if (rc != SQLITE_ROW) Throw(db, "read check-ins");
    rows.push_back({ColumnText(s, 0), ColumnText(s, 1), sqlite3_column_int64(s, 2)});
  }
  return rows;
}

}  // namespace quorvane::service
