// The statement processor: the whole text is tokenized before anything
// runs, statements run in text order through the executor, a failing
// statement stops the text with the earlier ones done, and the result and
// row counts come from the statements that ran.

#include <gtest/gtest.h>

#include <typeinfo>

#include "SQLTestSupport.h"

namespace qel::test {
namespace {

// Stands in for the query layer: records each statement it is given and
// gives it a row count; fails the statement whose number is `FailAt`.
class TRecordingExecutor final : public TQELSQLExecutor {
 public:
  class TResult final : public TQELSQLResult {
   public:
    explicit TResult(std::int32_t number) : Number(number) {}
    TQELCursor* Cursor() override { return reinterpret_cast<TQELCursor*>(&Number); }
    std::int32_t Number;
  };

  void Execute(TQELSQLCommand& statement, TQELExprQuery* query, bool isQuery, TQELExprRecordSource*,
               const std::uint8_t*, bool& resultReadOnly, bool requestLive) override {
    ++Count;
    if (Count == FailAt) throw EQELException(20225, "Table is locked");
    Ran.push_back(Describe(statement));
    InMemory = query != nullptr && query->InMemory();
    EXPECT_TRUE(isQuery);
    statement.SetRowsAffected(Count * 10);
    if (dynamic_cast<TQELSQLCursorCommand*>(&statement) != nullptr) {
      statement.SetResult(std::make_unique<TResult>(Count));
      resultReadOnly = !requestLive;
    }
  }

  static std::string Describe(const TQELSQLCommand& statement) {
    if (auto* query = dynamic_cast<const TQELSQLUnion*>(&statement)) {
      return DescribeQuery(*query->QueryTree());
    }
    if (dynamic_cast<const TQELSQLInsert*>(&statement)) return "insert";
    if (dynamic_cast<const TQELSQLUpdate*>(&statement)) return "update";
    if (dynamic_cast<const TQELSQLDelete*>(&statement)) return "delete";
    if (dynamic_cast<const TQELDDLCreateTable*>(&statement)) return "create table";
    if (dynamic_cast<const TQELDDLCreateIndex*>(&statement)) return "create index";
    if (dynamic_cast<const TQELDDLDropTable*>(&statement)) return "drop table";
    if (dynamic_cast<const TQELDDLDropIndex*>(&statement)) return "drop index";
    if (dynamic_cast<const TQELDDLRenameTable*>(&statement)) return "rename table";
    if (dynamic_cast<const TQELDDLAlterTable*>(&statement)) return "alter table";
    if (dynamic_cast<const TQELDDLTruncateTable*>(&statement)) return "truncate";
    if (dynamic_cast<const TQELSQLStartTransaction*>(&statement)) return "start";
    if (dynamic_cast<const TQELSQLCommit*>(&statement)) return "commit";
    if (dynamic_cast<const TQELSQLRollback*>(&statement)) return "rollback";
    return "?";
  }

  std::vector<std::string> Ran;
  std::int32_t Count = 0;
  std::int32_t FailAt = 0;
  bool InMemory = false;
};

class SQLProcessorTest : public ::testing::Test {
 protected:
  SQLProcessorTest() { Processor.SetExecutor(&Executor); }

  std::int32_t ResultNumber(TQELCursor* cursor) {
    return cursor == nullptr ? 0 : *reinterpret_cast<std::int32_t*>(cursor);
  }

  TRecordingExecutor Executor;
  TQELLocalSQLProcessor Processor;
};

TEST_F(SQLProcessorTest, StatementsRunInOrderAndTheLastGivesTheResult) {
  Processor.SetSQLText("select * from tblKuvo; select * from tblKuvo where ISTILAH ='a'");
  Processor.SetRequestLive(true);
  EXPECT_EQ(ResultNumber(Processor.ExecuteSQL()), 2);
  EXPECT_EQ(Executor.Ran, (std::vector<std::string>{"select tblKuvo", "select tblKuvo"}));
  EXPECT_FALSE(Processor.ResultReadOnly());
  EXPECT_EQ(Processor.RowsAffected(), 30);

  // A statement without a result set last: no cursor.
  Executor = {};
  Processor.SetSQLText("select * from t; delete from t");
  EXPECT_EQ(Processor.ExecuteSQL(), nullptr);
  EXPECT_EQ(Processor.RowsAffected(), 30);
}

TEST_F(SQLProcessorTest, EveryKindOfStatementIsDispatched) {
  Processor.SetSQLText(
      "start transaction; create table t (a integer); create unique index i on t (a); "
      "insert into t values (1); update t set a = 2; delete from t; alter table t add b integer; "
      "rename table t to u; truncate u; drop index u.i; drop table u; commit; rollback; "
      "(select a from t)");
  Processor.ExecSQL();
  EXPECT_EQ(Executor.Ran, (std::vector<std::string>{
                              "start", "create table", "create index", "insert", "update",
                              "delete", "alter table", "rename table", "truncate", "drop index",
                              "drop table", "commit", "rollback", "select t"}));
}

TEST_F(SQLProcessorTest, LexicalErrorAnywhereRunsNothing) {
  Processor.SetSQLText("insert into t values (1); select 'unterminated from t");
  try {
    Processor.ExecSQL();
    FAIL() << "no error";
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), 30061);
  }
  EXPECT_TRUE(Executor.Ran.empty());
}

TEST_F(SQLProcessorTest, FailingStatementLeavesTheEarlierOnesDone) {
  // A syntax error in statement 3 stops there.
  Processor.SetSQLText("insert into t values (1); delete from t; select from; select * from t");
  EXPECT_THROW(Processor.ExecSQL(), EQELException);
  EXPECT_EQ(Executor.Ran, (std::vector<std::string>{"insert", "delete"}));
  EXPECT_EQ(Processor.RowsAffected(), 30);

  // So does an error while statement 3 runs.
  Executor = {};
  Executor.FailAt = 3;
  Processor.SetSQLText("insert into t values (1); delete from t; select * from t; select * from u");
  EXPECT_THROW(Processor.ExecSQL(), EQELException);
  EXPECT_EQ(Executor.Ran, (std::vector<std::string>{"insert", "delete"}));

  // Each execution starts again from the text.
  Executor = {};
  Processor.SetSQLText("select * from t");
  EXPECT_EQ(ResultNumber(Processor.ExecuteSQL()), 1);
  EXPECT_EQ(Processor.RowsAffected(), 10);
}

TEST_F(SQLProcessorTest, ParametersAndTheInMemoryDefault) {
  Processor.Params().AddParam().SetName("n");
  Processor.Params().Items(0).SetAsInteger(3);
  Processor.SetInMemory(true);
  Processor.SetSQLText("select top :n * from t");
  Processor.ExecSQL();
  EXPECT_TRUE(Executor.InMemory);
  auto& query = dynamic_cast<TQELSQLUnion&>(*Processor.Statement());
  EXPECT_EQ(query.QueryTree()->Select->TopCount(), 3);
  EXPECT_TRUE(query.QueryTree()->Select->TableRefs()[0]->InMemory);
}

TEST(SQLProcessorNoExecutorTest, ExecutionNeedsTheQueryLayer) {
  TQELSQLProcessor processor;
  processor.SetSQLText("select * from t");
  try {
    processor.ExecSQL();
    FAIL() << "no error";
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), 30514);
  }
  EXPECT_EQ(processor.ParseSQL(), 1);
}

}  // namespace
}  // namespace qel::test
