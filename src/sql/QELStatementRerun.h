#pragma once
// TQELStatementRerun: what lets a statement read once run again with new
// parameter values, so that a prepared query does not lex and parse its
// text for every execution.
//
// A parameter's value reaches a statement as a constant of its
// expressions, but the parser also chooses its reading by the kind of the
// value (a date, a truth value, a NULL of a type, a number or text) and
// may read the value itself (a LIKE pattern with a fixed prefix, an ESCAPE
// character, TOP, a table name). The statement runs again only when every
// marker of its text is found, unchanged, as such a constant, no
// subquery is involved, and each new value is of the kind the first one
// was; otherwise the text is read again as before.

#include <cstdint>
#include <string>
#include <vector>

#include "sql/QELSQLCommand.h"
#include "sql/QELSQLParams.h"

namespace qel {

class TQELExprNode;
class TQELExprNodeConst;

class TQELStatementRerun {
 public:
  // Takes note of `statement`, just parsed from the only command of
  // `lexer` with `params`; answers whether it may run again.
  bool Capture(TQELSQLCommand& statement, const TQELLexer& lexer, const TQELSQLParams& params);
  // Puts the values of `params` into the captured statement. False, with
  // nothing changed, when there is none or a value's kind differs from the
  // one it was read with.
  bool Apply(const TQELSQLParams& params);
  void Clear() {
    FMarkers.clear();
    FCaptured = false;
  }

 private:
  struct TMarker {
    std::string Name;
    bool Positional = false;
    TQELBaseFieldType Type = bftUnknown;
    bool IsNull = false;
    std::vector<TQELExprNodeConst*> Constants;
  };

  static const TQELVariant* ValueOf(const TMarker& marker, const TQELSQLParams& params);
  bool CollectConstants(TQELExprNode& node, const TQELSQLParams& params);

  std::vector<TMarker> FMarkers;
  bool FCaptured = false;
};

}  // namespace qel
