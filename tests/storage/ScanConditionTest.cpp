// Scan search conditions over real B-tree indexes: the condition array, the
// merging of index conditions (as a table of cases), duplicates and order
// after simplification, testing records against conditions, and the
// access-path choice with its cost model.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "BTreeTestSupport.h"
#include "storage/QELAccessPath.h"
#include "storage/QELScanSearchCondition.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

// Index ids of the table below.
constexpr std::int32_t kPrimaryA = 1;  // primary key on A
constexpr std::int32_t kAB = 2;        // A, B
constexpr std::int32_t kS = 3;         // S
constexpr std::int32_t kN = 4;         // N, an autoincrement field
constexpr std::int32_t kB = 5;         // B

// A table of fields A, B (integers), S (string) and N (autoincrement) with
// an index of each id above; record i holds A = i, B = i % 10, N = i.
class TScanTable {
 public:
  TScanTable() : Pages(4096), Records(Fields) {
    Fields.Add("A", aftInteger, 0);
    Fields.Add("B", aftInteger, 0);
    Fields.Add("S", aftString, 20);
    Fields.Add("N", aftAutoinc, 0);
    Fields.RecalcOffsets();
    AddIndex(kPrimaryA, {"A"}, true);
    AddIndex(kAB, {"A", "B"}, false);
    AddIndex(kS, {"S"}, false);
    AddIndex(kN, {"N"}, false);
    AddIndex(kB, {"B"}, false);
  }

  void Fill(std::int32_t count) {
    for (std::int32_t i = 0; i < count; ++i) {
      std::vector<std::uint8_t> record = Key(i, i % 10, "s" + std::to_string(i));
      Records.SetInteger(record, 3, i);
      Records.Put(MakeRecordID(i), record);
      for (auto& [id, index] : Indexes) index->InsertKey(kSession, record.data(), MakeRecordID(i));
    }
  }

  // A memory record holding the given values; the others are NULL.
  std::vector<std::uint8_t> Key(std::optional<std::int32_t> a,
                                std::optional<std::int32_t> b = std::nullopt,
                                std::optional<std::string> s = std::nullopt) const {
    std::vector<std::uint8_t> record = Records.NewRecord();
    if (a) Records.SetInteger(record, 0, *a);
    if (b) Records.SetInteger(record, 1, *b);
    if (s) Records.SetText(record, 2, *s);
    return record;
  }

  TQELScanSearchCondition Condition(std::int32_t indexID, TQELSearchConditionType type,
                                    const std::vector<std::uint8_t>& key,
                                    std::int32_t keyFieldCount = 1) const {
    return TQELScanSearchCondition::ForIndex(indexID, type, key.data(),
                                             static_cast<std::int32_t>(key.size()), keyFieldCount);
  }

  TQELIndex& Index(std::int32_t id) { return *Indexes.at(id); }
  TQELIndexLookup Lookup() {
    return [this](std::int32_t id) -> TQELIndex& { return Index(id); };
  }

  TQELAccessPathInputs Inputs(TQELScanSearchConditionArray& conditions) {
    TQELAccessPathInputs inputs;
    inputs.Conditions = &conditions;
    inputs.SessionID = kSession;
    inputs.RecordCount = Records.Count();
    inputs.PageDataSize = 4000;
    inputs.DiskRecordSize = Fields.DiskRecordSize();
    inputs.FieldDefs = &Fields;
    inputs.GetIndex = Lookup();
    return inputs;
  }

  TMemoryPageManager Pages;
  TQELFieldDefs Fields;
  TRecordTable Records;
  std::map<std::int32_t, std::unique_ptr<TQELBTreeRecordIndex>> Indexes;

 private:
  void AddIndex(std::int32_t id, const std::vector<std::string>& columns, bool primary) {
    TQELIndexDef def;
    def.SetName("I" + std::to_string(id));
    for (const std::string& column : columns) def.AddColumn(column);
    def.Primary = primary;
    def.SetObjectID(id);
    auto index = std::make_unique<TQELBTreeRecordIndex>(Pages, Fields, &Records);
    index->CreateIndex(kSession, def, false);
    Indexes[id] = std::move(index);
  }
};

// A record filter that answers from a fixed rule and counts its calls.
class TFilter final : public TQELRecordFilter {
 public:
  explicit TFilter(bool result = true) : Result(result) {}
  bool Matches(const std::uint8_t*) override {
    ++Calls;
    return Result;
  }
  bool Result;
  std::int32_t Calls = 0;
};

TEST(ScanConditionTest, ArrayCopiesConditionsAndChecksPositions) {
  TScanTable table;
  TQELScanSearchConditionArray conditions;
  std::vector<std::uint8_t> key = table.Key(5);
  const std::int32_t owned = conditions.Add(table.Condition(kAB, sctEqual, key));
  TQELScanSearchCondition borrowed = TQELScanSearchCondition::ForIndex(
      kAB, sctLess, key.data(), static_cast<std::int32_t>(key.size()), 1, true);
  conditions.Add(borrowed);
  table.Records.SetInteger(key, 0, 9);
  // The owned copy kept the value; the borrowed one sees the change.
  const auto five = table.Key(5);
  EXPECT_EQ(table.Index(kAB).CompareRecordKeys(conditions[owned].Key(), five.data(), 1), 0);
  EXPECT_EQ(conditions[1].Key(), key.data());
  EXPECT_TRUE(conditions[1].KeyBorrowed());

  // Copies of the array own copies of owned keys.
  TQELScanSearchConditionArray copy(conditions);
  EXPECT_NE(copy[0].Key(), conditions[0].Key());
  EXPECT_EQ(copy[1].Key(), key.data());

  TFilter filter;
  EXPECT_EQ(conditions.AddExpression(&filter), 2);
  EXPECT_EQ(conditions.IndexConditionCount(), 2);

  TQELScanSearchCondition noIndex;
  noIndex.ConditionType = sctEqual;
  try {
    conditions.Add(noIndex);
    ADD_FAILURE() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_STREQ(e.what(),
                 "Invalid scan condition - indexID = -1, count = 3 - Native error: 10388");
  }
  TQELScanSearchCondition noKey = table.Condition(kAB, sctEqual, key);
  noKey.SetKey(nullptr, 0, false);
  EXPECT_EQ(NativeErrorOf([&] { conditions.Add(noKey); }), 10388);
  EXPECT_EQ(NativeErrorOf([&] { conditions.AddExpression(nullptr); }), 10388);

  try {
    conditions.Delete(3);
    ADD_FAILURE() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_STREQ(e.what(), "Invalid item number - ItemNo = 3, ItemCount = 3 - Native error: 10413");
  }
  EXPECT_EQ(NativeErrorOf([&] { conditions.Delete(-1); }), 10413);
  conditions.Delete(0);
  EXPECT_EQ(conditions.Count(), 2);
  EXPECT_TRUE(conditions[0].KeyBorrowed());
}

// One index condition on index AB: A alone (one key field) or A and B.
struct TBound {
  TQELSearchConditionType Type;
  std::int32_t A;
  std::optional<std::int32_t> B = std::nullopt;
};

std::string Describe(const TBound& bound) {
  static const char* const kTypes[] = {"?", "=", "<", ">", "<=", ">="};
  std::string text = std::string(kTypes[bound.Type]) + std::to_string(bound.A);
  if (bound.B) text += "," + std::to_string(*bound.B);
  return text;
}

TEST(ScanConditionTest, MergingFollowsTheMergeTable) {
  struct TCase {
    TBound P;
    TBound Q;
    std::vector<TBound> Result;  // empty: no record can match
  };
  const std::vector<TCase> cases = {
      // '=' kept
      {{sctEqual, 5}, {sctEqual, 5}, {{sctEqual, 5}}},
      {{sctEqual, 5}, {sctEqual, 6}, {}},
      {{sctEqual, 5}, {sctEqual, 5, 2}, {{sctEqual, 5, 2}}},
      {{sctEqual, 5}, {sctLess, 7}, {{sctEqual, 5}}},
      {{sctEqual, 5}, {sctGreater, 7}, {}},
      {{sctEqual, 5}, {sctLessOrEqual, 5}, {{sctEqual, 5}}},
      {{sctEqual, 5}, {sctGreaterOrEqual, 5, 2}, {{sctEqual, 5}, {sctGreaterOrEqual, 5, 2}}},
      {{sctEqual, 5}, {sctGreaterOrEqual, 6}, {}},
      // a '=' over fewer fields than a strict bound is not merged
      {{sctEqual, 5}, {sctLess, 5, 3}, {{sctEqual, 5}, {sctLess, 5, 3}}},
      // '<' kept
      {{sctLess, 7}, {sctEqual, 5}, {{sctEqual, 5}}},
      {{sctLess, 5}, {sctLess, 3}, {{sctLess, 3}}},
      {{sctLess, 3}, {sctLess, 5}, {{sctLess, 3}}},
      {{sctLess, 5, 3}, {sctLess, 5}, {{sctLess, 5}}},
      {{sctLess, 5}, {sctGreater, 3}, {{sctLess, 5}, {sctGreater, 3}}},
      {{sctLess, 5}, {sctLessOrEqual, 5}, {{sctLess, 5}}},
      {{sctLess, 5}, {sctGreaterOrEqual, 5}, {}},
      {{sctLess, 5, 3}, {sctGreaterOrEqual, 5}, {{sctLess, 5, 3}, {sctGreaterOrEqual, 5}}},
      // '>' kept
      {{sctGreater, 5}, {sctLess, 3}, {}},
      {{sctGreater, 5}, {sctEqual, 3}, {}},
      {{sctGreater, 3}, {sctGreater, 5}, {{sctGreater, 5}}},
      {{sctGreater, 5}, {sctGreaterOrEqual, 5}, {{sctGreater, 5}}},
      {{sctGreater, 5}, {sctLessOrEqual, 5}, {}},
      {{sctGreater, 5, 2}, {sctLessOrEqual, 5}, {{sctGreater, 5, 2}, {sctLessOrEqual, 5}}},
      // '<=' kept
      {{sctLessOrEqual, 5}, {sctEqual, 7}, {}},
      {{sctLessOrEqual, 5}, {sctEqual, 5, 2}, {{sctEqual, 5, 2}}},
      {{sctLessOrEqual, 5}, {sctLess, 5}, {{sctLessOrEqual, 5}, {sctLess, 5}}},
      {{sctLessOrEqual, 5}, {sctGreater, 5, 2}, {{sctLessOrEqual, 5}, {sctGreater, 5, 2}}},
      {{sctLessOrEqual, 5, 2}, {sctGreater, 5}, {}},
      {{sctLessOrEqual, 7}, {sctLessOrEqual, 5}, {{sctLessOrEqual, 5}}},
      {{sctLessOrEqual, 5}, {sctGreaterOrEqual, 5}, {{sctEqual, 5}}},
      {{sctLessOrEqual, 7}, {sctGreaterOrEqual, 5}, {{sctLessOrEqual, 7}, {sctGreaterOrEqual, 5}}},
      {{sctLessOrEqual, 5, 2},
       {sctGreaterOrEqual, 5},
       {{sctLessOrEqual, 5, 2}, {sctGreaterOrEqual, 5}}},
      // '>=' kept
      {{sctGreaterOrEqual, 5}, {sctLessOrEqual, 5}, {{sctEqual, 5}}},
      {{sctGreaterOrEqual, 5}, {sctEqual, 3}, {}},
      {{sctGreaterOrEqual, 5}, {sctLess, 5}, {}},
      {{sctGreaterOrEqual, 5}, {sctGreater, 5}, {{sctGreater, 5}}},
      {{sctGreaterOrEqual, 3}, {sctGreaterOrEqual, 5}, {{sctGreaterOrEqual, 5}}},
      {{sctGreaterOrEqual, 5}, {sctLessOrEqual, 3}, {}},
  };
  TScanTable table;
  table.Fill(20);
  const auto condition = [&](const TBound& bound) {
    return table.Condition(kAB, bound.Type, table.Key(bound.A, bound.B), bound.B ? 2 : 1);
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(Describe(c.P) + " with " + Describe(c.Q));
    TQELScanSearchConditionArray conditions;
    conditions.Add(condition(c.P));
    conditions.Add(condition(c.Q));
    table.Records.Reads = 0;
    const bool any = SimplifyScanSearchConditions(conditions, table.Lookup());
    EXPECT_EQ(table.Records.Reads, 0);
    if (c.Result.empty()) {
      EXPECT_FALSE(any);
      EXPECT_EQ(conditions.Count(), 2);  // left as it was
      continue;
    }
    ASSERT_TRUE(any);
    ASSERT_EQ(conditions.Count(), static_cast<std::int32_t>(c.Result.size()));
    for (std::int32_t i = 0; i < conditions.Count(); ++i) {
      const TQELScanSearchCondition expected = condition(c.Result[static_cast<std::size_t>(i)]);
      EXPECT_EQ(conditions[i].ConditionType, expected.ConditionType) << i;
      EXPECT_EQ(conditions[i].KeyFieldCount, expected.KeyFieldCount) << i;
      EXPECT_EQ(table.Index(kAB).CompareRecordKeys(conditions[i].Key(), expected.Key(),
                                                   expected.KeyFieldCount),
                0)
          << i;
    }
  }
}

TEST(ScanConditionTest, SimplifyingGroupsByIndexDropsDuplicatesAndPutsExpressionsLast) {
  TScanTable table;
  TFilter first;
  TFilter second;
  TQELScanSearchConditionArray conditions;
  conditions.AddExpression(&first);
  conditions.Add(table.Condition(kB, sctGreater, table.Key(std::nullopt, 3)));
  TQELScanSearchCondition prefix =
      table.Condition(kS, sctEqual, table.Key(std::nullopt, std::nullopt, "ab"));
  prefix.PartialKey = true;
  conditions.Add(prefix);
  conditions.AddExpression(&second);
  conditions.Add(table.Condition(kB, sctLess, table.Key(std::nullopt, 9)));
  conditions.Add(prefix);  // not merged (a prefix), but a duplicate
  conditions.Add(table.Condition(kB, sctGreater, table.Key(std::nullopt, 3)));

  ASSERT_TRUE(SimplifyScanSearchConditions(conditions, table.Lookup()));
  ASSERT_EQ(conditions.Count(), 5);
  EXPECT_EQ(conditions[0].IndexID, kB);
  EXPECT_EQ(conditions[0].ConditionType, sctGreater);
  EXPECT_EQ(conditions[1].IndexID, kB);
  EXPECT_EQ(conditions[1].ConditionType, sctLess);
  EXPECT_EQ(conditions[2].IndexID, kS);
  EXPECT_TRUE(conditions[2].PartialKey);
  EXPECT_EQ(conditions[3].Expression, &first);
  EXPECT_EQ(conditions[4].Expression, &second);

  // An unknown index passes the lookup's error on.
  TQELScanSearchConditionArray unknown;
  unknown.Add(table.Condition(99, sctEqual, table.Key(1)));
  EXPECT_THROW(SimplifyScanSearchConditions(unknown, table.Lookup()), std::out_of_range);
}

TEST(ScanConditionTest, RecordsAreTestedByTheIndexOrderOverTheKeyFields) {
  TScanTable table;
  const auto record = table.Key(5, 9, "abc");
  struct TCase {
    std::int32_t IndexID;
    TQELSearchConditionType Type;
    std::vector<std::uint8_t> Key;
    std::int32_t Fields;
    bool Partial;
    bool Matches;
  };
  const std::vector<TCase> cases = {
      {kAB, sctEqual, table.Key(5), 1, false, true},
      {kAB, sctEqual, table.Key(6), 1, false, false},
      {kAB, sctLess, table.Key(6), 1, false, true},
      {kAB, sctLess, table.Key(5), 1, false, false},
      {kAB, sctGreater, table.Key(4), 1, false, true},
      {kAB, sctLessOrEqual, table.Key(5), 1, false, true},
      {kAB, sctGreaterOrEqual, table.Key(6), 1, false, false},
      {kAB, sctEqual, table.Key(5, 0), 1, false, true},
      {kAB, sctEqual, table.Key(5, 0), 2, false, false},
      {kAB, sctGreater, table.Key(5, 0), 2, false, true},
      {kAB, sctLess, table.Key(5), 2, false, false},  // a NULL sorts first
      {kS, sctEqual, table.Key(std::nullopt, std::nullopt, "ab"), 1, true, true},
      {kS, sctEqual, table.Key(std::nullopt, std::nullopt, "ab"), 1, false, false},
      {kS, sctGreater, table.Key(std::nullopt, std::nullopt, "ab"), 1, true, false},
      {kS, sctGreater, table.Key(std::nullopt, std::nullopt, "ab"), 1, false, true},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(i);
    const TCase& c = cases[i];
    TQELScanSearchCondition condition = table.Condition(c.IndexID, c.Type, c.Key, c.Fields);
    condition.PartialKey = c.Partial;
    EXPECT_EQ(RecordMatchesIndexCondition(table.Index(c.IndexID), record.data(), condition),
              c.Matches);
  }

  TFilter rejecting(false);
  TQELScanSearchConditionArray conditions;
  conditions.Add(table.Condition(kAB, sctGreater, table.Key(7)));
  conditions.AddExpression(&rejecting);
  conditions.Add(table.Condition(kAB, sctLess, table.Key(9)));
  EXPECT_FALSE(RecordMatchesConditions(conditions, record.data(), table.Lookup()));
  EXPECT_FALSE(RecordMatchesConditions(conditions, record.data(), table.Lookup(), 0));
  EXPECT_EQ(rejecting.Calls, 1);
  rejecting.Result = true;
  EXPECT_TRUE(RecordMatchesConditions(conditions, record.data(), table.Lookup(), 0));
}

TEST(ScanConditionTest, AnEqualityOnAUniqueOneColumnKeyIsTakenWithoutCosting) {
  TScanTable table;  // empty: the cost model would keep the full scan
  const auto key = table.Key(5);
  struct TCase {
    std::int32_t IndexID;
    std::int32_t First;
  };
  // Primary, an autoincrement column, then indexes whose '=' may find many.
  const std::vector<TCase> cases = {{kPrimaryA, 1}, {kN, 1}, {kB, -1}, {kAB, -1}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.IndexID);
    TFilter filter;
    TQELScanSearchConditionArray conditions;
    conditions.Add(table.Condition(kB, sctGreater, table.Key(std::nullopt, 3)));
    conditions.Add(table.Condition(c.IndexID, sctEqual, table.Key(5, 5)));
    conditions.AddExpression(&filter);
    const TQELAccessPath path = ChooseAccessPath(table.Inputs(conditions));
    EXPECT_EQ(path.First, c.First);
    EXPECT_EQ(path.Second, -1);
  }
}

TEST(ScanConditionTest, ALoneConditionOnTheActiveIndexIsTakenAndAnEmptyTableScansAll) {
  TScanTable table;
  TFilter filter;
  TQELScanSearchConditionArray conditions;
  conditions.AddExpression(&filter);
  conditions.Add(table.Condition(kB, sctGreater, table.Key(std::nullopt, 3)));
  TQELAccessPathInputs inputs = table.Inputs(conditions);
  inputs.ActiveIndexID = kB;
  EXPECT_EQ(ChooseAccessPath(inputs).First, 1);
  inputs.ActiveIndexID = kAB;
  EXPECT_FALSE(ChooseAccessPath(inputs).UsesIndex());
  inputs.ActiveIndexID = -1;
  EXPECT_FALSE(ChooseAccessPath(inputs).UsesIndex());
  inputs.Conditions = nullptr;
  EXPECT_FALSE(ChooseAccessPath(inputs).UsesIndex());
}

TEST(ScanConditionTest, TheCostModelTakesASelectiveIndexOverAFullScan) {
  TScanTable table;
  table.Fill(2000);
  struct TCase {
    const char* Name;
    TQELSearchConditionType Type;
    std::int32_t A;
    std::int64_t RecordsBefore;
    bool UsesIndex;
  };
  const std::vector<TCase> cases = {
      {"one key of many", sctEqual, 700, 0, true},
      {"every record", sctGreaterOrEqual, 0, 0, false},
      {"one key, but the cursor is near the end", sctEqual, 700, 1999, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TFilter filter;
    TQELScanSearchConditionArray conditions;
    conditions.Add(table.Condition(kAB, c.Type, table.Key(c.A)));
    conditions.AddExpression(&filter);
    TQELAccessPathInputs inputs = table.Inputs(conditions);
    inputs.RecordsBefore = c.RecordsBefore;
    const TQELAccessPath path = ChooseAccessPath(inputs);
    EXPECT_EQ(path.UsesIndex(), c.UsesIndex);
    if (c.UsesIndex) {
      EXPECT_EQ(path.First, 0);
    }
  }
}

TEST(ScanConditionTest, ARangeStartsAtTheBoundOfTheScanDirection) {
  TScanTable table;
  table.Fill(2000);
  TFilter filter;
  TQELScanSearchConditionArray conditions;
  conditions.Add(table.Condition(kAB, sctLess, table.Key(20)));
  conditions.Add(table.Condition(kAB, sctGreater, table.Key(10)));
  conditions.AddExpression(&filter);
  ASSERT_TRUE(SimplifyScanSearchConditions(conditions, table.Lookup()));
  ASSERT_EQ(conditions.Count(), 3);
  TQELAccessPathInputs inputs = table.Inputs(conditions);
  TQELAccessPath path = ChooseAccessPath(inputs);
  EXPECT_EQ(path.First, 1);  // '>' 10
  EXPECT_EQ(path.Second, 0);
  inputs.Forward = false;
  path = ChooseAccessPath(inputs);
  EXPECT_EQ(path.First, 0);
  EXPECT_EQ(path.Second, 1);
}

TEST(ScanConditionTest, UnchosenIndexOnlyConditionsAreDroppedAndPositionsFollow) {
  TScanTable table;
  table.Fill(2000);
  TFilter filter;
  TQELScanSearchConditionArray conditions;
  conditions.AddExpression(&filter);
  TQELScanSearchCondition wide = table.Condition(kB, sctGreaterOrEqual, table.Key(std::nullopt, 0));
  wide.IndexOnly = true;
  conditions.Add(wide);
  TQELScanSearchCondition narrow = table.Condition(kAB, sctEqual, table.Key(700));
  narrow.IndexOnly = true;
  conditions.Add(narrow);
  conditions.Add(table.Condition(kS, sctGreaterOrEqual, table.Key(std::nullopt, std::nullopt, "")));

  TQELScanSearchConditionArray copy(conditions);
  TQELAccessPath path = ChooseAccessPath(table.Inputs(copy));
  ASSERT_EQ(copy.Count(), 3);
  EXPECT_EQ(path.First, 1);
  EXPECT_EQ(copy[1].IndexID, kAB);
  EXPECT_EQ(copy[2].IndexID, kS);  // not IndexOnly: it stays

  // Nothing chosen: every IndexOnly condition goes.
  TQELAccessPathInputs inputs = table.Inputs(conditions);
  inputs.RecordCount = 0;
  path = ChooseAccessPath(inputs);
  EXPECT_FALSE(path.UsesIndex());
  ASSERT_EQ(conditions.Count(), 2);
  EXPECT_EQ(conditions[0].Expression, &filter);
  EXPECT_EQ(conditions[1].IndexID, kS);
}

}  // namespace
}  // namespace qel::test
