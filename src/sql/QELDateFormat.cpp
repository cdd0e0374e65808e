#include "sql/QELDateFormat.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <stdexcept>

#include "platform/QELCollation.h"
#include "platform/QELException.h"
#include "values/QELValueCodec.h"
#include "values/QELValueErrors.h"
#include "values/QELValueText.h"

namespace qel {

namespace {

// The token texts of kinds 0..25, in kind order.
constexpr std::array<std::string_view, dftLiteral> kTokenTexts = {
    "YYYY", "YY", "YEAR", "Q",   "MONTH", "MON", "MM",   "M",    "RM",  "DDD", "DD", "DAY", "DY",
    "DW",   "D",  "HH12", "HH24", "HH",   "H12", "H24",  "H",    "NN",  "N",   "SS", "S",   "AMPM",
};

constexpr std::size_t LongestTokenText() {
  std::size_t longest = 0;
  for (const std::string_view text : kTokenTexts) longest = std::max(longest, text.size());
  return longest;
}

constexpr std::size_t kLongestToken = LongestTokenText();
static_assert(kLongestToken == 5);

constexpr const char* kRomanMonths[12] = {"I",   "II", "III", "IV", "V",  "VI",
                                          "VII", "VIII", "IX", "X", "XI", "XII"};

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsDateKind(std::uint8_t kind) { return kind <= dftD; }
bool IsTimeKind(std::uint8_t kind) { return kind >= dftHH12 && kind <= dftAMPM; }

// The kind whose text `candidate` spells in any letter case, or -1.
int MatchToken(std::string_view candidate) {
  for (std::size_t kind = 0; kind < kTokenTexts.size(); ++kind) {
    const std::string_view text = kTokenTexts[kind];
    if (text.size() != candidate.size()) continue;
    bool equal = true;
    for (std::size_t i = 0; i < text.size() && equal; ++i) equal = AsciiUpper(candidate[i]) == text[i];
    if (equal) return static_cast<int>(kind);
  }
  return -1;
}

// `count` characters from `pos`, fewer where the text ends.
std::string_view Take(std::string_view text, std::size_t pos, std::size_t count) {
  return pos >= text.size() ? std::string_view() : text.substr(pos, count);
}

std::int32_t ReadWholeNumber(std::string_view field) {
  std::int32_t value = 0;
  if (!QELTryParseInt32(field, value)) {
    throw EConvertError("'" + std::string(field) + "' is not a valid integer value");
  }
  return value;
}

void AppendNumber(std::string& out, int value, bool twoDigits) {
  char text[16];
  const int length = std::snprintf(text, sizeof text, twoDigits ? "%.2d" : "%d", value);
  out.append(text, static_cast<std::size_t>(length));
}

// Bytes of the longest name of a kind in the locale in effect.
std::int32_t LongestName(TQELDateName kind, int count) {
  std::size_t longest = 0;
  for (int i = 1; i <= count; ++i) longest = std::max(longest, QELLocaleDateName(kind, i).size());
  return static_cast<std::int32_t>(longest);
}

}  // namespace

TDateFormater::TDateFormater(std::string_view format) { Parse(format); }

void TDateFormater::Parse(std::string_view format) {
  FTokens.clear();
  std::size_t pos = 0;
  std::size_t runStart = 0;
  char openQuote = 0;  // the quote of the open quoted run, or 0
  const auto appendLiteral = [&](std::size_t end, bool evenEmpty) {
    if (end > runStart || evenEmpty) {
      FTokens.push_back({dftLiteral, std::string(format.substr(runStart, end - runStart))});
    }
  };
  while (pos < format.size()) {
    const char c = format[pos];
    if (openQuote != 0) {
      // Inside quotes only the opening quote's kind closes the run.
      if (c == openQuote) {
        appendLiteral(pos, true);
        openQuote = 0;
        runStart = pos + 1;
      }
      ++pos;
      continue;
    }
    if (c == '\'' || c == '"') {
      appendLiteral(pos, false);
      openQuote = c;
      runStart = ++pos;
      continue;
    }
    int kind = -1;
    std::size_t length = std::min(kLongestToken, format.size() - pos);
    for (; length > 0; --length) {
      kind = MatchToken(format.substr(pos, length));
      if (kind >= 0) break;
    }
    if (kind < 0) {
      ++pos;  // stays in the pending literal run
      continue;
    }
    appendLiteral(pos, false);
    FTokens.push_back({static_cast<std::uint8_t>(kind), std::string(format.substr(pos, length))});
    pos += length;
    runStart = pos;
  }
  // An unclosed quote leaves the rest of the text, without it, as a literal.
  appendLiteral(format.size(), false);
}

double TDateFormater::StringToDateTime(std::string_view text) const {
  std::int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool twelveHour = false;  // the hour was read by a 12-hour token
  bool meridiem = false;    // an AM/PM field was read
  bool pm = false;
  std::size_t pos = 0;
  for (const TDateFormatToken& token : FTokens) {
    std::int32_t* target = nullptr;
    std::size_t width = 0;   // a fixed-width field's width
    bool oneOrTwo = false;   // a field of one or two digits
    switch (token.Kind) {
      case dftYYYY:
      case dftYEAR: target = &year; width = 4; break;
      case dftYY: target = &year; width = 2; break;
      case dftQ: target = &month; width = 1; break;
      case dftMM: target = &month; width = 2; break;
      case dftM: target = &month; oneOrTwo = true; break;
      case dftDD: target = &day; width = 2; break;
      case dftD: target = &day; oneOrTwo = true; break;
      case dftHH24: target = &hour; width = 2; twelveHour = false; break;
      case dftH24: target = &hour; oneOrTwo = true; twelveHour = false; break;
      case dftHH12:
      case dftHH:
      case dftH12:
      case dftH: target = &hour; oneOrTwo = true; twelveHour = true; break;
      case dftNN: target = &minute; width = 2; break;
      case dftN: target = &minute; oneOrTwo = true; break;
      case dftSS: target = &second; width = 2; break;
      case dftS: target = &second; oneOrTwo = true; break;
      case dftAMPM: {
        std::string word(Take(text, pos, 2));
        for (char& c : word) c = AsciiUpper(c);
        if (word == "PM") {
          pm = true;
        } else if (word != "AM") {
          throw EQELException(kQELErrAmPmExpected, "AM/PM word expected, but '%s' found",
                              {std::string(Take(text, pos, 2))});
        }
        meridiem = true;
        pos += 2;
        continue;
      }
      case dftLiteral: pos += token.Text.size(); continue;
      default:
        // Names, Roman months, day numbers: not read, only stepped over.
        pos += token.Text.size();
        continue;
    }
    if (oneOrTwo) {
      width = pos + 1 < text.size() && text[pos + 1] >= '0' && text[pos + 1] <= '9' ? 2 : 1;
    }
    std::int32_t value = ReadWholeNumber(Take(text, pos, width));
    pos += width;
    if (token.Kind == dftYY) value = (value < 30 ? value + 100 : value) + 1900;
    if (token.Kind == dftQ) value = (value - 1) * 3 + 1;
    *target = value;
  }
  // A 12-hour clock names midnight and noon as 12 (or as 0, the way this
  // formatter writes them); AM and PM say which. Applied after all fields,
  // so that the order of the hour and the AM/PM field does not matter.
  if (meridiem) {
    if (twelveHour && hour == 12) hour = 0;
    if (pm) hour += 12;
  }
  if (year == 0 || month == 0 || day == 0) {
    year = 1899;
    month = 12;
    day = 30;
  }
  std::int32_t dayNumber = 0;
  if (!QELTryEncodeDate(year, month, day, dayNumber)) {
    throw EConvertError("Invalid argument to date encode");
  }
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59) {
    throw EConvertError("Invalid argument to time encode");
  }
  return QELStampToDateTime({dayNumber, ((hour * 60 + minute) * 60 + second) * 1000});
}

std::string TDateFormater::DateTimeToString(double value) const {
  TQELDateTimeStamp stamp{};
  int year = 0, month = 0, day = 0;
  if (!QELTryDateTimeToStamp(value, stamp) || !QELTryDecodeDate(stamp.Date, year, month, day)) {
    throw EConvertError("Invalid date-time value");
  }
  const int seconds = stamp.Time / 1000;
  const int hour = seconds / 3600;
  const int minute = seconds / 60 % 60;
  const int second = seconds % 60;
  // 0001-01-01, day 1, was a Monday.
  const int weekDay = (stamp.Date - 1) % 7 + 1;
  std::int32_t firstOfYear = 0;
  QELTryEncodeDate(year, 1, 1, firstOfYear);
  const int dayOfYear = stamp.Date - firstOfYear + 1;

  std::string out;
  for (const TDateFormatToken& token : FTokens) {
    switch (token.Kind) {
      case dftYYYY:
      case dftYEAR: {
        char text[8];
        std::snprintf(text, sizeof text, "%.4d", year);
        out += text;
        break;
      }
      case dftYY: AppendNumber(out, year % 100, true); break;
      case dftQ: AppendNumber(out, (month - 1) / 3 + 1, false); break;
      case dftMONTH: out += QELLocaleDateName(TQELDateName::LongMonth, month); break;
      case dftMON: out += QELLocaleDateName(TQELDateName::ShortMonth, month); break;
      case dftMM: AppendNumber(out, month, true); break;
      case dftM: AppendNumber(out, month, false); break;
      case dftRM: out += kRomanMonths[month - 1]; break;
      case dftDDD: out += QELLocaleDateName(TQELDateName::ShortDay, weekDay); break;
      case dftDD: AppendNumber(out, day, true); break;
      case dftDAY: out += QELLocaleDateName(TQELDateName::LongDay, weekDay); break;
      case dftDY: AppendNumber(out, dayOfYear, false); break;
      case dftDW: AppendNumber(out, weekDay, false); break;
      case dftD: AppendNumber(out, day, false); break;
      case dftHH12:
      case dftHH: AppendNumber(out, hour % 12, true); break;
      case dftHH24: AppendNumber(out, hour, true); break;
      case dftH12:
      case dftH: AppendNumber(out, hour % 12, false); break;
      case dftH24: AppendNumber(out, hour, false); break;
      case dftNN: AppendNumber(out, minute, true); break;
      case dftN: AppendNumber(out, minute, false); break;
      case dftSS: AppendNumber(out, second, true); break;
      case dftS: AppendNumber(out, second, false); break;
      case dftAMPM: out += hour > 11 ? "PM" : "AM"; break;
      case dftLiteral: out += token.Text; break;
      default: throw std::runtime_error("Unknown DateFormatType");
    }
  }
  return out;
}

std::int32_t TDateFormater::GetResultLength() const {
  std::int32_t length = 0;
  for (const TDateFormatToken& token : FTokens) {
    switch (token.Kind) {
      case dftYYYY:
      case dftYEAR:
      case dftRM: length += 4; break;
      case dftQ: length += 1; break;
      // Names reserve their widest form in the locale: many locales' UTF-8
      // names are longer than the English ones.
      case dftMONTH: length += std::max(9, LongestName(TQELDateName::LongMonth, 12)); break;
      case dftMON: length += std::max(3, LongestName(TQELDateName::ShortMonth, 12)); break;
      case dftDDD: length += std::max(3, LongestName(TQELDateName::ShortDay, 7)); break;
      case dftDAY: length += std::max(12, LongestName(TQELDateName::LongDay, 7)); break;
      case dftDY: length += 3; break;  // up to 366
      case dftLiteral: length += static_cast<std::int32_t>(token.Text.size()); break;
      default:
        if (token.Kind > dftLiteral) throw std::runtime_error("Unknown DateFormatType");
        length += 2;
        break;
    }
  }
  return length;
}

TQELAdvancedFieldType TDateFormater::GetResultType() const {
  bool date = false;
  bool time = false;
  for (const TDateFormatToken& token : FTokens) {
    date = date || IsDateKind(token.Kind);
    time = time || IsTimeKind(token.Kind);
  }
  if (date && !time) return aftDate;
  if (time && !date) return aftTime;
  return aftDateTime;
}

}  // namespace qel
