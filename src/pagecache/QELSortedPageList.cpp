#include "pagecache/QELSortedPageList.h"

#include <algorithm>

#include "platform/QELException.h"

namespace qel {

namespace {

// Position of `pageNo` in the sorted page numbers: searched in a plain
// array of numbers, so that the search touches no page object.
std::ptrdiff_t LowerBound(const std::vector<std::int32_t>& pageNos, std::int32_t pageNo) {
  return std::lower_bound(pageNos.begin(), pageNos.end(), pageNo) - pageNos.begin();
}

}  // namespace

TQELSortedPageList::~TQELSortedPageList() { Clear(); }

void TQELSortedPageList::LinkNewest(TQELPage* page) {
  page->FStamp = ++FStampCounter;
  page->FOlder = FNewest;
  page->FNewer = nullptr;
  if (FNewest != nullptr) FNewest->FNewer = page;
  FNewest = page;
  if (FOldest == nullptr) FOldest = page;
}

void TQELSortedPageList::Unlink(TQELPage* page) {
  (page->FOlder != nullptr ? page->FOlder->FNewer : FOldest) = page->FNewer;
  (page->FNewer != nullptr ? page->FNewer->FOlder : FNewest) = page->FOlder;
  page->FOlder = page->FNewer = nullptr;
}

TQELPage* TQELSortedPageList::Add(std::unique_ptr<TQELPage> page) {
  TQELPage* added = page.get();
  added->OwningList = this;
  const std::ptrdiff_t at = LowerBound(FPageNos, added->PageNo);
  FPageNos.insert(FPageNos.begin() + at, added->PageNo);
  try {
    FPages.insert(FPages.begin() + at, added);
  } catch (...) {
    FPageNos.erase(FPageNos.begin() + at);
    added->OwningList = nullptr;
    throw;
  }
  page.release();  // owned by the list from here on
  FLastFound = static_cast<std::size_t>(at);
  LinkNewest(added);
  return added;
}

std::unique_ptr<TQELPage> TQELSortedPageList::Delete(std::int32_t pageNo) {
  if (FPages.empty()) {
    throw EQELException(20165, "TSortedPageList.Delete - no elements in array!");
  }
  const std::int32_t at = IndexOf(pageNo);
  if (at < 0) {
    throw EQELException(20166, "TSortedPageList.Delete - element not found, key = %d, itemCount = %d",
                        {pageNo, FPages.size()});
  }
  std::unique_ptr<TQELPage> page(FPages[static_cast<std::size_t>(at)]);
  FPages.erase(FPages.begin() + at);
  FPageNos.erase(FPageNos.begin() + at);
  Unlink(page.get());
  page->OwningList = nullptr;
  if (FPages.empty()) {  // an empty list keeps no memory
    FPages.shrink_to_fit();
    FPageNos.shrink_to_fit();
  }
  return page;
}

TQELPage* TQELSortedPageList::Find(std::int32_t pageNo) const {
  const std::int32_t index = IndexOf(pageNo);
  return index >= 0 ? FPages[static_cast<std::size_t>(index)] : nullptr;
}

// A scan asks for the same page many times in a row (one record after
// another on it), so the last position found is tried before the search.
std::int32_t TQELSortedPageList::IndexOf(std::int32_t pageNo) const {
  if (FLastFound < FPageNos.size() && FPageNos[FLastFound] == pageNo) return static_cast<std::int32_t>(FLastFound);
  const std::ptrdiff_t at = LowerBound(FPageNos, pageNo);
  if (at == static_cast<std::ptrdiff_t>(FPageNos.size()) || FPageNos[static_cast<std::size_t>(at)] != pageNo) {
    return -1;
  }
  FLastFound = static_cast<std::size_t>(at);
  return static_cast<std::int32_t>(at);
}

// A page of this list is the one its owning list names, which needs no
// search.
void TQELSortedPageList::Touch(TQELPage* page) {
  if (page == nullptr || page->OwningList != this) throw EQELException(20167, "Page not found");
  Unlink(page);
  LinkNewest(page);
}

TQELPage* TQELSortedPageList::FindLeastRecent() {
  if (FOldest == nullptr) return nullptr;
  FThreshold = FOldest->FStamp;
  return FOldest;
}

TQELPage* TQELSortedPageList::FindOlder() {
  // Stamps are unique, so nothing is older than the oldest page: the usual
  // call, right after FindLeastRecent, needs no scan.
  if (FOldest == nullptr || FOldest->FStamp >= FThreshold) return nullptr;
  for (TQELPage* page : FPages) {
    if (page->FStamp < FThreshold) {
      FThreshold = page->FStamp;
      return page;
    }
  }
  return nullptr;
}

std::vector<std::unique_ptr<TQELPage>> TQELSortedPageList::TakeAll() {
  std::vector<std::unique_ptr<TQELPage>> pages;
  pages.reserve(FPages.size());
  for (TQELPage* page : FPages) {
    page->FOlder = page->FNewer = nullptr;
    page->OwningList = nullptr;
    pages.emplace_back(page);
  }
  FPages.clear();
  FPageNos.clear();
  FOldest = FNewest = nullptr;
  return pages;
}

void TQELSortedPageList::Clear() {
  for (TQELPage* page : FPages) delete page;
  FPages.clear();
  FPages.shrink_to_fit();
  FPageNos.clear();
  FPageNos.shrink_to_fit();
  FOldest = FNewest = nullptr;
}

}  // namespace qel
