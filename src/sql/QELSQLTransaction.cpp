#include "sql/QELSQLTransaction.h"

#include "sql/QELSQLErrors.h"

namespace qel {

TQELSQLStartTransaction::TQELSQLStartTransaction(TQELLexer& lexer, TQELExprQuery* query)
    : TQELSQLCommand(lexer, query) {
  Parse();
}

void TQELSQLStartTransaction::Parse() {
  RequireFirstToken(30457);
  if (!IsWord(rwSTART)) RaiseExpected(30458, "START");
  if (!GetNextToken()) RaiseEnd(30459);
  if (!IsWord(rwTRANSACTION)) RaiseExpected(30460, "TRANSACTION");
  GetNextToken();
  ExpectEndOfCommand();
}

TQELSQLCommit::TQELSQLCommit(TQELLexer& lexer, TQELExprQuery* query) : TQELSQLCommand(lexer, query) {
  Parse();
}

void TQELSQLCommit::Parse() {
  RequireFirstToken(30461);
  if (!IsWord(rwCOMMIT)) RaiseExpected(30462, "COMMIT");
  while (GetNextToken()) {
    if (IsWord(rwFLUSH)) FFlush = true;
  }
}

TQELSQLRollback::TQELSQLRollback(TQELLexer& lexer, TQELExprQuery* query)
    : TQELSQLCommand(lexer, query) {
  Parse();
}

void TQELSQLRollback::Parse() {
  RequireFirstToken(30463);
  if (!IsWord(rwROLLBACK)) RaiseExpected(30464, "ROLLBACK");
  GetNextToken();
  ExpectEndOfCommand();
}

}  // namespace qel
