// UPDATE, DELETE and RENAME TABLE run through the query component: rows
// changed once each even when their indexed key moves, failures that leave
// the table as it was (and fail at once), the row-subquery form of SET, and
// user transactions around the changes.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "SQLTestSupport.h"
#include "components/QELQuery.h"
#include "components/QELTable.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

using TList = std::vector<std::string>;

class SQLModifyTest : public TSQLTest {
 protected:
  void SetUp() override {
    TSQLTest::SetUp();
    // Keys 1..6 in an order unlike the index's, with an index on a.
    Exec("create table kata (a integer, b varchar(10), primary key (a))");
    Exec("insert into kata values (3, 'c'), (1, 'a'), (5, 'e'), (2, 'b'), (6, 'f'), (4, 'd')");
    Exec("create table sumber (x integer, y varchar(10))");
  }
  // Every row of kata as "a:b", in key order.
  TList Rows() {
    TQELQuery query;
    query.SetDatabaseName("KUVO");
    query.SetSQLText("select * from kata order by a");
    query.Open();
    TList rows;
    for (query.First(); !query.Eof(); query.Next()) {
      rows.push_back(query.FieldByName("a").AsString() + ":" + query.FieldByName("b").AsString());
    }
    return rows;
  }
};

const TList kOriginal{"1:a", "2:b", "3:c", "4:d", "5:e", "6:f"};

TEST_F(SQLModifyTest, UpdateChangesEachMatchingRowOnce) {
  // Every key moves ahead along an index over it, onto keys other rows
  // still hold.
  Exec("create table angka (a integer)");
  Exec("create index ix_a on angka (a)");
  Exec("insert into angka values (3), (1), (0), (2), (2), (-1)");
  EXPECT_EQ(Exec("update angka set a = a + 1 where a > 0"), 4);
  EXPECT_EQ(Select("select * from angka order by a", "a"), (TList{"-1", "0", "2", "3", "3", "4"}));
  EXPECT_EQ(Exec("update angka set a = a + 10 where a >= 3 and a < 4"), 2);
  EXPECT_EQ(Select("select * from angka order by a", "a"), (TList{"-1", "0", "2", "4", "13", "13"}));

  EXPECT_EQ(Exec("update kata set a = a + 10 where a >= 4 and a < 6"), 2);
  EXPECT_EQ(Rows(), (TList{"1:a", "2:b", "3:c", "6:f", "14:d", "15:e"}));
  // The values come from the row as it was, whatever the order of SET.
  EXPECT_EQ(Exec("update kata set a = a * 100, b = a where b = 'b'"), 1);
  EXPECT_EQ(Select("select * from kata where a = 200", "b"), TList{"2"});
  EXPECT_EQ(Exec("update kata set b = 'nope' where a = 999"), 0);

  // Parameters of the SET list and of the WHERE.
  TQELQuery query;
  query.SetDatabaseName("KUVO");
  query.SetSQLText("update kata set b = :baru where b = :lama");
  for (int i = 0; i < 2; ++i) query.Params()[i].DataType = ftString;
  query.Params()[0].Value.SetAsString("ef");
  query.Params()[1].Value.SetAsString("f");
  query.ExecSQL();
  EXPECT_EQ(query.RowsAffected(), 1);
  EXPECT_EQ(Select("select * from kata where a = 6", "b"), TList{"ef"});

  // A memo takes its new value and keeps it after a later change of the row.
  Exec("create table catatan (id integer, m memo)");
  Exec("insert into catatan values (1, 'lama'), (2, 'tetap')");
  EXPECT_EQ(Exec("update catatan set m = 'catatan baru yang panjang' where id = 1"), 1);
  EXPECT_EQ(Exec("update catatan set id = id + 10"), 2);
  EXPECT_EQ(Select("select * from catatan order by id", "m"), (TList{"catatan baru yang panjang", "tetap"}));
}

TEST_F(SQLModifyTest, FailedUpdateLeavesTableUnchangedAtOnce) {
  // Row 3 (the first stored) becomes 7; row 1 then becomes 5, which row 5
  // still holds: a key violation after a row has changed.
  const auto start = std::chrono::steady_clock::now();
  try {
    Exec("update kata set a = a + 4");
    FAIL() << "the key violation was not reported";
  } catch (const EQELEngineError& error) {
    EXPECT_EQ(error.ErrorCode(), csPreparationError);
    EXPECT_NE(error.ErrorText().find("Primary Key constraint 'C_PK$a' violated. Duplicate found."), std::string::npos)
        << error.ErrorText();
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::milliseconds(500));
  EXPECT_EQ(Rows(), kOriginal);
  // A NULL into the NOT NULL key is refused the same way.
  EXPECT_ANY_THROW(Exec("update kata set a = null where a = 6"));
  EXPECT_EQ(Rows(), kOriginal);
  EXPECT_FALSE(Database->InTransaction());
  // Nothing stayed locked: the table still takes changes.
  EXPECT_EQ(Exec("update kata set b = 'z' where a = 1"), 1);
}

TEST_F(SQLModifyTest, UpdateFromRowSubquery) {
  // No row: the columns become NULL.
  EXPECT_EQ(Exec("update kata set (b) = (select y from sumber) where a = 1"), 1);
  EXPECT_EQ(Select("select * from kata where a = 1", "b"), TList{""});
  EXPECT_EQ(Select("select * from kata where b is null", "a"), TList{"1"});
  // One row: its values, in order.
  Exec("insert into sumber values (10, 'sepuluh')");
  EXPECT_EQ(Exec("update kata set (a, b) = (select x, y from sumber) where a = 2"), 1);
  EXPECT_EQ(Select("select * from kata where a = 10", "b"), TList{"sepuluh"});
  // Two rows: refused, nothing changed.
  Exec("insert into sumber values (11, 'sebelas')");
  const TList before = Rows();
  EXPECT_EQ(CodeAndMessage([&] { Exec("update kata set (a, b) = (select x, y from sumber) where a = 3"); }),
            std::make_pair(20247, std::string("Subquery must have only one row")));
  EXPECT_EQ(CodeAndMessage([&] { Exec("update kata set (a, b) = (select x from sumber where x = 10) where a = 3"); })
                .first,
            20259);
  EXPECT_EQ(Rows(), before);
}

TEST_F(SQLModifyTest, DeleteCountsRows) {
  EXPECT_EQ(Exec("delete from kata where 1 = 0"), 0);
  EXPECT_EQ(Rows(), kOriginal);
  // An index range.
  EXPECT_EQ(Exec("delete from kata where a >= 2 and a <= 4"), 3);
  EXPECT_EQ(Rows(), (TList{"1:a", "5:e", "6:f"}));
  EXPECT_EQ(Exec("delete from kata where b = 'e'"), 1);
  EXPECT_EQ(Exec("delete from kata"), 2);
  EXPECT_EQ(Rows(), TList{});
  EXPECT_EQ(Exec("delete from kata"), 0);
}

TEST_F(SQLModifyTest, RenameTable) {
  Exec("rename table kata to kamus");
  EXPECT_EQ(Select("select * from kamus where a = 3", "b"), TList{"c"});
  EXPECT_NE(NativeErrorOf([&] { Select("select * from kata", "a"); }), 0);
  Exec("rename kamus to kata");
  EXPECT_EQ(Rows(), kOriginal);
}

TEST_F(SQLModifyTest, UserTransactionHoldsTheChanges) {
  Exec("start transaction; update kata set b = 'baru' where a > 2; delete from kata where a = 1; rollback");
  EXPECT_EQ(Rows(), kOriginal);
  EXPECT_FALSE(Database->InTransaction());
  // A failure inside a user transaction keeps the rows changed before it,
  // and runs once only, until the user rolls back.
  Database->StartTransaction();
  EXPECT_EQ(Exec("update kata set b = 'baru' where a = 1"), 1);
  EXPECT_ANY_THROW(Exec("update kata set a = a + 4"));
  EXPECT_EQ(Select("select * from kata where a = 1", "b"), TList{"baru"});
  Database->Rollback();
  EXPECT_EQ(Rows(), kOriginal);
}

}  // namespace
}  // namespace qel::test
