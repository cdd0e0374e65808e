// TQELMemoryTableData in the memory database: random work against a model
// of the table, BLOB blocks given back to the engine memory manager, edits
// whose BLOBs are cancelled or whose change fails, changes that fail after
// the record was stored, memory tables outside transactions, and the
// errors of bad input.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "memory/QELMemory.h"
#include "storage/QELConstraintManager.h"
#include "storage/QELMemEngine.h"
#include "storage/QELRecordData.h"
#include "storage/QELTableCheck.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

using test::NativeErrorOf;

constexpr std::int32_t kID = 0;
constexpr std::int32_t kName = 1;
constexpr std::int32_t kNote = 2;

// A memory table ID integer (unique index), NAME string(20) (index), NOTE
// BLOB, with one cursor on it.
class TMemoryTable {
 public:
  explicit TMemoryTable(bool withIndexes = true, std::int32_t blobBlockSize = 512)
      : Cursor("Items") {
    Fields.Add("ID", aftInteger, 0);
    Fields.Add("NAME", aftString, 20);
    Fields.Add("NOTE", aftBlob, 0).BlobBlockSize = blobBlockSize;
    Table = static_cast<TQELMemoryTableData*>(Database.GetTableData(&Cursor));
    TQELIndexDefs none;
    Table->CreateTable(Cursor, Fields, TQELConstraintDefs{}, none);
    Table->AddCursor(&Cursor);
    if (withIndexes) {
      AddIndex("BY_ID", "ID", true);
      AddIndex("BY_NAME", "NAME", false);
    }
    Buffer.assign(static_cast<std::size_t>(Cursor.RecordSize), 0);
    Cursor.RecordBuffer = Buffer.data();
  }

  void AddIndex(const std::string& name, const std::string& field, bool unique) {
    TQELIndexDef def;
    def.SetName(name);
    def.AddColumn(field, false);
    def.Unique = unique;
    Table->CreateIndex(def, Cursor);
  }
  const TQELFieldDefs& Defs() const { return Table->FieldDefs(); }
  // The next change fails after the record manager stored the record: the
  // filter callback of the cursor's bitmap raises while the change is noted
  // in it.
  void FailAfterStoring() {
    Cursor.FilterCallback = [](const std::uint8_t*, const TQELRecordID&) -> bool {
      throw std::runtime_error("callback failed");
    };
    Cursor.RecordBitmap = std::make_unique<TQELRecordBitmap>(Table);
    Cursor.RecordBitmap->SetActive(true);
    Cursor.RecordBitmap->SetStamp(Table->RecordManager()->ChangeCount());
  }

  void Fill(std::int32_t id, const std::string& name) {
    std::memset(Buffer.data(), 0, Buffer.size());
    for (std::int32_t i = 0; i < Defs().Count(); ++i) {
      SetFieldData(i, Defs(), nullptr, Buffer.data());
    }
    SetFieldData(kID, Defs(), &id, Buffer.data());
    SetName(name);
  }
  void SetID(std::int32_t id) { SetFieldData(kID, Defs(), &id, Buffer.data()); }
  void SetName(const std::string& name) {
    std::vector<char> slot(static_cast<std::size_t>(Defs()[kName].MemoryDataSize()) + 1, 0);
    std::memcpy(slot.data(), name.data(), std::min(name.size(), slot.size() - 1));
    SetFieldData(kName, Defs(), slot.data(), Buffer.data());
  }
  std::int32_t ID() const {
    std::int32_t value = 0;
    return GetFieldData(kID, Defs(), &value, Buffer.data()) ? value : INT32_MIN;
  }
  std::string Name() const {
    std::vector<char> slot(static_cast<std::size_t>(Defs()[kName].MemoryDataSize()) + 1, 0);
    if (!GetFieldData(kName, Defs(), slot.data(), Buffer.data())) return {};
    return slot.data();
  }
  // Posts `value` as the NOTE of the buffer (empty: NULL).
  void PostNote(const std::string& value) {
    std::unique_ptr<TQELBlobValueStream> stream = Table->OpenBlob(Cursor, true, false, kNote);
    if (!value.empty()) stream->Write(value.data(), static_cast<std::int64_t>(value.size()));
    stream->SetSize(static_cast<std::int64_t>(value.size()));
    Table->PostBlob(Cursor, kNote, *stream);
  }
  std::string Note() {
    if (IsNull(kNote, Buffer.data())) return {};
    std::unique_ptr<TQELBlobValueStream> stream = Table->OpenBlob(Cursor, false, true, kNote);
    std::string value(static_cast<std::size_t>(stream->GetSize()), '\0');
    stream->SetPosition(0);
    if (!value.empty() &&
        stream->Read(value.data(), static_cast<std::int64_t>(value.size())) !=
            static_cast<std::int64_t>(value.size())) {
      throw std::runtime_error("short BLOB read");
    }
    return value;
  }
  // As the cursor layer inserts and updates: constraints first.
  bool Insert() {
    Table->ConstraintManager()->CheckConstraints(Cursor.SessionID(), Buffer.data(), true,
                                                 Cursor.Position, false, nullptr);
    return Table->InsertRecord(Cursor);
  }
  bool Update() {
    std::vector<std::uint8_t> old(Buffer.size());
    TQELRecordRequest request;
    request.RecordID = Cursor.Position;
    request.Buffer = old.data();
    Table->RecordManager()->GetRecord(Cursor.SessionID(), request);
    Table->ConstraintManager()->CheckConstraints(Cursor.SessionID(), Buffer.data(), true,
                                                 Cursor.Position, true, old.data());
    return Table->UpdateRecord(Cursor);
  }
  // Reads the record in `slot` into the buffer.
  bool Goto(std::int32_t slot) {
    Cursor.Position = TQELMemoryRecordManager::IDOfSlot(slot);
    Cursor.BeforeFirst = false;
    Cursor.AfterLast = false;
    return Table->GetRecord(Cursor, grmCurrent) == grOK;
  }
  std::int32_t Slot() const { return TQELMemoryRecordManager::SlotOf(Cursor.Position); }
  // (slot, id) of every record in natural order.
  std::vector<std::pair<std::int32_t, std::int32_t>> Scan() {
    std::vector<std::pair<std::int32_t, std::int32_t>> rows;
    Cursor.BeforeFirst = true;
    Cursor.AfterLast = false;
    while (Table->GetRecord(Cursor, grmNext) == grOK) rows.emplace_back(Slot(), ID());
    return rows;
  }
  void ExpectIndexesAgree() {
    const std::vector<std::string> faults = CheckTableIndexes(*Table, Cursor.SessionID());
    EXPECT_TRUE(faults.empty()) << faults.front();
  }

  TQELMemoryDatabaseData Database;
  TQELTableCursor Cursor;
  TQELFieldDefs Fields;
  TQELMemoryTableData* Table = nullptr;
  std::vector<std::uint8_t> Buffer;
};

struct TModelRow {
  std::int32_t ID;
  std::string Name;
  std::string Note;
};

// 20 000 operations, each checked against a model of slot -> row; the
// whole table (count, natural order both ways, every index) is compared
// every 500 operations, and the memory it took is given back at the end.
TEST(MemoryTableDataTest, RandomOperationsAgreeWithAModel) {
  const std::int64_t before = QELMemoryManager().AllocatedBytes();
  {
    TMemoryTable t;
    std::map<std::int32_t, TModelRow> model;
    std::mt19937 random(20);
    std::int32_t nextID = 1;
    std::int32_t expectedSlot = 0;
    const auto randomName = [&] { return "n" + std::to_string(random() % 50); };
    const auto randomNote = [&]() -> std::string {
      switch (random() % 4) {
        case 0: return {};
        case 1: return std::string(1 + random() % 40, static_cast<char>('a' + random() % 26));
        default: return std::string(600 + random() % 3000, static_cast<char>('A' + random() % 26));
      }
    };
    const auto randomSlot = [&] {
      auto it = model.begin();
      std::advance(it, static_cast<std::ptrdiff_t>(random() % model.size()));
      return it->first;
    };
    const auto checkRow = [&](std::int32_t slot) {
      const TModelRow& row = model.at(slot);
      ASSERT_EQ(t.ID(), row.ID);
      ASSERT_EQ(t.Name(), row.Name);
      ASSERT_EQ(t.Note(), row.Note);
    };
    for (std::int32_t op = 0; op < 20000; ++op) {
      const std::uint32_t kind = model.empty() ? 0 : random() % 10;
      if (kind <= 2) {  // insert
        TModelRow row{nextID++, randomName(), randomNote()};
        t.Fill(row.ID, row.Name);
        if (!row.Note.empty()) t.PostNote(row.Note);
        ASSERT_TRUE(t.Insert());
        ASSERT_EQ(t.Slot(), expectedSlot);
        model[t.Slot()] = row;
        expectedSlot = t.Slot() + 1;
      } else if (kind <= 4) {  // update, the note posted or cleared
        const std::int32_t slot = randomSlot();
        ASSERT_TRUE(t.Goto(slot));
        TModelRow row = model[slot];
        row.Name = randomName();
        if (random() % 2 == 0) row.ID = nextID++;
        t.SetID(row.ID);
        t.SetName(row.Name);
        if (random() % 2 == 0) {
          row.Note = randomNote();
          t.PostNote(row.Note);
        }
        ASSERT_TRUE(t.Update());
        model[slot] = row;
      } else if (kind <= 6) {  // delete
        const std::int32_t slot = randomSlot();
        ASSERT_TRUE(t.Goto(slot));
        ASSERT_TRUE(t.Table->DeleteRecord(t.Cursor));
        auto it = model.erase(model.find(slot));
        if (model.empty()) {
          ASSERT_TRUE(t.Cursor.BeforeFirst);
          expectedSlot = 0;
        } else {
          // The cursor stands on the next record, else the previous one.
          const std::int32_t landing = it != model.end() ? it->first : model.rbegin()->first;
          ASSERT_EQ(t.Slot(), landing);
          expectedSlot = model.rbegin()->first + 1;
        }
      } else if (kind == 7) {  // record numbers both ways
        const auto recNo = static_cast<std::int64_t>(1 + random() % model.size());
        t.Table->SetRecNo(t.Cursor, recNo);
        auto it = model.begin();
        std::advance(it, static_cast<std::ptrdiff_t>(recNo - 1));
        ASSERT_EQ(t.Slot(), it->first);
        ASSERT_EQ(t.Table->GetRecNo(t.Cursor), recNo);
        checkRow(it->first);
      } else {  // next or prior from a record
        const std::int32_t slot = randomSlot();
        ASSERT_TRUE(t.Goto(slot));
        auto it = model.find(slot);
        if (kind == 8) {
          ++it;
          ASSERT_EQ(t.Table->GetRecord(t.Cursor, grmNext), it == model.end() ? grEOF : grOK);
        } else {
          ASSERT_EQ(t.Table->GetRecord(t.Cursor, grmPrior), it == model.begin() ? grBOF : grOK);
          if (it != model.begin()) --it;
          else it = model.end();
        }
        if (it != model.end()) {
          ASSERT_EQ(t.Slot(), it->first);
          checkRow(it->first);
        }
      }
      if (op % 500 == 499) {
        std::vector<std::pair<std::int32_t, std::int32_t>> expected;
        for (const auto& [slot, row] : model) expected.emplace_back(slot, row.ID);
        ASSERT_EQ(t.Table->InternalGetRecordCount(t.Cursor),
                  static_cast<std::int64_t>(model.size()));
        ASSERT_EQ(t.Scan(), expected) << "after operation " << op;
        t.ExpectIndexesAgree();
        const auto notes = std::count_if(model.begin(), model.end(),
                                         [](const auto& e) { return !e.second.Note.empty(); });
        ASSERT_EQ(t.Table->BlobBlockCount(), static_cast<std::size_t>(notes));
      }
    }
  }
  EXPECT_EQ(QELMemoryManager().AllocatedBytes(), before);
}

// Every block goes back: emptying the table frees the records' blocks and
// slots, deleting it frees the rest.
TEST(MemoryTableDataTest, BlobBlocksAreGivenBackByEmptyAndDelete) {
  TQELMemoryManager& memory = QELMemoryManager();
  const std::int64_t start = memory.AllocatedBytes();
  auto t = std::make_unique<TMemoryTable>(false);
  const std::int64_t created = memory.AllocatedBytes();
  for (std::int32_t i = 0; i < 1000; ++i) {
    t->Fill(i, "x");
    t->PostNote(std::string(100 + i, 'v'));
    ASSERT_TRUE(t->Insert());
  }
  EXPECT_EQ(t->Table->BlobBlockCount(), 1000u);
  EXPECT_GT(memory.AllocatedBytes(), created + 1000 * 100);
  t->Table->EmptyTable(t->Cursor);
  EXPECT_EQ(t->Table->BlobBlockCount(), 0u);
  EXPECT_EQ(memory.AllocatedBytes(), created);
  for (std::int32_t i = 0; i < 1000; ++i) {
    t->Fill(i, "x");
    t->PostNote(std::string(50, 'w'));
    ASSERT_TRUE(t->Insert());
  }
  t->Table->RemoveCursor(&t->Cursor);
  t->Table->DeleteTable(t->Cursor, false);
  EXPECT_TRUE(t->Database.TableDatas().empty());
  EXPECT_EQ(memory.AllocatedBytes(), start);
}

// A value posted for an edit that is cancelled, or whose change fails,
// goes; the stored value stays readable, and the blocks add up.
TEST(MemoryTableDataTest, CancelledOrFailedEditsKeepTheStoredValue) {
  TQELMemoryManager& memory = QELMemoryManager();
  TMemoryTable t;
  t.Fill(1, "a");
  t.PostNote("old value");
  ASSERT_TRUE(t.Insert());
  const std::int32_t slot = t.Slot();
  const std::int64_t stored = memory.AllocatedBytes();

  // Cancelled: the edit's record buffer is released.
  ASSERT_TRUE(t.Goto(slot));
  t.PostNote("new value");
  t.PostNote("newer value");
  t.Table->FreeRecordBlobs(t.Buffer.data());
  EXPECT_EQ(memory.AllocatedBytes(), stored);
  ASSERT_TRUE(t.Goto(slot));
  EXPECT_EQ(t.Note(), "old value");

  // Failed after the record was stored: the filter callback of the
  // cursor's bitmap raises while the change is noted in it.
  ASSERT_TRUE(t.Goto(slot));
  t.PostNote("failed value");
  t.SetName("b");
  t.FailAfterStoring();
  EXPECT_THROW(t.Table->UpdateRecord(t.Cursor), std::runtime_error);
  t.Table->FreeRecordBlobs(t.Buffer.data());
  t.Cursor.FilterCallback = nullptr;
  t.Cursor.RecordBitmap.reset();
  EXPECT_EQ(memory.AllocatedBytes(), stored);
  ASSERT_TRUE(t.Goto(slot));
  EXPECT_EQ(t.Name(), "a");
  EXPECT_EQ(t.Note(), "old value");
  t.ExpectIndexesAgree();

  // A stored change frees the value it replaced, and only then.
  t.PostNote("final");
  ASSERT_TRUE(t.Update());
  ASSERT_TRUE(t.Goto(slot));
  EXPECT_EQ(t.Note(), "final");
  EXPECT_EQ(t.Table->BlobBlockCount(), 1u);
  // Posting an empty value makes the field NULL, and the update frees it.
  t.PostNote("");
  EXPECT_TRUE(IsNull(kNote, t.Buffer.data()));
  ASSERT_TRUE(t.Update());
  EXPECT_EQ(t.Table->BlobBlockCount(), 0u);
}

// A buffer whose slot names another record's block (a copied buffer) gets
// its own copy; a slot naming a freed block is refused.
TEST(MemoryTableDataTest, BlobSlotsNeverShareOrReachFreedBlocks) {
  TMemoryTable t;
  t.Fill(1, "a");
  t.PostNote("shared?");
  ASSERT_TRUE(t.Insert());
  const std::vector<std::uint8_t> copy = t.Buffer;
  t.SetID(2);
  ASSERT_TRUE(t.Insert());
  EXPECT_EQ(t.Table->BlobBlockCount(), 2u);
  ASSERT_TRUE(t.Goto(0));
  ASSERT_TRUE(t.Table->DeleteRecord(t.Cursor));
  ASSERT_TRUE(t.Goto(1));
  EXPECT_EQ(t.Note(), "shared?");

  // The first record's block is gone; the copy of its buffer still names it.
  t.Buffer = copy;
  t.Cursor.RecordBuffer = t.Buffer.data();
  t.SetID(3);
  EXPECT_EQ(NativeErrorOf([&] { t.Table->InsertRecord(t.Cursor); }), 10118);
  EXPECT_EQ(NativeErrorOf([&] { t.Table->OpenBlob(t.Cursor, false, true, kNote); }), 10112);
  std::vector<std::uint8_t> data;
  TQELBlobDescriptor descriptor;
  EXPECT_EQ(NativeErrorOf([&] {
              t.Table->ReadBlobData(0, kNote, data, descriptor, t.Buffer.data());
            }),
            10511);
  EXPECT_EQ(t.Table->InternalGetRecordCount(t.Cursor), 1);
  t.ExpectIndexesAgree();
}

// A duplicate key, refused by the constraint check or found only after the
// record was stored, leaves count, natural order and indexes as they were.
TEST(MemoryTableDataTest, RefusedChangesLeaveNoTrace) {
  TMemoryTable t;
  for (std::int32_t id : {1, 2, 3}) {
    t.Fill(id, "n" + std::to_string(id));
    ASSERT_TRUE(t.Insert());
  }
  const auto rows = t.Scan();
  const auto expectUnchanged = [&] {
    EXPECT_EQ(t.Table->InternalGetRecordCount(t.Cursor), 3);
    EXPECT_EQ(t.Scan(), rows);
    t.ExpectIndexesAgree();
  };
  t.Fill(2, "dup");
  EXPECT_EQ(NativeErrorOf([&] { t.Insert(); }), 30320);
  expectUnchanged();
  ASSERT_TRUE(t.Goto(2));
  t.SetID(1);
  EXPECT_EQ(NativeErrorOf([&] { t.Update(); }), 30320);
  expectUnchanged();

  // Failing after the record manager stored the record: the filter
  // callback of the cursor's bitmap raises while the change is noted in it.
  ASSERT_TRUE(t.Goto(1));
  t.SetName("changed");
  t.FailAfterStoring();
  EXPECT_THROW(t.Table->UpdateRecord(t.Cursor), std::runtime_error);
  // The failed update left the bitmap to be rebuilt.
  t.Cursor.RecordBitmap->SetActive(true);
  t.Fill(4, "late");
  EXPECT_THROW(t.Table->InsertRecord(t.Cursor), std::runtime_error);
  t.Cursor.FilterCallback = nullptr;
  t.Cursor.RecordBitmap.reset();
  expectUnchanged();
  t.Fill(4, "n4");
  ASSERT_TRUE(t.Insert());
  EXPECT_EQ(t.Slot(), 3);
}

// Memory tables are outside transactions: a change made in one is applied
// at once, index pages included, and a rollback leaves it in place with
// indexes that still agree.
TEST(MemoryTableDataTest, ChangesInATransactionApplyAtOnce) {
  TMemoryTable t;
  t.Cursor.SetSession(0, true);
  for (std::int32_t id = 1; id <= 300; ++id) {
    t.Fill(id, "name" + std::to_string(id));
    ASSERT_TRUE(t.Insert());
  }
  ASSERT_TRUE(t.Goto(5));
  ASSERT_TRUE(t.Table->DeleteRecord(t.Cursor));
  EXPECT_FALSE(t.Table->MemoryPageManager().HasChanges(0));
  t.Database.Rollback(0);
  t.Table->MemoryPageManager().CancelChanges(0);
  EXPECT_EQ(t.Table->InternalGetRecordCount(t.Cursor), 299);
  t.ExpectIndexesAgree();
}

TEST(MemoryTableDataTest, RecordNumbersFollowSlots) {
  TMemoryTable t(false);
  for (std::int32_t id = 0; id < 10; ++id) {
    t.Fill(id, "x");
    ASSERT_TRUE(t.Insert());
  }
  EXPECT_EQ(t.Table->GetRecordNumberLimit(0), 10);
  ASSERT_TRUE(t.Goto(8));
  ASSERT_TRUE(t.Table->DeleteRecord(t.Cursor));
  t.Table->InternalSetRecNo(t.Cursor, 9);
  EXPECT_EQ(t.Slot(), 9);
  EXPECT_EQ(t.Table->InternalGetRecNo(t.Cursor), 9);
  // One past the last record leaves the position alone.
  t.Table->InternalSetRecNo(t.Cursor, 10);
  EXPECT_EQ(t.Slot(), 9);
  ASSERT_TRUE(t.Goto(0));
  ASSERT_TRUE(t.Table->DeleteRecord(t.Cursor));
  // Bitmaps index by slot: the limit is past the last slot, not the count.
  EXPECT_EQ(t.Table->GetRecordNumberLimit(0), 10);
  TQELRecordID id{};
  t.Table->RecordNumberToRecordID(id, 7);
  EXPECT_EQ(t.Table->RecordIDToRecordNumber(id), 7);
  EXPECT_EQ(id[4] | id[5], 0);
}

TEST(MemoryTableDataTest, BadInputIsRefused) {
  TQELMemoryDatabaseData database;
  TQELTableCursor cursor("Bad");
  auto* table = static_cast<TQELMemoryTableData*>(database.GetTableData(&cursor));
  std::vector<std::uint8_t> buffer(64, 0);
  cursor.RecordBuffer = buffer.data();
  // No table created yet: no record manager.
  EXPECT_EQ(NativeErrorOf([&] { table->InsertRecord(cursor); }), 10010);
  EXPECT_EQ(NativeErrorOf([&] { table->DeleteRecord(cursor); }), 10013);
  EXPECT_EQ(NativeErrorOf([&] { table->UpdateRecord(cursor); }), 10014);
  EXPECT_EQ(NativeErrorOf([&] { table->InternalSetRecNo(cursor, 1); }), 10074);
  EXPECT_EQ(NativeErrorOf([&] { table->InternalGetRecNo(cursor); }), 10033);
  EXPECT_EQ(NativeErrorOf([&] { table->InternalGetRecordCount(cursor); }), 10009);
  EXPECT_EQ(NativeErrorOf([&] {
              table->CreateTable(cursor, TQELFieldDefs{}, TQELConstraintDefs{}, TQELIndexDefs{});
            }),
            10025);

  TMemoryTable noBlockSize(true, 0);
  EXPECT_EQ(NativeErrorOf([&] {
              noBlockSize.Table->OpenBlob(noBlockSize.Cursor, true, false, kNote);
            }),
            10420);
  TMemoryTable t;
  EXPECT_EQ(NativeErrorOf([&] { t.Table->OpenBlob(t.Cursor, true, false, kName); }), 10000);
  t.Cursor.RecordBuffer = nullptr;
  EXPECT_EQ(NativeErrorOf([&] { t.Table->InsertRecord(t.Cursor); }), 10018);
  EXPECT_EQ(NativeErrorOf([&] { t.Table->UpdateRecord(t.Cursor); }), 10017);
  t.Cursor.RecordBuffer = t.Buffer.data();
  // A freed or out-of-range slot is no record to change.
  t.Fill(1, "a");
  ASSERT_TRUE(t.Insert());
  ASSERT_TRUE(t.Table->DeleteRecord(t.Cursor));
  for (std::int32_t slot : {0, 1, -1, 1 << 30}) {
    t.Cursor.Position = TQELMemoryRecordManager::IDOfSlot(slot);
    t.Fill(2, "b");
    EXPECT_FALSE(t.Table->UpdateRecord(t.Cursor)) << slot;
    EXPECT_EQ(t.Table->InternalGetRecordCount(t.Cursor), 0);
  }
  t.ExpectIndexesAgree();
}

}  // namespace
}  // namespace qel
