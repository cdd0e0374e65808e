// Single-record transactions on a disk table, in multi-user and in
// single-user mode, at both durability levels, beside SQLite doing the same
// single-row transactions in rollback-journal mode in the same run.
//
// A commit that is not flushed is atomic against a crash of the process
// (the journal is written, not flushed), like SQLite with synchronous=OFF;
// a flushed commit is atomic and durable against power loss (journal,
// database and the journal's clearing each flushed), like SQLite with
// synchronous=FULL. Each pair is compared like for like. Flushed runs do
// fewer transactions: each costs several flushes of the disk.

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskTableData.h"
#include "storage/QELFieldTypes.h"
#include "storage/QELRecordData.h"

namespace qel {
namespace {

constexpr int kTransactions = 10000;
constexpr int kFlushedTransactions = 500;
using bench::Clock;
using bench::Seconds;

class TBenchSession final : public TQELStorageSession {
 public:
  explicit TBenchSession(bool multiUser) : FMultiUser(multiUser) {}
  std::int32_t SessionID() const override { return FID; }
  void SetSessionID(std::int32_t sessionID) override { FID = sessionID; }
  bool MultiUser() const override { return FMultiUser; }
  void SetMultiUser(bool multiUser) override { FMultiUser = multiUser; }

 private:
  std::int32_t FID = -1;
  bool FMultiUser;
};

void CreateEngineFile(const std::string& fileName) {
  std::filesystem::remove(fileName);
  TQELDiskDatabaseData database(fileName);
  database.CreateDatabaseFile({}, 4096, 8, 16);
  TQELFieldDefs fields;
  fields.Add("ID", aftInteger, 0);
  fields.Add("NAME", aftString, 40);
  TQELIndexDefs indexes;
  TQELIndexDef& byID = indexes.Add();
  byID.SetName("BY_ID");
  byID.AddColumn("ID");
  byID.Unique = true;
  TQELTableCursor cursor("T");
  static_cast<TQELDiskTableData*>(database.GetTableData(&cursor))
      ->CreateTable(cursor, fields, {}, indexes);
}

// Answers the transactions per second; checks that every record arrived.
double EngineRun(const std::string& fileName, bool multiUser, bool flush, int transactions) {
  CreateEngineFile(fileName);
  TQELDiskDatabaseData database(fileName);
  database.SetFlushEveryCommit(flush);
  TBenchSession session(multiUser);
  database.AddSession(&session);
  if (database.MultiUser() != multiUser) {
    std::fprintf(stderr, "the file did not open in the requested mode\n");
    std::exit(1);
  }
  const std::int32_t sessionID = session.SessionID();
  TQELTableCursor cursor("T");
  cursor.SetSession(sessionID, false);
  auto* table = static_cast<TQELDiskTableData*>(database.GetTableData(&cursor));
  table->AddCursor(&cursor);
  table->InitCursor(cursor);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(cursor.RecordSize));
  cursor.RecordBuffer = buffer.data();
  const TQELFieldDefs& defs = table->FieldDefs();
  std::vector<char> name(static_cast<std::size_t>(defs[1].MemoryDataSize()) + 1, 0);

  const auto start = Clock::now();
  for (int id = 0; id < transactions; ++id) {
    if (!table->LockTable(sessionID, 3, 1000, 1, 20)) std::exit(1);
    cursor.SetSession(sessionID, true);
    std::fill(buffer.begin(), buffer.end(), 0);
    for (std::int32_t i = 0; i < defs.Count(); ++i) SetNull(true, i, buffer.data());
    SetFieldData(0, defs, &id, buffer.data());
    std::snprintf(name.data(), name.size(), "record %d", id);
    SetFieldData(1, defs, name.data(), buffer.data());
    if (!table->InsertRecord(cursor)) std::exit(1);
    database.Commit(sessionID);
    cursor.SetSession(sessionID, false);
  }
  const double seconds = Seconds(start);
  if (table->InternalGetRecordCount(cursor) != transactions) {
    std::fprintf(stderr, "engine: records missing\n");
    std::exit(1);
  }
  table->RemoveCursor(&cursor);
  database.RemoveSession(&session);
  return transactions / seconds;
}

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

double SqliteRun(const std::string& fileName, const char* synchronous, int transactions) {
  std::filesystem::remove(fileName);
  sqlite3* db = nullptr;
  Check(sqlite3_open(fileName.c_str(), &db), db);
  Check(sqlite3_exec(db, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr), db);
  Check(sqlite3_exec(db, (std::string("PRAGMA synchronous=") + synchronous).c_str(), nullptr,
                     nullptr, nullptr),
        db);
  Check(sqlite3_exec(db, "CREATE TABLE T (ID INTEGER, NAME VARCHAR(40));"
                         "CREATE UNIQUE INDEX BY_ID ON T (ID);",
                     nullptr, nullptr, nullptr),
        db);
  sqlite3_stmt *begin, *insert, *commit;
  Check(sqlite3_prepare_v2(db, "BEGIN", -1, &begin, nullptr), db);
  Check(sqlite3_prepare_v2(db, "INSERT INTO T VALUES (?, ?)", -1, &insert, nullptr), db);
  Check(sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr), db);
  char name[48];
  const auto start = Clock::now();
  for (int id = 0; id < transactions; ++id) {
    Check(sqlite3_step(begin), db);
    sqlite3_reset(begin);
    std::snprintf(name, sizeof name, "record %d", id);
    sqlite3_bind_int(insert, 1, id);
    sqlite3_bind_text(insert, 2, name, -1, SQLITE_STATIC);
    Check(sqlite3_step(insert), db);
    sqlite3_reset(insert);
    Check(sqlite3_step(commit), db);
    sqlite3_reset(commit);
  }
  const double seconds = Seconds(start);
  sqlite3_stmt* count;
  Check(sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM T", -1, &count, nullptr), db);
  Check(sqlite3_step(count), db);
  if (sqlite3_column_int(count, 0) != transactions) std::exit(1);
  for (sqlite3_stmt* statement : {begin, insert, commit, count}) sqlite3_finalize(statement);
  sqlite3_close(db);
  return transactions / seconds;
}

}  // namespace
}  // namespace qel

int main() {
  using namespace qel;
  bench::PrintMachineFacts("Single-record transactions on a disk table beside SQLite");
  const std::string dir = std::filesystem::temp_directory_path().string();
  std::printf("data: %d transactions (%d when flushed) of one insert each (ID integer with a "
              "unique index, NAME varchar(40)); files in %s\n\n",
              kTransactions, kFlushedTransactions, dir.c_str());
  const double sqliteOff = SqliteRun(dir + "/qel_tx.sqlite", "OFF", kTransactions);
  const double sqliteFull = SqliteRun(dir + "/qel_tx.sqlite", "FULL", kFlushedTransactions);
  std::printf("%-52s %12s %10s\n", "", "tx/s", "vs SQLite");
  std::printf("%-52s %12.0f %10s\n", "SQLite, rollback journal, synchronous=OFF", sqliteOff, "1.00");
  for (const bool multiUser : {true, false}) {
    const double rate = EngineRun(dir + "/qel_tx.qel", multiUser, false, kTransactions);
    std::printf("%-52s %12.0f %10.2f\n",
                multiUser ? "engine, multi-user, crash-atomic commits" : "engine, single-user, crash-atomic commits",
                rate, rate / sqliteOff);
  }
  std::printf("%-52s %12.0f %10s\n", "SQLite, rollback journal, synchronous=FULL", sqliteFull, "1.00");
  for (const bool multiUser : {true, false}) {
    const double rate = EngineRun(dir + "/qel_tx.qel", multiUser, true, kFlushedTransactions);
    std::printf("%-52s %12.0f %10.2f\n",
                multiUser ? "engine, multi-user, flushed commits" : "engine, single-user, flushed commits",
                rate, rate / sqliteFull);
  }
  for (const char* name : {"/qel_tx.qel", "/qel_tx.qel-journal", "/qel_tx.sqlite"}) {
    std::filesystem::remove(dir + name);
  }
  return 0;
}
