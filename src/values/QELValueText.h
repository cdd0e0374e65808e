#pragma once
// Values as text: the process's number and date format settings, UTF-8 and
// UTF-16 re-encoding, and the formatting and parsing of integers, reals,
// currency amounts, dates and times that value conversions use.
//
// Text that must read the same everywhere (SQL literals, stored defaults) is
// parsed with fixed rules: reals always with '.' as decimal separator, dates
// in the fixed yyyy-mm-dd forms. Text meant for people uses the format
// settings, which the application may change at any time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "values/QELValueCodec.h"

namespace qel {

enum class TQELDateOrder : std::uint8_t { YMD, DMY, MDY };

struct TQELFormatSettings {
  char DecimalSeparator = '.';
  char DateSeparator = '-';
  char TimeSeparator = ':';
  TQELDateOrder DateOrder = TQELDateOrder::YMD;
};

// The settings in effect; safe to call from any thread.
TQELFormatSettings QELFormatSettings();
void QELSetFormatSettings(const TQELFormatSettings& settings);

// Re-encoding. Malformed input becomes U+FFFD.
std::string QELUtf16ToUtf8(std::u16string_view text);
std::u16string QELUtf8ToUtf16(std::string_view text);

// Room for any text the number formatters below write.
inline constexpr std::size_t kQELNumberTextSize = 64;

enum class TQELRealKind : std::uint8_t { Single, Double, Extended };

// Shortest text that reads back as the same value of that precision, in plain
// notation for moderate exponents and as "1.5E+20" otherwise, with the given
// decimal separator. Answers the length written to `dest`.
std::size_t QELFormatReal(long double value, TQELRealKind kind, char decimalSeparator, char* dest);
// A currency amount rounded to four decimals, without trailing zeros.
std::size_t QELFormatCurrency(double value, char decimalSeparator, char* dest);

// Decimal integers with optional blanks around and an optional sign; false
// when the text is not one or does not fit.
bool QELTryParseInt32(std::string_view text, std::int32_t& value);
bool QELTryParseInt64(std::string_view text, std::int64_t& value);
// Reals with '.' as decimal separator and an optional exponent.
bool QELTryParseReal(std::string_view text, float& value);
bool QELTryParseReal(std::string_view text, double& value);
bool QELTryParseReal(std::string_view text, long double& value);
// A currency amount with the given decimal separator, rounded to four
// decimals.
bool QELTryParseCurrency(std::string_view text, char decimalSeparator, double& value);

// The fixed date and time texts: groups of digits, each ended by exactly one
// non-digit or the end of the text, of 4-2-2 digits (date), 2-2-2 (time) or
// 4-2-2-2-2-2 (date and time), using up the whole text. Answers false when
// the text does not have that shape; raises EConvertError when it has the
// shape but names no valid date or time.
enum class TQELFixedDateText : std::uint8_t { Date, Time, DateTime };
bool QELTryParseFixedDateText(std::string_view text, TQELFixedDateText kind,
                              TQELDateTimeStamp& stamp);

// Texts in the format settings' forms: a date in the settings' order and
// separator with a four-digit year; a time "hh:nn:ss" with the settings'
// separator and ".zzz" when the milliseconds are not whole seconds; a date
// and time as the date, a blank and the time (the time left out at
// midnight). The parsers accept one- or two-digit fields, a two-digit year
// (00..49 as 20xx, 50..99 as 19xx), and a time without seconds; they raise
// EConvertError for anything else. Formatting raises EConvertError for a day
// number or time that names no calendar date or time of day.
std::string QELFormatDateText(std::int32_t dayNumber, const TQELFormatSettings& settings);
std::string QELFormatTimeText(std::int32_t milliseconds, const TQELFormatSettings& settings);
std::string QELFormatDateTimeText(TQELDateTimeStamp stamp, const TQELFormatSettings& settings);
std::int32_t QELParseDateText(std::string_view text, const TQELFormatSettings& settings);
std::int32_t QELParseTimeText(std::string_view text, const TQELFormatSettings& settings);
TQELDateTimeStamp QELParseDateTimeText(std::string_view text, const TQELFormatSettings& settings);

}  // namespace qel
