#include "disk/QELDiskCatalogCheck.h"

#include <algorithm>
#include <map>
#include <string>

#include "disk/QELDiskDatabaseCatalog.h"
#include "disk/QELInternalFileFormat.h"
#include "platform/QELException.h"
#include "platform/QELFormat.h"

namespace qel {

namespace {

class TCatalogChecker {
 public:
  explicit TCatalogChecker(TQELDiskPageManager& manager)
      : FManager(manager), FSpace(*manager.FreeSpaceManager()), FPage(&manager, -1) {}

  std::vector<TQELFileFault> Run() {
    TQELDiskDatabaseCatalog catalog(FManager);
    try {
      catalog.Open();
    } catch (const EQELException& e) {
      Fault(TQELSystemDirectory::kStartPageNo, std::string("the system files cannot be loaded: ") + e.what());
      return std::move(FFaults);
    }
    CheckChain("system directory", TQELSystemDirectory::kStartPageNo, ptFileSystemDirectory, false);
    for (const TQELSystemDirectory::TEntry& entry : catalog.Directory().Entries()) {
      if (entry.Kind != sfkTableList && entry.Kind != sfkActiveSessions) {
        Fault(TQELSystemDirectory::kStartPageNo, QELFormat("unknown system file kind %d", {entry.Kind}));
      }
    }
    CheckChain("active-sessions file", catalog.SessionsFile().StartPageNo(), ptActiveSessionList, true);
    CheckChain("table list", catalog.TableList().StartPageNo(), ptTableList, false);
    const std::vector<TQELTableInfo>& tables = catalog.TableList().Tables();
    for (std::size_t i = 0; i < tables.size(); ++i) {
      const TQELTableInfo& table = tables[i];
      // Names compare as the table list finds them: a-z folded, nothing else.
      const auto earlier = std::find_if(tables.begin(), tables.begin() + static_cast<std::ptrdiff_t>(i),
                                        [&](const TQELTableInfo& other) {
                                          return TQELTableListFile::SameName(other.Name, table.Name);
                                        });
      if (earlier != tables.begin() + static_cast<std::ptrdiff_t>(i)) {
        Fault(catalog.TableList().StartPageNo(), QELFormat("table name '%s' is listed twice", {table.Name}));
      }
      const std::string prefix = "table '" + table.Name + "' ";
      CheckChain(prefix + "metadata file", table.MetadataStartPage, ptTableMetaData, false);
      CheckChain(prefix + "header file", table.HeaderStartPage, ptTableMostUpdated, false);
      CheckChain(prefix + "lock file", table.LocksStartPage, ptTableLocks, true);
    }
    return std::move(FFaults);
  }

 private:
  void Fault(std::int32_t pageNo, std::string message) { FFaults.push_back({pageNo, std::move(message)}); }

  // Reads a chain page: a direct-access page straight from the file (it is
  // stored plain), any other through the page frame (decrypting it).
  bool ReadChainPage(std::int32_t pageNo, bool direct, const std::string& what) {
    FPage.PageNo = pageNo;
    if (FPage.Buffer() == nullptr) FPage.AllocateBuffer();
    try {
      if (direct) {
        FManager.ReadPagePart(FPage.Buffer(), pageNo, 0, FManager.PageSize());
        return true;
      }
      if (FManager.ReadPage(&FPage)) return true;
      Fault(pageNo, what + ": the page cannot be read");
    } catch (const EQELException& e) {
      Fault(pageNo, what + ": " + e.what());
    }
    return false;
  }

  void CheckChain(const std::string& what, std::int32_t startPageNo, std::uint16_t pageType, bool direct) {
    const std::int32_t total = FManager.GetHeader().TotalPageCount;
    if (startPageNo < 0 || startPageNo >= total || FSpace.IsSpacePage(startPageNo)) {
      Fault(startPageNo, QELFormat("%s: start page %d is not a page of the file", {what, startPageNo}));
      return;
    }
    std::int64_t needed = -1;
    std::int64_t count = 0;
    for (std::int32_t pageNo = startPageNo; pageNo != -1; ++count) {
      if (pageNo < 0 || pageNo >= total || FSpace.IsSpacePage(pageNo)) {
        Fault(pageNo, QELFormat("%s: the chain leads to page %d, which is not a page of the file", {what, pageNo}));
        return;
      }
      if (!FSpace.IsPageUsed(pageNo)) Fault(pageNo, what + ": the page is marked free");
      const auto [owner, inserted] = FOwners.emplace(pageNo, what);
      if (!inserted) {
        Fault(pageNo, what + ": the page also belongs to the " + owner->second);
        return;
      }
      if (!ReadChainPage(pageNo, direct, what)) return;
      if (FPage.PageType() != pageType) {
        const std::uint16_t found = FPage.PageType();
        const std::string foundText = found <= ptTableIndex ? std::string(PageTypeName(found)) : "type " + std::to_string(found);
        Fault(pageNo, QELFormat("%s: page of type '%s', expected '%s'", {what, foundText, PageTypeName(pageType)}));
        return;
      }
      if (count == 0) {
        internal_file::THeader header;
        header.Load(FPage.Data());
        if (FPage.Data()[0] != internal_file::kHeaderSize || header.StoredSize < 0) {
          Fault(pageNo, what + ": damaged internal file header");
          return;
        }
        needed = internal_file::PagesNeeded(header.StoredSize, FManager.DataSize());
      }
      if (count >= needed) {
        Fault(pageNo, QELFormat("%s: the chain is longer than its size needs (%d pages)", {what, needed}));
        return;
      }
      pageNo = page_header::NextPageNo(FPage.Header());
    }
    // A lone first page of a direct-access file offers the whole page.
    if (count < needed && !(direct && count == 1)) {
      Fault(startPageNo, QELFormat("%s: the chain ends after %d of %d pages", {what, count, needed}));
    }
  }

  TQELDiskPageManager& FManager;
  TQELDatabaseFreeSpaceManager& FSpace;
  TQELPage FPage;
  std::map<std::int32_t, std::string> FOwners;
  std::vector<TQELFileFault> FFaults;
};

}  // namespace

std::vector<TQELFileFault> CheckDiskCatalog(TQELDiskPageManager& manager) { return TCatalogChecker(manager).Run(); }

}  // namespace qel
