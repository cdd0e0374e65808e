#pragma once
// TDateFormater: a date format text such as "YYYY-MM-DD HH24:NN:SS" read
// once into tokens, then used to read strings into date-time values
// (TODATE), to write date-time values as strings (TOSTRING), and to tell the
// type and the reserved width of such a result.
//
// Date-time values are doubles: whole days since 1899-12-30, the fraction
// being the time of day. Token letters match in any letter case, the
// longest token first at each position ("MONTH" before "MON" before "MM"
// before "M"); text in single or double quotes is literal.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "storage/QELFieldTypes.h"

namespace qel {

enum TDateFormatType : std::uint8_t {
  dftYYYY = 0,
  dftYY = 1,
  dftYEAR = 2,
  dftQ = 3,
  dftMONTH = 4,
  dftMON = 5,
  dftMM = 6,
  dftM = 7,
  dftRM = 8,
  dftDDD = 9,
  dftDD = 10,
  dftDAY = 11,
  dftDY = 12,
  dftDW = 13,
  dftD = 14,
  dftHH12 = 15,
  dftHH24 = 16,
  dftHH = 17,
  dftH12 = 18,
  dftH24 = 19,
  dftH = 20,
  dftNN = 21,
  dftN = 22,
  dftSS = 23,
  dftS = 24,
  dftAMPM = 25,
  dftLiteral = 26,
};

struct TDateFormatToken {
  std::uint8_t Kind = dftLiteral;  // a TDateFormatType
  // A literal's text; for any other token the token as written in the
  // format, in the format's letter case.
  std::string Text;
};

// Native code of the AM/PM reading error.
inline constexpr std::int32_t kQELErrAmPmExpected = 30129;

class TDateFormater {
 public:
  explicit TDateFormater(std::string_view format);

  // Reads `text` by the tokens. Raises EConvertError for a numeric field
  // that is no whole number and for a date or time that cannot exist, and
  // EQELException 30129 for an AM/PM field that is neither. Text behind
  // the last token is ignored; a format without date tokens gives a time
  // on 1899-12-30.
  double StringToDateTime(std::string_view text) const;
  // Writes `value` by the tokens; names come from the locale in effect.
  // Raises EConvertError for a value that names no date and time.
  std::string DateTimeToString(double value) const;

  // Bytes a written value may take: the sum of the tokens' widths, where
  // names reserve the longest name of the locale in effect.
  std::int32_t GetResultLength() const;
  // aftDate when only date tokens occur, aftTime when only time tokens
  // occur, aftDateTime otherwise (both, or neither).
  TQELAdvancedFieldType GetResultType() const;

  const std::vector<TDateFormatToken>& Tokens() const { return FTokens; }

 private:
  void Parse(std::string_view format);

  std::vector<TDateFormatToken> FTokens;
};

}  // namespace qel
