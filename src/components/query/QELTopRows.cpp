#include "components/query/QELTopRows.h"

#include <algorithm>
#include <cstring>

namespace qel {

TQELTopRows::TQELTopRows(const TQELFieldDefs& fieldDefs, const std::vector<std::string>& fieldNames,
                         const std::vector<std::string>& directions, const std::vector<std::string>& cases,
                         std::int64_t count)
    : FCount(std::max<std::int64_t>(count, 0)) {
  FIndexDef.SetColumnsFromLists(fieldNames, directions, cases);
  FKeyRef = std::make_unique<TQELRecordKeyRef>(FIndexDef, fieldDefs, nullptr);
  FKeySize = static_cast<std::size_t>(FKeyRef->KeySize());
  FFullKeySize = static_cast<std::size_t>(FKeyRef->FullKeySize());
  FStride = FKeySize + FFullKeySize + kQELRecordIDSize;
  FCandidate.resize(FStride);
}

// As the index compares: the keys, whose string columns may be cut to a
// prefix, then the full values from a column whose prefixes tie, then the
// record ids. (A prefix does not always order as its whole value does, so
// the full values alone could give another order.)
int TQELTopRows::Compare(const std::uint8_t* a, const std::uint8_t* b) const {
  std::int32_t tieColumn = -1;
  int result = FKeyRef->CompareKeys(a, b, 0, -1, tieColumn);
  if (result == 0 && tieColumn >= 0) {
    result = FKeyRef->CompareFullKeys(a + FKeySize, b + FKeySize, tieColumn, 0, -1);
  }
  if (result != 0) return result;
  const std::size_t ref = FKeySize + FFullKeySize;
  return FKeyRef->CompareRefs(a + ref, b + ref);
}

void TQELTopRows::Offer(const std::uint8_t* record, const TQELRecordID& recordID) {
  if (FCount == 0) return;
  FKeyRef->BuildKey(record, FCandidate.data());
  FKeyRef->BuildFullKey(record, FCandidate.data() + FKeySize);
  std::memcpy(FCandidate.data() + FKeySize + FFullKeySize, recordID.data(), kQELRecordIDSize);
  const auto before = [this](std::uint32_t a, std::uint32_t b) { return Before(a, b); };
  if (static_cast<std::int64_t>(FHeap.size()) < FCount) {
    const auto slot = static_cast<std::uint32_t>(FHeap.size());
    FEntries.insert(FEntries.end(), FCandidate.begin(), FCandidate.end());
    FHeap.push_back(slot);
    std::push_heap(FHeap.begin(), FHeap.end(), before);
    return;
  }
  // Full: the candidate replaces the last row kept when it comes first.
  if (Compare(FCandidate.data(), Slot(FHeap.front())) >= 0) return;
  std::pop_heap(FHeap.begin(), FHeap.end(), before);
  std::memcpy(Slot(FHeap.back()), FCandidate.data(), FStride);
  std::push_heap(FHeap.begin(), FHeap.end(), before);
}

std::vector<TQELRecordID> TQELTopRows::TakeInOrder() {
  std::sort_heap(FHeap.begin(), FHeap.end(), [this](std::uint32_t a, std::uint32_t b) { return Before(a, b); });
  std::vector<TQELRecordID> ids(FHeap.size());
  for (std::size_t i = 0; i < FHeap.size(); ++i) {
    std::memcpy(ids[i].data(), Slot(FHeap[i]) + FKeySize + FFullKeySize, kQELRecordIDSize);
  }
  FHeap.clear();
  FEntries.clear();
  return ids;
}

}  // namespace qel
