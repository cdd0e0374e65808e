#include "GlossaryText.h"

#include <cstdint>

#include "app/QELKuvoSearch.h"

namespace qel::glossary {

namespace {

constexpr std::string_view kTermField = "istilah";
constexpr std::string_view kDescriptionField = "uraian";
constexpr std::string_view kNotesField = "catatan";
constexpr std::string_view kNonTermDirective = "bukan istilah:";

std::string_view Trim(std::string_view s) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t'; };
  while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
  return s;
}

bool IsBlank(std::string_view line) { return Trim(line).empty(); }

// Reads one file line by line. An entry is open from its "istilah:" line to
// the next blank line; `field` is the value the next continuation line extends.
class TFileParser {
 public:
  TFileParser(std::string_view fileName, TGlossaryText& text, std::vector<TGlossaryProblem>& problems)
      : FFile(fileName), FText(text), FProblems(problems) {}

  void Line(int number, std::string_view line) {
    FLine = number;
    if (!IsValidUtf8(line)) {
      Problem(number, "line is not valid UTF-8");
      return;
    }
    if (IsBlank(line)) {
      FinishEntry();
      return;
    }
    if (line.front() == '#') {
      Comment(line.substr(1));
      return;
    }
    if (line.front() == ' ' || line.front() == '\t') {
      if (FField == nullptr) {
        Problem(number, "continuation line without a field above it");
      } else {
        if (!FField->empty()) *FField += ' ';
        *FField += Trim(line);
      }
      return;
    }
    Field(line);
  }

  void Finish() { FinishEntry(); }

 private:
  void Problem(int line, std::string message) {
    FProblems.push_back({FFile, line, std::move(message)});
  }

  void Comment(std::string_view body) {
    body = Trim(body);
    if (!body.starts_with(kNonTermDirective)) return;
    if (FSeenEntry) {
      Problem(FLine, "'bukan istilah' belongs in the file's header, before the first entry");
      return;
    }
    const std::string_view phrase = Trim(body.substr(kNonTermDirective.size()));
    if (phrase.empty()) {
      Problem(FLine, "'bukan istilah' without a phrase");
      return;
    }
    FText.NonTerms.push_back({FFile, FLine, std::string(phrase)});
  }

  void Field(std::string_view line) {
    FField = nullptr;
    const std::size_t colon = line.find(':');
    const std::string_view name = line.substr(0, colon);
    if (colon == std::string_view::npos ||
        (name != kTermField && name != kDescriptionField && name != kNotesField)) {
      Problem(FLine, colon == std::string_view::npos
                         ? "line is no field ('istilah:', 'uraian:', 'catatan:'), continuation or comment"
                         : "unknown field '" + std::string(name) + "'");
      return;
    }
    const std::string_view value = Trim(line.substr(colon + 1));
    if (name == kTermField) {
      if (FOpen) {
        Problem(FLine, "a new entry begins without a blank line after the previous one");
        FinishEntry();
      }
      FOpen = true;
      FSeenEntry = true;
      FEntry = TGlossaryEntry{};
      FEntry.File = FFile;
      FEntry.Term = value;
      FEntry.TermLine = FLine;
      FField = &FEntry.Term;
      return;
    }
    if (!FOpen) {
      Problem(FLine, "'" + std::string(name) + "' outside an entry (an entry begins with 'istilah:')");
      return;
    }
    const bool isDescription = name == kDescriptionField;
    int& fieldLine = isDescription ? FEntry.DescriptionLine : FEntry.NotesLine;
    std::string& fieldText = isDescription ? FEntry.Description : FEntry.Notes;
    if (fieldLine != 0) {
      Problem(FLine, "second '" + std::string(name) + "' in the entry");
      return;
    }
    fieldLine = FLine;
    fieldText = value;
    FField = &fieldText;
  }

  void FinishEntry() {
    FField = nullptr;
    if (!FOpen) return;
    FOpen = false;
    if (FEntry.Term.empty()) Problem(FEntry.TermLine, "empty term");
    if (FEntry.DescriptionLine == 0) {
      Problem(FEntry.TermLine, "entry '" + FEntry.Term + "' has no description ('uraian:')");
    } else if (FEntry.Description.empty()) {
      Problem(FEntry.DescriptionLine, "empty description");
    }
    if (FEntry.NotesLine != 0 && FEntry.Notes.empty()) Problem(FEntry.NotesLine, "empty notes");
    FText.Entries.push_back(std::move(FEntry));
  }

  std::string FFile;
  TGlossaryText& FText;
  std::vector<TGlossaryProblem>& FProblems;
  TGlossaryEntry FEntry;
  std::string* FField = nullptr;
  int FLine = 0;
  bool FOpen = false;
  bool FSeenEntry = false;
};

}  // namespace

void ParseGlossaryFile(std::string_view fileName, std::string_view content, TGlossaryText& text,
                       std::vector<TGlossaryProblem>& problems) {
  if (content.starts_with("\xEF\xBB\xBF")) content.remove_prefix(3);
  TFileParser parser(fileName, text, problems);
  int number = 0;
  while (!content.empty()) {
    const std::size_t end = content.find('\n');
    std::string_view line = content.substr(0, end);
    if (line.ends_with('\r')) line.remove_suffix(1);
    parser.Line(++number, line);
    if (end == std::string_view::npos) break;
    content.remove_prefix(end + 1);
  }
  parser.Finish();
  ++text.Files;
}

bool SplitBold(std::string_view description, std::vector<TGlossarySpan>& spans, std::string& error) {
  spans.clear();
  bool bold = false;
  std::string current;
  std::size_t i = 0;
  const auto close = [&]() {
    if (bold && Trim(current).empty()) {
      error = "empty bold mark";
      return false;
    }
    if (!current.empty()) spans.push_back({std::move(current), bold});
    current.clear();
    return true;
  };
  while (i < description.size()) {
    if (description[i] != '*') {
      current += description[i++];
      continue;
    }
    std::size_t run = 0;
    while (i + run < description.size() && description[i + run] == '*') ++run;
    if (run == 1) {
      current += '*';
    } else if (run == 2) {
      if (!close()) return false;
      bold = !bold;
    } else {
      error = "run of " + std::to_string(run) + " asterisks; bold marks are '**'";
      return false;
    }
    i += run;
  }
  if (bold) {
    error = "bold mark '**' is not closed";
    return false;
  }
  return close();
}

std::string PlainText(const std::vector<TGlossarySpan>& spans) {
  std::string text;
  for (const TGlossarySpan& span : spans) text += span.Text;
  return text;
}

std::string FollowKey(std::string_view phrase) { return kuvo::FollowKey(phrase); }

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length;
    std::uint32_t point;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      point = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      point = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      point = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      point = (point << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and points past the last plane are not UTF-8.
    static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < kLeast[length] || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

}  // namespace qel::glossary
