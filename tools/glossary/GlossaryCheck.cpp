#include "GlossaryCheck.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>

namespace qel::glossary {

namespace {

std::string Quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

std::string Where(const std::string& file, int line) { return file + ":" + std::to_string(line); }

std::string CodePointName(std::uint32_t point) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(point));
  return buffer;
}

// Decodes the next code point of valid UTF-8 at `i` and steps past it.
std::uint32_t NextCodePoint(std::string_view s, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  std::uint32_t point = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) point = (point << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  i += length;
  return point;
}

enum class TLetterCase { None, Lower, Upper };

// Letter case in the Latin blocks that Indonesian text and its loanwords use
// (Latin-1 and Latin Extended-A); other scripts have no place in a term.
TLetterCase LatinCase(std::uint32_t p) {
  if (p >= 'a' && p <= 'z') return TLetterCase::Lower;
  if (p >= 'A' && p <= 'Z') return TLetterCase::Upper;
  if (p >= 0xC0 && p <= 0xDE && p != 0xD7) return TLetterCase::Upper;
  if (p >= 0xDF && p <= 0xFF && p != 0xF7) return TLetterCase::Lower;
  if (p == 0x138 || p == 0x149 || p == 0x17F) return TLetterCase::Lower;
  if (p == 0x178) return TLetterCase::Upper;
  const auto evenUpper = [p]() { return p % 2 == 0 ? TLetterCase::Upper : TLetterCase::Lower; };
  const auto oddUpper = [p]() { return p % 2 == 1 ? TLetterCase::Upper : TLetterCase::Lower; };
  if (p >= 0x100 && p <= 0x137) return evenUpper();
  if (p >= 0x139 && p <= 0x148) return oddUpper();
  if (p >= 0x14A && p <= 0x177) return evenUpper();
  if (p >= 0x179 && p <= 0x17E) return oddUpper();
  return TLetterCase::None;
}

bool IsQuote(std::uint32_t p) {
  switch (p) {
    case '\'': case '"': case '`': case 0xAB: case 0xBB:
    case 0x2018: case 0x2019: case 0x201A: case 0x201B:
    case 0x201C: case 0x201D: case 0x201E: case 0x2039: case 0x203A:
      return true;
    default:
      return false;
  }
}

bool IsTermPunctuation(std::uint32_t p) {
  return p == ' ' || p == '-' || p == '/' || p == '.' || p == '+' || p == '(' || p == ')';
}

// A file named after one letter ("k.txt") holds the terms beginning with it.
char FileLetter(const std::string& file) {
  const std::filesystem::path path(file);
  const std::string stem = path.stem().string();
  if (path.extension() != ".txt" || stem.size() != 1 || stem[0] < 'a' || stem[0] > 'z') return 0;
  return stem[0];
}

class TChecker {
 public:
  explicit TChecker(const TGlossaryText& text) : FText(text) {}

  std::vector<TGlossaryProblem> Run() {
    for (const TGlossaryEntry& entry : FText.Entries) {
      const auto [first, added] = FTerms.emplace(entry.Term, &entry);
      if (!added) {
        Problem(entry.File, entry.TermLine,
                "duplicate term " + Quoted(entry.Term) + " (first at " +
                    Where(first->second->File, first->second->TermLine) + ")");
      }
    }
    CheckNonTerms();
    for (const TGlossaryEntry& entry : FText.Entries) CheckEntry(entry);
    for (const auto& [key, nonTerm] : FNonTerms) {
      if (FUsedNonTerms.count(key) == 0) {
        Problem(nonTerm->File, nonTerm->Line,
                Quoted(nonTerm->Text) + " is listed as 'bukan istilah' but no description sets it in bold");
      }
    }
    std::stable_sort(FProblems.begin(), FProblems.end(), [](const auto& a, const auto& b) {
      return a.File != b.File ? a.File < b.File : a.Line < b.Line;
    });
    return std::move(FProblems);
  }

 private:
  void Problem(const std::string& file, int line, std::string message) {
    FProblems.push_back({file, line, std::move(message)});
  }

  void CheckNonTerms() {
    for (const TGlossaryNonTerm& nonTerm : FText.NonTerms) {
      const std::string key = FollowKey(nonTerm.Text);
      if (const auto term = FTerms.find(key); term != FTerms.end()) {
        Problem(nonTerm.File, nonTerm.Line,
                Quoted(nonTerm.Text) + " is listed as 'bukan istilah' but is a term (" +
                    Where(term->second->File, term->second->TermLine) + ")");
        continue;
      }
      const auto [first, added] = FNonTerms.emplace(key, &nonTerm);
      if (!added) {
        Problem(nonTerm.File, nonTerm.Line,
                Quoted(nonTerm.Text) + " is listed as 'bukan istilah' twice (first at " +
                    Where(first->second->File, first->second->Line) + ")");
      }
    }
  }

  void CheckEntry(const TGlossaryEntry& entry) {
    for (const std::string& message : TermSpellingProblems(entry.Term)) {
      Problem(entry.File, entry.TermLine, "term " + Quoted(entry.Term) + ": " + message);
    }
    // An upper-case first letter is reported above already.
    if (const char letter = FileLetter(entry.File);
        letter != 0 && !entry.Term.empty() && !FollowKey(entry.Term.substr(0, 1)).starts_with(letter)) {
      Problem(entry.File, entry.TermLine,
              "term " + Quoted(entry.Term) + " does not begin with '" + letter + "', the letter of its file");
    }
    if (entry.DescriptionLine != 0 && !entry.Description.empty()) CheckDescription(entry);
    if (entry.Notes.find("**") != std::string::npos) {
      Problem(entry.File, entry.NotesLine, "notes take no bold marks");
    }
  }

  void CheckDescription(const TGlossaryEntry& entry) {
    const int line = entry.DescriptionLine;
    std::vector<TGlossarySpan> spans;
    std::string error;
    if (!SplitBold(entry.Description, spans, error)) {
      Problem(entry.File, line, "description: " + error);
      return;
    }
    int bold = 0;
    for (const TGlossarySpan& span : spans) {
      if (!span.Bold) continue;
      ++bold;
      const std::string key = FollowKey(span.Text);
      if (key == entry.Term) {
        Problem(entry.File, line, "bold " + Quoted(span.Text) + " is the entry's own term");
      } else if (FNonTerms.count(key) != 0) {
        FUsedNonTerms.insert(key);
      } else if (FTerms.count(key) == 0) {
        Problem(entry.File, line,
                "bold " + Quoted(span.Text) + " is no term of the glossary (looked up as " + Quoted(key) +
                    ") and is not listed as 'bukan istilah'");
      }
    }
    if (bold < kMinBoldMarks || bold > kMaxBoldMarks) {
      Problem(entry.File, line,
              "description has " + std::to_string(bold) + " bold phrases; it needs " +
                  std::to_string(kMinBoldMarks) + " to " + std::to_string(kMaxBoldMarks));
    }
    bool unfinished = false;
    const int sentences = CountSentences(PlainText(spans), unfinished);
    if (unfinished) Problem(entry.File, line, "description does not end with '.', '!' or '?'");
    if (sentences < kMinSentences || sentences > kMaxSentences) {
      Problem(entry.File, line,
              "description has " + std::to_string(sentences) + " sentences; it needs " +
                  std::to_string(kMinSentences) + " to " + std::to_string(kMaxSentences));
    }
  }

  const TGlossaryText& FText;
  std::map<std::string, const TGlossaryEntry*> FTerms;
  std::map<std::string, const TGlossaryNonTerm*> FNonTerms;
  std::set<std::string> FUsedNonTerms;
  std::vector<TGlossaryProblem> FProblems;
};

}  // namespace

std::vector<std::string> TermSpellingProblems(std::string_view term) {
  std::vector<std::string> problems;
  if (term.empty()) return problems;  // reported by the parser
  if (!IsValidUtf8(term)) return {"not valid UTF-8"};
  std::string upper, other;
  bool quote = false, comma = false;
  std::size_t i = 0;
  const std::uint32_t firstPoint = [&] {
    std::size_t j = 0;
    return NextCodePoint(term, j);
  }();
  while (i < term.size()) {
    const std::uint32_t p = NextCodePoint(term, i);
    const TLetterCase letterCase = LatinCase(p);
    if (letterCase == TLetterCase::Upper) {
      if (upper.empty()) upper = CodePointName(p);
    } else if (p == ',') {
      comma = true;
    } else if (IsQuote(p)) {
      quote = true;
    } else if (letterCase == TLetterCase::None && !(p >= '0' && p <= '9') && !IsTermPunctuation(p)) {
      if (other.empty()) other = CodePointName(p);
    }
  }
  if (!upper.empty()) problems.push_back("upper-case letter " + upper + "; terms are lower-case");
  if (quote) problems.push_back("contains a quote character");
  if (comma) problems.push_back("contains a comma");
  if (!other.empty()) problems.push_back("character " + other + " is not allowed in a term");
  if (LatinCase(firstPoint) == TLetterCase::None && !(firstPoint >= '0' && firstPoint <= '9')) {
    problems.push_back("must begin with a letter or digit");
  }
  if (term.back() == ' ') problems.push_back("ends with a space");
  if (term.find("  ") != std::string_view::npos) problems.push_back("has two spaces in a row");
  if (term.size() > kMaxTermBytes) {
    problems.push_back("longer than " + std::to_string(kMaxTermBytes) + " bytes");
  }
  return problems;
}

int CountSentences(std::string_view plain, bool& unfinished) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  const auto isEnd = [](char c) { return c == '.' || c == '!' || c == '?'; };
  const auto isCloser = [](char c) { return c == ')' || c == '"' || c == '\''; };
  int sentences = 0;
  bool pending = false;  // text seen since the last sentence end
  std::size_t i = 0;
  while (i < plain.size()) {
    if (isEnd(plain[i])) {
      std::size_t j = i;
      while (j < plain.size() && isEnd(plain[j])) ++j;
      while (j < plain.size() && isCloser(plain[j])) ++j;
      if (j == plain.size() || isSpace(plain[j])) {
        if (pending) ++sentences;
        pending = false;
        i = j;
        continue;
      }
      pending = true;
      i = j;
      continue;
    }
    if (!isSpace(plain[i])) pending = true;
    ++i;
  }
  unfinished = pending;
  return sentences;
}

TGlossaryStats GlossaryStats(const TGlossaryText& text) {
  TGlossaryStats stats;
  stats.Files = text.Files;
  stats.NonTerms = static_cast<int>(text.NonTerms.size());
  for (const TGlossaryEntry& entry : text.Entries) {
    ++stats.Terms;
    if (entry.NotesLine != 0) ++stats.Notes;
    if (entry.Term.find(' ') != std::string::npos) ++stats.MultiWordTerms;
    std::vector<TGlossarySpan> spans;
    std::string error;
    if (SplitBold(entry.Description, spans, error)) {
      stats.BoldMarks += static_cast<int>(std::count_if(spans.begin(), spans.end(),
                                                        [](const TGlossarySpan& s) { return s.Bold; }));
    }
  }
  return stats;
}

std::vector<TGlossaryProblem> CheckGlossary(const TGlossaryText& text) { return TChecker(text).Run(); }

}  // namespace qel::glossary
