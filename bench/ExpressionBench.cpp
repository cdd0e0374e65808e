// Conditions evaluated per record, beside SQLite on the same rows in one run.
// The table: ID integer, N integer (uniform in 0..999999), TERM string(40)
// of made-up words, about 1% of which hold "xyz". Two conditions are
// counted, each evaluated on every row (no index serves them):
//   LIKE:    TERM LIKE '%xyz%'   (case-sensitive on both sides)
//   BETWEEN: N BETWEEN 250000 AND 749999
// Our side runs them twice:
//   records: the parsed expression over the rows laid out as memory
//            records, one after the other: the expression's own cost;
//   cursor:  the filter text on an engine cursor over a memory table,
//            counted by GetRecordCount: the table scan's cost added.
// SQLite runs "SELECT COUNT(*) FROM t WHERE ..." on an in-memory table.
// Every side must count the same rows, and our evaluations must allocate
// nothing per row (this program counts operator new). Best of five rounds.

#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "SqliteBench.h"
#include "engine/QELLocalEngine.h"
#include "sql/QELExpressions.h"
#include "storage/QELRecordData.h"

namespace {

std::atomic<long> gAllocations{0};

}  // namespace

void* operator new(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace qel {
namespace {

constexpr std::int32_t kRows = 1000000;
constexpr std::int32_t kTermSize = 40;
constexpr int kRounds = 5;

using bench::Clock;
using bench::Fail;
using bench::Seconds;

struct TRow {
  std::int32_t ID;
  std::int32_t N;
  std::string Term;
};

std::vector<TRow> MakeRows() {
  std::mt19937 random(20250301);
  static const char* const kSyllables[] = {"ka", "ta", "la", "in", "ng", "ba", "ru", "si", "me",
                                           "po", "de", "an", "ku", "ya", "wi", "ha"};
  std::vector<TRow> rows;
  rows.reserve(kRows);
  for (std::int32_t i = 0; i < kRows; ++i) {
    std::string term;
    const unsigned length = 8 + random() % 28;
    while (term.size() < length) {
      term += kSyllables[random() % std::size(kSyllables)];
      if (random() % 5 == 0) term += ' ';
    }
    if (random() % 100 == 0) term.insert(random() % term.size(), "xyz");
    term.resize(std::min<std::size_t>(term.size(), kTermSize));
    rows.push_back({i + 1, static_cast<std::int32_t>(random() % 1000000), std::move(term)});
  }
  return rows;
}

struct TCondition {
  const char* Name;
  const char* Ours;
  const char* Sqlite;
  std::int64_t Expected = 0;
};

// ---- Our expressions over laid-out records -------------------------------------

class TRecords final : public TQELExprRecordSource {
 public:
  explicit TRecords(const std::vector<TRow>& rows) {
    FFields.Add("ID", aftInteger, 0);
    FFields.Add("N", aftInteger, 0);
    FFields.Add("TERM", aftString, kTermSize);
    FFields.RecalcOffsets();
    FSize = static_cast<std::size_t>(FFields.MemoryRecordSize());
    FData.assign(FSize * rows.size(), 0);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      std::uint8_t* record = FData.data() + i * FSize;
      SetFieldData(0, FFields, &rows[i].ID, record);
      SetFieldData(1, FFields, &rows[i].N, record);
      std::string slot = rows[i].Term;
      slot.resize(kTermSize + 1, '\0');
      SetFieldData(2, FFields, slot.data(), record);
    }
  }

  const TQELFieldDefs& FieldDefs() const override { return FFields; }
  std::int32_t FindField(std::string_view fieldName) const override {
    return FFields.IndexOfName(fieldName);
  }
  const std::uint8_t* CurrentRecord() const override { return FCurrent; }
  void ReadBlobValue(std::int32_t, const std::uint8_t*, TQELVariant& value) override { value.Clear(bftMemo); }

  // Rows the condition holds for, and the allocations made while counting.
  std::int64_t Count(TQELExpression& condition, long& allocations) {
    std::int64_t count = 0;
    const long before = gAllocations.load();
    const std::uint8_t* end = FData.data() + FData.size();
    // As a cursor's filter does: the fields read the record the source
    // points at.
    for (const std::uint8_t* record = FData.data(); record < end; record += FSize) {
      FCurrent = record;
      count += condition.Holds() ? 1 : 0;
    }
    allocations = gAllocations.load() - before;
    return count;
  }

 private:
  TQELFieldDefs FFields;
  std::size_t FSize = 0;
  std::vector<std::uint8_t> FData;
  const std::uint8_t* FCurrent = nullptr;
};

// ---- Our engine cursor over a memory table -------------------------------------

class TMemoryTable {
 public:
  explicit TMemoryTable(const std::vector<TRow>& rows) {
    FSession.SetDatabaseName("MEMORY");
    FSession.SetConnected(true);
    FCursor.Session = &FSession;
    FCursor.SetTableName("EXPRESSION_BENCH");
    TQELFieldDefs fields;
    fields.Add("ID", aftInteger, 0);
    fields.Add("N", aftInteger, 0);
    fields.Add("TERM", aftString, kTermSize);
    FCursor.CreateTable(fields, {}, {});
    FCursor.Open({}, {}, {});
    FBuffer = FCursor.AllocRecordBuffer();
    FCursor.RecordBuffer = FBuffer;
    FCursor.BeginChanges();
    for (const TRow& row : rows) {
      FCursor.InitRecord(FBuffer, false);
      FCursor.SetFieldData(0, &row.ID, FBuffer);
      FCursor.SetFieldData(1, &row.N, FBuffer);
      std::string slot = row.Term;
      slot.resize(kTermSize + 1, '\0');
      FCursor.SetFieldData(2, slot.data(), FBuffer);
      FCursor.Post(true);
      if (FCursor.Status != 0) Fail("our insert");
    }
    FCursor.ApplyChanges();
  }
  ~TMemoryTable() {
    FCursor.FreeRecordBuffer(FBuffer);
    FCursor.Close();
    FCursor.DeleteTable();
    FSession.SetConnected(false);
  }

  std::int64_t Count(const char* filter) {
    FCursor.SetFilter(filter, false, false);
    const std::int64_t count = FCursor.GetRecordCount();
    FCursor.ClearFilter();
    return count;
  }

 private:
  TQELLocalSession FSession;
  TQELLocalCursor FCursor;
  std::uint8_t* FBuffer = nullptr;
};

// ---- SQLite ----------------------------------------------------------------------

class TSqliteTable {
 public:
  explicit TSqliteTable(const std::vector<TRow>& rows) {
    if (sqlite3_open(":memory:", &FDb) != SQLITE_OK) Fail("sqlite3_open");
    bench::SqliteExec(FDb, "PRAGMA case_sensitive_like = ON");
    bench::SqliteExec(FDb, "CREATE TABLE t(ID INTEGER, N INTEGER, TERM VARCHAR(40))");
    sqlite3_stmt* insert = bench::SqlitePrepare(FDb, "INSERT INTO t VALUES(?, ?, ?)");
    bench::SqliteExec(FDb, "BEGIN");
    for (const TRow& row : rows) {
      sqlite3_bind_int(insert, 1, row.ID);
      sqlite3_bind_int(insert, 2, row.N);
      sqlite3_bind_text(insert, 3, row.Term.data(), static_cast<int>(row.Term.size()), SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) Fail("sqlite insert");
      sqlite3_reset(insert);
    }
    bench::SqliteExec(FDb, "COMMIT");
    sqlite3_finalize(insert);
  }
  ~TSqliteTable() { sqlite3_close(FDb); }

  std::int64_t Count(const char* where) {
    const std::string sql = std::string("SELECT COUNT(*) FROM t WHERE ") + where;
    sqlite3_stmt* count = bench::SqlitePrepare(FDb, sql.c_str());
    if (sqlite3_step(count) != SQLITE_ROW) Fail("sqlite count");
    const std::int64_t n = sqlite3_column_int64(count, 0);
    sqlite3_finalize(count);
    return n;
  }

 private:
  sqlite3* FDb = nullptr;
};

template <class TBody>
double Best(TBody&& body) {
  double best = 1e30;
  for (int round = 0; round < kRounds; ++round) {
    const auto start = Clock::now();
    body();
    best = std::min(best, Seconds(start));
  }
  return best;
}

}  // namespace
}  // namespace qel

int main() {
  using namespace qel;
  bench::PrintMachineFacts("Conditions evaluated per record, beside SQLite");
  const std::vector<TRow> rows = MakeRows();
  std::int64_t termBytes = 0;
  for (const TRow& row : rows) termBytes += static_cast<std::int64_t>(row.Term.size());
  std::printf("data: %d rows; ID integer, N integer in 0..999999, TERM string(%d) of %.1f bytes "
              "on average; no index; SQLite in memory with case_sensitive_like\n",
              kRows, kTermSize, static_cast<double>(termBytes) / kRows);

  TCondition conditions[] = {
      {"LIKE", "TERM LIKE '%xyz%'", "TERM LIKE '%xyz%'"},
      {"BETWEEN", "N BETWEEN 250000 AND 749999", "N BETWEEN 250000 AND 749999"},
  };
  for (TCondition& condition : conditions) {
    for (const TRow& row : rows) {
      const bool holds = condition.Name[0] == 'L' ? row.Term.find("xyz") != std::string::npos
                                                  : row.N >= 250000 && row.N <= 749999;
      condition.Expected += holds ? 1 : 0;
    }
  }

  TRecords records(rows);
  TSqliteTable sqlite(rows);
  const auto start = Clock::now();
  TMemoryTable table(rows);
  std::printf("our memory table filled in %.2f s\n", Seconds(start));

  std::printf("%-8s %9s %12s %12s %12s %9s %9s %s\n", "", "rows", "records ms", "cursor ms",
              "sqlite ms", "rec/sql", "cur/sql", "allocations per row");
  for (const TCondition& condition : conditions) {
    TQELExpression expression;
    expression.ParseFilter(&records, condition.Ours, false, false);
    std::int64_t ours = 0;
    long allocations = 0;
    const double recordSeconds = Best([&] { ours = records.Count(expression, allocations); });
    std::int64_t viaCursor = 0;
    const double cursorSeconds = Best([&] { viaCursor = table.Count(condition.Ours); });
    std::int64_t theirs = 0;
    const double sqliteSeconds = Best([&] { theirs = sqlite.Count(condition.Sqlite); });
    if (ours != condition.Expected || viaCursor != condition.Expected || theirs != condition.Expected) {
      Fail(std::string(condition.Name) + ": counts differ: " + std::to_string(ours) + " / " +
           std::to_string(viaCursor) + " / " + std::to_string(theirs) + ", expected " +
           std::to_string(condition.Expected));
    }
    std::printf("%-8s %9lld %12.1f %12.1f %12.1f %8.2fx %8.2fx %.6f\n", condition.Name,
                static_cast<long long>(ours), recordSeconds * 1e3, cursorSeconds * 1e3,
                sqliteSeconds * 1e3, recordSeconds / sqliteSeconds, cursorSeconds / sqliteSeconds,
                static_cast<double>(allocations) / kRows);
  }
  return 0;
}
