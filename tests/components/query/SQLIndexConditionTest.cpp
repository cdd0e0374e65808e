// Conditions read with and without indexes give the same rows: the index
// conditions the query layer derives from a WHERE may only ever narrow the
// records the WHERE itself then judges, never drop a matching one, and a
// live result walks them in the same order either way.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "SQLTestSupport.h"
#include "components/QELQuery.h"

namespace qel::test {
namespace {

// The tables: "plain" has no index; "indexed" has one on every column, a
// descending one on s and both a case-sensitive and a case-insensitive one
// on t; "cased" has only a case-sensitive one on t and a descending one on
// i, and "downward" only descending ones on t (case-sensitive) and s, so
// that conditions meet those alone.
class SQLIndexConditionTest : public TSQLTest {
 protected:
  // The session keeps the temporary database it makes for materialised
  // results unless told not to; the fixture checks that none is left.
  void SetUp() override {
    DefaultSession().SetKeepConnections(false);
    TSQLTest::SetUp();
    std::string rows =
        "(1, 1, 1, 'abc'), (2, 2, 2, 'abd'), (3, 2, 3, 'ABC'), (4, null, null, null),"
        " (5, 3, -5, 'ab'), (6, 10, 70, 'b'), (7, -1, 7, 'abcdefghijklmnopqrstuvwxyz'),"
        " (8, 2, 8, 'abcdefghijklmnopqrstuvwxzz'), (9, 5, 9, 'a'), (10, 2, 10, 'Abc'), (11, 4, 11, 'aBd'),"
        " (12, null, 12, 'ABCDEFGHIJKLMNOPQRSTUVWXYZ'), (13, 7, null, 'a b'), (14, 6, 14, 'ab%')";
    // Enough further rows that an index is the cheaper way to the few.
    for (int n = 100; n < 400; ++n) {
      const std::string id = std::to_string(n);
      rows += ", (" + id + ", " + std::to_string(20 + n % 50) + ", " + std::to_string(n % 97 - 40) + ", '" +
              (n % 3 == 0 ? "Zeta " : "zeta ") + id + "')";
    }
    for (const char* table : {"plain", "indexed", "cased", "downward"}) {
      Exec(std::string("create table ") + table + " (id integer, i integer, s smallint, t varchar(30))");
      Exec(std::string("insert into ") + table + " values " + rows);
    }
    Exec("create index ix_i on indexed (i)");
    Exec("create index ix_s on indexed (s desc)");
    Exec("create index ix_t on indexed (t)");
    Exec("create index ix_t_nocase on indexed (t nocase)");
    Exec("create index cx_t on cased (t)");
    Exec("create index cx_i on cased (i desc)");
    Exec("create index dx_t on downward (t desc)");
    Exec("create index dx_s on downward (s desc)");
  }

  void TearDown() override {
    Query.reset();
    DefaultSession().SetKeepConnections(true);
    TSQLTest::TearDown();
  }

  // A live result walked both ways: the ids forward, the ids backward
  // (put back in forward order) and the record count.
  struct TWalk {
    std::vector<std::int32_t> Forward;
    std::vector<std::int32_t> Backward;
    std::int64_t Count = 0;
    bool operator==(const TWalk&) const = default;
    friend void PrintTo(const TWalk& walk, std::ostream* out) {
      *out << "count " << walk.Count << ", forward";
      for (const std::int32_t id : walk.Forward) *out << ' ' << id;
      *out << ", backward";
      for (const std::int32_t id : walk.Backward) *out << ' ' << id;
    }
  };

  TWalk Walk(const std::string& table, const std::string& where, const std::string& order = "") {
    TQELQuery query;
    query.SetDatabaseName("KUVO");
    query.SetSQLText("select id from " + table + " where " + where + order);
    query.Open();
    TWalk walk;
    TField& id = query.FieldByName("id");
    for (query.First(); !query.Eof(); query.Next()) walk.Forward.push_back(id.AsInteger());
    for (query.Last(); !query.Bof(); query.Prior()) walk.Backward.insert(walk.Backward.begin(), id.AsInteger());
    walk.Count = query.RecordCount();
    return walk;
  }

  std::vector<std::int32_t> Ids(const std::string& table, const std::string& where) {
    std::vector<std::int32_t> ids = Walk(table, where).Forward;
    std::sort(ids.begin(), ids.end());
    return ids;
  }
};

TEST_F(SQLIndexConditionTest, SameRowsWithAndWithoutIndexes) {
  const char* conditions[] = {
      // comparisons, either way round, and BETWEEN
      "i = 2", "i < 2", "i >= 2", "i > 2 and i <= 5", "2 < i", "5 >= i", "i between 2 and 5", "i between 5 and 2",
      "s < 8", "8 > s", "s >= 8 and s < 12", "s between -5 and 9", "t < 'abd'", "'abd' > t",
      "t between 'ab' and 'abd'",
      "t > 'abcdefghijklmnopqrstuvwxy'", "t >= 'abcdefghijklmnopqrstuvwxz'", "t <= 'abcdefghijklmnopqrstuvwxzzz'",
      // NULL tests
      "i is null", "i is not null", "s is null", "s is not null", "t is null", "t is not null", "i = null",
      // constants that do not convert exactly
      "i = 2.5", "i > 2.5", "2.5 < i", "i <= 2.5", "s = 70000", "s < 70000", "70000 > s", "s > -70000", "i in (2.5, 5)",
      "s in (70000, 70)", "i between 1.5 and 3",
      // strings: case, longer than the index keeps, UPPER and LOWER
      "t = 'abc'", "t = 'ABC'", "t = 'abcdefghijklmnopqrstuvwxyz0123456789'", "upper(t) = 'ABC'",
      "lower(t) = 'abc'", "upper(t) = 'Abc'", "upper(t) = 'ABCDEFGHIJKLMNOPQRSTUVWXYZ'",
      // LIKE prefixes: shorter values, other cases, NULLs, a '%' stored
      "t like 'ab%'", "t like 'AB%'", "t like 'a%'", "t like 'abcdefghijklmnopqrstuvwx%'", "t like 'abc%' and i = 2",
      "t like 'zeta 1%'", "t like 'ab%%'", "t like 'a b%'", "not t like 'ab%'",
      // IN lists, repeated and NULL elements, with other conjuncts
      "i in (2, 5, 2, null)", "i in (-1, 100)", "s in (9, 8, -5)", "t in ('abc', 'ab', 'b')",
      "t in ('ABD', 'zeta 101')",
      "t in ('abcdefghijklmnopqrstuvwxyz', 'nothing')", "t in ('abc', 'b') and i = 2", "t in ('abc') and i in (1, 2)",
      "i in (2, 3) and t like 'ab%'",
      // what no index serves
      "i = 2 or t = 'b'", "i <> 2", "i not in (2, 3)", "i + 0 = 2",
  };
  for (const char* condition : conditions) {
    SCOPED_TRACE(condition);
    const TWalk expected = Walk("plain", condition);
    EXPECT_EQ(Walk("indexed", condition), expected);
    EXPECT_EQ(Walk("cased", condition), expected);
    EXPECT_EQ(Walk("downward", condition), expected);
    // In another index's order: the matches are placed in that index.
    EXPECT_EQ(Walk("indexed", condition, " order by id"), Walk("plain", condition, " order by id"));
    EXPECT_EQ(Walk("cased", condition, " order by s desc, id"), Walk("plain", condition, " order by s desc, id"));
  }
  // A few answers spelled out, so that both sides cannot be wrong alike.
  EXPECT_EQ(Ids("indexed", "i = 2"), (std::vector<std::int32_t>{2, 3, 8, 10}));
  EXPECT_EQ(Ids("indexed", "i = 2.5"), (std::vector<std::int32_t>{}));
  EXPECT_EQ(Ids("cased", "s < 70000").size(), 312U);
  EXPECT_EQ(Ids("indexed", "t like 'ab%'"), (std::vector<std::int32_t>{1, 2, 5, 7, 8, 14}));
  EXPECT_EQ(Ids("cased", "t like 'AB%'"), (std::vector<std::int32_t>{3, 12}));
  EXPECT_EQ(Ids("cased", "t > 'abcdefghijklmnopqrstuvwxy'").size(), 306U);
  // IN compares ignoring case.
  EXPECT_EQ(Ids("cased", "t in ('abc', 'ab')"), (std::vector<std::int32_t>{1, 3, 5, 10}));
  EXPECT_EQ(Walk("cased", "t in ('b', 'abc')").Forward, (std::vector<std::int32_t>{1, 3, 6, 10}));
  EXPECT_EQ(Ids("indexed", "s in (70000, 70)"), (std::vector<std::int32_t>{6}));
}

// COUNT(*) alone is read from the filtered cursor's count, and TOP over an
// ORDER BY stops copying at its last row: both must agree with the rows.
TEST_F(SQLIndexConditionTest, CountsAndTopAgreeWithTheRows) {
  const char* conditions[] = {"i = 2", "i in (2, 3, 99)", "t like 'ab%'", "s < 0", "t like '%b%'", "i = 2.5",
                              "i is null"};
  for (const char* condition : conditions) {
    SCOPED_TRACE(condition);
    const std::string expected = std::to_string(Ids("plain", condition).size());
    for (const char* table : {"plain", "indexed"}) {
      const std::string from = std::string(" from ") + table + " where " + condition;
      EXPECT_EQ(Select("select count(*) as c, count(*) as d" + from, "d"), std::vector<std::string>{expected});
      // HAVING and other aggregates read the rows.
      EXPECT_EQ(Select("select count(*) as c" + from + " having count(*) > 0", "c").size(), expected == "0" ? 0U : 1U);
      EXPECT_EQ(Select("select count(*) + 0 as c, count(i) as d" + from, "c"), std::vector<std::string>{expected});
      std::vector<std::string> ordered = Select("select id, s" + from + " order by s desc, id", "id");
      ordered.erase(ordered.begin(), ordered.begin() + std::min<std::size_t>(ordered.size(), 2));
      ordered.resize(std::min<std::size_t>(ordered.size(), 4));
      EXPECT_EQ(Select("select top 4, 3 *" + from + " order by s desc, id", "id"), ordered);
    }
  }
  Exec("create table empty (id integer)");
  EXPECT_EQ(Select("select count(*) as c from empty", "c"), std::vector<std::string>{"0"});
  EXPECT_EQ(Select("select top 0 id, s from indexed order by s", "id"), std::vector<std::string>{});
}

// An accent sorts among the plain letters, but a prefix cut from an
// accented value does not: a prefix range through an index ignoring case
// must not end where such a value interrupts its run.
TEST_F(SQLIndexConditionTest, PrefixRangesGoOnPastAccentedValues) {
  const char* rows = "(1, 'ab'), (2, 'aba'), (3, 'abb'), (4, 'äbc'), (5, 'abd'), (6, 'Abe'), (7, 'ÄBF'), (8, 'ac'),"
                     " (9, 'äb'), (10, 'ab')";
  for (const char* table : {"accent_plain", "accent_nocase"}) {
    Exec(std::string("create table ") + table + " (id integer, t varchar(20))");
    Exec(std::string("insert into ") + table + " values " + rows);
  }
  Exec("create index ax_t on accent_nocase (t nocase)");
  for (const char* condition : {"t like 'ab%'", "upper(t) like 'AB%'", "upper(t) like 'ÄB%'", "t like 'äb%'",
                                "upper(t) = 'AB'", "upper(t) in ('ABD', 'ÄBC')"}) {
    SCOPED_TRACE(condition);
    EXPECT_EQ(Walk("accent_nocase", condition), Walk("accent_plain", condition));
  }
}

// Changes made through the live result itself, and by other statements
// while it walks, are seen by the walk that goes on from there.
TEST_F(SQLIndexConditionTest, LiveResultFollowsChanges) {
  for (const char* where : {"i in (2, 3)", "i between 2 and 3"}) {
    std::vector<std::vector<std::int32_t>> walks;
    for (const char* table : {"plain", "indexed"}) {
      SCOPED_TRACE(std::string(table) + " where " + where);
      TQELQuery query;
      query.SetDatabaseName("KUVO");
      query.SetRequestLive(true);
      query.SetSQLText(std::string("select * from ") + table + " where " + where);
      query.Open();
      ASSERT_EQ(query.RecordCount(), 5);
      query.Append();
      query.FieldByName("id").SetAsInteger(500);
      query.FieldByName("i").SetAsInteger(3);
      query.Post();
      EXPECT_EQ(query.RecordCount(), 6);
      std::vector<std::int32_t>& ids = walks.emplace_back();
      query.First();
      ids.push_back(query.FieldByName("id").AsInteger());
      Exec(std::string("delete from ") + table + " where id = 8");
      Exec(std::string("insert into ") + table + " values (600, 2, 0, 'x')");
      for (query.Next(); !query.Eof(); query.Next()) ids.push_back(query.FieldByName("id").AsInteger());
      std::vector<std::int32_t> sorted = ids;
      std::sort(sorted.begin(), sorted.end());
      EXPECT_EQ(sorted, (std::vector<std::int32_t>{2, 3, 5, 10, 500, 600}));
      Exec(std::string("delete from ") + table + " where id >= 500");
      Exec(std::string("insert into ") + table + " values (8, 2, 8, 'abcdefghijklmnopqrstuvwxzz')");
    }
    EXPECT_EQ(walks[1], walks[0]) << where;
  }
}

}  // namespace
}  // namespace qel::test
