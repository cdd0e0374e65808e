// TQELQuery: the provider hooks, with the table name and the order read
// off the statement text through the lexer.

#include <string>

#include "components/QELQuery.h"
#include "sql/QELLexer.h"

namespace qel {

namespace {

bool IsNameToken(const TToken& token) {
  return token.TokenType == tktString || token.TokenType == tktBracketedString ||
         token.TokenType == tktQuotedString;
}

// The tokens of the text's first statement at parenthesis depth 0 (a
// subquery's FROM or ORDER BY is not the statement's); empty when the text
// does not lex.
std::vector<TToken> TopLevelTokens(const std::string& sql) {
  std::vector<TToken> tokens;
  try {
    TQELLexer lexer(sql, nullptr);
    if (lexer.NumCommands() == 0) return tokens;
    // An opening parenthesis stays, so that a derived table after FROM is
    // not taken for a table name.
    int depth = 0;
    for (const TToken& token : lexer.Commands()[0].Tokens) {
      if (token.TokenType == tktLeftParenthesis) {
        if (depth++ == 0) tokens.push_back(token);
      } else if (token.TokenType == tktRightParenthesis) {
        if (depth > 0) --depth;
      } else if (depth == 0) {
        tokens.push_back(token);
      }
    }
  } catch (...) {
    tokens.clear();
  }
  return tokens;
}

}  // namespace

void TQELQuery::PSSetParams(const TParams& params) {
  if (params.Count() > 0) FParams = params;
  Close();
}

void TQELQuery::PSSetCommandText(const std::string& text) {
  if (!text.empty()) SetSQLText(text);
}

std::string TQELQuery::PSGetTableName() {
  const std::vector<TToken> tokens = TopLevelTokens(SQLText());
  for (std::size_t i = 0; i + 1 < tokens.size(); ++i) {
    if (tokens[i].ReservedWord != rwFROM) continue;
    std::size_t at = i + 1;
    // "database.table" names the table last.
    if (at + 2 < tokens.size() && tokens[at + 1].TokenType == tktDot) at += 2;
    return IsNameToken(tokens[at]) ? tokens[at].Text : std::string();
  }
  return {};
}

std::unique_ptr<TIndexDef> TQELQuery::PSGetDefaultOrder() {
  if (std::unique_ptr<TIndexDef> inherited = TQELDataSet::PSGetDefaultOrder()) return inherited;
  const std::vector<TToken> tokens = TopLevelTokens(SQLText());
  std::size_t at = 0;
  while (at + 1 < tokens.size() && !(tokens[at].ReservedWord == rwORDER && tokens[at + 1].ReservedWord == rwBY)) {
    ++at;
  }
  if (at + 1 >= tokens.size()) return nullptr;
  auto order = std::make_unique<TIndexDef>();
  auto append = [](std::string& list, const std::string& name) { list += (list.empty() ? "" : ";") + name; };
  for (at += 2; at < tokens.size() && IsNameToken(tokens[at]); ++at) {
    const std::string name = tokens[at].Text;
    append(order->Fields, name);
    if (at + 1 < tokens.size() && (tokens[at + 1].ReservedWord == rwASC || tokens[at + 1].ReservedWord == rwDESC)) {
      if (tokens[++at].ReservedWord == rwDESC) append(order->DescFields, name);
    }
    if (at + 1 >= tokens.size() || tokens[at + 1].TokenType != tktComma) break;
    ++at;
  }
  if (order->Fields.empty()) return nullptr;
  return order;
}

}  // namespace qel
