#include "disk/QELDiskRecordManager.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "disk/QELDiskPageManager.h"
#include "memory/QELMemory.h"
#include "platform/QELEndian.h"
#include "platform/QELException.h"
#include "storage/QELBaseFieldManager.h"
#include "storage/QELMetaStream.h"

namespace qel {

namespace {

// Stream errors of the index root in the table metadata.
constexpr std::int32_t kErrReadIndexRoot = 20163;
constexpr std::int32_t kErrWriteIndexRoot = 20173;

// Page versions above this mark a page that was freed or could not be read.
constexpr std::int32_t kMaxLivePageVersion = 0x7FFFFFFD;
// Files older than this keep neither ObjectID nor versions in their pages.
constexpr double kFirstCheckedFormat = 2.99;

constexpr std::int32_t kStructureSession = -2;

// A record page for reading: the one the request holds when it is that
// page, else fetched, and then held for the request's next step when the
// request holds pages, or released at the end of the scope.
class TReadPage {
 public:
  TReadPage(TQELPageManager& manager, const TQELRecordRequest& request, std::int32_t sessionID,
            std::int32_t pageNo) {
    TQELPageHold* hold = request.PageHold;
    if (hold != nullptr && (FPage = hold->Find(pageNo)) != nullptr) return;
    FPage = manager.GetPage(sessionID, pageNo, true, kQELAnyPageType);
    if (hold != nullptr) {
      hold->Keep(manager, FPage, pageNo);
    } else {
      FGuard.emplace(manager, FPage);
    }
  }
  TQELPage* Get() const { return FPage; }

 private:
  TQELPage* FPage = nullptr;
  std::optional<TQELPageGuard> FGuard;
};

void SetPosition(TQELRecordRequest& request, TQELGetRecordResult result) {
  request.Result = result;
  if (result == grEOF) {
    request.AfterLast = true;
    request.BeforeFirst = false;
  } else if (result == grBOF) {
    request.BeforeFirst = true;
    request.AfterLast = false;
  }
}

}  // namespace

TQELDiskRecordManager::TQELDiskRecordManager(TQELPageManager& pageManager,
                                             TQELDiskPageManager* diskPageManager,
                                             std::int32_t objectID,
                                             TQELBaseFieldManager& fieldManager)
    : TQELBaseRecordManager(0),
      FPageManager(pageManager),
      FDiskPageManager(diskPageManager),
      FFieldManager(fieldManager),
      FPagesIndex(pageManager, 0),
      FObjectID(objectID) {}

TQELDiskRecordManager::~TQELDiskRecordManager() {
  if (FScratchRecord == nullptr) return;
  void* block = FScratchRecord;
  try {
    QELMemoryManager().FreeAndNillMem(block);
  } catch (...) {
    // An overrun is reported by the memory manager's own checks; a
    // destructor cannot pass it on.
  }
}

void TQELDiskRecordManager::SetRecordSizes(std::int32_t memoryRecordSize,
                                           std::int32_t diskRecordSize, std::int32_t) {
  const std::int32_t recordsPerPage =
      TQELSmallRecordPage::RecordsPerPage(FPageManager.DataSize(), diskRecordSize);
  if (recordsPerPage <= 0) {
    throw EQELException(20174,
                        "Cannot create table. Record is too large to fit in current database page. "
                        "Please increase page size of database file or decrease record size");
  }
  // The field manager converts as many bytes as its definitions lay out;
  // the scratch record holds whichever is larger, so a caller passing other
  // sizes cannot make a conversion write past it.
  const std::int64_t scratchSize =
      std::max<std::int64_t>(diskRecordSize, FFieldManager.FieldDefs().DiskRecordSize());
  void* scratch = QELMemoryManager().AllocMem(scratchSize);
  if (FScratchRecord != nullptr) {
    void* old = FScratchRecord;
    QELMemoryManager().FreeAndNillMem(old);
  }
  FScratchRecord = static_cast<std::uint8_t*>(scratch);
  FRecordBufferSize = memoryRecordSize;
  FDiskRecordSize = diskRecordSize;
  FRecordsPerPage = recordsPerPage;
  FPagesIndex.MaxRecordsPerPage = recordsPerPage;
  FRecordCount = 0;
  FChangeCount = 0;
}

// ---- Persistent state ------------------------------------------------------

void TQELDiskRecordManager::LoadHeader(const std::uint8_t* buffer, std::int32_t bufferSize,
                                       std::int32_t& position) {
  if (position < 0 || std::int64_t{position} + kHeaderSize > bufferSize) {
    throw EQELException(20164, "Invalid table header data");
  }
  FChangeCount = QELReadLE<std::int32_t>(buffer + position + kChangeCount);
  FRecordCount = QELReadLE<std::int32_t>(buffer + position + kRecordCount);
  position += kHeaderSize;
}

void TQELDiskRecordManager::SaveHeader(std::uint8_t* buffer, std::int32_t bufferSize,
                                       std::int32_t& position) const {
  if (position < 0 || std::int64_t{position} + kHeaderSize > bufferSize) {
    throw EQELException(20164, "Invalid table header data");
  }
  QELWriteLE(buffer + position + kChangeCount, FChangeCount);
  QELWriteLE(buffer + position + kRecordCount, static_cast<std::int32_t>(FRecordCount));
  position += kHeaderSize;
}

void TQELDiskRecordManager::LoadIndexRoot(TQELStream& stream) {
  FPagesIndex.SetRootPage(QELReadValue<std::int32_t>(stream, kErrReadIndexRoot));
}

void TQELDiskRecordManager::SaveIndexRoot(TQELStream& stream) const {
  QELWriteValue<std::int32_t>(stream, FPagesIndex.RootPageNo(), kErrWriteIndexRoot);
}

// ---- Pages -----------------------------------------------------------------

bool TQELDiskRecordManager::IsValidRecordPage(const TQELPage* page) const {
  if (FPageManager.HeaderSize() == 0) return true;
  if (page->PageType() != ptTableRecord) return false;
  // A repair, and the conversion of an older file, read pages whose version
  // was never finished; the owner is still checked, or a stale pages index
  // would hand another table's records to this one.
  if (page_header::ObjectID(page->Header()) != FObjectID) return false;
  if (FDiskPageManager != nullptr) {
    const TQELDatabaseFreeSpaceManager* space = FDiskPageManager->FreeSpaceManager();
    if ((space != nullptr && space->RepairMode) ||
        FDiskPageManager->GetHeader().FormatVersion < kFirstCheckedFormat) {
      return true;
    }
  }
  return page->PageVersion() <= kMaxLivePageVersion;
}

void TQELDiskRecordManager::CreatePagesIndex() { FPagesIndex.Create(kStructureSession); }

void TQELDiskRecordManager::EmptyRecords(std::int32_t sessionID) {
  std::vector<std::int32_t> pageNos;
  std::int32_t pageNo;
  for (bool on = FPagesIndex.FirstPage(sessionID, pageNo); on;
       on = FPagesIndex.NextPage(sessionID, pageNo)) {
    pageNos.push_back(pageNo);
  }
  // Only pages that are this table's go: a damaged index must not make the
  // table give away another table's page.
  for (const std::int32_t listed : pageNos) {
    bool ours = false;
    try {
      TQELPageGuard page(FPageManager,
                         FPageManager.GetPage(sessionID, listed, true, kQELAnyPageType));
      ours = IsValidRecordPage(page.Get());
    } catch (const EQELException&) {
      ours = false;
    }
    if (ours) FPageManager.RemovePage(sessionID, listed);
  }
  FPagesIndex.Empty(sessionID);
  FRecordCount = 0;
  // The counter moves on rather than restarting at 0: an index position or
  // a record bitmap stamped before the empty must never look current again
  // once as many changes have followed.
  NoteChange();
}

void TQELDiskRecordManager::DropRecords(std::int32_t sessionID) {
  EmptyRecords(sessionID);
  FPagesIndex.Drop(sessionID);
}

void TQELDiskRecordManager::RebuildPagesIndex(std::int32_t sessionID) {
  const std::int32_t oldRoot = FPagesIndex.RootPageNo();
  std::int64_t recordCount = 0;
  try {
    FPagesIndex.Create(sessionID);
    const std::int32_t pageCount = FPageManager.GetPageCount();
    TQELDatabaseFreeSpaceManager* space =
        FDiskPageManager != nullptr ? FDiskPageManager->FreeSpaceManager() : nullptr;
    for (std::int32_t pageNo = 1; pageNo < pageCount; ++pageNo) {
      TQELPage* page = nullptr;
      try {
        page = FPageManager.GetPage(sessionID, pageNo, true, ptTableRecord);
      } catch (const EQELException&) {
        continue;  // not a record page, or unreadable
      }
      std::int64_t used = 0;
      try {
        // A cached page skipped the type check of the read: check it here.
        if (IsValidRecordPage(page) && (space == nullptr || space->IsPageUsed(pageNo))) {
          used = RecordPage(page).GetUsedCount();
        }
      } catch (...) {
        try {
          FPageManager.ReleasePage(page);
        } catch (...) {
        }
        throw;
      }
      try {
        FPageManager.ReleasePage(page);
      } catch (...) {
        // The page was read; failing to let go of it does not change what
        // it holds.
      }
      // A page without records has no place in the index.
      if (used == 0) continue;
      FPagesIndex.AddToPage(sessionID, static_cast<std::int32_t>(used), pageNo);
      recordCount += used;
    }
  } catch (...) {
    FPagesIndex.SetRootPage(oldRoot);
    throw;
  }
  FRecordCount = recordCount;
}

void TQELDiskRecordManager::VerifyRecordCount(std::int32_t sessionID) {
  FPagesIndex.VerifyRecordCount(sessionID, FRecordCount);
}

// ---- Record numbers ----------------------------------------------------------

void TQELDiskRecordManager::RecordIDAtRecNo(std::int32_t sessionID, TQELRecordID& recordID,
                                            std::int64_t recNo) {
  std::int32_t pageNo = -1;
  std::int32_t offset = 0;
  FPagesIndex.LocateRecNo(sessionID, pageNo, offset, recNo - 1);
  TQELPageGuard page(FPageManager, FPageManager.GetPage(sessionID, pageNo, true, ptTableRecord));
  if (!IsValidRecordPage(page.Get())) throw EQELException(20146, "Record not found");
  RecordPage(page.Get()).GetRecordIDByIndex(offset, recordID);
}

std::int64_t TQELDiskRecordManager::RecNoOfRecordID(std::int32_t sessionID,
                                                    const TQELRecordID& recordID) {
  const std::int32_t pageNo = TQELSmallRecordPage::PageNoOf(recordID);
  std::int64_t onPage = 0;
  if (pageNo >= 0) {
    TQELPageGuard page(FPageManager, FPageManager.GetPage(sessionID, pageNo, true, ptTableRecord));
    if (IsValidRecordPage(page.Get())) onPage = RecordPage(page.Get()).CountRecordsBefore(recordID);
  }
  std::int64_t count = 0;
  FPagesIndex.CountRecordsBefore(sessionID, pageNo, count, onPage + 1);
  return count;
}

std::int64_t TQELDiskRecordManager::RecordIDToRecordNumber(const TQELRecordID& recordID) const {
  return std::int64_t{TQELSmallRecordPage::PageNoOf(recordID)} * FRecordsPerPage +
         TQELSmallRecordPage::SlotOf(recordID);
}

void TQELDiskRecordManager::RecordNumberToRecordID(TQELRecordID& recordID,
                                                   std::int64_t number) const {
  if (FRecordsPerPage <= 0) throw EQELException(20140, "Invalid number of records on page");
  recordID = TQELSmallRecordPage::MakeRecordID(static_cast<std::int32_t>(number / FRecordsPerPage),
                                               static_cast<std::int32_t>(number % FRecordsPerPage));
}

std::int64_t TQELDiskRecordManager::GetRecordNumberLimit(std::int32_t sessionID) {
  std::int32_t lastPage;
  if (!FPagesIndex.LastPage(sessionID, lastPage)) return 1;
  return (std::int64_t{lastPage} + 1) * FRecordsPerPage;
}

// ---- Storing records ---------------------------------------------------------

bool TQELDiskRecordManager::InsertRecord(std::int32_t sessionID, const std::uint8_t* record,
                                         TQELRecordID& recordID) {
  try {
    if (record == nullptr || FScratchRecord == nullptr) return false;
    // Converted before any page is touched, so that a failure here changes
    // nothing at all.
    FFieldManager.MemoryToDiskRecord(record, FScratchRecord);
    std::int32_t pageNo;
    const bool reuse = FPagesIndex.FindPageWithRoom(sessionID, 1, pageNo);
    TQELPage* got = reuse ? FPageManager.GetPage(sessionID, pageNo, true, ptTableRecord)
                          : FPageManager.AddNewPage(sessionID, ptTableRecord);
    TQELPageGuard page(FPageManager, got);
    if (reuse) {
      // The index must not make us write into a page that is not ours.
      if (!IsValidRecordPage(got)) return false;
    } else {
      pageNo = got->PageNo;
      if (FPageManager.HeaderSize() != 0) page_header::SetObjectID(got->Header(), FObjectID);
    }
    TQELSmallRecordPage recordPage = RecordPage(got);
    TQELRecordID id;
    recordPage.AddRecord(FScratchRecord, id);
    try {
      FPagesIndex.AddToPage(sessionID, 1, pageNo);
    } catch (...) {
      // Take the record back out, so that a session that goes on and
      // commits finds neither a record the index does not count nor an
      // empty record page.
      recordPage.DeleteRecord(id);
      if (!reuse) FPageManager.RemovePage(sessionID, pageNo);
      throw;
    }
    ++FRecordCount;
    NoteChange();
    recordID = id;
    return true;
  } catch (...) {
    return false;
  }
}

bool TQELDiskRecordManager::UpdateRecord(std::int32_t sessionID, const std::uint8_t* record,
                                         const TQELRecordID& recordID) {
  const std::int32_t pageNo = TQELSmallRecordPage::PageNoOf(recordID);
  if (record == nullptr || pageNo < 0 || FScratchRecord == nullptr) return false;
  FFieldManager.MemoryToDiskRecord(record, FScratchRecord);
  TQELPageGuard page(FPageManager, FPageManager.GetPage(sessionID, pageNo, true, kQELAnyPageType));
  if (!IsValidRecordPage(page.Get())) return false;
  if (!RecordPage(page.Get()).UpdateRecord(FScratchRecord, recordID)) return false;
  NoteChange();
  return true;
}

bool TQELDiskRecordManager::DeleteRecord(std::int32_t sessionID, TQELRecordID& recordID) {
  const std::int32_t pageNo = TQELSmallRecordPage::PageNoOf(recordID);
  if (pageNo < 0 || FRecordsPerPage <= 0) return false;
  TQELPageGuard page(FPageManager, FPageManager.GetPage(sessionID, pageNo, true, kQELAnyPageType));
  if (!IsValidRecordPage(page.Get())) return false;
  TQELSmallRecordPage recordPage = RecordPage(page.Get());
  if (!recordPage.IsUsed(TQELSmallRecordPage::SlotOf(recordID))) return false;
  const auto remaining = static_cast<std::int32_t>(recordPage.GetUsedCount() - 1);
  // The index first: when it disagrees with the page (and raises), the
  // page and the counters are still as they were.
  FPagesIndex.RemoveFromPage(sessionID, 1, remaining, pageNo);
  recordPage.DeleteRecord(recordID);
  --FRecordCount;
  NoteChange();
  // A page lives only while it holds a record.
  if (remaining == 0) FPageManager.RemovePage(sessionID, pageNo);
  return true;
}

std::int32_t TQELDiskRecordManager::CompareRecordIDs(const TQELRecordID& a, const TQELRecordID& b) {
  return qel::CompareRecordIDs(a.data(), b.data());
}

std::int64_t TQELDiskRecordManager::GetRecordsBefore(std::int32_t, const TQELRecordID&) {
  return FRecordCount / 2;
}

// ---- Reading records ---------------------------------------------------------

void TQELDiskRecordManager::ReadFound(TQELRecordRequest& request, const TQELSmallRecordPage& page,
                                      std::int32_t slot, std::int32_t nativeError) {
  const TQELRecordID id = TQELSmallRecordPage::MakeRecordID(page.PageNo(), slot);
  if (!page.ReadRecord(id, FScratchRecord)) throw EQELException(nativeError, "Record not found");
  if (request.Buffer != nullptr) FFieldManager.DiskToMemoryRecord(FScratchRecord, request.Buffer);
  request.RecordID = id;
  request.Result = grOK;
  request.BeforeFirst = false;
  request.AfterLast = false;
}

bool TQELDiskRecordManager::FindFromPage(std::int32_t sessionID, TQELRecordRequest& request,
                                         std::int32_t pageNo, bool forward,
                                         std::int32_t nativeError) {
  for (;;) {
    {
      const TReadPage page(FPageManager, request, sessionID, pageNo);
      // A page that is not ours holds none of our records: walk past it.
      if (IsValidRecordPage(page.Get())) {
        const TQELSmallRecordPage recordPage = RecordPage(page.Get());
        const std::int32_t slot =
            forward ? recordPage.NextUsed(0) : recordPage.PriorUsed(FRecordsPerPage - 1);
        if (slot >= 0) {
          ReadFound(request, recordPage, slot, nativeError);
          return true;
        }
      }
    }
    const bool on = forward ? FPagesIndex.NextPage(sessionID, pageNo)
                            : FPagesIndex.PriorPage(sessionID, pageNo);
    if (!on) return false;
  }
}

void TQELDiskRecordManager::StartAtEnd(std::int32_t sessionID, TQELRecordRequest& request,
                                       bool forward) {
  std::int32_t pageNo;
  const bool any = forward ? FPagesIndex.FirstPage(sessionID, pageNo)
                           : FPagesIndex.LastPage(sessionID, pageNo);
  // RecordCount says there are records, the pages say otherwise.
  if (!any || !FindFromPage(sessionID, request, pageNo, forward, forward ? 20143 : 20144)) {
    request.Result = grError;
  }
}

void TQELDiskRecordManager::Step(std::int32_t sessionID, TQELRecordRequest& request,
                                 bool forward) {
  std::int32_t pageNo = TQELSmallRecordPage::PageNoOf(request.RecordID);
  const std::int32_t slot = TQELSmallRecordPage::SlotOf(request.RecordID);
  bool valid = false;
  if (pageNo >= 0) {
    const TReadPage page(FPageManager, request, sessionID, pageNo);
    valid = IsValidRecordPage(page.Get());
    if (valid) {
      const TQELSmallRecordPage recordPage = RecordPage(page.Get());
      const std::int32_t found =
          forward ? recordPage.NextUsed(slot + 1) : recordPage.PriorUsed(slot - 1);
      if (found >= 0) {
        ReadFound(request, recordPage, found, forward ? 20145 : 20147);
        return;
      }
    }
  }
  if (!valid) {
    // The page has gone (freed, or taken by another table): forwards there
    // is nothing to go on from, backwards the walk restarts at the end.
    if (forward) {
      SetPosition(request, grEOF);
    } else {
      StartAtEnd(sessionID, request, false);
    }
    return;
  }
  const bool on =
      forward ? FPagesIndex.NextPage(sessionID, pageNo) : FPagesIndex.PriorPage(sessionID, pageNo);
  if (!on || !FindFromPage(sessionID, request, pageNo, forward, forward ? 20146 : 20148)) {
    SetPosition(request, forward ? grEOF : grBOF);
  }
}

void TQELDiskRecordManager::ReadCurrent(std::int32_t sessionID, TQELRecordRequest& request) {
  const std::int32_t pageNo = TQELSmallRecordPage::PageNoOf(request.RecordID);
  request.Result = grError;
  if (pageNo < 0) return;
  const TReadPage page(FPageManager, request, sessionID, pageNo);
  if (!IsValidRecordPage(page.Get())) return;
  const TQELSmallRecordPage recordPage = RecordPage(page.Get());
  const std::int32_t slot = TQELSmallRecordPage::SlotOf(request.RecordID);
  if (recordPage.IsUsed(slot)) ReadFound(request, recordPage, slot, 20145);
}

void TQELDiskRecordManager::GetRecord(std::int32_t sessionID, TQELRecordRequest& request) {
  if (FRecordCount == 0) {
    SetPosition(request, grEOF);
    return;
  }
  if (request.BeforeFirst) {
    if (request.Mode == grmNext) {
      StartAtEnd(sessionID, request, true);
    } else {
      request.Result = request.Mode == grmPrior ? grBOF : grError;
    }
    return;
  }
  if (request.AfterLast) {
    if (request.Mode == grmPrior) {
      StartAtEnd(sessionID, request, false);
    } else {
      request.Result = request.Mode == grmNext ? grEOF : grError;
    }
    return;
  }
  switch (request.Mode) {
    case grmCurrent:
      ReadCurrent(sessionID, request);
      return;
    case grmNext:
      Step(sessionID, request, true);
      return;
    case grmPrior:
      Step(sessionID, request, false);
      return;
  }
  request.Result = grError;
}

}  // namespace qel
