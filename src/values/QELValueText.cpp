#include "values/QELValueText.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "values/QELValueErrors.h"

namespace qel {

namespace {

// The four settings packed into one word, so that readers never lock.
std::uint32_t Pack(const TQELFormatSettings& s) {
  return static_cast<std::uint8_t>(s.DecimalSeparator) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(s.DateSeparator)) << 8 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(s.TimeSeparator)) << 16 |
         static_cast<std::uint32_t>(s.DateOrder) << 24;
}

std::atomic<std::uint32_t> gFormatSettings{Pack(TQELFormatSettings{})};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Reads one code point at `pos`, advancing it; malformed sequences read as
// U+FFFD and consume one byte.
char32_t NextUtf8(std::string_view text, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(pos);
  if (lead < 0x80) {
    ++pos;
    return lead;
  }
  int length = 0;
  char32_t c = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, c = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, c = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, c = lead & 0x07, minimum = 0x10000;
  } else {
    ++pos;
    return kReplacement;
  }
  if (pos + length > text.size()) {
    ++pos;
    return kReplacement;
  }
  for (int i = 1; i < length; ++i) {
    const std::uint8_t next = byte(pos + i);
    if ((next & 0xC0) != 0x80) {
      ++pos;
      return kReplacement;
    }
    c = c << 6 | (next & 0x3F);
  }
  if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++pos;
    return kReplacement;
  }
  pos += length;
  return c;
}

std::size_t Put(char* dest, std::size_t at, std::string_view text) {
  std::memcpy(dest + at, text.data(), text.size());
  return at + text.size();
}

void AppendTwoDigits(std::string& out, int value) {
  out.push_back(static_cast<char>('0' + value / 10 % 10));
  out.push_back(static_cast<char>('0' + value % 10));
}

void AppendDigits(std::string& out, int value, int width) {
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  for (int pad = width - static_cast<int>(end - digits); pad > 0; --pad) out.push_back('0');
  out.append(digits, end);
}

[[noreturn]] void ThrowInvalid(std::string_view text, std::string_view what) {
  throw EConvertError("'" + std::string(text) + "' is not a valid " + std::string(what));
}

// Reads one unsigned decimal field of 1..maxDigits digits at `pos`.
bool ReadField(std::string_view text, std::size_t& pos, int maxDigits, int& value,
               int* digitCount = nullptr) {
  int count = 0;
  value = 0;
  while (pos < text.size() && IsDigit(text[pos]) && count < maxDigits) {
    value = value * 10 + (text[pos] - '0');
    ++pos;
    ++count;
  }
  if (digitCount) *digitCount = count;
  return count > 0 && (pos >= text.size() || !IsDigit(text[pos]));
}

bool TryEncodeTime(int hour, int minute, int second, int msec, std::int32_t& milliseconds) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      msec < 0 || msec > 999) {
    return false;
  }
  milliseconds = ((hour * 60 + minute) * 60 + second) * 1000 + msec;
  return true;
}

// Reads a date at `pos` in the settings' order; answers the day number or
// raises.
std::int32_t ReadLocaleDate(std::string_view text, std::size_t& pos,
                            const TQELFormatSettings& settings, std::string_view whole) {
  int fields[3] = {};
  int digits[3] = {};
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (pos >= text.size() || text[pos] != settings.DateSeparator) ThrowInvalid(whole, "date");
      ++pos;
    }
    if (!ReadField(text, pos, 4, fields[i], &digits[i])) ThrowInvalid(whole, "date");
  }
  int yearIndex = 0, monthIndex = 1, dayIndex = 2;
  if (settings.DateOrder == TQELDateOrder::DMY) {
    dayIndex = 0, monthIndex = 1, yearIndex = 2;
  } else if (settings.DateOrder == TQELDateOrder::MDY) {
    monthIndex = 0, dayIndex = 1, yearIndex = 2;
  }
  int year = fields[yearIndex];
  if (digits[yearIndex] <= 2) year += year < 50 ? 2000 : 1900;
  if (digits[monthIndex] > 2 || digits[dayIndex] > 2) ThrowInvalid(whole, "date");
  std::int32_t dayNumber = 0;
  if (!QELTryEncodeDate(year, fields[monthIndex], fields[dayIndex], dayNumber)) {
    ThrowInvalid(whole, "date");
  }
  return dayNumber;
}

std::int32_t ReadLocaleTime(std::string_view text, std::size_t& pos,
                            const TQELFormatSettings& settings, std::string_view whole) {
  int hour = 0, minute = 0, second = 0, msec = 0;
  if (!ReadField(text, pos, 2, hour)) ThrowInvalid(whole, "time");
  if (pos >= text.size() || text[pos] != settings.TimeSeparator) ThrowInvalid(whole, "time");
  ++pos;
  if (!ReadField(text, pos, 2, minute)) ThrowInvalid(whole, "time");
  if (pos < text.size() && text[pos] == settings.TimeSeparator) {
    ++pos;
    if (!ReadField(text, pos, 2, second)) ThrowInvalid(whole, "time");
    if (pos < text.size() && text[pos] == '.') {
      ++pos;
      int digits = 0;
      if (!ReadField(text, pos, 3, msec, &digits)) ThrowInvalid(whole, "time");
      for (; digits < 3; ++digits) msec *= 10;
    }
  }
  std::int32_t milliseconds = 0;
  if (!TryEncodeTime(hour, minute, second, msec, milliseconds)) ThrowInvalid(whole, "time");
  return milliseconds;
}

}  // namespace

TQELFormatSettings QELFormatSettings() {
  const std::uint32_t packed = gFormatSettings.load(std::memory_order_relaxed);
  TQELFormatSettings settings;
  settings.DecimalSeparator = static_cast<char>(packed & 0xFF);
  settings.DateSeparator = static_cast<char>(packed >> 8 & 0xFF);
  settings.TimeSeparator = static_cast<char>(packed >> 16 & 0xFF);
  settings.DateOrder = static_cast<TQELDateOrder>(packed >> 24 & 0xFF);
  return settings;
}

void QELSetFormatSettings(const TQELFormatSettings& settings) {
  gFormatSettings.store(Pack(settings), std::memory_order_relaxed);
}

std::string QELUtf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    AppendUtf8(c, out);
  }
  return out;
}

std::u16string QELUtf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char32_t c = NextUtf8(text, pos);
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

std::size_t QELFormatReal(long double value, TQELRealKind kind, char decimalSeparator,
                          char* dest) {
  if (std::isnan(value)) return Put(dest, 0, "NAN");
  if (std::isinf(value)) return Put(dest, 0, value < 0 ? "-INF" : "INF");
  // The shortest digits that read back as the same value of the source's
  // precision, from the scientific form "d.ddde+XX".
  char sci[kQELNumberTextSize];
  std::to_chars_result result;
  int plainLimit = 15;
  switch (kind) {
    case TQELRealKind::Single:
      result = std::to_chars(sci, sci + sizeof sci, static_cast<float>(value),
                             std::chars_format::scientific);
      break;
    case TQELRealKind::Double:
      result = std::to_chars(sci, sci + sizeof sci, static_cast<double>(value),
                             std::chars_format::scientific);
      break;
    case TQELRealKind::Extended:
      result = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
      plainLimit = 18;
      break;
  }
  const std::string_view text(sci, static_cast<std::size_t>(result.ptr - sci));
  std::size_t pos = 0;
  bool negative = false;
  if (text[pos] == '-') {
    negative = true;
    ++pos;
  }
  char digits[kQELNumberTextSize];
  int digitCount = 0;
  while (pos < text.size() && text[pos] != 'e') {
    if (IsDigit(text[pos])) digits[digitCount++] = text[pos];
    ++pos;
  }
  int exponent = 0;
  std::from_chars(text.data() + pos + 1 + (text[pos + 1] == '+' ? 1 : 0),
                  text.data() + text.size(), exponent);
  while (digitCount > 1 && digits[digitCount - 1] == '0') --digitCount;

  std::size_t out = 0;
  if (negative) dest[out++] = '-';
  if (digitCount == 1 && digits[0] == '0') {
    dest[out++] = '0';
    return out;
  }
  if (exponent >= -5 && exponent < plainLimit) {
    if (exponent < 0) {
      dest[out++] = '0';
      dest[out++] = decimalSeparator;
      for (int i = -1; i > exponent; --i) dest[out++] = '0';
      for (int i = 0; i < digitCount; ++i) dest[out++] = digits[i];
    } else {
      for (int i = 0; i <= exponent; ++i) dest[out++] = i < digitCount ? digits[i] : '0';
      if (digitCount > exponent + 1) {
        dest[out++] = decimalSeparator;
        for (int i = exponent + 1; i < digitCount; ++i) dest[out++] = digits[i];
      }
    }
    return out;
  }
  dest[out++] = digits[0];
  if (digitCount > 1) {
    dest[out++] = decimalSeparator;
    for (int i = 1; i < digitCount; ++i) dest[out++] = digits[i];
  }
  dest[out++] = 'E';
  dest[out++] = exponent < 0 ? '-' : '+';
  const auto end = std::to_chars(dest + out, dest + kQELNumberTextSize, std::abs(exponent)).ptr;
  return static_cast<std::size_t>(end - dest);
}

std::size_t QELFormatCurrency(double value, char decimalSeparator, char* dest) {
  const long double scaled = std::round(static_cast<long double>(value) * 10000);
  if (!std::isfinite(scaled) || std::fabs(scaled) >= 9.2e18L) {
    return QELFormatReal(value, TQELRealKind::Double, decimalSeparator, dest);
  }
  const std::int64_t units = static_cast<std::int64_t>(scaled);
  const std::uint64_t magnitude =
      units < 0 ? 0 - static_cast<std::uint64_t>(units) : static_cast<std::uint64_t>(units);
  std::size_t out = 0;
  if (units < 0) dest[out++] = '-';
  out = static_cast<std::size_t>(
      std::to_chars(dest + out, dest + kQELNumberTextSize, magnitude / 10000).ptr - dest);
  std::uint64_t fraction = magnitude % 10000;
  if (fraction != 0) {
    dest[out++] = decimalSeparator;
    int places = 4;
    while (fraction % 10 == 0) {
      fraction /= 10;
      --places;
    }
    char digits[4];
    for (int i = places - 1; i >= 0; --i) {
      digits[i] = static_cast<char>('0' + fraction % 10);
      fraction /= 10;
    }
    for (int i = 0; i < places; ++i) dest[out++] = digits[i];
  }
  return out;
}

bool QELTryParseInt64(std::string_view text, std::int64_t& value) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return false;
  }
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

bool QELTryParseInt32(std::string_view text, std::int32_t& value) {
  std::int64_t wide = 0;
  if (!QELTryParseInt64(text, wide) || wide < std::numeric_limits<std::int32_t>::min() ||
      wide > std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  value = static_cast<std::int32_t>(wide);
  return true;
}

namespace {

template <class T>
bool ParseReal(std::string_view text, T& value) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return false;
  }
  if (text.empty()) return false;
  if constexpr (std::is_same_v<T, long double>) {
    // The library reads a long double through the C conversion, which runs
    // on to a NUL byte, past the end of a view into a larger buffer: it gets
    // a terminated copy.
    const std::string terminated(text);
    const char* last = terminated.data() + terminated.size();
    const auto [end, error] = std::from_chars(terminated.data(), last, value, std::chars_format::general);
    return error == std::errc() && end == last;
  } else {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value,
                                              std::chars_format::general);
    return error == std::errc() && end == text.data() + text.size();
  }
}

}  // namespace

bool QELTryParseReal(std::string_view text, float& value) { return ParseReal(text, value); }
bool QELTryParseReal(std::string_view text, double& value) { return ParseReal(text, value); }
bool QELTryParseReal(std::string_view text, long double& value) { return ParseReal(text, value); }

bool QELTryParseCurrency(std::string_view text, char decimalSeparator, double& value) {
  text = Trim(text);
  if (text.size() >= kQELNumberTextSize) return false;
  char buffer[kQELNumberTextSize];
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '.' && decimalSeparator != '.') return false;
    if (c == decimalSeparator) c = '.';
    buffer[i] = c;
  }
  double parsed = 0;
  if (!ParseReal(std::string_view(buffer, text.size()), parsed) || !std::isfinite(parsed)) {
    return false;
  }
  value = static_cast<double>(std::round(static_cast<long double>(parsed) * 10000) / 10000);
  return true;
}

bool QELTryParseFixedDateText(std::string_view text, TQELFixedDateText kind,
                              TQELDateTimeStamp& stamp) {
  static constexpr int kDateGroups[] = {4, 2, 2};
  static constexpr int kTimeGroups[] = {2, 2, 2};
  static constexpr int kDateTimeGroups[] = {4, 2, 2, 2, 2, 2};
  const int* groups = kDateGroups;
  int groupCount = 3;
  if (kind == TQELFixedDateText::Time) {
    groups = kTimeGroups;
  } else if (kind == TQELFixedDateText::DateTime) {
    groups = kDateTimeGroups;
    groupCount = 6;
  }
  int values[6] = {};
  std::size_t pos = 0;
  for (int g = 0; g < groupCount; ++g) {
    int count = 0;
    while (pos < text.size() && IsDigit(text[pos])) {
      values[g] = values[g] * 10 + (text[pos] - '0');
      ++pos;
      if (++count > groups[g]) return false;
    }
    if (count != groups[g]) return false;
    if (pos < text.size()) {
      ++pos;  // the one character that ends the group
    } else if (g + 1 < groupCount) {
      return false;
    }
  }
  if (pos != text.size()) return false;

  stamp = {kQELEmptyDate, 0};
  int timeAt = 0;
  if (kind != TQELFixedDateText::Time) {
    if (!QELTryEncodeDate(values[0], values[1], values[2], stamp.Date)) ThrowInvalid(text, "date");
    timeAt = 3;
  }
  if (kind != TQELFixedDateText::Date &&
      !TryEncodeTime(values[timeAt], values[timeAt + 1], values[timeAt + 2], 0, stamp.Time)) {
    ThrowInvalid(text, "time");
  }
  return true;
}

std::string QELFormatDateText(std::int32_t dayNumber, const TQELFormatSettings& settings) {
  int year = 0, month = 0, day = 0;
  if (!QELTryDecodeDate(dayNumber, year, month, day)) {
    throw EConvertError("Invalid day number " + std::to_string(dayNumber));
  }
  std::string out;
  out.reserve(10);
  switch (settings.DateOrder) {
    case TQELDateOrder::YMD:
      AppendDigits(out, year, 4);
      out.push_back(settings.DateSeparator);
      AppendTwoDigits(out, month);
      out.push_back(settings.DateSeparator);
      AppendTwoDigits(out, day);
      break;
    case TQELDateOrder::DMY:
      AppendTwoDigits(out, day);
      out.push_back(settings.DateSeparator);
      AppendTwoDigits(out, month);
      out.push_back(settings.DateSeparator);
      AppendDigits(out, year, 4);
      break;
    case TQELDateOrder::MDY:
      AppendTwoDigits(out, month);
      out.push_back(settings.DateSeparator);
      AppendTwoDigits(out, day);
      out.push_back(settings.DateSeparator);
      AppendDigits(out, year, 4);
      break;
  }
  return out;
}

std::string QELFormatTimeText(std::int32_t milliseconds, const TQELFormatSettings& settings) {
  if (milliseconds < 0 || milliseconds >= kQELMSecsPerDay) {
    throw EConvertError("Invalid time " + std::to_string(milliseconds));
  }
  const int seconds = milliseconds / 1000;
  std::string out;
  out.reserve(12);
  AppendTwoDigits(out, seconds / 3600);
  out.push_back(settings.TimeSeparator);
  AppendTwoDigits(out, seconds / 60 % 60);
  out.push_back(settings.TimeSeparator);
  AppendTwoDigits(out, seconds % 60);
  if (milliseconds % 1000 != 0) {
    out.push_back('.');
    AppendDigits(out, milliseconds % 1000, 3);
  }
  return out;
}

std::string QELFormatDateTimeText(TQELDateTimeStamp stamp, const TQELFormatSettings& settings) {
  if (stamp.Date == kQELEmptyDate) return QELFormatTimeText(stamp.Time, settings);
  std::string out = QELFormatDateText(stamp.Date, settings);
  if (stamp.Time != 0) {
    out.push_back(' ');
    out += QELFormatTimeText(stamp.Time, settings);
  }
  return out;
}

std::int32_t QELParseDateText(std::string_view text, const TQELFormatSettings& settings) {
  const std::string_view trimmed = Trim(text);
  std::size_t pos = 0;
  const std::int32_t dayNumber = ReadLocaleDate(trimmed, pos, settings, text);
  if (pos != trimmed.size()) ThrowInvalid(text, "date");
  return dayNumber;
}

std::int32_t QELParseTimeText(std::string_view text, const TQELFormatSettings& settings) {
  const std::string_view trimmed = Trim(text);
  std::size_t pos = 0;
  const std::int32_t milliseconds = ReadLocaleTime(trimmed, pos, settings, text);
  if (pos != trimmed.size()) ThrowInvalid(text, "time");
  return milliseconds;
}

TQELDateTimeStamp QELParseDateTimeText(std::string_view text, const TQELFormatSettings& settings) {
  const std::string_view trimmed = Trim(text);
  std::size_t pos = 0;
  TQELDateTimeStamp stamp{ReadLocaleDate(trimmed, pos, settings, text), 0};
  if (pos < trimmed.size()) {
    if (!IsBlank(trimmed[pos])) ThrowInvalid(text, "date and time");
    while (pos < trimmed.size() && IsBlank(trimmed[pos])) ++pos;
    stamp.Time = ReadLocaleTime(trimmed, pos, settings, text);
    if (pos != trimmed.size()) ThrowInvalid(text, "date and time");
  }
  return stamp;
}

}  // namespace qel
