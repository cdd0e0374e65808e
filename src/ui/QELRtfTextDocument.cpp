#include "ui/QELRtfTextDocument.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QString>
#include <QTextBlockFormat>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include "ui/QELRtfReader.h"

namespace qel {

namespace {

Qt::Alignment BlockAlignment(TQELRtfAlignment alignment) {
  switch (alignment) {
    case raRight: return Qt::AlignRight;
    case raCenter: return Qt::AlignHCenter;
    case raJustify: return Qt::AlignJustify;
    default: return Qt::AlignLeft;
  }
}

QTextBlockFormat BlockFormat(const TQELRtfParagraphFormat& format) {
  QTextBlockFormat block;
  block.setAlignment(BlockAlignment(format.Alignment));
  block.setLeftMargin(format.LeftIndent / kQELTwipsPerPixel);
  block.setRightMargin(format.RightIndent / kQELTwipsPerPixel);
  block.setTextIndent(format.FirstIndent / kQELTwipsPerPixel);
  return block;
}

QTextCharFormat CharFormat(const TQELRtfCharFormat& format) {
  QTextCharFormat chars;
  chars.setFontWeight(format.Bold ? QFont::Bold : QFont::Normal);
  chars.setFontItalic(format.Italic);
  chars.setFontUnderline(format.Underline);
  chars.setFontStrikeOut(format.Strike);
  chars.setFontPointSize(format.FontSize / 2.0);
  if (format.HasColor) {
    chars.setForeground(QColor::fromRgb((format.Color >> 16) & 0xFF, (format.Color >> 8) & 0xFF,
                                        format.Color & 0xFF));
  }
  return chars;
}

// A line break inside a paragraph is Qt's line separator; a plain '\n'
// would start a new block.
QString FragmentText(const std::string& text) {
  QString fragment = QString::fromStdString(text);
  fragment.replace(QChar(u'\n'), QChar(QChar::LineSeparator));
  return fragment;
}

}  // namespace

void QELBuildTextDocument(const TQELRtfDocument& document, QTextDocument& target) {
  target.clear();
  QTextCursor cursor(&target);
  cursor.beginEditBlock();
  for (std::size_t i = 0; i < document.Paragraphs.size(); ++i) {
    const TQELRtfParagraph& paragraph = document.Paragraphs[i];
    if (i == 0) {
      cursor.setBlockFormat(BlockFormat(paragraph.Format));
    } else {
      cursor.insertBlock(BlockFormat(paragraph.Format));
    }
    for (const TQELRtfRun& run : paragraph.Runs) {
      cursor.insertText(FragmentText(run.Text), CharFormat(run.Format));
    }
  }
  cursor.endEditBlock();
}

void QELLoadRtfMemo(std::string_view memo, QTextDocument& target) {
  QELBuildTextDocument(TQELRtfReader::Read(memo), target);
}

}  // namespace qel
