// Fuzz target for the date format texts of TODATE and TOSTRING and for the
// value texts of the conversions: dates, times and date-times in the
// format settings' forms and in the fixed forms, reals and currency
// amounts.
//
// The first byte chooses the format settings (date order and separators);
// the rest is a format text and a value text, split at the first newline.
// The value text is read by the format, and what it gives is written back;
// it is also read as each kind of value text, and whatever reads is
// written and read again. Each step must end in a value or in the engine's
// own exceptions (EQELException, EConvertError), and:
//   - a written date-time takes no more bytes than the format reserves;
//   - a date, time or date-time written in the settings' form reads back
//     as the same value;
//   - a real written as its shortest text reads back as the same value.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/QELException.h"
#include "sql/QELDateFormat.h"
#include "values/QELValueErrors.h"
#include "values/QELValueText.h"

namespace {

using namespace qel;

[[noreturn]] void Fail(const char* what) {
  __builtin_printf("date or value text invariant broken: %s\n", what);
  std::abort();
}

TQELFormatSettings SettingsOf(std::uint8_t choice) {
  static constexpr char kDateSeparators[] = {'-', '/', '.', ' '};
  static constexpr char kTimeSeparators[] = {':', '.'};
  TQELFormatSettings settings;
  settings.DateOrder = static_cast<TQELDateOrder>(choice % 3);
  settings.DateSeparator = kDateSeparators[(choice / 3) % 4];
  settings.TimeSeparator = kTimeSeparators[(choice / 12) % 2];
  settings.DecimalSeparator = (choice / 24) % 2 == 0 ? '.' : ',';
  return settings;
}

void RunFormat(std::string_view format, std::string_view text) {
  const TDateFormater formater(format);
  const std::int32_t reserved = formater.GetResultLength();
  formater.GetResultType();
  double value = 0;
  try {
    value = formater.StringToDateTime(text);
  } catch (const EConvertError&) {
    // A text the format does not read still has a value written below.
    value = 45000.75;
  } catch (const EQELException&) {
    value = 45000.75;
  }
  try {
    const std::string written = formater.DateTimeToString(value);
    if (static_cast<std::int64_t>(written.size()) > reserved) Fail("a written date-time longer than reserved");
  } catch (const EQELException&) {
  } catch (const EConvertError&) {
  }
}

void RunDateTexts(std::string_view text, const TQELFormatSettings& settings) {
  try {
    const std::int32_t day = QELParseDateText(text, settings);
    const std::string written = QELFormatDateText(day, settings);
    if (QELParseDateText(written, settings) != day) Fail("a written date reads back as another");
  } catch (const EQELException&) {
  } catch (const EConvertError&) {
  }
  try {
    const std::int32_t time = QELParseTimeText(text, settings);
    const std::string written = QELFormatTimeText(time, settings);
    if (QELParseTimeText(written, settings) != time) Fail("a written time reads back as another");
  } catch (const EQELException&) {
  } catch (const EConvertError&) {
  }
  try {
    const TQELDateTimeStamp stamp = QELParseDateTimeText(text, settings);
    const std::string written = QELFormatDateTimeText(stamp, settings);
    const TQELDateTimeStamp again = QELParseDateTimeText(written, settings);
    if (again.Date != stamp.Date || again.Time != stamp.Time) Fail("a written date-time reads back as another");
  } catch (const EQELException&) {
  } catch (const EConvertError&) {
  }
  for (const TQELFixedDateText kind :
       {TQELFixedDateText::Date, TQELFixedDateText::Time, TQELFixedDateText::DateTime}) {
    try {
      TQELDateTimeStamp stamp;
      QELTryParseFixedDateText(text, kind, stamp);
    } catch (const EConvertError&) {
    }
  }
}

void RunNumberTexts(std::string_view text, const TQELFormatSettings& settings) {
  std::int64_t integer = 0;
  QELTryParseInt64(text, integer);
  double real = 0;
  if (QELTryParseReal(text, real) && std::isfinite(real)) {
    char buffer[kQELNumberTextSize];
    const std::size_t length = QELFormatReal(real, TQELRealKind::Double, '.', buffer);
    double again = 0;
    if (!QELTryParseReal(std::string_view(buffer, length), again) || again != real) {
      Fail("a written real reads back as another");
    }
  }
  long double extended = 0;
  if (QELTryParseReal(text, extended) && std::isfinite(extended)) {
    char buffer[kQELNumberTextSize];
    QELFormatReal(extended, TQELRealKind::Extended, settings.DecimalSeparator, buffer);
  }
  double currency = 0;
  if (QELTryParseCurrency(text, settings.DecimalSeparator, currency) && std::isfinite(currency)) {
    char buffer[kQELNumberTextSize];
    QELFormatCurrency(currency, settings.DecimalSeparator, buffer);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const TQELFormatSettings settings = SettingsOf(data[0]);
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t newline = rest.find('\n');
  const std::string_view format = rest.substr(0, newline);
  const std::string_view text = newline == std::string_view::npos ? rest : rest.substr(newline + 1);
  try {
    RunFormat(format, text);
  } catch (const EQELException&) {
  } catch (const EConvertError&) {
  }
  RunDateTexts(text, settings);
  RunNumberTexts(text, settings);
  return 0;
}
