#pragma once
// TQELRtfReader: reads the rich-text memos of the rich-text boxes, RTF, into
// paragraphs of runs.
//
// It knows the part of RTF that a memo of formatted text uses: groups with
// their format, character formats (bold, italic, underline, strike-out,
// size, colour from the colour table), paragraphs with alignment and
// indents, line breaks and tabs, the special characters, 8-bit text and
// `\'hh` escapes in the code page of the document or of the font's charset,
// and `\uN` with its `\ucN` replacement count. Destinations that hold no
// text of the memo (style sheet, document information, pictures, fields'
// instructions, every `{\*...}` group) are skipped; unknown control words
// are ignored.
//
// Any input is safe and takes time linear in its size: braces need not
// balance, groups may nest without limit (no recursion; see
// kMaxFormatDepth), parameters are clamped and an escape or a `\bin` may run
// past the end.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ui/QELRtfDocument.h"

namespace qel {

class TQELRtfReader {
 public:
  // Groups nested deeper than this share the format of the deepest group
  // that has one of its own, so a change inside them lasts until that group
  // ends. Destinations are still skipped to their own group's end.
  static constexpr std::size_t kMaxFormatDepth = 512;
  // Numeric parameters are clamped to plus or minus this.
  static constexpr std::int32_t kMaxParameter = 1'000'000'000;

  // True when `text` is RTF: it starts with "{\rtf".
  static bool IsRtf(std::string_view text);

  // The paragraphs of `text`. RTF is read as such; any other text is plain
  // text, UTF-8 (or Western when it is not valid UTF-8), one paragraph per
  // line. An empty text has no paragraphs.
  static TQELRtfDocument Read(std::string_view text);
};

}  // namespace qel
