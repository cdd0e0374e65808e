#pragma once
// Shared pieces of the memory and temporary page manager tests: pages filled
// with a pattern that tells them apart, and a way to commit a set of them.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "pagecache/QELPageManager.h"
#include "pagecache/QELPageType.h"

namespace qel::test {

inline constexpr std::int32_t kSessionA = 1;
inline constexpr std::int32_t kSessionB = 2;

// Every byte of the page depends on the seed and its offset, so that a page
// image shifted, truncated or swapped with another page does not match.
inline void FillPage(TQELPage* page, std::uint8_t seed) {
  for (std::uint32_t i = 0; i < page->DataSize(); ++i) {
    page->Data()[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 256);
  }
}

inline bool PageHolds(const TQELPage* page, std::uint8_t seed) {
  for (std::uint32_t i = 0; i < page->DataSize(); ++i) {
    if (page->Data()[i] != static_cast<std::uint8_t>(seed + i * 7 + i / 256)) return false;
  }
  return true;
}

inline bool PageIsZero(const TQELPage* page) {
  for (std::uint32_t i = 0; i < page->DataSize(); ++i) {
    if (page->Data()[i] != 0) return false;
  }
  return true;
}

// New pages filled with the seeds, committed; answers their numbers.
inline std::vector<std::int32_t> AddCommittedPages(TQELPageManager& pages, std::int32_t session,
                                                   const std::vector<std::uint8_t>& seeds) {
  std::vector<std::int32_t> numbers;
  for (const std::uint8_t seed : seeds) {
    TQELPageGuard page(pages, pages.AddNewPage(session, ptTableIndex));
    FillPage(page.Get(), seed);
    numbers.push_back(page->PageNo);
  }
  pages.ApplyChanges(session);
  return numbers;
}

// Whether the session sees page `pageNo` holding `seed`.
inline bool SessionSees(TQELPageManager& pages, std::int32_t session, std::int32_t pageNo,
                        std::uint8_t seed) {
  TQELPageGuard page(pages, pages.GetPage(session, pageNo, false, kQELAnyPageType));
  return PageHolds(page.Get(), seed);
}

// Changes the page in the session without committing.
inline void ChangePage(TQELPageManager& pages, std::int32_t session, std::int32_t pageNo,
                       std::uint8_t seed) {
  TQELPageGuard page(pages, pages.GetPage(session, pageNo, false, kQELAnyPageType));
  FillPage(page.Get(), seed);
  page->IsDirty = true;
}

// Commits the removal of a page by the session.
inline void RemoveCommitted(TQELPageManager& pages, std::int32_t session, std::int32_t pageNo) {
  pages.RemovePage(session, pageNo);
  pages.ApplyChanges(session);
}

}  // namespace qel::test
