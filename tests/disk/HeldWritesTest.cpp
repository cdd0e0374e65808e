// The writes a change holds back until it is complete: reads during the
// change see them (also when a read needs a second try), a change that
// writes part of a page keeps the rest of it, and a failure after a change
// reached the file is reported without taking the change back.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "DiskTestSupport.h"
#include "disk/QELDiskFileCheck.h"
#include "disk/QELDiskPageManager.h"
#include "platform/QELException.h"
#include "platform/QELFaultInjection.h"

namespace qel {
namespace {

class HeldWritesTest : public testing::Test {
 protected:
  void SetUp() override {
    Path = Dir.File("held.qel");
    TQELDiskPageManager manager;
    manager.CreateDatabase(Path, TQELPassword{"", 0}, 8, 512);
    PageNos = test::AddPages(manager, 6);
  }

  std::vector<std::string> Faults() {
    TQELDiskPageManager manager;
    manager.OpenDatabase(Path, {});
    std::vector<std::string> faults;
    for (const TQELFileFault& fault : CheckDiskFile(manager).Faults) faults.push_back(fault.Message);
    return faults;
  }

  test::TScratchDir Dir;
  std::string Path;
  std::vector<std::int32_t> PageNos;
};

// A freed page keeps its bytes; only its version word marks it freed.
TEST_F(HeldWritesTest, FreeingAPageChangesOnlyItsVersionWord) {
  const std::int32_t pageNo = PageNos[2];
  TQELDiskPageManager manager;
  manager.OpenDatabase(Path, {});
  const std::int64_t offset = manager.GetPageOffset(pageNo);
  const std::vector<std::uint8_t> before = test::ReadFileBytes(Path);
  manager.RemovePage(0, pageNo);
  manager.ApplyChanges(0);
  manager.CloseDatabase();
  const std::vector<std::uint8_t> after = test::ReadFileBytes(Path);
  std::vector<std::size_t> changed;
  for (std::int64_t i = 0; i < 512; ++i) {
    if (before[static_cast<std::size_t>(offset + i)] != after[static_cast<std::size_t>(offset + i)]) {
      changed.push_back(static_cast<std::size_t>(i));
    }
  }
  EXPECT_FALSE(changed.empty());
  for (const std::size_t i : changed) {
    EXPECT_TRUE(i >= page_header::kPageVersion && i < page_header::kPageVersion + 4) << "byte " << i;
  }
}

// Allocations held in memory stay the truth for the reads that follow,
// also when the first tries of a read fail: the next allocation must not
// take a page already given out.
TEST_F(HeldWritesTest, AReadThatNeedsASecondTrySeesTheHeldWrites) {
  TQELDiskPageManager manager;
  manager.OpenDatabase(Path, {});
  const std::int32_t stored = manager.GetPageCount();
  std::vector<std::int32_t> added;
  // Enough to grow the file: the held header counts more pages than the
  // stored one.
  for (int i = 0; i < 40; ++i) {
    TQELPage* page = manager.AddNewPage(0, ptTableRecord);
    added.push_back(page->PageNo);
    manager.ReleasePage(page);
  }
  const std::int32_t held = manager.GetPageCount();
  ASSERT_GT(held, stored);
  {
    TQELFaultInjector injector;
    test::ScopeToDatabase(injector, Path);
    // Both reads of the database file's own first try fail; the second try works.
    injector.Fail(fopRead, 1, 2);
    EXPECT_EQ(manager.GetPageCount(), held);
  }
  TQELPage* page = manager.AddNewPage(0, ptTableRecord);
  EXPECT_EQ(std::count(added.begin(), added.end(), page->PageNo), 0);
  manager.ReleasePage(page);
  manager.ApplyChanges(0);
  manager.CloseDatabase();
  EXPECT_EQ(Faults(), std::vector<std::string>{});
}

// The clearing of the journal fails to become durable after the commit is
// in the file: the failure is raised, and the commit stays committed, in
// the file and in the cache alike.
TEST_F(HeldWritesTest, AFailureAfterTheCommitReachedTheFileKeepsItCommitted) {
  TQELDiskPageManager manager;
  manager.OpenDatabase(Path, {});
  TQELPage* page = manager.GetPage(0, PageNos[0], false, ptTableRecord);
  page->Data()[1] = 0x5A;
  page->IsDirty = true;
  manager.ReleasePage(page);
  const std::int32_t counter = manager.GetHeader().CommitCounter;
  {
    TQELFaultInjector injector;
    injector.ScopeToPath(TQELRollbackJournal::PathFor(Path));
    // The journal's flushes: its write, then its clearing.
    injector.FailOnce(fopFlush, 2);
    try {
      manager.Commit(0, true);
      ADD_FAILURE() << "the failed flush passed unseen";
    } catch (const EQELException& e) {
      EXPECT_NE(std::string(e.what()).find(TQELRollbackJournal::PathFor(Path)), std::string::npos) << e.what();
    }
  }
  EXPECT_FALSE(manager.HasChanges(0));
  EXPECT_EQ(manager.GetHeader().CommitCounter, counter + 1);
  manager.CloseDatabase();
  TQELDiskPageManager reopened;
  reopened.OpenDatabase(Path, {});
  TQELPageGuard stored(reopened, reopened.GetPage(0, PageNos[0], false, ptTableRecord));
  EXPECT_EQ(stored->Data()[1], 0x5A);
  EXPECT_EQ(reopened.RolledBackChanges(), 0);
}

}  // namespace
}  // namespace qel
