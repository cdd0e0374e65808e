#pragma once
// The temporary tables a plan materialises its rows into: made with one
// field per result column, ordered by an index over some of them, and
// deleted with the node that made them.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "components/QELTable.h"
#include "values/QELVariant.h"

namespace qel {

struct TQELResultColumn {
  std::string Name;
  TQELAdvancedFieldType DataType = aftUnknown;
  std::int32_t Size = 0;
};

// Auto-increment columns are stored as plain integers of their width (the
// copy supplies their values); a column of no known type as a string.
TQELAdvancedFieldType QELStoredType(TQELAdvancedFieldType type);

// A new, open temporary table with one field per column, under a unique
// "TEMPORARY_TABLE_" name, in the session `sessionName`.
std::unique_ptr<TQELTable> QELNewTemporaryTable(const std::vector<TQELResultColumn>& columns,
                                                const std::string& sessionName = {});
// Closes and deletes a temporary table; nothing for null. Never raises: it
// runs while a failure unwinds.
void QELDropTemporaryTable(std::unique_ptr<TQELTable>& table);

// Makes an index over `fields` (each "ASC" or "DESC", case-sensitive)
// current on the open `table`, defining it when there is none.
void QELOrderTable(TQELTable& table, const std::vector<std::string>& fields,
                   const std::vector<std::string>& directions);

// Appends rows to an open table straight through its cursor, without the
// dataset's editing states and events: for a plan's own temporary tables,
// which have no defaults, constraints or data links to serve.
class TQELRowAppender {
 public:
  explicit TQELRowAppender(TQELTable& table);
  ~TQELRowAppender();
  TQELRowAppender(const TQELRowAppender&) = delete;
  TQELRowAppender& operator=(const TQELRowAppender&) = delete;

  // Starts a row with every field NULL.
  void Begin();
  // Field `fieldNo` of the table (from 0) takes `value`.
  void Set(std::int32_t fieldNo, const TQELVariant& value);
  // Inserts the row; a failure raises the engine's error for it.
  void Post();
  // The row being made, for writing fields of the table's own layout
  // straight into it.
  std::uint8_t* Record() { return FBuffer; }
  const TQELFieldDefs& FieldDefs() const { return FCursor.FieldDefs(); }

 private:
  TQELCursor& FCursor;
  std::uint8_t* FBuffer = nullptr;
};

// Row values equal for DISTINCT, grouping and set operations: NULLs equal,
// case-sensitive.
bool QELSameValue(const TQELVariant& a, const TQELVariant& b);
bool QELSameValues(const std::vector<TQELVariant>& a, const std::vector<TQELVariant>& b);

// Names every column, in order: an empty name becomes a unique "Expr"
// name, and a name an earlier column has (case ignored) takes the first
// free suffix _1, _2, ...
void QELNameColumns(std::vector<std::string>& names);

}  // namespace qel
