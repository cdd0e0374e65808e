// ORDER BY as the query layer runs it: a result of records of 100 bytes
// (a random integer key and a 95-byte payload) is materialised into a
// temporary table, an index over the key (a "TEMPORARY_INDEX_" one) is
// defined on the filled table, and the records are walked in index order.
// Four ways, each at 100 000 and at 1 000 000 records:
//   memory  the temporary table with DisableTempFiles (nothing spills);
//   spill   the same with a share of 8 MB for records and 8 MB for index
//           pages, so nearly everything goes to the spill files;
//   sort    the same records in a std::vector, std::sort by key, walked;
//   sqlite  SQLite on a temporary database file with a page cache of 2 MB,
//           the rows inserted in one transaction, SELECT ... ORDER BY K.
// Our side goes through the table-data API (what the query layer calls).
// Each way runs in a process of its own (this program started again with
// the way's name), so that its peak resident memory (getrusage's
// ru_maxrss) is its own; "idle" is such a process doing nothing. Every
// walk checks that the keys come in order and that the records seen are
// the records made (count and checksum), so a wrong answer cannot pass as
// a fast one.

#include <sqlite3.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "SqliteBench.h"
#include "storage/QELRecordData.h"
#include "storage/QELTableCursor.h"
#include "storage/QELTempEngine.h"

namespace qel {
namespace {

constexpr std::int32_t kRecordSize = 100;
constexpr std::int32_t kPayloadSize = 95;
constexpr std::int64_t kShare = std::int64_t{8} << 20;
constexpr int kSqliteCacheKiB = 2048;
constexpr std::int64_t kSizes[2] = {100000, 1000000};

using bench::Clock;
using bench::Fail;
using bench::Seconds;

// Record i: a key from a 64-bit mix of i (duplicates possible, as in real
// data) and a payload of further mixes.
std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::int32_t KeyOf(std::int64_t i) {
  return static_cast<std::int32_t>(Mix(static_cast<std::uint64_t>(i)) & 0x7FFFFFFF);
}

void PayloadOf(std::int64_t i, std::uint8_t* payload) {
  for (std::int32_t at = 0; at < kPayloadSize; at += 8) {
    const std::uint64_t word = Mix(static_cast<std::uint64_t>(i) * 131 + static_cast<std::uint64_t>(at));
    std::memcpy(payload + at, &word, static_cast<std::size_t>(std::min(8, kPayloadSize - at)));
  }
}

// What a walk saw: the count, an order-free checksum, and whether the keys
// came in order.
struct TWalk {
  std::int64_t Count = 0;
  std::uint64_t Sum = 0;
  std::int64_t LastKey = -1;
  bool Ordered = true;

  void Add(std::int32_t key, const std::uint8_t* payload) {
    std::uint64_t head = 0, tail = 0;
    std::memcpy(&head, payload, 8);
    std::memcpy(&tail, payload + kPayloadSize - 8, 8);
    Sum += Mix(static_cast<std::uint64_t>(key) ^ head) + tail;
    if (key < LastKey) Ordered = false;
    LastKey = key;
    ++Count;
  }
};

TWalk Expected(std::int64_t count) {
  TWalk walk;
  std::uint8_t payload[kPayloadSize];
  for (std::int64_t i = 0; i < count; ++i) {
    PayloadOf(i, payload);
    const std::int32_t key = KeyOf(i);
    walk.LastKey = -1;
    walk.Add(key, payload);
  }
  return walk;
}

void Check(const char* way, const TWalk& got, std::int64_t count) {
  const TWalk expected = Expected(count);
  if (!got.Ordered) Fail(std::string(way) + ": keys out of order");
  if (got.Count != expected.Count || got.Sum != expected.Sum) {
    Fail(std::string(way) + ": " + std::to_string(got.Count) + " records seen, " +
         std::to_string(expected.Count) + " made, or their contents differ");
  }
}

struct TTimes {
  double Fill = 0;
  double Index = 0;
  double Walk = 0;
  std::int64_t SpilledBytes = 0;  // spill files at the end of the walk
};

// ---- Our temporary table ---------------------------------------------------

TTimes RunTemporary(std::int64_t count, bool spill) {
  TQELTemporaryDatabaseData database;
  if (spill) {
    database.SetMemoryLimits({kShare / kRecordSize, static_cast<std::int32_t>(kShare / 4096)});
  }
  TQELTableCursor cursor("RESULT");
  cursor.DisableTempFiles = !spill;
  TQELFieldDefs fields;
  fields.Add("K", aftInteger, 0);
  fields.Add("P", aftBytes, kPayloadSize);
  auto* table = static_cast<TQELTemporaryTableData*>(database.GetTableData(&cursor));
  table->CreateTable(cursor, fields, {}, {});
  table->AddCursor(&cursor);
  if (cursor.RecordSize != kRecordSize) {
    Fail("the record is " + std::to_string(cursor.RecordSize) + " bytes, not 100");
  }
  const TQELFieldDefs& defs = table->FieldDefs();
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(cursor.RecordSize), 0);
  cursor.RecordBuffer = buffer.data();
  std::uint8_t payload[kPayloadSize];

  TTimes times;
  auto start = Clock::now();
  for (std::int64_t i = 0; i < count; ++i) {
    const std::int32_t key = KeyOf(i);
    PayloadOf(i, payload);
    SetFieldData(0, defs, &key, buffer.data());
    SetFieldData(1, defs, payload, buffer.data());
    if (!table->InsertRecord(cursor)) Fail("our insert of record " + std::to_string(i));
  }
  times.Fill = Seconds(start);

  // As the query layer orders a result: an index over the ORDER BY
  // columns, defined on the filled table and made current.
  start = Clock::now();
  TQELIndexDef order;
  order.SetName("TEMPORARY_INDEX_1");
  order.AddColumn("K", false);
  const std::int32_t index = table->CreateIndex(order, cursor);
  times.Index = Seconds(start);

  start = Clock::now();
  TWalk walk;
  cursor.IndexID = index;
  cursor.BeforeFirst = true;
  cursor.AfterLast = false;
  std::int32_t key = 0;
  while (table->GetRecord(cursor, grmNext) == grOK) {
    if (!GetFieldData(0, defs, &key, buffer.data()) || !GetFieldData(1, defs, payload, buffer.data())) {
      Fail("our record with a NULL field");
    }
    walk.Add(key, payload);
  }
  times.Walk = Seconds(start);
  Check(spill ? "spill" : "memory", walk, count);

  if (TQELFileStream* file = table->TemporaryRecordManager()->SpillFile()) {
    times.SpilledBytes += file->GetSize();
  }
  if (TQELFileStream* file = table->TemporaryPages().SpillFile()) times.SpilledBytes += file->GetSize();
  if (!spill && times.SpilledBytes != 0) Fail("memory: a spill file was made");
  if (spill && times.SpilledBytes == 0) Fail("spill: nothing spilled");
  table->RemoveCursor(&cursor);
  return times;
}

// ---- std::sort -------------------------------------------------------------

struct TRow {
  std::int32_t Key;
  std::uint8_t Payload[kRecordSize - sizeof(std::int32_t)];
};
static_assert(sizeof(TRow) == kRecordSize);

TTimes RunSort(std::int64_t count) {
  TTimes times;
  auto start = Clock::now();
  std::vector<TRow> rows(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) {
    TRow& row = rows[static_cast<std::size_t>(i)];
    row.Key = KeyOf(i);
    PayloadOf(i, row.Payload);
  }
  times.Fill = Seconds(start);
  start = Clock::now();
  std::sort(rows.begin(), rows.end(), [](const TRow& a, const TRow& b) { return a.Key < b.Key; });
  times.Index = Seconds(start);
  start = Clock::now();
  TWalk walk;
  for (const TRow& row : rows) walk.Add(row.Key, row.Payload);
  times.Walk = Seconds(start);
  Check("sort", walk, count);
  return times;
}

// ---- SQLite ----------------------------------------------------------------

TTimes RunSqlite(std::int64_t count) {
  sqlite3* db = nullptr;
  // An empty name is a private temporary database on disk.
  if (sqlite3_open("", &db) != SQLITE_OK) Fail("sqlite3_open");
  const std::string cache = "PRAGMA cache_size = -" + std::to_string(kSqliteCacheKiB);
  bench::SqliteExec(db, cache.c_str());
  bench::SqliteExec(db, "PRAGMA temp_store = FILE");
  bench::SqliteExec(db, "PRAGMA journal_mode = OFF");
  bench::SqliteExec(db, "PRAGMA synchronous = OFF");
  bench::SqliteExec(db, "CREATE TABLE R(K INTEGER, P BLOB)");
  TTimes times;
  std::uint8_t payload[kPayloadSize];
  auto start = Clock::now();
  sqlite3_stmt* insert = bench::SqlitePrepare(db, "INSERT INTO R(K, P) VALUES(?, ?)");
  bench::SqliteExec(db, "BEGIN");
  for (std::int64_t i = 0; i < count; ++i) {
    PayloadOf(i, payload);
    sqlite3_bind_int(insert, 1, KeyOf(i));
    sqlite3_bind_blob(insert, 2, payload, kPayloadSize, SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) Fail(std::string("sqlite insert: ") + sqlite3_errmsg(db));
    sqlite3_reset(insert);
  }
  bench::SqliteExec(db, "COMMIT");
  sqlite3_finalize(insert);
  times.Fill = Seconds(start);

  // SQLite sorts as the first row is asked for: that step is its "index".
  start = Clock::now();
  sqlite3_stmt* select = bench::SqlitePrepare(db, "SELECT K, P FROM R ORDER BY K");
  int rc = sqlite3_step(select);
  times.Index = Seconds(start);
  start = Clock::now();
  TWalk walk;
  for (; rc == SQLITE_ROW; rc = sqlite3_step(select)) {
    if (sqlite3_column_bytes(select, 1) != kPayloadSize) Fail("sqlite payload of another size");
    walk.Add(sqlite3_column_int(select, 0), static_cast<const std::uint8_t*>(sqlite3_column_blob(select, 1)));
  }
  if (rc != SQLITE_DONE) Fail(std::string("sqlite walk: ") + sqlite3_errmsg(db));
  times.Walk = Seconds(start);
  sqlite3_finalize(select);
  sqlite3_close(db);
  Check("sqlite", walk, count);
  return times;
}

// ---- One way in this process ----------------------------------------------

long PeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

int RunWay(const std::string& way, std::int64_t count) {
  TTimes times;
  if (way == "memory") {
    times = RunTemporary(count, false);
  } else if (way == "spill") {
    times = RunTemporary(count, true);
  } else if (way == "sort") {
    times = RunSort(count);
  } else if (way == "sqlite") {
    times = RunSqlite(count);
  } else if (way != "idle") {
    Fail("unknown way " + way);
  }
  std::printf("RESULT %.6f %.6f %.6f %lld %ld\n", times.Fill, times.Index, times.Walk,
              static_cast<long long>(times.SpilledBytes), PeakKiB());
  return 0;
}

// ---- The run: every way in a process of its own ---------------------------

struct TResult {
  TTimes Times;
  long PeakKiB = 0;
  double Total() const { return Times.Fill + Times.Index + Times.Walk; }
};

TResult Launch(const std::string& self, const std::string& way, std::int64_t count) {
  const std::string command = "'" + self + "' --way " + way + " " + std::to_string(count);
  FILE* child = ::popen(command.c_str(), "r");
  if (child == nullptr) Fail("cannot start " + command);
  TResult result;
  char line[512];
  bool found = false;
  while (std::fgets(line, sizeof line, child) != nullptr) {
    long long spilled = 0;
    if (std::sscanf(line, "RESULT %lf %lf %lf %lld %ld", &result.Times.Fill, &result.Times.Index,
                    &result.Times.Walk, &spilled, &result.PeakKiB) == 5) {
      result.Times.SpilledBytes = spilled;
      found = true;
    }
  }
  if (::pclose(child) != 0 || !found) Fail(way + " at " + std::to_string(count) + " failed");
  return result;
}

void PrintRow(const char* way, const TResult& r, const TResult& memory) {
  std::printf("%-8s %8.3f %8.3f %8.3f %8.3f %7.2fx %9.1f %10.1f\n", way, r.Times.Fill, r.Times.Index,
              r.Times.Walk, r.Total(), r.Total() / memory.Total(), r.PeakKiB / 1024.0,
              static_cast<double>(r.Times.SpilledBytes) / 1048576.0);
}

const char* Verdict(bool met) { return met ? "met" : "NOT MET"; }

}  // namespace
}  // namespace qel

int main(int argc, char** argv) {
  using namespace qel;
  if (argc == 4 && std::strcmp(argv[1], "--way") == 0) return RunWay(argv[2], std::atoll(argv[3]));

  char self[4096] = {};
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) Fail("cannot find this program");
  bench::PrintMachineFacts("ORDER BY through a temporary table and its temporary index");
  std::printf(
      "data: records of %d bytes (integer key, random with repeats; %d-byte payload); fill, "
      "define an index on the key over the filled table, walk in index order\n"
      "spill: %lld MB share for records and %lld MB for index pages; SQLite %s: temporary "
      "database file, cache_size %d KiB, temp_store FILE, journal off, one transaction\n"
      "each way runs in a process of its own; peak = ru_maxrss of that process\n",
      kRecordSize, kPayloadSize, static_cast<long long>(kShare >> 20),
      static_cast<long long>(kShare >> 20), sqlite3_libversion(), kSqliteCacheKiB);
  std::fflush(stdout);

  const TResult idle = Launch(self, "idle", 0);
  std::printf("idle process peak: %.1f MB\n", idle.PeakKiB / 1024.0);
  TResult results[2][4];
  const char* ways[4] = {"memory", "spill", "sort", "sqlite"};
  for (int s = 0; s < 2; ++s) {
    std::printf("\n%lld records\n%-8s %8s %8s %8s %8s %8s %9s %10s\n", static_cast<long long>(kSizes[s]),
                "way", "fill s", "index s", "walk s", "total s", "/memory", "peak MB", "spilled MB");
    for (int w = 0; w < 4; ++w) {
      results[s][w] = Launch(self, ways[w], kSizes[s]);
      PrintRow(ways[w], results[s][w], results[s][0]);
      std::fflush(stdout);
    }
  }

  const TResult& memory = results[1][0];
  const TResult& spill = results[1][1];
  const TResult& sqlite = results[1][3];
  const double shareMB = static_cast<double>(kShare) / 1048576.0;
  const double spillPeak = spill.PeakKiB / 1024.0;
  const double perFillSmall = results[0][0].Times.Fill / static_cast<double>(kSizes[0]);
  const double perFillLarge = memory.Times.Fill / static_cast<double>(kSizes[1]);
  const double perSpillSmall = results[0][1].Times.Fill / static_cast<double>(kSizes[0]);
  const double perSpillLarge = spill.Times.Fill / static_cast<double>(kSizes[1]);
  std::printf("\ngoals at %lld records:\n", static_cast<long long>(kSizes[1]));
  std::printf("  spill peak %.1f MB < share %.0f MB + 64 MB: %s\n", spillPeak, shareMB,
              Verdict(spillPeak < shareMB + 64));
  std::printf("  spill time %.2fx memory-only (goal at most 2): %s\n", spill.Total() / memory.Total(),
              Verdict(spill.Total() <= 2 * memory.Total()));
  std::printf("  memory-only time %.2fx SQLite (goal at most 1.5): %s\n", memory.Total() / sqlite.Total(),
              Verdict(memory.Total() <= 1.5 * sqlite.Total()));
  std::printf("  fill per record at %lld / at %lld: memory %.2f (%.3f -> %.3f us), spill %.2f "
              "(%.3f -> %.3f us) (goal at most 1.5): %s\n",
              static_cast<long long>(kSizes[1]), static_cast<long long>(kSizes[0]),
              perFillLarge / perFillSmall, perFillSmall * 1e6, perFillLarge * 1e6,
              perSpillLarge / perSpillSmall, perSpillSmall * 1e6, perSpillLarge * 1e6,
              Verdict(perFillLarge <= 1.5 * perFillSmall && perSpillLarge <= 1.5 * perSpillSmall));
  std::printf("checked: every walk saw every record made, keys in order\n");
  return 0;
}
