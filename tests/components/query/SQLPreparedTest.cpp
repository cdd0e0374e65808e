// Prepared statements run again and again with new parameter values give
// the rows a fresh statement gives, also where the parser reads a value
// itself (a LIKE prefix, an ESCAPE character) or a value changes its kind,
// and after a run that failed.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "SQLTestSupport.h"
#include "components/QELQuery.h"

namespace qel::test {
namespace {

using TList = std::vector<std::string>;
// One run's values, by parameter position; nullopt is NULL.
using TValues = std::vector<std::optional<std::string>>;

class SQLPreparedTest : public TSQLTest {
 protected:
  void SetUp() override {
    DefaultSession().SetKeepConnections(false);
    TSQLTest::SetUp();
    Exec("create table p (a integer, b varchar(10), primary key (a))");
    Exec("insert into p values (1, 'ab'), (2, 'abc'), (3, 'b%c'), (4, 'xbc'), (5, null)");
  }
  void TearDown() override {
    TSQLTest::TearDown();
    DefaultSession().SetKeepConnections(true);
  }

  // A value that reads as a number is an integer parameter, any other a
  // string; nullopt is NULL.
  static void SetParam(TParam& param, const std::optional<std::string>& value) {
    const bool number =
        value && !value->empty() && value->find_first_not_of("-0123456789") == std::string::npos;
    param.DataType = number ? ftInteger : ftString;
    // A variant keeps its type when set: each value starts afresh.
    param.Value = TQELVariant();
    if (value && number) param.Value.SetAsInteger(std::stoi(*value));
    if (value && !number) param.Value.SetAsString(*value);
  }

  // Runs `sql` prepared once for every entry of `runs`; a value that reads
  // as a number is an integer parameter, any other a string. Answers the
  // rows each run changed.
  std::vector<std::int32_t> RunPrepared(const std::string& sql, const std::vector<TValues>& runs) {
    TQELQuery query;
    query.SetDatabaseName("KUVO");
    query.SetSQLText(sql);
    query.Prepare();
    std::vector<std::int32_t> changed;
    for (const TValues& values : runs) {
      for (std::size_t i = 0; i < values.size(); ++i) SetParam(query.Params()[static_cast<std::int32_t>(i)], values[i]);
      query.ExecSQL();
      changed.push_back(query.RowsAffected());
    }
    EXPECT_TRUE(query.Prepared());
    return changed;
  }

  TList Rows() { return RowTexts("select a, b from p order by a"); }

  // Opens `sql` prepared once for each value of `runs` (as in RunPrepared,
  // one parameter) and answers the a's of each run's rows joined by ",".
  TList SelectPrepared(const std::string& sql, const std::vector<std::optional<std::string>>& runs) {
    TQELQuery query;
    query.SetDatabaseName("KUVO");
    query.SetSQLText(sql);
    query.Prepare();
    TList results;
    for (const std::optional<std::string>& value : runs) {
      SetParam(query.Params()[0], value);
      query.Open();
      std::string ids;
      for (query.First(); !query.Eof(); query.Next()) ids += (ids.empty() ? "" : ",") + query.Fields(0).AsString();
      results.push_back(ids);
      query.Close();
    }
    EXPECT_TRUE(query.Prepared());
    return results;
  }
};

TEST_F(SQLPreparedTest, PreparedSelectsReadEachRunsRows) {
  EXPECT_EQ(SelectPrepared("select a from p where a = :a", {"1", "3", "9", "3"}), (TList{"1", "3", "", "3"}));
  EXPECT_EQ(SelectPrepared("select a from p where a > :a order by a desc", {"3", "0", "5"}),
            (TList{"5,4", "5,4,3,2,1", ""}));
  EXPECT_EQ(SelectPrepared("select a from p where b like :p", {"ab%", "%c", "x%", "ab%"}),
            (TList{"1,2", "2,3,4", "4", "1,2"}));
  EXPECT_EQ(SelectPrepared("select a from p where b = :b or a = 5", {std::nullopt, "abc", std::nullopt}),
            (TList{"5", "2,5", "5"}));
}

TEST_F(SQLPreparedTest, EachRunSeesItsOwnValues) {
  struct TCase {
    const char* Sql;
    std::vector<TValues> Runs;
    std::vector<std::int32_t> Changed;
    TList Rows;
  };
  const std::vector<TCase> cases = {
      {"insert into p values (:a, :b)",
       {{"6", "f"}, {"7", std::nullopt}, {"8", "h"}},
       {1, 1, 1},
       {"1|ab|", "2|abc|", "3|b%c|", "4|xbc|", "5|-|", "6|f|", "7|-|", "8|h|"}},
      {"insert into p (b, a) values (?, ?), (?, ?)",
       {{"f", "6", "g", "7"}, {"h", "8", "i", "9"}},
       {2, 2},
       {"1|ab|", "2|abc|", "3|b%c|", "4|xbc|", "5|-|", "6|f|", "7|g|", "8|h|", "9|i|"}},
      {"delete from p where a = :a", {{"2"}, {"4"}, {"9"}}, {1, 1, 0}, {"1|ab|", "3|b%c|", "5|-|"}},
      {"update p set b = :b where a = :a or a = :a + 1",
       {{"q", "1"}, {std::nullopt, "3"}, {"r", "4"}},
       {2, 2, 2},
       {"1|q|", "2|q|", "3|-|", "4|r|", "5|r|"}},
      // The parser turns a pattern with a fixed prefix into a range: each
      // new pattern is read again.
      {"delete from p where b like :p", {{"abc%"}, {"%bc"}}, {1, 1}, {"1|ab|", "3|b%c|", "5|-|"}},
      {"delete from p where b like :p escape :e", {{"b!%%", "!"}, {"a_", "!"}}, {1, 1}, {"2|abc|", "4|xbc|", "5|-|"}},
      // A number, then a text, then NULL for the same parameter.
      {"update p set b = :b where a = :a", {{"7", "1"}, {"x", "2"}, {std::nullopt, "4"}}, {1, 1, 1},
       {"1|7|", "2|x|", "3|b%c|", "4|-|", "5|-|"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    Exec("delete from p");
    Exec("insert into p values (1, 'ab'), (2, 'abc'), (3, 'b%c'), (4, 'xbc'), (5, null)");
    EXPECT_EQ(RunPrepared(c.Sql, c.Runs), c.Changed);
    EXPECT_EQ(Rows(), c.Rows);
  }
}

TEST_F(SQLPreparedTest, AFailedRunLeavesTheStatementReadyForTheNext) {
  TQELQuery insert;
  insert.SetDatabaseName("KUVO");
  insert.SetSQLText("insert into p values (:a, :b)");
  insert.Prepare();
  const auto run = [&](std::int32_t a, const char* b) {
    insert.Params()[0].Value.SetAsInteger(a);
    insert.Params()[1].Value.SetAsString(b);
    insert.ExecSQL();
  };
  run(6, "f");
  EXPECT_THROW(run(1, "dup"), EQELEngineError);  // the primary key
  run(7, "g");
  EXPECT_EQ(Rows(), (TList{"1|ab|", "2|abc|", "3|b%c|", "4|xbc|", "5|-|", "6|f|", "7|g|"}));
  // A value cleared is a NULL of no type: the text is read again.
  insert.Params()[1].Value = TQELVariant();
  insert.Params()[1].DataType = ftUnknown;
  insert.Params()[0].Value.SetAsInteger(8);
  insert.ExecSQL();
  EXPECT_EQ(RowTexts("select b from p where a = 8"), TList{"-|"});
}

// Run again inside a transaction, a statement keeps its tables open; the
// end of the transaction lets them go, so nothing is held between
// transactions.
TEST_F(SQLPreparedTest, TablesKeptForATransactionAreLetGoAtItsEnd) {
  TQELQuery insert;
  insert.SetDatabaseName("KUVO");
  insert.SetSQLText("insert into p values (:a, 'k')");
  insert.Prepare();
  TQELQuery deletion;
  deletion.SetDatabaseName("KUVO");
  deletion.SetSQLText("delete from p where a = :a");
  deletion.Prepare();
  const auto run = [](TQELQuery& query, std::int32_t a) {
    query.Params()[0].Value.SetAsInteger(a);
    query.ExecSQL();
    return query.RowsAffected();
  };
  Database->StartTransaction();
  for (std::int32_t a : {6, 7, 8}) run(insert, a);
  EXPECT_EQ(run(deletion, 7), 1);
  EXPECT_EQ(run(deletion, 7), 0);
  EXPECT_EQ(run(deletion, 1), 1);
  Exec("rollback");
  EXPECT_EQ(Rows(), (TList{"1|ab|", "2|abc|", "3|b%c|", "4|xbc|", "5|-|"}));

  // A new transaction opens them anew and sees what the last one left.
  Exec("start transaction");
  run(insert, 9);
  EXPECT_EQ(run(deletion, 2), 1);
  Database->Commit();
  EXPECT_EQ(Rows(), (TList{"1|ab|", "3|b%c|", "4|xbc|", "5|-|", "9|k|"}));
  // Something that needs the table for itself alone makes them let go.
  Database->StartTransaction();
  run(insert, 10);
  Exec("truncate table p");
  run(insert, 11);
  EXPECT_EQ(Rows(), (TList{"11|k|"}));
  Database->Rollback();
  EXPECT_EQ(Rows(), (TList{"1|ab|", "3|b%c|", "4|xbc|", "5|-|", "9|k|"}));
  // Outside a transaction each run opens and closes them.
  EXPECT_EQ(run(deletion, 9), 1);
  EXPECT_TRUE(insert.Prepared());
  EXPECT_TRUE(deletion.Prepared());
  // Nothing holds the table now: it can be restructured and dropped.
  Exec("alter table p add c integer");
  Exec("drop table p");
  EXPECT_FALSE(Database->InTransaction());
}

}  // namespace
}  // namespace qel::test
