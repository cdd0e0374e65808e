#pragma once
// TQELExpressionParser: the grammar of conditions and values, over the
// tokens of the lexer's current command, for TQELExpression. Each Parse
// function tries one construct at the current position and answers its
// node, or null with the position unchanged; a construct that a keyword
// has committed to raises instead.
//
// The constructs that several alternatives try at the same position (row
// values, values, primaries, string and date values) remember their answer
// per position for the length of one parse; a repeated try takes a copy of
// the remembered node.

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sql/QELExprNode.h"
#include "sql/QELLexer.h"

namespace qel {

class TQELExpression;
class TQELExprNodeCase;

class TQELExpressionParser {
 public:
  using TNode = std::unique_ptr<TQELExprNode>;

  // Starts at the lexer's current token of its current command.
  TQELExpressionParser(TQELExpression& owner, TQELLexer& lexer);

  TNode ParseCondition() { return S1(); }
  TNode ParseValue() { return V1(); }
  // A SELECT, bare or in parentheses.
  TNode ParseSubquery() { return Subquery(); }

  // The token number the parse stopped at.
  std::int32_t Position() const { return FPos; }
  const TToken& Current() const { return Tok(); }
  bool AtEnd() const { return FPos >= static_cast<std::int32_t>(FTokens.size()); }

 private:
  enum TRule : std::uint8_t { ruleR2, ruleV1, ruleP1, ruleC1, ruleD1, ruleD2, ruleCount };
  // A construct's answer at one position: the node (null when it failed)
  // and the position after it.
  struct TMemo {
    std::int32_t End = 0;
    TNode Node;
  };
  class TDepthGuard;

  // Tokens.
  const TToken& Tok() const;
  const TToken& Peek(std::int32_t ahead) const;
  void Next() { ++FPos; }
  bool IsWord(std::uint16_t word) const { return IsReservedWord(Tok(), word); }
  bool IsKind(TTokenType kind) const { return Tok().TokenType == kind; }
  bool IsOperator(std::string_view text) const;
  // Moves on; raises 30063 when that leaves the command.
  void Expect();

  // Errors at the current token.
  [[noreturn]] void RaiseExpected(std::int32_t code, std::string_view expected) const;
  [[noreturn]] void RaiseFound(std::int32_t code, std::string_view message) const;
  [[noreturn]] void RaiseArgument(std::int32_t code, std::string_view function) const;
  [[noreturn]] void RaiseAt(std::int32_t code, std::string_view message) const;
  [[noreturn]] void RaiseFoundFor(std::int32_t code, std::string_view message,
                                  std::string_view function) const;
  void Require(TTokenType kind, std::int32_t code, std::string_view expected);
  void RequireWord(std::uint16_t word, std::int32_t code, std::string_view expected);
  // The value of "value [NOT] word" (NOT sets `negated`), the position past
  // the word; null when the text is not of that form.
  TNode ValueBefore(std::uint16_t word, bool& negated);
  // `node`, or RaiseFound(code, message) when there is none.
  TNode Needed(TNode node, std::int32_t code, std::string_view message) const;

  template <class TParse>
  TNode Remembered(TRule rule, TParse&& parse);
  // The first of `alternatives` that parses from `start`; when none does
  // the position goes back to `start` if asked, else stays where the last
  // one left it (the errors that follow name the token there).
  using TAlternative = TNode (TQELExpressionParser::*)();
  TNode FirstOf(std::int32_t start, std::span<const TAlternative> alternatives,
                bool restoreOnFailure);

  // Search conditions.
  TNode S1();
  TNode S2();
  TNode S3();
  TNode S4();
  TNode S5();
  TNode S6();
  TNode QuantifiedComparison();
  TNode Comparison();
  TNode Like();
  TNode IsNullTest();
  TNode Between();
  TNode In();
  TNode Exists();
  // Row values and values.
  TNode R2();
  TNode R1();
  TNode V1();
  TNode N1();
  TNode N2();
  TNode N3();
  TNode N4();
  TNode P1();
  TNode F1();
  TNode C1();
  TNode C2();
  TNode D1();
  TNode D2();
  TNode L1();
  TNode L2();
  // A function's numeric or string argument; a NULL literal is one too.
  TNode NumericArgument();
  TNode StringArgument();
  TNode MimeToBin();
  // Primaries and functions.
  TNode Literal();
  TNode DateLiteral();
  TNode ColumnReference();
  TNode SetFunction();
  TNode Subquery();
  TNode CaseExpression();
  // The codes of a CASE form's errors: a missing WHEN operand, THEN,
  // result, ELSE result and END.
  struct TCaseCodes {
    std::int32_t When, Then, Result, Else, End;
  };
  // The ", 'format')" that ends TODATE and TOSTRING, and their node over
  // `value`; the codes of a missing comma, format and ')'.
  struct TFormatCodes {
    std::int32_t Comma, Format, Close;
  };
  TNode FormatCall(TQELExprOperator op, TNode value, const TFormatCodes& codes);
  // The WHEN ... THEN ... [ELSE ...] END of a CASE.
  void CaseBranches(TQELExprNodeCase& node, bool searched, const TCaseCodes& codes);
  TNode Coalesce();
  TNode ParenthesisedValue();
  TNode Cast();
  TNode StringFunction();
  TNode Position_();
  TNode Extract();
  TNode Length();
  TNode LastAutoinc();
  TNode MathFunction();
  // The tokens of a SELECT from the current one to the ')' that closes the
  // parenthesis it stands in (or the command's end), as a subquery node.
  TNode SkipSelect();

  TQELExpression& FOwner;
  TQELLexer& FLexer;
  const std::vector<TToken>& FTokens;
  std::int32_t FPos;
  // What Tok() answers past the last token: no kind, no text, the last
  // token's position.
  TToken FEndToken;
  std::int32_t FDepth = 0;
  std::unordered_map<std::int64_t, TMemo> FMemo;
};

}  // namespace qel
