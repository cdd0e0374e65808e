#pragma once
// The storage type of a value (TQELBaseFieldType): how its bytes are held in
// a record buffer and in a variant. Everything that asks what kind of value
// a storage type holds (its type class, its slot size, its name) is here, so
// that values and the storage layer above them share one answer.

#include <cstdint>
#include <string_view>

namespace qel {

enum TQELBaseFieldType : std::uint8_t {
  bftUnknown = 0,
  bftFixedChar = 1,
  bftFixedWideChar = 2,
  bftString = 3,
  bftWideString = 4,
  bftShortint = 5,
  bftSmallint = 6,
  bftInteger = 7,
  bftLargeint = 8,
  bftByte = 9,
  bftWord = 10,
  bftCardinal = 11,
  bftSingle = 12,
  bftDouble = 13,
  bftExtended = 14,
  bftDate = 15,
  bftTime = 16,
  bftDateTime = 17,
  bftBlob = 18,
  bftMemo = 19,
  bftWideMemo = 20,
  bftBoolean = 21,
  bftCurrency = 22,
  bftBytes = 23,
  bftVarBytes = 24,
};

inline constexpr int kQELBaseFieldTypeCount = 25;  // including bftUnknown

// Type classes. They take the raw byte so that a stored type byte can be
// asked before it is known to be a member.
constexpr bool IsStringBaseType(std::uint8_t t) { return t >= bftFixedChar && t <= bftWideString; }
constexpr bool IsWideStringBaseType(std::uint8_t t) {
  return t == bftFixedWideChar || t == bftWideString;
}
constexpr bool IsIntegerBaseType(std::uint8_t t) { return t >= bftShortint && t <= bftCardinal; }
constexpr bool IsRealBaseType(std::uint8_t t) { return t >= bftSingle && t <= bftExtended; }
constexpr bool IsNumericBaseType(std::uint8_t t) {
  return (t >= bftShortint && t <= bftExtended) || t == bftCurrency;
}
constexpr bool IsDateTimeBaseType(std::uint8_t t) { return t >= bftDate && t <= bftDateTime; }
constexpr bool IsBlobBaseType(std::uint8_t t) { return t >= bftBlob && t <= bftWideMemo; }
constexpr bool IsTextBlobBaseType(std::uint8_t t) { return t == bftMemo || t == bftWideMemo; }

// The SQL name of each storage type: the first name of the type table that
// stands for it (the storage layer checks the two agree when it compiles).
inline constexpr std::string_view kQELBaseFieldTypeNames[kQELBaseFieldTypeCount] = {
    "Unknown", "CHAR",   "WIDECHAR", "STRING",   "WIDESTRING", "SHORTINT", "SMALLINT",
    "INTEGER", "LARGEINT", "BYTE",   "WORD",     "CARDINAL",   "SINGLE",   "FLOAT",
    "EXTENDED", "DATE",  "TIME",     "DATETIME", "BLOB",       "MEMO",     "WIDEMEMO",
    "LOGICAL", "CURRENCY", "BYTES",  "VARBYTES",
};

// "Unknown" for a value that is not a storage type.
constexpr std::string_view BaseFieldTypeName(TQELBaseFieldType baseType) {
  return baseType > bftUnknown && baseType < kQELBaseFieldTypeCount ? kQELBaseFieldTypeNames[baseType]
                                                                     : kQELBaseFieldTypeNames[bftUnknown];
}

// Bytes a BLOB reference takes in a memory record: the stored reference and
// a four-byte run-time handle.
inline constexpr std::int32_t kQELBlobMemorySlotSize = 10;

// Bytes a value of `baseType` takes in a memory record; `size` is the
// declared size (characters for strings, bytes for byte strings). Raises
// "Unknown DataType: '%s'" (30050) for a value that is not a storage type.
std::int32_t GetDataSize(TQELBaseFieldType baseType, std::int32_t size);

}  // namespace qel
