#include "sql/QELSQLUpdate.h"

#include "platform/QELException.h"
#include "sql/QELSQLErrors.h"

namespace qel {

namespace {

constexpr TQELTableTargetCodes kUpdateTargetCodes{30217, 30217, 30217, 30161, 30238, 30238};

TToken MakeToken(TTokenType type, std::string text, std::uint16_t word, std::int32_t line,
                 std::int32_t column) {
  TToken token;
  token.TokenType = type;
  token.Text = std::move(text);
  token.ReservedWord = word;
  token.Line = line;
  token.Column = column;
  return token;
}

// A name that reads as itself whatever it spells.
TToken MakeName(const std::string& text, std::int32_t line, std::int32_t column) {
  return MakeToken(tktBracketedString, text, rwNone, line, column);
}

// The tokens of the current command from `first` on.
std::vector<TToken> TokensFrom(const TQELLexer& lexer, std::int32_t first) {
  const auto& tokens = lexer.Commands()[static_cast<std::size_t>(lexer.CurrentCommand())].Tokens;
  if (first < 0 || first >= static_cast<std::int32_t>(tokens.size())) return {};
  return {tokens.begin() + first, tokens.end()};
}

}  // namespace

std::unique_ptr<TQELSQLSelect> QELParseGeneratedSelect(TQELLexer& lexer, TQELExprQuery* query,
                                                       TQELSQLExecutor* executor,
                                                       const std::vector<TToken>& tokens,
                                                       std::int32_t returnTo) {
  lexer.AddCommand();
  for (const TToken& token : tokens) lexer.AddToken(token);
  lexer.SetCurrentTokenNo(0);
  std::unique_ptr<TQELSQLSelect> select;
  try {
    select = std::make_unique<TQELSQLSelect>(lexer, query);
    TToken rest;
    if (lexer.GetCurrentToken(rest)) {
      throw EQELException(kQELErrEndExpected, kQELMsgEndExpected,
                          {QELPrintableTokenText(rest.Text), rest.Line, rest.Column});
    }
  } catch (...) {
    lexer.SetCurrentCommand(returnTo);
    throw;
  }
  select->SetExecutor(executor);
  lexer.SetCurrentCommand(returnTo);
  lexer.SetCurrentTokenNo(lexer.Commands()[static_cast<std::size_t>(returnTo)].NumTokens());
  return select;
}

// ---- UPDATE --------------------------------------------------------------------

TQELSQLUpdate::TQELSQLUpdate(TQELLexer& lexer, TQELExprQuery* query) : TQELSQLCommand(lexer, query) {
  Parse();
}

TQELSQLUpdate::~TQELSQLUpdate() = default;

bool TQELSQLUpdate::RerunExpressions(std::vector<TQELExpression*>& expressions) {
  if (FSubquery || !FSelect) return false;
  for (const TQELSQLAssignment& assignment : FAssignments) expressions.push_back(assignment.Value.get());
  if (FSelect->Where() != nullptr) expressions.push_back(FSelect->Where());
  return true;
}

void TQELSQLUpdate::Parse() {
  RequireFirstToken(30216);
  GetNextToken();
  ParseTableTarget(FTable, kUpdateTargetCodes);
  if (!IsWord(rwSET)) RaiseExpected(30220, "SET");
  if (!GetNextToken()) RaiseEnd(30223);
  if (IsKind(tktLeftParenthesis)) {
    ParseSubqueryAssignment();
  } else {
    ParseAssignments();
  }
  if (!AtEnd() && !IsWord(rwWHERE)) RaiseFound(30222, kQELMsgUnexpectedToken);
  BuildSelect();
}

void TQELSQLUpdate::ParseAssignments() {
  constexpr TTokenKinds kColumnKinds = kNameKinds | KindBit(tktReservedWord);
  while (true) {
    if (!IsKindOf(kColumnKinds) || (IsKind(tktString) && !IsName()) || IsWord(rwWHERE)) {
      RaiseFound(30222, kQELMsgUnexpectedToken);
    }
    TQELSQLAssignment assignment;
    assignment.FieldName = FToken.Text;
    GetNextToken();
    if (IsKind(tktDot)) {
      if (!GetNextToken()) RaiseEnd(30223);
      if (!IsKindOf(kColumnKinds)) RaiseFound(30222, kQELMsgUnexpectedToken);
      assignment.TableName = std::move(assignment.FieldName);
      assignment.FieldName = FToken.Text;
      GetNextToken();
    }
    if (!IsOperator("=")) RaiseExpected(30221, "=");
    if (!GetNextToken()) RaiseEnd(30223);
    assignment.Value = ParseValue();
    if (!assignment.Value) RaiseFound(kQELErrAssignmentValue, kQELMsgExpressionExpected);
    FAssignments.push_back(std::move(assignment));
    if (!IsKind(tktComma)) return;
    if (!GetNextToken()) RaiseEnd(30223);
  }
}

void TQELSQLUpdate::ParseSubqueryAssignment() {
  GetNextToken();
  ParseNameList(FSubqueryColumns);
  if (!IsKind(tktRightParenthesis)) RaiseExpected(30494, ")");
  GetNextToken();
  if (!IsOperator("=")) RaiseExpected(30495, "=");
  if (!GetNextToken()) RaiseEnd(30223);
  if (!IsWord(rwSELECT) && !IsKind(tktLeftParenthesis)) RaiseExpected(30194, "SELECT");
  FSubquery = std::make_unique<TQELSQLUnion>(*FLexer, FQuery);
  FSubquery->SetExecutor(FExecutor);
  GetCurrentToken();
}

void TQELSQLUpdate::BuildSelect() {
  std::vector<TToken> tokens;
  tokens.push_back(MakeToken(tktReservedWord, "select", rwSELECT, FLine, FColumn));
  tokens.push_back(MakeToken(tktString, "*", rwNone, FLine, FColumn));
  tokens.push_back(MakeToken(tktReservedWord, "from", rwFROM, FLine, FColumn));
  if (FTable.InMemory) tokens.push_back(MakeToken(tktReservedWord, "memory", rwMEMORY, FLine, FColumn));
  if (!FTable.DatabaseName.empty()) {
    tokens.push_back(MakeName(FTable.DatabaseName, FLine, FColumn));
    tokens.push_back(MakeToken(tktDot, ".", rwNone, FLine, FColumn));
  }
  tokens.push_back(MakeName(FTable.TableName, FLine, FColumn));
  if (!FTable.Alias.empty()) tokens.push_back(MakeName(FTable.Alias, FLine, FColumn));
  if (FTable.HasPassword) {
    tokens.push_back(MakeToken(tktReservedWord, "password", rwPASSWORD, FLine, FColumn));
    tokens.push_back(MakeToken(tktQuotedString, FTable.Password, rwNone, FLine, FColumn));
  }
  if (!AtEnd()) {
    for (TToken& token : TokensFrom(*FLexer, FLexer->GetCurrentTokenNo())) {
      tokens.push_back(std::move(token));
    }
  }
  FSelect = QELParseGeneratedSelect(*FLexer, FQuery, FExecutor, tokens, FCommandNo);
  GetCurrentToken();
}

// ---- DELETE --------------------------------------------------------------------

TQELSQLDelete::TQELSQLDelete(TQELLexer& lexer, TQELExprQuery* query) : TQELSQLCommand(lexer, query) {
  Parse();
}

TQELSQLDelete::~TQELSQLDelete() = default;

bool TQELSQLDelete::RerunExpressions(std::vector<TQELExpression*>& expressions) {
  if (!FSelect) return false;
  if (FSelect->Where() != nullptr) expressions.push_back(FSelect->Where());
  return true;
}

void TQELSQLDelete::Parse() {
  RequireFirstToken(30224);
  if (!GetNextToken()) RaiseEnd(30224);
  // DELETE FROM t WHERE c reads as SELECT * FROM t WHERE c.
  std::vector<TToken> tokens;
  tokens.push_back(MakeToken(tktReservedWord, "select", rwSELECT, FLine, FColumn));
  tokens.push_back(MakeToken(tktString, "*", rwNone, FLine, FColumn));
  for (TToken& token : TokensFrom(*FLexer, FLexer->GetCurrentTokenNo())) {
    tokens.push_back(std::move(token));
  }
  FSelect = QELParseGeneratedSelect(*FLexer, FQuery, FExecutor, tokens, FCommandNo);
  GetCurrentToken();
}

}  // namespace qel
