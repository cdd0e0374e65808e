// The shape of the B-tree under many inserts and deletes: splits, merges,
// the root growing and shrinking, equal keys in record-id order, and pages
// going back to storage.

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>

#include "BTreeTestSupport.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

#ifdef __SANITIZE_ADDRESS__
constexpr std::int32_t kKeyCount = 20000;
#else
constexpr std::int32_t kKeyCount = 100000;
#endif
constexpr std::int32_t kCheckEvery = 1000;

// An index over one INTEGER column.
class IntegerIndex : public TIndexFixture {
 public:
  explicit IntegerIndex(std::uint16_t pageSize) : TIndexFixture(pageSize) {
    Defs.Add("K", aftInteger, 0);
    TQELIndexDef def;
    def.SetName("ByK");
    def.AddColumn("K");
    Create(def);
  }
  std::vector<std::uint8_t> RecordWith(std::int32_t key) {
    std::vector<std::uint8_t> record = Records.NewRecord();
    Records.SetInteger(record, 0, key);
    return record;
  }
  // Commits the session's pages, so that later steps read through the cache.
  void Commit() { Pages.ApplyChanges(kSession); }
};

enum class TOrder { Ascending, Descending, Random };

struct OrderCase {
  const char* Name;
  TOrder Insert;
  TOrder Delete;
};

void PrintTo(const OrderCase& c, std::ostream* os) { *os << c.Name; }

std::vector<std::int32_t> Ordered(TOrder order, std::uint32_t seed) {
  std::vector<std::int32_t> keys(kKeyCount);
  std::iota(keys.begin(), keys.end(), 0);
  if (order == TOrder::Descending) std::reverse(keys.begin(), keys.end());
  if (order == TOrder::Random) std::shuffle(keys.begin(), keys.end(), std::mt19937(seed));
  return keys;
}

class BTreeGrowAndShrinkTest : public ::testing::TestWithParam<OrderCase> {};

TEST_P(BTreeGrowAndShrinkTest, EveryKeyInsertedAndDeletedWithTheTreeSoundThroughout) {
  IntegerIndex index(1024);
  TTreeChecker checker(*index.Index, index.Pages);
  // Record ids are unrelated to keys, so that the id order is not the key
  // order.
  const auto idOf = [](std::int32_t key) { return MakeRecordID(key * 7919 % 1000003); };

  const std::vector<std::int32_t> inserts = Ordered(GetParam().Insert, 1);
  for (std::int32_t i = 0; i < kKeyCount; ++i) {
    index.Add(idOf(inserts[i]), index.RecordWith(inserts[i]));
    if ((i + 1) % kCheckEvery == 0) {
      index.Commit();
      ASSERT_EQ(checker.Check(i + 1), "") << "after insert " << i + 1;
    }
  }
  EXPECT_GE(checker.Depth(), 3);
  const std::vector<TQELRecordID> walked = index.WalkForward();
  ASSERT_EQ(walked.size(), static_cast<std::size_t>(kKeyCount));
  for (std::int32_t key = 0; key < kKeyCount; key += 997) EXPECT_EQ(walked[key], idOf(key));

  const std::vector<std::int32_t> deletes = Ordered(GetParam().Delete, 2);
  for (std::int32_t i = 0; i < kKeyCount; ++i) {
    index.Remove(idOf(deletes[i]));
    if ((i + 1) % kCheckEvery == 0) {
      index.Commit();
      ASSERT_EQ(checker.Check(kKeyCount - i - 1), "") << "after delete " << i + 1;
    }
  }
  // One empty root leaf is left, and every other page went back.
  index.Commit();
  EXPECT_EQ(checker.Depth(), 1);
  EXPECT_EQ(index.Index->Tree()->EntryCount(kSession), 0);
  EXPECT_EQ(index.Pages.UsedPages(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Orders, BTreeGrowAndShrinkTest,
    ::testing::Values(OrderCase{"Ascending", TOrder::Ascending, TOrder::Ascending},
                      OrderCase{"Descending", TOrder::Descending, TOrder::Ascending},
                      OrderCase{"Random", TOrder::Random, TOrder::Random}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(BTreeStructureTest, EqualKeysKeepRecordIdOrderAndAreDeletedExactly) {
  // Small pages, so that runs of one key span many leaves and nodes.
  IntegerIndex index(512);
  TTreeChecker checker(*index.Index, index.Pages);
  std::mt19937 random(7);
  std::vector<std::pair<std::int32_t, TQELRecordID>> entries;
  std::vector<std::int32_t> pages(3000);
  std::iota(pages.begin(), pages.end(), -1500);  // negative ids order before positive ones
  std::shuffle(pages.begin(), pages.end(), random);
  for (const std::int32_t page : pages) {
    const std::int32_t key = static_cast<std::int32_t>(random() % 4);
    const TQELRecordID id = MakeRecordID(page, static_cast<std::uint16_t>(random() % 3 + 0xFFFD));
    index.Add(id, index.RecordWith(key));
    entries.emplace_back(key, id);
  }
  const auto byKeyThenId = [](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first < b.first;
    return CompareRecordIDs(a.second.data(), b.second.data()) < 0;
  };
  const auto expectedOrder = [&] {
    std::vector<std::pair<std::int32_t, TQELRecordID>> sorted = entries;
    std::sort(sorted.begin(), sorted.end(), byKeyThenId);
    std::vector<TQELRecordID> ids;
    for (const auto& entry : sorted) ids.push_back(entry.second);
    return ids;
  };
  ASSERT_EQ(checker.Check(static_cast<std::int64_t>(entries.size())), "");
  EXPECT_EQ(index.WalkForward(), expectedOrder());

  // An existing key with an id it does not have is not an entry.
  EXPECT_EQ(NativeErrorOf([&] {
              index.Index->DeleteKey(kSession, index.RecordWith(1).data(), MakeRecordID(99999));
            }),
            20027);
  // Remove every other entry by its id; exactly those go.
  std::shuffle(entries.begin(), entries.end(), random);
  const std::size_t half = entries.size() / 2;
  for (std::size_t i = 0; i < half; ++i) index.Remove(entries[i].second);
  entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(half));
  ASSERT_EQ(checker.Check(static_cast<std::int64_t>(entries.size())), "");
  EXPECT_EQ(index.WalkForward(), expectedOrder());
}

// Leaves stay well filled whatever the order keys come in: keys added in
// ascending order fill their pages, a full leaf passes entries to a
// neighbour with room before it splits; and full leaves still take keys
// in between afterwards.
TEST(BTreeStructureTest, LeavesStayWellFilledInEveryInsertOrder) {
  constexpr std::int32_t kKeys = 4000;
  for (const auto& [order, leastFill] :
       {std::pair{TOrder::Ascending, 0.97}, std::pair{TOrder::Descending, 0.97}, std::pair{TOrder::Random, 0.78}}) {
    std::vector<std::int32_t> keys(kKeys);
    for (std::int32_t i = 0; i < kKeys; ++i) keys[static_cast<std::size_t>(i)] = 2 * i;
    if (order == TOrder::Descending) std::reverse(keys.begin(), keys.end());
    if (order == TOrder::Random) std::shuffle(keys.begin(), keys.end(), std::mt19937(3));
    IntegerIndex index(512);
    for (const std::int32_t key : keys) index.Add(MakeRecordID(key), index.RecordWith(key));
    index.Commit();
    TTreeChecker checker(*index.Index, index.Pages);
    ASSERT_EQ(checker.Check(kKeys), "");
    EXPECT_GE(checker.LeafFill(), leastFill) << static_cast<int>(order);

    for (std::int32_t i = 0; i < kKeys; ++i) keys[static_cast<std::size_t>(i)] = 2 * i + 1;
    std::shuffle(keys.begin(), keys.end(), std::mt19937(5));
    for (const std::int32_t key : keys) index.Add(MakeRecordID(key), index.RecordWith(key));
    index.Commit();
    ASSERT_EQ(checker.Check(2 * kKeys), "");
    EXPECT_GE(checker.LeafFill(), 0.78) << static_cast<int>(order);
    const std::vector<TQELRecordID> walked = index.WalkForward();
    ASSERT_EQ(walked.size(), static_cast<std::size_t>(2 * kKeys));
    for (std::int32_t key = 0; key < 2 * kKeys; key += 97) {
      EXPECT_EQ(walked[static_cast<std::size_t>(key)], MakeRecordID(key));
    }
  }
}

TEST(BTreeStructureTest, DropFreesEveryPageAndEmptyKeepsOnlyTheRoot) {
  IntegerIndex index(512);
  for (std::int32_t key = 0; key < 2000; ++key) index.Add(MakeRecordID(key), index.RecordWith(key));
  index.Commit();
  ASSERT_GT(index.Pages.UsedPages(), 10);
  const std::int32_t root = index.Index->IndexDef().RootPageNo;

  index.Index->EmptyIndex(kSession);
  index.Commit();
  EXPECT_EQ(index.Pages.UsedPages(), 1);
  EXPECT_EQ(index.Index->Tree()->RootPageNo(), root);
  EXPECT_EQ(index.WalkForward().size(), 0u);
  index.Add(MakeRecordID(1), index.RecordWith(5));
  EXPECT_EQ(index.WalkForward().size(), 1u);

  index.Index->DropIndex(kSession);
  index.Commit();
  EXPECT_EQ(index.Pages.UsedPages(), 0);
  EXPECT_EQ(index.Index->IndexDef().RootPageNo, -1);
  EXPECT_EQ(NativeErrorOf([&] { index.Index->DropIndex(kSession); }), 20119);
  EXPECT_EQ(NativeErrorOf([&] {
              index.Index->InsertKey(kSession, index.RecordWith(1).data(), MakeRecordID(1));
            }),
            20121);
}

}  // namespace
}  // namespace qel::test
