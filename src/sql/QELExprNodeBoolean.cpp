#include "sql/QELExprNodeBoolean.h"

#include "platform/QELException.h"
#include "sql/QELExprNodeComparison.h"
#include "sql/QELExprNodeSubquery.h"
#include "sql/QELExpressionErrors.h"
#include "values/QELValueText.h"

namespace qel {

void TQELExprNodeBoolean::SetEscape(std::string escape) {
  FEscape = std::move(escape);
  FEscapeCode = -1;
  if (FEscape.empty()) return;
  // The code point of its one character (wide patterns compare it with
  // their 16-bit units).
  const std::u16string wide = QELUtf8ToUtf16(FEscape);
  char32_t code = wide[0];
  if (code >= 0xD800 && code <= 0xDBFF && wide.size() > 1) {
    code = 0x10000 + ((code - 0xD800) << 10) + (wide[1] - 0xDC00);
  }
  FEscapeCode = static_cast<std::int32_t>(code);
}

TQELVariant& TQELExprNodeBoolean::EvaluateIn() {
  if (FInSubquery) return EvaluateInSubquery();
  const TQELVariant& value = Child(0).Evaluate();
  if (value.IsNull()) {
    SetBooleanNull(FValue);
    return FValue;
  }
  bool found = false;
  for (std::int32_t i = 1; i < ChildCount() && !found; ++i) {
    found = value.Compare(Child(i).Evaluate(), true, false, true) == ccEqual;
  }
  SetBooleanValue(FValue, FOperator == eoNotIn ? !found : found);
  return FValue;
}

// Like IN over a list: NULL for a NULL value, and a NULL of the subquery
// matches nothing. A subquery without rows holds no value at all, so the
// answer is false (NOT IN true) even for a NULL value.
TQELVariant& TQELExprNodeBoolean::EvaluateInSubquery() {
  auto& subquery = static_cast<TQELExprNodeSubquery&>(Child(1));
  const bool empty = !subquery.HasRows();
  const TQELVariant& value = Child(0).Evaluate();
  if (!empty && value.IsNull()) {
    SetBooleanNull(FValue);
    return FValue;
  }
  const bool found = !empty && subquery.ContainsValue(value);
  SetBooleanValue(FValue, FOperator == eoNotIn ? !found : found);
  return FValue;
}

TQELVariant& TQELExprNodeBoolean::EvaluateBetween() {
  const TQELVariant& value = Child(0).Evaluate();
  const TQELVariant& low = Child(1).Evaluate();
  const TQELVariant& high = Child(2).Evaluate();
  if (value.IsNull() || low.IsNull() || high.IsNull()) {
    SetBooleanNull(FValue);
    return FValue;
  }
  const std::int32_t fromLow = value.Compare(low, true, false, true);
  const std::int32_t toHigh = value.Compare(high, true, false, true);
  const bool inside = (fromLow == ccEqual || fromLow == ccGreater) &&
                      (toHigh == ccEqual || toHigh == ccLess);
  SetBooleanValue(FValue, FOperator == eoNotBetween ? !inside : inside);
  return FValue;
}

TQELVariant& TQELExprNodeBoolean::EvaluateLike() {
  const TQELVariant& value = Child(0).Evaluate();
  const TQELVariant& pattern = Child(1).Evaluate();
  if (value.IsNull() || pattern.IsNull()) {
    SetBooleanNull(FValue);
    return FValue;
  }
  const bool matches = QELLikeValues(value, pattern, FEscapeCode, FCaseInsensitive, false,
                                     FMatcher, FScratch, FPatternScratch);
  SetBooleanValue(FValue, FOperator == eoNotLike ? !matches : matches);
  return FValue;
}

TQELVariant& TQELExprNodeBoolean::Evaluate() {
  switch (FOperator) {
    case eoNot: {
      const TQELVariant& operand = Child(0).Evaluate();
      if (operand.IsNull()) {
        SetBooleanNull(FValue);
      } else {
        SetBooleanValue(FValue, !IsTrueValue(operand));
      }
      return FValue;
    }
    case eoAnd:
    case eoOr: {
      // AND stops at the first false operand, OR at the first true one.
      const bool stopAt = FOperator == eoOr;
      bool sawNull = false;
      for (std::int32_t i = 0; i < ChildCount(); ++i) {
        const TQELVariant& operand = Child(i).Evaluate();
        if (operand.IsNull()) {
          sawNull = true;
        } else if (IsTrueValue(operand) == stopAt) {
          SetBooleanValue(FValue, stopAt);
          return FValue;
        }
      }
      if (sawNull) {
        SetBooleanNull(FValue);
      } else {
        SetBooleanValue(FValue, !stopAt);
      }
      return FValue;
    }
    case eoIn:
    case eoNotIn:
      return EvaluateIn();
    case eoExists:
      SetBooleanValue(FValue, static_cast<TQELExprNodeSubquery&>(Child(0)).HasRows());
      return FValue;
    case eoBetween:
    case eoNotBetween:
      return EvaluateBetween();
    case eoLike:
    case eoNotLike:
      return EvaluateLike();
    case eoIsNull:
    case eoIsNotNull: {
      const bool isNull = Child(0).Evaluate().IsNull();
      SetBooleanValue(FValue, FOperator == eoIsNull ? isNull : !isNull);
      return FValue;
    }
    default:
      throw EQELException(kQELErrUnknownBooleanOperator, kQELUnknownOperatorMsg,
                          {ExprOperatorText(FOperator)});
  }
}

}  // namespace qel
