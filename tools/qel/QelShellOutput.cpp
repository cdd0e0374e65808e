#include "QelShellOutput.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace qel::tool {

namespace {

constexpr TOutputMode kModes[] = {TOutputMode::List, TOutputMode::Table, TOutputMode::Csv, TOutputMode::Json,
                                  TOutputMode::Line};

// Characters a terminal shows for `text`: UTF-8 continuation bytes take no
// column.
std::size_t DisplayWidth(std::string_view text) {
  std::size_t width = 0;
  for (const char c : text) width += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return width;
}

// A value fit for one cell of a table: line breaks and tabs would break the
// alignment, so they are shown escaped.
std::string CellText(std::string_view text) {
  std::string cell;
  cell.reserve(text.size());
  for (const char c : text) {
    if (c == '\n') {
      cell += "\\n";
    } else if (c == '\r') {
      cell += "\\r";
    } else if (c == '\t') {
      cell += "\\t";
    } else {
      cell += c;
    }
  }
  return cell;
}

void WriteList(const TResultSet& result, const TShellSettings& settings, std::ostream& out) {
  auto line = [&](auto&& valueAt) {
    for (std::size_t i = 0; i < result.Columns.size(); ++i) {
      if (i > 0) out << settings.Separator;
      out << valueAt(i);
    }
    out << '\n';
  };
  if (settings.Headers) line([&](std::size_t i) -> const std::string& { return result.Columns[i].Name; });
  for (const TResultRow& row : result.Rows) {
    line([&](std::size_t i) -> const std::string& { return row[i] ? *row[i] : settings.NullValue; });
  }
}

void WriteCsv(const TResultSet& result, const TShellSettings& settings, std::ostream& out) {
  auto line = [&](auto&& valueAt) {
    for (std::size_t i = 0; i < result.Columns.size(); ++i) {
      if (i > 0) out << ',';
      out << CsvField(valueAt(i));
    }
    out << "\r\n";
  };
  if (settings.Headers) line([&](std::size_t i) -> const std::string& { return result.Columns[i].Name; });
  for (const TResultRow& row : result.Rows) {
    line([&](std::size_t i) -> const std::string& { return row[i] ? *row[i] : settings.NullValue; });
  }
}

std::string JsonValue(const TResultColumn& column, const std::optional<std::string>& value) {
  if (!value) return "null";
  if (column.Kind == TValueKind::Number && IsJsonNumber(*value)) return *value;
  if (column.Kind == TValueKind::Boolean) {
    std::string lower = *value;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower == "true" || lower == "false") return lower;
  }
  return JsonString(*value);
}

void WriteJson(const TResultSet& result, std::ostream& out) {
  out << '[';
  for (std::size_t r = 0; r < result.Rows.size(); ++r) {
    out << (r == 0 ? "{" : ",\n{");
    for (std::size_t i = 0; i < result.Columns.size(); ++i) {
      if (i > 0) out << ',';
      out << JsonString(result.Columns[i].Name) << ':' << JsonValue(result.Columns[i], result.Rows[r][i]);
    }
    out << '}';
  }
  out << "]\n";
}

void WriteLine(const TResultSet& result, const TShellSettings& settings, std::ostream& out) {
  std::size_t width = 0;
  for (const TResultColumn& column : result.Columns) width = std::max(width, DisplayWidth(column.Name));
  for (std::size_t r = 0; r < result.Rows.size(); ++r) {
    if (r > 0) out << '\n';
    for (std::size_t i = 0; i < result.Columns.size(); ++i) {
      const std::string& name = result.Columns[i].Name;
      out << std::string(width - DisplayWidth(name), ' ') << name << " = "
          << (result.Rows[r][i] ? *result.Rows[r][i] : settings.NullValue) << '\n';
    }
  }
}

void WriteTable(const TResultSet& result, const TShellSettings& settings, std::ostream& out) {
  const std::size_t columns = result.Columns.size();
  std::vector<std::vector<std::string>> cells;
  cells.reserve(result.Rows.size());
  std::vector<std::size_t> widths(columns);
  for (std::size_t i = 0; i < columns; ++i) widths[i] = DisplayWidth(CellText(result.Columns[i].Name));
  for (const TResultRow& row : result.Rows) {
    std::vector<std::string>& line = cells.emplace_back();
    for (std::size_t i = 0; i < columns; ++i) {
      line.push_back(CellText(row[i] ? *row[i] : settings.NullValue));
      widths[i] = std::max(widths[i], DisplayWidth(line.back()));
    }
  }
  auto rule = [&] {
    for (std::size_t i = 0; i < columns; ++i) out << '+' << std::string(widths[i] + 2, '-');
    out << "+\n";
  };
  auto line = [&](auto&& textAt, bool header) {
    for (std::size_t i = 0; i < columns; ++i) {
      const std::string& text = textAt(i);
      const std::string pad(widths[i] - DisplayWidth(text), ' ');
      const bool right = !header && result.Columns[i].Kind == TValueKind::Number;
      out << "| " << (right ? pad + text : text + pad) << ' ';
    }
    out << "|\n";
  };
  rule();
  line([&](std::size_t i) { return CellText(result.Columns[i].Name); }, true);
  rule();
  for (const std::vector<std::string>& row : cells) {
    line([&](std::size_t i) -> const std::string& { return row[i]; }, false);
  }
  if (!cells.empty()) rule();
}

}  // namespace

std::optional<TOutputMode> OutputModeFromName(std::string_view name) {
  for (const TOutputMode mode : kModes) {
    if (OutputModeName(mode) == name) return mode;
  }
  return std::nullopt;
}

std::string_view OutputModeName(TOutputMode mode) {
  switch (mode) {
    case TOutputMode::List: return "list";
    case TOutputMode::Table: return "table";
    case TOutputMode::Csv: return "csv";
    case TOutputMode::Json: return "json";
    case TOutputMode::Line: return "line";
  }
  return "list";
}

void WriteResult(const TResultSet& result, const TShellSettings& settings, std::ostream& out) {
  switch (settings.Mode) {
    case TOutputMode::List: WriteList(result, settings, out); break;
    case TOutputMode::Table: WriteTable(result, settings, out); break;
    case TOutputMode::Csv: WriteCsv(result, settings, out); break;
    case TOutputMode::Json: WriteJson(result, out); break;
    case TOutputMode::Line: WriteLine(result, settings, out); break;
  }
}

std::string CsvField(std::string_view text) {
  if (text.find_first_of("\",\r\n") == std::string_view::npos) return std::string(text);
  std::string field = "\"";
  for (const char c : text) {
    if (c == '"') field += '"';
    field += c;
  }
  field += '"';
  return field;
}

namespace {

// Length of the valid UTF-8 sequence at the start of `text`, 0 when it is
// not one (overlong forms, surrogates and values past U+10FFFF included).
std::size_t ValidUtf8Length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  std::uint32_t code = 0;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
      (length == 4 && (code < 0x10000 || code > 0x10FFFF))) {
    return 0;
  }
  return length;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  char escape[8];
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t length = ValidUtf8Length(text.substr(i));
    if (length == 0) {
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      json += escape;
      ++i;
      continue;
    }
    if (length > 1) {
      json.append(text.substr(i, length));
      i += length;
      continue;
    }
    switch (c) {
      case '"': json += "\\\""; break;
      case '\\': json += "\\\\"; break;
      case '\n': json += "\\n"; break;
      case '\r': json += "\\r"; break;
      case '\t': json += "\\t"; break;
      case '\b': json += "\\b"; break;
      case '\f': json += "\\f"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          json += escape;
        } else {
          json += static_cast<char>(c);
        }
    }
    ++i;
  }
  json += '"';
  return json;
}

bool IsJsonNumber(std::string_view text) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
    return i - from;
  };
  if (i < text.size() && text[i] == '-') ++i;
  if (i < text.size() && text[i] == '0') {
    ++i;
  } else if (digits() == 0) {
    return false;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (digits() == 0) return false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digits() == 0) return false;
  }
  return i == text.size();
}

}  // namespace qel::tool
