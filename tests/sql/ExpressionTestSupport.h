#pragma once
// A small record of every kind of field for expression tests, the text of
// an expression's value, and the shape of a parsed tree.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sql/QELExpressions.h"
#include "storage/QELRecordData.h"
#include "values/QELValueText.h"

namespace qel::test {

// One record: I integer 7, L largeint 5000000000, D float 2.5, S string
// 'abc', W widestring 'wide', DT date 2024-03-07, TM time 10:30:00, B logical
// true, F logical false, M memo 'a memo text', C currency 1.25, SI smallint
// -5, CH char(10) 'x'; N, NS, NB, ND and NM are NULL integer, string,
// logical, date and memo fields.
class TTestRecord final : public TQELExprRecordSource {
 public:
  TTestRecord() {
    FFields.Add("I", aftInteger, 0);
    FFields.Add("L", aftLargeint, 0);
    FFields.Add("D", aftDouble, 0);
    FFields.Add("S", aftString, 40);
    FFields.Add("W", aftWideString, 20);
    FFields.Add("DT", aftDate, 0);
    FFields.Add("TM", aftTime, 0);
    FFields.Add("B", aftBoolean, 0);
    FFields.Add("F", aftBoolean, 0);
    FFields.Add("M", aftMemo, 0);
    FFields.Add("C", aftCurrency, 0);
    FFields.Add("SI", aftSmallint, 0);
    FFields.Add("CH", aftChar, 10);
    FFields.Add("N", aftInteger, 0);
    FFields.Add("NS", aftString, 20);
    FFields.Add("NB", aftBoolean, 0);
    FFields.Add("ND", aftDate, 0);
    FFields.Add("NM", aftMemo, 0);
    FFields.RecalcOffsets();
    FRecord.assign(static_cast<std::size_t>(FFields.MemoryRecordSize()), 0);
    for (std::int32_t i = 0; i < FFields.Count(); ++i) SetNull(true, i, FRecord.data());
    TQELVariant v;
    v.SetAsInteger(7);
    Set("I", v);
    v.Clear(bftLargeint);
    v.SetAsLargeint(5000000000);
    Set("L", v);
    v.Clear(bftDouble);
    v.SetAsDouble(2.5);
    Set("D", v);
    Set("S", Text("abc"));
    v.Clear(bftWideString);
    v.SetAsWideString(u"wide");
    Set("W", v);
    std::int32_t day = 0;
    QELTryEncodeDate(2024, 3, 7, day);
    v.Clear(bftDate);
    v.SetAsDateNumber(day);
    Set("DT", v);
    v.Clear(bftTime);
    v.SetAsTimeMilliseconds((10 * 60 + 30) * 60000);
    Set("TM", v);
    v.Clear(bftBoolean);
    v.SetAsBoolean(true);
    Set("B", v);
    v.SetAsBoolean(false);
    Set("F", v);
    v.Clear(bftCurrency);
    v.SetAsCurrency(1.25);
    Set("C", v);
    v.Clear(bftSmallint);
    v.SetAsSmallint(-5);
    Set("SI", v);
    Set("CH", Text("x"));
    SetMemo("M", "a memo text");
  }

  static TQELVariant Text(std::string_view text) {
    TQELVariant v;
    v.SetAsString(text);
    return v;
  }

  void Set(std::string_view name, const TQELVariant& value) {
    SetFieldValue(FFields.IndexOfName(name), FFields, value, FRecord.data());
  }
  void SetMemo(std::string_view name, const std::string& text) {
    const std::int32_t fieldNo = FFields.IndexOfName(name);
    FMemos[fieldNo] = text;
    SetNull(false, fieldNo, FRecord.data());
  }

  const TQELFieldDefs& FieldDefs() const override { return FFields; }
  std::int32_t FindField(std::string_view fieldName) const override {
    return FFields.IndexOfName(fieldName);
  }
  const std::uint8_t* CurrentRecord() const override { return FRecord.data(); }
  void ReadBlobValue(std::int32_t fieldNo, const std::uint8_t* record, TQELVariant& value) override {
    const TQELBaseFieldType type = FFields[fieldNo].BaseFieldType();
    value.Clear(type);
    if (IsNull(fieldNo, record)) return;
    const std::string& text = FMemos[fieldNo];
    value.SetData(text.data(), static_cast<std::int32_t>(text.size()), cmCopy, type);
  }

  std::vector<std::uint8_t>& Record() { return FRecord; }

 private:
  TQELFieldDefs FFields;
  std::vector<std::uint8_t> FRecord;
  std::map<std::int32_t, std::string> FMemos;
};

// A value as text: NULL, TRUE, FALSE, or the value's own text.
inline std::string Show(const TQELVariant& value) {
  if (value.IsNull()) return "NULL";
  if (value.DataType() == bftBoolean) return value.AsBoolean() ? "TRUE" : "FALSE";
  if (value.IsWideString()) return "w'" + QELUtf16ToUtf8(value.AsWideString()) + "'";
  if (value.IsString()) return "'" + value.AsString() + "'";
  return value.AsString();
}

// Parses `text` as a condition (or, when `value`, as a value expression)
// bound to `record`, and answers the expression.
inline std::unique_ptr<TQELExpression> Parse(TTestRecord& record, const std::string& text,
                                             bool value = false, const TQELSQLParams* params = nullptr) {
  auto expression = std::make_unique<TQELExpression>();
  TQELLexer lexer(text, params);
  lexer.NextCommand();
  expression->SetCursor(&record);
  if (value) {
    expression->ParseValueExpression(nullptr, lexer);
    expression->BindToCursor(&record, nullptr, nullptr);
  } else {
    expression->ParseSearchCondition(nullptr, lexer);
  }
  return expression;
}

// The value of the value expression `text`, or "error <code>".
inline std::string ValueOf(TTestRecord& record, const std::string& text) {
  try {
    auto expression = Parse(record, text, true);
    if (expression->IsEmpty()) return "empty";
    return Show(expression->Evaluate());
  } catch (const EQELException& e) {
    return "error " + std::to_string(e.NativeError());
  }
}

// The value of the condition `text`, or "error <code>".
inline std::string ConditionOf(TTestRecord& record, const std::string& text) {
  try {
    return Show(Parse(record, text)->Evaluate());
  } catch (const EQELException& e) {
    return "error " + std::to_string(e.NativeError());
  }
}

// A tree as text: constants as type:value, fields as their names,
// operators with their operands in parentheses.
inline std::string Shape(const TQELExprNode& node) {
  const auto children = [&](std::string head) {
    head += "(";
    for (std::int32_t i = 0; i < node.ChildCount(); ++i) {
      if (i > 0) head += ", ";
      head += Shape(node.Child(i));
    }
    return head + ")";
  };
  if (const auto* constant = dynamic_cast<const TQELExprNodeConst*>(&node)) {
    const TQELVariant& value = constant->Value();
    return std::string(BaseFieldTypeName(value.DataType())) + ":" + Show(value);
  }
  if (const auto* field = dynamic_cast<const TQELExprNodeField*>(&node)) {
    return field->TableName().empty() ? field->FieldName() : field->TableName() + "." + field->FieldName();
  }
  if (const auto* comparison = dynamic_cast<const TQELExprNodeComparison*>(&node)) {
    std::string head = std::string(ExprOperatorText(comparison->Operator()));
    if (!comparison->NullsUnordered()) head += " ordered";
    if (comparison->IsLikePrefix()) head += " like-prefix";
    else if (comparison->Partial()) head += " partial";
    if (comparison->CaseInsensitive()) head += " nocase";
    if (comparison->Quantifier() == qtAll) head += " ALL";
    if (comparison->Quantifier() == qtAny) head += " ANY";
    return children(head);
  }
  if (dynamic_cast<const TQELExprNodeSubquery*>(&node) != nullptr) return "SUBQUERY";
  if (const auto* boolean = dynamic_cast<const TQELExprNodeBoolean*>(&node)) {
    switch (boolean->Operator()) {
      case eoIn: return children("IN");
      case eoNotIn: return children("NOT IN");
      case eoBetween: return children("BETWEEN");
      case eoNotBetween: return children("NOT BETWEEN");
      case eoExists: return children("EXISTS");
      default: {
        std::string head(ExprOperatorText(boolean->Operator()));
        if (!boolean->Escape().empty()) head += " escape " + boolean->Escape();
        return children(head);
      }
    }
  }
  if (const auto* cast = dynamic_cast<const TQELExprNodeCast*>(&node)) {
    return children("CAST " + std::string(AdvancedFieldTypeName(cast->TargetType())));
  }
  if (dynamic_cast<const TQELExprNodeCase*>(&node) != nullptr) {
    return children(static_cast<const TQELExprNodeCase&>(node).IsCoalesce() ? "COALESCE" : "CASE");
  }
  if (const auto* aggregate = dynamic_cast<const TQELExprNodeAggregated*>(&node)) {
    return children(std::string(ExprOperatorText(aggregate->Operator())) +
                    (aggregate->Distinct() ? " DISTINCT" : ""));
  }
  static const char* const kFunctions[] = {"ABS", "ACOS", "ASIN", "ATAN",  "CEIL", "COS",
                                           "EXP", "FLOOR", "LOG", "POWER", "RAND", "ROUND",
                                           "SIGN", "SIN",  "SQR", "SQRT"};
  if (node.Operator() >= eoAbs && node.Operator() <= eoSqrt) {
    return children(kFunctions[node.Operator() - eoAbs]);
  }
  switch (node.Operator()) {
    case eoLength: return children("LENGTH");
    case eoPosition: return children("POSITION");
    case eoSubstring: return children("SUBSTRING");
    case eoToDate: return children("TODATE");
    case eoToString: return children("TOSTRING");
    case eoExtract: return children("EXTRACT");
    case eoCurrentTimestamp: return "NOW";
    case eoCurrentDate: return "CURRENT_DATE";
    case eoCurrentTime: return "CURRENT_TIME";
    case eoRowNum: return "ROWNUM";
    case eoLastAutoinc: return "LASTAUTOINC";
    case eoMimeToBin: return children("MIMETOBIN");
    default: return children(std::string(ExprOperatorText(node.Operator())));
  }
}

}  // namespace qel::test
