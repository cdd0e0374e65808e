#include "sql/QELDDLIndex.h"

#include "platform/QELException.h"
#include "sql/QELSQLErrors.h"

namespace qel {

TQELDDLCreateIndex::TQELDDLCreateIndex(TQELLexer& lexer, TQELExprQuery* query)
    : TQELSQLCommand(lexer, query) {
  Parse();
}

void TQELDDLCreateIndex::Parse() {
  RequireFirstToken(30266);
  GetNextToken();
  if (IsWord(rwUNIQUE)) {
    FIndex.IsUnique = true;
    if (!GetNextToken()) RaiseEnd(30268);
    if (!IsWord(rwINDEX)) RaiseFound(30267, "'INDEX' keyword expected, but '%s' found at line %d, column %d");
  }
  if (!GetNextToken()) RaiseEnd(kQELErrUnexpectedEndOfCommand);
  if (!IsName()) RaiseFound(30269, kQELMsgIndexNameExpected);
  FIndex.Name = FToken.Text;
  if (!GetNextToken()) RaiseEnd(30271);
  if (!IsWord(rwON)) RaiseFound(30270, "'ON' keyword expected, but '%s' found at line %d, column %d");
  GetNextToken();
  ParseTableTarget(FTable, kQELTableTargetCodes);
  if (!IsKind(tktLeftParenthesis)) RaiseFound(30273, kQELMsgLeftParenthesisExpected);
  ParseFields();
  ExpectEndOfCommand();
}

void TQELDDLCreateIndex::ParseFields() {
  while (true) {
    if (!GetNextToken()) RaiseEnd(30277);
    if (IsWord(rwPASSWORD)) {
      GetNextToken();
      if (!IsKind(tktQuotedString) && !IsKind(tktParameter)) RaiseFound(30275, kQELMsgPasswordExpected);
      FTablePassword = NameText();
      GetNextToken();
      if (!IsKind(tktRightParenthesis) && !IsKind(tktComma)) {
        RaiseFound(30276, kQELMsgParenthesisOrCommaExpected);
      }
    } else {
      if (!IsName() && !(IsKind(tktReservedWord) && FToken.ReservedWord == rwNone)) {
        RaiseFound(30274, kQELMsgFieldNameExpected);
      }
      TQELSQLIndexField field{FToken.Text, false, false};
      GetNextToken();
      // ASC and CASE are the defaults; other words up to the next "," or
      // ")" are passed over.
      while (!AtEnd() && !IsKind(tktComma) && !IsKind(tktRightParenthesis)) {
        if (IsWord(rwDESC)) field.Descending = true;
        if (IsWord(rwNOCASE)) field.CaseInsensitive = true;
        GetNextToken();
      }
      FIndex.Fields.push_back(std::move(field));
    }
    if (AtEnd()) RaiseEnd(30277);
    if (IsKind(tktRightParenthesis)) break;
  }
  GetNextToken();
}

TQELDDLDropIndex::TQELDDLDropIndex(TQELLexer& lexer, TQELExprQuery* query)
    : TQELSQLCommand(lexer, query) {
  Parse();
}

void TQELDDLDropIndex::Parse() {
  RequireFirstToken(30278);
  GetNextToken();  // INDEX
  if (!GetNextToken()) RaiseEnd(30278);
  FTable.InMemory = FInMemory;
  if (IsWord(rwMEMORY)) {
    FTable.InMemory = true;
    FTable.MemoryGiven = true;
    if (!GetNextToken()) RaiseEnd(30278);
  }
  // database.table.index or table.index: the last name is the index.
  std::vector<std::string> names;
  while (true) {
    if (!IsKindOf(kTableNameKinds) || (IsKind(tktString) && !IsName())) {
      RaiseFound(30498, kQELMsgTableNameExpected);
    }
    names.push_back(NameText());
    GetNextToken();
    if (!IsKind(tktDot) || names.size() == 3) break;
    if (!GetNextToken()) RaiseEnd(30281);
  }
  if (names.size() < 2) RaiseFound(30498, kQELMsgTableNameExpected);
  FIndexName = names.back();
  FTable.TableName = names[names.size() - 2];
  if (names.size() == 3) FTable.DatabaseName = names[0];
  if (IsWord(rwPASSWORD)) {
    GetNextToken();
    if (!IsKind(tktQuotedString) && !IsKind(tktParameter)) RaiseFound(30282, kQELMsgPasswordExpected);
    FTable.Password = NameText();
    FTable.HasPassword = true;
    GetNextToken();
  }
  ExpectEndOfCommand();
}

}  // namespace qel
