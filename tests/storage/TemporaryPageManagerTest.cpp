// The temporary page manager: pages beyond the memory share spill into a
// temporary file that vanishes with the manager, memory-only managers never
// spill, and a B-tree lives across both kinds of page.

#include <gtest/gtest.h>
#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "BTreeTestSupport.h"
#include "PageStoreTestSupport.h"
#include "memory/QELMemory.h"
#include "platform/QELFile.h"
#include "storage/QELTemporaryPageManager.h"

namespace qel::test {
namespace {

TEST(TemporaryPageManagerTest, PagesBeyondTheMemoryShareGoToAFileThatVanishesWithTheManager) {
  auto pages = std::make_unique<TQELTemporaryPageManager>(false, 3);
  pages->SetMaxCleanPages(0);
  EXPECT_EQ(AddCommittedPages(*pages, kSessionA, {0, 1, 2}), (std::vector<std::int32_t>{0, 1, 2}));
  EXPECT_EQ(pages->SpillFile(), nullptr);

  EXPECT_EQ(AddCommittedPages(*pages, kSessionA, {3}), (std::vector<std::int32_t>{3}));
  TQELFileStream* file = pages->SpillFile();
  ASSERT_NE(file, nullptr);
  // A temporary "QEL..." file whose name is gone already.
  EXPECT_EQ(file->FileName().rfind(QELTemporaryDirectory() + "/QEL", 0), 0u) << file->FileName();
  EXPECT_FALSE(std::filesystem::exists(file->FileName()));
  // Grown to one and a half times the four pages it needs.
  EXPECT_EQ(file->GetSize(), 6 * 4096);
  AddCommittedPages(*pages, kSessionA, {4, 5});
  EXPECT_EQ(file->GetSize(), 6 * 4096);
  AddCommittedPages(*pages, kSessionA, {6});
  EXPECT_EQ(file->GetSize(), 7 * 4096 * 3 / 2);
  EXPECT_EQ(pages->MemoryPages().AllocatedPages().SetCount(), 3);
  EXPECT_EQ(pages->PageLimit(), 7);

  // A file page sits at page size times its number.
  std::vector<std::uint8_t> image(4096);
  file->SetPosition(4 * 4096);
  ASSERT_EQ(file->Read(image.data(), 4096), 4096);
  TQELPage expected(pages.get(), 4);
  expected.AllocateBuffer();
  FillPage(&expected, 4);
  EXPECT_EQ(std::memcmp(image.data(), expected.Buffer(), 4096), 0);

  for (std::int32_t pageNo = 0; pageNo < 7; ++pageNo) {
    EXPECT_TRUE(SessionSees(*pages, kSessionB, pageNo, static_cast<std::uint8_t>(pageNo)))
        << "page " << pageNo;
  }

  // Once pages spill, new ones are file pages: neither a freed memory
  // number nor freed file space comes back.
  RemoveCommitted(*pages, kSessionA, 1);
  RemoveCommitted(*pages, kSessionA, 4);
  // Freeing a number twice, or one never handed out, changes nothing.
  for (const std::int32_t pageNo : {1, 4, 9, 100, -1}) pages->FreePage(pageNo);
  EXPECT_EQ(pages->GetPageCount(), 5);
  EXPECT_EQ(pages->MemoryPages().AllocatedPages().SetCount(), 2);
  EXPECT_EQ(AddCommittedPages(*pages, kSessionA, {7, 8}), (std::vector<std::int32_t>{7, 8}));

  const int handle = file->Handle();
  ASSERT_NE(::fcntl(handle, F_GETFD), -1);
  pages.reset();
  EXPECT_EQ(::fcntl(handle, F_GETFD), -1);
}

TEST(TemporaryPageManagerTest, MemoryOnlyNeverSpillsAndReusesFreedNumbers) {
  TQELTemporaryPageManager pages(true, 3);
  pages.SetMaxCleanPages(0);
  std::vector<std::uint8_t> seeds;
  for (std::uint8_t n = 0; n < 60; ++n) seeds.push_back(n);
  AddCommittedPages(pages, kSessionA, seeds);
  EXPECT_EQ(pages.SpillFile(), nullptr);
  EXPECT_EQ(pages.MemoryPages().AllocatedPages().SetCount(), 60);
  for (std::int32_t pageNo = 0; pageNo < 60; ++pageNo) {
    EXPECT_TRUE(SessionSees(pages, kSessionB, pageNo, static_cast<std::uint8_t>(pageNo)))
        << "page " << pageNo;
  }
  RemoveCommitted(pages, kSessionA, 5);
  EXPECT_EQ(AddCommittedPages(pages, kSessionA, {1, 2}), (std::vector<std::int32_t>{5, 60}));
  EXPECT_EQ(pages.SpillFile(), nullptr);
}

TEST(TemporaryPageManagerTest, MemoryShareIsATenthOfTheAvailableMemory) {
  TQELMemoryManager& memory = QELMemoryManager();
  const std::int64_t oldLimit = memory.MemoryLimit();
  memory.SetMemoryLimit(memory.AllocatedBytes() + 40 * 4096 * 10 + 5);
  const std::int64_t available = memory.AvailableMemory();
  TQELTemporaryPageManager pages(false);
  memory.SetMemoryLimit(oldLimit);
  EXPECT_EQ(pages.MaxMemoryPages(), available / 10 / 4096);
  EXPECT_GT(TQELTemporaryPageManager(true).MaxMemoryPages(), 0);
}

// An index over a wide text column (a few entries per page, so that a few
// thousand keys make hundreds of pages), on a manager keeping 8 pages in
// memory and caching 4.
class SpillingIndex {
 public:
  SpillingIndex() : Pages(false, 8), Records(Defs) {
    Pages.SetMaxCleanPages(4);
    Defs.Add("Name", aftString, 200);
    Defs.RecalcOffsets();
    Def.SetName("ByName");
    Def.AddColumn("Name", false, false, 200);
    Index = std::make_unique<TQELBTreeRecordIndex>(Pages, Defs, &Records);
    Index->CreateIndex(kSession, Def, false);
    Pages.ApplyChanges(kSession);
  }
  std::vector<std::uint8_t> Row(std::int32_t key) const {
    std::vector<std::uint8_t> record = Records.NewRecord();
    char text[16];
    std::snprintf(text, sizeof text, "key%06d", key);
    Records.SetText(record, 0, text);
    return record;
  }
  void Add(std::int32_t key) {
    Records.Put(MakeRecordID(key), Row(key));
    Index->InsertKey(kSession, Records.At(MakeRecordID(key)).data(), MakeRecordID(key));
  }
  void Remove(std::int32_t key) {
    Index->DeleteKey(kSession, Records.At(MakeRecordID(key)).data(), MakeRecordID(key));
    Records.Remove(MakeRecordID(key));
  }
  // The record ids along the leaf chain.
  std::vector<std::int32_t> Walk() {
    std::vector<std::int32_t> ids;
    TQELKeyPath path;
    TQELBTreeCore& tree = *Index->Tree();
    for (bool on = tree.First(kSession, path); on; on = tree.Next(kSession, path)) {
      TQELRecordID id;
      tree.ReadEntry(kSession, path, nullptr, id.data());
      ids.push_back(RecordIDPage(id));
    }
    return ids;
  }

  TQELTemporaryPageManager Pages;
  TQELFieldDefs Defs;
  TRecordTable Records;
  TQELIndexDef Def;
  std::unique_ptr<TQELBTreeRecordIndex> Index;
};

std::vector<std::int32_t> Sorted(std::vector<std::int32_t> keys) {
  std::sort(keys.begin(), keys.end());
  return keys;
}

TEST(TemporaryPageManagerTest, BTreeWorksAcrossMemoryAndFilePages) {
  SpillingIndex index;
  std::vector<std::int32_t> keys(3000);
  for (std::int32_t i = 0; i < 3000; ++i) keys[static_cast<std::size_t>(i)] = i;
  std::shuffle(keys.begin(), keys.end(), std::mt19937(7));
  for (std::size_t i = 0; i < keys.size(); ++i) {
    index.Add(keys[i]);
    if (i % 100 == 99) index.Pages.ApplyChanges(kSession);
  }
  index.Pages.ApplyChanges(kSession);
  ASSERT_NE(index.Pages.SpillFile(), nullptr);
  EXPECT_GT(index.Pages.PageLimit(), 100);
  TTreeChecker checker(*index.Index, index.Pages);
  EXPECT_EQ(checker.Check(3000), "");
  EXPECT_EQ(index.Walk(), Sorted(keys));

  // Half the keys go again; merged pages return to storage.
  const std::int32_t pagesBefore = index.Pages.GetPageCount();
  std::vector<std::int32_t> kept;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (i % 2 == 0) {
      index.Remove(keys[i]);
    } else {
      kept.push_back(keys[i]);
    }
  }
  index.Pages.ApplyChanges(kSession);
  EXPECT_EQ(checker.Check(1500), "");
  EXPECT_EQ(index.Walk(), Sorted(kept));
  EXPECT_LT(index.Pages.GetPageCount(), pagesBefore);

  // A batch rolled back leaves the tree exactly as committed, although it
  // split pages of both kinds and allocated new ones.
  const TQELIndexDef committed = index.Index->IndexDef();
  const std::int32_t committedPages = index.Pages.GetPageCount();
  for (std::int32_t key = 3000; key < 3600; ++key) index.Add(key);
  EXPECT_GT(index.Pages.GetPageCount(), committedPages);
  index.Pages.CancelChanges(kSession);
  for (std::int32_t key = 3000; key < 3600; ++key) index.Records.Remove(MakeRecordID(key));
  EXPECT_EQ(index.Pages.GetPageCount(), committedPages);
  index.Index = std::make_unique<TQELBTreeRecordIndex>(index.Pages, index.Defs, &index.Records);
  index.Index->OpenIndex(committed);
  TTreeChecker reopened(*index.Index, index.Pages);
  EXPECT_EQ(reopened.Check(1500), "");
  EXPECT_EQ(index.Walk(), Sorted(kept));
}

}  // namespace
}  // namespace qel::test
