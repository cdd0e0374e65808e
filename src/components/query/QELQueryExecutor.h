#pragma once
// TQELQueryExecutor: runs the parsed statements of the statement processor
// against the databases of the components. SELECT statements become plans
// whose result cursor the query component shows; the definition and
// modification statements work through table components; transactions
// through the query's database.
//
// Linking the components installs it as the processor's executor before
// main runs.

#include <cstdint>

#include "components/query/QELAOTable.h"
#include "sql/QELSQLProcessor.h"

namespace qel {

class TQELQueryExecutor final : public TQELSQLExecutor {
 public:
  void Execute(TQELSQLCommand& statement, TQELExprQuery* query, bool isQuery,
               TQELExprRecordSource* outerSource, const std::uint8_t* outerBuffer,
               bool& resultReadOnly, bool requestLive) override;
};

// Where the statements of `query` (may be null) find their tables.
TQELPlanContext QELPlanContextOf(const TQELExprQuery* query);

// A table component on a statement's table, not opened (a database file
// named before the dot is not supported yet: 30350).
std::unique_ptr<TQELTable> QELStatementTable(const std::string& databaseName, const std::string& tableName,
                                             bool inMemory, const TQELPlanContext& context);

// The statements, one function each.
void QELExecuteSelect(TQELSQLUnion& statement, const TQELPlanContext& context, bool& resultReadOnly,
                      bool requestLive);
void QELExecuteCreateTable(TQELDDLCreateTable& statement, const TQELPlanContext& context);
void QELExecuteDropTable(TQELDDLDropTable& statement, const TQELPlanContext& context);
void QELExecuteTruncateTable(TQELDDLTruncateTable& statement, const TQELPlanContext& context);
void QELExecuteCreateIndex(TQELDDLCreateIndex& statement, const TQELPlanContext& context);
void QELExecuteDropIndex(TQELDDLDropIndex& statement, const TQELPlanContext& context);
void QELExecuteInsert(TQELSQLInsert& statement, const TQELPlanContext& context);
void QELExecuteTransaction(TQELSQLCommand& statement, const TQELPlanContext& context);
void QELExecuteUpdate(TQELSQLUpdate& statement, const TQELPlanContext& context);
void QELExecuteDelete(TQELSQLDelete& statement, const TQELPlanContext& context);
void QELExecuteRenameTable(TQELDDLRenameTable& statement, const TQELPlanContext& context);
void QELExecuteAlterTable(TQELDDLAlterTable& statement, const TQELPlanContext& context);

// The runner of a subquery node's statement (QELQuerySubquery.cpp): each
// run plans and opens it for the outer row `outerSource` holds then.
std::unique_ptr<TQELSubqueryRunner> QELCreateSubqueryRunner(TQELSQLUnion& statement, TQELExprQuery* query,
                                                            TQELExprRecordSource& outerSource);

// SELECT ... INTO and INSERT ... SELECT (QELQueryInto.cpp).
// Copies a result's rows into `target`, which takes the result's structure
// (10403 when a row cannot be copied); answers the rows.
std::int32_t QELImportResult(TQELCursor& result, TQELTable& target, const TQELPlanContext& context);
// Refuses an INTO target that is also a table the statement reads (30447),
// or in another database (30350).
void QELCheckIntoTarget(TQELSQLUnion& statement, const TQELPlanContext& context);
// Copies the executed statement's result into its INTO table.
void QELSelectInto(TQELSQLUnion& statement, const TQELPlanContext& context);
// Inserts the rows of the statement's SELECT into the open `table`.
void QELInsertSelected(TQELSQLInsert& statement, TQELTable& table, const TQELPlanContext& context);

}  // namespace qel
