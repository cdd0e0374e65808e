// The QTextDocument built from RTF: one block per paragraph with its
// alignment and indents, fragments with the runs' character formats, line
// breaks inside a block, and memos that are plain text, empty or replaced.

#include <gtest/gtest.h>

#include <QColor>
#include <QFont>
#include <QString>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextDocument>
#include <QTextFragment>

#include <vector>

#include "ui/QELRtfTextDocument.h"

namespace qel {
namespace {

std::vector<QTextFragment> Fragments(const QTextBlock& block) {
  std::vector<QTextFragment> fragments;
  for (auto it = block.begin(); !it.atEnd(); ++it) fragments.push_back(it.fragment());
  return fragments;
}

TEST(RtfTextDocumentTest, ParagraphsBecomeBlocksWithAlignmentIndentsAndFormats) {
  QTextDocument document;
  QELLoadRtfMemo(R"rtf({\rtf1\ansi{\colortbl;\red200\green0\blue0;})rtf"
                 R"rtf(\pard\qc Kata {\b tebal}\i  miring\par)rtf"
                 R"rtf(\pard\qr\li1500\ri300\fi-150 {\ul\strike\fs36\cf1 besar}\line baru\par)rtf"
                 R"rtf(\pard\qj rata})rtf",
                 document);
  ASSERT_EQ(document.blockCount(), 3);

  const QTextBlock first = document.firstBlock();
  EXPECT_EQ(first.text(), "Kata tebal miring");
  EXPECT_EQ(first.blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
  const std::vector<QTextFragment> fragments = Fragments(first);
  ASSERT_EQ(fragments.size(), 3u);
  EXPECT_EQ(fragments[0].text(), "Kata ");
  EXPECT_EQ(fragments[0].charFormat().fontWeight(), QFont::Normal);
  EXPECT_EQ(fragments[1].text(), "tebal");
  EXPECT_EQ(fragments[1].charFormat().fontWeight(), QFont::Bold);
  EXPECT_FALSE(fragments[1].charFormat().fontItalic());
  EXPECT_EQ(fragments[2].text(), " miring");
  EXPECT_TRUE(fragments[2].charFormat().fontItalic());
  EXPECT_EQ(fragments[2].charFormat().fontPointSize(), 12.0);

  const QTextBlock second = first.next();
  EXPECT_EQ(second.text(), QString("besar") + QChar(QChar::LineSeparator) + "baru");
  EXPECT_EQ(second.blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignRight);
  EXPECT_EQ(second.blockFormat().leftMargin(), 100.0);
  EXPECT_EQ(second.blockFormat().rightMargin(), 20.0);
  EXPECT_EQ(second.blockFormat().textIndent(), -10.0);
  const QTextCharFormat big = Fragments(second).front().charFormat();
  EXPECT_TRUE(big.fontUnderline());
  EXPECT_TRUE(big.fontStrikeOut());
  EXPECT_EQ(big.fontPointSize(), 18.0);
  EXPECT_EQ(big.foreground().color(), QColor(200, 0, 0));

  EXPECT_EQ(second.next().blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignJustify);
}

TEST(RtfTextDocumentTest, PlainTextMemoIsShownAsItsLines) {
  QTextDocument document;
  QELLoadRtfMemo("baris satu\nbaris {dua} — é", document);
  EXPECT_EQ(document.blockCount(), 2);
  EXPECT_EQ(document.toPlainText(), QString::fromUtf8("baris satu\nbaris {dua} — é"));
}

TEST(RtfTextDocumentTest, EmptyMemoReplacesWhatWasShown) {
  QTextDocument document;
  QELLoadRtfMemo(R"rtf({\rtf1 satu\par dua})rtf", document);
  ASSERT_EQ(document.blockCount(), 2);
  QELLoadRtfMemo("", document);
  EXPECT_TRUE(document.isEmpty());
  EXPECT_EQ(document.blockCount(), 1);
  EXPECT_EQ(document.firstBlock().blockFormat().alignment() & Qt::AlignHorizontal_Mask, Qt::AlignLeft);
}

}  // namespace
}  // namespace qel
