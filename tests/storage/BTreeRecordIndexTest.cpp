// Keeping a record index in step with its records: building it from the
// records, updates, uniqueness, duplicates removal and key paths.

#include <gtest/gtest.h>

#include <set>

#include "BTreeTestSupport.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

// Records with a name and a number, indexed by name (prefix of 10).
class NameIndex : public TIndexFixture {
 public:
  explicit NameIndex(bool unique = false) : TIndexFixture(512) {
    Defs.Add("Name", aftString, 60);
    Defs.Add("Number", aftInteger, 0);
    Defs.RecalcOffsets();
    Def.AddColumn("Name", false, false, 10);
    Def.Unique = unique;
    Def.SetObjectID(7);
  }
  std::vector<std::uint8_t> Row(const std::string& name, std::int32_t number) {
    std::vector<std::uint8_t> record = Records.NewRecord();
    Records.SetText(record, 0, name);
    Records.SetInteger(record, 1, number);
    return record;
  }
  std::vector<std::int32_t> Walked() {
    std::vector<std::int32_t> ids;
    for (const TQELRecordID& id : WalkForward()) ids.push_back(RecordIDPage(id));
    return ids;
  }
  TQELIndexDef Def;
};

TEST(BTreeRecordIndexTest, CreatingFromRecordsAndRebuildingEnterEveryRecord) {
  NameIndex index;
  const char* names[] = {"pear", "apple", "fig", "banana", "cherry"};
  for (std::int32_t i = 0; i < 5; ++i) index.Records.Put(MakeRecordID(i), index.Row(names[i], i));
  index.Index = std::make_unique<TQELBTreeRecordIndex>(index.Pages, index.Defs, &index.Records);
  index.Index->CreateIndex(kSession, index.Def, true);
  EXPECT_GE(index.Index->IndexDef().RootPageNo, 0);
  EXPECT_EQ(index.Walked(), (std::vector<std::int32_t>{1, 3, 4, 2, 0}));

  index.Records.Put(MakeRecordID(5), index.Row("date", 5));
  index.Index->RebuildIndex(kSession);
  EXPECT_EQ(index.Walked(), (std::vector<std::int32_t>{1, 3, 4, 5, 2, 0}));
  index.Pages.ApplyChanges(kSession);
  EXPECT_EQ(index.Pages.UsedPages(), 1);

  // Opening the same tree from its definition sees the same entries.
  TQELBTreeRecordIndex reopened(index.Pages, index.Defs, &index.Records);
  reopened.OpenIndex(index.Index->IndexDef());
  TQELRecordID id{};
  reopened.SetRecNo(kSession, id, 4);
  EXPECT_EQ(RecordIDPage(id), 5);
}

TEST(BTreeRecordIndexTest, UpdateMovesAnEntryOnlyWhenItsKeyChanges) {
  NameIndex index;
  index.Create(index.Def);
  for (std::int32_t i = 0; i < 300; ++i)
    index.Add(MakeRecordID(i), index.Row("name" + std::to_string(i), i));
  // A change outside the key leaves the entry alone: asked twice to remove
  // the old entry, it removes nothing either time.
  std::vector<std::uint8_t> before = index.Records.At(MakeRecordID(10));
  std::vector<std::uint8_t> after = index.Row("name10", 999);
  index.Index->UpdateKey(kSession, before.data(), after.data(), MakeRecordID(10), true);
  index.Index->UpdateKey(kSession, before.data(), after.data(), MakeRecordID(10), true);
  // A changed key moves: the old entry goes, the new one comes.
  after = index.Row("aaa-first", 10);
  index.Index->UpdateKey(kSession, before.data(), after.data(), MakeRecordID(10), true);
  index.Records.Put(MakeRecordID(10), after);
  index.Index->UpdateKey(kSession, before.data(), after.data(), MakeRecordID(10), false);
  EXPECT_EQ(index.Walked().front(), 10);
  EXPECT_EQ(NativeErrorOf([&] {
              index.Index->UpdateKey(kSession, before.data(), after.data(), MakeRecordID(10), true);
            }),
            20250);
  TTreeChecker checker(*index.Index, index.Pages);
  EXPECT_EQ(checker.Check(300), "");
}

TEST(BTreeRecordIndexTest, UniquenessLooksAtWholeValues) {
  NameIndex unique(true);
  unique.Create(unique.Def);
  unique.Add(MakeRecordID(1), unique.Row("abcdefghij-one", 1));
  // Equal in the indexed prefix only: still unique.
  EXPECT_TRUE(unique.Index->IsUnique(kSession, unique.Row("abcdefghij-two", 2).data()));
  EXPECT_FALSE(unique.Index->IsUnique(kSession, unique.Row("abcdefghij-one", 2).data()));
  const std::vector<std::uint8_t> own = unique.Records.At(MakeRecordID(1));
  EXPECT_TRUE(
      unique.Index->IsUniqueOnUpdate(kSession, own.data(), unique.Row("abcdefghij-one", 5).data()));
  unique.Add(MakeRecordID(2), unique.Row("other", 2));
  EXPECT_FALSE(unique.Index->IsUniqueOnUpdate(kSession, unique.Records.At(MakeRecordID(2)).data(),
                                              unique.Row("abcdefghij-one", 2).data()));
  // An index that is neither unique nor primary allows anything.
  NameIndex plain;
  plain.Create(plain.Def);
  plain.Add(MakeRecordID(1), plain.Row("x", 1));
  EXPECT_TRUE(plain.Index->IsUnique(kSession, plain.Row("x", 1).data()));
}

// Bits over index positions, as a record bitmap keeps them.
class TPositionBits final : public TQELIndexPositionBits {
 public:
  bool GetBit(std::int64_t position) const override { return Set.count(position) != 0; }
  void SetBit(std::int64_t position, bool value) override {
    if (value) {
      Set.insert(position);
    } else {
      Set.erase(position);
    }
  }
  std::set<std::int64_t> Set;
};

TEST(BTreeRecordIndexTest, RemoveDuplicatesKeepsTheFirstOfEachMarkedRun) {
  TIndexFixture fixture(512);
  fixture.Defs.Add("A", aftInteger, 0);
  fixture.Defs.Add("B", aftInteger, 0);
  TQELIndexDef def;
  def.AddColumn("A");
  def.AddColumn("B");
  fixture.Create(def);
  for (std::int32_t i = 0; i < 600; ++i) {
    std::vector<std::uint8_t> record = fixture.Records.NewRecord();
    fixture.Records.SetInteger(record, 0, i / 10);
    fixture.Records.SetInteger(record, 1, i);
    fixture.Add(MakeRecordID(i), record);
  }
  // Mark every entry but those with B % 10 == 0, the first of each A.
  TQELBTreeRecordIndex& index = *fixture.Index;
  TQELBTreeCore& tree = *index.Tree();
  TPositionBits bits;
  std::vector<std::int64_t> positions;
  TQELKeyPath path;
  for (bool on = tree.First(kSession, path); on; on = tree.Next(kSession, path)) {
    positions.push_back(TQELBTreeCore::PositionNumber(path, index.MaxEntriesPerPage() + 1));
  }
  ASSERT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (i % 10 != 0) bits.SetBit(positions[i], true);
  }
  index.RemoveDuplicates(kSession, bits, 1);
  // Of each run of equal A, the first marked entry (B % 10 == 1) is kept.
  std::set<std::int64_t> expected;
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (i % 10 == 1) expected.insert(positions[i]);
  }
  EXPECT_EQ(bits.Set, expected);
}

TEST(BTreeRecordIndexTest, KeyPathsCompareByPositionAndLeadToTheirRecords) {
  NameIndex index;
  index.Create(index.Def);
  for (std::int32_t i = 0; i < 400; ++i)
    index.Add(MakeRecordID(i), index.Row("n" + std::to_string(1000 + i), i));
  std::unique_ptr<TQELKeyPath> a = index.Index->CreateKeyPath();
  std::unique_ptr<TQELKeyPath> b = index.Index->CreateKeyPath();
  ASSERT_TRUE(index.Index->FindRecordEntry(kSession, MakeRecordID(5), *a,
                                           index.Records.At(MakeRecordID(5)).data()));
  ASSERT_TRUE(index.Index->FindRecordEntry(kSession, MakeRecordID(300), *b,
                                           index.Records.At(MakeRecordID(300)).data()));
  EXPECT_LT(index.Index->CompareKeyPaths(a.get(), b.get()), 0);
  EXPECT_GT(index.Index->CompareKeyPaths(b.get(), a.get()), 0);
  EXPECT_EQ(index.Index->CompareKeyPaths(a.get(), a.get()), 0);
  EXPECT_EQ(NativeErrorOf([&] { index.Index->CompareKeyPaths(nullptr, b.get()); }), 10384);
  EXPECT_EQ(NativeErrorOf([&] { index.Index->CompareKeyPaths(a.get(), nullptr); }), 10385);
  TQELRecordID id{};
  index.Index->GetRecordIDAtPath(kSession, *b, id);
  EXPECT_EQ(RecordIDPage(id), 300);
  index.Index->FreeKeyPath(a);
  EXPECT_EQ(a, nullptr);
  // Record keys compare by the whole values, limited to the columns asked.
  EXPECT_LT(index.Index->CompareRecordKeys(index.Row("abcdefghij-1", 0).data(),
                                           index.Row("abcdefghij-2", 0).data(), 0),
            0);
  EXPECT_EQ(index.Index->MaxEntriesPerPage(),
            static_cast<std::int32_t>(index.Pages.DataSize()) / (13 + 4));
}

}  // namespace
}  // namespace qel::test
