#pragma once
// TQELSmallRecordPage: the view of one record page (type 10) of a disk table,
// made for one operation while the page is held.
//
// Data area of a record page with S slots of R bytes:
//   0            M = ceil(S / 8)  occupancy bitmap; slot i is bit (i mod 8)
//                                 of byte (i div 8), 1 = the slot holds a record
//   M + i * R    R                slot i, a disk record image (valid only
//                                 while its bit is set)
// The bytes after the last slot are unused; a freed slot keeps its old bytes.
//
// A record id is the page number (int32) at 0 and the slot (uint16) at 4,
// both little-endian. Pages come from a file and may be damaged: the bits
// of the last bitmap byte past slot S - 1 are never looked at, and a record
// id whose slot lies outside the page is treated as naming no record, so
// nothing here reads or writes outside the data area.

#include <cstdint>

#include "pagecache/QELPageManager.h"
#include "storage/QELRecordRequest.h"

namespace qel {

namespace record_id {

inline constexpr int kPageNo = 0;
inline constexpr int kSlot = 4;

static_assert(kSlot == kPageNo + sizeof(std::int32_t));
static_assert(kSlot + sizeof(std::uint16_t) == kQELRecordIDSize);

}  // namespace record_id

class TQELSmallRecordPage : public TQELPageController {
 public:
  // "Invalid number of records on page" (20140) when the bitmap and the
  // slots do not fit into the page's data area.
  TQELSmallRecordPage(TQELPage* page, std::int32_t slotCount, std::int32_t diskRecordSize);

  // How many records of `diskRecordSize` bytes a data area of
  // `pageDataSize` bytes holds, counting an eighth of a byte per slot for
  // the bitmap and keeping one byte spare; 0 when not even one fits.
  static std::int32_t RecordsPerPage(std::int32_t pageDataSize, std::int32_t diskRecordSize);
  static std::int32_t BitmapSizeFor(std::int32_t slotCount) { return (slotCount + 7) / 8; }

  static std::int32_t PageNoOf(const TQELRecordID& recordID);
  static std::int32_t SlotOf(const TQELRecordID& recordID);
  static TQELRecordID MakeRecordID(std::int32_t pageNo, std::int32_t slot);

  std::int32_t SlotCount() const { return FSlotCount; }
  std::int32_t BitmapSize() const { return FBitmapSize; }
  std::int32_t DiskRecordSize() const { return FDiskRecordSize; }

  bool IsUsed(std::int32_t slot) const;
  // The lowest used slot at or above `from`, or the highest at or below it;
  // -1 when there is none.
  std::int32_t NextUsed(std::int32_t from) const;
  std::int32_t PriorUsed(std::int32_t from) const;

  // The lowest free slot.
  bool FindFreeSlot(std::int32_t& slot) const;
  std::int64_t GetUsedCount() const;

  // Stores a record in the lowest free slot and answers its id; "Cannot add
  // record to page. Page is full" (20141) without a free slot.
  void AddRecord(const std::uint8_t* source, TQELRecordID& recordID);
  // False when the slot holds no record.
  bool UpdateRecord(const std::uint8_t* source, const TQELRecordID& recordID);
  bool DeleteRecord(const TQELRecordID& recordID);
  bool ReadRecord(const TQELRecordID& recordID, std::uint8_t* target) const;

  // "Record not found. PageNo=%d, PageRecordCount=%d" (20143) and "Record
  // not found" (20144) on a page without records.
  void GetFirstRecordID(TQELRecordID& recordID) const;
  void GetLastRecordID(TQELRecordID& recordID) const;
  // The neighbouring used slot of recordID's slot; false at either end.
  bool GetNextRecordID(TQELRecordID& recordID) const;
  bool GetPriorRecordID(TQELRecordID& recordID) const;
  // The n-th used slot counting from 0; "Record not found" (20146) when the
  // page holds n records or fewer.
  void GetRecordIDByIndex(std::int64_t n, TQELRecordID& recordID) const;
  // Used slots below recordID's slot.
  std::int32_t CountRecordsBefore(const TQELRecordID& recordID) const;

 private:
  // The bitmap byte `index` with the bits past the last slot cleared.
  std::uint8_t BitmapByte(std::int32_t index) const;
  std::uint8_t* Slot(std::int32_t slot) const;

  std::int32_t FSlotCount;
  std::int32_t FBitmapSize;
  std::int32_t FDiskRecordSize;
};

}  // namespace qel
