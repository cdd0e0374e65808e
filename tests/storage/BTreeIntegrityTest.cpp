// The tree's own integrity check, and damaged pages: each kind of damage is
// reported with its code, and reading a damaged tree raises instead of
// running off the page.

#include <gtest/gtest.h>

#include <functional>

#include "BTreeTestSupport.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

// A three-level tree over one INTEGER column, committed.
class DamageFixture : public TIndexFixture {
 public:
  DamageFixture() : TIndexFixture(512) {
    Defs.Add("K", aftInteger, 0);
    TQELIndexDef def;
    def.AddColumn("K");
    Create(def);
    for (std::int32_t key = 0; key < 3000; ++key) {
      std::vector<std::uint8_t> record = Records.NewRecord();
      Records.SetInteger(record, 0, key);
      Add(MakeRecordID(key), record);
    }
    Pages.ApplyChanges(kSession);
  }

  // Changes one page in place.
  void Damage(std::int32_t pageNo, const std::function<void(TQELBTreePage&)>& change) {
    TQELPage* raw = Pages.GetPage(kSession, pageNo, false, ptTableIndex);
    TQELBTreePage page(raw, kQELRecordIDSize);
    change(page);
    raw->IsDirty = true;
    Pages.ReleasePage(raw);
  }
  // The page number of child `index` of a page.
  std::int32_t Child(std::int32_t pageNo, std::int32_t index) {
    TQELPage* raw = Pages.GetPage(kSession, pageNo, false, ptTableIndex);
    TQELPageGuard guard(Pages, raw);
    return TQELBTreePage(raw, kQELRecordIDSize).ChildPage(index);
  }
  std::int32_t Root() const { return Index->Tree()->RootPageNo(); }
};

TEST(BTreeIntegrityTest, ASoundTreePasses) {
  DamageFixture fixture;
  fixture.Index->Tree()->CheckIntegrity(kSession);
  TTreeChecker checker(*fixture.Index, fixture.Pages);
  ASSERT_EQ(checker.Check(3000), "");
  ASSERT_EQ(checker.Depth(), 3);
}

struct DamageCase {
  const char* Name;
  std::int32_t ExpectedCode;
  std::function<void(DamageFixture&)> Apply;
};

void PrintTo(const DamageCase& c, std::ostream* os) { *os << c.Name; }

class BTreeDamageTest : public ::testing::TestWithParam<DamageCase> {};

TEST_P(BTreeDamageTest, IntegrityCheckNamesTheDamage) {
  DamageFixture fixture;
  GetParam().Apply(fixture);
  EXPECT_EQ(NativeErrorOf([&] { fixture.Index->Tree()->CheckIntegrity(kSession); }),
            GetParam().ExpectedCode);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, BTreeDamageTest,
    ::testing::Values(
        DamageCase{"LeafEntriesSwapped", 20028,
                   [](DamageFixture& f) {
                     f.Damage(f.Child(f.Child(f.Root(), 1), 2), [](TQELBTreePage& leaf) {
                       std::swap_ranges(leaf.Entry(3), leaf.Entry(4), leaf.Entry(4));
                     });
                   }},
        DamageCase{"NodeKeyNotItsChildsFirstKey", 20029,
                   [](DamageFixture& f) {
                     f.Damage(f.Child(f.Root(), 1), [](TQELBTreePage& node) {
                       QELWriteLE<std::int32_t>(node.Key(2) + 1,
                                                QELReadLE<std::int32_t>(node.Key(2) + 1) - 1);
                     });
                   }},
        DamageCase{"ChildLinkedToAStranger", 20033,
                   [](DamageFixture& f) {
                     f.Damage(f.Child(f.Child(f.Root(), 0), 3), [](TQELBTreePage& leaf) {
                       leaf.SetPrevPage(leaf.PrevPage() + 1000);
                     });
                   }},
        DamageCase{"NodePointsBackUp", 20032,
                   [](DamageFixture& f) {
                     const std::int32_t root = f.Root();
                     f.Damage(f.Child(root, 0),
                              [root](TQELBTreePage& node) { node.SetChildPage(0, root); });
                   }},
        DamageCase{"WrongKeySize", 20028,
                   [](DamageFixture& f) {
                     f.Damage(f.Child(f.Child(f.Root(), 0), 0), [](TQELBTreePage& leaf) {
                       QELWriteLE<std::uint16_t>(leaf.Data() + btree_page::kKeySize, 200);
                     });
                   }},
        DamageCase{"EntryCountBeyondThePage", 20028,
                   [](DamageFixture& f) {
                     f.Damage(f.Child(f.Child(f.Root(), 1), 1),
                              [](TQELBTreePage& leaf) { leaf.SetEntryCount(0xFFFF); });
                   }}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(BTreeIntegrityTest, ALeafChainInACircleEndsTheWalk) {
  DamageFixture fixture;
  const std::int32_t leaf = fixture.Child(fixture.Child(fixture.Root(), 1), 5);
  fixture.Damage(leaf, [leaf](TQELBTreePage& page) { page.SetPrevPage(leaf); });
  TQELRecordID id{};
  EXPECT_EQ(NativeErrorOf([&] { fixture.Index->SetRecNo(kSession, id, 2900); }), 0);
  EXPECT_EQ(
      NativeErrorOf([&] { fixture.Index->GetRecNo(kSession, id, fixture.Records.At(id).data()); }),
      20032);
}

TEST(BTreeIntegrityTest, DamagedPagesStopOperationsWithAnError) {
  DamageFixture fixture;
  // Every leaf claims more entries than a page holds.
  const std::int32_t root = fixture.Root();
  for (std::int32_t i = 0; i < 2; ++i) {
    const std::int32_t node = fixture.Child(root, i);
    for (std::int32_t j = 0; j < 40; ++j) {
      fixture.Damage(fixture.Child(node, j),
                     [](TQELBTreePage& leaf) { leaf.SetEntryCount(0x7000); });
    }
  }
  std::vector<std::uint8_t> record = fixture.Records.NewRecord();
  fixture.Records.SetInteger(record, 0, 5);
  EXPECT_EQ(
      NativeErrorOf([&] { fixture.Index->InsertKey(kSession, record.data(), MakeRecordID(9000)); }),
      20028);
  EXPECT_EQ(NativeErrorOf([&] { fixture.WalkForward(); }), 20028);
  // A page of another kind is not taken for a tree page.
  TQELPage* raw = fixture.Pages.GetPage(kSession, root, false, ptTableIndex);
  raw->SetPageType(ptTableRecord);
  raw->IsDirty = true;
  fixture.Pages.ReleasePage(raw);
  EXPECT_EQ(NativeErrorOf([&] { fixture.WalkForward(); }), 20028);
}

}  // namespace
}  // namespace qel::test
