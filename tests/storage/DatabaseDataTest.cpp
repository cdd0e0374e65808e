// TQELDatabaseData through a small storage kind: the session list and
// release of an unused database, the registry of open tables with its
// case-blind lookup, and commit and rollback per session.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pagecache/QELPageType.h"
#include "storage/QELDatabaseData.h"
#include "support/ErrorSupport.h"
#include "support/MemoryPageManager.h"

namespace qel {
namespace {

using test::NativeErrorOf;

struct TTableLog {
  std::vector<std::int32_t> Refreshed;
  std::int32_t Destroyed = 0;
};

class TLoggedTable final : public TQELTableDataBase {
 public:
  TLoggedTable(std::string name, TTableLog& log) : TQELTableDataBase(std::move(name)), FLog(log) {}
  ~TLoggedTable() override { ++FLog.Destroyed; }
  std::int64_t GetRecordNumberLimit(std::int32_t) override { return 0; }
  std::int64_t RecordIDToRecordNumber(const TQELRecordID&) override { return 0; }
  void RecordNumberToRecordID(TQELRecordID&, std::int64_t) override {}
  void RefreshIndexes(std::int32_t sessionID) override { FLog.Refreshed.push_back(sessionID); }

 private:
  TTableLog& FLog;
};

class TTestDatabaseData final : public TQELDatabaseData {
 public:
  explicit TTestDatabaseData(TTableLog& log) : TQELDatabaseData("MEMORY"), FLog(log) {}
  TQELTableDataBase* CreateTableData(TQELStorageCursor* cursor) override {
    ++Created;
    return AddTableData(std::make_unique<TLoggedTable>(cursor->TableName(), FLog));
  }
  std::int32_t GetNextObjectID() override { return ++FLastID; }
  using TQELDatabaseData::SetPageManager;

  std::int32_t Created = 0;

 private:
  TTableLog& FLog;
  std::int32_t FLastID = 0;
};

class TSession final : public TQELStorageSession {
 public:
  std::int32_t SessionID() const override { return FID; }
  void SetSessionID(std::int32_t sessionID) override { FID = sessionID; }

 private:
  std::int32_t FID = 7;
};

class TCursor final : public TQELStorageCursor {
 public:
  explicit TCursor(std::string name) : FName(std::move(name)) {}
  std::string TableName() const override { return FName; }

 private:
  std::string FName;
};

TEST(DatabaseDataTest, SessionsAreListedOnceAndAnUnusedDatabaseIsReleased) {
  TTableLog log;
  auto owned = std::make_unique<TTestDatabaseData>(log);
  TTestDatabaseData* database = owned.get();
  std::int32_t releases = 0;
  // The owner destroys the object from inside FreeIfUnused.
  database->SetReleaseHandler([&](TQELDatabaseData& released) {
    EXPECT_EQ(&released, owned.get());
    ++releases;
    owned.reset();
  });
  TCursor cursor("t");
  database->GetTableData(&cursor);

  TSession a;
  TSession b;
  database->AddSession(&a);
  EXPECT_EQ(a.SessionID(), 0);
  database->AddSession(&a);
  database->AddSession(&b);
  EXPECT_EQ(database->Sessions().size(), 2u);
  EXPECT_EQ(NativeErrorOf([&] { database->AddSession(nullptr); }), 20135);

  database->RemoveSession(&a);
  EXPECT_FALSE(database->FreeIfUnused());
  EXPECT_EQ(releases, 0);
  database->RemoveSession(&b);
  EXPECT_TRUE(database->FreeIfUnused());
  EXPECT_EQ(releases, 1);
  EXPECT_EQ(owned, nullptr);
  EXPECT_EQ(log.Destroyed, 1);  // the open table went with it
}

TEST(DatabaseDataTest, TablesAreFoundWithoutRegardToCase) {
  TTableLog log;
  TTestDatabaseData database(log);
  TCursor lower("tblKuvo");
  TCursor upper("TBLKUVO");
  TCursor other("Other");
  EXPECT_EQ(database.FindTableData(&lower), nullptr);
  TQELTableDataBase* table = database.GetTableData(&lower);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(database.GetTableData(&upper), table);
  EXPECT_EQ(database.FindTableData(&upper), table);
  EXPECT_EQ(database.FindTableData(&other), nullptr);
  EXPECT_EQ(database.Created, 1);
  database.GetTableData(&other);

  std::vector<std::string> names{"kept"};
  database.GetTableNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"kept", "tblKuvo", "Other"}));
  EXPECT_TRUE(database.TableExists("TBLkuvo"));
  EXPECT_FALSE(database.TableExists("tblKuvo2"));

  database.RemoveTableData(table);
  EXPECT_EQ(log.Destroyed, 1);
  EXPECT_FALSE(database.TableExists("tblKuvo"));
  EXPECT_EQ(NativeErrorOf([&] { database.FindTableData(nullptr); }), 20136);
  EXPECT_EQ(NativeErrorOf([&] { database.GetTableData(nullptr); }), 20136);
}

TEST(DatabaseDataTest, CommitWritesAndRollbackDropsTheSessionsPages) {
  TTableLog log;
  TTestDatabaseData database(log);
  auto pages = std::make_unique<test::TMemoryPageManager>();
  test::TMemoryPageManager* manager = pages.get();
  database.SetPageManager(std::move(pages));
  TCursor t1("a");
  TCursor t2("b");
  database.GetTableData(&t1);
  database.GetTableData(&t2);

  manager->ReleasePage(manager->AddNewPage(3, ptEmpty));
  database.Commit(3);
  EXPECT_FALSE(manager->HasChanges(3));
  EXPECT_EQ(manager->UsedPages(), 1);
  EXPECT_TRUE(log.Refreshed.empty());

  manager->ReleasePage(manager->AddNewPage(4, ptEmpty));
  manager->ReleasePage(manager->AddNewPage(5, ptEmpty));
  database.Rollback(4);
  EXPECT_FALSE(manager->HasChanges(4));
  EXPECT_TRUE(manager->HasChanges(5));  // another session's work stays
  EXPECT_EQ(manager->UsedPages(), 2);
  EXPECT_EQ(log.Refreshed, (std::vector<std::int32_t>{4, 4}));
  database.Rollback(5);
}

}  // namespace
}  // namespace qel
