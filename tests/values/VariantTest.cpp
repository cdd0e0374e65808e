// TQELVariant: NULL state, owned and borrowed bytes, typed access, the
// stream form and the exchange with the component layer's variant.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "ValueTestSupport.h"

namespace qel {
namespace {

using test::Raised;
using test::Text;

TEST(VariantTest, NullStateAndEmptyStrings) {
  TQELVariant value(bftInteger);
  EXPECT_TRUE(value.IsNull());
  EXPECT_EQ(value.NullFlag(), 255);
  EXPECT_EQ(value.DataType(), bftInteger);
  value.SetAsInteger(5);
  EXPECT_FALSE(value.IsNull());
  value.SetNull();  // the bytes stay, the value is gone
  EXPECT_TRUE(value.IsNull());
  EXPECT_NE(value.Data(), nullptr);
  const auto nullError = Raised([&] { value.AsInteger(); });
  EXPECT_EQ(nullError.Code, 30016);
  EXPECT_EQ(nullError.Message, "Value is Null - Native error: 30016");
  EXPECT_EQ(value.AsString(), "");
  EXPECT_EQ(value.AsWideString(), u"");
  EXPECT_EQ(Raised([&] { value.CheckNotNull(); }).Code, 30016);

  // A value without bytes is NULL whatever its flag says.
  value.SetData(nullptr, 4, cmCopy, bftInteger);
  EXPECT_EQ(value.NullFlag(), 0);
  EXPECT_TRUE(value.IsNull());

  TQELVariant text = Text("abc");
  EXPECT_FALSE(text.IsNull());
  EXPECT_EQ(text.DataSize(), 4);  // the terminator counts
  text.SetAsString("");
  EXPECT_TRUE(text.IsNull());
  text.SetAsWideString(u"");
  EXPECT_TRUE(text.IsNull());
  EXPECT_EQ(text.StringLength(), -1);
}

TEST(VariantTest, SetValueConvertsToTheVariantsOwnType) {
  TQELVariant value(bftInteger);
  value.SetAsString("42");
  EXPECT_EQ(value.DataType(), bftInteger);
  EXPECT_EQ(value.AsInteger(), 42);
  // A value that does not convert leaves the old one.
  EXPECT_EQ(Raised([&] { value.SetAsString("x"); }).Code, 30051);
  EXPECT_EQ(value.AsInteger(), 42);
  // An untyped variant takes the value's type.
  TQELVariant untyped;
  untyped.SetAsDouble(2.5);
  EXPECT_EQ(untyped.DataType(), bftDouble);
  // Typed getters convert.
  EXPECT_EQ(untyped.AsInteger(), 2);
  EXPECT_EQ(untyped.AsString(), "2.5");
  EXPECT_TRUE(untyped.AsBoolean());
}

TEST(VariantTest, BorrowedBytesAreNeverWrittenOrKept) {
  std::uint8_t slot[4];
  QELStoreLE<std::int32_t>(slot, 7);
  TQELVariant value;
  value.SetData(slot, 4, cmBorrow, bftInteger);
  EXPECT_TRUE(value.Borrowed());
  EXPECT_EQ(value.Data(), slot);
  QELStoreLE<std::int32_t>(slot, 8);
  EXPECT_EQ(value.AsInteger(), 8);

  value.SetAsInteger(9);
  EXPECT_FALSE(value.Borrowed());
  EXPECT_EQ(QELLoadLE<std::int32_t>(slot), 8);
  value.SetData(slot, 4, cmBorrow, bftInteger);
  value.Negate();
  EXPECT_EQ(QELLoadLE<std::int32_t>(slot), 8);
  EXPECT_EQ(value.AsInteger(), -8);

  TQELVariant source = Text(std::string(100, 'q'));
  TQELVariant view;
  view.Assign(source, cmBorrow);
  EXPECT_EQ(view.Data(), source.Data());
  TQELVariant copy;
  copy.Assign(source, cmCopy);
  EXPECT_NE(copy.Data(), source.Data());
  EXPECT_EQ(copy.AsString(), source.AsString());
}

TEST(VariantTest, CopiesAndMovesKeepTheValue) {
  for (const std::string& text : {std::string("short"), std::string(300, 'x')}) {
    TQELVariant original = Text(text);
    TQELVariant copy(original);
    TQELVariant assigned;
    assigned = original;
    TQELVariant moved(std::move(copy));
    EXPECT_EQ(assigned.AsString(), text);
    EXPECT_EQ(moved.AsString(), text);
    EXPECT_TRUE(copy.IsNull());  // NOLINT(bugprone-use-after-move): moved-from is NULL
    original.SetAsString("changed");
    EXPECT_EQ(moved.AsString(), text);
    moved = std::move(original);
    EXPECT_EQ(moved.AsString(), "changed");
    // The value may be set from its own bytes.
    moved.SetData(moved.Data() + 1, moved.DataSize() - 1, cmCopy, bftString);
    EXPECT_EQ(moved.AsString(), "hanged");
  }
}

TEST(VariantTest, ExchangeWithCallersBuffers) {
  TQELVariant value = Text("hello");
  char exact[6];
  EXPECT_TRUE(value.GetData(exact, 6));
  EXPECT_STREQ(exact, "hello");
  EXPECT_EQ(Raised([&] { value.GetData(exact, 5); }).Code, 20056);
  TQELVariant empty;
  empty.SetData("", 1, cmCopy, bftString);  // an empty string that is not NULL
  EXPECT_FALSE(empty.IsNull());
  EXPECT_FALSE(empty.GetData(exact, -1));

  // Strings are cut to fit, at whole characters, with their terminator.
  char small[4] = {'#', '#', '#', '#'};
  value.GetValue(small, 4, bftString);
  EXPECT_STREQ(small, "hel");
  value.SetAsString("aé");  // 'é' takes two bytes
  value.GetValue(small, 3, bftString);
  EXPECT_STREQ(small, "a");
  char16_t wide[3];
  value.GetValue(wide, 6, bftWideString);
  EXPECT_EQ(std::u16string(wide), u"aé");

  TQELVariant missing(bftInteger);
  missing.GetValue(small, 4, bftString);
  EXPECT_STREQ(small, "");
  std::int32_t number = 0;
  EXPECT_EQ(Raised([&] { missing.GetValue(&number, 4, bftInteger); }).Code, 30016);
  value.SetAsString("12");
  value.GetValue(&number, 4, bftInteger);
  EXPECT_EQ(number, 12);
  EXPECT_EQ(Raised([&] { value.GetValue(&number, 2, bftInteger); }).Code, 20056);
}

TEST(VariantTest, ChangingTheType) {
  TQELVariant value = Text("abc");
  EXPECT_EQ(Raised([&] { value.ConvertTo(bftInteger); }).Code, 30051);
  EXPECT_EQ(value.DataType(), bftString);
  EXPECT_EQ(value.AsString(), "abc");
  value.SetDataType(bftInteger);
  EXPECT_EQ(value.DataType(), bftInteger);
  EXPECT_TRUE(value.IsNull());
  value.SetDataType(bftDouble);
  EXPECT_EQ(value.DataType(), bftDouble);
  EXPECT_TRUE(value.IsNull());

  value = Text("17");
  value.SetDataType(bftSmallint);
  EXPECT_EQ(value.DataType(), bftSmallint);
  EXPECT_EQ(value.AsSmallint(), 17);

  // A memo's bytes carry no terminator; as a string they gain one.
  TQELVariant memo;
  memo.SetData("memo text", 9, cmCopy, bftMemo);
  memo.ConvertTo(bftString);
  EXPECT_EQ(memo.DataSize(), 10);
  EXPECT_EQ(memo.AsString(), "memo text");
  EXPECT_EQ(memo.StringLength(), 9);
}

TEST(VariantTest, StreamFormRoundTripsAndReportsShortStreams) {
  std::vector<TQELVariant> values;
  values.push_back(Text("default"));
  values.push_back(test::Integer(-3));
  values.push_back(test::Stamp(738000, 5));
  values.push_back(TQELVariant(bftDouble));  // NULL
  TQELVariant big = Text(std::string(70000, 'b'));
  values.push_back(big);

  for (const TQELVariant& value : values) {
    test::TestStream stream;
    value.SaveToStream(stream);
    const std::size_t expectedSize = value.IsNull() ? 2 : 6 + value.DataSize();
    ASSERT_EQ(stream.Bytes.size(), expectedSize);
    EXPECT_EQ(stream.Bytes[0], value.DataType());
    TQELVariant loaded;
    loaded.LoadFromStream(stream);
    EXPECT_EQ(loaded.DataType(), value.DataType());
    EXPECT_EQ(loaded.IsNull(), value.IsNull());
    EXPECT_EQ(loaded.Compare(value, true, false, false), value.IsNull() ? ccBothNull : ccEqual);

    // Every cut of the stream fails with the code of the item it cuts.
    if (value.DataSize() > 100) continue;
    for (std::size_t length = 0; length < stream.Bytes.size(); ++length) {
      test::TestStream cut;
      cut.Bytes.assign(stream.Bytes.begin(), stream.Bytes.begin() + length);
      const std::int32_t expected = length == 0 ? 10183 : length == 1 ? 10184 : length < 6 ? 10185 : 10186;
      const auto error = Raised([&] { TQELVariant target; target.LoadFromStream(cut); });
      EXPECT_EQ(error.Code, expected) << "length " << length;
      EXPECT_EQ(error.Message.substr(0, 17), "Stream read error");
    }
    for (std::size_t limit = 0; limit < stream.Bytes.size(); ++limit) {
      test::TestStream full;
      full.WriteLimit = limit;
      const std::int32_t expected = limit == 0 ? 10179 : limit == 1 ? 10180 : limit < 6 ? 10181 : 10182;
      EXPECT_EQ(Raised([&] { value.SaveToStream(full); }).Code, expected) << "limit " << limit;
    }
  }

  // A damaged size asking for far more than the stream holds fails when the
  // bytes run out; a type byte beyond the storage types fails at once.
  test::TestStream damaged;
  damaged.Bytes = {bftString, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'a', 'b'};
  EXPECT_EQ(Raised([&] { TQELVariant v; v.LoadFromStream(damaged); }).Code, 10186);
  damaged.Bytes = {bftString, 0, 0xFF, 0xFF, 0xFF, 0xFF};
  damaged.Position = 0;
  EXPECT_EQ(Raised([&] { TQELVariant v; v.LoadFromStream(damaged); }).Code, 10185);
  damaged.Bytes = {99, 0};
  damaged.Position = 0;
  EXPECT_EQ(Raised([&] { TQELVariant v; v.LoadFromStream(damaged); }).Code, 10183);
}

TEST(VariantTest, PlatformVariantsChooseTheType) {
  const struct {
    TQELPlatformVariant Value;
    TQELBaseFieldType Type;
  } cases[] = {
      {std::int16_t{-2}, bftSmallint},
      {std::int32_t{70000}, bftInteger},
      {1.5f, bftSingle},
      {2.25, bftDouble},
      {TQELPlatformCurrency{3.5}, bftCurrency},
      {TQELPlatformDate{1.75}, bftDateTime},
      {std::u16string(u"wide"), bftWideString},
      {true, bftBoolean},
      {std::int8_t{-8}, bftShortint},
      {std::uint8_t{200}, bftByte},
      {std::uint16_t{60000}, bftWord},
      {std::uint32_t{4000000000u}, bftCardinal},
      {std::int64_t{-5000000000}, bftLargeint},
      {std::string("text"), bftString},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(BaseFieldTypeName(c.Type));
    TQELVariant value(bftMemo);
    value.SetAsPlatformVariant(c.Value);
    EXPECT_EQ(value.DataType(), c.Type);
    const TQELPlatformVariant back = value.AsPlatformVariant();
    if (c.Type == bftSingle || c.Type == bftCurrency) {
      // Reals and currency come back as doubles.
      ASSERT_TRUE(std::holds_alternative<double>(back));
      EXPECT_EQ(std::get<double>(back), c.Type == bftSingle ? 1.5 : 3.5);
    } else {
      EXPECT_EQ(back, c.Value);
    }
  }
  TQELVariant value(bftInteger);
  value.SetAsInteger(1);
  value.SetAsPlatformVariant(TQELPlatformNull{});
  EXPECT_TRUE(value.IsNull());
  EXPECT_EQ(value.DataType(), bftInteger);
  EXPECT_EQ(value.AsPlatformVariant(), TQELPlatformVariant(TQELPlatformNull{}));
  value.SetAsPlatformVariant(std::monostate{});
  EXPECT_TRUE(value.IsNull());

  TQELVariant date(bftDate);
  date.SetAsDateNumber(kQELDateDelta + 2);
  EXPECT_EQ(date.AsPlatformVariant(), TQELPlatformVariant(TQELPlatformDate{2.0}));

  const auto kind = Raised([&] { value.SetAsPlatformVariant(TQELPlatformUnsupported{99}); });
  EXPECT_EQ(kind.Message, "Unsupported Variant Type 99 - Native error: 30113");
  TQELVariant bytes;
  bytes.SetData("ab", 2, cmCopy, bftBytes);
  const auto type = Raised([&] { bytes.AsPlatformVariant(); });
  EXPECT_EQ(type.Message, "Unsupported Variant Type BYTES - Native error: 30114");
}

TEST(VariantTest, DateTimeValuesBeforeAndAfterTheEpoch) {
  // Days since 1899-12-30; before it the fraction still counts forward from
  // midnight of the day the whole part names.
  const struct {
    double Value;
    std::int32_t Day;
    std::int32_t Ms;
  } cases[] = {
      {0.0, kQELDateDelta, 0},
      {1.75, kQELDateDelta + 1, 64800000},
      {-1.25, kQELDateDelta - 1, 21600000},
      {45000.5, kQELDateDelta + 45000, 43200000},
  };
  for (const auto& c : cases) {
    TQELVariant value(bftDateTime);
    value.SetAsDateTime(c.Value);
    EXPECT_EQ(value.AsDateTimeStamp().Date, c.Day) << c.Value;
    EXPECT_EQ(value.AsDateTimeStamp().Time, c.Ms) << c.Value;
    EXPECT_DOUBLE_EQ(value.AsDateTime(), c.Value);
  }
  std::int32_t day = 0;
  ASSERT_TRUE(QELTryEncodeDate(1899, 12, 30, day));
  EXPECT_EQ(day, kQELDateDelta);
  ASSERT_TRUE(QELTryEncodeDate(1, 1, 1, day));
  EXPECT_EQ(day, 1);
  EXPECT_FALSE(QELTryEncodeDate(2023, 2, 29, day));
  int y = 0, m = 0, d = 0;
  for (std::int32_t n : {1, 59, 60, 61, 693594, 730179, kQELMaxDayNumber}) {
    ASSERT_TRUE(QELTryDecodeDate(n, y, m, d));
    ASSERT_TRUE(QELTryEncodeDate(y, m, d, day));
    EXPECT_EQ(day, n);
  }
  ASSERT_TRUE(QELTryDecodeDate(730179, y, m, d));  // 2000-02-29
  EXPECT_EQ(y * 10000 + m * 100 + d, 20000229);

  TQELVariant value(bftDateTime);
  EXPECT_THROW(value.SetAsDateTime(std::nan("")), std::exception);
}

}  // namespace
}  // namespace qel
