#include "disk/QELDiskFileCheck.h"

#include <algorithm>
#include <cstring>

#include "disk/QELDiskPageManager.h"
#include "pagecache/QELPageType.h"
#include "platform/QELException.h"
#include "platform/QELFormat.h"

namespace qel {

namespace {

class TDiskFileChecker {
 public:
  explicit TDiskFileChecker(TQELDiskPageManager& manager)
      : FManager(manager), FSpace(*manager.FreeSpaceManager()), FPage(&manager, -1) {}

  TQELDiskFileSummary Run() {
    FManager.ReadHeader();
    FSummary.TotalPageCount = FManager.GetHeader().TotalPageCount;
    FSummary.FileSize = FManager.File().GetSize();
    CheckFileSize();
    const std::vector<std::int32_t> taken = TakenPages();
    std::int32_t lastUsed = -1;
    for (std::int32_t pageNo = 0; pageNo < FWalkedPageCount; ++pageNo) {
      if (!IsUsed(pageNo)) {
        ++FSummary.FreePageCount;
        continue;
      }
      ++FSummary.UsedPageCount;
      if (!FSpace.IsSpacePage(pageNo)) lastUsed = pageNo;
      // A page a session took and has not committed holds nothing yet.
      if (std::binary_search(taken.begin(), taken.end(), pageNo)) {
        ++FSummary.TakenPageCount;
        continue;
      }
      CheckUsedPage(pageNo);
    }
    CheckExtentStates();
    const std::int32_t recorded = FManager.GetHeader().LastUsedPageNo;
    if (recorded != lastUsed) {
      Fault(-1, QELFormat("LastUsedPageNo is %d, but the highest used page is %d", {recorded, lastUsed}));
    }
    return std::move(FSummary);
  }

 private:
  void Fault(std::int32_t pageNo, std::string message) { FSummary.Faults.push_back({pageNo, std::move(message)}); }

  // Sorted; when the lists cannot be read, the pages are checked as they are.
  std::vector<std::int32_t> TakenPages() {
    try {
      return FManager.ListedTakenPages();
    } catch (const EQELException& e) {
      Fault(-1, std::string("the list of taken pages cannot be read: ") + e.what());
      return {};
    }
  }

  void CheckFileSize() {
    const std::int64_t needed = FManager.GetPageOffset(0) + std::int64_t{FSummary.TotalPageCount} * FManager.PageSize();
    FWalkedPageCount = FSummary.TotalPageCount;
    if (FSummary.FileSize < needed) {
      Fault(-1, QELFormat("the file has %d bytes, but its %d pages need %d",
                          {FSummary.FileSize, FSummary.TotalPageCount, needed}));
      // Only the pages the file holds are walked: a damaged header may
      // claim billions of pages for a file of a few.
      const std::int64_t held = FSummary.FileSize - FManager.GetPageOffset(0);
      FWalkedPageCount = static_cast<std::int32_t>(
          std::max<std::int64_t>(0, (held + FManager.PageSize() - 1) / FManager.PageSize()));
    }
  }

  // The page's PFS bit; a PFS page that cannot be read makes every page it
  // covers a fault, reported once.
  bool IsUsed(std::int32_t pageNo) {
    try {
      return FSpace.IsPageUsed(pageNo);
    } catch (const EQELException& e) {
      const std::int32_t pfsPageNo = static_cast<std::int32_t>(FSpace.PFSPageNo(pageNo / FSpace.PagesPerPFS()));
      if (pfsPageNo != FLastBadPFS) Fault(pfsPageNo, e.what());
      FLastBadPFS = pfsPageNo;
      return false;
    }
  }

  std::uint16_t ExpectedSpaceType(std::int32_t pageNo) const {
    return pageNo % FSpace.PagesPerPFS() == 0 ? ptPFS : ptEAM;
  }

  // Pages of direct-access files are stored plain, also in an encrypted file.
  static bool IsPlainType(std::uint16_t type) { return type == ptActiveSessionList || type == ptTableLocks; }

  void CheckUsedPage(std::int32_t pageNo) {
    std::uint8_t header[kQELPageHeaderSize];
    try {
      FManager.ReadPagePart(header, pageNo, 0, kQELPageHeaderSize);
    } catch (const EQELException& e) {
      Fault(pageNo, e.what());
      return;
    }
    if (std::memcmp(header, "QELP", 4) != 0) {
      Fault(pageNo, "the page has no page signature");
      return;
    }
    const std::uint16_t type = page_header::PageType(header);
    if (type > ptTableIndex) {
      Fault(pageNo, QELFormat("unknown page type %d", {type}));
      return;
    }
    ++FSummary.PagesByType[type];
    if (FSpace.IsSpacePage(pageNo)) {
      if (type != ExpectedSpaceType(pageNo)) {
        Fault(pageNo, QELFormat("a space page of type '%s', expected '%s'",
                                {PageTypeName(type), PageTypeName(ExpectedSpaceType(pageNo))}));
      }
      return;
    }
    if (type == ptPFS || type == ptEAM) {
      Fault(pageNo, QELFormat("a '%s' outside the space page positions", {PageTypeName(type)}));
      return;
    }
    // The data area of an encrypted page must decrypt to its CRC.
    if (FManager.IsEncrypted() && !IsPlainType(type)) {
      FPage.PageNo = pageNo;
      try {
        if (!FManager.ReadPage(&FPage)) Fault(pageNo, "the page cannot be read");
      } catch (const EQELException& e) {
        Fault(pageNo, e.what());
      }
    }
  }

  // Every extent's state in its EAM page must agree with the PFS bits: bit 1
  // of the pair set exactly when all of the extent's pages are in use.
  void CheckExtentStates() {
    const std::int32_t extent = FSpace.PageCountInExtent();
    for (std::int64_t first = 0; first < FWalkedPageCount; first += extent) {
      const std::int64_t eamIndex = first / FSpace.PagesPerEAM();
      const std::int32_t eamPageNo = static_cast<std::int32_t>(FSpace.EAMPageNo(eamIndex));
      if (eamPageNo >= FSummary.TotalPageCount) continue;
      if (eamPageNo != FLoadedEAM) {
        FLoadedEAM = eamPageNo;
        FEAMValid = false;
        try {
          FPage.PageNo = eamPageNo;
          FEAMValid = FManager.ReadPage(&FPage) && FPage.PageType() == ptEAM;
          if (FEAMValid) FEAM.assign(FPage.Data(), FPage.Data() + FPage.DataSize());
        } catch (const EQELException&) {
        }
      }
      if (!FEAMValid) continue;  // reported with the page itself
      bool allUsed = true;
      for (std::int64_t p = first; p < first + extent && allUsed; ++p) {
        allUsed = p < FSummary.TotalPageCount && IsUsed(static_cast<std::int32_t>(p));
      }
      const std::int64_t local = (first / extent) % (FSpace.PagesPerEAM() / extent);
      const int pair = (FEAM[static_cast<std::size_t>(local / 4)] >> (2 * (local % 4))) & 3;
      const bool markedFull = (pair & 2) != 0;
      if (markedFull != allUsed) {
        Fault(eamPageNo, QELFormat("extent of pages %d..%d is marked %s, but %s",
                                   {first, first + extent - 1, markedFull ? "full" : "not full",
                                    allUsed ? "all its pages are used" : "it has free pages"}));
      }
    }
  }

  TQELDiskPageManager& FManager;
  TQELDatabaseFreeSpaceManager& FSpace;
  TQELPage FPage;
  TQELDiskFileSummary FSummary;
  // The header's page count, or fewer when the file is shorter.
  std::int32_t FWalkedPageCount = 0;
  std::int32_t FLastBadPFS = -1;
  std::int32_t FLoadedEAM = -1;
  bool FEAMValid = false;
  std::vector<std::uint8_t> FEAM;
};

}  // namespace

TQELDiskFileSummary CheckDiskFile(TQELDiskPageManager& manager) { return TDiskFileChecker(manager).Run(); }

}  // namespace qel
