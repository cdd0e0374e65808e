#include "storage/QELIndex.h"

#include "platform/QELException.h"

namespace qel {

void TQELIndex::CreateIndex(std::int32_t, const TQELIndexDef& indexDef, bool) {
  FIndexDef = indexDef;
}

void TQELIndex::OpenIndex(const TQELIndexDef& indexDef) { FIndexDef = indexDef; }

std::unique_ptr<TQELKeyPath> TQELIndex::CreateKeyPath() { return std::make_unique<TQELKeyPath>(); }

void TQELIndex::FreeKeyPath(std::unique_ptr<TQELKeyPath>& path) { path.reset(); }

int TQELIndex::CompareKeyPaths(const TQELKeyPath* a, const TQELKeyPath* b) {
  if (a == nullptr) throw EQELException(10384, "Nil pointer occured");
  if (b == nullptr) throw EQELException(10385, "Nil pointer occured");
  if (a->Depth != b->Depth) throw EQELException(20052, "Invalid index key path");
  for (std::int32_t i = 0; i < a->Depth; ++i) {
    const TQELKeyPathLevel& levelA = a->Levels[static_cast<std::size_t>(i)];
    const TQELKeyPathLevel& levelB = b->Levels[static_cast<std::size_t>(i)];
    if (levelA.PageNo != levelB.PageNo) throw EQELException(20051, "Invalid index key path");
    if (levelA.EntryNo != levelB.EntryNo) return levelA.EntryNo < levelB.EntryNo ? -1 : 1;
  }
  return 0;
}

std::unique_ptr<TQELRangeScanState> TQELIndex::CreateRangeScan() {
  return std::make_unique<TQELRangeScanState>();
}

void TQELIndex::FreeRangeScan(std::unique_ptr<TQELRangeScanState>& state) { state.reset(); }

int TQELIndex::ConditionOrder(const TQELIndexCondition& condition) {
  switch (condition.ConditionType) {
    case sctGreater:
    case sctGreaterOrEqual:
      return -1;
    case sctLess:
    case sctLessOrEqual:
      return 1;
    default:
      return 0;
  }
}

}  // namespace qel
