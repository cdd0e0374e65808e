#pragma once
// TQELExprNodeStringFunction: concatenation of all children, UPPER, LOWER,
// TRIM, LTRIM, RTRIM, LENGTH, POSITION and SUBSTRING.
//
// Characters are code points of UTF-8 in 8-bit strings and 16-bit units in
// wide ones. Positions and counts are computed in 64 bits, so no start or
// count can reach past a string's ends. A function of NULL is NULL, except
// LENGTH and POSITION, which answer 0.

#include <cstdint>
#include <memory>
#include <string>

#include "sql/QELExprNode.h"

namespace qel {

class TQELExprNodeStringFunction final : public TQELExprNode {
 public:
  explicit TQELExprNodeStringFunction(TQELExprOperator op) : TQELExprNode(op) {}
  std::unique_ptr<TQELExprNode> Clone() const override {
    return std::make_unique<TQELExprNodeStringFunction>(*this);
  }

  TQELVariant& Evaluate() override;
  TQELAdvancedFieldType GetDataType() override;
  std::int32_t GetDataSize() override;

 private:
  TQELVariant& EvaluateConcat();
  TQELVariant& EvaluateCase();
  TQELVariant& EvaluateTrim();
  TQELVariant& EvaluatePosition();
  TQELVariant& EvaluateSubstring();

  TQELVariant FScratch;
  TQELVariant FScratch2;
  std::u16string FWideScratch;
  std::u16string FWideScratch2;
};

}  // namespace qel
