// The engine cursor on disk and memory tables: opening, reading, searching,
// editing in one session, BLOB streams, projections, field numbers and the
// table's DDL.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "disk/QELDiskCatalogCheck.h"
#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskFileCheck.h"
#include "disk/QELDiskTableCheck.h"
#include "engine/CursorTestSupport.h"
#include "platform/QELCollation.h"
#include "storage/QELMemoryTableData.h"
#include "storage/QELRecordData.h"
#include "support/ErrorSupport.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

using test::kCursorDescr;
using test::kCursorId;
using test::kCursorTerm;
using test::NativeErrorOf;
using test::TCursorOn;

// What the file check tool reports of a closed file: its faults (pages,
// catalog, tables), and its free pages.
struct TFileCheck {
  std::vector<std::string> Faults;
  std::int32_t FreePages = 0;
};

TFileCheck CheckFile(const std::string& fileName) {
  TFileCheck result;
  TQELDiskDatabaseData database(fileName);
  database.Open({}, {});
  const TQELDiskFileSummary file = CheckDiskFile(database.DiskPageManager());
  result.FreePages = file.FreePageCount;
  for (const TQELFileFault& fault : file.Faults) result.Faults.push_back(fault.Message);
  for (const TQELFileFault& fault : CheckDiskCatalog(database.DiskPageManager())) {
    result.Faults.push_back(fault.Message);
  }
  for (const TQELDiskTableSummary& table : CheckDiskTables(database)) {
    for (const TQELTableFault& fault : table.Faults) {
      result.Faults.push_back(table.Name + ": " + FormatTableFault(fault));
    }
  }
  database.CloseDatabase();
  return result;
}

// Each test runs on a database file and on the in-memory database.
using CursorTest = test::TGlossaryTableTest;

TEST_P(CursorTest, InsertsReadBackWithTheirMemosAndAreFoundByLocate) {
  for (std::int32_t id = 1; id <= 30; ++id) {
    ASSERT_EQ(Table->Insert(id, "istilah " + std::to_string(id), std::string(id * 10, 'm')), 0);
  }
  EXPECT_EQ(Table->Cursor.GetRecordCount(), 30);
  EXPECT_EQ(Ids().size(), 30U);
  ASSERT_TRUE(Table->Cursor.Locate({"TERM"}, {TCursorOn::Text("ISTILAH 17")}, false, true));
  EXPECT_EQ(Table->Id(), 17);
  EXPECT_EQ(Table->Memo(), std::string(170, 'm'));
  EXPECT_FALSE(Table->Cursor.Locate({"TERM"}, {TCursorOn::Text("ISTILAH 17")}, false, false));
  ASSERT_TRUE(Table->Cursor.Locate({"TERM"}, {TCursorOn::Text("istilah 2")}, true, false));
  EXPECT_EQ(Table->Term().rfind("istilah 2", 0), 0U);
}

TEST_P(CursorTest, RecordNumbersPositionTheRecordAnEditStartsFrom) {
  for (std::int32_t id = 1; id <= 5; ++id) ASSERT_EQ(Table->Insert(id, "t"), 0);
  TQELLocalCursor& cursor = Table->Cursor;
  cursor.SetIndexName("BY_ID");
  cursor.SetRecNo(4);
  EXPECT_EQ(Table->Id(), 4);
  EXPECT_EQ(cursor.GetRecNo(), 4);
  EXPECT_EQ(Table->UpdateTerm("keempat"), 0);
  ASSERT_TRUE(Table->Find(4));
  EXPECT_EQ(Table->Term(), "keempat");
  ASSERT_TRUE(Table->Find(3));
  EXPECT_EQ(Table->Term(), "t");
}

TEST_P(CursorTest, AnOpenBlobStreamIsNoChangeByAnotherSession) {
  ASSERT_EQ(Table->Insert(1, "basis data", "isi"), 0);
  ASSERT_TRUE(Table->Find(1));
  // A reader on the memo leaves a run-time handle in the buffer; the stored
  // record has none, and that must not count as someone else's change.
  TQELLocalBLOBStream* reader = Table->Cursor.OpenBlob(false, true, false, bmRead, kCursorDescr);
  ASSERT_NE(reader, nullptr);
  char first = 0;
  reader->Read(&first, 1);
  EXPECT_EQ(Table->UpdateTerm("basis data baru"), 0);
  ASSERT_TRUE(Table->Find(1));
  EXPECT_EQ(Table->Term(), "basis data baru");
  EXPECT_EQ(Table->Memo(), "isi");
  Table->Cursor.OpenBlob(false, false, true, bmRead, kCursorDescr);
  Table->Cursor.Delete();
  EXPECT_EQ(Table->Cursor.Status, 0);
  EXPECT_EQ(Table->Cursor.GetRecordCount(), 0);
}

TEST_P(CursorTest, OneWriterPerBlobFieldAndAnyNumberOfReaders) {
  ASSERT_EQ(Table->Insert(1, "a", "nilai"), 0);
  ASSERT_TRUE(Table->Find(1));
  TQELLocalCursor& cursor = Table->Cursor;
  TQELLocalBLOBStream* a = cursor.OpenBlob(false, false, true, bmRead, kCursorDescr);
  TQELLocalBLOBStream* b = cursor.OpenBlob(false, false, true, bmRead, kCursorDescr);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->GetSize(), 5);
  EXPECT_EQ(b->GetSize(), 5);
  EXPECT_EQ(NativeErrorOf([&] { a->Write("x", 1); }), 10115);
  EXPECT_EQ(NativeErrorOf([&] { a->SetSize(0); }), 10116);
  cursor.CloseBlob(kCursorDescr);
  cursor.OpenBlob(false, true, false, bmReadWrite, kCursorDescr);
  EXPECT_EQ(NativeErrorOf([&] { cursor.OpenBlob(false, true, false, bmWrite, kCursorDescr); }),
            10115);
  EXPECT_EQ(NativeErrorOf([&] { cursor.OpenBlob(false, true, false, bmReadWrite, kCursorDescr); }),
            10115);
  EXPECT_NE(cursor.OpenBlob(false, true, false, bmRead, kCursorDescr), nullptr);
  EXPECT_EQ(cursor.BlobStreams().size(), 2U);
  cursor.CloseBlobStreams(true);
  EXPECT_EQ(cursor.BlobStreams().size(), 1U);
  cursor.CloseBlobStreams(false);
  EXPECT_TRUE(cursor.BlobStreams().empty());
}

TEST_P(CursorTest, BadFieldNumbersAndBadInputRaiseTheirCodes) {
  ASSERT_EQ(Table->Insert(1, "a"), 0);
  TQELLocalCursor& cursor = Table->Cursor;
  const std::int32_t count = cursor.VisibleFieldDefs().Count();
  std::int32_t value = 0;
  TQELVariant variant;
  for (const std::int32_t bad : {-1, count, -1000000}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(NativeErrorOf([&] { cursor.GetFieldData(bad, &value, Table->Buffer); }), 10005);
    EXPECT_EQ(NativeErrorOf([&] { cursor.SetFieldData(bad, &value, Table->Buffer); }), 10006);
    EXPECT_EQ(NativeErrorOf([&] { cursor.GetFieldValue(variant, bad, true); }), 20191);
    EXPECT_EQ(NativeErrorOf([&] { cursor.GetFieldValue(variant, bad, false); }), 10317);
    EXPECT_EQ(NativeErrorOf([&] { cursor.SetFieldValue(variant, bad, Table->Buffer, true); }), 20192);
    EXPECT_EQ(NativeErrorOf([&] { cursor.SetFieldValue(variant, bad, Table->Buffer, false); }), 20193);
    EXPECT_EQ(NativeErrorOf([&] { cursor.OpenBlob(false, false, true, bmRead, bad); }), 10110);
    EXPECT_EQ(NativeErrorOf([&] { cursor.CloseBlob(bad); }), 10118);
    EXPECT_EQ(NativeErrorOf([&] { cursor.CopyFieldValue(bad, true, cursor, 0); }), 10501);
    EXPECT_EQ(NativeErrorOf([&] { cursor.CopyFieldValue(0, true, cursor, bad); }), 10502);
  }
  EXPECT_EQ(NativeErrorOf([&] { cursor.OpenBlob(false, false, true, bmRead, kCursorTerm); }), 10119);
  EXPECT_EQ(NativeErrorOf([&] { cursor.SetIndexName("NO_SUCH_INDEX"); }), 20023);
  EXPECT_EQ(NativeErrorOf([&] { cursor.DropIndex("NO_SUCH_INDEX"); }), 20021);
  EXPECT_EQ(NativeErrorOf([&] { cursor.Locate({"NOPE"}, {TCursorOn::Integer(1)}, false, false); }),
            20302);
  EXPECT_EQ(NativeErrorOf([&] { cursor.Locate({"ID"}, {}, false, false); }), 20303);
  // Without a filter factory (the expression layer installs one when it is
  // linked in).
  const TQELCursorFilterFactory installed = TQELCursor::FilterFactory();
  TQELCursor::SetFilterFactory(nullptr);
  EXPECT_EQ(NativeErrorOf([&] { cursor.SetFilter("ID = 1", false, false); }), 20300);
  TQELCursor::SetFilterFactory(installed);
  TCursorOn blank(*Session, "  ");
  EXPECT_EQ(NativeErrorOf([&] { blank.Cursor.Open({}, {}, {}); }), 20153);
  EXPECT_EQ(NativeErrorOf([&] { blank.Cursor.CreateTable(test::GlossaryFields(), {}, {}); }), 20153);
  // The record is as it was.
  ASSERT_TRUE(Table->Find(1));
  EXPECT_EQ(Table->Term(), "a");
}

TEST_P(CursorTest, ADamagedBlobReferenceRaisesInsteadOfReading) {
  ASSERT_EQ(Table->Insert(1, "a", "nilai"), 0);
  ASSERT_TRUE(Table->Find(1));
  const TQELFieldDef& memo = Table->Cursor.FieldDefs()[kCursorDescr];
  std::memset(Table->Buffer + memo.MemoryOffset(), 0x5A,
              static_cast<std::size_t>(memo.MemoryDataSize()));
  EXPECT_NE(NativeErrorOf([&] { Table->Cursor.OpenBlob(false, false, false, bmRead, kCursorDescr); }),
            0);
  ASSERT_TRUE(Table->Find(1));
  EXPECT_EQ(Table->Memo(), "nilai");
}

TEST_P(CursorTest, ProjectionsNameTheirFieldsAndReadTheSourceFields) {
  ASSERT_EQ(Table->Insert(7, "kunci"), 0);
  TQELLocalCursor& cursor = Table->Cursor;
  EXPECT_EQ(NativeErrorOf([&] { cursor.SetProjection({"ID"}, {"A", "B"}); }), 10321);
  EXPECT_EQ(NativeErrorOf([&] { cursor.SetProjection({}, {}); }), 10322);
  EXPECT_EQ(NativeErrorOf([&] { cursor.SetProjection({"ID", "NOPE"}, {"", ""}); }), 10323);
  EXPECT_EQ(cursor.VisibleFieldDefs().Count(), 3);  // a failed projection changes nothing
  cursor.SetProjection({"TERM", "ID", "TERM"}, {"A", "A", ""});
  ASSERT_EQ(cursor.VisibleFieldDefs().Count(), 3);
  EXPECT_EQ(cursor.VisibleFieldDefs()[0].Name(), "A");
  EXPECT_EQ(cursor.VisibleFieldDefs()[1].Name(), "A_1");
  EXPECT_EQ(cursor.VisibleFieldDefs()[2].Name(), "TERM");
  ASSERT_TRUE(cursor.Locate({"A_1"}, {TCursorOn::Integer(7)}, false, false));
  std::int32_t id = 0;
  ASSERT_TRUE(cursor.GetFieldData(1, &id, Table->Buffer));
  EXPECT_EQ(id, 7);
  TQELVariant term;
  cursor.GetFieldValue(term, 0, true);
  EXPECT_EQ(term.AsString(), "kunci");
  EXPECT_EQ(NativeErrorOf([&] { cursor.GetFieldData(3, &id, Table->Buffer); }), 10005);
}

TEST_P(CursorTest, CopyFieldValueMovesValuesBlobsAndNullsBetweenCursors) {
  ASSERT_EQ(Table->Insert(3, "salin", std::string(5000, 'q')), 0);
  TCursorOn copy(*Session, "SALINAN");
  copy.Create();
  copy.Open();
  ASSERT_TRUE(Table->Find(3));
  copy.Cursor.InitRecord(copy.Buffer, true);
  for (std::int32_t field = 0; field < 3; ++field) {
    Table->Cursor.CopyFieldValue(field, true, copy.Cursor, field);
  }
  copy.Cursor.Post(true);
  ASSERT_EQ(copy.Cursor.Status, 0);
  ASSERT_TRUE(copy.Find(3));
  EXPECT_EQ(copy.Term(), "salin");
  EXPECT_EQ(copy.Memo(), std::string(5000, 'q'));
  copy.Free();
  copy.Cursor.Close();
  copy.Cursor.DeleteTable();
}

TEST_P(CursorTest, RangesAndDistinctFieldsRestrictTheWalk) {
  const char* const terms[] = {"data", "Data", "database", "dokumen", "indeks", "data"};
  for (std::int32_t id = 0; id < 6; ++id) ASSERT_EQ(Table->Insert(id, terms[id]), 0);
  TQELLocalCursor& cursor = Table->Cursor;
  cursor.SetIndexName("BY_TERM");
  std::uint8_t* start = cursor.AllocRecordBuffer();
  std::uint8_t* end = cursor.AllocRecordBuffer();
  cursor.InitRecord(start, false);
  cursor.InitRecord(end, false);
  std::string low = "d", high = "data";
  low.resize(41, '\0');
  high.resize(41, '\0');
  cursor.SetFieldData(kCursorTerm, low.data(), start);
  cursor.SetFieldData(kCursorTerm, high.data(), end);
  cursor.SetRange(start, end, false, false, 1, 1);
  std::multiset<std::string> seen;
  cursor.First();
  while (cursor.GetRecord(grmNext) == grOK) seen.insert(Table->Term());
  EXPECT_EQ(seen, (std::multiset<std::string>{"data", "Data", "data"}));
  EXPECT_EQ(cursor.GetRecordCount(), 3);
  cursor.CancelRange();
  EXPECT_EQ(cursor.GetRecordCount(), 6);
  cursor.SetDistinctFields({"TERM"}, {"ASC"}, {"NO_CASE"});
  std::set<std::string> groups;
  cursor.First();
  while (cursor.GetRecord(grmNext) == grOK) groups.insert(QELUpperCase(Table->Term()));
  EXPECT_EQ(groups, (std::set<std::string>{"DATA", "DATABASE", "DOKUMEN", "INDEKS"}));
  EXPECT_EQ(cursor.GetRecordCount(), 4);
  cursor.FreeRecordBuffer(start);
  cursor.FreeRecordBuffer(end);
}

TEST_P(CursorTest, LocateConditionUsesTheComparisonAsked) {
  for (std::int32_t id = 1; id <= 9; ++id) ASSERT_EQ(Table->Insert(id * 10, "t"), 0);
  TQELLocalCursor& cursor = Table->Cursor;
  cursor.SetIndexName("BY_ID");
  const struct {
    TQELSearchConditionType Kind;
    std::int32_t Value;
    std::int32_t Expected;  // -1: nothing found
  } cases[] = {
      {sctEqual, 40, 40},        {sctEqual, 45, -1},         {sctGreater, 40, 50},
      {sctGreaterOrEqual, 40, 40}, {sctLess, 40, 10},        {sctLessOrEqual, 5, -1},
      {sctGreater, 90, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Value);
    const bool found = cursor.LocateCondition("ID", c.Kind, TCursorOn::Integer(c.Value));
    EXPECT_EQ(found ? Table->Id() : -1, c.Expected);
  }
  TQELVariant null;
  EXPECT_FALSE(cursor.LocateCondition("ID", sctEqual, null));
}

// A filter text the expression layer would parse: "TERM starts with X".
class TTermPrefixFilter final : public TQELRecordFilter {
 public:
  TTermPrefixFilter(const TQELCursor& cursor, std::string prefix)
      : FCursor(cursor), FPrefix(std::move(prefix)) {}
  bool Matches(const std::uint8_t* record) override {
    char term[41] = {};
    return FCursor.GetFieldData(kCursorTerm, term, record) &&
           std::string(term).rfind(FPrefix, 0) == 0;
  }

 private:
  const TQELCursor& FCursor;
  std::string FPrefix;
};

// Term-prefix filters for the cursors' filter texts while it lives; the
// factory installed before comes back afterwards.
class TTermPrefixFactory {
 public:
  TTermPrefixFactory() : FInstalled(TQELCursor::FilterFactory()) {
    TQELCursor::SetFilterFactory([](TQELCursor& cursor, const std::string& text, bool, bool) {
      return std::unique_ptr<TQELRecordFilter>(std::make_unique<TTermPrefixFilter>(cursor, text));
    });
  }
  ~TTermPrefixFactory() { TQELCursor::SetFilterFactory(FInstalled); }
  TTermPrefixFactory(const TTermPrefixFactory&) = delete;
  TTermPrefixFactory& operator=(const TTermPrefixFactory&) = delete;

 private:
  TQELCursorFilterFactory FInstalled;
};

// Ten records: "kata0", "kata3", "kata6", "kata9" and six "lain".
void InsertTenTerms(TCursorOn& table) {
  for (std::int32_t id = 0; id < 10; ++id) {
    ASSERT_EQ(table.Insert(id, id % 3 == 0 ? "kata" + std::to_string(id) : "lain"), 0);
  }
}

TEST_P(CursorTest, FiltersComeFromTheInstalledFactoryAndValuesAsVariants) {
  InsertTenTerms(*Table);
  TQELLocalCursor& cursor = Table->Cursor;
  {
    TTermPrefixFactory prefixes;
    cursor.SetFilter("kata", false, false);
  }
  EXPECT_EQ(cursor.GetRecordCount(), 4);
  EXPECT_EQ(Ids(), (std::set<std::int32_t>{0, 3, 6, 9}));
  cursor.ClearFilter();
  EXPECT_EQ(cursor.GetRecordCount(), 10);

  // A memo written and read as a whole value.
  ASSERT_TRUE(Table->Find(3));
  std::memcpy(Table->Old, Table->Buffer, static_cast<std::size_t>(cursor.BufferSize()));
  cursor.Edit();
  ASSERT_EQ(cursor.Status, 0);
  cursor.SetFieldValue(TCursorOn::Text("uraian istilah"), kCursorDescr, Table->Buffer, true);
  cursor.OldRecordBuffer = Table->Old;
  cursor.Post(false);
  ASSERT_EQ(cursor.Status, 0);
  ASSERT_TRUE(Table->Find(3));
  TQELVariant memo;
  cursor.GetFieldValue(memo, kCursorDescr, true);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(memo.Data()),
                        static_cast<std::size_t>(memo.DataSize())),
            "uraian istilah");
  EXPECT_EQ(Table->Memo(), "uraian istilah");
}

// A filtered walk settles its conditions at its first step and keeps them
// for the next ones: a new filter, or a change to the table, is taken up by
// the very next step.
TEST_P(CursorTest, AFilteredWalkFollowsNewFiltersAndNewRecords) {
  InsertTenTerms(*Table);
  TTermPrefixFactory prefixes;
  TQELLocalCursor& cursor = Table->Cursor;
  const auto next = [&] { return cursor.GetRecord(grmNext) == grOK ? Table->Id() : -1; };
  cursor.SetFilter("kata", false, false);
  cursor.First();
  EXPECT_EQ(next(), 0);
  EXPECT_EQ(next(), 3);
  // The walk goes on from id 3 under the new filter.
  cursor.SetFilter("lain", false, false);
  EXPECT_EQ(next(), 4);
  EXPECT_EQ(next(), 5);
  cursor.SetFilter("kata", false, false);
  EXPECT_EQ(Ids(), (std::set<std::int32_t>{0, 3, 6, 9}));
  ASSERT_EQ(Table->Insert(12, "kata12"), 0);
  EXPECT_EQ(Ids(), (std::set<std::int32_t>{0, 3, 6, 9, 12}));
}

TEST_P(CursorTest, CancelledEditsAndInsertsKeepNoBlobValue) {
  ASSERT_EQ(Table->Insert(1, "a", "tersimpan"), 0);
  auto* memory = dynamic_cast<TQELMemoryTableData*>(Table->Cursor.TableData());
  const std::size_t blocks = memory != nullptr ? memory->BlobBlockCount() : 0;
  ASSERT_TRUE(Table->Find(1));
  Table->Cursor.Edit();
  ASSERT_EQ(Table->Cursor.Status, 0);
  Table->WriteMemo("tidak jadi", false);
  Table->Cursor.Cancel(false);
  Table->Cursor.InitRecord(Table->Buffer, true);
  Table->WriteMemo("juga tidak jadi", true);
  Table->Cursor.Cancel(true);
  if (memory != nullptr) {
    EXPECT_EQ(memory->BlobBlockCount(), blocks);
  }
  ASSERT_TRUE(Table->Find(1));
  EXPECT_EQ(Table->Memo(), "tersimpan");
  EXPECT_EQ(Table->Cursor.GetRecordCount(), 1);
}

TEST_P(CursorTest, RenameAndReplaceTheTable) {
  ASSERT_EQ(Table->Insert(1, "a"), 0);
  Table->Free();
  TQELLocalCursor& cursor = Table->Cursor;
  TCursorOn other(*Session, "LAIN");
  other.Create();
  EXPECT_EQ(NativeErrorOf([&] { cursor.RenameTable("lain"); }), 30451);
  EXPECT_EQ(NativeErrorOf([&] { cursor.RenameTable("GLOSARIUM"); }), 30452);
  cursor.RenameTable("Glosarium");
  EXPECT_EQ(cursor.TableName(), "Glosarium");
  EXPECT_FALSE(cursor.Active);
  Table->Open();
  EXPECT_EQ(cursor.GetRecordCount(), 1);
  Table->Free();
  cursor.Close();
  // CreateTable on an existing name replaces the table.
  Table->Create();
  Table->Open();
  EXPECT_EQ(cursor.GetRecordCount(), 0);
  Table->Free();
  cursor.Close();
  TCursorOn missing(*Session, "TIDAK_ADA");
  EXPECT_EQ(NativeErrorOf([&] { missing.Cursor.DeleteTable(); }), 20132);
  EXPECT_EQ(NativeErrorOf([&] { missing.Cursor.EmptyTable(); }), 20133);
  EXPECT_EQ(NativeErrorOf([&] { missing.Cursor.RenameTable("X"); }), 20134);
  other.Cursor.DeleteTable();
  Table->Open();
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, CursorTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Disk" : "Memory"; });

class CursorFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto session = test::OpenSession("KUVO", FileName);
    session->CreateDatabase();
    session->SetConnected(true);
    TCursorOn table(*session);
    table.Create();
  }

  test::TScratchDir Dir;
  std::string FileName = Dir.File("kuvo.qel");
};

TEST_F(CursorFileTest, AMegabyteMemoReadsBackAfterReopeningAndTheFileChecksClean) {
  std::string memo;
  for (std::uint32_t i = 0; memo.size() < (1U << 20); ++i) {
    memo += "kata" + std::to_string(i * 2654435761U % 100000) + ' ';
  }
  memo.resize(1U << 20);
  {
    auto session = test::OpenSession("KUVO", FileName);
    TCursorOn table(*session);
    table.Open();
    ASSERT_EQ(table.Insert(1, "besar", memo), 0);
  }
  {
    auto session = test::OpenSession("KUVO", FileName);
    TCursorOn table(*session);
    table.Open();
    ASSERT_TRUE(table.Find(1));
    EXPECT_TRUE(table.Memo() == memo);
  }
  EXPECT_TRUE(CheckFile(FileName).Faults.empty());
}

TEST_F(CursorFileTest, ACancelledInsertWithAMemoTakesNoPage) {
  {
    auto session = test::OpenSession("KUVO", FileName);
    TCursorOn table(*session);
    table.Open();
    ASSERT_EQ(table.Insert(1, "a", "kecil"), 0);
  }
  const TFileCheck before = CheckFile(FileName);
  {
    auto session = test::OpenSession("KUVO", FileName);
    TCursorOn table(*session);
    table.Open();
    table.Cursor.InitRecord(table.Buffer, true);
    std::int32_t id = 2;
    table.Cursor.SetFieldData(kCursorId, &id, table.Buffer);
    table.WriteMemo(std::string(300000, 'z'), true);
    table.Cursor.Cancel(true);
    EXPECT_EQ(table.Cursor.GetRecordCount(), 1);
  }
  const TFileCheck after = CheckFile(FileName);
  EXPECT_TRUE(after.Faults.empty());
  EXPECT_EQ(after.FreePages, before.FreePages);
}

TEST_F(CursorFileTest, ReplacingATableLeavesTheFileClean) {
  auto session = test::OpenSession("KUVO", FileName);
  {
    TCursorOn table(*session);
    table.Open();
    for (std::int32_t id = 0; id < 50; ++id) ASSERT_EQ(table.Insert(id, "x", std::string(3000, 'b')), 0);
  }
  {
    TCursorOn table(*session);
    table.Create();
    table.Open();
    EXPECT_EQ(table.Cursor.GetRecordCount(), 0);
    ASSERT_EQ(table.Insert(1, "y", "baru"), 0);
  }
  session->SetConnected(false);
  const TFileCheck check = CheckFile(FileName);
  EXPECT_TRUE(check.Faults.empty()) << (check.Faults.empty() ? "" : check.Faults.front());
}

TEST_F(CursorFileTest, AFileThatIsNotADatabaseIsRefused) {
  const std::string junk = Dir.File("bukan.qel");
  {
    std::FILE* file = std::fopen(junk.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    const std::string text(9000, 'j');
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }
  auto session = test::OpenSession("KUVO", junk);
  TCursorOn table(*session);
  EXPECT_NE(NativeErrorOf([&] { table.Cursor.Open({}, {}, {}); }), 0);
  EXPECT_FALSE(session->GetConnected());
}

}  // namespace
}  // namespace qel
