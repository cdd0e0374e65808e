// Expression evaluation against one record: NULL rules, LIKE, ROUND's
// modes, string, date and mathematical functions, aggregates, CAST, CASE
// and COALESCE.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ExpressionTestSupport.h"
#include "platform/QELCollation.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

using test::ConditionOf;
using test::TTestRecord;
using test::ValueOf;

struct TCase {
  const char* Text;
  const char* Expected;
};

void ExpectConditions(TTestRecord& record, std::initializer_list<TCase> cases) {
  for (const TCase& c : cases) EXPECT_EQ(ConditionOf(record, c.Text), c.Expected) << c.Text;
}

void ExpectValues(TTestRecord& record, std::initializer_list<TCase> cases) {
  for (const TCase& c : cases) EXPECT_EQ(ValueOf(record, c.Text), c.Expected) << c.Text;
}

class ExpressionEvaluationTest : public ::testing::Test {
 protected:
  void SetUp() override { QELSetCollationLocale("en_US"); }
  void TearDown() override { QELSetCollationLocale(""); }
  TTestRecord Record;
};

TEST_F(ExpressionEvaluationTest, NullMatrix) {
  ExpectConditions(Record, {
      // A comparison is never NULL. NULL is unordered against numbers and
      // other fields, ordered (lowest) against text, dates and NULL.
      {"N = 1", "FALSE"},
      {"N <> 1", "FALSE"},
      {"N < 1", "FALSE"},
      {"N = N", "FALSE"},
      {"NULL = NULL", "FALSE"},
      {"NS < 'a'", "TRUE"},
      {"NS > 'a'", "FALSE"},
      {"NS <> 'a'", "TRUE"},
      {"ND < DATE '2000-01-01'", "TRUE"},
      {"NS = NULL", "TRUE"},
      {"NULL = NS", "TRUE"},
      {"NS <> NULL", "FALSE"},
      {"I = NULL", "FALSE"},
      // IN: a NULL tested value gives NULL, a NULL element matches nothing.
      {"I IN (1, NULL)", "FALSE"},
      {"I IN (7, NULL)", "TRUE"},
      {"I NOT IN (1, NULL)", "TRUE"},
      {"N IN (1, 2)", "NULL"},
      {"N NOT IN (1)", "NULL"},
      {"N IN (NULL)", "NULL"},
      // NOT keeps NULL.
      {"NOT NB", "NULL"},
      {"NOT B", "FALSE"},
      {"NOT (N IN (1))", "NULL"},
      // BETWEEN: NULL when any of the three is.
      {"N BETWEEN 1 AND 10", "NULL"},
      {"I BETWEEN N AND 10", "NULL"},
      {"I BETWEEN 1 AND N", "NULL"},
      {"I BETWEEN 1 AND 10", "TRUE"},
      {"I NOT BETWEEN 1 AND 5", "TRUE"},
      // Truth tests are never NULL, except IS NOT FALSE, which keeps its
      // operand.
      {"N IS NULL", "TRUE"},
      {"I IS NOT NULL", "TRUE"},
      {"NB IS UNKNOWN", "TRUE"},
      {"NB IS NOT UNKNOWN", "FALSE"},
      {"(I = 7) IS NOT TRUE", "FALSE"},
      {"(I = 1) IS FALSE", "TRUE"},
      {"NB IS NOT FALSE", "NULL"},
      // LIKE of NULL is NULL, in its rewritten prefix form too.
      {"NS LIKE '%a'", "NULL"},
      {"NS LIKE 'a%'", "NULL"},
      {"NS NOT LIKE 'a%'", "NULL"},
      {"S LIKE NULL", "NULL"},
  });
  // AND and OR with TRUE, FALSE and NULL in each position.
  const char* const operands[] = {"B", "F", "NB"};
  const char* const andTable[3][3] = {
      {"TRUE", "FALSE", "NULL"}, {"FALSE", "FALSE", "FALSE"}, {"NULL", "FALSE", "NULL"}};
  const char* const orTable[3][3] = {
      {"TRUE", "TRUE", "TRUE"}, {"TRUE", "FALSE", "NULL"}, {"TRUE", "NULL", "NULL"}};
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      const std::string left = operands[a];
      const std::string right = operands[b];
      EXPECT_EQ(ConditionOf(Record, left + " AND " + right), andTable[a][b]) << left << " AND " << right;
      EXPECT_EQ(ConditionOf(Record, left + " OR " + right), orTable[a][b]) << left << " OR " << right;
      EXPECT_EQ(ConditionOf(Record, left + " AND " + right + " AND B"), andTable[a][b]);
    }
  }
}

TEST_F(ExpressionEvaluationTest, Like) {
  ExpectConditions(Record, {
      {"'abc' LIKE 'a%'", "TRUE"},
      {"'abc' LIKE 'A%'", "FALSE"},
      {"'abc' LIKE 'ab'", "FALSE"},
      {"'abc' LIKE 'a_c'", "TRUE"},
      {"'ac' LIKE 'a_c'", "FALSE"},
      {"'abc' LIKE '%c'", "TRUE"},
      {"'abc' LIKE '%b%'", "TRUE"},
      {"'abc' LIKE '%%'", "TRUE"},
      {"'abc' LIKE '_%_'", "TRUE"},
      {"'a' LIKE '_%_'", "FALSE"},
      {"'ab' LIKE 'a_%'", "TRUE"},
      {"'abcabd' LIKE '%ab_'", "TRUE"},
      {"'abcabd' LIKE 'a%c%d'", "TRUE"},
      {"'abcabd' LIKE 'a%c%e'", "FALSE"},
      // Escapes; an escape at the pattern's end stands for itself.
      {"'a%c' LIKE 'a!%c' ESCAPE '!'", "TRUE"},
      {"'abc' LIKE 'a!%c' ESCAPE '!'", "FALSE"},
      {"'a_c' LIKE 'a#_c' ESCAPE '#'", "TRUE"},
      {"'abc' LIKE 'a#_c' ESCAPE '#'", "FALSE"},
      {"'a!b' LIKE 'a!!b' ESCAPE '!'", "TRUE"},
      {"'abc!' LIKE 'abc!' ESCAPE '!'", "TRUE"},
      {"'abc' LIKE 'abc!' ESCAPE '!'", "FALSE"},
      // A value shorter than a 'prefix%' pattern does not match it.
      {"S LIKE 'ab%'", "TRUE"},
      {"'a' LIKE 'ab%'", "FALSE"},
      {"S NOT LIKE 'ab%'", "FALSE"},
      {"'a' NOT LIKE 'ab%'", "TRUE"},
      {"S LIKE 'abcd%'", "FALSE"},
      // Characters are code points; wide strings are matched by unit.
      {"'\xC5\x9D" "abc' LIKE '_abc'", "TRUE"},
      {"'\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E' LIKE '\xE6\x97\xA5_\xE8\xAA\x9E'", "TRUE"},
      {"'\xE6\x97\xA5\xE6\x9C\xAC' LIKE '___'", "FALSE"},
      {"W LIKE 'wi%'", "TRUE"},
      {"W LIKE '_i_e'", "TRUE"},
      {"W LIKE 'WIDE'", "FALSE"},
      {"W NOT LIKE '%x%'", "TRUE"},
      // Other values are matched as their text; two numbers are no text.
      {"I LIKE '7'", "TRUE"},
      {"D LIKE '2%'", "TRUE"},
      {"I LIKE 7", "error 30120"},
      {"M LIKE '%memo%'", "TRUE"},
  });
  // Case-insensitive matching, as filters ask for it.
  for (const char* text : {"S LIKE 'A_C'", "S LIKE 'AB%'", "W LIKE 'WI%'", "S = 'ABC'"}) {
    TQELExpression expression;
    expression.SetCursor(&Record);
    expression.SetCaseInsensitive(true);
    TQELLexer lexer(text, nullptr);
    lexer.NextCommand();
    expression.ParseSearchCondition(nullptr, lexer);
    EXPECT_TRUE(expression.GetBooleanValue()) << text;
  }
}

TEST_F(ExpressionEvaluationTest, RoundModes) {
  struct TRound {
    const char* Mode;
    const char* Results[4];  // 2.5, -2.5, 3.5, -3.5
  };
  const TRound modes[] = {
      {"HALFEVEN", {"2", "-2", "4", "-4"}}, {"HALFPOS", {"3", "-2", "4", "-3"}},
      {"HALFNEG", {"2", "-3", "3", "-4"}},  {"HALFDOWN", {"2", "-2", "3", "-3"}},
      {"HALFUP", {"3", "-3", "4", "-4"}},   {"RNDNEG", {"2", "-3", "3", "-4"}},
      {"RNDPOS", {"3", "-2", "4", "-3"}},   {"RNDDOWN", {"2", "-2", "3", "-3"}},
      {"RNDUP", {"3", "-3", "4", "-4"}},
  };
  const char* const values[] = {"2.5", "-2.5", "3.5", "-3.5"};
  for (const TRound& mode : modes) {
    for (int i = 0; i < 4; ++i) {
      const std::string text = std::string("ROUND(") + values[i] + ", 0, " + mode.Mode + ")";
      EXPECT_EQ(ValueOf(Record, text), mode.Results[i]) << text;
    }
  }
  ExpectValues(Record, {
      {"ROUND(2.5)", "2"},
      {"ROUND(3.5)", "4"},
      {"ROUND(-2.5, 0, HALFUP)", "-3"},
      {"ROUND(-2.5, 0, HALFPOS)", "-2"},
      // The tolerance makes 2.675's binary neighbour count as the tie.
      {"ROUND(2.675, 2, HALFUP)", "2.68"},
      {"ROUND(1234, -2, HALFEVEN)", "1200"},
      {"ROUND(1250, -2)", "1200"},
      {"ROUND(D, 0, RNDUP)", "3"},
      {"ROUND(0.125, 2, RNDNEG)", "0.12"},
      // Too large for digits at the precision: the value itself.
      {"ROUND(1e300, 2)", "1E+300"},
      {"ROUND(-1e300, 2, HALFUP)", "-1E+300"},
      {"ROUND(1e300, -2)", "1E+300"},
      {"ROUND(123.456, 400)", "123.456"},
      {"ROUND(123.456, -400)", "0"},
      // One argument gives a 32-bit integer: a larger value does not fit.
      {"ROUND(1e300)", "error 30511"},
      {"ROUND(2147483648.0)", "error 30511"},
      {"ROUND(NULL, 2)", "NULL"},
      {"ROUND(D, NULL)", "NULL"},
  });
}

TEST_F(ExpressionEvaluationTest, MathFunctions) {
  ExpectValues(Record, {
      {"ABS(SI)", "5"},
      {"ABS(-2.5)", "2.5"},
      {"ABS(I)", "7"},
      {"SIGN(-3)", "-1"},
      {"SIGN(0)", "0"},
      {"SIGN(D)", "1"},
      {"SQR(3)", "9"},
      {"SQRT(16)", "4"},
      {"POWER(2, 10)", "1024"},
      {"EXP(0)", "1"},
      {"LOG(1)", "0"},
      {"COS(0)", "1"},
      {"CEIL(2.1)", "3"},
      {"FLOOR(-2.5)", "-3"},
      {"CEIL(1e10)", "error 30511"},
      {"FLOOR(-3e9)", "error 30511"},
      {"CEIL(2147483647.5)", "error 30511"},
      {"FLOOR(2147483647.5)", "2147483647"},
      {"RAND(1)", "0"},
      {"RAND(0)", "error 30510"},
      {"RAND(-5)", "error 30510"},
      {"RAND(1e10)", "error 30510"},
      // Every function of NULL is NULL.
      {"ABS(N)", "NULL"},
      {"SQRT(N)", "NULL"},
      {"CEIL(N)", "NULL"},
      {"RAND(N)", "NULL"},
      {"POWER(2, N)", "NULL"},
      {"POWER(N, 2)", "NULL"},
      {"SIGN(N)", "NULL"},
      // Operators.
      {"1 - 2 + 3", "2"},
      {"I * 2 - 4 / 2", "12"},
      {"-I", "-7"},
      {"I + N", "NULL"},
      {"L + 1", "5000000001"},
      {"2147483646 + 1", "2147483647"},
      {"1 / 0", "error 30128"},
  });
}

TEST_F(ExpressionEvaluationTest, StringFunctions) {
  ExpectValues(Record, {
      {"UPPER('abc')", "'ABC'"},
      {"LOWER('\xC3\x80" "B')", "'\xC3\xA0" "b'"},
      {"UPPER(W)", "w'WIDE'"},
      {"UPPER(NS)", "NULL"},
      {"TRIM('  a b  ')", "'a b'"},
      {"LTRIM('  a ')", "'a '"},
      {"RTRIM('  a ')", "'  a'"},
      {"TRIM('   ')", "NULL"},
      {"LENGTH(NULL)", "0"},
      {"LENGTH(NS)", "0"},
      {"LENGTH(S)", "3"},
      {"LENGTH('\xE6\x97\xA5\xE6\x9C\xAC')", "2"},
      {"LENGTH(W)", "4"},
      {"LENGTH(M)", "11"},
      {"POSITION('x' IN 'abc')", "0"},
      {"POSITION('c', 'abc')", "3"},
      {"POS('b' IN S)", "2"},
      {"POSITION('\xE8\xAA\x9E' IN '\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E')", "3"},
      {"POSITION('d' IN W)", "3"},
      {"POSITION(NS IN S)", "0"},
      {"SUBSTRING('abcdef', 2, 3)", "'bcd'"},
      {"SUBSTRING('abc', 2)", "'bc'"},
      {"SUBSTRING('abc' FROM 2 FOR 1)", "'b'"},
      {"SUBSTRING('abcdef', 0, 2)", "'ab'"},
      {"SUBSTRING('abcdef', -5, 3)", "'abc'"},
      // Start and count near the 32-bit limits reach no further than the end.
      {"SUBSTRING('abcdef', 5, 2147483647)", "'ef'"},
      {"SUBSTRING('abc', 2147483647, 2147483647)", "NULL"},
      {"SUBSTRING('abc', 1, 1e12)", "'abc'"},
      {"SUBSTRING('abc', 2, -1)", "NULL"},
      {"SUBSTRING('\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E', 2, 1)", "'\xE6\x9C\xAC'"},
      {"SUBSTRING(W, 2, 2)", "w'id'"},
      {"SUBSTRING(NS, 1, 2)", "NULL"},
      {"SUBSTRING(S, N, 2)", "NULL"},
      {"'a' || 'b'", "'ab'"},
      {"'a' + 'b'", "'ab'"},
      {"I || 'x'", "'7x'"},
      {"'a' || NULL", "'a'"},
      {"NS || 'b'", "'b'"},
      {"S || W", "w'abcwide'"},
      {"MIMETOBIN('YWJj')", "'abc'"},
      {"MIMETOBIN('YW\nJjZA==')", "'abcd'"},
  });
}

TEST_F(ExpressionEvaluationTest, DateFunctions) {
  ExpectValues(Record, {
      {"TOSTRING(DT, 'DD.MM.YYYY')", "'07.03.2024'"},
      {"TOSTRING(TM, 'HH12:NN AMPM')", "'10:30 AM'"},
      {"TOSTRING(ND, 'YYYY')", "NULL"},
      {"TODATE('07.03.2024', 'DD.MM.YYYY')", "2024-03-07"},
      {"TOSTRING(TODATE('12:30 PM', 'HH12:NN AMPM'), 'HH24:NN')", "'12:30'"},
      {"TOSTRING(TODATE('12:30 AM', 'HH12:NN AMPM'), 'HH24:NN')", "'00:30'"},
      {"TODATE(NS, 'YYYY')", "NULL"},
      {"EXTRACT(YEAR FROM DT)", "2024"},
      {"EXTRACT(MONTH FROM DT)", "3"},
      {"EXTRACT(DAY FROM DT)", "7"},
      {"EXTRACT(MINUTE FROM TM)", "30"},
      {"EXTRACT(HOUR FROM TM)", "10"},
      {"EXTRACT(YEAR FROM ND)", "NULL"},
      {"EXTRACT(YEAR FROM DATE '1999-12-31')", "1999"},
      {"EXTRACT(SECOND FROM TIMESTAMP '2001-02-03 04:05:06')", "6"},
  });
  auto type = test::Parse(Record, "TODATE('10:00', 'HH24:NN')", true);
  EXPECT_EQ(type->GetDataType(), aftTime);
  EXPECT_EQ(type->Evaluate().DataType(), bftTime);
  auto width = test::Parse(Record, "TOSTRING(DT, 'YYYY-MM-DD')", true);
  EXPECT_EQ(width->GetDataType(), aftString);
  EXPECT_EQ(width->GetDataSize(), 10);
}

TEST_F(ExpressionEvaluationTest, AggregatesOverNoRowsAndMany) {
  struct TAggregate {
    const char* Text;
    const char* Empty;
  };
  const TAggregate aggregates[] = {
      {"SUM(I)", "NULL"}, {"AVG(I)", "NULL"}, {"MIN(I)", "NULL"},   {"MAX(S)", "NULL"},
      {"COUNT(I)", "0"},  {"COUNT(*)", "0"},  {"SUM(DISTINCT I)", "NULL"},
  };
  for (const TAggregate& aggregate : aggregates) {
    auto expression = test::Parse(Record, aggregate.Text, true);
    expression->ResetAggregate();
    EXPECT_EQ(test::Show(expression->Evaluate()), aggregate.Empty) << aggregate.Text;
    EXPECT_TRUE(expression->HasAggregate());
  }
  // Three rows of two billion: the sum does not wrap at 32 bits.
  const auto run = [&](const char* text, std::vector<std::int32_t> values, bool withNull = false) {
    auto expression = test::Parse(Record, text, true);
    expression->ResetAggregate();
    TQELVariant v;
    for (const std::int32_t value : values) {
      v.Clear(bftInteger);
      v.SetAsInteger(value);
      Record.Set("I", v);
      expression->Accumulate();
    }
    if (withNull) {
      Record.Set("I", TQELVariant(bftInteger));
      expression->Accumulate();
    }
    return test::Show(expression->Evaluate());
  };
  EXPECT_EQ(run("SUM(I)", {2000000000, 2000000000, 2000000000}), "6000000000");
  EXPECT_EQ(run("SUM(I)", {1, 2}, true), "3");
  EXPECT_EQ(run("COUNT(I)", {1, 2}, true), "2");
  EXPECT_EQ(run("COUNT(*)", {1, 2}, true), "3");
  EXPECT_EQ(run("AVG(I)", {1, 2}, true), "1.5");
  EXPECT_EQ(run("MIN(I)", {5, -3, 9}), "-3");
  EXPECT_EQ(run("MAX(I)", {5, -3, 9}), "9");
  EXPECT_EQ(run("COUNT(DISTINCT I)", {1, 1, 2, 2, 2}), "2");
  EXPECT_EQ(run("SUM(DISTINCT I)", {1, 1, 2, 2, 2}), "3");
  EXPECT_EQ(run("AVG(DISTINCT I)", {1, 1, 2, 2, 2}), "1.5");
  EXPECT_EQ(run("SUM(I) * 2", {3, 4}), "14");
  // Each group keeps its own distinct values.
  auto grouped = test::Parse(Record, "COUNT(DISTINCT I)", true);
  TQELVariant v;
  for (int group = 0; group < 2; ++group) {
    grouped->ResetAggregate();
    for (const int value : {4, 5, 4}) {
      v.Clear(bftInteger);
      v.SetAsInteger(value);
      Record.Set("I", v);
      grouped->Accumulate();
    }
    EXPECT_EQ(test::Show(grouped->Evaluate()), "2") << "group " << group;
  }
  auto doubles = test::Parse(Record, "SUM(D)", true);
  doubles->ResetAggregate();
  doubles->Accumulate();
  doubles->Accumulate();
  EXPECT_EQ(test::Show(doubles->Evaluate()), "5");
  EXPECT_EQ(doubles->GetDataType(), aftDouble);
  EXPECT_EQ(test::Parse(Record, "SUM(SI)", true)->GetDataType(), aftLargeint);
  auto text = test::Parse(Record, "SUM(S)", true);
  EXPECT_EQ(test::NativeErrorOf([&] { text->Accumulate(); }), 30132);
  auto wide = test::Parse(Record, "SUM(L)", true);
  wide->ResetAggregate();
  v.Clear(bftLargeint);
  v.SetAsLargeint(INT64_MAX);
  Record.Set("L", v);
  wide->Accumulate();
  EXPECT_EQ(test::NativeErrorOf([&] { wide->Accumulate(); }), 30511);
}

TEST_F(ExpressionEvaluationTest, CastValuesAndWidths) {
  ExpectValues(Record, {
      {"CAST(S AS CHAR(2))", "'ab'"},
      {"CAST('12' AS INTEGER)", "12"},
      {"CAST(I AS VARCHAR)", "'7'"},
      {"CAST(I, VARCHAR(10))", "'7'"},
      {"CAST(NULL AS INTEGER)", "NULL"},
      {"CAST('abc' AS WIDESTRING(2))", "w'ab'"},
      {"CAST('\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E' AS VARCHAR(2))", "'\xE6\x97\xA5\xE6\x9C\xAC'"},
      {"CAST(D AS INTEGER)", "2"},
      {"CAST('2024-03-07' AS DATE)", "2024-03-07"},
      {"CAST('x' AS FOO)", "error 30077"},
      {"CAST('x' AS BYTES)", "error 30077"},
  });
  struct TWidth {
    const char* Source;
    std::int32_t Width;
  };
  const TWidth widths[] = {
      {"I", 11}, {"L", 20}, {"D", 26}, {"S", 40}, {"W", 20}, {"DT", 26}, {"TM", 26},
      {"B", 5},  {"C", 21}, {"SI", 6}, {"CH", 10}, {"'abcd'", 4},
  };
  for (const TWidth& width : widths) {
    const std::string text = std::string("CAST(") + width.Source + " AS VARCHAR)";
    auto expression = test::Parse(Record, text, true);
    EXPECT_EQ(expression->GetDataType(), aftString) << text;
    EXPECT_EQ(expression->GetDataSize(), width.Width) << text;
  }
  EXPECT_EQ(test::Parse(Record, "CAST(I AS VARCHAR(5))", true)->GetDataSize(), 5);
  EXPECT_EQ(test::Parse(Record, "CAST(S AS INTEGER)", true)->GetDataSize(), 0);
  EXPECT_EQ(test::Parse(Record, "CAST(S AS DATE)", true)->GetDataType(), aftDate);
  EXPECT_EQ(QELTextWidthOf(aftGuid, 0), 38);
  EXPECT_EQ(QELTextWidthOf(aftWideMemo, 0), 4096);
  EXPECT_EQ(test::NativeErrorOf([] { QELTextWidthOf(aftUnknown, 0); }), 30466);
  // Concatenation: operands of another type are cast, sizes add up.
  auto concatenation = test::Parse(Record, "S || I", true);
  EXPECT_EQ(concatenation->GetDataType(), aftString);
  EXPECT_EQ(concatenation->GetDataSize(), 40 + 11);
  EXPECT_EQ(test::Show(concatenation->Evaluate()), "'abc7'");
}

TEST_F(ExpressionEvaluationTest, CaseAndCoalesce) {
  ExpectValues(Record, {
      {"CASE I WHEN 1 THEN 'one' WHEN 7 THEN 'seven' ELSE 'other' END", "'seven'"},
      {"CASE I WHEN 1 THEN 'one' ELSE 'other' END", "'other'"},
      {"CASE WHEN I > 5 THEN 'big' ELSE 'small' END", "'big'"},
      {"CASE WHEN I > 50 THEN 'big' WHEN I > 5 THEN 'middle' END", "'middle'"},
      {"CASE WHEN NB THEN 1 ELSE 2 END", "2"},
      {"CASE N WHEN 1 THEN 'x' END", "NULL"},
      // The input and the WHEN values compare with NULLs ordered and
      // letter case ignored.
      {"CASE N WHEN NULL THEN 'null matched' END", "'null matched'"},
      {"CASE S WHEN 'ABC' THEN 'no case' END", "'no case'"},
      {"COALESCE(N, NS, 3)", "3"},
      {"COALESCE(NULL, 'a')", "'a'"},
      {"COALESCE(N)", "NULL"},
      {"COALESCE(S I)", "'abc'"},
  });
  auto mixed = test::Parse(Record, "CASE WHEN B THEN I ELSE S END", true);
  EXPECT_EQ(mixed->GetDataType(), aftString);
  EXPECT_EQ(mixed->GetDataSize(), 40);
  EXPECT_EQ(test::Show(mixed->Evaluate()), "'7'");
  auto coalesce = test::Parse(Record, "COALESCE(N, L)", true);
  EXPECT_EQ(coalesce->GetDataType(), aftLargeint);
}

TEST_F(ExpressionEvaluationTest, ConditionHelpersAndConjunctions) {
  TQELExpression key;
  key.BuildKeyCondition(&Record, " s ; i", {TTestRecord::Text("abc"), TTestRecord::Text("7")}, false,
                        false);
  EXPECT_TRUE(key.GetBooleanValue());
  EXPECT_EQ(test::Shape(*key.Root()), "AND(= ordered(S, STRING:'abc'), = ordered(I, STRING:'7'))");
  // Case and partial flags; a NULL key finds a NULL field.
  key.BuildKeyCondition(&Record, "S", {TTestRecord::Text("AB")}, true, true);
  EXPECT_TRUE(key.GetBooleanValue());
  key.BuildKeyCondition(&Record, "S", {TTestRecord::Text("AB")}, false, true);
  EXPECT_FALSE(key.GetBooleanValue());
  key.BuildKeyCondition(&Record, "NS", {TQELVariant(bftString)}, false, false);
  EXPECT_TRUE(key.GetBooleanValue());
  // A number for a date field is a date-time value: 2024-03-07 is day 45358.
  TQELVariant day;
  day.SetAsInteger(45358);
  key.BuildKeyCondition(&Record, "DT", {day}, false, false);
  EXPECT_TRUE(key.GetBooleanValue());
  EXPECT_EQ(test::NativeErrorOf([&] { key.BuildKeyCondition(&Record, "S;I", {day}, false, false); }),
            30112);
  EXPECT_EQ(test::NativeErrorOf([&] { key.BuildKeyCondition(&Record, "NOSUCH", {day}, false, false); }),
            30115);

  TQELExpression comparison;
  TQELVariant five;
  five.SetAsInteger(5);
  comparison.BuildFieldComparison(&Record, "I", five, eoGreater);
  EXPECT_TRUE(comparison.GetBooleanValue());
  comparison.BuildFieldComparison(&Record, "N", five, eoLess);
  EXPECT_TRUE(comparison.GetBooleanValue());  // NULL ordered: lowest

  // AndWith makes one flat AND.
  auto first = test::Parse(Record, "I = 7 AND S = 'abc'");
  auto second = test::Parse(Record, "B AND (D > 2 AND N IS NULL)");
  first->AndWith(*second);
  EXPECT_TRUE(second->IsEmpty());
  EXPECT_EQ(first->Root()->ChildCount(), 5);
  EXPECT_TRUE(first->GetBooleanValue());
  // A NULL comes back as false unless asked for.
  auto unknown = test::Parse(Record, "NB");
  EXPECT_EQ(test::Show(unknown->GetValue(false)), "FALSE");
  EXPECT_EQ(test::Show(unknown->GetValue(true)), "NULL");
  EXPECT_FALSE(unknown->Holds());
  auto field = test::Parse(Record, "T.S", true);
  ASSERT_TRUE(field->IsFieldReference());
  std::string table, name;
  field->GetFieldName(table, name);
  EXPECT_EQ(table + "." + name, "T.S");
  EXPECT_TRUE(field->UsesOnlyFields("I; s"));
  EXPECT_FALSE(test::Parse(Record, "I + D", true)->UsesOnlyFields("I"));
}

TEST_F(ExpressionEvaluationTest, RowNumberAndTypes) {
  auto rowNumber = test::Parse(Record, "ROWNUM", true);
  EXPECT_EQ(test::Show(rowNumber->Evaluate()), "1");
  EXPECT_EQ(test::Show(rowNumber->Evaluate()), "2");
  EXPECT_EQ(test::Show(rowNumber->Evaluate()), "3");
  struct TType {
    const char* Text;
    TQELAdvancedFieldType Type;
  };
  const TType types[] = {
      {"I + L", aftLargeint},      {"I + D", aftDouble},    {"ABS(SI)", aftSmallint},
      {"CEIL(D)", aftInteger},     {"SQRT(I)", aftDouble},  {"ROUND(D)", aftInteger},
      {"ROUND(D, 1)", aftDouble},  {"LENGTH(S)", aftInteger}, {"UPPER(M)", aftString},
      {"SUBSTRING(W, 1)", aftWideString}, {"AVG(I)", aftDouble}, {"COUNT(*)", aftInteger},
      {"MIN(DT)", aftDate},        {"EXTRACT(DAY FROM DT)", aftWord},
      {"CURRENT_TIMESTAMP", aftDateTime}, {"ROWNUM", aftInteger},
      {"2147483646", aftInteger},  {"2147483647", aftLargeint}, {"1.5", aftDouble},
  };
  for (const TType& type : types) {
    EXPECT_EQ(test::Parse(Record, type.Text, true)->GetDataType(), type.Type) << type.Text;
  }
  EXPECT_EQ(test::Parse(Record, "I > 1")->GetDataType(), aftBoolean);
  EXPECT_EQ(test::Parse(Record, "S LIKE '%a'")->GetDataType(), aftBoolean);
  EXPECT_EQ(test::Parse(Record, "SUBSTRING(M, 1, 5)", true)->GetDataSize(), 5);
  EXPECT_EQ(test::Parse(Record, "UPPER(S)", true)->GetDataSize(), 40);
}

}  // namespace
}  // namespace qel
