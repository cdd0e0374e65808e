// SELECT ... INTO and INSERT ... SELECT: a SELECT's result copied into a
// table through the table component's import. INSERT ... SELECT copies the
// result into a temporary table first, so that a statement may read the
// table it writes: every row is read before the first one is inserted.

#include <atomic>
#include <string>

#include "components/QELTable.h"
#include "components/QELTableCopy.h"
#include "components/db/QELSameText.h"
#include "components/query/QELQueryExecutor.h"
#include "components/query/QELResultDataSet.h"
#include "components/query/QELStatementLocks.h"
#include "platform/QELException.h"
#include "platform/QELRandom.h"
#include "sql/QELSQLInsert.h"

namespace qel {

namespace {

// Frees a statement's result when the copy of it is done or failed.
struct TResultRelease {
  TQELSQLUnion& Statement;
  ~TResultRelease() { Statement.SetResult(nullptr); }
};

std::string TemporaryTableName() {
  static std::atomic<std::uint32_t> counter{0};
  return "TmpTableForInsert" + std::to_string(QELRandom(1000000)) + "_" + std::to_string(++counter);
}

// Appends every row of `rows` to `table`: by the column list's names when
// it has as many names as the rows have fields, else by position.
std::int32_t InsertRowsOf(TQELTable& rows, TQELTable& table, const std::vector<std::string>& columns) {
  const bool byName = static_cast<std::int32_t>(columns.size()) == rows.FieldCount();
  std::int32_t inserted = 0;
  for (rows.First(); !rows.Eof(); rows.Next()) {
    table.Append();
    try {
      for (std::int32_t i = 0; i < rows.FieldCount(); ++i) {
        TField& field = byName ? table.FieldByName(columns[static_cast<std::size_t>(i)]) : table.Fields(i);
        AssignFieldValue(rows.Fields(i), field);
      }
      table.Post();
    } catch (...) {
      table.Cancel();
      throw;
    }
    ++inserted;
  }
  return inserted;
}

}  // namespace

std::int32_t QELImportResult(TQELCursor& result, TQELTable& target, const TQELPlanContext& context) {
  TQELResultDataSet rows(result, context);
  rows.Open();
  std::string log;
  if (!target.ImportTable(rows, log)) {
    throw EQELException(10403, "Error importing table. Cannot copy data due to error: %s\r\n", {log});
  }
  return static_cast<std::int32_t>(rows.RecordCount());
}

namespace {

// Every base table reference of a FROM reference, joins and derived tables
// included.
void CollectTables(const TQELTableReference& reference, std::vector<const TQELTableReference*>& tables);

void CollectTables(const TQELQueryExprNode& node, std::vector<const TQELTableReference*>& tables) {
  if (node.Select) {
    for (const auto& reference : node.Select->TableRefs()) CollectTables(*reference, tables);
  }
  if (node.Left) CollectTables(*node.Left, tables);
  if (node.Right) CollectTables(*node.Right, tables);
}

void CollectTables(const TQELTableReference& reference, std::vector<const TQELTableReference*>& tables) {
  switch (reference.Kind) {
    case trkTable:
      tables.push_back(&reference);
      break;
    case trkJoin:
      CollectTables(*reference.Left, tables);
      CollectTables(*reference.Right, tables);
      break;
    case trkDerived:
      if (reference.Subquery && reference.Subquery->QueryTree() != nullptr) {
        CollectTables(*reference.Subquery->QueryTree(), tables);
      }
      break;
  }
}

}  // namespace

void QELCheckIntoTarget(TQELSQLUnion& statement, const TQELPlanContext& context) {
  if (!statement.IntoDatabase().empty()) throw EQELException(30350, "Not implemented yet");
  const bool intoMemory = statement.IntoMemory() || context.InMemory;
  std::vector<const TQELTableReference*> sources;
  if (statement.QueryTree() != nullptr) CollectTables(*statement.QueryTree(), sources);
  for (const TQELTableReference* source : sources) {
    const bool sourceInMemory = source->InMemory || context.InMemory;
    // The target is created before anything is copied: made over a source,
    // it would replace a table the statement reads.
    if (intoMemory == sourceInMemory && source->DatabaseName.empty() &&
        QELSameText(statement.IntoTable(), source->TableName)) {
      throw EQELException(30447, "Cannot copy table '%s.%s' into it self",
                          {intoMemory ? std::string("MEMORY") : context.DatabaseName, source->TableName});
    }
  }
}

void QELSelectInto(TQELSQLUnion& statement, const TQELPlanContext& context) {
  std::unique_ptr<TQELTable> target =
      QELStatementTable("", statement.IntoTable(), statement.IntoMemory() || context.InMemory, context);
  statement.SetRowsAffected(QELImportResult(*statement.GetResultCursor(), *target, context));
}

void QELInsertSelected(TQELSQLInsert& statement, TQELTable& table, const TQELPlanContext& context) {
  TQELSQLUnion& select = *statement.Select();
  TQELTable copy;
  copy.SetSessionName(context.SessionName);
  copy.SetTemporary(true);
  copy.SetTableName(TemporaryTableName());
  copy.DisableTempFiles = true;
  {
    bool readOnly = true;
    QELExecuteSelect(select, context, readOnly, false);
    TResultRelease release{select};
    QELImportResult(*select.GetResultCursor(), copy, context);
  }
  struct TDrop {
    TQELTable& Table;
    ~TDrop() {
      try {
        Table.DeleteTable();
      } catch (...) {
      }
    }
  } drop{copy};
  copy.Open();
  const std::vector<std::string>& columns = statement.Columns();
  const std::int32_t width = columns.empty() ? table.FieldCount() : static_cast<std::int32_t>(columns.size());
  if (copy.FieldCount() > width || (!columns.empty() && copy.FieldCount() != width)) {
    throw EQELException(20259, "Number of field names doesn't equal to the number of field values: %d <> %d. "
                               "Found at line %d, column %d",
                        {static_cast<std::int64_t>(width), static_cast<std::int64_t>(copy.FieldCount()),
                         statement.Line(), statement.Column()});
  }
  statement.SetRowsAffected(
      QELUnderStatementLocks(table, 20224, [&] { return InsertRowsOf(copy, table, columns); }));
  copy.Close();
}

}  // namespace qel
