// The query component over a statement processor whose statements run
// through a stand-in executor: a SELECT answers a cursor over table T of the
// query's database, anything else changes three rows. The executor records
// what reached it, so the tests see the query's side of the contract.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ComponentsSupport.h"
#include "components/QELQuery.h"
#include "components/QELTable.h"
#include "components/db/QELDatabaseError.h"
#include "sql/QELSQLProcessor.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

class TCursorResult final : public TQELSQLResult {
 public:
  explicit TCursorResult(std::unique_ptr<TQELLocalCursor> cursor) : FCursor(std::move(cursor)) {}
  TQELCursor* Cursor() override { return FCursor.get(); }

 private:
  std::unique_ptr<TQELLocalCursor> FCursor;
};

class TRecordingExecutor final : public TQELSQLExecutor {
 public:
  explicit TRecordingExecutor(TQELDatabase& database) : FDatabase(database) {}

  void Execute(TQELSQLCommand& statement, TQELExprQuery* query, bool /*isQuery*/,
               TQELExprRecordSource* /*outerSource*/, const std::uint8_t* /*outerBuffer*/,
               bool& resultReadOnly, bool requestLive) override {
    ++Runs;
    Databases.push_back(query != nullptr ? query->DatabaseName() : "");
    const TQELSQLParams* params = statement.Lexer().Params();
    Params.clear();
    for (std::int32_t i = 0; params != nullptr && i < params->Count(); ++i) {
      const TQELSQLParam& param = params->Items(i);
      Params.push_back(param.Name() + "=" + (param.IsNull() ? "NULL" : param.AsString()) + ":" +
                       std::to_string(param.DataType()));
    }
    // The values the lexer put into the parameter tokens: they change only
    // when the text is lexed again.
    TokenValues.clear();
    for (const TToken& token : statement.Lexer().Commands()[0].Tokens) {
      if (token.TokenType == tktParameter) TokenValues.push_back(token.ParamValue->AsString());
    }
    if (dynamic_cast<TQELSQLCursorCommand*>(&statement) == nullptr) {
      statement.SetRowsAffected(3);
      return;
    }
    auto cursor = std::make_unique<TQELLocalCursor>();
    cursor->Session = FDatabase.EngineSession();
    cursor->SetTableName("T");
    cursor->Open({}, {}, {});
    statement.SetResult(std::make_unique<TCursorResult>(std::move(cursor)));
    resultReadOnly = !requestLive;
  }

  int Runs = 0;
  std::vector<std::string> Databases;
  std::vector<std::string> Params;
  std::vector<std::string> TokenValues;

 private:
  TQELDatabase& FDatabase;
};

class QueryTest : public TConnectedDatabaseTest {
 protected:
  void SetUp() override {
    TConnectedDatabaseTest::SetUp();
    Executor = std::make_unique<TRecordingExecutor>(*Database);
    Query.SetDatabaseName("KUVO");
    Query.SetExecutor(Executor.get());
    TQELTable table;
    table.SetDatabaseName("KUVO");
    table.SetTableName("T");
    table.Open();
    for (int i = 1; i <= 4; ++i) {
      TQELVariant id;
      id.SetAsInteger(i);
      table.AppendRecord({id});
    }
  }
  void TearDown() override {
    Query.Close();
    Query.UnPrepare();
    Executor.reset();
    TConnectedDatabaseTest::TearDown();
  }

  std::unique_ptr<TRecordingExecutor> Executor;
  TQELQuery Query;
};

TEST_F(QueryTest, OpensTheResultOfTheLastSelect) {
  Query.SetSQLText("select * from T");
  Query.Open();
  EXPECT_TRUE(Query.Prepared());
  EXPECT_EQ(Query.RecordCount(), 4);
  EXPECT_TRUE(Query.ReadOnly());
  EXPECT_EQ(Executor->Databases, std::vector<std::string>{"KUVO"});
  std::vector<std::int32_t> ids;
  for (Query.First(); !Query.Eof(); Query.Next()) ids.push_back(Query.FieldByName("ID").AsInteger());
  EXPECT_EQ(ids, (std::vector<std::int32_t>{1, 2, 3, 4}));
  EXPECT_THROW(Query.Edit(), EDatabaseError);

  // The same text again leaves it open; another closes it.
  Query.SetSQLText("select * from T");
  EXPECT_TRUE(Query.Active());
  Query.SetSQLText("select ID from T");
  EXPECT_FALSE(Query.Active());
  EXPECT_FALSE(Query.Prepared());
}

TEST_F(QueryTest, ParametersReachTheProcessorInOrderWithTheirTypes) {
  Query.SetSQLText("select * from T\nwhere ID = :id and NAME = :name and X = \":\"");
  ASSERT_EQ(Query.Params().Count(), 2);
  EXPECT_EQ(Query.Params()[0].Name, "id");
  EXPECT_EQ(Query.Params()[1].Name, "name");
  Query.Params()[0].DataType = ftInteger;
  Query.Params()[1].DataType = ftString;
  Query.Params()[1].Value.SetAsString("abc");
  Query.Open();
  EXPECT_EQ(Executor->Params, (std::vector<std::string>{"id=NULL:" + std::to_string(bftInteger),
                                                        "name=abc:" + std::to_string(bftString)}));
  Query.Close();

  // A value given without a type is passed as it is.
  Query.Params()[0].DataType = ftUnknown;
  Query.Params()[0].Value.SetAsInteger(7);
  Query.Open();
  EXPECT_EQ(Executor->Params.front(), "id=7:" + std::to_string(bftInteger));
}

// The query's parameter list and the lexer's markers are one scan: they
// agree on comments, quotes, doubled colons and "?".
TEST_F(QueryTest, ParameterListEqualsTheLexersMarkers) {
  struct TCase {
    const char* Text;
    std::vector<std::string> Names;
  };
  const std::vector<TCase> cases = {
      {"select * from T where a = \":\"", {}},
      {"select * from T where a = ':b' and c = :c", {"c"}},
      {"select * from T /* :hidden */ where a = :a -- :gone\n and b = :b", {"a", "b"}},
      {"select * from T where a = ? and b = ?", {"Param1", "Param2"}},
      {"select * from T where a = :a or b = :A", {"a"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    Query.SetSQLText(c.Text);
    std::vector<std::string> names;
    for (std::int32_t i = 0; i < Query.Params().Count(); ++i) names.push_back(Query.Params()[i].Name);
    EXPECT_EQ(names, c.Names);
  }
}

TEST_F(QueryTest, ExecSQLCountsRowsAndKeepsTheCountAfterUnprepare) {
  EXPECT_EQ(Query.RowsAffected(), -1);
  Query.SetSQLText("update T set ID = ID + 1");
  Query.ExecSQL();
  EXPECT_EQ(Query.RowsAffected(), 3);
  Query.UnPrepare();
  EXPECT_EQ(Query.RowsAffected(), 3);

  // Opening a text without a result runs it, then fails.
  const int runs = Executor->Runs;
  EXPECT_EQ(CodeAndMessage([&] { Query.Open(); }), std::make_pair(20001, std::string("Error creating table handle")));
  EXPECT_EQ(Executor->Runs, runs + 1);
  EXPECT_FALSE(Query.Active());
}

// Prepare holds the database, so the query stays prepared between runs and
// a statement whose parameters are all values is not read again; a query
// only prepared by running lets the processor go with the database.
TEST_F(QueryTest, APreparedStatementRunsAgainWithoutBeingReadAgain) {
  const auto runWith = [&](std::int32_t id) {
    Query.Params()[0].Value.SetAsInteger(id);
    Query.ExecSQL();
  };
  Query.SetSQLText("delete from T where ID = :id");
  Query.Prepare();
  for (std::int32_t id : {1, 2, 3}) runWith(id);
  EXPECT_TRUE(Query.Prepared());
  EXPECT_EQ(Executor->Params, std::vector<std::string>{"id=3:" + std::to_string(bftInteger)});
  EXPECT_EQ(Executor->TokenValues, std::vector<std::string>{"1"});
  // A value of another kind may be read otherwise: the text is read again.
  Query.Params()[0].DataType = ftString;
  Query.Params()[0].Value.SetAsString("4");
  Query.ExecSQL();
  EXPECT_EQ(Executor->TokenValues, std::vector<std::string>{"4"});
  Query.UnPrepare();
  EXPECT_FALSE(Query.Prepared());

  // Without Prepare every run reads the text.
  for (std::int32_t id : {5, 6}) runWith(id);
  EXPECT_FALSE(Query.Prepared());
  EXPECT_EQ(Executor->TokenValues, std::vector<std::string>{"6"});

  // A SELECT that reads columns of one table runs again; one that
  // computes its rows is read again.
  const auto selectedTokens = [&](const char* sql) {
    Query.SetSQLText(sql);
    Query.Params()[0].DataType = ftInteger;
    Query.Prepare();
    for (std::int32_t id : {7, 8}) {
      Query.Params()[0].Value.SetAsInteger(id);
      Query.Open();
      Query.Close();
    }
    return Executor->TokenValues;
  };
  EXPECT_EQ(selectedTokens("select * from T where ID = :id"), std::vector<std::string>{"7"});
  EXPECT_EQ(selectedTokens("select distinct ID from T where ID = :id"), std::vector<std::string>{"8"});
}

TEST_F(QueryTest, ErrorsOfEmptyTextsAndOpenQueries) {
  EXPECT_EQ(CodeAndMessage([&] { Query.Open(); }), std::make_pair(20034, std::string("No SQL statement available")));
  Query.SetSQLText("s");
  EXPECT_EQ(CodeAndMessage([&] { Query.Prepare(); }), std::make_pair(30142, std::string("No SQL statement available")));
  EXPECT_FALSE(Query.Prepared());
  Query.SetSQLText("select * from T");
  Query.Open();
  EXPECT_EQ(CodeAndMessage([&] { Query.Prepare(); }),
            std::make_pair(30141, std::string("Cannot perform this operation on an open dataset")));
  EXPECT_THROW(Query.ExecSQL(), EDatabaseError);
  TDataSource own;
  own.SetDataSet(&Query);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { Query.SetDataSource(&own); }), "Circular datalinks are not allowed");
}

TEST_F(QueryTest, ReadOnlyResultRefreshesByRunningAgain) {
  Query.SetSQLText("select * from T");
  Query.Open();
  const int runs = Executor->Runs;
  TQELTable table;
  table.SetDatabaseName("KUVO");
  table.SetTableName("T");
  table.Open();
  TQELVariant id;
  id.SetAsInteger(5);
  table.AppendRecord({id});
  Query.Refresh();
  EXPECT_EQ(Executor->Runs, runs + 1);
  EXPECT_EQ(Query.RecordCount(), 5);
}

TEST_F(QueryTest, DetailRunsAgainWhenTheMasterMoves) {
  TQELTable master;
  master.SetDatabaseName("KUVO");
  master.SetTableName("T");
  master.Open();
  TDataSource source;
  source.SetDataSet(&master);
  Query.SetSQLText("select * from T where ID = :ID");
  Query.SetDataSource(&source);
  Query.Open();
  EXPECT_EQ(Executor->Params, std::vector<std::string>{"ID=1:" + std::to_string(bftInteger)});
  master.Next();
  EXPECT_EQ(Executor->Params, std::vector<std::string>{"ID=2:" + std::to_string(bftInteger)});
  const int runs = Executor->Runs;
  master.SetRangeStart();
  EXPECT_EQ(Executor->Runs, runs);
  master.Cancel();
  Query.Close();
  Query.SetDataSource(nullptr);
}

}  // namespace
}  // namespace qel::test
