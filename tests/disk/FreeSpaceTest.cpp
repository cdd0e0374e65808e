// Allocation and release of pages through the PFS and EAM pages: growth,
// shrinking, double frees, and two processes sharing one file.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "DiskTestSupport.h"
#include "disk/QELDiskFileCheck.h"

namespace qel {
namespace {

using test::NativeErrorOf;

class FreeSpaceTest : public ::testing::Test {
 protected:
  void Create(std::uint16_t pageSize = 1024, std::uint16_t extent = 8) {
    FPath = FDir.File("fs.qel");
    FManager.CreateDatabase(FPath, {"", 0}, extent, pageSize);
  }
  std::int32_t Allocate() { return test::AddPages(FManager, 1)[0]; }
  void Free(std::int32_t pageNo) {
    FManager.RemovePage(0, pageNo);
    FManager.ApplyChanges(0);
  }
  TQELDatabaseFreeSpaceManager& Space() { return *FManager.FreeSpaceManager(); }

  test::TScratchDir FDir;
  std::string FPath;
  TQELDiskPageManager FManager;
};

TEST_F(FreeSpaceTest, FileGrowsByATenthAndNeverEndsOnASpacePage) {
  Create();
  std::int32_t previousTotal = 0;
  std::vector<std::int32_t> growths;
  for (int i = 0; i < 400; ++i) {
    const std::int32_t pageNo = Allocate();
    EXPECT_FALSE(Space().IsSpacePage(pageNo));
    const std::int32_t total = FManager.GetPageCount();
    if (total != previousTotal) {
      growths.push_back(total - previousTotal);
      // Growth was computed from the count before it.
      const std::int32_t expected = previousTotal == 0 ? 6 : std::max(previousTotal / 10, 8);
      EXPECT_GE(total - previousTotal, expected);
      EXPECT_FALSE(Space().IsSpacePage(total - 1)) << "file ends on a space page at " << total;
      previousTotal = total;
    }
  }
  EXPECT_EQ(growths[0], 6);
  EXPECT_EQ(growths[1], 8);
  EXPECT_EQ(test::ReadFileBytes(FPath).size(), 380u + std::size_t(previousTotal) * 1024);
}

TEST_F(FreeSpaceTest, GrowthStepsOverSpacePagesAtTheEnd) {
  // Small pages: D = 88 data bytes, P = 704 pages per PFS page, E = 352 * X.
  Create(128, 1);
  EXPECT_EQ(Space().PagesPerPFS(), 704);
  EXPECT_EQ(Space().PagesPerEAM(), 352);
  std::set<std::int32_t> seen;
  for (int i = 0; i < 1500; ++i) {
    const std::int32_t pageNo = Allocate();
    ASSERT_TRUE(seen.insert(pageNo).second);
    ASSERT_FALSE(Space().IsSpacePage(pageNo)) << pageNo;
    ASSERT_FALSE(Space().IsSpacePage(FManager.GetPageCount() - 1));
  }
  // EAM page 2 sits at 704 + 1, behind PFS page 1.
  EXPECT_EQ(Space().EAMPageNo(2), 705);
  EXPECT_TRUE(Space().IsSpacePage(704));
  EXPECT_TRUE(Space().IsSpacePage(705));
  EXPECT_TRUE(Space().IsSpacePage(352));
  EXPECT_FALSE(Space().IsSpacePage(706));
}

TEST_F(FreeSpaceTest, FreedPagesAreReusedLowestFirst) {
  Create();
  std::vector<std::int32_t> pages;
  for (int i = 0; i < 20; ++i) pages.push_back(Allocate());
  Free(pages[3]);
  Free(pages[7]);
  EXPECT_EQ(Allocate(), pages[3]);
  EXPECT_EQ(Allocate(), pages[7]);
  EXPECT_EQ(NativeErrorOf([&] { Free(pages[3]); Free(pages[3]); }), 30427);
}

TEST_F(FreeSpaceTest, FreeingTheHighestUsedPageShrinksInWholeIncrements) {
  Create();
  std::vector<std::int32_t> pages;
  while (pages.empty() || pages.back() < 180) pages.push_back(Allocate());
  // Free everything above page 120 but the highest page: nothing shrinks
  // while the highest page is in use.
  const std::int32_t highest = pages.back();
  for (const std::int32_t pageNo : pages) {
    if (pageNo > 120 && pageNo != highest) FManager.RemovePage(0, pageNo);
  }
  FManager.ApplyChanges(0);
  const std::int32_t total = FManager.GetPageCount();
  ASSERT_EQ(FManager.GetHeader().LastUsedPageNo, highest);
  // Freeing it leaves page 120 the last used one and cuts whole increments.
  Free(highest);
  EXPECT_EQ(FManager.GetHeader().LastUsedPageNo, 120);
  const std::int32_t increment = std::max(total / 10, 8);
  const std::int32_t freeAtEnd = total - 120 - 1;
  EXPECT_EQ(FManager.GetPageCount(), total - freeAtEnd / increment * increment);
  EXPECT_EQ(test::ReadFileBytes(FPath).size(), 380u + std::size_t(FManager.GetPageCount()) * 1024);
  // A page beyond the file is refused without touching the file.
  EXPECT_EQ(NativeErrorOf([&] { Free(FManager.GetPageCount() + 5); }), 30430);
  EXPECT_EQ(test::ReadFileBytes(FPath).size(), 380u + std::size_t(FManager.GetPageCount()) * 1024);
}

// The only opener cuts the room grown ahead of need off when it closes:
// the file ends with its last used page, space pages created in the cut
// tail go with it, and the file reopens clean and grows again from there.
// Another opener's close leaves the file as it is.
TEST_F(FreeSpaceTest, TheOnlyOpenerClosesTheFileAtItsLastUsedPage) {
  struct TCase {
    const char* Name;
    std::uint16_t PageSize;
    std::uint16_t Extent;
    std::int32_t GrowPast;  // allocate until the file has more pages than this
  };
  for (const TCase& c : {TCase{"plain growth", 1024, 8, 300},
                         // The last growth made PFS page 2 at 1408.
                         TCase{"a space page in the tail", 128, 8, 1408}}) {
    SCOPED_TRACE(c.Name);
    Create(c.PageSize, c.Extent);
    std::int32_t last = -1;
    while (FManager.GetPageCount() <= c.GrowPast) last = Allocate();
    ASSERT_LT(last, c.GrowPast);
    const std::size_t grown = 380u + std::size_t(FManager.GetPageCount()) * c.PageSize;
    FManager.CloseDatabase(false);
    EXPECT_EQ(test::ReadFileBytes(FPath).size(), grown);

    FManager.OpenDatabase(FPath, {"", 0});
    FManager.CloseDatabase(true);
    EXPECT_EQ(test::ReadFileBytes(FPath).size(), 380u + std::size_t(last + 1) * c.PageSize);
    FManager.OpenDatabase(FPath, {"", 0});
    EXPECT_EQ(FManager.GetPageCount(), last + 1);
    EXPECT_EQ(FManager.GetHeader().LastUsedPageNo, last);
    for (const TQELFileFault& fault : CheckDiskFile(FManager).Faults) ADD_FAILURE() << fault.PageNo << ": " << fault.Message;
    const std::int32_t next = Allocate();
    EXPECT_GT(next, last);
    EXPECT_FALSE(Space().IsSpacePage(next));
    for (const TQELFileFault& fault : CheckDiskFile(FManager).Faults) ADD_FAILURE() << fault.PageNo << ": " << fault.Message;
    FManager.CloseDatabase();
  }
}

TEST_F(FreeSpaceTest, TwoProcessesNeverGetTheSamePage) {
  Create();
  Allocate();
  FManager.CloseDatabase();
  const std::string resultA = FDir.File("a.txt"), resultB = FDir.File("b.txt");
  auto worker = [&](const std::string& resultFile, int seed) {
    return [&, resultFile, seed]() -> int {
      TQELDiskPageManager manager;
      manager.OpenDatabase(FPath, {}, {.MultiUser = true});
      std::vector<std::int32_t> kept;
      std::string log;
      for (int i = 0; i < 150; ++i) {
        const std::int32_t pageNo = test::AddPages(manager, 1, 0)[0];
        kept.push_back(pageNo);
        if ((i + seed) % 3 == 0) {  // give some back, so that pages get reused
          manager.RemovePage(0, kept.front());
          manager.ApplyChanges(0);
          kept.erase(kept.begin());
        }
      }
      for (const std::int32_t pageNo : kept) log += std::to_string(pageNo) + "\n";
      test::WriteFileBytes(resultFile, std::vector<std::uint8_t>(log.begin(), log.end()));
      return 0;
    };
  };
  test::TChildProcess a([&](test::TChildProcess&) { return worker(resultA, 0)(); });
  test::TChildProcess b([&](test::TChildProcess&) { return worker(resultB, 1)(); });
  ASSERT_EQ(a.Wait(std::chrono::seconds(60)), 0);
  ASSERT_EQ(b.Wait(std::chrono::seconds(60)), 0);

  std::multiset<std::int32_t> held;
  for (const std::string& file : {resultA, resultB}) {
    const std::vector<std::uint8_t> bytes = test::ReadFileBytes(file);
    std::string text(bytes.begin(), bytes.end());
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t end = text.find('\n', pos);
      held.insert(std::stoi(text.substr(pos, end - pos)));
      pos = end + 1;
    }
  }
  EXPECT_EQ(held.size(), 200u);
  for (const std::int32_t pageNo : held) EXPECT_EQ(held.count(pageNo), 1u) << "page " << pageNo << " handed out twice";
  // The file agrees: every page a process holds is marked used.
  TQELDiskPageManager check;
  check.OpenDatabase(FPath, {});
  for (const std::int32_t pageNo : held) EXPECT_TRUE(check.FreeSpaceManager()->IsPageUsed(pageNo)) << pageNo;
}

}  // namespace
}  // namespace qel
