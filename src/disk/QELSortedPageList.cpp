#include "disk/QELSortedPageList.h"

#include <algorithm>

#include "platform/QELException.h"

namespace qel {

namespace {

template <class Pages>
auto LowerBound(Pages& pages, std::int32_t pageNo) {
  return std::lower_bound(pages.begin(), pages.end(), pageNo,
                          [](const std::unique_ptr<TQELPage>& page, std::int32_t no) {
                            return page->PageNo < no;
                          });
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
  FPages.insert(LowerBound(FPages, added->PageNo), std::move(page));
  LinkNewest(added);
  return added;
}

std::unique_ptr<TQELPage> TQELSortedPageList::Delete(std::int32_t pageNo) {
  if (FPages.empty()) {
    throw EQELException(20165, "TSortedPageList.Delete - no elements in array!");
  }
  const auto it = LowerBound(FPages, pageNo);
  if (it == FPages.end() || (*it)->PageNo != pageNo) {
    throw EQELException(20166, "TSortedPageList.Delete - element not found, key = %d, itemCount = %d",
                        {pageNo, FPages.size()});
  }
  std::unique_ptr<TQELPage> page = std::move(*it);
  FPages.erase(it);
  Unlink(page.get());
  page->OwningList = nullptr;
  if (FPages.empty()) FPages.shrink_to_fit();  // an empty list keeps no memory
  return page;
}

TQELPage* TQELSortedPageList::Find(std::int32_t pageNo) const {
  const auto it = LowerBound(FPages, pageNo);
  return it != FPages.end() && (*it)->PageNo == pageNo ? it->get() : nullptr;
}

std::int32_t TQELSortedPageList::IndexOf(std::int32_t pageNo) const {
  const auto it = LowerBound(FPages, pageNo);
  return it != FPages.end() && (*it)->PageNo == pageNo ? static_cast<std::int32_t>(it - FPages.begin())
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
  FOldest = FNewest = nullptr;
}

}  // namespace qel
