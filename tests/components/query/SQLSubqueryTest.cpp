// Subqueries in expressions run through the query component: scalar
// subqueries, IN and NOT IN, EXISTS, ALL and ANY over empty and non-empty
// results, correlated ones that read the outer row (qualified names
// choosing the query level), their errors, and a correlated subquery over
// a thousand outer rows run from one parse.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "SQLTestSupport.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

using TList = std::vector<std::string>;

class SQLSubqueryTest : public TSQLTest {
 protected:
  // The session keeps the temporary database the copies of grouped
  // subqueries make unless told not to; the fixture checks none is left.
  void SetUp() override {
    DefaultSession().SetKeepConnections(false);
    TSQLTest::SetUp();
    Exec("create table t1 (a integer, b varchar(10))");
    Exec("insert into t1 values (1, 'x'), (2, 'y'), (3, 'z'), (null, 'n')");
    Exec("create table t2 (k integer, v integer)");
    Exec("insert into t2 values (1, 10), (1, 11), (2, 20), (null, 99)");
    // t3 has a column named like t1's.
    Exec("create table t3 (a integer)");
    Exec("insert into t3 values (1), (5)");
    Exec("create table kosong (k integer)");
  }
  void TearDown() override {
    TSQLTest::TearDown();
    DefaultSession().SetKeepConnections(true);
  }
};

TEST_F(SQLSubqueryTest, SubqueriesGiveTheRowsOfTheirKind) {
  struct TCase {
    const char* Sql;
    TList Rows;
  };
  const TCase cases[] = {
      // IN and NOT IN.
      {"select a from t1 where a in (select k from t2) order by a", {"1|", "2|"}},
      {"select a from t1 where a not in (select k from t2 where k is not null) order by a", {"3|"}},
      // A NULL of the subquery matches nothing, as a NULL in an IN list
      // does, so NOT IN holds for 3 (SQLite answers NULL and drops it).
      {"select a from t1 where a not in (select k from t2) order by a", {"3|"}},
      {"select a from t1 where a in (select k from kosong)", {}},
      {"select a from t1 where a * 1.0 in (select k from t2) order by a", {"1|", "2|"}},
      // IN ignores case, over a list or a subquery alike.
      {"select b from t1 where b in (select upper(b) from t1 where a <= 2) order by b", {"x|", "y|"}},
      // Over no rows NOT IN holds even for the NULL a.
      {"select b from t1 where a not in (select k from kosong) order by b", {"n|", "x|", "y|", "z|"}},
      {"select a from t1 where a in (select k from t2 where v > (select min(v) from t2)) order by a",
       {"1|", "2|"}},
      // EXISTS, correlated and not.
      {"select a from t1 where exists (select * from t2 where t2.k = t1.a) order by a", {"1|", "2|"}},
      {"select b from t1 where not exists (select * from t2 where t2.k = t1.a) order by b", {"n|", "z|"}},
      {"select a from t1 where exists (select * from kosong)", {}},
      // Scalar subqueries: no row is NULL.
      {"select a from t1 where a = (select max(k) from t2)", {"2|"}},
      {"select a from t1 where a = (select k from t2 where v = 0)", {}},
      {"select a, (select v from t2 where k = 7) from t1 where a = 1", {"1|-|"}},
      {"select a from t1 where a > (select avg(a) from t1)", {"3|"}},
      {"select a, (select count(*) from t2 where t2.k = t1.a) from t1 order by a",
       {"-|0|", "1|2|", "2|1|", "3|0|"}},
      {"select x.a, (select max(v) from t2 where t2.k = x.a) from t1 x order by a",
       {"-|-|", "1|11|", "2|20|", "3|-|"}},
      // The qualifier picks the level: t1.a is the outer row's although t3
      // has an a too; the bare a is t3's own.
      {"select a, (select count(*) from t3 where t3.a = t1.a) from t1 order by a",
       {"-|0|", "1|1|", "2|0|", "3|0|"}},
      {"select a from t1 where a in (select a from t3)", {"1|"}},
      {"select a from t1 o where a = (select max(a) from t1 i where i.b <= o.b) order by a",
       {"1|", "2|", "3|"}},
      // ALL and ANY (SOME); over no rows ALL holds and ANY does not.
      {"select a from t1 where a > all (select k from t2 where k is not null)", {"3|"}},
      {"select a from t1 where a > all (select k from kosong) order by a", {"-|", "1|", "2|", "3|"}},
      {"select a from t1 where a > any (select k from kosong)", {}},
      {"select a from t1 where a > any (select k from t2) order by a", {"2|", "3|"}},
      {"select a from t1 where a = some (select k from t2) order by a", {"1|", "2|"}},
      {"select a from t1 where a <> all (select k from t2 where k is not null)", {"3|"}},
      {"select a from t1 where a * 10 < all (select v from t2 where t2.k = t1.a) order by a", {"-|", "3|"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    EXPECT_EQ(RowTexts(c.Sql), c.Rows);
  }
}

TEST_F(SQLSubqueryTest, SubqueriesOfTheWrongShapeAreRefused) {
  EXPECT_EQ(CodeAndMessage([&] { RowTexts("select a from t1 where a in (select k, v from t2)"); }),
            std::make_pair(20246, std::string("Subquery must have only one result field, but subquery's FieldCount=2")));
  EXPECT_EQ(CodeAndMessage([&] { RowTexts("select a from t1 where a = (select k from t2)"); }),
            std::make_pair(20247, std::string("Subquery must have only one row")));
  // Correlated: t1.a = 1 finds two rows.
  EXPECT_EQ(NativeErrorOf([&] { RowTexts("select a, (select v from t2 where t2.k = t1.a) from t1"); }), 20247);
  // Tokens left inside the parentheses.
  EXPECT_EQ(NativeErrorOf([&] { RowTexts("select a from t1 where a in (select k from t2 x y)"); }), 20260);
}

TEST_F(SQLSubqueryTest, DataChangesChooseTheirRowsBySubqueries) {
  EXPECT_EQ(Exec("update t1 set b = 'ada' where a in (select k from t2)"), 2);
  EXPECT_EQ(Exec("delete from t1 where not exists (select * from t2 where t2.k = t1.a)"), 2);
  EXPECT_EQ(RowTexts("select * from t1 order by a"), (TList{"1|ada|", "2|ada|"}));
}

TEST_F(SQLSubqueryTest, CorrelatedSubqueryOverAThousandRowsRunsFromOneParse) {
  const auto values = [](int from, int count) {
    std::string text;
    for (int i = from; i < from + count; ++i) text += (i > from ? ", (" : "(") + std::to_string(i) + ")";
    return text;
  };
  Exec("create table besar (n integer)");
  Exec("insert into besar values " + values(0, 1000));
  Exec("create table kecil (k integer)");
  Exec("insert into kecil values (3), (3), (7), (999), " + values(5000, 200));
  // Read through the index on k, the range must follow the outer row.
  for (const bool indexed : {false, true}) {
    SCOPED_TRACE(indexed ? "indexed" : "scanned");
    if (indexed) Exec("create index ix_k on kecil (k)");
    const auto start = std::chrono::steady_clock::now();
    const TList counts =
        Select("select n, (select count(*) from kecil where kecil.k = besar.n) as c from besar order by n", "c");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_EQ(counts.size(), 1000u);
    EXPECT_EQ(counts[3], "2");
    EXPECT_EQ(counts[7], "1");
    EXPECT_EQ(counts[999], "1");
    EXPECT_EQ(counts[500], "0");
    EXPECT_LT(elapsed, std::chrono::seconds(5));
  }
}

}  // namespace
}  // namespace qel::test
