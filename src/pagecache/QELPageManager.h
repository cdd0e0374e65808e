#pragma once
// TQELPageManager: the page cache every page-structured part of the engine
// reads and writes through.
//
// Clean pages (as stored) are shared by all sessions in one list bounded by
// a least-recently-used policy. A page a session changes moves into that
// session's own dirty list, where other sessions cannot see it, until the
// session commits (ApplyChanges writes it and makes it clean) or rolls back
// (CancelChanges drops it and returns the session's new pages to storage).
// Every GetPage or AddNewPage is matched by exactly one ReleasePage.
//
// Concrete managers supply the storage: the database file, memory, or
// temporary files. The manager takes no lock of its own; the owning
// database serialises the sessions of a process.

#include <cstdint>
#include <memory>
#include <vector>

#include "pagecache/QELPage.h"
#include "pagecache/QELPageType.h"
#include "pagecache/QELSortedPageList.h"

namespace qel {

class TQELStream;

class TQELPageManager {
 public:
  virtual ~TQELPageManager();
  TQELPageManager(const TQELPageManager&) = delete;
  TQELPageManager& operator=(const TQELPageManager&) = delete;

  std::uint16_t PageSize() const { return FPageSize; }
  std::uint16_t HeaderSize() const { return FHeaderSize; }
  std::uint16_t DataSize() const { return static_cast<std::uint16_t>(FPageSize - FHeaderSize); }
  bool MultiUser() const { return FMultiUser; }

  // Operations the storage kinds override, in their fixed order.
  virtual std::int32_t GetPageCount();
  virtual bool IsPageCurrent(std::int32_t sessionID, TQELPage* page);
  virtual void RememberPageVersion(std::int32_t sessionID, TQELPage* page);
  virtual void LoadFromStream(TQELStream& stream);
  virtual void SaveToStream(TQELStream& stream);
  // Gives the page object a page number from storage and a fresh buffer;
  // its SessionID is the session the page is for.
  virtual void AllocatePage(TQELPage* page) = 0;
  // Returns a page number to storage.
  virtual void FreePage(std::int32_t pageNo) = 0;
  // Fills the page's buffer from storage; false when it could not be read.
  virtual bool ReadPage(TQELPage* page) = 0;
  virtual void WritePage(TQELPage* page) = 0;
  // Notes that the session drops the page; it is freed at commit.
  virtual void RemovePage(std::int32_t sessionID, std::int32_t pageNo);
  // The page as this session sees it, with its use count raised. A page read
  // from storage must have `pageType` (kQELAnyPageType accepts any).
  virtual TQELPage* GetPage(std::int32_t sessionID, std::int32_t pageNo, bool checkVersion,
                            std::uint16_t pageType);
  // Writes the session's changed pages and frees its removed ones. When a
  // write fails every page stays the session's change, written or not.
  virtual void ApplyChanges(std::int32_t sessionID);
  // Where storage stood before the session's first new page (the disk
  // file's page count); -1 when the storage kind does not say.
  virtual std::int64_t StorageMark() { return -1; }
  // Gives back the pages a session allocated and is throwing away, with
  // the mark taken before its first one.
  virtual void ReleaseNewPages(std::int32_t sessionID, const std::vector<std::int32_t>& pageNos,
                               std::int64_t mark);

  // A new page of `pageType` in the session's dirty list, in use once.
  TQELPage* AddNewPage(std::int32_t sessionID, std::uint16_t pageType);
  void ReleasePage(TQELPage* page);
  // Throws away the session's changes and frees the pages it allocated.
  void CancelChanges(std::int32_t sessionID);
  // Gives back the pages every session allocated and never committed, and
  // forgets the removals it never committed: what a closing owner does, so
  // that no page stays marked used that was never written. Changed pages
  // are left to FreeAllPages.
  void CancelAllNewPages();
  // Whether the session has changed, allocated or removed pages.
  bool HasChanges(std::int32_t sessionID) const;

  // Re-reads a cached page whose version in storage has moved (multi-user
  // disk files); others keep their pages.
  virtual void RefreshPageIfChanged(TQELPage* page);

  // Frees every cached page; raises "Cannot free not commited pages"
  // (20097) when a session still has changed pages, leaving all in place.
  void FreeAllPages();

  std::int32_t MaxCleanPages() const { return FMaxCleanPages; }
  void SetMaxCleanPages(std::int32_t count) { FMaxCleanPages = count; }
  std::int32_t CleanPageCount() const { return FCleanPages.Count(); }

 protected:
  TQELPageManager(std::uint16_t pageSize, std::uint16_t headerSize);

  void SetPageGeometry(std::uint16_t pageSize, std::uint16_t headerSize);

  struct TSessionRecord {
    std::int32_t SessionID;
    TQELSortedPageList DirtyPages;
    std::vector<std::int32_t> NewPageNos;
    std::vector<std::int32_t> RemovedPageNos;
    std::int64_t StorageMark = -1;
  };
  TSessionRecord* FindSession(std::int32_t sessionID) const;
  TSessionRecord& FindOrCreateSession(std::int32_t sessionID);

  // The steps of ApplyChanges, for managers that write a commit their own
  // way. The session's record, checked ready to be written (every page
  // released), or nullptr when it has nothing.
  TSessionRecord* SessionToCommit(std::int32_t sessionID);
  // The session's changed pages that must be written (not the removed
  // ones) and, sorted, the numbers of its new pages.
  static void CollectCommitPages(const TSessionRecord& session, std::vector<TQELPage*>& pages,
                                 std::vector<std::int32_t>& newPageNos);
  // Once everything is written: the changed pages become clean, the
  // removed ones leave the cache, and the session has no changes left.
  void FinishCommit(TSessionRecord& session);

  std::int32_t FPageCount = 0;
  bool FMultiUser = false;

 private:
  std::unique_ptr<TQELPage> ReadIntoNewPage(std::int32_t sessionID, std::int32_t pageNo,
                                            std::uint16_t pageType);
  void EvictLeastRecent();
  // Takes a page out of the clean list; one still in use is kept alive
  // until its last release.
  void DropCleanPage(std::int32_t pageNo);
  void AddCleanPage(std::unique_ptr<TQELPage> page);
  std::unique_ptr<TQELPage> NewPageObject(std::int32_t pageNo);
  void Recycle(std::unique_ptr<TQELPage> page);

  TQELSortedPageList FCleanPages;
  // How many pages of the clean list are in use (UseCount > 0), so that a
  // commit looks for pages still held only when there are some.
  std::int32_t FCleanPagesInUse = 0;
  std::vector<std::unique_ptr<TSessionRecord>> FSessions;
  // Pages dropped from every list while someone still used them.
  std::vector<std::unique_ptr<TQELPage>> FOrphans;
  // Evicted page objects kept for the next pages read, so that a cache miss
  // costs no allocation.
  std::vector<std::unique_ptr<TQELPage>> FSparePages;
  std::int32_t FMaxCleanPages;
  std::uint16_t FPageSize;
  std::uint16_t FHeaderSize;
};

// Holds a page got from a page manager and releases it when it goes out of
// scope, so that an exception never leaves a page in use.
class TQELPageGuard {
 public:
  TQELPageGuard(TQELPageManager& manager, TQELPage* page) : FManager(manager), FPage(page) {}
  ~TQELPageGuard() {
    if (FPage != nullptr) FManager.ReleasePage(FPage);
  }
  TQELPageGuard(const TQELPageGuard&) = delete;
  TQELPageGuard& operator=(const TQELPageGuard&) = delete;

  TQELPage* operator->() const { return FPage; }
  TQELPage* Get() const { return FPage; }

 private:
  TQELPageManager& FManager;
  TQELPage* FPage;
};

// One page kept fixed across calls: a walk that reads record after record
// of one page asks the page manager for it once. Only a walk that changes
// nothing while it holds the page may use one.
class TQELPageHold {
 public:
  TQELPageHold() = default;
  ~TQELPageHold() { Release(); }
  TQELPageHold(const TQELPageHold&) = delete;
  TQELPageHold& operator=(const TQELPageHold&) = delete;

  // The page held, when it is page `pageNo`; else null.
  TQELPage* Find(std::int32_t pageNo) const { return FPage != nullptr && FPageNo == pageNo ? FPage : nullptr; }
  // Holds `page` (of `manager`, fetched once) instead of the one held so far.
  void Keep(TQELPageManager& manager, TQELPage* page, std::int32_t pageNo) {
    Release();
    FManager = &manager;
    FPage = page;
    FPageNo = pageNo;
  }
  void Release() {
    if (FPage != nullptr) FManager->ReleasePage(FPage);
    FPage = nullptr;
  }

 private:
  TQELPageManager* FManager = nullptr;
  TQELPage* FPage = nullptr;
  std::int32_t FPageNo = -1;
};

// The base of page-structured classes (B-tree pages and the like): one page
// and convenient access to it.
class TQELPageController {
 public:
  explicit TQELPageController(TQELPage* page) : FPage(page) {}
  virtual ~TQELPageController() = default;

  TQELPage* Page() const { return FPage; }
  std::int32_t PageNo() const { return FPage->PageNo; }
  void SetPageNo(std::int32_t pageNo) { FPage->PageNo = pageNo; }
  std::uint16_t PageSize() const { return FPage->PageSize(); }
  void SetDirty() { FPage->IsDirty = true; }
  std::uint8_t* Data() const { return FPage->Data(); }
  std::uint32_t DataSize() const { return FPage->DataSize(); }
  void ResizeBuffer(std::uint32_t newSize) { FPage->ResizeBuffer(newSize); }

 protected:
  TQELPage* FPage;
};

}  // namespace qel
