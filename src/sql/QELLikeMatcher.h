#pragma once
// TQELLikeMatcher: a LIKE pattern compiled once and matched against texts.
// '%' matches any run of characters, '_' any one character, the escape
// character makes the next pattern character literal (a pattern that ends
// in it matches the escape character itself), and every other pattern
// character must compare equal to one text character under the collation
// in effect, ignoring case when asked.
//
// 8-bit strings are UTF-8 and match by code point; wide strings match by
// 16-bit unit. Matching takes work proportional to the text's length times
// the pattern's: a '%' is never retried once a later one has matched, so
// patterns with many '%' do not backtrack exponentially.
//
// Character comparisons go through the collation only once per pair of
// characters: the answers for ASCII pairs are kept in a table, the others
// in a small cache. The matcher keeps them across patterns, so a node whose
// pattern changes from row to row still asks the collation rarely.

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

class TQELLikeMatcher {
 public:
  TQELLikeMatcher() = default;
  // Copies start with no compiled pattern and no cached answers.
  TQELLikeMatcher(const TQELLikeMatcher&) {}
  TQELLikeMatcher& operator=(const TQELLikeMatcher&) = delete;

  // Compiles `pattern`; `escape` is a code point (a 16-bit unit for wide
  // patterns), or -1 for none.
  void Compile(std::string_view pattern, std::int32_t escape, bool caseInsensitive);
  void Compile(std::u16string_view pattern, std::int32_t escape, bool caseInsensitive);
  // Compiles "every text that starts with `prefix`": the prefix's
  // characters taken literally, then '%'.
  void CompilePrefix(std::string_view prefix, bool caseInsensitive);
  void CompilePrefix(std::u16string_view prefix, bool caseInsensitive);

  // Matches a text of the width the pattern was compiled for.
  bool Matches(std::string_view text);
  bool Matches(std::u16string_view text);

  // Whether the compiled pattern is the one these arguments would give
  // (`prefixOnly` for CompilePrefix).
  bool IsCompiled(std::string_view pattern, std::int32_t escape, bool caseInsensitive,
                  bool prefixOnly = false) const;
  bool IsCompiled(std::u16string_view pattern, std::int32_t escape, bool caseInsensitive,
                  bool prefixOnly = false) const;

  // Text positions visited since the matcher was made, to show that the
  // work stays proportional to the text.
  std::uint64_t Steps() const { return FSteps; }

 private:
  enum TElementKind : std::uint8_t { ekAny, ekOne, ekChar };
  struct TElement {
    TElementKind Kind;
    std::uint32_t Code;     // code point (8-bit) or unit (wide)
    std::uint32_t Offset;   // of the character's text in FCharText
    std::uint32_t Length;
  };

  template <class TChar>
  void CompileImpl(std::basic_string_view<TChar> pattern, std::int32_t escape, bool caseInsensitive,
                   bool prefixOnly);
  template <class TChar>
  bool MatchGeneric(std::basic_string_view<TChar> text);
  // Literal runs found with a plain search, for ASCII text and patterns
  // whose characters each equal only themselves.
  bool MatchExactRuns(std::string_view text);
  template <class TChar>
  bool CharEqual(const TElement& element, std::basic_string_view<TChar> text, std::size_t pos,
                 std::size_t length);
  // The set of ASCII characters equal to ASCII character `c`.
  const std::array<std::uint64_t, 2>& AsciiClass(std::uint32_t c);

  std::vector<TElement> FElements;
  // The pattern's characters as text of its width (UTF-8 bytes or UTF-16
  // units), for collation calls.
  std::string FCharText8;
  std::u16string FCharText16;
  bool FWide = false;
  bool FCaseInsensitive = false;
  // Every character element is ASCII and equal to no other ASCII
  // character, and there is no '_': runs between '%' can be searched for.
  bool FExactRuns = false;
  std::vector<std::string> FRuns;  // the literal runs, for MatchExactRuns
  bool FLeadingAny = false;
  bool FTrailingAny = false;

  // What the pattern was compiled from.
  std::string FSource8;
  std::u16string FSource16;
  std::int32_t FEscape = -1;
  bool FPrefixOnly = false;
  bool FCompiled = false;

  // Per ASCII pattern character (and case setting): which ASCII text
  // characters equal it, built on first use.
  std::unique_ptr<std::array<std::array<std::uint64_t, 2>, 128>> FAsciiClasses;
  std::array<bool, 128> FAsciiClassKnown{};
  bool FClassesCaseInsensitive = false;
  // Answers for pairs with a character outside ASCII.
  struct TPairAnswer {
    std::uint64_t Key = ~0ull;
    bool Equal = false;
  };
  std::unique_ptr<std::array<TPairAnswer, 256>> FPairCache;

  std::uint64_t FSteps = 0;
};

}  // namespace qel
