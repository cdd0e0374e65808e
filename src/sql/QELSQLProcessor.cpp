#include "sql/QELSQLProcessor.h"

#include "platform/QELException.h"
#include "sql/QELSQLErrors.h"

namespace qel {

TQELSQLProcessor::TQELSQLProcessor() = default;

TQELSQLProcessor::~TQELSQLProcessor() {
  // Statements refer to the lexer: they go first.
  FStatement.reset();
}

std::string TQELSQLProcessor::TQueryView::DatabaseName() const {
  return FProcessor.FQuery != nullptr ? FProcessor.FQuery->DatabaseName() : std::string();
}

std::string TQELSQLProcessor::TQueryView::SessionName() const {
  return FProcessor.FQuery != nullptr ? FProcessor.FQuery->SessionName() : std::string();
}

void TQELSQLProcessor::Start() {
  FRerun.Clear();
  FRowsAffected = 0;
  FResultReadOnly = false;
  FStatement.reset();
  FLexer.reset();
  FLexer = std::make_unique<TQELLexer>(FSQLText, &FParams);
  FCommandCount = FLexer->NumCommands();
}

TQELCursor* TQELSQLProcessor::ExecuteSQL() {
  if (RunAgain()) return FStatement->GetResultCursor();
  Start();
  while (ParseNextStatement()) {
    if (FCommandCount == 1) FRerun.Capture(*FStatement, *FLexer, FParams);
    RunStatement();
  }
  return FStatement ? FStatement->GetResultCursor() : nullptr;
}

void TQELSQLProcessor::RunStatement() {
  try {
    FStatement->Execute(&FQueryView, true, nullptr, nullptr, FResultReadOnly, FRequestLive);
  } catch (...) {
    // What a failed run left behind is not trusted: the next run reads the
    // text again.
    FRerun.Clear();
    throw;
  }
  FRowsAffected += FStatement->RowsAffected();
}

bool TQELSQLProcessor::RunAgain() {
  if (!FStatement || !FRerun.Apply(FParams)) return false;
  FRowsAffected = 0;
  FResultReadOnly = false;
  RunStatement();
  return true;
}

void TQELSQLProcessor::ExecSQL() { ExecuteSQL(); }

std::int32_t TQELSQLProcessor::ParseSQL() {
  Start();
  std::int32_t count = 0;
  while (ParseNextStatement()) ++count;
  return count;
}

bool TQELSQLProcessor::ParseNextStatement() {
  if (FCommandCount == 0) throw EQELException(kQELErrNoCommand, kQELMsgBlank);
  if (FLexer->CurrentCommand() + 1 >= FCommandCount) return false;
  FLexer->NextCommand();
  FRerun.Clear();
  FStatement.reset();
  FStatement = CreateStatement();
  return true;
}

std::unique_ptr<TQELSQLCommand> TQELSQLProcessor::CreateStatement() {
  TQELLexer& lexer = *FLexer;
  TQELExprQuery* query = &FQueryView;
  TToken token;
  if (!lexer.GetCurrentToken(token)) throw EQELException(kQELErrNoFirstToken, kQELMsgBlank);
  TToken next;
  lexer.LookNextToken(next);
  // The word after CREATE, DROP and ALTER names the kind of object.
  const auto objectWord = [&](std::int32_t missingCode, std::int32_t wrongCode) {
    if (next.TokenType == tktNone) {
      return EQELException(missingCode, kQELMsgUnexpectedEnd, {token.Line, token.Column});
    }
    return EQELException(wrongCode, kQELMsgObjectTypeExpected,
                         {QELPrintableTokenText(next.Text), next.Line, next.Column});
  };
  std::unique_ptr<TQELSQLCommand> statement;
  if (IsReservedWord(token, rwSELECT) || token.TokenType == tktLeftParenthesis) {
    auto select = std::make_unique<TQELSQLUnion>(lexer, query);
    TToken rest;
    if (lexer.GetCurrentToken(rest)) {
      throw EQELException(kQELErrEndExpected, kQELMsgEndExpected,
                          {QELPrintableTokenText(rest.Text), rest.Line, rest.Column});
    }
    statement = std::move(select);
  } else if (IsReservedWord(token, rwINSERT)) {
    statement = std::make_unique<TQELSQLInsert>(lexer, query);
  } else if (IsReservedWord(token, rwUPDATE)) {
    statement = std::make_unique<TQELSQLUpdate>(lexer, query);
  } else if (IsReservedWord(token, rwDELETE)) {
    statement = std::make_unique<TQELSQLDelete>(lexer, query);
  } else if (IsReservedWord(token, rwCREATE)) {
    if (IsReservedWord(next, rwTABLE)) {
      statement = std::make_unique<TQELDDLCreateTable>(lexer, query);
    } else if (IsReservedWord(next, rwUNIQUE) || IsReservedWord(next, rwINDEX)) {
      statement = std::make_unique<TQELDDLCreateIndex>(lexer, query);
    } else {
      throw objectWord(30148, 30147);
    }
  } else if (IsReservedWord(token, rwDROP)) {
    if (IsReservedWord(next, rwTABLE)) {
      statement = std::make_unique<TQELDDLDropTable>(lexer, query);
    } else if (IsReservedWord(next, rwINDEX)) {
      statement = std::make_unique<TQELDDLDropIndex>(lexer, query);
    } else {
      throw objectWord(30150, 30149);
    }
  } else if (IsReservedWord(token, rwALTER)) {
    if (!IsReservedWord(next, rwTABLE)) throw objectWord(30152, 30151);
    statement = std::make_unique<TQELDDLAlterTable>(lexer, query);
  } else if (IsReservedWord(token, rwRENAME)) {
    if (next.TokenType == tktNone) {
      throw EQELException(30353, kQELMsgUnexpectedEnd, {token.Line, token.Column});
    }
    statement = std::make_unique<TQELDDLRenameTable>(lexer, query);
  } else if (IsReservedWord(token, rwTRUNCATE)) {
    statement = std::make_unique<TQELDDLTruncateTable>(lexer, query);
  } else if (IsReservedWord(token, rwSTART)) {
    statement = std::make_unique<TQELSQLStartTransaction>(lexer, query);
  } else if (IsReservedWord(token, rwCOMMIT)) {
    statement = std::make_unique<TQELSQLCommit>(lexer, query);
  } else if (IsReservedWord(token, rwROLLBACK)) {
    statement = std::make_unique<TQELSQLRollback>(lexer, query);
  } else {
    throw EQELException(token.TokenType == tktReservedWord ? 30153 : 30154,
                        kQELMsgSqlTokenExpected,
                        {QELPrintableTokenText(token.Text), token.Line, token.Column});
  }
  if (FExecutor != nullptr) statement->SetExecutor(FExecutor);
  return statement;
}

}  // namespace qel
