// Moving through a record index: walks in both directions with and without
// the position cache, walks that go on after deletes, record numbers,
// positioning by condition, range scans and range estimates.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <random>
#include <vector>

#include "BTreeTestSupport.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

// An index over one INTEGER column holding keys with repeats, and a sorted
// copy of its (key, record id) pairs to compare with.
class NavigationIndex : public TIndexFixture {
 public:
  explicit NavigationIndex(std::int32_t count, std::int32_t distinct) : TIndexFixture(512) {
    Defs.Add("K", aftInteger, 0);
    TQELIndexDef def;
    def.AddColumn("K");
    def.SetObjectID(42);
    Create(def);
    std::mt19937 random(11);
    for (std::int32_t i = 0; i < count; ++i) {
      const auto key = static_cast<std::int32_t>(random() % static_cast<std::uint32_t>(distinct));
      Add(MakeRecordID(i), RecordWith(key));
      Sorted.emplace_back(key, MakeRecordID(i));
    }
    SortCopy();
  }

  std::vector<std::uint8_t> RecordWith(std::int32_t key) {
    std::vector<std::uint8_t> record = Records.NewRecord();
    Records.SetInteger(record, 0, key);
    return record;
  }
  void SortCopy() {
    std::sort(Sorted.begin(), Sorted.end(), [](const auto& a, const auto& b) {
      return a.first != b.first ? a.first < b.first
                                : CompareRecordIDs(a.second.data(), b.second.data()) < 0;
    });
  }
  void RemoveSorted(const TQELRecordID& id) {
    Remove(id);
    std::erase_if(Sorted, [&](const auto& entry) { return entry.second == id; });
  }
  std::vector<TQELRecordID> SortedIds() const {
    std::vector<TQELRecordID> ids;
    for (const auto& entry : Sorted) ids.push_back(entry.second);
    return ids;
  }
  // A condition on the key column.
  TQELIndexCondition Condition(TQELSearchConditionType type, std::int32_t key) {
    ConditionRecords.push_back(RecordWith(key));
    return TQELIndexCondition{type, ConditionRecords.back().data(), 1, false};
  }

  std::vector<std::pair<std::int32_t, TQELRecordID>> Sorted;
  std::deque<std::vector<std::uint8_t>> ConditionRecords;
};

// One cursor walking through the index the way table data does.
struct TWalker {
  NavigationIndex& Index;
  TQELIndexPositionCache* Cache;
  std::int64_t Stamp = 1;
  std::vector<std::uint8_t> Buffer = Index.Records.NewRecord();
  TQELRecordRequest Request{};

  TQELGetRecordResult Step(TQELGetRecordMode mode) {
    Request.Mode = mode;
    Request.Buffer = Buffer.data();
    Index.Index->GetRecordByIndex(kSession, Request, Stamp, Cache);
    return Request.Result;
  }
  std::vector<TQELRecordID> Run(TQELGetRecordMode mode) {
    std::vector<TQELRecordID> ids;
    while (Step(mode) == grOK) {
      ids.push_back(Request.RecordID);
      EXPECT_EQ(Buffer, Index.Records.At(Request.RecordID));
    }
    return ids;
  }
};

class BTreeWalkTest : public ::testing::TestWithParam<bool> {};

TEST_P(BTreeWalkTest, WalksBothWaysAgreeWithASortedCopy) {
  NavigationIndex index(4000, 700);
  TQELIndexPositionCache cache;
  TWalker walker{index, GetParam() ? &cache : nullptr};
  walker.Request.BeforeFirst = true;
  EXPECT_EQ(walker.Run(grmNext), index.SortedIds());
  EXPECT_EQ(walker.Request.Result, grEOF);
  EXPECT_TRUE(walker.Request.AfterLast);

  std::vector<TQELRecordID> backward = walker.Run(grmPrior);
  std::reverse(backward.begin(), backward.end());
  EXPECT_EQ(backward, index.SortedIds());
  EXPECT_EQ(walker.Request.Result, grBOF);
  EXPECT_TRUE(walker.Request.BeforeFirst);
  EXPECT_EQ(walker.Step(grmPrior), grBOF);
}

TEST_P(BTreeWalkTest, WalkGoesOnAfterDeletesInTheMiddle) {
  NavigationIndex index(3000, 400);
  TQELIndexPositionCache cache;
  TWalker walker{index, GetParam() ? &cache : nullptr};
  walker.Request.BeforeFirst = true;
  std::vector<TQELRecordID> seen;
  for (std::int32_t i = 0; i < 1000; ++i) {
    ASSERT_EQ(walker.Step(grmNext), grOK);
    seen.push_back(walker.Request.RecordID);
  }
  // Delete entries on both sides of the current one, then carry on: a
  // changed stamp means the cached path may no longer hold.
  const std::vector<TQELRecordID> before = index.SortedIds();
  for (std::size_t i = 900; i < 1200; i += 2) {
    if (i != 999) index.RemoveSorted(before[i]);
  }
  const std::vector<TQELRecordID> kept = index.SortedIds();
  std::erase_if(seen, [&](const TQELRecordID& id) {
    return std::find(kept.begin(), kept.end(), id) == kept.end();
  });
  ++walker.Stamp;
  while (walker.Step(grmNext) == grOK) seen.push_back(walker.Request.RecordID);
  EXPECT_EQ(seen, index.SortedIds());

  // And backwards from the end, deleting ahead of the walk as it goes.
  walker.Request.AfterLast = true;
  std::vector<TQELRecordID> backward;
  std::int32_t steps = 0;
  while (walker.Step(grmPrior) == grOK) {
    backward.push_back(walker.Request.RecordID);
    if (++steps % 50 == 0) {
      const std::vector<TQELRecordID> ids = index.SortedIds();
      const auto at = std::find(ids.begin(), ids.end(), walker.Request.RecordID) - ids.begin();
      if (at >= 3) index.RemoveSorted(ids[static_cast<std::size_t>(at - 3)]);
      ++walker.Stamp;
    }
  }
  std::reverse(backward.begin(), backward.end());
  EXPECT_EQ(backward, index.SortedIds());
}

INSTANTIATE_TEST_SUITE_P(Cache, BTreeWalkTest, ::testing::Values(false, true),
                         [](const auto& info) {
                           return info.param ? "WithCache" : "WithoutCache";
                         });

TEST(BTreeNavigationTest, WalkRulesAtTheEndsAndForAMissingRecord) {
  NavigationIndex index(10, 5);
  TWalker walker{index, nullptr};
  walker.Request.Mode = grmCurrent;
  EXPECT_EQ(
      NativeErrorOf([&] { index.Index->GetRecordByIndex(kSession, walker.Request, 0, nullptr); }),
      20053);
  // A record the index does not hold gives grError.
  walker.Request.RecordID = MakeRecordID(777);
  EXPECT_EQ(walker.Step(grmNext), grError);
  // From before the first record grmPrior has nowhere to go.
  walker.Request.BeforeFirst = true;
  EXPECT_EQ(walker.Step(grmPrior), grBOF);
}

TEST(BTreeNavigationTest, AValidPositionCacheIsUsedInsteadOfASearch) {
  NavigationIndex index(2000, 2000);
  TQELIndexPositionCache cache;
  TWalker walker{index, &cache};
  walker.Request.BeforeFirst = true;
  ASSERT_EQ(walker.Step(grmNext), grOK);
  const std::vector<TQELRecordID> ids = index.SortedIds();
  // With the cache current, the step does not look at the buffer's key:
  // a wrong key there changes nothing.
  for (std::size_t i = 1; i < 50; ++i) {
    index.Records.SetInteger(walker.Buffer, 0, -12345);
    ASSERT_EQ(walker.Step(grmNext), grOK);
    EXPECT_EQ(walker.Request.RecordID, ids[i]);
  }
  // Once the stamp moves, the buffer's key is what the index searches by.
  ++walker.Stamp;
  index.Records.SetInteger(walker.Buffer, 0, -12345);
  EXPECT_EQ(walker.Step(grmNext), grError);
}

TEST(BTreeNavigationTest, GetRecordByKeyMovesToTheNextGreaterOrPriorSmallerKey) {
  NavigationIndex index(600, 100);  // every key about six times
  TQELRecordRequest request;
  std::vector<std::uint8_t> buffer = index.RecordWith(50);
  request.Buffer = buffer.data();
  request.Mode = grmNext;
  index.Index->GetRecordByKey(kSession, request, 0, nullptr);
  ASSERT_EQ(request.Result, grOK);
  const auto firstAbove = std::find_if(index.Sorted.begin(), index.Sorted.end(),
                                       [](const auto& e) { return e.first > 50; });
  EXPECT_EQ(request.RecordID, firstAbove->second);

  index.Records.SetInteger(buffer, 0, 50);
  request.Mode = grmPrior;
  index.Index->GetRecordByKey(kSession, request, 0, nullptr);
  ASSERT_EQ(request.Result, grOK);
  const auto lastBelow = std::find_if(index.Sorted.rbegin(), index.Sorted.rend(),
                                      [](const auto& e) { return e.first < 50; });
  EXPECT_EQ(request.RecordID, lastBelow->second);
}

TEST(BTreeNavigationTest, RecordNumbersFollowIndexOrder) {
  NavigationIndex index(2500, 300);
  const std::vector<TQELRecordID> ids = index.SortedIds();
  for (const std::int64_t recNo : {1, 2, 777, 1250, 2499, 2500}) {
    TQELRecordID id{};
    index.Index->SetRecNo(kSession, id, recNo);
    EXPECT_EQ(id, ids[static_cast<std::size_t>(recNo - 1)]) << recNo;
    EXPECT_EQ(index.Index->GetRecNo(kSession, id, index.Records.At(id).data()), recNo);
  }
  TQELRecordID id{};
  EXPECT_EQ(NativeErrorOf([&] { index.Index->SetRecNo(kSession, id, 2501); }), 20113);
  EXPECT_EQ(index.Index->GetRecNo(kSession, MakeRecordID(9999), index.RecordWith(1).data()), -1);
  index.Index->EmptyIndex(kSession);
  EXPECT_EQ(NativeErrorOf([&] { index.Index->SetRecNo(kSession, id, 1); }), 20074);
}

struct LocateCase {
  TQELSearchConditionType Type;
  bool Forward;
};

TEST(BTreeNavigationTest, LocateFindsTheFirstOrLastEntryMeetingACondition) {
  NavigationIndex index(1500, 100);
  const auto meets = [](TQELSearchConditionType type, std::int32_t key, std::int32_t bound) {
    switch (type) {
      case sctEqual:
        return key == bound;
      case sctLess:
        return key < bound;
      case sctGreater:
        return key > bound;
      case sctLessOrEqual:
        return key <= bound;
      default:
        return key >= bound;
    }
  };
  for (const TQELSearchConditionType type :
       {sctEqual, sctLess, sctGreater, sctLessOrEqual, sctGreaterOrEqual}) {
    for (const bool forward : {true, false}) {
      for (const std::int32_t bound : {-5, 0, 37, 99, 150}) {
        SCOPED_TRACE(testing::Message()
                     << int(type) << (forward ? " forward " : " backward ") << bound);
        // The expected entry: the first (or last) of the sorted copy that
        // meets the condition, if the index's own end meets it.
        std::optional<TQELRecordID> expected;
        if (forward) {
          for (const auto& e : index.Sorted) {
            if (meets(type, e.first, bound)) {
              expected = e.second;
              break;
            }
          }
        } else {
          for (auto it = index.Sorted.rbegin(); it != index.Sorted.rend(); ++it) {
            if (meets(type, it->first, bound)) {
              expected = it->second;
              break;
            }
          }
        }
        TQELKeyPath path;
        const TQELIndexCondition condition = index.Condition(type, bound);
        const bool found = index.Index->LocateCondition(kSession, condition, forward, path);
        ASSERT_EQ(found, expected.has_value());
        if (found) {
          TQELRecordID id;
          index.Index->GetRecordIDAtPath(kSession, path, id);
          EXPECT_EQ(id, *expected);
        }
      }
    }
  }
}

TEST(BTreeNavigationTest, RangeScansReturnExactlyTheRangeInEitherDirection) {
  NavigationIndex index(2000, 200);
  const TQELIndexCondition from = index.Condition(sctGreaterOrEqual, 50);
  const TQELIndexCondition to = index.Condition(sctLess, 120);
  const TQELIndexCondition equal = index.Condition(sctEqual, 77);
  const TQELIndexCondition fromKey = index.Condition(sctGreaterOrEqual, 77);
  const TQELIndexCondition toKey = index.Condition(sctLessOrEqual, 77);
  const TQELIndexCondition above = index.Condition(sctGreater, 120);
  const TQELIndexCondition pastTheEnd = index.Condition(sctLessOrEqual, 500);
  const TQELIndexCondition fromLast = index.Condition(sctGreaterOrEqual, 199);
  const TQELIndexCondition belowKey = index.Condition(sctLess, 77);
  const TQELIndexCondition aboveKey = index.Condition(sctGreater, 77);
  struct ScanCase {
    const TQELIndexCondition* Start;
    const TQELIndexCondition* End;
    bool Forward;
    std::int32_t Low, High;  // keys in [Low, High]
  };
  // Long and short ranges, ranges ending past the index's end, and an end
  // before the start.
  for (const ScanCase& c :
       {ScanCase{&from, &to, true, 50, 119}, ScanCase{&to, &from, false, 50, 119},
        ScanCase{&equal, nullptr, true, 77, 77}, ScanCase{&equal, nullptr, false, 77, 77},
        ScanCase{&fromKey, &toKey, true, 77, 77}, ScanCase{&toKey, &fromKey, false, 77, 77},
        ScanCase{&fromLast, &pastTheEnd, true, 199, 199}, ScanCase{&pastTheEnd, &fromLast, false, 199, 199},
        ScanCase{&above, &to, true, 1, 0}, ScanCase{&to, &above, false, 1, 0},
        ScanCase{&fromKey, &belowKey, true, 1, 0}, ScanCase{&toKey, &aboveKey, false, 1, 0}}) {
    std::vector<TQELRecordID> expected;
    for (const auto& e : index.Sorted) {
      if (e.first >= c.Low && e.first <= c.High) expected.push_back(e.second);
    }
    if (!c.Forward) std::reverse(expected.begin(), expected.end());
    std::unique_ptr<TQELRangeScanState> state = index.Index->CreateRangeScan();
    std::vector<TQELRecordID> scanned;
    TQELRecordID id{};
    for (bool first = true; index.Index->RangeScanNext(kSession, first, state.get(), id, nullptr,
                                                       c.End, c.Start, c.Forward);
         first = false) {
      scanned.push_back(id);
    }
    EXPECT_EQ(scanned, expected);
    // A scan that has begun cannot begin again.
    if (expected.empty()) continue;
    EXPECT_EQ(NativeErrorOf([&] {
                index.Index->RangeScanNext(kSession, true, state.get(), id, nullptr, c.End, c.Start,
                                           c.Forward);
              }),
              20078);
  }
  TQELRecordID id{};
  EXPECT_EQ(NativeErrorOf([&] {
              index.Index->RangeScanNext(kSession, true, nullptr, id, nullptr, nullptr, nullptr,
                                         true);
            }),
            20077);
}

// An equality tells its first entries by their keys and locates its end
// past them: runs shorter and longer than that, missing keys and both ends
// of the index give exactly the entries of the key, also when the scan
// goes on from a record inside the run.
TEST(BTreeNavigationTest, EqualityScansHoldExactlyTheEntriesOfTheirKey) {
  for (const std::int32_t distinct : {200, 1500}) {
    NavigationIndex index(2000, distinct);
    for (const std::int32_t key : {0, 1, 77, distinct - 1, distinct + 5, -3}) {
      const TQELIndexCondition equal = index.Condition(sctEqual, key);
      std::vector<TQELRecordID> run;
      for (const auto& e : index.Sorted) {
        if (e.first == key) run.push_back(e.second);
      }
      for (const bool forward : {true, false}) {
        for (const TQELIndexCondition* end : {static_cast<const TQELIndexCondition*>(nullptr), &equal}) {
          SCOPED_TRACE(testing::Message() << distinct << " key " << key << (forward ? " forward" : " backward")
                                          << (end ? " with end" : ""));
          std::vector<TQELRecordID> expected = run;
          if (!forward) std::reverse(expected.begin(), expected.end());
          std::unique_ptr<TQELRangeScanState> state = index.Index->CreateRangeScan();
          std::vector<TQELRecordID> scanned;
          TQELRecordID id{};
          for (bool first = true;
               index.Index->RangeScanNext(kSession, first, state.get(), id, nullptr, end, &equal, forward);
               first = false) {
            scanned.push_back(id);
          }
          EXPECT_EQ(scanned, expected);
          if (expected.size() < 2) continue;
          // Going on from the run's first record gives the rest of it.
          state = index.Index->CreateRangeScan();
          id = expected.front();
          scanned.clear();
          for (bool first = false; index.Index->RangeScanNext(kSession, first, state.get(), id,
                                                              index.Records.At(expected.front()).data(), end,
                                                              &equal, forward);) {
            scanned.push_back(id);
          }
          EXPECT_EQ(scanned, std::vector<TQELRecordID>(expected.begin() + 1, expected.end()));
        }
      }
    }
  }
}

TEST(BTreeNavigationTest, ARangeScanContinuesFromTheCursorsRecord) {
  NavigationIndex index(2000, 200);
  const TQELIndexCondition from = index.Condition(sctGreaterOrEqual, 50);
  const TQELIndexCondition to = index.Condition(sctLessOrEqual, 60);
  std::vector<TQELRecordID> range;
  for (const auto& e : index.Sorted) {
    if (e.first >= 50 && e.first <= 60) range.push_back(e.second);
  }
  ASSERT_GT(range.size(), 10u);
  // From a record inside the range: the scan goes on after it.
  for (const auto& [start, expectedFirst] :
       {std::pair{range[4], range[5]}, std::pair{index.Sorted.front().second, range[0]}}) {
    std::unique_ptr<TQELRangeScanState> state = index.Index->CreateRangeScan();
    TQELRecordID id = start;
    ASSERT_TRUE(index.Index->RangeScanNext(kSession, false, state.get(), id,
                                           index.Records.At(start).data(), &to, &from, true));
    EXPECT_EQ(id, expectedFirst);
  }
}

TEST(BTreeNavigationTest, RangeEstimatesStayWithinTheRecordCount) {
  NavigationIndex index(20000, 20000);
  const std::int64_t count = 20000;
  const auto estimate = [&](std::optional<std::pair<TQELSearchConditionType, std::int32_t>> a,
                            std::optional<std::pair<TQELSearchConditionType, std::int32_t>> b) {
    std::optional<TQELIndexCondition> ca, cb;
    if (a) ca = index.Condition(a->first, a->second);
    if (b) cb = index.Condition(b->first, b->second);
    return index.Index->EstimateRangeCount(kSession, ca ? &*ca : nullptr, cb ? &*cb : nullptr,
                                           count);
  };
  const auto actual = [&](std::int32_t low, std::int32_t high) {
    return std::count_if(index.Sorted.begin(), index.Sorted.end(),
                         [&](const auto& e) { return e.first >= low && e.first <= high; });
  };
  // The whole index: close to the count and never above it, however it is
  // asked for.
  for (const std::int64_t whole :
       {estimate(std::nullopt, std::nullopt),
        estimate(std::pair{sctLessOrEqual, 20000}, std::pair{sctGreaterOrEqual, -1}),
        estimate(std::pair{sctGreaterOrEqual, -1}, std::nullopt)}) {
    EXPECT_LE(whole, count);
    EXPECT_GE(whole, count * 99 / 100);
  }
  // Empty ranges.
  EXPECT_EQ(estimate(std::pair{sctGreater, 20000}, std::nullopt), 0);
  EXPECT_EQ(estimate(std::pair{sctGreaterOrEqual, 15000}, std::pair{sctLessOrEqual, 5000}), 0);
  EXPECT_EQ(estimate(std::pair{sctLess, -1}, std::nullopt), 0);
  // A middle range comes out near its real size.
  const std::int64_t middle =
      estimate(std::pair{sctGreaterOrEqual, 5000}, std::pair{sctLess, 15000});
  EXPECT_NEAR(static_cast<double>(middle), static_cast<double>(actual(5000, 14999)), count * 0.05);
  // A range of one entry is not taken for an empty one.
  const std::int32_t someKey = index.Sorted[1234].first;
  EXPECT_GE(estimate(std::pair{sctEqual, someKey}, std::nullopt),
            actual(someKey, someKey) > 0 ? 1 : 0);
  // Narrow ranges, present or not, at the ends or not, are counted exactly.
  for (const std::int32_t key : {-1, 0, 7, 4321, 19999, 20000, someKey}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(estimate(std::pair{sctEqual, key}, std::nullopt), actual(key, key));
    EXPECT_EQ(estimate(std::pair{sctGreaterOrEqual, key}, std::pair{sctLess, key + 2}), actual(key, key + 1));
    EXPECT_EQ(estimate(std::pair{sctGreater, key - 1}, std::pair{sctLessOrEqual, key}), actual(key, key));
  }
}

}  // namespace
}  // namespace qel::test
