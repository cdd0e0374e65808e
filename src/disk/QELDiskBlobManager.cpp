#include "disk/QELDiskBlobManager.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <unordered_set>

#include "disk/QELSmallBlobPage.h"
#include "memory/QELMemory.h"
#include "pagecache/QELPageHeader.h"
#include "platform/QELEndian.h"
#include "platform/QELException.h"
#include "storage/QELBaseFieldManager.h"
#include "storage/QELMetaStream.h"
#include "storage/QELRecordRequest.h"
#include "streams/QELCompressedBLOBStream.h"

namespace qel {

using namespace blob_page;

namespace {

// Stream errors of the index root in the table metadata.
constexpr std::int32_t kErrReadIndexRoot = 20163;
constexpr std::int32_t kErrWriteIndexRoot = 20173;

std::uint32_t SlotHandle(const std::uint8_t* slot) { return QELReadLE<std::uint32_t>(slot + blob_slot::kHandle); }
void SetSlotHandle(std::uint8_t* slot, std::uint32_t handle) { QELWriteLE(slot + blob_slot::kHandle, handle); }

[[noreturn]] void RaiseInvalidSize() { throw EQELException(20248, "Invalid blob field size"); }

}  // namespace

// --- references ---

TQELBlobReference TQELBlobReference::Load(const std::uint8_t* slot) {
  return {QELReadLE<std::int32_t>(slot + blob_slot::kPageNo), QELReadLE<std::int16_t>(slot + blob_slot::kEntryID)};
}

void TQELBlobReference::Store(std::uint8_t* slot) const {
  QELWriteLE(slot + blob_slot::kPageNo, PageNo);
  QELWriteLE(slot + blob_slot::kEntryID, EntryID);
}

// --- cache entries ---

TQELDiskBlobManager::TCacheEntry::~TCacheEntry() {
  if (Data == nullptr) return;
  void* block = Data;
  try {
    QELMemoryManager().FreeAndNillMem(block);
  } catch (...) {
    // An overrun is reported by the memory manager's own checks elsewhere;
    // a destructor cannot pass it on.
  }
}

void TQELDiskBlobManager::TCacheEntry::Allocate(std::int64_t dataSize) {
  if (dataSize < 0) RaiseInvalidSize();
  if (dataSize > 0) Data = static_cast<std::uint8_t*>(QELMemoryManager().GetMem(dataSize));
  DataSize = dataSize;
}

TQELDiskBlobManager::TQELDiskBlobManager(TQELPageManager& pageManager,
                                         TQELRecordReader& recordManager,
                                         TQELBaseFieldManager& fieldManager)
    : FPageManager(pageManager),
      FRecordManager(recordManager),
      FFieldManager(fieldManager),
      FIndex(pageManager) {}

TQELDiskBlobManager::~TQELDiskBlobManager() = default;

void TQELDiskBlobManager::Close() {
  const bool alive = !FCache.empty();
  FCache.clear();
  if (alive) throw EQELException(20150, "Blob cache not released");
}

std::uint8_t* TQELDiskBlobManager::Slot(std::uint8_t* record, std::int32_t fieldNo) const {
  if (record == nullptr) throw EQELException(20161, "Pointer is nil");
  const TQELFieldDefs& defs = FFieldManager.FieldDefs();
  if (fieldNo < 0 || fieldNo >= defs.Count() || !IsBlobBaseType(defs[fieldNo].BaseFieldType())) {
    throw EQELException(10000, "Invalid field number - FieldNo = %d, FieldCount = %d",
                        {fieldNo, defs.Count()});
  }
  return record + defs[fieldNo].MemoryOffset();
}

TQELDiskBlobManager::TCacheEntry* TQELDiskBlobManager::FindEntry(const std::uint8_t* slot) const {
  const std::uint32_t handle = SlotHandle(slot);
  if (handle == 0) return nullptr;
  const auto found = FCache.find(handle);
  return found == FCache.end() ? nullptr : found->second.get();
}

std::uint32_t TQELDiskBlobManager::NextHandle() {
  do {
    ++FLastHandle;
  } while (FLastHandle == 0 || FCache.contains(FLastHandle));
  return FLastHandle;
}

void TQELDiskBlobManager::AttachEntry(std::uint8_t* slot, std::unique_ptr<TCacheEntry> entry) {
  const std::uint32_t handle = NextHandle();
  FCache.emplace(handle, std::move(entry));
  SetSlotHandle(slot, handle);
}

void TQELDiskBlobManager::FreeEntry(std::uint8_t* slot) {
  const std::uint32_t handle = SlotHandle(slot);
  if (handle != 0) FCache.erase(handle);
  SetSlotHandle(slot, 0);
}

// Found afresh each time (the fields may have been redefined), into a list
// that keeps its room: every insert and delete asks.
const std::vector<std::int32_t>& TQELDiskBlobManager::BlobFields() {
  const TQELFieldDefs& defs = FFieldManager.FieldDefs();
  FBlobFields.clear();
  for (std::int32_t i = 0; i < defs.Count(); ++i) {
    if (IsBlobBaseType(defs[i].BaseFieldType())) FBlobFields.push_back(i);
  }
  return FBlobFields;
}

// Page 0 is never a BLOB page (a reference to it means "nothing stored"),
// and a page of another kind must not be read or freed as one.
TQELPage* TQELDiskBlobManager::GetBlobPage(std::int32_t sessionID, std::int32_t pageNo) {
  if (pageNo <= 0) RaiseDamaged(pageNo, "invalid page number");
  TQELPage* page = FPageManager.GetPage(sessionID, pageNo, true, ptTableBlob);
  try {
    CheckBlobPage(page);
  } catch (...) {
    FPageManager.ReleasePage(page);
    throw;
  }
  return page;
}

namespace {

// A new BLOB page; its number must be able to appear in a reference.
TQELPage* NewBlobPage(TQELPageManager& pageManager, std::int32_t sessionID) {
  TQELPage* page = pageManager.AddNewPage(sessionID, ptTableBlob);
  if (page->PageNo <= 0) {
    pageManager.ReleasePage(page);
    throw EQELException(20064, "Invalid page number");
  }
  return page;
}

}  // namespace

// --- reading ---

std::unique_ptr<TQELDiskBlobManager::TCacheEntry> TQELDiskBlobManager::ReadValue(
    std::int32_t sessionID, const TQELBlobReference& ref) {
  if (ref.EntryID == kLargeEntryID) return ReadLarge(sessionID, ref.PageNo);
  if (ref.EntryID != kAmbiguousEntryID) return ReadShared(sessionID, ref);
  // 255 may name a large value written by older versions: try the form the
  // page looks like first, then the other.
  if (LooksLarge(sessionID, ref.PageNo)) {
    try {
      return ReadLarge(sessionID, ref.PageNo);
    } catch (const EQELException&) {
    }
    return ReadShared(sessionID, ref);
  }
  try {
    if (std::unique_ptr<TCacheEntry> entry = ReadShared(sessionID, ref)) return entry;
  } catch (const EQELException&) {
  }
  return ReadLarge(sessionID, ref.PageNo);
}

std::unique_ptr<TQELDiskBlobManager::TCacheEntry> TQELDiskBlobManager::EntryFromSink(
    TQELFunctionRef<bool(const TValueSink&)> read) {
  auto entry = std::make_unique<TCacheEntry>();
  std::int64_t filled = 0;
  const auto begin = [&](const TQELBlobDescriptor& stored) {
    entry->BlockCount = stored.BlockCount;
    entry->UncompressedSize = stored.UncompressedSize;
    entry->Allocate(stored.DataSize);
  };
  const auto append = [&](const std::uint8_t* data, std::int64_t size) {
    std::memcpy(entry->Data + filled, data, static_cast<std::size_t>(size));
    filled += size;
  };
  if (!read(TValueSink{begin, append})) return nullptr;
  return entry;
}

std::unique_ptr<TQELDiskBlobManager::TCacheEntry> TQELDiskBlobManager::ReadShared(
    std::int32_t sessionID, const TQELBlobReference& ref) {
  return EntryFromSink([&](const TValueSink& sink) { return ReadSharedTo(sessionID, ref, sink); });
}

bool TQELDiskBlobManager::ReadSharedTo(std::int32_t sessionID, const TQELBlobReference& ref,
                                       const TValueSink& sink) {
  TQELPageGuard page(FPageManager, GetBlobPage(sessionID, ref.PageNo));
  const TQELSmallBlobPage shared(page.Get());
  TQELSmallBlobPage::TEntry found;
  if (!shared.FindEntry(ref.EntryID, found)) return false;
  sink.Begin({found.BlockCount, found.UncompressedSize, found.DataSize});
  if (found.DataSize > 0) sink.Append(found.Data, found.DataSize);
  return true;
}

// With P the page data size, the first page of a large value holds a size
// and a page count with (PageCount - 2) * P < DataSize < PageCount * P.
bool TQELDiskBlobManager::LooksLarge(std::int32_t sessionID, std::int32_t pageNo) {
  TQELPageGuard page(FPageManager, GetBlobPage(sessionID, pageNo));
  const std::int64_t p = FPageManager.DataSize();
  const auto dataSize = QELReadLE<std::int64_t>(page->Data() + kLargeDataSize);
  const std::int64_t pageCount = QELReadLE<std::int32_t>(page->Data() + kLargePageCount);
  return (pageCount - 2) * p < dataSize && dataSize < pageCount * p;
}

// Reads the first page and the page list of a large value and checks that
// they agree with each other: the page count is what the size needs, the
// list starts right after the data, names the first page first and the
// list's own first page last, and no page appears twice. The list is read
// only as far as its known length, so a link that loops cannot hold it.
TQELDiskBlobManager::TLargeValue TQELDiskBlobManager::ReadLargeLayout(std::int32_t sessionID,
                                                                      std::int32_t firstPageNo) {
  const std::int64_t p = FPageManager.DataSize();
  TLargeValue value;
  std::int32_t listPageNo;
  std::int64_t listOffset;
  std::int64_t pageCount;
  {
    TQELPageGuard first(FPageManager, GetBlobPage(sessionID, firstPageNo));
    const std::uint8_t* data = first->Data();
    value.BlockCount = QELReadLE<std::int32_t>(data + kLargeBlockCount);
    value.DataSize = QELReadLE<std::int64_t>(data + kLargeDataSize);
    value.UncompressedSize = QELReadLE<std::int64_t>(data + kLargeUncompressedSize);
    listPageNo = QELReadLE<std::int32_t>(data + kLargeListPageNo);
    listOffset = QELReadLE<std::uint16_t>(data + kLargeListOffset);
    pageCount = QELReadLE<std::int32_t>(data + kLargePageCount);
  }
  if (value.BlockCount < 0 || value.UncompressedSize < 0 || value.DataSize < 0 ||
      value.DataSize > std::int64_t{INT32_MAX} * p) {
    RaiseDamaged(firstPageNo, "invalid large value size");
  }
  const std::int64_t total = value.DataSize + kLargeHeaderSize;
  const std::int64_t needed = (total + p - 1) / p;
  if (pageCount != needed) RaiseDamaged(firstPageNo, "page count does not match the size");
  // A size the file cannot hold must not size the buffers that follow.
  if (needed > FPageManager.GetPageCount()) RaiseDamaged(firstPageNo, "more pages than the file has");
  const std::int64_t usedInLast = total - (needed - 1) * p;
  if (listOffset != (usedInLast == p ? 0 : usedInLast)) {
    RaiseDamaged(firstPageNo, "page list does not follow the data");
  }

  const std::int64_t listSize = 4 * needed;
  std::vector<std::uint8_t> list(static_cast<std::size_t>(listSize));
  std::int64_t done = 0;
  std::int32_t pageNo = listPageNo;
  std::int64_t offset = listOffset;
  while (done < listSize) {
    if (pageNo <= 0) RaiseDamaged(firstPageNo, "page list ends early");
    TQELPageGuard page(FPageManager, GetBlobPage(sessionID, pageNo));
    value.ListPages.push_back(pageNo);
    const std::int64_t chunk = std::min(p - offset, listSize - done);
    std::memcpy(list.data() + done, page->Data() + offset, static_cast<std::size_t>(chunk));
    done += chunk;
    pageNo = page_header::NextPageNo(page->Header());
    offset = 0;
  }
  value.DataPages.resize(static_cast<std::size_t>(needed));
  for (std::int64_t i = 0; i < needed; ++i) {
    value.DataPages[static_cast<std::size_t>(i)] = QELReadLE<std::int32_t>(list.data() + 4 * i);
  }
  if (value.DataPages.front() != firstPageNo) {
    RaiseDamaged(firstPageNo, "page list does not start with the first page");
  }
  if (listOffset != 0 && value.DataPages.back() != listPageNo) {
    RaiseDamaged(firstPageNo, "page list is not in the last data page");
  }
  // Every page once: the data pages, and the list pages beyond the last
  // data page.
  std::vector<std::int32_t> all = value.DataPages;
  all.insert(all.end(), value.ListPages.begin() + (listOffset != 0 ? 1 : 0), value.ListPages.end());
  std::sort(all.begin(), all.end());
  if (all.front() <= 0 || std::adjacent_find(all.begin(), all.end()) != all.end()) {
    RaiseDamaged(firstPageNo, "page list names a page twice");
  }
  return value;
}

std::unique_ptr<TQELDiskBlobManager::TCacheEntry> TQELDiskBlobManager::ReadLarge(
    std::int32_t sessionID, std::int32_t firstPageNo) {
  return EntryFromSink([&](const TValueSink& sink) {
    ReadLargeTo(sessionID, firstPageNo, sink);
    return true;
  });
}

void TQELDiskBlobManager::ReadLargeTo(std::int32_t sessionID, std::int32_t firstPageNo,
                                      const TValueSink& sink) {
  const TLargeValue value = ReadLargeLayout(sessionID, firstPageNo);
  sink.Begin({value.BlockCount, value.UncompressedSize, value.DataSize});
  const std::int64_t p = FPageManager.DataSize();
  std::int64_t done = 0;
  for (std::size_t i = 0; i < value.DataPages.size() && done < value.DataSize; ++i) {
    TQELPageGuard page(FPageManager, GetBlobPage(sessionID, value.DataPages[i]));
    const std::int64_t offset = i == 0 ? kLargeHeaderSize : 0;
    const std::int64_t chunk = std::min(p - offset, value.DataSize - done);
    sink.Append(page->Data() + offset, chunk);
    done += chunk;
  }
}

void TQELDiskBlobManager::LoadBlob(std::int32_t sessionID, std::uint8_t* record,
                                   std::int32_t fieldNo) {
  std::uint8_t* slot = Slot(record, fieldNo);
  if (FindEntry(slot) != nullptr) return;
  const TQELBlobReference ref = TQELBlobReference::Load(slot);
  if (!ref.IsStored()) return;
  if (std::unique_ptr<TCacheEntry> entry = ReadValue(sessionID, ref)) {
    AttachEntry(slot, std::move(entry));
  }
}

// --- storing ---

TQELBlobReference TQELDiskBlobManager::StoreValue(std::int32_t sessionID, const TCacheEntry& entry) {
  return FitsSharedPage(entry.DataSize, FPageManager.DataSize()) ? StoreShared(sessionID, entry)
                                                                 : StoreLarge(sessionID, entry);
}

TQELBlobReference TQELDiskBlobManager::StoreShared(std::int32_t sessionID, const TCacheEntry& entry) {
  const std::int32_t pageDataSize = FPageManager.DataSize();
  const auto entrySize = static_cast<std::int32_t>(kEntryHeaderSize + entry.DataSize);
  std::int32_t pageNo;
  TQELPage* page;
  if (FIndex.FindPageWithRoom(sessionID, entrySize, pageNo)) {
    page = GetBlobPage(sessionID, pageNo);
  } else {
    page = NewBlobPage(FPageManager, sessionID);
    TQELSmallBlobPage::Initialize(page);
  }
  TQELPageGuard guard(FPageManager, page);
  TQELSmallBlobPage shared(page);
  if (shared.EndOffset() + entrySize > pageDataSize) {
    throw EQELException(20290,
                        "Cannot add blob. Page is full: BlobCount=%d, BlobOffset=%d, BlobSize=%d, "
                        "PageDataSize=%d, SizeInBlobPageIndex=%d",
                        {shared.EntryCount(), shared.EndOffset(), entrySize, pageDataSize,
                         FIndex.GetCount(sessionID, page->PageNo)});
  }
  const std::int16_t entryID = shared.AddEntry(entry.BlockCount, entry.UncompressedSize, entry.Data,
                                               static_cast<std::int32_t>(entry.DataSize));
  FIndex.AddToPage(sessionID, entrySize, page->PageNo);
  return {page->PageNo, entryID};
}

// The data goes page by page straight from the cache entry; the page list
// follows it as one run of bytes, spilling into linked pages of its own.
TQELBlobReference TQELDiskBlobManager::StoreLarge(std::int32_t sessionID, const TCacheEntry& entry) {
  const std::int64_t p = FPageManager.DataSize();
  const std::int64_t total = entry.DataSize + kLargeHeaderSize;
  const std::int64_t needed = (total + p - 1) / p;
  if (needed > INT32_MAX) RaiseInvalidSize();

  std::vector<std::int32_t> dataPages;
  dataPages.reserve(static_cast<std::size_t>(needed));
  TQELPageGuard first(FPageManager, NewBlobPage(FPageManager, sessionID));
  std::uint8_t* header = first->Data();
  std::memset(header, 0, kLargeHeaderSize);
  QELWriteLE(header + kLargeBlockCount, entry.BlockCount);
  QELWriteLE(header + kLargeDataSize, entry.DataSize);
  QELWriteLE(header + kLargeUncompressedSize, entry.UncompressedSize);
  dataPages.push_back(first->PageNo);

  const std::uint8_t* source = entry.Data;
  std::int64_t remaining = entry.DataSize;
  std::int64_t chunk = std::min(p - kLargeHeaderSize, remaining);
  std::memcpy(header + kLargeHeaderSize, source, static_cast<std::size_t>(chunk));
  source += chunk;
  remaining -= chunk;
  std::optional<TQELPageGuard> last;
  while (remaining > 0) {
    last.reset();
    last.emplace(FPageManager, NewBlobPage(FPageManager, sessionID));
    chunk = std::min(p, remaining);
    std::memcpy((*last)->Data(), source, static_cast<std::size_t>(chunk));
    dataPages.push_back((*last)->PageNo);
    source += chunk;
    remaining -= chunk;
  }

  std::vector<std::uint8_t> list(static_cast<std::size_t>(4 * needed));
  for (std::size_t i = 0; i < dataPages.size(); ++i) QELWriteLE(list.data() + 4 * i, dataPages[i]);
  const std::int64_t usedInLast = total - (needed - 1) * p;
  TQELPage* listPage = last ? last->Get() : first.Get();
  std::int64_t offset = usedInLast;
  std::optional<TQELPageGuard> listGuard;
  if (usedInLast == p) {
    listGuard.emplace(FPageManager, NewBlobPage(FPageManager, sessionID));
    listPage = listGuard->Get();
    offset = 0;
  }
  const std::int32_t listPageNo = listPage->PageNo;
  const auto listOffset = static_cast<std::uint16_t>(offset);
  const auto listSize = static_cast<std::int64_t>(list.size());
  for (std::int64_t done = 0;;) {
    chunk = std::min(p - offset, listSize - done);
    std::memcpy(listPage->Data() + offset, list.data() + done, static_cast<std::size_t>(chunk));
    done += chunk;
    if (done == listSize) break;
    TQELPage* next = NewBlobPage(FPageManager, sessionID);
    page_header::SetNextPageNo(listPage->Header(), next->PageNo);
    listGuard.reset();
    listGuard.emplace(FPageManager, next);
    listPage = next;
    offset = 0;
  }

  QELWriteLE(header + kLargeListPageNo, listPageNo);
  QELWriteLE(header + kLargeListOffset, listOffset);
  QELWriteLE(header + kLargePageCount, static_cast<std::int32_t>(needed));
  return {first->PageNo, kLargeEntryID};
}

// --- deleting ---

void TQELDiskBlobManager::RemovePages(std::int32_t sessionID, std::vector<std::int32_t> pageNos) {
  std::sort(pageNos.begin(), pageNos.end());
  pageNos.erase(std::unique(pageNos.begin(), pageNos.end()), pageNos.end());
  for (const std::int32_t pageNo : pageNos) FPageManager.RemovePage(sessionID, pageNo);
}

namespace {

std::vector<std::int32_t> PagesOf(std::vector<std::int32_t> dataPages,
                                  const std::vector<std::int32_t>& listPages) {
  dataPages.insert(dataPages.end(), listPages.begin(), listPages.end());
  return dataPages;
}

}  // namespace

void TQELDiskBlobManager::DeleteLarge(std::int32_t sessionID, std::int32_t firstPageNo) {
  const TLargeValue value = ReadLargeLayout(sessionID, firstPageNo);
  RemovePages(sessionID, PagesOf(value.DataPages, value.ListPages));
}

// Answers false, changing nothing, when the page has no entry of that id.
// The page's count in the index is set from what the page now holds; an
// emptied page leaves the index and goes back to free space.
bool TQELDiskBlobManager::DeleteShared(std::int32_t sessionID, const TQELBlobReference& ref) {
  bool empty;
  std::int32_t used;
  {
    TQELPageGuard page(FPageManager, GetBlobPage(sessionID, ref.PageNo));
    TQELSmallBlobPage shared(page.Get());
    TQELSmallBlobPage::TEntry entry;
    if (!shared.FindEntry(ref.EntryID, entry)) return false;
    shared.RemoveEntry(entry);
    empty = shared.EntryCount() == 0;
    used = shared.UsedSize();
  }
  if (FIndex.GetCount(sessionID, ref.PageNo) >= 0) {
    FIndex.RemoveFromPage(sessionID, 0, empty ? 0 : used, ref.PageNo);
  } else if (!empty) {
    FIndex.AddToPage(sessionID, used, ref.PageNo);
  }
  if (empty) FPageManager.RemovePage(sessionID, ref.PageNo);
  return true;
}

void TQELDiskBlobManager::DeleteValue(std::int32_t sessionID, const TQELBlobReference& ref) {
  if (ref.EntryID == kLargeEntryID) {
    DeleteLarge(sessionID, ref.PageNo);
    return;
  }
  if (ref.EntryID == kAmbiguousEntryID) {
    if (LooksLarge(sessionID, ref.PageNo)) {
      std::optional<TLargeValue> large;
      try {
        large = ReadLargeLayout(sessionID, ref.PageNo);
      } catch (const EQELException&) {
      }
      if (large) {
        RemovePages(sessionID, PagesOf(large->DataPages, large->ListPages));
        return;
      }
    } else {
      bool deleted = false;
      try {
        deleted = DeleteShared(sessionID, ref);
      } catch (const EQELException&) {
      }
      if (!deleted) DeleteLarge(sessionID, ref.PageNo);
      return;
    }
  }
  if (!DeleteShared(sessionID, ref)) throw EQELException(20171, "Cannot find blob field");
}

void TQELDiskBlobManager::DeleteBlob(std::int32_t sessionID, std::uint8_t* record,
                                     std::int32_t fieldNo) {
  std::uint8_t* slot = Slot(record, fieldNo);
  const TQELBlobReference ref = TQELBlobReference::Load(slot);
  if (!IsNull(fieldNo, record) && ref.IsStored()) {
    DeleteValue(sessionID, ref);
    TQELBlobReference{}.Store(slot);
  }
  if (TCacheEntry* entry = FindEntry(slot)) entry->Modified = false;
}

// The slots change only once every value is gone, so that a failure leaves
// a buffer that still names what the cancelled session did not delete.
void TQELDiskBlobManager::DeleteBlobs(std::int32_t sessionID, std::uint8_t* record) {
  std::vector<std::int32_t>& deleted = FDeletedFields;
  deleted.clear();
  for (const std::int32_t fieldNo : BlobFields()) {
    const TQELBlobReference ref = TQELBlobReference::Load(Slot(record, fieldNo));
    if (IsNull(fieldNo, record) || !ref.IsStored()) continue;
    DeleteValue(sessionID, ref);
    deleted.push_back(fieldNo);
  }
  for (const std::int32_t fieldNo : deleted) TQELBlobReference{}.Store(Slot(record, fieldNo));
  for (const std::int32_t fieldNo : BlobFields()) {
    if (TCacheEntry* entry = FindEntry(Slot(record, fieldNo))) entry->Modified = false;
  }
}

// --- posting ---

void TQELDiskBlobManager::PostFields(std::int32_t sessionID, std::uint8_t* record,
                                     const std::vector<std::int32_t>& fieldNos) {
  std::vector<TPosted>& posted = FPosted;
  posted.clear();
  for (const std::int32_t fieldNo : fieldNos) {
    std::uint8_t* slot = Slot(record, fieldNo);
    const TCacheEntry* entry = FindEntry(slot);
    if (entry == nullptr || !entry->Modified) continue;
    TQELBlobReference ref = TQELBlobReference::Load(slot);
    if (ref.IsStored()) {
      DeleteValue(sessionID, ref);
      ref = TQELBlobReference{};
    }
    if (entry->UncompressedSize > 0) ref = StoreValue(sessionID, *entry);
    posted.push_back({slot, ref});
  }
  for (const TPosted& p : posted) {
    p.Ref.Store(p.Slot);
    FreeEntry(p.Slot);
  }
}

void TQELDiskBlobManager::PostBlob(std::int32_t sessionID, std::uint8_t* record,
                                   std::int32_t fieldNo) {
  PostFields(sessionID, record, {fieldNo});
}

void TQELDiskBlobManager::PostBlobs(std::int32_t sessionID, std::uint8_t* record) {
  PostFields(sessionID, record, BlobFields());
}

// --- values in and out ---

void TQELDiskBlobManager::ReadBlobToStream(std::int32_t sessionID, std::uint8_t* record,
                                           TQELStream& stream, TQELBlobDescriptor& descriptor,
                                           std::int32_t fieldNo) {
  descriptor = TQELBlobDescriptor{};
  std::uint8_t* slot = Slot(record, fieldNo);
  if (IsNull(fieldNo, record)) return;
  const auto write = [&](const std::uint8_t* data, std::int64_t size) {
    const std::int64_t written = stream.Write(data, size);
    if (written != size) {
      throw EQELException(10147,
                          "Cannot write to stream. Position = %d, Stream size = %d, Block size = %d, "
                          "Bytes Write = %d",
                          {stream.Position(), stream.GetSize(), size, written});
    }
  };
  if (const TCacheEntry* entry = FindEntry(slot)) {
    if (entry->DataSize > 0) write(entry->Data, entry->DataSize);
    descriptor = {entry->BlockCount, entry->UncompressedSize, entry->DataSize};
    return;
  }
  const TQELBlobReference ref = TQELBlobReference::Load(slot);
  if (!ref.IsStored()) throw EQELException(20162, "Cannot read BLOB field value");
  TQELBlobDescriptor stored;
  const auto begin = [&](const TQELBlobDescriptor& value) { stored = value; };
  const TValueSink sink{begin, write};
  // The usual references go from the pages into the stream; the ambiguous
  // kind of older files may need a second try, which a half-written stream
  // would not survive, so it goes through an entry of its own.
  if (ref.EntryID == kLargeEntryID) {
    ReadLargeTo(sessionID, ref.PageNo, sink);
  } else if (ref.EntryID != kAmbiguousEntryID) {
    if (!ReadSharedTo(sessionID, ref, sink)) throw EQELException(20162, "Cannot read BLOB field value");
  } else {
    const std::unique_ptr<TCacheEntry> entry = ReadValue(sessionID, ref);
    if (entry == nullptr) throw EQELException(20162, "Cannot read BLOB field value");
    if (entry->DataSize > 0) write(entry->Data, entry->DataSize);
    stored = {entry->BlockCount, entry->UncompressedSize, entry->DataSize};
  }
  descriptor = stored;
}

void TQELDiskBlobManager::StoreBlobFromStream(std::uint8_t* record, std::int32_t fieldNo,
                                              TQELCompressedBLOBStream& blobStream,
                                              TQELStream& blockData) {
  std::uint8_t* slot = Slot(record, fieldNo);
  // Reading the descriptor stores the blocks still held back in memory.
  const TQELCompressedStreamDescriptor& stream = blobStream.Descriptor();
  if (stream.BlockCount < 0 || stream.BlockCount > INT32_MAX || stream.UncompressedSize < 0) {
    RaiseInvalidSize();
  }
  auto entry = std::make_unique<TCacheEntry>();
  entry->BlockCount = static_cast<std::int32_t>(stream.BlockCount);
  entry->UncompressedSize = stream.UncompressedSize;
  entry->Modified = true;
  const std::int64_t size = blockData.GetSize();
  entry->Allocate(size);
  const std::int64_t position = blockData.Position();
  blockData.SetPosition(0);
  const std::int64_t read = size > 0 ? blockData.Read(entry->Data, size) : 0;
  blockData.SetPosition(position);
  if (read != size) {
    throw EQELException(10146,
                        "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, "
                        "Bytes Read = %d",
                        {0, size, size, read});
  }
  FreeEntry(slot);
  const bool empty = entry->UncompressedSize == 0;
  AttachEntry(slot, std::move(entry));
  SetNull(empty, fieldNo, record);
}

void TQELDiskBlobManager::GetBlobData(std::int32_t sessionID, std::uint8_t* record,
                                      const std::uint8_t*& data, TQELBlobDescriptor& descriptor,
                                      std::int32_t fieldNo) {
  data = nullptr;
  descriptor = TQELBlobDescriptor{};
  std::uint8_t* slot = Slot(record, fieldNo);
  if (IsNull(fieldNo, record)) return;
  LoadBlob(sessionID, record, fieldNo);
  const TCacheEntry* entry = FindEntry(slot);
  if (entry == nullptr) throw EQELException(20291, "Cannot read BLOB field value");
  data = entry->Data;
  descriptor = {entry->BlockCount, entry->UncompressedSize, entry->DataSize};
}

void TQELDiskBlobManager::PutBlobData(std::uint8_t* record, const void* data,
                                      const TQELBlobDescriptor& descriptor, std::int32_t fieldNo) {
  std::uint8_t* slot = Slot(record, fieldNo);
  if (descriptor.BlockCount < 0 || descriptor.UncompressedSize < 0 || descriptor.DataSize < 0) {
    RaiseInvalidSize();
  }
  if (data == nullptr && descriptor.DataSize > 0) throw EQELException(20161, "Pointer is nil");
  auto entry = std::make_unique<TCacheEntry>();
  entry->BlockCount = descriptor.BlockCount;
  entry->UncompressedSize = descriptor.UncompressedSize;
  entry->Modified = true;
  entry->Allocate(descriptor.DataSize);
  if (descriptor.DataSize > 0) {
    std::memcpy(entry->Data, data, static_cast<std::size_t>(descriptor.DataSize));
  }
  // The copy is made first: `data` may be the field's own cached value.
  FreeEntry(slot);
  const bool empty = entry->UncompressedSize == 0;
  AttachEntry(slot, std::move(entry));
  SetNull(empty, fieldNo, record);
}

void TQELDiskBlobManager::FreeBlobCache(std::uint8_t* record, std::int32_t fieldNo, bool force) {
  std::uint8_t* slot = Slot(record, fieldNo);
  const TCacheEntry* entry = FindEntry(slot);
  if (entry != nullptr && entry->Modified && !force) return;
  FreeEntry(slot);
}

// --- table level ---

void TQELDiskBlobManager::CreateBlobStorage(std::int32_t sessionID) { FIndex.Create(sessionID); }

// Every page of every stored value is freed once, whatever the number of
// values sharing it, and the index is emptied in one go instead of being
// updated value by value.
void TQELDiskBlobManager::EmptyBlobs(std::int32_t sessionID) {
  if (!FFieldManager.HasBlobFields()) return;
  const std::vector<std::int32_t> fields = BlobFields();
  std::vector<std::int32_t> pages;
  std::unordered_set<std::int32_t> sharedPages;
  auto addShared = [&](std::int32_t pageNo) {
    if (sharedPages.contains(pageNo)) return;
    TQELPageGuard page(FPageManager, GetBlobPage(sessionID, pageNo));
    const TQELSmallBlobPage check(page.Get());
    sharedPages.insert(pageNo);
    pages.push_back(pageNo);
  };
  auto addLarge = [&](const TLargeValue& value) {
    pages.insert(pages.end(), value.DataPages.begin(), value.DataPages.end());
    pages.insert(pages.end(), value.ListPages.begin(), value.ListPages.end());
  };

  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(FFieldManager.FieldDefs().MemoryRecordSize()));
  TQELRecordRequest request;
  request.Mode = grmNext;
  request.BeforeFirst = true;
  request.Buffer = buffer.data();
  for (;;) {
    FRecordManager.GetRecord(sessionID, request);
    if (request.Result == grEOF) break;
    if (request.Result != grOK) throw EQELException(20162, "Cannot read BLOB field value");
    request.BeforeFirst = false;
    for (const std::int32_t fieldNo : fields) {
      const TQELBlobReference ref = TQELBlobReference::Load(Slot(buffer.data(), fieldNo));
      if (IsNull(fieldNo, buffer.data()) || !ref.IsStored()) continue;
      if (ref.EntryID == kLargeEntryID) {
        addLarge(ReadLargeLayout(sessionID, ref.PageNo));
        continue;
      }
      if (ref.EntryID == kAmbiguousEntryID && LooksLarge(sessionID, ref.PageNo)) {
        std::optional<TLargeValue> large;
        try {
          large = ReadLargeLayout(sessionID, ref.PageNo);
        } catch (const EQELException&) {
        }
        if (large) {
          addLarge(*large);
          continue;
        }
      }
      addShared(ref.PageNo);
    }
  }
  RemovePages(sessionID, std::move(pages));
  FIndex.Empty(sessionID);
}

void TQELDiskBlobManager::DropBlobs(std::int32_t sessionID) {
  if (!FFieldManager.HasBlobFields()) return;
  EmptyBlobs(sessionID);
  FIndex.Drop(sessionID);
}

void TQELDiskBlobManager::LoadIndexRoot(TQELStream& stream) {
  FIndex.SetRootPage(QELReadValue<std::int32_t>(stream, kErrReadIndexRoot));
}

void TQELDiskBlobManager::SaveIndexRoot(TQELStream& stream) {
  QELWriteValue<std::int32_t>(stream, FIndex.RootPageNo(), kErrWriteIndexRoot);
}

}  // namespace qel
