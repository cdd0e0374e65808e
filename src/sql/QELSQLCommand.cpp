#include "sql/QELSQLCommand.h"

#include "platform/QELException.h"
#include "sql/QELExpression.h"
#include "sql/QELExpressionErrors.h"
#include "sql/QELSQLErrors.h"

namespace qel {

namespace {

TQELSQLExecutor* gExecutor = nullptr;
thread_local std::int32_t gStatementDepth = 0;

}  // namespace

void QELSetSQLExecutor(TQELSQLExecutor* executor) { gExecutor = executor; }
TQELSQLExecutor* QELSQLExecutor() { return gExecutor; }


void QELSplitQuotedDatabase(std::string& tableName, std::string& databaseName) {
  if (tableName.size() < 2 || tableName[0] != '"') return;
  const std::size_t close = tableName.find('"', 1);
  if (close == std::string::npos) return;
  databaseName = tableName.substr(1, close - 1);
  tableName.erase(0, close + 1);
}

TQELStatementDepthGuard::TQELStatementDepthGuard(const TToken& at) {
  if (++gStatementDepth > kQELMaxStatementDepth) {
    --gStatementDepth;
    throw EQELException(kQELErrStatementTooDeep, "Statement nested too deeply at line %d, column %d",
                        {at.Line, at.Column});
  }
}

TQELStatementDepthGuard::~TQELStatementDepthGuard() { --gStatementDepth; }

TQELSelectListItem::TQELSelectListItem() = default;
TQELSelectListItem::TQELSelectListItem(TQELSelectListItem&&) noexcept = default;
TQELSelectListItem& TQELSelectListItem::operator=(TQELSelectListItem&&) noexcept = default;
TQELSelectListItem::~TQELSelectListItem() = default;

TQELSQLCommand::TQELSQLCommand(TQELLexer& lexer, TQELExprQuery* query)
    : FLexer(&lexer),
      FQuery(query),
      FInMemory(query != nullptr && query->InMemory()),
      FCommandNo(lexer.CurrentCommand()),
      FExecutor(QELSQLExecutor()) {
  if (GetCurrentToken()) {
    FLine = FToken.Line;
    FColumn = FToken.Column;
  }
}

TQELSQLCommand::~TQELSQLCommand() = default;

void TQELSQLCommand::Execute(TQELExprQuery* query, bool isQuery, TQELExprRecordSource* outerSource,
                             const std::uint8_t* outerBuffer, bool& resultReadOnly,
                             bool requestLive) {
  FRowsAffected = 0;
  FResult.reset();
  if (FExecutor == nullptr) {
    throw EQELException(kQELErrNoExecutor, "Statement execution is not available");
  }
  FExecutor->Execute(*this, query, isQuery, outerSource, outerBuffer, resultReadOnly, requestLive);
}

bool TQELSQLCommand::RerunExpressions(std::vector<TQELExpression*>&) { return false; }

TQELCursor* TQELSQLCommand::GetResultCursor() { return FResult ? FResult->Cursor() : nullptr; }

TQELSQLResult* TQELSQLCommand::GetResultDataSet() { return FResult.get(); }

// ---- Tokens --------------------------------------------------------------------

bool TQELSQLCommand::GetCurrentToken() {
  if (FLexer->GetCurrentToken(FToken)) return true;
  FToken.Text.clear();
  FToken.ParamValue.reset();
  return false;
}

bool TQELSQLCommand::GetNextToken() {
  FLexer->GetNextToken(FToken);
  return GetCurrentToken();
}

bool TQELSQLCommand::IsOperator(std::string_view text) const {
  return FToken.TokenType == tktString && FToken.Text == text;
}

bool TQELSQLCommand::IsName() const {
  switch (FToken.TokenType) {
    case tktString:
      return !FToken.Text.empty() &&
             std::string_view("+-*/=<>|!").find(FToken.Text[0]) == std::string_view::npos;
    case tktQuotedString:
    case tktBracketedString:
      return true;
    default:
      return false;
  }
}

bool TQELSQLCommand::ExpectNext(TTokenKinds kinds, std::int32_t code, std::string_view message) {
  if (!GetNextToken()) {
    if (code == -1) return false;
    RaiseEnd(kQELErrUnexpectedEndOfCommand);
  }
  if ((KindBit(FToken.TokenType) & kinds) == 0) RaiseFound(code, message);
  return true;
}

std::string TQELSQLCommand::NameText() const {
  if (FToken.TokenType == tktParameter) {
    return FToken.ParamValue && !FToken.ParamValue->IsNull() ? FToken.ParamValue->AsString()
                                                             : std::string();
  }
  return FToken.Text;
}

// ---- Errors --------------------------------------------------------------------

namespace {

// Where an error at `token` is reported: at the token, or past the end of
// the command at its last token.
void Position(const TQELLexer& lexer, const TToken& token, std::int32_t& line,
              std::int32_t& column) {
  line = token.Line;
  column = token.Column;
  if (token.TokenType != tktNone) return;
  const std::int32_t command = lexer.CurrentCommand();
  if (command < 0 || command >= lexer.NumCommands()) return;
  const auto& tokens = lexer.Commands()[static_cast<std::size_t>(command)].Tokens;
  if (tokens.empty()) return;
  line = tokens.back().Line;
  column = tokens.back().Column;
}

}  // namespace

void TQELSQLCommand::RaiseFound(std::int32_t code, std::string_view message) const {
  std::int32_t line = 0, column = 0;
  Position(*FLexer, FToken, line, column);
  throw EQELException(code, message, {QELPrintableTokenText(FToken.Text), line, column});
}

void TQELSQLCommand::RaiseExpected(std::int32_t code, std::string_view expected) const {
  std::int32_t line = 0, column = 0;
  Position(*FLexer, FToken, line, column);
  throw EQELException(code, kQELTokenExpectedMsg,
                      {expected, QELPrintableTokenText(FToken.Text), line, column});
}

void TQELSQLCommand::RaiseAt(std::int32_t code, std::string_view message) const {
  std::int32_t line = 0, column = 0;
  Position(*FLexer, FToken, line, column);
  throw EQELException(code, message, {line, column});
}

void TQELSQLCommand::RaiseEnd(std::int32_t code) const { RaiseAt(code, kQELMsgUnexpectedEnd); }

void TQELSQLCommand::RequireFirstToken(std::int32_t code) {
  if (!GetCurrentToken()) throw EQELException(code, kQELMsgBlank);
}

void TQELSQLCommand::ExpectEndOfCommand() const {
  if (!AtEnd()) RaiseFound(kQELErrEndExpected, kQELMsgEndExpected);
}

// ---- Shared clauses ------------------------------------------------------------

void TQELSQLCommand::ParseNameList(std::vector<std::string>& list) {
  list.clear();
  if (!IsName()) RaiseFound(10407, kQELMsgFieldExpressionExpected);
  while (true) {
    list.push_back(FToken.Text);
    GetNextToken();
    if (!IsKind(tktComma)) return;
    if (!GetNextToken()) RaiseFound(10408, kQELMsgFieldExpressionExpected);
    if (!IsName()) RaiseFound(10406, kQELMsgUnexpectedToken);
  }
}

void TQELSQLCommand::ParseFieldList(TQELFields& fields) {
  fields.Items.clear();
  bool first = true;
  while (true) {
    if (AtEnd()) RaiseFound(first ? 10409 : 10410, kQELMsgFieldExpressionExpected);
    const TToken start = FToken;
    std::unique_ptr<TQELExpression> expression = ParseValue();
    if (!expression || !expression->IsFieldReference()) {
      FToken = start;
      RaiseFound(first ? 10411 : 10412, kQELMsgFieldExpressionExpected);
    }
    TQELSelectListItem item;
    expression->GetFieldName(item.TableName, item.FieldName);
    fields.Items.push_back(std::move(item));
    if (!IsKind(tktComma)) return;
    GetNextToken();
    first = false;
  }
}

bool TQELSQLCommand::ParseAlias(std::string& alias) {
  if (IsWord(rwAS)) {
    ExpectNext(kNameKinds | KindBit(tktParameter), 30177, kQELMsgPseudonymExpected);
    if (IsKind(tktString) && !IsName()) RaiseFound(30177, kQELMsgPseudonymExpected);
  } else if (!(IsKind(tktParameter) || IsKind(tktBracketedString) ||
               (IsKind(tktString) && IsName()))) {
    return false;
  }
  alias = NameText();
  GetNextToken();
  return true;
}

void TQELSQLCommand::ParseTableTarget(TQELTableTarget& target, const TQELTableTargetCodes& codes) {
  if (AtEnd()) RaiseEnd(codes.Missing);
  target.InMemory = FInMemory;
  std::int32_t badName = codes.BadName;
  if (IsWord(rwMEMORY)) {
    target.InMemory = true;
    target.MemoryGiven = true;
    badName = codes.BadNameAfterMemory;
    if (!GetNextToken()) RaiseEnd(codes.Missing);
  }
  if (!IsKindOf(kTableNameKinds) || (IsKind(tktString) && !IsName())) {
    RaiseFound(badName, kQELMsgTableNameExpected);
  }
  target.TableName = NameText();
  if (IsKind(tktParameter)) QELSplitQuotedDatabase(target.TableName, target.DatabaseName);
  GetNextToken();
  if (IsKind(tktDot)) {
    if (!GetNextToken()) RaiseEnd(codes.Missing);
    if (!IsKindOf(kTableNameKinds) || (IsKind(tktString) && !IsName())) {
      RaiseFound(codes.BadNameAfterDot, kQELMsgTableNameExpected);
    }
    target.DatabaseName = std::move(target.TableName);
    target.TableName = NameText();
    GetNextToken();
  }
  ParseAlias(target.Alias);
  if (IsWord(rwPASSWORD)) {
    if (!GetNextToken()) RaiseEnd(codes.PasswordMissing);
    if (!IsKind(tktQuotedString) && !IsKind(tktParameter)) {
      RaiseFound(codes.PasswordBad, kQELMsgPasswordExpected);
    }
    target.Password = NameText();
    target.HasPassword = true;
    GetNextToken();
  }
}

std::unique_ptr<TQELExpression> TQELSQLCommand::ParseValue() {
  if (AtEnd()) return nullptr;
  const std::int32_t start = FLexer->GetCurrentTokenNo();
  auto expression = std::make_unique<TQELExpression>();
  expression->ParseValueExpression(FQuery, *FLexer);
  if (expression->IsEmpty()) {
    // Errors that follow name the token the value should have started at.
    FLexer->SetCurrentTokenNo(start);
    GetCurrentToken();
    return nullptr;
  }
  GetCurrentToken();
  return expression;
}

std::unique_ptr<TQELExpression> TQELSQLCommand::ParseCondition() {
  if (AtEnd()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
  auto expression = std::make_unique<TQELExpression>();
  expression->ParseSearchCondition(FQuery, *FLexer);
  GetCurrentToken();
  return expression;
}

}  // namespace qel
