// Data changes through SQL against SQLite in the same run, on one file
// table of 100 000 rows (ID primary key, K indexed, N, a 40-character T):
// an UPDATE of 10 000 rows chosen by a range of K, 10 000 DELETEs of one
// row by ID inside one transaction, and 1 000 INSERTs each committed on its
// own. Both sides prepare each statement once and run it with new
// parameter values; commits are atomic against a crash but not flushed on
// either side (SQLite: rollback journal, synchronous OFF). The tables are
// compared afterwards. The goal is at most 1.5 times SQLite's time.

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "BenchUtil.h"
#include "SqliteBench.h"
#include "components/QELDatabase.h"
#include "components/QELQuery.h"

using namespace qel;
using namespace qel::bench;

namespace {

constexpr int kRows = 100000;
constexpr int kUpdated = 10000;
constexpr int kDeleted = 10000;
constexpr int kInserted = 1000;

// K spreads the rows over 0..kRows-1 in an order unlike ID's.
int KeyOf(int id) { return static_cast<int>(static_cast<long long>(id) * 7919 % kRows); }
std::string TextOf(int id) { return "baris nomor " + std::to_string(id) + " dengan teks pengisi"; }

using TTally = TRowSum;

TQELVariant IntegerValue(std::int64_t value) {
  TQELVariant variant;
  variant.SetAsLargeint(value);
  return variant;
}

TQELVariant TextValue(const std::string& value) {
  TQELVariant variant;
  variant.SetAsString(value);
  return variant;
}

// A statement of the engine's side, prepared once.
class TEngineStatement {
 public:
  explicit TEngineStatement(const std::string& sql) {
    FQuery.SetDatabaseName("BENCH");
    FQuery.SetSQLText(sql);
    FQuery.Prepare();
  }
  TQELQuery& Query() { return FQuery; }
  std::int32_t Run() {
    FQuery.ExecSQL();
    return FQuery.RowsAffected();
  }
  void Set(const char* name, const TQELVariant& value) { FQuery.Params().ParamByName(name).Value = value; }

 private:
  TQELQuery FQuery;
};

void ExecEngine(const std::string& sql) { TEngineStatement(sql).Run(); }

// Runs the prepared "insert into t values (:id, :k, :n, :t)" for row `id`.
std::int32_t EngineInsertRow(TEngineStatement& insert, int id) {
  insert.Set("id", IntegerValue(id));
  insert.Set("k", IntegerValue(KeyOf(id)));
  insert.Set("n", IntegerValue(id % 100));
  insert.Set("t", TextValue(TextOf(id)));
  return insert.Run();
}

// Runs the prepared "INSERT INTO t VALUES(?, ?, ?, ?)" for row `id`.
int SqliteInsertRow(sqlite3* db, sqlite3_stmt* insert, int id) {
  const std::string text = TextOf(id);
  sqlite3_bind_int(insert, 1, id);
  sqlite3_bind_int(insert, 2, KeyOf(id));
  sqlite3_bind_int(insert, 3, id % 100);
  sqlite3_bind_text(insert, 4, text.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_step(insert);
  sqlite3_reset(insert);
  return sqlite3_changes(db);
}

void BuildEngine(TQELDatabase& database, const std::string& file) {
  database.SetDatabaseName("BENCH");
  database.SetDatabaseFileName(file);
  database.CreateDatabase();
  database.SetConnected(true);
  ExecEngine("create table t (id integer, k integer, n integer, t varchar(40), primary key (id))");
  ExecEngine("create index ix_k on t (k)");
  TEngineStatement insert("insert into t values (:id, :k, :n, :t)");
  database.StartTransaction();
  for (int id = 1; id <= kRows; ++id) EngineInsertRow(insert, id);
  database.Commit(true);
}

sqlite3* BuildSqlite(const std::string& file) {
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  SqliteExec(db, "PRAGMA synchronous = OFF");
  SqliteExec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY, k INTEGER, n INTEGER, t TEXT)");
  SqliteExec(db, "CREATE INDEX ix_k ON t(k)");
  SqliteExec(db, "BEGIN");
  sqlite3_stmt* insert = SqlitePrepare(db, "INSERT INTO t VALUES(?, ?, ?, ?)");
  for (int id = 1; id <= kRows; ++id) SqliteInsertRow(db, insert, id);
  sqlite3_finalize(insert);
  SqliteExec(db, "COMMIT");
  return db;
}

// Each round works on rows of its own, so that every round changes as many.
int gRound = 0;

TTally EngineUpdate() {
  const int low = (gRound++ % 5) * kUpdated;
  TEngineStatement update("update t set n = n + 1 where k >= :low and k < :high");
  update.Set("low", IntegerValue(low));
  update.Set("high", IntegerValue(low + kUpdated));
  return {update.Run(), 0};
}

TTally SqliteUpdate(sqlite3* db) {
  const int low = (gRound++ % 5) * kUpdated;
  sqlite3_stmt* update = SqlitePrepare(db, "UPDATE t SET n = n + 1 WHERE k >= ? AND k < ?");
  sqlite3_bind_int(update, 1, low);
  sqlite3_bind_int(update, 2, low + kUpdated);
  sqlite3_step(update);
  sqlite3_finalize(update);
  return {sqlite3_changes(db), 0};
}

// Round r deletes the IDs r*kDeleted+1 .. (r+1)*kDeleted.
TTally EngineDelete(TQELDatabase& database) {
  const int first = gRound++ * kDeleted + 1;
  TEngineStatement deletion("delete from t where id = :id");
  TTally tally;
  database.StartTransaction();
  for (int id = first; id < first + kDeleted; ++id) {
    deletion.Set("id", IntegerValue(id));
    tally.Rows += deletion.Run();
  }
  database.Commit();
  return tally;
}

TTally SqliteDelete(sqlite3* db) {
  const int first = gRound++ * kDeleted + 1;
  sqlite3_stmt* deletion = SqlitePrepare(db, "DELETE FROM t WHERE id = ?");
  TTally tally;
  SqliteExec(db, "BEGIN");
  for (int id = first; id < first + kDeleted; ++id) {
    sqlite3_bind_int(deletion, 1, id);
    sqlite3_step(deletion);
    tally.Rows += sqlite3_changes(db);
    sqlite3_reset(deletion);
  }
  SqliteExec(db, "COMMIT");
  sqlite3_finalize(deletion);
  return tally;
}

// Round r inserts the IDs kRows + r*kInserted + 1 ..., each committed.
TTally EngineInsert() {
  const int first = kRows + gRound++ * kInserted + 1;
  TEngineStatement insert("insert into t values (:id, :k, :n, :t)");
  TTally tally;
  for (int id = first; id < first + kInserted; ++id) tally.Rows += EngineInsertRow(insert, id);
  return tally;
}

TTally SqliteInsert(sqlite3* db) {
  const int first = kRows + gRound++ * kInserted + 1;
  sqlite3_stmt* insert = SqlitePrepare(db, "INSERT INTO t VALUES(?, ?, ?, ?)");
  TTally tally;
  for (int id = first; id < first + kInserted; ++id) tally.Rows += SqliteInsertRow(db, insert, id);
  sqlite3_finalize(insert);
  return tally;
}

TTally EngineContents() {
  TQELQuery query;
  query.SetDatabaseName("BENCH");
  query.SetSQLText("select id, n from t");
  query.Open();
  TTally tally;
  for (query.First(); !query.Eof(); query.Next()) {
    tally.Sum += query.Fields(0).AsLargeInt() * 1000 + query.Fields(1).AsLargeInt();
    ++tally.Rows;
  }
  return tally;
}

TTally SqliteContents(sqlite3* db) {
  TTally tally;
  sqlite3_stmt* statement = SqlitePrepare(db, "SELECT id, n FROM t");
  while (sqlite3_step(statement) == SQLITE_ROW) {
    tally.Sum += sqlite3_column_int64(statement, 0) * 1000 + sqlite3_column_int64(statement, 1);
    ++tally.Rows;
  }
  sqlite3_finalize(statement);
  return tally;
}

void Report(const char* step, double engine, double sqlite, bool& allMet) {
  const bool met = engine <= 1.5 * sqlite;
  allMet = allMet && met;
  std::printf("%-48s %10.1f %10.1f %8.2f  %s\n", step, engine * 1e3, sqlite * 1e3, engine / sqlite,
              met ? "met" : "NOT met");
}

}  // namespace

int main() {
  PrintMachineFacts("qel_sql_modify_bench");
  const std::string dir = (std::filesystem::temp_directory_path() / "qel_sql_modify_bench").string();
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  TQELDatabase database;
  BuildEngine(database, dir + "/bench.qel");
  sqlite3* db = BuildSqlite(dir + "/bench.sqlite");
  std::printf("data: %d rows (ID primary key, K indexed, N, a 40-character T); 3 rounds per step\n", kRows);

  TTally engine, sqlite;
  gRound = 0;
  const double engineUpdate = BestSeconds([&] { return EngineUpdate(); }, engine, 3);
  gRound = 0;
  const double sqliteUpdate = BestSeconds([&] { return SqliteUpdate(db); }, sqlite, 3);
  if (!(engine == sqlite) || engine.Rows != kUpdated) Fail("the updates disagree");
  gRound = 0;
  const double engineDelete = BestSeconds([&] { return EngineDelete(database); }, engine, 3);
  gRound = 0;
  const double sqliteDelete = BestSeconds([&] { return SqliteDelete(db); }, sqlite, 3);
  if (!(engine == sqlite) || engine.Rows != kDeleted) Fail("the deletes disagree");
  gRound = 0;
  const double engineInsert = BestSeconds([&] { return EngineInsert(); }, engine, 3);
  gRound = 0;
  const double sqliteInsert = BestSeconds([&] { return SqliteInsert(db); }, sqlite, 3);
  if (!(engine == sqlite) || engine.Rows != kInserted) Fail("the inserts disagree");
  if (!(EngineContents() == SqliteContents(db))) Fail("the tables differ afterwards");
  sqlite3_close(db);

  std::printf("%-48s %10s %10s %8s  goal 1.5x\n", "step", "qel ms", "sqlite ms", "ratio");
  bool allMet = true;
  Report("UPDATE of 10 000 rows by an indexed range", engineUpdate, sqliteUpdate, allMet);
  Report("10 000 DELETEs by key in one transaction", engineDelete, sqliteDelete, allMet);
  Report("1 000 INSERTs, each committed", engineInsert, sqliteInsert, allMet);
  std::printf("tables compared afterwards: equal; goal %s\n", allMet ? "met" : "NOT met");
  database.SetConnected(false);
  std::filesystem::remove_all(dir);
  return 0;
}
