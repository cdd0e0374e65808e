// TQELRecordSearch: conditions, access path and scans of one search, and
// the table-data entry points that run it.

#include "storage/QELRecordSearch.h"

#include <algorithm>
#include <iterator>
#include <limits>

#include "pagecache/QELPageManager.h"
#include "platform/QELEndian.h"
#include "platform/QELException.h"

namespace qel {

namespace {

// A record bitmap seen as bits over index positions, for the removal of
// duplicate keys; positions beyond the bits are clear.
class TBitmapPositionBits final : public TQELIndexPositionBits {
 public:
  explicit TBitmapPositionBits(TQELBitsArray& bits) : FBits(bits) {}
  bool GetBit(std::int64_t position) const override {
    return position >= 0 && position < FBits.Size() &&
           FBits.GetBit(static_cast<std::int32_t>(position));
  }
  void SetBit(std::int64_t position, bool value) override {
    if (position >= 0 && position < FBits.Size()) {
      FBits.SetBit(static_cast<std::int32_t>(position), value);
    }
  }

 private:
  TQELBitsArray& FBits;
};

// Whether the cursor's gathered matches were gathered in its present order
// at `changeCount`.
bool IsGatheringCurrent(const TQELTableCursor& cursor, std::int32_t changeCount) {
  const TQELTableCursor::TGatheredMatches& gathered = cursor.GatheredMatches;
  return gathered.Active && gathered.ByIndexPosition == (cursor.IndexID >= 0) && gathered.Stamp == changeCount;
}

}  // namespace

TQELRecordSearch::TQELRecordSearch(TQELTableData& tableData, TQELTableCursor& cursor,
                                   const TQELSearchRequest& request)
    : FTableData(tableData),
      FCursor(cursor),
      FRequest(request),
      FSessionID(cursor.SessionID()),
      FGetIndex([&tableData](std::int32_t indexID) -> TQELIndex& {
        return tableData.CheckedIndexManager(10380).GetIndex(indexID);
      }) {}

TQELRecordSearch::TQELRecordSearch(TQELTableData& tableData, TQELTableCursor& cursor,
                                   const TQELSearchRequest& request,
                                   const TQELScanSearchConditionArray& alternative)
    : TQELRecordSearch(tableData, cursor, request) {
  FAlternative = &alternative;
}

TQELIndex& TQELRecordSearch::Index(std::int32_t indexID) { return FGetIndex(indexID); }

// ---- Conditions ------------------------------------------------------------

void TQELRecordSearch::BuildConditions() {
  const std::int32_t activeIndex = FCursor.IndexID;
  const std::int32_t keySize = FCursor.RecordSize;
  if (FRequest.HasKeyCondition) {
    if (activeIndex < 0) {
      throw EQELException(20258,
                          "No active index is set for Key search. Set Table.IndexName to the "
                          "index on search fields.");
    }
    const TQELIndexCondition& key = FRequest.KeyCondition;
    TQELScanSearchCondition condition = TQELScanSearchCondition::ForIndex(
        activeIndex, key.ConditionType, key.Key,
        FCursor.SearchKeySize > 0 ? FCursor.SearchKeySize : keySize, key.KeyFieldCount, true);
    condition.PartialKey = key.PartialKey;
    FConditions.Add(std::move(condition));
  }
  if (FRequest.Expression != nullptr) FConditions.AddExpression(FRequest.Expression);
  if (FCursor.Filter != nullptr) FConditions.AddExpression(FCursor.Filter);
  if (FCursor.SQLFilter != nullptr) FConditions.AddExpression(FCursor.SQLFilter);
  if (activeIndex >= 0) AddActiveIndexConditions(activeIndex, keySize);
  for (const TQELScanSearchConditionArray* derived : {FRequest.DerivedConditions, FCursor.SQLFilterConditions}) {
    if (derived == nullptr) continue;
    for (std::int32_t i = 0; i < derived->Count(); ++i) FConditions.Add((*derived)[i]);
  }
  if (FAlternative != nullptr) {
    for (std::int32_t i = 0; i < FAlternative->Count(); ++i) FConditions.Add((*FAlternative)[i]);
  }
}

const std::vector<TQELScanSearchConditionArray>* TQELRecordSearch::Alternatives() const {
  if (FAlternative != nullptr || FCursor.SQLFilter == nullptr) return nullptr;
  const std::vector<TQELScanSearchConditionArray>* alternatives = FCursor.SQLFilter->Alternatives();
  return alternatives != nullptr && !alternatives->empty() ? alternatives : nullptr;
}

void TQELRecordSearch::MarkAlternatives() {
  for (const TQELScanSearchConditionArray& alternative : *Alternatives()) {
    TQELRecordID unused{};
    TQELRecordSearch(FTableData, FCursor, FRequest, alternative).Run(unused);
  }
}

bool TQELRecordSearch::IsPlainStep() const {
  return FAlternative == nullptr && FRequest.MarkAll == nullptr && FRequest.Expression == nullptr &&
         !FRequest.HasKeyCondition && FRequest.DerivedConditions == nullptr &&
         FRequest.PositionKey == nullptr && FCursor.DistinctFieldCount == 0;
}

bool TQELRecordSearch::HasCurrentBitmap() const {
  const TQELRecordBitmap* bitmap = FCursor.RecordBitmap.get();
  return bitmap != nullptr && bitmap->Active() &&
         !bitmap->IsStale(FTableData.CheckedRecordManager(10015).ChangeCount());
}

bool TQELRecordSearch::HasCurrentGathering() const {
  return IsGatheringCurrent(FCursor, FTableData.CheckedRecordManager(10015).ChangeCount());
}

std::optional<std::int64_t> TQELRecordSearch::CursorPlace() {
  if (FCursor.IndexID < 0) return FTableData.RecordIDToRecordNumber(FCursor.Position);
  TQELKeyPath path;
  TQELIndex& active = Index(FCursor.IndexID);
  if (!active.FindRecordEntry(FSessionID, FCursor.Position, path, CursorRecord())) return std::nullopt;
  return active.PositionNumber(path);
}

void TQELRecordSearch::RecordAtPlace(std::int64_t place, TQELRecordID& found) {
  if (FCursor.IndexID < 0) {
    FTableData.RecordNumberToRecordID(found, place);
  } else if (!Index(FCursor.IndexID).RecordIDAtPositionNumber(FSessionID, place, found)) {
    throw EQELException(20253, "Cannot retreive record for index");
  }
}

std::optional<bool> TQELRecordSearch::StepThroughBitmap(TQELRecordID& found) {
  const bool forward = FRequest.Forward;
  // Places outside the bits are clamped to them.
  std::int64_t from = forward ? 0 : std::numeric_limits<std::int32_t>::max();
  const bool include = FromEnd();
  if (!include) {
    const std::optional<std::int64_t> place = CursorPlace();
    if (!place) return std::nullopt;
    from = *place;
  }
  TQELRecordBitmap& bitmap = FTableData.BitmapOf(FCursor);
  if (bitmap.ByIndexPosition() != (FCursor.IndexID >= 0)) return std::nullopt;
  std::int64_t position = 0;
  if (!bitmap.FindNextPosition(forward, include, from, position)) return false;
  RecordAtPlace(position, found);
  return true;
}

void TQELRecordSearch::KeepGathering(std::vector<std::int64_t> places) {
  std::sort(places.begin(), places.end());
  places.erase(std::unique(places.begin(), places.end()), places.end());
  TQELTableCursor::TGatheredMatches& gathered = FCursor.GatheredMatches;
  gathered.Positions = std::move(places);
  gathered.ByIndexPosition = FCursor.IndexID >= 0;
  gathered.Stamp = FTableData.CheckedRecordManager(10015).ChangeCount();
  gathered.Active = true;
}

void TQELRecordSearch::GatherAlternatives() {
  TQELRecordBitmap& bitmap = FTableData.BitmapOf(FCursor);
  const auto marked = static_cast<std::size_t>(bitmap.Bits().SetCount());
  std::vector<std::int64_t> places;
  places.reserve(marked);
  // The bits past the last marked one need no look.
  std::int64_t place = 0;
  for (bool include = true; places.size() < marked && bitmap.FindNextPosition(true, include, place, place);
       include = false) {
    places.push_back(place);
  }
  KeepGathering(std::move(places));
}

std::optional<bool> TQELRecordSearch::StepThroughGathering(TQELRecordID& found) {
  const std::vector<std::int64_t>& places = FCursor.GatheredMatches.Positions;
  const bool forward = FRequest.Forward;
  std::vector<std::int64_t>::const_iterator next;
  if (FromEnd()) {
    next = forward ? places.begin() : places.end();
  } else {
    const std::optional<std::int64_t> place = CursorPlace();
    if (!place) return std::nullopt;
    next = forward ? std::upper_bound(places.begin(), places.end(), *place)
                   : std::lower_bound(places.begin(), places.end(), *place);
  }
  if (forward ? next == places.end() : next == places.begin()) return false;
  RecordAtPlace(forward ? *next : *std::prev(next), found);
  return true;
}

// The cursor's range, and the position key of a distinct walk.
void TQELRecordSearch::AddActiveIndexConditions(std::int32_t activeIndex, std::int32_t keySize) {
  const TQELCursorRange& range = FCursor.Range;
  if (range.HasStart()) {
    FConditions.Add(TQELScanSearchCondition::ForIndex(
        activeIndex, range.StartExclusive ? sctGreater : sctGreaterOrEqual, range.StartKey, keySize,
        range.StartKeyFieldCount, true));
  }
  if (range.HasEnd()) {
    FConditions.Add(TQELScanSearchCondition::ForIndex(
        activeIndex, range.EndExclusive ? sctLess : sctLessOrEqual, range.EndKey, keySize,
        range.EndKeyFieldCount, true));
  }
  if (FRequest.PositionKey != nullptr && FCursor.DistinctFieldCount > 0) {
    FConditions.Add(TQELScanSearchCondition::ForIndex(
        activeIndex, FRequest.Forward ? sctGreater : sctLess, FRequest.PositionKey, keySize,
        FCursor.DistinctFieldCount, true));
  }
}

TQELAccessPathInputs TQELRecordSearch::AccessPathInputs() {
  TQELBaseRecordManager& records = FTableData.CheckedRecordManager(10015);
  TQELAccessPathInputs inputs;
  inputs.Conditions = &FConditions;
  inputs.SessionID = FSessionID;
  inputs.ActiveIndexID = FCursor.IndexID;
  inputs.RecordCount = records.RecordCount();
  inputs.PageDataSize = FTableData.PageManager().DataSize();
  inputs.DiskRecordSize = FTableData.FieldDefs().DiskRecordSize();
  inputs.HasFilterCallback = static_cast<bool>(FCursor.FilterCallback);
  inputs.RecordsBefore = FromEnd() ? 0 : records.GetRecordsBefore(FSessionID, FCursor.Position);
  inputs.Forward = FRequest.Forward;
  inputs.FieldDefs = &FTableData.FieldDefs();
  inputs.GetIndex = FGetIndex;
  return inputs;
}

bool TQELRecordSearch::FromEnd() const {
  return FRequest.FromStart || FRequest.MarkAll != nullptr ||
         (FRequest.Forward ? FCursor.BeforeFirst : FCursor.AfterLast);
}

// ---- Running ---------------------------------------------------------------

bool TQELRecordSearch::Run(TQELRecordID& found) {
  // Nothing lies beyond the end the cursor already stands at.
  if (!FromEnd() && (FRequest.Forward ? FCursor.AfterLast : FCursor.BeforeFirst)) return false;
  if (Alternatives() != nullptr && FRequest.MarkAll != nullptr) {
    MarkAlternatives();
    return false;
  }
  // Matches gathered or marked for the cursor already answer a step at
  // once; the alternatives are gathered now.
  if (IsPlainStep()) {
    if (!HasCurrentGathering() && !HasCurrentBitmap() && Alternatives() != nullptr) GatherAlternatives();
    if (HasCurrentGathering()) {
      if (const std::optional<bool> stepped = StepThroughGathering(found)) return *stepped;
    } else if (HasCurrentBitmap()) {
      if (const std::optional<bool> stepped = StepThroughBitmap(found)) return *stepped;
    }
  }
  if (!SettleConditionsAndPath()) return false;
  FRecord.assign(static_cast<std::size_t>(FCursor.RecordSize), 0);
  if (!FPath.UsesIndex()) return FullScan(found);
  const std::int32_t chosen = (*FActive)[FPath.First].IndexID;
  if (chosen == FCursor.IndexID) return RangeScanOnActiveIndex(found);
  if (FCursor.IndexID < 0) return RangeScanInNaturalOrder(found);
  return RangeScanIntoActiveIndex(found);
}

std::optional<std::int64_t> TQELRecordSearch::CountByGathering() {
  if (!IsPlainStep() || !FromEnd() || Alternatives() != nullptr || HasCurrentBitmap()) {
    return std::nullopt;
  }
  if (!HasCurrentGathering()) {
    if (!SettleConditionsAndPath()) return 0;
    if (!FPath.UsesIndex() || (*FActive)[FPath.First].IndexID == FCursor.IndexID) return std::nullopt;
    FRecord.assign(static_cast<std::size_t>(FCursor.RecordSize), 0);
    TQELRecordID first{};
    if (FCursor.IndexID < 0) {
      RangeScanInNaturalOrder(first);
    } else {
      RangeScanIntoActiveIndex(first);
    }
    if (!HasCurrentGathering()) return std::nullopt;
  }
  return static_cast<std::int64_t>(FCursor.GatheredMatches.Positions.size());
}

bool TQELRecordSearch::SettleConditionsAndPath() {
  const bool plain = IsPlainStep();
  const std::int32_t stamp = FTableData.CheckedRecordManager(10015).ChangeCount();
  if (plain && FCursor.SettledSearch) {
    const TQELSettledSearch& settled = *FCursor.SettledSearch;
    if (settled.Stamp == stamp && settled.Forward == FRequest.Forward && settled.IndexID == FCursor.IndexID) {
      if (settled.MatchesNothing) return false;
      // Read in place: the walk's conditions stay as they were settled.
      FSettled = FCursor.SettledSearch;
      FActive = &FSettled->Conditions;
      FPath = settled.Path;
      return true;
    }
  }
  BuildConditions();
  const bool canMatch = SimplifyScanSearchConditions(FConditions, FGetIndex);
  if (canMatch) {
    FPath = ChooseAccessPath(AccessPathInputs());
    if (FPath.First >= FConditions.Count() || FPath.Second >= FConditions.Count()) {
      throw EQELException(10382, "Invalid condition number = %d, count = %d",
                          {FPath.First, FConditions.Count()});
    }
  }
  if (plain) {
    auto settled = std::make_shared<TQELSettledSearch>();
    settled->Stamp = stamp;
    settled->Forward = FRequest.Forward;
    settled->IndexID = FCursor.IndexID;
    settled->MatchesNothing = !canMatch;
    if (canMatch) {
      // The conditions move into the cursor and the search reads them there.
      settled->Conditions = std::move(FConditions);
      settled->Path = FPath;
      FActive = &settled->Conditions;
    }
    FSettled = settled;
    FCursor.SettledSearch = std::move(settled);
  }
  return canMatch;
}

bool TQELRecordSearch::NeedsRecord() const {
  const std::int32_t chosen = (FPath.First >= 0 ? 1 : 0) + (FPath.Second >= 0 ? 1 : 0);
  return FActive->Count() > chosen || static_cast<bool>(FCursor.FilterCallback);
}

bool TQELRecordSearch::Passes(const std::uint8_t* record, const TQELRecordID& recordID) {
  if (!RecordMatchesConditions(*FActive, record, FGetIndex, FPath.First, FPath.Second)) {
    return false;
  }
  if (!FCursor.FilterCallback) return true;
  // The callback gets a copy: it must not change the record it judges.
  FCallbackCopy.assign(record, record + FCursor.RecordSize);
  return FCursor.FilterCallback(FCallbackCopy.data(), recordID);
}

bool TQELRecordSearch::ReadRecord(const TQELRecordID& recordID, std::uint8_t* buffer) {
  TQELRecordRequest request;
  request.RecordID = recordID;
  request.Buffer = buffer;
  FTableData.CheckedRecordManager(10015).GetRecord(FSessionID, request);
  return request.Result == grOK;
}

const std::uint8_t* TQELRecordSearch::CursorRecord() {
  FCursorRecord.assign(static_cast<std::size_t>(FCursor.RecordSize), 0);
  if (ReadRecord(FCursor.Position, FCursorRecord.data())) return FCursorRecord.data();
  return FCursor.RecordBuffer;
}

// Every record in the cursor's order, from after its position (or from an
// end), each tested against every condition.
bool TQELRecordSearch::FullScan(TQELRecordID& found) {
  TQELBaseRecordManager& records = FTableData.CheckedRecordManager(10015);
  const bool forward = FRequest.Forward;
  const std::int32_t indexID = FCursor.IndexID;
  TQELIndex* index = indexID >= 0 ? &Index(indexID) : nullptr;
  TQELRecordRequest request;
  request.Mode = forward ? grmNext : grmPrior;
  request.Buffer = FRecord.data();
  // The scan changes nothing: it reads each page once for all its records.
  // A program's filter callback may use the database as it likes, so no
  // page stays fixed while it runs.
  TQELPageHold pageHold;
  if (!FCursor.FilterCallback) request.PageHold = &pageHold;
  if (FromEnd()) {
    request.BeforeFirst = forward;
    request.AfterLast = !forward;
  } else {
    request.RecordID = FCursor.Position;
  }
  TQELIndexPositionCache cache;
  const std::int64_t stamp = records.ChangeCount();
  for (bool firstStep = true;; firstStep = false) {
    // The first step may start from a record another session deleted; the
    // rest follow the position cache.
    if (firstStep || index == nullptr) {
      FTableData.FetchRecord(FSessionID, request, indexID, &cache);
    } else {
      index->GetRecordByIndex(FSessionID, request, stamp, &cache);
    }
    if (request.Result != grOK) return false;
    if (!Passes(FRecord.data(), request.RecordID)) continue;
    if (FRequest.MarkAll == nullptr) {
      found = request.RecordID;
      return true;
    }
    if (index != nullptr) {
      FRequest.MarkAll->MarkPosition(index->PositionNumber(cache.Path));
    } else {
      FRequest.MarkAll->SetRecord(request.RecordID);
    }
  }
}

template <class TOnMatch>
void TQELRecordSearch::ScanChosenRange(bool fromCursor, TOnMatch onMatch) {
  const TQELScanSearchCondition& startCondition = (*FActive)[FPath.First];
  TQELIndex& index = Index(startCondition.IndexID);
  const TQELIndexCondition start = startCondition.AsIndexCondition();
  TQELIndexCondition end;
  if (FPath.Second >= 0) end = (*FActive)[FPath.Second].AsIndexCondition();
  const TQELIndexCondition* endPointer = FPath.Second >= 0 ? &end : nullptr;
  std::unique_ptr<TQELRangeScanState> state = index.CreateRangeScan();
  TQELRecordID recordID = FCursor.Position;
  const std::uint8_t* cursorRecord = fromCursor ? CursorRecord() : nullptr;
  const bool needsRecord = NeedsRecord();
  bool first = !fromCursor;
  while (index.RangeScanNext(FSessionID, first, state.get(), recordID, cursorRecord, endPointer,
                             &start, FRequest.Forward)) {
    first = false;
    if (needsRecord &&
        (!ReadRecord(recordID, FRecord.data()) || !Passes(FRecord.data(), recordID))) {
      continue;
    }
    if (!onMatch(index, *state, recordID, needsRecord)) return;
  }
}

// The chosen range is on the cursor's own index: its entries come in the
// cursor's order, so the first match is the answer.
bool TQELRecordSearch::RangeScanOnActiveIndex(TQELRecordID& found) {
  bool matched = false;
  ScanChosenRange(!FromEnd(), [&](TQELIndex& index, const TQELRangeScanState& state,
                                  const TQELRecordID& recordID, bool) {
    if (FRequest.MarkAll != nullptr) {
      FRequest.MarkAll->MarkPosition(index.PositionNumber(state.Path));
      return true;
    }
    found = recordID;
    matched = true;
    return false;
  });
  return matched;
}

// The cursor walks the natural order: the range's matches are collected and
// the nearest one after the cursor's record in that order is the answer.
bool TQELRecordSearch::RangeScanInNaturalOrder(TQELRecordID& found) {
  TQELBaseRecordManager& records = FTableData.CheckedRecordManager(10015);
  const bool forward = FRequest.Forward;
  const bool fromEnd = FromEnd();
  // A step of a walk keeps every match for the steps after it.
  const bool gather = IsPlainStep();
  std::vector<std::int64_t> places;
  bool matched = false;
  ScanChosenRange(false, [&](TQELIndex&, const TQELRangeScanState&, const TQELRecordID& recordID,
                             bool) {
    if (FRequest.MarkAll != nullptr) {
      FRequest.MarkAll->SetRecord(recordID);
      return true;
    }
    if (gather) {
      places.push_back(FTableData.RecordIDToRecordNumber(recordID));
      return true;
    }
    if (!fromEnd) {
      const std::int32_t againstCursor = records.CompareRecordIDs(recordID, FCursor.Position);
      if (forward ? againstCursor <= 0 : againstCursor >= 0) return true;
    }
    if (matched) {
      const std::int32_t againstBest = records.CompareRecordIDs(recordID, found);
      if (forward ? againstBest >= 0 : againstBest <= 0) return true;
    }
    found = recordID;
    matched = true;
    return true;
  });
  if (gather) return TakeGathering(std::move(places), found);
  return matched;
}

bool TQELRecordSearch::TakeGathering(std::vector<std::int64_t> places, TQELRecordID& found) {
  KeepGathering(std::move(places));
  const std::optional<bool> stepped = StepThroughGathering(found);
  if (stepped) return *stepped;
  // The cursor's record has no place (gone from the active index): the
  // walk goes on from the end it moves away from.
  TQELSearchRequest fromEnd = FRequest;
  fromEnd.FromStart = true;
  return TQELRecordSearch(FTableData, FCursor, fromEnd).Run(found);
}

// The range is on another index than the cursor's: each match is placed in
// the cursor's index, and the nearest position after the cursor's wins.
bool TQELRecordSearch::RangeScanIntoActiveIndex(TQELRecordID& found) {
  TQELIndex& active = Index(FCursor.IndexID);
  const bool forward = FRequest.Forward;
  const bool fromEnd = FromEnd();
  std::int64_t cursorPosition = -1;
  if (!fromEnd) {
    TQELKeyPath path;
    if (active.FindRecordEntry(FSessionID, FCursor.Position, path, CursorRecord())) {
      cursorPosition = active.PositionNumber(path);
    }
  }
  std::int64_t bestPosition = -1;
  const bool gather = IsPlainStep();
  std::vector<std::int64_t> places;
  ScanChosenRange(false, [&](TQELIndex&, const TQELRangeScanState&, const TQELRecordID& recordID,
                             bool recordRead) {
    if (!recordRead && !ReadRecord(recordID, FRecord.data())) return true;
    TQELKeyPath path;
    if (!active.FindRecordEntry(FSessionID, recordID, path, FRecord.data())) {
      throw EQELException(10387, "Cannot find record position in index %d, RecordID = %d %d",
                          {FCursor.IndexID, QELReadLE<std::int32_t>(recordID.data()),
                           QELReadLE<std::uint16_t>(recordID.data() + 4)});
    }
    const std::int64_t position = active.PositionNumber(path);
    if (FRequest.MarkAll != nullptr) {
      FRequest.MarkAll->MarkPosition(position);
      return true;
    }
    if (gather) {
      places.push_back(position);
      return true;
    }
    if (cursorPosition >= 0 && (forward ? position <= cursorPosition : position >= cursorPosition)) {
      return true;
    }
    if (bestPosition < 0 || (forward ? position < bestPosition : position > bestPosition)) {
      bestPosition = position;
      found = recordID;
    }
    return true;
  });
  if (gather) return TakeGathering(std::move(places), found);
  return bestPosition >= 0;
}

// ---- Table data entry points -----------------------------------------------

bool TQELTableData::FindMatchingRecord(TQELTableCursor& cursor, const TQELSearchRequest& search,
                                       TQELRecordID& found) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  return TQELRecordSearch(*this, cursor, search).Run(found);
}

std::optional<std::int64_t> TQELTableData::CountGatheredMatches(TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  TQELSearchRequest search;
  search.FromStart = true;
  return TQELRecordSearch(*this, cursor, search).CountByGathering();
}

void TQELTableData::BuildBitmap(TQELTableCursor& cursor, TQELRecordBitmap& bitmap) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  const std::int32_t sessionID = cursor.SessionID();
  const std::int32_t changeCount = CheckedRecordManager(10015).ChangeCount();
  bitmap.BeginBuild(sessionID, changeCount, cursor.IndexID >= 0);
  if (cursor.DistinctFieldCount == 0 && IsGatheringCurrent(cursor, changeCount)) {
    // A walk has gathered the matches already.
    for (const std::int64_t place : cursor.GatheredMatches.Positions) {
      if (cursor.IndexID >= 0) {
        bitmap.MarkPosition(place);
      } else {
        TQELRecordID recordID{};
        RecordNumberToRecordID(recordID, place);
        bitmap.SetRecord(recordID);
      }
    }
    bitmap.SetActive(true);
    return;
  }
  TQELSearchRequest search;
  search.MarkAll = &bitmap;
  TQELRecordID unused{};
  TQELRecordSearch(*this, cursor, search).Run(unused);
  if (cursor.DistinctFieldCount > 0 && cursor.IndexID >= 0) {
    TBitmapPositionBits bits(bitmap.Bits());
    CheckedIndexManager(10380)
        .GetIndex(cursor.IndexID)
        .RemoveDuplicates(sessionID, bits, cursor.DistinctFieldCount);
  }
  bitmap.SetActive(true);
}

}  // namespace qel
