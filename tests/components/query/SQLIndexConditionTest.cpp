// Conditions read with and without indexes give the same rows: the index
// conditions the query layer derives from a WHERE may only ever narrow the
// records the WHERE itself then judges, never drop a matching one.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "SQLTestSupport.h"
#include "components/QELQuery.h"

namespace qel::test {
namespace {

class SQLIndexConditionTest : public TSQLTest {
 protected:
  void SetUp() override {
    TSQLTest::SetUp();
    for (const char* table : {"plain", "indexed"}) {
      Exec(std::string("create table ") + table + " (id integer, i integer, s smallint, t varchar(30))");
      Exec(std::string("insert into ") + table +
           " values (1, 1, 1, 'abc'), (2, 2, 2, 'abd'), (3, 2, 3, 'ABC'), (4, null, null, null),"
           " (5, 3, -5, 'ab'), (6, 10, 70, 'b'), (7, -1, 7, 'abcdefghijklmnopqrstuvwxyz'),"
           " (8, 2, 8, 'abcdefghijklmnopqrstuvwxzz'), (9, 5, 9, 'a')");
    }
    Exec("create index ix_i on indexed (i)");
    Exec("create index ix_s on indexed (s desc)");
    Exec("create index ix_t on indexed (t)");
    Exec("create index ix_t_nocase on indexed (t nocase)");
  }

  std::vector<std::int32_t> Ids(const std::string& table, const std::string& where) {
    TQELQuery query;
    query.SetDatabaseName("KUVO");
    query.SetSQLText("select id from " + table + " where " + where);
    query.Open();
    std::vector<std::int32_t> ids;
    for (query.First(); !query.Eof(); query.Next()) ids.push_back(query.FieldByName("id").AsInteger());
    std::sort(ids.begin(), ids.end());
    return ids;
  }

};

TEST_F(SQLIndexConditionTest, SameRowsWithAndWithoutIndexes) {
  const char* conditions[] = {
      "i = 2", "i < 2", "i >= 2", "i > 2 and i <= 5", "2 < i", "5 >= i", "i between 2 and 5",
      "i is null", "i is not null", "i = 2.5", "i > 2.5", "s = 70000", "s < 70000", "s > -5",
      "s <= 7", "t = 'abc'", "t = 'ABC'", "t < 'abd'", "t > 'abcdefghijklmnopqrstuvwxy'",
      "t >= 'abcdefghijklmnopqrstuvwxz'", "t like 'ab%'", "t like 'abcdefghijklmnopqrstuvwx%'",
      "t like 'abc%' and i = 2", "upper(t) = 'ABC'", "t = 'abcdefghijklmnopqrstuvwxyz0123456789'",
      "i = 2 or t = 'b'", "i = null",
  };
  for (const char* condition : conditions) {
    SCOPED_TRACE(condition);
    EXPECT_EQ(Ids("indexed", condition), Ids("plain", condition));
  }
  // A few answers spelled out, so that both sides cannot be wrong alike.
  EXPECT_EQ(Ids("indexed", "i = 2"), (std::vector<std::int32_t>{2, 3, 8}));
  EXPECT_EQ(Ids("indexed", "i = 2.5"), (std::vector<std::int32_t>{}));
  EXPECT_EQ(Ids("indexed", "s < 70000").size(), 8U);
  EXPECT_EQ(Ids("indexed", "t like 'ab%'"), (std::vector<std::int32_t>{1, 2, 5, 7, 8}));
  EXPECT_EQ(Ids("indexed", "t > 'abcdefghijklmnopqrstuvwxy'"), (std::vector<std::int32_t>{2, 6, 7, 8}));
}

}  // namespace
}  // namespace qel::test
