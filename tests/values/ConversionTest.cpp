// Conversions between storage types, the common type of two operands, value
// texts and the 80-bit extended encoding.

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <iterator>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "ValueTestSupport.h"
#include "values/QELValueCodec.h"
#include "values/QELValueText.h"

namespace qel {
namespace {

using test::Double;
using test::Integer;
using test::Raised;
using test::Stamp;
using test::Text;

TQELVariant Converted(TQELVariant value, TQELBaseFieldType type) {
  value.ConvertTo(type);
  EXPECT_EQ(value.DataType(), type);
  return value;
}

std::int32_t Day(int year, int month, int day) {
  std::int32_t number = 0;
  EXPECT_TRUE(QELTryEncodeDate(year, month, day, number));
  return number;
}

class ConversionTest : public ::testing::Test {
 protected:
  void UseCommaAndDayFirst() {
    TQELFormatSettings settings;
    settings.DecimalSeparator = ',';
    settings.DateSeparator = '.';
    settings.DateOrder = TQELDateOrder::DMY;
    QELSetFormatSettings(settings);
  }
  test::FormatSettingsGuard Guard;
};

TEST_F(ConversionTest, RealsReadWithAPointWhateverTheSettingsSay) {
  UseCommaAndDayFirst();
  EXPECT_EQ(Converted(Text("12.5"), bftDouble).AsDouble(), 12.5);
  EXPECT_EQ(Converted(Text("-1.5e3"), bftSingle).AsSingle(), -1500.0f);
  EXPECT_EQ(Converted(Text(" 0.25 "), bftExtended).AsExtended(), 0.25L);
  EXPECT_EQ(Raised([] { Converted(Text("12,5"), bftDouble); }).Code, 30051);
  // Text meant for people uses the settings.
  EXPECT_EQ(Converted(Double(12.5), bftString).AsString(), "12,5");
  EXPECT_EQ(Converted(Text("12,5"), bftCurrency).AsCurrency(), 12.5);
}

TEST_F(ConversionTest, FailuresNameBothTypes) {
  const struct {
    TQELVariant Value;
    TQELBaseFieldType Target;
    std::int32_t Code;
    const char* Message;
  } cases[] = {
      {Text("abc"), bftInteger, 30051, "Cannot cast from 'STRING' to 'INTEGER'"},
      {Text("3000000000"), bftInteger, 30051, "Cannot cast from 'STRING' to 'INTEGER'"},
      {Text("2006-13-01"), bftDate, 30051, "Cannot cast from 'STRING' to 'DATE'"},
      {Double(1e30), bftInteger, 30051, "Cannot cast from 'FLOAT' to 'INTEGER'"},
      {Double(1e300), bftSingle, 30051, "Cannot cast from 'FLOAT' to 'SINGLE'"},
      {Double(std::nan("")), bftLargeint, 30051, "Cannot cast from 'FLOAT' to 'LARGEINT'"},
      {Converted(Integer(1), bftBoolean), bftDate, 30052, "Cannot cast from 'LOGICAL' to 'DATE'"},
      {Converted(Integer(1), bftBoolean), bftCurrency, 30052,
       "Cannot cast from 'LOGICAL' to 'CURRENCY'"},
      {Converted(Integer(1), bftCurrency), bftTime, 30052, "Cannot cast from 'CURRENCY' to 'TIME'"},
      {Integer(1), bftMemo, 30052, "Cannot cast from 'INTEGER' to 'MEMO'"},
      {Integer(1), bftBlob, 30052, "Cannot cast from 'INTEGER' to 'BLOB'"},
      {Text("x"), bftBytes, 30052, "Cannot cast from 'STRING' to 'BYTES'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Message);
    TQELVariant value = c.Value;
    const auto error = Raised([&] { value.ConvertTo(c.Target); });
    EXPECT_EQ(error.Code, c.Code);
    EXPECT_EQ(error.Message, std::string(c.Message) + " - Native error: " + std::to_string(c.Code));
    EXPECT_EQ(value.DataType(), c.Value.DataType());  // unchanged
  }
  TQELVariant blob;
  blob.SetData("raw", 3, cmCopy, bftBlob);
  EXPECT_EQ(Raised([&] { blob.ConvertTo(bftWideString); }).Code, 30052);
}

TEST_F(ConversionTest, BooleanText) {
  const struct {
    const char* Text;
    bool Expected;
  } cases[] = {{"yes", false}, {"true", true}, {"TRUE", true}, {"True", true},
               {"1", true},    {"0", false},   {"10", false},  {"truex", false}};
  for (const auto& c : cases) {
    EXPECT_EQ(Converted(Text(c.Text), bftBoolean).AsBoolean(), c.Expected) << c.Text;
  }
  EXPECT_EQ(Converted(Converted(Integer(7), bftBoolean), bftString).AsString(), "True");
  EXPECT_EQ(Converted(Converted(Integer(0), bftBoolean), bftSmallint).AsSmallint(), 0);
  EXPECT_EQ(Converted(Converted(Integer(7), bftBoolean), bftDouble).AsDouble(), 1.0);
}

TEST_F(ConversionTest, RealsAndDateTimesMeetAtTheDayNumber) {
  const TQELVariant dateTime = Converted(Double(1.75), bftDateTime);
  EXPECT_EQ(dateTime.AsDateTimeStamp().Date, 1);
  EXPECT_EQ(dateTime.AsDateTimeStamp().Time, 64800000);
  EXPECT_EQ(Converted(dateTime, bftDouble).AsDouble(), 1.75);

  // Every millisecond of a day survives the way through a real and back.
  for (std::int32_t ms = 0; ms < 3000; ++ms) {
    const TQELVariant back = Converted(Converted(Stamp(738000, ms * 997), bftDouble), bftDateTime);
    ASSERT_EQ(back.AsDateTimeStamp().Time, ms * 997) << "ms " << ms * 997;
    ASSERT_EQ(back.AsDateTimeStamp().Date, 738000);
  }

  EXPECT_EQ(Converted(Double(5.9), bftDate).AsDateNumber(), 5);
  EXPECT_EQ(Converted(Double(86400123.5), bftTime).AsTimeMilliseconds(), 123);
  EXPECT_EQ(Converted(Integer(9), bftDateTime).AsDateTimeStamp().Date, 9);
  EXPECT_EQ(Converted(Stamp(kQELEmptyDate, 43200000), bftDouble).AsDouble(), 0.5);
  EXPECT_EQ(Converted(Stamp(12, 5), bftInteger).AsInteger(), 12);
  EXPECT_EQ(Converted(Stamp(12, 5), bftTime).AsTimeMilliseconds(), 5);
  TQELVariant time(bftTime);
  time.SetAsTimeMilliseconds(1000);
  EXPECT_EQ(Converted(time, bftDateTime).AsDateTimeStamp().Date, kQELEmptyDate);
  EXPECT_FALSE(Converted(Stamp(kQELEmptyDate, 0), bftBoolean).AsBoolean());
  EXPECT_TRUE(Converted(Stamp(kQELEmptyDate, 1), bftBoolean).AsBoolean());
}

TEST_F(ConversionTest, IntegersWrapToTheTargetWidth) {
  const struct {
    TQELVariant Value;
    TQELBaseFieldType Target;
    std::int64_t Expected;
  } cases[] = {
      {Integer(300), bftByte, 44},
      {Integer(-1), bftWord, 65535},
      {Integer(-1), bftCardinal, 4294967295},
      {Converted(Text("4294967301"), bftLargeint), bftInteger, 5},
      {Text("40000"), bftSmallint, -25536},
      {Text("4000000000"), bftCardinal, 4000000000},
      {Text(" -12 "), bftShortint, -12},
      {Double(-2.7), bftInteger, -2},
      {Double(2.7), bftByte, 2},
      {Converted(Double(2.99), bftCurrency), bftInteger, 2},
      {Converted(Text("2006-03-15"), bftDate), bftLargeint, 732385},
  };
  for (const auto& c : cases) {
    TQELVariant value = Converted(c.Value, c.Target);
    EXPECT_EQ(value.AsLargeint(), c.Expected) << BaseFieldTypeName(c.Target);
  }
}

TEST_F(ConversionTest, DateTextsFixedFormsFirstThenTheSettings) {
  const std::int32_t day = Day(2006, 3, 15);
  EXPECT_EQ(Converted(Text("2006-03-15"), bftDate).AsDateNumber(), day);
  EXPECT_EQ(Converted(Text("2006/03/15"), bftDate).AsDateNumber(), day);
  EXPECT_EQ(Converted(Text("2006-03-15 08:30:00"), bftDate).AsDateNumber(), day);
  const TQELDateTimeStamp stamp = Converted(Text("2006-03-15 08:30:00"), bftDateTime).AsDateTimeStamp();
  EXPECT_EQ(stamp.Date, day);
  EXPECT_EQ(stamp.Time, 30600000);
  EXPECT_EQ(Converted(Text("08:30:00"), bftTime).AsTimeMilliseconds(), 30600000);
  // Not a fixed form (one-digit month): read with the settings' format.
  EXPECT_EQ(Converted(Text("2006-3-15"), bftDate).AsDateNumber(), day);

  UseCommaAndDayFirst();
  EXPECT_EQ(Converted(Text("15.03.2006"), bftDate).AsDateNumber(), day);
  EXPECT_EQ(Converted(Text("2006-03-15"), bftDate).AsDateNumber(), day);
  EXPECT_EQ(Raised([] { Converted(Text("2006-3-15"), bftDate); }).Code, 30051);
  TQELVariant wide(bftWideString);
  wide.SetAsWideString(u"15.03.2006 08:30");
  EXPECT_EQ(Converted(wide, bftDateTime).AsDateTimeStamp().Time, 30600000);

  TQELVariant date(bftDate);
  date.SetAsDateNumber(day);
  EXPECT_EQ(Converted(date, bftString).AsString(), "15.03.2006");
  EXPECT_EQ(Converted(Stamp(day, 30600000), bftString).AsString(), "15.03.2006 08:30:00");
  EXPECT_EQ(Converted(Stamp(day, 0), bftString).AsString(), "15.03.2006");
  date.SetAsDateNumber(kQELEmptyDate);
  const TQELVariant empty = Converted(date, bftString);
  EXPECT_FALSE(empty.IsNull());
  EXPECT_EQ(empty.StringLength(), 0);
  TQELVariant time(bftTime);
  time.SetAsTimeMilliseconds(30600123);
  EXPECT_EQ(Converted(time, bftString).AsString(), "08:30:00.123");
}

TEST_F(ConversionTest, NumberTexts) {
  const struct {
    TQELVariant Value;
    const char* Expected;
  } cases[] = {
      {Double(0.1), "0.1"},
      {Double(100), "100"},
      {Double(-2.5), "-2.5"},
      {Double(1e20), "1E+20"},
      {Double(1.5e-7), "1.5E-7"},
      {Double(123456789012345.0), "123456789012345"},
      {Converted(Double(0.1), bftSingle), "0.1"},
      {Converted(Double(1.23456), bftCurrency), "1.2346"},
      {Converted(Double(3), bftCurrency), "3"},
      {Converted(Double(-0.5), bftCurrency), "-0.5"},
      {Integer(-2147483647 - 1), "-2147483648"},
      {Converted(Text("18446744073"), bftLargeint), "18446744073"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Converted(c.Value, bftString).AsString(), c.Expected);
  }
  const TQELVariant third = Converted(Text("0.333333333333333333333"), bftExtended);
  EXPECT_EQ(Converted(Converted(third, bftString), bftExtended).AsExtended(), third.AsExtended());
  EXPECT_EQ(Converted(Text("12.34567"), bftCurrency).AsCurrency(), 12.3457);
}

// A real read from a view into a larger buffer stops at the view's end:
// the digits after it are not part of the number (and the sanitizers see
// no read past an unterminated buffer).
TEST_F(ConversionTest, RealsReadOnlyTheirView) {
  const std::vector<char> digits = {'1', '.', '5', '7'};
  const std::string_view view(digits.data(), 3);
  double value = 0;
  ASSERT_TRUE(QELTryParseReal(view, value));
  EXPECT_EQ(value, 1.5);
  long double extended = 0;
  ASSERT_TRUE(QELTryParseReal(view, extended));
  EXPECT_EQ(extended, 1.5L);
  const std::vector<char> unterminated = {'2', '5'};
  ASSERT_TRUE(QELTryParseReal(std::string_view(unterminated.data(), unterminated.size()), extended));
  EXPECT_EQ(extended, 25.0L);
}

TEST_F(ConversionTest, TextsBetweenEncodingsAndBlobs) {
  TQELVariant text = Text("Grüße 😀");
  const TQELVariant wide = Converted(text, bftWideString);
  EXPECT_EQ(wide.AsWideString(), u"Grüße 😀");
  EXPECT_EQ(wide.StringLength(), 8);  // the emoji takes two units
  EXPECT_EQ(Converted(wide, bftString).AsString(), "Grüße 😀");
  EXPECT_EQ(Converted(text, bftFixedChar).AsString(), "Grüße 😀");

  const TQELVariant blob = Converted(text, bftBlob);
  EXPECT_EQ(blob.DataSize(), 12);  // the UTF-8 bytes, no terminator
  EXPECT_EQ(blob.AsString(), "Grüße 😀");
  TQELVariant raw;
  raw.SetData("ab\0", 3, cmCopy, bftBlob);
  EXPECT_EQ(raw.AsString(), "ab");
  raw.SetData("abc", 3, cmCopy, bftBlob);
  EXPECT_EQ(raw.AsString(), "abc");  // no trailing zero: every byte is text
  char out[8];
  raw.GetValue(out, 8, bftString);
  EXPECT_STREQ(out, "abc");

  TQELVariant wideMemo;
  const std::u16string units = u"memo";
  wideMemo.SetData(units.data(), 8, cmCopy, bftWideMemo);
  EXPECT_EQ(wideMemo.AsString(), "memo");
  EXPECT_EQ(Converted(wideMemo, bftString).AsString(), "memo");
}

TEST(CommonTypeTest, FollowsTheFirstOperandsRow) {
  const struct {
    TQELBaseFieldType A, B;
    bool PreferDate;
    TQELBaseFieldType Expected;
  } cases[] = {
      {bftFixedChar, bftWideMemo, false, bftFixedWideChar},
      {bftFixedChar, bftDate, true, bftDate},
      {bftFixedChar, bftDate, false, bftFixedChar},
      {bftFixedChar, bftMemo, false, bftFixedChar},
      {bftFixedChar, bftBlob, false, bftUnknown},
      {bftString, bftInteger, false, bftString},
      {bftString, bftWideMemo, false, bftWideString},
      {bftWideString, bftTime, false, bftWideString},
      {bftWideString, bftBytes, false, bftUnknown},
      {bftShortint, bftSmallint, false, bftSmallint},
      {bftSmallint, bftShortint, false, bftSmallint},
      {bftShortint, bftByte, false, bftSmallint},
      {bftByte, bftShortint, false, bftSmallint},
      {bftShortint, bftBoolean, false, bftShortint},
      {bftInteger, bftCardinal, false, bftLargeint},
      {bftCardinal, bftInteger, false, bftLargeint},
      {bftWord, bftShortint, false, bftInteger},
      {bftShortint, bftWord, false, bftInteger},
      {bftSmallint, bftCardinal, false, bftLargeint},
      {bftInteger, bftString, true, bftString},
      {bftSingle, bftDouble, false, bftDouble},
      {bftDouble, bftSingle, false, bftDouble},
      {bftExtended, bftCurrency, false, bftCurrency},
      {bftDate, bftString, true, bftDate},
      {bftDate, bftString, false, bftString},
      {bftDate, bftTime, false, bftDateTime},
      {bftTime, bftDate, false, bftDateTime},
      {bftDate, bftBoolean, true, bftUnknown},
      {bftMemo, bftFixedChar, false, bftFixedChar},
      {bftMemo, bftMemo, false, bftFixedChar},
      {bftWideMemo, bftString, false, bftWideString},
      {bftBoolean, bftInteger, false, bftInteger},
      {bftBoolean, bftDate, true, bftUnknown},
      {bftCurrency, bftBoolean, false, bftUnknown},
      {bftCurrency, bftDouble, false, bftDouble},
      {bftBlob, bftBlob, false, bftUnknown},
      {bftVarBytes, bftVarBytes, false, bftUnknown},
      {bftUnknown, bftInteger, false, bftUnknown},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CommonType(c.A, c.B, c.PreferDate), c.Expected)
        << BaseFieldTypeName(c.A) << " with " << BaseFieldTypeName(c.B);
  }
}

// Every pair of storage types in both modes, so that no case of the common
// type can change unnoticed. Row a, column b holds CommonType(a, b) as the
// result's type number ("--" for bftUnknown): first without preferDate,
// then with it.
TEST(CommonTypeTest, WholeTable) {
  const struct {
    TQELBaseFieldType First;
    const char* Results[2];
  } rows[] = {
      // b: 00 01 02 03 04 05 06 07 08 09 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24
      {bftUnknown,
           "-- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --",
           "-- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --"},
      {bftFixedChar,
           "-- 01 02 03 04 01 01 01 01 01 01 01 01 01 01 01 01 01 -- 01 02 01 01 -- --",
           "-- 01 02 03 04 01 01 01 01 01 01 01 01 01 01 15 16 17 -- 01 02 01 01 -- --"},
      {bftFixedWideChar,
           "-- 02 02 02 04 02 02 02 02 02 02 02 02 02 02 02 02 02 -- 02 02 02 02 -- --",
           "-- 02 02 02 04 02 02 02 02 02 02 02 02 02 02 15 16 17 -- 02 02 02 02 -- --"},
      {bftString,
           "-- 03 02 03 04 03 03 03 03 03 03 03 03 03 03 03 03 03 -- 03 04 03 03 -- --",
           "-- 03 02 03 04 03 03 03 03 03 03 03 03 03 03 15 16 17 -- 03 04 03 03 -- --"},
      {bftWideString,
           "-- 04 04 04 04 04 04 04 04 04 04 04 04 04 04 04 04 04 -- 04 04 04 04 -- --",
           "-- 04 04 04 04 04 04 04 04 04 04 04 04 04 04 15 16 17 -- 04 04 04 04 -- --"},
      {bftShortint,
           "-- 01 02 03 04 05 06 07 08 06 07 08 12 13 14 15 16 17 -- -- -- 05 22 -- --",
           "-- 01 02 03 04 05 06 07 08 06 07 08 12 13 14 15 16 17 -- -- -- 05 22 -- --"},
      {bftSmallint,
           "-- 01 02 03 04 06 06 07 08 06 07 08 12 13 14 15 16 17 -- -- -- 06 22 -- --",
           "-- 01 02 03 04 06 06 07 08 06 07 08 12 13 14 15 16 17 -- -- -- 06 22 -- --"},
      {bftInteger,
           "-- 01 02 03 04 07 07 07 08 07 07 08 12 13 14 15 16 17 -- -- -- 07 22 -- --",
           "-- 01 02 03 04 07 07 07 08 07 07 08 12 13 14 15 16 17 -- -- -- 07 22 -- --"},
      {bftLargeint,
           "-- 01 02 03 04 08 08 08 08 08 08 08 12 13 14 15 16 17 -- -- -- 08 22 -- --",
           "-- 01 02 03 04 08 08 08 08 08 08 08 12 13 14 15 16 17 -- -- -- 08 22 -- --"},
      {bftByte,
           "-- 01 02 03 04 06 06 07 08 09 10 11 12 13 14 15 16 17 -- -- -- 09 22 -- --",
           "-- 01 02 03 04 06 06 07 08 09 10 11 12 13 14 15 16 17 -- -- -- 09 22 -- --"},
      {bftWord,
           "-- 01 02 03 04 07 07 07 08 10 10 11 12 13 14 15 16 17 -- -- -- 10 22 -- --",
           "-- 01 02 03 04 07 07 07 08 10 10 11 12 13 14 15 16 17 -- -- -- 10 22 -- --"},
      {bftCardinal,
           "-- 01 02 03 04 08 08 08 08 11 11 11 12 13 14 15 16 17 -- -- -- 11 22 -- --",
           "-- 01 02 03 04 08 08 08 08 11 11 11 12 13 14 15 16 17 -- -- -- 11 22 -- --"},
      {bftSingle,
           "-- 01 02 03 04 12 12 12 12 12 12 12 12 13 14 15 16 17 -- -- -- 12 22 -- --",
           "-- 01 02 03 04 12 12 12 12 12 12 12 12 13 14 15 16 17 -- -- -- 12 22 -- --"},
      {bftDouble,
           "-- 01 02 03 04 13 13 13 13 13 13 13 13 13 14 15 16 17 -- -- -- 13 22 -- --",
           "-- 01 02 03 04 13 13 13 13 13 13 13 13 13 14 15 16 17 -- -- -- 13 22 -- --"},
      {bftExtended,
           "-- 01 02 03 04 14 14 14 14 14 14 14 14 14 14 15 16 17 -- -- -- 14 22 -- --",
           "-- 01 02 03 04 14 14 14 14 14 14 14 14 14 14 15 16 17 -- -- -- 14 22 -- --"},
      {bftDate,
           "-- 01 02 03 04 15 15 15 15 15 15 15 15 15 15 15 17 17 -- -- -- -- -- -- --",
           "-- 15 15 15 15 15 15 15 15 15 15 15 15 15 15 15 17 17 -- -- -- -- -- -- --"},
      {bftTime,
           "-- 01 02 03 04 16 16 16 16 16 16 16 16 16 16 17 16 17 -- -- -- -- -- -- --",
           "-- 16 16 16 16 16 16 16 16 16 16 16 16 16 16 17 16 17 -- -- -- -- -- -- --"},
      {bftDateTime,
           "-- 01 02 03 04 17 17 17 17 17 17 17 17 17 17 17 17 17 -- -- -- -- -- -- --",
           "-- 17 17 17 17 17 17 17 17 17 17 17 17 17 17 17 17 17 -- -- -- -- -- -- --"},
      {bftBlob,
           "-- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --",
           "-- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --"},
      {bftMemo,
           "-- 01 02 03 04 -- -- -- -- -- -- -- -- -- -- -- -- -- -- 01 02 -- -- -- --",
           "-- 01 02 03 04 -- -- -- -- -- -- -- -- -- -- -- -- -- -- 01 02 -- -- -- --"},
      {bftWideMemo,
           "-- 02 02 04 04 -- -- -- -- -- -- -- -- -- -- -- -- -- -- 02 02 -- -- -- --",
           "-- 02 02 04 04 -- -- -- -- -- -- -- -- -- -- -- -- -- -- 02 02 -- -- -- --"},
      {bftBoolean,
           "-- 01 02 03 04 05 06 07 08 09 10 11 12 13 14 -- -- -- -- -- -- 21 -- -- --",
           "-- 01 02 03 04 05 06 07 08 09 10 11 12 13 14 -- -- -- -- -- -- 21 -- -- --"},
      {bftCurrency,
           "-- 01 02 03 04 05 06 07 08 09 10 11 12 13 14 -- -- -- -- -- -- -- 22 -- --",
           "-- 01 02 03 04 05 06 07 08 09 10 11 12 13 14 -- -- -- -- -- -- -- 22 -- --"},
      {bftBytes,
           "-- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --",
           "-- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --"},
      {bftVarBytes,
           "-- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --",
           "-- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- -- --"},
  };
  static_assert(std::size(rows) == kQELBaseFieldTypeCount);
  for (const auto& row : rows) {
    for (int preferDate = 0; preferDate < 2; ++preferDate) {
      const std::string results = row.Results[preferDate];
      ASSERT_EQ(results.size(), std::size_t{3 * kQELBaseFieldTypeCount - 1}) << BaseFieldTypeName(row.First);
      for (int b = 0; b < kQELBaseFieldTypeCount; ++b) {
        const std::string cell = results.substr(std::size_t(3 * b), 2);
        const int expected = cell == "--" ? bftUnknown : std::stoi(cell);
        const auto second = static_cast<TQELBaseFieldType>(b);
        EXPECT_EQ(CommonType(row.First, second, preferDate != 0), expected)
            << BaseFieldTypeName(row.First) << " with " << BaseFieldTypeName(second)
            << (preferDate != 0 ? ", preferring the date" : "");
      }
    }
  }
}

TEST(ExtendedCodecTest, KnownEncodings) {
  using Bytes = std::vector<std::uint8_t>;
  const struct {
    long double Value;
    Bytes Encoded;
  } cases[] = {
      {1.0L, {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x3F}},
      {-2.5L, {0, 0, 0, 0, 0, 0, 0, 0xA0, 0x00, 0xC0}},
      {0.0L, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {std::numeric_limits<long double>::infinity(), {0, 0, 0, 0, 0, 0, 0, 0x80, 0xFF, 0x7F}},
      {std::ldexp(1.0L, -16445), {1, 0, 0, 0, 0, 0, 0, 0, 0, 0}},  // smallest denormal
  };
  for (const auto& c : cases) {
    Bytes encoded(10);
    QELEncodeExtendedPortable(c.Value, encoded.data());
    EXPECT_EQ(encoded, c.Encoded) << static_cast<double>(c.Value);
    QELEncodeExtended(c.Value, encoded.data());
    EXPECT_EQ(encoded, c.Encoded) << static_cast<double>(c.Value);
    EXPECT_EQ(QELDecodeExtendedPortable(c.Encoded.data()), c.Value);
    EXPECT_EQ(QELDecodeExtended(c.Encoded.data()), c.Value);
  }
}

TEST(ExtendedCodecTest, PortableFormAgreesWithTheNativeOne) {
  std::vector<long double> values = {
      1.0L / 3, -1e-300L, 1e4000L, -LDBL_MAX, LDBL_MIN, LDBL_MIN / 1024, LDBL_TRUE_MIN,
      static_cast<long double>(DBL_MAX), 123456789.123456789L, -0.0L};
  for (int i = -40; i <= 40; ++i) values.push_back(std::pow(3.0L, i) * (i % 2 ? -1 : 1));
  for (const long double value : values) {
    std::uint8_t portable[10], native[10];
    QELEncodeExtendedPortable(value, portable);
    QELEncodeExtended(value, native);
    EXPECT_EQ(0, std::memcmp(portable, native, 10)) << static_cast<double>(value);
    const long double back = QELDecodeExtendedPortable(native);
    EXPECT_EQ(back, value);
    EXPECT_EQ(std::signbit(back), std::signbit(value));
  }
  std::uint8_t nan[10];
  QELEncodeExtendedPortable(std::numeric_limits<long double>::quiet_NaN(), nan);
  EXPECT_TRUE(std::isnan(QELDecodeExtendedPortable(nan)));
  EXPECT_TRUE(std::isnan(QELDecodeExtended(nan)));
}

}  // namespace
}  // namespace qel
