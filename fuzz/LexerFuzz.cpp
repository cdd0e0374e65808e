// Fuzz target for the SQL lexer. Any text must either lex into well-formed
// commands or raise one of the lexer's own errors; crashes, hangs, leaks and
// undefined behaviour are found by the sanitizers around this.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/QELException.h"
#include "sql/QELLexer.h"

namespace {

using namespace qel;

[[noreturn]] void Fail(const char* what) {
  __builtin_printf("lexer invariant broken: %s\n", what);
  std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

// Named values "a" and "Name", and two values for "?" markers.
const TQELSQLParams& Params() {
  static const TQELSQLParams* params = [] {
    auto* list = new TQELSQLParams;
    TQELSQLParam& a = list->AddParam();
    a.SetName("a");
    a.SetAsInteger(7);
    TQELSQLParam& name = list->AddParam();
    name.SetName("Name");
    name.SetAsString("text value");
    return list;
  }();
  return *params;
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

void CheckToken(const TToken& token) {
  Check(token.TokenType >= tktString && token.TokenType <= tktDot, "token kind out of range");
  Check(token.Line >= 1 && token.Column >= 1, "position below 1");
  Check((token.TokenType == tktParameter) == (token.ParamValue != nullptr),
        "parameter value on the wrong kind of token");
  if (token.TokenType == tktReservedWord) {
    const std::int32_t word = FindReservedWord(token.Text);
    Check(word >= 0, "reserved-word token that spells no word");
    Check(token.ReservedWord == rwNone || token.ReservedWord == word, "wrong reserved-word number");
  } else {
    Check(token.ReservedWord == rwNone, "reserved-word number on another kind of token");
  }
  switch (token.TokenType) {
    case tktInt:
      Check(AllDigits(token.Text), "integer token with other characters");
      break;
    case tktFloat:
      Check(!token.Text.empty() && (token.Text[0] == '.' || AllDigits(token.Text.substr(0, 1))),
            "float token that starts with neither digit nor dot");
      break;
    case tktLeftParenthesis:
      Check(token.Text == "(", "left parenthesis text");
      break;
    case tktRightParenthesis:
      Check(token.Text == ")", "right parenthesis text");
      break;
    case tktComma:
      Check(token.Text == ",", "comma text");
      break;
    case tktDot:
      Check(token.Text == ".", "dot text");
      break;
    default:
      break;
  }
}

void CheckLexer(TQELLexer& lexer) {
  std::int32_t lastLine = 0;
  std::int32_t lastColumn = 0;
  for (const TSQLCommand& command : lexer.Commands()) {
    Check(command.NumTokens() > 0, "empty command");
    std::int32_t depth = 0;
    for (const TToken& token : command.Tokens) {
      CheckToken(token);
      // Tokens come in text order. (Columns need not grow strictly: a stray
      // UTF-8 continuation byte takes no column.)
      Check(token.Line > lastLine || (token.Line == lastLine && token.Column >= lastColumn),
            "tokens out of text order");
      lastLine = token.Line;
      lastColumn = token.Column;
      depth += token.TokenType == tktLeftParenthesis ? 1 : token.TokenType == tktRightParenthesis ? -1 : 0;
    }
    Check(depth == 0, "unbalanced parentheses accepted");
  }
  // The cursor visits every token of every command exactly once.
  TToken token;
  std::int32_t commands = 0;
  while (lexer.NextCommand()) {
    std::int32_t seen = lexer.GetCurrentToken(token) ? 1 : 0;
    while (lexer.GetNextToken(token)) ++seen;
    Check(seen == lexer.Commands()[static_cast<std::size_t>(commands)].NumTokens(), "cursor lost tokens");
    ++commands;
  }
  Check(commands == lexer.NumCommands(), "NextCommand skipped commands");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    TQELLexer lexer(text, &Params());
    CheckLexer(lexer);
  } catch (const EQELException& e) {
    const std::int32_t code = e.NativeError();
    Check(code == kQELErrMissingRightParenthesis || code == kQELErrUnexpectedRightParenthesis ||
              code == kQELErrUnterminatedString || code == kQELErrInvalidNumericSymbol ||
              code == kQELErrParameterNotFound,
          "unknown error code");
    const std::string_view message = e.what();
    Check(message.ends_with(" - Native error: " + std::to_string(code)), "message without its code");
    Check(code == kQELErrParameterNotFound || message.find(" at line ") != std::string_view::npos,
          "error without a position");
  }
  return 0;
}
