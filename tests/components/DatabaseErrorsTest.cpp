// The database component's own errors, with and without a component name,
// and bad input: each ends in a clear error, leaves the database closed with
// no engine session behind, and writes nothing.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/ComponentsSupport.h"
#include "components/QELDatabase.h"
#include "components/db/QELDatabaseError.h"
#include "platform/QELException.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

using test::MessageOf;

class DatabaseErrorsTest : public test::TComponentTest {
 protected:
  void SetUp() override {
    TComponentTest::SetUp();
    test::CreateEngineFile(FileName);
  }
};

struct TErrorCase {
  const char* Title;
  // Brings the database where the error is raised, and raises it.
  std::function<void(TQELDatabase& database, const std::string& fileName)> Action;
  // The bare text, for the file the case works on.
  std::function<std::string(const std::string& fileName)> Text;
};

TEST_F(DatabaseErrorsTest, ComponentErrorsCarryTheirTextsAndLeaveNothingConnected) {
  const std::string missing = Dir.File("missing.qel");
  const std::vector<TErrorCase> cases = {
      {"no database name", [](TQELDatabase& d, const std::string&) { d.SetDatabaseName(""); d.Open(); },
       [](const std::string&) { return "Database name missing"; }},
      {"a blank database name", [](TQELDatabase& d, const std::string&) { d.SetDatabaseName("  "); d.Open(); },
       [](const std::string&) { return "Database name missing"; }},
      {"creating without a name",
       [](TQELDatabase& d, const std::string&) {
         d.SetDatabaseName("");
         d.CreateDatabase();
       },
       [](const std::string&) { return "Database name missing"; }},
      {"a missing file",
       [&](TQELDatabase& d, const std::string&) { d.SetDatabaseFileName(missing); d.Open(); },
       [&](const std::string&) { return "Database file '" + missing + "' does not exist"; }},
      {"a transaction while closed", [](TQELDatabase& d, const std::string&) { d.StartTransaction(); },
       [](const std::string&) { return "Cannot perform this operation on a closed database"; }},
      {"a commit while closed", [](TQELDatabase& d, const std::string&) { d.Commit(); },
       [](const std::string&) { return "Cannot perform this operation on a closed database"; }},
      {"a rollback while closed", [](TQELDatabase& d, const std::string&) { d.Rollback(); },
       [](const std::string&) { return "Cannot perform this operation on a closed database"; }},
      {"a second transaction",
       [](TQELDatabase& d, const std::string&) {
         d.Open();
         d.StartTransaction();
         d.StartTransaction();
       },
       [](const std::string&) { return "Database already in transaction"; }},
      {"renaming while open", [](TQELDatabase& d, const std::string&) { d.Open(); d.SetDatabaseName("OTHER"); },
       [](const std::string&) { return "Cannot perform this operation on an open database"; }},
      {"another session while open", [](TQELDatabase& d, const std::string&) { d.Open(); d.SetSessionName("x"); },
       [](const std::string&) { return "Cannot perform this operation on an open database"; }},
      {"creating while open", [](TQELDatabase& d, const std::string&) { d.Open(); d.CreateDatabase(); },
       [](const std::string&) { return "Cannot perform this operation on an open database"; }},
      {"deleting while open", [](TQELDatabase& d, const std::string&) { d.Open(); d.DeleteDatabase(); },
       [](const std::string&) { return "Cannot perform this operation on an open database"; }},
  };
  for (const TErrorCase& c : cases) {
    for (const std::string name : {"db", ""}) {
      SCOPED_TRACE(std::string(c.Title) + (name.empty() ? ", unnamed" : ", named"));
      auto database = NewDatabase();
      database->SetName(name);
      const std::string text = c.Text(FileName);
      EXPECT_EQ(MessageOf<EDatabaseError>([&] { c.Action(*database, FileName); }),
                name.empty() ? text : name + ": " + text);
      database->Close();
      EXPECT_FALSE(database->Connected());
      EXPECT_EQ(database->EngineSession(), nullptr);
      EXPECT_EQ(test::ListedFiles(), 0U);
    }
  }
  EXPECT_TRUE(std::filesystem::exists(FileName));  // never deleted while open
}

TEST_F(DatabaseErrorsTest, ASecondDatabaseOfTheSameNameIsRefusedNamedOrNot) {
  auto first = NewDatabase();
  for (const std::string name : {"db2", ""}) {
    auto second = std::make_unique<TQELDatabase>();
    second->SetName(name);
    const std::string text = "Duplicate database name 'kuvo'";
    EXPECT_EQ(MessageOf<EDatabaseError>([&] { second->SetDatabaseName("kuvo"); }),
              name.empty() ? text : name + ": " + text);
    EXPECT_EQ(second->DatabaseName(), "");
  }
}

TEST_F(DatabaseErrorsTest, AnUnknownSessionIsTheEnginesErrorAndTheDatabaseStaysClosed) {
  auto database = NewDatabase();
  database->SetName("db");
  database->SetSessionName("Nowhere");
  EXPECT_EQ(MessageOf<EQELException>([&] { database->Open(); }),
            "Invalid session name 'Nowhere' - Native error: 20002");
  EXPECT_FALSE(database->Connected());
  EXPECT_EQ(test::NativeErrorOf([&] { database->CreateDatabase(); }), 20002);
  EXPECT_EQ(test::NativeErrorOf([&] { database->DeleteDatabase(); }), 20002);
  EXPECT_TRUE(std::filesystem::exists(FileName));
}

// Changes the working directory for a scope.
class TWorkingDirectory {
 public:
  explicit TWorkingDirectory(const std::string& path) : FOld(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~TWorkingDirectory() { std::filesystem::current_path(FOld); }

 private:
  std::filesystem::path FOld;
};

TEST_F(DatabaseErrorsTest, BadFilesEndInAnErrorNamingTheFileAndWriteNothing) {
  const std::string folder = Dir.File("folder.qel");
  std::filesystem::create_directory(folder);
  const std::string empty = Dir.File("empty.qel");
  test::WriteFileBytes(empty, {});
  const std::string garbage = Dir.File("garbage.qel");
  test::WriteFileBytes(garbage, std::vector<std::uint8_t>(9000, 0x5A));
  struct TCase {
    const char* Title;
    std::string FileName;
    // The text the file name appears in.
    std::string Named;
  };
  const std::string nonAscii = Dir.File("kamus-\xC3\xA9\xE2\x82\xAC.qel");
  const std::vector<TCase> cases = {
      {"a directory", folder, "'" + folder + "'"},
      {"an empty file", empty, "'" + empty + "'"},
      {"a garbage file", garbage, "'" + garbage + "'"},
      {"no file name", "", "Database file '' does not exist"},
      {"a blank file name", "  ", "Database file '  ' does not exist"},
      {"a relative path", "nosuch/kuvo.qel", "'nosuch/kuvo.qel'"},
      {"a non-ASCII path", nonAscii, "'" + nonAscii + "'"},
  };
  const auto entries = test::DirectoryEntries(Dir.Path());
  const auto garbageBytes = test::ReadFileBytes(garbage);
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Title);
    auto database = NewDatabase(c.FileName);
    database->SetDatabaseFileName(c.FileName);
    std::string message;
    try {
      database->Open();
    } catch (const std::exception& error) {
      message = error.what();
    }
    EXPECT_NE(message.find(c.Named), std::string::npos) << message;
    EXPECT_FALSE(database->Connected());
    EXPECT_EQ(database->EngineSession(), nullptr);
    EXPECT_EQ(test::ListedFiles(), 0U);
    EXPECT_EQ(test::DirectoryEntries(Dir.Path()), entries);
  }
  EXPECT_EQ(test::ReadFileBytes(garbage), garbageBytes);
  EXPECT_TRUE(test::ReadFileBytes(empty).empty());

  // A directory is neither created over nor deleted.
  auto database = NewDatabase(folder);
  EXPECT_NE(MessageOf<EQELException>([&] { database->CreateDatabase(); }).find("'" + folder + "'"),
            std::string::npos);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { database->DeleteDatabase(); }),
            "Cannot delete database file '" + folder + "': Is a directory");
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_EQ(test::DirectoryEntries(Dir.Path()), entries);
}

TEST_F(DatabaseErrorsTest, RelativeAndNonAsciiPathsAreUsedAsGiven) {
  const std::string nonAscii = Dir.File("istilah-\xC3\xBC\xE2\x82\xAC.qel");
  test::CreateEngineFile(nonAscii);
  auto wide = NewDatabase(nonAscii, "WIDE");
  wide->Open();
  EXPECT_TRUE(wide->TableExists("T"));
  wide->Close();

  TWorkingDirectory here(Dir.Path());
  auto relative = NewDatabase("kuvo.qel");
  relative->Open();
  EXPECT_TRUE(relative->TableExists("T"));
  relative->Close();
}

}  // namespace
}  // namespace qel
