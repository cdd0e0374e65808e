#include "values/QELValueCodec.h"

#include <cmath>
#include <limits>

namespace qel {

namespace {

constexpr int kExtendedBias = 16383;
constexpr int kExtendedMaxExponent = 0x7FFF;
constexpr std::uint64_t kExplicitOne = 0x8000000000000000ull;

constexpr bool kLongDoubleIsExtended = std::numeric_limits<long double>::is_iec559 &&
                                       std::numeric_limits<long double>::digits == 64 &&
                                       std::numeric_limits<long double>::max_exponent == 16384;

void PutExtended(std::uint8_t* dest, bool negative, int exponent, std::uint64_t mantissa) {
  QELStoreLE<std::uint64_t>(dest, mantissa);
  QELStoreLE<std::uint16_t>(dest + 8,
                            static_cast<std::uint16_t>((negative ? 0x8000 : 0) | exponent));
}

}  // namespace

void QELEncodeExtendedPortable(long double value, std::uint8_t* dest) {
  const bool negative = std::signbit(value);
  if (std::isnan(value)) {
    PutExtended(dest, negative, kExtendedMaxExponent, 0xC000000000000000ull);
    return;
  }
  if (std::isinf(value)) {
    PutExtended(dest, negative, kExtendedMaxExponent, kExplicitOne);
    return;
  }
  if (value == 0) {
    PutExtended(dest, negative, 0, 0);
    return;
  }
  int exponent = 0;
  // |value| = fraction * 2^exponent with fraction in [0.5, 1); the 64-bit
  // mantissa is fraction * 2^64, whose top bit is the explicit integer bit.
  const long double fraction = std::frexp(std::fabs(value), &exponent);
  std::uint64_t mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 64));
  int biased = exponent - 1 + kExtendedBias;
  if (biased >= kExtendedMaxExponent) {
    PutExtended(dest, negative, kExtendedMaxExponent, kExplicitOne);
    return;
  }
  if (biased <= 0) {
    // Denormal: exponent field 0 stands for 2^-16382 without the integer bit.
    const int shift = 1 - biased;
    mantissa = shift >= 64 ? 0 : mantissa >> shift;
    biased = 0;
  }
  PutExtended(dest, negative, biased, mantissa);
}

long double QELDecodeExtendedPortable(const std::uint8_t* source) {
  const std::uint64_t mantissa = QELLoadLE<std::uint64_t>(source);
  const std::uint16_t signAndExponent = QELLoadLE<std::uint16_t>(source + 8);
  const bool negative = (signAndExponent & 0x8000) != 0;
  const int exponent = signAndExponent & 0x7FFF;
  long double magnitude;
  if (exponent == kExtendedMaxExponent) {
    magnitude = (mantissa << 1) == 0 ? std::numeric_limits<long double>::infinity()
                                     : std::numeric_limits<long double>::quiet_NaN();
  } else {
    const int scale = (exponent == 0 ? 1 : exponent) - kExtendedBias - 63;
    magnitude = std::ldexp(static_cast<long double>(mantissa), scale);
  }
  return negative ? -magnitude : magnitude;
}

void QELEncodeExtended(long double value, std::uint8_t* dest) {
  if constexpr (kLongDoubleIsExtended && std::endian::native == std::endian::little) {
    std::memcpy(dest, &value, kQELExtendedSize);
  } else {
    QELEncodeExtendedPortable(value, dest);
  }
}

long double QELDecodeExtended(const std::uint8_t* source) {
  if constexpr (kLongDoubleIsExtended && std::endian::native == std::endian::little) {
    long double value = 0;
    std::memcpy(&value, source, kQELExtendedSize);
    return value;
  } else {
    return QELDecodeExtendedPortable(source);
  }
}

// Day counting in the proleptic Gregorian calendar through days since
// 0000-03-01, so that the leap day ends the counting year.
bool QELTryEncodeDate(int year, int month, int day, std::int32_t& dayNumber) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  static constexpr int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  const int monthDays = kDaysInMonth[month - 1] + (month == 2 && leap ? 1 : 0);
  if (day > monthDays) return false;
  const int y = month <= 2 ? year - 1 : year;
  const int era = y / 400;
  const int yearOfEra = y - era * 400;
  const int monthFromMarch = month > 2 ? month - 3 : month + 9;
  const int dayOfYear = (153 * monthFromMarch + 2) / 5 + day - 1;
  const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  // Day 1 is 0001-01-01, which is 306 days after 0000-03-01.
  dayNumber = era * 146097 + dayOfEra - 305;
  return true;
}

bool QELTryDecodeDate(std::int32_t dayNumber, int& year, int& month, int& day) {
  if (dayNumber < 1 || dayNumber > kQELMaxDayNumber) return false;
  const int z = dayNumber + 305;
  const int era = z / 146097;
  const int dayOfEra = z - era * 146097;
  const int yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int monthFromMarch = (5 * dayOfYear + 2) / 153;
  day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
  month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
  year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  return true;
}

bool QELTrySplitDays(long double days, std::int32_t& wholeDays, std::int32_t& milliseconds) {
  if (!std::isfinite(days)) return false;
  long double whole = std::trunc(days);
  long double ms = std::round(std::fabs(days - whole) * kQELMSecsPerDay);
  if (ms >= kQELMSecsPerDay) {
    ms -= kQELMSecsPerDay;
    whole += days < 0 ? -1 : 1;
  }
  if (whole < std::numeric_limits<std::int32_t>::min() ||
      whole > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  wholeDays = static_cast<std::int32_t>(whole);
  milliseconds = static_cast<std::int32_t>(ms);
  return true;
}

bool QELTryDateTimeToStamp(double dateTime, TQELDateTimeStamp& stamp) {
  std::int32_t days = 0;
  std::int32_t ms = 0;
  if (!QELTrySplitDays(dateTime, days, ms)) return false;
  const std::int64_t dayNumber = static_cast<std::int64_t>(days) + kQELDateDelta;
  if (dayNumber > std::numeric_limits<std::int32_t>::max()) return false;
  stamp.Date = static_cast<std::int32_t>(dayNumber);
  stamp.Time = ms;
  return true;
}

double QELStampToDateTime(TQELDateTimeStamp stamp) {
  const double days =
      stamp.Date == kQELEmptyDate ? 0.0 : static_cast<double>(stamp.Date) - kQELDateDelta;
  const double fraction = static_cast<double>(stamp.Time) / kQELMSecsPerDay;
  return days < 0 ? days - fraction : days + fraction;
}

}  // namespace qel
