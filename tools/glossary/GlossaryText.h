#pragma once
// The glossary's source text: entries of a term, a description with bold
// marks and optional notes, read from the plain files in data/glossary.
// The format is described in data/README.md. The checker and the builder of
// the glossary database both read the text through this parser.

#include <string>
#include <string_view>
#include <vector>

namespace qel::glossary {

// One problem found in the text, at a file and 1-based line.
struct TGlossaryProblem {
  std::string File;
  int Line = 0;
  std::string Message;
};

struct TGlossaryEntry {
  std::string File;
  std::string Term;         // "istilah:"
  std::string Description;  // "uraian:", with its **bold** marks
  std::string Notes;        // "catatan:", empty when the entry has none
  int TermLine = 0;
  int DescriptionLine = 0;
  int NotesLine = 0;        // 0 when the entry has no notes
};

// A bold phrase kept on purpose although it is no term, declared in a
// file's header ("# bukan istilah: ...") so that the checker accepts it.
struct TGlossaryNonTerm {
  std::string File;
  int Line = 0;
  std::string Text;
};

struct TGlossaryText {
  std::vector<TGlossaryEntry> Entries;
  std::vector<TGlossaryNonTerm> NonTerms;
  int Files = 0;
};

// A stretch of a description, bold or plain, without the marks.
struct TGlossarySpan {
  std::string Text;
  bool Bold = false;
};

// Parses one file's content and appends its entries and non-terms to `text`.
// Faults of form (unknown fields, a missing description, bad UTF-8, ...) go
// to `problems`; the entries that could be read are kept all the same.
void ParseGlossaryFile(std::string_view fileName, std::string_view content, TGlossaryText& text,
                       std::vector<TGlossaryProblem>& problems);

// Splits a description at its "**" marks. Answers false when the marks do
// not pair up, a bold stretch is empty or a run of three or more asterisks
// makes the marks ambiguous; `error` then says which. A single '*' is text.
bool SplitBold(std::string_view description, std::vector<TGlossarySpan>& spans, std::string& error);

// The description with its marks removed (the text a reader sees).
std::string PlainText(const std::vector<TGlossarySpan>& spans);

// The word the glossary window looks up when a bold phrase is followed: the
// phrase without leading and trailing characters of code 32 or below, ASCII
// letters lower-cased (other characters are left as they are).
std::string FollowKey(std::string_view phrase);

// True when `text` is well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

}  // namespace qel::glossary
