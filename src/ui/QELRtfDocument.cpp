#include "ui/QELRtfDocument.h"

namespace qel {

std::string TQELRtfParagraph::Text() const {
  std::string text;
  for (const TQELRtfRun& run : Runs) text += run.Text;
  return text;
}

std::string TQELRtfDocument::Text() const {
  std::string text;
  for (std::size_t i = 0; i < Paragraphs.size(); ++i) {
    if (i > 0) text += '\n';
    text += Paragraphs[i].Text();
  }
  return text;
}

void TQELRtfDocument::AppendRun(TQELRtfParagraph& paragraph, const std::string& text,
                                const TQELRtfCharFormat& format) {
  if (text.empty()) return;
  if (!paragraph.Runs.empty() && paragraph.Runs.back().Format == format) {
    paragraph.Runs.back().Text += text;
  } else {
    paragraph.Runs.push_back(TQELRtfRun{text, format});
  }
}

}  // namespace qel
