// Comparison of two values: NULL codes first, then the values in their
// common type.

#include <algorithm>

#include "platform/QELCollation.h"
#include "values/QELVariant.h"
#include "values/QELVariantInternal.h"

namespace qel {

using namespace variant_internal;

namespace {

template <class T>
std::int32_t Order(T a, T b) {
  if (a < b) return ccLess;
  if (b < a) return ccGreater;
  return ccEqual;  // also for reals that are unordered (NaN)
}

std::int32_t FromSign(int sign) { return sign < 0 ? ccLess : sign > 0 ? ccGreater : ccEqual; }

// The first `length` characters (bytes of UTF-8), never cutting a character.
std::string_view Prefix(std::string_view text, std::int32_t length) {
  if (length < 0 || static_cast<std::size_t>(length) >= text.size()) return text;
  std::size_t cut = static_cast<std::size_t>(length);
  while (cut > 0 && (static_cast<std::uint8_t>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

std::u16string_view Prefix(std::u16string_view text, std::int32_t length) {
  if (length < 0 || static_cast<std::size_t>(length) >= text.size()) return text;
  std::size_t cut = static_cast<std::size_t>(length);
  if (cut > 0 && (text[cut] & 0xFC00) == 0xDC00) --cut;  // keep surrogate pairs whole
  return text.substr(0, cut);
}

std::int32_t CompareSameType(const std::uint8_t* a, std::int32_t aSize, const std::uint8_t* b,
                             std::int32_t bSize, TQELBaseFieldType type, bool caseInsensitive,
                             std::int32_t length) {
  switch (type) {
    case bftFixedChar:
    case bftString:
      return FromSign(QELCompareText(Prefix(NarrowText(a, aSize), length),
                                     Prefix(NarrowText(b, bSize), length), caseInsensitive));
    case bftFixedWideChar:
    case bftWideString: {
      const TWideText first(a, aSize);
      const TWideText second(b, bSize);
      return FromSign(QELCompareText(Prefix(first.View(), length), Prefix(second.View(), length),
                                     caseInsensitive));
    }
    case bftShortint:
      return Order(LoadFixed<std::int8_t>(a, aSize), LoadFixed<std::int8_t>(b, bSize));
    case bftSmallint:
      return Order(LoadFixed<std::int16_t>(a, aSize), LoadFixed<std::int16_t>(b, bSize));
    case bftInteger:
    case bftDate:
    case bftTime:
      return Order(LoadFixed<std::int32_t>(a, aSize), LoadFixed<std::int32_t>(b, bSize));
    case bftLargeint:
      return Order(LoadFixed<std::int64_t>(a, aSize), LoadFixed<std::int64_t>(b, bSize));
    case bftByte:
      return Order(LoadFixed<std::uint8_t>(a, aSize), LoadFixed<std::uint8_t>(b, bSize));
    case bftWord:
      return Order(LoadFixed<std::uint16_t>(a, aSize), LoadFixed<std::uint16_t>(b, bSize));
    case bftCardinal:
      return Order(LoadFixed<std::uint32_t>(a, aSize), LoadFixed<std::uint32_t>(b, bSize));
    case bftSingle:
      return Order(LoadFixed<float>(a, aSize), LoadFixed<float>(b, bSize));
    case bftDouble:
    case bftCurrency:
      return Order(LoadFixed<double>(a, aSize), LoadFixed<double>(b, bSize));
    case bftExtended:
      return Order(LoadExtended(a, aSize), LoadExtended(b, bSize));
    case bftDateTime: {
      const std::int32_t byDay =
          Order(LoadFixed<std::int32_t>(a, aSize), LoadFixed<std::int32_t>(b, bSize));
      if (byDay != ccEqual) return byDay;
      return Order(aSize >= 8 ? LoadFixed<std::int32_t>(a + 4, 4) : 0,
                   bSize >= 8 ? LoadFixed<std::int32_t>(b + 4, 4) : 0);
    }
    case bftBoolean:
      return Order(LoadFixed<std::int16_t>(a, aSize) != 0, LoadFixed<std::int16_t>(b, bSize) != 0);
    default:
      throw EQELException(kErrUnknownCompareType, kUnknownDataTypeMsg, {BaseFieldTypeName(type)});
  }
}

}  // namespace

std::int32_t CompareValues(const void* first, std::int32_t firstSize, TQELBaseFieldType firstType,
                           bool firstNull, const void* second, std::int32_t secondSize,
                           TQELBaseFieldType secondType, bool secondNull, bool caseInsensitive,
                           std::int32_t length) {
  if (firstNull || secondNull) {
    if (firstNull && secondNull) return ccBothNull;
    return firstNull ? ccFirstNull : ccSecondNull;
  }
  if (first == nullptr || second == nullptr) {
    throw EQELException(kErrCompareValueIsNull, kValueIsNullMsg);
  }
  const auto* a = static_cast<const std::uint8_t*>(first);
  const auto* b = static_cast<const std::uint8_t*>(second);
  if (firstType == secondType && !IsTextBlobBaseType(firstType)) {
    return CompareSameType(a, firstSize, b, secondSize, firstType, caseInsensitive, length);
  }
  const TQELBaseFieldType common = CommonType(firstType, secondType, true);
  if (common == bftUnknown) {
    throw EQELException(kErrIncompatibleCompare, kIncompatibleCompareMsg,
                        {BaseFieldTypeName(firstType), BaseFieldTypeName(secondType)});
  }
  // Scratch values keep fixed-size conversions inside the objects.
  TQELVariant firstScratch;
  TQELVariant secondScratch;
  if (firstType != common) {
    ConvertValueInto(a, firstSize, firstType, common, firstScratch);
    a = firstScratch.Data();
    firstSize = firstScratch.DataSize();
  }
  if (secondType != common) {
    ConvertValueInto(b, secondSize, secondType, common, secondScratch);
    b = secondScratch.Data();
    secondSize = secondScratch.DataSize();
  }
  if (a == nullptr || b == nullptr) throw EQELException(kErrCompareValueIsNull, kValueIsNullMsg);
  return CompareSameType(a, firstSize, b, secondSize, common, caseInsensitive, length);
}

int CompareKeys(const void* first, std::int32_t firstSize, TQELBaseFieldType firstType,
                bool firstNull, const void* second, std::int32_t secondSize,
                TQELBaseFieldType secondType, bool secondNull, bool caseInsensitive,
                std::int32_t length) {
  switch (CompareValues(first, firstSize, firstType, firstNull, second, secondSize, secondType,
                        secondNull, caseInsensitive, length)) {
    case ccLess:
    case ccFirstNull:
      return -1;
    case ccGreater:
    case ccSecondNull:
      return 1;
    default:
      return 0;
  }
}

std::int32_t TQELVariant::Compare(const TQELVariant& other, bool nullsUnordered, bool partial,
                                  bool caseInsensitive) const {
  const std::int32_t length = partial ? std::min(StringLength(), other.StringLength()) : -1;
  const std::int32_t code =
      CompareValues(FData, FDataSize, FDataType, IsNull(), other.FData, other.FDataSize,
                    other.FDataType, other.IsNull(), caseInsensitive, length);
  if (nullsUnordered) return code;
  switch (code) {
    case ccFirstNull:
      return ccLess;
    case ccSecondNull:
      return ccGreater;
    case ccBothNull:
      return ccEqual;
    default:
      return code;
  }
}

}  // namespace qel
