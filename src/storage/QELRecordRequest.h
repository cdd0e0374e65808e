#pragma once
// What record managers, table data and indexes hand each other when a record
// is looked up: the 6-byte record id, the get-record modes and results, the
// record request, the interface through which an index reads a record it
// only knows by id, and the index condition a search positions by.

#include <array>
#include <cstdint>
#include <cstring>

#include "pagecache/QELPageManager.h"
#include "platform/QELEndian.h"

namespace qel {

// A record's id: 6 bytes whose content belongs to the storage kind (a page
// number and a slot, a slot, or an insertion number). Fixed for the life of
// the record.
inline constexpr std::int32_t kQELRecordIDSize = 6;
using TQELRecordID = std::array<std::uint8_t, kQELRecordIDSize>;

// Record ids in index order: the first four bytes as a signed int32, then
// the last two as an unsigned 16-bit number (both little-endian).
inline int CompareRecordIDs(const std::uint8_t* a, const std::uint8_t* b) {
  const std::int32_t a0 = QELReadLE<std::int32_t>(a);
  const std::int32_t b0 = QELReadLE<std::int32_t>(b);
  if (a0 != b0) return a0 < b0 ? -1 : 1;
  const std::uint16_t a1 = QELReadLE<std::uint16_t>(a + 4);
  const std::uint16_t b1 = QELReadLE<std::uint16_t>(b + 4);
  return a1 < b1 ? -1 : a1 > b1 ? 1 : 0;
}

enum TQELGetRecordMode : std::uint8_t { grmCurrent = 0, grmNext = 1, grmPrior = 2 };

enum TQELGetRecordResult : std::uint8_t { grOK = 0, grBOF = 1, grEOF = 2, grError = 3 };

// One record fetch: in, the mode and the current position; out, the record
// found, its id, the position flags and the result.
struct TQELRecordRequest {
  TQELGetRecordMode Mode = grmCurrent;
  std::int32_t IndexID = -1;  // ObjectID of the ordering index, -1 for natural order
  TQELRecordID RecordID{};
  std::uint8_t* Buffer = nullptr;  // memory record receiving the record
  bool BeforeFirst = false;
  bool AfterLast = false;
  TQELGetRecordResult Result = grOK;
  // Where a walk that changes nothing keeps the page it reads (may be null).
  TQELPageHold* PageHold = nullptr;
};

// Reads records by id: what an index needs of the record manager, both to
// compare keys whose indexed part is truncated and to hand whole records to
// a cursor walking the index. Mode grmCurrent reads the request's record;
// grmNext and grmPrior move through the natural order (BeforeFirst and
// AfterLast start a walk at either end).
class TQELRecordReader {
 public:
  virtual ~TQELRecordReader() = default;
  virtual void GetRecord(std::int32_t sessionID, TQELRecordRequest& request) = 0;
};

// Comparisons of a search condition.
enum TQELSearchConditionType : std::uint8_t {
  sctNone = 0,
  sctEqual = 1,
  sctLess = 2,
  sctGreater = 3,
  sctLessOrEqual = 4,
  sctGreaterOrEqual = 5,
};

// The part of a scan search condition an index positions by: the values to
// compare with, in memory-record layout at the fields' offsets, and how many
// leading index columns they constrain (0 or less: all).
struct TQELIndexCondition {
  TQELSearchConditionType ConditionType = sctNone;
  const std::uint8_t* Key = nullptr;
  std::int32_t KeyFieldCount = 0;
  // String columns compare only as many characters as the search value has.
  bool PartialKey = false;
};

}  // namespace qel
