// Copying a whole table into another database file: the table component's
// CopyTable of 100 000 glossary-like rows (ID key, TERM indexed, N, a
// compressed memo of about 200 bytes) beside SQLite copying the same rows
// with "INSERT INTO other.t SELECT * FROM t" into an attached file. Each
// round replaces the previous copy; both copies are counted and summed
// afterwards to show they are whole.

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "BenchUtil.h"
#include "SqliteBench.h"
#include "components/QELDatabase.h"
#include "components/QELTable.h"

using namespace qel;
using namespace qel::bench;

namespace {

constexpr int kRows = 100000;

std::string TermOf(int id) { return "istilah " + std::to_string(id * 7919 % 1000003); }

std::string MemoOf(int id) {
  std::string memo = "{\\rtf1 catatan untuk istilah " + std::to_string(id) + ": ";
  while (memo.size() < 200) memo += "kata " + std::to_string(memo.size() * id % 977) + " ";
  return memo + "}";
}

using TTally = TRowSum;

void BuildEngine(TQELDatabase& database, const std::string& file) {
  database.SetDatabaseName("BENCH");
  database.SetDatabaseFileName(file);
  database.CreateDatabase();
  database.SetConnected(true);
  TQELTable table;
  table.SetDatabaseName("BENCH");
  table.SetTableName("T");
  table.AdvFieldDefs.Add("ID", aftInteger);
  table.AdvFieldDefs.Add("TERM", aftString, 40);
  table.AdvFieldDefs.Add("N", aftInteger);
  TQELAdvFieldDef& memo = table.AdvFieldDefs.Add("MEMO", aftMemo);
  memo.BlobCompressionAlgorithm = 1;
  memo.BlobCompressionMode = 6;
  table.AdvIndexDefs.Add("PK_T", "ID", kQELIndexPrimary | kQELIndexUnique);
  table.AdvIndexDefs.Add("IX_TERM", "TERM");
  table.CreateTable();
  table.Open();
  database.StartTransaction();
  for (int i = 1; i <= kRows; ++i) {
    table.Append();
    table.Fields(0).SetAsInteger(i);
    table.Fields(1).SetAsString(TermOf(i));
    table.Fields(2).SetAsInteger(i % 1000);
    table.Fields(3).SetAsString(MemoOf(i));
    table.Post();
  }
  database.Commit(true);
}

sqlite3* BuildSqlite(const std::string& file, const std::string& other) {
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  SqliteExec(db, "CREATE TABLE t(id INTEGER PRIMARY KEY, term TEXT, n INTEGER, memo TEXT)");
  SqliteExec(db, "CREATE INDEX ix_term ON t(term)");
  SqliteExec(db, "BEGIN");
  sqlite3_stmt* insert = SqlitePrepare(db, "INSERT INTO t VALUES(?, ?, ?, ?)");
  for (int i = 1; i <= kRows; ++i) {
    const std::string term = TermOf(i);
    const std::string memo = MemoOf(i);
    sqlite3_bind_int(insert, 1, i);
    sqlite3_bind_text(insert, 2, term.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(insert, 3, i % 1000);
    sqlite3_bind_text(insert, 4, memo.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  SqliteExec(db, "COMMIT");
  SqliteExec(db, ("ATTACH '" + other + "' AS other").c_str());
  return db;
}

TTally EngineCopy(TQELTable& table, const std::string& target) {
  std::string log;
  bool go = true;
  if (!table.CopyTable("T", log, go, target, "", false, true, true)) Fail("CopyTable: " + log);
  return {kRows, 0};
}

TTally SqliteCopy(sqlite3* db) {
  SqliteExec(db, "BEGIN");
  SqliteExec(db, "DROP TABLE IF EXISTS other.t");
  SqliteExec(db, "CREATE TABLE other.t(id INTEGER PRIMARY KEY, term TEXT, n INTEGER, memo TEXT)");
  SqliteExec(db, "CREATE INDEX other.ix_term ON t(term)");
  SqliteExec(db, "INSERT INTO other.t SELECT * FROM main.t");
  SqliteExec(db, "COMMIT");
  return {kRows, 0};
}

// Rows and the sum of IDs and memo lengths of the copy.
TTally EngineCopyTally(const std::string& file) {
  TQELDatabase other;
  other.SetDatabaseName("OTHER");
  other.SetDatabaseFileName(file);
  other.SetConnected(true);
  TQELTable table;
  table.SetDatabaseName("OTHER");
  table.SetTableName("T");
  table.Open();
  TTally tally;
  for (table.First(); !table.Eof(); table.Next()) {
    tally.Sum += table.Fields(0).AsInteger() + static_cast<std::int64_t>(table.Fields(3).AsString().size());
    ++tally.Rows;
  }
  return tally;
}

TTally SqliteCopyTally(sqlite3* db) {
  TTally tally;
  sqlite3_stmt* statement = SqlitePrepare(db, "SELECT id, length(memo) FROM other.t");
  while (sqlite3_step(statement) == SQLITE_ROW) {
    tally.Sum += sqlite3_column_int64(statement, 0) + sqlite3_column_int64(statement, 1);
    ++tally.Rows;
  }
  sqlite3_finalize(statement);
  return tally;
}

}  // namespace

int main() {
  PrintMachineFacts("qel_table_copy_bench");
  const std::string dir = (std::filesystem::temp_directory_path() / "qel_table_copy_bench").string();
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  TQELDatabase database;
  BuildEngine(database, dir + "/bench.qel");
  {
    TQELDatabase other;
    other.SetDatabaseName("OTHER");
    other.SetDatabaseFileName(dir + "/copy.qel");
    other.CreateDatabase();
  }
  sqlite3* db = BuildSqlite(dir + "/bench.sqlite", dir + "/copy.sqlite");
  std::printf("data: %d rows (ID key, TERM indexed, N, a compressed memo of about 200 bytes)\n", kRows);

  TQELTable table;
  table.SetDatabaseName("BENCH");
  table.SetTableName("T");
  TTally engine, sqlite;
  const double engineSeconds = BestSeconds([&] { return EngineCopy(table, dir + "/copy.qel"); }, engine, 3);
  const double sqliteSeconds = BestSeconds([&] { return SqliteCopy(db); }, sqlite, 3);
  const TTally engineCopy = EngineCopyTally(dir + "/copy.qel");
  const TTally sqliteCopy = SqliteCopyTally(db);
  sqlite3_close(db);
  if (!(engineCopy == sqliteCopy) || engineCopy.Rows != kRows) Fail("the copies disagree");

  std::printf("%-44s %10s %10s %8s\n", "step", "qel ms", "sqlite ms", "ratio");
  std::printf("%-44s %10.1f %10.1f %8.2f\n", "copy 100 000 rows into another file", engineSeconds * 1e3,
              sqliteSeconds * 1e3, engineSeconds / sqliteSeconds);
  std::printf("copies checked: %lld rows each, same ID and memo-length sums\n", static_cast<long long>(engineCopy.Rows));
  database.SetConnected(false);
  std::filesystem::remove_all(dir);
  return 0;
}
