#pragma once
// Small database files built in tests, and readers of their raw bytes.

#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "disk/QELDatabaseFreeSpaceManager.h"
#include "disk/QELDiskPageManager.h"
#include "disk/QELRollbackJournal.h"
#include "platform/QELException.h"
#include "platform/QELFaultInjection.h"
#include "support/ErrorSupport.h"
#include "support/TestSupport.h"

namespace qel::test {

inline std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Limits the injector to a database file and its journal.
inline void ScopeToDatabase(TQELFaultInjector& injector, const std::string& path) {
  const std::string journal = TQELRollbackJournal::PathFor(path);
  injector.SetScope([path, journal](const std::string& name) { return name == path || name == journal; });
}

struct TOpenResult {
  bool MultiUser = false;
  bool NeedRepair = false;
  bool ReadOnly = false;
};

// Opens a file with the usual single-user settings.
inline TOpenResult OpenDatabase(TQELDiskPageManager& manager, const std::string& path,
                                const std::string& password = "", bool readOnly = false) {
  TQELPassword pw{password, 0};
  TOpenResult result;
  result.ReadOnly = readOnly;
  manager.OpenDatabase(path, pw, result.MultiUser, false, result.NeedRepair, result.ReadOnly);
  return result;
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
