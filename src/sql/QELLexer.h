#pragma once
// The SQL lexer. One SQL text, which may hold several statements separated
// by semicolons, becomes a list of commands, each an array of tokens with
// their kind, text, reserved-word number, parameter value and position.
//
// The whole text is tokenized in the constructor, parameter markers
// included, so a lexical error or a missing parameter value stops the text
// before any statement of it is parsed or run. The parsers then walk the
// tokens of the current command through the cursor kept here, saving and
// restoring the token number to backtrack.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sql/QELReservedWords.h"
#include "sql/QELSQLParams.h"
#include "values/QELVariant.h"

namespace qel {

enum TTokenType : std::uint8_t {
  tktNone = 0,              // what the cursor answers where there is no token
  tktString = 1,            // a word, a name in backticks, an operator
  tktQuotedString = 2,      // a literal in single or double quotes
  tktBracketedString = 3,   // a name in square brackets
  tktInt = 4,               // a number without decimal point or exponent
  tktFloat = 5,             // a number with either
  tktReservedWord = 6,      // a word of the reserved-word table
  tktParameter = 7,         // ":name" or "?", with its value
  tktLeftParenthesis = 8,
  tktRightParenthesis = 9,
  tktComma = 10,
  tktDot = 11,
};

struct TToken {
  TTokenType TokenType = tktNone;
  // The word's number for tktReservedWord tokens that name a word, else
  // rwNone (also for a word in backticks, which is a name).
  std::uint16_t ReservedWord = rwNone;
  // Quotes removed and doubled quotes undoubled; a parameter's name without
  // its colon, "Param<n>" for the n-th "?" of the text.
  std::string Text;
  // The parameter's value for tktParameter tokens, else null. Copies of a
  // token share the value, which nobody changes after lexing.
  std::shared_ptr<const TQELVariant> ParamValue;
  // For tktParameter tokens: the marker's number among the text's markers
  // (from 0), and whether it is a "?" (whose value is found by position).
  std::int32_t ParamNo = -1;
  bool Positional = false;
  // Position of the token's first character, both from 1. A line feed
  // starts a line; a carriage return takes no column; a tab takes one.
  std::int32_t Line = 0;
  std::int32_t Column = 0;
};

// One statement: its tokens and a cursor over them.
struct TSQLCommand {
  std::vector<TToken> Tokens;
  std::int32_t CurrentToken = 0;

  std::int32_t NumTokens() const { return static_cast<std::int32_t>(Tokens.size()); }
};

// Native codes of the lexer's errors.
inline constexpr std::int32_t kQELErrMissingRightParenthesis = 30059;
inline constexpr std::int32_t kQELErrUnexpectedRightParenthesis = 30060;
inline constexpr std::int32_t kQELErrUnterminatedString = 30061;
inline constexpr std::int32_t kQELErrInvalidNumericSymbol = 30062;
inline constexpr std::int32_t kQELErrParameterNotFound = 30358;

class TQELLexer {
 public:
  // Tokenizes `sqlText`, resolving markers against `params` (not owned; may
  // be null, which supplies no values). Raises EQELException for a lexical
  // error or a marker without a value.
  TQELLexer(std::string sqlText, const TQELSQLParams* params);
  TQELLexer(const TQELLexer&) = delete;
  TQELLexer& operator=(const TQELLexer&) = delete;

  const std::string& SQLText() const { return FSQLText; }
  const TQELSQLParams* Params() const { return FParams; }
  std::int32_t NumCommands() const { return static_cast<std::int32_t>(FCommands.size()); }
  const std::vector<TSQLCommand>& Commands() const { return FCommands; }

  // -1 before the first NextCommand.
  std::int32_t CurrentCommand() const { return FCurrentCommand; }
  // Makes command `no` current (with its own token cursor unchanged), e.g.
  // to go back to a subquery; answers whether there is such a command.
  bool SetCurrentCommand(std::int32_t no);
  // Steps to the next command; false when there is none left. Call once
  // before reading the first command.
  bool NextCommand();

  // The token at the cursor. Without one, only the kind of `token` is set
  // (to tktNone) and the answer is false.
  bool GetCurrentToken(TToken& token) const;
  // The token after the cursor, without moving. Without one, `token` gets
  // kind tktNone and an empty text, and the answer is false.
  bool LookNextToken(TToken& token) const;
  // LookNextToken, then moves the cursor one on, also past the end.
  bool GetNextToken(TToken& token);
  std::int32_t GetCurrentTokenNo() const;
  // Moves the cursor to `no`; answers whether `no` is below the command's
  // token count.
  bool SetCurrentTokenNo(std::int32_t no);
  bool GotoToken(std::int32_t no, TToken& token);

  // Build a command of the caller's own: AddCommand appends an empty
  // command and makes it current; AddToken appends a copy of `token` to the
  // current command (starting one when there is none) and puts the cursor
  // on it.
  void AddCommand();
  void AddToken(const TToken& token);

 private:
  TSQLCommand* Current();
  const TSQLCommand* Current() const;

  std::string FSQLText;
  const TQELSQLParams* FParams;
  std::vector<TSQLCommand> FCommands;
  std::int32_t FCurrentCommand = -1;
};

// True when `token` is a reserved word and `word` is its number, or `word`
// is rwAny.
inline bool IsReservedWord(const TToken& token, std::uint16_t word) {
  return token.TokenType == tktReservedWord && (word == rwAny || token.ReservedWord == word);
}

// A token's text fit for a message: control characters become "\xHH", so
// that a zero byte cannot cut the message short.
std::string QELPrintableTokenText(std::string_view text);

// The names of the parameter markers of `sqlText` in order of appearance,
// repeats included (":name" without its colon, "Param<n>" for the n-th "?"),
// found by the same scan that lexes statements; raises the lexer's errors.
std::vector<std::string> QELParameterMarkers(std::string_view sqlText);

}  // namespace qel
