#include "storage/QELRecordData.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/QELException.h"
#include "values/QELValueCodec.h"

namespace qel {

namespace {

constexpr std::int32_t kErrGetInvalidFieldNo = 10000;
constexpr std::int32_t kErrGetFieldData = 10002;
constexpr std::int32_t kErrNilRecord = 10003;
constexpr std::int32_t kErrSetInvalidFieldNo = 10004;
constexpr std::string_view kInvalidFieldNoMsg =
    "Invalid field number - FieldNo = %d, FieldCount = %d";
constexpr std::string_view kNilPointerMsg = "Nil pointer occured";
constexpr std::string_view kGetFieldDataMsg =
    "Error getting field data - FieldNo = %d, MemoryOffset = %d, MemoryDataSize = %d";
constexpr std::string_view kSetFieldDataMsg =
    "Error setting field data - FieldNo = %d, MemoryOffset = %d, MemoryDataSize = %d";

const TQELFieldDef& CheckedField(std::int32_t fieldNo, const TQELFieldDefs& fieldDefs,
                                 const void* record, std::int32_t invalidFieldCode) {
  if (fieldNo < 0 || fieldNo >= fieldDefs.Count()) {
    throw EQELException(invalidFieldCode, kInvalidFieldNoMsg, {fieldNo, fieldDefs.Count()});
  }
  if (record == nullptr) throw EQELException(kErrNilRecord, kNilPointerMsg);
  return fieldDefs[fieldNo];
}

// A slot outside the layout of the last RecalcOffsets means the definitions
// changed without a new layout; copying would miss the record.
void CheckSlot(std::int32_t fieldNo, const TQELFieldDefs& fieldDefs, const TQELFieldDef& def,
               std::string_view message) {
  const std::int64_t end = static_cast<std::int64_t>(def.MemoryOffset()) + def.MemoryDataSize();
  if (def.MemoryOffset() < fieldDefs.NullFlagsSize() || def.MemoryDataSize() < 0 ||
      end > fieldDefs.MemoryRecordSize()) [[unlikely]] {
    throw EQELException(kErrGetFieldData, message,
                        {fieldNo, def.MemoryOffset(), def.MemoryDataSize()});
  }
}

bool IsNarrowStringField(TQELAdvancedFieldType type) {
  return type == aftChar || type == aftString || type == aftGuid;
}

// Bytes of the text in a string slot, with its terminator.
std::int32_t StringValueSize(const std::uint8_t* slot, std::int32_t slotSize, bool wide) {
  if (wide) {
    const std::int32_t units = slotSize / 2;
    std::int32_t i = 0;
    while (i < units && (slot[2 * i] | slot[2 * i + 1]) != 0) ++i;
    return 2 * (i < units ? i + 1 : units);
  }
  const void* zero = std::memchr(slot, 0, static_cast<std::size_t>(slotSize));
  return zero ? static_cast<std::int32_t>(static_cast<const std::uint8_t*>(zero) - slot) + 1
              : slotSize;
}

}  // namespace

bool GetFieldData(std::int32_t fieldNo, const TQELFieldDefs& fieldDefs, void* dest,
                  const std::uint8_t* record) {
  const TQELFieldDef& def = CheckedField(fieldNo, fieldDefs, record, kErrGetInvalidFieldNo);
  if (IsNull(fieldNo, record)) return false;
  if (dest == nullptr || IsBlobAdvancedType(def.AdvancedFieldType())) return true;
  CheckSlot(fieldNo, fieldDefs, def, kGetFieldDataMsg);
  const std::uint8_t* slot = record + def.MemoryOffset();
  switch (def.AdvancedFieldType()) {
    case aftShortint:
      QELStoreLE<std::int16_t>(dest, QELLoadLE<std::int8_t>(slot));
      break;
    case aftCardinal:
      QELStoreLE<std::int64_t>(dest, QELLoadLE<std::uint32_t>(slot));
      break;
    case aftSingle:
      QELStoreLE<double>(dest, QELLoadLE<float>(slot));
      break;
    case aftExtended:
      QELStoreLE<double>(dest, static_cast<double>(QELDecodeExtended(slot)));
      break;
    default:
      std::memcpy(dest, slot, static_cast<std::size_t>(def.MemoryDataSize()));
      break;
  }
  return true;
}

void SetFieldData(std::int32_t fieldNo, const TQELFieldDefs& fieldDefs, const void* source,
                  std::uint8_t* record) {
  const TQELFieldDef& def = CheckedField(fieldNo, fieldDefs, record, kErrSetInvalidFieldNo);
  const TQELAdvancedFieldType type = def.AdvancedFieldType();
  const auto* bytes = static_cast<const std::uint8_t*>(source);
  // An empty string is stored as NULL.
  if (bytes == nullptr || (IsNarrowStringField(type) && bytes[0] == 0) ||
      (IsWideStringAdvancedType(type) && bytes[0] == 0 && bytes[1] == 0)) {
    SetNull(true, fieldNo, record);
    return;
  }
  CheckSlot(fieldNo, fieldDefs, def, kSetFieldDataMsg);
  std::uint8_t* slot = record + def.MemoryOffset();
  const std::int32_t size = def.MemoryDataSize();
  switch (type) {
    case aftShortint:
      QELStoreLE<std::int8_t>(slot, static_cast<std::int8_t>(QELLoadLE<std::int16_t>(bytes)));
      break;
    case aftCardinal:
      QELStoreLE<std::uint32_t>(slot, static_cast<std::uint32_t>(QELLoadLE<std::int64_t>(bytes)));
      break;
    case aftSingle: {
      const double value = QELLoadLE<double>(bytes);
      // Beyond the single range the value overflows to infinity, as the
      // FPU would, rather than through an undefined conversion.
      const float narrowed = std::isfinite(value) && std::fabs(value) > std::numeric_limits<float>::max()
                                 ? std::copysign(std::numeric_limits<float>::infinity(),
                                                 static_cast<float>(value < 0 ? -1 : 1))
                                 : static_cast<float>(value);
      QELStoreLE<float>(slot, narrowed);
      break;
    }
    case aftExtended:
      QELEncodeExtended(QELLoadLE<double>(bytes), slot);
      break;
    default:
      std::memcpy(slot, bytes, static_cast<std::size_t>(size));
      // A string slot always ends in a terminator, so that no reader runs
      // past it whatever the caller's buffer held.
      if (IsNarrowStringField(type) && size > 0) {
        slot[size - 1] = 0;
      } else if (IsWideStringAdvancedType(type) && size > 1) {
        slot[size - 1] = slot[size - 2] = 0;
      }
      break;
  }
  SetNull(false, fieldNo, record);
}

bool GetFieldValue(std::int32_t fieldNo, const TQELFieldDefs& fieldDefs,
                   const std::uint8_t* record, TQELVariant& value, TQELCopyMode copyMode) {
  const TQELFieldDef& def = CheckedField(fieldNo, fieldDefs, record, kErrGetInvalidFieldNo);
  const TQELBaseFieldType type = def.BaseFieldType();
  if (IsBlobBaseType(type)) return false;
  if (IsNull(fieldNo, record)) {
    value.Clear(type);
    return true;
  }
  CheckSlot(fieldNo, fieldDefs, def, kGetFieldDataMsg);
  const std::uint8_t* slot = record + def.MemoryOffset();
  std::int32_t size = def.MemoryDataSize();
  if (IsStringBaseType(type)) size = StringValueSize(slot, size, IsWideStringBaseType(type));
  value.SetData(slot, size, copyMode, type);
  return true;
}

bool SetFieldValue(std::int32_t fieldNo, const TQELFieldDefs& fieldDefs, const TQELVariant& value,
                   std::uint8_t* record) {
  const TQELFieldDef& def = CheckedField(fieldNo, fieldDefs, record, kErrSetInvalidFieldNo);
  const TQELBaseFieldType type = def.BaseFieldType();
  if (IsBlobBaseType(type)) return false;
  if (value.IsNull()) {
    SetNull(true, fieldNo, record);
    return true;
  }
  CheckSlot(fieldNo, fieldDefs, def, kSetFieldDataMsg);
  std::uint8_t* slot = record + def.MemoryOffset();
  const std::int32_t size = def.MemoryDataSize();
  if (IsStringBaseType(type)) {
    // GetValue converts before it writes, so a failure leaves the slot as
    // it was.
    value.GetValue(slot, size, type);
    const bool wide = IsWideStringBaseType(type);
    const std::int32_t used = StringValueSize(slot, size, wide);
    if (used <= (wide ? 2 : 1)) {
      SetNull(true, fieldNo, record);  // an empty string is stored as NULL
      return true;
    }
    std::memset(slot + used, 0, static_cast<std::size_t>(size - used));
  } else {
    value.GetValue(slot, size, type);
    // A shorter byte string leaves no stale bytes behind it.
    if ((type == bftBytes || type == bftVarBytes) && value.DataType() == type &&
        value.DataSize() < size) {
      std::memset(slot + value.DataSize(), 0, static_cast<std::size_t>(size - value.DataSize()));
    }
  }
  SetNull(false, fieldNo, record);
  return true;
}

}  // namespace qel
