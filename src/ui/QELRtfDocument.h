#pragma once
// TQELRtfDocument: rich text as paragraphs of runs, the form in which the
// RTF reader hands over a memo and the writer takes one. It holds no toolkit
// types, so that the reader, the writer and their tests stay free of Qt;
// QELRtfTextDocument.h turns it into a QTextDocument.
//
// Texts are UTF-8. Inside a run, '\n' is a line break within the paragraph
// and '\t' a tab; no other control character appears.

#include <cstdint>
#include <string>
#include <vector>

namespace qel {

// The size of a run when nothing sets one: 12 points.
inline constexpr std::int32_t kQELRtfDefaultFontSize = 24;

struct TQELRtfCharFormat {
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
  bool Strike = false;
  // In half-points.
  std::int32_t FontSize = kQELRtfDefaultFontSize;
  // Without a colour the text takes the viewer's own.
  bool HasColor = false;
  std::uint32_t Color = 0;  // 0xRRGGBB

  bool operator==(const TQELRtfCharFormat&) const = default;
};

struct TQELRtfRun {
  std::string Text;
  TQELRtfCharFormat Format;

  bool operator==(const TQELRtfRun&) const = default;
};

enum TQELRtfAlignment : std::uint8_t { raLeft = 0, raRight, raCenter, raJustify };

struct TQELRtfParagraphFormat {
  TQELRtfAlignment Alignment = raLeft;
  // In twips (1/1440 inch). FirstIndent is relative to LeftIndent and may be
  // negative (a hanging first line).
  std::int32_t LeftIndent = 0;
  std::int32_t RightIndent = 0;
  std::int32_t FirstIndent = 0;

  bool operator==(const TQELRtfParagraphFormat&) const = default;
};

struct TQELRtfParagraph {
  TQELRtfParagraphFormat Format;
  // Never an empty run, and never two neighbours of the same format.
  std::vector<TQELRtfRun> Runs;

  // The runs' texts one after the other.
  std::string Text() const;

  bool operator==(const TQELRtfParagraph&) const = default;
};

struct TQELRtfDocument {
  std::vector<TQELRtfParagraph> Paragraphs;

  // The paragraphs' texts joined by '\n'.
  std::string Text() const;
  // Appends `text` in `format` to `paragraph`, merging it into the last run
  // when that has the same format; an empty text adds nothing.
  static void AppendRun(TQELRtfParagraph& paragraph, const std::string& text,
                        const TQELRtfCharFormat& format);

  bool operator==(const TQELRtfDocument&) const = default;
};

}  // namespace qel
