// SELECT parsing: the select list with its pseudonyms and repeated
// columns, TOP, INTO, every form of table reference and join, the clauses,
// and the precedence of the set operations.

#include <gtest/gtest.h>

#include "SQLTestSupport.h"

namespace qel::test {
namespace {

// One item as "table.field AS pseudonym", with "expr:" for a computed one
// and "dup:" for a repeated plain column.
std::string DescribeItem(const TQELSelectListItem& item) {
  std::string out = item.IsDuplicate ? "dup:" : item.IsExpression ? "expr:" : "";
  if (item.IsExpression && !item.IsDuplicate) {
    out += Shape(*item.Expression->Root());
  } else {
    if (!item.TableName.empty()) out += item.TableName + ".";
    out += item.FieldName;
  }
  if (!item.Pseudonym.empty()) out += " AS " + item.Pseudonym;
  return out;
}

std::string DescribeList(TQELSQLSelect& select) {
  std::string out;
  for (const TQELSelectListItem& item : select.SelectList()) {
    if (!out.empty()) out += ", ";
    out += DescribeItem(item);
  }
  return out;
}

TEST(SQLSelectParseTest, WholeRowFromOneTable) {
  TParsed parsed("select * from tblKuvo");
  TQELSQLSelect& select = parsed.Select();
  EXPECT_TRUE(select.SelectAll());
  EXPECT_EQ(select.SelectListCount(), 0);
  ASSERT_EQ(select.TableRefCount(), 1);
  EXPECT_EQ(DescribeReference(*select.TableRefs()[0]), "tblKuvo");
  EXPECT_EQ(select.TopCount(), -1);
  EXPECT_EQ(select.Where(), nullptr);
}

TEST(SQLSelectParseTest, SelectListItems) {
  struct TCase {
    const char* Text;
    const char* Items;
  } const cases[] = {
      {"select ISTILAH x, DESKRIPSI 'y', CATATAN as [z] from tblKuvo", "ISTILAH AS x, DESKRIPSI AS y, CATATAN AS z"},
      {"select a, a from t", "a, dup:a AS a_1"},
      {"select a, a, a_1 from t", "a, dup:a AS a_2, a_1"},
      {"select a, A, a as b from t", "a, dup:A AS A_1, dup:a AS b"},
      {"select t.a, a, t.A from t", "t.a, a, dup:t.A AS A_1"},
      {"select a + 1, count(*) n from t", "expr:+(a, INTEGER:1), expr:COUNT(*)() AS n"},
      {"select *, t.* from t", "*, t.*"},
  };
  for (const TCase& c : cases) {
    TParsed parsed(c.Text);
    EXPECT_EQ(DescribeList(parsed.Select()), c.Items) << c.Text;
  }
}

TEST(SQLSelectParseTest, DistinctTopAndInto) {
  TParsed parsed("select distinct top 10, 5 * into memory immediate db.x from t");
  TQELSQLSelect& select = parsed.Select();
  EXPECT_TRUE(select.Distinct());
  EXPECT_EQ(select.TopCount(), 10);
  EXPECT_EQ(select.TopStart(), 5);
  EXPECT_TRUE(select.SelectAll());
  const auto& query = parsed.As<TQELSQLUnion>();
  EXPECT_EQ(query.IntoTable(), "x");
  EXPECT_EQ(query.IntoDatabase(), "db");
  EXPECT_TRUE(query.IntoMemory());
  EXPECT_TRUE(query.IntoImmediate());

  TParsed top("select top 3 a from t");
  EXPECT_EQ(top.Select().TopCount(), 3);
  EXPECT_EQ(top.Select().TopStart(), -1);
}

TEST(SQLSelectParseTest, TableReferencesAndJoins) {
  struct TCase {
    const char* From;
    const char* References;
  } const cases[] = {
      {"tblKuvo k", "tblKuvo k"},
      {"a, b as c, memory m, user", "a | b c | m | user"},
      {"'c:\\x.qel'.t password 'pw'", "c:\\x.qel.t"},
      {"t1 left outer join t2 on t1.a = t2.a join t3 using (b)",
       "((t1 LEFT JOIN t2 ON =(t1.a, t2.a)) JOIN t3 USING b)"},
      {"t1 cross join t2 natural full join t3", "((t1 CROSS JOIN t2) NATURAL FULL JOIN t3)"},
      {"t1 inner join t2 using (a, b) right join t3 on t3.x = t1.x",
       "((t1 JOIN t2 USING a b) RIGHT JOIN t3 ON =(t3.x, t1.x))"},
      {"(t1 natural join t2) j cross join (select x from u) d",
       "((t1 NATURAL JOIN t2) j CROSS JOIN (select u) d)"},
      {"t1 join (t2 join t3 using (c)) using (b)", "(t1 JOIN (t2 JOIN t3 USING c) USING b)"},
  };
  for (const TCase& c : cases) {
    TParsed parsed(std::string("select * from ") + c.From);
    std::string out;
    for (const auto& reference : parsed.Select().TableRefs()) {
      if (!out.empty()) out += " | ";
      out += DescribeReference(*reference);
    }
    EXPECT_EQ(out, c.References) << c.From;
  }
  TParsed password("select * from memory db.t x password 'pw'");
  const TQELTableReference& reference = *password.Select().TableRefs()[0];
  EXPECT_TRUE(reference.InMemory);
  EXPECT_EQ(reference.DatabaseName, "db");
  EXPECT_EQ(reference.Alias, "x");
  EXPECT_EQ(reference.Password, "pw");
}

TEST(SQLSelectParseTest, ParameterNamesTheTableAndItsFile) {
  TQELSQLProcessor processor;
  TQELSQLParam& param = processor.Params().AddParam();
  param.SetName("t");
  param.SetAsString("\"/tmp/other.qel\"tblKuvo");
  processor.SetSQLText("select * from :t");
  processor.ParseSQL();
  auto& query = dynamic_cast<TQELSQLUnion&>(*processor.Statement());
  const TQELTableReference& reference = *query.QueryTree()->Select->TableRefs()[0];
  EXPECT_EQ(reference.DatabaseName, "/tmp/other.qel");
  EXPECT_EQ(reference.TableName, "tblKuvo");

  // The same for a statement's target, and the SELECT an UPDATE builds.
  processor.SetSQLText("update :t set ISTILAH = 'x'");
  processor.ParseSQL();
  auto& update = dynamic_cast<TQELSQLUpdate&>(*processor.Statement());
  EXPECT_EQ(update.Table().DatabaseName, "/tmp/other.qel");
  EXPECT_EQ(update.Table().TableName, "tblKuvo");
  EXPECT_EQ(DescribeReference(*update.Select()->TableRefs()[0]), "/tmp/other.qel.tblKuvo");
}

TEST(SQLSelectParseTest, Clauses) {
  TParsed parsed(
      "select ISTILAH x, count(*) from tblKuvo where x like 'a%' group by ISTILAH, k.CATATAN "
      "having count(*) > 1 order by 2 desc, k.x, ISTILAH asc");
  TQELSQLSelect& select = parsed.Select();
  // The pseudonym in WHERE reads its column.
  EXPECT_EQ(Shape(*select.Where()->Root()), "= ordered like-prefix(ISTILAH, STRING:'a')");
  ASSERT_EQ(select.GroupBy().Count(), 2);
  EXPECT_EQ(select.GroupBy().Items[1].TableName, "k");
  EXPECT_EQ(select.GroupBy().Items[1].FieldName, "CATATAN");
  EXPECT_EQ(Shape(*select.Having()->Root()), ">(COUNT(*)(), INTEGER:1)");
  std::string order;
  for (const TQELSortKey& sortKey : select.SortKeys()) {
    order += (sortKey.TableName.empty() ? "" : sortKey.TableName + ".") + sortKey.FieldName +
             (sortKey.Descending ? " desc;" : ";");
  }
  EXPECT_EQ(order, "2 desc;k.x;ISTILAH;");

  // With "*" there are no pseudonyms to read.
  TParsed all("select * from t where x = 1");
  EXPECT_EQ(Shape(*all.Select().Where()->Root()), "=(x, INTEGER:1)");
}

TEST(SQLSelectParseTest, SetOperationsAndTheirPrecedence) {
  struct TCase {
    const char* Text;
    const char* Tree;
  } const cases[] = {
      {"select a from t1 union select a from t2 intersect select a from t3",
       "(select t1 UNION (select t2 INTERSECT select t3))"},
      {"select a from t1 intersect select a from t2 union select a from t3",
       "((select t1 INTERSECT select t2) UNION select t3)"},
      {"select a from t1 minus select a from t2", "(select t1 EXCEPT select t2)"},
      {"select a from t1 except all corresponding by (a, b) select a from t2 union all select a from t3",
       "((select t1 EXCEPT ALL CORRESPONDING a b select t2) UNION ALL select t3)"},
      {"(select a from t1 union select a from t2) intersect corresponding select a from t3",
       "((select t1 UNION select t2) INTERSECT CORRESPONDING select t3)"},
      {"select * from (select a from t1 union select a from t2) u",
       "select ((select t1 UNION select t2)) u"},
  };
  for (const TCase& c : cases) {
    TParsed parsed(c.Text);
    EXPECT_EQ(DescribeQuery(*parsed.As<TQELSQLUnion>().QueryTree()), c.Tree) << c.Text;
  }
  // ORDER BY after a parenthesised query expression belongs to the union.
  TParsed ordered("(select a from t1 union select a from t2) order by 1");
  EXPECT_EQ(ordered.As<TQELSQLUnion>().SortKeyCount(), 1);
}

TEST(SQLSelectParseTest, SubqueriesStayTokenRanges) {
  TParsed parsed("select a from t where a in (select b from u where b > 1) and exists (select * from v)");
  EXPECT_EQ(Shape(*parsed.Select().Where()->Root()),
            "AND(IN(a, SUBQUERY), EXISTS(SUBQUERY))");
}

}  // namespace
}  // namespace qel::test
