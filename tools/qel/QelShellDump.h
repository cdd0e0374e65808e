#pragma once
// The shell's views of a database's structure and data: the CREATE
// statements rebuilt from a table's stored definitions, the statements that
// re-create tables with their rows, and the import of a CSV file.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace qel {
class TQELDatabase;
}

namespace qel::tool {

// A name as the dialect reads it back: as it is when it is a plain word
// that is not reserved, else in square brackets.
std::string QuoteName(std::string_view name);
// `text` as a string literal in single quotes, its quotes doubled.
std::string QuoteText(std::string_view text);

// The tables of the shell's database, sorted by name.
std::vector<std::string> ShellTableNames(TQELDatabase& database);
// CREATE TABLE (primary key included) and then one CREATE INDEX per other
// index of `table`, each ending with ";\n".
std::string SchemaText(const std::string& table);
// The names of the indexes of `table`, primary first.
std::vector<std::string> IndexNames(const std::string& table);
// SchemaText, then an INSERT for every row, for each of `tables`, inside
// one transaction.
void DumpTables(const std::vector<std::string>& tables, std::ostream& out);

// Calls `progress` with the share done, 0 to 1.
using TImportProgress = std::function<void(double)>;
struct TImportResult {
  std::int64_t Rows = 0;
  bool CreatedTable = false;
  // The record of the file read last, from 1 (the one that failed, after
  // a failure).
  std::int64_t Record = 0;
};
// Reads the CSV file (RFC 4180) into `table` in one transaction. When the
// table exists, every record of the file is a row, its fields in the
// table's column order; otherwise the first record names the columns of a
// new table whose VARCHAR columns fit the longest value. An empty unquoted
// field is NULL. Raises std::runtime_error for a file that cannot be read
// or whose records do not match the columns, and the engine's errors; a
// failed import leaves the database as it was.
void ImportCsv(TQELDatabase& database, const std::string& file, const std::string& table,
               const TImportProgress& progress, TImportResult& result);

// The records of a CSV text: fields separated by commas, records by CRLF
// or LF, quoted fields with doubled quotes and line breaks inside. A
// field's flag says it was quoted.
struct TCsvField {
  std::string Text;
  bool Quoted = false;
};
using TCsvRecord = std::vector<TCsvField>;
// Parses records from `text` starting at `pos`, one per call; false at the
// end. Raises std::runtime_error for a quote that is never closed.
bool NextCsvRecord(std::string_view text, std::size_t& pos, TCsvRecord& record);

}  // namespace qel::tool
