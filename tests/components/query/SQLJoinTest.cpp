// Joins: every join type over inputs with repeated and NULL keys and over
// empty inputs, with residual ON conditions, WHERE conditions that must not
// reach below an outer join, self-joins, derived tables and several tables;
// each query's rows are compared with SQLite's over the same rows.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "SQLTestSupport.h"
#include "SqlitePeer.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

using TList = std::vector<std::string>;

// The fixture's tables, made alike here and in SQLite.
const char* const kFixture[] = {
    "create table a (k integer, v varchar(10))",
    "create table b (k integer, w varchar(10), m memo)",
    "create table c (k integer, n integer)",
    "create table e (k integer, x integer)",
    "insert into a values (1, 'satu'), (2, 'dua'), (2, 'dua lagi'), (3, 'tiga'), (null, 'kosong'), (5, 'lima')",
    "insert into b values (2, 'x', 'catatan dua'), (2, 'y', null), (3, 'x', 'catatan tiga'), (4, 'empat', null), "
    "(null, 'nihil', 'tanpa kunci'), (1, null, null)",
    "insert into c values (1, 10), (2, 20), (3, 30), (3, 31)",
    // Keys of other numeric types, which meet a's integers by value.
    "create table f (d double, s smallint, l largeint, b byte)",
    "insert into f values (2.0, 2, 2, 2), (3.5, 3, 3, 3), (1.0, -1, 4294967297, 1), (5.0, 5, 5, 200)",
};

class SQLJoinTest : public TSQLTest {
 protected:
  void SetUp() override {
    TSQLTest::SetUp();
    // The session's temporary database must not outlive the test.
    DefaultSession().SetKeepConnections(false);
    for (const char* statement : kFixture) {
      Exec(statement);
      ASSERT_TRUE(FPeer.Exec(statement)) << statement;
    }
  }
  void TearDown() override {
    Query.reset();
    DefaultSession().SetKeepConnections(true);
    TSQLTest::TearDown();
  }

  static TList Sorted(TList rows) {
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  TSqlitePeer FPeer;
};

TEST_F(SQLJoinTest, JoinsGiveSQLitesRows) {
  const char* const queries[] = {
      // Comma lists keyed by WHERE equalities, and without keys.
      "select a.k, v, w from a, b where a.k = b.k",
      "select a.k, b.k from a, b",
      "select a.k, v, w from a, b where b.k = a.k and v <> 'dua'",
      "select a.k, v, w from a, b where a.k < b.k",
      "select a.v, c.n, b.w from a, b, c where a.k = b.k and b.k = c.k",
      // Inner joins, with a condition on one side placed on its table.
      "select * from a inner join b on a.k = b.k",
      "select a.k, v, w from a join b on a.k = b.k and b.w = 'x'",
      "select a.k, b.k from a cross join b",
      // Outer joins: unmatched rows with NULLs, residual ON conditions.
      "select a.k, v, b.k, w, m from a left join b on a.k = b.k",
      "select a.k, v, b.k, w from a left join b on a.k = b.k and b.w = 'x'",
      "select a.k, v, b.k, w from a left outer join b on a.k = b.k and a.v = 'dua'",
      "select a.k, v, b.k, w from a right join b on a.k = b.k",
      "select a.k, v, b.k, w from a full join b on a.k = b.k",
      "select a.k, v, b.k, w from a full outer join b on a.k = b.k and b.k <> 3",
      // WHERE over an outer join is judged on the joined rows.
      "select a.k, v from a left join b on a.k = b.k where b.w is null",
      "select a.k, v, w from a left join b on a.k = b.k where b.k = 2",
      // Empty inputs.
      "select * from a join e on a.k = e.k",
      "select a.k, e.x from a left join e on a.k = e.k",
      "select a.k, e.x from e left join a on a.k = e.k",
      "select a.k, e.x from a full join e on a.k = e.k",
      "select a.k, e.k from a, e",
      // Self-joins, USING and NATURAL, a derived table, nested joins.
      "select x.k, x.v, y.v from a x, a y where x.k = y.k",
      "select v, w from a join b using (k)",
      "select v, w from a natural join b",
      "select d.k, w from (select k from a where k > 1) d join b on d.k = b.k",
      "select a.v, b.w, c.n from a left join b on a.k = b.k join c on c.k = a.k",
      "select a.v, b.w, c.n from a join (b join c on b.k = c.k) on a.k = b.k",
      // The rest of the block over the joined rows.
      "select a.k, count(*) from a join b on a.k = b.k group by a.k",
      "select distinct w from a join b on a.k = b.k",
      "select a.k + c.n as s from a, c where a.k = c.k and c.n > 15",
      // Keys of different numeric types (a FLOAT is not listed: it prints
      // as 2 here and as 2.0 in SQLite).
      "select a.k, v, f.s from a join f on a.k = f.d",
      "select a.k, f.s, f.l from a, f where a.k = f.s",
      "select a.k, f.l from a left join f on f.l = a.k",
      "select f.s, f.b from f join c on f.b = c.k",
      "select x.l, y.s from f x join f y on x.d = y.s",
  };
  for (const char* sql : queries) {
    SCOPED_TRACE(sql);
    EXPECT_EQ(Sorted(RowTexts(sql)), Sorted(FPeer.Rows(sql)));
  }
}

TEST_F(SQLJoinTest, ColumnsKeepTheirOrderAndNames) {
  // a has more rows than c: the join holds c in memory, the columns still
  // come left first.
  Select("select * from a join c on a.k = c.k order by n", nullptr);
  ASSERT_EQ(Query->FieldCount(), 4);
  EXPECT_EQ(Query->Fields(0).FieldName(), "k");
  EXPECT_EQ(Query->Fields(1).FieldName(), "v");
  EXPECT_EQ(Query->Fields(2).FieldName(), "k_1");
  EXPECT_EQ(Query->Fields(3).FieldName(), "n");
  Query.reset();
  EXPECT_EQ(RowTexts("select c.n, a.v from a join c on a.k = c.k order by c.n desc"),
            (TList{"31|tiga|", "30|tiga|", "20|dua|", "20|dua lagi|", "10|satu|"}));
  EXPECT_EQ(RowTexts("select b.k, a.k from a join b on a.k = b.k where a.k = 3"), (TList{"3|3|"}));
  // A join result is a copy: it cannot be edited.
  Select("select * from a join c on a.k = c.k", nullptr);
  EXPECT_FALSE(Query->CanModify());
}

TEST_F(SQLJoinTest, BadJoinsRaiseTheirErrors) {
  // An unqualified key column both inputs have.
  EXPECT_EQ(NativeErrorOf([&] { RowTexts("select * from a, b where k = b.k"); }), 10404);
  EXPECT_EQ(NativeErrorOf([&] { RowTexts("select * from a, b where a.k = k"); }), 10405);
  // An ON condition over a column neither input of the join has.
  EXPECT_EQ(NativeErrorOf([&] { RowTexts("select * from a join b on a.k = c.k join c on c.k = a.k"); }), 20270);
  EXPECT_EQ(NativeErrorOf([&] { RowTexts("select * from a join b using (n)"); }), 10331);
}

}  // namespace
}  // namespace qel::test
