#include "sql/QELExprNodeArithmetic.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "platform/QELException.h"
#include "platform/QELRandom.h"
#include "sql/QELExpressionErrors.h"
#include "sql/QELReservedWords.h"
#include "values/QELValueErrors.h"

namespace qel {

namespace {

const char* FunctionName(TQELExprOperator op) {
  static const char* const kNames[] = {"ABS", "ACOS", "ASIN", "ATAN",  "CEIL",  "COS",
                                       "EXP", "FLOOR", "LOG", "POWER", "RAND",  "ROUND",
                                       "SIGN", "SIN",  "SQR", "SQRT"};
  if (op >= eoAbs && op <= eoSqrt) return kNames[op - eoAbs];
  return ExprOperatorText(op).data();
}

// The tolerance of ROUND: a few units in the last place of a double.
const double kRoundTolerance = std::bit_cast<double>(0x3CC3C0000001E5EDull);

// Beyond this magnitude a double has no fraction, and rint's result still
// converts to a 64-bit integer.
constexpr double kNoFraction = 9.0e18;

}  // namespace

double QELRoundTo(double value, std::int32_t digits, TQELRoundMode mode) {
  if (!std::isfinite(value)) return value;
  // Past 10^400 every power behaves alike; the bound keeps pow finite or
  // plainly infinite.
  digits = std::clamp(digits, -400, 400);
  const double power = std::pow(10.0, std::abs(digits));
  double f;
  double g;
  if (digits >= 0) {
    f = value * power;
    g = std::fabs(value * kRoundTolerance) * power;
  } else {
    if (!std::isfinite(power)) return 0.0;
    f = value / power;
    g = std::fabs(value * kRoundTolerance) / power;
  }
  // Too large to have digits at this precision: the value is its own
  // rounding (and the integer conversion below stays defined).
  if (!std::isfinite(f) || std::fabs(f) + g + 1 >= kNoFraction) return value;
  const double m = std::fabs(f);
  double r;
  switch (mode) {
    case rmHalfEven:
      r = std::rint(f - g);
      if (static_cast<std::int64_t>(r) % 2 != 0) r = std::rint(f + g);
      break;
    case rmHalfPos: r = std::rint(f + g); break;
    case rmHalfNeg: r = std::rint(f - g); break;
    case rmHalfDown: r = std::rint(m - g); break;
    case rmHalfUp: r = std::rint(m + g); break;
    case rmRndNeg: r = std::rint(f + g - 0.5); break;
    case rmRndPos: r = std::rint(f - g + 0.5); break;
    case rmRndDown: r = std::rint(m + g - 0.5); break;
    default: r = std::rint(m - g + 0.5); break;
  }
  const auto whole = static_cast<double>(static_cast<std::int64_t>(r));
  double result = digits >= 0 ? whole / power : whole * power;
  const bool byMagnitude =
      mode == rmHalfDown || mode == rmHalfUp || mode == rmRndDown || mode == rmRndUp;
  if (byMagnitude && value < 0) result = -result;
  return result;
}

void TQELExprNodeArithmetic::SetInteger(std::int64_t value, const char* function) {
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    throw EQELException(kQELErrResultOutOfRange, kQELResultOutOfRangeMsg, {function});
  }
  SetIntegerValue(FValue, static_cast<std::int32_t>(value));
}

void TQELExprNodeArithmetic::SetDouble(double value) { SetDoubleValue(FValue, value); }

TQELVariant& TQELExprNodeArithmetic::Evaluate() {
  try {
    switch (FOperator) {
      case eoAdd:
        FValue.Assign(Child(0).Evaluate());
        for (std::int32_t i = 1; i < ChildCount(); ++i) FValue.Add(Child(i).Evaluate());
        return FValue;
      case eoMultiply:
        FValue.Assign(Child(0).Evaluate());
        for (std::int32_t i = 1; i < ChildCount(); ++i) FValue.Multiply(Child(i).Evaluate());
        return FValue;
      case eoDivide:
        FValue.Assign(Child(0).Evaluate());
        FValue.Divide(Child(1).Evaluate());
        return FValue;
      case eoNegate:
        FValue.Assign(Child(0).Evaluate());
        FValue.Negate();
        return FValue;
      default:
        return EvaluateFunction();
    }
  } catch (const EIntOverflow&) {
    throw EQELException(kQELErrResultOutOfRange, kQELResultOutOfRangeMsg, {FunctionName(FOperator)});
  }
}

TQELVariant& TQELExprNodeArithmetic::EvaluateFunction() {
  if (FOperator == eoRound) return EvaluateRound();
  if (FOperator < eoAbs || FOperator > eoSqrt || ChildCount() < 1) {
    throw EQELException(kQELErrUnknownArithmeticOperator, kQELUnknownOperatorMsg,
                        {ExprOperatorText(FOperator)});
  }
  const TQELVariant& argument = Child(0).Evaluate();
  const bool integerResult = FOperator == eoCeil || FOperator == eoFloor || FOperator == eoRand ||
                             FOperator == eoSign;
  const bool typeKept = FOperator == eoAbs || FOperator == eoSqr;
  if (argument.IsNull() || (FOperator == eoPower && Child(1).Evaluate().IsNull())) {
    FValue.Clear(typeKept ? argument.DataType() : integerResult ? bftInteger : bftDouble);
    return FValue;
  }
  if (typeKept) {
    FValue.Assign(argument);
    if (!FValue.IsNumeric()) FValue.ConvertTo(bftDouble);
    if (FOperator == eoSqr) {
      const TQELVariant factor(FValue);
      FValue.Multiply(factor);
    } else if (FValue.AsDouble() < 0) {
      FValue.Negate();
    }
    return FValue;
  }
  const double x = argument.AsDouble();
  const char* name = FunctionName(FOperator);
  switch (FOperator) {
    case eoAcos: SetDouble(std::acos(x)); break;
    case eoAsin: SetDouble(std::asin(x)); break;
    case eoAtan: SetDouble(std::atan(x)); break;
    case eoCos: SetDouble(std::cos(x)); break;
    case eoSin: SetDouble(std::sin(x)); break;
    case eoExp: SetDouble(std::exp(x)); break;
    case eoLog: SetDouble(std::log(x)); break;
    case eoSqrt: SetDouble(std::sqrt(x)); break;
    case eoPower: SetDouble(std::pow(x, Child(1).Value().AsDouble())); break;
    case eoSign: SetInteger(x > 0 ? 1 : x < 0 ? -1 : 0, name); break;
    case eoCeil:
    case eoFloor: {
      const double whole = FOperator == eoCeil ? std::ceil(x) : std::floor(x);
      // The comparison is false for NaN as well.
      if (!(std::fabs(whole) <= 4294967296.0)) {
        throw EQELException(kQELErrResultOutOfRange, kQELResultOutOfRangeMsg, {name});
      }
      SetInteger(static_cast<std::int64_t>(whole), name);
      break;
    }
    case eoRand: {
      // An empty range (RAND(0)) or one past 32 bits has no answer.
      if (!(x >= 1 && x <= 2147483647.0)) {
        throw EQELException(kQELErrInvalidArgument, kQELInvalidArgumentMsg, {name});
      }
      SetInteger(QELRandom(static_cast<std::uint32_t>(x)), name);
      break;
    }
    default:
      throw EQELException(kQELErrUnknownArithmeticOperator, kQELUnknownOperatorMsg,
                          {ExprOperatorText(FOperator)});
  }
  return FValue;
}

TQELVariant& TQELExprNodeArithmetic::EvaluateRound() {
  const TQELVariant& argument = Child(0).Evaluate();
  const bool integerResult = ChildCount() == 1;
  const bool digitsNull = ChildCount() >= 2 && Child(1).Evaluate().IsNull();
  if (argument.IsNull() || digitsNull) {
    FValue.Clear(integerResult ? bftInteger : bftDouble);
    return FValue;
  }
  std::int32_t digits = 0;
  if (ChildCount() >= 2) {
    const double wanted = Child(1).Value().AsDouble();
    digits = std::isnan(wanted) ? 0 : static_cast<std::int32_t>(std::clamp(wanted, -400.0, 400.0));
  }
  TQELRoundMode mode = rmHalfEven;
  if (ChildCount() >= 3) {
    const std::int32_t word = Child(2).Evaluate().AsInteger();
    if (word < rwHALFEVEN || word > rwRNDUP) {
      throw EQELException(kQELErrInvalidArgument, kQELInvalidArgumentMsg, {"ROUND"});
    }
    mode = static_cast<TQELRoundMode>(word - rwHALFEVEN + 1);
  }
  const double rounded = QELRoundTo(argument.AsDouble(), digits, mode);
  if (integerResult) {
    if (!(std::fabs(rounded) <= 4294967296.0)) {
      throw EQELException(kQELErrResultOutOfRange, kQELResultOutOfRangeMsg, {"ROUND"});
    }
    SetInteger(static_cast<std::int64_t>(rounded), "ROUND");
  } else {
    SetDouble(rounded);
  }
  return FValue;
}

TQELAdvancedFieldType TQELExprNodeArithmetic::GetDataType() {
  switch (FOperator) {
    case eoAdd:
    case eoNegate:
    case eoMultiply:
    case eoDivide: return ChildrenDataType();
    case eoAbs:
    case eoSqr: return Child(0).GetDataType();
    case eoCeil:
    case eoFloor:
    case eoRand:
    case eoSign: return aftInteger;
    case eoRound: return ChildCount() == 1 ? aftInteger : aftDouble;
    default: return aftDouble;
  }
}

std::int32_t TQELExprNodeArithmetic::GetDataSize() {
  if (FOperator == eoAdd) return TQELExprNode::GetDataSize();
  if (FOperator == eoAbs || FOperator == eoSqr) return Child(0).GetDataSize();
  return 0;
}

}  // namespace qel
