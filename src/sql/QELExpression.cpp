#include "sql/QELExpression.h"

#include "platform/QELException.h"
#include "sql/QELExprNodeBoolean.h"
#include "sql/QELExprNodeComparison.h"
#include "sql/QELExprNodeField.h"
#include "sql/QELExpressionErrors.h"
#include "sql/QELExpressionParser.h"

namespace qel {

namespace {

bool IsConjunction(const TQELExprNode* node) {
  return node != nullptr && node->Operator() == eoAnd &&
         dynamic_cast<const TQELExprNodeBoolean*>(node) != nullptr;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

std::string AsciiUpper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

}  // namespace

TQELExpression::TQELExpression() = default;
TQELExpression::~TQELExpression() = default;

void TQELExpression::Clear() { FRootNode.reset(); }

void TQELExpression::FlattenConjunctions() {
  if (!IsConjunction(FRootNode.get())) return;
  TQELExprNode& root = *FRootNode;
  for (std::int32_t i = 0; i < root.ChildCount();) {
    if (!IsConjunction(&root.Child(i))) {
      ++i;
      continue;
    }
    // The nested AND's children take its place, in order; they are looked
    // at again, so ANDs at any depth dissolve.
    std::unique_ptr<TQELExprNode> nested = root.ReleaseChild(i);
    std::vector<std::unique_ptr<TQELExprNode>> children;
    while (nested->ChildCount() > 0) children.push_back(nested->ReleaseChild(0));
    std::vector<std::unique_ptr<TQELExprNode>> tail;
    while (root.ChildCount() > i) tail.push_back(root.ReleaseChild(i));
    for (auto& child : children) root.AddChild(std::move(child));
    for (auto& child : tail) root.AddChild(std::move(child));
  }
}

void TQELExpression::BindAndPrepare() {
  if (!FRootNode || FCursor == nullptr) return;
  FRootNode->BindToCursor(FCursor, nullptr, nullptr);
  FRootNode->Prepare();
}

void TQELExpression::BeginParse(TQELExprQuery* query, TQELLexer& lexer,
                                std::int32_t noTokenCode, bool takeQuerySettings) {
  Clear();
  FLexer = &lexer;
  FQuery = query;
  if (query != nullptr && takeQuerySettings) {
    FDatabaseName = query->DatabaseName();
    FInMemory = query->InMemory();
  }
  if (!lexer.GetCurrentToken(FToken)) {
    throw EQELException(noTokenCode, "Unexpected end of SQL command");
  }
}

void TQELExpression::ParseSearchCondition(TQELExprQuery* query, TQELLexer& lexer) {
  BeginParse(query, lexer, kQELErrNoConditionToken, true);
  TQELExpressionParser parser(*this, lexer);
  std::unique_ptr<TQELExprNode> root = parser.ParseCondition();
  FToken = parser.Current();
  if (!root) {
    throw EQELException(kQELErrNoCondition,
                        "Boolean expression expected, but '%s' found at line %d, column %d",
                        {FToken.Text, FToken.Line, FToken.Column});
  }
  lexer.SetCurrentTokenNo(parser.Position());
  FRootNode = std::move(root);
  FlattenConjunctions();
  try {
    BindAndPrepare();
  } catch (...) {
    Clear();
    throw;
  }
}

void TQELExpression::ParseValueExpression(TQELExprQuery* query, TQELLexer& lexer) {
  BeginParse(query, lexer, kQELErrNoValueToken, true);
  TQELExpressionParser parser(*this, lexer);
  FRootNode = parser.ParseValue();
  FToken = parser.Current();
  lexer.SetCurrentTokenNo(parser.Position());
}

void TQELExpression::ParseSubquery(TQELExprQuery* query, TQELLexer& lexer) {
  BeginParse(query, lexer, kQELErrNoSubqueryToken, false);
  TQELExpressionParser parser(*this, lexer);
  FRootNode = parser.ParseSubquery();
  FToken = parser.Current();
  lexer.SetCurrentTokenNo(parser.Position());
}

void TQELExpression::ParseFilter(TQELExprRecordSource* cursor, std::string_view text,
                                 bool partialCompare, bool caseInsensitive) {
  Clear();
  FCursor = cursor;
  FPartialCompare = partialCompare;
  FCaseInsensitive = caseInsensitive;
  // The nodes may keep the lexer (a subquery's tokens), so the expression
  // owns it.
  FOwnedLexer = std::make_unique<TQELLexer>(std::string(text), nullptr);
  if (FOwnedLexer->NumCommands() == 0) throw EQELException(kQELErrBlankFilter, "Blank SQL command");
  FOwnedLexer->NextCommand();
  ParseSearchCondition(nullptr, *FOwnedLexer);
  // A filter is one condition: text behind it would be silently ignored.
  TToken rest;
  if (FOwnedLexer->GetCurrentToken(rest)) {
    Clear();
    throw EQELException(kQELErrUnexpectedToken, "Unexpected token '%s' found at line %d, column %d",
                        {rest.Text, rest.Line, rest.Column});
  }
}

namespace {

bool ReadsColumns(const TQELExprNode& node) {
  if (dynamic_cast<const TQELExprNodeField*>(&node) != nullptr ||
      dynamic_cast<const TQELExprNodeSubquery*>(&node) != nullptr) {
    return true;
  }
  for (std::int32_t i = 0; i < node.ChildCount(); ++i) {
    if (ReadsColumns(node.Child(i))) return true;
  }
  return false;
}

}  // namespace

bool TQELExpression::EvaluateConstantText(std::string_view text, TQELVariant& value) {
  if (!IsValueExpressionText(text)) return false;
  try {
    TQELLexer lexer{std::string(text), nullptr};
    lexer.NextCommand();
    TQELExpression expression;
    expression.ParseValueExpression(nullptr, lexer);
    if (expression.Root() == nullptr || ReadsColumns(*expression.Root())) return false;
    value = expression.GetValue(true);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

bool TQELExpression::IsValueExpressionText(std::string_view text) {
  try {
    TQELLexer lexer{std::string(text), nullptr};
    if (lexer.NumCommands() != 1 || !lexer.NextCommand()) return false;
    TQELExpression expression;
    expression.ParseValueExpression(nullptr, lexer);
    TToken rest;
    return !expression.IsEmpty() && !lexer.GetCurrentToken(rest);
  } catch (const std::exception&) {
    return false;
  }
}

void TQELExpression::BuildKeyCondition(TQELExprRecordSource* cursor, std::string_view fieldNames,
                                       const std::vector<TQELVariant>& keyValues,
                                       bool caseInsensitive, bool partialCompare) {
  Clear();
  FCursor = cursor;
  std::vector<std::string> names;
  while (true) {
    const std::size_t end = fieldNames.find(';');
    names.push_back(AsciiUpper(Trimmed(fieldNames.substr(0, end))));
    if (end == std::string_view::npos) break;
    fieldNames.remove_prefix(end + 1);
  }
  if (names.size() != keyValues.size()) {
    throw EQELException(kQELErrKeyCountMismatch,
                        "Count of FieldNames (%d) not equal counts of KeyValues (%d)",
                        {static_cast<std::int64_t>(names.size()),
                         static_cast<std::int64_t>(keyValues.size())});
  }
  std::vector<std::unique_ptr<TQELExprNode>> terms;
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto field = std::make_unique<TQELExprNodeField>(std::string(), names[i]);
    if (cursor != nullptr) field->BindToCursor(cursor, nullptr, nullptr);
    TQELVariant value = keyValues[i];
    // A number for a date or time field is a date-time value.
    if (field->IsBound() && IsDateTimeBaseType(field->BaseDataType()) && !value.IsNull() &&
        (IsIntegerBaseType(value.DataType()) || IsRealBaseType(value.DataType()))) {
      const double dateTime = value.AsDouble();
      value.Clear(bftDateTime);
      value.SetAsDateTime(dateTime);
    }
    const bool partial = partialCompare && value.IsString() && !value.IsNull();
    auto comparison = std::make_unique<TQELExprNodeComparison>(
        eoEqual, std::move(field), std::make_unique<TQELExprNodeConst>(value), false);
    comparison->SetCaseInsensitive(caseInsensitive);
    if (partial) comparison->SetPrefixConstant(1);
    terms.push_back(std::move(comparison));
  }
  if (terms.size() == 1) {
    FRootNode = std::move(terms.front());
  } else {
    auto conjunction = std::make_unique<TQELExprNodeBoolean>(eoAnd);
    for (auto& term : terms) conjunction->AddChild(std::move(term));
    FRootNode = std::move(conjunction);
  }
  if (FRootNode) FRootNode->Prepare();
}

void TQELExpression::BuildFieldComparison(TQELExprRecordSource* cursor, std::string_view fieldName,
                                          const TQELVariant& value, TQELExprOperator op) {
  Clear();
  FCursor = cursor;
  auto field = std::make_unique<TQELExprNodeField>(std::string(), std::string(fieldName));
  if (cursor != nullptr) field->BindToCursor(cursor, nullptr, nullptr);
  FRootNode = std::make_unique<TQELExprNodeComparison>(
      op, std::move(field), std::make_unique<TQELExprNodeConst>(value), false);
  FRootNode->Prepare();
}

TQELVariant TQELExpression::GetValue(bool keepNull) {
  if (!FRootNode) return TQELVariant();
  const TQELVariant& value = FRootNode->Evaluate();
  if (value.IsNull() && !keepNull) {
    TQELVariant falseValue;
    SetBooleanValue(falseValue, false);
    return falseValue;
  }
  return value;
}

bool TQELExpression::GetBooleanValue() {
  if (!FRootNode) throw EQELException(kQELErrValueIsNull, "Value is Null");
  return IsTrueValue(FRootNode->Evaluate());
}

const TQELVariant& TQELExpression::Evaluate() {
  static const TQELVariant kNull;
  return FRootNode ? FRootNode->Evaluate() : kNull;
}

bool TQELExpression::Holds() { return !FRootNode || IsTrueValue(FRootNode->Evaluate()); }

void TQELExpression::AndWith(TQELExpression& other) {
  std::unique_ptr<TQELExprNode> added = other.ReleaseRoot();
  if (!added) return;
  if (!FRootNode) {
    FRootNode = std::move(added);
  } else {
    if (!IsConjunction(FRootNode.get())) {
      auto conjunction = std::make_unique<TQELExprNodeBoolean>(eoAnd);
      conjunction->AddChild(std::move(FRootNode));
      FRootNode = std::move(conjunction);
    }
    FRootNode->AddChild(std::move(added));
  }
  FlattenConjunctions();
}

void TQELExpression::Prepare() {
  if (FRootNode) FRootNode->Prepare();
}

bool TQELExpression::HasAggregate() const { return FRootNode && FRootNode->HasAggregate(); }

bool TQELExpression::IsCountAll() const { return FRootNode && FRootNode->IsCountAll(); }

void TQELExpression::ResetAggregate() {
  if (FRootNode) FRootNode->ResetAggregate();
}

void TQELExpression::Accumulate() {
  if (FRootNode) FRootNode->Accumulate();
}

void TQELExpression::SetAggregateCount(std::int32_t count) {
  if (FRootNode) FRootNode->SetAggregateCount(count);
}

TQELAdvancedFieldType TQELExpression::GetDataType() {
  return FRootNode ? FRootNode->GetDataType() : aftUnknown;
}

std::int32_t TQELExpression::GetDataSize() { return FRootNode ? FRootNode->GetDataSize() : 0; }

std::int32_t TQELExpression::GetPrecision() { return FRootNode ? FRootNode->GetPrecision() : 0; }

bool TQELExpression::UsesOnlyFields(std::string_view fieldNames) {
  return FRootNode && FRootNode->UsesOnlyFields(fieldNames);
}

void TQELExpression::BindToSources(TQELExprRowSource* source1, TQELExprRowSource* source2,
                                   TQELExprRecordSource* outerCursor) {
  if (!FRootNode) return;
  FRootNode->BindToSources(source1, source2, outerCursor);
  FRootNode->Prepare();
}

void TQELExpression::BindToCursor(TQELExprRecordSource* cursor, TQELExprRowSource* source,
                                  TQELExprRecordSource* outerCursor) {
  if (!FRootNode) return;
  FCursor = cursor;
  FRootNode->BindToCursor(cursor, source, outerCursor);
  FRootNode->Prepare();
}

void TQELExpression::SetRecordBuffer(const std::uint8_t* buffer, bool isOuter) {
  if (!FRootNode) return;
  FRootNode->SetRecordBuffer(buffer, isOuter);
}

bool TQELExpression::IsEmpty() const {
  return !FRootNode || (IsConjunction(FRootNode.get()) && FRootNode->ChildCount() == 0);
}

bool TQELExpression::IsFieldReference() const {
  return dynamic_cast<const TQELExprNodeField*>(FRootNode.get()) != nullptr;
}

void TQELExpression::GetFieldName(std::string& tableName, std::string& fieldName) const {
  const auto* field = dynamic_cast<const TQELExprNodeField*>(FRootNode.get());
  if (field == nullptr) throw EQELException(kQELErrNodeIsNotField, "Node is not field");
  tableName = field->TableName();
  fieldName = field->FieldName();
}

}  // namespace qel
