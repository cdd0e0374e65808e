// CheckDiskTable: opens one table, walks its record pages index, its
// records in natural order with their BLOB values, and its indexes, and
// reports every disagreement it finds.

#include "disk/QELDiskTableCheck.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskTableData.h"
#include "disk/QELSmallBlobPage.h"
#include "disk/QELSmallRecordPage.h"
#include "pagecache/QELPageHeader.h"
#include "pagecache/QELPageType.h"
#include "platform/QELEndian.h"
#include "platform/QELException.h"
#include "platform/QELFormat.h"
#include "storage/QELIndexManager.h"
#include "storage/QELTableCheck.h"
#include "storage/QELTableCursor.h"
#include "streams/QELCompression.h"

namespace qel {

namespace {

// Page versions above this mark a page that was freed or could not be read.
constexpr std::int32_t kMaxLivePageVersion = 0x7FFFFFFD;
// Files older than this keep no ObjectID in their record pages, so a page
// cannot be told to belong to a table by its header.
constexpr double kFirstFormatWithObjectIDs = 2.99;

// Frees the cache entry a BLOB read left in a record buffer, so that closing
// the table finds none alive.
class TBlobCacheGuard {
 public:
  TBlobCacheGuard(TQELDiskBlobManager& blobs, std::uint8_t* record, std::int32_t fieldNo)
      : FBlobs(blobs), FRecord(record), FFieldNo(fieldNo) {}
  ~TBlobCacheGuard() {
    try {
      FBlobs.FreeBlobCache(FRecord, FFieldNo, true);
    } catch (const EQELException&) {
      // The slot was checked when the value was read; nothing is left to free.
    }
  }
  TBlobCacheGuard(const TBlobCacheGuard&) = delete;
  TBlobCacheGuard& operator=(const TBlobCacheGuard&) = delete;

 private:
  TQELDiskBlobManager& FBlobs;
  std::uint8_t* FRecord;
  std::int32_t FFieldNo;
};

// Who takes a BLOB page: shared pages may serve many values, the pages of
// a large value serve it alone.
struct TBlobPageOwner {
  bool Shared = false;
  std::int64_t RecordNo = 0;
  std::string FieldName;
};

class TTableChecker {
 public:
  TTableChecker(TQELDiskDatabaseData& database, const TQELTableCheckOptions& options,
                TQELDiskTableSummary& summary)
      : FDatabase(database),
        FPages(database.DiskPageManager()),
        FOptions(options),
        FSummary(summary) {}

  void Run() {
    TQELTableCursor cursor(FSummary.Name);
    try {
      FTable = static_cast<TQELDiskTableData*>(FDatabase.GetTableData(&cursor));
      // The check reads what the file holds, not a table left open.
      FTable->CloseIfUnused();
      FTable->AddCursor(&cursor);
    } catch (const EQELException& e) {
      Fault(-1, std::string("cannot be opened: ") + e.what());
      Release();
      return;
    }
    FSummary.Opened = true;
    FSessionID = cursor.SessionID();
    // Each part goes as far as the damage lets it; the next part still runs.
    if (Guarded("definitions", [&] {
          FTable->InitCursor(cursor);
          Describe();
        })) {
      Guarded("record pages index", [&] { CheckRecordPages(); });
      Guarded("records", [&] { CheckRecords(); });
      FSummary.BlobPageCount = static_cast<std::int32_t>(FBlobPages.size());
      if (FOptions.Verify) {
        Guarded("BLOB page index", [&] { CheckBlobPageIndex(); });
        Guarded("indexes", [&] { CheckIndexes(); });
      }
    }
    try {
      FTable->RemoveCursor(&cursor);
    } catch (const EQELException& e) {
      Fault(-1, std::string("cannot be closed: ") + e.what());
    }
    Release();
  }

 private:
  // ---- faults ----

  void Fault(std::int32_t pageNo, std::string message) {
    TQELTableFault fault;
    fault.TableName = FSummary.Name;
    fault.PageNo = pageNo;
    fault.Message = std::move(message);
    FSummary.Faults.push_back(std::move(fault));
  }

  void RecordFault(std::string message) {
    TQELTableFault fault;
    fault.TableName = FSummary.Name;
    fault.PageNo = TQELSmallRecordPage::PageNoOf(FRecordID);
    fault.Slot = TQELSmallRecordPage::SlotOf(FRecordID);
    fault.RecordNo = FRecordNo;
    fault.Message = std::move(message);
    FSummary.Faults.push_back(std::move(fault));
  }

  void FieldFault(const std::string& fieldName, const std::string& message) {
    RecordFault("field " + fieldName + ": " + message);
  }

  template <class Part>
  bool Guarded(const char* what, Part part) {
    try {
      part();
      return true;
    } catch (const EQELException& e) {
      Fault(-1, std::string("the ") + what + " cannot be read: " + e.what());
      return false;
    }
  }

  void Release() {
    if (FTable == nullptr) return;
    try {
      FTable->ReleaseIfUnused();
    } catch (const EQELException&) {
      // The table data stays with the database and goes when it closes.
    }
    FTable = nullptr;
  }

  // ---- pages ----

  // Whether the page is in the file and marked used in the free-space
  // pages; an unreadable space page counts as "not in use" (the page-level
  // check names it).
  bool InUse(std::int32_t pageNo) {
    if (pageNo <= 0 || pageNo >= FPages.GetPageCount()) return false;
    try {
      return FPages.FreeSpaceManager()->IsPageUsed(pageNo);
    } catch (const EQELException&) {
      return false;
    }
  }

  std::string PageKind(const TQELPage* page) const {
    const std::uint16_t type = page->PageType();
    std::string kind = type <= ptTableIndex ? std::string(PageTypeName(type)) : "type " + std::to_string(type);
    return kind + ", table id " + std::to_string(page_header::ObjectID(page->Header()));
  }

  // ---- the summary ----

  void Describe() {
    FSummary.ObjectID = FTable->ObjectID();
    const TQELFieldDefs& fields = FTable->FieldDefs();
    for (std::int32_t i = 0; i < fields.Count(); ++i) {
      const TQELFieldDef& def = fields[i];
      TQELDiskTableField field{def.Name(), std::string(AdvancedFieldTypeName(def.AdvancedFieldType())),
                               def.Size()};
      if (IsBlobBaseType(def.BaseFieldType())) {
        field.IsBlob = true;
        field.BlobCompressionAlgorithm = def.BlobCompressionAlgorithm;
        FBlobFields.push_back(i);
      }
      FSummary.Fields.push_back(std::move(field));
    }
    if (FTable->IndexManager() != nullptr) {
      const TQELIndexDefs& indexes = FTable->IndexManager()->IndexDefs();
      for (std::int32_t i = 0; i < indexes.Count(); ++i) {
        const TQELIndexDef& def = indexes[i];
        if (def.Temporary) continue;
        TQELDiskTableIndex index{def.Name(), {}, def.Unique, def.Primary};
        for (std::int32_t c = 0; c < def.ColumnCount(); ++c) {
          const TQELIndexColumn& column = def.Columns(c);
          if (c > 0) index.Columns += ", ";
          index.Columns += column.FieldName;
          if (column.Descending) index.Columns += " DESC";
          if (column.CaseInsensitive) index.Columns += " NOCASE";
        }
        FSummary.Indexes.push_back(std::move(index));
      }
    }
    FSummary.RecordCount = FTable->DiskRecordManager()->RecordCount();
  }

  // ---- the record pages index ----

  void CheckRecordPages() {
    TQELDiskRecordManager& records = *FTable->DiskRecordManager();
    TQELBTreeRecordPageIndex& index = records.PagesIndex();
    if (FOptions.Verify) {
      try {
        index.Tree().CheckIntegrity(FSessionID);
      } catch (const EQELException& e) {
        Fault(index.RootPageNo(), std::string("the record pages index is damaged: ") + e.what());
        return;
      }
    }
    std::int64_t total = 0;
    std::int32_t pageNo = -1;
    for (bool on = index.FirstPage(FSessionID, pageNo); on; on = index.NextPage(FSessionID, pageNo)) {
      if (!FListedPages.insert(pageNo).second) {
        Fault(pageNo, "is listed twice in the record pages index");
        break;
      }
      const std::int32_t count = index.GetCount(FSessionID, pageNo);
      total += count;
      CheckListedPage(records, pageNo, count);
    }
    FSummary.RecordPageCount = static_cast<std::int32_t>(FListedPages.size());
    if (total != records.RecordCount()) {
      Fault(-1, QELFormat("the record pages index counts %d records, the table header %d",
                          {total, records.RecordCount()}));
    }
    if (FOptions.Verify) FindUnlistedPages(records);
  }

  void CheckListedPage(TQELDiskRecordManager& records, std::int32_t pageNo, std::int32_t count) {
    if (!InUse(pageNo)) {
      Fault(pageNo, "is listed in the record pages index but is not a page in use");
      return;
    }
    TQELPage* got = nullptr;
    try {
      got = FPages.GetPage(FSessionID, pageNo, true, kQELAnyPageType);
    } catch (const EQELException& e) {
      Fault(pageNo, std::string("is listed in the record pages index but cannot be read: ") + e.what());
      return;
    }
    TQELPageGuard page(FPages, got);
    if (!records.IsValidRecordPage(page.Get())) {
      Fault(pageNo, "is listed in the record pages index but is not a record page of the table (" +
                        PageKind(page.Get()) + ")");
      return;
    }
    const std::int64_t used =
        TQELSmallRecordPage(page.Get(), records.RecordsPerPage(), records.DiskRecordSize()).GetUsedCount();
    if (used != count) {
      Fault(pageNo, QELFormat("holds %d records, the record pages index says %d", {used, count}));
    }
  }

  // Whether a session has the page taken and not committed: a record page
  // its commit wrote before it was killed, say, which the session's id
  // gives back.
  bool IsTaken(std::int32_t pageNo) const { return std::binary_search(FTaken.begin(), FTaken.end(), pageNo); }

  // Record pages of this table that are in use but that the index does not
  // list: their records are invisible to every cursor.
  void FindUnlistedPages(TQELDiskRecordManager& records) {
    if (FPages.HeaderSize() == 0 || FPages.GetHeader().FormatVersion < kFirstFormatWithObjectIDs) return;
    try {
      FTaken = FPages.ListedTakenPages();
    } catch (const EQELException&) {
      FTaken.clear();  // the pages are then reported as they are
    }
    // Only the pages the file holds: a damaged header may claim billions
    // (the page-level check reports that).
    const std::int64_t held = FPages.File().GetSize() - FPages.GetPageOffset(0);
    const std::int64_t heldPages = std::max<std::int64_t>(0, (held + FPages.PageSize() - 1) / FPages.PageSize());
    const std::int32_t pageCount =
        static_cast<std::int32_t>(std::min<std::int64_t>(FPages.GetPageCount(), heldPages));
    std::uint8_t header[kQELPageHeaderSize];
    for (std::int32_t pageNo = 1; pageNo < pageCount; ++pageNo) {
      if (FListedPages.contains(pageNo) || FPages.FreeSpaceManager()->IsSpacePage(pageNo)) continue;
      try {
        // Page headers are never encrypted: the header alone tells the owner.
        FPages.ReadPagePart(header, pageNo, 0, kQELPageHeaderSize);
      } catch (const EQELException&) {
        continue;  // the page-level check reports unreadable pages
      }
      if (page_header::PageType(header) != ptTableRecord ||
          page_header::ObjectID(header) != FTable->ObjectID() ||
          page_header::PageVersion(header) > kMaxLivePageVersion || !InUse(pageNo) || IsTaken(pageNo)) {
        continue;
      }
      std::int64_t used = -1;
      try {
        TQELPageGuard page(FPages, FPages.GetPage(FSessionID, pageNo, true, ptTableRecord));
        used = TQELSmallRecordPage(page.Get(), records.RecordsPerPage(), records.DiskRecordSize()).GetUsedCount();
      } catch (const EQELException&) {
      }
      Fault(pageNo, QELFormat("is a record page of the table in use (%d records) but is not in the record "
                              "pages index",
                              {used}));
    }
  }

  // ---- records and their BLOB values ----

  void CheckRecords() {
    TQELDiskRecordManager& records = *FTable->DiskRecordManager();
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(FTable->FieldDefs().MemoryRecordSize()));
    TQELRecordRequest request;
    request.Mode = grmNext;
    request.BeforeFirst = true;
    request.Buffer = buffer.data();
    TQELRecordID previous{};
    for (;;) {
      try {
        records.GetRecord(FSessionID, request);
      } catch (const EQELException& e) {
        Fault(-1, QELFormat("the records cannot be read past record %d: %s", {FRecordNo, e.what()}));
        return;
      }
      if (request.Result != grOK) return;
      request.BeforeFirst = false;
      FRecordID = request.RecordID;
      ++FRecordNo;
      // Natural order only goes forward; a walk that comes back would not end.
      if (FRecordNo > 1 && CompareRecordIDs(previous.data(), FRecordID.data()) >= 0) {
        RecordFault("comes after a record with a higher record id: the walk stops here");
        return;
      }
      previous = FRecordID;
      ++FSummary.RecordsRead;
      for (const std::int32_t fieldNo : FBlobFields) CheckBlob(buffer.data(), fieldNo);
    }
  }

  void CheckBlob(std::uint8_t* record, std::int32_t fieldNo) {
    const TQELFieldDef& def = FTable->FieldDefs()[fieldNo];
    const std::string& name = def.Name();
    if (IsNull(fieldNo, record)) return;
    const TQELBlobReference ref = TQELBlobReference::Load(record + def.MemoryOffset());
    if (!ref.IsStored()) {
      FieldFault(name, "is not NULL but refers to no stored value");
      return;
    }
    if (!InUse(ref.PageNo)) {
      FieldFault(name, QELFormat("refers to BLOB page %d, which is not a page in use", {ref.PageNo}));
      return;
    }
    bool shared = ref.EntryID != blob_page::kLargeEntryID;
    if (shared && !CheckSharedEntry(name, ref, shared)) return;

    TQELDiskBlobManager& blobs = *FTable->BlobManager();
    TBlobCacheGuard guard(blobs, record, fieldNo);
    const std::uint8_t* data = nullptr;
    TQELBlobDescriptor descriptor;
    try {
      blobs.GetBlobData(FSessionID, record, data, descriptor, fieldNo);
    } catch (const EQELException& e) {
      FieldFault(name, QELFormat("the value at BLOB page %d cannot be read: %s", {ref.PageNo, e.what()}));
      return;
    }
    if (shared) {
      TakePage(name, ref.PageNo, true);
    } else {
      for (const std::int32_t pageNo : LargeValuePages(ref.PageNo)) TakePage(name, pageNo, false);
    }
    if (FOptions.Verify) CheckStoredValue(def, data, descriptor);
  }

  // A reference to a shared page must name an entry there. Entry id 255 may
  // also name a large value of an older file: `shared` turns false for one
  // without such an entry.
  bool CheckSharedEntry(const std::string& name, const TQELBlobReference& ref, bool& shared) {
    try {
      TQELPageGuard page(FPages, FPages.GetPage(FSessionID, ref.PageNo, true, ptTableBlob));
      const TQELSmallBlobPage blobPage(page.Get());
      TQELSmallBlobPage::TEntry entry;
      if (blobPage.FindEntry(ref.EntryID, entry)) {
        FSharedPageSizes[ref.PageNo] = blobPage.UsedSize();
        return true;
      }
    } catch (const EQELException& e) {
      if (ref.EntryID == blob_page::kAmbiguousEntryID) {
        shared = false;
        return true;
      }
      FieldFault(name, QELFormat("refers to entry %d of BLOB page %d, which cannot be read as a shared page: %s",
                                 {ref.EntryID, ref.PageNo, e.what()}));
      return false;
    }
    if (ref.EntryID == blob_page::kAmbiguousEntryID) {
      shared = false;
      return true;
    }
    FieldFault(name, QELFormat("refers to entry %d of BLOB page %d, which has no such entry",
                               {ref.EntryID, ref.PageNo}));
    return false;
  }

  // The data and list pages of a large value whose layout the BLOB manager
  // has just read and found consistent, in the order it keeps them.
  std::vector<std::int32_t> LargeValuePages(std::int32_t firstPageNo) {
    const std::int64_t p = FPages.DataSize();
    std::int32_t listPageNo;
    std::int64_t offset;
    std::int64_t pageCount;
    {
      TQELPageGuard first(FPages, FPages.GetPage(FSessionID, firstPageNo, true, ptTableBlob));
      const std::uint8_t* data = first->Data();
      listPageNo = QELReadLE<std::int32_t>(data + blob_page::kLargeListPageNo);
      offset = QELReadLE<std::uint16_t>(data + blob_page::kLargeListOffset);
      pageCount = QELReadLE<std::int32_t>(data + blob_page::kLargePageCount);
    }
    std::vector<std::int32_t> pages;
    if (pageCount <= 0 || pageCount > FPages.GetPageCount()) return pages;
    std::vector<std::uint8_t> list(static_cast<std::size_t>(4 * pageCount));
    const auto listSize = static_cast<std::int64_t>(list.size());
    std::vector<std::int32_t> listPages;
    for (std::int64_t done = 0; done < listSize && listPageNo > 0;) {
      TQELPageGuard page(FPages, FPages.GetPage(FSessionID, listPageNo, true, ptTableBlob));
      listPages.push_back(listPageNo);
      const std::int64_t chunk = std::min(p - offset, listSize - done);
      std::memcpy(list.data() + done, page->Data() + offset, static_cast<std::size_t>(chunk));
      done += chunk;
      listPageNo = page_header::NextPageNo(page->Header());
      offset = 0;
    }
    for (std::int64_t i = 0; i < pageCount; ++i) pages.push_back(QELReadLE<std::int32_t>(list.data() + 4 * i));
    // The list's first page is the last data page unless the data filled it.
    for (const std::int32_t pageNo : listPages) {
      if (std::find(pages.begin(), pages.end(), pageNo) == pages.end()) pages.push_back(pageNo);
    }
    return pages;
  }

  // Notes that the current record's value takes `pageNo`; a page of a large
  // value must be in use and belong to no other value.
  void TakePage(const std::string& fieldName, std::int32_t pageNo, bool shared) {
    const auto [it, added] = FBlobPages.try_emplace(pageNo, TBlobPageOwner{shared, FRecordNo, fieldName});
    if (!added && (!shared || !it->second.Shared)) {
      FieldFault(fieldName, QELFormat("BLOB page %d is also taken by field %s of record %d",
                                      {pageNo, it->second.FieldName, it->second.RecordNo}));
    }
    if (added && !shared && !InUse(pageNo)) {
      FieldFault(fieldName, QELFormat("BLOB page %d of the value is not a page in use", {pageNo}));
    }
  }

  // The stored form of a value: with compression, a chain of blocks, each a
  // 20-byte header and its compressed bytes, every block but the last
  // holding a whole block of the field's block size, the header's CRC being
  // that of the block's uncompressed bytes; without, the bytes themselves.
  void CheckStoredValue(const TQELFieldDef& def, const std::uint8_t* data, const TQELBlobDescriptor& value) {
    const std::string& name = def.Name();
    const std::uint8_t algorithm = def.BlobCompressionAlgorithm;
    if (algorithm == cmNone) {
      if (value.DataSize != value.UncompressedSize) {
        FieldFault(name, QELFormat("stores %d bytes for a value of %d uncompressed bytes",
                                   {value.DataSize, value.UncompressedSize}));
      }
      return;
    }
    const std::int64_t blockSize = def.BlobBlockSize;
    if (blockSize <= 0) {
      FieldFault(name, QELFormat("the field's block size %d cannot hold a value", {blockSize}));
      return;
    }
    constexpr std::int64_t kHeader = TQELCompressedBlockHeader::kSize;
    std::int64_t position = 0;
    std::int64_t total = 0;
    std::vector<std::uint8_t> output;
    for (std::int32_t block = 0; block < value.BlockCount; ++block) {
      if (value.DataSize - position < kHeader) {
        FieldFault(name, QELFormat("block %d of %d is missing: the stored data ends at byte %d",
                                   {block, value.BlockCount, value.DataSize}));
        return;
      }
      TQELCompressedBlockHeader header;
      header.Load(data + position);
      if (header.CompressedSize <= 0 || header.UncompressedSize <= 0 || header.UncompressedSize > blockSize ||
          header.NextBlockOffset != header.CompressedSize + kHeader ||
          header.NextBlockOffset > value.DataSize - position) {
        FieldFault(name, QELFormat("block %d at byte %d has an invalid header (compressed %d, uncompressed %d, "
                                   "next block at +%d)",
                                   {block, position, header.CompressedSize, header.UncompressedSize,
                                    header.NextBlockOffset}));
        return;
      }
      if (block + 1 < value.BlockCount && header.UncompressedSize != blockSize) {
        FieldFault(name, QELFormat("block %d holds %d bytes, not a whole block of %d",
                                   {block, header.UncompressedSize, blockSize}));
      }
      std::int64_t produced = header.UncompressedSize;
      if (!DecompressBuffer(algorithm, data + position + kHeader, header.CompressedSize, produced, output) ||
          produced != header.UncompressedSize) {
        FieldFault(name, QELFormat("block %d does not decompress to its %d bytes with %s",
                                   {block, header.UncompressedSize, CompressionAlgorithmName(algorithm)}));
      } else if (const std::uint32_t crc = BlockCrc32(0, output.data(), static_cast<std::size_t>(produced));
                 crc != header.Crc32) {
        FieldFault(name, QELFormat("block %d: the CRC of its data is %.8X, its header says %.8X",
                                   {block, crc, header.Crc32}));
      }
      total += header.UncompressedSize;
      position += header.NextBlockOffset;
    }
    if (position != value.DataSize) {
      FieldFault(name, QELFormat("the chain of %d blocks ends at byte %d of %d stored",
                                 {value.BlockCount, position, value.DataSize}));
    }
    if (total != value.UncompressedSize) {
      FieldFault(name, QELFormat("the blocks hold %d bytes, the value's size is %d", {total, value.UncompressedSize}));
    }
  }

  // Shared pages carry the bytes their entries take in the BLOB page index,
  // which lists no page that is not one.
  void CheckBlobPageIndex() {
    if (FBlobFields.empty()) return;
    TQELBTreeBlobPageIndex& index = FTable->BlobManager()->BlobPageIndex();
    try {
      index.Tree().CheckIntegrity(FSessionID);
    } catch (const EQELException& e) {
      Fault(index.RootPageNo(), std::string("the BLOB page index is damaged: ") + e.what());
      return;
    }
    std::set<std::int32_t> listed;
    std::int32_t pageNo = -1;
    for (bool on = index.FirstPage(FSessionID, pageNo); on; on = index.NextPage(FSessionID, pageNo)) {
      if (!listed.insert(pageNo).second) {
        Fault(pageNo, "is listed twice in the BLOB page index");
        break;
      }
      const std::int32_t count = index.GetCount(FSessionID, pageNo);
      const auto shared = FSharedPageSizes.find(pageNo);
      if (shared == FSharedPageSizes.end()) {
        Fault(pageNo, QELFormat("is listed in the BLOB page index (%d bytes) but holds no value of a record",
                                {count}));
      } else if (shared->second != count) {
        Fault(pageNo, QELFormat("holds %d bytes of BLOB values, the BLOB page index says %d",
                                {shared->second, count}));
      }
    }
    for (const auto& [sharedPageNo, size] : FSharedPageSizes) {
      if (!listed.contains(sharedPageNo)) {
        Fault(sharedPageNo, QELFormat("is a shared BLOB page (%d bytes) missing from the BLOB page index", {size}));
      }
    }
  }

  void CheckIndexes() {
    const std::string prefix = "Table " + FSummary.Name + ", ";
    for (std::string& line : CheckTableIndexes(*FTable, FSessionID)) {
      if (line.rfind(prefix, 0) == 0) line.erase(0, prefix.size());
      Fault(-1, std::move(line));
    }
  }

  TQELDiskDatabaseData& FDatabase;
  TQELDiskPageManager& FPages;
  // Sorted.
  std::vector<std::int32_t> FTaken;
  const TQELTableCheckOptions& FOptions;
  TQELDiskTableSummary& FSummary;
  TQELDiskTableData* FTable = nullptr;
  std::int32_t FSessionID = 0;
  std::vector<std::int32_t> FBlobFields;
  std::set<std::int32_t> FListedPages;
  // The record being checked.
  std::int64_t FRecordNo = 0;
  TQELRecordID FRecordID{};
  std::map<std::int32_t, TBlobPageOwner> FBlobPages;
  // Shared pages the records refer to, with the bytes their entries take.
  std::map<std::int32_t, std::int32_t> FSharedPageSizes;
};

}  // namespace

std::string FormatTableFault(const TQELTableFault& fault) {
  std::string text = "table " + fault.TableName;
  if (fault.RecordNo > 0) {
    text += ", record " + std::to_string(fault.RecordNo) + " (page " + std::to_string(fault.PageNo) + ", slot " +
            std::to_string(fault.Slot) + ")";
  } else if (fault.PageNo >= 0) {
    text += ", page " + std::to_string(fault.PageNo);
  }
  return text + ": " + fault.Message;
}

TQELDiskTableSummary CheckDiskTable(TQELDiskDatabaseData& database, const std::string& tableName,
                                    const TQELTableCheckOptions& options) {
  TQELDiskTableSummary summary;
  summary.Name = tableName;
  TTableChecker(database, options, summary).Run();
  return summary;
}

std::vector<TQELDiskTableSummary> CheckDiskTables(TQELDiskDatabaseData& database,
                                                  const TQELTableCheckOptions& options) {
  std::vector<TQELDiskTableSummary> summaries;
  for (const TQELTableInfo& table : database.Catalog().TableList().Tables()) {
    summaries.push_back(CheckDiskTable(database, table.Name, options));
  }
  return summaries;
}

}  // namespace qel
