// A memory table beside an SQLite :memory: table, on the same rows in one
// run, at 200 000 and at 1 000 000 rows. The table has an integer ID with
// a unique index, a NAME of 32 characters with an index, and a PAYLOAD of
// 100 bytes. Steps: all rows inserted in one transaction, 100 000 lookups
// by ID and 100 000 by NAME (each reading the row), a full scan, and
// 50 000 deletes found by ID. Our side goes through the table-data API
// (the layer under the SQL statements), SQLite through prepared
// statements. The engines take turns; each step's best time counts. Every
// step checks its answers against the generated rows, so a wrong result
// cannot pass as a fast one. The last lines compare the time per insert at
// the large size with that at the small one (growth of the record array
// and the indexes).

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "SqliteBench.h"
#include "storage/QELFieldTypes.h"
#include "storage/QELMemEngine.h"
#include "storage/QELRecordData.h"
#include "storage/QELTableCursor.h"

namespace qel {
namespace {

constexpr std::int32_t kLookupCount = 100000;
constexpr std::int32_t kDeleteCount = 50000;
constexpr std::int32_t kNameSize = 32;
constexpr std::int32_t kPayloadSize = 100;
constexpr std::int32_t kSession = 0;
// Each size runs this often on each engine, the engines taking turns.
constexpr int kRounds = 2;
constexpr const char* kTableName = "ITEMS";

using bench::Clock;
using bench::Seconds;
using bench::Fail;

struct TRow {
  std::int32_t ID = 0;
  std::string Name;  // exactly kNameSize characters, unique
  std::string Payload;  // kPayloadSize bytes
};

// IDs are a shuffled 1..N (so the ID index fills in random order); each
// NAME is a unique number in random order padded with letters to 32
// characters; each PAYLOAD 100 bytes of letters.
std::vector<TRow> MakeRows(std::int32_t count) {
  std::mt19937 random(20261210);
  std::vector<std::int32_t> ids(static_cast<std::size_t>(count));
  std::iota(ids.begin(), ids.end(), 1);
  std::shuffle(ids.begin(), ids.end(), random);
  std::vector<std::int32_t> numbers = ids;
  std::shuffle(numbers.begin(), numbers.end(), random);
  std::vector<TRow> rows(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    TRow& row = rows[static_cast<std::size_t>(i)];
    row.ID = ids[static_cast<std::size_t>(i)];
    row.Name = std::to_string(numbers[static_cast<std::size_t>(i)]) + "-";
    while (row.Name.size() < kNameSize) row.Name += static_cast<char>('a' + random() % 26);
    row.Payload.resize(kPayloadSize);
    for (char& c : row.Payload) c = static_cast<char>('A' + random() % 26);
  }
  return rows;
}

// What a step saw: equal sums on both sides and with the rows mean the
// same rows came back.
struct TSums {
  std::int64_t Rows = 0;
  std::int64_t IDs = 0;
  std::uint64_t Hash = 0;

  void Add(std::int32_t id, const char* name, const char* payload) {
    ++Rows;
    IDs += id;
    Hash += std::hash<std::string_view>{}(std::string_view(name, kNameSize)) * 31 +
            std::hash<std::string_view>{}(std::string_view(payload, kPayloadSize));
  }
  bool operator==(const TSums&) const = default;
};

void Check(const char* engine, const char* step, const TSums& got, const TSums& expected) {
  if (got == expected) return;
  Fail(std::string(engine) + " " + step + ": rows " + std::to_string(got.Rows) + " (expected " +
       std::to_string(expected.Rows) + "), ID sum " + std::to_string(got.IDs) + " (expected " +
       std::to_string(expected.IDs) + ") or hash differ");
}

struct TResult {
  double Insert = 1e30;
  double LookupID = 1e30;
  double LookupName = 1e30;
  double Scan = 1e30;
  double Delete = 1e30;

  void KeepBest(const TResult& r) {
    Insert = std::min(Insert, r.Insert);
    LookupID = std::min(LookupID, r.LookupID);
    LookupName = std::min(LookupName, r.LookupName);
    Scan = std::min(Scan, r.Scan);
    Delete = std::min(Delete, r.Delete);
  }
};

// ---- Our memory table --------------------------------------------------------

class TOurTable {
 public:
  TOurTable() : FCursor(kTableName) {
    TQELFieldDefs fields;
    fields.Add("ID", aftInteger, 0);
    fields.Add("NAME", aftString, kNameSize);
    fields.Add("PAYLOAD", aftBytes, kPayloadSize);
    TQELIndexDefs indexes;
    TQELIndexDef& byID = indexes.Add();
    byID.SetName("BY_ID");
    byID.AddColumn("ID");
    byID.Unique = true;
    TQELIndexDef& byName = indexes.Add();
    byName.SetName("BY_NAME");
    byName.AddColumn("NAME");
    FTable = static_cast<TQELMemoryTableData*>(FDatabase.GetTableData(&FCursor));
    FTable->CreateTable(FCursor, fields, {}, indexes);
    FTable->AddCursor(&FCursor);
    FBuffer.assign(static_cast<std::size_t>(FCursor.RecordSize), 0);
    FKey.assign(FBuffer.size(), 0);
    FCursor.RecordBuffer = FBuffer.data();
    const TQELIndexDefs& defs = FTable->IndexManager()->IndexDefs();
    FByID = defs.FindIndexByName("BY_ID")->ObjectID();
    FByName = defs.FindIndexByName("BY_NAME")->ObjectID();
  }
  ~TOurTable() { FTable->RemoveCursor(&FCursor); }

  // Memory tables are outside transactions: the cursor's transaction flag
  // changes nothing, but it is set as a session inside one would set it.
  void Insert(const std::vector<TRow>& rows) {
    FCursor.SetSession(kSession, true);
    const TQELFieldDefs& defs = FTable->FieldDefs();
    char name[kNameSize + 1] = {};
    for (const TRow& row : rows) {
      std::fill(FBuffer.begin(), FBuffer.end(), 0);
      SetFieldData(0, defs, &row.ID, FBuffer.data());
      std::memcpy(name, row.Name.data(), kNameSize);
      SetFieldData(1, defs, name, FBuffer.data());
      SetFieldData(2, defs, row.Payload.data(), FBuffer.data());
      if (!FTable->InsertRecord(FCursor)) Fail("our insert of ID " + std::to_string(row.ID));
    }
    FDatabase.Commit(kSession);
    FCursor.SetSession(kSession, false);
  }

  TSums LookupByID(const std::vector<const TRow*>& probes) {
    TSums sums;
    for (const TRow* probe : probes) {
      if (!FindByID(probe->ID)) Fail("our lookup missed ID " + std::to_string(probe->ID));
      ReadRow(sums);
    }
    return sums;
  }

  TSums LookupByName(const std::vector<const TRow*>& probes) {
    TSums sums;
    const TQELFieldDefs& defs = FTable->FieldDefs();
    char name[kNameSize + 1] = {};
    Search(FByName, [&] {
      for (const TRow* probe : probes) {
        std::memcpy(name, probe->Name.data(), kNameSize);
        SetFieldData(1, defs, name, FKey.data());
        if (!FTable->SearchKey(FCursor, sctEqual)) Fail("our lookup missed " + probe->Name);
        ReadRow(sums);
      }
    });
    return sums;
  }

  TSums Scan() {
    TSums sums;
    FCursor.IndexID = -1;
    FCursor.BeforeFirst = true;
    FCursor.AfterLast = false;
    while (FTable->GetRecord(FCursor, grmNext) == grOK) ReadRow(sums);
    return sums;
  }

  void Delete(const std::vector<const TRow*>& victims) {
    for (const TRow* victim : victims) {
      if (!FindByID(victim->ID)) Fail("our delete missed ID " + std::to_string(victim->ID));
      FCursor.IndexID = -1;
      if (!FTable->DeleteRecord(FCursor)) Fail("our delete of ID " + std::to_string(victim->ID));
    }
  }

  std::int64_t Count() { return FTable->InternalGetRecordCount(FCursor); }

 private:
  template <class TBody>
  void Search(std::int32_t indexID, TBody body) {
    FCursor.IndexID = indexID;
    std::fill(FKey.begin(), FKey.end(), 0);
    for (std::int32_t i = 0; i < FTable->FieldDefs().Count(); ++i) SetNull(true, i, FKey.data());
    FCursor.SearchKeyBuffer = FKey.data();
    FCursor.SearchKeyFieldCount = 1;
    body();
    FCursor.SearchKeyBuffer = nullptr;
    FCursor.SearchKeyFieldCount = 0;
    FCursor.IndexID = -1;
  }
  bool FindByID(std::int32_t id) {
    bool found = false;
    Search(FByID, [&] {
      SetFieldData(0, FTable->FieldDefs(), &id, FKey.data());
      found = FTable->SearchKey(FCursor, sctEqual);
    });
    return found;
  }
  void ReadRow(TSums& sums) {
    const TQELFieldDefs& defs = FTable->FieldDefs();
    std::int32_t id = 0;
    char name[kNameSize + 2] = {};
    char payload[kPayloadSize] = {};
    if (!GetFieldData(0, defs, &id, FBuffer.data()) ||
        !GetFieldData(1, defs, name, FBuffer.data()) ||
        !GetFieldData(2, defs, payload, FBuffer.data())) {
      Fail("our row with a NULL field");
    }
    sums.Add(id, name, payload);
  }

  TQELMemoryDatabaseData FDatabase;
  TQELTableCursor FCursor;
  TQELMemoryTableData* FTable = nullptr;
  std::vector<std::uint8_t> FBuffer;
  std::vector<std::uint8_t> FKey;
  std::int32_t FByID = -1;
  std::int32_t FByName = -1;
};

// ---- SQLite ------------------------------------------------------------------

class TSQLiteTable {
 public:
  TSQLiteTable() {
    if (sqlite3_open(":memory:", &FDb) != SQLITE_OK) Fail("sqlite3_open");
    Exec("CREATE TABLE ITEMS(ID INTEGER, NAME VARCHAR(32), PAYLOAD BLOB)");
    Exec("CREATE UNIQUE INDEX BY_ID ON ITEMS(ID)");
    Exec("CREATE INDEX BY_NAME ON ITEMS(NAME)");
  }
  ~TSQLiteTable() { sqlite3_close(FDb); }

  void Insert(const std::vector<TRow>& rows) {
    sqlite3_stmt* insert = Prepare("INSERT INTO ITEMS(ID, NAME, PAYLOAD) VALUES(?, ?, ?)");
    Exec("BEGIN");
    for (const TRow& row : rows) {
      sqlite3_bind_int(insert, 1, row.ID);
      sqlite3_bind_text(insert, 2, row.Name.data(), kNameSize, SQLITE_STATIC);
      sqlite3_bind_blob(insert, 3, row.Payload.data(), kPayloadSize, SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) Fail(std::string("sqlite insert: ") + Error());
      sqlite3_reset(insert);
    }
    Exec("COMMIT");
    sqlite3_finalize(insert);
  }

  TSums LookupByID(const std::vector<const TRow*>& probes) {
    sqlite3_stmt* lookup = Prepare("SELECT ID, NAME, PAYLOAD FROM ITEMS WHERE ID = ?");
    TSums sums;
    for (const TRow* probe : probes) {
      sqlite3_bind_int(lookup, 1, probe->ID);
      if (sqlite3_step(lookup) != SQLITE_ROW) Fail("sqlite lookup missed an ID");
      ReadRow(lookup, sums);
      sqlite3_reset(lookup);
    }
    sqlite3_finalize(lookup);
    return sums;
  }

  TSums LookupByName(const std::vector<const TRow*>& probes) {
    sqlite3_stmt* lookup = Prepare("SELECT ID, NAME, PAYLOAD FROM ITEMS WHERE NAME = ?");
    TSums sums;
    for (const TRow* probe : probes) {
      sqlite3_bind_text(lookup, 1, probe->Name.data(), kNameSize, SQLITE_STATIC);
      if (sqlite3_step(lookup) != SQLITE_ROW) Fail("sqlite lookup missed " + probe->Name);
      ReadRow(lookup, sums);
      sqlite3_reset(lookup);
    }
    sqlite3_finalize(lookup);
    return sums;
  }

  TSums Scan() {
    sqlite3_stmt* scan = Prepare("SELECT ID, NAME, PAYLOAD FROM ITEMS");
    TSums sums;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(scan)) == SQLITE_ROW) ReadRow(scan, sums);
    if (rc != SQLITE_DONE) Fail(std::string("sqlite scan: ") + Error());
    sqlite3_finalize(scan);
    return sums;
  }

  void Delete(const std::vector<const TRow*>& victims) {
    sqlite3_stmt* erase = Prepare("DELETE FROM ITEMS WHERE ID = ?");
    Exec("BEGIN");
    for (const TRow* victim : victims) {
      sqlite3_bind_int(erase, 1, victim->ID);
      if (sqlite3_step(erase) != SQLITE_DONE || sqlite3_changes(FDb) != 1) {
        Fail("sqlite delete of an ID");
      }
      sqlite3_reset(erase);
    }
    Exec("COMMIT");
    sqlite3_finalize(erase);
  }

  std::int64_t Count() {
    sqlite3_stmt* count = Prepare("SELECT COUNT(*) FROM ITEMS");
    const std::int64_t n = sqlite3_step(count) == SQLITE_ROW ? sqlite3_column_int64(count, 0) : -1;
    sqlite3_finalize(count);
    return n;
  }

 private:
  static void ReadRow(sqlite3_stmt* statement, TSums& sums) {
    if (sqlite3_column_bytes(statement, 1) != kNameSize ||
        sqlite3_column_bytes(statement, 2) != kPayloadSize) {
      Fail("sqlite row of another size");
    }
    sums.Add(sqlite3_column_int(statement, 0),
             reinterpret_cast<const char*>(sqlite3_column_text(statement, 1)),
             static_cast<const char*>(sqlite3_column_blob(statement, 2)));
  }
  sqlite3_stmt* Prepare(const char* sql) { return bench::SqlitePrepare(FDb, sql); }
  void Exec(const char* sql) { bench::SqliteExec(FDb, sql); }
  const char* Error() const { return sqlite3_errmsg(FDb); }

  sqlite3* FDb = nullptr;
};

// ---- The run -----------------------------------------------------------------

struct TWork {
  std::vector<TRow> Rows;
  std::vector<const TRow*> Probes;
  std::vector<const TRow*> Victims;
  TSums All;
  TSums Probed;
  TSums Remaining;
};

TWork MakeWork(std::int32_t count) {
  TWork work;
  work.Rows = MakeRows(count);
  std::mt19937 random(7);
  for (std::int32_t i = 0; i < kLookupCount; ++i) {
    work.Probes.push_back(&work.Rows[random() % work.Rows.size()]);
  }
  // Distinct rows to delete: a random sample.
  std::vector<std::size_t> order(work.Rows.size());
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), random);
  for (std::int32_t i = 0; i < kDeleteCount; ++i) {
    work.Victims.push_back(&work.Rows[order[static_cast<std::size_t>(i)]]);
  }
  for (const TRow& row : work.Rows) work.All.Add(row.ID, row.Name.data(), row.Payload.data());
  for (const TRow* row : work.Probes) {
    work.Probed.Add(row->ID, row->Name.data(), row->Payload.data());
  }
  return work;
}

template <class Engine>
TResult Run(const char* name, const TWork& work) {
  TResult result;
  Engine engine;
  auto start = Clock::now();
  engine.Insert(work.Rows);
  result.Insert = Seconds(start);

  start = Clock::now();
  Check(name, "lookups by ID", engine.LookupByID(work.Probes), work.Probed);
  result.LookupID = Seconds(start);
  start = Clock::now();
  Check(name, "lookups by NAME", engine.LookupByName(work.Probes), work.Probed);
  result.LookupName = Seconds(start);
  start = Clock::now();
  Check(name, "scan", engine.Scan(), work.All);
  result.Scan = Seconds(start);
  start = Clock::now();
  engine.Delete(work.Victims);
  result.Delete = Seconds(start);
  if (engine.Count() != static_cast<std::int64_t>(work.Rows.size()) - kDeleteCount) {
    Fail(std::string(name) + ": wrong count after the deletes");
  }
  return result;
}

void PrintStep(const char* step, std::int64_t operations, double ours, double sqlite) {
  const double ratio = ours / sqlite;
  std::printf("%-24s %9.3f %9.3f %8.2f%s %12.0f %12.0f\n", step, ours, sqlite, ratio,
              ratio > 1.0 ? "*" : " ", static_cast<double>(operations) / ours,
              static_cast<double>(operations) / sqlite);
}

}  // namespace
}  // namespace qel

int main() {
  using namespace qel;
  bench::PrintMachineFacts("Memory table through the table-data API beside SQLite :memory:");
  std::printf(
      "data: ID integer (unique index), NAME string(%d) (index), PAYLOAD %d bytes; all inserts "
      "in one transaction; %d lookups per index reading the row; a full scan; %d deletes found "
      "by ID\n"
      "SQLite %s: :memory: database, prepared statements, inserts and deletes each in one "
      "BEGIN/COMMIT\n",
      kNameSize, kPayloadSize, kLookupCount, kDeleteCount, sqlite3_libversion());
  std::printf("ratios are ours/SQLite: below 1 we are faster; * marks more than 1.0x\n");
  std::fflush(stdout);

  double perInsert[2][2] = {};
  const std::int32_t sizes[2] = {200000, 1000000};
  for (int s = 0; s < 2; ++s) {
    const std::int32_t count = sizes[s];
    const TWork work = MakeWork(count);
    TResult our, lite;
    for (int round = 0; round < kRounds; ++round) {
      our.KeepBest(Run<TOurTable>("ours", work));
      lite.KeepBest(Run<TSQLiteTable>("SQLite", work));
    }
    std::printf("\n%d rows, best of %d rounds per step\n", count, kRounds);
    std::printf("%-24s %9s %9s %9s %12s %12s\n", "step", "ours s", "SQLite s", "ours/SQL",
                "ours ops/s", "SQLite ops/s");
    PrintStep("insert + commit", count, our.Insert, lite.Insert);
    PrintStep("lookups by ID", kLookupCount, our.LookupID, lite.LookupID);
    PrintStep("lookups by NAME", kLookupCount, our.LookupName, lite.LookupName);
    PrintStep("full scan", count, our.Scan, lite.Scan);
    PrintStep("deletes by ID", kDeleteCount, our.Delete, lite.Delete);
    perInsert[s][0] = our.Insert / count;
    perInsert[s][1] = lite.Insert / count;
    std::fflush(stdout);
  }
  std::printf(
      "\ntime per insert at %d rows / at %d rows: ours %.2f (%.3f us -> %.3f us), SQLite %.2f "
      "(%.3f us -> %.3f us); goal for ours: at most 1.5\n",
      sizes[1], sizes[0], perInsert[1][0] / perInsert[0][0], perInsert[0][0] * 1e6,
      perInsert[1][0] * 1e6, perInsert[1][1] / perInsert[0][1], perInsert[0][1] * 1e6,
      perInsert[1][1] * 1e6);
  std::printf("checked: every lookup found its row, both scans saw every row, counts agree after "
              "the deletes\n");
  return 0;
}
