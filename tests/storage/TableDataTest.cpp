// TQELTableData through the test storage kind: navigation in natural and
// index order, record numbers, inserts, updates and deletes keeping every
// index and the cursor's position right, restricted cursors (range,
// filter, callback, distinct keys) with their bitmaps, searches, and the
// table's DDL with its errors.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "storage/QELRecordSearch.h"
#include "storage/QELTableCheck.h"
#include "support/ErrorSupport.h"
#include "TableTestSupport.h"

namespace qel {
namespace {

using test::NativeErrorOf;

constexpr std::int32_t kID = 0;
constexpr std::int32_t kName = 1;
constexpr std::int32_t kGroup = 2;

// A filter on the group field, as an expression of the SQL layer would be.
class TGroupFilter final : public TQELRecordFilter {
 public:
  TGroupFilter(const TQELFieldDefs& defs, std::int32_t group) : FDefs(defs), FGroup(group) {}
  bool Matches(const std::uint8_t* record) override {
    std::int32_t value = 0;
    return GetFieldData(kGroup, FDefs, &value, record) && value == FGroup;
  }

 private:
  const TQELFieldDefs& FDefs;
  std::int32_t FGroup;
};

class TableDataTest : public ::testing::Test {
 protected:
  // ID integer, NAME string(20), GRP integer; indexes created afterwards so
  // that they derive their constraints.
  void SetUp() override {
    T.Fields.Add("ID", aftInteger, 0);
    T.Fields.Add("NAME", aftString, 20);
    T.Fields.Add("GRP", aftInteger, 0);
    T.Create();
  }
  std::int32_t AddIndex(const std::string& name, const std::string& field, bool unique = false,
                        bool descending = false) {
    TQELIndexDef def;
    def.SetName(name);
    def.AddColumn(field, descending);
    def.Unique = unique;
    return T.Table->CreateIndex(def, T.Cursor);
  }
  void Insert(std::int32_t id, const std::string& name, std::int32_t group) {
    T.Clear();
    T.SetInt(kID, id);
    T.SetText(kName, name);
    T.SetInt(kGroup, group);
    ASSERT_TRUE(T.InsertChecked());
  }
  // Ids read by walking the cursor from one end to the other.
  std::vector<std::int32_t> Walk(bool forward) {
    T.Cursor.BeforeFirst = forward;
    T.Cursor.AfterLast = !forward;
    std::vector<std::int32_t> ids;
    while (T.Table->GetRecord(T.Cursor, forward ? grmNext : grmPrior) == grOK) {
      ids.push_back(T.Int(kID));
    }
    return ids;
  }
  void ExpectConsistent() {
    const std::vector<std::string> faults = CheckTableIndexes(*T.Table, T.Cursor.SessionID());
    EXPECT_TRUE(faults.empty()) << faults.front();
  }
  // Moves the cursor onto the record with this id (natural order walk).
  void MoveTo(std::int32_t id) {
    const std::int32_t active = T.Cursor.IndexID;
    T.Cursor.IndexID = -1;
    T.Cursor.BeforeFirst = true;
    while (T.Table->GetRecord(T.Cursor, grmNext) == grOK && T.Int(kID) != id) {
    }
    T.Cursor.IndexID = active;
    ASSERT_EQ(T.Int(kID), id);
  }

  test::TTableFixture T;
};

TEST_F(TableDataTest, EmptyTableAnswersEofForEveryMode) {
  for (const TQELGetRecordMode mode : {grmCurrent, grmNext, grmPrior}) {
    EXPECT_EQ(T.Table->GetRecord(T.Cursor, mode), grEOF);
  }
  EXPECT_EQ(T.Table->GetRecNo(T.Cursor), -1);
  EXPECT_EQ(T.Table->GetRecordCount(T.Cursor), 0);
}

TEST_F(TableDataTest, WalksNaturalAndIndexOrderBothWays) {
  const std::int32_t byName = AddIndex("BY_NAME", "NAME");
  const std::vector<std::pair<std::int32_t, std::string>> rows = {
      {1, "delta"}, {2, "alpha"}, {3, "echo"}, {4, "charlie"}, {5, "bravo"}};
  for (const auto& [id, name] : rows) Insert(id, name, 0);

  EXPECT_EQ(Walk(true), (std::vector<std::int32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(Walk(false), (std::vector<std::int32_t>{5, 4, 3, 2, 1}));
  T.Cursor.IndexID = byName;
  EXPECT_EQ(Walk(true), (std::vector<std::int32_t>{2, 5, 4, 1, 3}));
  EXPECT_EQ(Walk(false), (std::vector<std::int32_t>{3, 1, 4, 5, 2}));
}

TEST_F(TableDataTest, RecordNumbersInNaturalAndIndexOrder) {
  const std::int32_t byGroup = AddIndex("BY_GRP", "GRP", false, true);
  for (std::int32_t id = 1; id <= 6; ++id) Insert(id, "n", id * 10);
  T.Cursor.BeforeFirst = true;
  EXPECT_EQ(T.Table->GetRecNo(T.Cursor), -1);

  T.Table->SetRecNo(T.Cursor, 3);
  EXPECT_EQ(T.Int(kID), 3);
  EXPECT_EQ(T.Table->GetRecNo(T.Cursor), 3);
  T.Table->SetRecNo(T.Cursor, 100);  // clamped to the last record
  EXPECT_EQ(T.Int(kID), 6);

  T.Cursor.IndexID = byGroup;  // descending: 60, 50, ...
  T.Table->SetRecNo(T.Cursor, 2);
  EXPECT_EQ(T.Int(kID), 5);
  EXPECT_EQ(T.Table->GetRecNo(T.Cursor), 2);
  T.Table->SetRecNo(T.Cursor, 100);
  EXPECT_EQ(T.Int(kID), 1);
}

TEST_F(TableDataTest, DeletingLeavesTheCursorOnTheNextElsePreviousElseBeforeFirst) {
  AddIndex("BY_ID", "ID", true);
  for (std::int32_t id = 1; id <= 3; ++id) Insert(id, "n", 0);

  MoveTo(2);
  ASSERT_TRUE(T.Table->DeleteRecord(T.Cursor));
  EXPECT_EQ(T.Int(kID), 3);
  EXPECT_FALSE(T.Cursor.BeforeFirst || T.Cursor.AfterLast);

  ASSERT_TRUE(T.Table->DeleteRecord(T.Cursor));  // the last one
  EXPECT_EQ(T.Int(kID), 1);
  EXPECT_FALSE(T.Cursor.BeforeFirst || T.Cursor.AfterLast);

  ASSERT_TRUE(T.Table->DeleteRecord(T.Cursor));  // the only one
  EXPECT_TRUE(T.Cursor.BeforeFirst);
  EXPECT_EQ(T.Table->GetRecordCount(T.Cursor), 0);
  ExpectConsistent();
}

TEST_F(TableDataTest, ChangesKeepEveryIndexInStep) {
  const std::int32_t byGroup = AddIndex("BY_GRP", "GRP");
  AddIndex("BY_ID", "ID", true);
  AddIndex("BY_NAME", "NAME");
  std::map<std::int32_t, std::int32_t> model;  // id -> group
  for (std::int32_t id = 0; id < 300; ++id) {
    Insert(id, "name" + std::to_string(id % 17), (id * 7) % 50);
    model[id] = (id * 7) % 50;
  }
  // Update every third record's group and name, delete every fifth.
  for (std::int32_t id = 0; id < 300; id += 3) {
    MoveTo(id);
    T.SetInt(kGroup, 1000 - id);
    T.SetText(kName, "renamed");
    ASSERT_TRUE(T.Table->UpdateRecord(T.Cursor));
    model[id] = 1000 - id;
  }
  for (std::int32_t id = 0; id < 300; id += 5) {
    MoveTo(id);
    ASSERT_TRUE(T.Table->DeleteRecord(T.Cursor));
    model.erase(id);
  }
  ExpectConsistent();
  EXPECT_EQ(T.Table->GetRecordCount(T.Cursor), static_cast<std::int64_t>(model.size()));

  // The group index walks the groups in order.
  T.Cursor.IndexID = byGroup;
  std::vector<std::int32_t> groups;
  T.Cursor.BeforeFirst = true;
  while (T.Table->GetRecord(T.Cursor, grmNext) == grOK) groups.push_back(T.Int(kGroup));
  std::vector<std::int32_t> expected;
  for (const auto& [id, group] : model) expected.push_back(group);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(groups, expected);
}

TEST_F(TableDataTest, DuplicateUniqueKeyFailsAndChangesNothing) {
  AddIndex("BY_ID", "ID", true);
  AddIndex("BY_GRP", "GRP");
  Insert(1, "a", 5);
  Insert(2, "b", 6);
  T.Clear();
  T.SetInt(kID, 2);
  T.SetInt(kGroup, 7);
  EXPECT_EQ(NativeErrorOf([&] { T.InsertChecked(); }), 30320);
  EXPECT_EQ(T.Table->GetRecordCount(T.Cursor), 2);
  ExpectConsistent();
}

TEST_F(TableDataTest, RestrictedCursorsCountAndMoveThroughTheirBitmap) {
  const std::int32_t byGroup = AddIndex("BY_GRP", "GRP");
  for (std::int32_t id = 0; id < 40; ++id) Insert(id, "n", id % 8);

  // Range 2..4 on the group index: 15 records, walked in group order.
  T.Cursor.IndexID = byGroup;
  const auto low = T.IntKey({{kGroup, 2}});
  const auto high = T.IntKey({{kGroup, 4}});
  T.Cursor.Range = {low.data(), 1, false, high.data(), 1, false};
  EXPECT_EQ(T.Table->GetRecordCount(T.Cursor), 15);
  std::vector<std::int32_t> seen;
  T.Cursor.BeforeFirst = true;
  while (T.Table->GetRecord(T.Cursor, grmNext) == grOK) seen.push_back(T.Int(kGroup));
  ASSERT_EQ(seen.size(), 15u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(seen.front(), 2);
  EXPECT_EQ(seen.back(), 4);
  T.Table->SetRecNo(T.Cursor, 6);  // the first record of group 3
  EXPECT_EQ(T.Int(kGroup), 3);
  EXPECT_EQ(T.Table->GetRecNo(T.Cursor), 6);

  // Exclusive bounds leave only group 3.
  T.Cursor.Range.StartExclusive = true;
  T.Cursor.Range.EndExclusive = true;
  T.Cursor.RestrictionsChanged();
  EXPECT_EQ(T.Table->GetRecordCount(T.Cursor), 5);

  // A filter without index: the count goes through a bitmap by record
  // number; a record inserted that fails the filter is stored and indexed
  // but not counted.
  T.Cursor.Range = {};
  T.Cursor.IndexID = -1;
  TGroupFilter onlyFive(T.Defs(), 5);
  T.Cursor.Filter = &onlyFive;
  T.Cursor.RestrictionsChanged();
  EXPECT_EQ(T.Table->GetRecordCount(T.Cursor), 5);
  Insert(100, "n", 6);
  EXPECT_EQ(T.Table->GetRecordCount(T.Cursor), 5);
  Insert(101, "n", 5);
  EXPECT_EQ(T.Table->GetRecordCount(T.Cursor), 6);
  T.Cursor.Filter = nullptr;
  EXPECT_EQ(T.Table->GetRecordCount(T.Cursor), 42);
  ExpectConsistent();

  // A callback sees a copy and can veto records.
  T.Cursor.FilterCallback = [&](const std::uint8_t* record, const TQELRecordID&) {
    std::int32_t id = 0;
    GetFieldData(kID, T.Defs(), &id, record);
    return id % 10 == 0;
  };
  T.Cursor.RestrictionsChanged();
  EXPECT_EQ(T.Table->GetRecordCount(T.Cursor), 5);  // 0, 10, 20, 30, 100
  EXPECT_EQ(Walk(false), (std::vector<std::int32_t>{100, 30, 20, 10, 0}));
}

TEST_F(TableDataTest, DistinctCursorShowsOneRecordPerKey) {
  const std::int32_t byGroup = AddIndex("BY_GRP", "GRP");
  for (std::int32_t id = 0; id < 30; ++id) Insert(id, "n", id % 4);
  T.Cursor.IndexID = byGroup;
  T.Cursor.DistinctFieldCount = 1;
  EXPECT_EQ(T.Table->GetRecordCount(T.Cursor), 4);
  std::vector<std::int32_t> groups;
  T.Cursor.BeforeFirst = true;
  while (T.Table->GetRecord(T.Cursor, grmNext) == grOK) groups.push_back(T.Int(kGroup));
  EXPECT_EQ(groups, (std::vector<std::int32_t>{0, 1, 2, 3}));
  std::vector<std::int32_t> back;
  T.Cursor.AfterLast = true;
  while (T.Table->GetRecord(T.Cursor, grmPrior) == grOK) back.push_back(T.Int(kGroup));
  EXPECT_EQ(back, (std::vector<std::int32_t>{3, 2, 1, 0}));
}

TEST_F(TableDataTest, LocateAndSearchKeyPositionTheCursor) {
  const std::int32_t byID = AddIndex("BY_ID", "ID", true);
  for (std::int32_t id = 0; id < 50; id += 5) Insert(id, "n", id / 10);

  TGroupFilter groupThree(T.Defs(), 3);
  ASSERT_TRUE(T.Table->LocateRecord(T.Cursor, &groupThree));
  EXPECT_EQ(T.Int(kID), 30);
  TGroupFilter none(T.Defs(), 99);
  EXPECT_FALSE(T.Table->LocateRecord(T.Cursor, &none));
  EXPECT_EQ(NativeErrorOf([&] { T.Table->LocateRecord(T.Cursor, nullptr); }), 10272);

  // Without an active index a key search has nothing to search by.
  const auto key = T.IntKey({{kID, 23}});
  T.Cursor.SearchKeyBuffer = key.data();
  T.Cursor.SearchKeyFieldCount = 1;
  EXPECT_EQ(NativeErrorOf([&] { T.Table->SearchKey(T.Cursor, sctEqual); }), 20258);

  T.Cursor.IndexID = byID;
  EXPECT_FALSE(T.Table->SearchKey(T.Cursor, sctEqual));
  ASSERT_TRUE(T.Table->SearchKey(T.Cursor, sctGreaterOrEqual));
  EXPECT_EQ(T.Int(kID), 25);
  ASSERT_TRUE(T.Table->SearchKey(T.Cursor, sctLess));
  EXPECT_EQ(T.Int(kID), 0);  // the first record in index order below 23
}

TEST_F(TableDataTest, TableAndFieldDdlErrors) {
  test::TTableFixture other;
  EXPECT_EQ(NativeErrorOf([&] { T.Table->RenameTable("U", T.Cursor); }), 10150);
  EXPECT_EQ(NativeErrorOf([&] { T.Table->DeleteTable(T.Cursor, false); }), 20017);
  T.Table->RemoveCursor(&T.Cursor);
  T.Table->RenameTable("U", T.Cursor);
  EXPECT_EQ(T.Table->TableName(), "U");
  T.Table->DeleteTable(T.Cursor, false);

  EXPECT_EQ(NativeErrorOf([&] { T.Table->RenameField("MISSING", "X"); }), 30343);
  EXPECT_EQ(NativeErrorOf([&] { T.Table->RenameField("ID", "name"); }), 30344);
  AddIndex("BY_NAME", "NAME");
  T.Table->RenameField("NAME", "TITLE");
  EXPECT_EQ(T.Table->IndexManager()->IndexDefs().FindIndexByName("BY_NAME")->Columns(0).FieldName,
            "TITLE");
  Insert(1, "x", 0);  // the index still finds its field
  ExpectConsistent();

  // A table without fields gives no cursor geometry.
  TQELTableCursor cursor("EMPTY");
  auto* empty = static_cast<test::TTestTableData*>(other.Database.GetTableData(&cursor));
  EXPECT_EQ(NativeErrorOf([&] {
              empty->CreateTable(cursor, TQELFieldDefs(), TQELConstraintDefs(), TQELIndexDefs());
            }),
            10131);
}

TEST_F(TableDataTest, IndexesComeAndGoWithTheirConstraints) {
  for (std::int32_t id = 0; id < 20; ++id) Insert(id, "n", id % 3);
  const std::int32_t byID = AddIndex("BY_ID", "ID", true);
  ExpectConsistent();  // built from the records already there
  ASSERT_EQ(T.Table->ConstraintManager()->ConstraintDefs().Count(), 1);

  // A unique index over duplicate keys cannot be built; nothing remains.
  const std::int32_t indexCount = T.Table->IndexManager()->IndexDefs().Count();
  EXPECT_EQ(NativeErrorOf([&] { AddIndex("BY_GRP_UNIQUE", "GRP", true); }), 30320);
  EXPECT_EQ(T.Table->IndexManager()->IndexDefs().Count(), indexCount);

  T.Table->DropIndex(byID, T.Cursor);
  EXPECT_EQ(T.Table->ConstraintManager()->ConstraintDefs().Count(), 0);
  EXPECT_EQ(T.Table->IndexManager()->IndexDefs().Count(), indexCount - 1);
}

TEST_F(TableDataTest, TemporaryIndexesServeSortsAndStayCurrent) {
  for (std::int32_t id = 0; id < 20; ++id) Insert(id, "n" + std::to_string(19 - id), 0);
  TQELIndexColumnRequest byName{{"NAME"}, {"DESC"}, {"CASE"}};
  const std::int32_t temporary = T.Table->CreateTemporaryIndex(T.Cursor, byName);
  EXPECT_EQ(T.Table->CreateTemporaryIndex(T.Cursor, byName), temporary);  // found again
  const TQELIndexDef* def = T.Table->IndexManager()->IndexDefs().FindByID(temporary);
  ASSERT_NE(def, nullptr);
  EXPECT_TRUE(def->Temporary);
  EXPECT_EQ(def->Name().rfind("TEMPORARY_INDEX_", 0), 0u);

  Insert(50, "zzz", 0);
  ExpectConsistent();
  bool rebuilt = true;
  T.Table->IndexManager()->RebuildStaleIndexes(T.Cursor.SessionID(), rebuilt);
  EXPECT_FALSE(rebuilt);  // kept current by the insert
  T.Cursor.IndexID = temporary;
  EXPECT_EQ(Walk(true).front(), 50);
}

}  // namespace
}  // namespace qel

namespace qel {
namespace {

// One table of 100 000 records shared by the access-path tests: ID unique
// and indexed, GRP indexed, NAME not.
class AccessPathScanTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Table = new test::TTableFixture();
    Table->Fields.Add("ID", aftInteger, 0);
    Table->Fields.Add("NAME", aftString, 20);
    Table->Fields.Add("GRP", aftInteger, 0);
    Table->Create();
    TQELIndexDef byID;
    byID.SetName("BY_ID");
    byID.AddColumn("ID");
    byID.Unique = true;
    Table->Table->CreateIndex(byID, Table->Cursor);
    TQELIndexDef byGroup;
    byGroup.SetName("BY_GRP");
    byGroup.AddColumn("GRP");
    Table->Table->CreateIndex(byGroup, Table->Cursor);
    // Ids in a scrambled order, so that natural order and id order differ.
    for (std::int32_t i = 0; i < kRecords; ++i) {
      Table->Clear();
      Table->SetInt(kID, static_cast<std::int32_t>((static_cast<std::int64_t>(i) * 7919) % kRecords));
      Table->SetInt(kGroup, i % 100);
      Table->Table->InsertRecord(Table->Cursor);
    }
  }
  static void TearDownTestSuite() {
    delete Table;
    Table = nullptr;
  }
  void SetUp() override {
    Table->Cursor.IndexID = -1;
    Table->Cursor.Filter = nullptr;
    Table->Cursor.BeforeFirst = true;
    Table->Cursor.RestrictionsChanged();
  }

  // Marks every match of the cursor's restrictions and `derived`; answers
  // the number of matches and of records read.
  std::pair<std::int64_t, std::int64_t> CountMatches(const TQELScanSearchConditionArray* derived) {
    TQELRecordBitmap bitmap(Table->Table);
    bitmap.BeginBuild(0, Table->Table->Records().ChangeCount(), Table->Cursor.IndexID >= 0);
    TQELSearchRequest search;
    search.MarkAll = &bitmap;
    search.DerivedConditions = derived;
    const std::int64_t readsBefore = Table->Table->Records().Reads;
    TQELRecordID unused{};
    Table->Table->FindMatchingRecord(Table->Cursor, search, unused);
    return {bitmap.Bits().SetCount(), Table->Table->Records().Reads - readsBefore};
  }
  // ID between `low` and `high`, as the SQL layer derives it from a WHERE
  // clause: index conditions that only serve as an access path.
  TQELScanSearchConditionArray IdBetween(std::int32_t low, std::int32_t high) {
    Low = Table->IntKey({{kID, low}});
    High = Table->IntKey({{kID, high}});
    TQELScanSearchConditionArray derived;
    const std::int32_t byID = Table->IndexID("BY_ID");
    for (auto [type, key] : {std::pair{sctGreaterOrEqual, &Low}, std::pair{sctLessOrEqual, &High}}) {
      TQELScanSearchCondition condition = TQELScanSearchCondition::ForIndex(
          byID, type, key->data(), static_cast<std::int32_t>(key->size()), 1, true);
      condition.IndexOnly = true;
      derived.Add(condition);
    }
    return derived;
  }

  static constexpr std::int32_t kRecords = 100000;
  static test::TTableFixture* Table;
  std::vector<std::uint8_t> Low, High;
};

test::TTableFixture* AccessPathScanTest::Table = nullptr;

TEST_F(AccessPathScanTest, SelectiveConditionReadsFarFewerRecordsThanAFullScan) {
  TGroupFilter evenGroup(Table->Defs(), 40);
  Table->Cursor.Filter = &evenGroup;
  const auto [fullMatches, fullReads] = CountMatches(nullptr);
  EXPECT_EQ(fullMatches, kRecords / 100);
  EXPECT_GE(fullReads, kRecords);

  // ID in 5000..5999 and GRP = 40: the id range is walked, and only its
  // 1000 records are read to test the filter.
  const TQELScanSearchConditionArray derived = IdBetween(5000, 5999);
  const auto [rangeMatches, rangeReads] = CountMatches(&derived);
  std::int64_t expected = 0;
  for (std::int32_t i = 0; i < kRecords; ++i) {
    const std::int64_t id = (static_cast<std::int64_t>(i) * 7919) % kRecords;
    expected += id >= 5000 && id <= 5999 && i % 100 == 40;
  }
  EXPECT_EQ(rangeMatches, expected);
  EXPECT_LE(rangeReads, 1000);

  // Through another active index the same range lands in GRP order.
  Table->Cursor.IndexID = Table->IndexID("BY_GRP");
  const auto [activeMatches, activeReads] = CountMatches(&derived);
  EXPECT_EQ(activeMatches, expected);
  EXPECT_LE(activeReads, 1000);
}

TEST_F(AccessPathScanTest, WideRangesAndEmptyRangesAreChosenWisely) {
  TGroupFilter evenGroup(Table->Defs(), 40);
  Table->Cursor.Filter = &evenGroup;
  // Nearly every id: walking the index and reading each record costs more
  // than reading the records in their own order.
  const TQELScanSearchConditionArray wide = IdBetween(10, kRecords);
  TQELSearchRequest search;
  search.DerivedConditions = &wide;
  search.FromStart = true;
  TQELRecordSearch probe(*Table->Table, Table->Cursor, search);
  TQELRecordID found{};
  ASSERT_TRUE(probe.Run(found));
  EXPECT_FALSE(probe.Path().UsesIndex());
  EXPECT_EQ(probe.Conditions().Count(), 1);  // the derived bounds went away

  // A contradictory range reads nothing at all.
  const TQELScanSearchConditionArray none = IdBetween(700, 600);
  const auto [matches, reads] = CountMatches(&none);
  EXPECT_EQ(matches, 0);
  EXPECT_EQ(reads, 0);
}

TEST_F(AccessPathScanTest, FirstMatchInNaturalOrderFromAnIndexRange) {
  // Natural order is insertion order; of the ids 500..509 the one inserted
  // first is found first, then the others in insertion order.
  const TQELScanSearchConditionArray derived = IdBetween(500, 509);
  std::vector<std::int32_t> expected;
  for (std::int32_t i = 0; i < kRecords; ++i) {
    const auto id = static_cast<std::int32_t>((static_cast<std::int64_t>(i) * 7919) % kRecords);
    if (id >= 500 && id <= 509) expected.push_back(id);
  }
  std::vector<std::int32_t> found;
  TQELSearchRequest search;
  search.DerivedConditions = &derived;
  Table->Cursor.BeforeFirst = true;
  TQELRecordID recordID{};
  while (Table->Table->FindMatchingRecord(Table->Cursor, search, recordID)) {
    Table->Cursor.Position = recordID;
    Table->Cursor.BeforeFirst = false;
    ASSERT_EQ(Table->Table->GetRecord(Table->Cursor, grmCurrent), grOK);
    found.push_back(Table->Int(kID));
  }
  EXPECT_EQ(found, expected);
}

}  // namespace
}  // namespace qel
