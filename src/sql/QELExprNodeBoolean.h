#pragma once
// TQELExprNodeBoolean: NOT, AND, OR, IN and NOT IN (over a list or a
// subquery), EXISTS, BETWEEN and NOT BETWEEN, LIKE and NOT LIKE, IS NULL and
// IS NOT NULL.
//
// NULL rules: NOT keeps NULL; AND is false as soon as one operand is
// false, else NULL when one is NULL; OR is true as soon as one is true,
// else NULL when one is NULL; IN, BETWEEN and LIKE are NULL when the tested
// value (or a bound, or the pattern) is NULL, and a NULL list element
// matches nothing; IS NULL and IS NOT NULL are never NULL. IN and BETWEEN
// compare ignoring letter case.

#include <cstdint>
#include <memory>
#include <string>

#include "sql/QELExprNode.h"
#include "sql/QELLikeMatcher.h"

namespace qel {

class TQELExprNodeBoolean final : public TQELExprNode {
 public:
  explicit TQELExprNodeBoolean(TQELExprOperator op) : TQELExprNode(op) {}
  std::unique_ptr<TQELExprNode> Clone() const override {
    return std::make_unique<TQELExprNodeBoolean>(*this);
  }

  TQELVariant& Evaluate() override;
  TQELAdvancedFieldType GetDataType() override { return aftBoolean; }
  std::int32_t GetDataSize() override { return 0; }

  // The LIKE escape character (one character of UTF-8), or "" for none.
  const std::string& Escape() const { return FEscape; }
  void SetEscape(std::string escape);
  // IN and NOT IN: child 1 is a subquery rather than the first element.
  bool InSubquery() const { return FInSubquery; }
  void SetInSubquery(bool value) { FInSubquery = value; }

 private:
  TQELVariant& EvaluateIn();
  TQELVariant& EvaluateInSubquery();
  TQELVariant& EvaluateBetween();
  TQELVariant& EvaluateLike();

  TQELVariant FScratch;
  TQELVariant FPatternScratch;
  std::string FEscape;
  std::int32_t FEscapeCode = -1;
  bool FInSubquery = false;
  TQELLikeMatcher FMatcher;
};

}  // namespace qel
