#pragma once
// TQELExpression: one expression tree and the parser that builds it from
// SQL tokens. The same class serves WHERE, ON and HAVING conditions,
// select-list items, cursor filters and key searches, and defaults: parse
// once, bind the field references to a cursor (or to relational-algebra
// inputs), then evaluate against each record.
//
// The parser is recursive descent with backtracking: each alternative
// starts from a saved token position and gives up quietly when it does not
// fit, so the next can try; errors are raised only where a keyword has
// committed it to one construct. Every alternative's answer at a token
// position is remembered for the length of one parse, so that retrying a
// shared start costs a copy instead of a new parse: parsing stays linear
// in the number of tokens and nesting. Nesting deeper than
// kQELMaxExpressionDepth raises 30508.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sql/QELExprNode.h"
#include "sql/QELExprNodeSubquery.h"
#include "sql/QELLexer.h"

namespace qel {

class TQELExpression {
 public:
  TQELExpression();
  ~TQELExpression();
  TQELExpression(const TQELExpression&) = delete;
  TQELExpression& operator=(const TQELExpression&) = delete;

  // Parsing entries; each first frees the tree held before. A failed parse
  // leaves no tree.
  //
  // A search condition from the lexer's current token; conjunctions are
  // flattened into one AND. With a cursor set (ParseFilter), the tree is
  // bound to it and prepared. Raises 30118 without a token and 30066 when
  // nothing parses.
  void ParseSearchCondition(TQELExprQuery* query, TQELLexer& lexer);
  // A value expression; the lexer is left on the first token after it.
  // Raises 30136 without a token; nothing parsed leaves the tree empty.
  void ParseValueExpression(TQELExprQuery* query, TQELLexer& lexer);
  // A SELECT, bare or in parentheses, as a subquery node (30497 without a
  // token).
  void ParseSubquery(TQELExprQuery* query, TQELLexer& lexer);
  // A cursor's filter text: the condition of its first command, bound to
  // `cursor`. Raises 30119 for a text without a command, and 30064 for
  // tokens left after the condition.
  void ParseFilter(TQELExprRecordSource* cursor, std::string_view text, bool partialCompare,
                   bool caseInsensitive);
  // True when `text` is exactly one command that parses as one value
  // expression with nothing after it.
  static bool IsValueExpressionText(std::string_view text);
  // The value of `text` read as one value expression that reads no column
  // and runs no subquery (NOW, 1 + 2, 'x'); false when it is none or cannot
  // be evaluated.
  static bool EvaluateConstantText(std::string_view text, TQELVariant& value);

  // Field i = value i over the fields named in `fieldNames` (separated by
  // semicolons), ANDed; NULL is ordered, so a NULL key finds NULL fields. A
  // number given for a date or time field is taken as a date-time value.
  // Raises 30112 when the counts differ.
  void BuildKeyCondition(TQELExprRecordSource* cursor, std::string_view fieldNames,
                         const std::vector<TQELVariant>& keyValues, bool caseInsensitive,
                         bool partialCompare);
  // One comparison of a field with a copy of `value`, NULL ordered.
  void BuildFieldComparison(TQELExprRecordSource* cursor, std::string_view fieldName,
                            const TQELVariant& value, TQELExprOperator op);

  // The root's value; an empty tree gives NULL; a NULL is returned as the
  // Boolean false unless `keepNull`.
  TQELVariant GetValue(bool keepNull);
  // The value as a Boolean; an empty tree raises 30110.
  bool GetBooleanValue();
  // The root's value, evaluated in place (no copy): for per-record loops.
  const TQELVariant& Evaluate();
  // True when the root's value holds (NULL does not); an empty tree holds.
  bool Holds();

  // Moves `other`'s tree into this one as a further conjunct.
  void AndWith(TQELExpression& other);

  // Forwarders to the root (nothing, false, 0 for an empty tree).
  void Prepare();
  bool HasAggregate() const;
  bool IsCountAll() const;
  void ResetAggregate();
  void Accumulate();
  void SetAggregateCount(std::int32_t count);
  TQELAdvancedFieldType GetDataType();
  std::int32_t GetDataSize();
  std::int32_t GetPrecision();
  bool UsesOnlyFields(std::string_view fieldNames);
  // These prepare the tree after forwarding.
  void BindToSources(TQELExprRowSource* source1, TQELExprRowSource* source2,
                     TQELExprRecordSource* outerCursor);
  void BindToCursor(TQELExprRecordSource* cursor, TQELExprRowSource* source,
                    TQELExprRecordSource* outerCursor);
  void SetRecordBuffer(const std::uint8_t* buffer, bool isOuter);

  bool IsEmpty() const;
  bool IsFieldReference() const;
  // The table and field name of a root field node; 30198 otherwise.
  void GetFieldName(std::string& tableName, std::string& fieldName) const;

  TQELExprNode* Root() const { return FRootNode.get(); }
  std::unique_ptr<TQELExprNode> ReleaseRoot() { return std::move(FRootNode); }
  void SetRoot(std::unique_ptr<TQELExprNode> root) { FRootNode = std::move(root); }

  bool CaseInsensitive() const { return FCaseInsensitive; }
  void SetCaseInsensitive(bool value) { FCaseInsensitive = value; }
  bool PartialCompare() const { return FPartialCompare; }
  void SetPartialCompare(bool value) { FPartialCompare = value; }
  bool NullsNeverMatch() const { return FNullsNeverMatch; }
  void SetNullsNeverMatch(bool value) { FNullsNeverMatch = value; }
  bool InMemory() const { return FInMemory; }
  const std::string& DatabaseName() const { return FDatabaseName; }
  TQELExprRecordSource* Cursor() const { return FCursor; }
  // The cursor field names are resolved against by the parsing entries.
  void SetCursor(TQELExprRecordSource* cursor) { FCursor = cursor; }
  TQELExprQuery* Query() const { return FQuery; }
  TQELLexer* Lexer() const { return FLexer; }
  // The token the last parse stopped at.
  const TToken& Token() const { return FToken; }

 private:
  friend class TQELExpressionParser;

  void Clear();
  // Starts a parse at the lexer's current token: the expression emptied,
  // the query's database settings taken when asked; no token raises
  // "Unexpected end of SQL command" with `noTokenCode`.
  void BeginParse(TQELExprQuery* query, TQELLexer& lexer, std::int32_t noTokenCode,
                  bool takeQuerySettings);
  void FlattenConjunctions();
  void BindAndPrepare();

  TQELLexer* FLexer = nullptr;
  std::unique_ptr<TQELLexer> FOwnedLexer;  // a filter text's
  TToken FToken;
  TQELExprRecordSource* FCursor = nullptr;
  TQELExprQuery* FQuery = nullptr;
  std::unique_ptr<TQELExprNode> FRootNode;
  bool FCaseInsensitive = false;
  bool FPartialCompare = false;
  bool FNullsNeverMatch = true;
  bool FInMemory = false;
  std::string FDatabaseName;
};

}  // namespace qel
