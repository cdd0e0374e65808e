#include "sql/QELExprNodeComparison.h"

#include <string>

#include "platform/QELException.h"
#include "sql/QELExprNodeField.h"
#include "sql/QELExprNodeSubquery.h"
#include "sql/QELExpressionErrors.h"

namespace qel {

namespace {

// Memo values take part as the text they hold.
TQELBaseFieldType TextKind(TQELBaseFieldType type) {
  if (type == bftMemo) return bftString;
  if (type == bftWideMemo) return bftWideString;
  return type;
}

// Matches `text` against `like`, compiling the pattern only when it is not
// the one the matcher holds already.
template <class TView>
bool MatchLike(TQELLikeMatcher& matcher, TView text, TView like, std::int32_t escape,
               bool caseInsensitive, bool prefixOnly) {
  if (!matcher.IsCompiled(like, escape, caseInsensitive, prefixOnly)) {
    if (prefixOnly) {
      matcher.CompilePrefix(like, caseInsensitive);
    } else {
      matcher.Compile(like, escape, caseInsensitive);
    }
  }
  return matcher.Matches(text);
}

}  // namespace

bool QELLikeValues(const TQELVariant& value, const TQELVariant& pattern, std::int32_t escape,
                   bool caseInsensitive, bool prefixOnly, TQELLikeMatcher& matcher,
                   TQELVariant& valueScratch, TQELVariant& patternScratch) {
  const TQELBaseFieldType common =
      CommonType(TextKind(value.DataType()), TextKind(pattern.DataType()), false);
  if (!IsStringBaseType(common)) {
    throw EQELException(kQELErrNotStringArgument, kQELNotStringArgumentMsg, {"LIKE"});
  }
  if (IsWideStringBaseType(common)) {
    std::u16string valueCopy;
    std::u16string patternCopy;
    return MatchLike(matcher, QELWideTextOf(value, valueScratch, valueCopy),
                     QELWideTextOf(pattern, patternScratch, patternCopy), escape,
                     caseInsensitive, prefixOnly);
  }
  return MatchLike(matcher, QELTextOf(value, valueScratch), QELTextOf(pattern, patternScratch),
                   escape, caseInsensitive, prefixOnly);
}

TQELExprNodeComparison::TQELExprNodeComparison(TQELExprOperator op,
                                               std::unique_ptr<TQELExprNode> left,
                                               std::unique_ptr<TQELExprNode> right,
                                               bool nullsUnordered)
    : TQELExprNode(op), FNullsUnordered(nullsUnordered) {
  AddChild(std::move(left));
  AddChild(std::move(right));
}

void TQELExprNodeComparison::Prepare() {
  TQELExprNode::Prepare();
  if (FQuantifier != qtNone) return;
  // A wide constant against a narrow string field is made narrow once,
  // instead of widening the field's value for every record.
  for (std::int32_t i = 0; i < 2; ++i) {
    auto* field = dynamic_cast<TQELExprNodeField*>(&Child(i));
    auto* constant = dynamic_cast<TQELExprNodeConst*>(&Child(1 - i));
    if (field == nullptr || constant == nullptr || !field->IsBound()) continue;
    const TQELBaseFieldType fieldType = field->BaseDataType();
    TQELVariant& value = constant->MutableValue();
    if ((fieldType == bftString || fieldType == bftFixedChar) && value.IsWideString()) {
      value.ConvertTo(bftString);
    }
  }
}

bool TQELExprNodeComparison::Holds(std::int32_t code) const {
  switch (FOperator) {
    case eoEqual: return code == ccEqual;
    case eoNotEqual:
      return FNullsUnordered ? code == ccLess || code == ccGreater : code != ccEqual;
    case eoGreater: return code == ccGreater;
    case eoLess: return code == ccLess;
    case eoGreaterOrEqual: return code == ccEqual || code == ccGreater;
    case eoLessOrEqual: return code == ccEqual || code == ccLess;
    default:
      throw EQELException(kQELErrUnknownComparisonOperator, kQELUnknownOperatorMsg,
                          {ExprOperatorText(FOperator)});
  }
}

// The other operand over the prefix constant's length: a value matches
// when it starts with the whole prefix, never when it is shorter.
std::int32_t TQELExprNodeComparison::ComparePrefix(const TQELVariant& left,
                                                   const TQELVariant& right) const {
  const TQELVariant& prefix = FPrefixChild == 0 ? left : right;
  if (left.IsNull() || right.IsNull() || !prefix.IsString()) {
    return left.Compare(right, FNullsUnordered, false, FCaseInsensitive);
  }
  return CompareValues(left.Data(), left.DataSize(), left.DataType(), false, right.Data(),
                       right.DataSize(), right.DataType(), false, FCaseInsensitive,
                       prefix.StringLength());
}

TQELVariant& TQELExprNodeComparison::EvaluateLikePrefix() {
  const TQELVariant& value = Child(0).Evaluate();
  const TQELVariant& prefix = Child(1).Evaluate();
  if (value.IsNull() || prefix.IsNull()) {
    SetBooleanNull(FValue);
    return FValue;
  }
  const bool matches =
      QELLikeValues(value, prefix, -1, FCaseInsensitive, true, FMatcher, FScratch, FPatternScratch);
  SetBooleanValue(FValue, FOperator == eoNotEqual ? !matches : matches);
  return FValue;
}

// value op ANY (subquery): some row's value v has value op v; value op
// ALL: no row's value is a counterexample. Without rows ANY is false and
// ALL true. A NULL of the subquery satisfies nothing and contradicts
// nothing, as NULLs do in comparisons; a NULL value, compared with rows,
// holds for none, so both are false.
TQELVariant& TQELExprNodeComparison::EvaluateQuantified() {
  auto& subquery = static_cast<TQELExprNodeSubquery&>(Child(0));
  const bool any = FQuantifier == qtAny;
  if (!subquery.HasRows()) {
    SetBooleanValue(FValue, !any);
    return FValue;
  }
  const std::vector<TQELVariant>& values = subquery.ColumnValues();
  const TQELVariant& value = Child(1).Evaluate();
  if (value.IsNull()) {
    SetBooleanValue(FValue, false);
    return FValue;
  }
  bool result = !any;
  for (const TQELVariant& element : values) {
    if (Holds(value.Compare(element, true, false, FCaseInsensitive)) == any) {
      result = any;
      break;
    }
  }
  SetBooleanValue(FValue, result);
  return FValue;
}

TQELVariant& TQELExprNodeComparison::Evaluate() {
  if (FQuantifier != qtNone) return EvaluateQuantified();
  if (FLikePrefix) return EvaluateLikePrefix();
  const TQELVariant& left = Child(0).Evaluate();
  const TQELVariant& right = Child(1).Evaluate();
  const std::int32_t code = FPrefixChild >= 0 ? ComparePrefix(left, right)
                                              : left.Compare(right, FNullsUnordered, false,
                                                             FCaseInsensitive);
  SetBooleanValue(FValue, Holds(code));
  return FValue;
}

}  // namespace qel
