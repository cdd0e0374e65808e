// Arithmetic on variants: NULL rules, the common type, wrapping, date-time
// carries and the failures.

#include <gtest/gtest.h>

#include <limits>

#include "ValueTestSupport.h"
#include "values/QELValueErrors.h"

namespace qel {
namespace {

using test::Double;
using test::Integer;
using test::Raised;
using test::Stamp;
using test::Text;

TQELVariant Typed(TQELBaseFieldType type, std::int64_t value) {
  TQELVariant variant(type);
  variant.SetAsLargeint(value);
  return variant;
}

TEST(ArithmeticTest, ResultsInTheCommonType) {
  const struct {
    TQELVariant A;
    char Op;
    TQELVariant B;
    TQELBaseFieldType Type;
    const char* Expected;
  } cases[] = {
      {Typed(bftSmallint, 30000), '+', Typed(bftSmallint, 10000), bftSmallint, "-25536"},
      {Typed(bftByte, 200), '+', Typed(bftByte, 100), bftByte, "44"},
      {Typed(bftShortint, 100), '+', Typed(bftByte, 100), bftSmallint, "200"},
      {Typed(bftSmallint, -5), '+', Typed(bftWord, 3), bftInteger, "-2"},
      {Typed(bftShortint, -5), '*', Typed(bftCardinal, 3), bftLargeint, "-15"},
      {Typed(bftCardinal, 4000000000), '*', Typed(bftCardinal, 2), bftCardinal, "3705032704"},
      {Typed(bftLargeint, std::numeric_limits<std::int64_t>::min()), '/', Typed(bftLargeint, -1),
       bftLargeint, "-9223372036854775808"},
      {Integer(-7), '/', Integer(2), bftInteger, "-3"},
      {Integer(7), '*', Integer(6), bftInteger, "42"},
      {Double(1.5), '+', Integer(2), bftDouble, "3.5"},
      {Integer(2), '+', Double(1.5), bftDouble, "3.5"},
      {Double(1), '/', Integer(4), bftDouble, "0.25"},
      {Text("ab"), '+', Integer(5), bftString, "ab5"},
      {Integer(5), '+', Text("ab"), bftString, "5ab"},
      {Typed(bftBoolean, 1), '*', Typed(bftBoolean, 0), bftBoolean, "True"},
      {Typed(bftBoolean, 0), '/', Typed(bftBoolean, 0), bftBoolean, "False"},
  };
  for (const auto& c : cases) {
    TQELVariant value = c.A;
    if (c.Op == '+') value.Add(c.B);
    if (c.Op == '*') value.Multiply(c.B);
    if (c.Op == '/') value.Divide(c.B);
    EXPECT_EQ(value.DataType(), c.Type) << c.Expected;
    EXPECT_EQ(value.AsString(), c.Expected);
  }
  TQELVariant wide(bftWideString);
  wide.SetAsWideString(u"Ä");
  wide.Add(Text("ö"));
  EXPECT_EQ(wide.AsWideString(), u"Äö");
}

TEST(ArithmeticTest, DatesAndTimesAddPartByPart) {
  TQELVariant value = Stamp(1, 86000000);
  value.Add(Stamp(2, 1000000));
  EXPECT_EQ(value.AsDateTimeStamp().Date, 4);
  EXPECT_EQ(value.AsDateTimeStamp().Time, 600000);
  value = Stamp(3, 40000);
  value.Multiply(Stamp(2, 3000));
  EXPECT_EQ(value.AsDateTimeStamp().Date, 7);
  EXPECT_EQ(value.AsDateTimeStamp().Time, 33600000);
  TQELVariant date(bftDate);
  date.SetAsDateNumber(700000);
  date.Add(Integer(5));
  EXPECT_EQ(date.DataType(), bftDate);
  EXPECT_EQ(date.AsDateNumber(), 700005);
}

TEST(ArithmeticTest, NullRules) {
  TQELVariant number = Integer(5);
  number.Add(TQELVariant(bftInteger));
  EXPECT_TRUE(number.IsNull());
  TQELVariant text = Text("keep");
  text.Add(TQELVariant(bftInteger));
  EXPECT_EQ(text.AsString(), "keep");
  TQELVariant nullText(bftString);
  nullText.Add(Integer(7));
  EXPECT_EQ(nullText.DataType(), bftInteger);
  EXPECT_EQ(nullText.AsInteger(), 7);
  TQELVariant nullNumber(bftInteger);
  nullNumber.Add(Integer(7));
  EXPECT_TRUE(nullNumber.IsNull());
  for (const bool divide : {false, true}) {
    TQELVariant a = Integer(5);
    TQELVariant b(bftInteger);
    divide ? a.Divide(b) : a.Multiply(b);
    EXPECT_TRUE(a.IsNull());
    divide ? b.Divide(Integer(0)) : b.Multiply(Integer(0));
    EXPECT_TRUE(b.IsNull());
  }
}

TEST(ArithmeticTest, Failures) {
  const auto divide = [](TQELVariant a, const TQELVariant& b) { a.Divide(b); };
  EXPECT_EQ(Raised([&] { divide(Integer(1), Integer(0)); }).Message,
            "Division error: Division by zero - Native error: 30128");
  EXPECT_EQ(Raised([&] { divide(Double(1), Integer(0)); }).Code, 30128);
  EXPECT_EQ(Raised([&] { divide(Stamp(1, 0), Stamp(1, 0)); }).Code, 30128);
  EXPECT_EQ(Raised([&] { divide(Text("a"), Text("b")); }).Message,
            "Not numeric argument in numeric operator '/' - Native error: 30127");
  EXPECT_EQ(Raised([&] { Text("a").Multiply(Text("b")); }).Code, 30126);
  TQELVariant blob;
  blob.SetData("x", 1, cmCopy, bftBlob);
  EXPECT_EQ(Raised([&] { blob.Add(Integer(1)); }).Message,
            "Not numeric argument in numeric operator '+' - Native error: 30124");
  // An operand that does not convert keeps the conversion's own error, and
  // the value is left as it was.
  TQELVariant date(bftDate);
  date.SetAsDateNumber(10);
  EXPECT_EQ(Raised([&] { date.Divide(Double(1e30)); }).Code, 30051);
  EXPECT_EQ(date.DataType(), bftDate);
  EXPECT_EQ(date.AsDateNumber(), 10);
}

TEST(ArithmeticTest, Negate) {
  const struct {
    TQELVariant Value;
    const char* Expected;
  } cases[] = {
      {Typed(bftShortint, 5), "-5"},
      {Typed(bftShortint, -128), "-128"},
      {Typed(bftByte, 5), "251"},
      {Typed(bftWord, 1), "65535"},
      {Typed(bftCardinal, 0), "0"},
      {Integer(7), "-7"},
      {Double(2.5), "-2.5"},
      {Typed(bftBoolean, 1), "False"},
      {Typed(bftBoolean, 0), "True"},
  };
  for (const auto& c : cases) {
    TQELVariant value = c.Value;
    value.Negate();
    EXPECT_EQ(value.DataType(), c.Value.DataType());
    EXPECT_EQ(value.AsString(), c.Expected);
  }
  TQELVariant date(bftDate);
  date.SetAsDateNumber(5);
  date.Negate();
  EXPECT_EQ(date.AsDateNumber(), -5);

  for (TQELVariant overflow : {Typed(bftCardinal, 1), Integer(std::numeric_limits<std::int32_t>::min()),
                               Typed(bftLargeint, std::numeric_limits<std::int64_t>::min())}) {
    EXPECT_THROW(overflow.Negate(), EIntOverflow);
  }
  date.SetAsDateNumber(kQELEmptyDate);
  EXPECT_THROW(date.Negate(), EIntOverflow);
  TQELVariant text = Text("x");
  EXPECT_EQ(Raised([&] { text.Negate(); }).Message,
            "Cannot invert value with not numeric type 'STRING' - Native error: 30123");
  TQELVariant null(bftInteger);
  null.Negate();
  EXPECT_TRUE(null.IsNull());
}

}  // namespace
}  // namespace qel
