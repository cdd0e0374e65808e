#pragma once
// TQELSortedPageList: pages kept in ascending page-number order for binary
// search, each with a use stamp that orders them by recency.
//
// Every Add and Touch hands out a new, larger stamp, so the least recently
// used page is the one with the smallest stamp. Besides the sorted array the
// list links its pages in stamp order, which makes finding and evicting the
// least recently used page constant-time instead of a scan of the list.
//
// The list owns its pages: Delete hands the page back to the caller, who
// either moves it into another list or lets it go; Clear and the destructor
// free the pages still in it.

#include <cstdint>
#include <memory>
#include <vector>

#include "pagecache/QELPage.h"

namespace qel {

class TQELSortedPageList {
 public:
  TQELSortedPageList() = default;
  ~TQELSortedPageList();
  TQELSortedPageList(const TQELSortedPageList&) = delete;
  TQELSortedPageList& operator=(const TQELSortedPageList&) = delete;

  // Inserts the page at its place with a new stamp and makes this list its
  // owning list. Its number must not be in the list yet.
  TQELPage* Add(std::unique_ptr<TQELPage> page);
  // Removes the entry and hands the page back; raises 20165 on an empty list
  // and 20166 when the number is not in the list (which stays unchanged).
  std::unique_ptr<TQELPage> Delete(std::int32_t pageNo);
  TQELPage* Find(std::int32_t pageNo) const;
  std::int32_t IndexOf(std::int32_t pageNo) const;
  // A new stamp for a page of the list; raises "Page not found" (20167)
  // otherwise.
  void Touch(TQELPage* page);
  // The page with the smallest stamp, or null; its stamp becomes the
  // threshold for FindOlder.
  TQELPage* FindLeastRecent();
  // The first page in page-number order whose stamp is below the threshold,
  // or null; its stamp becomes the new threshold.
  TQELPage* FindOlder();
  // Frees every page of the list.
  void Clear();
  // Empties the list and hands over all its pages, in page-number order.
  std::vector<std::unique_ptr<TQELPage>> TakeAll();

  std::int32_t Count() const { return static_cast<std::int32_t>(FPages.size()); }
  TQELPage* operator[](std::int32_t index) const { return FPages[static_cast<std::size_t>(index)]; }

 private:
  void LinkNewest(TQELPage* page);
  void Unlink(TQELPage* page);

  // Sorted by PageNo and owned by the list. Plain pointers, so that an
  // insertion or removal in the middle moves them as one block of memory.
  std::vector<TQELPage*> FPages;
  std::vector<std::int32_t> FPageNos;             // their numbers, searched instead
  // Where the last search ended; a hint only, checked before use, so that
  // removals and insertions need not keep it exact.
  mutable std::size_t FLastFound = 0;
  std::uint64_t FStampCounter = 0;
  std::uint64_t FThreshold = 0;
  TQELPage* FOldest = nullptr;
  TQELPage* FNewest = nullptr;
};

}  // namespace qel
