// The SQL lexer: token kinds and texts, statement splitting, positions,
// errors, parameter markers and the token cursor.

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/QELException.h"
#include "sql/QELLexer.h"

namespace qel {
namespace {

// A lexer's commands in a compact form: "kind:text" per token, commands
// separated by " | ". Punctuation shows as itself; a reserved word is "R:"
// when its number names the word its text spells, "R-:" when it names none.
std::string Describe(const TQELLexer& lexer) {
  std::string out;
  for (const TSQLCommand& command : lexer.Commands()) {
    if (!out.empty()) out += " | ";
    bool first = true;
    for (const TToken& token : command.Tokens) {
      if (!first) out += ' ';
      first = false;
      switch (token.TokenType) {
        case tktLeftParenthesis:
        case tktRightParenthesis:
        case tktComma:
        case tktDot:
          out += token.Text;
          continue;
        case tktReservedWord: {
          std::string upper = token.Text;
          for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
          out += token.ReservedWord == rwNone                      ? "R-:"
                 : ReservedWordText(token.ReservedWord) == upper ? "R:"
                                                                 : "R?:";
          break;
        }
        case tktString: out += "S:"; break;
        case tktQuotedString: out += "Q:"; break;
        case tktBracketedString: out += "B:"; break;
        case tktInt: out += "I:"; break;
        case tktFloat: out += "F:"; break;
        case tktParameter: out += "P:"; break;
        default: out += "?:"; break;
      }
      if (token.TokenType != tktReservedWord && token.ReservedWord != rwNone) out += "#";
      out += token.Text;
    }
  }
  return out;
}

std::string Describe(const std::string& text) { return Describe(TQELLexer(text, nullptr)); }

struct TRaised {
  std::int32_t Code = 0;
  std::string Message;
};

TRaised Raised(const std::string& text, const TQELSQLParams* params = nullptr) {
  try {
    TQELLexer lexer(text, params);
  } catch (const EQELException& e) {
    return {e.NativeError(), e.what()};
  }
  return {};
}

struct TCase {
  const char* Text;
  const char* Expected;
};

TEST(LexerTest, TokenKindsAndTexts) {
  const TCase cases[] = {
      {"select * from tblKuvo where ISTILAH ='abc'",
       "R:select S:* R:from S:tblKuvo R:where S:ISTILAH S:= Q:abc"},
      {"ISTILAH In('a','b')", "S:ISTILAH R:In ( Q:a , Q:b )"},
      {"Select FROM sElEcT", "R:Select R:FROM R:sElEcT"},
      // Quoting: doubled closing characters stand for themselves.
      {"'it''s' \"say \"\"hi\"\"\" \"it's\" ''", "Q:it's Q:say \"hi\" Q:it's Q:"},
      {"[a]]b] [select] [a b;c] [x'y]", "B:a]b B:select B:a b;c B:x'y"},
      {"`select` `a``b` `a\\\\b` `c\\d` ``", "R-:select S:a`b S:a\\b S:cd S:"},
      {"'a;b' ; c", "Q:a;b | S:c"},
      // Numbers.
      {"1.5e+3 1E-5 .5 12 3.e2 1.2.3", "F:1.5e+3 F:1E-5 F:.5 I:12 F:3.e2 F:1.2.3"},
      {"1-5 1e5+2 1e+-2 2*3/4", "I:1 S:- I:5 F:1e5 S:+ I:2 F:1e+ S:- I:2 I:2 S:* I:3 S:/ I:4"},
      {"t.col t.5 a..b", "S:t . S:col S:t F:.5 S:a . . S:b"},
      {"f(1,2)", "S:f ( I:1 , I:2 )"},
      // Operators: two-character forms, and single ones that stand alone.
      {"a<>b a<=b a>=b a||b", "S:a S:<> S:b S:a S:<= S:b S:a S:>= S:b S:a S:|| S:b"},
      {"x>5 x<5 a|b x=-1", "S:x S:> I:5 S:x S:< I:5 S:a S:| S:b S:x S:= S:- I:1"},
      {"a!=b", "S:a! S:= S:b"},
      // Quotes that follow a word without a blank belong to the word.
      {"abc'd' n[1]", "S:abc'd' S:n[1]"},
      // Comments end the token before them and may hide semicolons.
      {"a--x\ncd", "S:a S:cd"},
      {"1/**/2 a/*;*/b", "I:1 I:2 S:a S:b"},
      {"1e--5\n", "F:1e"},
      {"select 1 -- tail", "R:select I:1"},
      {"select 1 /* never closed; select 2", "R:select I:1"},
      {"/*/ still comment */x", "S:x"},
      // Statement splitting: empty statements add no command.
      {"select 1; ; select 2;", "R:select I:1 | R:select I:2"},
      {"a;b", "S:a | S:b"},
      {";;", ""},
      {"", ""},
      {" \t\r\n-- only a comment\n/* and another */ ", ""},
      // Bytes beyond ASCII, control characters and NUL are word characters.
      {"caf\xC3\xA9 \v x\0y", "S:caf\xC3\xA9 S:\v S:x"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(Describe(c.Text), c.Expected) << c.Text;
  }
  // An embedded NUL does not end the text.
  EXPECT_EQ(Describe(std::string("x\0y", 3)), std::string("S:x\0y", 5));
}

TEST(LexerTest, LinesAndColumns) {
  const TCase cases[] = {
      {"select * from tblKuvo where ISTILAH ='abc'", "1:1 1:8 1:10 1:15 1:23 1:29 1:37 1:38"},
      // A tab is one column; a carriage return takes none.
      {"a\tb\r\nc\r\r d", "1:1 1:3 2:1 2:3"},
      // Comments count their characters and line feeds like any other text.
      {"a /* x\ny */ b -- c\nd", "1:1 2:6 3:1"},
      {"a--\n--\n b", "1:1 3:2"},
      // Quoted text counts each character once, doubled quotes included.
      {"'x\ny' z 'it''s' w", "1:1 2:4 2:6 2:14"},
      {":'p' x", "1:1 1:6"},
      {"[a]]b] x <= y", "1:1 1:8 1:10 1:13"},
      // A character of several UTF-8 bytes takes one column.
      {"'\xC3\xA9\xE2\x82\xAC' x", "1:1 1:6"},
      // Positions run on across statements.
      {"a;\n b; c", "1:1 2:2 2:5"},
  };
  TQELSQLParams params;
  params.AddParam().SetName("p");
  params.Items(0).SetAsInteger(1);
  for (const TCase& c : cases) {
    const TQELLexer lexer(c.Text, &params);
    std::string out;
    for (const TSQLCommand& command : lexer.Commands()) {
      for (const TToken& token : command.Tokens) {
        if (!out.empty()) out += ' ';
        out += std::to_string(token.Line) + ":" + std::to_string(token.Column);
      }
    }
    EXPECT_EQ(out, c.Expected) << c.Text;
  }
}

TEST(LexerTest, ErrorsNameTheTextAndItsPosition) {
  struct TErrorCase {
    const char* Text;
    std::int32_t Code;
    const char* Message;
  };
  const TErrorCase cases[] = {
      {"select (1", 30059, "Missing symbol ')' at line 1, column 8"},
      {"select 1)", 30060, "Unexpected symbol ')' found at line 1, column 9"},
      {"select 'abc", 30061, "Unterminated string at line 1, column 8"},
      {"select\n  12abc", 30062, "Invalid numeric symbol 'a' at line 2, column 5"},
      {"select 1'x'", 30062, "Invalid numeric symbol ''' at line 1, column 9"},
      {"x = 1\xC3\xA9", 30062, "Invalid numeric symbol '\xC3\xA9' at line 1, column 6"},
      // The parenthesis without a partner is the one reported.
      {"f(a, g(b)", 30059, "Missing symbol ')' at line 1, column 2"},
      {"f(a, (g(b)", 30059, "Missing symbol ')' at line 1, column 2"},
      {") (; b)", 30060, "Unexpected symbol ')' found at line 1, column 7"},
      {"a) + (b))", 30060, "Unexpected symbol ')' found at line 1, column 2"},
      // Parentheses are checked before the unterminated quote that ate them.
      {"select ('abc)", 30059, "Missing symbol ')' at line 1, column 8"},
      {"select [abc", 30061, "Unterminated string at line 1, column 8"},
      {"select `abc\\", 30061, "Unterminated string at line 1, column 8"},
      {"x\n :'abc", 30061, "Unterminated string at line 2, column 2"},
      // A quote swallows the semicolons after it.
      {"select 'a; select 2;", 30061, "Unterminated string at line 1, column 8"},
      // An error in any statement stops the whole text, the first one found
      // wins.
      {"select 1; select (2; select 3x", 30059, "Missing symbol ')' at line 1, column 18"},
      {"select 1; select 3x; select (2", 30062, "Invalid numeric symbol 'x' at line 1, column 19"},
  };
  for (const TErrorCase& c : cases) {
    const TRaised raised = Raised(c.Text);
    EXPECT_EQ(raised.Code, c.Code) << c.Text;
    EXPECT_EQ(raised.Message, std::string(c.Message) + " - Native error: " + std::to_string(c.Code))
        << c.Text;
  }
  // A character that cannot be shown is named by its code, so that a NUL
  // does not cut the message off before its position and code.
  EXPECT_EQ(Raised(std::string("1\0", 2)).Message,
            "Invalid numeric symbol '\\x00' at line 1, column 2 - Native error: 30062");
  EXPECT_EQ(Raised("2\xFF").Message,
            "Invalid numeric symbol '\\xFF' at line 1, column 2 - Native error: 30062");
  EXPECT_EQ(Raised(std::string(":a\0\x01\xC3\xA9", 6)).Message,
            "Value for parameter 'a\\x00\\x01\xC3\xA9' not found - Native error: 30358");
  // An encoded UTF-16 surrogate is no character either.
  EXPECT_EQ(Raised(":b\xED\xA0\x80").Message,
            "Value for parameter 'b\\xED\\xA0\\x80' not found - Native error: 30358");
}

TEST(ReservedWordTest, EveryWordIsFoundInAnyCaseUnderItsNumber) {
  for (std::uint16_t i = 0; i < kQELReservedWordCount; ++i) {
    const std::string word(ReservedWordText(i));
    std::string lower = word;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(FindReservedWord(word), i) << word;
    EXPECT_EQ(FindReservedWord(lower), i) << lower;
  }
  // Numbers the parsers and stored texts rely on.
  EXPECT_EQ(ReservedWordText(0), "ABSOLUTE");
  EXPECT_EQ(ReservedWordText(rwEND_EXEC), "END-EXEC");
  EXPECT_EQ(rwEND_EXEC, 74);
  EXPECT_EQ(rwFROM, 90);
  EXPECT_EQ(rwSELECT, 179);
  EXPECT_EQ(rwZONE, 229);
  EXPECT_EQ(rwPASSWORD, 230);
  EXPECT_EQ(rwRNDUP, 291);
  EXPECT_EQ(rwNone, 292);
  EXPECT_EQ(ReservedWordText(rwNone), "");
}

TEST(ReservedWordTest, OtherTextsAreNoWords) {
  const char* misses[] = {"",          "s",         "tblKuvo",  "selec",    "selects",   "select ",
                          "char length", "ENDEXEC", "\xC5\xBF" "elect",
                          "BLOBCOMPRESSIONALGORITHMS", "X"};
  for (const char* text : misses) EXPECT_EQ(FindReservedWord(text), -1) << text;
  EXPECT_EQ(FindReservedWord(std::string("AS\0", 3)), -1);
  // A minus sign always starts a token, so END-EXEC never comes out whole.
  EXPECT_EQ(Describe("END-EXEC"), "R:END S:- R:EXEC");
}

TEST(ReservedWordTest, IsReservedWordTellsWordsApart) {
  TQELLexer lexer("select `select` [select] selected", nullptr);
  const std::vector<TToken>& tokens = lexer.Commands()[0].Tokens;
  EXPECT_TRUE(IsReservedWord(tokens[0], rwSELECT));
  EXPECT_TRUE(IsReservedWord(tokens[0], rwAny));
  EXPECT_FALSE(IsReservedWord(tokens[0], rwFROM));
  EXPECT_FALSE(IsReservedWord(tokens[1], rwSELECT));  // a name in backticks
  EXPECT_TRUE(IsReservedWord(tokens[1], rwAny));
  EXPECT_FALSE(IsReservedWord(tokens[2], rwAny));
  EXPECT_FALSE(IsReservedWord(tokens[3], rwAny));
}

class LexerParamsTest : public ::testing::Test {
 protected:
  LexerParamsTest() {
    TQELSQLParam& name = FParams.AddParam();
    name.SetName("NAME");
    name.SetAsString("abc");
    TQELSQLParam& id = FParams.AddParam();
    id.SetName("id");
    id.SetAsInteger(42);
    TQELSQLParam& spaced = FParams.AddParam();
    spaced.SetName("My Name");
    spaced.SetAsDouble(2.5);
  }

  TQELSQLParams FParams;
};

TEST_F(LexerParamsTest, MarkersTakeCopiesOfTheirValues) {
  TQELLexer lexer("select :Name, ? from t; select ?, :ID, :'my name', :[MY NAME], :\"My Name\"",
                  &FParams);
  EXPECT_EQ(Describe(lexer),
            "R:select P:Name , P:Param1 R:from S:t | R:select P:Param2 , P:ID , P:my name , "
            "P:MY NAME , P:My Name");
  const std::vector<TToken>& first = lexer.Commands()[0].Tokens;
  const std::vector<TToken>& second = lexer.Commands()[1].Tokens;
  ASSERT_TRUE(first[1].ParamValue && first[3].ParamValue);
  EXPECT_EQ(first[1].ParamValue->AsString(), "abc");
  // "?" markers count across statements: the second one takes the second value.
  EXPECT_EQ(first[3].ParamValue->AsString(), "abc");
  EXPECT_EQ(second[1].ParamValue->AsInteger(), 42);
  EXPECT_EQ(second[1].ParamValue->DataType(), bftInteger);
  EXPECT_EQ(second[3].ParamValue->AsInteger(), 42);
  for (std::size_t i : {5u, 7u, 9u}) EXPECT_EQ(second[i].ParamValue->AsDouble(), 2.5);
  EXPECT_EQ(first[0].ParamValue, nullptr);

  // The tokens own their values: changing or dropping the parameters later
  // leaves them as they were lexed.
  FParams.Items(0).SetAsString("changed");
  FParams.Clear();
  EXPECT_EQ(first[1].ParamValue->AsString(), "abc");
  EXPECT_EQ(second[1].ParamValue->AsInteger(), 42);
}

TEST_F(LexerParamsTest, MissingValuesStopTheText) {
  const TCase cases[] = {
      {"select :missing", "Value for parameter 'missing' not found - Native error: 30358"},
      {"? ? ? ?", "Value for parameter 'Param4' not found - Native error: 30358"},
      {"select 1; select :nam", "Value for parameter 'nam' not found - Native error: 30358"},
      {"select :", "Value for parameter '' not found - Native error: 30358"},
  };
  for (const TCase& c : cases) {
    const TRaised raised = Raised(c.Text, &FParams);
    EXPECT_EQ(raised.Code, 30358) << c.Text;
    EXPECT_EQ(raised.Message, c.Expected) << c.Text;
  }
  // Without a parameter list every marker lacks its value.
  EXPECT_EQ(Raised("select ?").Message, "Value for parameter 'Param1' not found - Native error: 30358");
  // Markers inside quotes and names in backticks are text.
  EXPECT_EQ(Describe("':a' \"?\" [:b] `:c` `?`"), "Q::a Q:? B::b S::c S:?");
}

TEST(SQLParamsTest, FindsTheFirstNameInAnyCase) {
  TQELSQLParams params;
  params.AddParam().SetName("Alpha");
  params.AddParam().SetName("ALPHA");
  params.AddParam().SetName("stra\xC3\x9F" "e");
  EXPECT_EQ(params.Count(), 3);
  EXPECT_EQ(params.FindParam("alpha"), &params.Items(0));
  EXPECT_EQ(params.FindParam("STRASSE"), &params.Items(2));  // locale-aware upper-casing
  EXPECT_EQ(params.FindParam("alph"), nullptr);
  EXPECT_THROW(params.Items(3), std::out_of_range);
  EXPECT_THROW(params.Items(-1), std::out_of_range);
  params.Clear();
  EXPECT_EQ(params.Count(), 0);
  EXPECT_EQ(params.FindParam("alpha"), nullptr);
}

TEST(LexerCursorTest, WalksBacktracksAndStopsAtTheEnds) {
  TQELLexer lexer("a b c; d", nullptr);
  TToken token;
  EXPECT_EQ(lexer.CurrentCommand(), -1);
  EXPECT_FALSE(lexer.GetCurrentToken(token));  // no command before NextCommand
  EXPECT_EQ(token.TokenType, tktNone);

  ASSERT_TRUE(lexer.NextCommand());
  ASSERT_TRUE(lexer.GetCurrentToken(token));
  EXPECT_EQ(token.Text, "a");
  ASSERT_TRUE(lexer.LookNextToken(token));
  EXPECT_EQ(token.Text, "b");
  EXPECT_EQ(lexer.GetCurrentTokenNo(), 0);
  ASSERT_TRUE(lexer.GetNextToken(token));
  EXPECT_EQ(token.Text, "b");
  ASSERT_TRUE(lexer.GetNextToken(token));
  EXPECT_EQ(token.Text, "c");

  // Past the end: no token, and the cursor stands one beyond.
  EXPECT_FALSE(lexer.GetNextToken(token));
  EXPECT_EQ(token.TokenType, tktNone);
  EXPECT_EQ(token.Text, "");
  EXPECT_EQ(lexer.GetCurrentTokenNo(), 3);
  EXPECT_FALSE(lexer.GetCurrentToken(token));

  // Backtracking, including to before the first token.
  EXPECT_TRUE(lexer.SetCurrentTokenNo(1));
  ASSERT_TRUE(lexer.GetCurrentToken(token));
  EXPECT_EQ(token.Text, "b");
  EXPECT_FALSE(lexer.SetCurrentTokenNo(3));
  ASSERT_TRUE(lexer.GotoToken(0, token));
  EXPECT_EQ(token.Text, "a");
  lexer.SetCurrentTokenNo(-1);
  EXPECT_FALSE(lexer.GetCurrentToken(token));
  ASSERT_TRUE(lexer.GetNextToken(token));
  EXPECT_EQ(token.Text, "a");
  EXPECT_FALSE(lexer.GotoToken(-5, token));
  EXPECT_FALSE(lexer.LookNextToken(token));

  ASSERT_TRUE(lexer.NextCommand());
  ASSERT_TRUE(lexer.GetCurrentToken(token));
  EXPECT_EQ(token.Text, "d");
  EXPECT_FALSE(lexer.NextCommand());
  EXPECT_FALSE(lexer.NextCommand());
  EXPECT_FALSE(lexer.GetCurrentToken(token));
  EXPECT_FALSE(lexer.LookNextToken(token));
  EXPECT_FALSE(lexer.SetCurrentTokenNo(0));

  // Going back to an earlier command finds its cursor where it was left.
  ASSERT_TRUE(lexer.SetCurrentCommand(0));
  EXPECT_EQ(lexer.GetCurrentTokenNo(), -5);
  EXPECT_FALSE(lexer.SetCurrentCommand(2));
}

TEST(LexerCursorTest, BuiltCommandsShareParameterValues) {
  TQELSQLParams params;
  params.AddParam().SetName("v");
  params.Items(0).SetAsString("value");
  TToken kept;
  {
    auto lexer = std::make_unique<TQELLexer>("update t set a = 1 where b = :v", &params);
    ASSERT_TRUE(lexer->NextCommand());
    const std::vector<TToken> source = lexer->Commands()[0].Tokens;
    lexer->AddCommand();
    EXPECT_EQ(lexer->NumCommands(), 2);
    EXPECT_EQ(lexer->CurrentCommand(), 1);
    for (std::size_t i = 6; i < source.size(); ++i) lexer->AddToken(source[i]);
    EXPECT_EQ(Describe(*lexer), "R:update S:t R:set S:a S:= I:1 R:where S:b S:= P:v | R:where S:b S:= P:v");
    // AddToken leaves the cursor on the token it added.
    EXPECT_EQ(lexer->GetCurrentTokenNo(), 3);
    ASSERT_TRUE(lexer->GetCurrentToken(kept));
    EXPECT_EQ(kept.ParamValue, source.back().ParamValue);
  }
  // Both commands and this copy held the value; it outlives the lexer.
  EXPECT_EQ(kept.ParamValue->AsString(), "value");
}

TEST(LexerTest, MarkersAreListedWithoutValuesInTheirOrder) {
  EXPECT_EQ(QELParameterMarkers("select * from t where a = :A and b = ? and c = ':X' or d = :a; "
                                "update t set e = ? where f = :B"),
            (std::vector<std::string>{"A", "Param1", "a", "Param2", "B"}));
  EXPECT_TRUE(QELParameterMarkers("select 1").empty());
  try {
    QELParameterMarkers("select 'open");
    ADD_FAILURE() << "an unterminated string must raise";
  } catch (const EQELException& error) {
    EXPECT_EQ(error.NativeError(), kQELErrUnterminatedString);
  }
}

}  // namespace
}  // namespace qel
