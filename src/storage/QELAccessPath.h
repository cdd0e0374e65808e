#pragma once
// The choice of an access path for a search: which index conditions of a
// simplified condition array (QELScanSearchCondition.h) a scan walks an
// index by, or none for a scan of every record.
//
// A '=' on a one-column index whose key is unique, or the only index
// condition left of a search from the start, is taken at once, and so are
// the one or two bounds of a range on the cursor's active index when no
// other index condition is left. Otherwise each
// index condition, alone or with the next condition on the same index as a
// second bound, is priced by a small cost model in units of pages read:
//   n = the index's estimate of the records in the range,
//   E = key size + 6 (an entry: its key and record id), P = page data size,
//   R = disk record size;
//   cost = n*E/P for the index entries,
//        + n*R/P when records must be read (other conditions to test, a
//          filter callback, or an index other than the active one),
//        + n*E/P when the active index must also be positioned.
// A candidate must beat the record count, then the cost of a plain scan
// from the cursor's position.

#include <cstdint>

#include "storage/QELFieldDefs.h"
#include "storage/QELScanSearchCondition.h"

namespace qel {

// Everything the choice depends on.
struct TQELAccessPathInputs {
  // Simplified conditions; unchosen IndexOnly conditions are deleted.
  TQELScanSearchConditionArray* Conditions = nullptr;
  std::int32_t SessionID = 0;
  // ObjectID of the cursor's active index; -1 for natural order.
  std::int32_t ActiveIndexID = -1;
  std::int64_t RecordCount = 0;
  // Bytes of data a page of the table's page manager holds; 0 when unknown.
  std::int32_t PageDataSize = 0;
  std::int32_t DiskRecordSize = 0;
  // The cursor has a filter callback, which sees every candidate record.
  bool HasFilterCallback = false;
  // The record manager's count of records before the cursor's position.
  std::int64_t RecordsBefore = 0;
  bool Forward = true;
  // For the test whether an index column is an autoincrement field.
  const TQELFieldDefs* FieldDefs = nullptr;
  TQELIndexLookup GetIndex;
};

// The chosen conditions, as positions in the array after unchosen IndexOnly
// conditions were deleted. First is where the scan starts (the lower bound
// going forward, the upper one going backward), Second the other bound of a
// range; -1 for none. No First: scan every record.
struct TQELAccessPath {
  std::int32_t First = -1;
  std::int32_t Second = -1;

  bool UsesIndex() const { return First >= 0; }
};

// Chooses the path and deletes the unchosen IndexOnly conditions. Without
// a condition array there is nothing to choose: every record is scanned.
TQELAccessPath ChooseAccessPath(const TQELAccessPathInputs& inputs);

}  // namespace qel
