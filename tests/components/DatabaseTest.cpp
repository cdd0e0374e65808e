// The database component: its version text, creating and deleting files,
// transactions, table names, the close order of its datasets, and settings
// read from a stored form.

#include <gtest/gtest.h>

#include <clocale>
#include <filesystem>
#include <locale>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "components/ComponentsSupport.h"
#include "components/QELDatabase.h"
#include "components/QELDatabaseDataSet.h"
#include "components/db/QELDatabaseError.h"
#include "disk/QELRollbackJournal.h"
#include "platform/QELException.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

using test::MessageOf;
using test::NativeErrorOf;

class DatabaseTest : public test::TComponentTest {};

// A decimal comma, as many users' locales have.
class TCommaNumbers : public std::numpunct<char> {
 protected:
  char do_decimal_point() const override { return ','; }
};

TEST_F(DatabaseTest, CurrentVersionIgnoresTheLocalesDecimalSeparator) {
  const std::locale old = std::locale::global(std::locale(std::locale::classic(), new TCommaNumbers));
  std::string cLocale;
  for (const char* name : {"de_DE.UTF-8", "id_ID.UTF-8", "fr_FR.UTF-8"}) {
    if (const char* set = std::setlocale(LC_NUMERIC, name)) {
      cLocale = set;
      break;
    }
  }
  std::ostringstream naive;
  naive << std::fixed;
  naive.precision(2);
  naive << 5.06;
  EXPECT_EQ(naive.str(), "5,06");  // the locale is in force
  EXPECT_EQ(TQELDatabase::CurrentVersion(), "5.06 ");
  std::setlocale(LC_NUMERIC, "C");
  std::locale::global(old);
}

TEST_F(DatabaseTest, CreatingMakesAnEmptyFileAndStaysDisconnected) {
  auto database = NewDatabase();
  database->SetPassword("secret");
  database->SetPageSize(8192);
  database->CreateDatabase();
  EXPECT_FALSE(database->Connected());
  EXPECT_TRUE(std::filesystem::exists(FileName));
  database->Open();
  EXPECT_EQ(database->PageSize(), 8192);
  std::vector<std::string> names = {"stale"};
  database->GetTableNames(names);
  EXPECT_TRUE(names.empty());
  EXPECT_FALSE(database->TableExists("T"));

  // Not over a file this process has open.
  auto second = NewDatabase(FileName, "KUVO2");
  EXPECT_EQ(NativeErrorOf([&] { second->CreateDatabase(); }), 20092);
  database->Close();

  // The password went into the file.
  auto guest = NewDatabase(FileName, "GUEST");
  guest->SetSilentMode(true);
  EXPECT_EQ(NativeErrorOf([&] { guest->Open(); }), 30445);
}

TEST_F(DatabaseTest, DeletingRemovesTheJournalToo) {
  test::CreateEngineFile(FileName);
  // A clean close leaves no journal; one left by a process that died is
  // made by hand.
  const std::string journal = TQELRollbackJournal::PathFor(FileName);
  test::WriteFileBytes(journal, {0});
  auto database = NewDatabase();
  database->DeleteDatabase();
  EXPECT_FALSE(std::filesystem::exists(FileName));
  EXPECT_FALSE(std::filesystem::exists(journal));
  database->DeleteDatabase();  // nothing left to delete is no error

  // A journal without its file goes as well: a file made at this path later
  // must not have it rolled back into it.
  test::WriteFileBytes(journal, std::vector<std::uint8_t>(600, 1));
  database->DeleteDatabase();
  EXPECT_FALSE(std::filesystem::exists(journal));
}

TEST_F(DatabaseTest, AFileOpenInThisProcessIsNotDeletedUnderItsUsers) {
  test::CreateEngineFile(FileName);
  auto user = NewDatabase();
  user->Open();
  // The journal an open writer may keep beside the file.
  test::WriteFileBytes(TQELRollbackJournal::PathFor(FileName), {0});
  auto other = NewDatabase(FileName, "OTHER");
  other->SetName("other");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { other->DeleteDatabase(); }),
            "other: Cannot perform this operation on an open database");
  EXPECT_TRUE(std::filesystem::exists(FileName));
  EXPECT_TRUE(std::filesystem::exists(TQELRollbackJournal::PathFor(FileName)));
  EXPECT_TRUE(user->TableExists("T"));
  user->Close();
  other->DeleteDatabase();
  EXPECT_FALSE(std::filesystem::exists(FileName));
}

TEST_F(DatabaseTest, TransactionsAreForwardedToTheEngineSession) {
  test::CreateEngineFile(FileName);
  auto database = NewDatabase();
  EXPECT_FALSE(database->InTransaction());
  database->Open();
  EXPECT_EQ(NativeErrorOf([&] { database->Commit(); }), 20229);
  EXPECT_EQ(NativeErrorOf([&] { database->Rollback(); }), 20229);
  database->StartTransaction();
  EXPECT_TRUE(database->InTransaction());
  database->Rollback();
  EXPECT_FALSE(database->InTransaction());
  database->StartTransaction();
  database->Commit(true);
  EXPECT_FALSE(database->InTransaction());
  database->StartTransaction();
  database->Close();  // rolled back, not committed
  EXPECT_FALSE(database->InTransaction());
}

TEST_F(DatabaseTest, TableNamesConnectForTheCallOnlyAndSwallowFailures) {
  test::CreateEngineFile(FileName);
  auto database = NewDatabase();
  std::vector<std::string> names;
  database->GetTableNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"T"}));
  EXPECT_FALSE(database->Connected());
  EXPECT_EQ(test::ListedFiles(), 0U);

  database->Open();
  database->GetTableNames(names);
  EXPECT_TRUE(database->Connected());  // was connected: stays so
  database->Close();

  auto missing = NewDatabase(Dir.File("missing.qel"), "MISSING");
  names = {"kept"};
  missing->GetTableNames(names);
  EXPECT_EQ(names, (std::vector<std::string>{"kept"}));

  EXPECT_TRUE(database->TableExists("t"));
  EXPECT_TRUE(database->Connected());  // TableExists stays connected
  EXPECT_FALSE(database->TableExists("U"));
  database->SetDatabaseFileName(Dir.File("other.qel"));  // disconnects first
  EXPECT_FALSE(database->Connected());
  EXPECT_EQ(test::ListedFiles(), 0U);
}

// A dataset that logs its close, and may fail it or leave the database.
class TFakeDataSet : public TQELDatabaseDataSet {
 public:
  TFakeDataSet(std::vector<std::string>& log, std::string name, bool query)
      : FLog(log), FName(std::move(name)), FQuery(query) {}
  bool IsQuery() const override { return FQuery; }
  void CloseForDatabase() override {
    FLog.push_back(FName);
    if (Unbind != nullptr) Unbind->RemoveDataSet(this);
    if (Fail) throw std::runtime_error("cannot close " + FName);
  }
  void DatabaseFreed(TQELDatabase&) override { FLog.push_back("freed " + FName); }

  TQELDatabase* Unbind = nullptr;
  bool Fail = false;

 private:
  std::vector<std::string>& FLog;
  std::string FName;
  bool FQuery;
};

TEST_F(DatabaseTest, ClosingClosesQueriesFirstThenTheOtherDatasetsLastFirst) {
  test::CreateEngineFile(FileName);
  auto database = NewDatabase();
  std::vector<std::string> log;
  TFakeDataSet t1(log, "t1", false), q1(log, "q1", true), t2(log, "t2", false), q2(log, "q2", true),
      t3(log, "t3", false);
  for (TFakeDataSet* dataSet : {&t1, &q1, &t2, &q2, &t3}) database->AddDataSet(dataSet);
  database->AddDataSet(&t1);  // bound once
  EXPECT_EQ(database->DataSetCount(), 5U);
  q1.Unbind = database.get();  // a query that leaves the list as it closes
  t2.Fail = true;              // one that fails: the others still close

  database->Open();
  EXPECT_THROW(database->Close(), std::runtime_error);
  EXPECT_EQ(log, (std::vector<std::string>{"q1", "q2", "t3", "t2", "t1"}));
  EXPECT_FALSE(database->Connected());
  EXPECT_EQ(test::ListedFiles(), 0U);

  log.clear();
  database.reset();
  EXPECT_EQ(log, (std::vector<std::string>{"freed t1", "freed t2", "freed q2", "freed t3"}));
}

TEST_F(DatabaseTest, ConnectedReadFromAFormIsAppliedAfterTheOtherSettings) {
  test::CreateEngineFile(FileName);
  TQELComponent form;
  form.BeginLoading();
  auto* database = form.CreateComponent<TQELDatabase>();
  database->SetConnected(true);  // stored before the name and file are read
  database->SetDatabaseName("KUVO");
  database->SetDatabaseFileName(FileName);
  database->SetReadOnly(true);
  EXPECT_FALSE(database->Connected());
  form.EndLoading();
  EXPECT_TRUE(database->Connected());
  EXPECT_TRUE(database->ReadOnly());

  // An error while connecting reaches whoever loads the form.
  TQELComponent broken;
  broken.BeginLoading();
  auto* missing = broken.CreateComponent<TQELDatabase>();
  missing->SetConnected(true);
  missing->SetDatabaseName("MISSING");
  missing->SetDatabaseFileName(Dir.File("missing.qel"));
  EXPECT_THROW(broken.EndLoading(), EDatabaseError);
  EXPECT_FALSE(missing->Connected());
}

}  // namespace
}  // namespace qel
