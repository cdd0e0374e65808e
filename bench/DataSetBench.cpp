// The dataset over the engine cursor against the bare cursor and SQLite on
// the same reads: 100 000 rows (ID integer, TERM string, DESCR memo with a
// value in 1 000 of them) scanned through the fields, memos through their
// streams, and the rows fetched through a record filter event that keeps
// every tenth. The dataset's goal is at most 1.3 times the cursor's scan.

#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "BenchUtil.h"
#include "SqliteBench.h"
#include "components/QELDataSet.h"
#include "components/QELDatabase.h"
#include "engine/QELLocalEngine.h"

using namespace qel;
using namespace qel::bench;

namespace {

constexpr int kRows = 100000;
constexpr int kMemoEvery = 100;  // 1 000 memos

std::string TermOf(int id) { return "term-" + std::to_string(id * 7919 % 1000003); }
std::string MemoOf(int id) { return std::string(200 + id % 50, static_cast<char>('a' + id % 26)); }

struct TTally {
  std::int64_t Rows = 0;
  std::int64_t Sum = 0;
  std::int64_t Bytes = 0;
  void Add(std::int64_t id, std::size_t termSize, std::size_t memoSize) {
    ++Rows;
    Sum += id;
    Bytes += static_cast<std::int64_t>(termSize + memoSize);
  }
  bool operator==(const TTally&) const = default;
};

class TBenchDataSet : public TQELDataSet {
 protected:
  std::unique_ptr<TQELCursor> CreateCursor() override {
    auto cursor = std::make_unique<TQELLocalCursor>();
    cursor->Session = Database()->EngineSession();
    cursor->SetTableName("T");
    cursor->Open({}, {}, {});
    return cursor;
  }
};

void Build(const std::string& file) {
  TQELLocalSession session;
  session.SetDatabaseName("BENCH");
  session.SetDatabaseFileName(file);
  session.CreateDatabase();
  session.SetConnected(true);
  TQELFieldDefs fields;
  fields.Add("ID", aftInteger, 0);
  fields.Add("TERM", aftString, 40);
  fields.Add("DESCR", aftMemo, 0);
  TQELLocalCursor cursor;
  cursor.Session = &session;
  cursor.SetTableName("T");
  cursor.CreateTable(fields, {}, {});
  cursor.Open({}, {}, {});
  std::uint8_t* buffer = cursor.AllocRecordBuffer();
  cursor.RecordBuffer = buffer;
  session.StartTransaction();
  for (int id = 1; id <= kRows; ++id) {
    cursor.InitRecord(buffer, true);
    cursor.SetFieldData(0, &id, buffer);
    const std::string term = TermOf(id);
    cursor.SetFieldData(1, term.c_str(), buffer);
    if (id % kMemoEvery == 0) {
      const std::string memo = MemoOf(id);
      TQELLocalBLOBStream* stream = cursor.OpenBlob(true, false, false, 0, 2);
      stream->Write(memo.data(), static_cast<std::int64_t>(memo.size()));
      cursor.CloseBlob(2);
    }
    cursor.Post(true);
    if (cursor.Status != 0) Fail("insert failed");
  }
  session.Commit(true);
  cursor.FreeRecordBuffer(buffer);
  cursor.Close();
  session.SetConnected(false);
}

TTally CursorScan(TQELLocalCursor& cursor, bool filterTenth) {
  TTally tally;
  std::string memo;
  char term[41];
  cursor.First();
  while (cursor.GetRecord(grmNext) == grOK) {
    std::int32_t id = 0;
    cursor.GetFieldData(0, &id, cursor.RecordBuffer);
    if (filterTenth && id % 10 != 0) continue;
    if (!cursor.GetFieldData(1, term, cursor.RecordBuffer)) term[0] = 0;
    memo.clear();
    if (id % kMemoEvery == 0) {
      TQELLocalBLOBStream* stream = cursor.OpenBlob(false, false, true, 1, 2);
      memo.resize(static_cast<std::size_t>(stream->GetSize()));
      stream->Read(memo.data(), static_cast<std::int64_t>(memo.size()));
      cursor.CloseBlob(2);
    }
    tally.Add(id, std::strlen(term), memo.size());
  }
  return tally;
}

TTally DataSetScan(TQELDataSet& data) {
  TTally tally;
  TField& id = data.FieldByName("ID");
  TField& term = data.FieldByName("TERM");
  TField& descr = data.FieldByName("DESCR");
  data.DisableControls();
  for (data.First(); !data.Eof(); data.Next()) {
    const std::int32_t value = id.AsInteger();
    const std::string text = term.AsString();
    const std::size_t memo = value % kMemoEvery == 0 ? descr.AsString().size() : 0;
    tally.Add(value, text.size(), memo);
  }
  data.EnableControls();
  return tally;
}

TTally SqliteScan(sqlite3* db, bool filterTenth) {
  TTally tally;
  sqlite3_stmt* statement = SqlitePrepare(
      db, filterTenth ? "SELECT id, term, descr FROM t WHERE id % 10 = 0" : "SELECT id, term, descr FROM t");
  while (sqlite3_step(statement) == SQLITE_ROW) {
    const std::int64_t id = sqlite3_column_int64(statement, 0);
    const std::size_t term = static_cast<std::size_t>(sqlite3_column_bytes(statement, 1));
    const std::size_t memo = static_cast<std::size_t>(sqlite3_column_bytes(statement, 2));
    tally.Add(id, term, memo);
  }
  sqlite3_finalize(statement);
  return tally;
}


}  // namespace

int main() {
  PrintMachineFacts("qel_dataset_bench");
  const std::string dir = (std::filesystem::temp_directory_path() / "qel_dataset_bench").string();
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const std::string file = dir + "/bench.qel";
  Build(file);
  std::printf("data: %d rows, %d memos of 200..249 bytes, file %s\n", kRows, kRows / kMemoEvery, file.c_str());

  sqlite3* db = nullptr;
  sqlite3_open((dir + "/bench.sqlite").c_str(), &db);
  SqliteExec(db, "CREATE TABLE t(id INTEGER, term TEXT, descr TEXT)");
  SqliteExec(db, "BEGIN");
  sqlite3_stmt* insert = SqlitePrepare(db, "INSERT INTO t VALUES(?, ?, ?)");
  for (int id = 1; id <= kRows; ++id) {
    const std::string term = TermOf(id);
    const std::string memo = id % kMemoEvery == 0 ? MemoOf(id) : std::string();
    sqlite3_bind_int(insert, 1, id);
    sqlite3_bind_text(insert, 2, term.c_str(), -1, SQLITE_TRANSIENT);
    if (memo.empty()) {
      sqlite3_bind_null(insert, 3);
    } else {
      sqlite3_bind_text(insert, 3, memo.c_str(), -1, SQLITE_TRANSIENT);
    }
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  SqliteExec(db, "COMMIT");

  TQELDatabase database;
  database.SetDatabaseName("BENCH");
  database.SetDatabaseFileName(file);
  database.SetConnected(true);

  TTally cursorAll, cursorTenth, dataAll, dataTenth, sqliteAll, sqliteTenth;
  TQELLocalCursor cursor;
  cursor.Session = database.EngineSession();
  cursor.SetTableName("T");
  cursor.Open({}, {}, {});
  std::uint8_t* buffer = cursor.AllocRecordBuffer();
  cursor.RecordBuffer = buffer;
  TBenchDataSet data;
  data.SetDatabaseName("BENCH");
  data.Open();
  // The cursor's and the dataset's rounds take turns, so that a busy moment
  // of the machine falls on both sides alike.
  double cursorScan = 0, dataScan = 0;
  BestSecondsTakingTurns([&] { return CursorScan(cursor, false); }, cursorAll, cursorScan,
                         [&] { return DataSetScan(data); }, dataAll, dataScan);
  data.SetOnFilterRecordValue([](TDataSet& dataSet, bool& accept) {
    accept = dataSet.FieldByName("ID").AsInteger() % 10 == 0;
  });
  data.SetFilteredValue(true);
  double cursorFilter = 0, dataFilter = 0;
  BestSecondsTakingTurns([&] { return CursorScan(cursor, true); }, cursorTenth, cursorFilter,
                         [&] { return DataSetScan(data); }, dataTenth, dataFilter);
  data.Close();
  cursor.FreeRecordBuffer(buffer);
  cursor.Close();
  const double sqliteScan = BestSeconds([&] { return SqliteScan(db, false); }, sqliteAll);
  const double sqliteFilter = BestSeconds([&] { return SqliteScan(db, true); }, sqliteTenth);
  sqlite3_close(db);

  if (!(cursorAll == dataAll) || !(cursorAll == sqliteAll)) Fail("the scans disagree");
  if (!(cursorTenth == dataTenth) || !(cursorTenth == sqliteTenth)) Fail("the filtered reads disagree");
  std::printf("%-36s %10s %10s %10s %12s %12s\n", "step", "cursor ms", "dataset ms", "sqlite ms",
              "dataset/cur", "dataset/sql");
  std::printf("%-36s %10.1f %10.1f %10.1f %12.2f %12.2f\n", "scan through fields, 1000 memos",
              cursorScan * 1e3, dataScan * 1e3, sqliteScan * 1e3, dataScan / cursorScan, dataScan / sqliteScan);
  std::printf("%-36s %10.1f %10.1f %10.1f %12.2f %12.2f\n", "every tenth row (filter event)",
              cursorFilter * 1e3, dataFilter * 1e3, sqliteFilter * 1e3, dataFilter / cursorFilter,
              dataFilter / sqliteFilter);
  std::printf("goal: dataset scan at most 1.3x the cursor scan: %s\n",
              dataScan <= 1.3 * cursorScan ? "met" : "NOT met");
  database.SetConnected(false);
  std::filesystem::remove_all(dir);
  return 0;
}
