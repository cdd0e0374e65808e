#pragma once
// TQELDiskRecordManager: the records of one disk table, kept as fixed-size
// disk record images in record pages (type 10) of the database's page
// manager. The record pages index lists every record page with its record
// count; a page exists only while it holds at least one record.
//
// Record ids are (page number, slot) and order the records: the natural
// order is by page, then by slot. A record number is page number times
// RecordsPerPage plus slot, so record numbers are sparse over the file.
//
// A record page is trusted only when it is a record page of this table
// (page type, the table's ObjectID, a page version that does not mark it
// freed); any other page is taken to hold none of this table's records,
// whatever a stale record id or a damaged index says. Files of old formats
// and files under repair do not keep the ObjectID and version reliably, so
// for them the page type alone decides.
//
// Every page an operation gets is released before it returns, failure or
// not. Changes whose storage part fails leave the in-memory counters (and
// the index root) as they were; their page changes are the session's to
// cancel.

#include <cstdint>

#include "disk/QELSmallRecordPage.h"
#include "pagecache/QELPageManager.h"
#include "storage/QELBTreePageIndex.h"
#include "storage/QELBaseRecordManager.h"

namespace qel {

class TQELBaseFieldManager;
class TQELDiskPageManager;
class TQELStream;

class TQELDiskRecordManager : public TQELBaseRecordManager {
 public:
  // `diskPageManager`, when given, is the same manager as `pageManager` seen
  // as a database file: it tells the file's format version, whether the
  // file is being repaired, and which pages are in use. `objectID` is the
  // table's. The managers must outlive this one.
  TQELDiskRecordManager(TQELPageManager& pageManager, TQELDiskPageManager* diskPageManager,
                        std::int32_t objectID, TQELBaseFieldManager& fieldManager);
  ~TQELDiskRecordManager() override;

  // Fixes the record geometry and restarts the counters. A record that does
  // not fit into a page raises "Cannot create table. Record is too large to
  // fit in current database page. ..." (20174) and changes nothing.
  void SetRecordSizes(std::int32_t memoryRecordSize, std::int32_t diskRecordSize,
                      std::int32_t fieldCount);

  // The table header's part, at `position`, which advances by 8:
  //   0  4  ChangeCount (int32)
  //   4  4  RecordCount (its low 32 bits, read back sign-extended)
  // "Invalid table header data" (20164) when they do not fit into the
  // buffer; nothing is read or written then.
  void LoadHeader(const std::uint8_t* buffer, std::int32_t bufferSize, std::int32_t& position);
  void SaveHeader(std::uint8_t* buffer, std::int32_t bufferSize, std::int32_t& position) const;
  static constexpr std::int32_t kChangeCount = 0;
  static constexpr std::int32_t kRecordCount = 4;
  static constexpr std::int32_t kHeaderSize = 8;
  static_assert(kRecordCount == kChangeCount + 4 && kHeaderSize == kRecordCount + 4);

  // The root page number of the record pages index, in the table metadata.
  void LoadIndexRoot(TQELStream& stream);
  void SaveIndexRoot(TQELStream& stream) const;

  // A new, empty record pages index, as a structural change (session -2).
  void CreatePagesIndex();
  // Removes every record page and the index itself.
  void DropRecords(std::int32_t sessionID);
  // Builds a new record pages index from the pages of the file that are in
  // use and are record pages of this table, and recounts RecordCount. The
  // old index pages are left alone: the old index is not trusted.
  void RebuildPagesIndex(std::int32_t sessionID);
  // Raises 20292 when the index's counts do not add up to RecordCount.
  void VerifyRecordCount(std::int32_t sessionID);

  // The record at 1-based position `recNo` in natural order; "Cannot set
  // RecNo greater than RecordCount" (20113) past the last.
  void RecordIDAtRecNo(std::int32_t sessionID, TQELRecordID& recordID, std::int64_t recNo);
  // The 1-based position of a record in natural order.
  std::int64_t RecNoOfRecordID(std::int32_t sessionID, const TQELRecordID& recordID);

  std::int64_t RecordIDToRecordNumber(const TQELRecordID& recordID) const;
  void RecordNumberToRecordID(TQELRecordID& recordID, std::int64_t number) const;
  // One more than the highest record number any record page can hold; 1
  // without record pages.
  std::int64_t GetRecordNumberLimit(std::int32_t sessionID);

  std::int32_t RecordsPerPage() const { return FRecordsPerPage; }
  std::int32_t DiskRecordSize() const { return FDiskRecordSize; }
  std::int32_t ObjectID() const { return FObjectID; }
  TQELBTreeRecordPageIndex& PagesIndex() { return FPagesIndex; }
  // Whether `page` may hold records of this table (see above).
  bool IsValidRecordPage(const TQELPage* page) const;

  // TQELBaseRecordManager
  void EmptyRecords(std::int32_t sessionID) override;
  // Never raises: any failure answers false and leaves RecordCount,
  // ChangeCount and the record pages index as they were.
  bool InsertRecord(std::int32_t sessionID, const std::uint8_t* record,
                    TQELRecordID& recordID) override;
  bool UpdateRecord(std::int32_t sessionID, const std::uint8_t* record,
                    const TQELRecordID& recordID) override;
  bool DeleteRecord(std::int32_t sessionID, TQELRecordID& recordID) override;
  // Natural order. A request without a buffer only moves. grEOF and grBOF
  // leave the request after the last or before the first record.
  void GetRecord(std::int32_t sessionID, TQELRecordRequest& request) override;
  std::int32_t CompareRecordIDs(const TQELRecordID& a, const TQELRecordID& b) override;
  // RecordCount div 2, whatever the record: record ids say nothing cheap
  // about the records before them.
  std::int64_t GetRecordsBefore(std::int32_t sessionID, const TQELRecordID& recordID) override;

 private:
  TQELSmallRecordPage RecordPage(TQELPage* page) const {
    return TQELSmallRecordPage(page, FRecordsPerPage, FDiskRecordSize);
  }
  // Reads the record in `slot` into the scratch record and, with a buffer,
  // into the request, which then stands on it.
  void ReadFound(TQELRecordRequest& request, const TQELSmallRecordPage& page, std::int32_t slot,
                 std::int32_t nativeError);
  // Walks the index from `pageNo` (included) in one direction to the first
  // record page of this table that holds a record, and reads its first (or
  // last) record; false when there is none.
  bool FindFromPage(std::int32_t sessionID, TQELRecordRequest& request, std::int32_t pageNo,
                    bool forward, std::int32_t nativeError);
  // The first (or last) record of the table.
  void StartAtEnd(std::int32_t sessionID, TQELRecordRequest& request, bool forward);
  // The record after (or before) the request's record.
  void Step(std::int32_t sessionID, TQELRecordRequest& request, bool forward);
  void ReadCurrent(std::int32_t sessionID, TQELRecordRequest& request);

  TQELPageManager& FPageManager;
  TQELDiskPageManager* FDiskPageManager;
  TQELBaseFieldManager& FFieldManager;
  TQELBTreeRecordPageIndex FPagesIndex;
  std::int32_t FObjectID;
  std::int32_t FRecordsPerPage = 0;
  std::int32_t FDiskRecordSize = 0;
  // Every record passes through it between the memory and the page image.
  std::uint8_t* FScratchRecord = nullptr;
};

}  // namespace qel
