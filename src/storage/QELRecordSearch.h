#pragma once
// TQELRecordSearch: one search of a table for a cursor. It turns the
// cursor's restrictions and the request's own conditions into scan search
// conditions, simplifies them, chooses an access path and runs the scan:
// through the whole table in the cursor's order, or along a range of one
// index. It either stops at the first match after the cursor's position or
// marks every match in a record bitmap.
//
// A step whose best path is a range of an index other than the cursor's
// own has to read that whole range to find the nearest match; it keeps
// every match it read, in the cursor's order, for the steps after it (and
// for the cursor's bitmap, which counts and numbers them). The alternatives
// of an IN are searched one by one into the cursor's bitmap and gathered
// from there.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "storage/QELAccessPath.h"
#include "storage/QELScanSearchCondition.h"
#include "storage/QELTableData.h"

namespace qel {

// What a plain step of a walk settled on, kept in the cursor.
struct TQELSettledSearch {
  std::int32_t Stamp = 0;
  bool Forward = true;
  std::int32_t IndexID = -1;
  // The conditions can match nothing.
  bool MatchesNothing = false;
  TQELScanSearchConditionArray Conditions;
  TQELAccessPath Path;
};

class TQELRecordSearch {
 public:
  TQELRecordSearch(TQELTableData& tableData, TQELTableCursor& cursor,
                   const TQELSearchRequest& request);
  // FActive may point into the search itself.
  TQELRecordSearch(const TQELRecordSearch&) = delete;
  TQELRecordSearch& operator=(const TQELRecordSearch&) = delete;

  // Answers the first match (nothing when every match is marked instead).
  bool Run(TQELRecordID& found);
  // For a plain search from an end: the number of matches, from the
  // cursor's gathered matches, gathered now when the walk's path gathers
  // them; nothing when the cursor's bitmap is current or the path does not
  // gather (a full scan, or a range of the cursor's own index).
  std::optional<std::int64_t> CountByGathering();

  // The conditions the search ran with, after simplification.
  const TQELScanSearchConditionArray& Conditions() const { return *FActive; }
  const TQELAccessPath& Path() const { return FPath; }

 private:
  // One alternative of the SQL filter's, searched as one more condition.
  TQELRecordSearch(TQELTableData& tableData, TQELTableCursor& cursor,
                   const TQELSearchRequest& request, const TQELScanSearchConditionArray& alternative);

  void BuildConditions();
  // The SQL filter's alternatives this search may use; null for none.
  const std::vector<TQELScanSearchConditionArray>* Alternatives() const;
  // Marks the records of every alternative in turn.
  void MarkAlternatives();
  // A step from the cursor's record with nothing but the cursor's own
  // restrictions, which its record bitmap holds.
  bool IsPlainStep() const;
  // The cursor's bitmap, or its gathered matches, are built and current.
  bool HasCurrentBitmap() const;
  bool HasCurrentGathering() const;
  // The cursor's record as a place of the bitmap and the gathering: its
  // record number, or its position in the active index (none when it has
  // left that index).
  std::optional<std::int64_t> CursorPlace();
  void RecordAtPlace(std::int64_t place, TQELRecordID& found);
  // The step answered from the cursor's bitmap or gathered matches; no
  // answer when the cursor's record has no place.
  std::optional<bool> StepThroughBitmap(TQELRecordID& found);
  std::optional<bool> StepThroughGathering(TQELRecordID& found);
  // Keeps `places` as the cursor's gathered matches.
  void KeepGathering(std::vector<std::int64_t> places);
  // The matches of the alternatives, marked and then gathered.
  void GatherAlternatives();
  // Keeps the matches a range scan gathered and answers the step from them.
  bool TakeGathering(std::vector<std::int64_t> places, TQELRecordID& found);

  // The conditions and path of the search: those the cursor's walk settled
  // on when they are still valid for this step, else built and chosen now
  // (and settled for the next steps of a plain walk). False when nothing
  // can match.
  bool SettleConditionsAndPath();

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
  const TQELScanSearchConditionArray* FAlternative = nullptr;
  // The conditions built for this search, and those it reads: these, or
  // the ones the cursor's walk settled on (held while the search runs).
  TQELScanSearchConditionArray FConditions;
  const TQELScanSearchConditionArray* FActive = &FConditions;
  std::shared_ptr<const TQELSettledSearch> FSettled;
  TQELAccessPath FPath;
  std::vector<std::uint8_t> FRecord;
  std::vector<std::uint8_t> FCursorRecord;
  std::vector<std::uint8_t> FCallbackCopy;
};

}  // namespace qel
