#include "disk/QELSortedPageList.h"

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
  FPages.insert(FPages.begin() + at, std::move(page));
  FPageNos.insert(FPageNos.begin() + at, added->PageNo);
  LinkNewest(added);
  return added;
}

std::unique_ptr<TQELPage> TQELSortedPageList::Delete(std::int32_t pageNo) {
  if (FPages.empty()) {
    throw EQELException(20165, "TSortedPageList.Delete - no elements in array!");
  }
  const std::ptrdiff_t at = LowerBound(FPageNos, pageNo);
  if (at == static_cast<std::ptrdiff_t>(FPageNos.size()) || FPageNos[static_cast<std::size_t>(at)] != pageNo) {
    throw EQELException(20166, "TSortedPageList.Delete - element not found, key = %d, itemCount = %d",
                        {pageNo, FPages.size()});
  }
  std::unique_ptr<TQELPage> page = std::move(FPages[static_cast<std::size_t>(at)]);
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
  return index >= 0 ? FPages[static_cast<std::size_t>(index)].get() : nullptr;
}

std::int32_t TQELSortedPageList::IndexOf(std::int32_t pageNo) const {
  const std::ptrdiff_t at = LowerBound(FPageNos, pageNo);
  return at != static_cast<std::ptrdiff_t>(FPageNos.size()) && FPageNos[static_cast<std::size_t>(at)] == pageNo
             ? static_cast<std::int32_t>(at)
             : -1;
}

void TQELSortedPageList::Touch(TQELPage* page) {
  if (page == nullptr || Find(page->PageNo) != page) throw EQELException(20167, "Page not found");
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
  for (const std::unique_ptr<TQELPage>& page : FPages) {
    if (page->FStamp < FThreshold) {
      FThreshold = page->FStamp;
      return page.get();
    }
  }
  return nullptr;
}

std::vector<std::unique_ptr<TQELPage>> TQELSortedPageList::TakeAll() {
  std::vector<std::unique_ptr<TQELPage>> pages = std::move(FPages);
  FPages.clear();
  FPageNos.clear();
  for (const std::unique_ptr<TQELPage>& page : pages) {
    page->FOlder = page->FNewer = nullptr;
    page->OwningList = nullptr;
  }
  FOldest = FNewest = nullptr;
  return pages;
}

void TQELSortedPageList::Clear() {
  FPages.clear();
  FPages.shrink_to_fit();
  FPageNos.clear();
  FPageNos.shrink_to_fit();
  FOldest = FNewest = nullptr;
}

}  // namespace qel
