// Records of disk tables: the record page layout and its geometry, a
// random mix of inserts, updates and deletes checked against a model in
// both walking directions, pages freed with their last record, record
// numbers and positions, the pages index rebuilt from the pages, and pages
// that are not the table's (damaged, freed, another table's) which must be
// read as holding none of its records and never be written.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "DiskTestSupport.h"
#include "disk/QELDiskRecordManager.h"
#include "disk/QELSmallRecordPage.h"
#include "platform/QELEndian.h"
#include "storage/QELBaseFieldManager.h"
#include "streams/QELMemoryStream.h"
#include "support/MemoryPageManager.h"

namespace qel {
namespace {

using test::NativeErrorOf;
using Bytes = std::vector<std::uint8_t>;
using TPosition = std::pair<std::int32_t, std::int32_t>;  // page, slot
using TModel = std::map<TPosition, std::int32_t>;         // natural order -> key

constexpr std::int32_t kSession = 0;
constexpr std::int32_t kTable = 77;
constexpr std::int32_t kOtherTable = 78;

TPosition PositionOf(const TQELRecordID& id) {
  return {TQELSmallRecordPage::PageNoOf(id), TQELSmallRecordPage::SlotOf(id)};
}

using test::TTrackingPageManager;

// One table (fields ID INTEGER and PAD BYTES(padSize), so a disk record of
// 5 + padSize bytes) over pages in memory or in a database file.
class DiskRecordManagerTest : public ::testing::Test {
 protected:
  void Open(bool onDisk, std::uint16_t pageSize = 4096, std::int32_t padSize = 95) {
    if (onDisk) {
      FPath = FDir.File("records.qel");
      FDisk = std::make_unique<TTrackingPageManager>();
      FDisk->CreateDatabase(FPath, {"", 0}, 8, pageSize);
      FPages = FDisk.get();
    } else {
      FMemory = std::make_unique<test::TMemoryPageManager>(pageSize);
      FPages = FMemory.get();
    }
    TQELFieldDefs defs;
    defs.Add("ID", aftInteger, 0);
    defs.Add("PAD", aftBytes, padSize);
    FFields.SetFieldDefs(defs);
    FRecord.assign(static_cast<std::size_t>(FFields.FieldDefs().MemoryRecordSize()), 0);
    FManager = NewTable(kTable);
  }

  void TearDown() override {
    if (FPages == nullptr) return;
    FPages->CancelChanges(kSession);
    FPages->CancelChanges(-2);
  }

  std::unique_ptr<TQELDiskRecordManager> NewTable(std::int32_t objectID, bool createIndex = true) {
    auto manager = std::make_unique<TQELDiskRecordManager>(*FPages, FDisk.get(), objectID, FFields);
    manager->SetRecordSizes(FFields.FieldDefs().MemoryRecordSize(),
                            FFields.FieldDefs().DiskRecordSize(), FFields.FieldDefs().Count());
    if (createIndex) {
      manager->CreatePagesIndex();
      FPages->ApplyChanges(-2);
    }
    return manager;
  }

  void Commit() { FPages->ApplyChanges(kSession); }
  // Keys 0..count-1 inserted and committed, noted in `model`; their ids.
  std::vector<TQELRecordID> InsertCommitted(std::int32_t count, TModel& model) {
    std::vector<TQELRecordID> ids;
    for (std::int32_t key = 0; key < count; ++key) {
      ids.push_back(Insert(key));
      model[PositionOf(ids.back())] = key;
    }
    Commit();
    return ids;
  }

  std::int32_t PadSize() const { return FFields.FieldDefs()[1].MemoryDataSize(); }
  std::uint8_t PadByte(std::int32_t key, std::int32_t i) const {
    return static_cast<std::uint8_t>(key * 31 + i);
  }
  const std::uint8_t* MakeRecord(std::int32_t key) {
    std::fill(FRecord.begin(), FRecord.end(), 0);
    QELWriteLE(FRecord.data() + FFields.FieldDefs()[0].MemoryOffset(), key);
    std::uint8_t* pad = FRecord.data() + FFields.FieldDefs()[1].MemoryOffset();
    for (std::int32_t i = 0; i < PadSize(); ++i) pad[i] = PadByte(key, i);
    return FRecord.data();
  }
  // The key of the record in FRecord, after checking that its padding is
  // the one stored with that key.
  std::int32_t KeyOfRecord() const {
    const std::int32_t key = QELReadLE<std::int32_t>(FRecord.data() + FFields.FieldDefs()[0].MemoryOffset());
    const std::uint8_t* pad = FRecord.data() + FFields.FieldDefs()[1].MemoryOffset();
    for (std::int32_t i = 0; i < PadSize(); ++i) {
      if (pad[i] != PadByte(key, i)) {
        ADD_FAILURE() << "record " << key << " damaged at byte " << i;
        break;
      }
    }
    return key;
  }

  TQELRecordID Insert(TQELDiskRecordManager& manager, std::int32_t key) {
    TQELRecordID id{};
    EXPECT_TRUE(manager.InsertRecord(kSession, MakeRecord(key), id));
    return id;
  }
  TQELRecordID Insert(std::int32_t key) { return Insert(*FManager, key); }

  // Every record in one direction, as (position, key), from an end.
  std::vector<std::pair<TPosition, std::int32_t>> Walk(TQELDiskRecordManager& manager, bool forward) {
    std::vector<std::pair<TPosition, std::int32_t>> found;
    TQELRecordRequest request;
    request.Buffer = FRecord.data();
    request.Mode = forward ? grmNext : grmPrior;
    request.BeforeFirst = forward;
    request.AfterLast = !forward;
    for (;;) {
      manager.GetRecord(kSession, request);
      if (request.Result != grOK) break;
      EXPECT_FALSE(request.BeforeFirst || request.AfterLast);
      found.emplace_back(PositionOf(request.RecordID), KeyOfRecord());
    }
    EXPECT_EQ(request.Result, forward ? grEOF : grBOF);
    EXPECT_EQ(request.AfterLast, forward);
    EXPECT_EQ(request.BeforeFirst, !forward);
    return found;
  }
  std::vector<std::pair<TPosition, std::int32_t>> Walk(bool forward = true) {
    return Walk(*FManager, forward);
  }
  static std::vector<std::pair<TPosition, std::int32_t>> Expected(const TModel& model) {
    return {model.begin(), model.end()};
  }
  void ExpectMatches(TQELDiskRecordManager& manager, const TModel& model) {
    EXPECT_EQ(manager.RecordCount(), static_cast<std::int64_t>(model.size()));
    const auto expected = Expected(model);
    EXPECT_EQ(Walk(manager, true), expected);
    auto backwards = Walk(manager, false);
    std::reverse(backwards.begin(), backwards.end());
    EXPECT_EQ(backwards, expected);
    EXPECT_EQ(NativeErrorOf([&] { manager.VerifyRecordCount(kSession); }), 0);
  }

  TQELGetRecordResult Get(TQELGetRecordMode mode, TQELRecordID& id, bool beforeFirst = false,
                          bool afterLast = false) {
    TQELRecordRequest request;
    request.Mode = mode;
    request.RecordID = id;
    request.Buffer = FRecord.data();
    request.BeforeFirst = beforeFirst;
    request.AfterLast = afterLast;
    FManager->GetRecord(kSession, request);
    if (request.Result == grOK) id = request.RecordID;
    return request.Result;
  }

  // Changes a page as stored and commits the change.
  void PatchPage(std::int32_t pageNo, const std::function<void(TQELPage*)>& patch) {
    TQELPage* page = FPages->GetPage(kSession, pageNo, false, kQELAnyPageType);
    patch(page);
    page->IsDirty = true;
    FPages->ReleasePage(page);
    Commit();
  }
  Bytes PageBytes(std::int32_t pageNo) {
    TQELPageGuard page(*FPages, FPages->GetPage(kSession, pageNo, false, kQELAnyPageType));
    return Bytes(page->Buffer(), page->Buffer() + page->PageSize());
  }

  test::TScratchDir FDir;
  std::string FPath;
  std::unique_ptr<TTrackingPageManager> FDisk;
  std::unique_ptr<test::TMemoryPageManager> FMemory;
  TQELPageManager* FPages = nullptr;
  TQELBaseFieldManager FFields{nullptr};
  Bytes FRecord;
  std::unique_ptr<TQELDiskRecordManager> FManager;
};

// ---- Geometry and page layout ------------------------------------------------

TEST(SmallRecordPageTest, RecordsPerPageKeepsTheStoredRounding) {
  struct TCase {
    std::int32_t DiskRecordSize;
    std::int32_t Slots;
    std::int32_t BitmapSize;
  };
  // Page size 4096: 4056 bytes of data.
  const TCase cases[] = {{100, 40, 5}, {1, 3604, 451}, {1000, 4, 1}, {4054, 1, 1},
                         {4055, 0, 0}, {4056, 0, 0},   {0, 0, 0}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.DiskRecordSize);
    const std::int32_t slots = TQELSmallRecordPage::RecordsPerPage(4056, c.DiskRecordSize);
    EXPECT_EQ(slots, c.Slots);
    EXPECT_EQ(TQELSmallRecordPage::BitmapSizeFor(slots), c.BitmapSize);
    if (slots > 0) {
      EXPECT_LE(TQELSmallRecordPage::BitmapSizeFor(slots) + slots * c.DiskRecordSize, 4056);
    }
  }
}

TEST_F(DiskRecordManagerTest, RecordTooLargeForAPageIsRefused) {
  Open(false);
  EXPECT_EQ(FManager->RecordsPerPage(), 40);  // the 100-byte record of the fixture
  for (const std::int32_t size : {4055, 4056, 5000}) {
    TQELDiskRecordManager manager(*FPages, nullptr, kTable, FFields);
    try {
      manager.SetRecordSizes(size + 10, size, 1);
      ADD_FAILURE() << size << " accepted";
    } catch (const EQELException& e) {
      EXPECT_EQ(e.NativeError(), 20174);
      EXPECT_NE(std::string(e.what()).find("Record is too large to fit in current database page"),
                std::string::npos);
    }
    EXPECT_EQ(manager.RecordsPerPage(), 0);
  }
  TQELDiskRecordManager small(*FPages, nullptr, kTable, FFields);
  small.SetRecordSizes(1, 1, 1);
  EXPECT_EQ(small.RecordsPerPage(), 3604);
  EXPECT_EQ(small.PagesIndex().MaxRecordsPerPage, 3604);
}

TEST_F(DiskRecordManagerTest, RecordPageLayoutAsStored) {
  Open(false);
  ASSERT_EQ(FManager->DiskRecordSize(), 100);
  const TQELRecordID first = Insert(1);
  const TQELRecordID second = Insert(2);
  const std::int32_t pageNo = TQELSmallRecordPage::PageNoOf(first);
  EXPECT_EQ(PositionOf(first), TPosition(pageNo, 0));
  EXPECT_EQ(PositionOf(second), TPosition(pageNo, 1));
  Commit();
  const Bytes page = PageBytes(pageNo);
  EXPECT_EQ(page_header::PageType(page.data()), ptTableRecord);
  EXPECT_EQ(page_header::ObjectID(page.data()), kTable);
  const std::uint8_t* data = page.data() + kQELPageHeaderSize;
  EXPECT_EQ(data[0], 0x03);  // slots 0 and 1 used
  for (std::int32_t i = 1; i < 5; ++i) EXPECT_EQ(data[i], 0) << i;
  // Slot 1 starts after the 5-byte bitmap and slot 0; a disk record is the
  // null flags, then ID, then PAD.
  const std::uint8_t* slot1 = data + 5 + 100;
  EXPECT_EQ(slot1[0], 0);  // no field is NULL
  EXPECT_EQ(QELReadLE<std::int32_t>(slot1 + 1), 2);
  EXPECT_EQ(slot1[5], PadByte(2, 0));
  EXPECT_EQ(slot1[99], PadByte(2, 94));
}

TEST(SmallRecordPageTest, DamagedBitmapIsReadWithinThePage) {
  test::TMemoryPageManager pages;
  TQELPageGuard page(pages, pages.AddNewPage(kSession, ptTableRecord));
  // 1000-byte records: 4 slots, so the bitmap byte has 4 bits past the last
  // slot. A damaged page sets them; they must never name a slot.
  page->Data()[0] = 0xF0;
  TQELSmallRecordPage records(page.Get(), 4, 1000);
  EXPECT_EQ(records.GetUsedCount(), 0);
  EXPECT_EQ(records.NextUsed(0), -1);
  EXPECT_EQ(records.PriorUsed(7), -1);
  try {
    TQELRecordID id;
    records.GetFirstRecordID(id);
    ADD_FAILURE();
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), 20143);
    EXPECT_NE(std::string(e.what()).find("PageNo=" + std::to_string(page->PageNo) + ", PageRecordCount=0"),
              std::string::npos);
  }
  EXPECT_EQ(NativeErrorOf([&] {
              TQELRecordID id;
              records.GetLastRecordID(id);
            }),
            20144);

  const Bytes image(1000, 0xAB);
  Bytes target(1000, 0);
  TQELRecordID id;
  for (int i = 0; i < 4; ++i) records.AddRecord(image.data(), id);
  EXPECT_EQ(TQELSmallRecordPage::SlotOf(id), 3);
  EXPECT_EQ(NativeErrorOf([&] { records.AddRecord(image.data(), id); }), 20141);
  EXPECT_EQ(records.GetUsedCount(), 4);
  const TQELRecordID beyond = TQELSmallRecordPage::MakeRecordID(page->PageNo, 7);
  EXPECT_FALSE(records.ReadRecord(beyond, target.data()));
  EXPECT_FALSE(records.UpdateRecord(image.data(), beyond));
  EXPECT_FALSE(records.DeleteRecord(beyond));
  EXPECT_EQ(records.CountRecordsBefore(beyond), 4);
  TQELRecordID last = TQELSmallRecordPage::MakeRecordID(page->PageNo, 3);
  EXPECT_FALSE(records.GetNextRecordID(last));
  records.GetRecordIDByIndex(3, id);
  EXPECT_EQ(TQELSmallRecordPage::SlotOf(id), 3);
  EXPECT_EQ(NativeErrorOf([&] { records.GetRecordIDByIndex(4, id); }), 20146);

  // Slots that would run past the data area are refused outright.
  EXPECT_EQ(NativeErrorOf([&] { TQELSmallRecordPage(page.Get(), 5, 1000); }), 20140);
  EXPECT_EQ(NativeErrorOf([&] { TQELSmallRecordPage(page.Get(), 0, 1000); }), 20140);
}

TEST(SmallRecordPageTest, SlotsByIndexAndNeighbours) {
  test::TMemoryPageManager pages;
  TQELPageGuard page(pages, pages.AddNewPage(kSession, ptTableRecord));
  TQELSmallRecordPage records(page.Get(), 3604, 1);
  const std::vector<std::int32_t> used = {0, 7, 8, 9, 100, 1000, 3599, 3603};
  for (const std::int32_t slot : used) page->Data()[slot >> 3] |= static_cast<std::uint8_t>(1u << (slot & 7));
  page->Data()[450] |= 0xF0;  // past slot 3603: damage
  EXPECT_EQ(records.GetUsedCount(), static_cast<std::int64_t>(used.size()));
  for (std::size_t n = 0; n < used.size(); ++n) {
    TQELRecordID id;
    records.GetRecordIDByIndex(static_cast<std::int64_t>(n), id);
    EXPECT_EQ(TQELSmallRecordPage::SlotOf(id), used[n]);
    EXPECT_EQ(records.CountRecordsBefore(id), static_cast<std::int32_t>(n));
    TQELRecordID next = id;
    const bool hasNext = records.GetNextRecordID(next);
    EXPECT_EQ(hasNext, n + 1 < used.size());
    if (hasNext) {
      EXPECT_EQ(TQELSmallRecordPage::SlotOf(next), used[n + 1]);
    }
    TQELRecordID prior = id;
    const bool hasPrior = records.GetPriorRecordID(prior);
    EXPECT_EQ(hasPrior, n > 0);
    if (hasPrior) {
      EXPECT_EQ(TQELSmallRecordPage::SlotOf(prior), used[n - 1]);
    }
  }
  std::int32_t slot;
  ASSERT_TRUE(records.FindFreeSlot(slot));
  EXPECT_EQ(slot, 1);
}

// ---- Records against a model ------------------------------------------------

class DiskRecordStorageTest : public DiskRecordManagerTest,
                              public ::testing::WithParamInterface<bool> {};

TEST_P(DiskRecordStorageTest, RandomChangesMatchModelInBothDirections) {
  Open(GetParam());
  std::mt19937 random(20240611);
  TModel model;
  std::int32_t nextKey = 0;
  std::int32_t changes = 0;
  auto randomEntry = [&] {
    auto it = model.begin();
    std::advance(it, static_cast<long>(random() % model.size()));
    return it;
  };
  for (int step = 0; step < 4000; ++step) {
    const std::uint32_t op = random() % 10;
    if (model.empty() || op < 5) {
      const std::int32_t key = nextKey++;
      model[PositionOf(Insert(key))] = key;
    } else if (op < 8) {
      auto it = randomEntry();
      TQELRecordID id = TQELSmallRecordPage::MakeRecordID(it->first.first, it->first.second);
      ASSERT_TRUE(FManager->DeleteRecord(kSession, id));
      EXPECT_FALSE(FManager->DeleteRecord(kSession, id));
      model.erase(it);
    } else {
      auto it = randomEntry();
      const TQELRecordID id = TQELSmallRecordPage::MakeRecordID(it->first.first, it->first.second);
      it->second = nextKey++;
      ASSERT_TRUE(FManager->UpdateRecord(kSession, MakeRecord(it->second), id));
    }
    ++changes;
    if (step % 1000 == 999) Commit();
  }
  EXPECT_EQ(FManager->ChangeCount(), changes);
  ExpectMatches(*FManager, model);

  // Every page the index lists holds what it says, within the page's slots.
  std::int32_t pageNo;
  std::map<std::int32_t, std::int32_t> perPage;
  for (const auto& [position, key] : model) ++perPage[position.first];
  std::map<std::int32_t, std::int32_t> listed;
  for (bool on = FManager->PagesIndex().FirstPage(kSession, pageNo); on;
       on = FManager->PagesIndex().NextPage(kSession, pageNo)) {
    listed[pageNo] = FManager->PagesIndex().GetCount(kSession, pageNo);
  }
  EXPECT_EQ(listed, perPage);
  for (const auto& [position, key] : model) EXPECT_LT(position.second, 40);

  // Reading by id, and the ends of the table.
  for (const auto& [position, key] : model) {
    TQELRecordID id = TQELSmallRecordPage::MakeRecordID(position.first, position.second);
    ASSERT_EQ(Get(grmCurrent, id), grOK);
    EXPECT_EQ(KeyOfRecord(), key);
  }
  TQELRecordID id{};
  EXPECT_EQ(Get(grmCurrent, id, true), grError);
  EXPECT_EQ(Get(grmPrior, id, true), grBOF);
  EXPECT_EQ(Get(grmCurrent, id, false, true), grError);
  EXPECT_EQ(Get(grmNext, id, false, true), grEOF);
  TQELRecordID last = TQELSmallRecordPage::MakeRecordID(model.rbegin()->first.first,
                                                        model.rbegin()->first.second);
  EXPECT_EQ(Get(grmNext, last), grEOF);
  TQELRecordID first = TQELSmallRecordPage::MakeRecordID(model.begin()->first.first,
                                                         model.begin()->first.second);
  EXPECT_EQ(Get(grmPrior, first), grBOF);
  // A request without a buffer only moves.
  TQELRecordRequest move;
  move.Mode = grmNext;
  move.BeforeFirst = true;
  FManager->GetRecord(kSession, move);
  EXPECT_EQ(move.Result, grOK);
  EXPECT_EQ(PositionOf(move.RecordID), model.begin()->first);

  // Committed and read back by a manager that starts from the stored header
  // and index root (on disk, from a reopened file).
  Commit();
  std::uint8_t header[TQELDiskRecordManager::kHeaderSize];
  std::int32_t position = 0;
  FManager->SaveHeader(header, sizeof header, position);
  TQELMemoryStream metadata;
  FManager->SaveIndexRoot(metadata);
  FManager.reset();
  if (FDisk) {
    FDisk->CloseDatabase();
    FDisk->OpenDatabase(FPath, {});
  }
  FManager = NewTable(kTable, false);
  position = 0;
  FManager->LoadHeader(header, sizeof header, position);
  metadata.SetPosition(0);
  FManager->LoadIndexRoot(metadata);
  EXPECT_EQ(FManager->ChangeCount(), changes);
  ExpectMatches(*FManager, model);
}

INSTANTIATE_TEST_SUITE_P(DiskRecord, DiskRecordStorageTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "DatabaseFile" : "Memory";
                         });

TEST_F(DiskRecordManagerTest, LastRecordTakesItsPageAlongAndRoomIsReused) {
  Open(false);
  const std::int32_t baseline = FMemory->UsedPages();
  std::vector<TQELRecordID> ids;
  for (std::int32_t key = 0; key < 41; ++key) ids.push_back(Insert(key));
  Commit();
  EXPECT_EQ(FMemory->UsedPages(), baseline + 2);
  const std::int32_t full = TQELSmallRecordPage::PageNoOf(ids[0]);
  const std::int32_t single = TQELSmallRecordPage::PageNoOf(ids[40]);
  ASSERT_NE(full, single);
  EXPECT_EQ(FManager->PagesIndex().GetCount(kSession, full), 40);

  ASSERT_TRUE(FManager->DeleteRecord(kSession, ids[40]));
  EXPECT_EQ(FManager->PagesIndex().GetCount(kSession, single), -1);
  Commit();
  EXPECT_EQ(FMemory->UsedPages(), baseline + 1);

  ASSERT_TRUE(FManager->DeleteRecord(kSession, ids[7]));
  EXPECT_EQ(FManager->PagesIndex().GetCount(kSession, full), 39);
  EXPECT_EQ(PositionOf(Insert(100)), TPosition(full, 7));  // the freed slot
  EXPECT_EQ(FManager->PagesIndex().GetCount(kSession, full), 40);
  const TQELRecordID next = Insert(101);  // the page is full again: a new one
  EXPECT_NE(TQELSmallRecordPage::PageNoOf(next), full);
  EXPECT_EQ(TQELSmallRecordPage::SlotOf(next), 0);
  Commit();
  EXPECT_EQ(FMemory->UsedPages(), baseline + 2);
  EXPECT_EQ(FManager->RecordCount(), 41);
}

TEST_F(DiskRecordManagerTest, EmptyRecordsFreesOnlyTheTablesPages) {
  Open(true);
  const std::int32_t baseline = FDisk->UsedPageCount();
  auto other = NewTable(kOtherTable);
  const TQELRecordID foreign = Insert(*other, 999);
  for (std::int32_t key = 0; key < 100; ++key) Insert(key);
  Commit();
  // A damaged index that also lists the other table's page.
  FManager->PagesIndex().AddToPage(kSession, 1, TQELSmallRecordPage::PageNoOf(foreign));
  const std::int32_t before = FManager->ChangeCount();
  FManager->EmptyRecords(kSession);
  Commit();
  EXPECT_EQ(FManager->RecordCount(), 0);
  // The counter moves on, so nothing stamped before looks current again.
  EXPECT_EQ(FManager->ChangeCount(), before + 1);
  EXPECT_EQ(FDisk->UsedPageCount(), baseline + 2);  // the two index roots and the other page
  TQELRecordID id{};
  EXPECT_EQ(Get(grmNext, id, true), grEOF);
  EXPECT_EQ(Walk(*other, true), (std::vector<std::pair<TPosition, std::int32_t>>{{PositionOf(foreign), 999}}));
  EXPECT_EQ(FManager->GetRecordNumberLimit(kSession), 1);

  FManager->DropRecords(kSession);
  Commit();
  EXPECT_EQ(FManager->PagesIndex().RootPageNo(), -1);
}

// ---- Record numbers and positions ------------------------------------------------

TEST_F(DiskRecordManagerTest, RecordNumbersLieInTheirPagesRange) {
  Open(false);
  EXPECT_EQ(FManager->GetRecordNumberLimit(kSession), 1);
  std::vector<TQELRecordID> ids;
  for (std::int32_t key = 0; key < 130; ++key) ids.push_back(Insert(key));
  std::int32_t highestPage = 0;
  for (const TQELRecordID& id : ids) {
    const std::int32_t pageNo = TQELSmallRecordPage::PageNoOf(id);
    highestPage = std::max(highestPage, pageNo);
    const std::int64_t number = FManager->RecordIDToRecordNumber(id);
    EXPECT_GE(number, std::int64_t{pageNo} * 40);
    EXPECT_LE(number, std::int64_t{pageNo} * 40 + 39);
    TQELRecordID back{};
    FManager->RecordNumberToRecordID(back, number);
    EXPECT_EQ(back, id);
  }
  EXPECT_EQ(FManager->GetRecordNumberLimit(kSession), (std::int64_t{highestPage} + 1) * 40);
  // Page 7, slot 0..39: numbers 280..319.
  TQELRecordID id{};
  FManager->RecordNumberToRecordID(id, 280);
  EXPECT_EQ(PositionOf(id), TPosition(7, 0));
  FManager->RecordNumberToRecordID(id, 319);
  EXPECT_EQ(PositionOf(id), TPosition(7, 39));
}

TEST_F(DiskRecordManagerTest, RecNoRoundTripsInNaturalOrder) {
  Open(false);
  std::vector<TQELRecordID> ids;
  for (std::int32_t key = 0; key < 200; ++key) ids.push_back(Insert(key));
  for (std::size_t i = 0; i < ids.size(); i += 3) ASSERT_TRUE(FManager->DeleteRecord(kSession, ids[i]));
  const auto order = Walk();
  ASSERT_EQ(static_cast<std::int64_t>(order.size()), FManager->RecordCount());
  for (std::size_t n = 0; n < order.size(); ++n) {
    TQELRecordID id{};
    FManager->RecordIDAtRecNo(kSession, id, static_cast<std::int64_t>(n + 1));
    EXPECT_EQ(PositionOf(id), order[n].first);
    EXPECT_EQ(FManager->RecNoOfRecordID(kSession, id), static_cast<std::int64_t>(n + 1));
  }
  TQELRecordID id{};
  EXPECT_EQ(NativeErrorOf([&] { FManager->RecordIDAtRecNo(kSession, id, FManager->RecordCount() + 1); }),
            20113);
  EXPECT_EQ(NativeErrorOf([&] { FManager->RecordIDAtRecNo(kSession, id, 0); }), 20113);
}

TEST_F(DiskRecordManagerTest, RecordsBeforeIsHalfTheCount) {
  Open(false);
  const TQELRecordID any = TQELSmallRecordPage::MakeRecordID(5, 3);
  EXPECT_EQ(FManager->GetRecordsBefore(kSession, any), 0);
  std::vector<TQELRecordID> ids;
  for (std::int32_t key = 0; key < 7; ++key) ids.push_back(Insert(key));
  for (const TQELRecordID& id : ids) EXPECT_EQ(FManager->GetRecordsBefore(kSession, id), 3);
  EXPECT_EQ(FManager->GetRecordsBefore(kSession, any), 3);
  EXPECT_LT(FManager->CompareRecordIDs(ids[0], ids[1]), 0);
  EXPECT_GT(FManager->CompareRecordIDs(TQELSmallRecordPage::MakeRecordID(2, 0),
                                       TQELSmallRecordPage::MakeRecordID(1, 39)),
            0);
  EXPECT_EQ(FManager->CompareRecordIDs(ids[3], ids[3]), 0);
}

// ---- Header and index ---------------------------------------------------------

TEST_F(DiskRecordManagerTest, HeaderFieldsAsStoredAndBounded) {
  Open(false);
  for (std::int32_t key = 0; key < 3; ++key) Insert(key);
  std::uint8_t buffer[12] = {};
  std::int32_t position = 4;
  FManager->SaveHeader(buffer, sizeof buffer, position);
  EXPECT_EQ(position, 12);
  EXPECT_EQ(QELReadLE<std::int32_t>(buffer + 4), 3);  // ChangeCount
  EXPECT_EQ(QELReadLE<std::int32_t>(buffer + 8), 3);  // RecordCount
  // A header cut short is refused without reading or writing past it.
  position = 5;
  EXPECT_EQ(NativeErrorOf([&] { FManager->SaveHeader(buffer, sizeof buffer, position); }), 20164);
  EXPECT_EQ(NativeErrorOf([&] { FManager->LoadHeader(buffer, sizeof buffer, position); }), 20164);
  EXPECT_EQ(position, 5);
  EXPECT_EQ(FManager->RecordCount(), 3);
  // The record count is stored in 32 bits and read back sign-extended.
  QELWriteLE<std::int32_t>(buffer + 8, -2);
  position = 4;
  FManager->LoadHeader(buffer, sizeof buffer, position);
  EXPECT_EQ(FManager->RecordCount(), -2);
}

class DiskRecordRebuildTest : public DiskRecordStorageTest {};

TEST_P(DiskRecordRebuildTest, RebuildRecoversCountsFromThePages) {
  Open(GetParam());
  auto other = NewTable(kOtherTable);
  TModel model;
  std::vector<TQELRecordID> ids;
  for (std::int32_t key = 0; key < 300; ++key) {
    ids.push_back(Insert(key));
    model[PositionOf(ids.back())] = key;
    if (key % 10 == 0) Insert(*other, 10000 + key);
  }
  Commit();
  // Empty two whole pages so that they are freed; in a file, they keep
  // their type, object id and records but are no longer in use (the new
  // index may take one of them).
  for (std::size_t i = 40; i < 120; ++i) {
    ASSERT_TRUE(FManager->DeleteRecord(kSession, ids[i]));
    model.erase(PositionOf(ids[i]));
  }
  Commit();
  for (std::size_t i = 120; i < 300; i += 7) {
    ASSERT_TRUE(FManager->DeleteRecord(kSession, ids[i]));
    model.erase(PositionOf(ids[i]));
  }
  Commit();
  const auto otherRecords = Walk(*other, true);

  // The index loses its entries and the header its count.
  FManager->PagesIndex().Empty(kSession);
  std::uint8_t header[8] = {};
  std::int32_t position = 0;
  FManager->LoadHeader(header, sizeof header, position);
  Commit();
  EXPECT_EQ(NativeErrorOf([&] { FManager->PagesIndex().VerifyRecordCount(kSession, static_cast<std::int64_t>(model.size())); }),
            20292);

  if (FDisk) FDisk->FreeSpaceManager()->RepairMode = true;
  FManager->RebuildPagesIndex(kSession);
  Commit();
  if (FDisk) FDisk->FreeSpaceManager()->RepairMode = false;
  ExpectMatches(*FManager, model);
  EXPECT_EQ(Walk(*other, true), otherRecords);
  // The rebuilt index takes new records as the old one did.
  const std::int32_t key = 5000;
  model[PositionOf(Insert(key))] = key;
  ExpectMatches(*FManager, model);
}

INSTANTIATE_TEST_SUITE_P(DiskRecord, DiskRecordRebuildTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "DatabaseFile" : "Memory";
                         });

// ---- Pages that are not the table's --------------------------------------------

TEST_F(DiskRecordManagerTest, PagesNotOfTheTableHoldNoRecords) {
  struct TCase {
    const char* Name;
    std::function<void(TQELPage*)> Damage;
  };
  const TCase cases[] = {
      {"wrong type", [](TQELPage* page) { page->SetPageType(ptTableBlob); }},
      {"other table", [](TQELPage* page) { page_header::SetObjectID(page->Header(), kOtherTable); }},
      {"freed", [](TQELPage* page) { page->SetPageVersion(kQELInvalidPageVersion); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Open(false);
    TModel model;
    std::vector<TQELRecordID> ids = InsertCommitted(120, model);
    const std::int32_t middle = TQELSmallRecordPage::PageNoOf(ids[40]);
    ASSERT_EQ(TQELSmallRecordPage::PageNoOf(ids[79]), middle);
    PatchPage(middle, c.Damage);
    const Bytes damaged = PageBytes(middle);
    TModel visible = model;
    for (std::size_t i = 40; i < 80; ++i) visible.erase(PositionOf(ids[i]));

    // Walks pass over the page in both directions.
    EXPECT_EQ(Walk(true), Expected(visible));
    auto backwards = Walk(false);
    std::reverse(backwards.begin(), backwards.end());
    EXPECT_EQ(backwards, Expected(visible));

    // Its records cannot be read, changed or deleted, and from one of them
    // forwards is the end, backwards the last record.
    TQELRecordID id = ids[45];
    EXPECT_EQ(Get(grmCurrent, id), grError);
    EXPECT_FALSE(FManager->UpdateRecord(kSession, MakeRecord(1234), ids[45]));
    EXPECT_FALSE(FManager->DeleteRecord(kSession, ids[45]));
    EXPECT_EQ(Get(grmNext, id), grEOF);
    id = ids[45];
    ASSERT_EQ(Get(grmPrior, id), grOK);
    EXPECT_EQ(id, ids[119]);
    EXPECT_EQ(PageBytes(middle), damaged);
    EXPECT_EQ(FManager->RecordCount(), 120);

    TearDown();
    FManager.reset();
  }
}

// A repair reads pages whose writing never finished, but a page that is
// not a record page of this table still holds none of its records: a stale
// pages index must not hand it another table's rows.
TEST_F(DiskRecordManagerTest, RepairStillPassesOverPagesOfOtherKindsAndTables) {
  const std::function<void(TQELPage*)> damages[] = {
      [](TQELPage* page) { page->SetPageType(ptTableBlob); },
      [](TQELPage* page) { page_header::SetObjectID(page->Header(), kOtherTable); },
  };
  for (const auto& damage : damages) {
    Open(true);
    FDisk->FreeSpaceManager()->RepairMode = true;
    TModel model;
    std::vector<TQELRecordID> ids = InsertCommitted(120, model);
    const std::int32_t middle = TQELSmallRecordPage::PageNoOf(ids[40]);
    PatchPage(middle, damage);
    for (std::size_t i = 40; i < 80; ++i) model.erase(PositionOf(ids[i]));
    EXPECT_EQ(Walk(true), Expected(model));
    TearDown();
    FManager.reset();
    FDisk.reset();
    FPages = nullptr;  // the fixture's own TearDown must not reach the freed manager
  }
}

TEST_F(DiskRecordManagerTest, FailedInsertChangesNothing) {
  // Small pages: 4 records of 240 bytes a page, 161 pages to a leaf of the
  // pages index.
  Open(true, 1024, 235);
  ASSERT_EQ(FManager->RecordsPerPage(), 4);
  // Out of pages for the first record page.
  FDisk->FailAfter = 0;
  TQELRecordID id{};
  EXPECT_FALSE(FManager->InsertRecord(kSession, MakeRecord(1), id));
  EXPECT_EQ(FManager->RecordCount(), 0);
  EXPECT_EQ(FManager->ChangeCount(), 0);
  std::int32_t pageNo;
  EXPECT_FALSE(FManager->PagesIndex().FirstPage(kSession, pageNo));
  FDisk->FailAfter = -1;
  FPages->CancelChanges(kSession);

  TModel model;
  for (std::int32_t key = 0; key < 161 * 4; ++key) model[PositionOf(Insert(key))] = key;
  Commit();
  const std::int32_t used = FDisk->UsedPageCount();
  // Every page is full and the index leaf too: the next record gets a new
  // page, whose index entry needs a page the file cannot give.
  FDisk->FailAfter = 1;
  FDisk->Removed.clear();
  EXPECT_FALSE(FManager->InsertRecord(kSession, MakeRecord(9999), id));
  EXPECT_EQ(FDisk->Removed.size(), 1u);  // the new record page goes again
  EXPECT_EQ(FManager->RecordCount(), static_cast<std::int64_t>(model.size()));
  EXPECT_EQ(FManager->ChangeCount(), static_cast<std::int32_t>(model.size()));
  FDisk->FailAfter = -1;
  FPages->CancelChanges(kSession);
  EXPECT_EQ(FDisk->UsedPageCount(), used);
  ExpectMatches(*FManager, model);
  model[PositionOf(Insert(9999))] = 9999;
  Commit();
  ExpectMatches(*FManager, model);
}

}  // namespace
}  // namespace qel
