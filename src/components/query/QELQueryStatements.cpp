// The statements without a result: CREATE, DROP and TRUNCATE TABLE,
// CREATE and DROP INDEX, INSERT ... VALUES and the transaction statements,
// each through a table component or the query's database.

#include "components/QELDatabase.h"
#include "components/QELSession.h"
#include "components/QELSessionList.h"
#include "components/query/QELKeptTables.h"
#include "components/query/QELQueryDefinitions.h"
#include "components/query/QELQueryExecutor.h"
#include "components/query/QELStatementLocks.h"
#include "platform/QELException.h"

namespace qel {

namespace {

std::unique_ptr<TQELTable> TargetTable(const TQELTableTarget& target, const TQELPlanContext& context) {
  return QELStatementTable(target.DatabaseName, target.TableName, target.InMemory, context);
}

// The query's database for the length of a transaction statement.
class TDatabaseUse {
 public:
  explicit TDatabaseUse(const TQELPlanContext& context)
      : FSession(TQELSessionList::Instance().GetSession(context.SessionName)),
        FDatabase(FSession.OpenDatabase(context.DatabaseName)) {}
  ~TDatabaseUse() {
    try {
      FSession.CloseDatabase(&FDatabase);
    } catch (...) {
    }
  }
  TDatabaseUse(const TDatabaseUse&) = delete;
  TDatabaseUse& operator=(const TDatabaseUse&) = delete;
  TQELDatabase& Database() const { return FDatabase; }

 private:
  TQELSession& FSession;
  TQELDatabase& FDatabase;
};

}  // namespace

std::unique_ptr<TQELTable> QELStatementTable(const std::string& databaseName, const std::string& tableName,
                                             bool inMemory, const TQELPlanContext& context) {
  if (!databaseName.empty()) throw EQELException(30350, "Not implemented yet");
  auto table = std::make_unique<TQELTable>();
  table->SetSessionName(context.SessionName);
  if (inMemory || context.InMemory) {
    table->SetInMemory(true);
  } else {
    table->SetDatabaseName(context.DatabaseName);
  }
  table->SetTableName(tableName);
  table->DisableTempFiles = true;
  return table;
}

void QELExecuteCreateTable(TQELDDLCreateTable& statement, const TQELPlanContext& context) {
  std::unique_ptr<TQELTable> table = TargetTable(statement.Table(), context);
  if (table->Exists()) {
    if (statement.IfNotExists()) return;
    throw EQELException(30247, "Cannot create table. Table '%s' already exists", {statement.Table().TableName});
  }
  for (const TSQLFieldDef& field : statement.FieldDefs()) table->AdvFieldDefs.Add() = QELAdvFieldDefOf(field);
  for (const TQELSQLIndex& index : statement.Indexes()) QELAddAdvIndexDef(table->AdvIndexDefs, index);
  QELWrapErrors(30248, "Error creating table: '%s'", [&] { table->CreateTable(); });
}

void QELExecuteDropTable(TQELDDLDropTable& statement, const TQELPlanContext& context) {
  std::unique_ptr<TQELTable> table = TargetTable(statement.Table(), context);
  // A missing table is no error.
  if (!table->Exists()) return;
  QELWrapErrors(30250, "Error dropping table: '%s'", [&] { table->DeleteTable(); });
}

void QELExecuteTruncateTable(TQELDDLTruncateTable& statement, const TQELPlanContext& context) {
  std::unique_ptr<TQELTable> table = TargetTable(statement.Table(), context);
  QELWrapErrors(30491, "Error truncating table: '%s'", [&] { table->EmptyTable(); });
}

void QELExecuteCreateIndex(TQELDDLCreateIndex& statement, const TQELPlanContext& context) {
  std::unique_ptr<TQELTable> table = TargetTable(statement.Table(), context);
  const TQELSQLIndex& index = statement.Index();
  table->AddIndex(index.Name, QELIndexFields(index), QELIndexOptions(index), QELIndexDescFields(index),
                  QELIndexCaseInsFields(index));
}

void QELExecuteDropIndex(TQELDDLDropIndex& statement, const TQELPlanContext& context) {
  std::unique_ptr<TQELTable> table = TargetTable(statement.Table(), context);
  table->DeleteIndex(statement.IndexName());
}

namespace {

// Appends and posts every VALUES row; a row that fails is cancelled and
// its error passed on.
std::int32_t InsertRows(TQELSQLInsert& statement, TQELTable& table) {
  std::int32_t rows = 0;
  for (auto& row : statement.Rows()) {
    const bool byName = statement.Columns().size() == row.size();
    table.Append();
    try {
      for (std::size_t i = 0; i < row.size(); ++i) {
        TField& field = byName ? table.FieldByName(statement.Columns()[i]) : table.Fields(static_cast<std::int32_t>(i));
        field.SetAsVariant(row[i]->GetValue(true));
      }
      table.Post();
    } catch (...) {
      table.Cancel();
      throw;
    }
    ++rows;
  }
  return rows;
}

}  // namespace

void QELExecuteInsert(TQELSQLInsert& statement, const TQELPlanContext& context) {
  if (TQELKeptTables* kept = TQELKeptTables::Of(statement)) {
    statement.SetRowsAffected(InsertRows(statement, kept->Table(0)));
    return;
  }
  std::unique_ptr<TQELTable> table = TargetTable(statement.Table(), context);
  table->Open();
  if (statement.Select() != nullptr) {
    QELInsertSelected(statement, *table, context);
    return;
  }
  // Rows of a column list were checked against it by the parser; without
  // one a row may not hold more values than the table has fields.
  for (const auto& row : statement.Rows()) {
    if (statement.Columns().empty() && static_cast<std::int32_t>(row.size()) > table->FieldCount()) {
      throw EQELException(20259, "Number of field names doesn't equal to the number of field values: %d <> %d. "
                                 "Found at line %d, column %d",
                          {static_cast<std::int64_t>(table->FieldCount()), static_cast<std::int64_t>(row.size()),
                           statement.Line(), statement.Column()});
    }
  }
  statement.SetRowsAffected(QELUnderStatementLocks(*table, 20224, [&] { return InsertRows(statement, *table); }));
  std::vector<std::unique_ptr<TQELTable>> tables;
  tables.push_back(std::move(table));
  TQELKeptTables::Keep(statement, std::move(tables));
}

void QELExecuteTransaction(TQELSQLCommand& statement, const TQELPlanContext& context) {
  TDatabaseUse use(context);
  if (dynamic_cast<TQELSQLStartTransaction*>(&statement) != nullptr) {
    use.Database().StartTransaction();
  } else if (auto* commit = dynamic_cast<TQELSQLCommit*>(&statement)) {
    use.Database().Commit(commit->Flush());
  } else {
    use.Database().Rollback();
  }
}

}  // namespace qel
