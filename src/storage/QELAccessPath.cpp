// The access-path choice: the unique shortcut, the active index, and the
// cost model against a plain scan.

#include "storage/QELAccessPath.h"

#include <algorithm>
#include <utility>

#include "storage/QELFieldTypes.h"

namespace qel {

namespace {

// An index condition that bounds something (a condition of no type
// constrains no key and cannot position a scan).
bool IsBound(const TQELScanSearchCondition& condition) {
  return condition.IsIndexCondition() && condition.ConditionType != sctNone;
}

// A '=' on this index finds at most one record: the index has one column
// and is primary or unique, or its column is an autoincrement field.
bool HasUniqueKey(const TQELIndexDef& def, const TQELFieldDefs* fieldDefs) {
  if (def.ColumnCount() != 1) return false;
  if (def.Primary || def.Unique) return true;
  if (fieldDefs == nullptr) return false;
  const TQELFieldDef* field = fieldDefs->FindField(def.Columns(0).FieldName);
  return field != nullptr && IsAutoincAdvancedType(field->AdvancedFieldType());
}

TQELAccessPath ChooseConditions(const TQELAccessPathInputs& inputs,
                                const TQELScanSearchConditionArray& conditions) {
  const std::int32_t count = conditions.Count();
  for (std::int32_t i = 0; i < count; ++i) {
    const TQELScanSearchCondition& condition = conditions[i];
    if (!IsBound(condition) || condition.ConditionType != sctEqual) continue;
    // A lone '=' for a search from the start is taken without pricing it:
    // estimating its range costs two descents of the index, more than the
    // lookup it would price. (From a cursor near the end a short scan may
    // still be cheaper, which the model below decides.)
    const bool lone = conditions.IndexConditionCount() == 1 && inputs.RecordsBefore == 0;
    if (lone || HasUniqueKey(inputs.GetIndex(condition.IndexID).IndexDef(), inputs.FieldDefs)) {
      return {i, -1};
    }
  }

  // One or both bounds of a range on the active index, and no other index
  // condition: the walk goes along that index anyway, so no estimate can
  // find a cheaper way.
  if (inputs.ActiveIndexID >= 0 && conditions.IndexConditionCount() <= 2) {
    TQELAccessPath onActive;
    bool onlyActive = true;
    for (std::int32_t i = 0; i < count && onlyActive; ++i) {
      if (!conditions[i].IsIndexCondition()) continue;
      onlyActive = IsBound(conditions[i]) && conditions[i].IndexID == inputs.ActiveIndexID;
      (onActive.First < 0 ? onActive.First : onActive.Second) = i;
    }
    if (onlyActive && onActive.UsesIndex()) return onActive;
  }

  // Costs in pages; an unknown page size counts bytes instead.
  const double pageSize = inputs.PageDataSize > 0 ? inputs.PageDataSize : 1.0;
  const double recordSize = inputs.DiskRecordSize;
  double bestCost = static_cast<double>(inputs.RecordCount);
  TQELAccessPath best;
  for (std::int32_t i = 0; i < count; ++i) {
    const TQELScanSearchCondition& condition = conditions[i];
    if (!IsBound(condition)) continue;
    // The next condition on the same index makes the other bound of a range.
    const bool paired = i + 1 < count && IsBound(conditions[i + 1]) &&
                        conditions[i + 1].IndexID == condition.IndexID;
    const std::int32_t second = paired ? i + 1 : -1;
    TQELIndex& index = inputs.GetIndex(condition.IndexID);
    const TQELIndexCondition lower = condition.AsIndexCondition();
    TQELIndexCondition upper;
    if (second >= 0) upper = conditions[second].AsIndexCondition();
    const double n = static_cast<double>(index.EstimateRangeCount(
        inputs.SessionID, &lower, second >= 0 ? &upper : nullptr, inputs.RecordCount));
    const double entrySize = index.KeySize() + kQELRecordIDSize;
    // Conditions that remain to be tested on each record read; unchosen
    // IndexOnly conditions are dropped, so they do not count.
    bool othersToTest = false;
    for (std::int32_t k = 0; k < count && !othersToTest; ++k) {
      if (k == i || k == second) continue;
      othersToTest = !(conditions[k].IsIndexCondition() && conditions[k].IndexOnly);
    }
    const bool otherIndex = condition.IndexID != inputs.ActiveIndexID;
    double cost = n * entrySize / pageSize;
    if (othersToTest || inputs.HasFilterCallback || otherIndex) cost += n * recordSize / pageSize;
    if (inputs.ActiveIndexID >= 0 && otherIndex) cost += n * entrySize / pageSize;
    if (cost < bestCost) {
      bestCost = cost;
      best = {i, second};
    }
  }

  if (best.UsesIndex() && inputs.PageDataSize != 0) {
    const double remaining =
        static_cast<double>(std::max<std::int64_t>(inputs.RecordCount - inputs.RecordsBefore, 0));
    const double scanCost =
        inputs.ActiveIndexID < 0 ? remaining * recordSize / pageSize : remaining;
    if (scanCost < bestCost) return {};
  }
  return best;
}

}  // namespace

TQELAccessPath ChooseAccessPath(const TQELAccessPathInputs& inputs) {
  if (inputs.Conditions == nullptr) return {};
  TQELScanSearchConditionArray& conditions = *inputs.Conditions;
  TQELAccessPath path = ChooseConditions(inputs, conditions);
  if (path.Second >= 0) {
    // The bound the index orders first is the lower one; a backward scan
    // starts from the other.
    TQELIndex& index = inputs.GetIndex(conditions[path.First].IndexID);
    if (index.ConditionOrder(conditions[path.First].AsIndexCondition()) >
        index.ConditionOrder(conditions[path.Second].AsIndexCondition())) {
      std::swap(path.First, path.Second);
    }
    if (!inputs.Forward) std::swap(path.First, path.Second);
  }
  conditions.DropUnusedIndexConditions(path.First, path.Second);
  return path;
}

}  // namespace qel
