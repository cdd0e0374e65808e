#pragma once
// TQELAO: a node of a SELECT's relational-algebra plan. Each node delivers
// rows with named, typed columns; its result is a table component (a base
// table itself, or the temporary table the node materialised into), whose
// cursor the query component shows.
//
// TQELFieldLink describes one column: where its value comes from (a column
// of the source, or a computed expression) and whether it is delivered.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "components/QELTable.h"
#include "sql/QELExpression.h"
#include "sql/QELSQLSelect.h"

namespace qel {

struct TQELFieldLink {
  std::string DisplayName;
  std::string FieldName;
  std::string TableName;  // the source's name or alias
  TQELAdvancedFieldType DataType = aftUnknown;
  std::int32_t Size = 0;
  // Exists for evaluation but is not delivered.
  bool IsHidden = true;
  // The column's number in its source (a field of the base table).
  std::int32_t SourceColumn = -1;
  bool IsExpression = false;
  bool IsAggregate = false;
  std::unique_ptr<TQELExpression> Expression;

  // The column's description without its expression.
  TQELFieldLink Described() const {
    TQELFieldLink copy;
    copy.DisplayName = DisplayName;
    copy.FieldName = FieldName;
    copy.TableName = TableName;
    copy.DataType = DataType;
    copy.Size = Size;
    copy.IsHidden = IsHidden;
    copy.SourceColumn = SourceColumn;
    copy.IsExpression = IsExpression;
    copy.IsAggregate = IsAggregate;
    return copy;
  }
};

class TQELAO {
 public:
  virtual ~TQELAO() = default;
  TQELAO(const TQELAO&) = delete;
  TQELAO& operator=(const TQELAO&) = delete;

  // Makes the result ready: opens the inputs and, where the node cannot be
  // read live, copies its rows into its result table.
  virtual void Open() = 0;
  // The result dataset and its cursor (null before Open).
  TQELTable* Result() const { return FResult.get(); }
  TQELCursor* ResultCursor() const { return FResult ? FResult->Cursor() : nullptr; }

  std::vector<TQELFieldLink>& Columns() { return FColumns; }
  const std::vector<TQELFieldLink>& Columns() const { return FColumns; }
  // The numbers of the columns named `fieldName`, with `tableName` matching
  // the node's name or alias when given.
  std::vector<std::int32_t> FindColumns(std::string_view fieldName, std::string_view tableName) const;

 protected:
  TQELAO() = default;

  std::unique_ptr<TQELTable> FResult;
  std::vector<TQELFieldLink> FColumns;
  std::string FTableName;
  std::string FAlias;
};

// The position (from 0) of the column an ORDER BY key written as a number
// names among `count` columns, raising 20243 when there is none; -1 for a
// key written as a name.
std::int32_t QELSortKeyPosition(const TQELSortKey& key, std::size_t count);
// 30195: the key names no column.
[[noreturn]] void QELRaiseSortKeyNotFound(const TQELSortKey& key);

// A name made from `prefix` and a pseudo-random number below a million
// ("TEMPORARY_TABLE_123456").
std::string QELUniqueName(std::string_view prefix);

}  // namespace qel
