// .import: a CSV file into a table, in one transaction.

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "QelShell.h"
#include "QelShellDump.h"
#include "components/QELDatabase.h"
#include "components/QELQuery.h"
#include "components/QELTable.h"

namespace qel::tool {

namespace {

// Longer values than this go into a MEMO column of a new table.
constexpr std::size_t kLongestVarchar = 4000;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

// Creates `table` with one column per field of `header`, each wide enough
// for the longest value of its column in `text` after the header.
void CreateTableFor(TQELDatabase& database, const std::string& table, const TCsvRecord& header,
                    std::string_view text, std::size_t pos) {
  std::vector<std::size_t> widths(header.size(), 1);
  TCsvRecord record;
  while (NextCsvRecord(text, pos, record)) {
    for (std::size_t i = 0; i < record.size() && i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], record[i].Text.size());
    }
  }
  std::string sql = "create table " + QuoteName(table) + " (";
  for (std::size_t i = 0; i < header.size(); ++i) {
    if (header[i].Text.empty()) throw std::runtime_error("column " + std::to_string(i + 1) + " has no name");
    sql += (i == 0 ? "" : ", ") + QuoteName(header[i].Text) +
           (widths[i] > kLongestVarchar ? std::string(" memo") : " varchar(" + std::to_string(widths[i]) + ")");
  }
  TQELQuery query;
  query.ParamCheck = false;
  query.SetDatabaseName(database.DatabaseName());
  query.SetSQLText(sql + ")");
  query.ExecSQL();
}

}  // namespace

bool NextCsvRecord(std::string_view text, std::size_t& pos, TCsvRecord& record) {
  record.clear();
  if (pos >= text.size()) return false;
  TCsvField field;
  while (true) {
    if (pos < text.size() && text[pos] == '"' && field.Text.empty() && !field.Quoted) {
      field.Quoted = true;
      ++pos;
      while (true) {
        const std::size_t quote = text.find('"', pos);
        if (quote == std::string_view::npos) throw std::runtime_error("a quoted field is not closed");
        field.Text.append(text.substr(pos, quote - pos));
        pos = quote + 1;
        if (pos < text.size() && text[pos] == '"') {
          field.Text += '"';
          ++pos;
          continue;
        }
        break;
      }
    }
    const bool crlf = pos + 1 < text.size() && text[pos] == '\r' && text[pos + 1] == '\n';
    if (pos >= text.size() || text[pos] == '\n' || crlf) {
      record.push_back(std::move(field));
      if (pos < text.size()) pos += text[pos] == '\r' ? 2 : 1;
      return true;
    }
    if (text[pos] == ',') {
      record.push_back(std::move(field));
      field = {};
      ++pos;
      continue;
    }
    // Text after a closing quote or a lone CR stays part of the field.
    field.Text += text[pos++];
  }
}

void ImportCsv(TQELDatabase& database, const std::string& file, const std::string& tableName,
               const TImportProgress& progress, TImportResult& result) {
  const std::string text = ReadFile(file);
  std::size_t pos = 0;
  result = {};
  TCsvRecord record;
  if (!database.TableExists(tableName)) {
    if (!NextCsvRecord(text, pos, record)) throw std::runtime_error(file + " is empty");
    result.Record = 1;
    CreateTableFor(database, tableName, record, text, pos);
    result.CreatedTable = true;
  }
  TQELTable table;
  table.SetDatabaseName(database.DatabaseName());
  table.SetTableName(tableName);
  std::size_t nextReport = 0;
  try {
    table.Open();
    const std::size_t columns = static_cast<std::size_t>(table.FieldCount());
    database.StartTransaction();
    while (NextCsvRecord(text, pos, record)) {
      ++result.Record;
      if (record.size() == 1 && record[0].Text.empty() && !record[0].Quoted) continue;  // a blank line
      if (record.size() != columns) {
        throw std::runtime_error("record " + std::to_string(result.Record) + " has " +
                                 std::to_string(record.size()) + " fields, the table " + std::to_string(columns) +
                                 " columns");
      }
      table.Append();
      for (std::size_t i = 0; i < columns; ++i) {
        if (record[i].Quoted || !record[i].Text.empty()) {
          table.Fields(static_cast<std::int32_t>(i)).SetAsString(record[i].Text);
        }
      }
      table.Post();
      ++result.Rows;
      if (progress && pos >= nextReport) {
        progress(static_cast<double>(pos) / static_cast<double>(text.size()));
        nextReport = pos + text.size() / 100;
      }
    }
    table.Close();
    database.Commit();
  } catch (...) {
    // Nothing of a failed import stays: its rows are rolled back and a
    // table it created is dropped again.
    try {
      if (table.Active()) table.Cancel();
      table.Close();
      if (database.InTransaction()) database.Rollback();
      if (result.CreatedTable) {
        TQELQuery drop;
        drop.ParamCheck = false;
        drop.SetDatabaseName(database.DatabaseName());
        drop.SetSQLText("drop table " + QuoteName(tableName));
        drop.ExecSQL();
      }
    } catch (...) {
    }
    throw;
  }
  if (progress) progress(1.0);
}

}  // namespace qel::tool
