// ALTER TABLE through the query component: every change keeps the rows, the
// file stays clean, a new index serves the next query, and the errors of a
// change that cannot be made leave the table as it was.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FileCheckSupport.h"
#include "SQLTestSupport.h"
#include "components/QELTable.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

using TList = std::vector<std::string>;

class SQLAlterTest : public TSQLTest {
 protected:
  void SetUp() override {
    TSQLTest::SetUp();
    Exec("create table kata (a integer, b varchar(10), c integer, primary key (a))");
    Exec("insert into kata values (3, 'c', 30), (1, 'a', 10), (2, 'b', null), (4, null, 40)");
  }

  // Every row, in key order.
  TList Rows(const std::string& columns = "*") { return RowTexts("select " + columns + " from kata order by a"); }

  TList Columns() {
    TQELTable table;
    table.SetDatabaseName("KUVO");
    table.SetTableName("kata");
    table.UpdateFieldDefs();
    TList names;
    for (std::int32_t i = 0; i < table.FieldDefs().Count(); ++i) names.push_back(table.FieldDefs()[i].Name);
    return names;
  }

  void ExpectFileClean() {
    Database->Close();
    EXPECT_EQ(FaultsOf(FileName, ""), TList{});
    Database->Open();
  }
};

TEST_F(SQLAlterTest, EveryChangeKeepsTheRows) {
  Exec("alter table kata add d varchar(5) default 'x', add e largeint");
  EXPECT_EQ(Columns(), (TList{"a", "b", "c", "d", "e"}));
  EXPECT_EQ(Rows("a, b, c, e"), (TList{"1|a|10|-|", "2|b|-|-|", "3|c|30|-|", "4|-|40|-|"}));

  Exec("alter table kata drop d, drop column e");
  EXPECT_EQ(Columns(), (TList{"a", "b", "c"}));

  // A wider type keeps the values, converted.
  Exec("alter table kata modify c varchar(8)");
  EXPECT_EQ(Rows(), (TList{"1|a|10|", "2|b|-|", "3|c|30|", "4|-|40|"}));

  // A renamed column keeps its values and its place in the primary index.
  Exec("alter table kata rename column a to kunci");
  EXPECT_EQ(Columns(), (TList{"kunci", "b", "c"}));
  EXPECT_EQ(Select("select kunci from kata where kunci >= 3", "kunci"), (TList{"3", "4"}));
  Query.reset();
  Exec("alter table kata rename kunci to a");
  EXPECT_EQ(Rows(), (TList{"1|a|10|", "2|b|-|", "3|c|30|", "4|-|40|"}));
  ExpectFileClean();

  // Only the restructured table, under its own name, is left.
  std::vector<std::string> names;
  Database->GetTableNames(names);
  EXPECT_EQ(names, (TList{"T", "kata"}));
}

TEST_F(SQLAlterTest, ANewIndexServesTheNextQuery) {
  Exec("alter table kata add index ix_b (b desc)");
  Select("select a from kata order by b desc", "a");
  ASSERT_NE(Query->Cursor(), nullptr);
  EXPECT_EQ(Query->Cursor()->IndexName(), "ix_b") << "read live through the new index";
  Query.reset();
  EXPECT_EQ(Select("select a from kata order by b desc", "a"), (TList{"3", "2", "1", "4"}));
  Query.reset();
  ExpectFileClean();
}

TEST_F(SQLAlterTest, RenameToAndTheErrorsOfChangesThatCannotBeMade) {
  Exec("alter table kata rename to kosakata");
  EXPECT_EQ(Select("select a from kosakata order by a", "a"), (TList{"1", "2", "3", "4"}));
  Query.reset();
  Exec("alter table kosakata rename to kata");

  const TList before = Rows();
  struct TCase {
    const char* Sql;
    std::int32_t Code;
  };
  const TCase cases[] = {
      {"alter table kata add b integer", 30351},
      {"alter table kata drop nosuch", 30259},
      {"alter table kata modify nosuch integer", 30259},
      {"alter table kata rename column nosuch to x", 30259},
      // The primary index still names a.
      {"alter table kata drop a", 30347},
      // 'a'..'c' are no numbers: the copy stops at the first of them.
      {"alter table kata modify b integer", 30265},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    EXPECT_EQ(NativeErrorOf([&] { Exec(c.Sql); }), c.Code);
    EXPECT_EQ(Rows(), before);
    EXPECT_EQ(Columns(), (TList{"a", "b", "c"}));
  }
  // IF NOT EXISTS makes an existing column no error, and no change.
  Exec("alter table kata add b if not exists integer");
  EXPECT_EQ(Rows(), before);
  ExpectFileClean();
}

}  // namespace
}  // namespace qel::test
