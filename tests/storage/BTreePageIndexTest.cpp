// Page indexes: the fill count of each page with room, kept in a B-tree by
// page number, checked against a plain map through many random changes.

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "storage/QELBTree.h"
#include "support/ErrorSupport.h"
#include "support/MemoryPageManager.h"

namespace qel::test {
namespace {

constexpr std::int32_t kSession = 1;
constexpr std::int32_t kMaxRecords = 50;

class RecordPageIndexTest : public ::testing::Test {
 protected:
  RecordPageIndexTest() : Index(Pages, kMaxRecords) { Index.Create(kSession); }

  // The index walked page by page must be the model.
  void ExpectModel() {
    std::map<std::int32_t, std::int32_t> walked;
    std::int32_t pageNo;
    for (bool on = Index.FirstPage(kSession, pageNo); on; on = Index.NextPage(kSession, pageNo)) {
      walked[pageNo] = Index.GetCount(kSession, pageNo);
    }
    EXPECT_EQ(walked, Model);
    std::map<std::int32_t, std::int32_t> backward;
    for (bool on = Index.LastPage(kSession, pageNo); on; on = Index.PriorPage(kSession, pageNo)) {
      backward[pageNo] = Index.GetCount(kSession, pageNo);
    }
    EXPECT_EQ(backward, Model);
  }

  TMemoryPageManager Pages{512};
  TQELBTreeRecordPageIndex Index;
  std::map<std::int32_t, std::int32_t> Model;
};

TEST_F(RecordPageIndexTest, CountsFollowEveryAddAndRemove) {
  std::mt19937 random(5);
  for (std::int32_t step = 0; step < 20000; ++step) {
    const auto pageNo = static_cast<std::int32_t>(random() % 3000);
    auto it = Model.find(pageNo);
    if (random() % 3 != 0) {
      if (it != Model.end() && it->second >= kMaxRecords) {
        EXPECT_EQ(NativeErrorOf([&] { Index.AddToPage(kSession, 1, pageNo); }), 20106);
        continue;
      }
      Index.AddToPage(kSession, 1, pageNo);
      ++Model[pageNo];
    } else if (it == Model.end()) {
      EXPECT_EQ(NativeErrorOf([&] { Index.RemoveFromPage(kSession, 1, -1, pageNo); }), 20111);
    } else {
      Index.RemoveFromPage(kSession, 1, -1, pageNo);
      if (--it->second == 0) Model.erase(it);
    }
    if (step % 2500 == 0) Pages.ApplyChanges(kSession);
  }
  ExpectModel();
  std::int64_t total = 0;
  for (const auto& [pageNo, count] : Model) total += count;
  Index.VerifyRecordCount(kSession, total);
  EXPECT_EQ(NativeErrorOf([&] { Index.VerifyRecordCount(kSession, total + 1); }), 20292);

  // Record numbers run through the pages in order.
  std::int64_t before = 0;
  std::int32_t checked = 0;
  for (const auto& [pageNo, count] : Model) {
    std::int64_t counted;
    Index.CountRecordsBefore(kSession, pageNo, counted, 7);
    ASSERT_EQ(counted, before + 7);
    if (checked++ % 37 == 0) {
      std::int32_t foundPage, offset;
      Index.LocateRecNo(kSession, foundPage, offset, before + count - 1);
      EXPECT_EQ(foundPage, pageNo);
      EXPECT_EQ(offset, count - 1);
    }
    before += count;
  }
  std::int32_t foundPage, offset;
  EXPECT_EQ(NativeErrorOf([&] { Index.LocateRecNo(kSession, foundPage, offset, total); }), 20113);
}

TEST_F(RecordPageIndexTest, SettingACountAndEmptyingAPage) {
  Index.AddToPage(kSession, 5, 40);
  Index.AddToPage(kSession, 2, 41);
  Index.RemoveFromPage(kSession, 0, 3, 40);
  EXPECT_EQ(Index.GetCount(kSession, 40), 3);
  EXPECT_EQ(NativeErrorOf([&] { Index.RemoveFromPage(kSession, 4, -1, 40); }), 20112);
  Index.RemoveFromPage(kSession, 0, 0, 40);
  EXPECT_EQ(Index.GetCount(kSession, 40), -1);
  std::int32_t pageNo = 40;
  EXPECT_EQ(NativeErrorOf([&] { Index.NextPage(kSession, pageNo); }), 20104);
  EXPECT_EQ(NativeErrorOf([&] { Index.PriorPage(kSession, pageNo); }), 20105);
  Model = {{41, 2}};
  ExpectModel();
}

TEST_F(RecordPageIndexTest, PageWithRoomIsSoughtInTheLastLeafThenTheFirst) {
  // Enough pages for several leaves, all full.
  for (std::int32_t pageNo = 0; pageNo < 600; ++pageNo)
    Index.AddToPage(kSession, kMaxRecords, pageNo);
  std::int32_t found = -1;
  EXPECT_FALSE(Index.FindPageWithRoom(kSession, 1, found));
  // Room on a page of the first leaf is found; so is room in the last
  // leaf, and that one first.
  Index.RemoveFromPage(kSession, 1, -1, 3);
  ASSERT_TRUE(Index.FindPageWithRoom(kSession, 1, found));
  EXPECT_EQ(found, 3);
  Index.RemoveFromPage(kSession, 1, -1, 590);
  Index.RemoveFromPage(kSession, 1, -1, 598);
  ASSERT_TRUE(Index.FindPageWithRoom(kSession, 1, found));
  EXPECT_EQ(found, 598);
}

TEST(BlobPageIndexTest, ACountMayNotReachTheDataSizeLessTwo) {
  TMemoryPageManager pages(512);
  TQELBTreeBlobPageIndex index(pages);
  index.Create(kSession);
  const std::int32_t limit = pages.DataSize() - 2;
  index.AddToPage(kSession, 100, 9);
  index.AddToPage(kSession, limit - 101, 9);  // one below the limit
  EXPECT_EQ(index.GetCount(kSession, 9), limit - 1);
  EXPECT_EQ(NativeErrorOf([&] { index.AddToPage(kSession, 1, 9); }), 20106);
  EXPECT_EQ(index.GetCount(kSession, 9), limit - 1);
  // Freed bytes come off with a count of -1.
  index.RemoveFromPage(kSession, 300, -1, 9);
  EXPECT_EQ(index.GetCount(kSession, 9), limit - 301);
  index.Drop(kSession);
  pages.ApplyChanges(kSession);
  EXPECT_EQ(pages.UsedPages(), 0);
  std::int32_t pageNo;
  EXPECT_EQ(NativeErrorOf([&] { index.FirstPage(kSession, pageNo); }), 20114);
}

}  // namespace
}  // namespace qel::test
