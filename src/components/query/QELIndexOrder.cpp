#include "components/query/QELIndexOrder.h"

#include <algorithm>
#include <cstring>

namespace qel {

// ---- TQELIndexOrder

TQELIndexOrder::TQELIndexOrder(const TQELFieldDefs& fieldDefs, const std::vector<std::string>& fieldNames,
                               const std::vector<std::string>& directions, const std::vector<std::string>& cases) {
  FIndexDef.SetColumnsFromLists(fieldNames, directions, cases);
  FKeyRef = std::make_unique<TQELRecordKeyRef>(FIndexDef, fieldDefs, nullptr);
  FKeySize = static_cast<std::size_t>(FKeyRef->KeySize());
  FRefOffset = FKeySize + static_cast<std::size_t>(FKeyRef->FullKeySize());
  if (FKeyRef->ColumnCount() > 0) {
    switch (FKeyRef->Column(0).FieldType) {
      case bftShortint:
      case bftSmallint:
      case bftInteger:
      case bftDate:
      case bftTime:
      case bftLargeint:
      case bftByte:
      case bftWord:
      case bftCardinal:
        FRanked = true;
        break;
      default:
        break;
    }
  }
}

void TQELIndexOrder::BuildEntry(const std::uint8_t* record, const TQELRecordID& recordID,
                                std::uint8_t* entry) const {
  FKeyRef->BuildKey(record, entry);
  FKeyRef->BuildFullKey(record, entry + FKeySize);
  std::memcpy(entry + FRefOffset, recordID.data(), kQELRecordIDSize);
}

// As the index compares: the keys, whose string columns may be cut to a
// prefix, then the full values from a column whose prefixes tie, then the
// record ids. (Under the collation a prefix does not always order as its
// whole value does, so the full values alone could give another order.)
int TQELIndexOrder::Compare(const std::uint8_t* a, const std::uint8_t* b) const {
  std::int32_t tieColumn = -1;
  int result = FKeyRef->CompareKeys(a, b, 0, -1, tieColumn);
  if (result == 0 && tieColumn >= 0) {
    result = FKeyRef->CompareFullKeys(a + FKeySize, b + FKeySize, tieColumn, 0, -1);
  }
  if (result != 0) return result;
  return FKeyRef->CompareRefs(a + FRefOffset, b + FRefOffset);
}

namespace {

template <class T>
std::int64_t LoadInteger(const std::uint8_t* value) {
  T loaded;
  std::memcpy(&loaded, value, sizeof loaded);
  return static_cast<std::int64_t>(loaded);
}

}  // namespace

// NULL ranks 0, a value 1 and more: integers of up to 32 bits shifted to
// start at 0, 64-bit ones halved, so that 1 more never overflows. A
// descending column turns the ranks round, its NULLs coming last as the
// index has them.
std::uint64_t TQELIndexOrder::Rank(const std::uint8_t* entry) const {
  if (!FRanked) return 0;
  const TQELRecordKeyColumn& column = FKeyRef->Column(0);
  const std::uint8_t* slot = entry + FKeySize + column.FullKeyOffset;
  std::uint64_t rank = 0;
  if (slot[0] == 0) {
    const std::uint8_t* value = slot + 1;
    constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
    switch (column.FieldType) {
      case bftShortint: rank = static_cast<std::uint64_t>(LoadInteger<std::int8_t>(value) + 0x80) + 1; break;
      case bftSmallint: rank = static_cast<std::uint64_t>(LoadInteger<std::int16_t>(value) + 0x8000) + 1; break;
      case bftByte: rank = static_cast<std::uint64_t>(LoadInteger<std::uint8_t>(value)) + 1; break;
      case bftWord: rank = static_cast<std::uint64_t>(LoadInteger<std::uint16_t>(value)) + 1; break;
      case bftCardinal: rank = static_cast<std::uint64_t>(LoadInteger<std::uint32_t>(value)) + 1; break;
      case bftLargeint:
        rank = ((static_cast<std::uint64_t>(LoadInteger<std::int64_t>(value)) ^ kSignBit) >> 1) + 1;
        break;
      default:  // the 32-bit signed kinds
        rank = static_cast<std::uint64_t>(LoadInteger<std::int32_t>(value) + 0x80000000LL) + 1;
        break;
    }
  }
  return column.Descending ? ~rank : rank;
}

TQELRecordID TQELIndexOrder::RecordIDOf(const std::uint8_t* entry) const {
  TQELRecordID recordID;
  std::memcpy(recordID.data(), entry + FRefOffset, kQELRecordIDSize);
  return recordID;
}

// ---- TQELTopRows

TQELTopRows::TQELTopRows(std::unique_ptr<TQELIndexOrder> order, std::int64_t count)
    : FOrder(std::move(order)), FStride(FOrder->EntrySize()), FCount(std::max<std::int64_t>(count, 0)) {
  FCandidate.resize(FStride);
}

void TQELTopRows::Offer(const std::uint8_t* record, const TQELRecordID& recordID) {
  if (FCount == 0) return;
  FOrder->BuildEntry(record, recordID, FCandidate.data());
  const auto before = [this](std::uint32_t a, std::uint32_t b) { return Before(a, b); };
  if (static_cast<std::int64_t>(FHeap.size()) < FCount) {
    const auto slot = static_cast<std::uint32_t>(FHeap.size());
    FEntries.insert(FEntries.end(), FCandidate.begin(), FCandidate.end());
    FHeap.push_back(slot);
    std::push_heap(FHeap.begin(), FHeap.end(), before);
    return;
  }
  // Full: the candidate replaces the last row kept when it comes first.
  if (FOrder->Compare(FCandidate.data(), Entry(FHeap.front())) >= 0) return;
  std::pop_heap(FHeap.begin(), FHeap.end(), before);
  std::memcpy(Entry(FHeap.back()), FCandidate.data(), FStride);
  std::push_heap(FHeap.begin(), FHeap.end(), before);
}

std::vector<TQELRecordID> TQELTopRows::TakeInOrder() {
  std::sort_heap(FHeap.begin(), FHeap.end(), [this](std::uint32_t a, std::uint32_t b) { return Before(a, b); });
  std::vector<TQELRecordID> ids;
  ids.reserve(FHeap.size());
  for (const std::uint32_t slot : FHeap) ids.push_back(FOrder->RecordIDOf(Entry(slot)));
  FHeap.clear();
  FEntries.clear();
  return ids;
}

// ---- TQELSortedRecords

TQELSortedRecords::TQELSortedRecords(std::unique_ptr<TQELIndexOrder> order, std::size_t recordSize,
                                     std::size_t byteLimit)
    : FOrder(std::move(order)),
      FEntrySize(FOrder->EntrySize()),
      FRecordSize(recordSize),
      FStride(FEntrySize + recordSize),
      FByteLimit(byteLimit) {}

bool TQELSortedRecords::Add(const std::uint8_t* record, const TQELRecordID& recordID) {
  if (FRows.size() + FStride > FByteLimit || FSorted.size() >= UINT32_MAX) return false;
  const std::size_t at = FRows.size();
  FRows.resize(at + FStride);
  FOrder->BuildEntry(record, recordID, FRows.data() + at);
  std::memcpy(FRows.data() + at + FEntrySize, record, FRecordSize);
  FSorted.emplace_back(FOrder->Rank(FRows.data() + at), static_cast<std::uint32_t>(FSorted.size()));
  return true;
}

void TQELSortedRecords::Sort() {
  const std::uint8_t* rows = FRows.data();
  using TRanked = std::pair<std::uint64_t, std::uint32_t>;
  std::sort(FSorted.begin(), FSorted.end(), [this, rows](const TRanked& a, const TRanked& b) {
    if (a.first != b.first) return a.first < b.first;
    return FOrder->Compare(rows + a.second * FStride, rows + b.second * FStride) < 0;
  });
}

}  // namespace qel
