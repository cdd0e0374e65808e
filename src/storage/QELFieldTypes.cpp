#include "storage/QELFieldTypes.h"

#include <array>
#include <string>

#include "platform/QELException.h"
#include "values/QELVariant.h"

namespace qel {

namespace {

constexpr std::int32_t kErrUnknownFieldType = 30289;
constexpr std::string_view kUnknownDataTypeMsg = "Unknown DataType: '%s'";
constexpr std::string_view kUnknownName = "Unknown";

constexpr TQELFieldTypeMapping kMappings[] = {
    {"CHAR", aftChar, bftFixedChar, ftFixedChar},
    {"FIXEDCHAR", aftChar, bftFixedChar, ftFixedChar},
    {"STRING", aftString, bftString, ftString},
    {"VARCHAR", aftString, bftString, ftString},
    {"VARCHAR2", aftString, bftString, ftString},
    {"WIDECHAR", aftWideChar, bftFixedWideChar, ftWideString},
    {"FIXEDWIDECHAR", aftWideChar, bftFixedWideChar, ftWideString},
    {"WIDESTRING", aftWideString, bftWideString, ftWideString},
    {"WIDEVARCHAR", aftWideString, bftWideString, ftWideString},
    {"SMALLINT", aftSmallint, bftSmallint, ftSmallint},
    {"SIGNEDINT16", aftSmallint, bftSmallint, ftSmallint},
    {"SHORTINT", aftShortint, bftShortint, ftSmallint},
    {"SIGNEDINT8", aftShortint, bftShortint, ftSmallint},
    {"INTEGER", aftInteger, bftInteger, ftInteger},
    {"SIGNEDINT32", aftInteger, bftInteger, ftInteger},
    {"LARGEINT", aftLargeint, bftLargeint, ftLargeint},
    {"INT64", aftLargeint, bftLargeint, ftLargeint},
    {"SIGNEDINT64", aftLargeint, bftLargeint, ftLargeint},
    {"WORD", aftWord, bftWord, ftWord},
    {"UNSIGNEDINT16", aftWord, bftWord, ftWord},
    {"BYTE", aftByte, bftByte, ftWord},
    {"UNSIGNEDINT8", aftByte, bftByte, ftWord},
    {"CARDINAL", aftCardinal, bftCardinal, ftLargeint},
    {"UNSIGNEDINT32", aftCardinal, bftCardinal, ftLargeint},
    {"AUTOINC", aftAutoinc, bftInteger, ftAutoInc},
    {"AUTOINCSHORTINT", aftAutoincShortint, bftShortint, ftAutoInc},
    {"AUTOINCSMALLINT", aftAutoincSmallint, bftSmallint, ftAutoInc},
    {"AUTOINCINTEGER", aftAutoincInteger, bftInteger, ftAutoInc},
    {"AUTOINCLARGEINT", aftAutoincLargeint, bftLargeint, ftLargeint},
    {"AUTOINCBYTE", aftAutoincByte, bftByte, ftAutoInc},
    {"AUTOINCWORD", aftAutoincWord, bftWord, ftAutoInc},
    {"AUTOINCCARDINAL", aftAutoincCardinal, bftCardinal, ftAutoInc},
    {"FLOAT", aftDouble, bftDouble, ftFloat},
    {"FLOAT", aftDouble, bftDouble, ftBCD},
    {"SINGLE", aftSingle, bftSingle, ftFloat},
    {"DOUBLE", aftDouble, bftDouble, ftFloat},
    {"EXTENDED", aftExtended, bftExtended, ftFloat},
    {"LOGICAL", aftBoolean, bftBoolean, ftBoolean},
    {"BOOLEAN", aftBoolean, bftBoolean, ftBoolean},
    {"BOOL", aftBoolean, bftBoolean, ftBoolean},
    {"BIT", aftBoolean, bftBoolean, ftBoolean},
    {"CURRENCY", aftCurrency, bftCurrency, ftCurrency},
    {"MONEY", aftCurrency, bftCurrency, ftCurrency},
    {"DATE", aftDate, bftDate, ftDate},
    {"TIME", aftTime, bftTime, ftTime},
    {"DATETIME", aftDateTime, bftDateTime, ftDateTime},
    {"TIMESTAMP", aftTimeStamp, bftDateTime, ftTimeStamp},
    {"BYTES", aftBytes, bftBytes, ftBytes},
    {"VARBYTES", aftVarBytes, bftVarBytes, ftVarBytes},
    {"BLOB", aftBlob, bftBlob, ftBlob},
    {"BLOB", aftBlob, bftBlob, ftParadoxOle},
    {"BLOB", aftBlob, bftBlob, ftTypedBinary},
    {"BLOB", aftBlob, bftBlob, ftDBaseOle},
    {"GRAPHIC", aftGraphic, bftBlob, ftGraphic},
    {"MEMO", aftMemo, bftMemo, ftMemo},
    {"CLOB", aftMemo, bftMemo, ftMemo},
    {"FORMATTEDMEMO", aftFormattedMemo, bftMemo, ftFmtMemo},
    {"WIDEMEMO", aftWideMemo, bftWideMemo, ftBlob},
    {"WIDECLOB", aftWideMemo, bftWideMemo, ftMemo},
    {"GUID", aftGuid, bftFixedChar, ftGuid},
};
static_assert(std::size(kMappings) == 60);

// The first-row answers of every lookup by type, computed once from the
// table so that the lookups cost an index. -1 marks a type without a row.
template <int Count, class Key>
constexpr std::array<int, Count> FirstRows(Key TQELFieldTypeMapping::*key) {
  std::array<int, Count> rows{};
  for (int& row : rows) row = -1;
  for (int i = static_cast<int>(std::size(kMappings)) - 1; i >= 0; --i) {
    rows[static_cast<int>(kMappings[i].*key)] = i;
  }
  return rows;
}

constexpr auto kFirstByAdvanced =
    FirstRows<kQELAdvancedFieldTypeCount>(&TQELFieldTypeMapping::AdvancedType);
constexpr auto kFirstByBase = FirstRows<kQELBaseFieldTypeCount>(&TQELFieldTypeMapping::BaseType);
constexpr auto kFirstByFieldType = FirstRows<kFieldTypeCount>(&TQELFieldTypeMapping::FieldType);

// The values layer names storage types without the table; its names must be
// the table's first names.
constexpr bool BaseTypeNamesMatchTable() {
  for (int t = 0; t < kQELBaseFieldTypeCount; ++t) {
    const std::string_view tableName = kFirstByBase[t] < 0 ? kUnknownName : kMappings[kFirstByBase[t]].Name;
    if (BaseFieldTypeName(static_cast<TQELBaseFieldType>(t)) != tableName) return false;
  }
  return true;
}
static_assert(BaseTypeNamesMatchTable());

template <std::size_t N>
const TQELFieldTypeMapping* RowAt(const std::array<int, N>& rows, unsigned value) {
  if (value >= N || rows[value] < 0) return nullptr;
  return &kMappings[rows[value]];
}

const TQELFieldTypeMapping* RowByAdvanced(TQELAdvancedFieldType t) {
  return RowAt(kFirstByAdvanced, t);
}

const TQELFieldTypeMapping* RowByBase(TQELBaseFieldType t) { return RowAt(kFirstByBase, t); }

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::span<const TQELFieldTypeMapping> QELFieldTypeMappings() { return kMappings; }

const TQELFieldTypeMapping* FindFieldTypeMapping(std::string_view name) {
  for (const TQELFieldTypeMapping& row : kMappings) {
    if (EqualsIgnoringAsciiCase(row.Name, name)) return &row;
  }
  return nullptr;
}

TQELBaseFieldType AdvancedToBaseFieldType(TQELAdvancedFieldType advancedType) {
  const TQELFieldTypeMapping* row = RowByAdvanced(advancedType);
  return row ? row->BaseType : bftUnknown;
}

TQELAdvancedFieldType BaseToAdvancedFieldType(TQELBaseFieldType baseType) {
  const TQELFieldTypeMapping* row = RowByBase(baseType);
  return row ? row->AdvancedType : aftUnknown;
}

TFieldType AdvancedFieldTypeToFieldType(TQELAdvancedFieldType advancedType) {
  const TQELFieldTypeMapping* row = RowByAdvanced(advancedType);
  return row ? row->FieldType : ftUnknown;
}

std::string_view AdvancedFieldTypeName(TQELAdvancedFieldType advancedType) {
  const TQELFieldTypeMapping* row = RowByAdvanced(advancedType);
  return row ? row->Name : kUnknownName;
}

TQELAdvancedFieldType FieldTypeToAdvancedFieldType(TFieldType fieldType) {
  const unsigned value = fieldType;
  if (const TQELFieldTypeMapping* row = RowAt(kFirstByFieldType, value)) return row->AdvancedType;
  throw EQELException(kErrUnknownFieldType, kUnknownDataTypeMsg, {std::to_string(value)});
}

TQELAdvancedFieldType CommonAdvancedFieldType(TQELAdvancedFieldType first,
                                              TQELAdvancedFieldType second, bool preferDate) {
  const TQELBaseFieldType firstBase = AdvancedToBaseFieldType(first);
  const TQELBaseFieldType secondBase = AdvancedToBaseFieldType(second);
  const TQELBaseFieldType common = CommonType(firstBase, secondBase, preferDate);
  if (common == bftUnknown) return aftUnknown;
  if (common == firstBase) return first;
  if (common == secondBase) return second;
  return BaseToAdvancedFieldType(common);
}

}  // namespace qel
