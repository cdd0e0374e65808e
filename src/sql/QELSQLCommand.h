#pragma once
// TQELSQLCommand: the base of every statement class. A statement parses
// itself from the tokens of the lexer's current command when it is created
// and runs through Execute; the cursor commands (SELECT and its set
// operations) add a result.
//
// Running a statement is the query layer's work: Execute hands the parsed
// statement to the installed TQELSQLExecutor, which plans and runs it, sets
// the row count and attaches the result. Without one, Execute raises 30514.
//
// The token helpers keep FToken on the lexer's current token: each parse
// step starts at FToken and leaves it on the first token after what it read
// (kind tktNone at the end of the command).

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sql/QELExprNodeSubquery.h"
#include "sql/QELLexer.h"

namespace qel {

class TQELCursor;
class TQELExprRecordSource;
class TQELExpression;
class TQELSQLCommand;

// What a statement's execution leaves behind for the caller: the result
// dataset of the query layer, with its cursor.
class TQELSQLResult {
 public:
  virtual ~TQELSQLResult() = default;
  virtual TQELCursor* Cursor() = 0;
};

// Runs parsed statements; the query layer implements it.
class TQELSQLExecutor {
 public:
  virtual ~TQELSQLExecutor() = default;
  // Runs `statement` for `query`, sets its RowsAffected and, for a statement
  // with a result set, its result (SetResult); `resultReadOnly` tells
  // whether that result can be edited.
  virtual void Execute(TQELSQLCommand& statement, TQELExprQuery* query, bool isQuery,
                       TQELExprRecordSource* outerSource, const std::uint8_t* outerBuffer,
                       bool& resultReadOnly, bool requestLive) = 0;
};

// The executor statements use unless given their own; null until the query
// layer installs one.
void QELSetSQLExecutor(TQELSQLExecutor* executor);
TQELSQLExecutor* QELSQLExecutor();

// One item of a select list or of a GROUP BY list.
struct TQELSelectListItem {
  std::string TableName;       // of a plain column, else empty
  bool IsAllColumns = false;   // "*" or "table.*"
  std::string FieldName;       // of a plain column, or "*"
  bool IsExpression = false;   // computed, or a repeated plain column
  bool IsDuplicate = false;    // a plain column that already appeared earlier
  std::unique_ptr<TQELExpression> Expression;  // when IsExpression
  std::string Pseudonym;       // given or generated, else empty

  TQELSelectListItem();
  TQELSelectListItem(TQELSelectListItem&&) noexcept;
  TQELSelectListItem& operator=(TQELSelectListItem&&) noexcept;
  ~TQELSelectListItem();
};

struct TQELFields {
  std::vector<TQELSelectListItem> Items;
  std::int32_t Count() const { return static_cast<std::int32_t>(Items.size()); }
};

// Where a statement finds its table: [MEMORY] [database "."] table [alias]
// [PASSWORD "password"].
struct TQELTableTarget {
  std::string DatabaseName;
  std::string TableName;
  std::string Alias;
  std::string Password;
  bool InMemory = false;       // MEMORY given, or the query's default
  bool MemoryGiven = false;    // MEMORY written in the statement
  bool HasPassword = false;
};

// The native codes a table target's errors carry in one statement.
struct TQELTableTargetCodes {
  std::int32_t BadName;             // the first name is no name
  std::int32_t BadNameAfterMemory;  // nor is the token after MEMORY
  std::int32_t BadNameAfterDot;     // nor the table name after "database."
  std::int32_t Missing;             // the command ends where a name belongs
  std::int32_t PasswordMissing;     // nothing after PASSWORD
  std::int32_t PasswordBad;         // no quoted text after PASSWORD
};

// Sets of token kinds, one bit per kind.
using TTokenKinds = std::uint16_t;
constexpr TTokenKinds KindBit(TTokenType kind) { return static_cast<TTokenKinds>(1u << kind); }
inline constexpr TTokenKinds kNameKinds =
    KindBit(tktString) | KindBit(tktQuotedString) | KindBit(tktBracketedString);
inline constexpr TTokenKinds kTableNameKinds =
    kNameKinds | KindBit(tktReservedWord) | KindBit(tktParameter);

// What an executor keeps of a statement between its runs (the tables it
// holds open while a transaction lasts); freed with the statement.
class TQELSQLRunState {
 public:
  virtual ~TQELSQLRunState() = default;
};

class TQELSQLCommand {
 public:
  // `query` (not owned, may be null) tells the expressions the database and
  // the in-memory default; the statement keeps the lexer, not owned.
  TQELSQLCommand(TQELLexer& lexer, TQELExprQuery* query);
  virtual ~TQELSQLCommand();
  TQELSQLCommand(const TQELSQLCommand&) = delete;
  TQELSQLCommand& operator=(const TQELSQLCommand&) = delete;

  // Reads the statement from the lexer's current token.
  virtual void Parse() = 0;
  // Hands the statement to its executor (30514 when there is none).
  virtual void Execute(TQELExprQuery* query, bool isQuery, TQELExprRecordSource* outerSource,
                       const std::uint8_t* outerBuffer, bool& resultReadOnly, bool requestLive);
  virtual TQELCursor* GetResultCursor();
  virtual TQELSQLResult* GetResultDataSet();
  // Adds the expressions of a statement that may run again, with new
  // parameter values put into them, without being read again; false for a
  // statement whose running depends on more than its expressions' values
  // or that its running changes.
  virtual bool RerunExpressions(std::vector<TQELExpression*>& expressions);

  TQELLexer& Lexer() const { return *FLexer; }
  TQELExprQuery* Query() const { return FQuery; }
  bool InMemory() const { return FInMemory; }
  // The command of the lexer the statement was read from.
  std::int32_t CommandNo() const { return FCommandNo; }
  // Where the statement starts.
  std::int32_t Line() const { return FLine; }
  std::int32_t Column() const { return FColumn; }

  std::int32_t RowsAffected() const { return FRowsAffected; }
  void SetRowsAffected(std::int32_t rows) { FRowsAffected = rows; }
  void SetResult(std::unique_ptr<TQELSQLResult> result) { FResult = std::move(result); }
  TQELSQLRunState* RunState() const { return FRunState.get(); }
  void SetRunState(std::shared_ptr<TQELSQLRunState> state) { FRunState = std::move(state); }
  TQELSQLExecutor* Executor() const { return FExecutor; }
  void SetExecutor(TQELSQLExecutor* executor) { FExecutor = executor; }

 protected:
  // Tokens.
  bool GetCurrentToken();
  bool GetNextToken();
  bool AtEnd() const { return FToken.TokenType == tktNone; }
  bool IsWord(std::uint16_t word) const { return IsReservedWord(FToken, word); }
  bool IsKind(TTokenType kind) const { return FToken.TokenType == kind; }
  bool IsKindOf(TTokenKinds kinds) const { return (KindBit(FToken.TokenType) & kinds) != 0; }
  bool IsOperator(std::string_view text) const;
  // A word or a bracketed name that can name something (no operator).
  bool IsName() const;
  // Moves to the next token. None: 30161 (or false when `code` is -1). A
  // kind outside `kinds` raises `code` with `message` (text, line, column).
  bool ExpectNext(TTokenKinds kinds, std::int32_t code, std::string_view message);
  // A name token's text; a parameter's value as text.
  std::string NameText() const;

  // Errors at FToken (at the command's last token when the command ended).
  [[noreturn]] void RaiseFound(std::int32_t code, std::string_view message) const;
  [[noreturn]] void RaiseExpected(std::int32_t code, std::string_view expected) const;
  [[noreturn]] void RaiseAt(std::int32_t code, std::string_view message) const;
  [[noreturn]] void RaiseEnd(std::int32_t code) const;
  // "Blank SQL command" with `code` when there is no current token.
  void RequireFirstToken(std::int32_t code);
  // Tokens left in the command raise 20260.
  void ExpectEndOfCommand() const;

  // Names separated by commas, from FToken; the first missing or bad
  // raises 10407, a missing one after a comma 10408, a bad one 10406.
  void ParseNameList(std::vector<std::string>& list);
  // Value expressions that are plain column references, separated by
  // commas (10409 to 10412).
  void ParseFieldList(TQELFields& fields);
  // [AS] alias; false when there is none. A bad token after AS raises
  // 30177.
  bool ParseAlias(std::string& alias);
  // A table target from FToken.
  void ParseTableTarget(TQELTableTarget& target, const TQELTableTargetCodes& codes);
  // A value expression from FToken (null when none parses).
  std::unique_ptr<TQELExpression> ParseValue();
  // A search condition from FToken.
  std::unique_ptr<TQELExpression> ParseCondition();

  TQELLexer* FLexer;
  TToken FToken;
  TQELExprQuery* FQuery;
  bool FInMemory;
  std::int32_t FCommandNo;
  std::int32_t FLine = 0;
  std::int32_t FColumn = 0;
  std::int32_t FRowsAffected = 0;
  TQELSQLExecutor* FExecutor;
  std::unique_ptr<TQELSQLResult> FResult;
  std::shared_ptr<TQELSQLRunState> FRunState;
};

// The common codes of a table target.
inline constexpr TQELTableTargetCodes kQELTableTargetCodes{30230, 30231, 30230, 30161, 30238, 30238};

// A table name given by a parameter may be "file"table: the database file
// in double quotes with the table name right behind it. Splits that form
// (leaving other names as they are).
void QELSplitQuotedDatabase(std::string& tableName, std::string& databaseName);

// Counts how deeply statements nest in each other (derived tables,
// parenthesised query expressions and table references), so that a text
// of thousands of parentheses ends in 30518 instead of exhausting the
// stack.
class TQELStatementDepthGuard {
 public:
  explicit TQELStatementDepthGuard(const TToken& at);
  ~TQELStatementDepthGuard();
  TQELStatementDepthGuard(const TQELStatementDepthGuard&) = delete;
  TQELStatementDepthGuard& operator=(const TQELStatementDepthGuard&) = delete;
};
inline constexpr std::int32_t kQELMaxStatementDepth = 100;

}  // namespace qel
