// The LIKE matcher against a plain dynamic-programming matcher, on many
// small patterns and texts: both of its ways (runs searched for, and the
// general walk) must answer as the definition does.

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "platform/QELCollation.h"
#include "sql/QELLikeMatcher.h"

namespace qel {
namespace {

// table[i][j]: the first i pattern characters match the first j text
// characters. '!' escapes; a trailing '!' stands for itself.
bool Reference(const std::string& pattern, const std::string& text, bool caseInsensitive) {
  struct TElement {
    char Kind;  // '%', '_' or 'c'
    char C;
  };
  std::vector<TElement> elements;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '!') {
      elements.push_back({'c', i + 1 < pattern.size() ? pattern[++i] : '!'});
    } else if (pattern[i] == '%' || pattern[i] == '_') {
      elements.push_back({pattern[i], 0});
    } else {
      elements.push_back({'c', pattern[i]});
    }
  }
  const auto same = [&](char a, char b) {
    return caseInsensitive ? std::tolower(static_cast<unsigned char>(a)) ==
                                 std::tolower(static_cast<unsigned char>(b))
                           : a == b;
  };
  std::vector<std::vector<bool>> table(elements.size() + 1, std::vector<bool>(text.size() + 1));
  table[0][0] = true;
  for (std::size_t i = 1; i <= elements.size(); ++i) {
    const TElement& e = elements[i - 1];
    for (std::size_t j = 0; j <= text.size(); ++j) {
      if (e.Kind == '%') {
        table[i][j] = table[i - 1][j] || (j > 0 && table[i][j - 1]);
      } else if (j > 0) {
        table[i][j] = table[i - 1][j - 1] && (e.Kind == '_' || same(e.C, text[j - 1]));
      }
    }
  }
  return table[elements.size()][text.size()];
}

TEST(LikeMatcherTest, AnswersAsTheDefinition) {
  QELSetCollationLocale("en_US");
  std::mt19937 random(7);
  const std::string patternAlphabet = "aAb%_!";
  const std::string textAlphabet = "aAb%_!";
  TQELLikeMatcher matcher;
  TQELLikeMatcher wide;
  int checked = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string pattern;
    for (unsigned n = random() % 8; n > 0; --n) pattern += patternAlphabet[random() % patternAlphabet.size()];
    std::string text;
    for (unsigned n = random() % 10; n > 0; --n) text += textAlphabet[random() % textAlphabet.size()];
    for (const bool caseInsensitive : {false, true}) {
      matcher.Compile(pattern, '!', caseInsensitive);
      ASSERT_EQ(matcher.Matches(text), Reference(pattern, text, caseInsensitive))
          << "'" << text << "' LIKE '" << pattern << "' ESCAPE '!'" << (caseInsensitive ? " no case" : "");
      wide.Compile(std::u16string(pattern.begin(), pattern.end()), '!', caseInsensitive);
      ASSERT_EQ(wide.Matches(std::u16string(text.begin(), text.end())), Reference(pattern, text, caseInsensitive))
          << "wide '" << text << "' LIKE '" << pattern << "'";
      ++checked;
    }
  }
  EXPECT_EQ(checked, 40000);
  // The prefix form: the text starts with the whole prefix.
  matcher.CompilePrefix("a%_", false);
  EXPECT_TRUE(matcher.Matches("a%_b"));
  EXPECT_FALSE(matcher.Matches("a%"));
  EXPECT_FALSE(matcher.Matches("axb"));
  QELSetCollationLocale("");
}

TEST(LikeMatcherTest, CharactersCompareByTheCollation) {
  QELSetCollationLocale("en_US");
  TQELLikeMatcher matcher;
  // Case-insensitive comparison still tells accents apart.
  matcher.Compile("%\xC3\xA9t\xC3\xA9", -1, true);
  EXPECT_TRUE(matcher.Matches("un \xC3\x89T\xC3\x89"));
  EXPECT_FALSE(matcher.Matches("un ete"));
  // Malformed UTF-8 is no error; each bad byte is one character.
  matcher.Compile("a_b", -1, false);
  EXPECT_TRUE(matcher.Matches("a\xFF" "b"));
  EXPECT_FALSE(matcher.Matches("a\xFF\xFF" "b"));
  QELSetCollationLocale("");
}

}  // namespace
}  // namespace qel
