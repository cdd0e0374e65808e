#pragma once
// Cutting a script into statements at the semicolons that end them. The
// rules follow the SQL lexer's own reading of a text, so that a ';' inside a
// quoted literal or name, or inside a comment, never ends a statement, while
// a quote in the middle of a word ("abc'd") opens nothing, just as the lexer
// reads it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qel::tool {

struct TShellStatement {
  // From the statement's first character to its ';' (not included).
  std::string Text;
  // Line of the script its first character is on, from 1.
  std::int32_t FirstLine = 1;
};

struct TSplitScript {
  // Every statement ended by a ';', in order; statements of nothing but
  // blanks and comments are left out.
  std::vector<TShellStatement> Statements;
  // What follows the last ';' from its first token on: an unfinished
  // statement. Empty when only blanks and comments remain, unless the text
  // ends inside a block comment, which then starts the rest.
  TShellStatement Rest;
  // The text ends inside a quote or a block comment.
  bool RestOpen = false;
  // The rest holds no token.
  bool RestIsBlank = true;
};

TSplitScript SplitStatements(std::string_view script);

// Whether `text` holds nothing but blanks and comments.
bool IsBlankSql(std::string_view text);

}  // namespace qel::tool
