#pragma once
// TQELDatabaseFreeSpaceManager: which pages of a database file are in use.
//
// The state lives in the file itself, in two kinds of space pages:
//   PFS pages, one bit per page (1 = in use), each covering P = D * 8 pages;
//   EAM pages, two bits per extent of X pages (bit 1 clear = the extent may
//   have a free page), each covering E = D * 4 * X pages;
// with D the page data size and X the pages per extent. PFS page k is page
// k * P; EAM page k is page k * E, or k * E + 1 when that is a PFS position.
// Pages 0 (PFS) and 1 (EAM) therefore exist in every file, and the first
// ordinary page is 2.
//
// Every change runs as one atomic change of the file, under the header lock
// when others share it, and starts by reloading the page counts from the
// header, so processes sharing the file allocate from one consistent
// bitmap. Space pages bypass the page cache and are never encrypted. The
// file is reached through TQELFreeSpaceFile only.

#include <cstdint>
#include <vector>
#include <memory>

namespace qel {

class TQELFreeSpaceFile;

class TQELDatabaseFreeSpaceManager {
 public:
  explicit TQELDatabaseFreeSpaceManager(TQELFreeSpaceFile& file);
  ~TQELDatabaseFreeSpaceManager();

  // A free page, now marked used; the file grows when none is free.
  std::int32_t AllocatePageNo();
  // Marks the page free; shrinks the file when much space at its end is free.
  void FreePageNo(std::int32_t pageNo);
  // Marks pages free that a session allocated and never committed; when
  // the file had `totalBefore` pages before and nothing beyond is in use
  // any more, it is cut back to that size with the space pages' state of
  // the cut pages, as if it had never grown.
  void ReleaseUncommittedPageNos(const std::vector<std::int32_t>& pageNos,
                                 std::int32_t totalBefore);

  // Marks free those of `pageNos` that are still marked used (a dead
  // writer's pages, which nothing owns), skipping numbers that are out of
  // range or space pages; answers how many it freed.
  std::int32_t ReleaseAbandonedPageNos(const std::vector<std::int32_t>& pageNos);

  // Cuts off the free pages at the end of the file (what growing ahead of
  // need left unused), with their space-page state, as CutTail does for a
  // rolled-back growth.
  void TrimFreeTail();

  bool IsSpacePage(std::int32_t pageNo) const;
  // Raises "Cannot delete PFS or EAM page. PageNo=%d" (30434) for a space page.
  void CheckNotSpacePage(std::int32_t pageNo) const;
  std::int32_t GrowthIncrement() const;
  // Whether the page's PFS bit is set (reads the PFS page).
  bool IsPageUsed(std::int32_t pageNo);

  std::int64_t PagesPerPFS() const { return FPagesPerPFS; }
  std::int64_t PagesPerEAM() const { return FPagesPerEAM; }
  std::int32_t PageCountInExtent() const { return FPageCountInExtent; }
  std::int64_t PFSPageNo(std::int64_t index) const { return index * FPagesPerPFS; }
  std::int64_t EAMPageNo(std::int64_t index) const;
  std::int32_t LastUsedPageNo() const { return FLastUsedPageNo; }
  std::int32_t TotalPageCount() const { return FTotalPageCount; }

  // Set while a database is being repaired; read by the record pages.
  bool RepairMode = false;

 private:
  class TSpacePage;

  std::int32_t FindFreePage();
  std::int32_t SearchEAMPage(std::int64_t eamIndex);
  std::int32_t ExtendFile();
  std::int32_t FindLastUsedPage();
  void CutTail(std::int32_t totalBefore);
  bool PFSBit(std::int32_t pageNo);
  void SetExtentPair(std::int64_t extent, std::uint8_t pairValue);
  void ShrinkIfMuchFree();
  void SetPFSBit(std::int32_t pageNo, bool used);
  void UpdateExtentState(std::int32_t pageNo);
  void SetPageState(std::int32_t pageNo, bool used);
  void ReloadCounts();
  void StoreCounts();
  std::int32_t StepOverSpacePages(std::int64_t pageNo) const;
  // The space page at `pageNo`, read (or reused) and checked for its type.
  TSpacePage& LoadSpacePage(TSpacePage& slot, std::int64_t pageNo, std::uint16_t pageType,
                            std::int32_t wrongTypeCode);
  void ForgetSpacePages();
  template <class Operation>
  auto AsOneChange(std::int32_t lockFailureCode, Operation operation);
  // The page's bit in the space page as last read.
  bool PageBitIsSet(std::int32_t pageNo);

  TQELFreeSpaceFile& FFile;
  std::int32_t FPageCountInExtent;
  std::int64_t FPagesPerPFS;
  std::int64_t FExtentsPerEAM;
  std::int64_t FPagesPerEAM;
  std::int32_t FLastUsedPageNo = -1;
  std::int32_t FTotalPageCount = 0;
  // The last PFS and EAM page read during one locked operation; written
  // through on every change, forgotten when the header lock is released.
  std::unique_ptr<TSpacePage> FPFS;
  std::unique_ptr<TSpacePage> FEAM;
};

}  // namespace qel
