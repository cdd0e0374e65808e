#pragma once
// CREATE [UNIQUE] INDEX name ON table (fields) and DROP INDEX
// [database.]table.index.

#include <string>

#include "sql/QELDDLTable.h"

namespace qel {

class TQELDDLCreateIndex final : public TQELSQLCommand {
 public:
  TQELDDLCreateIndex(TQELLexer& lexer, TQELExprQuery* query);
  void Parse() override;

  const TQELTableTarget& Table() const { return FTable; }
  const TQELSQLIndex& Index() const { return FIndex; }
  // PASSWORD given inside the field list: the table's password.
  const std::string& TablePassword() const { return FTablePassword; }

 private:
  void ParseFields();

  TQELTableTarget FTable;
  TQELSQLIndex FIndex;
  std::string FTablePassword;
};

class TQELDDLDropIndex final : public TQELSQLCommand {
 public:
  TQELDDLDropIndex(TQELLexer& lexer, TQELExprQuery* query);
  void Parse() override;

  // The table (with its database and password) and the index name.
  const TQELTableTarget& Table() const { return FTable; }
  const std::string& IndexName() const { return FIndexName; }

 private:
  TQELTableTarget FTable;
  std::string FIndexName;
};

}  // namespace qel
