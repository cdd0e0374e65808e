#include "platform/QELCollation.h"

#include <gtest/gtest.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qel {
namespace {

std::u16string Utf16(std::string_view text) {
  std::u16string result(text.size(), u'\0');
  std::int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  // Malformed bytes become U+FFFD, as the UTF-8 functions read them.
  u_strFromUTF8WithSub(result.data(), static_cast<std::int32_t>(result.size()), &length,
                       text.data(), static_cast<std::int32_t>(text.size()), 0xFFFD, nullptr,
                       &status);
  EXPECT_TRUE(U_SUCCESS(status)) << u_errorName(status);
  result.resize(static_cast<std::size_t>(length));
  return result;
}

int Sign(int value) { return (value > 0) - (value < 0); }

class TQELCollationTest : public ::testing::Test {
 protected:
  void SetUp() override { QELSetCollationLocale("root"); }
  void TearDown() override { QELSetCollationLocale(""); }
};

TEST_F(TQELCollationTest, CaseInsensitiveIgnoresCaseButNotAccents) {
  EXPECT_EQ(QELCompareText("ABC", "abc", true), 0);
  EXPECT_NE(QELCompareText("ABC", "abc", false), 0);
  EXPECT_NE(QELCompareText("resume", "RÉSUMÉ", true), 0);
  EXPECT_EQ(QELCompareText("résumé", "RÉSUMÉ", true), 0);
  EXPECT_LT(QELCompareText("abc", "ABD", true), 0);
}

TEST_F(TQELCollationTest, SortsAlphabeticallyNotByBytes) {
  std::vector<std::string> words = {"c", "B", "b", "A", "a", "ä", "Z"};
  std::sort(words.begin(), words.end(), [](const std::string& x, const std::string& y) {
    return QELCompareText(x, y, false) < 0;
  });
  EXPECT_EQ(words, (std::vector<std::string>{"a", "A", "ä", "b", "B", "c", "Z"}));
  EXPECT_LT(QELCompareText("a", "B", true), 0);
  EXPECT_LT(QELCompareText("B", "c", true), 0);
}

TEST_F(TQELCollationTest, OrderIsConsistentAndAgreesAcrossEncodings) {
  const char* const words[] = {"", "a", "A", "ab", "aB", "Ab", "b", "straße", "strasse",
                               "Ärger", "arger", "zebra", "日本", "\xFF"};
  for (const char* x : words) {
    for (const char* y : words) {
      for (const bool caseInsensitive : {false, true}) {
        SCOPED_TRACE(std::string(x) + " vs " + y + (caseInsensitive ? " ignoring case" : ""));
        const int forward = Sign(QELCompareText(x, y, caseInsensitive));
        EXPECT_EQ(Sign(QELCompareText(y, x, caseInsensitive)), -forward);
        EXPECT_EQ(Sign(QELCompareText(Utf16(x), Utf16(y), caseInsensitive)), forward);
      }
    }
  }
}

TEST_F(TQELCollationTest, TheChosenLocaleDecidesTheOrder) {
  QELSetCollationLocale("de_DE");
  EXPECT_EQ(QELCollationLocale(), "de_DE");
  EXPECT_LT(QELCompareText("ä", "z", false), 0);
  QELSetCollationLocale("sv_SE.UTF-8");  // Swedish sorts ä after z
  EXPECT_EQ(QELCollationLocale(), "sv_SE");
  EXPECT_GT(QELCompareText("ä", "z", false), 0);
  EXPECT_GT(QELCompareText(u"ä", u"z", false), 0);
}

TEST_F(TQELCollationTest, OtherThreadsFollowALocaleChange) {
  QELSetCollationLocale("de");
  std::mutex mutex;
  std::condition_variable changed;
  int step = 0;
  int before = 0;
  int after = 0;
  std::thread worker([&] {
    before = QELCompareText("ä", "z", false);  // builds this thread's collators
    std::unique_lock<std::mutex> lock(mutex);
    step = 1;
    changed.notify_all();
    changed.wait(lock, [&] { return step == 2; });
    after = QELCompareText("ä", "z", false);
  });
  {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return step == 1; });
    QELSetCollationLocale("sv");
    step = 2;
    changed.notify_all();
  }
  worker.join();
  EXPECT_LT(before, 0);
  EXPECT_GT(after, 0);
}

TEST_F(TQELCollationTest, PosixLocaleMeansRootOrder) {
  const std::string saved = uloc_getDefault();
  UErrorCode status = U_ZERO_ERROR;
  uloc_setDefault("en_US_POSIX", &status);
  QELSetCollationLocale("");
  const std::string fromDefault = QELCollationLocale();
  const int defaultOrder = QELCompareText("a", "B", false);
  uloc_setDefault(saved.c_str(), &status);

  EXPECT_EQ(fromDefault, "root");
  EXPECT_LT(defaultOrder, 0);  // en_US_POSIX puts every capital first
  QELSetCollationLocale("C");
  EXPECT_EQ(QELCollationLocale(), "root");
  EXPECT_LT(QELCompareText("a", "B", false), 0);
}

TEST_F(TQELCollationTest, MapsCaseByLocale) {
  const struct {
    const char* Locale;
    const char* Text;
    const char* Upper;
    const char* Lower;
  } cases[] = {
      {"root", "Mixed ASCII 123!", "MIXED ASCII 123!", "mixed ascii 123!"},
      {"root", "straße", "STRASSE", "straße"},
      {"root", "äÖü", "ÄÖÜ", "äöü"},
      {"root", "İ", "İ", "i\xCC\x87"},  // small i with a combining dot: longer than the text
      {"root", "i", "I", "i"},
      {"tr", "i", "İ", "i"},   // Turkish dotted capital I
      {"tr", "I", "I", "ı"},   // and dotless small i, even in ASCII text
      {"de", "Größe", "GRÖSSE", "größe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.Locale) + ": " + c.Text);
    QELSetCollationLocale(c.Locale);
    EXPECT_EQ(QELUpperCase(c.Text), c.Upper);
    EXPECT_EQ(QELLowerCase(c.Text), c.Lower);
    EXPECT_EQ(QELUpperCase(Utf16(c.Text)), Utf16(c.Upper));
    EXPECT_EQ(QELLowerCase(Utf16(c.Text)), Utf16(c.Lower));
  }
}

TEST_F(TQELCollationTest, MalformedTextIsMappedAroundAndCompared) {
  EXPECT_EQ(QELUpperCase("a\xFF" "b\xC3"), "A\xFF" "B\xC3");
  EXPECT_EQ(QELUpperCase(std::u16string(u"a\xD800" "b")), std::u16string(u"A\xD800" "B"));
  EXPECT_LT(QELCompareText("a\xFF", "b", false), 0);
  EXPECT_EQ(QELUpperCase(std::string(2000, '\xFF')), std::string(2000, '\xFF'));
}

}  // namespace
}  // namespace qel
