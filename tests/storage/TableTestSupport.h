#pragma once
// A small storage kind for testing the table-data layer on its own: records
// kept in a map by insertion number (their id and record number), indexes
// in pages in memory, and a fixture that creates a table through it and
// gives a cursor with its record buffer. The record manager counts the
// records it reads, so that a test can tell how much a search touched.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/QELEndian.h"
#include "platform/QELException.h"
#include "storage/QELConstraintManager.h"
#include "storage/QELDatabaseData.h"
#include "storage/QELRecordData.h"
#include "storage/QELTableData.h"
#include "support/MemoryPageManager.h"

namespace qel::test {

inline std::int64_t TestRecordNumber(const TQELRecordID& id) {
  std::uint64_t number = 0;
  for (std::int32_t i = kQELRecordIDSize - 1; i >= 0; --i) number = (number << 8) | id[i];
  return static_cast<std::int64_t>(number);
}

inline TQELRecordID TestRecordID(std::int64_t number) {
  TQELRecordID id{};
  for (std::int32_t i = 0; i < kQELRecordIDSize; ++i) {
    id[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(number >> (8 * i));
  }
  return id;
}

class TTestRecordManager final : public TQELBaseRecordManager {
 public:
  explicit TTestRecordManager(std::int32_t recordBufferSize)
      : TQELBaseRecordManager(recordBufferSize) {}

  void EmptyRecords(std::int32_t) override {
    FRecords.clear();
    FRecordCount = 0;
    NoteChange();
  }
  bool InsertRecord(std::int32_t, const std::uint8_t* record, TQELRecordID& recordID) override {
    const std::int64_t number = FNextNumber++;
    FRecords[number].assign(record, record + FRecordBufferSize);
    recordID = TestRecordID(number);
    FRecordCount = static_cast<std::int64_t>(FRecords.size());
    NoteChange();
    return true;
  }
  bool UpdateRecord(std::int32_t, const std::uint8_t* record,
                    const TQELRecordID& recordID) override {
    auto it = FRecords.find(TestRecordNumber(recordID));
    if (it == FRecords.end()) return false;
    it->second.assign(record, record + FRecordBufferSize);
    NoteChange();
    return true;
  }
  bool DeleteRecord(std::int32_t, TQELRecordID& recordID) override {
    if (FRecords.erase(TestRecordNumber(recordID)) == 0) return false;
    FRecordCount = static_cast<std::int64_t>(FRecords.size());
    NoteChange();
    return true;
  }
  void GetRecord(std::int32_t, TQELRecordRequest& request) override {
    ++Reads;
    auto it = FRecords.end();
    const std::int64_t number = TestRecordNumber(request.RecordID);
    switch (request.Mode) {
      case grmCurrent:
        it = FRecords.find(number);
        break;
      case grmNext:
        if (!request.AfterLast) {
          it = request.BeforeFirst ? FRecords.begin() : FRecords.upper_bound(number);
        }
        break;
      case grmPrior:
        if (!request.BeforeFirst) {
          auto bound = request.AfterLast ? FRecords.end() : FRecords.lower_bound(number);
          if (bound != FRecords.begin()) it = std::prev(bound);
        }
        break;
    }
    if (it == FRecords.end()) {
      request.Result = request.Mode == grmCurrent ? grError
                       : request.Mode == grmNext  ? grEOF
                                                  : grBOF;
      if (request.Mode == grmNext) request.AfterLast = true;
      if (request.Mode == grmPrior) request.BeforeFirst = true;
      return;
    }
    request.RecordID = TestRecordID(it->first);
    if (request.Buffer != nullptr) {
      std::memcpy(request.Buffer, it->second.data(), it->second.size());
    }
    request.BeforeFirst = false;
    request.AfterLast = false;
    request.Result = grOK;
  }
  std::int32_t CompareRecordIDs(const TQELRecordID& a, const TQELRecordID& b) override {
    const std::int64_t x = TestRecordNumber(a);
    const std::int64_t y = TestRecordNumber(b);
    return x < y ? -1 : x > y ? 1 : 0;
  }
  std::int64_t GetRecordsBefore(std::int32_t, const TQELRecordID& recordID) override {
    return static_cast<std::int64_t>(
        std::distance(FRecords.begin(), FRecords.lower_bound(TestRecordNumber(recordID))));
  }

  std::int64_t NextNumber() const { return FNextNumber; }
  // Position (1-based) of a record in natural order, and the reverse.
  std::int64_t PositionOf(const TQELRecordID& recordID) const {
    auto it = FRecords.find(TestRecordNumber(recordID));
    if (it == FRecords.end()) return -1;
    return static_cast<std::int64_t>(std::distance(FRecords.begin(), it)) + 1;
  }
  TQELRecordID AtPosition(std::int64_t position) const {
    return TestRecordID(std::next(FRecords.begin(), static_cast<std::ptrdiff_t>(position - 1))->first);
  }

  std::int64_t Reads = 0;

 private:
  std::map<std::int64_t, std::vector<std::uint8_t>> FRecords;
  std::int64_t FNextNumber = 0;
};

class TTestTableData final : public TQELTableData {
 public:
  TTestTableData(TQELDatabaseData& database, TQELPageManager& pages, std::string name)
      : TQELTableData(database, pages, std::move(name)) {}

  TTestRecordManager& Records() const { return static_cast<TTestRecordManager&>(*RecordManager()); }

  void CreateRecordManager() override {
    SetRecordManager(std::make_unique<TTestRecordManager>(FieldDefs().MemoryRecordSize()));
  }
  void CreateTable(TQELTableCursor& cursor, const TQELFieldDefs& fieldDefs,
                   const TQELConstraintDefs& constraintDefs,
                   const TQELIndexDefs& indexDefs) override {
    InitializeNewTable(cursor, fieldDefs, constraintDefs, indexDefs);
  }
  void EmptyTable(TQELTableCursor& cursor) override {
    TQELTableData::EmptyTable(cursor);
    Records().EmptyRecords(cursor.SessionID());
  }
  std::int64_t GetRecordNumberLimit(std::int32_t) override { return Records().NextNumber(); }
  std::int64_t RecordIDToRecordNumber(const TQELRecordID& recordID) override {
    return TestRecordNumber(recordID);
  }
  void RecordNumberToRecordID(TQELRecordID& recordID, std::int64_t number) override {
    recordID = TestRecordID(number);
  }
  // This kind keeps no BLOBs.
  void PostBlob(TQELTableCursor&, std::int32_t, TQELBlobValueStream&) override { NoBlobs(); }
  std::unique_ptr<TQELBlobValueStream> OpenBlob(TQELTableCursor&, bool, bool,
                                                std::int32_t) override {
    NoBlobs();
    return nullptr;
  }
  void ReadBlobData(std::int32_t, std::int32_t, std::vector<std::uint8_t>&, TQELBlobDescriptor&,
                    std::uint8_t*) override {
    NoBlobs();
  }
  void WriteBlobData(TQELTableCursor&, std::int32_t, const std::vector<std::uint8_t>&,
                     const TQELBlobDescriptor&, std::uint8_t*) override {
    NoBlobs();
  }
  void FreeBlobData(std::vector<std::uint8_t>& data) override { data.clear(); }
  bool InsertRecord(TQELTableCursor& cursor) override { return InsertCursorRecord(cursor); }
  bool DeleteRecord(TQELTableCursor& cursor) override { return DeleteCursorRecord(cursor); }
  bool UpdateRecord(TQELTableCursor& cursor) override { return UpdateCursorRecord(cursor); }
  void InternalSetRecNo(TQELTableCursor& cursor, std::int64_t recNo) override {
    cursor.Position = Records().AtPosition(recNo);
  }
  std::int64_t InternalGetRecNo(TQELTableCursor& cursor) override {
    return Records().PositionOf(cursor.Position);
  }
  std::int64_t InternalGetRecordCount(TQELTableCursor&) override {
    return Records().RecordCount();
  }

 private:
  [[noreturn]] static void NoBlobs() { throw EQELException(30058, "Not implemented yet"); }
};

class TTestDatabase final : public TQELDatabaseData {
 public:
  explicit TTestDatabase(std::uint16_t pageSize = 4096)
      : TQELDatabaseData("MEMORY"), Pages(pageSize) {}
  TQELTableDataBase* CreateTableData(TQELStorageCursor* cursor) override {
    return AddTableData(std::make_unique<TTestTableData>(*this, Pages, cursor->TableName()));
  }
  std::int32_t GetNextObjectID() override { return ++FLastID; }

  TMemoryPageManager Pages;

 private:
  std::int32_t FLastID = 0;
};

// A table created through the test storage kind, with one cursor on it.
class TTableFixture {
 public:
  explicit TTableFixture(std::string name = "T") : Cursor(std::move(name)) {}

  // Creates the table; add fields, indexes and constraints first.
  void Create() {
    Table = static_cast<TTestTableData*>(Database.GetTableData(&Cursor));
    Table->CreateTable(Cursor, Fields, Constraints, Indexes);
    Table->AddCursor(&Cursor);
    Buffer.assign(static_cast<std::size_t>(Cursor.RecordSize), 0);
    Cursor.RecordBuffer = Buffer.data();
  }
  const TQELFieldDefs& Defs() const { return Table->FieldDefs(); }
  std::int32_t IndexID(const std::string& name) const {
    return Table->IndexManager()->IndexDefs().FindIndexByName(name)->ObjectID();
  }

  // Fills the cursor's buffer: every field NULL, then the given values.
  void Clear() {
    std::memset(Buffer.data(), 0, Buffer.size());
    for (std::int32_t i = 0; i < Defs().Count(); ++i) SetFieldData(i, Defs(), nullptr, Buffer.data());
  }
  void SetInt(std::int32_t fieldNo, std::int32_t value) {
    SetFieldData(fieldNo, Defs(), &value, Buffer.data());
  }
  // The component layer hands over a whole slot, zero-filled after the text.
  void SetText(std::int32_t fieldNo, const std::string& text) {
    std::vector<char> slot(static_cast<std::size_t>(Defs()[fieldNo].MemoryDataSize()) + 1, 0);
    std::memcpy(slot.data(), text.data(), std::min(text.size(), slot.size() - 1));
    SetFieldData(fieldNo, Defs(), slot.data(), Buffer.data());
  }
  std::int32_t Int(std::int32_t fieldNo) const {
    std::int32_t value = 0;
    return GetFieldData(fieldNo, Defs(), &value, Buffer.data()) ? value : INT32_MIN;
  }
  bool IsNull(std::int32_t fieldNo) const {
    return !GetFieldData(fieldNo, Defs(), nullptr, Buffer.data());
  }
  // A record of integers (NULL where `nulls` says so) inserted through the
  // cursor, with the constraints checked as the cursor layer does.
  bool InsertInts(const std::vector<std::int32_t>& values) {
    Clear();
    for (std::size_t i = 0; i < values.size(); ++i) SetInt(static_cast<std::int32_t>(i), values[i]);
    return InsertChecked();
  }
  bool InsertChecked() {
    Table->ConstraintManager()->CheckConstraints(Cursor.SessionID(), Buffer.data(), true,
                                                 Cursor.Position, false, nullptr);
    return Table->InsertRecord(Cursor);
  }
  // A key buffer in record layout holding integers in the given fields.
  std::vector<std::uint8_t> IntKey(const std::vector<std::pair<std::int32_t, std::int32_t>>& values) {
    std::vector<std::uint8_t> key(static_cast<std::size_t>(Cursor.RecordSize), 0);
    for (std::int32_t i = 0; i < Defs().Count(); ++i) SetFieldData(i, Defs(), nullptr, key.data());
    for (const auto& [fieldNo, value] : values) SetFieldData(fieldNo, Defs(), &value, key.data());
    return key;
  }

  TTestDatabase Database;
  TQELTableCursor Cursor;
  TQELFieldDefs Fields;
  TQELIndexDefs Indexes;
  TQELConstraintDefs Constraints;
  TTestTableData* Table = nullptr;
  std::vector<std::uint8_t> Buffer;
};

}  // namespace qel::test
