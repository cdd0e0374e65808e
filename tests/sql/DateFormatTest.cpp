// Date format texts: tokens, reading, writing, width and type, the 12-hour
// clock and locale names.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/QELCollation.h"
#include "platform/QELException.h"
#include "sql/QELDateFormat.h"
#include "values/QELValueCodec.h"
#include "values/QELValueErrors.h"

namespace qel {
namespace {

double DateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  std::int32_t dayNumber = 0;
  EXPECT_TRUE(QELTryEncodeDate(year, month, day, dayNumber));
  return QELStampToDateTime({dayNumber, ((hour * 60 + minute) * 60 + second) * 1000});
}

// The tokens as "kind:text" items.
std::string Describe(const TDateFormater& format) {
  std::string out;
  for (const TDateFormatToken& token : format.Tokens()) {
    if (!out.empty()) out += ' ';
    out += std::to_string(token.Kind) + ":" + token.Text;
  }
  return out;
}

// Names are the English ones whatever the machine's locale.
class DateFormatTest : public ::testing::Test {
 protected:
  void SetUp() override { QELSetCollationLocale("en_US"); }
  void TearDown() override { QELSetCollationLocale(""); }
};

TEST_F(DateFormatTest, FormatTextBecomesTokens) {
  struct TCase {
    const char* Format;
    const char* Tokens;
  };
  const TCase cases[] = {
      {"", ""},
      {"YYYY-MM-DD HH24:NN:SS", "0:YYYY 26:- 6:MM 26:- 10:DD 26:  16:HH24 26:: 21:NN 26:: 23:SS"},
      // The longest token wins at each position.
      {"MONTHMONMMM", "4:MONTH 5:MON 6:MM 7:M"},
      {"hh24hhh", "16:hh24 17:hh 20:h"},
      // Letters of ordinary words are tokens unless quoted.
      {"YYYY \"Day\" DD", "0:YYYY 26:  26:Day 26:  10:DD"},
      {"YYYY Day DD", "0:YYYY 26:  11:Day 26:  10:DD"},
      {"'YYYY'", "26:YYYY"},
      // An empty quoted run is a literal too; a quote of the other kind
      // inside quotes is text; an unclosed quote runs to the end.
      {"DD''MM", "10:DD 26: 6:MM"},
      {"'it\"s' D", "26:it\"s 26:  14:D"},
      {"YY 'rest", "1:YY 26:  26:rest"},
      {"Q AMPM DW DY RM", "3:Q 26:  25:AMPM 26:  13:DW 26:  12:DY 26:  8:RM"},
      {"S SS N NN H12 H24 HH12 DDD", "24:S 26:  23:SS 26:  22:N 26:  21:NN 26:  18:H12 26:  19:H24 26:  15:HH12 26:  9:DDD"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(Describe(TDateFormater(c.Format)), c.Tokens) << c.Format;
  }
}

TEST_F(DateFormatTest, ReadsAndWrites) {
  struct TCase {
    const char* Format;
    const char* Text;
    double Value;
    const char* Written;  // the value written back, "" to skip
  };
  const TCase cases[] = {
      {"DD.MM.YYYY", "07.03.2024", DateTime(2024, 3, 7), "07.03.2024"},
      // One digit when the next character is no digit.
      {"D.M.YYYY", "7.3.2024", DateTime(2024, 3, 7), "7.3.2024"},
      {"D.M.YYYY", "17.11.2024", DateTime(2024, 11, 17), "17.11.2024"},
      {"YY-MM-DD", "29-01-02", DateTime(2029, 1, 2), "29-01-02"},
      {"YY-MM-DD", "30-01-02", DateTime(1930, 1, 2), "30-01-02"},
      {"HH24:NN", "23:59", DateTime(1899, 12, 30, 23, 59), "23:59"},
      {"YYYY-MM-DD HH24:NN:SS", "2006-01-02 03:04:05", DateTime(2006, 1, 2, 3, 4, 5),
       "2006-01-02 03:04:05"},
      // Literals step over as many characters as they have, unread.
      {"YYYY/MM/DD", "2024x03y07", DateTime(2024, 3, 7), ""},
      // Names are never read: the month stays 0, so the day is value 0.
      {"MONTH YYYY", "March 2024", 0.0, ""},
      {"YYYY-Q-DD", "2024-2-15", DateTime(2024, 4, 15), "2024-2-15"},
      // Text behind the last token is ignored.
      {"YYYY", "2024 and more", 0.0, ""},
      {"", "anything", 0.0, ""},
      {"YEAR MM DD H24 N S", "1999 12 31 7 5 9", DateTime(1999, 12, 31, 7, 5, 9),
       "1999 12 31 7 5 9"},
  };
  for (const TCase& c : cases) {
    const TDateFormater format(c.Format);
    EXPECT_DOUBLE_EQ(format.StringToDateTime(c.Text), c.Value) << c.Format << " / " << c.Text;
    if (*c.Written != 0) {
      EXPECT_EQ(format.DateTimeToString(c.Value), c.Written) << c.Format;
    }
  }
  // A format without date tokens reads the month as 0: the value is on
  // 1899-12-30, even with a year.
  EXPECT_DOUBLE_EQ(TDateFormater("YYYY HH24").StringToDateTime("2024 10"),
                   DateTime(1899, 12, 30, 10));
}

TEST_F(DateFormatTest, WritesEveryToken) {
  // 7 March 2024 was a Thursday, day 67 of a leap year.
  const double value = DateTime(2024, 3, 7, 15, 4, 9);
  const TDateFormater format("YYYY YY YEAR Q MONTH MON MM M RM DDD DD DAY DY DW D");
  EXPECT_EQ(format.DateTimeToString(value),
            "2024 24 2024 1 March Mar 03 3 III Thu 07 Thursday 67 4 7");
  const TDateFormater time("HH12 HH24 HH H12 H24 H NN N SS S AMPM");
  EXPECT_EQ(time.DateTimeToString(value), "03 15 03 3 15 3 04 4 09 9 PM");
  EXPECT_EQ(TDateFormater("Q").DateTimeToString(DateTime(2024, 4, 1)), "2");
  EXPECT_EQ(TDateFormater("Q").DateTimeToString(DateTime(2024, 6, 30)), "2");
  EXPECT_EQ(TDateFormater("YYYY").DateTimeToString(DateTime(33, 1, 1)), "0033");
  EXPECT_EQ(TDateFormater("DW DAY").DateTimeToString(DateTime(2024, 3, 10)), "7 Sunday");
  EXPECT_EQ(TDateFormater("'YYYY'").DateTimeToString(value), "YYYY");
  EXPECT_EQ(TDateFormater("").DateTimeToString(value), "");
}

TEST_F(DateFormatTest, TwelveHourClockRoundTrips) {
  // Noon and midnight are written as hour 0 and told apart by AM and PM.
  const TDateFormater format("HH12:NN AMPM");
  EXPECT_EQ(format.DateTimeToString(DateTime(1899, 12, 30, 12, 5)), "00:05 PM");
  EXPECT_EQ(format.DateTimeToString(DateTime(1899, 12, 30, 0, 5)), "00:05 AM");
  struct TCase {
    const char* Text;
    int Hour;
  };
  const TCase reads[] = {
      {"00:05 PM", 12}, {"12:30 PM", 12}, {"12:30 AM", 0}, {"00:30 AM", 0},
      {"01:00 pm", 13}, {"11:59 PM", 23}, {"11:59 am", 11},
  };
  for (const TCase& c : reads) {
    const double value = format.StringToDateTime(c.Text);
    EXPECT_EQ(static_cast<int>(value * 24 + 1e-9), c.Hour) << c.Text;
  }
  // Every hour of the day survives a write and a read, whichever order the
  // hour and the AM/PM field come in.
  for (const char* text : {"HH12:NN AMPM", "H:N AMPM", "AMPM HH:NN"}) {
    const TDateFormater roundTrip(text);
    for (int hour = 0; hour < 24; ++hour) {
      const double value = DateTime(1899, 12, 30, hour, 30);
      EXPECT_DOUBLE_EQ(roundTrip.StringToDateTime(roundTrip.DateTimeToString(value)), value)
          << text << " hour " << hour;
    }
  }
}

TEST_F(DateFormatTest, ReadingErrors) {
  try {
    TDateFormater("HH12:NN AMPM").StringToDateTime("11:30 xm");
    FAIL() << "no error";
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), kQELErrAmPmExpected);
    EXPECT_STREQ(e.what(), "AM/PM word expected, but 'xm' found - Native error: 30129");
  }
  struct TCase {
    const char* Format;
    const char* Text;
    const char* Message;
  };
  const TCase cases[] = {
      {"YYYY-MM-DD", "2024-", "'' is not a valid integer value"},
      {"YYYY-MM-DD", "20x4-01-01", "'20x4' is not a valid integer value"},
      {"YYYY-MM-DD", "2006-13-45", "Invalid argument to date encode"},
      {"YYYY-MM-DD", "2023-02-29", "Invalid argument to date encode"},
      {"HH24:NN", "24:00", "Invalid argument to time encode"},
      {"HH24:NN:SS", "10:00:60", "Invalid argument to time encode"},
      {"HH12:NN AMPM", "13:00 PM", "Invalid argument to time encode"},
  };
  for (const TCase& c : cases) {
    try {
      TDateFormater(c.Format).StringToDateTime(c.Text);
      ADD_FAILURE() << c.Format << " / " << c.Text << ": no error";
    } catch (const EConvertError& e) {
      EXPECT_STREQ(e.what(), c.Message) << c.Format << " / " << c.Text;
    }
  }
}

TEST_F(DateFormatTest, WidthAndType) {
  struct TCase {
    const char* Format;
    std::int32_t Width;
    TQELAdvancedFieldType Type;
  };
  const TCase cases[] = {
      {"", 0, aftDateTime},
      {"YYYY-MM-DD", 10, aftDate},
      {"HH24:NN", 5, aftTime},
      {"YYYY-MM-DD HH24:NN:SS", 19, aftDateTime},
      {"'YYYY'", 4, aftDateTime},
      {"Q MONTH MON RM DDD DAY DY DW", 1 + 9 + 3 + 4 + 3 + 12 + 3 + 2 + 7, aftDate},
      {"HH12 AMPM", 5, aftTime},
  };
  for (const TCase& c : cases) {
    const TDateFormater format(c.Format);
    EXPECT_EQ(format.GetResultLength(), c.Width) << c.Format;
    EXPECT_EQ(format.GetResultType(), c.Type) << c.Format;
  }
}

// Names of a locale whose UTF-8 month names are longer than nine bytes: the
// width reserves the longest, so that every written value fits it.
TEST_F(DateFormatTest, LongLocaleNamesFitTheWidth) {
  for (const char* locale : {"ta_IN", "el_GR", "ru_RU", "de_DE"}) {
    QELSetCollationLocale(locale);
    const TDateFormater format("MONTH DAY MON DDD");
    std::size_t longest = 0;
    for (int month = 1; month <= 12; ++month) {
      for (int day = 1; day <= 7; ++day) {
        const std::string text = format.DateTimeToString(DateTime(2024, month, day));
        longest = std::max(longest, text.size());
      }
    }
    EXPECT_LE(longest, static_cast<std::size_t>(format.GetResultLength())) << locale;
  }
  QELSetCollationLocale("ta_IN");
  const std::string september = TDateFormater("MONTH").DateTimeToString(DateTime(2024, 9, 1));
  EXPECT_GT(september.size(), 9u);
  EXPECT_EQ(september, QELLocaleDateName(TQELDateName::LongMonth, 9));
  EXPECT_GE(TDateFormater("MONTH").GetResultLength(), static_cast<std::int32_t>(september.size()));
}

TEST_F(DateFormatTest, LocaleNames) {
  EXPECT_EQ(QELLocaleDateName(TQELDateName::LongMonth, 1), "January");
  EXPECT_EQ(QELLocaleDateName(TQELDateName::ShortMonth, 12), "Dec");
  EXPECT_EQ(QELLocaleDateName(TQELDateName::LongDay, 1), "Monday");
  EXPECT_EQ(QELLocaleDateName(TQELDateName::ShortDay, 7), "Sun");
  EXPECT_EQ(QELLocaleDateName(TQELDateName::LongMonth, 13), "");
  EXPECT_EQ(QELLocaleDateName(TQELDateName::LongDay, 0), "");
  QELSetCollationLocale("id_ID");
  EXPECT_EQ(QELLocaleDateName(TQELDateName::LongMonth, 8), "Agustus");
  EXPECT_EQ(QELLocaleDateName(TQELDateName::LongDay, 5), "Jumat");
  // The root locale has no names of its own.
  QELSetCollationLocale("C");
  EXPECT_EQ(QELLocaleDateName(TQELDateName::LongMonth, 3), "March");
}

}  // namespace
}  // namespace qel
