// Conversion of values between storage types, and the common type of two
// operands.

#include <charconv>
#include <cmath>
#include <limits>
#include <new>

#include "values/QELValueErrors.h"
#include "values/QELValueText.h"
#include "values/QELVariant.h"
#include "values/QELVariantInternal.h"

namespace qel {

using namespace variant_internal;

namespace variant_internal {

std::string Utf8Text(const std::uint8_t* data, std::int32_t size, TQELBaseFieldType type) {
  if (IsWideStringBaseType(type) || type == bftWideMemo) {
    return QELUtf16ToUtf8(TWideText(data, size).View());
  }
  return std::string(NarrowText(data, size));
}

void StoreText(TQELVariant& target, TQELBaseFieldType type, std::string_view utf8) {
  if (IsWideStringBaseType(type)) {
    StoreWideText(target, type, QELUtf8ToUtf16(utf8));
    return;
  }
  const auto size = static_cast<std::int32_t>(utf8.size());
  std::uint8_t* bytes = target.AllocateData(size + 1, type);
  std::memmove(bytes, utf8.data(), utf8.size());  // the text may be the target's own
  bytes[size] = 0;
}

void StoreWideText(TQELVariant& target, TQELBaseFieldType type, std::u16string_view text) {
  if (!IsWideStringBaseType(type)) {
    StoreText(target, type, QELUtf16ToUtf8(text));
    return;
  }
  const auto units = static_cast<std::int32_t>(text.size());
  std::uint8_t* bytes = target.AllocateData((units + 1) * 2, type);
  for (std::int32_t i = 0; i < units; ++i) QELStoreLE<char16_t>(bytes + 2 * i, text[i]);
  QELStoreLE<char16_t>(bytes + 2 * units, 0);
}

}  // namespace variant_internal

namespace {

bool In(std::uint8_t t, std::uint8_t low, std::uint8_t high) { return t >= low && t <= high; }

template <class T>
void StoreFixed(TQELVariant& target, TQELBaseFieldType type, T value) {
  QELStoreLE<T>(target.AllocateData(sizeof(T), type), value);
}

// Stores an integer in an integer type, keeping the low bits of the
// target's width (two's complement wrap).
void StoreInteger(TQELVariant& target, TQELBaseFieldType type, std::int64_t value) {
  switch (type) {
    case bftShortint:
      return StoreFixed(target, type, static_cast<std::int8_t>(value));
    case bftSmallint:
      return StoreFixed(target, type, static_cast<std::int16_t>(value));
    case bftInteger:
      return StoreFixed(target, type, static_cast<std::int32_t>(value));
    case bftLargeint:
      return StoreFixed(target, type, value);
    case bftByte:
      return StoreFixed(target, type, static_cast<std::uint8_t>(value));
    case bftWord:
      return StoreFixed(target, type, static_cast<std::uint16_t>(value));
    case bftCardinal:
      return StoreFixed(target, type, static_cast<std::uint32_t>(value));
    default:
      break;
  }
}

[[noreturn]] void ThrowOutOfRange() { throw EConvertError("Value out of range"); }

// Stores a real in a real type or bftCurrency, rounded to the target's
// precision; a finite value beyond the target's range does not convert.
void StoreReal(TQELVariant& target, TQELBaseFieldType type, long double value) {
  switch (type) {
    case bftSingle:
      if (std::isfinite(value) && std::fabs(value) > std::numeric_limits<float>::max()) {
        ThrowOutOfRange();
      }
      return StoreFixed(target, type, static_cast<float>(value));
    case bftDouble:
      if (std::isfinite(value) && std::fabs(value) > std::numeric_limits<double>::max()) {
        ThrowOutOfRange();
      }
      return StoreFixed(target, type, static_cast<double>(value));
    case bftExtended:
      QELEncodeExtended(value, target.AllocateData(kQELExtendedSize, type));
      return;
    case bftCurrency: {
      // Currency amounts carry four decimals.
      if (std::isfinite(value) && std::fabs(value) > std::numeric_limits<double>::max()) {
        ThrowOutOfRange();
      }
      const long double rounded = std::round(value * 10000) / 10000;
      return StoreFixed(target, type, static_cast<double>(std::isfinite(rounded) ? rounded : value));
    }
    default:
      break;
  }
}

// Truncation toward zero of a real that must fit an int64.
std::int64_t TruncToInt64(long double value) {
  const long double whole = std::trunc(value);
  if (!(whole >= -9223372036854775808.0L && whole < 9223372036854775808.0L)) ThrowOutOfRange();
  return static_cast<std::int64_t>(whole);
}

std::int32_t TruncToInt32(long double value) {
  const std::int64_t whole = TruncToInt64(value);
  if (whole < std::numeric_limits<std::int32_t>::min() ||
      whole > std::numeric_limits<std::int32_t>::max()) {
    ThrowOutOfRange();
  }
  return static_cast<std::int32_t>(whole);
}

void StoreDateTime(TQELVariant& target, TQELDateTimeStamp stamp) {
  std::uint8_t* bytes = target.AllocateData(8, bftDateTime);
  QELStoreLE<std::int32_t>(bytes, stamp.Date);
  QELStoreLE<std::int32_t>(bytes + 4, stamp.Time);
}

void StoreBoolean(TQELVariant& target, bool value) {
  StoreFixed<std::int16_t>(target, bftBoolean, value ? -1 : 0);
}

void StoreNumberText(TQELVariant& target, TQELBaseFieldType type, const char* text,
                     std::size_t length) {
  StoreText(target, type, std::string_view(text, length));
}

void StoreIntegerText(TQELVariant& target, TQELBaseFieldType type, std::int64_t value) {
  char text[kQELNumberTextSize];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  StoreNumberText(target, type, text, static_cast<std::size_t>(end - text));
}

// "1" or "TRUE" in any letter case.
bool IsTrueText(std::string_view text) {
  if (text == "1") return true;
  if (text.size() != 4) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    if ((text[i] & ~0x20) != "TRUE"[i]) return false;
  }
  return true;
}

TQELRealKind RealKindOf(TQELBaseFieldType type) {
  if (type == bftSingle) return TQELRealKind::Single;
  if (type == bftExtended) return TQELRealKind::Extended;
  return TQELRealKind::Double;
}

// A number (integer, real or currency source already decoded) stored in a
// numeric target; answers false for targets outside the numeric types.
bool StoreNumber(TQELVariant& target, TQELBaseFieldType t, long double value,
                 std::int64_t integer, bool isInteger) {
  if (IsIntegerBaseType(t)) {
    StoreInteger(target, t, isInteger ? integer : TruncToInt64(value));
    return true;
  }
  if (IsRealBaseType(t) || t == bftCurrency) {
    StoreReal(target, t, isInteger ? static_cast<long double>(integer) : value);
    return true;
  }
  return false;
}

bool ConvertFromText(const std::uint8_t* data, std::int32_t size, TQELBaseFieldType s,
                     TQELBaseFieldType t, TQELVariant& target) {
  const bool wideSource = IsWideStringBaseType(s) || s == bftWideMemo;
  if (IsStringBaseType(t)) {
    if (wideSource) {
      StoreWideText(target, t, TWideText(data, size).View());
    } else {
      StoreText(target, t, NarrowText(data, size));
    }
    return true;
  }
  if (t == bftBlob) {
    if (wideSource) {
      const TWideText text(data, size);
      std::uint8_t* bytes = target.AllocateData(static_cast<std::int32_t>(text.View().size() * 2), t);
      for (std::size_t i = 0; i < text.View().size(); ++i) {
        QELStoreLE<char16_t>(bytes + 2 * i, text.View()[i]);
      }
    } else {
      const std::string_view text = NarrowText(data, size);
      std::memcpy(target.AllocateData(static_cast<std::int32_t>(text.size()), t), text.data(),
                  text.size());
    }
    return true;
  }
  if (IsTextBlobBaseType(t) || t == bftBytes || t == bftVarBytes || t == bftUnknown) return false;

  const std::string owned = wideSource ? Utf8Text(data, size, s) : std::string();
  const std::string_view text = wideSource ? std::string_view(owned) : NarrowText(data, size);
  const bool fixedForms = s == bftString || s == bftFixedChar;
  const TQELFormatSettings settings = QELFormatSettings();
  TQELDateTimeStamp stamp{};

  if (IsIntegerBaseType(t)) {
    std::int64_t value = 0;
    if (t == bftLargeint || t == bftCardinal) {
      if (!QELTryParseInt64(text, value)) {
        throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
      }
    } else {
      std::int32_t narrow = 0;
      if (!QELTryParseInt32(text, narrow)) {
        throw EConvertError("'" + std::string(text) + "' is not a valid integer value");
      }
      value = narrow;
    }
    StoreInteger(target, t, value);
    return true;
  }
  switch (t) {
    case bftSingle: {
      float value = 0;
      if (!QELTryParseReal(text, value)) break;
      StoreFixed(target, t, value);
      return true;
    }
    case bftDouble: {
      double value = 0;
      if (!QELTryParseReal(text, value)) break;
      StoreFixed(target, t, value);
      return true;
    }
    case bftExtended: {
      long double value = 0;
      if (!QELTryParseReal(text, value)) break;
      QELEncodeExtended(value, target.AllocateData(kQELExtendedSize, t));
      return true;
    }
    case bftCurrency: {
      double value = 0;
      if (!QELTryParseCurrency(text, settings.DecimalSeparator, value)) break;
      StoreFixed(target, t, value);
      return true;
    }
    case bftBoolean: {
      StoreBoolean(target, IsTrueText(text));
      return true;
    }
    case bftDate: {
      std::int32_t day;
      if (fixedForms && (QELTryParseFixedDateText(text, TQELFixedDateText::DateTime, stamp) ||
                         QELTryParseFixedDateText(text, TQELFixedDateText::Date, stamp))) {
        day = stamp.Date;
      } else {
        day = QELParseDateText(text, settings);
      }
      StoreFixed(target, t, day);
      return true;
    }
    case bftTime: {
      std::int32_t ms;
      if (fixedForms && QELTryParseFixedDateText(text, TQELFixedDateText::Time, stamp)) {
        ms = stamp.Time;
      } else {
        ms = QELParseTimeText(text, settings);
      }
      StoreFixed(target, t, ms);
      return true;
    }
    case bftDateTime:
      if (!(fixedForms && (QELTryParseFixedDateText(text, TQELFixedDateText::DateTime, stamp) ||
                           QELTryParseFixedDateText(text, TQELFixedDateText::Date, stamp)))) {
        stamp = QELParseDateTimeText(text, settings);
      }
      StoreDateTime(target, stamp);
      return true;
    default:
      return false;
  }
  throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
}

bool ConvertFromInteger(std::int64_t value, TQELBaseFieldType t, TQELVariant& target) {
  if (IsStringBaseType(t)) {
    StoreIntegerText(target, t, value);
    return true;
  }
  if (StoreNumber(target, t, 0, value, true)) return true;
  switch (t) {
    case bftDate:
    case bftTime:
      StoreFixed(target, t, static_cast<std::int32_t>(value));
      return true;
    case bftDateTime:
      StoreDateTime(target, {static_cast<std::int32_t>(value), 0});
      return true;
    case bftBoolean:
      StoreBoolean(target, value != 0);
      return true;
    default:
      return false;
  }
}

bool ConvertFromReal(long double value, TQELBaseFieldType s, TQELBaseFieldType t,
                     TQELVariant& target) {
  if (IsStringBaseType(t)) {
    char text[kQELNumberTextSize];
    const char separator = QELFormatSettings().DecimalSeparator;
    const std::size_t length = s == bftCurrency
                                   ? QELFormatCurrency(static_cast<double>(value), separator, text)
                                   : QELFormatReal(value, RealKindOf(s), separator, text);
    StoreNumberText(target, t, text, length);
    return true;
  }
  if (StoreNumber(target, t, value, 0, false)) return true;
  if (s == bftCurrency && t != bftBoolean) return false;
  switch (t) {
    case bftDate:
      StoreFixed(target, t, TruncToInt32(value));
      return true;
    case bftTime:
      StoreFixed(target, t, static_cast<std::int32_t>(TruncToInt64(value) % kQELMSecsPerDay));
      return true;
    case bftDateTime: {
      // Rounded to the nearest millisecond: truncation would lose one for
      // about half of all times, as day + ms / 86400000 is rarely exact.
      TQELDateTimeStamp stamp{};
      if (!QELTrySplitDays(value, stamp.Date, stamp.Time)) ThrowOutOfRange();
      StoreDateTime(target, stamp);
      return true;
    }
    case bftBoolean:
      StoreBoolean(target, value != 0);
      return true;
    default:
      return false;
  }
}

bool ConvertFromDateTime(TQELDateTimeStamp stamp, TQELBaseFieldType s, TQELBaseFieldType t,
                         TQELVariant& target) {
  const bool emptyDate = stamp.Date == kQELEmptyDate;
  if (IsStringBaseType(t)) {
    const TQELFormatSettings settings = QELFormatSettings();
    std::string text;
    if (s == bftDate) {
      if (!emptyDate) text = QELFormatDateText(stamp.Date, settings);
    } else if (s == bftTime) {
      if (stamp.Time != 0) text = QELFormatTimeText(stamp.Time, settings);
    } else if (!emptyDate || stamp.Time != 0) {
      text = QELFormatDateTimeText(stamp, settings);
    }
    StoreText(target, t, text);
    return true;
  }
  if (IsIntegerBaseType(t)) {
    StoreInteger(target, t, s == bftTime ? stamp.Time : stamp.Date);
    return true;
  }
  if (IsRealBaseType(t) || t == bftCurrency) {
    long double value;
    if (s == bftDate) {
      value = stamp.Date;
    } else if (s == bftTime) {
      value = stamp.Time;
    } else {
      value = (emptyDate ? 0.0L : static_cast<long double>(stamp.Date)) +
              static_cast<long double>(stamp.Time) / kQELMSecsPerDay;
    }
    StoreReal(target, t, value);
    return true;
  }
  switch (t) {
    case bftDate:
      StoreFixed(target, t, s == bftTime ? stamp.Time : stamp.Date);
      return true;
    case bftTime:
      StoreFixed(target, t, s == bftDate ? stamp.Date % kQELMSecsPerDay : stamp.Time);
      return true;
    case bftDateTime:
      StoreDateTime(target, s == bftTime ? TQELDateTimeStamp{kQELEmptyDate, stamp.Time}
                                         : TQELDateTimeStamp{stamp.Date, 0});
      return true;
    case bftBoolean:
      if (s == bftDate) {
        StoreBoolean(target, !emptyDate);
      } else if (s == bftTime) {
        StoreBoolean(target, stamp.Time != 0);
      } else {
        StoreBoolean(target, !emptyDate || stamp.Time != 0);
      }
      return true;
    default:
      return false;
  }
}

// Answers false when no rule exists for the pair.
bool ConvertByRule(const std::uint8_t* data, std::int32_t size, TQELBaseFieldType s,
                   TQELBaseFieldType t, TQELVariant& target) {
  if (IsStringBaseType(s) || IsTextBlobBaseType(s)) return ConvertFromText(data, size, s, t, target);
  if (IsIntegerBaseType(s)) return ConvertFromInteger(LoadInteger(data, size, s), t, target);
  if (IsRealBaseType(s) || s == bftCurrency) {
    return ConvertFromReal(LoadReal(data, size, s), s, t, target);
  }
  switch (s) {
    case bftDate:
      return ConvertFromDateTime({LoadFixed<std::int32_t>(data, size), 0}, s, t, target);
    case bftTime:
      return ConvertFromDateTime({0, LoadFixed<std::int32_t>(data, size)}, s, t, target);
    case bftDateTime:
      return ConvertFromDateTime(
          {LoadFixed<std::int32_t>(data, size),
           size >= 8 ? LoadFixed<std::int32_t>(data + 4, 4) : 0},
          s, t, target);
    case bftBoolean: {
      const bool value = LoadFixed<std::int16_t>(data, size) != 0;
      if (IsStringBaseType(t)) {
        StoreText(target, t, value ? "True" : "False");
        return true;
      }
      if (IsIntegerBaseType(t)) {
        StoreInteger(target, t, value ? 1 : 0);
        return true;
      }
      if (IsRealBaseType(t)) {
        StoreReal(target, t, value ? 1 : 0);
        return true;
      }
      return false;
    }
    default:
      return false;  // BLOBs, byte strings, no type
  }
}

}  // namespace

TQELBaseFieldType CommonType(TQELBaseFieldType first, TQELBaseFieldType second,
                             bool preferDate) {
  // `second` is compared as a byte: a value outside the enumeration belongs
  // to no class below.
  const std::uint8_t b = second;
  const auto result = [](std::uint8_t t) { return static_cast<TQELBaseFieldType>(t); };
  // Text, numbers and dates meet a text operand; these do not.
  const bool bRefused = b == bftUnknown || b == bftBlob || b == bftBytes || b == bftVarBytes;
  switch (first) {
    case bftFixedChar:
      if (b == bftFixedWideChar || b == bftWideMemo) return bftFixedWideChar;
      if (b == bftString || b == bftWideString) return result(b);
      if (IsDateTimeBaseType(b)) return preferDate ? result(b) : bftFixedChar;
      return bRefused ? bftUnknown : bftFixedChar;
    case bftFixedWideChar:
      if (b == bftWideString) return bftWideString;
      if (IsDateTimeBaseType(b)) return preferDate ? result(b) : bftFixedWideChar;
      return bRefused ? bftUnknown : bftFixedWideChar;
    case bftString:
      if (b == bftFixedWideChar) return bftFixedWideChar;
      if (b == bftWideString || b == bftWideMemo) return bftWideString;
      if (IsDateTimeBaseType(b)) return preferDate ? result(b) : bftString;
      return bRefused ? bftUnknown : bftString;
    case bftWideString:
      if (IsStringBaseType(b) || IsNumericBaseType(b) || IsTextBlobBaseType(b) || b == bftBoolean) {
        return bftWideString;
      }
      if (IsDateTimeBaseType(b)) return preferDate ? result(b) : bftWideString;
      return bftUnknown;
    case bftShortint:
    case bftSmallint:
      if (IsStringBaseType(b)) return result(b);
      if (b == bftShortint || b == bftBoolean) return first;
      if (b == bftSmallint || b == bftByte) return bftSmallint;
      // A signed operand meets an unsigned one in the signed type that holds
      // both, as with the unsigned operand first: an unsigned result would
      // turn a negative value into a large one.
      if (b == bftWord) return bftInteger;
      if (b == bftCardinal) return bftLargeint;
      if (b == bftInteger || b == bftLargeint || IsRealBaseType(b) || IsDateTimeBaseType(b) || b == bftCurrency) {
        return result(b);
      }
      return bftUnknown;
    case bftInteger:
      if (IsStringBaseType(b)) return result(b);
      if (b == bftLargeint || b == bftCardinal) return bftLargeint;
      if (IsRealBaseType(b) || IsDateTimeBaseType(b) || b == bftCurrency) return result(b);
      if (IsIntegerBaseType(b) || b == bftBoolean) return bftInteger;
      return bftUnknown;
    case bftLargeint:
      if (IsStringBaseType(b)) return result(b);
      if (IsIntegerBaseType(b) || b == bftBoolean) return bftLargeint;
      if (IsRealBaseType(b) || IsDateTimeBaseType(b) || b == bftCurrency) return result(b);
      return bftUnknown;
    case bftByte:
      if (IsStringBaseType(b)) return result(b);
      if (b == bftShortint || b == bftSmallint) return bftSmallint;
      if (b == bftInteger || b == bftLargeint || b == bftWord || b == bftCardinal || IsRealBaseType(b) ||
          IsDateTimeBaseType(b) || b == bftCurrency) {
        return result(b);
      }
      if (b == bftByte || b == bftBoolean) return bftByte;
      return bftUnknown;
    case bftWord:
      if (IsStringBaseType(b)) return result(b);
      if (In(b, bftShortint, bftInteger)) return bftInteger;
      if (b == bftLargeint || b == bftCardinal || IsRealBaseType(b) || IsDateTimeBaseType(b) ||
          b == bftCurrency) {
        return result(b);
      }
      if (b == bftByte || b == bftWord || b == bftBoolean) return bftWord;
      return bftUnknown;
    case bftCardinal:
      if (IsStringBaseType(b)) return result(b);
      if (In(b, bftShortint, bftLargeint)) return bftLargeint;  // the signed integers
      if (In(b, bftByte, bftCardinal) || b == bftBoolean) return bftCardinal;  // the unsigned ones
      if (IsRealBaseType(b) || IsDateTimeBaseType(b) || b == bftCurrency) return result(b);
      return bftUnknown;
    // A real type takes the integers and the narrower reals; a wider real, a
    // date or currency wins.
    case bftSingle:
      if (IsStringBaseType(b)) return result(b);
      if (In(b, bftShortint, bftSingle) || b == bftBoolean) return bftSingle;
      if (In(b, bftDouble, bftDateTime) || b == bftCurrency) return result(b);
      return bftUnknown;
    case bftDouble:
      if (IsStringBaseType(b)) return result(b);
      if (In(b, bftShortint, bftDouble) || b == bftBoolean) return bftDouble;
      if (In(b, bftExtended, bftDateTime) || b == bftCurrency) return result(b);
      return bftUnknown;
    case bftExtended:
      if (IsStringBaseType(b)) return result(b);
      if (In(b, bftShortint, bftExtended) || b == bftBoolean) return bftExtended;
      if (IsDateTimeBaseType(b) || b == bftCurrency) return result(b);
      return bftUnknown;
    // A date or a time takes the integers and reals; a date meets a time in
    // a date-time.
    case bftDate:
      if (IsStringBaseType(b)) return preferDate ? bftDate : result(b);
      if (In(b, bftShortint, bftDate)) return bftDate;
      if (b == bftTime || b == bftDateTime) return bftDateTime;
      return bftUnknown;
    case bftTime:
      if (IsStringBaseType(b)) return preferDate ? bftTime : result(b);
      if (In(b, bftShortint, bftExtended) || b == bftTime) return bftTime;
      if (b == bftDate || b == bftDateTime) return bftDateTime;
      return bftUnknown;
    case bftDateTime:
      if (IsStringBaseType(b)) return preferDate ? bftDateTime : result(b);
      if (In(b, bftShortint, bftDateTime)) return bftDateTime;
      return bftUnknown;
    case bftMemo:
      if (b == bftFixedChar || b == bftMemo) return bftFixedChar;
      if (b == bftFixedWideChar || b == bftWideMemo) return bftFixedWideChar;
      if (b == bftString || b == bftWideString) return result(b);
      return bftUnknown;
    case bftWideMemo:
      if (b == bftFixedChar || b == bftFixedWideChar || IsTextBlobBaseType(b)) return bftFixedWideChar;
      if (b == bftString || b == bftWideString) return bftWideString;
      return bftUnknown;
    // Boolean and currency meet text and the integer and real types, and
    // themselves.
    case bftBoolean:
      if (In(b, bftFixedChar, bftExtended)) return result(b);
      return b == bftBoolean ? bftBoolean : bftUnknown;
    case bftCurrency:
      if (In(b, bftFixedChar, bftExtended)) return result(b);
      return b == bftCurrency ? bftCurrency : bftUnknown;
    default:
      return bftUnknown;
  }
}

void ConvertValueInto(const void* source, std::int32_t sourceSize, TQELBaseFieldType sourceType,
                      TQELBaseFieldType targetType, TQELVariant& target) {
  const auto* data = static_cast<const std::uint8_t*>(source);
  if (sourceType == targetType && sourceType != bftUnknown) {
    target.SetData(data, sourceSize, cmCopy, targetType);
    return;
  }
  bool converted = false;
  try {
    converted = data != nullptr && ConvertByRule(data, sourceSize, sourceType, targetType, target);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    throw EQELException(kErrCannotCast, kCannotCastMsg,
                        {BaseFieldTypeName(sourceType), BaseFieldTypeName(targetType)});
  }
  if (!converted) {
    throw EQELException(kErrNoCastRule, kCannotCastMsg,
                        {BaseFieldTypeName(sourceType), BaseFieldTypeName(targetType)});
  }
}

std::vector<std::uint8_t> ConvertValue(const void* source, std::int32_t sourceSize,
                                       TQELBaseFieldType sourceType,
                                       TQELBaseFieldType targetType) {
  TQELVariant target;
  ConvertValueInto(source, sourceSize, sourceType, targetType, target);
  return std::vector<std::uint8_t>(target.Data(), target.Data() + target.DataSize());
}

}  // namespace qel
