#pragma once
// TQELRecordBitmap: the set of records that pass a cursor's range and
// filters, one bit per record number (or per position in the cursor's
// active index). Restricted cursors count and number their records through
// it instead of testing every record again.
//
// A bitmap is built for one ChangeCount of the table's record manager (its
// Stamp) and is stale once that count has moved on. Changes made through
// the cursor itself keep it current by setting or clearing their record's
// bit; in index-position space a change shifts positions, so it only
// invalidates the bitmap.

#include <cstdint>

#include "storage/QELBitsArray.h"
#include "storage/QELRecordRequest.h"

namespace qel {

class TQELTableDataBase;

class TQELRecordBitmap {
 public:
  // Raises "Nil pointer occured" (10425) without a table data.
  explicit TQELRecordBitmap(TQELTableDataBase* tableData);
  TQELRecordBitmap(const TQELRecordBitmap&) = delete;
  TQELRecordBitmap& operator=(const TQELRecordBitmap&) = delete;

  TQELBitsArray& Bits() { return FBits; }
  const TQELBitsArray& Bits() const { return FBits; }
  TQELTableDataBase* TableData() const { return FTableData; }
  // The bitmap has been built and represents the cursor's filtered set.
  bool Active() const { return FActive; }
  void SetActive(bool active) { FActive = active; }
  // Bits are indexed by position in the active index, not by record number.
  bool ByIndexPosition() const { return FByIndexPosition; }
  // The record manager's ChangeCount when the bitmap was built; -1 before.
  std::int32_t Stamp() const { return FStamp; }
  void SetStamp(std::int32_t stamp) { FStamp = stamp; }
  bool IsStale(std::int32_t changeCount) const { return FStamp != changeCount; }

  // Starts a build: no bits set, stamped with `changeCount`, sized by the
  // table's record number limit, and inactive until the caller has marked
  // every match and calls SetActive(true).
  void BeginBuild(std::int32_t sessionID, std::int32_t changeCount, bool byIndexPosition);

  // Set or clear the record's bit, growing the bits to cover its number
  // when needed; in index-position space they invalidate the bitmap. A
  // record number outside 0..2^31-2 raises "Invalid bit no = %d, number of
  // bits = %d" (10395).
  void SetRecord(const TQELRecordID& recordID);
  void ClearRecord(const TQELRecordID& recordID);

  // Sets the bit of an index position while the bitmap is built in
  // index-position space, growing the bits as needed.
  void MarkPosition(std::int64_t position);
  // The 1-based rank a record at `position` would have: the set bits below
  // it, plus one; -1 when the position is outside the bits.
  std::int64_t CountBeforePosition(std::int64_t position) const;
  // The same for a record, by its record number.
  std::int64_t CountBefore(const TQELRecordID& recordID) const;

  // The next set position after `from` (or at it, with `include`) going
  // forward or backward; positions outside the bits are clamped to them.
  bool FindNextPosition(bool forward, bool include, std::int64_t from,
                        std::int64_t& position) const;
  // The same, converted to a record id. Positions in an index have no
  // record id here, so a bitmap in index-position space answers false.
  bool FindNext(bool forward, bool include, std::int64_t from, TQELRecordID& recordID) const;

 private:
  // The record's number as a bit index, checked to fit the bits.
  std::int32_t BitOf(const TQELRecordID& recordID) const;

  TQELBitsArray FBits;
  TQELTableDataBase* FTableData;
  bool FActive = false;
  bool FByIndexPosition = false;
  std::int32_t FStamp = -1;
};

}  // namespace qel
