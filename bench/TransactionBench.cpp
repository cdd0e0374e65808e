// 10 000 single-record transactions on a disk table, in multi-user and in
// single-user mode, beside SQLite doing 10 000 single-row transactions in
// rollback-journal mode in the same run.
//
// The engine's commit writes the changed pages without asking the
// operating system to flush them, so SQLite runs with synchronous=OFF for
// the like-for-like figure; its default (synchronous=FULL, a flush per
// commit) is measured too and printed beside it.

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
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

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

// Answers the seconds taken; checks that every record arrived.
double EngineRun(const std::string& fileName, bool multiUser) {
  CreateEngineFile(fileName);
  TQELDiskDatabaseData database(fileName);
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
  for (int id = 0; id < kTransactions; ++id) {
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
  if (table->InternalGetRecordCount(cursor) != kTransactions) {
    std::fprintf(stderr, "engine: records missing\n");
    std::exit(1);
  }
  table->RemoveCursor(&cursor);
  database.RemoveSession(&session);
  return seconds;
}

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

double SqliteRun(const std::string& fileName, const char* synchronous) {
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
  for (int id = 0; id < kTransactions; ++id) {
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
  if (sqlite3_column_int(count, 0) != kTransactions) std::exit(1);
  for (sqlite3_stmt* statement : {begin, insert, commit, count}) sqlite3_finalize(statement);
  sqlite3_close(db);
  return seconds;
}

}  // namespace
}  // namespace qel

int main() {
  using namespace qel;
  bench::PrintMachineFacts("Single-record transactions on a disk table beside SQLite");
  const std::string dir = std::filesystem::temp_directory_path().string();
  std::printf("data: %d transactions of one insert each (ID integer with a unique index, "
              "NAME varchar(40)); files in %s\n\n",
              kTransactions, dir.c_str());
  const double multi = EngineRun(dir + "/qel_tx_multi.qel", true);
  const double single = EngineRun(dir + "/qel_tx_single.qel", false);
  const double sqliteOff = SqliteRun(dir + "/qel_tx.sqlite", "OFF");
  const double sqliteFull = SqliteRun(dir + "/qel_tx.sqlite", "FULL");
  auto rate = [](double seconds) { return kTransactions / seconds; };
  std::printf("%-44s %12s %10s\n", "", "tx/s", "vs SQLite");
  std::printf("%-44s %12.0f %10.2f\n", "engine, multi-user (no flush)", rate(multi),
              rate(multi) / rate(sqliteOff));
  std::printf("%-44s %12.0f %10.2f\n", "engine, single-user (no flush)", rate(single),
              rate(single) / rate(sqliteOff));
  std::printf("%-44s %12.0f %10s\n", "SQLite, rollback journal, synchronous=OFF", rate(sqliteOff),
              "1.00");
  std::printf("%-44s %12.0f %10s\n", "SQLite, rollback journal, synchronous=FULL", rate(sqliteFull),
              "(flushes)");
  for (const char* name : {"/qel_tx_multi.qel", "/qel_tx_single.qel", "/qel_tx.sqlite"}) {
    std::filesystem::remove(dir + name);
  }
  return 0;
}
