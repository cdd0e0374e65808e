// Fuzz target for the RTF reader. Any text must read into well-formed
// paragraphs (no empty runs, neighbours of different formats, valid UTF-8
// without stray control characters, sizes and indents in range), and what
// the writer makes of them must read back to the same paragraphs. Crashes,
// hangs, leaks and undefined behaviour are found by the sanitizers.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ui/QELRtfEncoding.h"
#include "ui/QELRtfReader.h"
#include "ui/QELRtfWriter.h"

namespace {

using namespace qel;

[[noreturn]] void Fail(const char* what) {
  __builtin_printf("RTF reader invariant broken: %s\n", what);
  std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

void CheckText(const std::string& text) {
  Check(!text.empty(), "empty run");
  std::u16string units;
  Check(QELRtfDecodeUtf8(text, units), "run text is not valid UTF-8");
  for (const char16_t unit : units) {
    Check(unit >= 0x20 || unit == u'\t' || unit == u'\n', "control character in a run");
  }
}

void CheckDocument(const TQELRtfDocument& document) {
  for (const TQELRtfParagraph& paragraph : document.Paragraphs) {
    const TQELRtfParagraphFormat& format = paragraph.Format;
    Check(format.Alignment <= raJustify, "alignment out of range");
    for (const std::int32_t indent : {format.LeftIndent, format.RightIndent, format.FirstIndent}) {
      Check(indent >= -31680 && indent <= 31680, "indent out of range");
    }
    for (std::size_t i = 0; i < paragraph.Runs.size(); ++i) {
      const TQELRtfRun& run = paragraph.Runs[i];
      CheckText(run.Text);
      Check(run.Format.FontSize >= 1 && run.Format.FontSize <= 3276, "font size out of range");
      Check(run.Format.Color <= 0xFFFFFF, "colour out of range");
      Check(run.Format.HasColor || run.Format.Color == 0, "colour without HasColor");
      Check(i == 0 || !(paragraph.Runs[i - 1].Format == run.Format), "neighbour runs of one format");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const TQELRtfDocument document = TQELRtfReader::Read(text);
  CheckDocument(document);
  const std::string written = TQELRtfWriter::Write(document);
  Check(TQELRtfReader::IsRtf(written), "writer output is not RTF");
  Check(TQELRtfReader::Read(written) == document, "written document reads back differently");
  return 0;
}
