#pragma once
// TQELExprNodeArithmetic: the sum of all children (a minus sign is a
// negation child), negation, product, quotient, and the mathematical
// functions ABS, ACOS, ASIN, ATAN, CEIL, COS, EXP, FLOOR, LOG, POWER, RAND,
// ROUND, SIGN, SIN, SQR and SQRT.
//
// Operators follow the value arithmetic (a NULL operand gives NULL, except
// that a string sum keeps its text). Every function of a NULL is NULL.
// Results that must fit 32 bits (CEIL, FLOOR, ROUND of one argument) raise
// 30511 when they do not, and RAND(n) needs 1 <= n <= 2147483647 (30510).

#include <cstdint>
#include <memory>

#include "sql/QELExprNode.h"

namespace qel {

// ROUND's modes, numbered as the reserved words' values.
enum TQELRoundMode : std::uint8_t {
  rmHalfEven = 1,
  rmHalfPos = 2,
  rmHalfNeg = 3,
  rmHalfDown = 4,
  rmHalfUp = 5,
  rmRndNeg = 6,
  rmRndPos = 7,
  rmRndDown = 8,
  rmRndUp = 9,
};

// `value` rounded to `digits` decimal digits (negative: to tens, hundreds,
// ...) in `mode`, with a tolerance of a few units in the last place so that
// a decimal tie stored as its binary neighbour still counts as the tie.
// NaN and infinities come back unchanged; so do values too large to have
// digits at that precision.
double QELRoundTo(double value, std::int32_t digits, TQELRoundMode mode);

class TQELExprNodeArithmetic final : public TQELExprNode {
 public:
  explicit TQELExprNodeArithmetic(TQELExprOperator op) : TQELExprNode(op) {}
  std::unique_ptr<TQELExprNode> Clone() const override {
    return std::make_unique<TQELExprNodeArithmetic>(*this);
  }

  TQELVariant& Evaluate() override;
  TQELAdvancedFieldType GetDataType() override;
  std::int32_t GetDataSize() override;

 private:
  TQELVariant& EvaluateFunction();
  TQELVariant& EvaluateRound();
  void SetInteger(std::int64_t value, const char* function);
  void SetDouble(double value);
};

}  // namespace qel
