#pragma once
// START TRANSACTION, COMMIT [... FLUSH] and ROLLBACK on the query's
// database.

#include "sql/QELSQLCommand.h"

namespace qel {

class TQELSQLStartTransaction final : public TQELSQLCommand {
 public:
  TQELSQLStartTransaction(TQELLexer& lexer, TQELExprQuery* query);
  void Parse() override;
};

class TQELSQLCommit final : public TQELSQLCommand {
 public:
  TQELSQLCommit(TQELLexer& lexer, TQELExprQuery* query);
  void Parse() override;

  // FLUSH appeared anywhere after COMMIT: the file is flushed as well.
  bool Flush() const { return FFlush; }

 private:
  bool FFlush = false;
};

class TQELSQLRollback final : public TQELSQLCommand {
 public:
  TQELSQLRollback(TQELLexer& lexer, TQELExprQuery* query);
  void Parse() override;
};

}  // namespace qel
