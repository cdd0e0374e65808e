#include "components/query/QELQueryExecutor.h"

#include "platform/QELException.h"
#include "sql/QELExprNodeSystem.h"

namespace qel {

TQELPlanContext QELPlanContextOf(const TQELExprQuery* query) {
  TQELPlanContext context;
  if (query != nullptr) {
    context.DatabaseName = query->DatabaseName();
    context.InMemory = query->InMemory();
    context.SessionName = query->SessionName();
  }
  return context;
}

namespace {

template <class TStatement>
TStatement* As(TQELSQLCommand& statement) {
  return dynamic_cast<TStatement*>(&statement);
}

}  // namespace

void TQELQueryExecutor::Execute(TQELSQLCommand& statement, TQELExprQuery* query, bool /*isQuery*/,
                                TQELExprRecordSource* outerSource, const std::uint8_t* /*outerBuffer*/,
                                bool& resultReadOnly, bool requestLive) {
  TQELPlanContext context = QELPlanContextOf(query);
  // A subquery's statement: its outer references read the enclosing row.
  context.OuterSource = outerSource;
  if (auto* select = As<TQELSQLUnion>(statement)) {
    QELExecuteSelect(*select, context, resultReadOnly, requestLive);
  } else if (auto* create = As<TQELDDLCreateTable>(statement)) {
    QELExecuteCreateTable(*create, context);
  } else if (auto* drop = As<TQELDDLDropTable>(statement)) {
    QELExecuteDropTable(*drop, context);
  } else if (auto* truncate = As<TQELDDLTruncateTable>(statement)) {
    QELExecuteTruncateTable(*truncate, context);
  } else if (auto* createIndex = As<TQELDDLCreateIndex>(statement)) {
    QELExecuteCreateIndex(*createIndex, context);
  } else if (auto* dropIndex = As<TQELDDLDropIndex>(statement)) {
    QELExecuteDropIndex(*dropIndex, context);
  } else if (auto* insert = As<TQELSQLInsert>(statement)) {
    QELExecuteInsert(*insert, context);
  } else if (auto* update = As<TQELSQLUpdate>(statement)) {
    QELExecuteUpdate(*update, context);
  } else if (auto* deletion = As<TQELSQLDelete>(statement)) {
    QELExecuteDelete(*deletion, context);
  } else if (auto* rename = As<TQELDDLRenameTable>(statement)) {
    QELExecuteRenameTable(*rename, context);
  } else if (auto* alter = As<TQELDDLAlterTable>(statement)) {
    // After RENAME TABLE, which is an ALTER TABLE of its own.
    QELExecuteAlterTable(*alter, context);
  } else if (As<TQELSQLStartTransaction>(statement) != nullptr || As<TQELSQLCommit>(statement) != nullptr ||
             As<TQELSQLRollback>(statement) != nullptr) {
    QELExecuteTransaction(statement, context);
  } else {
    throw EQELException(30350, "Not implemented yet");
  }
}

namespace {

// LASTAUTOINC(table, field): the table opened read-only in the query's
// database; each value is the last one this session generated.
class TTableAutoincSource final : public TQELAutoincSource {
 public:
  TTableAutoincSource(const std::string& databaseName, bool inMemory, const std::string& tableName,
                      const std::string& fieldName)
      : FFieldName(fieldName) {
    if (inMemory) {
      FTable.SetInMemory(true);
    } else {
      FTable.SetDatabaseName(databaseName);
    }
    FTable.SetTableName(tableName);
    FTable.SetReadOnly(true);
    FTable.Open();
    TField* field = FTable.FindField(fieldName);
    if (field == nullptr) throw EQELException(30337, "Field '%s' not found", {fieldName});
    const TQELFieldDefs& defs = FTable.Cursor()->VisibleFieldDefs();
    FType = defs[field->FieldNo() - 1].AdvancedFieldType();
  }
  std::int64_t LastValue() override { return FTable.GetLastAutoincValue(FFieldName); }
  TQELAdvancedFieldType FieldType() const override { return FType; }

 private:
  TQELTable FTable;
  std::string FFieldName;
  TQELAdvancedFieldType FType = aftUnknown;
};

std::unique_ptr<TQELAutoincSource> OpenAutoincSource(const std::string& databaseName, bool inMemory,
                                                     const std::string& tableName, const std::string& fieldName) {
  return std::make_unique<TTableAutoincSource>(databaseName, inMemory, tableName, fieldName);
}

}  // namespace

// The executor every processor uses unless given another, and the table
// LASTAUTOINC reads, installed while the program starts.
namespace {
struct TExecutorRegistration {
  TExecutorRegistration() {
    static TQELQueryExecutor executor;
    QELSetSQLExecutor(&executor);
    QELSetAutoincSourceFactory(&OpenAutoincSource);
    QELSetSubqueryRunnerFactory(&QELCreateSubqueryRunner);
  }
};
const TExecutorRegistration gRegistration;
}  // namespace

}  // namespace qel

// Named by a link option of the components library, so that every program
// that links it takes this file, and with it the registration above.
extern "C" {
extern const int qel_query_executor;
const int qel_query_executor = 1;
}
