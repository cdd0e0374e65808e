#pragma once
// Small database files built in tests (support/FileBytes.h, included here,
// reads and writes their raw bytes).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "disk/QELDatabaseFreeSpaceManager.h"
#include "disk/QELDiskPageManager.h"
#include "disk/QELRollbackJournal.h"
#include "platform/QELException.h"
#include "platform/QELFaultInjection.h"
#include "support/ErrorSupport.h"
#include "support/FileBytes.h"
#include "support/TestSupport.h"

namespace qel {

// The page manager's insides that tests reach: the header lock, taken by
// hand to play a writer of another process, and a page's version word as
// the file has it.
struct TQELDiskPageManagerTestAccess {
  static bool LockHeader(TQELDiskPageManager& manager) { return manager.LockHeader(); }
  static bool UnlockHeader(TQELDiskPageManager& manager) { return manager.UnlockHeader(); }
  static std::int32_t ReadPageVersion(TQELDiskPageManager& manager, std::int32_t pageNo) {
    return manager.ReadPageVersion(pageNo);
  }
};

}  // namespace qel

namespace qel::test {

// Limits the injector to a database file and its journal.
inline void ScopeToDatabase(TQELFaultInjector& injector, const std::string& path) {
  const std::string journal = TQELRollbackJournal::PathFor(path);
  injector.SetScope([path, journal](const std::string& name) { return name == path || name == journal; });
}

// Adds `count` pages whose first data byte is their page number (mod 256),
// commits them and answers their numbers.
inline std::vector<std::int32_t> AddPages(TQELDiskPageManager& manager, int count,
                                          std::int32_t session = 0) {
  std::vector<std::int32_t> pageNos;
  for (int i = 0; i < count; ++i) {
    TQELPage* page = manager.AddNewPage(session, ptTableRecord);
    page->Data()[0] = static_cast<std::uint8_t>(page->PageNo);
    pageNos.push_back(page->PageNo);
    manager.ReleasePage(page);
  }
  manager.ApplyChanges(session);
  return pageNos;
}

// A database file for tests of what sits on the page manager: it remembers
// the pages it hands out and the pages sessions drop, counts the pages in
// use, and can be told to run out of pages.
class TTrackingPageManager : public TQELDiskPageManager {
 public:
  void AllocatePage(TQELPage* page) override {
    if (FailAfter == 0) throw EQELException(1, "out of pages");
    if (FailAfter > 0) --FailAfter;
    TQELDiskPageManager::AllocatePage(page);
    Allocated.push_back(page->PageNo);
  }
  void RemovePage(std::int32_t sessionID, std::int32_t pageNo) override {
    Removed.push_back(pageNo);
    TQELDiskPageManager::RemovePage(sessionID, pageNo);
  }
  bool IsUsed(std::int32_t pageNo) { return FreeSpaceManager()->IsPageUsed(pageNo); }
  std::int32_t UsedPageCount() {
    std::int32_t used = 0;
    for (std::int32_t i = 0; i < FreeSpaceManager()->TotalPageCount(); ++i) used += IsUsed(i) ? 1 : 0;
    return used;
  }

  std::vector<std::int32_t> Allocated;
  std::vector<std::int32_t> Removed;
  // Allocations left before the next one fails; -1 for never.
  int FailAfter = -1;
};

}  // namespace qel::test
