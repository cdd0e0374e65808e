#include "storage/QELBTreeKeyRef.h"

#include <algorithm>
#include <cstring>

#include "platform/QELEndian.h"
#include "platform/QELException.h"
#include "values/QELVariant.h"

namespace qel {

namespace {

template <class T>
int Order(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

template <class T>
int OrderAt(const std::uint8_t* a, const std::uint8_t* b) {
  return Order(QELReadLE<T>(a), QELReadLE<T>(b));
}

bool IsTruncatableType(TQELBaseFieldType type) {
  return IsStringBaseType(type) || type == bftBytes || type == bftVarBytes;
}

// The values of one column, both present. Fixed-size types are compared
// here directly; the rest goes through the engine's typed comparison.
int CompareColumnValues(const std::uint8_t* a, std::int32_t aSize, const std::uint8_t* b,
                        std::int32_t bSize, const TQELRecordKeyColumn& column,
                        std::int32_t length) {
  switch (column.FieldType) {
    case bftShortint:
      return OrderAt<std::int8_t>(a, b);
    case bftSmallint:
      return OrderAt<std::int16_t>(a, b);
    case bftInteger:
    case bftDate:
    case bftTime:
      return OrderAt<std::int32_t>(a, b);
    case bftLargeint:
      return OrderAt<std::int64_t>(a, b);
    case bftByte:
      return OrderAt<std::uint8_t>(a, b);
    case bftWord:
      return OrderAt<std::uint16_t>(a, b);
    case bftCardinal:
      return OrderAt<std::uint32_t>(a, b);
    case bftDouble:
    case bftCurrency:
      return OrderAt<double>(a, b);
    case bftSingle:
      return OrderAt<float>(a, b);
    case bftBytes:
    case bftVarBytes: {
      const int byBytes = std::memcmp(a, b, static_cast<std::size_t>(std::min(aSize, bSize)));
      if (byBytes != 0) return byBytes < 0 ? -1 : 1;
      return Order(aSize, bSize);
    }
    default:
      return CompareKeys(a, aSize, column.FieldType, false, b, bSize, column.FieldType, false,
                         column.CaseInsensitive, length >= 0 ? length : column.CompareLength);
  }
}

// Whether a truncated value may go on past its stored prefix: no string
// terminator within the prefix. Byte columns have none, so always.
bool MayContinue(const std::uint8_t* value, const TQELRecordKeyColumn& column) {
  const std::int32_t prefix = column.KeySize - column.Truncation;
  if (IsWideStringBaseType(column.FieldType)) {
    for (std::int32_t i = 0; i + 1 < prefix; i += 2) {
      if (value[i] == 0 && value[i + 1] == 0) return false;
    }
    return true;
  }
  if (IsStringBaseType(column.FieldType)) {
    return std::memchr(value, 0, static_cast<std::size_t>(prefix)) == nullptr;
  }
  return true;
}

std::int32_t ColumnLimit(std::int32_t fieldCount, std::int32_t columnCount) {
  return fieldCount > 0 && fieldCount < columnCount ? fieldCount : columnCount;
}

}  // namespace

int TQELBTreeKeyRef::CompareWithRecord(std::int32_t, const std::uint8_t*, const std::uint8_t*,
                                       std::int32_t, std::int32_t, std::int32_t) {
  return 0;
}

int TQELBTreeKeyRef::CompareRecords(std::int32_t, const std::uint8_t*, const std::uint8_t*,
                                    std::int32_t, std::int32_t, std::int32_t) {
  return 0;
}

int TQELBTreeKeyRef::CompareRefs(const std::uint8_t* a, const std::uint8_t* b) const {
  const int result = std::memcmp(a, b, static_cast<std::size_t>(FRefSize));
  return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

TQELRecordKeyRef::TQELRecordKeyRef(const TQELIndexDef& indexDef, const TQELFieldDefs& fieldDefs,
                                   TQELRecordReader* reader)
    : TQELBTreeKeyRef(0, kQELRecordIDSize), FReader(reader) {
  std::int32_t keyOffset = 0;
  std::int32_t fullOffset = 0;
  for (std::int32_t i = 0; i < indexDef.ColumnCount(); ++i) {
    const TQELIndexColumn& source = indexDef.Columns(i);
    const std::int32_t fieldNo = fieldDefs.IndexOfName(source.FieldName);
    if (fieldNo < 0) {
      throw EQELException(20043, "Cannot find index field '%s'", {source.FieldName});
    }
    const TQELFieldDef* field = &fieldDefs[fieldNo];
    if (IsBlobBaseType(field->BaseFieldType())) {
      throw EQELException(20295,
                          "Cannot index BLOB field '%s'. Direct indexing of BLOB fields is not "
                          "supported yet, please use CAST(blob_field, string) function to convert "
                          "BLOB field to a string",
                          {source.FieldName});
    }
    TQELRecordKeyColumn column;
    column.FieldNo = fieldNo;
    column.MemoryOffset = field->MemoryOffset();
    column.FieldType = field->BaseFieldType();
    column.Descending = source.Descending;
    column.CaseInsensitive = source.CaseInsensitive;
    column.FullKeySize = field->MemoryDataSize();
    column.KeySize = column.FullKeySize;
    // Only a string or byte value can be cut to a prefix: the order of the
    // prefixes is then a coarser form of the order of the values. A number
    // cut short would compare as some other number. A UTF-16 value is cut
    // between whole code units.
    std::int32_t prefix = source.MaxIndexedSize;
    if (IsWideStringBaseType(column.FieldType)) prefix = std::max(2, prefix & ~1);
    if (IsTruncatableType(column.FieldType) && source.MaxIndexedSize > 0 &&
        prefix < column.FullKeySize) {
      column.Truncation = 2;
      column.KeySize = prefix + column.Truncation;
      FHasTruncation = true;
    }
    column.KeyOffset = keyOffset;
    column.FullKeyOffset = fullOffset;
    keyOffset += 1 + column.KeySize;
    fullOffset += 1 + column.FullKeySize;
    FColumns.push_back(column);
  }
  FKeySize = keyOffset;
  FFullKeySize = fullOffset;
  if (FHasTruncation) {
    const auto recordSize = static_cast<std::size_t>(fieldDefs.MemoryRecordSize());
    FRecordA.assign(recordSize, 0);
    FRecordB.assign(recordSize, 0);
    FFullKeyA.assign(static_cast<std::size_t>(FFullKeySize), 0);
    FFullKeyB.assign(static_cast<std::size_t>(FFullKeySize), 0);
  }
}

void TQELRecordKeyRef::BuildKey(const std::uint8_t* record, std::uint8_t* key) const {
  for (const TQELRecordKeyColumn& column : FColumns) {
    std::uint8_t* slot = key + column.KeyOffset;
    const bool isNull = IsNull(column.FieldNo, record);
    slot[0] = isNull ? 1 : 0;
    if (isNull) {
      std::memset(slot + 1, 0, static_cast<std::size_t>(column.KeySize));
      continue;
    }
    const std::int32_t copied = column.KeySize - column.Truncation;
    std::memcpy(slot + 1, record + column.MemoryOffset, static_cast<std::size_t>(copied));
    std::memset(slot + 1 + copied, 0, static_cast<std::size_t>(column.Truncation));
  }
}

void TQELRecordKeyRef::BuildFullKey(const std::uint8_t* record, std::uint8_t* fullKey) const {
  for (const TQELRecordKeyColumn& column : FColumns) {
    std::uint8_t* slot = fullKey + column.FullKeyOffset;
    const bool isNull = IsNull(column.FieldNo, record);
    slot[0] = isNull ? 1 : 0;
    if (isNull) {
      std::memset(slot + 1, 0, static_cast<std::size_t>(column.FullKeySize));
    } else {
      std::memcpy(slot + 1, record + column.MemoryOffset,
                  static_cast<std::size_t>(column.FullKeySize));
    }
  }
}

int TQELRecordKeyRef::CompareKeys(const std::uint8_t* a, const std::uint8_t* b,
                                  std::int32_t fieldCount, std::int32_t length,
                                  std::int32_t& tieColumn) const {
  tieColumn = -1;
  const std::int32_t limit = ColumnLimit(fieldCount, ColumnCount());
  for (std::int32_t i = 0; i < limit; ++i) {
    const TQELRecordKeyColumn& column = FColumns[static_cast<std::size_t>(i)];
    const std::uint8_t* slotA = a + column.KeyOffset;
    const std::uint8_t* slotB = b + column.KeyOffset;
    int result;
    if (slotA[0] != 0 || slotB[0] != 0) {
      result = (slotA[0] != 0) == (slotB[0] != 0) ? 0 : (slotA[0] != 0 ? -1 : 1);
    } else {
      result =
          CompareColumnValues(slotA + 1, column.KeySize, slotB + 1, column.KeySize, column, length);
      if (result == 0 && column.Truncation != 0 &&
          (MayContinue(slotA + 1, column) || MayContinue(slotB + 1, column))) {
        // Equal prefixes: only the whole values can tell.
        tieColumn = i;
        return 0;
      }
    }
    if (result != 0) return column.Descending ? -result : result;
  }
  return 0;
}

int TQELRecordKeyRef::CompareFullKeys(const std::uint8_t* a, const std::uint8_t* b,
                                      std::int32_t firstColumn, std::int32_t fieldCount,
                                      std::int32_t length) const {
  const std::int32_t limit = ColumnLimit(fieldCount, ColumnCount());
  for (std::int32_t i = std::max(firstColumn, 0); i < limit; ++i) {
    const TQELRecordKeyColumn& column = FColumns[static_cast<std::size_t>(i)];
    const std::uint8_t* slotA = a + column.FullKeyOffset;
    const std::uint8_t* slotB = b + column.FullKeyOffset;
    int result;
    if (slotA[0] != 0 || slotB[0] != 0) {
      result = (slotA[0] != 0) == (slotB[0] != 0) ? 0 : (slotA[0] != 0 ? -1 : 1);
    } else {
      result = CompareColumnValues(slotA + 1, column.FullKeySize, slotB + 1, column.FullKeySize,
                                   column, length);
    }
    if (result != 0) return column.Descending ? -result : result;
  }
  return 0;
}

void TQELRecordKeyRef::ReadFullKey(std::int32_t sessionID, const std::uint8_t* recordID,
                                   std::uint8_t* buffer, std::uint8_t* fullKey) {
  TQELRecordRequest request;
  request.Mode = grmCurrent;
  std::memcpy(request.RecordID.data(), recordID, kQELRecordIDSize);
  request.Buffer = buffer;
  request.Result = grError;
  if (FReader != nullptr) FReader->GetRecord(sessionID, request);
  if (FReader == nullptr || request.Result != grOK) {
    throw EQELException(20170, "Cannot retreive record for index");
  }
  BuildFullKey(buffer, fullKey);
}

int TQELRecordKeyRef::CompareWithRecord(std::int32_t sessionID, const std::uint8_t* probeFullKey,
                                        const std::uint8_t* entryRef, std::int32_t tieColumn,
                                        std::int32_t fieldCount, std::int32_t length) {
  ReadFullKey(sessionID, entryRef, FRecordA.data(), FFullKeyA.data());
  return CompareFullKeys(probeFullKey, FFullKeyA.data(), tieColumn, fieldCount, length);
}

int TQELRecordKeyRef::CompareRecords(std::int32_t sessionID, const std::uint8_t* refA,
                                     const std::uint8_t* refB, std::int32_t tieColumn,
                                     std::int32_t fieldCount, std::int32_t length) {
  ReadFullKey(sessionID, refA, FRecordA.data(), FFullKeyA.data());
  ReadFullKey(sessionID, refB, FRecordB.data(), FFullKeyB.data());
  return CompareFullKeys(FFullKeyA.data(), FFullKeyB.data(), tieColumn, fieldCount, length);
}

int TQELPageKeyRef::CompareKeys(const std::uint8_t* a, const std::uint8_t* b, std::int32_t,
                                std::int32_t, std::int32_t& tieColumn) const {
  tieColumn = -1;
  return OrderAt<std::int32_t>(a, b);
}

}  // namespace qel
