// Tables in the database file through TQELDiskTableData: a table with a
// field of every type, two indexes and BLOB fields compressed with every
// algorithm, changed at length and read back after reopening the file,
// plain and encrypted, against a model kept by the test; the edge cases of
// record geometry, repair and table DDL; BLOB values of awkward sizes.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskFileCheck.h"
#include "disk/QELDiskTableCheck.h"
#include "disk/QELDiskTableData.h"
#include "platform/QELEndian.h"
#include "storage/QELRecordData.h"
#include "storage/QELTableCheck.h"
#include "streams/QELCompression.h"
#include "support/ErrorSupport.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

using test::NativeErrorOf;

#if defined(__SANITIZE_ADDRESS__)
// The sanitizers check memory safety; the volume adds only time.
constexpr std::int32_t kModelRecords = 2000;
#else
constexpr std::int32_t kModelRecords = 20000;
#endif

// One database file with one open table and a cursor on it.
class TDiskTable {
 public:
  explicit TDiskTable(std::string password = {}) : FPassword(std::move(password)) {}
  ~TDiskTable() { Close(); }

  const std::string& FileName() const { return FFileName; }

  void CreateFile() {
    FDatabase = std::make_unique<TQELDiskDatabaseData>(FFileName);
    FDatabase->CreateDatabaseFile({FPassword, caRijndael_128}, 4096, 8, 10);
  }
  void CreateTable(const TQELFieldDefs& fields, const TQELIndexDefs& indexes,
                   const TQELConstraintDefs& constraints = {}) {
    Cursor = std::make_unique<TQELTableCursor>("T");
    auto* table = static_cast<TQELDiskTableData*>(FDatabase->GetTableData(Cursor.get()));
    table->CreateTable(*Cursor, fields, constraints, indexes);
    Attach(table);
  }
  // Closes the table and the file.
  void Close() {
    if (Table != nullptr) Table->RemoveCursor(Cursor.get());
    Table = nullptr;
    FDatabase.reset();
  }
  // Opens the file and the table again.
  void Reopen(bool repair = false) {
    Close();
    FDatabase = std::make_unique<TQELDiskDatabaseData>(FFileName);
    FDatabase->Open({FPassword, caRijndael_128});
    Cursor = std::make_unique<TQELTableCursor>("T");
    auto* table = static_cast<TQELDiskTableData*>(FDatabase->GetTableData(Cursor.get()));
    table->SetRepairMode(repair);
    Attach(table);
  }
  TQELDiskDatabaseData& Database() { return *FDatabase; }
  const TQELFieldDefs& Defs() const { return Table->FieldDefs(); }

  std::unique_ptr<TQELTableCursor> Cursor;
  TQELDiskTableData* Table = nullptr;
  std::vector<std::uint8_t> Buffer;

 private:
  void Attach(TQELDiskTableData* table) {
    table->AddCursor(Cursor.get());
    table->InitCursor(*Cursor);
    Table = table;
    Buffer.assign(static_cast<std::size_t>(Cursor->RecordSize), 0);
    Cursor->RecordBuffer = Buffer.data();
  }

  test::TScratchDir FDir;
  std::string FFileName = FDir.File("table.qel");
  std::string FPassword;
  std::unique_ptr<TQELDiskDatabaseData> FDatabase;
};

// BLOB field values: write a whole value through the table's BLOB stream,
// read one back.
void WriteBlob(TDiskTable& t, std::int32_t fieldNo, const std::string& value) {
  std::unique_ptr<TQELBlobValueStream> stream = t.Table->OpenBlob(*t.Cursor, true, false, fieldNo);
  if (!value.empty()) stream->Write(value.data(), static_cast<std::int64_t>(value.size()));
  stream->SetSize(static_cast<std::int64_t>(value.size()));
  t.Table->PostBlob(*t.Cursor, fieldNo, *stream);
}

std::string ReadBlob(TDiskTable& t, std::int32_t fieldNo) {
  std::unique_ptr<TQELBlobValueStream> stream = t.Table->OpenBlob(*t.Cursor, false, true, fieldNo);
  std::string value(static_cast<std::size_t>(stream->GetSize()), '\0');
  stream->SetPosition(0);
  if (!value.empty()) {
    EXPECT_EQ(stream->Read(value.data(), static_cast<std::int64_t>(value.size())),
              static_cast<std::int64_t>(value.size()));
  }
  return value;
}

// What qel check would report: the file's pages, then every table (record
// pages, indexes, BLOB values) as committed.
std::vector<std::string> CheckFile(TDiskTable& t) {
  std::vector<std::string> faults = CheckTableIndexes(*t.Table, t.Cursor->SessionID());
  t.Table->DiskRecordManager()->VerifyRecordCount(t.Cursor->SessionID());
  for (const TQELFileFault& fault : CheckDiskFile(t.Database().DiskPageManager()).Faults) {
    faults.push_back("page " + std::to_string(fault.PageNo) + ": " + fault.Message);
  }
  for (const TQELDiskTableSummary& table : CheckDiskTables(t.Database())) {
    for (const TQELTableFault& fault : table.Faults) faults.push_back(FormatTableFault(fault));
  }
  return faults;
}

// ---- The model test ----------------------------------------------------------

struct TBlobColumn {
  const char* Name;
  TQELAdvancedFieldType Type;
  std::uint8_t Algorithm;
  std::int32_t Every;  // a value on every n-th record, NULL on the others
};

constexpr TBlobColumn kBlobColumns[] = {
    {"B_NONE", aftBlob, cmNone, 3},
    {"M_ZLIB", aftMemo, cmZLIB, 1},
    {"B_BZIP", aftGraphic, cmBZIP, 7},
    {"M_PPM", aftWideMemo, cmPPM, 25},
};

// What the test expects of one record: the bytes of every non-BLOB field
// (with its null flag) and the value of every BLOB field.
struct TModelRow {
  std::vector<std::uint8_t> Record;
  std::vector<std::string> Blobs;
};

class TModelTable {
 public:
  TModelTable() {
    for (std::uint8_t type = aftChar; type <= aftGuid; ++type) {
      if (IsBlobAdvancedType(type)) continue;
      const bool sized = IsStringAdvancedType(type) || IsBytesAdvancedType(type);
      Fields.Add("F" + std::to_string(type), static_cast<TQELAdvancedFieldType>(type),
                 sized ? 24 : 0);
    }
    IdField = Fields.Count();
    Fields.Add("ID", aftInteger, 0);
    TermField = Fields.Count();
    Fields.Add("TERM", aftString, 40);
    for (const TBlobColumn& column : kBlobColumns) {
      TQELFieldDef& blob = Fields.Add(column.Name, column.Type, 0);
      blob.BlobCompressionAlgorithm = column.Algorithm;
      blob.BlobCompressionMode = 1;
      blob.BlobBlockSize = 4096;
    }
    TQELIndexDef& byID = Indexes.Add();
    byID.SetName("BY_ID");
    byID.AddColumn("ID");
    byID.Unique = true;
    TQELIndexDef& byTerm = Indexes.Add();
    byTerm.SetName("BY_TERM");
    byTerm.AddColumn("TERM", true, true);
  }

  // Fills the cursor's buffer with a new version of record `id` and its
  // BLOB values, and answers what the model should hold.
  TModelRow Fill(TDiskTable& t, std::int32_t id, std::uint32_t version) {
    std::mt19937 random(static_cast<std::uint32_t>(id) * 7919u + version);
    const TQELFieldDefs& defs = t.Defs();
    std::uint8_t* record = t.Buffer.data();
    std::fill(t.Buffer.begin(), t.Buffer.end(), 0);
    for (std::int32_t i = 0; i < defs.Count(); ++i) SetNull(true, i, record);
    for (std::int32_t i = 0; i < IdField; ++i) {
      if (random() % 10 == 0) continue;  // some NULLs
      FillSlot(defs[i], i, record, random);
    }
    SetFieldData(IdField, defs, &id, record);
    const std::string term = "term " + std::to_string(random() % 5000) + " v" +
                             std::to_string(version);
    SetText(defs, TermField, term, record);
    TModelRow row;
    row.Blobs.resize(std::size(kBlobColumns));
    for (std::size_t b = 0; b < std::size(kBlobColumns); ++b) {
      if ((id + static_cast<std::int32_t>(version)) % kBlobColumns[b].Every != 0) continue;
      row.Blobs[b] = BlobText(random, 20 + random() % 700);
      WriteBlob(t, TermField + 1 + static_cast<std::int32_t>(b), row.Blobs[b]);
    }
    row.Record = t.Buffer;
    return row;
  }

  // Compares the cursor's record with the model's.
  void Expect(TDiskTable& t, const TModelRow& row, std::int32_t id) {
    const TQELFieldDefs& defs = t.Defs();
    for (std::int32_t i = 0; i <= TermField; ++i) {
      const TQELFieldDef& def = defs[i];
      ASSERT_EQ(IsNull(i, t.Buffer.data()), IsNull(i, row.Record.data())) << def.Name() << " of " << id;
      if (IsNull(i, row.Record.data())) continue;
      ASSERT_EQ(0, std::memcmp(t.Buffer.data() + def.MemoryOffset(),
                               row.Record.data() + def.MemoryOffset(),
                               static_cast<std::size_t>(def.MemoryDataSize())))
          << def.Name() << " of " << id;
    }
    for (std::size_t b = 0; b < std::size(kBlobColumns); ++b) {
      const auto fieldNo = TermField + 1 + static_cast<std::int32_t>(b);
      ASSERT_EQ(IsNull(fieldNo, t.Buffer.data()), row.Blobs[b].empty()) << kBlobColumns[b].Name;
      if (!row.Blobs[b].empty()) {
        ASSERT_EQ(ReadBlob(t, fieldNo), row.Blobs[b]) << kBlobColumns[b].Name;
      }
    }
    t.Table->ReleaseRecordBuffer(t.Buffer.data());
  }

  TQELFieldDefs Fields;
  TQELIndexDefs Indexes;
  std::int32_t IdField = 0;
  std::int32_t TermField = 0;

 private:
  static void SetText(const TQELFieldDefs& defs, std::int32_t fieldNo, const std::string& text,
                      std::uint8_t* record) {
    std::vector<char> slot(static_cast<std::size_t>(defs[fieldNo].MemoryDataSize()) + 1, 0);
    std::memcpy(slot.data(), text.data(), std::min(text.size(), slot.size() - 2));
    SetFieldData(fieldNo, defs, slot.data(), record);
  }
  // Text for string slots, raw bytes for every other type: the file must
  // give back exactly what went in.
  static void FillSlot(const TQELFieldDef& def, std::int32_t fieldNo, std::uint8_t* record,
                       std::mt19937& random) {
    std::uint8_t* slot = record + def.MemoryOffset();
    const auto size = static_cast<std::size_t>(def.MemoryDataSize());
    if (IsStringLikeAdvancedType(def.AdvancedFieldType())) {
      const std::size_t unit = IsWideStringAdvancedType(def.AdvancedFieldType()) ? 2 : 1;
      const std::size_t length = random() % (size / unit);  // leaves the terminator
      for (std::size_t c = 0; c < length; ++c) slot[c * unit] = static_cast<std::uint8_t>('a' + random() % 26);
    } else {
      for (std::size_t c = 0; c < size; ++c) slot[c] = static_cast<std::uint8_t>(random());
    }
    SetNull(false, fieldNo, record);
  }
  static std::string BlobText(std::mt19937& random, std::size_t length) {
    static const char* const kWords[] = {"basis", "data", "indeks", "tabel", "kunci",
                                         "berkas", "halaman", "catatan"};
    std::string text;
    while (text.size() < length) {
      text += kWords[random() % std::size(kWords)];
      text += ' ';
    }
    text.resize(length);
    return text;
  }
};

// Moves the cursor to record `id` through the unique index.
void Seek(TDiskTable& t, const TModelTable& model, std::int32_t id) {
  std::vector<std::uint8_t> key(t.Buffer.size(), 0);
  SetFieldData(model.IdField, t.Defs(), &id, key.data());
  const std::int32_t active = t.Cursor->IndexID;
  t.Cursor->IndexID = t.Table->IndexManager()->IndexDefs().FindIndexByName("BY_ID")->ObjectID();
  t.Cursor->SearchKeyBuffer = key.data();
  t.Cursor->SearchKeyFieldCount = 1;
  ASSERT_TRUE(t.Table->SearchKey(*t.Cursor, sctEqual)) << id;
  t.Cursor->IndexID = active;
}

void RunModel(const std::string& password) {
  TModelTable model;
  TDiskTable t(password);
  t.CreateFile();
  t.CreateTable(model.Fields, model.Indexes);
  std::map<std::int32_t, TModelRow> rows;
  for (std::int32_t id = 0; id < kModelRecords; ++id) {
    rows[id] = model.Fill(t, id, 0);
    ASSERT_TRUE(t.Table->InsertRecord(*t.Cursor)) << id;
  }
  // Update every third record (BLOB sizes change), delete every fifth.
  for (std::int32_t id = 0; id < kModelRecords; id += 3) {
    Seek(t, model, id);
    t.Table->ReleaseRecordBuffer(t.Buffer.data());
    TModelRow row = model.Fill(t, id, 1);
    // The BLOB fields of a value now NULL must go too.
    for (std::size_t b = 0; b < std::size(kBlobColumns); ++b) {
      if (row.Blobs[b].empty()) WriteBlob(t, model.TermField + 1 + static_cast<std::int32_t>(b), "");
    }
    row.Record = t.Buffer;
    ASSERT_TRUE(t.Table->UpdateRecord(*t.Cursor)) << id;
    rows[id] = row;
  }
  for (std::int32_t id = 0; id < kModelRecords; id += 5) {
    Seek(t, model, id);
    ASSERT_TRUE(t.Table->DeleteRecord(*t.Cursor)) << id;
    rows.erase(id);
  }
  std::vector<std::string> faults = CheckFile(t);
  ASSERT_TRUE(faults.empty()) << faults.front();

  t.Reopen();
  EXPECT_EQ(t.Table->InternalGetRecordCount(*t.Cursor), static_cast<std::int64_t>(rows.size()));
  std::int64_t seen = 0;
  t.Cursor->BeforeFirst = true;
  while (t.Table->GetRecord(*t.Cursor, grmNext) == grOK) {
    std::int32_t id = 0;
    ASSERT_TRUE(GetFieldData(model.IdField, t.Defs(), &id, t.Buffer.data()));
    auto row = rows.find(id);
    ASSERT_NE(row, rows.end()) << "record " << id << " should be gone";
    model.Expect(t, row->second, id);
    ++seen;
  }
  EXPECT_EQ(seen, static_cast<std::int64_t>(rows.size()));
  faults = CheckFile(t);
  EXPECT_TRUE(faults.empty()) << faults.front();
}

TEST(DiskTableTest, EveryFieldTypeAndBlobAlgorithmSurvivesChangesAndReopening) {
  RunModel("");
}

TEST(DiskTableTest, EncryptedFileHoldsTheSameTable) { RunModel("geheim"); }

// ---- Geometry, repair and DDL -------------------------------------------------

TQELFieldDefs BytesFields(std::int32_t diskRecordSize) {
  // One BYTES field: null flags (1 byte) plus the bytes.
  TQELFieldDefs fields;
  fields.Add("DATA", aftBytes, diskRecordSize - 1);
  return fields;
}

TEST(DiskTableTest, RecordSizesDecideThePageGeometry) {
  TDiskTable t;
  t.CreateFile();
  t.CreateTable(BytesFields(100), {});
  EXPECT_EQ(t.Table->GetDiskRecordSize(), 100);
  EXPECT_EQ(t.Table->DiskRecordManager()->RecordsPerPage(), 40);
  EXPECT_EQ(t.Table->GetRecordNumberLimit(t.Cursor->SessionID()), 1);

  TQELTableCursor big("BIG");
  auto* table = static_cast<TQELDiskTableData*>(t.Database().GetTableData(&big));
  EXPECT_EQ(NativeErrorOf([&] { table->CreateTable(big, BytesFields(4056), {}, {}); }), 20174);
  EXPECT_FALSE(t.Database().TableExists("BIG"));  // nothing of it stays
}

TEST(DiskTableTest, RepairRebuildsTheRecordPagesIndex) {
  TQELFieldDefs fields;
  fields.Add("ID", aftInteger, 0);
  TDiskTable t;
  t.CreateFile();
  t.CreateTable(fields, {});
  for (std::int32_t id = 0; id < 500; ++id) {
    SetFieldData(0, t.Defs(), &id, t.Buffer.data());
    ASSERT_TRUE(t.Table->InsertRecord(*t.Cursor));
  }
  // Lose the index of record pages: the table looks empty.
  TQELDiskRecordManager& records = *t.Table->DiskRecordManager();
  records.PagesIndex().Empty(t.Cursor->SessionID());
  t.Table->ApplyChanges(t.Cursor->SessionID(), false);
  EXPECT_NE(NativeErrorOf([&] { records.VerifyRecordCount(t.Cursor->SessionID()); }), 0);

  t.Reopen(true);
  EXPECT_EQ(t.Table->InternalGetRecordCount(*t.Cursor), 500);
  std::int64_t sum = 0;
  t.Cursor->BeforeFirst = true;
  while (t.Table->GetRecord(*t.Cursor, grmNext) == grOK) {
    std::int32_t id = 0;
    GetFieldData(0, t.Defs(), &id, t.Buffer.data());
    sum += id;
  }
  EXPECT_EQ(sum, 499 * 500 / 2);
  t.Reopen();  // and the repair was stored
  EXPECT_EQ(t.Table->InternalGetRecordCount(*t.Cursor), 500);
}

TEST(DiskTableTest, TablesAreEmptiedRenamedAndDropped) {
  TQELFieldDefs fields;
  fields.Add("ID", aftInteger, 0);
  fields.Add("NOTE", aftMemo, 0).BlobCompressionAlgorithm = cmZLIB;
  TQELIndexDefs indexes;
  TQELIndexDef& byID = indexes.Add();
  byID.SetName("BY_ID");
  byID.AddColumn("ID");
  TDiskTable t;
  t.CreateFile();
  const std::int32_t emptyPages = t.Database().DiskPageManager().GetHeader().TotalPageCount;
  t.CreateTable(fields, indexes);
  for (std::int32_t id = 0; id < 300; ++id) {
    SetFieldData(0, t.Defs(), &id, t.Buffer.data());
    WriteBlob(t, 1, std::string(static_cast<std::size_t>(id * 13 % 5000), 'x'));
    ASSERT_TRUE(t.Table->InsertRecord(*t.Cursor));
  }
  // Another cursor has the table open: no rename, no delete.
  TQELTableCursor other("T");
  EXPECT_EQ(NativeErrorOf([&] { t.Table->RenameTable("U", other); }), 10150);
  EXPECT_EQ(NativeErrorOf([&] { t.Table->DeleteTable(other, false); }), 20017);
  t.Table->RemoveCursor(t.Cursor.get());

  t.Table->EmptyTable(*t.Cursor);
  t.Table->AddCursor(t.Cursor.get());
  EXPECT_EQ(t.Table->InternalGetRecordCount(*t.Cursor), 0);
  std::vector<std::string> faults = CheckFile(t);
  EXPECT_TRUE(faults.empty()) << faults.front();
  t.Table->RemoveCursor(t.Cursor.get());

  t.Table->RenameTable("U", *t.Cursor);
  EXPECT_TRUE(t.Database().TableExists("U"));
  EXPECT_FALSE(t.Database().TableExists("T"));
  t.Cursor->SetTableName("U");
  t.Table->DeleteTable(*t.Cursor, false);
  EXPECT_FALSE(t.Database().TableExists("U"));
  t.Table = nullptr;
  // Every page of the table went back.
  const TQELDiskFileSummary summary = CheckDiskFile(t.Database().DiskPageManager());
  EXPECT_TRUE(summary.Faults.empty());
  EXPECT_LE(summary.UsedPageCount, emptyPages);
}

TEST(DiskTableTest, BlobsOfAwkwardSizesReadBackAfterUpdates) {
  TQELFieldDefs fields;
  fields.Add("ID", aftInteger, 0);
  fields.Add("DATA", aftBlob, 0).BlobCompressionAlgorithm = cmNone;
  TDiskTable t;
  t.CreateFile();
  t.CreateTable(fields, {});
  const std::int32_t page = 4096 - 40;
  const std::vector<std::size_t> sizes = {0, 1, static_cast<std::size_t>(page - 100),
                                          static_cast<std::size_t>(page + 100), 5u << 20};
  std::mt19937 random(5);
  auto value = [&](std::size_t size) {
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
  };
  std::vector<std::string> stored;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const auto id = static_cast<std::int32_t>(i);
    SetFieldData(0, t.Defs(), &id, t.Buffer.data());
    stored.push_back(value(sizes[i]));
    WriteBlob(t, 1, stored.back());
    ASSERT_TRUE(t.Table->InsertRecord(*t.Cursor));
  }
  // Each value takes the next one's size.
  t.Cursor->BeforeFirst = true;
  for (std::size_t i = 0; t.Table->GetRecord(*t.Cursor, grmNext) == grOK; ++i) {
    ASSERT_EQ(ReadBlob(t, 1), stored[i]);
    t.Table->ReleaseRecordBuffer(t.Buffer.data());
    stored[i] = value(sizes[(i + 1) % sizes.size()]);
    WriteBlob(t, 1, stored[i]);
    ASSERT_TRUE(t.Table->UpdateRecord(*t.Cursor));
  }
  t.Reopen();
  t.Cursor->BeforeFirst = true;
  for (std::size_t i = 0; t.Table->GetRecord(*t.Cursor, grmNext) == grOK; ++i) {
    ASSERT_EQ(ReadBlob(t, 1), stored[i]) << "record " << i;
    t.Table->ReleaseRecordBuffer(t.Buffer.data());
  }
  const std::vector<std::string> faults = CheckFile(t);
  EXPECT_TRUE(faults.empty()) << faults.front();
}

}  // namespace
}  // namespace qel
