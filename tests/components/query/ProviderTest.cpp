// The provider hooks of the table and query components: table names, keys
// and orders as a provider asks for them, parameters as ranges, statements
// and transactions on the dataset's database, and the update-record event.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ComponentsSupport.h"
#include "components/QELQuery.h"
#include "SQLTestSupport.h"
#include "components/QELTable.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

class ProviderTest : public TSQLTest {
 protected:
  void SetUp() override {
    TSQLTest::SetUp();
    Exec("create table kata (a integer, b varchar(10), c integer, primary key (a), unique index ux_b (b))");
    Exec("insert into kata values (1, 'satu', 10), (2, 'dua', 20), (3, 'tiga', 30), (4, 'empat', 40)");
    Exec("create table bebas (x integer, y varchar(5))");
    Exec("create index ix_y on bebas (y)");
    Table.SetDatabaseName("KUVO");
    Table.SetTableName("kata");
  }
  void TearDown() override {
    Table.Close();
    TSQLTest::TearDown();
  }

  std::vector<std::int32_t> Keys(TQELTable& table) {
    std::vector<std::int32_t> keys;
    for (table.First(); !table.Eof(); table.Next()) keys.push_back(table.FieldByName("a").AsInteger());
    return keys;
  }

  TQELTable Table;
};

TEST_F(ProviderTest, TheTableNamesItsKeyAndOrderFromItsIndexes) {
  EXPECT_EQ(Table.PSGetTableName(), "kata");
  EXPECT_TRUE(Table.PSIsSQLBased());
  EXPECT_EQ(Table.PSGetQuoteChar(), "`");
  EXPECT_EQ(Table.PSGetKeyFields(), "a");
  std::unique_ptr<TIndexDef> order = Table.PSGetDefaultOrder();
  ASSERT_NE(order, nullptr);
  EXPECT_EQ(order->Fields, "a");  // the primary index
  // The active index counts once its fields have field objects.
  Table.SetIndexName("ux_b");
  Table.Open();
  order = Table.PSGetDefaultOrder();
  ASSERT_NE(order, nullptr);
  EXPECT_EQ(order->Name, "ux_b");
  Table.Close();
  const TIndexDefs unique = Table.PSGetIndexDefs(ixUnique);
  EXPECT_EQ(unique.Count(), 2);
  EXPECT_EQ(Table.PSGetIndexDefs(ixPrimary).Count(), 1);

  // Without a unique index every field is the key, and there is no order.
  TQELTable loose;
  loose.SetDatabaseName("KUVO");
  loose.PSSetCommandText("bebas");
  loose.PSSetCommandText("");
  EXPECT_EQ(loose.TableName(), "bebas");
  EXPECT_EQ(loose.PSGetKeyFields(), "x;y");
  EXPECT_EQ(loose.PSGetDefaultOrder(), nullptr);
}

TEST_F(ProviderTest, ParametersBecomeARangeOverTheActiveIndex) {
  Table.SetIndexFieldNames("a");
  TParams byName;
  byName.Add("a").Value.SetAsInteger(3);
  Table.PSSetParams(byName);
  EXPECT_EQ(Keys(Table), (std::vector<std::int32_t>{3}));
  // An unnamed parameter sets the key field of its position.
  Table.SetIndexName("ux_b");
  TParams byPosition;
  byPosition.Add("").Value.SetAsString("dua");
  Table.PSSetParams(byPosition);
  EXPECT_EQ(Keys(Table), (std::vector<std::int32_t>{2}));
  Table.PSSetParams(TParams());
  EXPECT_EQ(Keys(Table).size(), 4U);
}

TEST_F(ProviderTest, StatementsAndTransactionsRunOnTheDataSetsDatabase) {
  TParams params;
  params.Add("batas").Value.SetAsInteger(2);
  EXPECT_EQ(Table.PSExecuteStatement("update kata set c = c + 1 where a > :batas", &params), 2);
  EXPECT_FALSE(Table.PSInTransaction());
  Table.PSStartTransaction();
  EXPECT_TRUE(Table.PSInTransaction());
  EXPECT_EQ(Table.PSExecuteStatement("delete from kata", nullptr), 4);
  Table.PSEndTransaction(false);
  EXPECT_FALSE(Database->InTransaction());
  Table.Open();
  EXPECT_EQ(Keys(Table).size(), 4U);
  Table.Last();
  EXPECT_EQ(Table.FieldByName("c").AsInteger(), 41);
  Table.PSReset();
  EXPECT_TRUE(Table.Active());

  // A change is applied only when the event says so.
  EXPECT_FALSE(Table.PSUpdateRecord(ukModify, Table));
  int asked = 0;
  Table.OnUpdateRecord = [&](TDataSet&, TDataSet&, TUpdateKind kind, TUpdateAction& action) {
    ++asked;
    EXPECT_EQ(action, uaFail);
    if (kind == ukInsert) action = uaApplied;
  };
  EXPECT_TRUE(Table.PSUpdateRecord(ukInsert, Table));
  EXPECT_FALSE(Table.PSUpdateRecord(ukDelete, Table));
  EXPECT_EQ(asked, 2);
}

TEST_F(ProviderTest, TheQueryReadsItsTableAndOrderOffItsText) {
  struct TCase {
    const char* Sql;
    const char* Table;
    const char* Order;
    const char* Descending;
  };
  const TCase cases[] = {
      {"select * from kata where a > 1 order by b desc, a", "kata", "b;a", "b"},
      {"select a from KUVO.kata", "kata", nullptr, nullptr},
      {"select x from (select a as x from kata order by a) d", "", nullptr, nullptr},
      {"select a, (select max(c) from bebas) from kata order by a asc", "kata", "a", ""},
      {"update kata set c = 0", "", nullptr, nullptr},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    TQELQuery query;
    query.SetDatabaseName("KUVO");
    query.PSSetCommandText(c.Sql);
    EXPECT_EQ(query.PSGetTableName(), c.Table);
    std::unique_ptr<TIndexDef> order = query.PSGetDefaultOrder();
    if (c.Order == nullptr) {
      EXPECT_EQ(order, nullptr);
    } else {
      ASSERT_NE(order, nullptr);
      EXPECT_EQ(order->Fields, c.Order);
      EXPECT_EQ(order->DescFields, c.Descending);
    }
  }
  TQELQuery query;
  query.SetDatabaseName("KUVO");
  query.SetSQLText("select * from kata where a = :a");
  TParams params;
  params.Add("a").Value.SetAsInteger(4);
  query.PSSetParams(params);
  EXPECT_EQ(query.PSGetParams()->ParamByName("a").Value.AsInteger(), 4);
  query.Open();
  EXPECT_EQ(query.FieldByName("b").AsString(), "empat");
  query.PSSetParams(TParams());
  EXPECT_FALSE(query.Active());
}

}  // namespace
}  // namespace qel::test
