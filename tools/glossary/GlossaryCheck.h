#pragma once
// Checks the glossary's text against the rules the glossary window relies on:
// every bold phrase leads to a term, terms are unique, lower-case and safe to
// put between quotes in a statement or in a comma-separated list, and each
// description is short with a few bold phrases.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "GlossaryText.h"

namespace qel::glossary {

// Bounds on a description; a sentence ends with '.', '!' or '?' followed by
// white space or the end of the text.
constexpr int kMinSentences = 1;
constexpr int kMaxSentences = 3;
constexpr int kMinBoldMarks = 1;
constexpr int kMaxBoldMarks = 3;
// Longest term, in bytes, so that it fits the term column and the term grid.
constexpr std::size_t kMaxTermBytes = 60;

struct TGlossaryStats {
  int Files = 0;
  int Terms = 0;
  int Notes = 0;
  int MultiWordTerms = 0;
  int BoldMarks = 0;
  int NonTerms = 0;
};

// Every problem of the parsed text, in file and line order. Empty when the
// text is valid.
std::vector<TGlossaryProblem> CheckGlossary(const TGlossaryText& text);

TGlossaryStats GlossaryStats(const TGlossaryText& text);

// What is wrong with a term's spelling, one message per kind of fault; empty
// when the term is fine.
std::vector<std::string> TermSpellingProblems(std::string_view term);

// The number of finished sentences in `plain`; `unfinished` is set when text
// follows the last sentence end.
int CountSentences(std::string_view plain, bool& unfinished);

}  // namespace qel::glossary
