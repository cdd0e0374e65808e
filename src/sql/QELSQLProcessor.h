#pragma once
// TQELSQLProcessor: runs one SQL text of one or more statements. The whole
// text is tokenized first, so a lexical error anywhere runs nothing; then
// each statement is parsed and executed in text order. A failing statement
// stops the text and leaves the statements before it done. The result is
// the last statement's.
//
// A text of one INSERT ... VALUES, UPDATE or DELETE whose parameters all
// became constants of its expressions is read once: running it again puts
// the new parameter values into those constants (TQELStatementRerun).
//
// Also the unit header of the statement classes.

#include <cstdint>
#include <memory>
#include <string>

#include "sql/QELDDLIndex.h"
#include "sql/QELDDLTable.h"
#include "sql/QELLexer.h"
#include "sql/QELSQLCommand.h"
#include "sql/QELSQLInsert.h"
#include "sql/QELSQLParams.h"
#include "sql/QELSQLSelect.h"
#include "sql/QELSQLTransaction.h"
#include "sql/QELSQLUpdate.h"
#include "sql/QELStatementRerun.h"

namespace qel {

class TQELSQLProcessor {
 public:
  TQELSQLProcessor();
  virtual ~TQELSQLProcessor();
  TQELSQLProcessor(const TQELSQLProcessor&) = delete;
  TQELSQLProcessor& operator=(const TQELSQLProcessor&) = delete;

  void SetSQLText(std::string text) {
    FSQLText = std::move(text);
    FRerun.Clear();
  }
  const std::string& SQLText() const { return FSQLText; }
  // Filled by the query before each execution.
  TQELSQLParams& Params() { return FParams; }

  // The query the statements run for (not owned; may be null).
  void SetQuery(TQELExprQuery* query) {
    FQuery = query;
    FRerun.Clear();
  }
  TQELExprQuery* Query() const { return FQuery; }
  bool RequestLive() const { return FRequestLive; }
  void SetRequestLive(bool value) {
    FRequestLive = value;
    FRerun.Clear();
  }
  // Tables without a database default to in-memory tables.
  bool InMemory() const { return FInMemory; }
  void SetInMemory(bool value) {
    FInMemory = value;
    FRerun.Clear();
  }
  // Runs statements with `executor` instead of the installed one.
  void SetExecutor(TQELSQLExecutor* executor) {
    FExecutor = executor;
    FRerun.Clear();
  }

  // Runs the text; answers the last statement's result cursor, or null.
  TQELCursor* ExecuteSQL();
  // The same, the result not wanted.
  void ExecSQL();
  // Parses every statement of the text in order without running any;
  // answers their number.
  std::int32_t ParseSQL();

  // Set by the last SELECT: its result cannot be edited.
  bool ResultReadOnly() const { return FResultReadOnly; }
  // The rows all statements of the last execution changed.
  std::int64_t RowsAffected() const { return FRowsAffected; }
  // The statement parsed last (kept until the next one is parsed).
  TQELSQLCommand* Statement() const { return FStatement.get(); }
  TQELLexer* Lexer() const { return FLexer.get(); }

 private:
  // What the expressions of the statements learn of the query: its
  // database, and this processor's in-memory default.
  class TQueryView final : public TQELExprQuery {
   public:
    explicit TQueryView(const TQELSQLProcessor& processor) : FProcessor(processor) {}
    std::string DatabaseName() const override;
    bool InMemory() const override { return FProcessor.FInMemory; }
    std::string SessionName() const override;

   private:
    const TQELSQLProcessor& FProcessor;
  };

  // A new lexer over the text (lexical errors are raised here).
  void Start();
  // Runs the statement read before again with the current parameters;
  // false when it cannot be.
  bool RunAgain();
  void RunStatement();
  // Parses the next statement into FStatement; false when none is left.
  bool ParseNextStatement();
  std::unique_ptr<TQELSQLCommand> CreateStatement();

  TQELExprQuery* FQuery = nullptr;
  TQueryView FQueryView{*this};
  bool FResultReadOnly = false;
  bool FRequestLive = false;
  bool FInMemory = false;
  std::int64_t FRowsAffected = 0;
  std::unique_ptr<TQELLexer> FLexer;
  // The commands of the text itself: statements may append commands of
  // their own (UPDATE's SELECT), which are no statements.
  std::int32_t FCommandCount = 0;
  std::string FSQLText;
  TQELSQLParams FParams;
  TQELSQLExecutor* FExecutor = nullptr;
  std::unique_ptr<TQELSQLCommand> FStatement;
  TQELStatementRerun FRerun;
};

// The processor of a local session; it adds nothing to the interface.
class TQELLocalSQLProcessor : public TQELSQLProcessor {};

}  // namespace qel
