#pragma once
// TQELSQLUpdate and TQELSQLDelete: the statements that change the rows a
// SELECT over their table finds. Each builds that SELECT as a command of
// its own in the lexer, made of a few generated words and the statement's
// own tokens, which keep their positions: an error in the WHERE clause is
// reported where the user wrote it.

#include <memory>
#include <string>
#include <vector>

#include "sql/QELSQLSelect.h"

namespace qel {

// One "column = value" of an UPDATE.
struct TQELSQLAssignment {
  std::string TableName;
  std::string FieldName;
  std::unique_ptr<TQELExpression> Value;
};

class TQELSQLUpdate final : public TQELSQLCommand {
 public:
  TQELSQLUpdate(TQELLexer& lexer, TQELExprQuery* query);
  ~TQELSQLUpdate() override;

  void Parse() override;
  // The assignments and the WHERE, unless SET takes a subquery's row.
  bool RerunExpressions(std::vector<TQELExpression*>& expressions) override;

  const TQELTableTarget& Table() const { return FTable; }
  std::vector<TQELSQLAssignment>& Assignments() { return FAssignments; }
  // SET (columns) = (subquery): the columns and the query whose one row
  // gives their values; empty and null for assignments.
  const std::vector<std::string>& SubqueryColumns() const { return FSubqueryColumns; }
  TQELSQLUnion* Subquery() const { return FSubquery.get(); }
  // SELECT * FROM the table with the statement's WHERE: the rows to change.
  TQELSQLSelect* Select() const { return FSelect.get(); }

 private:
  void ParseAssignments();
  void ParseSubqueryAssignment();
  void BuildSelect();

  TQELTableTarget FTable;
  std::vector<TQELSQLAssignment> FAssignments;
  std::vector<std::string> FSubqueryColumns;
  std::unique_ptr<TQELSQLUnion> FSubquery;
  std::unique_ptr<TQELSQLSelect> FSelect;
};

class TQELSQLDelete final : public TQELSQLCommand {
 public:
  TQELSQLDelete(TQELLexer& lexer, TQELExprQuery* query);
  ~TQELSQLDelete() override;

  void Parse() override;
  // The WHERE.
  bool RerunExpressions(std::vector<TQELExpression*>& expressions) override;

  // DELETE FROM ... read as SELECT * FROM ...: the rows to delete.
  TQELSQLSelect* Select() const { return FSelect.get(); }

 private:
  std::unique_ptr<TQELSQLSelect> FSelect;
};

// Parses the tokens as a command of their own appended to `lexer` and
// answers the SELECT they make; the lexer goes back to its command
// `returnTo`, past its end. Tokens left over raise 20260.
std::unique_ptr<TQELSQLSelect> QELParseGeneratedSelect(TQELLexer& lexer, TQELExprQuery* query,
                                                       TQELSQLExecutor* executor,
                                                       const std::vector<TToken>& tokens,
                                                       std::int32_t returnTo);

}  // namespace qel
