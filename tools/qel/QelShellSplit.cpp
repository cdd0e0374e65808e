#include "QelShellSplit.h"

namespace qel::tool {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The characters that end a word: blanks, ';', operators, punctuation and the
// signs. Quotes and brackets do not, so they belong to the word they follow.
bool EndsWord(char c) {
  switch (c) {
    case ';': case '<': case '>': case '=': case '(': case ')': case ',': case '/': case '*':
    case ':': case '?': case '|': case '.': case '+': case '-':
      return true;
    default:
      return IsSpace(c);
  }
}

class TScanner {
 public:
  explicit TScanner(std::string_view text) : FText(text) {}

  TSplitScript Run() {
    TSplitScript result;
    std::size_t start = 0;
    std::int32_t startLine = 1;
    bool hasToken = false;
    while (FPos < FText.size()) {
      const char c = FText[FPos];
      if (c == ';') {
        if (hasToken) result.Statements.push_back(Cut(start, FPos, startLine));
        ++FPos;
        start = FPos;
        startLine = FLine;
        hasToken = false;
        continue;
      }
      if (IsSpace(c)) {
        Advance(1);
        continue;
      }
      if (c == '-' && At(FPos + 1) == '-') {
        SkipTo("\n", 1);
        continue;
      }
      if (c == '/' && At(FPos + 1) == '*') {
        if (!SkipTo("*/", 2)) result.RestOpen = true;
        continue;
      }
      if (!hasToken) {
        // Blanks and comments before a statement are not part of it.
        start = FPos;
        startLine = FLine;
        hasToken = true;
      }
      if (!ScanToken()) result.RestOpen = true;
    }
    // The rest keeps its text as it is: it is what a reader of further
    // lines appends to, and its end may lie inside a quote.
    if (hasToken || result.RestOpen) result.Rest = {std::string(FText.substr(start)), startLine};
    result.RestIsBlank = !hasToken;
    return result;
  }

 private:
  char At(std::size_t pos) const { return pos < FText.size() ? FText[pos] : '\0'; }

  void Advance(std::size_t count) {
    for (std::size_t i = 0; i < count && FPos < FText.size(); ++i) {
      if (FText[FPos++] == '\n') ++FLine;
    }
  }

  // Moves past the next `end` after the opener of `openLength` bytes;
  // false when the text ends first.
  bool SkipTo(std::string_view end, std::size_t openLength) {
    const std::size_t found = FText.find(end, FPos + openLength);
    if (found == std::string_view::npos) {
      Advance(FText.size() - FPos);
      return false;
    }
    Advance(found + end.size() - FPos);
    return true;
  }

  // One token from FPos; false when it is a quote the text ends inside.
  bool ScanToken() {
    char c = FText[FPos];
    if (c == ':' && (At(FPos + 1) == '\'' || At(FPos + 1) == '"' || At(FPos + 1) == '[')) {
      Advance(1);
      c = FText[FPos];
    }
    if (c == '\'' || c == '"' || c == '[' || c == '`') return ScanQuoted(c == '[' ? ']' : c, c == '`');
    if (EndsWord(c)) {
      Advance(1);
      return true;
    }
    while (FPos < FText.size() && !EndsWord(FText[FPos])) Advance(1);
    return true;
  }

  bool ScanQuoted(char closing, bool backslashEscapes) {
    Advance(1);
    while (FPos < FText.size()) {
      const char c = FText[FPos];
      if (backslashEscapes && c == '\\') {
        Advance(At(FPos + 1) == closing ? 1 : 2);
        if (FPos >= FText.size()) return false;
        if (FText[FPos] != closing) continue;
      }
      if (FText[FPos] == closing) {
        if (At(FPos + 1) == closing) {
          Advance(2);
          continue;
        }
        Advance(1);
        return true;
      }
      Advance(1);
    }
    return false;
  }

  TShellStatement Cut(std::size_t from, std::size_t to, std::int32_t line) const {
    std::size_t end = to;
    while (end > from && IsSpace(FText[end - 1])) --end;
    return {std::string(FText.substr(from, end - from)), line};
  }

  std::string_view FText;
  std::size_t FPos = 0;
  std::int32_t FLine = 1;
};

}  // namespace

TSplitScript SplitStatements(std::string_view script) { return TScanner(script).Run(); }

bool IsBlankSql(std::string_view text) {
  const TSplitScript split = SplitStatements(text);
  return split.Statements.empty() && split.RestIsBlank;
}

}  // namespace qel::tool
