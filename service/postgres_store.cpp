#include "service/postgres_store.h"

#include <array>
#include <condition_variable>
#include <mutex>
#include <span>
#include <vector>

#include <libpq-fe.h>

namespace quorvane::service {
namespace {

struct ConnectionCloser {
  void operator()(PGconn* c) const { PQfinish(c); }
};
using Connection = std::unique_ptr<PGconn, ConnectionCloser>;

struct ResultClearer {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultClearer>;

// Any constant will do, as long as it is this service's alone.
constexpr long long kMigrationLock = 0x51756f7276616e65;  // "Quorvane"

// Step i brings the schema from version i to i + 1.
constexpr std::array<std::string_view, 1> kMigrations{
    R"sql(
CREATE TABLE reports (
  report_key  text PRIMARY KEY,
  received_ms bigint NOT NULL,
  version     text,
  union_key   text,
  body        text NOT NULL
);
CREATE INDEX reports_by_union_key ON reports (union_key, received_ms);
CREATE TABLE check_ins (
  id          bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  received_ms bigint NOT NULL,
  version     text,
  union_key   text
);
)sql",
};
static_assert(kMigrations.size() == PostgresStore::kSchemaVersion);

std::string Trimmed(const char* message) {
  std::string s = message ? message : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

[[noreturn]] void Throw(PGconn* c, std::string_view what) {
  throw StoreError("postgres: " + std::string(what) + ": " + Trimmed(PQerrorMessage(c)));
}

// Parameters travel as text; nullptr is SQL NULL. libpq reads text parameters
// up to their terminating NUL, so they point into std::strings.
using Params = std::span<const char* const>;

const char* OrNull(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

Result Run(PGconn* c, const char* sql, Params params, ExecStatusType expect, std::string_view what) {
  Result r(params.empty() ? PQexec(c, sql)
                          : PQexecParams(c, sql, static_cast<int>(params.size()), nullptr, params.data(), nullptr,
                                         nullptr, 0));
  if (!r || PQresultStatus(r.get()) != expect) Throw(c, what);
  return r;
}

std::optional<std::string> Optional(PGresult* r, int row, int column) {
  if (PQgetisnull(r, row, column)) return std::nullopt;
  return std::string(PQgetvalue(r, row, column), static_cast<std::size_t>(PQgetlength(r, row, column)));
}

std::int64_t Int64(PGresult* r, int row, int column) { return std::stoll(PQgetvalue(r, row, column)); }

Connection Connect(const std::string& conninfo) {
  Connection c(PQconnectdb(conninfo.c_str()));
  if (!c) throw StoreError("postgres: connect: out of memory");
  if (PQstatus(c.get()) != CONNECTION_OK) Throw(c.get(), "connect");
  if (PQsetClientEncoding(c.get(), "UTF8") != 0) Throw(c.get(), "set client encoding");
  return c;
}

void Migrate(PGconn* c) {
  Run(c, "BEGIN", {}, PGRES_COMMAND_OK, "begin");
  try {
    const std::string lock = "SELECT pg_advisory_xact_lock(" + std::to_string(kMigrationLock) + ")";
    Run(c, lock.c_str(), {}, PGRES_TUPLES_OK, "lock schema");
    Run(c, "CREATE TABLE IF NOT EXISTS quorvane_schema (version integer NOT NULL)", {}, PGRES_COMMAND_OK,
        "create schema table");
    Result version = Run(c, "SELECT max(version) FROM quorvane_schema", {}, PGRES_TUPLES_OK, "read schema version");
    const int have = PQgetisnull(version.get(), 0, 0) ? 0 : std::stoi(PQgetvalue(version.get(), 0, 0));
    if (have > PostgresStore::kSchemaVersion) {
      throw StoreError("postgres: the database has schema version " + std::to_string(have) +
                       ", newer than this service's " + std::to_string(PostgresStore::kSchemaVersion));
    }
    for (int v = have; v < PostgresStore::kSchemaVersion; ++v) {
      Run(c, std::string(kMigrations[v]).c_str(), {}, PGRES_COMMAND_OK, "migrate");
    }
    const std::string set = "DELETE FROM quorvane_schema; INSERT INTO quorvane_schema VALUES (" +
                            std::to_string(PostgresStore::kSchemaVersion) + ")";
    Run(c, set.c_str(), {}, PGRES_COMMAND_OK, "record schema version");
    Run(c, "COMMIT", {}, PGRES_COMMAND_OK, "commit");
  } catch (...) {
    Result(PQexec(c, "ROLLBACK"));
    throw;
  }
}

}  // namespace

struct PostgresStore::State {
  std::string conninfo;
  std::size_t max_connections = 1;
  std::mutex mutex;
  std::condition_variable returned;
  std::vector<Connection> idle;
  std::size_t open = 0;  // idle and leased

  // A connection for one operation. One that has broken is closed when the
  // lease ends instead of going back to the pool.
  class Lease {
   public:
    explicit Lease(State& state) : state_(state) {
      std::unique_lock lock(state_.mutex);
      state_.returned.wait(lock, [&] { return !state_.idle.empty() || state_.open < state_.max_connections; });
      if (!state_.idle.empty()) {
        connection_ = std::move(state_.idle.back());
        state_.idle.pop_back();
        return;
      }
      ++state_.open;
      lock.unlock();
      try {
        connection_ = Connect(state_.conninfo);
      } catch (...) {
        lock.lock();
        --state_.open;
        lock.unlock();
        state_.returned.notify_one();
        throw;
      }
    }
    ~Lease() {
      {
        std::lock_guard lock(state_.mutex);
        if (PQstatus(connection_.get()) == CONNECTION_OK && PQtransactionStatus(connection_.get()) == PQTRANS_IDLE) {
          state_.idle.push_back(std::move(connection_));
        } else {
          --state_.open;
        }
      }
      state_.returned.notify_one();
      connection_.reset();
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    PGconn* get() const { return connection_.get(); }

   private:
    State& state_;
    Connection connection_;
  };
};

PostgresStore::PostgresStore(std::string conninfo, std::size_t max_connections) : state_(std::make_unique<State>()) {
  state_->conninfo = std::move(conninfo);
  state_->max_connections = max_connections > 0 ? max_connections : 1;
  State::Lease c(*state_);
  Migrate(c.get());
}

PostgresStore::~PostgresStore() = default;

bool PostgresStore::PutReport(const StoredReport& report) {
  State::Lease c(*state_);
  const std::string received = std::to_string(report.received_ms);
  const std::array<const char*, 5> params{report.key.c_str(), received.c_str(), OrNull(report.version),
                                          OrNull(report.union_key), report.body.c_str()};
  Result r = Run(c.get(),
                 "INSERT INTO reports (report_key, received_ms, version, union_key, body) "
                 "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (report_key) DO NOTHING",
                 params, PGRES_COMMAND_OK, "insert report");
  return std::string_view(PQcmdTuples(r.get())) == "1";
}

std::optional<StoredReport> PostgresStore::GetReport(std::string_view key) {
  State::Lease c(*state_);
  const std::string k(key);
  const std::array<const char*, 1> params{k.c_str()};
  Result r = Run(c.get(), "SELECT received_ms, version, union_key, body FROM reports WHERE report_key = $1", params,
                 PGRES_TUPLES_OK, "read report");
  if (PQntuples(r.get()) == 0) return std::nullopt;
  StoredReport report;
  report.key = k;
  report.received_ms = Int64(r.get(), 0, 0);
  report.version = Optional(r.get(), 0, 1);
  report.union_key = Optional(r.get(), 0, 2);
  report.body = Optional(r.get(), 0, 3).value_or("");
  return report;
}

void PostgresStore::RecordCheckIn(const CheckIn& check_in) {
  State::Lease c(*state_);
  const std::string received = std::to_string(check_in.received_ms);
  const std::array<const char*, 3> params{received.c_str(), OrNull(check_in.version), OrNull(check_in.union_key)};
  Run(c.get(), "INSERT INTO check_ins (received_ms, version, union_key) VALUES ($1, $2, $3)", params,
      PGRES_COMMAND_OK, "insert check-in");
}

std::vector<CheckIn> PostgresStore::RecentCheckIns(std::size_t limit) {
  State::Lease c(*state_);
  const std::string n = std::to_string(limit);
  const std::array<const char*, 1> params{n.c_str()};
  Result r = Run(c.get(), "SELECT received_ms, version, union_key FROM check_ins ORDER BY id DESC LIMIT $1", params,
                 PGRES_TUPLES_OK, "read check-ins");
  std::vector<CheckIn> rows;
  for (int i = 0; i < PQntuples(r.get()); ++i) {
    rows.push_back({Int64(r.get(), i, 0), Optional(r.get(), i, 1), Optional(r.get(), i, 2)});
  }
  return rows;
}

}  // namespace quorvane::service
