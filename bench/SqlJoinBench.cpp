// Queries over two tables against SQLite in the same run, on one file
// each: BIG (100 000 rows) joined with SMALL (10 000 rows) on an indexed
// and on an unindexed key, a UNION of two 50 000-row halves, an IN
// subquery and a correlated scalar subquery over 1 000 outer rows. Both
// sides read every row of each answer and sum it, and the sums are
// compared. The goal is at most 1.5 times SQLite's time.

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "SqliteBench.h"
#include "components/QELDatabase.h"
#include "components/QELQuery.h"

using namespace qel;
using namespace qel::bench;

namespace {

constexpr int kBigRows = 100000;
constexpr int kSmallRows = 10000;

// BIG: K repeats every 20 000 ids (each value 5 times), V spreads the same
// values in another order. SMALL: K and U the even numbers, W its id.
int BigK(int id) { return id % 20000; }
int BigV(int id) { return static_cast<int>(static_cast<long long>(id) * 7919 % 20000); }
int SmallK(int id) { return id * 2; }

struct TStep {
  const char* Name;
  const char* Sql;
};

const TStep kSteps[] = {
    {"100 000 x 10 000 join on an indexed key", "select big.id, small.id from big, small where big.k = small.k"},
    {"100 000 x 10 000 join on an unindexed key", "select big.id, small.id from big, small where big.v = small.u"},
    {"UNION of 2 x 50 000 rows", "select v from big where id <= 50000 union select v from big where id > 50000"},
    {"IN subquery", "select id from big where k in (select u from small where w < 5000)"},
    {"correlated scalar subquery over 1 000 rows",
     "select id, (select count(*) from small where small.k = big.k) from big where id <= 1000"},
};

void ExecEngine(const std::string& sql) {
  TQELQuery query;
  query.SetDatabaseName("BENCH");
  query.SetSQLText(sql);
  query.ExecSQL();
}

// Fills a table through one prepared INSERT with three or four columns.
template <class Row>
void FillEngine(const char* sql, int rows, Row&& row) {
  TQELQuery insert;
  insert.SetDatabaseName("BENCH");
  insert.SetSQLText(sql);
  insert.Prepare();
  for (int id = 1; id <= rows; ++id) {
    const auto values = row(id);
    for (std::size_t i = 0; i < values.size(); ++i) {
      TQELVariant value;
      value.SetAsLargeint(values[i]);
      insert.Params()[static_cast<std::int32_t>(i)].Value = value;
    }
    insert.ExecSQL();
  }
}

void BuildEngine(TQELDatabase& database, const std::string& file) {
  database.SetDatabaseName("BENCH");
  database.SetDatabaseFileName(file);
  database.CreateDatabase();
  database.SetConnected(true);
  ExecEngine("create table big (id integer, k integer, v integer, primary key (id))");
  ExecEngine("create table small (id integer, k integer, u integer, w integer, primary key (id))");
  ExecEngine("create index ix_small_k on small (k)");
  database.StartTransaction();
  FillEngine("insert into big values (:id, :k, :v)", kBigRows,
             [](int id) { return std::vector<std::int64_t>{id, BigK(id), BigV(id)}; });
  FillEngine("insert into small values (:id, :k, :u, :w)", kSmallRows,
             [](int id) { return std::vector<std::int64_t>{id, SmallK(id), SmallK(id), id}; });
  database.Commit(true);
}

sqlite3* BuildSqlite(const std::string& file) {
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  SqliteExec(db, "PRAGMA synchronous = OFF");
  SqliteExec(db, "CREATE TABLE big(id INTEGER PRIMARY KEY, k INTEGER, v INTEGER)");
  SqliteExec(db, "CREATE TABLE small(id INTEGER PRIMARY KEY, k INTEGER, u INTEGER, w INTEGER)");
  SqliteExec(db, "CREATE INDEX ix_small_k ON small(k)");
  SqliteExec(db, "BEGIN");
  sqlite3_stmt* big = SqlitePrepare(db, "INSERT INTO big VALUES(?, ?, ?)");
  for (int id = 1; id <= kBigRows; ++id) {
    sqlite3_bind_int(big, 1, id);
    sqlite3_bind_int(big, 2, BigK(id));
    sqlite3_bind_int(big, 3, BigV(id));
    sqlite3_step(big);
    sqlite3_reset(big);
  }
  sqlite3_finalize(big);
  sqlite3_stmt* small = SqlitePrepare(db, "INSERT INTO small VALUES(?, ?, ?, ?)");
  for (int id = 1; id <= kSmallRows; ++id) {
    sqlite3_bind_int(small, 1, id);
    sqlite3_bind_int(small, 2, SmallK(id));
    sqlite3_bind_int(small, 3, SmallK(id));
    sqlite3_bind_int(small, 4, id);
    sqlite3_step(small);
    sqlite3_reset(small);
  }
  sqlite3_finalize(small);
  SqliteExec(db, "COMMIT");
  SqliteExec(db, "ANALYZE");
  return db;
}

// A row's sum: its first column times 100 000 plus its second.
TRowSum EngineRun(const char* sql) {
  TQELQuery query;
  query.SetDatabaseName("BENCH");
  query.SetSQLText(sql);
  query.Open();
  TRowSum tally;
  const bool two = query.FieldCount() > 1;
  for (query.First(); !query.Eof(); query.Next()) {
    tally.Sum += query.Fields(0).AsLargeInt() * 100000 + (two ? query.Fields(1).AsLargeInt() : 0);
    ++tally.Rows;
  }
  return tally;
}

TRowSum SqliteRun(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = SqlitePrepare(db, sql);
  TRowSum tally;
  const bool two = sqlite3_column_count(statement) > 1;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    tally.Sum += sqlite3_column_int64(statement, 0) * 100000 + (two ? sqlite3_column_int64(statement, 1) : 0);
    ++tally.Rows;
  }
  sqlite3_finalize(statement);
  return tally;
}

}  // namespace

int main(int argc, char** argv) {
  // An argument picks the steps whose name holds it, and a second sets the
  // rounds each side runs (for profiling one).
  const std::string only = argc > 1 ? argv[1] : "";
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  PrintMachineFacts("qel_sql_join_bench");
  const std::string dir = (std::filesystem::temp_directory_path() / "qel_sql_join_bench").string();
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  TQELDatabase database;
  BuildEngine(database, dir + "/bench.qel");
  sqlite3* db = BuildSqlite(dir + "/bench.sqlite");
  std::printf("data: BIG %d rows (ID primary key, K, V), SMALL %d rows (ID primary key, K indexed, U, W); "
              "best of %d runs\n",
              kBigRows, kSmallRows, rounds);
  std::printf("%-46s %8s %10s %10s %8s  goal 1.5x\n", "step", "rows", "qel ms", "sqlite ms", "ratio");
  bool allMet = true;
  for (const TStep& step : kSteps) {
    if (std::string(step.Name).find(only) == std::string::npos) continue;
    TRowSum engine, sqlite;
    double engineSeconds = 0;
    try {
      engineSeconds = BestSeconds([&] { return EngineRun(step.Sql); }, engine, rounds);
    } catch (const std::exception& error) {
      std::printf("%-46s failed: %s\n", step.Name, error.what());
      allMet = false;
      continue;
    }
    const double sqliteSeconds = BestSeconds([&] { return SqliteRun(db, step.Sql); }, sqlite, rounds);
    if (!(engine == sqlite)) {
      Fail(std::string(step.Name) + ": the answers differ (" + std::to_string(engine.Rows) + " rows vs " +
           std::to_string(sqlite.Rows) + ")");
    }
    const bool met = engineSeconds <= 1.5 * sqliteSeconds;
    allMet = allMet && met;
    std::printf("%-46s %8lld %10.1f %10.1f %8.2f  %s\n", step.Name, static_cast<long long>(engine.Rows),
                engineSeconds * 1e3, sqliteSeconds * 1e3, engineSeconds / sqliteSeconds, met ? "met" : "NOT met");
  }
  std::printf("answers compared: equal; goal %s\n", allMet ? "met" : "NOT met");
  sqlite3_close(db);
  database.SetConnected(false);
  std::filesystem::remove_all(dir);
  return 0;
}
