// Scan search conditions: copying and keeping them, merging index
// conditions, and testing records against them.

#include "storage/QELScanSearchCondition.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/QELException.h"
#include "storage/QELBTreeRecordIndex.h"

namespace qel {

// ---- Conditions ------------------------------------------------------------

TQELScanSearchCondition::TQELScanSearchCondition(const TQELScanSearchCondition& other)
    : Expression(other.Expression),
      ConditionType(other.ConditionType),
      KeyFieldCount(other.KeyFieldCount),
      IndexID(other.IndexID),
      IndexOnly(other.IndexOnly),
      PartialKey(other.PartialKey),
      ExpressionNodes(other.ExpressionNodes),
      NodeValues(other.NodeValues) {
  SetKey(other.FKey, other.FKeySize, other.FKeyBorrowed);
}

TQELScanSearchCondition& TQELScanSearchCondition::operator=(const TQELScanSearchCondition& other) {
  if (this != &other) {
    TQELScanSearchCondition copy(other);
    *this = std::move(copy);
  }
  return *this;
}

TQELScanSearchCondition::TQELScanSearchCondition(TQELScanSearchCondition&& other) noexcept {
  *this = std::move(other);
}

TQELScanSearchCondition& TQELScanSearchCondition::operator=(
    TQELScanSearchCondition&& other) noexcept {
  if (this == &other) return *this;
  Expression = other.Expression;
  ConditionType = other.ConditionType;
  KeyFieldCount = other.KeyFieldCount;
  IndexID = other.IndexID;
  IndexOnly = other.IndexOnly;
  PartialKey = other.PartialKey;
  ExpressionNodes = std::move(other.ExpressionNodes);
  NodeValues = std::move(other.NodeValues);
  FKeySize = other.FKeySize;
  FKeyBorrowed = other.FKeyBorrowed;
  FOwnedKey = std::move(other.FOwnedKey);
  FKey = FKeyBorrowed ? other.FKey : (FOwnedKey.empty() ? nullptr : FOwnedKey.data());
  other.FKey = nullptr;
  other.FKeySize = 0;
  other.FKeyBorrowed = false;
  other.FOwnedKey.clear();
  return *this;
}

TQELScanSearchCondition TQELScanSearchCondition::ForIndex(
    std::int32_t indexID, TQELSearchConditionType type, const std::uint8_t* key,
    std::int32_t keySize, std::int32_t keyFieldCount, bool borrowKey) {
  TQELScanSearchCondition condition;
  condition.IndexID = indexID;
  condition.ConditionType = type;
  condition.KeyFieldCount = keyFieldCount;
  condition.SetKey(key, keySize, borrowKey);
  return condition;
}

TQELScanSearchCondition TQELScanSearchCondition::ForExpression(TQELRecordFilter* expression) {
  TQELScanSearchCondition condition;
  condition.Expression = expression;
  return condition;
}

bool TQELScanSearchCondition::IsValid() const {
  if (Expression != nullptr) return true;
  if (IndexID < 0 || ConditionType > sctGreaterOrEqual) return false;
  return ConditionType == sctNone || FKey != nullptr;
}

void TQELScanSearchCondition::SetKey(const std::uint8_t* key, std::int32_t keySize, bool borrow) {
  keySize = std::max(keySize, 0);
  // A borrowed key may come without its size (a cursor's range keys are
  // whole memory records); a copy needs one, and a copy of no bytes holds
  // no value to compare with.
  if (key == nullptr || (!borrow && keySize == 0)) {
    FOwnedKey.clear();
    FKey = nullptr;
    FKeySize = 0;
    FKeyBorrowed = false;
    return;
  }
  if (borrow) {
    FOwnedKey.clear();
    FKey = key;
  } else {
    // `key` may point into the buffer being replaced: copy before assigning.
    std::vector<std::uint8_t> copy(key, key + keySize);
    FOwnedKey = std::move(copy);
    FKey = FOwnedKey.data();
  }
  FKeySize = keySize;
  FKeyBorrowed = borrow;
}

// ---- Arrays ----------------------------------------------------------------

TQELScanSearchConditionArray::TQELScanSearchConditionArray(
    const TQELScanSearchConditionArray& other) {
  FItems.reserve(other.FItems.size());
  for (const auto& item : other.FItems) {
    FItems.push_back(item ? std::make_unique<TQELScanSearchCondition>(*item) : nullptr);
  }
}

TQELScanSearchConditionArray& TQELScanSearchConditionArray::operator=(
    const TQELScanSearchConditionArray& other) {
  if (this != &other) {
    TQELScanSearchConditionArray copy(other);
    *this = std::move(copy);
  }
  return *this;
}

std::int32_t TQELScanSearchConditionArray::Append(
    std::unique_ptr<TQELScanSearchCondition> condition) {
  if (!condition->IsValid()) {
    throw EQELException(10388, "Invalid scan condition - indexID = %d, count = %d",
                        {condition->IndexID, Count()});
  }
  FItems.push_back(std::move(condition));
  return Count() - 1;
}

std::int32_t TQELScanSearchConditionArray::Add(const TQELScanSearchCondition& condition) {
  return Append(std::make_unique<TQELScanSearchCondition>(condition));
}

std::int32_t TQELScanSearchConditionArray::Add(TQELScanSearchCondition&& condition) {
  return Append(std::make_unique<TQELScanSearchCondition>(std::move(condition)));
}

std::int32_t TQELScanSearchConditionArray::AddExpression(TQELRecordFilter* expression) {
  return Add(TQELScanSearchCondition::ForExpression(expression));
}

void TQELScanSearchConditionArray::Delete(std::int32_t index) {
  if (index < 0 || index >= Count()) {
    throw EQELException(10413, "Invalid item number - ItemNo = %d, ItemCount = %d",
                        {index, Count()});
  }
  if (!FItems[static_cast<std::size_t>(index)]) throw EQELException(10414, "Nil pointer occured");
  FItems.erase(FItems.begin() + index);
}

std::int32_t TQELScanSearchConditionArray::IndexConditionCount() const {
  return static_cast<std::int32_t>(std::count_if(
      FItems.begin(), FItems.end(), [](const auto& item) { return item->IsIndexCondition(); }));
}

void TQELScanSearchConditionArray::DropUnusedIndexConditions(std::int32_t& first,
                                                             std::int32_t& second) {
  std::int32_t newFirst = -1;
  std::int32_t newSecond = -1;
  std::vector<std::unique_ptr<TQELScanSearchCondition>> kept;
  for (std::int32_t i = 0; i < Count(); ++i) {
    auto& item = FItems[static_cast<std::size_t>(i)];
    const bool chosen = i == first || i == second;
    if (!chosen && item->IsIndexCondition() && item->IndexOnly) continue;
    if (i == first) newFirst = static_cast<std::int32_t>(kept.size());
    if (i == second) newSecond = static_cast<std::int32_t>(kept.size());
    kept.push_back(std::move(item));
  }
  FItems = std::move(kept);
  first = newFirst;
  second = newSecond;
}

// ---- Merging ---------------------------------------------------------------

namespace {

// The number of key fields a condition constrains on an index of
// `columnCount` columns.
std::int32_t EffectiveFieldCount(const TQELScanSearchCondition& condition,
                                 std::int32_t columnCount) {
  const std::int32_t count = condition.KeyFieldCount;
  return count <= 0 || count > columnCount ? columnCount : count;
}

// What becomes of a kept condition P and a new condition Q on one index.
enum TMergeOutcome : std::uint8_t {
  moKeepP,
  moKeepQ,
  moFewer,      // the one with fewer key fields, P on a tie
  moMore,       // the one with more key fields, P on a tie
  moMoreEqual,  // the one with more key fields, turned into '='
  moBoth,
  moEmpty,
};

// The merge table. rc compares P's key with Q's key over the smaller field
// count; fp and fq are the two field counts. Where a tie of field counts
// decides between "empty" or "one of them" and "both", the tie goes to the
// stronger answer: with equal counts the bounds meet on the same key.
TMergeOutcome MergeOutcome(TQELSearchConditionType p, TQELSearchConditionType q, int rc,
                           std::int32_t fp, std::int32_t fq) {
  switch (p) {
    case sctEqual:
      switch (q) {
        case sctEqual: return rc == 0 ? moMore : moEmpty;
        case sctLess: return rc < 0 ? moKeepP : moEmpty;
        case sctGreater: return rc > 0 ? moKeepP : moEmpty;
        case sctLessOrEqual:
          return rc < 0 ? moKeepP : rc > 0 ? moEmpty : fp >= fq ? moKeepP : moBoth;
        case sctGreaterOrEqual:
          return rc > 0 ? moKeepP : rc < 0 ? moEmpty : fp >= fq ? moKeepP : moBoth;
        default: break;
      }
      break;
    case sctLess:
      switch (q) {
        case sctEqual: return rc > 0 ? moKeepQ : moEmpty;
        case sctLess: return rc < 0 ? moKeepP : rc == 0 ? moFewer : moKeepQ;
        case sctGreater: return rc > 0 ? moBoth : moEmpty;
        case sctLessOrEqual: return rc <= 0 ? moKeepP : moKeepQ;
        case sctGreaterOrEqual:
          return rc < 0 ? moEmpty : rc > 0 ? moBoth : fp <= fq ? moEmpty : moBoth;
        default: break;
      }
      break;
    case sctGreater:
      switch (q) {
        case sctEqual: return rc < 0 ? moKeepQ : moEmpty;
        case sctLess: return rc < 0 ? moBoth : moEmpty;
        case sctGreater: return rc > 0 ? moKeepP : rc < 0 ? moKeepQ : moFewer;
        case sctLessOrEqual:
          return rc > 0 ? moEmpty : rc < 0 ? moBoth : fp <= fq ? moEmpty : moBoth;
        case sctGreaterOrEqual: return rc >= 0 ? moKeepP : moKeepQ;
        default: break;
      }
      break;
    case sctLessOrEqual:
      switch (q) {
        case sctEqual: return rc < 0 ? moEmpty : rc > 0 ? moKeepQ : fq >= fp ? moKeepQ : moBoth;
        case sctLess: return rc < 0 ? moKeepP : rc > 0 ? moKeepQ : moBoth;
        case sctGreater: return rc < 0 ? moEmpty : rc > 0 ? moBoth : fq <= fp ? moEmpty : moBoth;
        case sctLessOrEqual: return rc < 0 ? moKeepP : rc == 0 ? moMore : moKeepQ;
        case sctGreaterOrEqual:
          return rc < 0 ? moEmpty : rc == 0 && fp == fq ? moMoreEqual : moBoth;
        default: break;
      }
      break;
    case sctGreaterOrEqual:
      switch (q) {
        case sctEqual: return rc > 0 ? moEmpty : rc < 0 ? moKeepQ : fq >= fp ? moKeepQ : moBoth;
        case sctLess: return rc > 0 ? moEmpty : rc < 0 ? moBoth : fq <= fp ? moEmpty : moBoth;
        case sctGreater: return rc <= 0 ? moKeepQ : moKeepP;
        case sctLessOrEqual:
          return rc > 0 ? moEmpty : rc == 0 && fp == fq ? moMoreEqual : moBoth;
        case sctGreaterOrEqual: return rc > 0 ? moKeepP : rc < 0 ? moKeepQ : moMore;
        default: break;
      }
      break;
    default:
      break;
  }
  return moBoth;
}

bool IsStrictBound(TQELSearchConditionType type) { return type == sctLess || type == sctGreater; }

// Compares the record's key with the condition's key the way an index
// search does: over the condition's key fields and, for a partial key, over
// only as many characters as the search value has.
int CompareWithCondition(TQELIndex& index, const std::uint8_t* record,
                         const TQELScanSearchCondition& condition) {
  auto* btree = condition.PartialKey ? dynamic_cast<TQELBTreeRecordIndex*>(&index) : nullptr;
  const TQELRecordKeyRef* keyRef = btree != nullptr ? btree->KeyRef() : nullptr;
  if (keyRef == nullptr || keyRef->ColumnCount() == 0) {
    return index.CompareRecordKeys(record, condition.Key(), condition.KeyFieldCount);
  }
  const std::int32_t fieldCount = EffectiveFieldCount(condition, keyRef->ColumnCount());
  const TQELRecordKeyColumn& last = keyRef->Column(fieldCount - 1);
  const std::uint8_t* value = condition.Key() + last.MemoryOffset;
  std::int32_t length = -1;
  if (IsWideStringBaseType(last.FieldType)) {
    length = 0;
    while ((length + 1) * 2 <= last.FullKeySize && (value[length * 2] | value[length * 2 + 1]) != 0)
      ++length;
  } else if (IsStringBaseType(last.FieldType)) {
    const void* zero = std::memchr(value, 0, static_cast<std::size_t>(last.FullKeySize));
    length = zero != nullptr ? static_cast<std::int32_t>(static_cast<const std::uint8_t*>(zero) -
                                                         value)
                             : last.FullKeySize;
  }
  std::vector<std::uint8_t> recordKey(static_cast<std::size_t>(keyRef->FullKeySize()));
  std::vector<std::uint8_t> searchKey(recordKey.size());
  keyRef->BuildFullKey(record, recordKey.data());
  keyRef->BuildFullKey(condition.Key(), searchKey.data());
  return keyRef->CompareFullKeys(recordKey.data(), searchKey.data(), 0, fieldCount, length);
}

}  // namespace

bool ShouldMerge(const TQELScanSearchCondition& a, const TQELScanSearchCondition& b) {
  if (a.ConditionType == sctNone || b.ConditionType == sctNone) return false;
  if (a.PartialKey || b.PartialKey) return false;
  // Key field counts of 0 mean all columns; any real count is smaller.
  const auto fields = [](const TQELScanSearchCondition& c) {
    return c.KeyFieldCount <= 0 ? INT32_MAX : c.KeyFieldCount;
  };
  if (a.ConditionType == sctEqual && IsStrictBound(b.ConditionType)) return fields(a) >= fields(b);
  if (b.ConditionType == sctEqual && IsStrictBound(a.ConditionType)) return fields(b) >= fields(a);
  return true;
}

TQELMergeResult MergeScanConditions(TQELIndex& index, TQELScanSearchCondition& kept,
                                    const TQELScanSearchCondition& added) {
  const std::int32_t columns = index.IndexDef().ColumnCount();
  const std::int32_t fp = EffectiveFieldCount(kept, columns);
  const std::int32_t fq = EffectiveFieldCount(added, columns);
  const int rc = index.CompareRecordKeys(kept.Key(), added.Key(), std::min(fp, fq));
  switch (MergeOutcome(kept.ConditionType, added.ConditionType, rc, fp, fq)) {
    case moKeepP:
      return TQELMergeResult::Merged;
    case moKeepQ:
      kept = added;
      return TQELMergeResult::Merged;
    case moFewer:
      if (fq < fp) kept = added;
      return TQELMergeResult::Merged;
    case moMore:
      if (fq > fp) kept = added;
      return TQELMergeResult::Merged;
    case moMoreEqual:
      if (fq > fp) kept = added;
      kept.ConditionType = sctEqual;
      return TQELMergeResult::Merged;
    case moEmpty:
      return TQELMergeResult::Empty;
    case moBoth:
      break;
  }
  return TQELMergeResult::Both;
}

bool SimplifyScanSearchConditions(TQELScanSearchConditionArray& conditions,
                                  const TQELIndexLookup& getIndex) {
  struct TGroup {
    std::int32_t IndexID;
    TQELIndex* Index;
    std::vector<TQELScanSearchCondition> Kept;
  };
  std::vector<TGroup> groups;
  for (std::int32_t i = 0; i < conditions.Count(); ++i) {
    const TQELScanSearchCondition& added = conditions[i];
    if (!added.IsIndexCondition()) continue;
    auto group = std::find_if(groups.begin(), groups.end(),
                              [&](const TGroup& g) { return g.IndexID == added.IndexID; });
    if (group == groups.end()) {
      groups.push_back({added.IndexID, &getIndex(added.IndexID), {}});
      group = groups.end() - 1;
    }
    bool merged = false;
    for (TQELScanSearchCondition& kept : group->Kept) {
      if (!ShouldMerge(kept, added)) continue;
      const TQELMergeResult result = MergeScanConditions(*group->Index, kept, added);
      if (result == TQELMergeResult::Empty) return false;
      if (result == TQELMergeResult::Merged) {
        merged = true;
        break;
      }
    }
    if (!merged) group->Kept.push_back(added);
  }

  TQELScanSearchConditionArray simplified;
  for (TGroup& group : groups) {
    for (TQELScanSearchCondition& condition : group.Kept) simplified.Add(std::move(condition));
  }
  // Duplicates: the first of equal conditions stays.
  for (std::int32_t i = simplified.Count() - 1; i > 0 && simplified.Count() > 1; --i) {
    const TQELScanSearchCondition& later = simplified[i];
    if (later.ConditionType == sctNone) continue;
    TQELIndex& index = getIndex(later.IndexID);
    const std::int32_t columns = index.IndexDef().ColumnCount();
    for (std::int32_t j = 0; j < i; ++j) {
      const TQELScanSearchCondition& earlier = simplified[j];
      if (earlier.IndexID != later.IndexID || earlier.ConditionType != later.ConditionType ||
          earlier.PartialKey != later.PartialKey ||
          EffectiveFieldCount(earlier, columns) != EffectiveFieldCount(later, columns)) {
        continue;
      }
      if (index.CompareRecordKeys(earlier.Key(), later.Key(), later.KeyFieldCount) == 0) {
        simplified.Delete(i);
        break;
      }
    }
  }
  for (std::int32_t i = 0; i < conditions.Count(); ++i) {
    if (!conditions[i].IsIndexCondition()) simplified.Add(conditions[i]);
  }
  conditions = std::move(simplified);
  return true;
}

// ---- Testing records -------------------------------------------------------

bool RecordMatchesIndexCondition(TQELIndex& index, const std::uint8_t* record,
                                 const TQELScanSearchCondition& condition) {
  if (condition.ConditionType == sctNone) return true;
  const int rc = CompareWithCondition(index, record, condition);
  switch (condition.ConditionType) {
    case sctEqual: return rc == 0;
    case sctLess: return rc < 0;
    case sctGreater: return rc > 0;
    case sctLessOrEqual: return rc <= 0;
    case sctGreaterOrEqual: return rc >= 0;
    default: return false;
  }
}

bool RecordMatchesConditions(const TQELScanSearchConditionArray& conditions,
                             const std::uint8_t* record, const TQELIndexLookup& getIndex,
                             std::int32_t skipFirst, std::int32_t skipSecond) {
  for (std::int32_t i = 0; i < conditions.Count(); ++i) {
    if (i == skipFirst || i == skipSecond) continue;
    const TQELScanSearchCondition& condition = conditions[i];
    if (condition.IsExpression()) {
      if (!condition.Expression->Matches(record)) return false;
    } else if (condition.IsIndexCondition()) {
      if (!RecordMatchesIndexCondition(getIndex(condition.IndexID), record, condition)) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace qel
