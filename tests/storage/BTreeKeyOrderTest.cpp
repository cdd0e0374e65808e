// The order of index keys: NULLs, descending and case-insensitive columns,
// several columns, and columns indexed only by a prefix, whose ties are
// settled by the whole values read from the records.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "BTreeTestSupport.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

constexpr std::int32_t kNull = INT32_MIN;  // stands for NULL in the cases below

struct NullOrderCase {
  const char* Name;
  bool Descending;
  std::vector<std::int32_t> Values;
  std::vector<std::int32_t> Expected;  // the same values in index order
};

void PrintTo(const NullOrderCase& c, std::ostream* os) { *os << c.Name; }

class BTreeNullOrderTest : public ::testing::TestWithParam<NullOrderCase> {};

TEST_P(BTreeNullOrderTest, NullsComeFirstAscendingAndLastDescending) {
  const NullOrderCase& c = GetParam();
  TIndexFixture fixture(512);
  fixture.Defs.Add("K", aftInteger, 0);
  TQELIndexDef def;
  def.AddColumn("K", c.Descending);
  fixture.Create(def);
  // Enough rows to spread over several pages; the case's values repeat.
  std::vector<std::int32_t> expected;
  for (std::int32_t round = 0; round < 60; ++round) {
    for (std::size_t i = 0; i < c.Values.size(); ++i) {
      std::vector<std::uint8_t> record = fixture.Records.NewRecord();
      if (c.Values[i] != kNull) fixture.Records.SetInteger(record, 0, c.Values[i]);
      fixture.Add(MakeRecordID(round * 100 + static_cast<std::int32_t>(i)), record);
    }
  }
  for (const std::int32_t value : c.Expected) expected.insert(expected.end(), 60, value);
  std::vector<std::int32_t> walked;
  for (const TQELRecordID& id : fixture.WalkForward()) {
    const std::vector<std::uint8_t>& record = fixture.Records.At(id);
    walked.push_back(IsNull(0, record.data()) ? kNull : QELReadLE<std::int32_t>(record.data() + 1));
  }
  EXPECT_EQ(walked, expected);
  TTreeChecker checker(*fixture.Index, fixture.Pages);
  EXPECT_EQ(checker.Check(static_cast<std::int64_t>(expected.size())), "");
}

INSTANTIATE_TEST_SUITE_P(
    Directions, BTreeNullOrderTest,
    ::testing::Values(
        NullOrderCase{"Ascending", false, {5, kNull, -3, 7, kNull}, {kNull, kNull, -3, 5, 7}},
        NullOrderCase{"Descending", true, {5, kNull, -3, 7, kNull}, {7, 5, -3, kNull, kNull}}),
    [](const auto& info) { return std::string(info.param.Name); });

// An index over (Name, Number) with the given column options.
class TwoColumnIndex : public TIndexFixture {
 public:
  TwoColumnIndex(bool nameDescending, bool caseInsensitive, std::int32_t maxIndexedSize = 20)
      : TIndexFixture(512) {
    Defs.Add("Name", aftString, 100);
    Defs.Add("Number", aftInteger, 0);
    TQELIndexDef def;
    def.AddColumn("Name", nameDescending, caseInsensitive, maxIndexedSize);
    def.AddColumn("Number", true);
    Create(def);
  }
  void Add(std::int32_t id, const std::string& name, std::int32_t number) {
    std::vector<std::uint8_t> record = Records.NewRecord();
    Records.SetText(record, 0, name);
    Records.SetInteger(record, 1, number);
    TIndexFixture::Add(MakeRecordID(id), record);
  }
  std::vector<std::int32_t> WalkedIds() {
    std::vector<std::int32_t> ids;
    for (const TQELRecordID& id : WalkForward()) ids.push_back(RecordIDPage(id));
    return ids;
  }
};

TEST(BTreeKeyOrderTest, ColumnsCompareInOrderWithTheirDirectionAndCaseRule) {
  TwoColumnIndex index(false, true);
  index.Add(1, "beta", 1);
  index.Add(2, "ALPHA", 1);
  index.Add(3, "alpha", 2);  // equal name ignoring case: the descending number decides
  index.Add(4, "Beta", 1);   // equal in both columns: the record id decides
  index.Add(5, "gamma", 0);
  EXPECT_EQ(index.WalkedIds(), (std::vector<std::int32_t>{3, 2, 1, 4, 5}));

  TwoColumnIndex descending(true, false);
  descending.Add(1, "b", 1);
  descending.Add(2, "c", 1);
  descending.Add(3, "a", 1);
  descending.Add(4, "b", 9);
  EXPECT_EQ(descending.WalkedIds(), (std::vector<std::int32_t>{2, 4, 1, 3}));
}

TEST(BTreeKeyOrderTest, PrefixColumnTiesAreSettledByTheWholeValues) {
  // Name is VARCHAR(100) indexed by its first 10 bytes.
  TwoColumnIndex index(false, false, 10);
  ASSERT_EQ(index.Index->KeyRef()->KeySize(), (1 + 10 + 2) + (1 + 4));
  index.Add(1, "abcdefghij-zzz", 0);
  index.Add(2, "abcdefghij-aaa", 0);
  index.Add(3, "abcdefghi", 5);  // shorter than the prefix: no record needed
  index.Add(4, "abcdefghij-mmm", 0);
  index.Add(5, "abcdefghij-aaa", 7);  // same name: the descending number decides
  EXPECT_GT(index.Records.Reads, 0);
  EXPECT_EQ(index.WalkedIds(), (std::vector<std::int32_t>{3, 5, 2, 4, 1}));

  // Each entry is found and deleted exactly, including among ties.
  index.Remove(MakeRecordID(4));
  EXPECT_EQ(index.WalkedIds(), (std::vector<std::int32_t>{3, 5, 2, 1}));
  EXPECT_EQ(
      index.Index->GetRecNo(kSession, MakeRecordID(1), index.Records.At(MakeRecordID(1)).data()),
      4);
}

TEST(BTreeKeyOrderTest, ManyPrefixTiesAcrossPagesStayInFullValueOrder) {
  TwoColumnIndex index(false, false, 10);
  std::vector<std::pair<std::string, std::int32_t>> rows;
  std::mt19937 random(3);
  for (std::int32_t id = 0; id < 1500; ++id) {
    const std::string name = "shared-pre" + std::to_string(random() % 500);
    index.Add(id, name, 0);
    rows.emplace_back(name, id);
  }
  TTreeChecker checker(*index.Index, index.Pages);
  ASSERT_EQ(checker.Check(1500), "");
  // Removing a third keeps the rest in order.
  std::shuffle(rows.begin(), rows.end(), random);
  for (std::size_t i = 0; i < 500; ++i) index.Remove(MakeRecordID(rows[i].second));
  rows.erase(rows.begin(), rows.begin() + 500);
  ASSERT_EQ(checker.Check(1000), "");
  // Every name shares the indexed prefix, so only the rest orders them;
  // the collation orders these digit strings as bytes do.
  std::vector<std::string> walked;
  for (const TQELRecordID& id : index.WalkForward()) {
    walked.emplace_back(reinterpret_cast<const char*>(index.Records.At(id).data() +
                                                      index.Defs[0].MemoryOffset() + 10));
  }
  std::vector<std::string> expected;
  for (const auto& row : rows) expected.push_back(row.first.substr(10));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(walked, expected);
}

TEST(BTreeKeyOrderTest, UnreadableRecordOfATieIsReported) {
  TwoColumnIndex index(false, false, 10);
  index.Add(1, "abcdefghij-1", 0);
  index.Records.Remove(MakeRecordID(1));  // the index still holds its entry
  std::vector<std::uint8_t> record = index.Records.NewRecord();
  index.Records.SetText(record, 0, "abcdefghij-2");
  index.Records.SetInteger(record, 1, 0);
  EXPECT_EQ(
      NativeErrorOf([&] { index.Index->InsertKey(kSession, record.data(), MakeRecordID(2)); }),
      20170);
}

TEST(BTreeKeyOrderTest, NumbersAreNeverCutToAPrefix) {
  // A maximum length below a number's size would order 65537 (low bytes
  // 0x0001) before 2; numbers keep their whole value instead.
  TIndexFixture fixture;
  fixture.Defs.Add("K", aftInteger, 0);
  TQELIndexDef def;
  def.AddColumn("K", false, false, 2);
  fixture.Create(def);
  EXPECT_EQ(fixture.Index->KeyRef()->KeySize(), 5);
  for (const std::int32_t value : {65537, 2, 70000}) {
    std::vector<std::uint8_t> record = fixture.Records.NewRecord();
    fixture.Records.SetInteger(record, 0, value);
    fixture.Add(MakeRecordID(value), record);
  }
  EXPECT_EQ(fixture.WalkForward(),
            (std::vector<TQELRecordID>{MakeRecordID(2), MakeRecordID(65537), MakeRecordID(70000)}));
}

TEST(BTreeKeyOrderTest, MissingAndBlobColumnsAreRefused) {
  TIndexFixture fixture;
  fixture.Defs.Add("K", aftInteger, 0);
  fixture.Defs.Add("B", aftBlob, 0);
  fixture.Defs.RecalcOffsets();
  TQELIndexDef missing;
  missing.AddColumn("Nope");
  TQELIndexDef blob;
  blob.AddColumn("B");
  TQELBTreeRecordIndex index(fixture.Pages, fixture.Defs, &fixture.Records);
  EXPECT_EQ(NativeErrorOf([&] { index.CreateIndex(kSession, missing, false); }), 20043);
  EXPECT_EQ(NativeErrorOf([&] { index.CreateIndex(kSession, blob, false); }), 20295);
}

}  // namespace
}  // namespace qel::test
