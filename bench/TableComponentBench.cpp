// The table component against SQLite on the same reads: 100 000 rows (ID
// integer, TERM a 12-character string with an index) scanned through the
// fields, and 1 000 prefix ranges on TERM fetched through SetRangeStart /
// SetRangeEnd / ApplyRange beside SQLite's "WHERE term >= ? AND term <= ?"
// over its index. Both sides' answers are compared. The goal is at most 1.2
// times SQLite's time.

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "SqliteBench.h"
#include "components/QELDatabase.h"
#include "components/QELTable.h"

using namespace qel;
using namespace qel::bench;

namespace {

constexpr int kRows = 100000;
constexpr int kRanges = 1000;

// Seven digits spread over the rows, so a four-digit prefix holds about a
// hundred rows.
std::string TermOf(int id) {
  char text[16];
  std::snprintf(text, sizeof text, "term-%07d", static_cast<int>(static_cast<long long>(id) * 7919 % 1000003 % 10000000));
  return text;
}

// The first and last possible term of the i-th prefix.
std::pair<std::string, std::string> RangeOf(int i) {
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "term-%04d", (i * 37) % 1000);
  return {std::string(prefix) + "000", std::string(prefix) + "999"};
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
  table.FieldDefs().Add("ID", ftInteger);
  table.FieldDefs().Add("TERM", ftString, 12);
  table.IndexDefs().Add("IX_TERM", "TERM");
  table.CreateTable();
  table.Open();
  database.StartTransaction();
  TField& id = table.FieldByName("ID");
  TField& term = table.FieldByName("TERM");
  for (int i = 1; i <= kRows; ++i) {
    table.Append();
    id.SetAsInteger(i);
    term.SetAsString(TermOf(i));
    table.Post();
  }
  database.Commit(true);
}

sqlite3* BuildSqlite(const std::string& file) {
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  SqliteExec(db, "CREATE TABLE t(id INTEGER, term TEXT)");
  SqliteExec(db, "BEGIN");
  sqlite3_stmt* insert = SqlitePrepare(db, "INSERT INTO t VALUES(?, ?)");
  for (int i = 1; i <= kRows; ++i) {
    const std::string term = TermOf(i);
    sqlite3_bind_int(insert, 1, i);
    sqlite3_bind_text(insert, 2, term.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  SqliteExec(db, "CREATE INDEX ix_term ON t(term)");
  SqliteExec(db, "COMMIT");
  return db;
}

TTally TableScan(TQELTable& table) {
  TTally tally;
  TField& id = table.FieldByName("ID");
  TField& term = table.FieldByName("TERM");
  for (table.First(); !table.Eof(); table.Next()) {
    tally.Sum += id.AsInteger() + static_cast<std::int64_t>(term.AsString().size());
    ++tally.Rows;
  }
  return tally;
}

TTally SqliteScan(sqlite3* db) {
  TTally tally;
  sqlite3_stmt* statement = SqlitePrepare(db, "SELECT id, term FROM t");
  while (sqlite3_step(statement) == SQLITE_ROW) {
    // The term taken as a string, as the table's side takes it.
    const std::string term(reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)),
                           static_cast<std::size_t>(sqlite3_column_bytes(statement, 1)));
    tally.Sum += sqlite3_column_int64(statement, 0) + static_cast<std::int64_t>(term.size());
    ++tally.Rows;
  }
  sqlite3_finalize(statement);
  return tally;
}

TTally TableRanges(TQELTable& table) {
  TTally tally;
  TField& id = table.FieldByName("ID");
  TField& term = table.FieldByName("TERM");
  for (int i = 0; i < kRanges; ++i) {
    const auto [low, high] = RangeOf(i);
    table.SetRangeStart();
    term.SetAsString(low);
    table.SetRangeEnd();
    term.SetAsString(high);
    table.ApplyRange();
    for (; !table.Eof(); table.Next()) {
      tally.Sum += id.AsInteger();
      ++tally.Rows;
    }
  }
  table.CancelRange();
  return tally;
}

TTally SqliteRanges(sqlite3* db) {
  TTally tally;
  sqlite3_stmt* statement = SqlitePrepare(db, "SELECT id FROM t WHERE term >= ? AND term <= ?");
  for (int i = 0; i < kRanges; ++i) {
    const auto [low, high] = RangeOf(i);
    sqlite3_bind_text(statement, 1, low.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(statement, 2, high.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      tally.Sum += sqlite3_column_int64(statement, 0);
      ++tally.Rows;
    }
    sqlite3_reset(statement);
  }
  sqlite3_finalize(statement);
  return tally;
}


}  // namespace

int main() {
  PrintMachineFacts("qel_table_component_bench");
  const std::string dir = (std::filesystem::temp_directory_path() / "qel_table_component_bench").string();
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  TQELDatabase database;
  BuildEngine(database, dir + "/bench.qel");
  sqlite3* db = BuildSqlite(dir + "/bench.sqlite");
  std::printf("data: %d rows (ID, 12-character TERM indexed), %d prefix ranges of about 100 rows\n", kRows, kRanges);

  TQELTable table;
  table.SetDatabaseName("BENCH");
  table.SetTableName("T");
  table.Open();
  TTally tableAll, sqliteAll, tableRanges, sqliteRanges;
  const double tableScan = BestSeconds([&] { return TableScan(table); }, tableAll);
  const double sqliteScan = BestSeconds([&] { return SqliteScan(db); }, sqliteAll);
  table.SetIndexName("IX_TERM");
  const double tableRange = BestSeconds([&] { return TableRanges(table); }, tableRanges);
  const double sqliteRange = BestSeconds([&] { return SqliteRanges(db); }, sqliteRanges);
  table.Close();
  sqlite3_close(db);
  if (!(tableAll == sqliteAll)) Fail("the scans disagree");
  if (!(tableRanges == sqliteRanges) || tableRanges.Rows == 0) Fail("the ranges disagree");

  std::printf("%-40s %10s %10s %8s\n", "step", "table ms", "sqlite ms", "ratio");
  std::printf("%-40s %10.1f %10.1f %8.2f\n", "scan through fields", tableScan * 1e3, sqliteScan * 1e3,
              tableScan / sqliteScan);
  std::printf("%-40s %10.1f %10.1f %8.2f\n", "1000 ApplyRange prefix fetches", tableRange * 1e3, sqliteRange * 1e3,
              tableRange / sqliteRange);
  std::printf("rows fetched by the ranges: %lld\n", static_cast<long long>(tableRanges.Rows));
  std::printf("goal: at most 1.2x SQLite: scan %s, ranges %s\n", tableScan <= 1.2 * sqliteScan ? "met" : "NOT met",
              tableRange <= 1.2 * sqliteRange ? "met" : "NOT met");
  database.SetConnected(false);
  std::filesystem::remove_all(dir);
  return 0;
}
