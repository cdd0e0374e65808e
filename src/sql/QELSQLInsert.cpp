#include "sql/QELSQLInsert.h"

#include "platform/QELException.h"
#include "sql/QELSQLErrors.h"

namespace qel {

namespace {

constexpr TQELTableTargetCodes kInsertTargetCodes{30207, 30208, 30493, 30209, 30210, 30211};

}  // namespace

TQELSQLInsert::TQELSQLInsert(TQELLexer& lexer, TQELExprQuery* query) : TQELSQLCommand(lexer, query) {
  Parse();
}

TQELSQLInsert::~TQELSQLInsert() = default;

bool TQELSQLInsert::RerunExpressions(std::vector<TQELExpression*>& expressions) {
  if (FSelect) return false;
  for (const auto& row : FRows) {
    for (const auto& value : row) expressions.push_back(value.get());
  }
  return true;
}

void TQELSQLInsert::Parse() {
  RequireFirstToken(30204);
  if (!GetNextToken()) RaiseEnd(30205);
  if (!IsWord(rwINTO)) RaiseExpected(30206, "INTO");
  GetNextToken();
  ParseTableTarget(FTable, kInsertTargetCodes);
  if (IsKind(tktLeftParenthesis)) {
    TToken next;
    FLexer->LookNextToken(next);
    if (IsReservedWord(next, rwSELECT)) {
      ParseSelect(true);
      ExpectEndOfCommand();
      return;
    }
    ParseColumnList();
  }
  if (IsWord(rwVALUES)) {
    ParseValues();
  } else if (IsWord(rwSELECT) || IsKind(tktLeftParenthesis)) {
    ParseSelect(IsKind(tktLeftParenthesis));
  } else {
    RaiseExpected(kQELErrValuesExpected, "VALUES");
  }
  ExpectEndOfCommand();
}

void TQELSQLInsert::ParseColumnList() {
  constexpr TTokenKinds kColumnKinds = kNameKinds | KindBit(tktReservedWord);
  while (true) {
    if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
    if (!IsKindOf(kColumnKinds) || (IsKind(tktString) && !IsName())) {
      RaiseFound(2156, kQELMsgFieldNameExpected);
    }
    FColumns.push_back(FToken.Text);
    if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
    if (IsKind(tktRightParenthesis)) break;
    if (!IsKind(tktComma)) RaiseFound(30212, kQELMsgParenthesisOrCommaExpected);
  }
  if (!GetNextToken()) RaiseEnd(30213);
}

void TQELSQLInsert::ParseValues() {
  if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
  while (true) {
    if (!IsKind(tktLeftParenthesis)) RaiseFound(30214, kQELMsgLeftParenthesisExpected);
    const TToken rowStart = FToken;
    ParseRow();
    // Every row must fill the column list, not just the first: a short row
    // would put its values into the wrong columns.
    const auto values = static_cast<std::int32_t>(FRows.back().size());
    if (!FColumns.empty() && values != static_cast<std::int32_t>(FColumns.size())) {
      throw EQELException(kQELErrValueCountMismatch,
                          "Number of field names doesn't equal to the number of field values: %d "
                          "<> %d. Found at line %d, column %d",
                          {static_cast<std::int32_t>(FColumns.size()), values, rowStart.Line,
                           rowStart.Column});
    }
    if (!IsKind(tktComma)) return;
    if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
  }
}

void TQELSQLInsert::ParseRow() {
  FRows.emplace_back();
  while (true) {
    if (!GetNextToken()) RaiseEnd(30203);
    std::unique_ptr<TQELExpression> value = ParseValue();
    if (!value) RaiseFound(30357, "Error parsing parameter '%s' at line %d, column %d");
    FRows.back().push_back(std::move(value));
    if (AtEnd()) RaiseEnd(30203);
    if (IsKind(tktRightParenthesis)) break;
    if (!IsKind(tktComma)) RaiseFound(30212, kQELMsgParenthesisOrCommaExpected);
  }
  GetNextToken();
}

void TQELSQLInsert::ParseSelect(bool parenthesised) {
  if (parenthesised) GetNextToken();
  FSelect = std::make_unique<TQELSQLUnion>(*FLexer, FQuery);
  FSelect->SetExecutor(FExecutor);
  GetCurrentToken();
  if (!parenthesised) return;
  if (!IsKind(tktRightParenthesis)) RaiseAt(20256, "Missing symbol ')' at line %d, column %d");
  GetNextToken();
}

}  // namespace qel
