// Statements run for real through the query component: tables made and
// filled with SQL, single-table SELECTs read live from the table (the
// glossary's five searches among them), transactions, and the errors of
// each.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FileCheckSupport.h"
#include "SQLTestSupport.h"
#include "components/QELQuery.h"
#include "memory/QELMemory.h"
#include "components/QELTable.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

class SQLExecutionTest : public TSQLTest {
 protected:
  void SetUp() override {
    TSQLTest::SetUp();
    Exec("create table tblKuvo (ISTILAH varchar(40) not null, DESKRIPSI memo, CATATAN memo, "
         "primary key (ISTILAH))");
    Exec("insert into tblKuvo values ('abakus', 'alat hitung', null), ('bit', 'satuan terkecil', 'biner'),"
         " ('bait', 'delapan bit', null), ('basis data', 'kumpulan data', null), ('cakram', 'media simpan', null)");
  }

  using TSQLTest::Select;
  // The terms of the result of `sql`.
  std::vector<std::string> Select(const std::string& sql) { return Select(sql, "ISTILAH"); }
};

TEST_F(SQLExecutionTest, TheGlossarySearches) {
  using TList = std::vector<std::string>;
  EXPECT_EQ(Select("select * from tblKuvo").size(), 5U);
  EXPECT_EQ(Select("select * from tblKuvo where ISTILAH ='bit'"), TList{"bit"});
  EXPECT_EQ(Select("select * from tblKuvo where ISTILAH ='tidak ada'"), TList{});
  EXPECT_EQ(Query->RecordCount(), 0);
  EXPECT_EQ(Select("select * from tblKuvo where ISTILAH Like '%ba%'"), (TList{"abakus", "bait", "basis data"}));
  EXPECT_EQ(Select("select * from tblKuvo where ISTILAH In('bit','cakram','nihil')"), (TList{"bit", "cakram"}));
  // Natural order is the order of insertion.
  EXPECT_EQ(Select("select * from tblKuvo where ISTILAH Like 'b%'"), (TList{"bit", "bait", "basis data"}));
  EXPECT_EQ(Select("select * from tblKuvo where ISTILAH ='bit'", "CATATAN"), TList{"biner"});
  EXPECT_TRUE(Query->ReadOnly());
}

TEST_F(SQLExecutionTest, ColumnsOrderAndParameters) {
  using TList = std::vector<std::string>;
  EXPECT_EQ(Select("select ISTILAH as T, DESKRIPSI from tblKuvo where ISTILAH Like 'ba%' order by 1 desc", "T"),
            (TList{"basis data", "bait"}));
  EXPECT_EQ(Query->FieldCount(), 2);
  EXPECT_EQ(Query->Fields(1).FieldName(), "DESKRIPSI");
  EXPECT_EQ(Select("select ISTILAH from tblKuvo order by ISTILAH desc").front(), "cakram");

  Query = std::make_unique<TQELQuery>();
  Query->SetDatabaseName("KUVO");
  Query->SetSQLText("select * from tblKuvo where ISTILAH = :term");
  Query->Params()[0].DataType = ftString;
  Query->Params()[0].Value.SetAsString("bait");
  Query->Open();
  ASSERT_EQ(Query->RecordCount(), 1);
  EXPECT_EQ(Query->FieldByName("DESKRIPSI").AsString(), "delapan bit");
}

TEST_F(SQLExecutionTest, InsertCountsRowsAndFailsWhole) {
  EXPECT_EQ(Exec("insert into tblKuvo (ISTILAH) values ('data'), ('disk')"), 2);
  EXPECT_EQ(Select("select * from tblKuvo").size(), 7U);
  // The second row breaks the primary key: the first is not kept either.
  EXPECT_THROW(Exec("insert into tblKuvo (ISTILAH) values ('elips'), ('bit')"), EQELEngineError);
  EXPECT_EQ(Select("select * from tblKuvo where ISTILAH ='elips'").size(), 0U);
  EXPECT_EQ(Select("select * from tblKuvo").size(), 7U);
}

TEST_F(SQLExecutionTest, TransactionsAcrossStatements) {
  Exec("start transaction; insert into tblKuvo (ISTILAH) values ('fana'); rollback");
  EXPECT_EQ(Select("select * from tblKuvo where ISTILAH ='fana'").size(), 0U);
  Exec("start transaction; insert into tblKuvo (ISTILAH) values ('fana'); commit flush");
  EXPECT_EQ(Select("select * from tblKuvo where ISTILAH ='fana'").size(), 1U);
  EXPECT_FALSE(Database->InTransaction());
}

TEST_F(SQLExecutionTest, DefinitionStatements) {
  Exec("create table tx (id integer, name varchar(10))");
  EXPECT_EQ(CodeAndMessage([&] { Exec("create table tx (id integer)"); }),
            std::make_pair(30247, std::string("Cannot create table. Table 'tx' already exists")));
  Exec("create table if not exists tx (id integer)");
  Exec("insert into tx values (2, 'b'), (1, 'a')");
  Exec("create index ix_name on tx (name desc)");
  TQELTable table;
  table.SetDatabaseName("KUVO");
  table.SetTableName("tx");
  table.UpdateIndexDefs();
  ASSERT_NE(table.IndexDefs().Find("ix_name"), nullptr);
  EXPECT_EQ(table.IndexDefs().Find("ix_name")->DescFields, "name");
  Exec("drop index tx.ix_name");
  table.IndexDefs().Updated = false;
  table.UpdateIndexDefs();
  EXPECT_EQ(table.IndexDefs().Find("ix_name"), nullptr);
  EXPECT_EQ(Select("select * from tx order by name desc", "id"), (std::vector<std::string>{"2", "1"}));
  Query.reset();
  Exec("truncate table tx");
  EXPECT_EQ(Select("select * from tx", "id").size(), 0U);
  Query.reset();
  Exec("drop table tx");
  EXPECT_FALSE(table.Exists());
  Exec("drop table tx");  // a missing table is no error
}

TEST_F(SQLExecutionTest, ErrorsOfPlanningOneTable) {
  EXPECT_EQ(CodeAndMessage([&] { Select("select * from nosuch"); }).first, 10303);
  EXPECT_EQ(CodeAndMessage([&] { Select("select NOPE from tblKuvo"); }),
            std::make_pair(10305, std::string("Cannot find field NOPE")));
  EXPECT_EQ(CodeAndMessage([&] { Select("select * from tblKuvo order by 9"); }),
            std::make_pair(20243, std::string("Invalid field number in ORDER BY clause: 9")));
  EXPECT_EQ(CodeAndMessage([&] { Select("select * from tblKuvo order by NOPE"); }),
            std::make_pair(30195, std::string("Column 'NOPE' from ORDER BY clause not found")));
  EXPECT_NE(CodeAndMessage([&] { Select("select * from tblKuvo where NOPE = 1"); }).first, 0);
  // Nothing was left open or locked: the table still takes changes.
  EXPECT_EQ(Exec("insert into tblKuvo (ISTILAH) values ('galat')"), 1);
}

// What a live read cannot deliver is copied into a temporary table.
class SQLMaterialisedTest : public SQLExecutionTest {
 protected:
  // The session keeps the temporary database it makes for the copies
  // unless told not to; the fixture checks that none is left.
  void SetUp() override {
    DefaultSession().SetKeepConnections(false);
    SQLExecutionTest::SetUp();
    Exec("create table n (g integer, v integer, s varchar(10))");
    Exec("insert into n values (1, 10, 'a'), (2, 20, 'b'), (1, 30, 'a'), (3, null, 'c'), (2, 40, 'b'), (1, 50, 'a')");
  }
  void TearDown() override {
    Query.reset();
    DefaultSession().SetKeepConnections(true);
    SQLExecutionTest::TearDown();
  }
};

// Computed columns hold their whole values: a memo through COALESCE beside
// a shorter text, and the bytes MIMETOBIN decodes.
// Alone on its file a table stays open between statements; whatever
// changed it in between must show in the next statement.
TEST_F(SQLMaterialisedTest, TablesKeptOpenBetweenStatementsFollowEveryChange) {
  Exec("create table kept (id autoinc, name varchar(10))");
  Exec("insert into kept (name) values ('a'), ('b')");
  // Rows, record counts and sequence values a rollback undoes.
  Exec("start transaction; insert into kept (name) values ('c'), ('d'); rollback");
  EXPECT_EQ(RowTexts("select count(*) from kept"), std::vector<std::string>{"2|"});
  Exec("insert into kept (name) values ('e')");
  EXPECT_EQ(RowTexts("select id, name from kept where name = 'e'"), std::vector<std::string>{"3|e|"});
  // Definitions changed by a restructure, a drop and a new table of the same name.
  Exec("alter table kept add extra integer");
  EXPECT_EQ(RowTexts("select * from kept where id = 1"), std::vector<std::string>{"1|a|-|"});
  Exec("create index ix_kept on kept (name)");
  EXPECT_EQ(Select("select * from kept where name >= 'b'", "name"), (std::vector<std::string>{"b", "e"}));
  Query.reset();
  Exec("drop table kept");
  Exec("create table kept (word varchar(5) not null, primary key (word))");
  Exec("insert into kept values ('x')");
  EXPECT_EQ(RowTexts("select * from kept"), std::vector<std::string>{"x|"});
  Exec("rename table kept to renamed");
  EXPECT_EQ(RowTexts("select * from renamed"), std::vector<std::string>{"x|"});
  EXPECT_THROW(Exec("insert into renamed values ('x')"), EQELEngineError);
  EXPECT_EQ(RowTexts("select count(*) from renamed"), std::vector<std::string>{"1|"});
  Database->Close();
  EXPECT_EQ(FaultsOf(FileName, ""), std::vector<std::string>{});
  Database->Open();
}

TEST_F(SQLMaterialisedTest, ComputedColumnsKeepWholeValues) {
  Exec("create table catatan (id integer, m memo)");
  Exec("insert into catatan values (1, 'catatan yang cukup panjang'), (2, null)");
  EXPECT_EQ(Select("select id, coalesce(m, 'kosong') as k from catatan order by id", "k"),
            (std::vector<std::string>{"catatan yang cukup panjang", "kosong"}));
  EXPECT_EQ(Select("select mimetobin('aGFsbyBkdW5pYQ==') as b from catatan where id = 1", "b"),
            std::vector<std::string>{"halo dunia"});
}


TEST_F(SQLMaterialisedTest, AggregatesAndGroups) {
  using TList = std::vector<std::string>;
  EXPECT_EQ(Select("select count(*) as c from n", "c"), TList{"6"});
  EXPECT_EQ(Select("select count(*) as c from n where g = 1", "c"), TList{"3"});
  EXPECT_EQ(Select("select count(v) as c, sum(v) as t from n", "t"), TList{"150"});
  EXPECT_EQ(Select("select g, sum(v) as t from n group by g", "t"), (TList{"90", "60", ""}));
  EXPECT_EQ(Select("select g, count(*) as c from n group by g having count(*) > 1 order by 2 desc", "g"),
            (TList{"1", "2"}));
  EXPECT_EQ(Select("select count(*) as c from n where g = 9", "c"), TList{"0"});
  EXPECT_EQ(CodeAndMessage([&] { Select("select v, count(*) from n group by g"); }).first, 10342);
  EXPECT_EQ(CodeAndMessage([&] { Select("select count(*) from n group by nope"); }).first, 20245);
}

TEST_F(SQLMaterialisedTest, LastAutoincReadsTheSessionsLastValue) {
  Exec("create table numbered (id autoinc, name varchar(10))");
  Exec("insert into numbered (name) values ('x'), ('y'), ('z')");
  EXPECT_EQ(Select("select top 1 lastautoinc(numbered, id) as v from numbered", "v"), std::vector<std::string>{"3"});
  EXPECT_EQ(CodeAndMessage([&] { Select("select top 1 lastautoinc(numbered, nope) as v from numbered", "v"); }),
            std::make_pair(30337, std::string("Field 'nope' not found")));
}

// TOP over an ORDER BY picks its rows in one walk instead of an index over
// the table: every slice must be the full sort's, ties (equal keys, NULLs,
// long values equal in their first 40 characters) in the same order.
TEST_F(SQLMaterialisedTest, TopRowsAreSlicesOfTheFullSort) {
  using TList = std::vector<std::string>;
  Exec("create table tt (id integer, g integer, s varchar(60), f float)");
  std::string values;
  for (int id = 1; id <= 300; ++id) {
    const std::string g = id % 11 == 0 ? "null" : std::to_string(id % 7);
    const std::string prefix = std::string(40, id % 2 == 0 ? 'k' : 'K');
    const std::string s = id % 13 == 0 ? "null" : "'" + prefix + std::to_string((id * 17) % 23) + "'";
    values += (values.empty() ? "" : ", ") + ("(" + std::to_string(id) + ", " + g + ", " + s + ", " +
                                              std::to_string((id * 37) % 50) + " / 4.0)");
  }
  Exec("insert into tt values " + values);
  const char* orders[] = {"g", "g desc, id", "s", "s desc, g", "f, g desc", "g, s desc, f"};
  const std::pair<int, int> slices[] = {{10, 1}, {20, 5}, {50, 290}, {0, 1}, {1000, 1}, {1, 300}};
  for (const char* where : {"", " where g is not null and id > 20"}) {
    for (const char* order : orders) {
      SCOPED_TRACE(std::string(order) + where);
      const TList full = Select(std::string("select id from tt") + where + " order by " + order, "id");
      for (const auto& [count, start] : slices) {
        TList expected(full.begin() + std::min<std::size_t>(full.size(), start - 1), full.end());
        expected.resize(std::min<std::size_t>(expected.size(), count));
        EXPECT_EQ(Select("select top " + std::to_string(count) + ", " + std::to_string(start) + " * from tt" +
                             where + " order by " + order,
                         "id"),
                  expected)
            << "top " << count << ", " << start;
      }
    }
  }
}

// Groups are sorted in memory, or read through an index when a BLOB value
// is read or the rows are too many to hold: all three give the same groups
// in the same order.
TEST_F(SQLMaterialisedTest, GroupsSortedInMemoryMatchGroupsReadThroughAnIndex) {
  Exec("create table gg (id integer, g integer, s varchar(8), v integer, m memo)");
  std::string values;
  for (int id = 1; id <= 2000; ++id) {
    const std::string g = id % 17 == 0 ? "null" : std::to_string((id * 7) % 9);
    const std::string s = id % 13 == 0 ? "null" : "'" + std::string(1, "aAbB"[id % 4]) + std::to_string(id % 5) + "'";
    values += (values.empty() ? "" : ", ") + ("(" + std::to_string(id) + ", " + g + ", " + s + ", " +
                                              std::to_string(id * 3 % 101) + ", 'memo " + std::to_string(id) + "')");
  }
  Exec("insert into gg values " + values);
  const std::string aggregates = "count(*) as c, sum(v) as sv, min(id) as mi, max(v) as xv";
  const std::string queries[] = {"select g, " + aggregates + " from gg group by g",
                                 "select s, g, " + aggregates + " from gg where id > 30 group by s, g",
                                 "select g, s, " + aggregates + " from gg group by g, s having count(*) > 2"};
  for (const std::string& query : queries) {
    SCOPED_TRACE(query);
    const std::vector<std::string> inMemory = RowTexts(query);
    ASSERT_GT(inMemory.size(), 5U);
    // Reading a BLOB value makes the rows go through an index.
    const std::string withBlob = query;
    std::vector<std::string> throughIndex =
        RowTexts(std::string(withBlob).insert(withBlob.find(" from"), ", max(length(m)) as lm"));
    for (std::string& row : throughIndex) row.erase(row.rfind('|', row.size() - 2) + 1);
    EXPECT_EQ(throughIndex, inMemory);
    // Too many rows to hold in memory: the walk starts over through an index.
    TQELMemoryManager& memory = QELMemoryManager();
    const std::int64_t oldLimit = memory.MemoryLimit();
    memory.SetMemoryLimit(memory.AllocatedBytes() + 1000000);
    std::vector<std::string> tooMany;
    try {
      tooMany = RowTexts(query);
    } catch (...) {
      memory.SetMemoryLimit(oldLimit);
      throw;
    }
    memory.SetMemoryLimit(oldLimit);
    EXPECT_EQ(tooMany, inMemory);
  }
}

TEST_F(SQLMaterialisedTest, AggregateEdges) {
  using TList = std::vector<std::string>;
  Exec("create table e (a integer)");
  EXPECT_EQ(Select("select count(*) as c, sum(a) as s from e", "c"), TList{"0"});
  EXPECT_EQ(Query->FieldByName("s").IsNull(), true);
  EXPECT_EQ(Select("select count(distinct s) as c from n", "c"), TList{"3"});
  Exec("create table big (a integer)");
  Exec("insert into big values (2000000000), (2000000000), (2000000000)");
  EXPECT_EQ(Select("select sum(a) as s from big", "s"), TList{"6000000000"});
  EXPECT_EQ(Select("select top 0 v from n", "v"), TList{});
  EXPECT_EQ(Select("select distinct v / 10 as d from n where v is not null order by 1", "d").size(), 5U);
  EXPECT_EQ(CodeAndMessage([&] { Exec("commit"); }).first, 20229);
}

TEST_F(SQLMaterialisedTest, ComputedColumnsDistinctAndTop) {
  using TList = std::vector<std::string>;
  EXPECT_EQ(Select("select v * 2 as d from n where g = 2", "d"), (TList{"40", "80"}));
  EXPECT_EQ(Select("select distinct s from n", "s"), (TList{"a", "b", "c"}));
  EXPECT_EQ(Select("select distinct g, s from n order by g desc", "g"), (TList{"3", "2", "1"}));
  EXPECT_EQ(Select("select top 2 v from n order by v desc", "v"), (TList{"50", "40"}));
  EXPECT_EQ(Select("select top 2, 3 v from n order by v", "v"), (TList{"20", "30"}));
  // A second column of the same name takes the first free suffix.
  Select("select s, g as s, v as s from n", "s");
  ASSERT_EQ(Query->FieldCount(), 3);
  EXPECT_EQ(Query->Fields(1).FieldName(), "s_1");
  EXPECT_EQ(Query->Fields(2).FieldName(), "s_2");
  EXPECT_TRUE(Query->ReadOnly());
}

}  // namespace
}  // namespace qel::test
namespace qel::test {
namespace {

// A query opened again, on a file opened again, starts at its first row
// and reads each row's own memo (with or without a password and an
// explicit transaction when the rows were written).
TEST_F(SQLExecutionTest, ReopenedQueriesStartAtTheirFirstRow) {
  for (int variant = 0; variant < 4; ++variant) {
    const bool password = (variant & 1) != 0;
    const bool explicitTransaction = (variant & 2) != 0;
    SCOPED_TRACE(variant);
    TScratchDir dir;
    {
      TQELDatabase database;
      database.SetDatabaseName("MK");
      database.SetDatabaseFileName(dir.File("x.qel"));
      if (password) database.SetPassword("pw");
      database.CreateDatabase();
      database.SetConnected(true);
      TQELQuery query;
      query.SetDatabaseName("MK");
      query.SetSQLText("create table t (a varchar(10), m memo)");
      query.ExecSQL();
      if (explicitTransaction) database.StartTransaction();
      query.SetSQLText("insert into t values ('x', 'memo of x'), ('y', 'memo of y'), ('z', '" +
                       std::string(300, 'z') + "')");
      query.ExecSQL();
      if (explicitTransaction) database.Commit(true);
      database.SetConnected(false);
    }
    TQELDatabase again;
    again.SetDatabaseName("MK");
    again.SetDatabaseFileName(dir.File("x.qel"));
    if (password) again.SetPassword("pw");
    again.SetConnected(true);
    TQELQuery query;
    query.SetDatabaseName("MK");
    const std::pair<const char*, const char*> reads[] = {
        {"select * from t where a = 'y'", "memo of y"},
        {"select * from t", "memo of x"},
        {"select m from t where a = 'z'", nullptr},
    };
    for (const auto& [sql, memo] : reads) {
      query.SetSQLText(sql);
      query.Open();
      EXPECT_EQ(query.FieldByName("m").AsString(), memo != nullptr ? memo : std::string(300, 'z')) << sql;
      query.Close();
    }
  }
}

// Literals of every kind reach the columns they are written for: a time of
// day and bytes given as text among them.
TEST_F(SQLExecutionTest, TextLiteralsIntoTimeAndByteColumns) {
  Exec("create table jenis (id integer, t time, d date, b bytes(3), vb varbytes(8))");
  Exec("insert into jenis values (1, '13:45:10', '2024-02-29', 'abc', 'ab')");
  EXPECT_EQ(Select("select * from jenis", "t"), std::vector<std::string>{"13:45:10"});
  EXPECT_EQ(Query->FieldByName("b").AsBytes(), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  // (Byte strings keep no length of their own: the rest is zeros.)
  EXPECT_EQ(Query->FieldByName("vb").AsBytes(), (std::vector<std::uint8_t>{'a', 'b', 0, 0, 0, 0, 0, 0}));
  // A value read from a bytes column goes into another one unchanged.
  Exec("update jenis set vb = b");
  Select("select * from jenis", "id");
  EXPECT_EQ(Query->FieldByName("vb").AsBytes(), (std::vector<std::uint8_t>{'a', 'b', 'c', 0, 0, 0, 0, 0}));
}

TEST_F(SQLExecutionTest, MemoParameters) {
  // Typed as strings, and as memos (text all the same).
  for (const TFieldType memoType : {ftString, ftMemo}) {
    const std::string key = memoType == ftMemo ? "zm" : "zz";
    TQELQuery query;
    query.SetDatabaseName("KUVO");
    query.SetSQLText("insert into tblKuvo values (:a, :b, :c)");
    query.Params()[0].DataType = ftString;
    query.Params()[1].DataType = memoType;
    query.Params()[2].DataType = memoType;
    query.Params()[0].Value.SetAsString(key);
    query.Params()[1].Value.SetAsString("memo text");
    query.Params()[2].Value.SetAsString("notes");
    query.ExecSQL();
    const std::string where = "select * from tblKuvo where ISTILAH = '" + key + "'";
    EXPECT_EQ(Select(where, "DESKRIPSI"), std::vector<std::string>{"memo text"});
    EXPECT_EQ(Select(where, "CATATAN"), std::vector<std::string>{"notes"});
  }
}

}  // namespace
}  // namespace qel::test
