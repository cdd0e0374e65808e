#pragma once
// TQELBTreePageIndex: a B+-tree over the pages of a table that have room,
// keyed by page number, each entry holding the page's 16-bit fill count.
// Disk tables keep one for their record pages (the count is records) and
// one for their BLOB pages (the count is bytes in use).

#include <cstdint>

#include "pagecache/QELPageManager.h"
#include "storage/QELBTreeCore.h"
#include "storage/QELBTreeKeyRef.h"

namespace qel {

class TQELBTreePageIndex {
 public:
  explicit TQELBTreePageIndex(TQELPageManager& pageManager);
  virtual ~TQELBTreePageIndex() = default;
  TQELBTreePageIndex(const TQELBTreePageIndex&) = delete;
  TQELBTreePageIndex& operator=(const TQELBTreePageIndex&) = delete;

  // Whether a page holding `current` can take `delta` more.
  virtual bool CanAdd(std::int32_t current, std::int32_t delta) = 0;

  std::int32_t RootPageNo() const { return FTree.RootPageNo(); }
  void SetRootPage(std::int32_t pageNo) {
    FTree.SetRootPageNo(pageNo);
    ForgetHints();
  }
  TQELBTreeCore& Tree() { return FTree; }

  void Create(std::int32_t sessionID);
  void Drop(std::int32_t sessionID);
  void Empty(std::int32_t sessionID);

  // A page whose count passes CanAdd(count, delta): the page last found or
  // added when it still has room, else the first, looking backwards through
  // the last leaf and then forwards through the first. Once that search has
  // found nothing it is not repeated until room is given back through this
  // object (which also drops the remembered page): filling pages one after
  // another costs one descent each.
  bool FindPageWithRoom(std::int32_t sessionID, std::int32_t delta, std::int32_t& pageNo);
  // Enters a page with `delta`, or adds `delta` to its count; "Cannot add
  // data item to page. Page is full" (20106) when CanAdd refuses.
  void AddToPage(std::int32_t sessionID, std::int32_t delta, std::int32_t pageNo);
  // Takes `delta` off the page's count (newCount < 0) or sets it to
  // `newCount`; a count of 0 removes the page's entry. "Invalid page
  // number" (20111) for a page without entry; "Index error: page is empty"
  // (20112) when the count cannot go down by `delta`.
  void RemoveFromPage(std::int32_t sessionID, std::int32_t delta, std::int32_t newCount,
                      std::int32_t pageNo);
  // The page's count, -1 when it has no entry.
  std::int32_t GetCount(std::int32_t sessionID, std::int32_t pageNo);

  // Walks in page-number order; false at either end. NextPage and PriorPage
  // raise "Invalid page number" (20104, 20105) for a page without entry.
  bool FirstPage(std::int32_t sessionID, std::int32_t& pageNo);
  bool LastPage(std::int32_t sessionID, std::int32_t& pageNo);
  bool NextPage(std::int32_t sessionID, std::int32_t& pageNo);
  bool PriorPage(std::int32_t sessionID, std::int32_t& pageNo);

  // The page holding 0-based item `recNo` counting through the pages in
  // order, and the item's offset in it; "Cannot set RecNo greater than
  // RecordCount" (20113) when there are not that many.
  void LocateRecNo(std::int32_t sessionID, std::int32_t& pageNo, std::int32_t& offset,
                   std::int64_t recNo);
  // The counts of all pages before `pageNo`, plus `extra`.
  void CountRecordsBefore(std::int32_t sessionID, std::int32_t pageNo, std::int64_t& count,
                          std::int64_t extra);
  // Raises 20292 when the counts do not add up to `expected`.
  void VerifyRecordCount(std::int32_t sessionID, std::int64_t expected);

 protected:
  TQELBTreeCore& Tree(std::int32_t nativeError);
  // Positions `path` on the page's entry and reads its count.
  bool FindPage(std::int32_t sessionID, std::int32_t pageNo, TQELKeyPath& path,
                std::int32_t& count);
  // The counts of the pages numbered below `limit`.
  std::int64_t SumCountsBefore(std::int32_t sessionID, std::int64_t limit);

  TQELPageManager& FPageManager;
  TQELPageKeyRef FKeyRef;
  TQELBTreeCore FTree;

 private:
  bool SearchEdgeLeaves(std::int32_t sessionID, std::int32_t delta, std::int32_t& pageNo);
  void ForgetHints() {
    FHintPageNo = -1;
    FSearchFoundNothing = false;
  }

  // Only hints: every answer is checked against the index itself.
  std::int32_t FHintPageNo = -1;
  bool FSearchFoundNothing = false;
};

// Record pages: a page has room while it holds fewer records than fit.
class TQELBTreeRecordPageIndex final : public TQELBTreePageIndex {
 public:
  TQELBTreeRecordPageIndex(TQELPageManager& pageManager, std::int32_t maxRecordsPerPage)
      : TQELBTreePageIndex(pageManager), MaxRecordsPerPage(maxRecordsPerPage) {}
  // Records come one at a time, so `delta` does not matter.
  bool CanAdd(std::int32_t current, std::int32_t) override { return current < MaxRecordsPerPage; }

  std::int32_t MaxRecordsPerPage;
};

// BLOB pages: the count is bytes in use, which must stay below the page's
// data size less two.
class TQELBTreeBlobPageIndex final : public TQELBTreePageIndex {
 public:
  using TQELBTreePageIndex::TQELBTreePageIndex;
  bool CanAdd(std::int32_t current, std::int32_t delta) override {
    return current + delta < static_cast<std::int32_t>(FPageManager.DataSize()) - 2;
  }
};

}  // namespace qel
