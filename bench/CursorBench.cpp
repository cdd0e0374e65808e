// The engine cursor on a glossary table in a database file, beside the
// table-data layer under it and beside SQLite, on the same rows in one run.
// The table: ID integer with a unique index, TERM string(40) with a
// case-insensitive index, DESCR memo of a few hundred bytes of text
// (ZLIB-compressed on our side, plain TEXT in SQLite, whose TERM index is
// COLLATE NOCASE). The words are made up here in the shape of Indonesian
// ones. Each file is built once; then every side runs the same steps on its
// file, reopened for each round:
//   1. a full scan reading every field, each memo through a BLOB stream;
//   2. 10 000 exact, case-insensitive lookups of existing terms, the
//      cursor's Locate in natural order and (2b) with the TERM index active;
//   3. 1 000 prefix ranges over the TERM index, every row of each counted:
//      through a range on the active index, and (3b) by a partial Locate on
//      the active index and walking on while the prefix holds.
// The cursor goes through a session as a dataset would; the table-data side
// drives TQELDiskTableData through a bare TQELTableCursor (SearchKey for the
// lookups, the cursor state's range for the ranges); SQLite runs prepared
// statements. No side syncs to disk. The sides take turns for a few rounds
// and the median time of each step counts. Every step checks what it saw
// against the generated rows, so a wrong answer cannot pass as a fast one.

#include <sqlite3.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "BenchUtil.h"
#include "SqliteBench.h"
#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskTableData.h"
#include "engine/QELLocalEngine.h"
#include "storage/QELRecordData.h"
#include "storage/QELTableCursor.h"
#include "streams/QELCompression.h"

namespace qel {
namespace {

constexpr std::int32_t kRows = 100000;
constexpr std::int32_t kLookups = 10000;
constexpr std::int32_t kRanges = 1000;
constexpr std::int32_t kTermSize = 40;
constexpr std::uint8_t kZlibLevel = 6;
constexpr int kRounds = 5;
constexpr const char* kTable = "GLOSARIUM";
constexpr const char* kTermIndex = "BY_TERM";
// Field numbers in the order the table is created with.
constexpr std::int32_t kIdNo = 0;
constexpr std::int32_t kTermNo = 1;
constexpr std::int32_t kDescrNo = 2;

// --plain stores the memo uncompressed, as SQLite does.
std::uint8_t gDescrCompression = cmZLIB;

using bench::Clock;
using bench::Fail;
using bench::Seconds;

// ---- The glossary ------------------------------------------------------------

struct TEntry {
  std::int32_t ID = 0;
  std::string Term;  // lower case letters and single spaces
  std::string Descr;
};

// A made-up word: two or three open syllables, some closed by a consonant,
// now and then with an affix. No 'z' occurs, so a prefix's last letter
// always has a next letter (the exclusive end of its range).
std::string MadeUpWord(std::mt19937& random) {
  static const char* const kOnsets[] = {"b", "c", "d", "g", "h", "j", "k",  "l",  "m", "n",
                                        "p", "r", "s", "t", "w", "y", "ng", "ny", ""};
  static const char kVowels[] = "aaaiiuueo";
  static const char* const kCodas[] = {"", "", "", "", "", "n", "ng", "r", "k", "s", "t", "h", "l"};
  static const char* const kFronts[] = {"me", "ber", "pe", "di", "ter", "ke", "se", "mem"};
  static const char* const kBacks[] = {"an", "kan", "nya", "i", "lah", "wan"};
  std::string word;
  if (random() % 5 == 0) word += kFronts[random() % std::size(kFronts)];
  const unsigned syllables = 2 + random() % 2;
  for (unsigned s = 0; s < syllables; ++s) {
    word += kOnsets[random() % std::size(kOnsets)];
    word += kVowels[random() % (sizeof(kVowels) - 1)];
    word += kCodas[random() % std::size(kCodas)];
  }
  if (random() % 6 == 0) word += kBacks[random() % std::size(kBacks)];
  return word;
}

// kRows entries, IDs 1..N in insert order. Each TERM is two (sometimes
// three) words of a made-up vocabulary, unique over the table; each DESCR
// is the term, a linking word and sentences of vocabulary and a few small
// connecting words, 250 to 450 bytes.
std::vector<TEntry> MakeGlossary() {
  std::mt19937 random(20250117);
  std::vector<std::string> vocabulary;
  std::unordered_set<std::string> seen;
  while (vocabulary.size() < 4000) {
    std::string word = MadeUpWord(random);
    if (seen.insert(word).second) vocabulary.push_back(std::move(word));
  }
  static const char* const kLinks[] = {"ini",  "itu",  "yang",  "dan",  "ke",    "di",
                                       "oleh", "bagi", "serta", "juga", "sudah", "akan"};
  std::vector<TEntry> rows;
  rows.reserve(kRows);
  seen.clear();
  while (rows.size() < static_cast<std::size_t>(kRows)) {
    std::string term = vocabulary[random() % vocabulary.size()];
    const int words = random() % 8 == 0 ? 3 : 2;
    for (int w = 1; w < words; ++w) term += " " + vocabulary[random() % vocabulary.size()];
    if (term.size() > static_cast<std::size_t>(kTermSize) || !seen.insert(term).second) continue;
    TEntry entry;
    entry.ID = static_cast<std::int32_t>(rows.size()) + 1;
    entry.Term = term;
    const std::size_t length = 250 + random() % 201;
    entry.Descr = term + " ialah";
    while (entry.Descr.size() < length) {
      std::string sentence = vocabulary[random() % vocabulary.size()];
      sentence[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
      for (unsigned w = 3 + random() % 8; w > 0; --w) {
        sentence += ' ';
        sentence += random() % 3 == 0 ? kLinks[random() % std::size(kLinks)]
                                      : vocabulary[random() % vocabulary.size()];
      }
      entry.Descr += ' ' + sentence + '.';
    }
    entry.Descr.resize(length);
    rows.push_back(std::move(entry));
  }
  return rows;
}

// The text in the case of `style`: 0 as stored, 1 upper case, 2 the first
// letter of each word upper case. Lookups and ranges must not care.
std::string InCase(std::string text, unsigned style) {
  bool wordStart = true;
  for (char& c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (style == 1 || (style == 2 && wordStart)) c = static_cast<char>(std::toupper(u));
    wordStart = c == ' ';
  }
  return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

// ---- What a step saw ---------------------------------------------------------

// A position-dependent sum of a text, eight bytes at a time in two lanes:
// cheap beside reading the text, so that checking costs every side little.
std::uint64_t TextSum(std::string_view text) {
  constexpr std::uint64_t kFactor = 0x100000001B3ull;
  std::uint64_t lanes[2] = {text.size(), 0};
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, text.data() + i, 8);
    std::uint64_t& lane = lanes[(i >> 3) & 1];
    lane = lane * kFactor + word;
  }
  for (; i < text.size(); ++i) lanes[0] = lanes[0] * 31 + static_cast<unsigned char>(text[i]);
  return lanes[0] * 3 + lanes[1];
}

// Equal tallies on every side and with the generated rows mean the same rows
// came back with the same text (the hash is a sum, so order does not count).
struct TTally {
  std::int64_t Rows = 0;
  std::int64_t IDs = 0;
  std::int64_t TextBytes = 0;
  std::uint64_t Hash = 0;

  void Add(std::int32_t id, std::string_view term, std::string_view descr = {}) {
    ++Rows;
    IDs += id;
    TextBytes += static_cast<std::int64_t>(term.size() + descr.size());
    Hash += (std::hash<std::string_view>{}(term) ^ static_cast<std::uint64_t>(id)) * 1000003u +
            TextSum(descr);
  }
  bool operator==(const TTally&) const = default;
};

void Expect(const char* side, const char* step, const TTally& got, const TTally& want) {
  if (got == want) return;
  Fail(std::string(side) + ", " + step + ": " + std::to_string(got.Rows) + " rows (expected " +
       std::to_string(want.Rows) + "), ID sum " + std::to_string(got.IDs) + " (expected " +
       std::to_string(want.IDs) + "), " + std::to_string(got.TextBytes) + " text bytes (expected " +
       std::to_string(want.TextBytes) + ") or the text hash differ");
}

struct TLookup {
  std::string Key;  // the term in another case
  const TEntry* Row = nullptr;
};

// A prefix of a term, ending in a letter, and the first string after every
// string with that prefix: the prefix with its last letter advanced.
struct TPrefix {
  std::string Low;
  std::string High;
};

// What the ranges saw: the rows of all of them, and how many each had.
struct TRangeResult {
  TTally Tally;
  std::vector<std::int32_t> Counts;
  bool operator==(const TRangeResult&) const = default;
};

void ExpectRanges(const char* side, const char* step, const TRangeResult& got,
                  const TRangeResult& want) {
  Expect(side, step, got.Tally, want.Tally);
  if (got.Counts != want.Counts) Fail(std::string(side) + ", " + step + ": range sizes differ");
}

struct TWork {
  std::vector<TEntry> Rows;
  std::vector<TLookup> Lookups;
  std::vector<TPrefix> Prefixes;
  TTally All;
  TTally Found;
  TRangeResult InRanges;
};

TWork MakeWork() {
  TWork work;
  work.Rows = MakeGlossary();
  std::mt19937 random(424242);
  for (std::int32_t i = 0; i < kLookups; ++i) {
    const TEntry& row = work.Rows[random() % work.Rows.size()];
    work.Lookups.push_back({InCase(row.Term, random() % 3), &row});
  }
  for (std::int32_t i = 0; i < kRanges; ++i) {
    const std::string& term = work.Rows[random() % work.Rows.size()].Term;
    std::size_t length = std::min<std::size_t>(term.size(), 4 + random() % 3);
    while (term[length - 1] == ' ') --length;
    TPrefix prefix;
    prefix.Low = InCase(term.substr(0, length), random() % 2);
    prefix.High = prefix.Low;
    ++prefix.High.back();
    work.Prefixes.push_back(std::move(prefix));
  }
  for (const TEntry& row : work.Rows) work.All.Add(row.ID, row.Term, row.Descr);
  for (const TLookup& lookup : work.Lookups) work.Found.Add(lookup.Row->ID, lookup.Row->Term);
  // The terms are lower case, and for letters and spaces byte order is the
  // order of either collation: the expected ranges come from a sorted list.
  std::vector<const TEntry*> byTerm;
  for (const TEntry& row : work.Rows) byTerm.push_back(&row);
  std::sort(byTerm.begin(), byTerm.end(),
            [](const TEntry* a, const TEntry* b) { return a->Term < b->Term; });
  for (const TPrefix& prefix : work.Prefixes) {
    std::string lowered = prefix.Low;
    for (char& c : lowered) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto at =
        std::lower_bound(byTerm.begin(), byTerm.end(), lowered,
                         [](const TEntry* row, const std::string& key) { return row->Term < key; });
    std::int32_t count = 0;
    for (; at != byTerm.end() && (*at)->Term.compare(0, lowered.size(), lowered) == 0; ++at) {
      work.InRanges.Tally.Add((*at)->ID, (*at)->Term);
      ++count;
    }
    work.InRanges.Counts.push_back(count);
  }
  return work;
}

// ---- The times ---------------------------------------------------------------

// One round of one side, in seconds.
struct TRound {
  double Scan = 0;
  double Lookup = 0;
  double IndexLookup = 0;
  double Range = 0;
  double Walk = 0;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The medians of a side's rounds.
struct TTimes {
  std::vector<TRound> Rounds;

  double Of(double TRound::*step) const {
    std::vector<double> values;
    for (const TRound& round : Rounds) values.push_back(round.*step);
    return Median(values);
  }
};

// Runs the steps of one side on its open file and checks their answers.
template <class Side>
TRound RunSteps(const char* name, Side& side, const TWork& work) {
  TRound round;
  auto start = Clock::now();
  const TTally scanned = side.Scan();
  round.Scan = Seconds(start);
  Expect(name, "scan", scanned, work.All);

  start = Clock::now();
  const TTally found = side.Lookup(work.Lookups);
  round.Lookup = Seconds(start);
  Expect(name, "lookups", found, work.Found);

  start = Clock::now();
  const TTally foundOnIndex = side.IndexLookup(work.Lookups);
  round.IndexLookup = Seconds(start);
  Expect(name, "lookups on the active index", foundOnIndex, work.Found);

  start = Clock::now();
  const TRangeResult ranged = side.Ranges(work.Prefixes);
  round.Range = Seconds(start);
  ExpectRanges(name, "prefix ranges", ranged, work.InRanges);

  start = Clock::now();
  const TRangeResult walked = side.Walks(work.Prefixes);
  round.Walk = Seconds(start);
  ExpectRanges(name, "prefix walks", walked, work.InRanges);
  return round;
}

// ---- Definitions shared by both of our sides ---------------------------------

TQELFieldDefs GlossaryFields() {
  TQELFieldDefs fields;
  fields.Add("ID", aftInteger, 0);
  fields.Add("TERM", aftString, kTermSize);
  TQELFieldDef& descr = fields.Add("DESCR", aftMemo, 0);
  descr.BlobCompressionAlgorithm = gDescrCompression;
  descr.BlobCompressionMode = kZlibLevel;
  return fields;
}

TQELIndexDefs GlossaryIndexes() {
  TQELIndexDefs indexes;
  TQELIndexDef& byID = indexes.Add();
  byID.SetName("BY_ID");
  byID.AddColumn("ID");
  byID.Unique = true;
  TQELIndexDef& byTerm = indexes.Add();
  byTerm.SetName(kTermIndex);
  byTerm.AddColumn("TERM", false, true);  // ascending, case-insensitive
  return indexes;
}

// A string field's slot: the text, then zeros to the slot's end.
class TTermSlot {
 public:
  void Resize(std::int32_t memorySize) {
    FBytes.assign(static_cast<std::size_t>(memorySize) + 1, 0);
  }
  const char* Fill(std::string_view text) {
    std::fill(FBytes.begin(), FBytes.end(), 0);
    std::memcpy(FBytes.data(), text.data(), std::min(text.size(), FBytes.size() - 1));
    return FBytes.data();
  }
  char* Data() { return FBytes.data(); }

 private:
  std::vector<char> FBytes;
};

// ---- The engine cursor -------------------------------------------------------

class TCursorSide {
 public:
  explicit TCursorSide(std::string fileName) : FFileName(std::move(fileName)) {}
  ~TCursorSide() {
    try {
      Close();
    } catch (...) {
    }
  }

  // Creates the file and the table and inserts every row through the
  // cursor, in one transaction.
  void Build(const std::vector<TEntry>& rows) {
    std::filesystem::remove(FFileName);
    Connect();
    FSession->CreateDatabase();
    FCursor->CreateTable(GlossaryFields(), GlossaryIndexes(), {});
    OpenCursor();
    FSession->StartTransaction();
    for (const TEntry& row : rows) {
      FCursor->InitRecord(FBuffer, true);
      FCursor->SetFieldData(kIdNo, &row.ID, FBuffer);
      FCursor->SetFieldData(kTermNo, FSlot.Fill(row.Term), FBuffer);
      TQELLocalBLOBStream* stream = FCursor->OpenBlob(true, false, false, bmWrite, kDescrNo);
      stream->Write(row.Descr.data(), static_cast<std::int64_t>(row.Descr.size()));
      FCursor->CloseBlob(kDescrNo);
      FCursor->Post(true);
      if (FCursor->Status != csOK) {
        Fail("cursor insert of row " + std::to_string(row.ID) + ": status " +
             std::to_string(FCursor->Status) + " " + FCursor->ErrorText);
      }
    }
    FSession->Commit(false);
  }

  void Open() {
    Connect();
    OpenCursor();
  }

  void Close() {
    if (FCursor) {
      for (std::uint8_t** buffer : {&FBuffer, &FStart, &FEnd}) {
        if (*buffer != nullptr) FCursor->FreeRecordBuffer(*buffer);
      }
      FCursor->Close();
      FCursor.reset();
    }
    if (FSession) FSession->SetConnected(false);
    FSession.reset();
  }

  std::int32_t CachePages() const {
    return static_cast<TQELDiskDatabaseData*>(FSession->DatabaseData())
        ->DiskPageManager()
        .MaxCleanPages();
  }

  TTally Scan() {
    TTally tally;
    FCursor->SetIndexName("");
    FCursor->First();
    while (FCursor->GetRecord(grmNext) == grOK) {
      const std::int32_t id = ReadId();
      TQELLocalBLOBStream* stream = FCursor->OpenBlob(false, false, true, bmRead, kDescrNo);
      if (stream == nullptr) Fail("cursor: the memo of row " + std::to_string(id) + " is gone");
      FText.resize(static_cast<std::size_t>(stream->GetSize()));
      const std::int64_t read = stream->Read(FText.data(), static_cast<std::int64_t>(FText.size()));
      FCursor->CloseBlob(kDescrNo);
      if (read != static_cast<std::int64_t>(FText.size())) Fail("cursor: a memo reads short");
      tally.Add(id, ReadTerm(), FText);
    }
    return tally;
  }

  // In natural order, as a dataset without an active index locates.
  TTally Lookup(const std::vector<TLookup>& lookups) { return LocateAll(lookups, ""); }
  // With the TERM index active, as a dataset ordered by TERM locates.
  TTally IndexLookup(const std::vector<TLookup>& lookups) { return LocateAll(lookups, kTermIndex); }

  TTally LocateAll(const std::vector<TLookup>& lookups, const char* indexName) {
    TTally tally;
    FCursor->SetIndexName(indexName);
    const std::vector<std::string> fields{"TERM"};
    for (const TLookup& lookup : lookups) {
      TQELVariant value;
      value.SetAsString(lookup.Key);
      if (!FCursor->Locate(fields, {value}, false, true)) {
        Fail("cursor Locate missed " + lookup.Key);
      }
      tally.Add(ReadId(), ReadTerm());
    }
    FCursor->SetIndexName("");
    return tally;
  }

  // Each prefix as the range [prefix, next prefix) of the TERM index.
  TRangeResult Ranges(const std::vector<TPrefix>& prefixes) {
    TRangeResult result;
    FCursor->SetIndexName(kTermIndex);
    for (const TPrefix& prefix : prefixes) {
      FCursor->InitRecord(FStart, false);
      FCursor->SetFieldData(kTermNo, FSlot.Fill(prefix.Low), FStart);
      FCursor->InitRecord(FEnd, false);
      FCursor->SetFieldData(kTermNo, FSlot.Fill(prefix.High), FEnd);
      FCursor->SetRange(FStart, FEnd, true, false, 1, 1);
      FCursor->First();
      std::int32_t count = 0;
      while (FCursor->GetRecord(grmNext) == grOK) {
        result.Tally.Add(ReadId(), ReadTerm());
        ++count;
      }
      result.Counts.push_back(count);
    }
    FCursor->CancelRange();
    FCursor->SetIndexName("");
    return result;
  }

  // Each prefix by a partial Locate along the TERM index, then reading on
  // while the terms start with it.
  TRangeResult Walks(const std::vector<TPrefix>& prefixes) {
    TRangeResult result;
    FCursor->SetIndexName(kTermIndex);
    const std::vector<std::string> fields{"TERM"};
    for (const TPrefix& prefix : prefixes) {
      TQELVariant value;
      value.SetAsString(prefix.Low);
      std::int32_t count = 0;
      if (FCursor->Locate(fields, {value}, true, true)) {
        do {
          const std::int32_t id = ReadId();
          const std::string_view term = ReadTerm();
          if (!StartsWithNoCase(term, prefix.Low)) break;
          result.Tally.Add(id, term);
          ++count;
        } while (FCursor->GetRecord(grmNext) == grOK);
      }
      result.Counts.push_back(count);
    }
    FCursor->SetIndexName("");
    return result;
  }

 private:
  void Connect() {
    FSession = std::make_unique<TQELLocalSession>();
    FSession->SetDatabaseName("KUVO");
    FSession->SetDatabaseFileName(FFileName);
    FCursor = std::make_unique<TQELLocalCursor>();
    FCursor->Session = FSession.get();
    FCursor->SetTableName(kTable);
  }
  void OpenCursor() {
    FCursor->Open({}, {}, {});
    FBuffer = FCursor->AllocRecordBuffer();
    FStart = FCursor->AllocRecordBuffer();
    FEnd = FCursor->AllocRecordBuffer();
    FCursor->RecordBuffer = FBuffer;
    FSlot.Resize(FCursor->FieldDefs()[kTermNo].MemoryDataSize());
  }
  std::int32_t ReadId() {
    std::int32_t id = 0;
    if (!FCursor->GetFieldData(kIdNo, &id, FBuffer)) Fail("cursor: a row without ID");
    return id;
  }
  std::string_view ReadTerm() {
    if (!FCursor->GetFieldData(kTermNo, FSlot.Data(), FBuffer)) Fail("cursor: a row without TERM");
    return FSlot.Data();
  }

  std::string FFileName;
  std::unique_ptr<TQELLocalSession> FSession;
  std::unique_ptr<TQELLocalCursor> FCursor;
  std::uint8_t* FBuffer = nullptr;
  std::uint8_t* FStart = nullptr;
  std::uint8_t* FEnd = nullptr;
  TTermSlot FSlot;
  std::string FText;
};

// ---- The table-data layer ----------------------------------------------------

class TTableDataSide {
 public:
  explicit TTableDataSide(std::string fileName) : FFileName(std::move(fileName)) {}
  ~TTableDataSide() { Close(); }

  void Open() {
    FDatabase = std::make_unique<TQELDiskDatabaseData>(FFileName);
    if (FDatabase->Open({}).NeedRepair) Fail("table data: the file asks for repair");
    FCursor = std::make_unique<TQELTableCursor>(kTable);
    FTable = static_cast<TQELDiskTableData*>(FDatabase->GetTableData(FCursor.get()));
    FTable->AddCursor(FCursor.get());
    FTable->InitCursor(*FCursor);
    const std::size_t size = static_cast<std::size_t>(FCursor->RecordSize);
    FBuffer.assign(size, 0);
    FStart.assign(size, 0);
    FEnd.assign(size, 0);
    FCursor->RecordBuffer = FBuffer.data();
    const TQELIndexDef* byTerm = FTable->IndexManager()->IndexDefs().FindIndexByName(kTermIndex);
    if (byTerm == nullptr) Fail("table data: no TERM index");
    FTermIndex = byTerm->ObjectID();
    FSlot.Resize(Defs()[kTermNo].MemoryDataSize());
  }

  void Close() {
    if (FTable != nullptr) FTable->RemoveCursor(FCursor.get());
    FTable = nullptr;
    FCursor.reset();
    FDatabase.reset();
  }

  std::int32_t CachePages() const { return FDatabase->DiskPageManager().MaxCleanPages(); }
  std::int32_t PageSize() const { return FDatabase->DiskPageManager().PageSize(); }

  TTally Scan() {
    TTally tally;
    MoveTo(-1);
    while (FTable->GetRecord(*FCursor, grmNext) == grOK) {
      const std::int32_t id = ReadId();
      std::unique_ptr<TQELBlobValueStream> stream =
          FTable->OpenBlob(*FCursor, false, true, kDescrNo);
      FText.resize(static_cast<std::size_t>(stream->GetSize()));
      const std::int64_t read = stream->Read(FText.data(), static_cast<std::int64_t>(FText.size()));
      stream.reset();
      FTable->FreeBlobCache(FBuffer.data(), kDescrNo);
      if (read != static_cast<std::int64_t>(FText.size())) Fail("table data: a memo reads short");
      tally.Add(id, ReadTerm(), FText);
    }
    return tally;
  }

  // SearchKey on the TERM index: the table data's own lookup.
  TTally Lookup(const std::vector<TLookup>& lookups) {
    TTally tally;
    MoveTo(FTermIndex);
    FCursor->SearchKeyBuffer = FStart.data();
    FCursor->SearchKeyFieldCount = 1;
    for (const TLookup& lookup : lookups) {
      SetKey(FStart, lookup.Key);
      if (!FTable->SearchKey(*FCursor, sctEqual)) Fail("table data SearchKey missed " + lookup.Key);
      tally.Add(ReadId(), ReadTerm());
    }
    FCursor->SearchKeyBuffer = nullptr;
    FCursor->SearchKeyFieldCount = 0;
    return tally;
  }
  // The table data has one lookup: the same SearchKey.
  TTally IndexLookup(const std::vector<TLookup>& lookups) { return Lookup(lookups); }

  TRangeResult Ranges(const std::vector<TPrefix>& prefixes) {
    TRangeResult result;
    MoveTo(FTermIndex);
    for (const TPrefix& prefix : prefixes) {
      SetKey(FStart, prefix.Low);
      SetKey(FEnd, prefix.High);
      FCursor->Range = {FStart.data(), 1, false, FEnd.data(), 1, true};
      FCursor->RestrictionsChanged();
      FCursor->BeforeFirst = true;
      FCursor->AfterLast = false;
      std::int32_t count = 0;
      while (FTable->GetRecord(*FCursor, grmNext) == grOK) {
        result.Tally.Add(ReadId(), ReadTerm());
        ++count;
      }
      result.Counts.push_back(count);
    }
    FCursor->Range = {};
    FCursor->RestrictionsChanged();
    return result;
  }

  // SearchKey to the first term at or after the prefix, then on along the
  // index while the prefix holds.
  TRangeResult Walks(const std::vector<TPrefix>& prefixes) {
    TRangeResult result;
    MoveTo(FTermIndex);
    FCursor->SearchKeyBuffer = FStart.data();
    FCursor->SearchKeyFieldCount = 1;
    for (const TPrefix& prefix : prefixes) {
      SetKey(FStart, prefix.Low);
      std::int32_t count = 0;
      if (FTable->SearchKey(*FCursor, sctGreaterOrEqual)) {
        do {
          const std::int32_t id = ReadId();
          const std::string_view term = ReadTerm();
          if (!StartsWithNoCase(term, prefix.Low)) break;
          result.Tally.Add(id, term);
          ++count;
        } while (FTable->GetRecord(*FCursor, grmNext) == grOK);
      }
      result.Counts.push_back(count);
    }
    FCursor->SearchKeyBuffer = nullptr;
    FCursor->SearchKeyFieldCount = 0;
    return result;
  }

 private:
  const TQELFieldDefs& Defs() const { return FTable->FieldDefs(); }
  // Before the first record of the order of `indexID` (-1: natural order).
  void MoveTo(std::int32_t indexID) {
    FCursor->IndexID = indexID;
    FCursor->RestrictionsChanged();
    FCursor->BeforeFirst = true;
    FCursor->AfterLast = false;
  }
  // A key record: every field NULL but TERM.
  void SetKey(std::vector<std::uint8_t>& key, std::string_view term) {
    std::fill(key.begin(), key.end(), 0);
    for (std::int32_t i = 0; i < Defs().Count(); ++i) SetNull(true, i, key.data());
    SetFieldData(kTermNo, Defs(), FSlot.Fill(term), key.data());
  }
  std::int32_t ReadId() {
    std::int32_t id = 0;
    if (!GetFieldData(kIdNo, Defs(), &id, FBuffer.data())) Fail("table data: a row without ID");
    return id;
  }
  std::string_view ReadTerm() {
    if (!GetFieldData(kTermNo, Defs(), FSlot.Data(), FBuffer.data())) {
      Fail("table data: a row without TERM");
    }
    return FSlot.Data();
  }

  std::string FFileName;
  std::unique_ptr<TQELDiskDatabaseData> FDatabase;
  std::unique_ptr<TQELTableCursor> FCursor;
  TQELDiskTableData* FTable = nullptr;
  std::int32_t FTermIndex = -1;
  std::vector<std::uint8_t> FBuffer;
  std::vector<std::uint8_t> FStart;
  std::vector<std::uint8_t> FEnd;
  TTermSlot FSlot;
  std::string FText;
};

// ---- SQLite ------------------------------------------------------------------

class TSQLiteSide {
 public:
  explicit TSQLiteSide(std::string fileName) : FFileName(std::move(fileName)) {}
  ~TSQLiteSide() { Close(); }

  void Build(const std::vector<TEntry>& rows) {
    std::filesystem::remove(FFileName);
    Connect();
    bench::SqliteExec(FDb, "CREATE TABLE GLOSARIUM(ID INTEGER, TERM VARCHAR(40), DESCR TEXT)");
    bench::SqliteExec(FDb, "CREATE UNIQUE INDEX BY_ID ON GLOSARIUM(ID)");
    bench::SqliteExec(FDb, "CREATE INDEX BY_TERM ON GLOSARIUM(TERM COLLATE NOCASE)");
    sqlite3_stmt* insert =
        bench::SqlitePrepare(FDb, "INSERT INTO GLOSARIUM(ID, TERM, DESCR) VALUES(?1, ?2, ?3)");
    bench::SqliteExec(FDb, "BEGIN");
    for (const TEntry& row : rows) {
      sqlite3_bind_int(insert, 1, row.ID);
      BindText(insert, 2, row.Term);
      BindText(insert, 3, row.Descr);
      if (sqlite3_step(insert) != SQLITE_DONE) {
        Fail(std::string("sqlite insert: ") + sqlite3_errmsg(FDb));
      }
      sqlite3_reset(insert);
    }
    bench::SqliteExec(FDb, "COMMIT");
    sqlite3_finalize(insert);
    Close();
  }

  void Open() {
    Connect();
    FLookup =
        bench::SqlitePrepare(FDb, "SELECT ID, TERM FROM GLOSARIUM WHERE TERM = ?1 COLLATE NOCASE");
    FRange = bench::SqlitePrepare(FDb,
                                  "SELECT ID, TERM FROM GLOSARIUM WHERE TERM >= ?1 COLLATE NOCASE "
                                  "AND TERM < ?2 COLLATE NOCASE");
  }

  void Close() {
    for (sqlite3_stmt** statement : {&FLookup, &FRange}) {
      if (*statement != nullptr) sqlite3_finalize(*statement);
      *statement = nullptr;
    }
    if (FDb != nullptr) sqlite3_close(FDb);
    FDb = nullptr;
  }

  // Whether the statements search the TERM index (else the comparison is
  // not fair); answers the plan's text.
  std::string CheckPlans() {
    std::string plans;
    for (const char* sql :
         {"EXPLAIN QUERY PLAN SELECT ID, TERM FROM GLOSARIUM WHERE TERM = 'a' COLLATE NOCASE",
          "EXPLAIN QUERY PLAN SELECT ID, TERM FROM GLOSARIUM WHERE TERM >= 'a' COLLATE NOCASE AND "
          "TERM < 'b' COLLATE NOCASE"}) {
      sqlite3_stmt* plan = bench::SqlitePrepare(FDb, sql);
      std::string text;
      while (sqlite3_step(plan) == SQLITE_ROW) {
        text += reinterpret_cast<const char*>(sqlite3_column_text(plan, 3));
      }
      sqlite3_finalize(plan);
      if (text.find("USING INDEX BY_TERM") == std::string::npos) Fail("sqlite plan: " + text);
      plans += (plans.empty() ? "" : "; ") + text;
    }
    return plans;
  }

  std::int64_t Pragma(const char* sql) {
    sqlite3_stmt* query = bench::SqlitePrepare(FDb, sql);
    const std::int64_t value =
        sqlite3_step(query) == SQLITE_ROW ? sqlite3_column_int64(query, 0) : 0;
    sqlite3_finalize(query);
    return value;
  }

  TTally Scan() {
    TTally tally;
    sqlite3_stmt* scan = bench::SqlitePrepare(FDb, "SELECT ID, TERM, DESCR FROM GLOSARIUM");
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(scan)) == SQLITE_ROW) {
      tally.Add(sqlite3_column_int(scan, 0), Text(scan, 1), Text(scan, 2));
    }
    if (rc != SQLITE_DONE) Fail(std::string("sqlite scan: ") + sqlite3_errmsg(FDb));
    sqlite3_finalize(scan);
    return tally;
  }

  TTally Lookup(const std::vector<TLookup>& lookups) {
    TTally tally;
    for (const TLookup& lookup : lookups) {
      BindText(FLookup, 1, lookup.Key);
      if (sqlite3_step(FLookup) != SQLITE_ROW) Fail("sqlite lookup missed " + lookup.Key);
      tally.Add(sqlite3_column_int(FLookup, 0), Text(FLookup, 1));
      sqlite3_reset(FLookup);
    }
    return tally;
  }

  // SQLite has one plan for either lookup: the same statement.
  TTally IndexLookup(const std::vector<TLookup>& lookups) { return Lookup(lookups); }

  TRangeResult Ranges(const std::vector<TPrefix>& prefixes) {
    TRangeResult result;
    for (const TPrefix& prefix : prefixes) {
      BindText(FRange, 1, prefix.Low);
      BindText(FRange, 2, prefix.High);
      std::int32_t count = 0;
      int rc = SQLITE_ROW;
      while ((rc = sqlite3_step(FRange)) == SQLITE_ROW) {
        result.Tally.Add(sqlite3_column_int(FRange, 0), Text(FRange, 1));
        ++count;
      }
      if (rc != SQLITE_DONE) Fail(std::string("sqlite range: ") + sqlite3_errmsg(FDb));
      sqlite3_reset(FRange);
      result.Counts.push_back(count);
    }
    return result;
  }
  // SQLite has one way to a range: the same statement.
  TRangeResult Walks(const std::vector<TPrefix>& prefixes) { return Ranges(prefixes); }

 private:
  // The default rollback journal; no syncs, as on our side.
  void Connect() {
    if (sqlite3_open(FFileName.c_str(), &FDb) != SQLITE_OK) Fail("sqlite3_open " + FFileName);
    bench::SqliteExec(FDb, "PRAGMA synchronous=OFF");
  }
  static void BindText(sqlite3_stmt* statement, int n, const std::string& text) {
    sqlite3_bind_text(statement, n, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
  }
  static std::string_view Text(sqlite3_stmt* statement, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return {text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column))};
  }

  std::string FFileName;
  sqlite3* FDb = nullptr;
  sqlite3_stmt* FLookup = nullptr;
  sqlite3_stmt* FRange = nullptr;
};

// ---- zlib by itself ----------------------------------------------------------

// Every memo deflated at our level once, then inflated one-shot: how much
// of a scan of ours the decompression alone takes.
struct TInflate {
  std::vector<std::vector<Bytef>> Packed;
  std::int64_t PackedBytes = 0;

  explicit TInflate(const std::vector<TEntry>& rows) {
    for (const TEntry& row : rows) {
      uLongf size = compressBound(static_cast<uLong>(row.Descr.size()));
      std::vector<Bytef>& packed = Packed.emplace_back(size);
      if (compress2(packed.data(), &size, reinterpret_cast<const Bytef*>(row.Descr.data()),
                    static_cast<uLong>(row.Descr.size()), kZlibLevel) != Z_OK) {
        Fail("compress2");
      }
      packed.resize(size);
      PackedBytes += static_cast<std::int64_t>(size);
    }
  }
  double Time(const std::vector<TEntry>& rows) const {
    std::string text;
    const auto start = Clock::now();
    for (std::size_t i = 0; i < rows.size(); ++i) {
      text.resize(rows[i].Descr.size());
      uLongf size = static_cast<uLongf>(text.size());
      if (uncompress(reinterpret_cast<Bytef*>(text.data()), &size, Packed[i].data(),
                     static_cast<uLong>(Packed[i].size())) != Z_OK ||
          size != text.size()) {
        Fail("uncompress");
      }
    }
    return Seconds(start);
  }
};

// ---- Report ------------------------------------------------------------------

void PrintStep(const char* step, double operations, const char* unit, double cursor, double data,
               double lite) {
  std::printf("%-34s %9.1f %9.1f %9.1f %8.2f%s %9.2f %9.2f | %10.0f %10.0f %10.0f %s\n", step,
              cursor * 1e3, data * 1e3, lite * 1e3, cursor / lite, cursor / lite > 1.2 ? "*" : " ",
              data / lite, cursor / data, operations / cursor, operations / data, operations / lite,
              unit);
}

}  // namespace
}  // namespace qel

int main(int argc, char** argv) {
  using namespace qel;
  namespace fs = std::filesystem;
  fs::path base = fs::temp_directory_path();
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--plain") {
      gDescrCompression = cmNone;
    } else {
      base = argv[i];
    }
  }
  const fs::path dir = base / ("qel_cursor_bench." + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string ourFile = (dir / "glosarium.qel").string();
  const std::string sqliteFile = (dir / "glosarium.sqlite").string();

  bench::PrintMachineFacts(
      "Engine cursor beside the table-data layer and SQLite, on a database file");
  const TWork work = MakeWork();
  std::int64_t termBytes = 0;
  std::int64_t longTerms = 0;
  for (const TEntry& row : work.Rows) {
    termBytes += static_cast<std::int64_t>(row.Term.size());
    if (row.Term.size() > static_cast<std::size_t>(TQELIndexColumn::kDefaultMaxIndexedSize)) {
      ++longTerms;
    }
  }
  std::printf(
      "data: %d rows; ID integer (unique index), TERM string(%d) of %.1f bytes on average "
      "(case-insensitive index, keys cut to the default %d bytes: %.1f%% of terms are longer), "
      "DESCR memo of %.0f bytes on average (%s)\n",
      kRows, kTermSize, static_cast<double>(termBytes) / kRows,
      TQELIndexColumn::kDefaultMaxIndexedSize, 100.0 * static_cast<double>(longTerms) / kRows,
      static_cast<double>(work.All.TextBytes - termBytes) / kRows,
      gDescrCompression == cmZLIB ? "ZLIB level 6 on our side, plain TEXT in SQLite"
                                  : "stored uncompressed on both sides");
  std::printf(
      "steps: 1 full scan reading ID, TERM and the memo (BLOB stream); 2 %d lookups by TERM in "
      "another case, reading ID and TERM (2: the cursor in natural order; 2b: BY_TERM active); 3 "
      "%d prefix ranges on TERM, %.1f rows each on average, "
      "reading ID and TERM (3: a range on the active index; 3b: partial Locate, then walking the "
      "index)\n",
      kLookups, kRanges, static_cast<double>(work.InRanges.Tally.Rows) / kRanges);
  std::printf("files in %s\n", dir.c_str());
  std::fflush(stdout);

  auto start = Clock::now();
  {
    TCursorSide build(ourFile);
    build.Build(work.Rows);
  }
  const double ourBuild = Seconds(start);
  start = Clock::now();
  TSQLiteSide sqlite(sqliteFile);
  sqlite.Build(work.Rows);
  const double sqliteBuild = Seconds(start);

  TTimes cursorTimes;
  TTimes dataTimes;
  TTimes sqliteTimes;
  std::vector<double> inflateTimes;
  const TInflate inflate(gDescrCompression == cmZLIB ? work.Rows : std::vector<TEntry>{});
  std::int32_t ourCachePages = 0;
  std::int32_t cursorCachePages = 0;
  std::int32_t ourPageSize = 0;
  std::int64_t sqliteCache = 0;
  std::int64_t sqlitePageSize = 0;
  std::string plans;
  for (int round = 0; round < kRounds; ++round) {
    {
      TCursorSide cursor(ourFile);
      cursor.Open();
      cursorCachePages = cursor.CachePages();
      cursorTimes.Rounds.push_back(RunSteps("cursor", cursor, work));
    }
    {
      TTableDataSide data(ourFile);
      data.Open();
      ourCachePages = data.CachePages();
      ourPageSize = data.PageSize();
      dataTimes.Rounds.push_back(RunSteps("table data", data, work));
    }
    sqlite.Open();
    if (round == 0) plans = sqlite.CheckPlans();
    sqliteCache = sqlite.Pragma("PRAGMA cache_size");
    sqlitePageSize = sqlite.Pragma("PRAGMA page_size");
    sqliteTimes.Rounds.push_back(RunSteps("SQLite", sqlite, work));
    sqlite.Close();
    if (gDescrCompression == cmZLIB) inflateTimes.push_back(inflate.Time(work.Rows));
  }

  std::printf(
      "\nbuilt once (not a step): ours through the cursor %.2f s, SQLite %.2f s (%s); one "
      "transaction each\n",
      ourBuild, sqliteBuild, sqlite3_libversion());
  std::printf(
      "files: ours %.1f MB, SQLite %.1f MB (10^6 bytes); pages: ours %d bytes, SQLite %lld "
      "bytes; page caches: ours %d pages (cursor's session %d), SQLite cache_size %lld\n",
      static_cast<double>(fs::file_size(ourFile)) / 1e6,
      static_cast<double>(fs::file_size(sqliteFile)) / 1e6, ourPageSize,
      static_cast<long long>(sqlitePageSize), ourCachePages, cursorCachePages,
      static_cast<long long>(sqliteCache));
  std::printf(
      "SQLite: journal_mode=DELETE (default), synchronous=OFF, prepared statements; plans: %s\n"
      "each side reopens its file every round (the OS cache stays warm)\n\n",
      plans.c_str());
  std::printf(
      "median of %d rounds per step; ratios below 1 mean the first is faster; * marks "
      "cursor/SQLite above 1.2\n",
      kRounds);
  std::printf("%-34s %9s %9s %9s %9s %9s %9s | %10s %10s %10s\n", "step", "cursor ms", "tdata ms",
              "SQLite ms", "cur/SQL", "tdata/SQL", "cur/tdata", "cursor/s", "tdata/s", "SQLite/s");
  using R = TRound;
  PrintStep("1  scan, every field and memo", kRows, "rows", cursorTimes.Of(&R::Scan),
            dataTimes.Of(&R::Scan), sqliteTimes.Of(&R::Scan));
  PrintStep("2  lookups by TERM (nocase)", kLookups, "lookups", cursorTimes.Of(&R::Lookup),
            dataTimes.Of(&R::Lookup), sqliteTimes.Of(&R::Lookup));
  PrintStep("2b lookups, BY_TERM active", kLookups, "lookups", cursorTimes.Of(&R::IndexLookup),
            dataTimes.Of(&R::IndexLookup), sqliteTimes.Of(&R::IndexLookup));
  PrintStep("3  prefix ranges (SetRange)", kRanges, "ranges", cursorTimes.Of(&R::Range),
            dataTimes.Of(&R::Range), sqliteTimes.Of(&R::Range));
  PrintStep("3b prefix ranges (Locate + walk)", kRanges, "ranges", cursorTimes.Of(&R::Walk),
            dataTimes.Of(&R::Walk), sqliteTimes.Of(&R::Walk));
  if (!inflateTimes.empty()) {
    const double zlib = Median(inflateTimes);
    std::printf(
        "\nzlib alone, inflating every memo one-shot: %.1f ms (%.1f MB of text from %.1f MB); "
        "scan without it: cursor %.1f ms (%.2fx SQLite), table data %.1f ms (%.2fx SQLite)\n",
        zlib * 1e3, static_cast<double>(work.All.TextBytes - termBytes) / 1e6,
        static_cast<double>(inflate.PackedBytes) / 1e6, (cursorTimes.Of(&R::Scan) - zlib) * 1e3,
        (cursorTimes.Of(&R::Scan) - zlib) / sqliteTimes.Of(&R::Scan),
        (dataTimes.Of(&R::Scan) - zlib) * 1e3,
        (dataTimes.Of(&R::Scan) - zlib) / sqliteTimes.Of(&R::Scan));
  }
  std::printf(
      "checked: every side's scan saw all %lld rows (ID sum %lld, %lld text bytes), every lookup "
      "found its row, every range had the %lld rows expected in all\n",
      static_cast<long long>(work.All.Rows), static_cast<long long>(work.All.IDs),
      static_cast<long long>(work.All.TextBytes), static_cast<long long>(work.InRanges.Tally.Rows));

  fs::remove_all(dir);
  return 0;
}
