#include "sql/QELLexer.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "platform/QELException.h"

namespace qel {

namespace {

// Byte classes, so that the scanning loops take one table look-up per byte.
enum : std::uint8_t {
  kSpace = 1,       // blank, tab, carriage return, line feed
  kEndsWord = 2,    // a word stops before it
  kEndsNumber = 4,  // a number stops before it (signs are decided apart)
  kNumberChar = 8,  // continues a number: digits, '.', 'E', 'e'
  kDigit = 16,
};

constexpr std::array<std::uint8_t, 256> BuildByteClasses() {
  std::array<std::uint8_t, 256> classes{};
  for (const char c : std::string_view(" \t\r\n")) {
    classes[static_cast<std::uint8_t>(c)] = kSpace | kEndsWord | kEndsNumber;
  }
  classes[';'] = kEndsWord | kEndsNumber;
  // Operators and punctuation stop both words and numbers; a dot and the
  // signs stop only words, since "1.5" and "1E-5" are single numbers.
  for (const char c : std::string_view("<>=(),/*:?|")) {
    classes[static_cast<std::uint8_t>(c)] = kEndsWord | kEndsNumber;
  }
  for (const char c : std::string_view(".+-")) classes[static_cast<std::uint8_t>(c)] = kEndsWord;
  for (char c = '0'; c <= '9'; ++c) classes[static_cast<std::uint8_t>(c)] = kNumberChar | kDigit;
  for (const char c : std::string_view(".eE")) classes[static_cast<std::uint8_t>(c)] |= kNumberChar;
  return classes;
}

constexpr std::array<std::uint8_t, 256> kByteClasses = BuildByteClasses();

// Columns count characters: a carriage return and the continuation bytes of
// a UTF-8 sequence take none.
constexpr std::array<std::uint8_t, 256> BuildColumnWidths() {
  std::array<std::uint8_t, 256> widths{};
  for (std::size_t b = 0; b < widths.size(); ++b) widths[b] = (b & 0xC0) == 0x80 ? 0 : 1;
  widths['\r'] = 0;
  return widths;
}

constexpr std::array<std::uint8_t, 256> kColumnWidths = BuildColumnWidths();

std::uint8_t ByteClass(char c) { return kByteClasses[static_cast<std::uint8_t>(c)]; }

std::int32_t Clamp32(std::int64_t value) {
  return value > std::numeric_limits<std::int32_t>::max() ? std::numeric_limits<std::int32_t>::max()
                                                          : static_cast<std::int32_t>(value);
}

// Bytes in the well-formed UTF-8 sequence at the start of `text`, or 0.
std::size_t Utf8SequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80;  // bounds of the second byte, which rule out
  std::uint8_t high = 0xBF;  // overlong forms, surrogates and values past U+10FFFF
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// `text` fit for a message: control characters and bytes that are no
// well-formed UTF-8 become "\xHH", so that a NUL cannot cut the message off
// before its position and code.
std::string Printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<std::uint8_t>(text[i]);
    const std::size_t length = c < 0x20 || c == 0x7F ? 0 : Utf8SequenceLength(text.substr(i));
    if (length == 0) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
      ++i;
    } else {
      out.append(text.substr(i, length));
      i += length;
    }
  }
  return out;
}

struct TPosition {
  std::int32_t Line = 0;
  std::int32_t Column = 0;
};

// One pass over the text that appends commands and their tokens.
class TTokenizer {
 public:
  // With `markersOnly` a parameter marker becomes a token without value
  // instead of needing one.
  TTokenizer(std::string_view text, const TQELSQLParams* params, std::vector<TSQLCommand>& commands,
             bool markersOnly = false)
      : FText(text), FParams(params), FCommands(commands), FMarkersOnly(markersOnly) {}

  void Run();

 private:
  char At(std::size_t pos) const { return pos < FText.size() ? FText[pos] : '\0'; }
  TPosition PositionAt(std::size_t pos);
  TToken& BeginToken();
  void EndToken(TToken& token, bool quotedName);
  void EndCommand();

  void SkipLineComment();
  void SkipBlockComment();
  void ScanToken();
  void ScanWord(TToken& token);
  void ScanNumber(TToken& token);
  void ScanQuoted(TToken& token, TTokenType tokenType, char closing, bool quotedName);
  void ScanFixed(TToken& token, TTokenType tokenType, std::size_t length);
  void ResolveParameter(TToken& token);
  [[noreturn]] void RaiseInvalidNumericSymbol(std::size_t pos);

  std::string_view FText;
  const TQELSQLParams* FParams;
  std::vector<TSQLCommand>& FCommands;
  bool FMarkersOnly;
  std::size_t FPos = 0;

  // Line and column are counted lazily: PositionAt walks the bytes between
  // the last position asked for and the new one.
  std::size_t FCountedTo = 0;
  std::int64_t FLine = 1;
  std::int64_t FColumn = 1;

  // Tokens of the open command, null while none is open.
  std::vector<TToken>* FTokens = nullptr;
  // Parentheses of the open command that have found no partner yet.
  std::vector<TPosition> FOpenParentheses;
  std::vector<TPosition> FUnmatchedCloses;
  std::int32_t FMarkerCount = 0;
  // A quote that the text ended inside of.
  bool FUnterminated = false;
  TPosition FUnterminatedAt;
  // "?" markers take the supplied values in order across the whole text.
  std::int64_t FPositionalCount = 0;
  // Named markers already resolved, by their spelling: a text tends to name
  // the same few parameters again and again, and each lookup upper-cases
  // the names of the whole list.
  std::unordered_map<std::string, const TQELSQLParam*> FNamedParams;
};

TPosition TTokenizer::PositionAt(std::size_t pos) {
  // Locals, so that the loop runs in registers.
  const char* text = FText.data();
  std::int64_t line = FLine;
  std::int64_t column = FColumn;
  for (std::size_t i = FCountedTo; i < pos; ++i) {
    const auto c = static_cast<std::uint8_t>(text[i]);
    if (c == '\n') {
      ++line;
      column = 1;
    } else {
      column += kColumnWidths[c];
    }
  }
  FCountedTo = pos;
  FLine = line;
  FColumn = column;
  return {Clamp32(line), Clamp32(column)};
}

void TTokenizer::Run() {
  const std::size_t size = FText.size();
  while (FPos < size) {
    const char c = FText[FPos];
    if (ByteClass(c) & kSpace) {
      ++FPos;
    } else if (c == ';') {
      EndCommand();
      ++FPos;
    } else if (c == '-' && At(FPos + 1) == '-') {
      SkipLineComment();
    } else if (c == '/' && At(FPos + 1) == '*') {
      SkipBlockComment();
    } else {
      ScanToken();
    }
  }
  EndCommand();
}

// A comment separates tokens like a blank: "1/**/2" is two numbers.
void TTokenizer::SkipLineComment() {
  const std::size_t end = FText.find('\n', FPos + 2);
  FPos = end == std::string_view::npos ? FText.size() : end + 1;
}

// A block comment without its end runs to the end of the text.
void TTokenizer::SkipBlockComment() {
  const std::size_t end = FText.find("*/", FPos + 2);
  FPos = end == std::string_view::npos ? FText.size() : end + 2;
}

TToken& TTokenizer::BeginToken() {
  // A command starts with its first token, so empty statements and texts of
  // nothing but comments add none.
  if (FTokens == nullptr) {
    FTokens = &FCommands.emplace_back().Tokens;
  }
  TToken& token = FTokens->emplace_back();
  const TPosition position = PositionAt(FPos);
  token.Line = position.Line;
  token.Column = position.Column;
  return token;
}

void TTokenizer::ScanToken() {
  TToken& token = BeginToken();
  const char c = FText[FPos];
  const char next = At(FPos + 1);
  switch (c) {
    case '\'':
    case '"':
      ScanQuoted(token, tktQuotedString, c, false);
      return;
    case '[':
      ScanQuoted(token, tktBracketedString, ']', false);
      return;
    case '`':
      ScanQuoted(token, tktString, '`', true);
      return;
    case '(':
      ScanFixed(token, tktLeftParenthesis, 1);
      FOpenParentheses.push_back({token.Line, token.Column});
      return;
    case ')':
      ScanFixed(token, tktRightParenthesis, 1);
      if (FOpenParentheses.empty()) {
        FUnmatchedCloses.push_back({token.Line, token.Column});
      } else {
        FOpenParentheses.pop_back();
      }
      return;
    case ',':
      ScanFixed(token, tktComma, 1);
      return;
    case '.':
      // ".5" is a number; any other dot is a qualifier dot.
      if (ByteClass(next) & kDigit) {
        ScanNumber(token);
      } else {
        ScanFixed(token, tktDot, 1);
      }
      return;
    case '+':
    case '-':
    case '*':
    case '/':
    case '=':
      ScanFixed(token, tktString, 1);
      return;
    case '|':
      ScanFixed(token, tktString, next == '|' ? 2 : 1);
      return;
    case '<':
      ScanFixed(token, tktString, next == '=' || next == '>' ? 2 : 1);
      return;
    case '>':
      // Alone, '>' is an operator like '<': "x>5" reads x, >, 5.
      ScanFixed(token, tktString, next == '=' ? 2 : 1);
      return;
    case ':':
      // ":'name'", ":"name"" and ":[name]" are named parameters whose names
      // need quoting; the colon stays in the text until the token ends.
      if (next == '\'' || next == '"' || next == '[') {
        token.Text.push_back(':');
        ++FPos;
        ScanQuoted(token, tktString, next == '[' ? ']' : next, false);
      } else {
        ScanWord(token);
      }
      return;
    default:
      if (ByteClass(c) & kDigit) {
        ScanNumber(token);
      } else {
        ScanWord(token);
      }
      return;
  }
}

// Operators and punctuation: a token of `length` bytes, complete at once.
void TTokenizer::ScanFixed(TToken& token, TTokenType tokenType, std::size_t length) {
  token.TokenType = tokenType;
  token.Text = std::string(FText.data() + FPos, length);
  FPos += length;
}

// A word runs to the next blank, semicolon, operator, punctuation or sign.
// Quotes and brackets inside a word belong to it ("abc'd'" is one word).
// A word starting with ':' or '?' is a parameter marker.
void TTokenizer::ScanWord(TToken& token) {
  const std::size_t start = FPos++;
  while (FPos < FText.size() && !(ByteClass(FText[FPos]) & kEndsWord)) ++FPos;
  token.TokenType = tktString;
  token.Text = std::string(FText.data() + start, FPos - start);
  EndToken(token, false);
}

// Digits, dots and exponent letters, with a sign only right after an
// exponent letter ("1E-5" is one number, "1-5" three tokens). Any other
// character that does not end the number is an error, so "12abc" is not
// read as a number followed by a name.
void TTokenizer::ScanNumber(TToken& token) {
  const std::size_t start = FPos;
  bool isFloat = FText[FPos] == '.';
  ++FPos;
  while (FPos < FText.size()) {
    const char c = FText[FPos];
    const std::uint8_t byteClass = ByteClass(c);
    if (byteClass & kEndsNumber) break;
    if (c == '+' || c == '-') {
      const char previous = FText[FPos - 1];
      const bool startsComment = c == '-' && At(FPos + 1) == '-';
      if ((previous != 'e' && previous != 'E') || startsComment) break;
    } else if (!(byteClass & kNumberChar)) {
      RaiseInvalidNumericSymbol(FPos);
    } else if (!(byteClass & kDigit)) {
      isFloat = true;
    }
    ++FPos;
  }
  token.TokenType = isFloat ? tktFloat : tktInt;
  token.Text = std::string(FText.data() + start, FPos - start);
}

// Text between an opening and a closing character; the closing character
// doubled stands for itself. Inside backticks a backslash is dropped and the
// character after it kept as it is. `quotedName` marks a name in backticks,
// which is never a parameter marker.
void TTokenizer::ScanQuoted(TToken& token, TTokenType tokenType, char closing, bool quotedName) {
  token.TokenType = tokenType;
  ++FPos;  // past the opening character
  const std::size_t size = FText.size();
  std::size_t runStart = FPos;
  while (FPos < size) {
    char c = FText[FPos];
    if (quotedName && c == '\\') {
      token.Text.append(FText.data() + runStart, FPos - runStart);
      if (++FPos >= size) break;
      runStart = FPos;
      c = FText[FPos];
      if (c != closing) {
        ++FPos;
        continue;
      }
    }
    if (c == closing) {
      if (At(FPos + 1) == closing) {
        token.Text.append(FText.data() + runStart, FPos + 1 - runStart);
        FPos += 2;
        runStart = FPos;
        continue;
      }
      token.Text.append(FText.data() + runStart, FPos - runStart);
      ++FPos;
      EndToken(token, quotedName);
      return;
    }
    ++FPos;
  }
  // The quote swallows the rest of the text; the error waits for the end of
  // the command, after its parentheses are checked.
  FUnterminated = true;
  FUnterminatedAt = {token.Line, token.Column};
  FPos = size;
}

void TTokenizer::EndToken(TToken& token, bool quotedName) {
  if (token.TokenType != tktString) return;
  if (!quotedName && (token.Text[0] == ':' || token.Text[0] == '?')) {
    ResolveParameter(token);
    return;
  }
  const std::int32_t word = FindReservedWord(token.Text);
  if (word >= 0) {
    token.TokenType = tktReservedWord;
    // A word in backticks is a name: it keeps the reserved-word kind but
    // matches no particular word.
    token.ReservedWord = static_cast<std::uint16_t>(quotedName ? rwNone : word);
  }
}

void TTokenizer::ResolveParameter(TToken& token) {
  const TQELSQLParam* param = nullptr;
  token.ParamNo = FMarkerCount++;
  token.Positional = token.Text[0] != ':';
  if (token.Text[0] == ':') {
    token.Text.erase(0, 1);
    if (FParams != nullptr) {
      const auto [known, added] = FNamedParams.try_emplace(token.Text, nullptr);
      if (added) known->second = FParams->FindParam(token.Text);
      param = known->second;
    }
  } else {
    const std::int64_t index = FPositionalCount++;
    token.Text = "Param" + std::to_string(FPositionalCount);
    if (FParams != nullptr && index < FParams->Count()) {
      param = &FParams->Items(static_cast<std::int32_t>(index));
    }
  }
  if (param == nullptr && FMarkersOnly) {
    token.TokenType = tktParameter;
    return;
  }
  if (param == nullptr) {
    throw EQELException(kQELErrParameterNotFound, "Value for parameter '%s' not found",
                        {Printable(token.Text)});
  }
  token.TokenType = tktParameter;
  token.ParamValue = std::make_shared<const TQELVariant>(static_cast<const TQELVariant&>(*param));
}

void TTokenizer::EndCommand() {
  if (FTokens == nullptr) return;
  FTokens = nullptr;
  // Report the parenthesis that has no partner: the first unclosed '(' or
  // the first ')' that closes nothing.
  const auto opened = static_cast<std::int64_t>(FOpenParentheses.size());
  const auto closed = static_cast<std::int64_t>(FUnmatchedCloses.size());
  if (opened > closed) {
    const TPosition at = FOpenParentheses.front();
    throw EQELException(kQELErrMissingRightParenthesis, "Missing symbol ')' at line %d, column %d",
                        {at.Line, at.Column});
  }
  if (opened < closed) {
    const TPosition at = FUnmatchedCloses.front();
    throw EQELException(kQELErrUnexpectedRightParenthesis,
                        "Unexpected symbol ')' found at line %d, column %d", {at.Line, at.Column});
  }
  FOpenParentheses.clear();
  FUnmatchedCloses.clear();
  if (FUnterminated) {
    throw EQELException(kQELErrUnterminatedString, "Unterminated string at line %d, column %d",
                        {FUnterminatedAt.Line, FUnterminatedAt.Column});
  }
}

// Names the whole character at `pos`: every byte of a UTF-8 sequence.
void TTokenizer::RaiseInvalidNumericSymbol(std::size_t pos) {
  const std::size_t length = std::max<std::size_t>(Utf8SequenceLength(FText.substr(pos)), 1);
  const TPosition at = PositionAt(pos);
  throw EQELException(kQELErrInvalidNumericSymbol, "Invalid numeric symbol '%s' at line %d, column %d",
                      {Printable(FText.substr(pos, length)), at.Line, at.Column});
}

}  // namespace

TQELLexer::TQELLexer(std::string sqlText, const TQELSQLParams* params)
    : FSQLText(std::move(sqlText)), FParams(params) {
  TTokenizer(FSQLText, FParams, FCommands).Run();
}

std::vector<std::string> QELParameterMarkers(std::string_view sqlText) {
  std::vector<TSQLCommand> commands;
  TTokenizer(sqlText, nullptr, commands, true).Run();
  std::vector<std::string> names;
  for (const TSQLCommand& command : commands) {
    for (const TToken& token : command.Tokens) {
      if (token.TokenType == tktParameter) names.push_back(token.Text);
    }
  }
  return names;
}

TSQLCommand* TQELLexer::Current() {
  return FCurrentCommand >= 0 && FCurrentCommand < NumCommands()
             ? &FCommands[static_cast<std::size_t>(FCurrentCommand)]
             : nullptr;
}

const TSQLCommand* TQELLexer::Current() const { return const_cast<TQELLexer*>(this)->Current(); }

bool TQELLexer::SetCurrentCommand(std::int32_t no) {
  if (no < 0 || no >= NumCommands()) return false;
  FCurrentCommand = no;
  return true;
}

bool TQELLexer::NextCommand() {
  if (FCurrentCommand < NumCommands()) ++FCurrentCommand;
  return FCurrentCommand < NumCommands();
}

// The cursor may stand anywhere (before the first token after
// SetCurrentTokenNo(-1), past the end after GetNextToken), so every read
// checks the index.
bool TQELLexer::GetCurrentToken(TToken& token) const {
  const TSQLCommand* command = Current();
  if (command == nullptr || command->CurrentToken < 0 || command->CurrentToken >= command->NumTokens()) {
    token.TokenType = tktNone;
    return false;
  }
  token = command->Tokens[static_cast<std::size_t>(command->CurrentToken)];
  return true;
}

bool TQELLexer::LookNextToken(TToken& token) const {
  const TSQLCommand* command = Current();
  const std::int64_t next = command == nullptr ? -1 : std::int64_t{command->CurrentToken} + 1;
  if (next < 0 || next >= (command == nullptr ? 0 : command->NumTokens())) {
    token.TokenType = tktNone;
    token.Text.clear();
    return false;
  }
  token = command->Tokens[static_cast<std::size_t>(next)];
  return true;
}

bool TQELLexer::GetNextToken(TToken& token) {
  const bool found = LookNextToken(token);
  TSQLCommand* command = Current();
  if (command != nullptr && command->CurrentToken < std::numeric_limits<std::int32_t>::max()) {
    ++command->CurrentToken;
  }
  return found;
}

std::int32_t TQELLexer::GetCurrentTokenNo() const {
  const TSQLCommand* command = Current();
  return command == nullptr ? 0 : command->CurrentToken;
}

bool TQELLexer::SetCurrentTokenNo(std::int32_t no) {
  TSQLCommand* command = Current();
  if (command == nullptr) return false;
  command->CurrentToken = no;
  return no < command->NumTokens();
}

bool TQELLexer::GotoToken(std::int32_t no, TToken& token) {
  SetCurrentTokenNo(no);
  return GetCurrentToken(token);
}

void TQELLexer::AddCommand() {
  FCommands.emplace_back();
  FCurrentCommand = NumCommands() - 1;
}

void TQELLexer::AddToken(const TToken& token) {
  if (Current() == nullptr) AddCommand();
  TSQLCommand& command = *Current();
  command.Tokens.push_back(token);
  command.CurrentToken = command.NumTokens() - 1;
}

std::string QELPrintableTokenText(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<std::uint8_t>(c);
    if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace qel
