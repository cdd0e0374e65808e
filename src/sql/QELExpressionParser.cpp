#include "sql/QELExpressionParser.h"

#include <cmath>
#include <string>

#include "platform/QELException.h"
#include "sql/QELExprNodeAggregated.h"
#include "sql/QELExprNodeArithmetic.h"
#include "sql/QELExprNodeBlob.h"
#include "sql/QELExprNodeBoolean.h"
#include "sql/QELExprNodeCase.h"
#include "sql/QELExprNodeCast.h"
#include "sql/QELExprNodeComparison.h"
#include "sql/QELExprNodeDateFunction.h"
#include "sql/QELExprNodeField.h"
#include "sql/QELExprNodeStringFunction.h"
#include "sql/QELExprNodeSubquery.h"
#include "sql/QELExprNodeSystem.h"
#include "sql/QELExpression.h"
#include "sql/QELExpressionErrors.h"
#include "storage/QELFieldTypes.h"
#include "values/QELValueErrors.h"
#include "values/QELValueText.h"

namespace qel {

namespace {

using TNode = TQELExpressionParser::TNode;

const std::vector<TToken>& CommandTokens(const TQELLexer& lexer) {
  static const std::vector<TToken> kNone;
  const std::int32_t command = lexer.CurrentCommand();
  if (command < 0 || command >= lexer.NumCommands()) return kNone;
  return lexer.Commands()[static_cast<std::size_t>(command)].Tokens;
}


std::int64_t CharacterCount(std::string_view text) {
  std::int64_t count = 0;
  for (const char c : text) count += (static_cast<std::uint8_t>(c) & 0xC0) == 0x80 ? 0 : 1;
  return count;
}

TNode MakeConst(const TQELVariant& value) { return std::make_unique<TQELExprNodeConst>(value); }

TNode MakeNullConst(TQELBaseFieldType type) { return MakeConst(TQELVariant(type)); }

// A constant that holds a parameter's value, marked with the parameter.
TNode MakeParamConst(const TToken& token, const TQELVariant& value) {
  auto node = std::make_unique<TQELExprNodeConst>(value);
  node->SetParamNo(token.ParamNo);
  return node;
}

TNode MakeBoolean(TQELExprOperator op, TNode first, TNode second = nullptr) {
  auto node = std::make_unique<TQELExprNodeBoolean>(op);
  node->AddChild(std::move(first));
  if (second) node->AddChild(std::move(second));
  return node;
}

TNode MakeNegation(TNode operand) {
  auto node = std::make_unique<TQELExprNodeArithmetic>(eoNegate);
  node->AddChild(std::move(operand));
  return node;
}

const TQELExprNodeConst* AsConst(const TQELExprNode& node) {
  return dynamic_cast<const TQELExprNodeConst*>(&node);
}

bool IsField(const TQELExprNode& node) {
  return dynamic_cast<const TQELExprNodeField*>(&node) != nullptr;
}

bool IsNullConst(const TQELExprNode& node) {
  const TQELExprNodeConst* constant = AsConst(node);
  return constant != nullptr && constant->Value().IsNull();
}

bool IsStringConst(const TQELExprNode& node) {
  const TQELExprNodeConst* constant = AsConst(node);
  return constant != nullptr && !constant->Value().IsNull() && constant->Value().IsString();
}

// A name token: a word, a name in brackets or backticks. Operators are
// words to the lexer, but never names.
bool IsNameToken(const TToken& token) {
  switch (token.TokenType) {
    case tktString:
      return !token.Text.empty() &&
             std::string_view("+-*/=<>|!").find(token.Text[0]) == std::string_view::npos;
    case tktBracketedString: return true;
    case tktReservedWord: return token.ReservedWord == rwNone;
    default: return false;
  }
}

TQELExprOperator ComparisonOperator(const TToken& token) {
  if (token.TokenType != tktString) return eoNone;
  const std::string& text = token.Text;
  if (text == "=") return eoEqual;
  if (text == "<>") return eoNotEqual;
  if (text == ">") return eoGreater;
  if (text == "<") return eoLess;
  if (text == ">=") return eoGreaterOrEqual;
  if (text == "<=") return eoLessOrEqual;
  return eoNone;
}

// A string constant without its last character: the prefix of a partial
// comparison. An empty prefix stays a (non-NULL) empty string, which every
// string starts with.
void DropLastCharacter(TQELExprNodeConst& constant) {
  TQELVariant& value = constant.MutableValue();
  std::string text = value.AsString();
  text.pop_back();
  if (text.empty()) {
    const char terminator = 0;
    value.SetData(&terminator, 1, cmCopy, bftString);
  } else if (value.IsWideString()) {
    value.Clear(bftWideString);
    value.SetAsWideString(QELUtf8ToUtf16(text));
  } else {
    value.Clear(bftString);
    value.SetAsString(text);
  }
}

}  // namespace

// Counts the nesting of the recursive constructs, so that a text of
// thousands of parentheses ends in an error instead of exhausting the stack.
class TQELExpressionParser::TDepthGuard {
 public:
  explicit TDepthGuard(TQELExpressionParser& parser) : FParser(parser) {
    if (++parser.FDepth > kQELMaxExpressionDepth) {
      --parser.FDepth;
      parser.RaiseAt(kQELErrTooDeep, "Expression nested too deeply at line %d, column %d");
    }
  }
  ~TDepthGuard() { --FParser.FDepth; }
  TDepthGuard(const TDepthGuard&) = delete;
  TDepthGuard& operator=(const TDepthGuard&) = delete;

 private:
  TQELExpressionParser& FParser;
};

TQELExpressionParser::TQELExpressionParser(TQELExpression& owner, TQELLexer& lexer)
    : FOwner(owner), FLexer(lexer), FTokens(CommandTokens(lexer)), FPos(lexer.GetCurrentTokenNo()) {
  if (FPos < 0) FPos = 0;
  if (!FTokens.empty()) {
    FEndToken.Line = FTokens.back().Line;
    FEndToken.Column = FTokens.back().Column;
  }
}

// ---- Tokens and errors -------------------------------------------------------

const TToken& TQELExpressionParser::Tok() const { return Peek(0); }

const TToken& TQELExpressionParser::Peek(std::int32_t ahead) const {
  const std::int64_t at = std::int64_t{FPos} + ahead;
  return at >= 0 && at < static_cast<std::int64_t>(FTokens.size()) ? FTokens[static_cast<std::size_t>(at)]
                                                                    : FEndToken;
}

bool TQELExpressionParser::IsOperator(std::string_view text) const {
  return Tok().TokenType == tktString && Tok().Text == text;
}

void TQELExpressionParser::Expect() {
  Next();
  if (AtEnd()) RaiseAt(kQELErrUnexpectedEnd, "Unexpected end of SQL command found at line %d, column %d");
}

void TQELExpressionParser::RaiseExpected(std::int32_t code, std::string_view expected) const {
  throw EQELException(code, kQELTokenExpectedMsg,
                      {expected, QELPrintableTokenText(Tok().Text), Tok().Line, Tok().Column});
}

void TQELExpressionParser::RaiseFound(std::int32_t code, std::string_view message) const {
  throw EQELException(code, message, {QELPrintableTokenText(Tok().Text), Tok().Line, Tok().Column});
}

void TQELExpressionParser::RaiseArgument(std::int32_t code, std::string_view function) const {
  throw EQELException(code, kQELArgumentExpectedMsg, {function, Tok().Line, Tok().Column});
}

void TQELExpressionParser::RaiseAt(std::int32_t code, std::string_view message) const {
  throw EQELException(code, message, {Tok().Line, Tok().Column});
}

void TQELExpressionParser::RaiseFoundFor(std::int32_t code, std::string_view message,
                                         std::string_view function) const {
  throw EQELException(code, message, {function, QELPrintableTokenText(Tok().Text), Tok().Line, Tok().Column});
}

void TQELExpressionParser::Require(TTokenType kind, std::int32_t code, std::string_view expected) {
  if (!IsKind(kind)) RaiseExpected(code, expected);
  Next();
}

void TQELExpressionParser::RequireWord(std::uint16_t word, std::int32_t code,
                                       std::string_view expected) {
  if (!IsWord(word)) RaiseExpected(code, expected);
  Next();
}

template <class TParse>
TNode TQELExpressionParser::Remembered(TRule rule, TParse&& parse) {
  const std::int64_t key = std::int64_t{FPos} * ruleCount + rule;
  if (const auto found = FMemo.find(key); found != FMemo.end()) {
    if (!found->second.Node) return nullptr;
    FPos = found->second.End;
    return found->second.Node->Clone();
  }
  const std::int32_t start = FPos;
  TNode node = parse();
  TMemo& memo = FMemo[key];
  if (node) {
    memo.End = FPos;
    memo.Node = node->Clone();
  } else {
    FPos = start;
  }
  return node;
}

// ---- Search conditions -------------------------------------------------------

TNode TQELExpressionParser::S1() {
  TDepthGuard guard(*this);
  TNode left = S2();
  if (!left) return nullptr;
  while (IsWord(rwOR)) {
    Next();
    TNode right = S2();
    if (!right) {
      RaiseFound(kQELErrOrOperandExpected,
                 "Boolean expression expected, but '%s' found at line %d, column %d");
    }
    left = MakeBoolean(eoOr, std::move(left), std::move(right));
  }
  return left;
}

TNode TQELExpressionParser::S2() {
  TNode first = S3();
  if (!first || !IsWord(rwAND)) return first;
  auto conjunction = std::make_unique<TQELExprNodeBoolean>(eoAnd);
  conjunction->AddChild(std::move(first));
  while (IsWord(rwAND)) {
    Next();
    TNode next = S3();
    if (!next) {
      RaiseFound(kQELErrAndOperandExpected,
                 "Boolean expression expected, but '%s' found at line %d, column %d");
    }
    conjunction->AddChild(std::move(next));
  }
  return conjunction;
}

TNode TQELExpressionParser::S3() {
  if (!IsWord(rwNOT)) return S4();
  const std::int32_t start = FPos;
  Next();
  TNode operand = S4();
  if (!operand) {
    FPos = start;
    return nullptr;
  }
  return MakeBoolean(eoNot, std::move(operand));
}

TNode TQELExpressionParser::S4() {
  TNode operand = S5();
  if (!operand || !IsWord(rwIS)) return operand;
  Expect();
  bool negated = false;
  if (IsWord(rwNOT)) {
    negated = true;
    Expect();
  }
  if (IsWord(rwTRUE) || IsWord(rwFALSE)) {
    // IS TRUE and IS NOT FALSE leave the operand; the others negate it.
    const bool keep = IsWord(rwTRUE) != negated;
    Next();
    return keep ? std::move(operand) : MakeBoolean(eoNot, std::move(operand));
  }
  if (IsWord(rwUNKNOWN)) {
    Next();
    return MakeBoolean(negated ? eoIsNotNull : eoIsNull, std::move(operand));
  }
  RaiseExpected(kQELErrTruthValueExpected, "TRUE, FALSE or UNKNOWN");
}

TNode TQELExpressionParser::S5() {
  const std::int32_t start = FPos;
  if (TNode predicate = S6()) return predicate;
  FPos = start;
  if (IsKind(tktLeftParenthesis)) {
    Next();
    TNode inner = S1();
    if (inner && IsKind(tktRightParenthesis)) {
      Next();
      return inner;
    }
    FPos = start;
  }
  // A value stands for the condition that it is true.
  if (TNode value = R2()) return value;
  FPos = start;
  return nullptr;
}

TNode TQELExpressionParser::FirstOf(std::int32_t start, std::span<const TAlternative> alternatives,
                                    bool restoreOnFailure) {
  for (const TAlternative alternative : alternatives) {
    FPos = start;
    if (TNode node = (this->*alternative)()) return node;
  }
  if (restoreOnFailure) FPos = start;
  return nullptr;
}

TNode TQELExpressionParser::S6() {
  const std::int32_t start = FPos;
  if (TNode truth = L1()) return truth;
  static constexpr TAlternative kAlternatives[] = {
      &TQELExpressionParser::QuantifiedComparison, &TQELExpressionParser::Comparison,
      &TQELExpressionParser::Like,                 &TQELExpressionParser::IsNullTest,
      &TQELExpressionParser::Between,              &TQELExpressionParser::In,
      &TQELExpressionParser::Exists,
  };
  return FirstOf(start, kAlternatives, true);
}

TNode TQELExpressionParser::QuantifiedComparison() {
  TNode value = R2();
  if (!value) return nullptr;
  const TQELExprOperator op = ComparisonOperator(Tok());
  if (op == eoNone) return nullptr;
  Next();
  TQELQuantifier quantifier;
  if (IsWord(rwALL)) {
    quantifier = qtAll;
  } else if (IsWord(rwANY) || IsWord(rwSOME)) {
    quantifier = qtAny;
  } else {
    return nullptr;
  }
  Next();
  TNode subquery = Subquery();
  if (!subquery) return nullptr;
  static_cast<TQELExprNodeSubquery&>(*subquery).SetRequirements(true, false);
  static_cast<TQELExprNodeSubquery&>(*subquery).SetComparison(op, quantifier);
  auto node = std::make_unique<TQELExprNodeComparison>(op, std::move(subquery), std::move(value), true);
  node->SetQuantifier(quantifier);
  node->SetCaseInsensitive(FOwner.FCaseInsensitive);
  return node;
}

TNode TQELExpressionParser::Comparison() {
  TNode left = R2();
  if (!left) return nullptr;
  const TQELExprOperator op = ComparisonOperator(Tok());
  if (op == eoNone) return nullptr;
  Next();
  TNode right = R2();
  if (!right) return nullptr;
  // A field = NULL is the test for NULL, whichever side the field is on.
  if (op == eoEqual || op == eoNotEqual) {
    const TQELExprOperator test = op == eoEqual ? eoIsNull : eoIsNotNull;
    if (IsField(*left) && IsNullConst(*right)) return MakeBoolean(test, std::move(left));
    if (IsField(*right) && IsNullConst(*left)) return MakeBoolean(test, std::move(right));
  }
  std::int32_t prefixSide = -1;
  if (FOwner.FPartialCompare) {
    for (const std::int32_t side : {1, 0}) {
      TQELExprNode& operand = side == 1 ? *right : *left;
      if (!IsStringConst(operand)) continue;
      const std::string text = operand.Value().AsString();
      if (!text.empty() && text.back() == '*') {
        DropLastCharacter(static_cast<TQELExprNodeConst&>(operand));
        prefixSide = side;
        break;
      }
    }
  }
  // NULL is ordered between a field and a text, date or NULL constant.
  const auto orderedAgainst = [](const TQELExprNode& node) {
    const TQELExprNodeConst* constant = AsConst(node);
    if (constant == nullptr) return false;
    const TQELVariant& value = constant->Value();
    return value.IsNull() || value.IsString() || value.IsDateTime();
  };
  const bool nullsOrdered = (IsField(*left) && orderedAgainst(*right)) ||
                            (IsField(*right) && orderedAgainst(*left));
  auto node = std::make_unique<TQELExprNodeComparison>(op, std::move(left), std::move(right),
                                                       !nullsOrdered);
  node->SetCaseInsensitive(FOwner.FCaseInsensitive);
  if (prefixSide >= 0) node->SetPrefixConstant(prefixSide);
  return node;
}

TNode TQELExpressionParser::ValueBefore(std::uint16_t word, bool& negated) {
  TNode value = R2();
  if (!value) return nullptr;
  negated = false;
  if (IsWord(rwNOT)) {
    negated = true;
    Next();
  }
  if (!IsWord(word)) return nullptr;
  Next();
  return value;
}

TNode TQELExpressionParser::Like() {
  bool negated = false;
  TNode value = ValueBefore(rwLIKE, negated);
  if (!value) return nullptr;
  TNode pattern = R2();
  if (!pattern) return nullptr;
  std::string escape;
  bool hasEscape = false;
  if (IsWord(rwESCAPE)) {
    Next();
    const TToken& token = Tok();
    escape = token.TokenType == tktParameter && token.ParamValue ? token.ParamValue->AsString()
                                                                 : token.Text;
    if (AtEnd() || CharacterCount(escape) != 1) {
      RaiseAt(kQELErrEscapeLength,
              "Invalid escape character length (should be a single character) at line %d, column %d");
    }
    Next();
    hasEscape = true;
  }
  // 'abc%' without other wildcards is a prefix comparison, which an index
  // can serve; it answers what the LIKE would.
  if (!hasEscape && IsStringConst(*pattern) && !pattern->Value().IsWideString()) {
    const std::string text = pattern->Value().AsString();
    const bool onlyTrailingPercent = text.size() >= 2 && text.back() == '%' &&
                                     text.find('%') == text.size() - 1 &&
                                     text.find('_') == std::string::npos;
    if (onlyTrailingPercent && CharacterCount(text) >= 2) {
      TQELVariant prefix;
      prefix.SetAsString(std::string_view(text).substr(0, text.size() - 1));
      auto node = std::make_unique<TQELExprNodeComparison>(
          negated ? eoNotEqual : eoEqual, std::move(value), MakeConst(prefix), false);
      node->SetLikePrefix();
      node->SetCaseInsensitive(FOwner.FCaseInsensitive);
      return node;
    }
  }
  auto node = std::make_unique<TQELExprNodeBoolean>(negated ? eoNotLike : eoLike);
  node->AddChild(std::move(value));
  node->AddChild(std::move(pattern));
  node->SetEscape(escape);
  node->SetCaseInsensitive(FOwner.FCaseInsensitive);
  return node;
}

TNode TQELExpressionParser::IsNullTest() {
  TNode value = R2();
  if (!value || !IsWord(rwIS)) return nullptr;
  Next();
  bool negated = false;
  if (IsWord(rwNOT)) {
    negated = true;
    Next();
  }
  if (!IsWord(rwNULL)) return nullptr;
  Next();
  return MakeBoolean(negated ? eoIsNotNull : eoIsNull, std::move(value));
}

TNode TQELExpressionParser::Between() {
  bool negated = false;
  TNode value = ValueBefore(rwBETWEEN, negated);
  if (!value) return nullptr;
  TNode low = R2();
  if (!low || !IsWord(rwAND)) return nullptr;
  Next();
  TNode high = R2();
  if (!high) return nullptr;
  auto node = std::make_unique<TQELExprNodeBoolean>(negated ? eoNotBetween : eoBetween);
  node->AddChild(std::move(value));
  node->AddChild(std::move(low));
  node->AddChild(std::move(high));
  return node;
}

TNode TQELExpressionParser::In() {
  bool negated = false;
  TNode value = ValueBefore(rwIN, negated);
  if (!value) return nullptr;
  if (!IsKind(tktLeftParenthesis)) return nullptr;
  Next();
  auto node = std::make_unique<TQELExprNodeBoolean>(negated ? eoNotIn : eoIn);
  node->AddChild(std::move(value));
  if (IsWord(rwSELECT)) {
    TNode subquery = SkipSelect();
    if (!IsKind(tktRightParenthesis)) return nullptr;
    Next();
    static_cast<TQELExprNodeSubquery&>(*subquery).SetRequirements(true, false);
    node->AddChild(std::move(subquery));
    node->SetInSubquery(true);
    return node;
  }
  // Elements are separated by commas, or by nothing at all.
  while (!IsKind(tktRightParenthesis)) {
    TNode element = V1();
    if (!element) return nullptr;
    node->AddChild(std::move(element));
    if (IsKind(tktComma)) Next();
  }
  Next();
  return node;
}

TNode TQELExpressionParser::Exists() {
  if (!IsWord(rwEXISTS)) return nullptr;
  Next();
  std::int32_t parentheses = 0;
  while (IsKind(tktLeftParenthesis)) {
    ++parentheses;
    Next();
  }
  if (!IsWord(rwSELECT)) return nullptr;
  TNode subquery = SkipSelect();
  for (; parentheses > 0; --parentheses) {
    if (!IsKind(tktRightParenthesis)) {
      RaiseAt(30492, "Missing symbol ')' at line %d, column %d");
    }
    Next();
  }
  static_cast<TQELExprNodeSubquery&>(*subquery).SetRequirements(false, false);
  return MakeBoolean(eoExists, std::move(subquery));
}

// ---- Row values and values ---------------------------------------------------

TNode TQELExpressionParser::R2() {
  return Remembered(ruleR2, [&]() -> TNode {
    const std::int32_t start = FPos;
    if (TNode subquery = Subquery()) return subquery;
    FPos = start;
    return R1();
  });
}

TNode TQELExpressionParser::R1() {
  if (TNode null = L2()) return null;
  return V1();
}

TNode TQELExpressionParser::V1() {
  TDepthGuard guard(*this);
  return Remembered(ruleV1, [&]() -> TNode {
    const std::int32_t start = FPos;
    static constexpr TAlternative kAlternatives[] = {
        &TQELExpressionParser::N1, &TQELExpressionParser::D2, &TQELExpressionParser::D1,
        &TQELExpressionParser::C1, &TQELExpressionParser::L1, &TQELExpressionParser::L2,
        &TQELExpressionParser::MimeToBin,
    };
    return FirstOf(start, kAlternatives, false);
  });
}

TNode TQELExpressionParser::N1() {
  TDepthGuard guard(*this);
  const std::int32_t start = FPos;
  TNode first = N2();
  if (!first) return nullptr;
  TNode result;
  if (IsOperator("+") || IsOperator("-")) {
    // Each further term is read with its sign as the term's own sign:
    // a - b + c is the sum of a, -b and c.
    auto sum = std::make_unique<TQELExprNodeArithmetic>(eoAdd);
    sum->AddChild(std::move(first));
    while (IsOperator("+") || IsOperator("-")) {
      TNode term = N2();
      if (!term) {
        FPos = start;
        return nullptr;
      }
      sum->AddChild(std::move(term));
    }
    result = std::move(sum);
  } else {
    result = std::move(first);
  }
  // Followed by "||" it is the start of a concatenation instead.
  if (IsOperator("||")) {
    FPos = start;
    return nullptr;
  }
  return result;
}

TNode TQELExpressionParser::N2() {
  const std::int32_t start = FPos;
  TNode left = N3();
  if (!left) return nullptr;
  while (IsOperator("*") || IsOperator("/")) {
    const TQELExprOperator op = IsOperator("*") ? eoMultiply : eoDivide;
    Next();
    TNode right = N3();
    if (!right) {
      FPos = start;
      return nullptr;
    }
    auto node = std::make_unique<TQELExprNodeArithmetic>(op);
    node->AddChild(std::move(left));
    node->AddChild(std::move(right));
    left = std::move(node);
  }
  return left;
}

TNode TQELExpressionParser::N3() {
  if (!IsOperator("+") && !IsOperator("-")) return N4();
  const std::int32_t start = FPos;
  const bool negative = IsOperator("-");
  Next();
  TNode operand = N4();
  if (!operand) {
    FPos = start;
    return nullptr;
  }
  return negative ? MakeNegation(std::move(operand)) : std::move(operand);
}

TNode TQELExpressionParser::N4() {
  const std::int32_t start = FPos;
  if (TNode primary = P1()) {
    // A quoted string or a date is no numeric primary.
    const TQELExprNodeConst* constant = AsConst(*primary);
    if (constant == nullptr || constant->Value().IsNumeric()) return primary;
    FPos = start;
    return nullptr;
  }
  FPos = start;
  return F1();
}

TNode TQELExpressionParser::P1() {
  return Remembered(ruleP1, [&]() -> TNode {
    const std::int32_t start = FPos;
    static constexpr TAlternative kAlternatives[] = {
        &TQELExpressionParser::Literal,        &TQELExpressionParser::ColumnReference,
        &TQELExpressionParser::SetFunction,    &TQELExpressionParser::Subquery,
        &TQELExpressionParser::CaseExpression, &TQELExpressionParser::Coalesce,
        &TQELExpressionParser::ParenthesisedValue, &TQELExpressionParser::Cast,
    };
    return FirstOf(start, kAlternatives, false);
  });
}

TNode TQELExpressionParser::F1() {
  const std::int32_t start = FPos;
  static constexpr TAlternative kAlternatives[] = {
      &TQELExpressionParser::Position_,   &TQELExpressionParser::Extract,
      &TQELExpressionParser::Length,      &TQELExpressionParser::LastAutoinc,
      &TQELExpressionParser::MathFunction,
  };
  return FirstOf(start, kAlternatives, true);
}

TNode TQELExpressionParser::C1() {
  TDepthGuard guard(*this);
  return Remembered(ruleC1, [&]() -> TNode {
    TNode first = C2();
    if (!first) return nullptr;
    if (!IsOperator("||") && !IsOperator("+")) return first;
    auto concatenation = std::make_unique<TQELExprNodeStringFunction>(eoConcat);
    concatenation->AddChild(std::move(first));
    while (IsOperator("||") || IsOperator("+")) {
      Next();
      TNode operand = C2();
      // NULL adds nothing to a text; anything else that is no string
      // operand is an error, not an operand to leave out.
      if (!operand) operand = L2();
      if (!operand) {
        RaiseFound(kQELErrStringOperandExpected,
                   "String expression expected, but '%s' found at line %d, column %d");
      }
      concatenation->AddChild(std::move(operand));
    }
    return concatenation;
  });
}

TNode TQELExpressionParser::C2() {
  const std::int32_t start = FPos;
  if (TNode primary = P1()) return primary;
  FPos = start;
  if (TNode function = StringFunction()) return function;
  FPos = start;
  return D1();
}

TNode TQELExpressionParser::D1() {
  return Remembered(ruleD1, [&]() -> TNode {
    if (IsWord(rwCURRENT_TIMESTAMP) || IsWord(rwSYSDATE) || IsWord(rwNOW)) {
      Next();
      return std::make_unique<TQELExprNodeDateFunction>(eoCurrentTimestamp);
    }
    if (IsWord(rwCURRENT_TIME)) {
      Next();
      return std::make_unique<TQELExprNodeDateFunction>(eoCurrentTime);
    }
    if (IsWord(rwCURRENT_DATE)) {
      Next();
      return std::make_unique<TQELExprNodeDateFunction>(eoCurrentDate);
    }
    if (IsWord(rwTODATE)) {
      Next();
      Require(tktLeftParenthesis, 30105, "(");
      TNode text = StringArgument();
      if (!text) RaiseArgument(30107, "ToDate");
      return FormatCall(eoToDate, std::move(text), {30108, 30109, 30106});
    }
    const TToken& token = Tok();
    if (token.TokenType == tktParameter && token.ParamValue && token.ParamValue->IsDateTime() &&
        !token.ParamValue->IsNull()) {
      Next();
      return MakeParamConst(token, *token.ParamValue);
    }
    return nullptr;
  });
}

TNode TQELExpressionParser::D2() {
  return Remembered(ruleD2, [&]() -> TNode {
    const std::int32_t start = FPos;
    const auto difference = [](TNode left, TNode right) {
      auto sum = std::make_unique<TQELExprNodeArithmetic>(eoAdd);
      sum->AddChild(std::move(left));
      sum->AddChild(MakeNegation(std::move(right)));
      return sum;
    };
    if (TNode date = D1(); date && IsOperator("-")) {
      Next();
      if (TNode value = V1()) return difference(std::move(date), std::move(value));
    }
    FPos = start;
    if (TNode text = C1(); text && IsOperator("-")) {
      Next();
      if (TNode date = D1()) return difference(std::move(text), std::move(date));
    }
    FPos = start;
    if (IsKind(tktLeftParenthesis)) {
      Next();
      if (TNode inner = D2()) {
        Require(tktRightParenthesis, 30501, ")");
        return inner;
      }
    }
    FPos = start;
    return nullptr;
  });
}

TNode TQELExpressionParser::L1() {
  if (IsWord(rwTRUE) || IsWord(rwFALSE)) {
    TQELVariant truth(bftBoolean);
    SetBooleanValue(truth, IsWord(rwTRUE));
    Next();
    return MakeConst(truth);
  }
  const TToken& token = Tok();
  if (token.TokenType == tktParameter && token.ParamValue && !token.ParamValue->IsNull() &&
      token.ParamValue->DataType() == bftBoolean) {
    Next();
    return MakeParamConst(token, *token.ParamValue);
  }
  return nullptr;
}

TNode TQELExpressionParser::L2() {
  if (IsWord(rwNULL)) {
    Next();
    return MakeNullConst(bftInteger);
  }
  const TToken& token = Tok();
  if (token.TokenType == tktParameter && token.ParamValue && token.ParamValue->IsNull()) {
    Next();
    const TQELBaseFieldType type = token.ParamValue->DataType();
    return MakeParamConst(token, TQELVariant(type == bftUnknown ? bftInteger : type));
  }
  return nullptr;
}

TNode TQELExpressionParser::NumericArgument() {
  if (TNode number = N1()) return number;
  return L2();
}

TNode TQELExpressionParser::StringArgument() {
  if (TNode text = C1()) return text;
  return L2();
}

TNode TQELExpressionParser::MimeToBin() {
  if (!IsWord(rwMIMETOBIN)) return nullptr;
  Next();
  Require(tktLeftParenthesis, 30479, "(");
  if (!IsKind(tktQuotedString)) {
    RaiseFoundFor(30480, "String argument expected for function '%s', but '%s' found at line %d, column %d",
                  "MimeToBin()");
  }
  TQELVariant text;
  text.SetAsString(Tok().Text);
  Next();
  Require(tktRightParenthesis, 30481, ")");
  auto node = std::make_unique<TQELExprNodeBlob>();
  node->AddChild(MakeConst(text));
  return node;
}

// ---- Primaries ---------------------------------------------------------------

TNode TQELExpressionParser::Literal() {
  const TToken& token = Tok();
  TQELVariant value;
  switch (token.TokenType) {
    case tktInt: {
      std::int64_t number = 0;
      if (!QELTryParseInt64(token.Text, number)) {
        RaiseFound(kQELErrInvalidNumber, "Invalid numeric constant '%s' at line %d, column %d");
      }
      // Below 2147483647 a literal is a 32-bit integer.
      if (number < 2147483647 && number > -2147483647) {
        SetIntegerValue(value, static_cast<std::int32_t>(number));
      } else {
        SetLargeintValue(value, number);
      }
      break;
    }
    case tktFloat: {
      double number = 0;
      if (!QELTryParseReal(token.Text, number) || !std::isfinite(number)) {
        RaiseFound(kQELErrInvalidNumber, "Invalid numeric constant '%s' at line %d, column %d");
      }
      SetDoubleValue(value, number);
      break;
    }
    case tktQuotedString:
      value.SetAsString(token.Text);
      break;
    case tktParameter:
      if (!token.ParamValue || token.ParamValue->IsNull() ||
          !(token.ParamValue->IsNumeric() || token.ParamValue->IsString())) {
        return nullptr;
      }
      Next();
      return MakeParamConst(token, *token.ParamValue);
    case tktReservedWord:
      return DateLiteral();
    default:
      return nullptr;
  }
  Next();
  return MakeConst(value);
}

TNode TQELExpressionParser::DateLiteral() {
  constexpr const char* kDateMessage =
      "Date string expected \"YYYY-MM-DD\", but found \"%s\" at line %d, column %d";
  constexpr const char* kTimeMessage =
      "Time string expected \"HH:MM:SS\", but found \"%s\" at line %d, column %d";
  std::int32_t notQuoted = 0;
  std::int32_t unreadable = 0;
  const char* notQuotedMessage = kDateMessage;
  const char* unreadableMessage = kDateMessage;
  TQELFixedDateText kind;
  if (IsWord(rwDATE)) {
    notQuoted = 20283;
    unreadable = 20284;
    kind = TQELFixedDateText::Date;
  } else if (IsWord(rwTIME)) {
    notQuoted = 20285;
    unreadable = 20286;
    notQuotedMessage = unreadableMessage = kTimeMessage;
    kind = TQELFixedDateText::Time;
  } else if (IsWord(rwTIMESTAMP)) {
    notQuoted = 20287;
    unreadable = 20288;
    notQuotedMessage = kTimeMessage;
    kind = TQELFixedDateText::DateTime;
  } else {
    return nullptr;
  }
  Next();
  if (!IsKind(tktQuotedString)) RaiseFound(notQuoted, notQuotedMessage);
  TQELDateTimeStamp stamp{};
  bool read = false;
  try {
    read = QELTryParseFixedDateText(Tok().Text, kind, stamp) ||
           (kind == TQELFixedDateText::DateTime &&
            QELTryParseFixedDateText(Tok().Text, TQELFixedDateText::Date, stamp));
  } catch (const EConvertError&) {
    read = false;
  }
  if (!read) RaiseFound(unreadable, unreadableMessage);
  TQELVariant value;
  if (kind == TQELFixedDateText::Date) {
    value.Clear(bftDate);
    value.SetAsDateNumber(stamp.Date);
  } else if (kind == TQELFixedDateText::Time) {
    value.Clear(bftTime);
    value.SetAsTimeMilliseconds(stamp.Time);
  } else {
    value.Clear(bftDateTime);
    value.SetAsDateTimeStamp(stamp);
  }
  Next();
  return MakeConst(value);
}

TNode TQELExpressionParser::ColumnReference() {
  if (!IsNameToken(Tok())) return nullptr;
  if (Peek(1).TokenType == tktDot && IsNameToken(Peek(2))) {
    if (Peek(3).TokenType == tktLeftParenthesis) return nullptr;
    std::string table = Tok().Text;
    std::string field = Peek(2).Text;
    FPos += 3;
    return std::make_unique<TQELExprNodeField>(std::move(table), std::move(field));
  }
  if (Peek(1).TokenType == tktLeftParenthesis) return nullptr;
  std::string field = Tok().Text;
  Next();
  return std::make_unique<TQELExprNodeField>(std::string(), std::move(field));
}

TNode TQELExpressionParser::SetFunction() {
  TQELExprOperator op;
  if (IsWord(rwCOUNT)) {
    op = eoCount;
  } else if (IsWord(rwAVG)) {
    op = eoAvg;
  } else if (IsWord(rwMAX)) {
    op = eoMax;
  } else if (IsWord(rwMIN)) {
    op = eoMin;
  } else if (IsWord(rwSUM)) {
    op = eoSum;
  } else {
    return nullptr;
  }
  Next();
  if (op == eoCount && IsKind(tktLeftParenthesis) && Peek(1).TokenType == tktString &&
      Peek(1).Text == "*") {
    FPos += 2;
    Require(tktRightParenthesis, 30073, ")");
    return std::make_unique<TQELExprNodeAggregated>(eoCountAll, false);
  }
  Require(tktLeftParenthesis, 30074, "(");
  const bool distinct = IsWord(rwDISTINCT);
  if (distinct) Next();
  TNode argument = V1();
  if (!argument) RaiseArgument(30102, ExprOperatorText(op));
  Require(tktRightParenthesis, 30075, ")");
  auto node = std::make_unique<TQELExprNodeAggregated>(op, distinct);
  node->AddChild(std::move(argument));
  return node;
}

TNode TQELExpressionParser::Subquery() {
  const std::int32_t start = FPos;
  std::int32_t parentheses = 0;
  while (IsKind(tktLeftParenthesis)) {
    ++parentheses;
    Next();
  }
  if (!IsWord(rwSELECT)) {
    FPos = start;
    return nullptr;
  }
  TNode subquery = SkipSelect();
  for (; parentheses > 0; --parentheses) {
    if (!IsKind(tktRightParenthesis)) {
      FPos = start;
      return nullptr;
    }
    Next();
  }
  return subquery;
}

TNode TQELExpressionParser::SkipSelect() {
  const std::int32_t first = FPos;
  std::int32_t depth = 0;
  while (!AtEnd()) {
    if (IsKind(tktLeftParenthesis)) {
      ++depth;
    } else if (IsKind(tktRightParenthesis)) {
      if (depth == 0) break;
      --depth;
    }
    Next();
  }
  return std::make_unique<TQELExprNodeSubquery>(&FLexer, FOwner.FQuery, FLexer.CurrentCommand(),
                                                first, FPos - 1);
}

TNode TQELExpressionParser::FormatCall(TQELExprOperator op, TNode value,
                                       const TFormatCodes& codes) {
  Require(tktComma, codes.Comma, ",");
  if (!IsKind(tktQuotedString)) {
    RaiseFound(codes.Format,
               "Const DateFormat string expected, but '%s' found at line %d, column %d");
  }
  auto node = std::make_unique<TQELExprNodeDateFunction>(op);
  node->SetFormat(Tok().Text);
  Next();
  Require(tktRightParenthesis, codes.Close, ")");
  node->AddChild(std::move(value));
  return node;
}

TNode TQELExpressionParser::Needed(TNode node, std::int32_t code, std::string_view message) const {
  if (!node) RaiseFound(code, message);
  return node;
}

void TQELExpressionParser::CaseBranches(TQELExprNodeCase& node, bool searched,
                                        const TCaseCodes& codes) {
  constexpr const char* kCondition =
      "Search Condition for CASE function expected, but '%s' found at line %d, column %d";
  constexpr const char* kWhen =
      "When Expression for CASE function expected, but '%s' found at line %d, column %d";
  constexpr const char* kResult =
      "'Result Expression' for CASE function expected, but '%s' found at line %d, column %d";
  constexpr const char* kElseResult =
      "'Else Result Expression' for CASE function expected, but '%s' found at line %d, column %d";
  while (IsWord(rwWHEN)) {
    Next();
    // A searched CASE tests conditions, a simple one compares values.
    TNode when = searched ? Needed(S1(), codes.When, kCondition) : Needed(V1(), codes.When, kWhen);
    RequireWord(rwTHEN, codes.Then, "THEN");
    TNode result = Needed(V1(), codes.Result, kResult);
    node.AddWhen(std::move(when), std::move(result));
  }
  if (IsWord(rwELSE)) {
    Next();
    node.SetElse(Needed(V1(), codes.Else, kElseResult));
  }
  RequireWord(rwEND, codes.End, "END");
}

TNode TQELExpressionParser::CaseExpression() {
  constexpr const char* kInput =
      "Input expression for CASE function expected, but '%s' found at line %d, column %d";
  if (!IsWord(rwCASE)) return nullptr;
  Next();
  auto node = std::make_unique<TQELExprNodeCase>();
  if (IsWord(rwWHEN)) {
    CaseBranches(*node, true, {30474, 30475, 30476, 30477, 30478});
    return node;
  }
  node->SetInput(Needed(V1(), 30467, kInput));
  if (!IsWord(rwWHEN)) RaiseExpected(30468, "WHEN");
  CaseBranches(*node, false, {30469, 30470, 30471, 30471, 30472});
  return node;
}

TNode TQELExpressionParser::Coalesce() {
  if (!IsWord(rwCOALESCE)) return nullptr;
  Next();
  Require(tktLeftParenthesis, 20275, "(");
  auto node = std::make_unique<TQELExprNodeCase>(true);
  while (!IsKind(tktRightParenthesis)) {
    TNode argument = V1();
    if (!argument) {
      if (node->ChildCount() == 0) RaiseAt(20276, "COALESCE arguments are missed at line %d, column %d");
      RaiseExpected(20275, ")");
    }
    node->AddArgument(std::move(argument));
    if (IsKind(tktComma)) Next();
  }
  if (node->ChildCount() == 0) RaiseAt(20276, "COALESCE arguments are missed at line %d, column %d");
  Next();
  return node;
}

TNode TQELExpressionParser::ParenthesisedValue() {
  if (!IsKind(tktLeftParenthesis)) return nullptr;
  Next();
  TNode value = V1();
  if (!value || !IsKind(tktRightParenthesis)) return nullptr;
  Next();
  return value;
}

TNode TQELExpressionParser::Cast() {
  if (!IsWord(rwCAST)) return nullptr;
  Next();
  if (!IsKind(tktLeftParenthesis)) return nullptr;
  Next();
  TNode value;
  if (IsWord(rwNULL)) {
    Next();
    value = MakeNullConst(bftInteger);
  } else {
    value = V1();
  }
  if (!value) return nullptr;
  if (IsKind(tktComma) || IsWord(rwAS)) Next();
  const TQELFieldTypeMapping* mapping =
      IsKind(tktString) || IsKind(tktReservedWord) ? FindFieldTypeMapping(Tok().Text) : nullptr;
  // Byte strings have no conversion from other values.
  if (mapping == nullptr || mapping->AdvancedType == aftBytes || mapping->AdvancedType == aftVarBytes) {
    throw EQELException(kQELErrUnknownCastType, "Cannot convert an expression to specified type: '%s'",
                        {QELPrintableTokenText(Tok().Text)});
  }
  Next();
  auto node = std::make_unique<TQELExprNodeCast>(mapping->AdvancedType);
  node->AddChild(std::move(value));
  if (IsKind(tktLeftParenthesis)) {
    Next();
    TNode size = N1();
    if (!size) RaiseExpected(30465, ")");
    Require(tktRightParenthesis, 30465, ")");
    node->SetSizeNode(std::move(size));
  }
  Require(tktRightParenthesis, 30076, ")");
  return node;
}

// ---- Functions ---------------------------------------------------------------

TNode TQELExpressionParser::StringFunction() {
  constexpr const char* kStringArgument =
      "String argument expected for function '%s', but '%s' found at line %d, column %d";
  TQELExprOperator op = eoNone;
  if (IsWord(rwUPPER)) op = eoUpper;
  if (IsWord(rwLOWER)) op = eoLower;
  if (IsWord(rwTRIM)) op = eoTrim;
  if (IsWord(rwLTRIM)) op = eoLTrim;
  if (IsWord(rwRTRIM)) op = eoRTrim;
  if (op != eoNone) {
    Next();
    Require(tktLeftParenthesis, 30090, "(");
    TNode argument = StringArgument();
    if (!argument) RaiseFoundFor(30092, kStringArgument, ExprOperatorText(op));
    Require(tktRightParenthesis, 30091, ")");
    auto node = std::make_unique<TQELExprNodeStringFunction>(op);
    node->AddChild(std::move(argument));
    return node;
  }
  if (IsWord(rwSUBSTRING)) {
    Next();
    Require(tktLeftParenthesis, 30098, "(");
    auto node = std::make_unique<TQELExprNodeStringFunction>(eoSubstring);
    TNode text = StringArgument();
    if (!text) RaiseArgument(30099, "SUBSTRING");
    node->AddChild(std::move(text));
    if (!IsKind(tktComma) && !IsWord(rwFROM)) RaiseExpected(30100, ",' or 'from");
    Next();
    TNode start = NumericArgument();
    if (!start) RaiseArgument(30101, "SUBSTRING");
    node->AddChild(std::move(start));
    if (IsKind(tktComma) || IsWord(rwFOR)) {
      Next();
      TNode count = NumericArgument();
      if (!count) RaiseArgument(30101, "SUBSTRING");
      node->AddChild(std::move(count));
      Require(tktRightParenthesis, 30104, ")");
    } else {
      Require(tktRightParenthesis, 30103, ")' or ',' or 'FOR");
    }
    return node;
  }
  if (IsWord(rwTOSTRING)) {
    Next();
    Require(tktLeftParenthesis, 30093, "(");
    TNode value = V1();
    if (!value) RaiseArgument(30094, "TOSTRING");
    return FormatCall(eoToString, std::move(value), {30095, 30096, 30097});
  }
  return nullptr;
}

TNode TQELExpressionParser::Position_() {
  if (!IsWord(rwPOSITION) && !IsWord(rwPOS)) return nullptr;
  Next();
  Require(tktLeftParenthesis, 30078, "(");
  TNode needle = StringArgument();
  if (!needle) RaiseArgument(30079, "POS");
  if (!IsKind(tktComma) && !IsWord(rwIN)) RaiseExpected(30080, ",' or 'IN");
  Next();
  TNode haystack = StringArgument();
  if (!haystack) RaiseArgument(30081, "POS");
  Require(tktRightParenthesis, 30082, ")");
  auto node = std::make_unique<TQELExprNodeStringFunction>(eoPosition);
  node->AddChild(std::move(needle));
  node->AddChild(std::move(haystack));
  return node;
}

TNode TQELExpressionParser::Extract() {
  constexpr const char* kParts = "YEAR or MONTH or DAY or HOUR or MINUTE or SECOND";
  if (!IsWord(rwEXTRACT)) return nullptr;
  Next();
  Require(tktLeftParenthesis, 20277, "(");
  if (AtEnd()) RaiseExpected(20278, kParts);
  TQELDatePart part;
  if (IsWord(rwYEAR)) {
    part = dpYear;
  } else if (IsWord(rwMONTH)) {
    part = dpMonth;
  } else if (IsWord(rwDAY)) {
    part = dpDay;
  } else if (IsWord(rwHOUR)) {
    part = dpHour;
  } else if (IsWord(rwMINUTE)) {
    part = dpMinute;
  } else if (IsWord(rwSECOND)) {
    part = dpSecond;
  } else {
    RaiseExpected(20279, kParts);
  }
  Next();
  RequireWord(rwFROM, 20280, "FROM");
  const std::int32_t start = FPos;
  TNode value = P1();
  if (!value) {
    FPos = start;
    value = D1();  // CURRENT_DATE and the like are dates too
  }
  if (!value) RaiseArgument(20281, "EXTRACT (... FROM ...)");
  Require(tktRightParenthesis, 20282, ")");
  auto node = std::make_unique<TQELExprNodeDateFunction>(eoExtract);
  node->SetDatePart(part);
  node->AddChild(std::move(value));
  return node;
}

TNode TQELExpressionParser::Length() {
  if (!IsWord(rwLENGTH)) return nullptr;
  Next();
  Require(tktLeftParenthesis, 30083, "(");
  TNode argument = StringArgument();
  if (!argument) RaiseArgument(30085, "LENGTH");
  Require(tktRightParenthesis, 30084, ")");
  auto node = std::make_unique<TQELExprNodeStringFunction>(eoLength);
  node->AddChild(std::move(argument));
  return node;
}

TNode TQELExpressionParser::LastAutoinc() {
  if (IsWord(rwROWNUM)) {
    Next();
    return std::make_unique<TQELExprNodeSystem>(eoRowNum);
  }
  if (!IsWord(rwLASTAUTOINC)) return nullptr;
  Next();
  Require(tktLeftParenthesis, 30086, "(");
  std::string table = Tok().Text;
  Next();
  bool inMemory = false;
  if (IsWord(rwMEMORY)) {
    inMemory = true;
    Next();
  }
  Require(tktComma, 30334, ",");
  std::string field = Tok().Text;
  Next();
  Require(tktRightParenthesis, 30089, ")");
  auto node = std::make_unique<TQELExprNodeSystem>(eoLastAutoinc);
  node->SetAutoincTarget(std::move(table), std::move(field), inMemory || FOwner.FInMemory,
                         FOwner.FDatabaseName);
  return node;
}

TNode TQELExpressionParser::MathFunction() {
  struct TFunction {
    std::uint16_t Word;
    TQELExprOperator Op;
    const char* Name;
  };
  static constexpr TFunction kFunctions[] = {
      {rwABS, eoAbs, "ABS"},       {rwACOS, eoAcos, "ACOS"},    {rwASIN, eoAsin, "ASIN"},
      {rwATAN, eoAtan, "ATAN"},    {rwCEIL, eoCeil, "CEIL"},    {rwCOS, eoCos, "COS"},
      {rwEXP, eoExp, "EXP"},       {rwFLOOR, eoFloor, "FLOOR"}, {rwLOG, eoLog, "LOG"},
      {rwRAND, eoRand, "RAND"},    {rwSIGN, eoSign, "SIGN"},    {rwSIN, eoSin, "SIN"},
      {rwSQR, eoSqr, "SQR"},       {rwSQRT, eoSqrt, "SQRT"},
  };
  if (IsWord(rwPOWER)) {
    Next();
    Require(tktLeftParenthesis, 20264, "(");
    TNode base = NumericArgument();
    if (!base) RaiseArgument(20265, "POWER");
    if (!IsKind(tktComma)) RaiseAt(20267, "comma (\",\") expected but not found at line %d, column %d");
    Next();
    TNode exponent = NumericArgument();
    if (!exponent) RaiseArgument(20268, "POWER");
    Require(tktRightParenthesis, 20266, ")");
    auto node = std::make_unique<TQELExprNodeArithmetic>(eoPower);
    node->AddChild(std::move(base));
    node->AddChild(std::move(exponent));
    return node;
  }
  if (IsWord(rwROUND)) {
    Next();
    Require(tktLeftParenthesis, 30502, "(");
    auto node = std::make_unique<TQELExprNodeArithmetic>(eoRound);
    TNode value = NumericArgument();
    if (!value) RaiseArgument(30503, "ROUND");
    node->AddChild(std::move(value));
    if (IsKind(tktComma)) {
      Next();
      TNode digits = NumericArgument();
      if (!digits) RaiseArgument(30504, "ROUND");
      node->AddChild(std::move(digits));
      if (IsKind(tktComma)) {
        Next();
        if (Tok().TokenType != tktReservedWord || Tok().ReservedWord < rwHALFEVEN ||
            Tok().ReservedWord > rwRNDUP) {
          RaiseArgument(30505, "ROUND");
        }
        TQELVariant mode;
        SetIntegerValue(mode, Tok().ReservedWord);
        Next();
        node->AddChild(MakeConst(mode));
      }
    }
    Require(tktRightParenthesis, 30506, ")");
    return node;
  }
  for (const TFunction& function : kFunctions) {
    if (!IsWord(function.Word)) continue;
    Next();
    Require(tktLeftParenthesis, 20261, "(");
    TNode argument = NumericArgument();
    if (!argument) RaiseArgument(20262, function.Name);
    Require(tktRightParenthesis, 20263, ")");
    auto node = std::make_unique<TQELExprNodeArithmetic>(function.Op);
    node->AddChild(std::move(argument));
    return node;
  }
  return nullptr;
}

}  // namespace qel
