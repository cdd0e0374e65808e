// The page cache on its own, over a page manager that keeps its "storage" in
// memory: sessions' private changes, commit and rollback, use counts and the
// least-recently-used eviction.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "pagecache/QELPageManager.h"
#include "platform/QELException.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

constexpr std::uint16_t kPageSize = 256;

class TMemoryStorage final : public TQELPageManager {
 public:
  TMemoryStorage() : TQELPageManager(kPageSize, kQELPageHeaderSize) {}

  void AllocatePage(TQELPage* page) override {
    page->PageNo = FNextPageNo++;
    page->AllocateBuffer();
    FUsed.insert(page->PageNo);
  }
  void FreePage(std::int32_t pageNo) override {
    FUsed.erase(pageNo);
    FStored.erase(pageNo);
  }
  bool ReadPage(TQELPage* page) override {
    ++Reads;
    page->AllocateBuffer();
    const auto it = FStored.find(page->PageNo);
    if (it == FStored.end()) return false;
    std::copy(it->second.begin(), it->second.end(), page->Buffer());
    return true;
  }
  void WritePage(TQELPage* page) override {
    ++Writes;
    FStored[page->PageNo].assign(page->Buffer(), page->Buffer() + PageSize());
  }

  // A stored page whose first data byte is `value`.
  void Store(std::int32_t pageNo, std::uint8_t value, std::uint16_t pageType = ptTableRecord) {
    std::vector<std::uint8_t> bytes(kPageSize, 0);
    page_header::Initialize(bytes.data());
    page_header::SetPageType(bytes.data(), pageType);
    bytes[kQELPageHeaderSize] = value;
    FStored[pageNo] = bytes;
    FUsed.insert(pageNo);
  }
  std::uint8_t StoredValue(std::int32_t pageNo) const { return FStored.at(pageNo)[kQELPageHeaderSize]; }
  bool IsUsed(std::int32_t pageNo) const { return FUsed.count(pageNo) != 0; }

  int Reads = 0;
  int Writes = 0;

 private:
  std::int32_t FNextPageNo = 100;
  std::map<std::int32_t, std::vector<std::uint8_t>> FStored;
  std::set<std::int32_t> FUsed;
};

TEST(PageCacheTest, SameSessionSharesAPageAndOtherSessionsWait) {
  TMemoryStorage storage;
  storage.Store(7, 1);
  TQELPage* first = storage.GetPage(1, 7, false, ptTableRecord);
  TQELPage* second = storage.GetPage(1, 7, false, ptTableRecord);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->UseCount, 2);
  EXPECT_EQ(storage.Reads, 1);
  EXPECT_EQ(test::NativeErrorOf([&] { storage.GetPage(2, 7, false, ptTableRecord); }), 20090);
  storage.ReleasePage(first);
  storage.ReleasePage(second);
  TQELPage* other = storage.GetPage(2, 7, false, ptTableRecord);
  EXPECT_EQ(other, first);
  storage.ReleasePage(other);
  EXPECT_EQ(test::NativeErrorOf([&] { storage.GetPage(-1, 7, false, ptTableRecord); }), 20186);
}

TEST(PageCacheTest, WrongPageTypeIsReportedAndNotCached) {
  TMemoryStorage storage;
  storage.Store(3, 1, ptTableIndex);
  EXPECT_EQ(test::NativeErrorOf([&] { storage.GetPage(1, 3, false, ptTableRecord); }), 20153);
  // The page was not kept: asking again reads it again and fails again.
  EXPECT_EQ(test::NativeErrorOf([&] { storage.GetPage(1, 3, false, ptTableRecord); }), 20153);
  EXPECT_EQ(storage.Reads, 2);
  TQELPage* any = storage.GetPage(1, 3, false, kQELAnyPageType);
  EXPECT_EQ(any->PageType(), ptTableIndex);
  storage.ReleasePage(any);
}

TEST(PageCacheTest, ChangesStayPrivateUntilCommit) {
  TMemoryStorage storage;
  storage.Store(5, 10);
  TQELPage* mine = storage.GetPage(1, 5, false, ptTableRecord);
  mine->Data()[0] = 11;
  mine->IsDirty = true;
  storage.ReleasePage(mine);

  // Session 2 reads the stored page, not session 1's copy.
  TQELPage* theirs = storage.GetPage(2, 5, false, ptTableRecord);
  EXPECT_NE(theirs, mine);
  EXPECT_EQ(theirs->Data()[0], 10);
  storage.ReleasePage(theirs);
  // Session 1 still sees its own change.
  TQELPage* again = storage.GetPage(1, 5, false, ptTableRecord);
  EXPECT_EQ(again, mine);
  EXPECT_EQ(again->Data()[0], 11);
  storage.ReleasePage(again);

  EXPECT_EQ(storage.Writes, 0);
  storage.ApplyChanges(1);
  EXPECT_EQ(storage.Writes, 1);
  EXPECT_EQ(storage.StoredValue(5), 11);
  // The committed page replaced the stale copy in the shared cache.
  TQELPage* after = storage.GetPage(2, 5, false, ptTableRecord);
  EXPECT_EQ(after->Data()[0], 11);
  storage.ReleasePage(after);
  EXPECT_FALSE(storage.HasChanges(1));
}

TEST(PageCacheTest, CommitRefusesPagesInUseAndWritesNothing) {
  TMemoryStorage storage;
  storage.Store(5, 1);
  TQELPage* page = storage.GetPage(1, 5, false, ptTableRecord);
  page->IsDirty = true;
  // Still in use, and still in the clean list.
  EXPECT_EQ(test::NativeErrorOf([&] { storage.ApplyChanges(1); }), 20152);
  storage.ReleasePage(page);

  TQELPage* fresh = storage.AddNewPage(1, ptTableRecord);
  EXPECT_EQ(test::NativeErrorOf([&] { storage.ApplyChanges(1); }), 20086);
  EXPECT_EQ(storage.Writes, 0);
  storage.ReleasePage(fresh);
  storage.ApplyChanges(1);
  EXPECT_EQ(storage.Writes, 2);
}

TEST(PageCacheTest, CancelReturnsNewPagesAndDropsChanges) {
  TMemoryStorage storage;
  storage.Store(5, 1);
  TQELPage* changed = storage.GetPage(1, 5, false, ptTableRecord);
  changed->Data()[0] = 2;
  changed->IsDirty = true;
  storage.ReleasePage(changed);
  std::vector<std::int32_t> added;
  for (int i = 0; i < 3; ++i) {
    TQELPage* page = storage.AddNewPage(1, ptTableRecord);
    EXPECT_EQ(page->PageType(), ptTableRecord);
    added.push_back(page->PageNo);
    storage.ReleasePage(page);
  }
  storage.CancelChanges(1);
  for (const std::int32_t pageNo : added) EXPECT_FALSE(storage.IsUsed(pageNo)) << pageNo;
  EXPECT_EQ(storage.Writes, 0);
  TQELPage* reread = storage.GetPage(1, 5, false, ptTableRecord);
  EXPECT_EQ(reread->Data()[0], 1);
  storage.ReleasePage(reread);
  EXPECT_FALSE(storage.HasChanges(1));
}

TEST(PageCacheTest, RemovedPagesAreFreedAtCommit) {
  TMemoryStorage storage;
  storage.Store(9, 1);
  storage.RemovePage(1, 9);
  EXPECT_TRUE(storage.IsUsed(9));
  storage.ApplyChanges(1);
  EXPECT_FALSE(storage.IsUsed(9));
}

TEST(PageCacheTest, EvictionTakesTheLeastRecentUnusedPageOnly) {
  TMemoryStorage storage;
  storage.SetMaxCleanPages(3);
  for (std::int32_t pageNo = 1; pageNo <= 5; ++pageNo) storage.Store(pageNo, static_cast<std::uint8_t>(pageNo));
  auto touch = [&](std::int32_t pageNo) { storage.ReleasePage(storage.GetPage(1, pageNo, false, ptTableRecord)); };
  touch(1);
  touch(2);
  touch(3);
  EXPECT_EQ(storage.CleanPageCount(), 3);
  touch(1);  // page 2 is now the least recent
  touch(4);
  EXPECT_EQ(storage.CleanPageCount(), 3);
  const int reads = storage.Reads;
  touch(1);
  touch(3);
  touch(4);
  EXPECT_EQ(storage.Reads, reads) << "pages 1, 3 and 4 should still be cached";
  touch(2);
  EXPECT_EQ(storage.Reads, reads + 1) << "page 2 should have been evicted";

  // Now the least recent page is 3. While it is in use, releasing other
  // pages evicts nothing, even with the list over its limit.
  TQELPage* held = storage.GetPage(1, 3, false, ptTableRecord);
  touch(4);
  touch(2);
  touch(5);  // a fourth page
  EXPECT_EQ(storage.CleanPageCount(), 4);
  EXPECT_EQ(held->Data()[0], 3);
  storage.ReleasePage(held);  // now 4 is the least recent, and goes
  EXPECT_EQ(storage.CleanPageCount(), 3);
  const int readsBefore = storage.Reads;
  touch(3);
  touch(2);
  touch(5);
  EXPECT_EQ(storage.Reads, readsBefore);
}

// Session 2 reads page 7 while session 1 holds it changed; session 1's
// commit must replace that copy also when the clean list is full.
TEST(PageCacheTest, ACommitReplacesAnOlderCleanCopyInAFullCache) {
  TMemoryStorage storage;
  storage.SetMaxCleanPages(2);
  for (const std::int32_t pageNo : {7, 8}) storage.Store(pageNo, 1);
  TQELPage* changed = storage.GetPage(1, 7, false, ptTableRecord);
  changed->Data()[0] = 2;
  changed->IsDirty = true;
  storage.ReleasePage(changed);
  const auto read = [&](std::int32_t pageNo) {
    TQELPage* page = storage.GetPage(2, pageNo, false, ptTableRecord);
    const std::uint8_t value = page->Data()[0];
    storage.ReleasePage(page);
    return value;
  };
  EXPECT_EQ(read(7), 1);
  EXPECT_EQ(read(8), 1);
  ASSERT_EQ(storage.CleanPageCount(), 2);
  storage.ApplyChanges(1);
  EXPECT_EQ(read(7), 2);
}

TEST(SortedPageListTest, DeleteOfAMissingPageLeavesTheListUnchanged) {
  TMemoryStorage storage;
  TQELSortedPageList list;
  EXPECT_EQ(test::NativeErrorOf([&] { list.Delete(1); }), 20165);
  for (const std::int32_t pageNo : {30, 10, 20}) list.Add(std::make_unique<TQELPage>(&storage, pageNo));
  EXPECT_EQ(list.IndexOf(10), 0);
  EXPECT_EQ(list.IndexOf(30), 2);
  EXPECT_EQ(list.IndexOf(25), -1);
  try {
    list.Delete(25);
    FAIL();
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), 20166);
    EXPECT_STREQ(e.what(), "TSortedPageList.Delete - element not found, key = 25, itemCount = 3 - Native error: 20166");
  }
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(list.FindLeastRecent()->PageNo, 30);
  EXPECT_EQ(list.FindOlder(), nullptr);
  list.Touch(list.Find(30));
  EXPECT_EQ(list.FindLeastRecent()->PageNo, 10);
  TQELPage stranger(&storage, 10);
  EXPECT_EQ(test::NativeErrorOf([&] { list.Touch(&stranger); }), 20167);
}


// Random adds, finds, touches and deletes against a model: the list keeps
// its pages in number order, finds exactly the pages it holds (also right
// after the entries around the last one found moved), and hands every page
// back once.
TEST(SortedPageListTest, RandomOperationsMatchAModel) {
  TMemoryStorage storage;
  TQELSortedPageList list;
  std::set<std::int32_t> model;
  std::mt19937 random(7);
  for (int step = 0; step < 20000; ++step) {
    const std::int32_t pageNo = static_cast<std::int32_t>(random() % 300);
    const bool present = model.count(pageNo) != 0;
    switch (random() % 4) {
      case 0:
        if (!present) {
          list.Add(std::make_unique<TQELPage>(&storage, pageNo));
          model.insert(pageNo);
        }
        break;
      case 1:
        if (present) {
          EXPECT_EQ(list.Delete(pageNo)->PageNo, pageNo);
          model.erase(pageNo);
        }
        break;
      case 2:
        if (present) list.Touch(list.Find(pageNo));
        break;
      default:
        break;
    }
    TQELPage* found = list.Find(pageNo);
    ASSERT_EQ(found != nullptr, model.count(pageNo) != 0) << "page " << pageNo << " at step " << step;
    if (found != nullptr) {
      ASSERT_EQ(found->PageNo, pageNo);
    }
  }
  ASSERT_EQ(list.Count(), static_cast<std::int32_t>(model.size()));
  std::int32_t index = 0;
  for (const std::int32_t pageNo : model) EXPECT_EQ(list[index++]->PageNo, pageNo);
  const std::vector<std::unique_ptr<TQELPage>> taken = list.TakeAll();
  EXPECT_EQ(taken.size(), model.size());
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Find(taken.empty() ? 0 : taken.front()->PageNo), nullptr);
}

}  // namespace
}  // namespace qel
