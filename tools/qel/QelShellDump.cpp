#include "QelShellDump.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ostream>

#include "QelShell.h"
#include "components/QELDatabase.h"
#include "components/QELTable.h"
#include "sql/QELReservedWords.h"
#include "storage/QELFieldTypes.h"
#include "streams/QELCompression.h"

namespace qel::tool {

namespace {

bool IsPlainName(std::string_view name) {
  if (name.empty() || !(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
  for (const char c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '$') return false;
  }
  return FindReservedWord(name) < 0;
}

// The ";"- or ","-separated names of an index's lists.
std::vector<std::string> SplitNames(std::string_view names) {
  std::vector<std::string> result;
  std::string name;
  for (const char c : names) {
    if (c == ';' || c == ',') {
      if (!name.empty()) result.push_back(name);
      name.clear();
    } else {
      name += c;
    }
  }
  if (!name.empty()) result.push_back(name);
  return result;
}

bool Contains(const std::vector<std::string>& names, std::string_view name) {
  return std::any_of(names.begin(), names.end(), [&](const std::string& n) {
    return n.size() == name.size() && std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
             return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
           });
  });
}

bool HasSize(TQELAdvancedFieldType type) {
  return type == aftChar || type == aftString || type == aftWideChar || type == aftWideString || type == aftBytes ||
         type == aftVarBytes;
}

bool IsAutoinc(TQELAdvancedFieldType type) { return type >= aftAutoinc && type <= aftAutoincCardinal; }

bool IsBlobType(TQELAdvancedFieldType type) {
  return type == aftBlob || type == aftGraphic || type == aftMemo || type == aftFormattedMemo ||
         type == aftWideMemo;
}

// A DEFAULT or limit value: a number as one literal token when it is one
// (the dialect takes no sign there), anything else as quoted text.
std::string ValueLiteral(const TQELVariant& value) {
  const std::string text = value.AsString();
  const bool plainNumber = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) || c == '.';
  });
  return plainNumber ? text : QuoteText(text);
}

std::string AutoincOptions(const TQELAdvFieldDef& field) {
  std::vector<std::string> options;
  if (field.AutoincIncrement != 1) options.push_back("INCREMENT " + std::to_string(field.AutoincIncrement));
  if (field.AutoincInitialValue != 0) options.push_back("INITIALVALUE " + std::to_string(field.AutoincInitialValue));
  if (field.AutoincMinValue != 0) options.push_back("MINVALUE " + std::to_string(field.AutoincMinValue));
  if (field.AutoincMaxValue != INT64_MAX) options.push_back("MAXVALUE " + std::to_string(field.AutoincMaxValue));
  if (field.AutoincCycled) options.push_back("CYCLED");
  std::string text;
  for (const std::string& option : options) text += (text.empty() ? "(" : ", ") + option;
  return text.empty() ? text : text + ")";
}

std::string ColumnText(const TQELAdvFieldDef& field) {
  std::string text = QuoteName(field.Name) + " " + std::string(AdvancedFieldTypeName(field.DataType));
  if (HasSize(field.DataType)) text += "(" + std::to_string(field.Size) + ")";
  if (IsAutoinc(field.DataType)) text += AutoincOptions(field);
  if (field.Required) text += " NOT NULL";
  if (!field.DefaultValue.IsNull()) text += " DEFAULT " + ValueLiteral(field.DefaultValue);
  if (!field.MinValue.IsNull()) text += " MINVALUE " + ValueLiteral(field.MinValue);
  if (!field.MaxValue.IsNull()) text += " MAXVALUE " + ValueLiteral(field.MaxValue);
  if (IsBlobType(field.DataType)) {
    if (field.BlobCompressionAlgorithm != 0) {
      text += " BLOBCOMPRESSIONALGORITHM " + std::string(CompressionAlgorithmName(field.BlobCompressionAlgorithm)) +
              " BLOBCOMPRESSIONMODE " + std::to_string(field.BlobCompressionMode);
    }
    if (field.BlobBlockSize != TQELFieldDef::kDefaultBlobBlockSize) {
      text += " BLOBBLOCKSIZE " + std::to_string(field.BlobBlockSize);
    }
  }
  return text;
}

std::string IndexColumns(const TQELAdvIndexDef& index) {
  const std::vector<std::string> descending = SplitNames(index.DescFields);
  const std::vector<std::string> caseless = SplitNames(index.CaseInsFields);
  std::string text;
  for (const std::string& name : SplitNames(index.Fields)) {
    if (!text.empty()) text += ", ";
    text += QuoteName(name);
    if ((index.Options & kQELIndexDescending) || Contains(descending, name)) text += " DESC";
    if ((index.Options & kQELIndexCaseInsensitive) || Contains(caseless, name)) text += " NOCASE";
  }
  return "(" + text + ")";
}

// The table, open on the shell's database, with its definitions read.
void OpenTable(TQELTable& table, const std::string& name) {
  table.SetDatabaseName(kShellDatabaseName);
  table.SetTableName(name);
  table.Open();
}

std::string SchemaOf(TQELTable& table) {
  std::string text = "CREATE TABLE " + QuoteName(table.TableName()) + " (";
  for (std::int32_t i = 0; i < table.AdvFieldDefs.Count(); ++i) {
    text += (i == 0 ? "\n  " : ",\n  ") + ColumnText(table.AdvFieldDefs[i]);
  }
  std::string indexes;
  for (std::int32_t i = 0; i < table.AdvIndexDefs.Count(); ++i) {
    const TQELAdvIndexDef& index = table.AdvIndexDefs[i];
    if (index.Temporary) continue;
    if (index.Options & kQELIndexPrimary) {
      text += ",\n  PRIMARY KEY " + QuoteName(index.Name) + " " + IndexColumns(index);
      continue;
    }
    indexes += std::string("CREATE ") + ((index.Options & kQELIndexUnique) ? "UNIQUE " : "") + "INDEX " +
               QuoteName(index.Name) + " ON " + QuoteName(table.TableName()) + " " + IndexColumns(index) + ";\n";
  }
  return text + "\n);\n" + indexes;
}

// The shortest text that reads back as the same double.
std::string FloatLiteral(double value) {
  char text[40];
  for (int precision = 15; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

// A field's value as a literal that the dialect converts back to the same
// value when it is assigned to a field of that type.
std::string FieldLiteral(const TField& field) {
  if (field.IsNull()) return "NULL";
  switch (field.DataType()) {
    case ftSmallint:
    case ftInteger:
    case ftWord:
    case ftAutoInc:
    case ftLargeint:
      return std::to_string(field.AsLargeInt());
    case ftFloat:
    case ftCurrency:
    case ftBCD:
    case ftFMTBcd:
      return FloatLiteral(field.AsFloat());
    case ftBoolean:
      return field.AsBoolean() ? "TRUE" : "FALSE";
    // A plain string literal does not reach every date-time type (a TIME
    // field refuses one), a CAST reaches them all.
    case ftDate:
      return "CAST(" + QuoteText(field.AsString()) + " AS DATE)";
    case ftTime:
      return "CAST(" + QuoteText(field.AsString()) + " AS TIME)";
    case ftDateTime:
      return "CAST(" + QuoteText(field.AsString()) + " AS DATETIME)";
    case ftTimeStamp:
      return "CAST(" + QuoteText(field.AsString()) + " AS TIMESTAMP)";
    default:
      return QuoteText(field.AsString());
  }
}

}  // namespace

std::string QuoteName(std::string_view name) {
  if (IsPlainName(name)) return std::string(name);
  std::string text = "[";
  for (const char c : name) {
    if (c == ']') text += ']';
    text += c;
  }
  return text + "]";
}

std::string QuoteText(std::string_view text) {
  std::string literal = "'";
  for (const char c : text) {
    if (c == '\'') literal += '\'';
    literal += c;
  }
  return literal + "'";
}

std::vector<std::string> ShellTableNames(TQELDatabase& database) {
  std::vector<std::string> names;
  database.GetTableNames(names);
  std::sort(names.begin(), names.end());
  return names;
}

std::string SchemaText(const std::string& tableName) {
  TQELTable table;
  OpenTable(table, tableName);
  return SchemaOf(table);
}

std::vector<std::string> IndexNames(const std::string& tableName) {
  TQELTable table;
  OpenTable(table, tableName);
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < table.AdvIndexDefs.Count(); ++i) {
    const TQELAdvIndexDef& index = table.AdvIndexDefs[i];
    if (index.Temporary) continue;
    if (index.Options & kQELIndexPrimary) {
      names.insert(names.begin(), index.Name);
    } else {
      names.push_back(index.Name);
    }
  }
  return names;
}

void DumpTables(const std::vector<std::string>& tables, std::ostream& out) {
  for (const std::string& name : tables) {
    TQELTable table;
    OpenTable(table, name);
    // Tables cannot be created inside a transaction, so each table's rows
    // have one of their own; its indexes follow them, which is quicker than
    // keeping them up to date row by row.
    const std::string schema = SchemaOf(table);
    const std::size_t rule = schema.find("\nCREATE ");
    const std::size_t indexes = rule == std::string::npos ? schema.size() : rule + 1;
    out << schema.substr(0, indexes) << "START TRANSACTION;\n";
    std::string prefix = "INSERT INTO " + QuoteName(name) + " (";
    for (std::int32_t i = 0; i < table.FieldCount(); ++i) {
      prefix += (i == 0 ? "" : ", ") + QuoteName(table.Fields(i).FieldName());
    }
    prefix += ") VALUES (";
    for (table.First(); !table.Eof(); table.Next()) {
      std::string line = prefix;
      for (std::int32_t i = 0; i < table.FieldCount(); ++i) {
        line += (i == 0 ? "" : ", ") + FieldLiteral(table.Fields(i));
      }
      out << line << ");\n";
    }
    out << "COMMIT;\n";
    out << schema.substr(indexes);
  }
}

}  // namespace qel::tool
