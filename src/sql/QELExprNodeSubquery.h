#pragma once
// TQELExprNodeSubquery: a SELECT inside an expression. The parser records
// where its tokens are (the lexer's command and the first and last token)
// and what the place requires of it (one column, at most one row); the
// query layer plans and runs it from there. Until a runner is installed
// the node reports that subqueries cannot be evaluated.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sql/QELExprNode.h"

namespace qel {

class TQELLexer;

// What an expression needs to know of the query it belongs to.
class TQELExprQuery {
 public:
  virtual ~TQELExprQuery() = default;
  virtual std::string DatabaseName() const = 0;
  virtual bool InMemory() const = 0;
  // The session the database is looked up in; empty for the default one.
  virtual std::string SessionName() const { return {}; }
};

class TQELExprNodeSubquery final : public TQELExprNode {
 public:
  TQELExprNodeSubquery(TQELLexer* lexer, TQELExprQuery* query, std::int32_t commandNo,
                       std::int32_t firstToken, std::int32_t lastToken)
      : TQELExprNode(eoNone),
        FLexer(lexer),
        FQuery(query),
        FCommandNo(commandNo),
        FFirstToken(firstToken),
        FLastToken(lastToken) {}
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
  bool Correlated() const { return FCorrelated; }
  TQELLexer* Lexer() const { return FLexer; }
  TQELExprQuery* Query() const { return FQuery; }
  TQELExprOperator Comparison() const { return FComparison; }
  std::uint8_t QuantifierCode() const { return FQuantifier; }

  TQELVariant& Evaluate() override;
  void FetchRow() override;
  const TQELVariant* GetRowValue(std::int32_t index) override;
  TQELAdvancedFieldType GetDataType() override;
  std::int32_t GetDataSize() override;

 private:
  [[noreturn]] void RaiseNotAvailable() const;

  TQELLexer* FLexer;
  TQELExprQuery* FQuery;
  std::int32_t FCommandNo;
  std::int32_t FFirstToken;
  std::int32_t FLastToken;
  bool FSingleColumn = true;
  bool FSingleRow = true;
  std::vector<TQELVariant> FRowValues;
  TQELExprOperator FComparison = eoNone;
  std::uint8_t FQuantifier = 0;
  bool FCorrelated = false;
};

}  // namespace qel
