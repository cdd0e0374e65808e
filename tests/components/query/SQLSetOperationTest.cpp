// UNION, INTERSECT and EXCEPT (MINUS) with and without ALL and
// CORRESPONDING, run through the query component over a small fixture
// with repeated rows and NULLs: which rows come out and how often, the
// result's column types, ORDER BY over the whole expression, and the
// errors of mismatched inputs.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "SQLTestSupport.h"
#include "components/query/QELPlan.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

using TRows = std::vector<std::string>;

class SQLSetOperationTest : public TSQLTest {
 protected:
  // The session keeps the temporary database it makes for the results
  // unless told not to; the fixture checks that none is left.
  void SetUp() override {
    DefaultSession().SetKeepConnections(false);
    TSQLTest::SetUp();
    // p: (1,x) x3, (2,y), (-,z) x2, (3,-) x2
    // q: (1,x) x2, (2,Y), (-,z), (3,-) x3, (4,w) x2
    Exec("create table p (a integer, b varchar(10))");
    Exec("insert into p values (1,'x'), (1,'x'), (1,'x'), (2,'y'), (null,'z'), (null,'z'), (3,null), (3,null)");
    Exec("create table q (a largeint, b varchar(20))");
    Exec("insert into q values (1,'x'), (1,'x'), (2,'Y'), (null,'z'), (3,null), (3,null), (3,null), (4,'w'),"
         " (4,'w')");
    Exec("create table r (a float, b varchar(30))");
    Exec("insert into r values (1.0,'x'), (2.5,'kata yang cukup panjang sekali')");
    Exec("create table s (b varchar(10), d integer)");
    Exec("insert into s values ('x', 7), ('baru', 8), (null, 9)");
    Exec("create table besar (a largeint)");
    Exec("insert into besar values (1), (5000000000)");
  }

  void TearDown() override {
    Query.reset();
    DefaultSession().SetKeepConnections(true);
    TSQLTest::TearDown();
  }

  TRows Sorted(const std::string& sql) {
    TRows rows = RowTexts(sql);
    std::sort(rows.begin(), rows.end());
    return rows;
  }
};

struct TSetCase {
  const char* Sql;
  TRows Rows;  // sorted
};

TEST_F(SQLSetOperationTest, RowsAndCounts) {
  const TSetCase cases[] = {
      {"select * from p union select * from q", {"-|z|", "1|x|", "2|Y|", "2|y|", "3|-|", "4|w|"}},
      {"select * from p intersect select * from q", {"-|z|", "1|x|", "3|-|"}},
      // INTERSECT ALL keeps the smaller count of each row.
      {"select * from p intersect all select * from q", {"-|z|", "1|x|", "1|x|", "3|-|", "3|-|"}},
      {"select * from p except select * from q", {"2|y|"}},
      {"select * from p minus select * from q", {"2|y|"}},
      {"select * from q except select * from p", {"2|Y|", "4|w|"}},
      // EXCEPT ALL keeps what the left count exceeds the right one by.
      {"select * from p except all select * from q", {"-|z|", "1|x|", "2|y|"}},
      {"select * from q except all select * from p", {"2|Y|", "3|-|", "4|w|", "4|w|"}},
      // Duplicates within one input go too.
      {"select * from p union select * from p", {"-|z|", "1|x|", "2|y|", "3|-|"}},
      {"select b from p intersect select b from p", {"-|", "x|", "y|", "z|"}},
      {"select a from p except select a from besar", {"-|", "2|", "3|"}},
      {"select a from p intersect select a from q where a > 10", {}},
      // Left-nested, INTERSECT binding tighter, parentheses.
      {"select * from p union select * from q except select * from q", {"2|y|"}},
      {"select * from p except select * from q union select * from q where a = 4", {"2|y|", "4|w|"}},
      {"select * from q where a = 4 union select * from q intersect select * from p",
       {"-|z|", "1|x|", "3|-|", "4|w|"}},
      {"select * from p union (select * from q except select * from p)",
       {"-|z|", "1|x|", "2|Y|", "2|y|", "3|-|", "4|w|"}},
      {"(select * from p intersect select * from q) except (select * from q where a = 1)", {"-|z|", "3|-|"}},
      // Inputs with grouping, DISTINCT and TOP of their own.
      {"select a from p group by a union all select a from q where a > 3", {"-|", "1|", "2|", "3|", "4|", "4|"}},
      {"select distinct b from q union all select b from s where d = 8", {"-|", "Y|", "baru|", "w|", "x|", "z|"}},
      {"select top 2 a from q order by a desc union select a from p", {"-|", "1|", "2|", "3|", "4|"}},
      {"select count(*) from p union all select count(*) from q", {"8|", "9|"}},
  };
  for (const TSetCase& c : cases) EXPECT_EQ(Sorted(c.Sql), c.Rows) << c.Sql;
}

TEST_F(SQLSetOperationTest, UnionAllKeepsEveryRow) {
  EXPECT_EQ(RowTexts("select * from p union all select * from q").size(), 17U);
  EXPECT_EQ(RowTexts("select * from p union all select * from p union select * from q").size(), 6U);
}

TEST_F(SQLSetOperationTest, ColumnsHoldBothSides) {
  // 1 and 1.0 are one value; the float column keeps 2.5 and the longer
  // string is not cut to the left side's size.
  EXPECT_EQ(Sorted("select * from p union select * from r"),
            (TRows{"-|z|", "1|x|", "2.5|kata yang cukup panjang sekali|", "2|y|", "3|-|"}));
  Select("select a, b from p union select a, b from r", nullptr);
  EXPECT_EQ(Query->Fields(0).DataType(), ftFloat);
  EXPECT_EQ(Query->Fields(0).FieldName(), "a");
  Query.reset();
  EXPECT_EQ(Sorted("select a from p union select a from besar"), (TRows{"-|", "1|", "2|", "3|", "5000000000|"}));
  // Names come from the left input.
  Select("select b as kata from s union select b from p", nullptr);
  EXPECT_EQ(Query->Fields(0).FieldName(), "kata");
  EXPECT_EQ(Query->RecordCount(), 5);
}

// Memo values are compared by their text and kept whole; a memo meets a
// string column as a memo.
TEST_F(SQLSetOperationTest, MemoColumns) {
  const std::string longText(3000, 'k');
  Exec("create table catatan (id integer, m memo)");
  Exec("insert into catatan values (1, 'pendek'), (2, '" + longText + "'), (3, null), (4, 'pendek')");
  EXPECT_EQ(Sorted("select m from catatan union select m from catatan"), (TRows{"-|", longText + "|", "pendek|"}));
  EXPECT_EQ(Sorted("select m from catatan intersect select b from p"), TRows{"-|"});
  EXPECT_EQ(Sorted("select b from p union select m from catatan where id < 3"),
            (TRows{"-|", longText + "|", "pendek|", "x|", "y|", "z|"}));
  EXPECT_EQ(Sorted("select id, m from catatan except all select id, m from catatan where id > 2"),
            (TRows{"1|pendek|", "2|" + longText + "|"}));
}

TEST_F(SQLSetOperationTest, CorrespondingColumns) {
  const TSetCase cases[] = {
      // Only b is in both.
      {"select * from p union corresponding select * from s", {"-|", "baru|", "x|", "y|", "z|"}},
      {"select * from p except corresponding select * from s", {"y|", "z|"}},
      {"select * from s intersect corresponding by (b) select * from p", {"-|", "x|"}},
      {"select a, b from p union all corresponding by (b, a) select b, a from q where a = 4",
       {"-|3|", "-|3|", "w|4|", "w|4|", "x|1|", "x|1|", "x|1|", "y|2|", "z|-|", "z|-|"}},
  };
  for (const TSetCase& c : cases) EXPECT_EQ(Sorted(c.Sql), c.Rows) << c.Sql;
}

TEST_F(SQLSetOperationTest, OrderByOverTheWhole) {
  EXPECT_EQ(RowTexts("select a from p union select a from q order by 1 desc"),
            (TRows{"4|", "3|", "2|", "1|", "-|"}));
  EXPECT_EQ(RowTexts("select a from p union select a from q order by A"), (TRows{"-|", "1|", "2|", "3|", "4|"}));
  EXPECT_EQ(RowTexts("select b, a from p except all select b, a from q order by a desc, b"),
            (TRows{"y|2|", "x|1|", "z|-|"}));
  EXPECT_EQ(RowTexts("select a as n from p intersect select a from q order by n"), (TRows{"-|", "1|", "2|", "3|"}));
}

TEST_F(SQLSetOperationTest, Errors) {
  const auto code = [&](const std::string& sql) { return NativeErrorOf([&] { RowTexts(sql); }); };
  EXPECT_EQ(code("select a from p union select a, b from q"), 10338);
  EXPECT_EQ(code("select a, b from p intersect select a from q"), 10338);
  EXPECT_EQ(code("select a from p union corresponding select d from s"), 10337);
  EXPECT_EQ(code("select * from p union corresponding by (a) select * from s"), 10339);
  EXPECT_EQ(code("select * from p union corresponding by (a, b) select * from s"), 10338);
  EXPECT_EQ(code("select * from p union corresponding by (nihil) select * from s"), 10305);
  EXPECT_EQ(code("select a from p union select a from q order by b"), 30195);
  EXPECT_EQ(code("select a from p union select a from q order by 2"), 20243);
  EXPECT_EQ(code("select a from p union select a from nihil"), 10303);
  EXPECT_EQ(CodeAndMessage([&] { RowTexts("select a from p except select a, b from q"); }),
            (std::pair<std::int32_t, std::string>{10338, "Error - different lists length. L1 = 1, L2 = 2"}));
  // A failure leaves nothing behind: the next statement runs.
  EXPECT_EQ(RowTexts("select a from p intersect select a from besar"), TRows{"1|"});

  TQELQueryExprNode node;
  node.Operation = static_cast<TQELQueryOperation>(7);
  std::vector<TQELSortKey> order;
  EXPECT_EQ(CodeAndMessage([&] { QELPlanSetOperation(node, order, TQELPlanContext{}); }),
            (std::pair<std::int32_t, std::string>{10336, "Invalid union type = 7"}));
}

}  // namespace
}  // namespace qel::test
