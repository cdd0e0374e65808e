#include "sql/QELExprNodeCast.h"

#include <algorithm>
#include <string>

#include "platform/QELException.h"
#include "sql/QELExpressionErrors.h"

namespace qel {

namespace {

constexpr std::int32_t kDefaultStringLimit = 4096;

std::size_t Utf8Offset(std::string_view text, std::int64_t characters) {
  std::size_t pos = 0;
  while (pos < text.size() && characters > 0) {
    ++pos;
    while (pos < text.size() && (static_cast<std::uint8_t>(text[pos]) & 0xC0) == 0x80) ++pos;
    --characters;
  }
  return pos;
}

}  // namespace

std::int32_t QELTextWidthOf(TQELAdvancedFieldType sourceType, std::int32_t sourceSize) {
  switch (sourceType) {
    case aftChar:
    case aftString:
    case aftWideChar:
    case aftWideString:
    case aftBlob:
    case aftGraphic:
    case aftMemo:
    case aftFormattedMemo: return sourceSize;
    case aftShortint:
    case aftAutoincShortint: return 4;
    case aftSmallint:
    case aftAutoincSmallint: return 6;
    case aftInteger:
    case aftAutoinc:
    case aftAutoincInteger: return 11;
    case aftLargeint:
    case aftAutoincLargeint: return 20;
    case aftByte:
    case aftAutoincByte: return 3;
    case aftWord:
    case aftAutoincWord: return 5;
    case aftCardinal:
    case aftAutoincCardinal: return 10;
    case aftSingle:
    case aftDouble:
    case aftExtended: return 26;
    case aftBoolean: return 5;
    case aftCurrency: return 21;
    case aftDate:
    case aftTime:
    case aftDateTime:
    case aftTimeStamp: return 26;
    case aftWideMemo:
    case aftBytes:
    case aftVarBytes: return kDefaultStringLimit;
    case aftGuid: return 38;
    default:
      throw EQELException(kQELErrUnsupportedCastType, "Unsupported data type '%s'",
                          {AdvancedFieldTypeName(sourceType)});
  }
}

void TQELExprNodeCast::SetSizeNode(std::unique_ptr<TQELExprNode> size) {
  AddChild(std::move(size));
  FHasSize = true;
}

std::int32_t TQELExprNodeCast::CharacterLimit() {
  if (!FHasSize) return kDefaultStringLimit;
  const TQELVariant& size = Child(1).Evaluate();
  if (size.IsNull()) return kDefaultStringLimit;
  const double wanted = size.AsDouble();
  return wanted > 0 ? static_cast<std::int32_t>(std::min(wanted, 1073741823.0)) : 0;
}

TQELVariant& TQELExprNodeCast::Evaluate() {
  const TQELVariant& value = Child(0).Evaluate();
  const TQELBaseFieldType target = AdvancedToBaseFieldType(FTarget);
  if (value.IsNull()) {
    FValue.Clear(target);
    return FValue;
  }
  FValue.Assign(value);
  if (IsTextBlobBaseType(target)) {
    // A memo holds its text without a terminator.
    FValue.ConvertTo(target == bftWideMemo ? bftWideString : bftString);
    const std::int32_t unit = target == bftWideMemo ? 2 : 1;
    const std::int32_t size = std::max(FValue.DataSize() - unit, 0);
    const std::string bytes(reinterpret_cast<const char*>(FValue.Data()), static_cast<std::size_t>(size));
    FValue.SetData(bytes.data(), size, cmCopy, target);
    return FValue;
  }
  if (FValue.DataType() != target) FValue.ConvertTo(target);
  if (!IsStringBaseType(target) || FValue.IsNull()) return FValue;
  const std::int32_t limit = CharacterLimit();
  if (IsWideStringBaseType(target)) {
    std::u16string copy;
    const std::u16string_view text = QELWideText(FValue, copy);
    if (text.size() > static_cast<std::size_t>(limit)) {
      const std::u16string cut(text.substr(0, static_cast<std::size_t>(limit)));
      SetWideTextValue(FValue, cut);
    }
  } else {
    const std::string_view text = QELNarrowText(FValue);
    const std::size_t end = Utf8Offset(text, limit);
    if (end < text.size()) {
      const std::string cut(text.substr(0, end));
      SetTextValue(FValue, cut);
    }
  }
  if (FValue.DataType() != target && !FValue.IsNull()) FValue.ConvertTo(target);
  return FValue;
}

std::int32_t TQELExprNodeCast::GetDataSize() {
  if (FHasSize) {
    const TQELVariant& size = Child(1).Evaluate();
    return size.IsNull() ? 0 : std::max(size.AsInteger(), 0);
  }
  if (!IsStringAdvancedType(FTarget)) return 0;
  return QELTextWidthOf(Child(0).GetDataType(), Child(0).GetDataSize());
}

}  // namespace qel
