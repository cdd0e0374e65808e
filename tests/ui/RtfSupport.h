#pragma once
// A short notation of paragraphs of runs for the RTF tests, so that a case
// states its expected text and formats on one line.
//
// Each run is "<flags>text", its flags among "b i u s fsN #rrggbb" ("<>"
// for the plain run); a paragraph whose format is not the default starts
// with "{qc li720 ri360 fi-360}"; paragraphs are joined by " | ".

#include <cstdio>
#include <string>

#include "ui/QELRtfDocument.h"

namespace qel::test {

inline std::string DescribeFormat(const TQELRtfCharFormat& format) {
  std::string flags;
  auto add = [&flags](const std::string& flag) { flags += (flags.empty() ? "" : " ") + flag; };
  if (format.Bold) add("b");
  if (format.Italic) add("i");
  if (format.Underline) add("u");
  if (format.Strike) add("s");
  if (format.FontSize != kQELRtfDefaultFontSize) add("fs" + std::to_string(format.FontSize));
  if (format.HasColor) {
    char color[8];
    std::snprintf(color, sizeof color, "#%06x", static_cast<unsigned>(format.Color));
    add(color);
  }
  return flags;
}

inline std::string DescribeParagraphFormat(const TQELRtfParagraphFormat& format) {
  if (format == TQELRtfParagraphFormat{}) return "";
  std::string flags;
  auto add = [&flags](const std::string& flag) { flags += (flags.empty() ? "" : " ") + flag; };
  static const char* const kAlignments[] = {"ql", "qr", "qc", "qj"};
  if (format.Alignment != raLeft) add(kAlignments[format.Alignment]);
  if (format.LeftIndent != 0) add("li" + std::to_string(format.LeftIndent));
  if (format.RightIndent != 0) add("ri" + std::to_string(format.RightIndent));
  if (format.FirstIndent != 0) add("fi" + std::to_string(format.FirstIndent));
  return "{" + flags + "}";
}

inline std::string Describe(const TQELRtfDocument& document) {
  std::string text;
  for (std::size_t i = 0; i < document.Paragraphs.size(); ++i) {
    if (i > 0) text += " | ";
    const TQELRtfParagraph& paragraph = document.Paragraphs[i];
    text += DescribeParagraphFormat(paragraph.Format);
    for (const TQELRtfRun& run : paragraph.Runs) text += "<" + DescribeFormat(run.Format) + ">" + run.Text;
  }
  return text;
}

}  // namespace qel::test
