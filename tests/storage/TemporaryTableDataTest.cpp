// TQELTemporaryTableData in the temporary database: spilled records and
// index pages read back in every order, spill files that go with the
// table (emptied, deleted, destroyed, after a failed insert) and never
// come for a memory-only one, inserts refused whole when a write fails or
// an index refuses the keys, BLOB values that round-trip while spilling
// and whose failed or damaged writes and positions are defined errors,
// changes applied at once inside transactions, index walks that survive an
// insert, record numbers past 2^32, and the refusals of bad input.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numeric>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/QELEndian.h"
#include "platform/QELFaultInjection.h"
#include "platform/QELFile.h"
#include "storage/QELRecordData.h"
#include "storage/QELTableCheck.h"
#include "storage/QELTempEngine.h"
#include "streams/QELMemoryStream.h"
#include "streams/QELTemporaryStream.h"
#include "support/ErrorSupport.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

using test::NativeErrorOf;

constexpr std::int32_t kKey = 0;
constexpr std::int32_t kName = 1;
constexpr std::int32_t kNote = 2;
// Few records and pages in memory, so that small tables spill.
constexpr TQELTemporaryMemoryLimits kSpilling{3, 2};

// Open descriptors of this process on files in `directory` (temporary
// files have no name any more: only their descriptors show them).
std::int32_t OpenFilesIn(const std::string& directory) {
  std::int32_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (!error && target.rfind(directory + "/QEL", 0) == 0) ++count;
  }
  return count;
}

std::int32_t NamesIn(const std::string& directory) {
  std::int32_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (entry.path().filename().string().rfind("QEL", 0) == 0) ++count;
  }
  return count;
}

std::string RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// A temporary table K integer, NAME string(20) and (unless left out) NOTE
// BLOB, with one cursor on it.
class TTempTable {
 public:
  explicit TTempTable(const TQELTemporaryMemoryLimits& limits = kSpilling, bool memoryOnly = false,
                      bool withNote = true)
      : Cursor("RESULT") {
    Database.SetMemoryLimits(limits);
    Fields.Add("K", aftInteger, 0);
    Fields.Add("NAME", aftString, 20);
    if (withNote) Fields.Add("NOTE", aftBlob, 0).BlobBlockSize = 4096;
    Cursor.DisableTempFiles = memoryOnly;
    Table = static_cast<TQELTemporaryTableData*>(Database.GetTableData(&Cursor));
    Table->CreateTable(Cursor, Fields, {}, {});
    Table->AddCursor(&Cursor);
    Buffer.assign(static_cast<std::size_t>(Cursor.RecordSize), 0);
    Cursor.RecordBuffer = Buffer.data();
  }
  ~TTempTable() {
    if (Table != nullptr) Table->RemoveCursor(&Cursor);
  }

  const TQELFieldDefs& Defs() const { return Table->FieldDefs(); }
  // The sort index the query layer asks for.
  std::int32_t SortIndex(const std::string& direction = "ASC") {
    return Table->CreateTemporaryIndex(Cursor, {{"K"}, {direction}, {"CASE"}});
  }
  void AddIndex(const std::string& name) {
    TQELIndexDef def;
    def.SetName(name);
    def.AddColumn("K", false);
    Table->CreateIndex(def, Cursor);
  }
  void Fill(std::int32_t key, const std::string& name) {
    std::memset(Buffer.data(), 0, Buffer.size());
    for (std::int32_t i = 0; i < Defs().Count(); ++i) SetFieldData(i, Defs(), nullptr, Buffer.data());
    SetFieldData(kKey, Defs(), &key, Buffer.data());
    std::vector<char> slot(static_cast<std::size_t>(Defs()[kName].MemoryDataSize()) + 1, 0);
    std::memcpy(slot.data(), name.data(), std::min(name.size(), slot.size() - 1));
    SetFieldData(kName, Defs(), slot.data(), Buffer.data());
  }
  void PostNote(const std::string& value) {
    std::unique_ptr<TQELBlobValueStream> stream = Table->OpenBlob(Cursor, true, false, kNote);
    if (!value.empty()) stream->Write(value.data(), static_cast<std::int64_t>(value.size()));
    stream->SetSize(static_cast<std::int64_t>(value.size()));
    Table->PostBlob(Cursor, kNote, *stream);
  }
  bool Insert(std::int32_t key, const std::string& name, const std::string& note = {}) {
    Fill(key, name);
    if (!note.empty()) PostNote(note);
    return Table->InsertRecord(Cursor);
  }
  std::int32_t Key() const {
    std::int32_t value = 0;
    return GetFieldData(kKey, Defs(), &value, Buffer.data()) ? value : INT32_MIN;
  }
  std::string Name() const {
    std::vector<char> slot(static_cast<std::size_t>(Defs()[kName].MemoryDataSize()) + 1, 0);
    if (!GetFieldData(kName, Defs(), slot.data(), Buffer.data())) return {};
    return slot.data();
  }
  std::string Note() {
    if (IsNull(kNote, Buffer.data())) return "<null>";
    std::unique_ptr<TQELBlobValueStream> stream = Table->OpenBlob(Cursor, false, true, kNote);
    std::string value(static_cast<std::size_t>(stream->GetSize()), '\0');
    stream->SetPosition(0);
    if (!value.empty() && stream->Read(value.data(), stream->GetSize()) != stream->GetSize()) {
      throw std::runtime_error("short BLOB read");
    }
    return value;
  }
  // The keys in the order of `indexID` (-1: insertion order).
  std::vector<std::int32_t> Keys(std::int32_t indexID = -1, bool forward = true) {
    std::vector<std::int32_t> keys;
    Cursor.IndexID = indexID;
    Cursor.BeforeFirst = forward;
    Cursor.AfterLast = !forward;
    while (Table->GetRecord(Cursor, forward ? grmNext : grmPrior) == grOK) keys.push_back(Key());
    Cursor.IndexID = -1;
    return keys;
  }
  bool Goto(std::int64_t number) {
    Cursor.Position = TQELTemporaryRecordManager::IDOf(static_cast<std::uint64_t>(number));
    Cursor.BeforeFirst = false;
    Cursor.AfterLast = false;
    return Table->GetRecord(Cursor, grmCurrent) == grOK;
  }
  std::int64_t Count() { return Table->InternalGetRecordCount(Cursor); }
  void ExpectIndexesAgree() {
    const std::vector<std::string> faults = CheckTableIndexes(*Table, Cursor.SessionID());
    EXPECT_TRUE(faults.empty()) << faults.front();
  }

  TQELTemporaryDatabaseData Database;
  TQELTableCursor Cursor;
  TQELFieldDefs Fields;
  TQELTemporaryTableData* Table = nullptr;
  std::vector<std::uint8_t> Buffer;
};

std::vector<std::int32_t> Shuffled(std::int32_t count, std::uint32_t seed) {
  std::vector<std::int32_t> keys(static_cast<std::size_t>(count));
  std::iota(keys.begin(), keys.end(), 0);
  std::shuffle(keys.begin(), keys.end(), std::mt19937(seed));
  return keys;
}

// The query layer's sort: records in random key order, spilled past three
// records and two index pages, walked through a temporary index in either
// direction, through a stored one, in insertion order and by record number.
TEST(TemporaryTableDataTest, SpilledRecordsAndIndexPagesReadBackInEveryOrder) {
  TTempTable t(kSpilling, false, false);
  t.AddIndex("BY_K");
  const std::vector<std::int32_t> keys = Shuffled(3000, 5);
  for (const std::int32_t key : keys) ASSERT_TRUE(t.Insert(key, "n" + std::to_string(key)));
  const std::int32_t ascending = t.SortIndex();
  const std::int32_t descending = t.SortIndex("DESC");
  EXPECT_NE(t.Table->TemporaryRecordManager()->SpillFile(), nullptr);
  EXPECT_NE(t.Table->TemporaryPages().SpillFile(), nullptr);

  std::vector<std::int32_t> sorted = keys;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(t.Keys(ascending), sorted);
  std::vector<std::int32_t> backward = t.Keys(ascending, false);
  std::reverse(backward.begin(), backward.end());
  EXPECT_EQ(backward, sorted);
  std::vector<std::int32_t> down = t.Keys(descending);
  std::reverse(down.begin(), down.end());
  EXPECT_EQ(down, sorted);
  const std::int32_t stored = t.Table->IndexManager()->IndexDefs().FindIndexByName("BY_K")->ObjectID();
  EXPECT_EQ(t.Keys(stored), sorted);
  EXPECT_EQ(t.Keys(), keys);
  t.ExpectIndexesAgree();

  EXPECT_EQ(t.Table->GetRecordCount(t.Cursor), 3000);
  for (const std::int64_t recNo : {1, 2, 4, 1500, 3000}) {
    t.Table->SetRecNo(t.Cursor, recNo);
    EXPECT_EQ(t.Key(), keys[static_cast<std::size_t>(recNo - 1)]);
    EXPECT_EQ(t.Name(), "n" + std::to_string(t.Key()));
    EXPECT_EQ(t.Table->GetRecNo(t.Cursor), recNo);
  }
}

enum TRelease { rlEmpty, rlDelete, rlDestroy, rlFailedInsert };

// Spilled records, index pages and BLOB values each take a temporary file;
// every way a table ends gives all of them up, and no name is ever left in
// the temporary directory. An emptied table is reusable at once.
TEST(TemporaryTableDataTest, SpillFilesGoWithTheTable) {
  const test::TScratchDir dir;
  const test::TScopedEnv tmpdir("TMPDIR", dir.Path());
  for (const TRelease release : {rlEmpty, rlDelete, rlDestroy, rlFailedInsert}) {
    SCOPED_TRACE("case " + std::to_string(release));
    auto t = std::make_unique<TTempTable>();
    t->AddIndex("BY_K");
    for (const std::int32_t key : Shuffled(600, 1)) {
      ASSERT_TRUE(t->Insert(key, "x", key % 100 == 0 ? RandomBytes(300000, key) : ""));
    }
    EXPECT_EQ(OpenFilesIn(dir.Path()), 3);
    switch (release) {
      case rlEmpty:
        t->Table->EmptyTable(t->Cursor);
        EXPECT_EQ(OpenFilesIn(dir.Path()), 0);
        EXPECT_EQ(t->Count(), 0);
        EXPECT_TRUE(t->Keys(t->SortIndex()).empty());
        ASSERT_TRUE(t->Insert(7, "again", "nilai"));
        ASSERT_TRUE(t->Insert(3, "again"));
        EXPECT_EQ(OpenFilesIn(dir.Path()), 0);
        EXPECT_EQ(t->Keys(t->SortIndex()), (std::vector<std::int32_t>{3, 7}));
        ASSERT_TRUE(t->Goto(0));
        EXPECT_EQ(t->Note(), "nilai");
        t->ExpectIndexesAgree();
        t.reset();
        break;
      case rlDelete: {
        TQELTemporaryDatabaseData& database = t->Database;
        t->Table->RemoveCursor(&t->Cursor);
        t->Table->DeleteTable(t->Cursor, false);
        t->Table = nullptr;
        EXPECT_TRUE(database.TableDatas().empty());
        EXPECT_EQ(OpenFilesIn(dir.Path()), 0);
        t.reset();
        break;
      }
      case rlDestroy:
        t.reset();
        break;
      case rlFailedInsert: {
        TQELFaultInjector faults;
        faults.FailFrom(fopWrite, 1);
        bool failed = false;
        for (std::int32_t key = 1000; key < 3000 && !failed; ++key) {
          try {
            failed = !t->Insert(key, "y");
          } catch (const EQELException&) {
            failed = true;
          }
        }
        EXPECT_TRUE(failed);
        t.reset();
        break;
      }
    }
    EXPECT_EQ(OpenFilesIn(dir.Path()), 0);
    EXPECT_EQ(NamesIn(dir.Path()), 0);
  }
}

// DisableTempFiles keeps records, pages and BLOB values in memory however
// small the share.
TEST(TemporaryTableDataTest, AMemoryOnlyTableNeverMakesAFile) {
  const test::TScratchDir dir;
  const test::TScopedEnv tmpdir("TMPDIR", dir.Path());
  TTempTable t(kSpilling, true);
  t.AddIndex("BY_K");
  const std::vector<std::int32_t> keys = Shuffled(2000, 2);
  for (const std::int32_t key : keys) {
    ASSERT_TRUE(t.Insert(key, "m", key % 500 == 0 ? RandomBytes(400000, key) : ""));
  }
  std::vector<std::int32_t> sorted = keys;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(t.Keys(t.SortIndex()), sorted);
  ASSERT_TRUE(t.Goto(0));
  EXPECT_EQ(t.Note(), keys[0] % 500 == 0 ? RandomBytes(400000, keys[0]) : "<null>");
  for (std::int64_t i = 0; i < 2000; ++i) {
    if (keys[static_cast<std::size_t>(i)] != 500) continue;
    ASSERT_TRUE(t.Goto(i));
    EXPECT_EQ(t.Note(), RandomBytes(400000, 500));
  }
  EXPECT_EQ(t.Table->TemporaryRecordManager()->SpillFile(), nullptr);
  EXPECT_EQ(t.Table->TemporaryPages().SpillFile(), nullptr);
  EXPECT_NE(dynamic_cast<TQELMemoryStream*>(t.Table->BlobStream()), nullptr);
  EXPECT_EQ(OpenFilesIn(dir.Path()), 0);
  EXPECT_EQ(NamesIn(dir.Path()), 0);
}

// A write that fails (an I/O error, a full disk) makes the insert answer
// false with the count, the cursor's position and the indexes as they
// were; once the fault is gone the insert goes through and nothing was
// lost. An index that refuses the keys has the record taken back.
TEST(TemporaryTableDataTest, AnInsertThatCannotBeStoredChangesNothing) {
  for (const int error : {EIO, ENOSPC}) {
    SCOPED_TRACE(error == EIO ? "EIO" : "ENOSPC");
    TTempTable t({0, TQELTemporaryPageManager::kMemoryShare}, false, false);
    t.AddIndex("BY_K");
    for (std::int32_t key = 0; key < 1000; ++key) ASSERT_TRUE(t.Insert(999 - key, "a"));
    const TQELRecordID position = t.Cursor.Position;
    TQELFaultInjector faults;
    faults.FailFrom(fopWrite, 1, error);
    EXPECT_FALSE(t.Insert(5000, "b"));
    EXPECT_EQ(t.Count(), 1000);
    EXPECT_EQ(t.Cursor.Position, position);
    t.ExpectIndexesAgree();
    faults.ClearFaults();
    ASSERT_TRUE(t.Insert(5000, "b"));
    std::vector<std::int32_t> expected(1000);
    std::iota(expected.begin(), expected.end(), 0);
    expected.push_back(5000);
    EXPECT_EQ(t.Keys(t.SortIndex()), expected);
  }

  // A key that needs a new index page the page file cannot grow for fails
  // after the record was stored: the record is taken back and the index is
  // as it was, whatever splits the failed insert had begun.
  {
    TTempTable t(kSpilling, false, false);
    t.AddIndex("BY_K");
    TQELFaultInjector faults;
    faults.FailFrom(fopSetSize, 1);
    std::vector<std::int32_t> stored;
    for (const std::int32_t key : Shuffled(5000, 9)) {
      try {
        if (!t.Insert(key, "s")) break;
      } catch (const EQELException&) {
        break;
      }
      stored.push_back(key);
    }
    ASSERT_LT(stored.size(), 5000u);
    EXPECT_EQ(t.Count(), static_cast<std::int64_t>(stored.size()));
    t.ExpectIndexesAgree();
    faults.ClearFaults();
    ASSERT_TRUE(t.Insert(100000, "after"));
    stored.push_back(100000);
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(t.Keys(t.SortIndex()), stored);
    t.ExpectIndexesAgree();
  }

  // The keys go into the cursor's bitmap and the indexes after the record
  // was stored; a failure there takes the record back.
  TTempTable t;
  t.AddIndex("BY_K");
  ASSERT_TRUE(t.Insert(1, "a"));
  t.Cursor.FilterCallback = [](const std::uint8_t*, const TQELRecordID&) -> bool {
    throw std::runtime_error("callback failed");
  };
  t.Cursor.RecordBitmap = std::make_unique<TQELRecordBitmap>(t.Table);
  t.Cursor.RecordBitmap->SetActive(true);
  t.Cursor.RecordBitmap->SetStamp(t.Table->RecordManager()->ChangeCount());
  EXPECT_THROW(t.Insert(2, "b"), std::runtime_error);
  t.Cursor.FilterCallback = nullptr;
  t.Cursor.RecordBitmap.reset();
  EXPECT_EQ(t.Count(), 1);
  t.ExpectIndexesAgree();
  ASSERT_TRUE(t.Insert(3, "c"));
  EXPECT_EQ(t.Keys(), (std::vector<std::int32_t>{1, 3}));
}

// Values of every size round-trip while records, pages and the BLOB stream
// itself are in files; a value posted twice leaves both copies with the
// slot on the second, an empty one makes the field NULL without growing
// the stream, and stored bytes copy to another table unchanged.
TEST(TemporaryTableDataTest, BlobsRoundTripWhileSpilling) {
  TTempTable t;
  std::vector<std::string> notes;
  for (std::int32_t i = 0; i < 120; ++i) {
    const std::size_t size = i % 3 == 0 ? 0 : i % 3 == 1 ? 1 + i : 30000 + i * 97;
    notes.push_back(size == 0 ? "<null>" : RandomBytes(size, static_cast<std::uint32_t>(i)));
    ASSERT_TRUE(t.Insert(i, "b", size == 0 ? "" : notes.back()));
  }
  auto* blobs = dynamic_cast<TQELTemporaryStream*>(t.Table->BlobStream());
  ASSERT_NE(blobs, nullptr);
  EXPECT_TRUE(blobs->IsInFile());
  for (std::int64_t i = 0; i < 120; ++i) {
    ASSERT_TRUE(t.Goto(i));
    ASSERT_EQ(t.Note(), notes[static_cast<std::size_t>(i)]) << i;
  }

  t.Fill(500, "twice");
  t.PostNote("first");
  const std::int64_t afterFirst = blobs->GetSize();
  t.PostNote("second value");
  EXPECT_GT(blobs->GetSize(), afterFirst);
  ASSERT_TRUE(t.Table->InsertRecord(t.Cursor));
  const std::int64_t size = blobs->GetSize();
  t.PostNote("");
  EXPECT_TRUE(IsNull(kNote, t.Buffer.data()));
  EXPECT_EQ(blobs->GetSize(), size);
  ASSERT_TRUE(t.Goto(120));
  EXPECT_EQ(t.Note(), "second value");

  TTempTable copy;
  for (std::int64_t i = 0; i < 121; ++i) {
    ASSERT_TRUE(t.Goto(i));
    std::vector<std::uint8_t> data;
    TQELBlobDescriptor descriptor;
    t.Table->ReadBlobData(0, kNote, data, descriptor, t.Buffer.data());
    copy.Fill(static_cast<std::int32_t>(i), "copy");
    copy.Table->WriteBlobData(copy.Cursor, kNote, data, descriptor, nullptr);
    t.Table->FreeBlobData(data);
    ASSERT_TRUE(copy.Table->InsertRecord(copy.Cursor));
  }
  for (std::int64_t i = 0; i < 121; ++i) {
    ASSERT_TRUE(copy.Goto(i));
    ASSERT_EQ(copy.Note(), i < 120 ? notes[static_cast<std::size_t>(i)] : "second value") << i;
  }
}

// Writes of BLOB values that fail raise their codes and leave the field
// and the stream as they were; a table without BLOB fields has no stream;
// positions and headers that do not fit the stream are refused before
// anything is read or allocated.
TEST(TemporaryTableDataTest, BlobFailuresAndDamageAreDefinedErrors) {
  TTempTable t;
  ASSERT_TRUE(t.Insert(1, "big", RandomBytes(1500000, 1)));
  ASSERT_TRUE(t.Goto(0));
  TQELStream& blobs = *t.Table->BlobStream();
  const std::int64_t size = blobs.GetSize();
  std::vector<std::uint8_t> data;
  TQELBlobDescriptor descriptor;
  t.Table->ReadBlobData(0, kNote, data, descriptor, t.Buffer.data());
  const std::vector<std::uint8_t> before = t.Buffer;
  {
    TQELFaultInjector faults;
    faults.FailFrom(fopWrite, 1);
    EXPECT_EQ(NativeErrorOf([&] { t.PostNote("a new value"); }), 10145);
    EXPECT_EQ(NativeErrorOf([&] {
                t.Table->WriteBlobData(t.Cursor, kNote, data, descriptor, nullptr);
              }),
              10508);
  }
  EXPECT_EQ(t.Buffer, before);
  EXPECT_EQ(blobs.GetSize(), size);
  EXPECT_EQ(t.Note(), RandomBytes(1500000, 1));

  // Damaged slots: before the stream, past its end, or on a header whose
  // data would run past the end (or is negative).
  TQELBlobDescriptor damaged;
  damaged.BlockCount = 1;
  damaged.UncompressedSize = 10;
  damaged.DataSize = std::int64_t{1} << 40;
  std::uint8_t header[TQELBlobDescriptor::kSize];
  damaged.Store(header);
  blobs.Seek(0, soEnd);
  blobs.WriteChecked(header, TQELBlobDescriptor::kSize, 1);
  damaged.DataSize = -5;
  damaged.Store(header);
  blobs.WriteChecked(header, TQELBlobDescriptor::kSize, 1);
  struct TCase {
    std::int64_t Position;
    std::int32_t OpenCode;
    std::int32_t ReadCode;
  };
  const std::vector<TCase> cases = {
      {-1, 10141, 10509},
      {size + 40, 10141, 10509},
      {size + 30, 10141, 10509},
      {std::int64_t{1} << 62, 10141, 10509},
      {size, 10142, 10510},
      {size + 20, 10142, 10510},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE("position " + std::to_string(c.Position));
    QELWriteLE<std::int64_t>(t.Buffer.data() + t.Defs()[kNote].MemoryOffset(), c.Position);
    EXPECT_EQ(NativeErrorOf([&] { t.Table->OpenBlob(t.Cursor, false, true, kNote); }), c.OpenCode);
    EXPECT_EQ(NativeErrorOf([&] { t.Table->ReadBlobData(0, kNote, data, descriptor, t.Buffer.data()); }),
              c.ReadCode);
  }

  TTempTable plain(kSpilling, false, false);
  ASSERT_TRUE(plain.Insert(1, "no notes"));
  EXPECT_EQ(plain.Table->BlobStream(), nullptr);
  TQELBlobValueStream value(std::make_unique<TQELMemoryStream>(), true, {}, kNote);
  EXPECT_EQ(NativeErrorOf([&] { plain.Table->PostBlob(plain.Cursor, kNote, value); }), 10144);
  EXPECT_EQ(NativeErrorOf([&] { plain.Table->OpenBlob(plain.Cursor, false, true, kNote); }), 10140);
  EXPECT_EQ(NativeErrorOf([&] {
              plain.Table->WriteBlobData(plain.Cursor, kNote, data, descriptor, nullptr);
            }),
            10506);
  // A field that is no BLOB field.
  EXPECT_EQ(NativeErrorOf([&] { t.Table->OpenBlob(t.Cursor, false, true, kName); }), 10000);
}

// Records are numbered by insertion from 1; record numbers convert to ids
// and back beyond 2^32; updates and deletes answer false and change
// nothing; a table without storage or record buffer is a defined error.
TEST(TemporaryTableDataTest, RecordNumbersRefusedChangesAndBadInput) {
  TTempTable t(kSpilling, false, false);
  for (const TQELGetRecordMode mode : {grmCurrent, grmNext, grmPrior}) {
    t.Cursor.BeforeFirst = true;
    EXPECT_EQ(t.Table->GetRecord(t.Cursor, mode), grEOF);
  }
  for (std::int32_t key = 10; key < 15; ++key) ASSERT_TRUE(t.Insert(key, "r"));
  struct TCase {
    std::int64_t RecNo;
    std::uint64_t Number;
  };
  for (const TCase c : {TCase{0, 0}, TCase{1, 0}, TCase{2, 1}, TCase{5, 4}}) {
    t.Table->InternalSetRecNo(t.Cursor, c.RecNo);
    EXPECT_EQ(TQELTemporaryRecordManager::NumberOf(t.Cursor.Position), c.Number) << c.RecNo;
    EXPECT_EQ(t.Table->InternalGetRecNo(t.Cursor), static_cast<std::int64_t>(c.Number) + 1);
  }
  EXPECT_EQ(t.Table->GetRecordNumberLimit(0), 5);
  const std::int64_t high = (std::int64_t{1} << 32) + 7;
  TQELRecordID id{};
  t.Table->RecordNumberToRecordID(id, high);
  EXPECT_EQ(id, (TQELRecordID{7, 0, 0, 0, 1, 0}));
  EXPECT_EQ(t.Table->RecordIDToRecordNumber(id), high);
  t.Table->RecordNumberToRecordID(id, (std::int64_t{1} << 48) - 1);
  EXPECT_EQ(t.Table->RecordIDToRecordNumber(id), (std::int64_t{1} << 48) - 1);

  ASSERT_TRUE(t.Goto(2));
  t.Fill(99, "changed");
  EXPECT_FALSE(t.Table->UpdateRecord(t.Cursor));
  EXPECT_FALSE(t.Table->DeleteRecord(t.Cursor));
  EXPECT_EQ(t.Keys(), (std::vector<std::int32_t>{10, 11, 12, 13, 14}));

  TQELTableCursor cursor("BARE");
  EXPECT_EQ(NativeErrorOf([&] { t.Database.GetTableData(&cursor); }), 0);
  auto* bare = static_cast<TQELTemporaryTableData*>(t.Database.FindTableData(&cursor));
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(NativeErrorOf([&] { bare->CreateTable(cursor, {}, {}, {}); }), 10132);
  EXPECT_EQ(NativeErrorOf([&] { bare->InsertRecord(cursor); }), 10134);
  EXPECT_EQ(NativeErrorOf([&] { bare->InternalGetRecordCount(cursor); }), 10133);
  EXPECT_EQ(NativeErrorOf([&] { bare->InternalSetRecNo(cursor, 1); }), 10136);
  EXPECT_EQ(NativeErrorOf([&] { bare->InternalGetRecNo(cursor); }), 10137);
  t.Cursor.RecordBuffer = nullptr;
  EXPECT_EQ(NativeErrorOf([&] { t.Table->InsertRecord(t.Cursor); }), 10135);
}

// Inside a transaction the index pages of a temporary table are applied at
// once like its records: they go to storage (and past the share, to the
// file) instead of piling up as the session's private copies.
TEST(TemporaryTableDataTest, ChangesInsideATransactionAreAppliedAtOnce) {
  TTempTable t(kSpilling, false, false);
  t.Cursor.SetSession(0, true);
  t.AddIndex("BY_K");
  for (const std::int32_t key : Shuffled(2000, 3)) ASSERT_TRUE(t.Insert(key, "t"));
  EXPECT_FALSE(t.Table->TemporaryPages().HasChanges(0));
  EXPECT_NE(t.Table->TemporaryPages().SpillFile(), nullptr);
  std::vector<std::int32_t> sorted(2000);
  std::iota(sorted.begin(), sorted.end(), 0);
  EXPECT_EQ(t.Keys(t.SortIndex()), sorted);
}

// A cursor walking an index goes on from its record after another cursor
// inserted a key before it: its cached position must not be taken for
// current once the entries moved.
TEST(TemporaryTableDataTest, AnIndexWalkGoesOnRightAfterAnInsert) {
  TTempTable t(kSpilling, false, false);
  for (std::int32_t key = 0; key < 200; key += 2) ASSERT_TRUE(t.Insert(key, "w"));
  const std::int32_t index = t.SortIndex();
  TQELTableCursor writer("RESULT");
  std::vector<std::uint8_t> buffer(t.Buffer.size(), 0);
  writer.RecordBuffer = buffer.data();
  t.Table->AddCursor(&writer);
  t.Cursor.IndexID = index;
  t.Cursor.BeforeFirst = true;
  std::vector<std::int32_t> seen;
  while (t.Table->GetRecord(t.Cursor, grmNext) == grOK) {
    seen.push_back(t.Key());
    if (t.Key() == 100) {
      for (std::int32_t i = 0; i < t.Defs().Count(); ++i) SetFieldData(i, t.Defs(), nullptr, buffer.data());
      const std::int32_t key = 99;
      SetFieldData(kKey, t.Defs(), &key, buffer.data());
      ASSERT_TRUE(t.Table->InsertRecord(writer));
    }
  }
  t.Table->RemoveCursor(&writer);
  std::vector<std::int32_t> expected;
  for (std::int32_t key = 0; key < 200; key += 2) expected.push_back(key);
  EXPECT_EQ(seen, expected);
}

// Tables of one temporary database filled from several threads at once
// (each table by one thread) each keep their own spill files and records.
TEST(TemporaryTableDataTest, TablesFilledFromSeveralThreadsKeepTheirOwnFiles) {
  TQELTemporaryDatabaseData database;
  database.SetMemoryLimits(kSpilling);
  constexpr std::int32_t kThreads = 6;
  constexpr std::int32_t kRecords = 1500;
  std::vector<std::string> failures(kThreads);
  std::vector<std::string> files(kThreads);
  std::vector<std::thread> threads;
  for (std::int32_t n = 0; n < kThreads; ++n) {
    threads.emplace_back([&, n] {
      try {
        TQELTableCursor cursor("T" + std::to_string(n));
        TQELFieldDefs fields;
        fields.Add("K", aftInteger, 0);
        auto* table = static_cast<TQELTemporaryTableData*>(database.GetTableData(&cursor));
        table->CreateTable(cursor, fields, {}, {});
        table->AddCursor(&cursor);
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(cursor.RecordSize));
        cursor.RecordBuffer = buffer.data();
        const TQELFieldDefs& defs = table->FieldDefs();
        for (std::int32_t i = 0; i < kRecords; ++i) {
          const std::int32_t key = n * 100000 + i;
          SetFieldData(0, defs, &key, buffer.data());
          if (!table->InsertRecord(cursor)) throw std::runtime_error("insert refused");
        }
        files[static_cast<std::size_t>(n)] = table->TemporaryRecordManager()->SpillFile()->FileName();
        cursor.BeforeFirst = true;
        for (std::int32_t i = 0; i < kRecords; ++i) {
          std::int32_t key = -1;
          if (table->GetRecord(cursor, grmNext) != grOK || !GetFieldData(0, defs, &key, buffer.data()) ||
              key != n * 100000 + i) {
            throw std::runtime_error("record " + std::to_string(i) + " read back wrong");
          }
        }
        table->RemoveCursor(&cursor);
        table->DeleteTable(cursor, false);
      } catch (const std::exception& e) {
        failures[static_cast<std::size_t>(n)] = e.what();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& failure : failures) EXPECT_EQ(failure, "");
  EXPECT_EQ(std::set<std::string>(files.begin(), files.end()).size(), static_cast<std::size_t>(kThreads));
  EXPECT_TRUE(database.TableDatas().empty());
}

}  // namespace
}  // namespace qel
