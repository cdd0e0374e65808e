// The expression parser: the trees it builds (rewrites included), its
// errors with their texts and positions, nesting, and work that stays
// linear in the input.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "ExpressionTestSupport.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

using test::Shape;

// The tree of a condition parsed without a cursor (no field is bound).
std::string ConditionShape(const std::string& text, bool partialCompare = false,
                           const TQELSQLParams* params = nullptr) {
  TQELLexer lexer(text, params);
  lexer.NextCommand();
  TQELExpression expression;
  expression.SetPartialCompare(partialCompare);
  expression.ParseSearchCondition(nullptr, lexer);
  return Shape(*expression.Root());
}

std::string ValueShape(const std::string& text) {
  TQELLexer lexer(text, nullptr);
  lexer.NextCommand();
  TQELExpression expression;
  expression.ParseValueExpression(nullptr, lexer);
  return expression.IsEmpty() ? "empty" : Shape(*expression.Root());
}

// The message of the error a filter text raises, or "".
std::string FilterError(const std::string& text) {
  test::TTestRecord record;
  try {
    TQELExpression expression;
    expression.ParseFilter(&record, text, false, false);
  } catch (const EQELException& e) {
    return e.what();
  }
  return "";
}

TEST(ExpressionParserTest, Shapes) {
  struct TCase {
    const char* Text;
    const char* Shape;
  };
  const TCase cases[] = {
      {"ISTILAH ='abc'", "= ordered(ISTILAH, STRING:'abc')"},
      {"ISTILAH Like '%abc%'", "LIKE(ISTILAH, STRING:'%abc%')"},
      {"ISTILAH Like 'A%'", "= ordered like-prefix(ISTILAH, STRING:'A')"},
      {"ISTILAH Like 'A_%'", "LIKE(ISTILAH, STRING:'A_%')"},
      {"ISTILAH Like 'A%B%'", "LIKE(ISTILAH, STRING:'A%B%')"},
      {"ISTILAH Like '%'", "LIKE(ISTILAH, STRING:'%')"},
      {"x NOT LIKE 'ab%'", "<> ordered like-prefix(x, STRING:'ab')"},
      {"x LIKE 'ab%' ESCAPE '!'", "LIKE escape !(x, STRING:'ab%')"},
      {"ISTILAH In('a','b','c')", "IN(ISTILAH, STRING:'a', STRING:'b', STRING:'c')"},
      {"x In ('a' 'b')", "IN(x, STRING:'a', STRING:'b')"},
      {"x NOT IN (1, NULL)", "NOT IN(x, INTEGER:1, INTEGER:NULL)"},
      // Conjunctions flatten into one AND, whatever their nesting.
      {"a = 1 AND b = 2 AND (c = 3 AND d = 4)",
       "AND(=(a, INTEGER:1), =(b, INTEGER:2), =(c, INTEGER:3), =(d, INTEGER:4))"},
      {"(a = 1 AND (b = 2 AND (c = 3 OR d = 4)))",
       "AND(=(a, INTEGER:1), =(b, INTEGER:2), OR(=(c, INTEGER:3), =(d, INTEGER:4)))"},
      {"a = 1 OR b = 2 OR c = 3", "OR(OR(=(a, INTEGER:1), =(b, INTEGER:2)), =(c, INTEGER:3))"},
      // A field compared with NULL is a NULL test.
      {"x = NULL", "IS NULL(x)"},
      {"NULL = x", "IS NULL(x)"},
      {"x <> NULL", "IS NOT NULL(x)"},
      {"NULL = NULL", "=(INTEGER:NULL, INTEGER:NULL)"},
      // Sums keep their terms in one node, minus signs as negations.
      {"1 - 2 + 3 = x", "=(+(INTEGER:1, -(INTEGER:2), INTEGER:3), x)"},
      {"a - b * c < 0", "<(+(a, *(-(b), c)), INTEGER:0)"},
      {"a * b / c > 1", ">(/(*(a, b), c), INTEGER:1)"},
      {"'a' + 'b' = x", "=(||(STRING:'a', STRING:'b'), x)"},
      {"f || 'x' = y", "=(||(f, STRING:'x'), y)"},
      // Truth tests.
      {"x IS NOT FALSE", "x"},
      {"x IS TRUE", "x"},
      {"x IS FALSE", "NOT(x)"},
      {"x IS NOT TRUE", "NOT(x)"},
      {"x IS UNKNOWN", "IS NULL(x)"},
      {"x IS NOT UNKNOWN", "IS NOT NULL(x)"},
      {"NOT x > 1", "NOT(>(x, INTEGER:1))"},
      // Literals below 2147483647 are 32-bit.
      {"x = 2147483646", "=(x, INTEGER:2147483646)"},
      {"x = 2147483647", "=(x, LARGEINT:2147483647)"},
      {"x = -2147483648", "=(x, -(LARGEINT:2147483648))"},
      {"x = 1.5e3", "=(x, FLOAT:1500)"},
      {"x BETWEEN 1 AND 2 AND y = 3", "AND(BETWEEN(x, INTEGER:1, INTEGER:2), =(y, INTEGER:3))"},
      {"x NOT BETWEEN 'a' AND 'b'", "NOT BETWEEN(x, STRING:'a', STRING:'b')"},
      {"x = DATE '2006-01-02'", "= ordered(x, DATE:2006-01-02)"},
      {"t.a = s.b", "=(t.a, s.b)"},
      {"[my field] = 1", "=(my field, INTEGER:1)"},
      {"`select` = 1", "=(select, INTEGER:1)"},
      {"x = ROUND(2.5)", "=(x, ROUND(FLOAT:2.5))"},
      {"x = ROUND(y, 2)", "=(x, ROUND(y, INTEGER:2))"},
      {"CASE WHEN a = 1 THEN 'x' ELSE 'y' END = z",
       "=(CASE(=(a, INTEGER:1), STRING:'x', STRING:'y'), z)"},
      {"COALESCE(a, b, 0) > 1", ">(COALESCE(a, b, INTEGER:0), INTEGER:1)"},
      {"d = CURRENT_DATE - 1", "=(d, +(CURRENT_DATE, -(INTEGER:1)))"},
      {"COUNT(*) > 1 AND SUM(DISTINCT x) < 9",
       "AND(>(COUNT(*)(), INTEGER:1), <(SUM DISTINCT(x), INTEGER:9))"},
      {"x = CAST(y AS VARCHAR(10))", "=(x, CAST STRING(y, INTEGER:10))"},
      {"x = SUBSTRING(y FROM 2 FOR 3)", "=(x, SUBSTRING(y, INTEGER:2, INTEGER:3))"},
      {"LENGTH(NULL) = 0", "=(LENGTH(INTEGER:NULL), INTEGER:0)"},
      // A value alone is the condition that it is true.
      {"b", "b"},
      {"(b)", "b"},
      // Subqueries are kept as token ranges.
      {"x > ALL (SELECT a FROM t)", "> ALL(SUBQUERY, x)"},
      {"x = ANY ((SELECT a FROM t WHERE (b = 1)))", "= ANY(SUBQUERY, x)"},
      {"EXISTS (SELECT 1 FROM t) AND x = 1", "AND(EXISTS(SUBQUERY), =(x, INTEGER:1))"},
      {"x IN (SELECT a FROM t WHERE (b IN (1, 2)))", "IN(x, SUBQUERY)"},
      {"x = (SELECT MAX(a) FROM t)", "=(x, SUBQUERY)"},
  };
  for (const TCase& c : cases) EXPECT_EQ(ConditionShape(c.Text), c.Shape) << c.Text;

  // With partial comparison (a filter option) a constant ending in an
  // asterisk becomes a prefix.
  EXPECT_EQ(ConditionShape("x = 'ab*'", true), "= ordered partial(x, STRING:'ab')");
  EXPECT_EQ(ConditionShape("'ab*' = x", true), "= ordered partial(STRING:'ab', x)");
  EXPECT_EQ(ConditionShape("x = 'ab*'", false), "= ordered(x, STRING:'ab*')");
  EXPECT_EQ(ConditionShape("x = '*'", true), "= ordered partial(x, STRING:'')");

  // Parameters become constants of their values.
  TQELSQLParams params;
  params.AddParam().SetAsInteger(5);
  params.Items(0).SetName("p");
  TQELSQLParam& text = params.AddParam();
  text.SetName("t");
  text.SetAsString("abc%");
  TQELSQLParam& empty = params.AddParam();
  empty.SetName("n");
  EXPECT_EQ(ConditionShape(":p = x", false, &params), "=(INTEGER:5, x)");
  EXPECT_EQ(ConditionShape("x LIKE :t", false, &params), "= ordered like-prefix(x, STRING:'abc')");
  EXPECT_EQ(ConditionShape("x = :n", false, &params), "IS NULL(x)");

  // Value expressions stop before what is not theirs.
  EXPECT_EQ(ValueShape("a + 1 FROM t"), "+(a, INTEGER:1)");
  EXPECT_EQ(ValueShape("'a' || b || 'c'"), "||(STRING:'a', b, STRING:'c')");
  EXPECT_EQ(ValueShape("FROM"), "empty");
  EXPECT_TRUE(TQELExpression::IsValueExpressionText("a + 1"));
  EXPECT_TRUE(TQELExpression::IsValueExpressionText("UPPER('x') || 'y'"));
  EXPECT_FALSE(TQELExpression::IsValueExpressionText("a + 1 b"));
  EXPECT_FALSE(TQELExpression::IsValueExpressionText("a = 1"));
  EXPECT_FALSE(TQELExpression::IsValueExpressionText("1; 2"));
  EXPECT_FALSE(TQELExpression::IsValueExpressionText("'unterminated"));
}

TEST(ExpressionParserTest, ErrorTexts) {
  struct TCase {
    const char* Text;
    const char* Message;
  };
  const TCase cases[] = {
      {"", "Blank SQL command - Native error: 30119"},
      {"-- only a comment", "Blank SQL command - Native error: 30119"},
      {"I = 1 AND", "Boolean expression expected, but '' found at line 1, column 7 - Native error: 30069"},
      {"I = 1 OR", "Boolean expression expected, but '' found at line 1, column 7 - Native error: 30070"},
      {"I IS MAYBE",
       "Token 'TRUE, FALSE or UNKNOWN' expected, but 'MAYBE' found at line 1, column 6 - Native error: 30067"},
      {"I IS", "Unexpected end of SQL command found at line 1, column 3 - Native error: 30063"},
      {"I = 1 garbage", "Unexpected token 'garbage' found at line 1, column 7 - Native error: 30064"},
      {"S LIKE 'a' ESCAPE 'ab'",
       "Invalid escape character length (should be a single character) at line 1, column 19 - Native error: 20294"},
      {"S LIKE 'a' ESCAPE",
       "Invalid escape character length (should be a single character) at line 1, column 12 - Native error: 20294"},
      {"ROUND(D, 2, 'up') = 1", "Argument expected for function 'ROUND' at line 1, column 13 - Native error: 30505"},
      {"ROUND(D, 2, AND) = 1", "Argument expected for function 'ROUND' at line 1, column 13 - Native error: 30505"},
      {"EXTRACT(WEEK FROM DT) = 1",
       "Token 'YEAR or MONTH or DAY or HOUR or MINUTE or SECOND' expected, but 'WEEK' found at line 1, "
       "column 9 - Native error: 20279"},
      {"DT = DATE '2006-13-45'",
       "Date string expected \"YYYY-MM-DD\", but found \"2006-13-45\" at line 1, column 11 - Native error: 20284"},
      {"DT = DATE 5", "Date string expected \"YYYY-MM-DD\", but found \"5\" at line 1, column 11 - Native error: 20283"},
      {"TM = TIME '25:00:00'",
       "Time string expected \"HH:MM:SS\", but found \"25:00:00\" at line 1, column 11 - Native error: 20286"},
      {"I = 1.2.3", "Invalid numeric constant '1.2.3' at line 1, column 5 - Native error: 30507"},
      {"D = 1e999", "Invalid numeric constant '1e999' at line 1, column 5 - Native error: 30507"},
      {"L = 99999999999999999999",
       "Invalid numeric constant '99999999999999999999' at line 1, column 5 - Native error: 30507"},
      {"S = 'a' || from t", "String expression expected, but 'from' found at line 1, column 12 - Native error: 30509"},
      {"S = 'a' + ", "String expression expected, but '' found at line 1, column 9 - Native error: 30509"},
      {"S = CAST(I AS FOO)", "Cannot convert an expression to specified type: 'FOO' - Native error: 30077"},
      {"SUM() = 1", "Argument expected for function 'SUM' at line 1, column 5 - Native error: 30102"},
      {"I = CASE I WHEN 1 THEN 2",
       "Token 'END' expected, but '' found at line 1, column 24 - Native error: 30472"},
      {"I = CASE I THEN 2 END", "Token 'WHEN' expected, but 'THEN' found at line 1, column 12 - Native error: 30468"},
      {"I = CASE WHEN B THEN 2 ELSE END",
       "'Else Result Expression' for CASE function expected, but 'END' found at line 1, column 29 - Native error: 30477"},
      {"I = COALESCE()", "COALESCE arguments are missed at line 1, column 14 - Native error: 20276"},
      {"S = UPPER(1 = 2)", "Token ')' expected, but '=' found at line 1, column 13 - Native error: 30091"},
      {"D = POWER(2 3)", "comma (\",\") expected but not found at line 1, column 13 - Native error: 20267"},
      {"I = POSITION('a' 'b')", "Token ',' or 'IN' expected, but 'b' found at line 1, column 18 - Native error: 30080"},
      {"S = TOSTRING(DT, 5)", "Const DateFormat string expected, but '5' found at line 1, column 18 - Native error: 30096"},
      {"EXISTS ((SELECT 1 FROM t)", "Missing symbol ')' at line 1, column 8 - Native error: 30059"},
      {"NOSUCH = 1", "Field 'NOSUCH' not found - Native error: 30115"},
      // Positions on several lines: a tab is one column, a carriage return
      // none.
      {"I = 1\n\tAND\n\tS IS\tMAYBE",
       "Token 'TRUE, FALSE or UNKNOWN' expected, but 'MAYBE' found at line 3, column 7 - Native error: 30067"},
      {"I = 1 AND\r\n\t(S = 'x' OR)",
       "Boolean expression expected, but ')' found at line 2, column 13 - Native error: 30070"},
      {"I = 1\r\n  AND DT = DATE\t'x'",
       "Date string expected \"YYYY-MM-DD\", but found \"x\" at line 2, column 17 - Native error: 20284"},
  };
  for (const TCase& c : cases) EXPECT_EQ(FilterError(c.Text), c.Message) << c.Text;

  // The entries' own checks.
  TQELLexer empty("", nullptr);
  TQELExpression expression;
  EXPECT_EQ(test::NativeErrorOf([&] { expression.ParseSearchCondition(nullptr, empty); }), 30118);
  EXPECT_EQ(test::NativeErrorOf([&] { expression.ParseValueExpression(nullptr, empty); }), 30136);
  EXPECT_EQ(test::NativeErrorOf([&] { expression.ParseSubquery(nullptr, empty); }), 30497);
  TQELLexer nothing("FROM", nullptr);
  nothing.NextCommand();
  try {
    expression.ParseSearchCondition(nullptr, nothing);
    FAIL() << "no error";
  } catch (const EQELException& e) {
    EXPECT_STREQ(e.what(), "Boolean expression expected, but 'FROM' found at line 1, column 1 - Native error: 30066");
  }
  EXPECT_TRUE(expression.IsEmpty());
  EXPECT_EQ(test::NativeErrorOf([&] { expression.GetBooleanValue(); }), 30110);
  std::string table, field;
  EXPECT_EQ(test::NativeErrorOf([&] { expression.GetFieldName(table, field); }), 30198);
}

// Nesting that the old grammar parsed in exponential time: each level is
// tried by several alternatives, and each try used to parse the levels
// inside it again.
TEST(ExpressionParserTest, DeepNestingParsesInLinearWork) {
  const auto nest = [](const std::string& inner, int depth) {
    return std::string(static_cast<std::size_t>(depth), '(') + inner +
           std::string(static_cast<std::size_t>(depth), ')');
  };
  const auto clock = std::chrono::steady_clock::now;
  const auto start = clock();
  const std::string texts[] = {
      nest("I = 7", 25),
      "I = " + nest("7", 25),
      nest("'abc'", 25) + " = S",
      nest(nest("I", 12) + " = 7 AND " + nest("S", 12) + " LIKE 'a%'", 13),
      "'ABC' = UPPER(UPPER(UPPER(UPPER(UPPER(UPPER(UPPER(UPPER(UPPER(UPPER(UPPER(UPPER(UPPER("
      "UPPER(UPPER(UPPER(UPPER(UPPER(UPPER(UPPER(UPPER(UPPER(UPPER(UPPER(UPPER(S)))))))))))))))))))))))))",
      nest("CASE WHEN " + nest("CASE WHEN I = 7 THEN B END", 10) + " THEN B END", 10),
      nest("I = 7", 60),
  };
  test::TTestRecord record;
  for (const std::string& text : texts) {
    auto expression = test::Parse(record, text);
    EXPECT_FALSE(expression->IsEmpty()) << text;
    EXPECT_EQ(test::Show(expression->Evaluate()), "TRUE") << text;
  }
  std::string tostring = "DT";
  for (int i = 0; i < 25; ++i) tostring = "TOSTRING(" + tostring + ", 'YYYY-MM-DD')";
  EXPECT_EQ(test::ValueOf(record, tostring), "'2024-03-07'");
  // Exponential work would take minutes; linear work takes milliseconds.
  EXPECT_LT(std::chrono::duration<double>(clock() - start).count(), 5.0);

  // 100 000 parentheses: the depth error, at once.
  const auto deep = clock();
  EXPECT_EQ(FilterError(nest("I = 1", 100000)),
            "Expression nested too deeply at line 1, column 100 - Native error: 30508");
  EXPECT_EQ(test::NativeErrorOf([&] { test::Parse(record, "I = " + nest("1", 100000)); }), 30508);
  EXPECT_LT(std::chrono::duration<double>(clock() - deep).count(), 5.0);
}

TEST(ExpressionParserTest, LikeWorkIsLinear) {
  // Ten thousand characters against a pattern with many '%': exact runs,
  // the general matcher (case ignored), wide text and UTF-8 text.
  const std::string text(10000, 'a');
  struct TCase {
    bool CaseInsensitive;
    bool Matches;
    std::string Text;
  };
  const TCase cases[] = {
      {false, false, text},
      {true, false, text},
      {false, true, text + "b"},
      {true, true, text + "B"},
      {false, false, std::string(5000, 'a') + "\xC3\xA1" + std::string(5000, 'a')},
  };
  for (const TCase& c : cases) {
    TQELLikeMatcher matcher;
    matcher.Compile("%a%a%a%a%a%b", -1, c.CaseInsensitive);
    EXPECT_EQ(matcher.Matches(c.Text), c.Matches);
    EXPECT_LE(matcher.Steps(), 4 * c.Text.size()) << c.CaseInsensitive;
  }
  TQELLikeMatcher wide;
  wide.Compile(u"%a%a%a%a%a%b", -1, false);
  EXPECT_FALSE(wide.Matches(std::u16string(10000, u'a')));
  EXPECT_LE(wide.Steps(), 40000u);
  // Through the expression, on a field of 10 KB.
  test::TTestRecord record;
  record.SetMemo("M", text);
  EXPECT_EQ(test::ConditionOf(record, "M LIKE '%a%a%a%a%a%b'"), "FALSE");
  EXPECT_EQ(test::ConditionOf(record, "M LIKE '%a%a%a%a%a%'"), "TRUE");
  EXPECT_EQ(test::ConditionOf(record, "M LIKE '%a_a%a%a%a%a'"), "TRUE");
}

}  // namespace
}  // namespace qel
