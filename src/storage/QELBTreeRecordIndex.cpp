#include "storage/QELBTreeRecordIndex.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "platform/QELException.h"

namespace qel {

namespace {

// Entries of a range told by their keys before the scan locates where the
// range ends; past them the entries are compared by path.
constexpr std::int32_t kEntriesCheckedByKey = 4;

// Whether an entry meets a condition of `type`, given how the condition's
// key compares with the entry's (above 0: the condition's lies above).
bool MeetsCondition(TQELSearchConditionType type, int against) {
  switch (type) {
    case sctEqual: return against == 0;
    case sctLess: return against > 0;
    case sctLessOrEqual: return against >= 0;
    case sctGreater: return against < 0;
    case sctGreaterOrEqual: return against <= 0;
    default: return true;
  }
}

// Whether the entries meeting `end` lie together from a scan's start on,
// so that the scan may tell them by their keys: an end on the far side of
// the scan (an upper bound going forward, a lower one going backward), or
// an equality that is also the start. A prefix is not told so: the prefix
// cut from a value with an accent may sort apart from the value itself, so
// its entries need not lie together by their cut keys.
bool EndToldByKeys(const TQELIndexCondition* end, bool endIsStart, bool forward) {
  if (end == nullptr || end->PartialKey) return false;
  const TQELSearchConditionType type = end->ConditionType;
  if (type == sctEqual) return endIsStart;
  return forward ? type == sctLess || type == sctLessOrEqual
                 : type == sctGreater || type == sctGreaterOrEqual;
}

bool SameRecordID(const TQELRecordID& a, const TQELRecordID& b) { return a == b; }

}  // namespace

TQELBTreeRecordIndex::TQELBTreeRecordIndex(TQELPageManager& pageManager,
                                           const TQELFieldDefs& fieldDefs, TQELRecordReader* reader)
    : FPageManager(pageManager), FFieldDefs(fieldDefs), FReader(reader) {}

void TQELBTreeRecordIndex::Prepare() {
  auto keyRef = std::make_unique<TQELRecordKeyRef>(FIndexDef, FFieldDefs, FReader);
  auto tree = std::make_unique<TQELBTreeCore>(FPageManager, *keyRef);
  FKeyRef = std::move(keyRef);
  FTree = std::move(tree);
  FKey.assign(static_cast<std::size_t>(FKeyRef->KeySize()), 0);
  FOtherKey = FKey;
  FFullKey.assign(static_cast<std::size_t>(FKeyRef->FullKeySize()), 0);
  FOtherFullKey = FFullKey;
  FRef.assign(kQELRecordIDSize, 0);
}

TQELBTreeCore& TQELBTreeRecordIndex::Tree(std::int32_t nativeError) {
  if (!FTree || FTree->RootPageNo() < 0) throw EQELException(nativeError, "Invalid page number");
  return *FTree;
}

void TQELBTreeRecordIndex::CreateIndex(std::int32_t sessionID, const TQELIndexDef& indexDef,
                                       bool fillFromRecords) {
  TQELIndex::CreateIndex(sessionID, indexDef, fillFromRecords);
  Prepare();
  FTree->CreateRoot(sessionID);
  FIndexDef.RootPageNo = FTree->RootPageNo();
  if (fillFromRecords) FillFromRecords(sessionID);
}

// Walks the records in natural order and enters each one.
void TQELBTreeRecordIndex::FillFromRecords(std::int32_t sessionID) {
  if (FReader == nullptr) throw EQELException(20044, "Pointer is nil");
  std::vector<std::uint8_t> record(static_cast<std::size_t>(FFieldDefs.MemoryRecordSize()), 0);
  TQELRecordRequest request;
  request.Mode = grmNext;
  request.Buffer = record.data();
  request.BeforeFirst = true;
  for (;;) {
    FReader->GetRecord(sessionID, request);
    if (request.Result != grOK) return;
    InsertKey(sessionID, record.data(), request.RecordID);
    request.BeforeFirst = false;
    request.AfterLast = false;
  }
}

void TQELBTreeRecordIndex::DropIndex(std::int32_t sessionID) {
  Tree(20119).Drop(sessionID);
  FIndexDef.RootPageNo = -1;
}

void TQELBTreeRecordIndex::EmptyIndex(std::int32_t sessionID) { Tree(20120).Empty(sessionID); }

void TQELBTreeRecordIndex::OpenIndex(const TQELIndexDef& indexDef) {
  TQELIndex::OpenIndex(indexDef);
  Prepare();
  FTree->SetRootPageNo(FIndexDef.RootPageNo);
}

void TQELBTreeRecordIndex::RebuildIndex(std::int32_t sessionID) {
  const TQELIndexDef indexDef = FIndexDef;
  DropIndex(sessionID);
  CreateIndex(sessionID, indexDef, true);
}

TQELBTreeProbe TQELBTreeRecordIndex::RecordProbe(const std::uint8_t* record,
                                                 const std::uint8_t* ref) {
  FKeyRef->BuildKey(record, FKey.data());
  FKeyRef->BuildFullKey(record, FFullKey.data());
  return TQELBTreeProbe{FKey.data(), FFullKey.data(), ref, 0, -1};
}

// A condition compares its leading key fields; a partial key compares
// strings only as far as the search value of its last field goes.
TQELBTreeProbe TQELBTreeRecordIndex::ConditionProbe(const TQELIndexCondition& condition) {
  if (condition.Key == nullptr) throw EQELException(20076, "Pointer is nil");
  TQELBTreeProbe probe = RecordProbe(condition.Key, nullptr);
  const std::int32_t columns = FKeyRef->ColumnCount();
  probe.FieldCount = condition.KeyFieldCount > 0 ? std::min(condition.KeyFieldCount, columns) : 0;
  if (condition.PartialKey) {
    const TQELRecordKeyColumn& last =
        FKeyRef->Column((probe.FieldCount > 0 ? probe.FieldCount : columns) - 1);
    const std::uint8_t* value = condition.Key + last.MemoryOffset;
    if (IsWideStringBaseType(last.FieldType)) {
      std::int32_t units = 0;
      while ((units + 1) * 2 <= last.FullKeySize &&
             (value[units * 2] | value[units * 2 + 1]) != 0) {
        ++units;
      }
      probe.Length = units;
    } else if (IsStringBaseType(last.FieldType)) {
      const void* zero = std::memchr(value, 0, static_cast<std::size_t>(last.FullKeySize));
      probe.Length = zero != nullptr
                         ? static_cast<std::int32_t>(static_cast<const std::uint8_t*>(zero) - value)
                         : last.FullKeySize;
    }
  }
  return probe;
}

bool TQELBTreeRecordIndex::FindRecordEntry(std::int32_t sessionID, const TQELRecordID& recordID,
                                           TQELKeyPath& path, const std::uint8_t* record) {
  if (record == nullptr) throw EQELException(20045, "Pointer is nil");
  return Tree(20124).Find(sessionID, RecordProbe(record, recordID.data()), path);
}

bool TQELBTreeRecordIndex::LocateCondition(std::int32_t sessionID,
                                           const TQELIndexCondition& condition, bool forward,
                                           TQELKeyPath& path, TQELRecordID* recordID) {
  TQELBTreeCore& tree = Tree(20125);
  const TQELBTreeProbe probe = ConditionProbe(condition);
  std::uint8_t* key = FOtherKey.data();
  std::uint8_t* ref = FRef.data();
  const auto read = [&] {
    tree.ReadEntry(sessionID, path, key, ref);
    return true;
  };
  const auto compare = [&] { return tree.CompareProbe(sessionID, probe, key, ref); };
  const auto lower = TQELBTreeBound::Lower;
  const auto upper = TQELBTreeBound::Upper;
  bool found;
  if (forward) {
    switch (condition.ConditionType) {
      case sctEqual:
        found = tree.Seek(sessionID, probe, lower, path, key, ref) && compare() == 0;
        break;
      case sctGreater:
        found = tree.Seek(sessionID, probe, upper, path, key, ref);
        break;
      case sctGreaterOrEqual:
        found = tree.Seek(sessionID, probe, lower, path, key, ref);
        break;
      case sctLess:
        found = tree.First(sessionID, path) && read() && compare() > 0;
        break;
      case sctLessOrEqual:
        found = tree.First(sessionID, path) && read() && compare() >= 0;
        break;
      default:
        found = tree.First(sessionID, path) && read();
        break;
    }
  } else {
    switch (condition.ConditionType) {
      case sctEqual:
        tree.Seek(sessionID, probe, upper, path);
        found = tree.Prior(sessionID, path) && read() && compare() == 0;
        break;
      case sctLess:
        tree.Seek(sessionID, probe, lower, path);
        found = tree.Prior(sessionID, path) && read();
        break;
      case sctLessOrEqual:
        tree.Seek(sessionID, probe, upper, path);
        found = tree.Prior(sessionID, path) && read();
        break;
      case sctGreater:
        found = tree.Last(sessionID, path) && read() && compare() < 0;
        break;
      case sctGreaterOrEqual:
        found = tree.Last(sessionID, path) && read() && compare() <= 0;
        break;
      default:
        found = tree.Last(sessionID, path) && read();
        break;
    }
  }
  if (found && recordID != nullptr) std::memcpy(recordID->data(), ref, kQELRecordIDSize);
  return found;
}

// ---- Walking through the index --------------------------------------------

bool TQELBTreeRecordIndex::StartAtEnd(std::int32_t sessionID, TQELRecordRequest& request,
                                      TQELKeyPath& path, bool& handled) {
  handled = true;
  if (request.BeforeFirst) {
    return request.Mode == grmNext && Tree(20126).First(sessionID, path);
  }
  if (request.AfterLast) {
    return request.Mode == grmPrior && Tree(20126).Last(sessionID, path);
  }
  handled = false;
  return false;
}

void TQELBTreeRecordIndex::FinishStep(std::int32_t sessionID, TQELRecordRequest& request,
                                      bool found, TQELKeyPath& path, std::int64_t stamp,
                                      TQELIndexPositionCache* cache) {
  if (!found) {
    if (request.Mode == grmNext) {
      request.Result = grEOF;
      request.AfterLast = true;
      request.BeforeFirst = false;
    } else {
      request.Result = grBOF;
      request.BeforeFirst = true;
      request.AfterLast = false;
    }
    if (cache != nullptr) cache->Clear();
    return;
  }
  FTree->ReadEntry(sessionID, path, nullptr, request.RecordID.data());
  request.BeforeFirst = false;
  request.AfterLast = false;
  request.Result = grOK;
  if (FReader != nullptr && request.Buffer != nullptr) {
    TQELRecordRequest read;
    read.Mode = grmCurrent;
    read.RecordID = request.RecordID;
    read.Buffer = request.Buffer;
    FReader->GetRecord(sessionID, read);
    request.Result = read.Result;
  }
  if (cache != nullptr) {
    cache->Path = path;
    cache->IndexID = FIndexDef.ObjectID();
    cache->RecordID = request.RecordID;
    cache->Stamp = stamp;
  }
}

void TQELBTreeRecordIndex::GetRecordByIndex(std::int32_t sessionID, TQELRecordRequest& request,
                                            std::int64_t stamp, TQELIndexPositionCache* cache) {
  if (request.Mode == grmCurrent) {
    throw EQELException(20053, "Invalid get record mode for index: grmCurrent");
  }
  TQELBTreeCore& tree = Tree(20126);
  TQELKeyPath path;
  bool handled;
  bool found = StartAtEnd(sessionID, request, path, handled);
  if (!handled) {
    if (cache != nullptr && cache->Stamp != -1 && cache->Stamp == stamp &&
        cache->IndexID == FIndexDef.ObjectID() && SameRecordID(cache->RecordID, request.RecordID)) {
      path = cache->Path;
    } else if (request.Buffer == nullptr ||
               !FindRecordEntry(sessionID, request.RecordID, path, request.Buffer)) {
      request.Result = grError;
      return;
    }
    found = request.Mode == grmNext ? tree.Next(sessionID, path) : tree.Prior(sessionID, path);
  }
  FinishStep(sessionID, request, found, path, stamp, cache);
}

void TQELBTreeRecordIndex::GetRecordByKey(std::int32_t sessionID, TQELRecordRequest& request,
                                          std::int64_t stamp, TQELIndexPositionCache* cache) {
  if (request.Mode == grmCurrent) {
    throw EQELException(20053, "Invalid get record mode for index: grmCurrent");
  }
  TQELBTreeCore& tree = Tree(20127);
  TQELKeyPath path;
  bool handled;
  bool found = StartAtEnd(sessionID, request, path, handled);
  if (!handled) {
    if (request.Buffer == nullptr) throw EQELException(20045, "Pointer is nil");
    const TQELBTreeProbe probe = RecordProbe(request.Buffer, nullptr);
    if (request.Mode == grmNext) {
      found = tree.Seek(sessionID, probe, TQELBTreeBound::Upper, path);
    } else {
      tree.Seek(sessionID, probe, TQELBTreeBound::Lower, path);
      found = tree.Prior(sessionID, path);
    }
  }
  FinishStep(sessionID, request, found, path, stamp, cache);
}

// ---- Record numbers --------------------------------------------------------

std::int64_t TQELBTreeRecordIndex::GetRecNo(std::int32_t sessionID, const TQELRecordID& recordID,
                                            const std::uint8_t* record) {
  TQELKeyPath path;
  if (!FindRecordEntry(sessionID, recordID, path, record)) return -1;
  return FTree->CountBefore(sessionID, path) + 1;
}

void TQELBTreeRecordIndex::SetRecNo(std::int32_t sessionID, TQELRecordID& recordID,
                                    std::int64_t recNo) {
  TQELBTreeCore& tree = Tree(20293);
  TQELKeyPath path;
  if (!tree.First(sessionID, path)) {
    throw EQELException(20074, "Cannot retreive record from empty index");
  }
  if (!tree.Locate(sessionID, std::max<std::int64_t>(recNo, 1) - 1, path)) {
    throw EQELException(20113, "Cannot set RecNo greater than RecordCount");
  }
  tree.ReadEntry(sessionID, path, nullptr, recordID.data());
}

void TQELBTreeRecordIndex::GetRecordIDAtPath(std::int32_t sessionID, const TQELKeyPath& path,
                                             TQELRecordID& recordID) {
  TQELBTreeCore& tree = Tree(20293);
  if (path.Depth <= 0) throw EQELException(20107, "Index error: invalid position");
  std::int32_t pageNo = tree.RootPageNo();
  for (std::int32_t level = 0; level < path.Depth; ++level) {
    const std::int32_t entryNo = path.Levels[static_cast<std::size_t>(level)].EntryNo;
    TQELBTreePageHolder page = tree.Hold(sessionID, pageNo);
    if (entryNo < 0 || entryNo >= page->EntryCount() ||
        page->IsLeaf() != (level == path.Depth - 1)) {
      throw EQELException(20108, "Index error: invalid position");
    }
    if (page->IsLeaf()) {
      std::memcpy(recordID.data(), page->Ref(entryNo), kQELRecordIDSize);
      return;
    }
    pageNo = page->ChildPage(entryNo);
  }
}

std::int64_t TQELBTreeRecordIndex::PositionNumber(const TQELKeyPath& path) {
  return TQELBTreeCore::PositionNumber(path, MaxEntriesPerPage() + 1);
}

// Splits the number into base-F digits, most significant first, one per
// level; each digit less one is the entry index on that level.
bool TQELBTreeRecordIndex::RecordIDAtPositionNumber(std::int32_t sessionID, std::int64_t number,
                                                    TQELRecordID& recordID) {
  const std::int64_t base = MaxEntriesPerPage() + 1;
  TQELKeyPath path;
  std::array<std::int32_t, TQELKeyPath::kMaxDepth> digits{};
  std::int32_t count = 0;
  for (std::int64_t rest = number; rest > 0; rest /= base) {
    if (count == TQELKeyPath::kMaxDepth) return false;
    digits[static_cast<std::size_t>(count++)] = static_cast<std::int32_t>(rest % base);
  }
  for (std::int32_t i = 0; i < count; ++i) {
    const std::int32_t digit = digits[static_cast<std::size_t>(count - 1 - i)];
    if (digit == 0) return false;
    path.Levels[static_cast<std::size_t>(i)] = {-1, digit - 1, 0};
  }
  path.Depth = count;
  if (count == 0) return false;
  TQELBTreeCore& tree = Tree(20293);
  TQELKeyPath first;
  if (!tree.First(sessionID, first) || first.Depth != count) return false;
  try {
    GetRecordIDAtPath(sessionID, path, recordID);
  } catch (const EQELException&) {
    // A number from a bitmap built before the tree changed shape.
    return false;
  }
  return true;
}

std::int32_t TQELBTreeRecordIndex::MaxEntriesPerPage() {
  if (!FKeyRef) throw EQELException(20044, "Pointer is nil");
  return static_cast<std::int32_t>(FPageManager.DataSize()) / (FKeyRef->KeySize() + 4);
}

// ---- Keys ------------------------------------------------------------------

void TQELBTreeRecordIndex::InsertKey(std::int32_t sessionID, const std::uint8_t* record,
                                     const TQELRecordID& recordID) {
  if (record == nullptr) throw EQELException(20045, "Pointer is nil");
  TQELBTreeCore& tree = Tree(20121);
  RecordProbe(record, nullptr);
  tree.Insert(sessionID, FKey.data(), recordID.data(), FFullKey.data());
}

void TQELBTreeRecordIndex::DeleteKey(std::int32_t sessionID, const std::uint8_t* record,
                                     const TQELRecordID& recordID) {
  if (record == nullptr) throw EQELException(20045, "Pointer is nil");
  TQELBTreeCore& tree = Tree(20122);
  RecordProbe(record, nullptr);
  if (!tree.Delete(sessionID, FKey.data(), recordID.data(), FFullKey.data())) {
    throw EQELException(20027, "Index error: cannot delete entry. Entry not found");
  }
}

void TQELBTreeRecordIndex::UpdateKey(std::int32_t sessionID, const std::uint8_t* oldRecord,
                                     const std::uint8_t* newRecord, const TQELRecordID& recordID,
                                     bool removeOld) {
  if (oldRecord == nullptr || newRecord == nullptr) throw EQELException(20045, "Pointer is nil");
  if (CompareRecordKeys(oldRecord, newRecord, 0) == 0) return;
  TQELBTreeCore& tree = Tree(20123);
  if (removeOld) {
    RecordProbe(oldRecord, nullptr);
    if (!tree.Delete(sessionID, FKey.data(), recordID.data(), FFullKey.data())) {
      throw EQELException(20250, "Index error: cannot delete entry. Entry not found");
    }
  } else {
    RecordProbe(newRecord, nullptr);
    tree.Insert(sessionID, FKey.data(), recordID.data(), FFullKey.data());
  }
}

int TQELBTreeRecordIndex::CompareRecordKeys(const std::uint8_t* recordA,
                                            const std::uint8_t* recordB,
                                            std::int32_t keyFieldCount) {
  if (!FKeyRef) throw EQELException(20044, "Pointer is nil");
  FKeyRef->BuildFullKey(recordA, FFullKey.data());
  FKeyRef->BuildFullKey(recordB, FOtherFullKey.data());
  return FKeyRef->CompareFullKeys(FFullKey.data(), FOtherFullKey.data(), 0, keyFieldCount, -1);
}

bool TQELBTreeRecordIndex::IsUnique(std::int32_t sessionID, const std::uint8_t* record) {
  if (!FIndexDef.Primary && !FIndexDef.Unique) return true;
  if (record == nullptr) throw EQELException(20045, "Pointer is nil");
  TQELKeyPath path;
  return !Tree(20124).Find(sessionID, RecordProbe(record, nullptr), path);
}

bool TQELBTreeRecordIndex::IsUniqueOnUpdate(std::int32_t sessionID, const std::uint8_t* oldRecord,
                                            const std::uint8_t* newRecord) {
  if (CompareRecordKeys(oldRecord, newRecord, 0) == 0) return true;
  return IsUnique(sessionID, newRecord);
}

// ---- Ranges ----------------------------------------------------------------

std::int64_t TQELBTreeRecordIndex::EstimateRangeCount(std::int32_t sessionID,
                                                      const TQELIndexCondition* a,
                                                      const TQELIndexCondition* b,
                                                      std::int64_t recordCount) {
  if (a != nullptr && b != nullptr && ConditionOrder(*a) > ConditionOrder(*b)) std::swap(a, b);
  // A single condition bounds the range on its own side; an equality bounds
  // both.
  const TQELIndexCondition* lower = a;
  const TQELIndexCondition* upper = b;
  if (b == nullptr && a != nullptr) {
    const int order = ConditionOrder(*a);
    lower = order <= 0 ? a : nullptr;
    upper = order >= 0 ? a : nullptr;
  }
  TQELBTreeCore& tree = Tree(20125);
  TQELKeyPath first;
  TQELKeyPath last;
  const bool hasFirst = lower != nullptr ? LocateCondition(sessionID, *lower, true, first)
                                         : tree.First(sessionID, first);
  if (!hasFirst) return 0;
  if (const std::optional<std::int64_t> counted = CountShortRange(sessionID, first, lower, upper)) {
    return *counted;
  }
  const bool hasLast = upper != nullptr ? LocateCondition(sessionID, *upper, false, last)
                                        : tree.Last(sessionID, last);
  if (!hasLast) return 0;
  const double from = TQELBTreeCore::PositionFraction(first);
  const double to = TQELBTreeCore::PositionFraction(last);
  if (to < from) return 0;
  // Both bounds lie on entries, so the range holds at least one.
  const auto estimate =
      static_cast<std::int64_t>(std::llround((to - from) * static_cast<double>(recordCount))) + 1;
  return std::clamp<std::int64_t>(estimate, 0, std::max<std::int64_t>(recordCount, 0));
}

// A narrow range, as an equality or one value of an IN gives, is counted
// entry by entry from its first one (at `path`) against its upper bound,
// which spares the descent to its last entry; nothing when it holds more
// entries than that look takes.
std::optional<std::int64_t> TQELBTreeRecordIndex::CountShortRange(std::int32_t sessionID,
                                                                  TQELKeyPath path,
                                                                  const TQELIndexCondition* lower,
                                                                  const TQELIndexCondition* upper) {
  if (!EndToldByKeys(upper, upper == lower, true)) return std::nullopt;
  TQELBTreeCore& tree = Tree(20125);
  const TQELBTreeProbe probe = ConditionProbe(*upper);
  for (std::int64_t counted = 0; counted < kEntriesCheckedByKey; ++counted) {
    if (!EntryMeets(sessionID, path, probe, upper->ConditionType)) return counted;
    if (!tree.Next(sessionID, path)) return counted + 1;
  }
  return std::nullopt;
}

bool TQELBTreeRecordIndex::RangeScanNext(std::int32_t sessionID, bool first,
                                         TQELRangeScanState* state, TQELRecordID& recordID,
                                         const std::uint8_t* record,
                                         const TQELIndexCondition* endCondition,
                                         const TQELIndexCondition* startCondition, bool forward) {
  if (state == nullptr) throw EQELException(20077, "Pointer is nil");
  if (first && state->Started) throw EQELException(20078, "Index error: invalid params");
  TQELBTreeCore& tree = Tree(20125);
  const auto locateStart = [&](TQELKeyPath& path) {
    return startCondition != nullptr
               ? LocateCondition(sessionID, *startCondition, forward, path)
               : (forward ? tree.First(sessionID, path) : tree.Last(sessionID, path));
  };
  if (first || !state->Started) {
    if (!locateStart(state->Path)) return false;
    if (!first) {
      // Continue from the cursor's record when it lies inside the range,
      // else from just before the range's first entry.
      TQELKeyPath own;
      const bool inside = record != nullptr && FindRecordEntry(sessionID, recordID, own, record) &&
                          (forward ? CompareKeyPaths(&own, &state->Path) >= 0
                                   : CompareKeyPaths(&own, &state->Path) <= 0);
      if (inside) {
        state->Path = own;
      } else if (forward) {
        tree.Prior(sessionID, state->Path);
      } else {
        tree.Next(sessionID, state->Path);
      }
    }
  }
  const TQELIndexCondition* end = endCondition != nullptr ? endCondition : startCondition;
  if (!state->Started && !StartRangeEnd(sessionID, end, end == startCondition, forward, *state)) {
    return false;
  }
  if (!first) {
    const bool stepped =
        forward ? tree.Next(sessionID, state->Path) : tree.Prior(sessionID, state->Path);
    if (!stepped) return false;
  }
  if (!state->EndLocated && ++state->EntriesChecked > kEntriesCheckedByKey) {
    // A long range ends where the tree says, compared by path.
    state->EndLocated = true;
    if (!LocateEnd(sessionID, end, forward, state->EndPath)) return false;
  }
  if (state->EndLocated) {
    const int againstEnd = CompareKeyPaths(&state->Path, &state->EndPath);
    if (forward ? againstEnd > 0 : againstEnd < 0) return false;
    tree.ReadEntry(sessionID, state->Path, nullptr, recordID.data());
  } else if (!EntryWithinRangeEnd(sessionID, *state, recordID)) {
    return false;
  }
  state->Started = true;
  state->Forward = forward;
  return true;
}

// A range usually holds a few entries: while the scan reads its first ones
// their keys tell whether the range goes on, which spares a second descent
// of the tree to find where it ends. Any end whose entries need not lie
// together that way is located at once.
bool TQELBTreeRecordIndex::StartRangeEnd(std::int32_t sessionID, const TQELIndexCondition* end,
                                         bool endIsStart, bool forward,
                                         TQELRangeScanState& state) {
  state.EntriesChecked = 0;
  state.EndLocated = !EndToldByKeys(end, endIsStart, forward);
  if (state.EndLocated) return LocateEnd(sessionID, end, forward, state.EndPath);
  const TQELBTreeProbe probe = ConditionProbe(*end);
  state.EndType = end->ConditionType;
  state.EndKey.assign(probe.Key, probe.Key + FKey.size());
  state.EndFullKey.assign(probe.FullKey, probe.FullKey + FFullKey.size());
  state.EndFieldCount = probe.FieldCount;
  state.EndLength = probe.Length;
  return true;
}

bool TQELBTreeRecordIndex::EntryWithinRangeEnd(std::int32_t sessionID,
                                               const TQELRangeScanState& state,
                                               TQELRecordID& recordID) {
  const TQELBTreeProbe end{state.EndKey.data(), state.EndFullKey.data(), nullptr,
                           state.EndFieldCount, state.EndLength};
  if (!EntryMeets(sessionID, state.Path, end, state.EndType)) return false;
  std::memcpy(recordID.data(), FRef.data(), recordID.size());
  return true;
}

bool TQELBTreeRecordIndex::EntryMeets(std::int32_t sessionID, const TQELKeyPath& path,
                                      const TQELBTreeProbe& probe, TQELSearchConditionType type) {
  TQELBTreeCore& tree = Tree(20125);
  tree.ReadEntry(sessionID, path, FOtherKey.data(), FRef.data());
  return MeetsCondition(type, tree.CompareProbe(sessionID, probe, FOtherKey.data(), FRef.data()));
}

bool TQELBTreeRecordIndex::LocateEnd(std::int32_t sessionID, const TQELIndexCondition* end,
                                     bool forward, TQELKeyPath& path) {
  if (end != nullptr) return LocateCondition(sessionID, *end, !forward, path);
  TQELBTreeCore& tree = Tree(20125);
  return forward ? tree.Last(sessionID, path) : tree.First(sessionID, path);
}

void TQELBTreeRecordIndex::RemoveDuplicates(std::int32_t sessionID, TQELIndexPositionBits& bits,
                                            std::int32_t keyFieldCount) {
  TQELBTreeCore& tree = Tree(20125);
  const std::int64_t base = MaxEntriesPerPage() + 1;
  TQELKeyPath path;
  bool haveKept = false;
  std::vector<std::uint8_t> keptRef(kQELRecordIDSize);
  for (bool on = tree.First(sessionID, path); on; on = tree.Next(sessionID, path)) {
    const std::int64_t position = TQELBTreeCore::PositionNumber(path, base);
    if (!bits.GetBit(position)) continue;
    tree.ReadEntry(sessionID, path, FKey.data(), FRef.data());
    bool duplicate = false;
    if (haveKept) {
      std::int32_t tieColumn;
      int result =
          FKeyRef->CompareKeys(FOtherKey.data(), FKey.data(), keyFieldCount, -1, tieColumn);
      if (result == 0 && tieColumn >= 0) {
        result = FKeyRef->CompareRecords(sessionID, keptRef.data(), FRef.data(), tieColumn,
                                         keyFieldCount, -1);
      }
      duplicate = result == 0;
    }
    if (duplicate) {
      bits.SetBit(position, false);
    } else {
      haveKept = true;
      FOtherKey = FKey;
      std::memcpy(keptRef.data(), FRef.data(), kQELRecordIDSize);
    }
  }
}

}  // namespace qel
