#include "sql/QELExprNodeCase.h"

#include <algorithm>

#include "platform/QELException.h"
#include "sql/QELExpressionErrors.h"

namespace qel {

void TQELExprNodeCase::SetInput(std::unique_ptr<TQELExprNode> input) {
  FInput = ChildCount();
  AddChild(std::move(input));
}

void TQELExprNodeCase::AddWhen(std::unique_ptr<TQELExprNode> when,
                               std::unique_ptr<TQELExprNode> then) {
  FWhens.push_back(ChildCount());
  AddChild(std::move(when));
  FThens.push_back(ChildCount());
  AddChild(std::move(then));
}

void TQELExprNodeCase::SetElse(std::unique_ptr<TQELExprNode> otherwise) {
  FElse = ChildCount();
  AddChild(std::move(otherwise));
}

void TQELExprNodeCase::AddArgument(std::unique_ptr<TQELExprNode> argument) {
  AddChild(std::move(argument));
}

std::vector<std::int32_t> TQELExprNodeCase::ResultChildren() const {
  if (FIsCoalesce) {
    std::vector<std::int32_t> all(static_cast<std::size_t>(ChildCount()));
    for (std::int32_t i = 0; i < ChildCount(); ++i) all[static_cast<std::size_t>(i)] = i;
    return all;
  }
  std::vector<std::int32_t> results = FThens;
  if (FElse >= 0) results.push_back(FElse);
  return results;
}

TQELVariant& TQELExprNodeCase::Evaluate() {
  if (FIsCoalesce) {
    for (std::int32_t i = 0; i < ChildCount(); ++i) {
      const TQELVariant& argument = Child(i).Evaluate();
      if (!argument.IsNull()) {
        FValue.Assign(argument);
        return FValue;
      }
    }
    FValue.SetNull();
    return FValue;
  }
  std::int32_t chosen = FElse;
  if (FInput >= 0) {
    // NULLs are ordered here: a NULL input matches a NULL WHEN value.
    const TQELVariant& input = Child(FInput).Evaluate();
    for (std::size_t i = 0; i < FWhens.size(); ++i) {
      if (input.Compare(Child(FWhens[i]).Evaluate(), false, false, true) == ccEqual) {
        chosen = FThens[i];
        break;
      }
    }
  } else {
    for (std::size_t i = 0; i < FWhens.size(); ++i) {
      if (IsTrueValue(Child(FWhens[i]).Evaluate())) {
        chosen = FThens[i];
        break;
      }
    }
  }
  if (chosen < 0) {
    FValue.SetNull();
  } else {
    FValue.Assign(Child(chosen).Evaluate());
  }
  return FValue;
}

TQELAdvancedFieldType TQELExprNodeCase::GetDataType() {
  const std::vector<std::int32_t> results = ResultChildren();
  TQELAdvancedFieldType type = aftUnknown;
  for (std::size_t i = 0; i < results.size(); ++i) {
    const TQELAdvancedFieldType childType = Child(results[i]).GetDataType();
    type = i == 0 ? childType : CommonAdvancedFieldType(type, childType, false);
    if (type == aftUnknown) break;
  }
  if (type == aftUnknown) throw EQELException(kQELErrNoExpressionType, kQELNoExpressionTypeMsg);
  // Text of a memo has no length limit: a memo among texts makes the result
  // a memo, or a value of the memo would be cut to the other texts' size.
  if (IsStringAdvancedType(type)) {
    for (const std::int32_t index : results) {
      const TQELAdvancedFieldType childType = Child(index).GetDataType();
      if (childType == aftMemo || childType == aftWideMemo || childType == aftFormattedMemo) {
        type = IsWideStringAdvancedType(type) || childType == aftWideMemo ? aftWideMemo : aftMemo;
        break;
      }
    }
  }
  for (const std::int32_t index : results) CastChildTo(index, type);
  return type;
}

std::int32_t TQELExprNodeCase::GetDataSize() {
  GetDataType();
  std::int32_t size = 0;
  for (const std::int32_t index : ResultChildren()) size = std::max(size, Child(index).GetDataSize());
  return size;
}

}  // namespace qel
