#pragma once
// Helpers shared by the variant's translation units: reading values out of
// record-encoded bytes of any length, text views of string bytes, and the
// messages of the variant unit.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "values/QELValueCodec.h"
#include "values/QELVariant.h"

namespace qel::variant_internal {

inline constexpr std::int32_t kErrValueIsNull = 30016;
inline constexpr std::int32_t kErrBufferSizeExceeded = 20056;
inline constexpr std::int32_t kErrCannotCast = 30051;
inline constexpr std::int32_t kErrNoCastRule = 30052;
inline constexpr std::int32_t kErrIncompatibleCompare = 30044;
inline constexpr std::int32_t kErrUnknownCompareType = 30047;
inline constexpr std::int32_t kErrCompareValueIsNull = 30140;
inline constexpr std::int32_t kErrCannotInvert = 30123;
inline constexpr std::int32_t kErrNotNumericAdd = 30124;
inline constexpr std::int32_t kErrNotNumericMultiply = 30126;
inline constexpr std::int32_t kErrNotNumericDivide = 30127;
inline constexpr std::int32_t kErrDivision = 30128;
inline constexpr std::int32_t kErrUnsupportedPlatformKind = 30113;
inline constexpr std::int32_t kErrUnsupportedPlatformType = 30114;

inline constexpr std::string_view kValueIsNullMsg = "Value is Null";
inline constexpr std::string_view kBufferSizeExceededMsg = "Buffer size exceeded";
inline constexpr std::string_view kCannotCastMsg = "Cannot cast from '%s' to '%s'";
inline constexpr std::string_view kIncompatibleCompareMsg =
    "Cannot compare Incompatible DataTypes: '%s' and '%s'";
inline constexpr std::string_view kUnknownDataTypeMsg = "Unknown DataType: '%s'";
inline constexpr std::string_view kCannotInvertMsg =
    "Cannot invert value with not numeric type '%s'";
inline constexpr std::string_view kNotNumericMsg = "Not numeric argument in numeric operator '%s'";
inline constexpr std::string_view kDivisionErrorMsg = "Division error: %s";
inline constexpr std::string_view kUnsupportedVariantMsg = "Unsupported Variant Type %s";

// A fixed-size value from `size` bytes; missing bytes read as zero, so a
// short buffer never leads past its end.
template <class T>
inline T LoadFixed(const std::uint8_t* data, std::int32_t size) {
  if (size >= static_cast<std::int32_t>(sizeof(T))) [[likely]] {
    return QELLoadLE<T>(data);
  }
  std::uint8_t bytes[sizeof(T)] = {};
  if (size > 0) std::memcpy(bytes, data, static_cast<std::size_t>(size));
  return QELLoadLE<T>(bytes);
}

inline long double LoadExtended(const std::uint8_t* data, std::int32_t size) {
  if (size >= kQELExtendedSize) [[likely]] {
    return QELDecodeExtended(data);
  }
  std::uint8_t bytes[kQELExtendedSize] = {};
  if (size > 0) std::memcpy(bytes, data, static_cast<std::size_t>(size));
  return QELDecodeExtended(bytes);
}

// Any integer type's value, sign- or zero-extended.
inline std::int64_t LoadInteger(const std::uint8_t* data, std::int32_t size,
                                TQELBaseFieldType type) {
  switch (type) {
    case bftShortint:
      return LoadFixed<std::int8_t>(data, size);
    case bftSmallint:
      return LoadFixed<std::int16_t>(data, size);
    case bftInteger:
      return LoadFixed<std::int32_t>(data, size);
    case bftLargeint:
      return LoadFixed<std::int64_t>(data, size);
    case bftByte:
      return LoadFixed<std::uint8_t>(data, size);
    case bftWord:
      return LoadFixed<std::uint16_t>(data, size);
    case bftCardinal:
      return LoadFixed<std::uint32_t>(data, size);
    default:
      return 0;
  }
}

// Any real type's value (bftCurrency included).
inline long double LoadReal(const std::uint8_t* data, std::int32_t size, TQELBaseFieldType type) {
  switch (type) {
    case bftSingle:
      return LoadFixed<float>(data, size);
    case bftDouble:
    case bftCurrency:
      return LoadFixed<double>(data, size);
    case bftExtended:
      return LoadExtended(data, size);
    default:
      return 0;
  }
}

// The text of 8-bit string bytes: up to the first zero byte.
inline std::string_view NarrowText(const std::uint8_t* data, std::int32_t size) {
  if (!data || size <= 0) return {};
  const auto* chars = reinterpret_cast<const char*>(data);
  const void* zero = std::memchr(chars, 0, static_cast<std::size_t>(size));
  return std::string_view(chars, zero ? static_cast<const char*>(zero) - chars
                                      : static_cast<std::size_t>(size));
}

// The text of UTF-16 string bytes, up to the first zero unit: a view when
// the bytes are suitably aligned, else a copy.
class TWideText {
 public:
  TWideText(const std::uint8_t* data, std::int32_t size) {
    if (!data || size < 2) return;
    const std::size_t units = static_cast<std::size_t>(size) / 2;
    if (reinterpret_cast<std::uintptr_t>(data) % alignof(char16_t) == 0 &&
        std::endian::native == std::endian::little) {
      const auto* text = reinterpret_cast<const char16_t*>(data);
      FView = std::u16string_view(text, std::find(text, text + units, u'\0') - text);
      return;
    }
    for (std::size_t i = 0; i < units; ++i) {
      const char16_t unit = QELLoadLE<char16_t>(data + 2 * i);
      if (unit == 0) break;
      FCopy.push_back(unit);
    }
    FView = FCopy;
  }
  TWideText(const TWideText&) = delete;
  TWideText& operator=(const TWideText&) = delete;

  std::u16string_view View() const { return FView; }

 private:
  std::u16string FCopy;
  std::u16string_view FView;
};

// The text of a string or text BLOB value as UTF-8.
std::string Utf8Text(const std::uint8_t* data, std::int32_t size, TQELBaseFieldType type);

// Stores text as a string value of `type` (8-bit or wide) with its
// terminator.
void StoreText(TQELVariant& target, TQELBaseFieldType type, std::string_view utf8);
void StoreWideText(TQELVariant& target, TQELBaseFieldType type, std::u16string_view text);

}  // namespace qel::variant_internal
