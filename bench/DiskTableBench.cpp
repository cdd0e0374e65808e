// A table in a database file beside the same table in an SQLite file, on
// the same rows in one run. The table has an integer ID with a unique
// index, a TERM string of up to 60 characters with an index, and a DESCR
// memo of about 500 bytes of glossary text (stored as it is on our side, as
// SQLite stores TEXT; --zlib compresses it). Steps: 100 000 inserts in one
// transaction, closing and reopening the file, a full scan reading every
// field, 10 000 lookups by TERM reading the row, and the size of each file.
// Our side goes through the table-data API (the layer under the SQL
// statements), SQLite through prepared statements; neither syncs to disk on
// commit. The engines take turns for a few rounds and each step's best time
// counts. With --zlib, zlib by itself on the same memos is timed too, to
// show how much of our insert and scan is compression. Every step checks its
// answers against the generated rows, so a wrong result cannot pass as a
// fast one.
//
// Options: --keep leaves the files of the last round in the temporary
// directory (for qel check and qel info); --ours-only runs our side alone,
// for profiling.

#include <sqlite3.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "BenchUtil.h"
#include "SqliteBench.h"
#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskTableData.h"
#include "storage/QELFieldTypes.h"
#include "storage/QELRecordData.h"
#include "storage/QELTableCursor.h"
#include "streams/QELCompression.h"

namespace qel {
namespace {

constexpr std::int32_t kRowCount = 100000;
constexpr std::int32_t kLookupCount = 10000;
constexpr std::int32_t kTermSize = 60;
constexpr std::uint16_t kPageSize = 4096;
// The deflate level of the memo column: zlib's own default.
constexpr std::uint8_t kZlibMode = 6;
constexpr std::int32_t kSession = 0;
// Every step runs this often on each engine, the engines taking turns; the
// best time of each step counts (the machine is shared).
constexpr int kRounds = 3;
// The memo's compression: NONE stores the text as SQLite does (the like-for-
// like comparison); --zlib compresses it.
std::uint8_t gMemoAlgorithm = cmNone;
// --ours-only skips SQLite and zlib alone: for profiling our steps.
bool gOursOnly = false;
// --keep leaves the files of the last round behind (for qel check and info).
bool gKeepFiles = false;
constexpr const char* kTableName = "GLOSARIUM";
constexpr const char* kTermIndex = "BY_TERM";

using bench::Clock;
using bench::Seconds;
using bench::Fail;

// ---- The rows ----------------------------------------------------------------

struct TRow {
  std::int32_t ID = 0;
  std::string Term;
  std::string Descr;
};

// Words of a technical glossary in Indonesian and English, so that the
// memo compresses as real descriptions do, not as a repeated pattern.
const char* const kWords[] = {
    "basis",      "data",       "indeks",     "tabel",       "kunci",      "berkas",
    "halaman",    "catatan",    "kolom",      "baris",       "transaksi",  "sesi",
    "penyimpanan", "memori",    "cakram",     "kompresi",    "enkripsi",   "sandi",
    "pengguna",   "jaringan",   "server",     "klien",       "perangkat",  "lunak",
    "keras",      "sistem",     "operasi",    "berkas",      "direktori",  "program",
    "fungsi",     "prosedur",   "variabel",   "nilai",       "tipe",       "bilangan",
    "bulat",      "pecahan",    "teks",       "karakter",    "string",     "larik",
    "pohon",      "simpul",     "daun",       "akar",        "cabang",     "urutan",
    "pencarian",  "pengurutan", "penggabungan", "kueri",     "pernyataan", "kondisi",
    "query",      "statement",  "condition",  "index",       "table",      "record",
    "field",      "column",     "row",        "page",        "cache",      "buffer",
    "commit",     "rollback",   "lock",       "session",     "cursor",     "stream",
    "block",      "header",     "checksum",   "compression", "encryption", "cipher",
    "memory",     "disk",       "file",       "network",     "protocol",   "packet",
    "thread",     "process",    "kernel",     "driver",      "interface",  "module",
    "compiler",   "parser",     "lexer",      "token",       "syntax",     "semantic",
    "adalah",     "yang",       "untuk",      "dengan",      "pada",       "dari",
    "dalam",      "atau",       "dan",        "tidak",       "dapat",      "digunakan",
    "menyimpan",  "membaca",    "menulis",    "menghapus",   "mengubah",   "mencari",
    "sebuah",     "setiap",     "beberapa",   "antara",      "sebagai",    "oleh",
    "the",        "of",         "to",         "is",          "a",          "used",
    "stores",     "reads",      "writes",     "each",        "when",       "which",
};
constexpr std::size_t kWordCount = std::size(kWords);

// 100 000 rows: IDs 1..N in insert order; each TERM is two or three words
// and a number unique to the row (so every lookup has exactly one answer),
// the numbers shuffled so the TERM index is filled in random order; each
// DESCR is 400 to 600 bytes of sentences drawn from the words.
std::vector<TRow> MakeRows() {
  std::mt19937 random(20240611);
  std::vector<std::int32_t> numbers(kRowCount);
  std::iota(numbers.begin(), numbers.end(), 100000);
  std::shuffle(numbers.begin(), numbers.end(), random);
  std::vector<TRow> rows(kRowCount);
  for (std::int32_t i = 0; i < kRowCount; ++i) {
    TRow& row = rows[static_cast<std::size_t>(i)];
    row.ID = i + 1;
    const int termWords = 2 + static_cast<int>(random() % 2);
    for (int w = 0; w < termWords; ++w) {
      row.Term += kWords[random() % kWordCount];
      row.Term += ' ';
    }
    row.Term += std::to_string(numbers[static_cast<std::size_t>(i)]);
    const std::size_t length = 400 + random() % 201;
    row.Descr = row.Term + ": ";
    bool sentenceStart = true;
    while (row.Descr.size() < length) {
      std::string word = kWords[random() % kWordCount];
      if (sentenceStart) word[0] = static_cast<char>(word[0] - 'a' + 'A');
      row.Descr += word;
      sentenceStart = random() % 9 == 0;
      row.Descr += sentenceStart ? ". " : (random() % 7 == 0 ? ", " : " ");
    }
    row.Descr.resize(length);
  }
  return rows;
}

// What a scan or a set of lookups saw; equal sums on both sides and with
// the generated rows mean the same rows came back with the same text.
struct TSums {
  std::int64_t Rows = 0;
  std::int64_t IDs = 0;
  std::int64_t TermBytes = 0;
  std::int64_t DescrBytes = 0;
  std::uint64_t TextHash = 0;  // order-independent: a sum of per-row hashes

  void Add(std::int32_t id, std::string_view term, std::string_view descr) {
    ++Rows;
    IDs += id;
    TermBytes += static_cast<std::int64_t>(term.size());
    DescrBytes += static_cast<std::int64_t>(descr.size());
    TextHash += std::hash<std::string_view>{}(term) * 31 + std::hash<std::string_view>{}(descr);
  }
  bool operator==(const TSums&) const = default;
};

void CheckSums(const char* engine, const char* step, const TSums& got, const TSums& expected) {
  if (got == expected) return;
  Fail(std::string(engine) + " " + step + ": rows " + std::to_string(got.Rows) + " (expected " +
       std::to_string(expected.Rows) + "), ID sum " + std::to_string(got.IDs) + " (expected " +
       std::to_string(expected.IDs) + "), text bytes " +
       std::to_string(got.TermBytes + got.DescrBytes) + " (expected " +
       std::to_string(expected.TermBytes + expected.DescrBytes) + ") or text hash differ");
}

// The times of one engine, in seconds, and its file's size in bytes.
struct TResult {
  double Insert = 0;
  double Reopen = 0;
  double Scan = 0;
  double Lookup = 0;
  std::uintmax_t FileSize = 0;
  std::int32_t CachePages = 0;
  std::int32_t PageSize = 0;

  void KeepBest(const TResult& round) {
    Insert = std::min(Insert, round.Insert);
    Reopen = std::min(Reopen, round.Reopen);
    Scan = std::min(Scan, round.Scan);
    Lookup = std::min(Lookup, round.Lookup);
    FileSize = round.FileSize;
    CachePages = round.CachePages;
    PageSize = round.PageSize;
  }
  static TResult Worst() {
    constexpr double kLong = 1e30;
    return {kLong, kLong, kLong, kLong, 0, 0, 0};
  }
};

// ---- Our table ---------------------------------------------------------------

class TOurTable {
 public:
  explicit TOurTable(std::string fileName) : FFileName(std::move(fileName)) {}
  ~TOurTable() { Close(); }

  void Create() {
    FDatabase = std::make_unique<TQELDiskDatabaseData>(FFileName);
    FDatabase->CreateDatabaseFile({"", caRijndael_128}, kPageSize, 8, 10);
    TQELFieldDefs fields;
    fields.Add("ID", aftInteger, 0);
    fields.Add("TERM", aftString, kTermSize);
    TQELFieldDef& descr = fields.Add("DESCR", aftMemo, 0);
    descr.BlobCompressionAlgorithm = gMemoAlgorithm;
    descr.BlobCompressionMode = kZlibMode;  // the block size stays the default
    TQELIndexDefs indexes;
    TQELIndexDef& byID = indexes.Add();
    byID.SetName("BY_ID");
    byID.AddColumn("ID");
    byID.Unique = true;
    TQELIndexDef& byTerm = indexes.Add();
    byTerm.SetName(kTermIndex);
    byTerm.AddColumn("TERM");
    FCursor = std::make_unique<TQELTableCursor>(kTableName);
    auto* table = static_cast<TQELDiskTableData*>(FDatabase->GetTableData(FCursor.get()));
    table->CreateTable(*FCursor, fields, {}, indexes);
    Attach(table);
  }

  void Open() {
    FDatabase = std::make_unique<TQELDiskDatabaseData>(FFileName);
    if (FDatabase->Open({}).NeedRepair) Fail("our file asks for repair after reopening");
    FCursor = std::make_unique<TQELTableCursor>(kTableName);
    Attach(static_cast<TQELDiskTableData*>(FDatabase->GetTableData(FCursor.get())));
  }

  void Close() {
    if (FTable != nullptr) FTable->RemoveCursor(FCursor.get());
    FTable = nullptr;
    FCursor.reset();
    FDatabase.reset();
  }

  // How many clean pages the file's cache keeps.
  std::int32_t CachePages() const { return FDatabase->DiskPageManager().MaxCleanPages(); }
  std::int32_t PageSize() const { return FDatabase->DiskPageManager().PageSize(); }

  // All rows in one transaction: the session's changed pages stay in the
  // cache until the one commit at the end.
  void Insert(const std::vector<TRow>& rows) {
    FCursor->SetSession(kSession, true);
    const TQELFieldDefs& defs = FTable->FieldDefs();
    std::vector<char> termSlot(static_cast<std::size_t>(defs[FTermField].MemoryDataSize()) + 1);
    for (const TRow& row : rows) {
      // A new record as the cursor layer starts one: zero bytes, every
      // field NULL.
      std::fill(FBuffer.begin(), FBuffer.end(), 0);
      for (std::int32_t i = 0; i < defs.Count(); ++i) SetNull(true, i, FBuffer.data());
      SetFieldData(FIDField, defs, &row.ID, FBuffer.data());
      std::fill(termSlot.begin(), termSlot.end(), 0);
      std::memcpy(termSlot.data(), row.Term.data(), row.Term.size());
      SetFieldData(FTermField, defs, termSlot.data(), FBuffer.data());
      std::unique_ptr<TQELBlobValueStream> stream =
          FTable->OpenBlob(*FCursor, true, false, FDescrField);
      stream->Write(row.Descr.data(), static_cast<std::int64_t>(row.Descr.size()));
      FTable->PostBlob(*FCursor, FDescrField, *stream);
      stream.reset();
      if (!FTable->InsertRecord(*FCursor)) Fail("our insert of row " + std::to_string(row.ID));
    }
    FDatabase->Commit(kSession);
    FCursor->SetSession(kSession, false);
  }

  TSums Scan() {
    TSums sums;
    FCursor->IndexID = -1;
    FCursor->BeforeFirst = true;
    FCursor->AfterLast = false;
    while (FTable->GetRecord(*FCursor, grmNext) == grOK) ReadRow(sums);
    return sums;
  }

  // Each probe by TERM through its index; the row found is read whole.
  TSums Lookup(const std::vector<const TRow*>& probes) {
    TSums sums;
    const TQELIndexDef* index = FTable->IndexManager()->IndexDefs().FindIndexByName(kTermIndex);
    if (index == nullptr) Fail("our table has no TERM index");
    FCursor->IndexID = index->ObjectID();
    const TQELFieldDefs& defs = FTable->FieldDefs();
    std::vector<std::uint8_t> key(FBuffer.size());
    std::vector<char> termSlot(static_cast<std::size_t>(defs[FTermField].MemoryDataSize()) + 1);
    FCursor->SearchKeyBuffer = key.data();
    FCursor->SearchKeyFieldCount = 1;
    for (const TRow* probe : probes) {
      std::fill(key.begin(), key.end(), 0);
      std::fill(termSlot.begin(), termSlot.end(), 0);
      std::memcpy(termSlot.data(), probe->Term.data(), probe->Term.size());
      SetFieldData(FTermField, defs, termSlot.data(), key.data());
      if (!FTable->SearchKey(*FCursor, sctEqual)) Fail("our lookup missed " + probe->Term);
      ReadRow(sums);
    }
    FCursor->SearchKeyBuffer = nullptr;
    FCursor->SearchKeyFieldCount = 0;
    FCursor->IndexID = -1;
    return sums;
  }

 private:
  void Attach(TQELDiskTableData* table) {
    table->AddCursor(FCursor.get());
    table->InitCursor(*FCursor);
    FTable = table;
    FBuffer.assign(static_cast<std::size_t>(FCursor->RecordSize), 0);
    FCursor->RecordBuffer = FBuffer.data();
    const TQELFieldDefs& defs = table->FieldDefs();
    FIDField = defs.IndexOfName("ID");
    FTermField = defs.IndexOfName("TERM");
    FDescrField = defs.IndexOfName("DESCR");
    if (FIDField < 0 || FTermField < 0 || FDescrField < 0) Fail("our table lost a field");
  }

  // Every field of the cursor's record: the ID, the TERM's text and the
  // memo's text, then the record's BLOB caches go.
  void ReadRow(TSums& sums) {
    const TQELFieldDefs& defs = FTable->FieldDefs();
    std::int32_t id = 0;
    if (!GetFieldData(FIDField, defs, &id, FBuffer.data())) Fail("our row without ID");
    char term[kTermSize + 2] = {};
    if (!GetFieldData(FTermField, defs, term, FBuffer.data())) Fail("our row without TERM");
    std::unique_ptr<TQELBlobValueStream> stream =
        FTable->OpenBlob(*FCursor, false, true, FDescrField);
    FText.resize(static_cast<std::size_t>(stream->GetSize()));
    if (stream->Read(FText.data(), static_cast<std::int64_t>(FText.size())) !=
        static_cast<std::int64_t>(FText.size())) {
      Fail("our memo of row " + std::to_string(id) + " reads short");
    }
    stream.reset();
    sums.Add(id, std::string_view(term, std::strlen(term)), FText);
    FTable->ReleaseRecordBuffer(FBuffer.data());
  }

  std::string FFileName;
  std::unique_ptr<TQELDiskDatabaseData> FDatabase;
  std::unique_ptr<TQELTableCursor> FCursor;
  TQELDiskTableData* FTable = nullptr;
  std::vector<std::uint8_t> FBuffer;
  std::string FText;
  std::int32_t FIDField = 0;
  std::int32_t FTermField = 0;
  std::int32_t FDescrField = 0;
};

// ---- SQLite ------------------------------------------------------------------

class TSQLiteTable {
 public:
  explicit TSQLiteTable(std::string fileName) : FFileName(std::move(fileName)) {}
  ~TSQLiteTable() { Close(); }

  void Create() {
    std::filesystem::remove(FFileName);
    Open();
    Exec("CREATE TABLE GLOSARIUM(ID INTEGER, TERM VARCHAR(60), DESCR TEXT)");
    Exec("CREATE UNIQUE INDEX BY_ID ON GLOSARIUM(ID)");
    Exec("CREATE INDEX BY_TERM ON GLOSARIUM(TERM)");
  }

  // Journal mode stays the default (a rollback journal); synchronous is off
  // because our commit does not sync either.
  void Open() {
    if (sqlite3_open(FFileName.c_str(), &FDb) != SQLITE_OK) Fail("sqlite3_open");
    Exec("PRAGMA synchronous=OFF");
  }

  // The page cache's size in pages (cache_size counts pages when positive,
  // KiB when negative).
  std::int32_t CachePages() {
    std::int64_t size = QueryInt("PRAGMA cache_size");
    if (size < 0) size = -size * 1024 / QueryInt("PRAGMA page_size");
    return static_cast<std::int32_t>(size);
  }
  std::int32_t PageSize() { return static_cast<std::int32_t>(QueryInt("PRAGMA page_size")); }
  std::int64_t QueryInt(const char* sql) {
    sqlite3_stmt* query = Prepare(sql);
    const std::int64_t value = sqlite3_step(query) == SQLITE_ROW ? sqlite3_column_int64(query, 0) : 0;
    sqlite3_finalize(query);
    return value;
  }

  void Close() {
    if (FDb != nullptr) sqlite3_close(FDb);
    FDb = nullptr;
  }

  void Insert(const std::vector<TRow>& rows) {
    sqlite3_stmt* insert = Prepare("INSERT INTO GLOSARIUM(ID, TERM, DESCR) VALUES(?, ?, ?)");
    Exec("BEGIN");
    for (const TRow& row : rows) {
      sqlite3_bind_int(insert, 1, row.ID);
      sqlite3_bind_text(insert, 2, row.Term.data(), static_cast<int>(row.Term.size()),
                        SQLITE_STATIC);
      sqlite3_bind_text(insert, 3, row.Descr.data(), static_cast<int>(row.Descr.size()),
                        SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) Fail(std::string("sqlite insert: ") + Error());
      sqlite3_reset(insert);
    }
    Exec("COMMIT");
    sqlite3_finalize(insert);
  }

  TSums Scan() {
    sqlite3_stmt* scan = Prepare("SELECT ID, TERM, DESCR FROM GLOSARIUM");
    TSums sums;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(scan)) == SQLITE_ROW) ReadRow(scan, sums);
    if (rc != SQLITE_DONE) Fail(std::string("sqlite scan: ") + Error());
    sqlite3_finalize(scan);
    return sums;
  }

  TSums Lookup(const std::vector<const TRow*>& probes) {
    sqlite3_stmt* lookup = Prepare("SELECT ID, TERM, DESCR FROM GLOSARIUM WHERE TERM = ?");
    TSums sums;
    for (const TRow* probe : probes) {
      sqlite3_bind_text(lookup, 1, probe->Term.data(), static_cast<int>(probe->Term.size()),
                        SQLITE_STATIC);
      if (sqlite3_step(lookup) != SQLITE_ROW) Fail("sqlite lookup missed " + probe->Term);
      ReadRow(lookup, sums);
      sqlite3_reset(lookup);
    }
    sqlite3_finalize(lookup);
    return sums;
  }

 private:
  static void ReadRow(sqlite3_stmt* statement, TSums& sums) {
    const std::int32_t id = sqlite3_column_int(statement, 0);
    const auto* term = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    const int termSize = sqlite3_column_bytes(statement, 1);
    const auto* descr = reinterpret_cast<const char*>(sqlite3_column_text(statement, 2));
    const int descrSize = sqlite3_column_bytes(statement, 2);
    sums.Add(id, std::string_view(term, static_cast<std::size_t>(termSize)),
             std::string_view(descr, static_cast<std::size_t>(descrSize)));
  }
  sqlite3_stmt* Prepare(const char* sql) { return bench::SqlitePrepare(FDb, sql); }
  void Exec(const char* sql) { bench::SqliteExec(FDb, sql); }
  const char* Error() const { return sqlite3_errmsg(FDb); }

  std::string FFileName;
  sqlite3* FDb = nullptr;
};

// ---- zlib alone -------------------------------------------------------------

// The compression inside our steps, measured by itself: every memo
// deflated one-shot at our level, then inflated one-shot; both time the
// whole set. Tells how much of our insert and scan times zlib alone needs.
struct TZlibTimes {
  double Deflate = 0;
  double Inflate = 0;
  std::int64_t CompressedBytes = 0;
};

TZlibTimes TimeZlib(const std::vector<TRow>& rows) {
  TZlibTimes times;
  std::vector<std::vector<Bytef>> packed(rows.size());
  auto start = Clock::now();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string& text = rows[i].Descr;
    uLongf size = compressBound(static_cast<uLong>(text.size()));
    packed[i].resize(size);
    if (compress2(packed[i].data(), &size, reinterpret_cast<const Bytef*>(text.data()),
                  static_cast<uLong>(text.size()), kZlibMode) != Z_OK) {
      Fail("compress2");
    }
    packed[i].resize(size);
  }
  times.Deflate = Seconds(start);
  std::string text;
  start = Clock::now();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    text.resize(rows[i].Descr.size());
    uLongf size = static_cast<uLongf>(text.size());
    if (uncompress(reinterpret_cast<Bytef*>(text.data()), &size, packed[i].data(),
                   static_cast<uLong>(packed[i].size())) != Z_OK) {
      Fail("uncompress");
    }
    if (size != text.size() || text != rows[i].Descr) Fail("uncompress gave another text");
  }
  times.Inflate = Seconds(start);
  for (const auto& each : packed) times.CompressedBytes += static_cast<std::int64_t>(each.size());
  return times;
}

// ---- The run -----------------------------------------------------------------

// Runs the steps on one engine and checks every answer against `all`
// (every row) and `probed` (the rows the lookups should find).
template <class Engine>
TResult Run(const char* name, Engine& engine, const std::vector<TRow>& rows,
            const std::vector<const TRow*>& probes, const TSums& all, const TSums& probed,
            const std::string& fileName) {
  TResult result;
  engine.Create();
  auto start = Clock::now();
  engine.Insert(rows);
  result.Insert = Seconds(start);

  start = Clock::now();
  engine.Close();
  engine.Open();
  result.Reopen = Seconds(start);

  start = Clock::now();
  const TSums scanned = engine.Scan();
  result.Scan = Seconds(start);
  CheckSums(name, "scan", scanned, all);

  start = Clock::now();
  const TSums found = engine.Lookup(probes);
  result.Lookup = Seconds(start);
  CheckSums(name, "lookups", found, probed);
  result.CachePages = engine.CachePages();
  result.PageSize = engine.PageSize();

  engine.Close();
  result.FileSize = std::filesystem::file_size(fileName);
  return result;
}

std::string ToText(double value) {
  char text[16];
  std::snprintf(text, sizeof text, "%.2f", value);
  return text;
}

// A step's times and ratio, with the ratio the step should stay within
// (marked * when it does not).
void PrintStep(const char* step, std::int64_t operations, double ours, double sqlite, double goal) {
  if (gOursOnly) {
    std::printf("%-22s %10.3f\n", step, ours);
    return;
  }
  const double ratio = ours / sqlite;
  const std::string goalText = goal > 0 ? (ratio > goal ? "* " : "  ") + ToText(goal) : std::string("  -");
  if (operations > 0) {
    std::printf("%-22s %10.3f %10.3f %8.2f %7s %12.0f %12.0f\n", step, ours, sqlite, ratio, goalText.c_str(),
                static_cast<double>(operations) / ours, static_cast<double>(operations) / sqlite);
  } else {
    std::printf("%-22s %10.3f %10.3f %8.2f %7s %12s %12s\n", step, ours, sqlite, ratio, goalText.c_str(), "-",
                "-");
  }
}

}  // namespace
}  // namespace qel

int main(int argc, char** argv) {
  using namespace qel;
  namespace fs = std::filesystem;
  fs::path base = fs::temp_directory_path();
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--zlib") {
      gMemoAlgorithm = cmZLIB;
    } else if (std::string(argv[i]) == "--ours-only") {
      gOursOnly = true;
    } else if (std::string(argv[i]) == "--keep") {
      gKeepFiles = true;
    } else {
      base = argv[i];
    }
  }
  const fs::path dir = base / ("qel_table_bench." + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string ourFile = (dir / "glosarium.qel").string();
  const std::string sqliteFile = (dir / "glosarium.sqlite").string();

  bench::PrintMachineFacts("Disk table through the table-data API beside SQLite");
  const std::vector<TRow> rows = MakeRows();
  std::mt19937 random(7);
  std::vector<const TRow*> probes;
  for (std::int32_t i = 0; i < kLookupCount; ++i) probes.push_back(&rows[random() % rows.size()]);
  TSums all;
  for (const TRow& row : rows) all.Add(row.ID, row.Term, row.Descr);
  TSums probed;
  for (const TRow* row : probes) probed.Add(row->ID, row->Term, row->Descr);

  std::printf(
      "data: %d rows (ID integer, unique index; TERM string(%d), index; DESCR memo of %lld bytes "
      "on average), %d lookups by TERM; files in %s\n",
      kRowCount, kTermSize, static_cast<long long>(all.DescrBytes / kRowCount), kLookupCount,
      dir.c_str());
  std::printf(
      "ours: pages of %u bytes, DESCR %s with the default block size, TERM index "
      "keys cut to the default %d bytes, all inserts in one transaction (one commit, no "
      "fsync)\n",
      kPageSize, gMemoAlgorithm == cmZLIB ? "ZLIB mode 6" : "stored uncompressed (NONE)",
      TQELIndexColumn::kDefaultMaxIndexedSize);
  std::printf(
      "SQLite %s: file database, journal_mode=DELETE (default), synchronous=OFF on both sides "
      "(neither engine syncs), prepared statements, inserts in one BEGIN/COMMIT\n"
      "both: closed and reopened between the inserts and the scan (the OS cache stays warm)\n\n",
      sqlite3_libversion());
  std::fflush(stdout);

  TResult our = TResult::Worst();
  TResult lite = TResult::Worst();
  TZlibTimes zlib{1e30, 1e30, 0};
  for (int round = 0; round < kRounds; ++round) {
    TOurTable ours(ourFile);
    our.KeepBest(Run("ours", ours, rows, probes, all, probed, ourFile));
    if (gOursOnly) continue;
    TSQLiteTable sqlite(sqliteFile);
    lite.KeepBest(Run("SQLite", sqlite, rows, probes, all, probed, sqliteFile));
    if (gMemoAlgorithm != cmZLIB) continue;
    const TZlibTimes z = TimeZlib(rows);
    zlib = {std::min(zlib.Deflate, z.Deflate), std::min(zlib.Inflate, z.Inflate),
            z.CompressedBytes};
  }

  std::printf("best of %d rounds per step\n", kRounds);
  std::printf("%-22s %10s %10s %8s %7s %12s %12s\n", "step", "ours s", "SQLite s", "ours/SQL", "goal",
              "ours ops/s", "SQLite ops/s");
  PrintStep("insert 100000 + commit", kRowCount, our.Insert, lite.Insert, 1.0);
  PrintStep("close + reopen", 0, our.Reopen, lite.Reopen, 0);
  PrintStep("full scan", kRowCount, our.Scan, lite.Scan, 1.0);
  PrintStep("lookups by TERM", kLookupCount, our.Lookup, lite.Lookup, 0.8);
  const double sizeRatio = static_cast<double>(our.FileSize) / static_cast<double>(lite.FileSize);
  std::printf("%-22s %10.1f %10.1f %8.2f %7s  (MB, 10^6 bytes)\n", "file size",
              static_cast<double>(our.FileSize) / 1e6, static_cast<double>(lite.FileSize) / 1e6, sizeRatio,
              ((sizeRatio > 1.1 ? "* " : "  ") + ToText(1.1)).c_str());
  if (gMemoAlgorithm == cmZLIB) {
    std::printf(
        "\nzlib alone on the same memos (one-shot, level %u): deflate %.3f s, inflate %.3f s, "
        "%.1f MB of text -> %.1f MB\n"
        "ours without that zlib work: insert %.3f s (%.2fx SQLite), scan %.3f s (%.2fx SQLite)\n",
        kZlibMode, zlib.Deflate, zlib.Inflate, static_cast<double>(all.DescrBytes) / 1e6,
        static_cast<double>(zlib.CompressedBytes) / 1e6, our.Insert - zlib.Deflate,
        (our.Insert - zlib.Deflate) / lite.Insert, our.Scan - zlib.Inflate,
        (our.Scan - zlib.Inflate) / lite.Scan);
  }
  std::printf(
      "pages: ours %d bytes, SQLite %d bytes; page caches: ours %d pages, SQLite %d pages "
      "(both their defaults)\n",
      our.PageSize, lite.PageSize, our.CachePages, lite.CachePages);
  std::printf(
      "\nratios are ours/SQLite: below 1 we are faster (smaller); goal is the ratio a step should stay "
      "within, * marks one that does not.\n"
      "checked: both scans saw %lld rows with ID sum %lld and %lld text bytes, both lookup runs "
      "found every row\n",
      static_cast<long long>(all.Rows), static_cast<long long>(all.IDs),
      static_cast<long long>(all.TermBytes + all.DescrBytes));

  if (gKeepFiles) {
    std::printf("files kept in %s\n", dir.c_str());
  } else {
    fs::remove_all(dir);
  }
  return 0;
}
