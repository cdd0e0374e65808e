#include "sql/QELExprNodeStringFunction.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/QELCollation.h"
#include "platform/QELException.h"
#include "sql/QELExpressionErrors.h"
#include "values/QELValueText.h"

namespace qel {

namespace {

bool IsContinuation(char c) { return (static_cast<std::uint8_t>(c) & 0xC0) == 0x80; }

std::int64_t CountCharacters(std::string_view text) {
  std::int64_t count = 0;
  for (const char c : text) count += IsContinuation(c) ? 0 : 1;
  return count;
}

// The byte offset of character `index` (0-based), or the text's size.
std::size_t CharacterOffset(std::string_view text, std::int64_t index) {
  std::size_t pos = 0;
  while (pos < text.size() && index > 0) {
    ++pos;
    while (pos < text.size() && IsContinuation(text[pos])) ++pos;
    --index;
  }
  return pos;
}

bool IsWideKind(TQELBaseFieldType type) {
  return type == bftWideString || type == bftFixedWideChar || type == bftWideMemo;
}

// An argument taken as a 32-bit integer: real values are truncated and
// held to the int32 range instead of failing the conversion.
std::int64_t AsInt32(const TQELVariant& value) {
  if (IsIntegerBaseType(value.DataType())) {
    return std::clamp<std::int64_t>(value.AsLargeint(), std::numeric_limits<std::int32_t>::min(),
                                    std::numeric_limits<std::int32_t>::max());
  }
  const double number = value.AsDouble();
  if (std::isnan(number)) return 0;
  return static_cast<std::int64_t>(std::clamp(number, -2147483648.0, 2147483647.0));
}

template <class TChar>
std::basic_string_view<TChar> Trim(std::basic_string_view<TChar> text, bool left, bool right) {
  const auto blank = [](TChar c) { return static_cast<std::uint32_t>(c) <= 32; };
  std::size_t start = 0;
  std::size_t end = text.size();
  if (left) {
    while (start < end && blank(text[start])) ++start;
  }
  if (right) {
    while (end > start && blank(text[end - 1])) --end;
  }
  return text.substr(start, end - start);
}

}  // namespace

TQELVariant& TQELExprNodeStringFunction::EvaluateConcat() {
  FValue.Assign(Child(0).Evaluate());
  if (!FValue.IsString()) {
    if (FValue.IsNull()) {
      FValue.Clear(bftString);
    } else {
      FValue.ConvertTo(IsWideKind(FValue.DataType()) ? bftWideString : bftString);
    }
  }
  for (std::int32_t i = 1; i < ChildCount(); ++i) FValue.Add(Child(i).Evaluate());
  // A NULL first operand takes the next one as it is, whatever its type.
  if (!FValue.IsString()) {
    if (FValue.IsNull()) {
      FValue.Clear(bftString);
    } else {
      FValue.ConvertTo(IsWideKind(FValue.DataType()) ? bftWideString : bftString);
    }
  }
  return FValue;
}

TQELVariant& TQELExprNodeStringFunction::EvaluateCase() {
  const TQELVariant& argument = Child(0).Evaluate();
  const bool upper = FOperator == eoUpper;
  if (IsWideKind(argument.DataType())) {
    if (argument.IsNull()) {
      FValue.Clear(bftWideString);
    } else {
      const std::u16string_view text = QELWideTextOf(argument, FScratch, FWideScratch);
      SetWideTextValue(FValue, upper ? QELUpperCase(text) : QELLowerCase(text));
    }
  } else if (argument.IsNull()) {
    FValue.Clear(bftString);
  } else {
    const std::string_view text = QELTextOf(argument, FScratch);
    SetTextValue(FValue, upper ? QELUpperCase(text) : QELLowerCase(text));
  }
  return FValue;
}

TQELVariant& TQELExprNodeStringFunction::EvaluateTrim() {
  const TQELVariant& argument = Child(0).Evaluate();
  const bool left = FOperator != eoRTrim;
  const bool right = FOperator != eoLTrim;
  if (IsWideKind(argument.DataType())) {
    if (argument.IsNull()) {
      FValue.Clear(bftWideString);
    } else {
      SetWideTextValue(FValue, Trim(QELWideTextOf(argument, FScratch, FWideScratch), left, right));
    }
  } else if (argument.IsNull()) {
    FValue.Clear(bftString);
  } else {
    SetTextValue(FValue, Trim(QELTextOf(argument, FScratch), left, right));
  }
  return FValue;
}

TQELVariant& TQELExprNodeStringFunction::EvaluatePosition() {
  const TQELVariant& needle = Child(0).Evaluate();
  const TQELVariant& haystack = Child(1).Evaluate();
  std::int64_t position = 0;
  if (!needle.IsNull() && !haystack.IsNull()) {
    // The searched string's width decides.
    if (IsWideKind(haystack.DataType())) {
      const std::u16string_view in = QELWideTextOf(haystack, FScratch2, FWideScratch2);
      const std::size_t found = in.find(QELWideTextOf(needle, FScratch, FWideScratch));
      if (found != std::u16string_view::npos) position = static_cast<std::int64_t>(found) + 1;
    } else {
      const std::string_view in = QELTextOf(haystack, FScratch2);
      const std::size_t found = in.find(QELTextOf(needle, FScratch));
      if (found != std::string_view::npos) position = CountCharacters(in.substr(0, found)) + 1;
    }
  }
  SetIntegerValue(FValue, static_cast<std::int32_t>(std::min<std::int64_t>(position, INT32_MAX)));
  return FValue;
}

TQELVariant& TQELExprNodeStringFunction::EvaluateSubstring() {
  const TQELVariant& source = Child(0).Evaluate();
  const bool wide = IsWideKind(source.DataType());
  const TQELVariant& startValue = Child(1).Evaluate();
  const bool hasCount = ChildCount() >= 3;
  const bool countNull = hasCount && Child(2).Evaluate().IsNull();
  if (source.IsNull() || startValue.IsNull() || countNull) {
    FValue.Clear(wide ? bftWideString : bftString);
    return FValue;
  }
  // A start below 1 counts as 1; the count runs from there.
  const std::int64_t first = std::max<std::int64_t>(AsInt32(startValue), 1) - 1;
  const std::int64_t count =
      hasCount ? std::max<std::int64_t>(AsInt32(Child(2).Value()), 0) : INT32_MAX;
  if (wide) {
    const std::u16string_view text = QELWideTextOf(source, FScratch, FWideScratch);
    const auto size = static_cast<std::int64_t>(text.size());
    const std::int64_t begin = std::min(first, size);
    const std::int64_t end = std::min(size, begin + count);
    SetWideTextValue(FValue, text.substr(static_cast<std::size_t>(begin),
                                         static_cast<std::size_t>(end - begin)));
  } else {
    const std::string_view text = QELTextOf(source, FScratch);
    const std::size_t begin = CharacterOffset(text, first);
    const std::size_t end = begin + CharacterOffset(text.substr(begin), count);
    SetTextValue(FValue, text.substr(begin, end - begin));
  }
  return FValue;
}

TQELVariant& TQELExprNodeStringFunction::Evaluate() {
  switch (FOperator) {
    case eoConcat: return EvaluateConcat();
    case eoUpper:
    case eoLower: return EvaluateCase();
    case eoTrim:
    case eoLTrim:
    case eoRTrim: return EvaluateTrim();
    case eoLength: {
      const TQELVariant& argument = Child(0).Evaluate();
      std::int64_t length = 0;
      if (!argument.IsNull()) {
        length = IsWideKind(argument.DataType())
                     ? static_cast<std::int64_t>(QELWideTextOf(argument, FScratch, FWideScratch).size())
                     : CountCharacters(QELTextOf(argument, FScratch));
      }
      SetIntegerValue(FValue, static_cast<std::int32_t>(std::min<std::int64_t>(length, INT32_MAX)));
      return FValue;
    }
    case eoPosition: return EvaluatePosition();
    case eoSubstring: return EvaluateSubstring();
    default:
      throw EQELException(kQELErrUnknownStringOperator, kQELUnknownOperatorMsg,
                          {ExprOperatorText(FOperator)});
  }
}

TQELAdvancedFieldType TQELExprNodeStringFunction::GetDataType() {
  switch (FOperator) {
    case eoLength:
    case eoPosition: return aftInteger;
    case eoConcat: {
      // Operands of another type deliver this one through a cast.
      TQELAdvancedFieldType type = ChildrenDataType();
      if (!IsStringAdvancedType(type)) type = aftString;
      for (std::int32_t i = 0; i < ChildCount(); ++i) CastChildTo(i, type);
      return type;
    }
    default: {
      const TQELAdvancedFieldType type = Child(0).GetDataType();
      if (IsStringAdvancedType(type)) return type;
      if (type == aftWideMemo) return aftWideString;
      return aftString;
    }
  }
}

std::int32_t TQELExprNodeStringFunction::GetDataSize() {
  switch (FOperator) {
    case eoLength:
    case eoPosition: return 0;
    case eoConcat: {
      GetDataType();
      std::int64_t size = 0;
      for (std::int32_t i = 0; i < ChildCount(); ++i) size += Child(i).GetDataSize();
      return static_cast<std::int32_t>(std::min<std::int64_t>(size, TQELFieldDef::kMaxSize));
    }
    case eoSubstring: {
      const std::int32_t size = Child(0).GetDataSize();
      if (size > 0) return size;
      if (ChildCount() >= 3 && dynamic_cast<TQELExprNodeConst*>(&Child(2)) != nullptr &&
          !Child(2).Value().IsNull()) {
        return static_cast<std::int32_t>(std::clamp<std::int64_t>(AsInt32(Child(2).Value()), 0, 4096));
      }
      return 4096;
    }
    default: return Child(0).GetDataSize();
  }
}

}  // namespace qel
