// The RTF reader: text and character formats of groups, toggles and resets;
// code pages, Unicode and its replacement counts; paragraphs and line breaks;
// skipped destinations and binary data; and damaged input of every kind,
// which must read safely into whatever text it still holds.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/QELRtfReader.h"
#include "ui/RtfSupport.h"

namespace qel {
namespace {

using test::Describe;

struct TReaderCase {
  const char* Name;
  std::string Input;
  std::string Expected;  // in the notation of RtfSupport.h
};

std::string Repeat(const std::string& part, std::size_t count) {
  std::string text;
  text.reserve(part.size() * count);
  for (std::size_t i = 0; i < count; ++i) text += part;
  return text;
}

std::vector<TReaderCase> ReaderCases() {
  return {
      // Groups and character formats.
      {"PlainWords", R"rtf({\rtf1\ansi Halo dunia})rtf", "<>Halo dunia"},
      {"NestedGroupsRestoreTheirFormat", R"rtf({\rtf1 a{\b b{\i c}d}e})rtf", "<>a<b>b<b i>c<b>d<>e"},
      {"ZeroParameterTurnsOff", R"rtf({\rtf1\b tebal\b0  biasa})rtf", "<b>tebal<> biasa"},
      {"PlainResetsEveryCharacterFormat", R"rtf({\rtf1\b\i\ul\strike\fs30 x\plain y})rtf",
       "<b i u s fs30>x<>y"},
      {"UnderlineKindsAndStrikeToggles", R"rtf({\rtf1\uldb a\ulnone b\ul c\ul0 d\strike e\strike0 f})rtf",
       "<u>a<>b<u>c<>d<s>e<>f"},
      {"FontSizeInHalfPointsZeroIsDefault", R"rtf({\rtf1\fs32 besar\fs0 biasa})rtf", "<fs32>besar<>biasa"},
      {"ColoursFromTheColourTable",
       R"rtf({\rtf1{\colortbl;\red255\green0\blue0;\red0\green128\blue255;}\cf1 r\cf2 b\cf0 a\cf9 z})rtf",
       "<#ff0000>r<#0080ff>b<>az"},
      {"ParameterAndDelimiters", R"rtf({\rtf1\b1x\b0 1\fs-y\i-1 z})rtf", "<b>x<>1-y<i>z"},
      {"UnknownWordsIgnored", R"rtf({\rtf1\ansi\deff0\viewkind4\lang1033\f0\sl240 x})rtf", "<>x"},

      // Code pages.
      {"HexEscapeUnderWestern", R"rtf({\rtf1\ansi\ansicpg1252 caf\'e9})rtf", "<>café"},
      {"WesternHighRange", R"rtf({\rtf1\ansi \'80\'97\'93x\'94})rtf", "<>€—“x”"},
      {"EightBitTextUnderWestern", "{\\rtf1 caf\xE9}", "<>café"},
      {"DocumentCodePage", R"rtf({\rtf1\ansi\ansicpg1251 \'e0\'e1})rtf", "<>аб"},
      {"FontCharsetChoosesTheCodePage",
       R"rtf({\rtf1\ansi\ansicpg1252{\fonttbl{\f0\fcharset0 Arial;}{\f1\fcharset204 Times;}})rtf"
       R"rtf(\f0 \'e9\f1 \'e9{\f0 \'e9}\'e9\plain\'e9})rtf",
       "<>éйéйé"},
      {"DoubleByteCodePageWithTrailBytesInText", R"rtf({\rtf1\ansi\ansicpg932 \'82\'a0\'82\'a2\'83n})rtf",
       "<>あいハ"},
      {"UnicodeFormsAsCodePageReadAsWestern", R"rtf({\rtf1\ansi\ansicpg1200 \'e9a\'00})rtf", "<>éa"},
      {"UnknownCodePageReadAsWestern", R"rtf({\rtf1\ansi\ansicpg99999 \'e9})rtf", "<>é"},
      {"ControlCharactersDropped", R"rtf({\rtf1 a\'00\'0d\'01b})rtf", "<>ab"},

      // Unicode.
      {"UnicodeWithOneReplacement", R"rtf({\rtf1\uc1 a\u8212?b})rtf", "<>a—b"},
      {"UnicodeWithoutReplacement", R"rtf({\rtf1\uc0 \u8212?})rtf", "<>—?"},
      {"ReplacementCountsEscapesAndWordsAsOne", R"rtf({\rtf1\uc2 \u233\'65\'ccx\u233\emdash\'65y})rtf",
       "<>éxéy"},
      {"DefaultReplacementIsAnEscape", R"rtf({\rtf1 \u233\'e9 baik})rtf", "<>é baik"},
      {"NegativeUnicode", R"rtf({\rtf1 \u-1279?})rtf", "<>ﬁ"},
      {"SurrogatePair", R"rtf({\rtf1 \u-10179?\u-8704?})rtf", "<>😀"},
      {"LoneSurrogateReplaced", R"rtf({\rtf1 \u-10179?x})rtf", "<>\uFFFDx"},
      {"ReplacementStopsAtTheGroupEnd", R"rtf({\rtf1\uc3 {\u233}x})rtf", "<>éx"},
      {"ReplacementCountIsGroupScoped", R"rtf({\rtf1{\uc0 \u233?}\u233?})rtf", "<>é?é"},

      // Paragraphs.
      {"ParagraphAgainstLineBreak", R"rtf({\rtf1 satu\line dua\par tiga})rtf", "<>satu\ndua | <>tiga"},
      {"ClosingParagraphMarkAddsNoParagraph", R"rtf({\rtf1 a\par})rtf", "<>a"},
      {"EmptyParagraphKept", R"rtf({\rtf1 a\par\par})rtf", "<>a | "},
      {"BackslashBeforeLineEndIsAParagraph", "{\\rtf1 a\\\r\nb}", "<>a | <>b"},
      {"TabsWordAndCharacter", "{\\rtf1 a\\tab b\tc\r\nd}", "<>a\tb\tcd"},
      {"ParagraphFormats",
       R"rtf({\rtf1\qc tengah\par\pard\qr\li720\ri360\fi-360 kanan\par\pard\qj rata\par\pard kiri})rtf",
       "{qc}<>tengah | {qr li720 ri360 fi-360}<>kanan | {qj}<>rata | <>kiri"},
      {"LastParagraphKeepsItsFormatPastTheGroupEnd", R"rtf({\rtf1\qc a})rtf", "{qc}<>a"},

      // Special characters.
      {"ControlSymbols", R"rtf({\rtf1 \{\}\\\~\-\_})rtf", "<>{}\\\u00A0\u00AD\u2011"},
      {"NamedCharacters", R"rtf({\rtf1 \emdash\endash\bullet\lquote\rquote\ldblquote\rdblquote})rtf",
       "<>—–•‘’“”"},

      // Destinations.
      {"SkippedDestinations",
       R"rtf({\rtf1{\fonttbl{\f0 Arial;}}{\colortbl;\red255\green0\blue0;}{\stylesheet{\s0 Normal;}})rtf"
       R"rtf({\info{\title Judul}{\author Penulis}}{\*\generator Riched20;}{\pict\pngblip 89504e47})rtf"
       R"rtf({\*\unknown{\nested x}}teks})rtf",
       "<>teks"},
      {"StarredKnownWordStillSkipped", R"rtf({\rtf1 a{\*\b tersembunyi}b})rtf", "<>ab"},
      {"FieldShowsItsResult", R"rtf({\rtf1{\field{\*\fldinst HYPERLINK "x"}{\fldrslt tautan}}})rtf",
       "<>tautan"},
      {"BinaryDataSkipped", R"rtf({\rtf1 a\bin4 }}{\b})rtf", "<>ab"},
      {"BinaryDataIsOneReplacement", R"rtf({\rtf1\uc1 \u233\bin2 ??x})rtf", "<>éx"},

      // Damaged input.
      {"BinaryPastTheEnd", R"rtf({\rtf1 a\bin999999999 xyz)rtf", "<>a"},
      {"ExtraClosingBracesIgnored", R"rtf({\rtf1 a}}}b)rtf", "<>ab"},
      {"MissingClosingBraces", R"rtf({\rtf1 {\b a{\i b)rtf", "<b>a<b i>b"},
      {"TruncatedHexAtTheEnd", R"rtf({\rtf1 a\'4)rtf", "<>a"},
      {"HexWithoutDigits", R"rtf({\rtf1 a\'zz b})rtf", "<>azz b"},
      {"BackslashAtTheEnd", "{\\rtf1 a\\", "<>a"},
      {"HugeParametersClamped",
       R"rtf({\rtf1\fs99999999999999999999 a\u-99999999999999999999?b\li99999999999999 c})rtf",
       "{li31680}<fs3276>a\uFFFDbc"},
      {"DeepNestingKeepsFormats", "{\\rtf1 " + Repeat("{", 10000) + "\\b x" + Repeat("}", 10000) + "y}",
       "<b>x<>y"},
      {"SkippingBeyondTheFormatDepth",
       "{\\rtf1 " + Repeat("{", 2000) + "{\\*\\x tersembunyi}tampak" + Repeat("}", 2000) + "}", "<>tampak"},
      {"MillionOpenGroups", "{\\rtf1 a" + Repeat("{", 1000000) + "b", "<>ab"},

      // Not RTF.
      {"PlainTextLines", "Halo\r\ndunia\nlagi\rakhir", "<>Halo | <>dunia | <>lagi | <>akhir"},
      {"PlainTextThatIsNotUtf8IsWestern", "caf\xE9", "<>café"},
      {"RtfLookalikeIsPlainText", " {\\rtf1 x}", "<> {\\rtf1 x}"},
      {"EmptyText", "", ""},
  };
}

class RtfReaderCaseTest : public testing::TestWithParam<TReaderCase> {};

TEST_P(RtfReaderCaseTest, ReadsTextAndFormats) {
  EXPECT_EQ(Describe(TQELRtfReader::Read(GetParam().Input)), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, RtfReaderCaseTest, testing::ValuesIn(ReaderCases()),
                         [](const testing::TestParamInfo<TReaderCase>& info) { return info.param.Name; });

TEST(RtfReaderTest, RecognisesRtfByItsOpening) {
  EXPECT_TRUE(TQELRtfReader::IsRtf("{\\rtf1 x}"));
  EXPECT_TRUE(TQELRtfReader::IsRtf("{\\rtf"));
  EXPECT_FALSE(TQELRtfReader::IsRtf("{\\rt"));
  EXPECT_FALSE(TQELRtfReader::IsRtf("rtf"));
  EXPECT_FALSE(TQELRtfReader::IsRtf(""));
}

// Every cut of a document is read into the text read so far, never more.
TEST(RtfReaderTest, EveryPrefixReadsSafely) {
  const std::string rtf =
      R"rtf({\rtf1\ansi\ansicpg1252{\fonttbl{\f0\fcharset0 Arial;}}{\colortbl;\red1\green2\blue3;})rtf"
      R"rtf(\pard\qc{\b\cf1 caf\'e9}\u8212?\bin3 abc\par \'4a{\*\x y}z})rtf";
  for (std::size_t length = 0; length <= rtf.size(); ++length) {
    const std::string text = TQELRtfReader::Read(rtf.substr(0, length)).Text();
    EXPECT_LE(text.size(), std::string("café—\nJz").size()) << length;
  }
  EXPECT_EQ(TQELRtfReader::Read(rtf).Text(), "café—\nJz");
}

}  // namespace
}  // namespace qel
