#include "service/postgres_store.h"

#include <algorithm>
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
constexpr std::array<std::string_view, 3> kMigrations{
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
    // A row per day and version instead of one per request; the requests
    // counted so far keep their count.
    R"sql(
CREATE TABLE check_in_days (
  day     date NOT NULL,
  version text NOT NULL,
  count   bigint NOT NULL,
  PRIMARY KEY (day, version)
);
INSERT INTO check_in_days (day, version, count)
  SELECT (to_timestamp(received_ms / 1000) AT TIME ZONE 'UTC')::date, coalesce(version, ''), count(*)
  FROM check_ins GROUP BY 1, 2;
DROP TABLE check_ins;
CREATE INDEX reports_by_time ON reports (received_ms);
)sql",
    R"sql(
CREATE TABLE crashes (
  crash_key   text PRIMARY KEY,
  received_ms bigint NOT NULL,
  signature   text NOT NULL,
  version     text NOT NULL,
  arch        text NOT NULL,
  windows     text NOT NULL,
  union_key   text NOT NULL,
  body        text NOT NULL
);
CREATE INDEX crashes_by_signature ON crashes (signature, received_ms);
CREATE INDEX crashes_by_time ON crashes (received_ms);
)sql",
};
static_assert(kMigrations.size() == PostgresStore::kSchemaVersion);

// What a connection gets where the operator's conninfo says nothing.
constexpr std::array<std::pair<const char*, const char*>, 6> kConnectionDefaults{{
    {"connect_timeout", "5"},
    {"keepalives", "1"},
    {"keepalives_idle", "30"},
    {"keepalives_interval", "10"},
    {"keepalives_count", "3"},
    // Sent data unacknowledged this long (a server gone mid-statement) ends the connection.
    {"tcp_user_timeout", "20000"},
}};
constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kSessionDefaults{{
    {"statement_timeout", "15000"},
    // A report is answered as stored only once its commit is durable, whatever
    // the server's own default.
    {"synchronous_commit", "on"},
}};

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

std::string Text(PGresult* r, int row, int column) {
  return std::string(PQgetvalue(r, row, column), static_cast<std::size_t>(PQgetlength(r, row, column)));
}

Connection Connect(const std::vector<std::pair<std::string, std::string>>& parameters) {
  std::vector<const char*> keywords, values;
  for (const auto& [k, v] : parameters) {
    keywords.push_back(k.c_str());
    values.push_back(v.c_str());
  }
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  Connection c(PQconnectdbParams(keywords.data(), values.data(), 0));
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

std::vector<std::pair<std::string, std::string>> PostgresConnectionParameters(const std::string& conninfo) {
  char* error = nullptr;
  std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> parsed(PQconninfoParse(conninfo.c_str(), &error),
                                                                      &PQconninfoFree);
  if (!parsed) {
    const std::string why = error ? Trimmed(error) : "out of memory";
    PQfreemem(error);
    throw StoreError("postgres: the connection string cannot be read: " + why);
  }
  std::vector<std::pair<std::string, std::string>> parameters;
  std::string options;
  for (const PQconninfoOption* o = parsed.get(); o->keyword; ++o) {
    if (!o->val) continue;
    if (std::string_view(o->keyword) == "options") {
      options = o->val;
    } else {
      parameters.emplace_back(o->keyword, o->val);
    }
  }
  for (const auto& [keyword, value] : kConnectionDefaults) {
    const bool given = std::any_of(parameters.begin(), parameters.end(), [&](const auto& p) { return p.first == keyword; });
    if (!given) parameters.emplace_back(keyword, value);
  }
  for (const auto& [setting, value] : kSessionDefaults) {
    if (options.find(setting) != std::string::npos) continue;
    if (!options.empty()) options += ' ';
    options += "-c ";
    options += setting;
    options += '=';
    options += value;
  }
  parameters.emplace_back("options", options);
  return parameters;
}

struct PostgresStore::State {
  std::vector<std::pair<std::string, std::string>> parameters;
  std::size_t max_connections = 1;
  std::mutex mutex;
  std::condition_variable returned;
  std::vector<Connection> idle;
  std::size_t open = 0;  // idle and leased

  // A connection for one operation: a pooled one, or a fresh one when asked
  // (or when none is idle). One that has broken, or was given up, is closed
  // when the lease ends instead of going back to the pool.
  class Lease {
   public:
    Lease(State& state, bool fresh) : state_(state) {
      std::unique_lock lock(state_.mutex);
      state_.returned.wait(lock, [&] { return !state_.idle.empty() || state_.open < state_.max_connections; });
      if (!state_.idle.empty() && !fresh) {
        connection_ = std::move(state_.idle.back());
        state_.idle.pop_back();
        pooled_ = true;
        return;
      }
      if (state_.open >= state_.max_connections) {
        state_.idle.pop_back();  // makes room for the fresh one
      } else {
        ++state_.open;
      }
      lock.unlock();
      try {
        connection_ = Connect(state_.parameters);
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
        if (!given_up_ && PQstatus(connection_.get()) == CONNECTION_OK &&
            PQtransactionStatus(connection_.get()) == PQTRANS_IDLE) {
          state_.idle.push_back(std::move(connection_));
        } else {
          --state_.open;
          // A connection that broke likely did so with the server, and the
          // idle ones with it.
          if (PQstatus(connection_.get()) != CONNECTION_OK) {
            state_.open -= state_.idle.size();
            state_.idle.clear();
          }
        }
      }
      state_.returned.notify_all();
      connection_.reset();
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

    PGconn* get() const { return connection_.get(); }
    bool pooled() const { return pooled_; }
    void GiveUp() { given_up_ = true; }

   private:
    State& state_;
    Connection connection_;
    bool pooled_ = false;
    bool given_up_ = false;
  };

  // Runs op on a connection; when it fails on a pooled one, once more on a
  // fresh one.
  template <class Op>
  auto WithConnection(Op op) {
    {
      Lease c(*this, false);
      try {
        return op(c.get());
      } catch (const StoreError&) {
        if (!c.pooled()) throw;
        c.GiveUp();
      }
    }
    Lease fresh(*this, true);
    return op(fresh.get());
  }
};

PostgresStore::PostgresStore(std::string conninfo, std::size_t max_connections) : state_(std::make_unique<State>()) {
  state_->parameters = PostgresConnectionParameters(conninfo);
  state_->max_connections = max_connections > 0 ? max_connections : 1;
  State::Lease c(*state_, true);
  Migrate(c.get());
}

PostgresStore::~PostgresStore() = default;

bool PostgresStore::PutReport(const StoredReport& report) {
  const std::string received = std::to_string(report.received_ms);
  const std::array<const char*, 5> params{report.key.c_str(), received.c_str(), OrNull(report.version),
                                          OrNull(report.union_key), report.body.c_str()};
  return state_->WithConnection([&](PGconn* c) {
    Result r = Run(c,
                   "INSERT INTO reports (report_key, received_ms, version, union_key, body) "
                   "VALUES ($1, $2, $3, $4, $5) ON CONFLICT (report_key) DO NOTHING",
                   params, PGRES_COMMAND_OK, "insert report");
    if (std::string_view(PQcmdTuples(r.get())) == "1") return true;
    // Taken already: by this very report when an earlier try committed but its
    // answer was lost, otherwise by another.
    const std::array<const char*, 3> same{report.key.c_str(), received.c_str(), report.body.c_str()};
    Result mine = Run(c, "SELECT 1 FROM reports WHERE report_key = $1 AND received_ms = $2 AND body = $3", same,
                      PGRES_TUPLES_OK, "check report");
    return PQntuples(mine.get()) == 1;
  });
}

std::optional<StoredReport> PostgresStore::GetReport(std::string_view key) {
  const std::string k(key);
  const std::array<const char*, 1> params{k.c_str()};
  return state_->WithConnection([&](PGconn* c) -> std::optional<StoredReport> {
    Result r = Run(c, "SELECT received_ms, version, union_key, body FROM reports WHERE report_key = $1", params,
                   PGRES_TUPLES_OK, "read report");
    if (PQntuples(r.get()) == 0) return std::nullopt;
    StoredReport report;
    report.key = k;
    report.received_ms = Int64(r.get(), 0, 0);
    report.version = Optional(r.get(), 0, 1);
    report.union_key = Optional(r.get(), 0, 2);
    report.body = Optional(r.get(), 0, 3).value_or("");
    return report;
  });
}

bool PostgresStore::PutCrash(const StoredCrash& crash) {
  const std::string received = std::to_string(crash.received_ms);
  const std::array<const char*, 8> params{crash.key.c_str(),     received.c_str(),     crash.signature.c_str(),
                                          crash.version.c_str(), crash.arch.c_str(),   crash.windows.c_str(),
                                          crash.union_key.c_str(), crash.body.c_str()};
  return state_->WithConnection([&](PGconn* c) {
    Result r = Run(c,
                   "INSERT INTO crashes (crash_key, received_ms, signature, version, arch, windows, union_key, body) "
                   "VALUES ($1, $2, $3, $4, $5, $6, $7, $8) ON CONFLICT (crash_key) DO NOTHING",
                   params, PGRES_COMMAND_OK, "insert crash");
    if (std::string_view(PQcmdTuples(r.get())) == "1") return true;
    // As for reports: taken by this very crash when an earlier try committed.
    const std::array<const char*, 3> same{crash.key.c_str(), received.c_str(), crash.body.c_str()};
    Result mine = Run(c, "SELECT 1 FROM crashes WHERE crash_key = $1 AND received_ms = $2 AND body = $3", same,
                      PGRES_TUPLES_OK, "check crash");
    return PQntuples(mine.get()) == 1;
  });
}

std::optional<StoredCrash> PostgresStore::GetCrash(std::string_view key) {
  const std::string k(key);
  const std::array<const char*, 1> params{k.c_str()};
  return state_->WithConnection([&](PGconn* c) -> std::optional<StoredCrash> {
    Result r = Run(c,
                   "SELECT received_ms, signature, version, arch, windows, union_key, body FROM crashes "
                   "WHERE crash_key = $1",
                   params, PGRES_TUPLES_OK, "read crash");
    if (PQntuples(r.get()) == 0) return std::nullopt;
    PGresult* row = r.get();
    return StoredCrash{k,          Int64(row, 0, 0), Text(row, 0, 1), Text(row, 0, 2), Text(row, 0, 3),
                       Text(row, 0, 4), Text(row, 0, 5), Text(row, 0, 6)};
  });
}

std::vector<CrashGroup> PostgresStore::CrashGroups(std::size_t limit) {
  const std::string n = std::to_string(limit);
  const std::array<const char*, 1> params{n.c_str()};
  return state_->WithConnection([&](PGconn* c) {
    Result r = Run(c,
                   "SELECT signature, count(*), min(received_ms), max(received_ms), "
                   "string_agg(DISTINCT version, ','), string_agg(DISTINCT arch, ','), "
                   "(SELECT crash_key FROM crashes AS latest WHERE latest.signature = crashes.signature "
                   " ORDER BY received_ms DESC, crash_key DESC LIMIT 1) "
                   "FROM crashes GROUP BY signature ORDER BY max(received_ms) DESC, signature LIMIT $1",
                   params, PGRES_TUPLES_OK, "read crash groups");
    std::vector<CrashGroup> groups;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      PGresult* row = r.get();
      groups.push_back({Text(row, i, 0), Int64(row, i, 1), Int64(row, i, 2), Int64(row, i, 3),
                        SplitCommaList(Text(row, i, 4)), SplitCommaList(Text(row, i, 5)), Text(row, i, 6)});
    }
    return groups;
  });
}

std::vector<CrashSummary> PostgresStore::CrashesWithSignature(std::string_view signature, std::size_t limit) {
  const std::string sig(signature), n = std::to_string(limit);
  const std::array<const char*, 2> params{sig.c_str(), n.c_str()};
  return state_->WithConnection([&](PGconn* c) {
    Result r = Run(c,
                   "SELECT crash_key, received_ms, version, arch, windows FROM crashes WHERE signature = $1 "
                   "ORDER BY received_ms DESC, crash_key DESC LIMIT $2",
                   params, PGRES_TUPLES_OK, "read crashes");
    std::vector<CrashSummary> crashes;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      PGresult* row = r.get();
      crashes.push_back({Text(row, i, 0), Int64(row, i, 1), Text(row, i, 2), Text(row, i, 3), Text(row, i, 4)});
    }
    return crashes;
  });
}

std::size_t PostgresStore::PurgeCrashes(std::int64_t received_before_ms, std::size_t limit) {
  const std::string before = std::to_string(received_before_ms), n = std::to_string(limit);
  const std::array<const char*, 2> params{before.c_str(), n.c_str()};
  return state_->WithConnection([&](PGconn* c) {
    Result r = Run(c,
                   "DELETE FROM crashes WHERE crash_key IN "
                   "(SELECT crash_key FROM crashes WHERE received_ms < $1 LIMIT $2)",
                   params, PGRES_COMMAND_OK, "purge crashes");
    return static_cast<std::size_t>(std::stoull(PQcmdTuples(r.get())));
  });
}

std::size_t PostgresStore::PurgeReports(std::int64_t received_before_ms, std::size_t limit) {
  const std::string before = std::to_string(received_before_ms), n = std::to_string(limit);
  const std::array<const char*, 2> params{before.c_str(), n.c_str()};
  return state_->WithConnection([&](PGconn* c) {
    Result r = Run(c,
                   "DELETE FROM reports WHERE report_key IN "
                   "(SELECT report_key FROM reports WHERE received_ms < $1 LIMIT $2)",
                   params, PGRES_COMMAND_OK, "purge reports");
    return static_cast<std::size_t>(std::stoull(PQcmdTuples(r.get())));
  });
}

void PostgresStore::AddCheckIns(const std::vector<CheckInCount>& counts) {
  if (counts.empty()) return;
  state_->WithConnection([&](PGconn* c) {
    Run(c, "BEGIN", {}, PGRES_COMMAND_OK, "begin");
    try {
      for (const CheckInCount& k : counts) {
        const std::string count = std::to_string(k.count);
        const std::array<const char*, 3> params{k.day.c_str(), k.version.c_str(), count.c_str()};
        Run(c,
            "INSERT INTO check_in_days (day, version, count) VALUES ($1, $2, $3) "
            "ON CONFLICT (day, version) DO UPDATE SET count = check_in_days.count + EXCLUDED.count",
            params, PGRES_COMMAND_OK, "add check-ins");
      }
      Run(c, "COMMIT", {}, PGRES_COMMAND_OK, "commit");
    } catch (...) {
      Result(PQexec(c, "ROLLBACK"));
      throw;
    }
  });
}

std::vector<CheckInCount> PostgresStore::CheckInCounts(std::string_view since_day) {
  const std::string since(since_day);
  const std::array<const char*, 1> params{since.c_str()};
  return state_->WithConnection([&](PGconn* c) {
    Result r = Run(c,
                   "SELECT to_char(day, 'YYYY-MM-DD'), version, count FROM check_in_days WHERE day >= $1 "
                   "ORDER BY day, version",
                   params, PGRES_TUPLES_OK, "read check-ins");
    std::vector<CheckInCount> rows;
    for (int i = 0; i < PQntuples(r.get()); ++i) {
      rows.push_back({PQgetvalue(r.get(), i, 0), PQgetvalue(r.get(), i, 1), Int64(r.get(), i, 2)});
    }
    return rows;
  });
}

}  // namespace quorvane::service
