// Statements of several processes on one multi-user file: a table that
// another process's transaction has changed ends a change with "Table is
// locked", and changes of two processes to the same rows serialise with
// none lost.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ComponentsSupport.h"
#include "components/QELQuery.h"
#include "components/QELTable.h"
#include "components/query/QELStatementLocks.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

// Runs one statement on `database` (connected); answers its row count.
std::int32_t RunSql(const std::string& database, const std::string& sql) {
  TQELQuery query;
  query.SetDatabaseName(database);
  query.SetSQLText(sql);
  query.ExecSQL();
  return query.RowsAffected();
}

class SQLConcurrencyTest : public TComponentTest {
 protected:
  void SetUp() override {
    TComponentTest::SetUp();
    auto database = NewDatabase();
    database->CreateDatabase();
    database->Open();
    RunSql("KUVO", "create table hitung (id integer, n integer, primary key (id))");
    RunSql("KUVO", "insert into hitung values (1, 0), (2, 0)");
  }
  void TearDown() override {
    QELStatementLockWaits() = {};
    TComponentTest::TearDown();
  }

  // The database "name" on the fixture's file, shared with other processes.
  std::unique_ptr<TQELDatabase> Shared(const std::string& name) {
    auto database = NewDatabase(FileName, name);
    database->SetMultiUser(true);
    database->Open();
    return database;
  }

  std::int32_t Value(std::int32_t id) {
    auto database = Shared("LIHAT");
    TQELQuery query;
    query.SetDatabaseName("LIHAT");
    query.SetSQLText("select n from hitung where id = " + std::to_string(id));
    query.Open();
    return query.FieldByName("n").AsInteger();
  }
};

TEST_F(SQLConcurrencyTest, AChangeOfAnotherTransactionEndsTheStatementWithTableIsLocked) {
  // A transaction that changed the table holds it against every change
  // made outside a transaction until it ends; reading it stays possible.
  TChildProcess holder([&](TChildProcess& self) {
    auto database = Shared("PEMEGANG");
    database->StartTransaction();
    if (RunSql("PEMEGANG", "update hitung set n = 7 where id = 2") != 1) return kChildFailed;
    self.SignalReady();
    self.AwaitRelease();
    database->Commit();
    return kChildGranted;
  });
  ASSERT_TRUE(holder.AwaitReady());
  QELStatementLockWaits() = {3, 10};
  auto database = Shared("PENULIS");
  struct TCase {
    const char* Sql;
    std::int32_t Code;
  };
  for (const TCase& c : {TCase{"update hitung set n = 5 where id = 1", 20223}, TCase{"delete from hitung", 20223},
                         TCase{"insert into hitung values (3, 0)", 20224}}) {
    SCOPED_TRACE(c.Sql);
    const auto [code, message] = CodeAndMessage([&] { RunSql("PENULIS", c.Sql); });
    EXPECT_EQ(code, c.Code);
    EXPECT_NE(message.find("Table is locked"), std::string::npos) << message;
  }
  holder.Release();
  EXPECT_EQ(holder.Wait(), kChildGranted);
  // Nothing was changed, and now the change goes through.
  EXPECT_EQ(Value(1), 0);
  EXPECT_EQ(Value(2), 7);
  EXPECT_EQ(RunSql("PENULIS", "update hitung set n = 5 where id = 1"), 1);
  database.reset();
  EXPECT_EQ(Value(1), 5);
}

// On a shared file every insert takes a value of its own from a sequence,
// in one process and across two.
TEST_F(SQLConcurrencyTest, SequencesHandEachInsertANewValue) {
  {
    auto database = Shared("PENULIS");
    RunSql("PENULIS", "create table nomor (id autoinc(integer, initialvalue 100, increment 10), t varchar(5))");
    RunSql("PENULIS", "insert into nomor (t) values ('a')");
    RunSql("PENULIS", "insert into nomor (t) values ('b')");
  }
  TChildProcess other([&](TChildProcess&) {
    auto database = Shared("LAIN");
    for (int i = 0; i < 3; ++i) RunSql("LAIN", "insert into nomor (t) values ('c')");
    return kChildGranted;
  });
  EXPECT_EQ(other.Wait(), kChildGranted);
  auto database = Shared("BACA");
  TQELQuery query;
  query.SetDatabaseName("BACA");
  query.SetSQLText("select id from nomor order by id");
  query.Open();
  std::vector<std::int32_t> ids;
  for (query.First(); !query.Eof(); query.Next()) ids.push_back(query.Fields(0).AsInteger());
  EXPECT_EQ(ids, (std::vector<std::int32_t>{110, 120, 130, 140, 150}));
}

TEST_F(SQLConcurrencyTest, TwoProcessesUpdatingTheSameRowsKeepEveryUpdate) {
  constexpr int kUpdates = 60;
  auto writer = [&](const std::string& name) {
    return [&, name](TChildProcess& self) {
      auto database = Shared(name);
      self.SignalReady();
      self.AwaitRelease();
      for (int i = 0; i < kUpdates; ++i) {
        if (RunSql(name, "update hitung set n = n + 1 where id = 1") != 1) return kChildFailed;
        if (RunSql(name, "update hitung set n = n + 2 where id >= 2") != 1) return kChildFailed;
      }
      return kChildGranted;
    };
  };
  TChildProcess first(writer("SATU"));
  TChildProcess second(writer("DUA"));
  ASSERT_TRUE(first.AwaitReady());
  ASSERT_TRUE(second.AwaitReady());
  first.Release();
  second.Release();
  EXPECT_EQ(first.Wait(std::chrono::seconds(120)), kChildGranted);
  EXPECT_EQ(second.Wait(std::chrono::seconds(120)), kChildGranted);
  EXPECT_EQ(Value(1), 2 * kUpdates);
  EXPECT_EQ(Value(2), 4 * kUpdates);
}

}  // namespace
}  // namespace qel::test
