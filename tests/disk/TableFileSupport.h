#pragma once
// A small database file with a table T (an integer key, a name, an
// uncompressed BLOB and a ZLIB memo, a unique and a descending
// case-insensitive index) and an empty table U, and a table of such a file
// opened for writing, for tests that check or damage tables.

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskTableData.h"
#include "platform/QELException.h"
#include "storage/QELRecordData.h"
#include "streams/QELCompression.h"

namespace qel::test {

inline constexpr std::int32_t kIdField = 0;
inline constexpr std::int32_t kNameField = 1;
inline constexpr std::int32_t kBlobField = 2;  // B_NONE
inline constexpr std::int32_t kMemoField = 3;  // M_ZLIB
// Pages of 1024 bytes: values above about 950 stored bytes get pages of
// their own, and a memo value longer than the block size has several blocks.
inline constexpr std::uint16_t kTablePageSize = 1024;
inline constexpr std::int32_t kMemoBlockSize = 256;

inline TQELFieldDefs TableFields() {
  TQELFieldDefs fields;
  fields.Add("ID", aftInteger, 0);
  fields.Add("NAME", aftString, 30);
  fields.Add("B_NONE", aftBlob, 0).BlobCompressionAlgorithm = cmNone;
  TQELFieldDef& memo = fields.Add("M_ZLIB", aftMemo, 0);
  memo.BlobCompressionAlgorithm = cmZLIB;
  memo.BlobCompressionMode = 6;
  memo.BlobBlockSize = kMemoBlockSize;
  return fields;
}

inline TQELIndexDefs TableIndexes() {
  TQELIndexDefs indexes;
  TQELIndexDef& byID = indexes.Add();
  byID.SetName("BY_ID");
  byID.AddColumn("ID");
  byID.Unique = true;
  TQELIndexDef& byName = indexes.Add();
  byName.SetName("BY_NAME");
  byName.AddColumn("NAME", true, true);
  return indexes;
}

// The values of record `id`: every fifth B_NONE value takes pages of its
// own, every seventh memo is NULL, and memos run to several blocks.
inline std::string BlobValue(std::int32_t id) {
  return std::string(static_cast<std::size_t>(id % 5 == 0 ? 3000 : 40 + id), static_cast<char>('a' + id % 26));
}
inline std::string MemoValue(std::int32_t id) {
  if (id % 7 == 3) return {};
  static const char* const kWords[] = {"basis ", "data ", "indeks ", "tabel ", "kunci ", "berkas "};
  std::string text;
  const std::size_t length = id == 1 ? 60 : 50 + static_cast<std::size_t>(id) * 97 % 3000;
  for (std::size_t i = 0; text.size() < length; ++i) text += kWords[(i * 7 + static_cast<std::size_t>(id)) % 6];
  text.resize(length);
  return text;
}

// A table of a file, open with one cursor whose buffer is Buffer.
class TOpenTable {
 public:
  TOpenTable(const std::string& path, const std::string& password, const std::string& table = "T")
      : Database(path), Cursor(table) {
    Database.Open({password, caRijndael_128});
    Attach(static_cast<TQELDiskTableData*>(Database.GetTableData(&Cursor)));
  }
  // Creates the file with tables T (`records` records) and U.
  TOpenTable(const std::string& path, const std::string& password, std::int32_t records)
      : Database(path), Cursor("U") {
    Database.CreateDatabaseFile({password, caRijndael_128}, kTablePageSize, 8, 10);
    static_cast<TQELDiskTableData*>(Database.GetTableData(&Cursor))
        ->CreateTable(Cursor, TableFields(), {}, TableIndexes());
    Cursor.SetTableName("T");
    auto* table = static_cast<TQELDiskTableData*>(Database.GetTableData(&Cursor));
    table->CreateTable(Cursor, TableFields(), {}, TableIndexes());
    Attach(table);
    for (std::int32_t id = 0; id < records; ++id) Insert(id);
  }
  ~TOpenTable() {
    try {
      Table->RemoveCursor(&Cursor);
    } catch (const EQELException&) {
    }
  }

  std::int32_t Session() const { return Cursor.SessionID(); }
  const TQELFieldDefs& Defs() const { return Table->FieldDefs(); }
  TQELDiskRecordManager& Records() const { return *Table->DiskRecordManager(); }
  void Commit() { Table->ApplyChanges(Session(), false); }

  void Insert(std::int32_t id) {
    std::fill(Buffer.begin(), Buffer.end(), 0);
    for (std::int32_t i = 0; i < Defs().Count(); ++i) SetNull(true, i, Buffer.data());
    SetFieldData(kIdField, Defs(), &id, Buffer.data());
    std::vector<char> name(static_cast<std::size_t>(Defs()[kNameField].MemoryDataSize()) + 1, 0);
    const std::string text = "Name " + std::to_string(id * 37 % 101);
    std::memcpy(name.data(), text.data(), text.size());
    SetFieldData(kNameField, Defs(), name.data(), Buffer.data());
    WriteBlob(kBlobField, BlobValue(id));
    WriteBlob(kMemoField, MemoValue(id));
    if (!Table->InsertRecord(Cursor)) throw EQELException(1, "insert failed");
  }

  // Reads the record with `id` into Buffer; answers its record id and sets
  // RecNo to its 1-based position in natural order.
  TQELRecordID Find(std::int32_t id) {
    TQELRecordRequest request;
    request.Mode = grmNext;
    request.BeforeFirst = true;
    request.Buffer = Buffer.data();
    for (RecNo = 1;; ++RecNo) {
      Records().GetRecord(Session(), request);
      if (request.Result != grOK) throw EQELException(1, "no record %d", {id});
      request.BeforeFirst = false;
      std::int32_t found = -1;
      GetFieldData(kIdField, Defs(), &found, Buffer.data());
      if (found == id) return request.RecordID;
    }
  }

  TQELDiskDatabaseData Database;
  TQELTableCursor Cursor;
  TQELDiskTableData* Table = nullptr;
  std::vector<std::uint8_t> Buffer;
  std::int64_t RecNo = 0;

 private:
  void Attach(TQELDiskTableData* table) {
    table->AddCursor(&Cursor);
    table->InitCursor(Cursor);
    Table = table;
    Buffer.assign(static_cast<std::size_t>(Cursor.RecordSize), 0);
    Cursor.RecordBuffer = Buffer.data();
  }
  void WriteBlob(std::int32_t fieldNo, const std::string& value) {
    std::unique_ptr<TQELBlobValueStream> stream = Table->OpenBlob(Cursor, true, false, fieldNo);
    if (!value.empty()) stream->Write(value.data(), static_cast<std::int64_t>(value.size()));
    stream->SetSize(static_cast<std::int64_t>(value.size()));
    Table->PostBlob(Cursor, fieldNo, *stream);
  }
};

}  // namespace qel::test
