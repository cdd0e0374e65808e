// The table check: a clean table with indexes and BLOB values gives no
// fault, a correct summary and an unchanged file; each kind of damage to the
// record pages, an index or a BLOB value is named with its table and its
// page or record; a table that cannot be opened is a fault, and the next
// table is still checked.

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "DiskTestSupport.h"
#include "TableFileSupport.h"
#include "disk/QELDiskTableCheck.h"
#include "disk/QELSmallBlobPage.h"
#include "disk/QELSmallRecordPage.h"
#include "platform/QELFormat.h"
#include "storage/QELIndexManager.h"

namespace qel {
namespace {

using test::TOpenTable;

constexpr std::int32_t kRecords = 60;

std::vector<TQELDiskTableSummary> CheckFile(const std::string& path, const std::string& password,
                                            bool verify = true) {
  TQELDiskDatabaseData database(path);
  database.Open({password, caRijndael_128}, {.ReadOnly = true});
  return CheckDiskTables(database, {verify});
}

std::string FaultLines(const std::vector<TQELDiskTableSummary>& tables) {
  std::string lines;
  for (const TQELDiskTableSummary& table : tables) {
    for (const TQELTableFault& fault : table.Faults) lines += FormatTableFault(fault) + "\n";
  }
  return lines;
}

class DiskTableCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TOpenTable create(FPath, "", kRecords);
  }

  test::TScratchDir FDir;
  std::string FPath = FDir.File("t.qel");
};

TEST_F(DiskTableCheckTest, CleanTablesGiveNoFaultAndTheirSummaryWithoutWritingTheFile) {
  for (const std::string password : {"", "rahasia"}) {
    SCOPED_TRACE(password);
    if (!password.empty()) TOpenTable create(FPath, password, kRecords);
    const std::vector<std::uint8_t> before = test::ReadFileBytes(FPath);
    const std::vector<TQELDiskTableSummary> tables = CheckFile(FPath, password);
    EXPECT_EQ(test::ReadFileBytes(FPath), before);
    ASSERT_EQ(tables.size(), 2u);
    EXPECT_EQ(FaultLines(tables), "");

    const TQELDiskTableSummary& t = tables[1].Name == "T" ? tables[1] : tables[0];
    const TQELDiskTableSummary& u = tables[1].Name == "T" ? tables[0] : tables[1];
    EXPECT_TRUE(t.Opened);
    ASSERT_EQ(t.Fields.size(), 4u);
    EXPECT_EQ(t.Fields[1].Name, "NAME");
    EXPECT_EQ(t.Fields[1].Size, 30);
    EXPECT_TRUE(t.Fields[3].IsBlob);
    EXPECT_EQ(t.Fields[3].BlobCompressionAlgorithm, cmZLIB);
    ASSERT_EQ(t.Indexes.size(), 2u);
    EXPECT_TRUE(t.Indexes[0].Unique);
    EXPECT_EQ(t.Indexes[1].Columns, "NAME DESC NOCASE");
    EXPECT_EQ(t.RecordCount, kRecords);
    EXPECT_EQ(t.RecordsRead, kRecords);
    // 60 records of about 60 bytes on pages of 1024 bytes.
    EXPECT_GE(t.RecordPageCount, 3);
    // Twelve large B_NONE values of 3000 bytes take four pages each, besides
    // the shared pages of the small values and the large memos.
    EXPECT_GT(t.BlobPageCount, 12 * 4);
    EXPECT_EQ(u.RecordCount, 0);
    EXPECT_EQ(u.RecordPageCount, 0);
    EXPECT_EQ(u.BlobPageCount, 0);
  }
}

// One kind of damage: it changes the open table and answers the fault lines
// (or their beginnings) it must cause.
struct TDamage {
  const char* Name;
  std::function<std::vector<std::string>(TOpenTable&)> Apply;
};

std::int32_t FirstRecordPage(TOpenTable& t, std::int32_t& count) {
  std::int32_t pageNo = -1;
  t.Records().PagesIndex().FirstPage(t.Session(), pageNo);
  count = t.Records().PagesIndex().GetCount(t.Session(), pageNo);
  return pageNo;
}

// Where a shared BLOB value of the record in t.Buffer is kept: its page and
// the offset of its stored bytes in the page's data area.
std::pair<std::int32_t, std::int32_t> SharedValue(TOpenTable& t, std::int32_t fieldNo) {
  const TQELBlobReference ref = TQELBlobReference::Load(t.Buffer.data() + t.Defs()[fieldNo].MemoryOffset());
  EXPECT_NE(ref.EntryID, blob_page::kLargeEntryID);
  TQELPageGuard page(t.Database.DiskPageManager(),
                     t.Database.DiskPageManager().GetPage(t.Session(), ref.PageNo, true, ptTableBlob));
  TQELSmallBlobPage::TEntry entry;
  EXPECT_TRUE(TQELSmallBlobPage(page.Get()).FindEntry(ref.EntryID, entry));
  return {ref.PageNo, entry.Offset + blob_page::kEntryHeaderSize};
}

void FlipByte(TOpenTable& t, std::int32_t pageNo, std::int32_t offset, std::uint8_t mask) {
  TQELPage* page = t.Database.DiskPageManager().GetPage(t.Session(), pageNo, true, kQELAnyPageType);
  page->Data()[offset] ^= mask;
  page->IsDirty = true;
  t.Database.DiskPageManager().ReleasePage(page);
  t.Commit();
}

std::string RecordAt(TOpenTable& t, const TQELRecordID& id) {
  return QELFormat("table T, record %d (page %d, slot %d): ",
                   {t.RecNo, TQELSmallRecordPage::PageNoOf(id), TQELSmallRecordPage::SlotOf(id)});
}

const TDamage kDamages[] = {
    {"RecordCountInThePagesIndex",
     [](TOpenTable& t) -> std::vector<std::string> {
       std::int32_t count = 0;
       const std::int32_t pageNo = FirstRecordPage(t, count);
       t.Records().PagesIndex().RemoveFromPage(t.Session(), 0, count - 1, pageNo);
       t.Commit();
       return {QELFormat("table T, page %d: holds %d records, the record pages index says %d",
                         {pageNo, count, count - 1}),
               QELFormat("table T: the record pages index counts %d records, the table header %d",
                         {kRecords - 1, kRecords})};
     }},
    {"RecordSlotClearedOnItsPage",
     [](TOpenTable& t) -> std::vector<std::string> {
       std::int32_t count = 0;
       const std::int32_t pageNo = FirstRecordPage(t, count);
       FlipByte(t, pageNo, 0, 0x01);  // slot 0's bit of the occupancy bitmap
       return {QELFormat("table T, page %d: holds %d records, the record pages index says %d",
                         {pageNo, count - 1, count}),
               "table T: index BY_ID has an entry for a missing record"};
     }},
    {"IndexEntryDeleted",
     [](TOpenTable& t) -> std::vector<std::string> {
       const TQELRecordID id = t.Find(17);
       TQELBaseIndexManager& indexes = *t.Table->IndexManager();
       indexes.GetIndex(indexes.IndexDefs().FindIndexByName("BY_NAME")->ObjectID())
           .DeleteKey(t.Session(), t.Buffer.data(), id);
       t.Commit();
       return {QELFormat("table T: index BY_NAME holds %d entries for %d records", {kRecords - 1, kRecords})};
     }},
    {"BlockCrcOfACompressedValue",
     [](TOpenTable& t) -> std::vector<std::string> {
       const TQELRecordID id = t.Find(1);
       const auto [pageNo, offset] = SharedValue(t, test::kMemoField);
       FlipByte(t, pageNo, offset + compressed_block::kCrc32, 0x5A);  // the first block header's CRC
       return {RecordAt(t, id) + "field M_ZLIB: block 0: the CRC of its data is"};
     }},
    {"CompressedByteOfAValue",
     [](TOpenTable& t) -> std::vector<std::string> {
       const TQELRecordID id = t.Find(1);
       const auto [pageNo, offset] = SharedValue(t, test::kMemoField);
       // Inside block 0's compressed bytes.
       FlipByte(t, pageNo, offset + TQELCompressedBlockHeader::kSize + 4, 0xFF);
       return {RecordAt(t, id) + "field M_ZLIB: block 0"};
     }},
    {"ReferenceToAMissingSharedEntry",
     [](TOpenTable& t) -> std::vector<std::string> {
       const TQELRecordID id = t.Find(2);
       std::uint8_t* slot = t.Buffer.data() + t.Defs()[test::kBlobField].MemoryOffset();
       TQELBlobReference ref = TQELBlobReference::Load(slot);
       ref.EntryID = 999;
       ref.Store(slot);
       EXPECT_TRUE(t.Records().UpdateRecord(t.Session(), t.Buffer.data(), id));
       t.Commit();
       return {RecordAt(t, id) + QELFormat("field B_NONE: refers to entry 999 of BLOB page %d, which has no such entry",
                                           {ref.PageNo})};
     }},
    {"ReferenceToFreedPagesOfALargeValue",
     [](TOpenTable& t) -> std::vector<std::string> {
       const TQELRecordID id = t.Find(10);
       const TQELBlobReference ref =
           TQELBlobReference::Load(t.Buffer.data() + t.Defs()[test::kBlobField].MemoryOffset());
       EXPECT_EQ(ref.EntryID, blob_page::kLargeEntryID);
       // The value's pages go, the stored record keeps its reference.
       t.Table->BlobManager()->DeleteBlob(t.Session(), t.Buffer.data(), test::kBlobField);
       t.Commit();
       return {RecordAt(t, id) +
               QELFormat("field B_NONE: refers to BLOB page %d, which is not a page in use", {ref.PageNo})};
     }},
};

class DiskTableDamageTest : public DiskTableCheckTest, public ::testing::WithParamInterface<TDamage> {};

TEST_P(DiskTableDamageTest, IsNamedWithItsTableAndPageOrRecord) {
  std::vector<std::string> expected;
  {
    TOpenTable t(FPath, "");
    expected = GetParam().Apply(t);
  }
  const std::vector<TQELDiskTableSummary> tables = CheckFile(FPath, "");
  const std::string lines = FaultLines(tables);
  for (const std::string& line : expected) {
    EXPECT_NE(lines.find(line), std::string::npos) << "missing: " << line << "\nfound:\n" << lines;
  }
  // Table U is untouched.
  for (const TQELDiskTableSummary& table : tables) {
    if (table.Name == "U") {
      EXPECT_TRUE(table.Faults.empty());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Damage, DiskTableDamageTest, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST_F(DiskTableCheckTest, ATableThatCannotBeOpenedIsAFaultAndTheNextTableIsChecked) {
  std::int32_t metadataPage = -1;
  {
    TOpenTable t(FPath, "");
    metadataPage = t.Database.Catalog().GetTableInfo("T").MetadataStartPage;
  }
  {
    TQELDiskPageManager manager;
    manager.OpenDatabase(FPath, {});
    const std::vector<std::uint8_t> garbage(200, 0xA7);
    manager.WritePagePart(garbage.data(), metadataPage, 40, static_cast<std::int32_t>(garbage.size()));
    manager.CloseDatabase();
  }
  const std::vector<TQELDiskTableSummary> tables = CheckFile(FPath, "");
  ASSERT_EQ(tables.size(), 2u);
  for (const TQELDiskTableSummary& table : tables) {
    SCOPED_TRACE(table.Name);
    if (table.Name == "T") {
      EXPECT_FALSE(table.Opened);
      ASSERT_EQ(table.Faults.size(), 1u);
      EXPECT_EQ(FormatTableFault(table.Faults[0]).rfind("table T: cannot be opened: ", 0), 0u);
    } else {
      EXPECT_TRUE(table.Opened);
      EXPECT_TRUE(table.Faults.empty());
    }
  }
}

// Random bytes anywhere in the pages of a plain file: the check reports
// what it finds and never fails itself (the sanitizer build runs this too).
TEST_F(DiskTableCheckTest, RandomDamageNeverStopsTheCheck) {
  const std::vector<std::uint8_t> good = test::ReadFileBytes(FPath);
  const std::size_t firstPage = good.size() % test::kTablePageSize + 2 * test::kTablePageSize;
  std::mt19937 random(2024);
  std::size_t faulty = 0;
  for (int trial = 0; trial < 60; ++trial) {
    std::vector<std::uint8_t> bytes = good;
    const std::size_t at = firstPage + random() % (bytes.size() - firstPage - 16);
    for (std::size_t i = 0; i < 1 + random() % 16; ++i) bytes[at + i] = static_cast<std::uint8_t>(random());
    test::WriteFileBytes(FPath, bytes);
    try {
      faulty += !FaultLines(CheckFile(FPath, "")).empty();
    } catch (const EQELException&) {
      // The file's own system files may be what was hit: opening fails.
    }
  }
  EXPECT_GT(faulty, 0u);
}

}  // namespace
}  // namespace qel
