// SELECT ... INTO and INSERT ... SELECT on one table: the rows of a result
// become a table of their own or are added to another (or the same) one;
// a target that is also the source is refused before anything changes.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "SQLTestSupport.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

using TList = std::vector<std::string>;

class SQLIntoTest : public TSQLTest {
 protected:
  void SetUp() override {
    TSQLTest::SetUp();
    // The session's temporary database must not outlive the test.
    DefaultSession().SetKeepConnections(false);
    Exec("create table kata (a integer, b varchar(10), c memo, primary key (a), index ix_b (b))");
    Exec("insert into kata values (1, 'satu', 'memo satu'), (2, 'dua', null), (3, 'tiga', 'memo tiga')");
  }
  void TearDown() override {
    Query.reset();
    DefaultSession().SetKeepConnections(true);
    TSQLTest::TearDown();
  }
  TList Rows(const std::string& table) { return RowTexts("select * from " + table + " order by a"); }
};

TEST_F(SQLIntoTest, SelectIntoMakesATableOfTheResult) {
  // A live projection (its indexes on columns the copy lacks are left out)
  // and a computed, materialised result.
  EXPECT_EQ(Exec("select a, c into salinan from kata where a >= 2"), 2);
  EXPECT_EQ(Rows("salinan"), (TList{"2|-|", "3|memo tiga|"}));
  Exec("select a * 10 as sepuluh, upper(b) as besar into hitung from kata");
  EXPECT_EQ(Select("select besar from hitung order by sepuluh", "besar"), (TList{"SATU", "DUA", "TIGA"}));
  Query.reset();
  // Into memory, and over an existing target, which is replaced.
  Exec("select * into memory sementara from kata where a = 1");
  EXPECT_EQ(Select("select b from memory sementara", "b"), TList{"satu"});
  Query.reset();
  Exec("select a into salinan from kata where a = 1");
  EXPECT_EQ(Rows("salinan"), TList{"1|"});
  Exec("drop table memory sementara");

  // Into the table it reads: refused, the table untouched.
  const TList before = Rows("kata");
  EXPECT_EQ(NativeErrorOf([&] { Exec("select * into KATA from kata where a > 1"); }), 30447);
  EXPECT_EQ(Rows("kata"), before);
}

TEST_F(SQLIntoTest, InsertSelectAddsTheRowsAndMayReadItsOwnTable) {
  Exec("create table lain (x integer, y varchar(10), z memo)");
  EXPECT_EQ(Exec("insert into lain select * from kata where a <> 2"), 2);
  EXPECT_EQ(Select("select y from lain order by x", "y"), (TList{"satu", "tiga"}));
  Query.reset();
  // A column list takes the values by name, in its order.
  EXPECT_EQ(Exec("insert into lain (y, x) select b, a + 100 from kata where a = 2"), 1);
  EXPECT_EQ(Select("select x from lain where y = 'dua'", "x"), TList{"102"});
  Query.reset();

  // Doubling a table through itself reads every row before the first insert.
  Exec("create table ganda (n integer)");
  Exec("insert into ganda values (1), (2)");
  EXPECT_EQ(Exec("insert into ganda select n + 10 from ganda"), 2);
  EXPECT_EQ(Exec("insert into ganda select n from ganda"), 4);
  EXPECT_EQ(Select("select count(*) as jumlah from ganda", "jumlah"), TList{"8"});
  Query.reset();

  // Too many columns for the target, or a failing row: nothing is added.
  EXPECT_EQ(NativeErrorOf([&] { Exec("insert into ganda select a, b from kata"); }), 20259);
  EXPECT_ANY_THROW(Exec("insert into kata select a, b, c from kata"));  // duplicate keys
  EXPECT_EQ(Rows("kata").size(), 3U);
  EXPECT_EQ(Select("select count(*) as jumlah from ganda", "jumlah"), TList{"8"});
  Query.reset();
  // The copies were temporary: the file holds only the tables made here.
  std::vector<std::string> names;
  Database->GetTableNames(names);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (TList{"T", "ganda", "kata", "lain"}));
}

}  // namespace
}  // namespace qel::test
