#pragma once
// TQELRecordSearch: one search of a table for a cursor. It turns the
// cursor's restrictions and the request's own conditions into scan search
// conditions, simplifies them, chooses an access path and runs the scan:
// through the whole table in the cursor's order, or along a range of one
// index. It either stops at the first match after the cursor's position or
// marks every match in a record bitmap.

#include <cstdint>
#include <vector>

#include "storage/QELAccessPath.h"
#include "storage/QELScanSearchCondition.h"
#include "storage/QELTableData.h"

namespace qel {

class TQELRecordSearch {
 public:
  TQELRecordSearch(TQELTableData& tableData, TQELTableCursor& cursor,
                   const TQELSearchRequest& request);

  // Answers the first match (nothing when every match is marked instead).
  bool Run(TQELRecordID& found);

  // The conditions the search ran with, after simplification.
  const TQELScanSearchConditionArray& Conditions() const { return FConditions; }
  const TQELAccessPath& Path() const { return FPath; }

 private:
  void BuildConditions();
  void AddActiveIndexConditions(std::int32_t activeIndex, std::int32_t keySize);
  TQELAccessPathInputs AccessPathInputs();
  TQELIndex& Index(std::int32_t indexID);

  bool FullScan(TQELRecordID& found);
  bool RangeScanOnActiveIndex(TQELRecordID& found);
  bool RangeScanInNaturalOrder(TQELRecordID& found);
  bool RangeScanIntoActiveIndex(TQELRecordID& found);

  // Steps a range scan over the chosen index, calling `onMatch` with every
  // entry whose record passes the other conditions; `onMatch` answers false
  // to stop. `fromCursor` continues after the cursor's record.
  template <class TOnMatch>
  void ScanChosenRange(bool fromCursor, TOnMatch onMatch);
  // Whether the record passes every condition the scan does not guarantee
  // and the filter callback.
  bool Passes(const std::uint8_t* record, const TQELRecordID& recordID);
  bool NeedsRecord() const;
  bool ReadRecord(const TQELRecordID& recordID, std::uint8_t* buffer);
  // The cursor's record as stored (its key places it in an index); the
  // cursor's buffer when it is gone.
  const std::uint8_t* CursorRecord();
  // Whether the search starts at an end rather than after the cursor.
  bool FromEnd() const;

  TQELTableData& FTableData;
  TQELTableCursor& FCursor;
  const TQELSearchRequest& FRequest;
  const std::int32_t FSessionID;
  TQELIndexLookup FGetIndex;
  TQELScanSearchConditionArray FConditions;
  TQELAccessPath FPath;
  std::vector<std::uint8_t> FRecord;
  std::vector<std::uint8_t> FCursorRecord;
  std::vector<std::uint8_t> FCallbackCopy;
};

}  // namespace qel
