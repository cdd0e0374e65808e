#pragma once
// TQELExprNodeSubquery: a SELECT inside an expression. The parser records
// where its tokens are (the lexer's command and the first and last token)
// and what the place requires of it: a scalar subquery one column and at
// most one row, IN and a quantified comparison one column, EXISTS nothing.
//
// The statement is parsed from those tokens once, the first time it is
// needed, and run by the runner the query layer installs (until one is,
// the node reports that subqueries cannot be evaluated). Column references
// its own tables do not have read the enclosing query's current row: the
// record source the node is bound to. A subquery none of whose references
// reads that row is uncorrelated: it runs once and its rows are kept. A
// correlated one runs again at every evaluation, for the row then current.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sql/QELExprNode.h"

namespace qel {

class TQELLexer;
class TQELSQLUnion;

// What an expression needs to know of the query it belongs to.
class TQELExprQuery {
 public:
  virtual ~TQELExprQuery() = default;
  virtual std::string DatabaseName() const = 0;
  virtual bool InMemory() const = 0;
  // The session the database is looked up in; empty for the default one.
  virtual std::string SessionName() const { return {}; }
};

// The rows one run of a subquery delivers.
class TQELSubqueryRows {
 public:
  virtual ~TQELSubqueryRows() = default;
  // The result's columns.
  virtual const TQELFieldDefs& Columns() const = 0;
  // Moves to the next row, the first one after a run; false past the last.
  virtual bool Next() = 0;
  // Column `column` of the row Next moved to.
  virtual void GetValue(std::int32_t column, TQELVariant& value) = 0;
};

// A subquery's statement made ready to run; the query layer builds it.
class TQELSubqueryRunner {
 public:
  virtual ~TQELSubqueryRunner() = default;
  // Runs the statement for the outer row the outer source holds now (an
  // earlier run's rows go first) and answers its rows.
  virtual TQELSubqueryRows& Run() = 0;
};

// Makes the runner of `statement`, whose outer column references bind to
// `outerSource` (never null; it may know no fields).
using TQELSubqueryRunnerFactory = std::unique_ptr<TQELSubqueryRunner> (*)(
    TQELSQLUnion& statement, TQELExprQuery* query, TQELExprRecordSource& outerSource);
void QELSetSubqueryRunnerFactory(TQELSubqueryRunnerFactory factory);

class TQELExprNodeSubquery final : public TQELExprNode {
 public:
  TQELExprNodeSubquery(TQELLexer* lexer, TQELExprQuery* query, std::int32_t commandNo,
                       std::int32_t firstToken, std::int32_t lastToken);
  // A copy refers to the same tokens; it parses and runs on its own.
  TQELExprNodeSubquery(const TQELExprNodeSubquery& other);
  ~TQELExprNodeSubquery() override;
  std::unique_ptr<TQELExprNode> Clone() const override {
    return std::make_unique<TQELExprNodeSubquery>(*this);
  }

  void SetRequirements(bool singleColumn, bool singleRow) {
    FSingleColumn = singleColumn;
    FSingleRow = singleRow;
  }
  bool SingleColumn() const { return FSingleColumn; }
  bool SingleRow() const { return FSingleRow; }
  std::int32_t CommandNo() const { return FCommandNo; }
  std::int32_t FirstToken() const { return FFirstToken; }
  std::int32_t LastToken() const { return FLastToken; }
  // The comparison of a quantified comparison this subquery serves.
  void SetComparison(TQELExprOperator op, std::uint8_t quantifier) {
    FComparison = op;
    FQuantifier = quantifier;
  }
  // Known once the subquery has run.
  bool Correlated() const { return FCorrelated; }
  TQELLexer* Lexer() const { return FLexer; }
  TQELExprQuery* Query() const { return FQuery; }
  TQELExprOperator Comparison() const { return FComparison; }
  std::uint8_t QuantifierCode() const { return FQuantifier; }

  // The first column of the first row; NULL without rows. More than one
  // row raises 20247 where one row at most is required.
  TQELVariant& Evaluate() override;
  // Every column of the first row (all NULL without rows), for GetRowValue.
  void FetchRow() override;
  const TQELVariant* GetRowValue(std::int32_t index) override;
  // The first result column's, found by running the subquery.
  TQELAdvancedFieldType GetDataType() override;
  std::int32_t GetDataSize() override;
  // The record source is the enclosing query's row.
  void BindToCursor(TQELExprRecordSource* cursor, TQELExprRowSource* source,
                    TQELExprRecordSource* outerCursor) override;
  void BindToSources(TQELExprRowSource* source1, TQELExprRowSource* source2,
                     TQELExprRecordSource* outerCursor) override;

  // For EXISTS, IN and quantified comparisons, each running the subquery
  // when it must: whether it has rows; the non-NULL values of its first
  // column; whether they hold `value` (compared ignoring case, as IN does).
  bool HasRows();
  const std::vector<TQELVariant>& ColumnValues();
  bool ContainsValue(const TQELVariant& value);

 private:
  class TOuterRow;

  // Runs the subquery unless the rows of an uncorrelated run are kept.
  void Refresh();
  // The statement from the subquery's tokens, the lexer left where it was.
  void ParseStatement();
  void ReadResult(TQELSubqueryRows& rows);
  void CheckRowCount() const;

  TQELLexer* FLexer;
  TQELExprQuery* FQuery;
  std::int32_t FCommandNo;
  std::int32_t FFirstToken;
  std::int32_t FLastToken;
  bool FSingleColumn = true;
  bool FSingleRow = true;
  TQELExprOperator FComparison = eoNone;
  std::uint8_t FQuantifier = 0;
  bool FCorrelated = false;

  // Declared in the order they depend on each other: the runner's plan
  // reads the outer row and the statement.
  std::unique_ptr<TOuterRow> FOuterRow;
  std::unique_ptr<TQELSQLUnion> FStatement;
  std::unique_ptr<TQELSubqueryRunner> FRunner;
  // The last run's result.
  bool FHasResult = false;
  std::int64_t FRowCount = 0;
  std::vector<TQELVariant> FRowValues;
  std::vector<TQELVariant> FColumnValues;
  bool FValuesSorted = false;
  // The same values as numbers, when all are integers (sorted with them).
  std::vector<std::int64_t> FIntegers;
  bool FIntegersOnly = false;
  TQELAdvancedFieldType FDataType = aftUnknown;
  std::int32_t FDataSize = 0;
};

}  // namespace qel
