// Every grammar error of the statement parsers with its native code and
// its whole message (text, line and column), and truncated statements:
// each statement of a corpus cut before every one of its tokens either is
// a complete statement of its own or fails with a parse error.

#include <gtest/gtest.h>

#include "SQLTestSupport.h"

namespace qel::test {
namespace {

struct TErrorCase {
  const char* Text;
  std::int32_t Code;
  const char* Message;  // without " - Native error: <code>"
};

// The suffix EQELException puts after a formatted message: the code
// padded with spaces to five characters (" 2156"); after an unformatted
// one, zero-padded.
std::string Suffixed(const TErrorCase& c) {
  const bool formatted = std::string(c.Message).find(" at line ") != std::string::npos ||
                         std::string(c.Message).find("'") != std::string::npos;
  std::string code = std::to_string(c.Code);
  code.insert(0, 5 - std::min<std::size_t>(5, code.size()), formatted ? ' ' : '0');
  return std::string(c.Message) + " - Native error: " + code;
}

void CheckErrors(std::initializer_list<TErrorCase> cases) {
  for (const TErrorCase& c : cases) {
    const TRaised raised = ParseRaised(c.Text);
    EXPECT_EQ(raised.Code, c.Code) << c.Text;
    EXPECT_EQ(raised.Message, Suffixed(c)) << c.Text;
  }
}

TEST(SQLParseErrorTest, Dispatch) {
  CheckErrors({
      {"", 30145, "Blank SQL command"},
      {" ; -- nothing\n;", 30145, "Blank SQL command"},
      {"create view v", 30147, "Object type keyword expected, but 'view' found at line 1, column 8"},
      {"create", 30148, "Unexpected end of SQL command found at line 1, column 1"},
      {"drop view v", 30149, "Object type keyword expected, but 'view' found at line 1, column 6"},
      {"drop", 30150, "Unexpected end of SQL command found at line 1, column 1"},
      {"alter index i", 30151, "Object type keyword expected, but 'index' found at line 1, column 7"},
      {"alter", 30152, "Unexpected end of SQL command found at line 1, column 1"},
      {"rename", 30353, "Unexpected end of SQL command found at line 1, column 1"},
      {"grant all", 30153, "SQL token expected, but 'grant' found at line 1, column 1"},
      {"\n  kuvo", 30154, "SQL token expected, but 'kuvo' found at line 2, column 3"},
      {"select * from t a b", 20260, "End of SQL command expected, but 'b' found at line 1, column 19"},
      {"insert into t values (1) x", 20260, "End of SQL command expected, but 'x' found at line 1, column 26"},
  });
}

TEST(SQLParseErrorTest, Select) {
  CheckErrors({
      {"select top x * from t", 30158, "Integer expected, but 'x' found at line 1, column 12"},
      {"select top 1, y * from t", 30159, "Integer expected, but 'y' found at line 1, column 15"},
      {"select , from t", 30160, "Expression expected, but ',' found at line 1, column 8"},
      {"select a, from t", 30160, "Expression expected, but 'from' found at line 1, column 11"},
      {"select a as + from t", 30162, "Field pseudonym expected, but '+' found at line 1, column 13"},
      {"select a into + from t", 30165, "Table name expected, but '+' found at line 1, column 15"},
      {"select a into d.+ from t", 30166, "Table name expected, but '+' found at line 1, column 17"},
      {"select a b c", 30184, "Token 'FROM' expected, but 'c' found at line 1, column 12"},
      {"select a", 30184, "Token 'FROM' expected, but '' found at line 1, column 8"},
      {"select a from +", 30180, "Table name expected, but '+' found at line 1, column 15"},
      {"select a from t, +", 30181, "Table name expected, but '+' found at line 1, column 18"},
      {"select a from", 30182, "Table name expected, but '' found at line 1, column 10"},
      {"select a from t,", 30183, "Table name expected, but '' found at line 1, column 16"},
      {"select a from t group x", 30185, "Token 'BY' expected, but 'x' found at line 1, column 23"},
      {"select a from t group by 1+2", 10411, "Field name expected, but expression '1...' found at line 1, column 26"},
      {"select a from t group by a, 1", 10412, "Field name expected, but expression '1...' found at line 1, column 29"},
      {"select a from t group by", 10409, "Field name expected, but expression '...' found at line 1, column 23"},
      {"select a from t order x", 30188, "Token 'BY' expected, but 'x' found at line 1, column 23"},
      {"select a from t order by +", 30187, "Field name expected, but '+' found at line 1, column 26"},
      {"select a from t order by t.+", 30186, "Field name expected, but '+' found at line 1, column 28"},
      {"select a from t order by a, ,", 30189, "Sort specification expected, but ',' found at line 1, column 29"},
      {"select a from t order by", 30190, "Sort specification expected, but '' found at line 1, column 23"},
      {"select a from t order by a,", 30191, "Sort specification expected, but '' found at line 1, column 27"},
      {"select * from t as +", 30177, "Field pseudonym expected, but '+' found at line 1, column 20"},
      {"select * from t password x", 30178,
       "Quoted password expected (for PASSWORD \"passwordData\"), but 'x' found at line 1, column 26"},
      {"select * from (+)", 30179, "Field name expected, but '+' found at line 1, column 16"},
      {"select 1 from t1 union select 2 into x from t2", 20272,
       "UNION subselect cannot contain INTO caluse. Use SELECT * INTO table FROM (select ... union "
       "select ...) instead"},
      {"select 1 from t union (x)", 30194, "Token 'SELECT' expected, but 'x' found at line 1, column 24"},
      {"select 1 from t union", 30194, "Token 'SELECT' expected, but '' found at line 1, column 17"},
      {"select 1 from t union corresponding by x", 30193, "Token '(' expected, but 'x' found at line 1, column 40"},
      {"select 1 from\n\tt where", 30161, "Unexpected end of SQL command found at line 2, column 4"},
  });
}

TEST(SQLParseErrorTest, Joins) {
  CheckErrors({
      {"select * from t cross x", 30168, "Unexpected token 'x' found at line 1, column 23"},
      {"select * from t natural x", 30169, "Unexpected token 'x' found at line 1, column 25"},
      {"select * from t inner x", 30170, "Unexpected token 'x' found at line 1, column 23"},
      {"select * from t left x", 30171, "Unexpected token 'x' found at line 1, column 22"},
      {"select * from t right x", 30172, "Unexpected token 'x' found at line 1, column 23"},
      {"select * from t full x", 30173, "Unexpected token 'x' found at line 1, column 22"},
      {"select * from t left outer x", 30174, "Unexpected token 'x' found at line 1, column 28"},
      {"select * from t left outer natural", 30175, "Token 'JOIN' expected, but 'natural' found at line 1, column 28"},
      {"select * from t join", 30176, "Table name expected, but '' found at line 1, column 17"},
      {"select * from t join u using x", 30167, "Token '(' expected, but 'x' found at line 1, column 30"},
      {"select * from t join u using ()", 10407, "Field name expected, but expression ')...' found at line 1, column 31"},
      {"select * from t join u using (a,)", 10406, "Unexpected token ')' found at line 1, column 33"},
  });
}

TEST(SQLParseErrorTest, InsertUpdateDelete) {
  CheckErrors({
      {"insert", 30205, "Unexpected end of SQL command found at line 1, column 1"},
      {"insert t values (1)", 30206, "Token 'INTO' expected, but 't' found at line 1, column 8"},
      {"insert into + values (1)", 30207, "Table name expected, but '+' found at line 1, column 13"},
      {"insert into memory +", 30208, "Table name expected, but '+' found at line 1, column 20"},
      {"insert into d.+", 30493, "Table name expected, but '+' found at line 1, column 15"},
      {"insert into", 30209, "Unexpected end of SQL command found at line 1, column 8"},
      {"insert into t password", 30210, "Unexpected end of SQL command found at line 1, column 15"},
      {"insert into t password x", 30211,
       "Quoted password expected (for PASSWORD \"passwordData\"), but 'x' found at line 1, column 24"},
      {"insert into t (1) values (1)", 2156, "Field name expected, but '1' found at line 1, column 16"},
      {"insert into t (a b) values (1)", 30212, "')' or ',' symbol expected, but 'b' found at line 1, column 18"},
      {"insert into t (a)", 30213, "Unexpected end of SQL command found at line 1, column 17"},
      {"insert into t values 1", 30214, "'(' symbol expected, but '1' found at line 1, column 22"},
      {"insert into t values (1,)", 30357, "Error parsing parameter ')' at line 1, column 25"},
      {"insert into t values (1) (2)", 20260, "End of SQL command expected, but '(' found at line 1, column 26"},
      {"insert into t (select * from u x y)", 20256, "Missing symbol ')' at line 1, column 34"},
      {"insert into t 5", 30516, "Token 'VALUES' expected, but '5' found at line 1, column 15"},
      {"update + set a = 1", 30217, "Table name expected, but '+' found at line 1, column 8"},
      {"update t x y", 30220, "Token 'SET' expected, but 'y' found at line 1, column 12"},
      {"update t set a 1", 30221, "Token '=' expected, but '1' found at line 1, column 16"},
      {"update t set a = 1 b", 30222, "Unexpected token 'b' found at line 1, column 20"},
      {"update t set a = 1,", 30223, "Unexpected end of SQL command found at line 1, column 19"},
      {"update t set a =", 30223, "Unexpected end of SQL command found at line 1, column 16"},
      {"update t set a = where b = 1", 30519, "Expression expected, but 'where' found at line 1, column 18"},
      {"update t set (a b) = (select 1 from u)", 30494, "Token ')' expected, but 'b' found at line 1, column 17"},
      {"update t set (a) 1", 30495, "Token '=' expected, but '1' found at line 1, column 18"},
      {"update t set a = 1 where b = 2 c", 20260, "End of SQL command expected, but 'c' found at line 1, column 32"},
      {"delete", 30224, "Unexpected end of SQL command found at line 1, column 1"},
  });
}

TEST(SQLParseErrorTest, CreateTable) {
  CheckErrors({
      {"create table t 5", 30226, "Token '(' expected, but '5' found at line 1, column 16"},
      {"create table if x t (a integer)", 30486, "Token 'NOT' expected, but 'x' found at line 1, column 17"},
      {"create table if not x t (a integer)", 30487, "Token 'EXISTS' expected, but 'x' found at line 1, column 21"},
      {"create table t (+ int)", 30227, "Field name expected, but '+' found at line 1, column 17"},
      {"create table t (a if x int)", 30488, "Token 'NOT' expected, but 'x' found at line 1, column 22"},
      {"create table t (a if not x int)", 30489, "Token 'EXISTS' expected, but 'x' found at line 1, column 26"},
      {"create table t (a +)", 30228, "Field type expected, but '+' found at line 1, column 19"},
      {"create table t (a foo)", 30232, "Unknown field type 'foo' at line 1, column 19"},
      {"create table t (a varchar)", 30233, "'(' symbol expected, but ')' found at line 1, column 26"},
      {"create table t (a varchar(x))", 30235, "Decimal constant expected, but 'x' found at line 1, column 27"},
      {"create table t (a varchar(5 6))", 30236, "')' symbol expected, but '6' found at line 1, column 29"},
      {"create table t (a varchar(0))", 30515, "Size '0' of column 'a' is outside 1..65535 at line 1, column 27"},
      {"create table t (a integer foo)", 30229, "Unexpected token 'foo' found at line 1, column 27"},
      {"create table t (a integer not x)", 2011, "'NULL' expected (for NOT NULL), but 'x' found at line 1, column 31"},
      {"create table t (a integer default 1 default 2)", 30299, "default value for column 'a' declared twice"},
      {"create table t (a integer default 'abc')", 30517,
       "Value 'abc' cannot be converted to the type of column 'a' at line 1, column 35"},
      {"create table t (a blob blobcompressionalgorithm lzw)", 30520,
       "Unknown compression algorithm 'lzw' at line 1, column 49"},
      {"create table t (a autoinc(x))", 30293, "Unexpected token 'x' found at line 1, column 27"},
      {"create table t (a autoinc(select))", 30294, "Unexpected token 'select' found at line 1, column 27"},
      {"create table t (a autoinc(float))", 30295, "Unsupported Autoinc DataType (float) found at line 1, column 27"},
      {"create table t (a autoinc(increment x))", 30291, "Integer expected, but 'x' found at line 1, column 37"},
      {"create table t (a autoinc(increment 99999999999999999999))", 30292,
       "Integer expected, but '99999999999999999999' found at line 1, column 37"},
      {"create table t (unique x (a))", 30267, "'INDEX' keyword expected, but 'x' found at line 1, column 24"},
      {"create table t (index + (a))", 30269, "index name expected, but '+' found at line 1, column 23"},
      {"create table t (a integer) x", 30246, "Unexpected token 'x' found at line 1, column 28"},
  });
}

TEST(SQLParseErrorTest, OtherDefinitions) {
  CheckErrors({
      {"drop table if x t", 30485, "Token 'EXISTS' expected, but 'x' found at line 1, column 15"},
      {"drop table t x y", 30246, "Unexpected token 'y' found at line 1, column 16"},
      {"truncate table t x y", 30246, "Unexpected token 'y' found at line 1, column 20"},
      {"alter table t 5", 30252, "ADD, DROP or MODIFY keyword expected, but '5' found at line 1, column 15"},
      {"alter table t", 30253, "Unexpected end of SQL command found at line 1, column 13"},
      {"alter table t rename a x", 30352, "Token 'TO' expected, but 'x' found at line 1, column 24"},
      {"rename table t x y", 30355, "Token 'TO' expected, but 'y' found at line 1, column 18"},
      {"create unique x", 30267, "'INDEX' keyword expected, but 'x' found at line 1, column 15"},
      {"create unique", 30268, "Unexpected end of SQL command found at line 1, column 8"},
      {"create index +", 30269, "index name expected, but '+' found at line 1, column 14"},
      {"create index i", 30271, "Unexpected end of SQL command found at line 1, column 14"},
      {"create index i x t", 30270, "'ON' keyword expected, but 'x' found at line 1, column 16"},
      {"create index i on t 5", 30273, "'(' symbol expected, but '5' found at line 1, column 21"},
      {"create index i on t (+)", 30274, "Field name expected, but '+' found at line 1, column 22"},
      {"create index i on t (password x)", 30275,
       "Quoted password expected (for PASSWORD \"passwordData\"), but 'x' found at line 1, column 31"},
      {"create index i on t (password 'p' x)", 30276, "')' or ',' symbol expected, but 'x' found at line 1, column 35"},
      {"drop index", 30278, "Unexpected end of SQL command found at line 1, column 6"},
      {"drop index t.", 30281, "Unexpected end of SQL command found at line 1, column 13"},
      {"drop index t", 30498, "Table name expected, but '' found at line 1, column 12"},
      {"drop index t.i password x", 30282,
       "Quoted password expected (for PASSWORD \"passwordData\"), but 'x' found at line 1, column 25"},
      {"drop table +", 30230, "Table name expected, but '+' found at line 1, column 12"},
      {"drop table memory +", 30231, "Table name expected, but '+' found at line 1, column 19"},
      {"truncate t password x", 30238,
       "Quoted password expected (for PASSWORD \"passwordData\"), but 'x' found at line 1, column 21"},
      {"start", 30459, "Unexpected end of SQL command found at line 1, column 1"},
      {"start x", 30460, "Token 'TRANSACTION' expected, but 'x' found at line 1, column 7"},
      {"rollback work", 20260, "End of SQL command expected, but 'work' found at line 1, column 10"},
  });
}

// Each statement class on its own: created where its command has no token
// left it raises "Blank SQL command" with its own code; created on the
// wrong first word, the error that names it.
TEST(SQLParseErrorTest, StatementClassesCreatedDirectly) {
  using TCreate = void (*)(TQELLexer&);
  struct TCase {
    TCreate Create;
    std::int32_t BlankCode;
    std::int32_t WrongWordCode;  // 0: the class does not look at its first word
  } const cases[] = {
      {[](TQELLexer& l) { TQELSQLSelect s(l, nullptr); }, 30155, 30156},
      {[](TQELLexer& l) { TQELSQLUnion s(l, nullptr); }, 30155, 30194},
      {[](TQELLexer& l) { TQELSQLInsert s(l, nullptr); }, 30204, 0},
      {[](TQELLexer& l) { TQELSQLUpdate s(l, nullptr); }, 30216, 0},
      {[](TQELLexer& l) { TQELSQLDelete s(l, nullptr); }, 30224, 0},
      {[](TQELLexer& l) { TQELDDLCreateTable s(l, nullptr); }, 30249, 0},
      {[](TQELLexer& l) { TQELDDLDropTable s(l, nullptr); }, 30251, 0},
      {[](TQELLexer& l) { TQELDDLTruncateTable s(l, nullptr); }, 30490, 0},
      {[](TQELLexer& l) { TQELDDLAlterTable s(l, nullptr); }, 30261, 0},
      {[](TQELLexer& l) { TQELDDLRenameTable s(l, nullptr); }, 30354, 0},
      {[](TQELLexer& l) { TQELDDLCreateIndex s(l, nullptr); }, 30266, 0},
      {[](TQELLexer& l) { TQELDDLDropIndex s(l, nullptr); }, 30278, 0},
      {[](TQELLexer& l) { TQELSQLStartTransaction s(l, nullptr); }, 30457, 30458},
      {[](TQELLexer& l) { TQELSQLCommit s(l, nullptr); }, 30461, 30462},
      {[](TQELLexer& l) { TQELSQLRollback s(l, nullptr); }, 30463, 30464},
  };
  const auto raised = [](TCreate create, TQELLexer& lexer) {
    try {
      create(lexer);
    } catch (const EQELException& e) {
      return e.NativeError();
    }
    return 0;
  };
  for (const TCase& c : cases) {
    TQELLexer blank("x", nullptr);
    blank.NextCommand();
    blank.SetCurrentTokenNo(1);
    EXPECT_EQ(raised(c.Create, blank), c.BlankCode) << c.BlankCode;
    if (c.WrongWordCode == 0) continue;
    TQELLexer wrong("kuvo", nullptr);
    wrong.NextCommand();
    EXPECT_EQ(raised(c.Create, wrong), c.WrongWordCode) << c.BlankCode;
  }
}

TEST(SQLParseErrorTest, NestingIsBounded) {
  std::string text = "select * from ";
  for (int i = 0; i < 5000; ++i) text += "(";
  text += "t";
  for (int i = 0; i < 5000; ++i) text += ")";
  EXPECT_EQ(ParseRaised(text).Code, 30518);
  std::string query;
  for (int i = 0; i < 5000; ++i) query += "(";
  query += "select * from t";
  for (int i = 0; i < 5000; ++i) query += ")";
  EXPECT_EQ(ParseRaised(query).Code, 30518);
  EXPECT_EQ(ParseRaised("select * from ((((t))))").Code, 0);
}

// Statements of every kind; each cut before one of its tokens is either
// one of the listed complete statements (cut before token n, counted from
// 0) or fails with an EQELException.
struct TCutCase {
  const char* Text;
  std::vector<int> CompleteCuts;
};

TEST(SQLParseErrorTest, TruncatedStatementsFail) {
  const TCutCase cases[] = {
      {"select distinct top 5, 2 t.a x, count(*) from t1 k left outer join t2 on k.a = t2.a "
       "where k.b > 1 group by t.a having count(*) > 1 order by 1 desc",
       {17, 18, 22, 24, 26, 28, 30, 32, 34, 36, 39, 41, 46, 48, 51}},
      {"select a from t1 union all select a from (select b from t2) d intersect select c from t3", {4, 15, 16}},
      {"insert into t (a, b) values (1, 'x'), (2, :p)", {14}},
      {"update t set a = a + 1, b = 'x' where c in (1, 2)", {6, 8, 12, 14}},
      {"delete from t where a = 1", {3, 5}},
      {"create table x (id autoinc(integer, increment 2), name varchar(20) not null default 'n', "
       "primary key (id))",
       {}},
      {"alter table t add c integer, drop d, rename e to f", {6, 9}},
      {"create unique index i on t (a desc, b)", {}},
      {"drop index db.t.i", {5}},
      {"start transaction", {}},
  };
  std::vector<std::string> complete;
  for (const TCutCase& c : cases) {
    TQELSQLParams params;
    params.AddParam().SetName("p");
    const TQELLexer lexer(c.Text, &params);
    const std::vector<TToken>& tokens = lexer.Commands()[0].Tokens;
    std::vector<int> found;
    for (std::size_t cut = 1; cut < tokens.size(); ++cut) {
      // Columns count from 1 on the one line.
      const std::string prefix(c.Text, static_cast<std::size_t>(tokens[cut].Column - 1));
      try {
        TQELSQLProcessor processor;
        processor.Params().AddParam().SetName("p");
        processor.SetSQLText(prefix);
        processor.ParseSQL();
        found.push_back(static_cast<int>(cut));
      } catch (const EQELException& e) {
        EXPECT_NE(e.NativeError(), 0) << prefix;
      }
    }
    EXPECT_EQ(found, c.CompleteCuts) << c.Text;
  }
}

}  // namespace
}  // namespace qel::test
