#include "sql/QELStatementRerun.h"

#include <cstdlib>

#include "sql/QELExprNode.h"
#include "sql/QELExprNodeSubquery.h"
#include "sql/QELExpression.h"

namespace qel {

namespace {

// Whether a constant still holds exactly the value it was read from: the
// parser and the statement may change constants in place.
bool SameValue(const TQELVariant& constant, const TQELVariant& value) {
  if (constant.IsNull() || value.IsNull()) return constant.IsNull() && value.IsNull();
  return constant.DataType() == value.DataType() && constant.AsString() == value.AsString();
}

}  // namespace

const TQELVariant* TQELStatementRerun::ValueOf(const TMarker& marker, const TQELSQLParams& params) {
  if (!marker.Positional) return params.FindParam(marker.Name);
  // A "?" is named "Param<n>" for the n-th of the text.
  const std::int64_t position = std::strtoll(marker.Name.c_str() + 5, nullptr, 10) - 1;
  if (position < 0 || position >= params.Count()) return nullptr;
  return &params.Items(static_cast<std::int32_t>(position));
}

bool TQELStatementRerun::Capture(TQELSQLCommand& statement, const TQELLexer& lexer,
                                 const TQELSQLParams& params) {
  Clear();
  std::vector<TQELExpression*> expressions;
  if (lexer.NumCommands() < 1 || !statement.RerunExpressions(expressions)) return false;
  for (const TToken& token : lexer.Commands()[0].Tokens) {
    if (token.TokenType != tktParameter) continue;
    if (token.ParamNo != static_cast<std::int32_t>(FMarkers.size())) return false;
    TMarker marker;
    marker.Name = token.Text;
    marker.Positional = token.Positional;
    const TQELVariant* value = ValueOf(marker, params);
    if (value == nullptr) return false;
    marker.Type = value->DataType();
    marker.IsNull = value->IsNull();
    FMarkers.push_back(std::move(marker));
  }
  for (TQELExpression* expression : expressions) {
    if (expression->Root() != nullptr && !CollectConstants(*expression->Root(), params)) {
      Clear();
      return false;
    }
  }
  for (const TMarker& marker : FMarkers) {
    if (marker.Constants.empty()) {
      Clear();
      return false;
    }
  }
  FCaptured = true;
  return true;
}

bool TQELStatementRerun::CollectConstants(TQELExprNode& node, const TQELSQLParams& params) {
  // A subquery reads its own tokens, and their values, when it runs.
  if (dynamic_cast<TQELExprNodeSubquery*>(&node) != nullptr) return false;
  if (auto* constant = dynamic_cast<TQELExprNodeConst*>(&node); constant != nullptr && constant->ParamNo() >= 0) {
    if (constant->ParamNo() >= static_cast<std::int32_t>(FMarkers.size())) return false;
    TMarker& marker = FMarkers[static_cast<std::size_t>(constant->ParamNo())];
    if (!SameValue(constant->MutableValue(), *ValueOf(marker, params))) return false;
    marker.Constants.push_back(constant);
  }
  for (std::int32_t i = 0; i < node.ChildCount(); ++i) {
    if (!CollectConstants(node.Child(i), params)) return false;
  }
  return true;
}

bool TQELStatementRerun::Apply(const TQELSQLParams& params) {
  if (!FCaptured) return false;
  std::vector<const TQELVariant*> values;
  values.reserve(FMarkers.size());
  for (const TMarker& marker : FMarkers) {
    const TQELVariant* value = ValueOf(marker, params);
    if (value == nullptr || value->DataType() != marker.Type || value->IsNull() != marker.IsNull) return false;
    values.push_back(value);
  }
  for (std::size_t i = 0; i < FMarkers.size(); ++i) {
    // A NULL keeps the type it was read with.
    if (FMarkers[i].IsNull) continue;
    for (TQELExprNodeConst* constant : FMarkers[i].Constants) constant->MutableValue() = *values[i];
  }
  return true;
}

}  // namespace qel
