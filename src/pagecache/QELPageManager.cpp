#include "pagecache/QELPageManager.h"

#include <algorithm>

#include "platform/QELException.h"
#include "platform/QELRandom.h"
#include "platform/QELSystemInfo.h"

namespace qel {

namespace {

// The clean cache keeps at most this many pages, and fewer when memory is
// short: one page per 64 KiB of available memory.
constexpr std::int32_t kMaxCleanPagesCap = 1000;
constexpr std::size_t kMaxSparePages = 16;

std::int32_t DefaultMaxCleanPages() {
  const std::uint64_t byMemory = QELAvailablePhysicalMemory() / 65536;
  return static_cast<std::int32_t>(std::min<std::uint64_t>(byMemory, kMaxCleanPagesCap));
}

}  // namespace

TQELPageManager::TQELPageManager(std::uint16_t pageSize, std::uint16_t headerSize)
    : FMaxCleanPages(DefaultMaxCleanPages()), FPageSize(pageSize), FHeaderSize(headerSize) {}

// Pages still changed by a session are lost here: a destructor cannot raise.
// Owners that must not lose changes call FreeAllPages first.
TQELPageManager::~TQELPageManager() = default;

void TQELPageManager::SetPageGeometry(std::uint16_t pageSize, std::uint16_t headerSize) {
  FSparePages.clear();
  FPageSize = pageSize;
  FHeaderSize = headerSize;
}

std::int32_t TQELPageManager::GetPageCount() { return FPageCount; }
bool TQELPageManager::IsPageCurrent(std::int32_t, TQELPage*) { return false; }
void TQELPageManager::RememberPageVersion(std::int32_t, TQELPage*) {}
void TQELPageManager::LoadFromStream(TQELStream&) {}
void TQELPageManager::SaveToStream(TQELStream&) {}
void TQELPageManager::RefreshPageIfChanged(TQELPage*) {}

TQELPageManager::TSessionRecord* TQELPageManager::FindSession(std::int32_t sessionID) const {
  for (const std::unique_ptr<TSessionRecord>& session : FSessions) {
    if (session->SessionID == sessionID) return session.get();
  }
  return nullptr;
}

TQELPageManager::TSessionRecord& TQELPageManager::FindOrCreateSession(std::int32_t sessionID) {
  if (TSessionRecord* session = FindSession(sessionID)) return *session;
  FSessions.push_back(std::make_unique<TSessionRecord>());
  FSessions.back()->SessionID = sessionID;
  return *FSessions.back();
}

bool TQELPageManager::HasChanges(std::int32_t sessionID) const {
  const TSessionRecord* session = FindSession(sessionID);
  return session != nullptr && (session->DirtyPages.Count() > 0 || !session->NewPageNos.empty() ||
                                !session->RemovedPageNos.empty());
}

void TQELPageManager::RemovePage(std::int32_t sessionID, std::int32_t pageNo) {
  FindOrCreateSession(sessionID).RemovedPageNos.push_back(pageNo);
}

// Reads a page that is in no list yet. The page joins the clean list only
// once it is known good, so a failed read or a page of the wrong type is
// never served from the cache afterwards.
std::unique_ptr<TQELPage> TQELPageManager::ReadIntoNewPage(std::int32_t sessionID,
                                                           std::int32_t pageNo,
                                                           std::uint16_t pageType) {
  std::unique_ptr<TQELPage> page = NewPageObject(pageNo);
  page->SessionID = sessionID;
  page->WasRead = ReadPage(page.get());
  if (FHeaderSize != 0 && pageType != kQELAnyPageType && page->PageType() != pageType) {
    throw EQELException(20153,
                        "Invalid page type. Possibly data is corrupted. Expected type %d, but found %d",
                        {pageType, page->PageType()});
  }
  return page;
}

TQELPage* TQELPageManager::GetPage(std::int32_t sessionID, std::int32_t pageNo, bool checkVersion,
                                   std::uint16_t pageType) {
  if (sessionID == -1) throw EQELException(20186, "Invalid Session ID");
  TSessionRecord& session = FindOrCreateSession(sessionID);
  TQELPage* page = session.DirtyPages.Find(pageNo);
  if (page == nullptr) {
    page = FCleanPages.Find(pageNo);
    if (page != nullptr) {
      if (checkVersion && !IsPageCurrent(sessionID, page)) {
        try {
          page->RefreshIfChanged();
        } catch (...) {
          // A read that failed part way leaves the buffer unknown: the page
          // leaves the cache rather than be served later.
          DropCleanPage(pageNo);
          throw;
        }
        RememberPageVersion(sessionID, page);
      }
    } else {
      std::unique_ptr<TQELPage> read = ReadIntoNewPage(sessionID, pageNo, pageType);
      page = read.get();
      AddCleanPage(std::move(read));
      RememberPageVersion(sessionID, page);
    }
  }
  if (page->UseCount > 0 && page->SessionID != sessionID) {
    throw EQELException(20090, "Page is used by other session");
  }
  page->SessionID = sessionID;
  if (++page->UseCount == 1 && page->OwningList == &FCleanPages) ++FCleanPagesInUse;
  return page;
}

TQELPage* TQELPageManager::AddNewPage(std::int32_t sessionID, std::uint16_t pageType) {
  TSessionRecord& session = FindOrCreateSession(sessionID);
  if (session.NewPageNos.empty()) session.StorageMark = StorageMark();
  auto page = std::make_unique<TQELPage>(this, -1);
  page->SessionID = sessionID;
  AllocatePage(page.get());
  if (page->PageNo == -1) throw EQELException(20064, "Invalid page number");
  if (page->Buffer() == nullptr) page->AllocateBuffer();
  page->UseCount = 1;
  page->IsDirty = true;
  page->WasRead = false;
  if (FHeaderSize != 0) {
    page->SetPageType(pageType);
    page->SetPageVersion(static_cast<std::int32_t>(QELRandom(0x3FFFFFFF)));
  }
  page->SessionID = sessionID;
  if (FCleanPages.Find(page->PageNo) != nullptr) DropCleanPage(page->PageNo);
  session.NewPageNos.push_back(page->PageNo);
  return session.DirtyPages.Add(std::move(page));
}

void TQELPageManager::ReleasePage(TQELPage* page) {
  if (page == nullptr || page->UseCount <= 0) return;
  if (--page->UseCount == 0) {
    page->WasRead = false;
    if (page->OwningList == &FCleanPages) --FCleanPagesInUse;
  }
  if (page->OwningList == nullptr) {
    // An orphan: its last user is done with it.
    if (page->UseCount == 0) {
      std::erase_if(FOrphans, [page](const std::unique_ptr<TQELPage>& p) { return p.get() == page; });
    }
    return;
  }
  if (page->UseCount == 0 && page->OwningList == &FCleanPages) {
    if (page->IsDirty) {
      TSessionRecord& session = FindOrCreateSession(page->SessionID);
      session.DirtyPages.Add(FCleanPages.Delete(page->PageNo));
      return;
    }
    FCleanPages.Touch(page);
  }
  if (page->OwningList == &FCleanPages && FCleanPages.Count() > FMaxCleanPages) EvictLeastRecent();
}

// Evicts unused pages from the least recent on while the clean list is too
// long. Stamps are unique, so in practice this frees at most the single
// least recently used page, and nothing when that page is in use.
void TQELPageManager::EvictLeastRecent() {
  for (TQELPage* candidate = FCleanPages.FindLeastRecent(); candidate != nullptr;
       candidate = FCleanPages.FindOlder()) {
    if (candidate->UseCount == 0) {
      Recycle(FCleanPages.Delete(candidate->PageNo));
      if (FCleanPages.Count() <= FMaxCleanPages) return;
    }
  }
}

std::unique_ptr<TQELPage> TQELPageManager::NewPageObject(std::int32_t pageNo) {
  if (FSparePages.empty()) return std::make_unique<TQELPage>(this, pageNo);
  std::unique_ptr<TQELPage> page = std::move(FSparePages.back());
  FSparePages.pop_back();
  page->Reuse(pageNo);
  return page;
}

void TQELPageManager::Recycle(std::unique_ptr<TQELPage> page) {
  if (FSparePages.size() < kMaxSparePages && page->OwnsBuffer() && page->BufferSize() == FPageSize) {
    FSparePages.push_back(std::move(page));
  }
}

void TQELPageManager::DropCleanPage(std::int32_t pageNo) {
  std::unique_ptr<TQELPage> stale = FCleanPages.Delete(pageNo);
  if (stale->UseCount > 0) {
    --FCleanPagesInUse;
    FOrphans.push_back(std::move(stale));
  }
}

// A committed page replaces any older copy of the same page in the clean
// list (another session may have read the stored version meanwhile).
void TQELPageManager::AddCleanPage(std::unique_ptr<TQELPage> page) {
  if (FCleanPages.Find(page->PageNo) != nullptr) DropCleanPage(page->PageNo);
  FCleanPages.Add(std::move(page));
}

TQELPageManager::TSessionRecord* TQELPageManager::SessionToCommit(std::int32_t sessionID) {
  for (std::int32_t i = 0; FCleanPagesInUse > 0 && i < FCleanPages.Count(); ++i) {
    const TQELPage* page = FCleanPages[i];
    if (page->SessionID == sessionID && page->UseCount > 0) {
      throw EQELException(20152, "Some session pages are not released");
    }
  }
  TSessionRecord* session = FindSession(sessionID);
  if (session == nullptr) return nullptr;
  // Check every page before changing anything, so that a page still in use
  // does not leave the commit half done.
  for (std::int32_t i = 0; i < session->DirtyPages.Count(); ++i) {
    const TQELPage* page = session->DirtyPages[i];
    if (!page->IsDirty) throw EQELException(20085, "Invalid dirty page");
    if (page->UseCount > 0) throw EQELException(20086, "Cannot write used page");
  }
  return session;
}

void TQELPageManager::CollectCommitPages(const TSessionRecord& session, std::vector<TQELPage*>& pages,
                                         std::vector<std::int32_t>& newPageNos) {
  std::vector<std::int32_t> removed = session.RemovedPageNos;
  std::sort(removed.begin(), removed.end());
  pages.clear();
  for (std::int32_t i = 0; i < session.DirtyPages.Count(); ++i) {
    TQELPage* page = session.DirtyPages[i];
    if (!std::binary_search(removed.begin(), removed.end(), page->PageNo)) pages.push_back(page);
  }
  newPageNos = session.NewPageNos;
  std::sort(newPageNos.begin(), newPageNos.end());
}

void TQELPageManager::FinishCommit(TSessionRecord& session) {
  for (const std::int32_t pageNo : session.RemovedPageNos) {
    if (session.DirtyPages.Find(pageNo) != nullptr) session.DirtyPages.Delete(pageNo);
    if (FCleanPages.Find(pageNo) != nullptr) DropCleanPage(pageNo);
  }
  session.RemovedPageNos.clear();
  session.NewPageNos.clear();
  std::vector<std::unique_ptr<TQELPage>> pages = session.DirtyPages.TakeAll();
  for (std::unique_ptr<TQELPage>& page : pages) {
    page->IsDirty = false;
    // A clean copy that another session read while this one held the page
    // is older than the commit: it is replaced even when the list is full.
    // (A page in use is never committed, so none is in use here.)
    if (FCleanPages.Count() < FMaxCleanPages || FCleanPages.Find(page->PageNo) != nullptr) {
      AddCleanPage(std::move(page));
    } else {
      Recycle(std::move(page));
    }
  }
}

void TQELPageManager::ApplyChanges(std::int32_t sessionID) {
  TSessionRecord* session = SessionToCommit(sessionID);
  if (session == nullptr) return;
  for (const std::int32_t pageNo : session->RemovedPageNos) FreePage(pageNo);
  std::vector<TQELPage*> pages;
  std::vector<std::int32_t> newPageNos;
  CollectCommitPages(*session, pages, newPageNos);
  for (TQELPage* page : pages) WritePage(page);
  FinishCommit(*session);
}

void TQELPageManager::CancelChanges(std::int32_t sessionID) {
  TSessionRecord* session = FindSession(sessionID);
  if (session == nullptr) return;
  for (std::int32_t i = 0; i < session->DirtyPages.Count(); ++i) {
    const TQELPage* page = session->DirtyPages[i];
    if (!page->IsDirty) throw EQELException(20087, "Invalid index page");
    if (page->UseCount > 0) throw EQELException(20088, "Cannot remove used page");
  }
  session->DirtyPages.Clear();
  const std::vector<std::int32_t> newPageNos = std::move(session->NewPageNos);
  session->NewPageNos.clear();
  session->RemovedPageNos.clear();
  if (!newPageNos.empty()) ReleaseNewPages(session->SessionID, newPageNos, session->StorageMark);
}

void TQELPageManager::CancelAllNewPages() {
  for (const std::unique_ptr<TSessionRecord>& session : FSessions) {
    const std::vector<std::int32_t> newPageNos = std::move(session->NewPageNos);
    session->NewPageNos.clear();
    session->RemovedPageNos.clear();
    if (!newPageNos.empty()) ReleaseNewPages(session->SessionID, newPageNos, session->StorageMark);
  }
}

void TQELPageManager::ReleaseNewPages(std::int32_t, const std::vector<std::int32_t>& pageNos, std::int64_t) {
  for (const std::int32_t pageNo : pageNos) FreePage(pageNo);
}

void TQELPageManager::FreeAllPages() {
  for (const std::unique_ptr<TSessionRecord>& session : FSessions) {
    if (session->DirtyPages.Count() > 0) {
      throw EQELException(20097, "Cannot free not commited pages");
    }
  }
  FSessions.clear();
  FCleanPages.Clear();
  FCleanPagesInUse = 0;
  FOrphans.clear();
  FSparePages.clear();
}

}  // namespace qel
