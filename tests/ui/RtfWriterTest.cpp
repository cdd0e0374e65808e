// The RTF writer: what it escapes and how it writes text outside ASCII, and
// that the reader reads back exactly what it wrote, for every format and for
// Indonesian text with characters beyond Western.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/QELRtfReader.h"
#include "ui/QELRtfWriter.h"
#include "ui/RtfSupport.h"

namespace qel {
namespace {

using test::Describe;

TQELRtfRun Span(std::string text, TQELRtfCharFormat format = {}) {
  return TQELRtfRun{std::move(text), format};
}

TQELRtfParagraph Paragraph(std::vector<TQELRtfRun> runs, TQELRtfParagraphFormat format = {}) {
  return TQELRtfParagraph{format, std::move(runs)};
}

// A document with every character and paragraph format, text that needs
// escaping and text beyond ASCII and beyond the BMP.
TQELRtfDocument EveryFormat() {
  TQELRtfCharFormat bold, italic, underline, strike, big, red, blue, all;
  bold.Bold = true;
  italic.Italic = true;
  underline.Underline = true;
  strike.Strike = true;
  big.FontSize = 40;
  red.HasColor = true;
  red.Color = 0xFF0000;
  blue.HasColor = true;
  blue.Color = 0x0000FF;
  all = bold;
  all.Italic = all.Underline = all.Strike = true;
  all.FontSize = 9;
  all.HasColor = true;
  all.Color = 0x123456;
  TQELRtfDocument document;
  document.Paragraphs = {
      Paragraph({Span("Istilah "), Span("tebal", bold), Span(", "), Span("miring", italic), Span(", "),
                 Span("garis bawah", underline), Span(", "), Span("coret", strike), Span("."),
                 Span("12", big)}),
      Paragraph({Span("merah", red), Span("biru", blue), Span("merah lagi", red), Span(" semua", all)},
                TQELRtfParagraphFormat{raCenter, 0, 0, 0}),
      Paragraph({}, TQELRtfParagraphFormat{raRight, 720, 360, -360}),
      Paragraph({Span("Kurung {kurawal} dan garis \\miring\\ tetap;\ttab dan\nbaris baru")},
                TQELRtfParagraphFormat{raJustify, 1440, 0, 360}),
      Paragraph({Span(" 123 diawali spasi dan angka", bold)}),
      Paragraph({Span("Ejaan lama “tjara” → cara, é è ê, ½ °C — … ‘kutip’, ŋ ə, 😀 ∑")}),
  };
  return document;
}

TEST(RtfWriterTest, ReaderReadsBackEveryFormatAndCharacter) {
  const TQELRtfDocument document = EveryFormat();
  const TQELRtfDocument read = TQELRtfReader::Read(TQELRtfWriter::Write(document));
  EXPECT_EQ(Describe(read), Describe(document));
  EXPECT_EQ(read, document);
}

TEST(RtfWriterTest, EmptyDocumentRoundTrips) {
  const std::string rtf = TQELRtfWriter::Write(TQELRtfDocument{});
  EXPECT_TRUE(TQELRtfReader::IsRtf(rtf));
  EXPECT_TRUE(TQELRtfReader::Read(rtf).Paragraphs.empty());
}

TEST(RtfWriterTest, EscapesSpecialCharactersAndWritesSevenBitUnicode) {
  TQELRtfDocument document;
  document.Paragraphs = {Paragraph({Span("a{b}\\c é — \uF020 😀")})};
  const std::string rtf = TQELRtfWriter::Write(document);
  const std::string escaped = R"rtf(a\{b\}\\c \u233? \u8212? \u-4064? \u-10179?\u-8704?)rtf";
  EXPECT_NE(rtf.find(escaped), std::string::npos) << rtf;
  for (const char c : rtf) EXPECT_LT(static_cast<unsigned char>(c), 0x80u) << rtf;
}

// Whatever the reader makes of a text, writing it and reading it again
// gives the same paragraphs.
TEST(RtfWriterTest, ReadingWhatWasWrittenIsStable) {
  const char* const inputs[] = {
      R"rtf({\rtf1\ansi{\colortbl;\red9\green8\blue7;}\qc{\b\cf1 a}\u-10179?\u-8704?)rtf"
      R"rtf(\line\tab b\par\pard\li-99 c})rtf",
      R"rtf({\rtf1\ansicpg1251 \'e0{\b\fs99999 \'e1}\'00\u-10179?x\~\par\par})rtf",
      "baris satu\r\nbaris\tdua\x01\n",
      "caf\xE9",
  };
  for (const char* input : inputs) {
    const TQELRtfDocument read = TQELRtfReader::Read(input);
    EXPECT_EQ(TQELRtfReader::Read(TQELRtfWriter::Write(read)), read) << input;
  }
}

}  // namespace
}  // namespace qel
