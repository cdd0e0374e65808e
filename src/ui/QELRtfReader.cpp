#include "ui/QELRtfReader.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ui/QELRtfEncoding.h"

namespace qel {

namespace {

// Word's own limits: 1638 points, and 22 inches of indent.
constexpr std::int32_t kMaxFontSize = 3276;
constexpr std::int32_t kMaxIndent = 31680;

enum class TKeyword {
  kwCharacter,  // a character of its own, in TKeywordInfo::Character
  kwAnsi,
  kwMac,
  kwPc,
  kwPca,
  kwAnsiCodePage,
  kwDefaultFont,
  kwFont,
  kwFontCharset,
  kwFontCodePage,
  kwFontTable,
  kwColorTable,
  kwRed,
  kwGreen,
  kwBlue,
  kwSkippedDestination,
  kwBold,
  kwItalic,
  kwUnderline,
  kwUnderlineNone,
  kwStrike,
  kwPlain,
  kwFontSize,
  kwColor,
  kwParagraph,
  kwParagraphDefaults,
  kwAlignLeft,
  kwAlignRight,
  kwAlignCenter,
  kwAlignJustify,
  kwLeftIndent,
  kwRightIndent,
  kwFirstIndent,
  kwUnicode,
  kwUnicodeSkip,
};

struct TKeywordInfo {
  TKeyword Keyword;
  char16_t Character = 0;
};

const std::unordered_map<std::string_view, TKeywordInfo>& Keywords() {
  static const auto* keywords = new std::unordered_map<std::string_view, TKeywordInfo>{
      {"ansi", {TKeyword::kwAnsi}},
      {"mac", {TKeyword::kwMac}},
      {"pc", {TKeyword::kwPc}},
      {"pca", {TKeyword::kwPca}},
      {"ansicpg", {TKeyword::kwAnsiCodePage}},
      {"deff", {TKeyword::kwDefaultFont}},
      {"f", {TKeyword::kwFont}},
      {"fcharset", {TKeyword::kwFontCharset}},
      {"cpg", {TKeyword::kwFontCodePage}},
      {"fonttbl", {TKeyword::kwFontTable}},
      {"colortbl", {TKeyword::kwColorTable}},
      {"red", {TKeyword::kwRed}},
      {"green", {TKeyword::kwGreen}},
      {"blue", {TKeyword::kwBlue}},
      // Destinations without text of the memo: tables and document data,
      // pictures and objects, page furniture, notes and index entries.
      {"stylesheet", {TKeyword::kwSkippedDestination}},
      {"info", {TKeyword::kwSkippedDestination}},
      {"pict", {TKeyword::kwSkippedDestination}},
      {"object", {TKeyword::kwSkippedDestination}},
      {"nonshppict", {TKeyword::kwSkippedDestination}},
      {"fldinst", {TKeyword::kwSkippedDestination}},
      {"datafield", {TKeyword::kwSkippedDestination}},
      {"filetbl", {TKeyword::kwSkippedDestination}},
      {"listtable", {TKeyword::kwSkippedDestination}},
      {"listoverridetable", {TKeyword::kwSkippedDestination}},
      {"revtbl", {TKeyword::kwSkippedDestination}},
      {"header", {TKeyword::kwSkippedDestination}},
      {"headerl", {TKeyword::kwSkippedDestination}},
      {"headerr", {TKeyword::kwSkippedDestination}},
      {"headerf", {TKeyword::kwSkippedDestination}},
      {"footer", {TKeyword::kwSkippedDestination}},
      {"footerl", {TKeyword::kwSkippedDestination}},
      {"footerr", {TKeyword::kwSkippedDestination}},
      {"footerf", {TKeyword::kwSkippedDestination}},
      {"footnote", {TKeyword::kwSkippedDestination}},
      {"annotation", {TKeyword::kwSkippedDestination}},
      {"pn", {TKeyword::kwSkippedDestination}},
      {"xe", {TKeyword::kwSkippedDestination}},
      {"tc", {TKeyword::kwSkippedDestination}},
      {"txe", {TKeyword::kwSkippedDestination}},
      {"rxe", {TKeyword::kwSkippedDestination}},
      {"private", {TKeyword::kwSkippedDestination}},
      {"b", {TKeyword::kwBold}},
      {"i", {TKeyword::kwItalic}},
      {"ul", {TKeyword::kwUnderline}},
      {"uld", {TKeyword::kwUnderline}},
      {"uldash", {TKeyword::kwUnderline}},
      {"uldashd", {TKeyword::kwUnderline}},
      {"uldashdd", {TKeyword::kwUnderline}},
      {"uldb", {TKeyword::kwUnderline}},
      {"ulth", {TKeyword::kwUnderline}},
      {"ulw", {TKeyword::kwUnderline}},
      {"ulwave", {TKeyword::kwUnderline}},
      {"ulnone", {TKeyword::kwUnderlineNone}},
      {"strike", {TKeyword::kwStrike}},
      {"striked", {TKeyword::kwStrike}},
      {"plain", {TKeyword::kwPlain}},
      {"fs", {TKeyword::kwFontSize}},
      {"cf", {TKeyword::kwColor}},
      {"par", {TKeyword::kwParagraph}},
      {"sect", {TKeyword::kwParagraph}},
      {"page", {TKeyword::kwParagraph}},
      {"row", {TKeyword::kwParagraph}},
      {"pard", {TKeyword::kwParagraphDefaults}},
      {"ql", {TKeyword::kwAlignLeft}},
      {"qr", {TKeyword::kwAlignRight}},
      {"qc", {TKeyword::kwAlignCenter}},
      {"qj", {TKeyword::kwAlignJustify}},
      {"li", {TKeyword::kwLeftIndent}},
      {"ri", {TKeyword::kwRightIndent}},
      {"fi", {TKeyword::kwFirstIndent}},
      {"u", {TKeyword::kwUnicode}},
      {"uc", {TKeyword::kwUnicodeSkip}},
      {"line", {TKeyword::kwCharacter, u'\n'}},
      {"tab", {TKeyword::kwCharacter, u'\t'}},
      {"cell", {TKeyword::kwCharacter, u'\t'}},
      {"emdash", {TKeyword::kwCharacter, u'\u2014'}},
      {"endash", {TKeyword::kwCharacter, u'\u2013'}},
      {"bullet", {TKeyword::kwCharacter, u'\u2022'}},
      {"lquote", {TKeyword::kwCharacter, u'\u2018'}},
      {"rquote", {TKeyword::kwCharacter, u'\u2019'}},
      {"ldblquote", {TKeyword::kwCharacter, u'\u201C'}},
      {"rdblquote", {TKeyword::kwCharacter, u'\u201D'}},
      {"enspace", {TKeyword::kwCharacter, u'\u2002'}},
      {"emspace", {TKeyword::kwCharacter, u'\u2003'}},
      {"qmspace", {TKeyword::kwCharacter, u'\u2005'}},
      {"zwj", {TKeyword::kwCharacter, u'\u200D'}},
      {"zwnj", {TKeyword::kwCharacter, u'\u200C'}},
      {"ltrmark", {TKeyword::kwCharacter, u'\u200E'}},
      {"rtlmark", {TKeyword::kwCharacter, u'\u200F'}},
  };
  return *keywords;
}

enum class TTokenKind {
  tkEnd,
  tkGroupOpen,
  tkGroupClose,
  tkWord,    // a control word, with its parameter when it has one
  tkSymbol,  // a control symbol: a backslash and one other character
  tkHex,     // a \'hh escape
  tkText,    // a byte of text
  tkBroken,  // an escape cut short: takes the place of a character
  tkNothing, // line ends of the source, which carry no meaning
};

struct TToken {
  TTokenKind Kind = TTokenKind::tkEnd;
  std::string_view Word;
  bool HasParameter = false;
  std::int32_t Parameter = 0;
  char Character = 0;  // of a symbol, a hex escape or text
};

bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (IsDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Splits RTF into tokens. The data of a \bin is passed over here: it is no
// text, and its bytes may be braces or backslashes.
class TTokenizer {
 public:
  explicit TTokenizer(std::string_view text) : FText(text) {}

  TToken Next() {
    TToken token;
    if (FPosition >= FText.size()) return token;
    const char c = FText[FPosition++];
    switch (c) {
      case '{': token.Kind = TTokenKind::tkGroupOpen; break;
      case '}': token.Kind = TTokenKind::tkGroupClose; break;
      case '\r':
      case '\n': token.Kind = TTokenKind::tkNothing; break;
      case '\\': ReadControl(token); break;
      default:
        token.Kind = TTokenKind::tkText;
        token.Character = c;
        break;
    }
    return token;
  }

 private:
  bool AtEnd() const { return FPosition >= FText.size(); }

  void ReadControl(TToken& token) {
    if (AtEnd()) {
      token.Kind = TTokenKind::tkBroken;
      return;
    }
    const char c = FText[FPosition];
    if (IsLetter(c)) {
      ReadWord(token);
    } else if (c == '\'') {
      ++FPosition;
      ReadHex(token);
    } else {
      ++FPosition;
      token.Kind = TTokenKind::tkSymbol;
      // A backslash before a line end is a paragraph mark.
      token.Character = c == '\r' ? '\n' : c;
    }
  }

  void ReadWord(TToken& token) {
    const std::size_t start = FPosition;
    while (!AtEnd() && IsLetter(FText[FPosition])) ++FPosition;
    token.Kind = TTokenKind::tkWord;
    token.Word = FText.substr(start, FPosition - start);
    const bool negative = !AtEnd() && FText[FPosition] == '-' && FPosition + 1 < FText.size() &&
                          IsDigit(FText[FPosition + 1]);
    if (negative) ++FPosition;
    if (!AtEnd() && IsDigit(FText[FPosition])) {
      std::int32_t value = 0;
      while (!AtEnd() && IsDigit(FText[FPosition])) {
        const std::int32_t digit = FText[FPosition++] - '0';
        value = value > (TQELRtfReader::kMaxParameter - digit) / 10 ? TQELRtfReader::kMaxParameter
                                                                    : value * 10 + digit;
      }
      token.HasParameter = true;
      token.Parameter = negative ? -value : value;
    }
    // A space ends the word and belongs to it.
    if (!AtEnd() && FText[FPosition] == ' ') ++FPosition;
    if (token.Word == "bin" && token.Parameter > 0) {
      FPosition += std::min(static_cast<std::size_t>(token.Parameter), FText.size() - FPosition);
    }
  }

  void ReadHex(TToken& token) {
    int value = 0;
    for (int i = 0; i < 2; ++i) {
      const int digit = AtEnd() ? -1 : HexValue(FText[FPosition]);
      if (digit < 0) {
        token.Kind = TTokenKind::tkBroken;
        return;
      }
      value = value * 16 + digit;
      ++FPosition;
    }
    token.Kind = TTokenKind::tkHex;
    token.Character = static_cast<char>(value);
  }

  std::string_view FText;
  std::size_t FPosition = 0;
};

enum class TDestination { dText, dFontTable, dColorTable };

// What a group carries and restores at its end.
struct TGroupState {
  TQELRtfCharFormat Char;
  TQELRtfParagraphFormat Paragraph;
  TDestination Destination = TDestination::dText;
  // -1 for the document's default font.
  std::int32_t Font = -1;
  std::int32_t UnicodeSkip = 1;
};

struct TColorEntry {
  bool Set = false;
  std::uint32_t Color = 0;
};

std::int32_t Indent(std::int32_t twips) { return std::clamp(twips, -kMaxIndent, kMaxIndent); }

class TRtfParser {
 public:
  explicit TRtfParser(std::string_view text) : FTokenizer(text) { FStates.emplace_back(); }

  TQELRtfDocument Parse() {
    for (TToken token = FTokenizer.Next(); token.Kind != TTokenKind::tkEnd; token = FTokenizer.Next()) {
      if (token.Kind == TTokenKind::tkNothing) continue;
      if (FUnicodeSkip > 0 && !IsGroupBoundary(token)) {
        --FUnicodeSkip;
        continue;
      }
      FUnicodeSkip = 0;
      Handle(token);
    }
    FlushRun();
    if (!FParagraph.Runs.empty()) FDocument.Paragraphs.push_back(std::move(FParagraph));
    return std::move(FDocument);
  }

 private:
  static bool IsGroupBoundary(const TToken& token) {
    return token.Kind == TTokenKind::tkGroupOpen || token.Kind == TTokenKind::tkGroupClose;
  }

  TGroupState& Top() { return FStates.back(); }

  void Handle(const TToken& token) {
    const bool starred = std::exchange(FStarred, false);
    switch (token.Kind) {
      case TTokenKind::tkGroupOpen: OpenGroup(); return;
      case TTokenKind::tkGroupClose: CloseGroup(); return;
      default: break;
    }
    if (FSkipping) return;
    switch (token.Kind) {
      case TTokenKind::tkWord:
        // "{\*\word": a destination to skip unless we know it, and none of
        // the starred ones holds text of the memo.
        if (starred) {
          BeginSkip();
        } else {
          HandleWord(token);
        }
        break;
      case TTokenKind::tkSymbol: HandleSymbol(token.Character); break;
      case TTokenKind::tkHex:
        if (Top().Destination == TDestination::dText) AddByte(token.Character);
        break;
      case TTokenKind::tkText: HandleText(token.Character); break;
      default: break;
    }
  }

  void OpenGroup() {
    ++FDepth;
    if (FStates.size() < TQELRtfReader::kMaxFormatDepth + 1) FStates.push_back(Top());
  }

  void CloseGroup() {
    // A brace without its opening one closes nothing.
    if (FDepth == 0) return;
    if (FSkipping && FDepth == FSkipDepth) FSkipping = false;
    if (FStates.size() - 1 == FDepth) FStates.pop_back();
    --FDepth;
  }

  // Skips the rest of the current group; outside every group there is
  // nothing to skip to the end of.
  void BeginSkip() {
    if (FDepth == 0) return;
    FSkipping = true;
    FSkipDepth = FDepth;
  }

  void HandleText(char c) {
    switch (Top().Destination) {
      case TDestination::dText:
        // Other control characters of the source carry no meaning.
        if (c == '\t') {
          AddUnit(u'\t');
        } else if (static_cast<unsigned char>(c) >= 0x20) {
          AddByte(c);
        }
        break;
      case TDestination::dFontTable:
        if (c == ';') FTableFont = -1;
        break;
      case TDestination::dColorTable:
        if (c == ';') EndColor();
        break;
    }
  }

  void HandleSymbol(char c) {
    switch (c) {
      case '*': FStarred = true; return;
      case '\n': HandleWord(TToken{TTokenKind::tkWord, "par"}); return;
      default: break;
    }
    if (Top().Destination != TDestination::dText) return;
    switch (c) {
      case '\\':
      case '{':
      case '}': AddByte(c); break;
      case '~': AddUnit(u'\u00A0'); break;
      case '-': AddUnit(u'\u00AD'); break;
      case '_': AddUnit(u'\u2011'); break;
      default: break;
    }
  }

  void HandleWord(const TToken& token) {
    const auto found = Keywords().find(token.Word);
    if (found == Keywords().end()) return;
    const TKeywordInfo& info = found->second;
    const std::int32_t parameter = token.Parameter;
    // A toggle without a parameter, or with one other than 0, turns on.
    const bool on = !token.HasParameter || parameter != 0;
    TGroupState& state = Top();
    switch (info.Keyword) {
      case TKeyword::kwAnsi: FAnsiCodePage = 1252; break;
      case TKeyword::kwMac: FAnsiCodePage = 10000; break;
      case TKeyword::kwPc: FAnsiCodePage = 437; break;
      case TKeyword::kwPca: FAnsiCodePage = 850; break;
      case TKeyword::kwAnsiCodePage:
        if (parameter > 0) FAnsiCodePage = static_cast<std::uint32_t>(parameter);
        break;
      case TKeyword::kwDefaultFont: FDefaultFont = parameter; break;
      case TKeyword::kwFont:
        if (state.Destination == TDestination::dFontTable) {
          FTableFont = parameter;
          FFontCodePages.try_emplace(parameter, 0);
        } else {
          state.Font = parameter;
        }
        break;
      case TKeyword::kwFontCharset:
        if (state.Destination == TDestination::dFontTable && FTableFont >= 0) {
          FFontCodePages[FTableFont] = QELRtfCharsetCodePage(parameter);
        }
        break;
      case TKeyword::kwFontCodePage:
        if (state.Destination == TDestination::dFontTable && FTableFont >= 0 && parameter > 0) {
          FFontCodePages[FTableFont] = static_cast<std::uint32_t>(parameter);
        }
        break;
      case TKeyword::kwFontTable:
        state.Destination = TDestination::dFontTable;
        FTableFont = -1;
        break;
      case TKeyword::kwColorTable:
        state.Destination = TDestination::dColorTable;
        FColors.clear();
        FColor = {};
        break;
      case TKeyword::kwRed: SetColorPart(state, 16, parameter); break;
      case TKeyword::kwGreen: SetColorPart(state, 8, parameter); break;
      case TKeyword::kwBlue: SetColorPart(state, 0, parameter); break;
      case TKeyword::kwSkippedDestination: BeginSkip(); break;
      case TKeyword::kwUnicode: AddUnicode(parameter); break;
      case TKeyword::kwUnicodeSkip: state.UnicodeSkip = std::max(parameter, 0); break;
      default:
        if (state.Destination == TDestination::dText) HandleTextWord(info, token, on);
        break;
    }
  }

  // The words that format or add to the text of the memo.
  void HandleTextWord(const TKeywordInfo& info, const TToken& token, bool on) {
    TGroupState& state = Top();
    const std::int32_t parameter = token.Parameter;
    switch (info.Keyword) {
      case TKeyword::kwCharacter: AddUnit(info.Character); break;
      case TKeyword::kwBold: state.Char.Bold = on; break;
      case TKeyword::kwItalic: state.Char.Italic = on; break;
      case TKeyword::kwUnderline: state.Char.Underline = on; break;
      case TKeyword::kwUnderlineNone: state.Char.Underline = false; break;
      case TKeyword::kwStrike: state.Char.Strike = on; break;
      case TKeyword::kwPlain:
        state.Char = TQELRtfCharFormat{};
        state.Font = -1;
        break;
      case TKeyword::kwFontSize:
        state.Char.FontSize = parameter > 0 ? std::min(parameter, kMaxFontSize) : kQELRtfDefaultFontSize;
        break;
      case TKeyword::kwColor: {
        const bool known = parameter >= 0 && static_cast<std::size_t>(parameter) < FColors.size() &&
                           FColors[static_cast<std::size_t>(parameter)].Set;
        state.Char.HasColor = known;
        state.Char.Color = known ? FColors[static_cast<std::size_t>(parameter)].Color : 0;
        break;
      }
      case TKeyword::kwParagraph: EndParagraph(); break;
      case TKeyword::kwParagraphDefaults: state.Paragraph = TQELRtfParagraphFormat{}; break;
      case TKeyword::kwAlignLeft: state.Paragraph.Alignment = raLeft; break;
      case TKeyword::kwAlignRight: state.Paragraph.Alignment = raRight; break;
      case TKeyword::kwAlignCenter: state.Paragraph.Alignment = raCenter; break;
      case TKeyword::kwAlignJustify: state.Paragraph.Alignment = raJustify; break;
      case TKeyword::kwLeftIndent: state.Paragraph.LeftIndent = Indent(parameter); break;
      case TKeyword::kwRightIndent: state.Paragraph.RightIndent = Indent(parameter); break;
      case TKeyword::kwFirstIndent: state.Paragraph.FirstIndent = Indent(parameter); break;
      default: break;
    }
  }

  void SetColorPart(const TGroupState& state, int shift, std::int32_t parameter) {
    if (state.Destination != TDestination::dColorTable) return;
    const auto part = static_cast<std::uint32_t>(std::clamp(parameter, 0, 255));
    FColor.Color = (FColor.Color & ~(0xFFu << shift)) | (part << shift);
    FColor.Set = true;
  }

  // An entry without any part is the automatic colour.
  void EndColor() {
    FColors.push_back(FColor);
    FColor = {};
  }

  // \uN: N is a signed 16-bit value; then the replacement characters for
  // readers without Unicode follow, which we pass over.
  void AddUnicode(std::int32_t parameter) {
    const TGroupState& state = Top();
    FUnicodeSkip = state.UnicodeSkip;
    if (state.Destination != TDestination::dText) return;
    const std::int64_t value = parameter < 0 ? std::int64_t{parameter} + 65536 : parameter;
    AddUnit(value >= 0 && value <= 0xFFFF ? static_cast<char16_t>(value) : u'\uFFFD');
  }

  std::uint32_t CodePage() const {
    const std::int32_t font = FStates.back().Font >= 0 ? FStates.back().Font : FDefaultFont;
    const auto found = FFontCodePages.find(font);
    return found != FFontCodePages.end() && found->second != 0 ? found->second : FAnsiCodePage;
  }

  // Text is gathered as code-page bytes and UTF-16 units in the format of
  // the group, and becomes a run when the format changes or the paragraph
  // ends. Bytes wait for their neighbours because a character of a
  // multi-byte page spans two of them.
  void BeginText() {
    const TGroupState& state = Top();
    if ((!FBytes.empty() || !FUnits.empty()) && !(state.Char == FPendingFormat)) FlushRun();
    FPendingFormat = state.Char;
    FParagraph.Format = state.Paragraph;
  }

  void AddByte(char byte) {
    BeginText();
    const std::uint32_t codePage = CodePage();
    if (!FBytes.empty() && codePage != FBytesCodePage) DecodeBytes();
    FBytesCodePage = codePage;
    FBytes += byte;
  }

  void AddUnit(char16_t unit) {
    BeginText();
    DecodeBytes();
    FUnits += unit;
  }

  void DecodeBytes() {
    FCodePages.Decode(FBytesCodePage, FBytes, FUnits);
    FBytes.clear();
  }

  void FlushRun() {
    DecodeBytes();
    if (FUnits.empty()) return;
    std::string text;
    QELRtfAppendUtf8(text, FUnits);
    FUnits.clear();
    TQELRtfDocument::AppendRun(FParagraph, text, FPendingFormat);
  }

  // The paragraph takes the paragraph format in force at its mark.
  void EndParagraph() {
    FlushRun();
    FParagraph.Format = Top().Paragraph;
    FDocument.Paragraphs.push_back(std::move(FParagraph));
    FParagraph = TQELRtfParagraph{};
  }

  TTokenizer FTokenizer;
  TQELRtfDocument FDocument;
  TQELRtfParagraph FParagraph;

  // FStates[d] is the state of the group at depth d, up to the cap; deeper
  // groups count in FDepth only.
  std::vector<TGroupState> FStates;
  std::size_t FDepth = 0;
  bool FSkipping = false;
  std::size_t FSkipDepth = 0;
  bool FStarred = false;
  std::int32_t FUnicodeSkip = 0;

  std::uint32_t FAnsiCodePage = kQELRtfWesternCodePage;
  std::int32_t FDefaultFont = 0;
  // Fonts of the font table with their code page, 0 for the document's.
  std::unordered_map<std::int32_t, std::uint32_t> FFontCodePages;
  std::int32_t FTableFont = -1;
  std::vector<TColorEntry> FColors;
  TColorEntry FColor;

  TQELRtfCodePages FCodePages;
  std::string FBytes;
  std::uint32_t FBytesCodePage = kQELRtfWesternCodePage;
  std::u16string FUnits;
  TQELRtfCharFormat FPendingFormat;
};

// Plain text: one paragraph per line, whichever line ends it uses.
TQELRtfDocument ReadPlainText(std::string_view text) {
  TQELRtfDocument document;
  if (text.empty()) return document;
  std::u16string units;
  if (!QELRtfDecodeUtf8(text, units)) {
    units.clear();
    TQELRtfCodePages().Decode(kQELRtfWesternCodePage, text, units);
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i <= units.size(); ++i) {
    if (i < units.size() && units[i] != u'\r' && units[i] != u'\n') continue;
    TQELRtfParagraph paragraph;
    std::string line;
    QELRtfAppendUtf8(line, std::u16string_view(units).substr(start, i - start));
    TQELRtfDocument::AppendRun(paragraph, line, TQELRtfCharFormat{});
    document.Paragraphs.push_back(std::move(paragraph));
    if (i + 1 < units.size() && units[i] == u'\r' && units[i + 1] == u'\n') ++i;
    start = i + 1;
  }
  return document;
}

}  // namespace

bool TQELRtfReader::IsRtf(std::string_view text) { return text.starts_with("{\\rtf"); }

TQELRtfDocument TQELRtfReader::Read(std::string_view text) {
  if (!IsRtf(text)) return ReadPlainText(text);
  return TRtfParser(text).Parse();
}

}  // namespace qel
