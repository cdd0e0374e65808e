#pragma once
// Field data types: the declared type a column has in SQL and the component
// layer (TQELAdvancedFieldType), the storage type that decides how its value
// is held in a record (TQELBaseFieldType), the component layer's field type
// (TFieldType), and the one ordered table of SQL type names that ties them
// together. Also the slot size of each storage type and the null flags at the
// head of every record buffer.

#include <cstdint>
#include <span>
#include <string_view>

#include "values/QELBaseFieldType.h"

namespace qel {

enum TQELAdvancedFieldType : std::uint8_t {
  aftUnknown = 0,
  aftChar = 1,
  aftString = 2,
  aftWideChar = 3,
  aftWideString = 4,
  aftShortint = 5,
  aftSmallint = 6,
  aftInteger = 7,
  aftLargeint = 8,
  aftByte = 9,
  aftWord = 10,
  aftCardinal = 11,
  aftAutoinc = 12,
  aftAutoincShortint = 13,
  aftAutoincSmallint = 14,
  aftAutoincInteger = 15,
  aftAutoincLargeint = 16,
  aftAutoincByte = 17,
  aftAutoincWord = 18,
  aftAutoincCardinal = 19,
  aftSingle = 20,
  aftDouble = 21,
  aftExtended = 22,
  aftBoolean = 23,
  aftCurrency = 24,
  aftDate = 25,
  aftTime = 26,
  aftDateTime = 27,
  aftTimeStamp = 28,
  aftBytes = 29,
  aftVarBytes = 30,
  aftBlob = 31,
  aftGraphic = 32,
  aftMemo = 33,
  aftFormattedMemo = 34,
  aftWideMemo = 35,
  aftGuid = 36,
};

inline constexpr int kQELAdvancedFieldTypeCount = 37;  // including aftUnknown

// The component layer's field types, in the ordinal order of its data-access
// framework. Only some of them have a row in the type table.
enum TFieldType : std::uint8_t {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftWord,
  ftBoolean,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftDate,
  ftTime,
  ftDateTime,
  ftBytes,
  ftVarBytes,
  ftAutoInc,
  ftBlob,
  ftMemo,
  ftGraphic,
  ftFmtMemo,
  ftParadoxOle,
  ftDBaseOle,
  ftTypedBinary,
  ftCursor,
  ftFixedChar,
  ftWideString,
  ftLargeint,
  ftADT,
  ftArray,
  ftReference,
  ftDataSet,
  ftOraBlob,
  ftOraClob,
  ftVariant,
  ftInterface,
  ftIDispatch,
  ftGuid,
  ftTimeStamp,
  ftFMTBcd,
};

inline constexpr int kFieldTypeCount = ftFMTBcd + 1;

// One row of the type table: an SQL type name with the declared, storage and
// component types it stands for.
struct TQELFieldTypeMapping {
  std::string_view Name;
  TQELAdvancedFieldType AdvancedType;
  TQELBaseFieldType BaseType;
  TFieldType FieldType;
};

// The 60 rows in table order. Several rows can share a type; every lookup by
// type takes the first row that matches.
std::span<const TQELFieldTypeMapping> QELFieldTypeMappings();

// The first row whose name equals `name` ignoring ASCII case, or null.
const TQELFieldTypeMapping* FindFieldTypeMapping(std::string_view name);

// Table lookups. A type without a row gives 0 (aftUnknown, bftUnknown,
// ftUnknown) or the name "Unknown".
TQELBaseFieldType AdvancedToBaseFieldType(TQELAdvancedFieldType advancedType);
TQELAdvancedFieldType BaseToAdvancedFieldType(TQELBaseFieldType baseType);
TFieldType AdvancedFieldTypeToFieldType(TQELAdvancedFieldType advancedType);
std::string_view AdvancedFieldTypeName(TQELAdvancedFieldType advancedType);
// Raises "Unknown DataType: '%s'" (30289) with the ordinal when no row has
// that component type.
TQELAdvancedFieldType FieldTypeToAdvancedFieldType(TFieldType fieldType);

// The type both operands of two declared types meet in: the storage types'
// common type (CommonType of the variant unit), kept as the first operand's
// declared type when its storage type won, else as the second's, else as the
// first declared type of the winning storage type. aftUnknown when none.
TQELAdvancedFieldType CommonAdvancedFieldType(TQELAdvancedFieldType first,
                                              TQELAdvancedFieldType second, bool preferDate);

// Bytes a BLOB reference keeps in the stored record; the last four bytes of
// the memory slot (kQELBlobMemorySlotSize) are a run-time handle.
inline constexpr std::int32_t kQELBlobDiskSlotSize = 6;

// Groups of declared types (the storage types' classes are with them in
// values/QELBaseFieldType.h).
constexpr bool IsBlobAdvancedType(std::uint8_t t) { return t >= aftBlob && t <= aftWideMemo; }
constexpr bool IsStringAdvancedType(std::uint8_t t) { return t >= aftChar && t <= aftWideString; }
constexpr bool IsStringLikeAdvancedType(std::uint8_t t) {
  return IsStringAdvancedType(t) || t == aftGuid;
}
constexpr bool IsWideStringAdvancedType(std::uint8_t t) {
  return t == aftWideChar || t == aftWideString;
}
constexpr bool IsBytesAdvancedType(std::uint8_t t) { return t == aftBytes || t == aftVarBytes; }
constexpr bool IsAutoincAdvancedType(std::uint8_t t) {
  return t >= aftAutoinc && t <= aftAutoincCardinal;
}

// Null flags: one bit per field (bit i mod 8 of byte i div 8, least
// significant first) at the head of a record; a set bit means NULL.
constexpr std::int32_t NullFlagsSize(std::int32_t fieldCount) { return (fieldCount + 7) / 8; }

inline bool IsNull(std::int32_t fieldNo, const std::uint8_t* record) {
  return (record[fieldNo >> 3] >> (fieldNo & 7)) & 1;
}

// Changes only the field's own bit.
inline void SetNull(bool isNull, std::int32_t fieldNo, std::uint8_t* record) {
  const std::uint8_t mask = static_cast<std::uint8_t>(1u << (fieldNo & 7));
  if (isNull) {
    record[fieldNo >> 3] |= mask;
  } else {
    record[fieldNo >> 3] &= static_cast<std::uint8_t>(~mask);
  }
}

}  // namespace qel
