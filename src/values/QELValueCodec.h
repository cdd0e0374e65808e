#pragma once
// Byte encodings of values as records and variants hold them: little-endian
// integers and IEEE reals, the 10-byte x87 extended real, and the day number
// and millisecond forms of dates and times.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace qel {

// Little-endian loads and stores of integers and IEEE reals from unaligned
// bytes. On a little-endian machine each is a single move.
template <class T>
inline T QELLoadLE(const void* source) {
  static_assert(std::is_trivially_copyable_v<T>);
  std::array<std::uint8_t, sizeof(T)> bytes;
  std::memcpy(bytes.data(), source, sizeof(T));
  if constexpr (std::endian::native == std::endian::big) std::reverse(bytes.begin(), bytes.end());
  return std::bit_cast<T>(bytes);
}

template <class T>
inline void QELStoreLE(void* dest, T value) {
  static_assert(std::is_trivially_copyable_v<T>);
  auto bytes = std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(value);
  if constexpr (std::endian::native == std::endian::big) std::reverse(bytes.begin(), bytes.end());
  std::memcpy(dest, bytes.data(), sizeof(T));
}

// The 80-bit extended real: 64-bit mantissa with an explicit integer bit
// (bytes 0..7), then the sign and a 15-bit exponent biased by 16383 (bytes
// 8..9), little-endian.
inline constexpr int kQELExtendedSize = 10;

void QELEncodeExtended(long double value, std::uint8_t* dest);
long double QELDecodeExtended(const std::uint8_t* source);

// The same conversions built from the value's parts, for any long double
// format. QELEncodeExtended/QELDecodeExtended use a plain copy instead where
// long double already is the 80-bit format in little-endian order.
void QELEncodeExtendedPortable(long double value, std::uint8_t* dest);
long double QELDecodeExtendedPortable(const std::uint8_t* source);

// Dates and times. A date is stored as its day number (0001-01-01 is day 1),
// a time as milliseconds since midnight. A date-time value (the platform's
// form) counts days since 1899-12-30, its fraction being the time of day; for
// values before that day the fraction still counts forward from midnight of
// the day named by the integral part's magnitude (-1.25 is 1899-12-29 06:00).
inline constexpr std::int32_t kQELDateDelta = 693594;  // day number of 1899-12-30
inline constexpr std::int32_t kQELMSecsPerDay = 86400000;
inline constexpr std::int32_t kQELEmptyDate = INT32_MIN;
inline constexpr std::int32_t kQELMaxDayNumber = 3652059;  // 9999-12-31

struct TQELDateTimeStamp {
  std::int32_t Date;  // day number
  std::int32_t Time;  // milliseconds since midnight
};

// False for a date outside 0001-01-01 .. 9999-12-31 or a day the month lacks.
bool QELTryEncodeDate(int year, int month, int day, std::int32_t& dayNumber);
// False for a day number outside 1 .. kQELMaxDayNumber.
bool QELTryDecodeDate(std::int32_t dayNumber, int& year, int& month, int& day);

// Splits a real into whole days and rounded milliseconds, carrying a rounded
// full day into the day count. Values outside the int32 day range answer
// false.
bool QELTrySplitDays(long double days, std::int32_t& wholeDays, std::int32_t& milliseconds);

// Date-time value <-> {day number, milliseconds}. The date part of an empty
// date reads as day 0 of the date-time scale (1899-12-30).
bool QELTryDateTimeToStamp(double dateTime, TQELDateTimeStamp& stamp);
double QELStampToDateTime(TQELDateTimeStamp stamp);

}  // namespace qel
