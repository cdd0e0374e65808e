#pragma once
// How the SQL shell prints a result: its settings and the writers of each
// output mode.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel::tool {

enum class TOutputMode : std::uint8_t { List, Table, Csv, Json, Line };

// The mode of a name given to .mode; nullopt for an unknown one.
std::optional<TOutputMode> OutputModeFromName(std::string_view name);
std::string_view OutputModeName(TOutputMode mode);

struct TShellSettings {
  TOutputMode Mode = TOutputMode::List;
  bool Headers = false;
  std::string NullValue;
  std::string Separator = "|";
  bool Timer = false;
};

enum class TValueKind : std::uint8_t { Text, Number, Boolean };

struct TResultColumn {
  std::string Name;
  // How JSON writes the column's values; numbers are also right-aligned in
  // table mode.
  TValueKind Kind = TValueKind::Text;
};

using TResultRow = std::vector<std::optional<std::string>>;

struct TResultSet {
  std::vector<TResultColumn> Columns;
  std::vector<TResultRow> Rows;
};

// Prints `result` as `settings` say. Table mode always shows the column
// names, over a rule; the other modes only with Headers on (JSON and line
// mode name every value anyway).
void WriteResult(const TResultSet& result, const TShellSettings& settings, std::ostream& out);

// `text` as a CSV field: in double quotes, with its quotes doubled, when it
// holds a quote, a comma, a CR or an LF.
std::string CsvField(std::string_view text);
// `text` as a JSON string, quotes included. Bytes that are not valid UTF-8
// are written as the code points of the same numbers, so that the output
// is always valid JSON.
std::string JsonString(std::string_view text);
// Whether `text` is a number as JSON writes one.
bool IsJsonNumber(std::string_view text);

}  // namespace qel::tool
