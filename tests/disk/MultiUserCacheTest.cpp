// Two page managers sharing one file in multi-user mode: a page another
// process committed is re-read when checked, the page-version cache spares
// the check while a table's epoch holds, page use is read afresh, and a
// failed unlock of the header lock locks nobody out.

#include <gtest/gtest.h>

#include <cerrno>

#include "DiskTestSupport.h"

namespace qel {
namespace {

class MultiUserCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FPath = FDir.File("mu.qel");
    TQELDiskPageManager creator;
    creator.CreateDatabase(FPath, {"", 0}, 8, 1024);
    FPageNo = test::AddPages(creator, 1)[0];
    creator.CloseDatabase();
    Open(FFirst);
    Open(FSecond);
  }
  void Open(TQELDiskPageManager& manager) {
    manager.OpenDatabase(FPath, {}, {.MultiUser = true});
    ASSERT_TRUE(manager.MultiUser());
  }
  std::uint8_t Read(TQELDiskPageManager& manager, bool checkVersion) {
    TQELPage* page = manager.GetPage(0, FPageNo, checkVersion, ptTableRecord);
    const std::uint8_t value = page->Data()[1];
    manager.ReleasePage(page);
    return value;
  }
  void Write(TQELDiskPageManager& manager, std::uint8_t value) {
    TQELPage* page = manager.GetPage(0, FPageNo, true, ptTableRecord);
    page->Data()[1] = value;
    page->IsDirty = true;
    manager.ReleasePage(page);
    manager.ApplyChanges(0);
  }

  test::TScratchDir FDir;
  std::string FPath;
  std::int32_t FPageNo = -1;
  TQELDiskPageManager FFirst, FSecond;
};

TEST_F(MultiUserCacheTest, CommittedPagesOfAnotherProcessAreReRead) {
  EXPECT_EQ(Read(FSecond, true), 0);
  Write(FFirst, 42);
  EXPECT_EQ(Read(FSecond, false), 0) << "without a check the cached copy is served";
  EXPECT_EQ(Read(FSecond, true), 42);
  Write(FSecond, 43);
  EXPECT_EQ(Read(FFirst, true), 43);
}

TEST_F(MultiUserCacheTest, AnEpochSparesRepeatedChecks) {
  const int table = 0;
  TQELDiskTablePagesCacheManager& cache = FSecond.PagesCache();
  cache.PushCurrentTable(0, &table);
  cache.BeginRead(0, &table);
  cache.SetEpoch(0, &table, 7);
  EXPECT_EQ(Read(FSecond, true), 0);  // checked once and remembered for epoch 7
  Write(FFirst, 5);
  EXPECT_EQ(Read(FSecond, true), 0) << "the page is trusted within the epoch";
  cache.EndRead(0, &table);  // the access ends: the epoch is no longer valid
  cache.BeginRead(0, &table);
  cache.SetEpoch(0, &table, 8);
  EXPECT_EQ(Read(FSecond, true), 5);
  cache.EndRead(0, &table);
  cache.PopCurrentTable(0);
}

// Epochs are table change stamps: a page checked in one table's epoch is
// not vouched for by another table's epoch of the same number (the page
// may have been freed from the one and reused by the other).
TEST_F(MultiUserCacheTest, AnEpochVouchesOnlyInItsOwnTable) {
  const int tableT = 0;
  const int tableU = 0;
  TQELDiskTablePagesCacheManager& cache = FSecond.PagesCache();
  const auto readIn = [&](const int* table) {
    cache.PushCurrentTable(0, table);
    cache.BeginRead(0, table);
    cache.SetEpoch(0, table, 3);
    const std::uint8_t value = Read(FSecond, true);
    cache.EndRead(0, table);
    cache.PopCurrentTable(0);
    return value;
  };
  EXPECT_EQ(readIn(&tableT), 0);
  Write(FFirst, 77);
  EXPECT_EQ(readIn(&tableU), 77);
}


// Whether a page is in use is asked of the file, not of a space page read
// before another process took or freed it.
TEST_F(MultiUserCacheTest, PageUseIsReadAfresh) {
  TQELPage* page = FSecond.AddNewPage(0, ptTableRecord);
  const std::int32_t pageNo = page->PageNo;
  FSecond.ReleasePage(page);
  FSecond.CancelChanges(0);
  ASSERT_FALSE(FFirst.FreeSpaceManager()->IsPageUsed(pageNo));
  page = FSecond.AddNewPage(0, ptTableRecord);
  ASSERT_EQ(page->PageNo, pageNo);
  FSecond.ReleasePage(page);
  FSecond.ApplyChanges(0);
  EXPECT_TRUE(FFirst.FreeSpaceManager()->IsPageUsed(pageNo));
  FSecond.FreePage(pageNo);
  EXPECT_FALSE(FFirst.FreeSpaceManager()->IsPageUsed(pageNo));
}


TEST_F(MultiUserCacheTest, AFailedHeaderUnlockLocksNobodyOut) {
  FFirst.RetryPolicy = {3, 1};
  FSecond.RetryPolicy = {3, 1};
  {
    TQELFaultInjector injector;
    injector.ScopeToPath(FPath);
    injector.FailOnce(fopUnlock, 1, EINTR);
    Write(FFirst, 1);
  }
  Write(FFirst, 2);
  Write(FSecond, 3);
  EXPECT_EQ(Read(FFirst, true), 3);
}

}  // namespace
}  // namespace qel
