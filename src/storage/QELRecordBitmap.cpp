// TQELRecordBitmap: building, keeping current and reading the set of
// records that pass a cursor's filters.

#include "storage/QELRecordBitmap.h"

#include <algorithm>
#include <limits>

#include "platform/QELException.h"
#include "storage/QELTableDataBase.h"

namespace qel {

namespace {

constexpr std::int64_t kMaxBits = std::numeric_limits<std::int32_t>::max();

}  // namespace

TQELRecordBitmap::TQELRecordBitmap(TQELTableDataBase* tableData) : FTableData(tableData) {
  if (FTableData == nullptr) throw EQELException(10425, "Nil pointer occured");
}

void TQELRecordBitmap::BeginBuild(std::int32_t sessionID, std::int32_t changeCount,
                                  bool byIndexPosition) {
  FActive = false;
  FBits.SetSize(0);
  FStamp = changeCount;
  FByIndexPosition = byIndexPosition;
  const std::int64_t limit = FTableData->GetRecordNumberLimit(sessionID);
  if (limit < 0 || limit > kMaxBits) {
    throw EQELException(10395, "Invalid bit no = %d, number of bits = %d", {limit, FBits.Size()});
  }
  FBits.SetSize(static_cast<std::int32_t>(limit));
}

std::int32_t TQELRecordBitmap::BitOf(const TQELRecordID& recordID) const {
  const std::int64_t number = FTableData->RecordIDToRecordNumber(recordID);
  // The bit must exist after growing to number + 1 bits.
  if (number < 0 || number >= kMaxBits) {
    throw EQELException(10395, "Invalid bit no = %d, number of bits = %d", {number, FBits.Size()});
  }
  return static_cast<std::int32_t>(number);
}

void TQELRecordBitmap::SetRecord(const TQELRecordID& recordID) {
  if (FByIndexPosition) {
    FActive = false;
    return;
  }
  const std::int32_t bit = BitOf(recordID);
  if (bit >= FBits.Size()) FBits.SetSize(bit + 1);
  FBits.SetBit(bit, true);
}

void TQELRecordBitmap::MarkPosition(std::int64_t position) {
  if (position < 0 || position >= kMaxBits) {
    throw EQELException(10395, "Invalid bit no = %d, number of bits = %d",
                        {position, FBits.Size()});
  }
  const auto bit = static_cast<std::int32_t>(position);
  if (bit >= FBits.Size()) {
    // Positions arrive in index order: grow geometrically, not bit by bit.
    const std::int64_t doubled = std::max<std::int64_t>(std::int64_t{FBits.Size()} * 2, 64);
    FBits.SetSize(static_cast<std::int32_t>(std::clamp<std::int64_t>(doubled, bit + 1, kMaxBits)));
  }
  FBits.SetBit(bit, true);
}

void TQELRecordBitmap::ClearRecord(const TQELRecordID& recordID) {
  if (FByIndexPosition) {
    FActive = false;
    return;
  }
  const std::int32_t bit = BitOf(recordID);
  // A bit past the end is 0 already; growing only to clear it is waste.
  if (bit < FBits.Size()) FBits.SetBit(bit, false);
}

std::int64_t TQELRecordBitmap::CountBeforePosition(std::int64_t position) const {
  if (position < 0 || position >= FBits.Size()) return -1;
  return static_cast<std::int64_t>(FBits.CountBelow(position)) + 1;
}

std::int64_t TQELRecordBitmap::CountBefore(const TQELRecordID& recordID) const {
  return CountBeforePosition(FTableData->RecordIDToRecordNumber(recordID));
}

bool TQELRecordBitmap::FindNextPosition(bool forward, bool include, std::int64_t from,
                                        std::int64_t& position) const {
  const std::int64_t size = FBits.Size();
  // Anything beyond one step outside the bits behaves like that step, and
  // the clamp keeps from +- 1 from overflowing.
  from = std::clamp<std::int64_t>(from, -1, size);
  std::int64_t start = include ? from : forward ? from + 1 : from - 1;
  std::int32_t found = 0;
  if (forward) {
    if (start >= size) return false;
    if (start < 0) start = 0;
    if (!FBits.FindNextSet(false, true, found, static_cast<std::int32_t>(start - 1))) return false;
  } else {
    if (start < 0) return false;
    if (start >= size) start = size - 1;
    if (!FBits.FindNextSet(false, false, found, static_cast<std::int32_t>(start + 1))) return false;
  }
  position = found;
  return true;
}

bool TQELRecordBitmap::FindNext(bool forward, bool include, std::int64_t from,
                                TQELRecordID& recordID) const {
  if (FByIndexPosition) return false;
  std::int64_t position = 0;
  if (!FindNextPosition(forward, include, from, position)) return false;
  FTableData->RecordNumberToRecordID(recordID, position);
  return true;
}

}  // namespace qel
