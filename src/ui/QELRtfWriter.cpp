#include "ui/QELRtfWriter.h"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <vector>

#include "ui/QELRtfEncoding.h"

namespace qel {

namespace {

void AppendWord(std::string& out, std::string_view word, std::int64_t parameter) {
  out += '\\';
  out += word;
  out += std::to_string(parameter);
}

void AppendText(std::string& out, std::string_view text) {
  std::u16string units;
  QELRtfDecodeUtf8(text, units);
  for (const char16_t unit : units) {
    switch (unit) {
      case u'\\': out += "\\\\"; continue;
      case u'{': out += "\\{"; continue;
      case u'}': out += "\\}"; continue;
      case u'\t': out += "\\tab "; continue;
      case u'\n': out += "\\line "; continue;
      default: break;
    }
    if (unit < 0x20) continue;
    if (unit < 0x7F) {
      out += static_cast<char>(unit);
    } else {
      // The parameter is a signed 16-bit value; '?' stands in for readers
      // without Unicode.
      AppendWord(out, "u", unit > 0x7FFF ? std::int64_t{unit} - 0x10000 : std::int64_t{unit});
      out += '?';
    }
  }
}

// The colours of the runs, in order of first use; a run's colour is
// number 1 + its place here, 0 being the automatic colour.
std::vector<std::uint32_t> CollectColors(const TQELRtfDocument& document) {
  std::vector<std::uint32_t> colors;
  for (const TQELRtfParagraph& paragraph : document.Paragraphs) {
    for (const TQELRtfRun& run : paragraph.Runs) {
      if (!run.Format.HasColor) continue;
      if (std::find(colors.begin(), colors.end(), run.Format.Color) == colors.end()) {
        colors.push_back(run.Format.Color);
      }
    }
  }
  return colors;
}

void AppendColorTable(std::string& out, const std::vector<std::uint32_t>& colors) {
  if (colors.empty()) return;
  out += "{\\colortbl;";
  for (const std::uint32_t color : colors) {
    AppendWord(out, "red", (color >> 16) & 0xFF);
    AppendWord(out, "green", (color >> 8) & 0xFF);
    AppendWord(out, "blue", color & 0xFF);
    out += ';';
  }
  out += "}\n";
}

void AppendParagraphFormat(std::string& out, const TQELRtfParagraphFormat& format) {
  out += "\\pard";
  switch (format.Alignment) {
    case raRight: out += "\\qr"; break;
    case raCenter: out += "\\qc"; break;
    case raJustify: out += "\\qj"; break;
    default: break;
  }
  if (format.LeftIndent != 0) AppendWord(out, "li", format.LeftIndent);
  if (format.RightIndent != 0) AppendWord(out, "ri", format.RightIndent);
  if (format.FirstIndent != 0) AppendWord(out, "fi", format.FirstIndent);
}

void AppendRun(std::string& out, const TQELRtfRun& run, const std::vector<std::uint32_t>& colors) {
  const TQELRtfCharFormat& format = run.Format;
  const std::size_t start = out.size();
  out += '{';
  if (format.Bold) out += "\\b";
  if (format.Italic) out += "\\i";
  if (format.Underline) out += "\\ul";
  if (format.Strike) out += "\\strike";
  if (format.FontSize != kQELRtfDefaultFontSize) AppendWord(out, "fs", format.FontSize);
  if (format.HasColor) {
    const auto place = std::find(colors.begin(), colors.end(), format.Color) - colors.begin();
    AppendWord(out, "cf", place + 1);
  }
  // The space ends the last control word and is not part of the text.
  if (out.size() > start + 1) out += ' ';
  AppendText(out, run.Text);
  out += '}';
}

}  // namespace

std::string TQELRtfWriter::Write(const TQELRtfDocument& document) {
  const std::vector<std::uint32_t> colors = CollectColors(document);
  std::string out = "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1{\\fonttbl{\\f0\\fnil\\fcharset0 Arial;}}\n";
  AppendColorTable(out, colors);
  for (const TQELRtfParagraph& paragraph : document.Paragraphs) {
    AppendParagraphFormat(out, paragraph.Format);
    for (const TQELRtfRun& run : paragraph.Runs) AppendRun(out, run, colors);
    out += "\\par\n";
  }
  out += '}';
  return out;
}

}  // namespace qel
