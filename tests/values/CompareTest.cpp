// Comparison of values: NULL codes, the common type, strings through the
// collation layer, and the numeric and date orders.

#include <gtest/gtest.h>

#include <cmath>

#include "ValueTestSupport.h"

namespace qel {
namespace {

using test::Double;
using test::Integer;
using test::Raised;
using test::Stamp;
using test::Text;

std::int32_t Cmp(const TQELVariant& a, const TQELVariant& b, bool caseInsensitive = false,
                 bool partial = false) {
  return a.Compare(b, false, partial, caseInsensitive);
}

template <class T>
TQELVariant Typed(TQELBaseFieldType type, T value) {
  TQELVariant variant(type);
  variant.SetAsLargeint(static_cast<std::int64_t>(value));
  return variant;
}

TEST(CompareTest, NullOrderingWithAndWithoutRawCodes) {
  const TQELVariant null(bftInteger);
  const TQELVariant five = Integer(5);
  const struct {
    const TQELVariant& A;
    const TQELVariant& B;
    std::int32_t Raw;
    std::int32_t Ordered;
  } cases[] = {
      {null, five, ccFirstNull, ccLess},
      {five, null, ccSecondNull, ccGreater},
      {null, null, ccBothNull, ccEqual},
      {five, five, ccEqual, ccEqual},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.A.Compare(c.B, true, false, false), c.Raw);
    EXPECT_EQ(c.A.Compare(c.B, false, false, false), c.Ordered);
  }
  // NULLs of incompatible types still order without raising.
  EXPECT_EQ(TQELVariant(bftBoolean).Compare(TQELVariant(bftDate), true, false, false), ccBothNull);

  EXPECT_EQ(CompareKeys(nullptr, 0, bftInteger, true, nullptr, 0, bftInteger, false, false, -1), -1);
  EXPECT_EQ(CompareKeys(nullptr, 0, bftInteger, false, nullptr, 0, bftInteger, true, false, -1), 1);
  EXPECT_EQ(CompareKeys(nullptr, 0, bftInteger, true, nullptr, 0, bftInteger, true, false, -1), 0);
  const std::int32_t one = 1, two = 2;
  EXPECT_EQ(CompareKeys(&one, 4, bftInteger, false, &two, 4, bftInteger, false, false, -1), -1);
  EXPECT_EQ(CompareKeys(&two, 4, bftInteger, false, &one, 4, bftInteger, false, false, -1), 1);
  // Flagged as a value but without bytes.
  EXPECT_EQ(Raised([&] { CompareValues(nullptr, 4, bftInteger, false, &one, 4, bftInteger, false,
                                       false, -1); }).Code,
            30140);
}

TEST(CompareTest, NumbersMeetStringsAsText) {
  // INTEGER and STRING meet in STRING: 5 is the text '5'.
  EXPECT_NE(Cmp(Integer(5), Text("5.0")), ccEqual);
  EXPECT_EQ(Cmp(Integer(5), Text("5")), ccEqual);
  EXPECT_EQ(Cmp(Text("5"), Integer(5)), ccEqual);
  EXPECT_EQ(Cmp(Double(5.0), Text("5")), ccEqual);
  EXPECT_EQ(Cmp(Integer(10), Text("9")), ccLess);  // text order
}

TEST(CompareTest, StringsThroughTheCollation) {
  EXPECT_NE(Cmp(Text("ABC"), Text("abc")), ccEqual);
  EXPECT_EQ(Cmp(Text("ABC"), Text("abc"), true), ccEqual);
  EXPECT_NE(Cmp(Text("é"), Text("E"), true), ccEqual);  // accents still count
  EXPECT_EQ(Cmp(Text("a"), Text("B")), ccLess);          // not byte order
  TQELVariant wide(bftWideString);
  wide.SetAsWideString(u"ÄBC");
  EXPECT_EQ(Cmp(wide, Text("äbc"), true), ccEqual);
  EXPECT_NE(Cmp(wide, Text("äbc")), ccEqual);
  TQELVariant fixed(bftFixedChar);
  fixed.SetAsString("abc");
  EXPECT_EQ(Cmp(fixed, Text("abc")), ccEqual);
  TQELVariant memo;
  memo.SetData("abd", 3, cmCopy, bftMemo);
  EXPECT_EQ(Cmp(memo, Text("abc")), ccGreater);
  EXPECT_EQ(Cmp(memo, memo), ccEqual);

  // Partial compares run over the shorter string.
  EXPECT_EQ(Cmp(Text("abc"), Text("ab"), false, true), ccEqual);
  EXPECT_EQ(Cmp(Text("abc"), Text("ab"), false, false), ccGreater);
  EXPECT_EQ(Cmp(Text("abc"), Text("abd"), false, true), ccLess);
  TQELVariant empty;
  empty.SetData("", 1, cmCopy, bftString);
  EXPECT_EQ(Cmp(empty, Text("xyz"), false, true), ccEqual);
  EXPECT_EQ(Cmp(Text("éa"), Text("é"), false, true), ccEqual);
}

TEST(CompareTest, NumbersDatesAndBooleansByValue) {
  const struct {
    TQELVariant A;
    TQELVariant B;
    std::int32_t Expected;
  } cases[] = {
      {Typed(bftCardinal, 4000000000u), Integer(1), ccGreater},
      {Typed(bftCardinal, 4000000000u), Typed(bftCardinal, 1), ccGreater},
      {Typed(bftByte, 200), Typed(bftShortint, -1), ccGreater},
      {Typed(bftWord, 65535), Typed(bftSmallint, -1), ccGreater},
      {Typed(bftSmallint, -1), Typed(bftWord, 65535), ccLess},
      {Typed(bftShortint, -5), Typed(bftCardinal, 3), ccLess},
      {Typed(bftLargeint, -5), Integer(-4), ccLess},
      {Double(1.5), Integer(1), ccGreater},
      {Double(0.1), Typed(bftSingle, 0), ccGreater},
      {Double(std::nan("")), Double(1), ccEqual},
      {Stamp(10, 5), Stamp(10, 6), ccLess},
      {Stamp(11, 0), Stamp(10, 86399999), ccGreater},
      {Typed(bftBoolean, 0), Typed(bftBoolean, 1), ccLess},
      {Typed(bftBoolean, 1), Typed(bftBoolean, -1), ccEqual},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Cmp(c.A, c.B), c.Expected)
        << BaseFieldTypeName(c.A.DataType()) << " vs " << BaseFieldTypeName(c.B.DataType());
  }
  TQELVariant extended(bftExtended);
  extended.SetAsExtended(1.0L + 1e-18L);
  TQELVariant one(bftExtended);
  one.SetAsExtended(1.0L);
  EXPECT_EQ(Cmp(extended, one), ccGreater);

  // A date against text reads the text as a date.
  std::int32_t day = 0;
  ASSERT_TRUE(QELTryEncodeDate(2006, 3, 15, day));
  TQELVariant date(bftDate);
  date.SetAsDateNumber(day);
  EXPECT_EQ(Cmp(date, Text("2006-03-15")), ccEqual);
  EXPECT_EQ(Cmp(Text("2006-03-16"), date), ccGreater);
  EXPECT_EQ(Cmp(date, Stamp(day, 1)), ccLess);
}

TEST(CompareTest, IncompatibleAndUncomparableTypes) {
  TQELVariant flag = Typed(bftBoolean, 1);
  TQELVariant date(bftDate);
  date.SetAsDateNumber(5);
  const auto incompatible = Raised([&] { Cmp(flag, date); });
  EXPECT_EQ(incompatible.Message,
            "Cannot compare Incompatible DataTypes: 'LOGICAL' and 'DATE' - Native error: 30044");
  TQELVariant blob;
  blob.SetData("x", 1, cmCopy, bftBlob);
  const auto unknown = Raised([&] { Cmp(blob, blob); });
  EXPECT_EQ(unknown.Message, "Unknown DataType: 'BLOB' - Native error: 30047");
  EXPECT_EQ(Raised([&] { Cmp(Text("abc"), date); }).Code, 30051);
}

}  // namespace
}  // namespace qel
