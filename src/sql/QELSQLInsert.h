#pragma once
// TQELSQLInsert: INSERT INTO target [(columns)] followed by VALUES rows or
// a SELECT (bare or in parentheses).

#include <memory>
#include <string>
#include <vector>

#include "sql/QELSQLSelect.h"

namespace qel {

class TQELSQLInsert final : public TQELSQLCommand {
 public:
  TQELSQLInsert(TQELLexer& lexer, TQELExprQuery* query);
  ~TQELSQLInsert() override;

  void Parse() override;
  // INSERT ... VALUES runs again on its rows' values.
  bool RerunExpressions(std::vector<TQELExpression*>& expressions) override;

  const TQELTableTarget& Table() const { return FTable; }
  const std::vector<std::string>& Columns() const { return FColumns; }
  // One entry per VALUES row, each value in order.
  std::vector<std::vector<std::unique_ptr<TQELExpression>>>& Rows() { return FRows; }
  // The SELECT whose rows are inserted, or null for VALUES.
  TQELSQLUnion* Select() const { return FSelect.get(); }

 private:
  void ParseColumnList();
  void ParseValues();
  void ParseRow();
  void ParseSelect(bool parenthesised);

  TQELTableTarget FTable;
  std::vector<std::string> FColumns;
  std::vector<std::vector<std::unique_ptr<TQELExpression>>> FRows;
  std::unique_ptr<TQELSQLUnion> FSelect;
};

}  // namespace qel
