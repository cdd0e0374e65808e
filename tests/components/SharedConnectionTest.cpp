// Databases that share one engine connection (HandleShared): whichever
// closes first, the other goes on working, and the last one disconnects.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "components/ComponentsSupport.h"
#include "components/QELDatabase.h"
#include "components/db/QELDatabaseError.h"
#include "engine/QELLocalCursor.h"
#include "engine/QELLocalSession.h"

namespace qel {
namespace {

class SharedConnectionTest : public test::TComponentTest {
 protected:
  void SetUp() override {
    TComponentTest::SetUp();
    test::CreateEngineFile(FileName);
  }

  std::unique_ptr<TQELDatabase> Sharing() {
    auto database = std::make_unique<TQELDatabase>();
    database->SetHandleShared(true);
    database->SetDatabaseName("KUVO");
    database->SetDatabaseFileName(FileName);
    return database;
  }

  // Writes a table through the database and reads its name back: the
  // connection works for reading, writing and transactions.
  static void ExpectWorking(TQELDatabase& database, const std::string& table) {
    ASSERT_NE(database.EngineSession(), nullptr);
    EXPECT_TRUE(database.EngineSession()->GetConnected());
    database.StartTransaction();
    database.Commit();
    TQELFieldDefs fields;
    fields.Add("ID", aftInteger, 0);
    TQELLocalCursor cursor;
    cursor.Session = database.EngineSession();
    cursor.SetTableName(table);
    cursor.CreateTable(fields, {}, {});
    EXPECT_TRUE(database.TableExists(table));
    std::vector<std::string> names;
    database.GetTableNames(names);
    EXPECT_NE(std::find(names.begin(), names.end(), table), names.end());
  }
};

TEST_F(SharedConnectionTest, TheBorrowerGoesOnWhenTheLenderClosesFirst) {
  auto lender = Sharing();
  auto borrower = Sharing();  // the same name is allowed between sharers
  lender->Open();
  borrower->Open();
  EXPECT_TRUE(borrower->Borrowed());
  EXPECT_FALSE(lender->Borrowed());
  EXPECT_EQ(borrower->EngineSession(), lender->EngineSession());
  EXPECT_EQ(test::ListedFiles(), 1U);

  lender->Close();
  EXPECT_FALSE(lender->Connected());
  EXPECT_TRUE(borrower->Connected());
  EXPECT_EQ(test::ListedFiles(), 1U);
  ExpectWorking(*borrower, "AFTERLENDER");

  // Connecting again, the former lender borrows from the one that now
  // holds the connection.
  lender->Open();
  EXPECT_EQ(lender->EngineSession(), borrower->EngineSession());
  lender.reset();  // freeing closes as well
  ExpectWorking(*borrower, "AFTERFREE");
  borrower->Close();
  EXPECT_EQ(test::ListedFiles(), 0U);
}

TEST_F(SharedConnectionTest, TheLenderGoesOnWhenTheBorrowerClosesFirst) {
  auto lender = Sharing();
  auto borrower = Sharing();
  lender->Open();
  borrower->Open();
  borrower->Close();
  EXPECT_EQ(borrower->EngineSession(), nullptr);
  EXPECT_TRUE(lender->Connected());
  ExpectWorking(*lender, "AFTERBORROWER");
  borrower.reset();
  ExpectWorking(*lender, "AFTERBORROWERFREED");
  lender->Close();
  EXPECT_EQ(test::ListedFiles(), 0U);
}

TEST_F(SharedConnectionTest, OnlySharingDatabasesMayShareAName) {
  auto sharing = Sharing();
  auto plain = std::make_unique<TQELDatabase>();
  EXPECT_THROW(plain->SetDatabaseName("KUVO"), EDatabaseError);
  auto second = Sharing();
  // Giving up sharing while another database has the name is refused.
  EXPECT_THROW(second->SetHandleShared(false), EDatabaseError);
  EXPECT_TRUE(second->HandleShared());

  // A database that does not share connects on its own.
  plain->SetDatabaseName("KUVO2");
  plain->SetDatabaseFileName(FileName);
  sharing->Open();
  plain->Open();
  EXPECT_FALSE(plain->Borrowed());
  EXPECT_NE(plain->EngineSession(), sharing->EngineSession());
  sharing->Close();
  ExpectWorking(*plain, "PLAIN");
  plain->Close();
}

}  // namespace
}  // namespace qel
