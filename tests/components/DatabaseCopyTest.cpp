// Repairing and converting real database files: files made by the engine
// and damaged here come back as current, clean files with every table,
// record, BLOB and index that could be read; what could not is named, and
// the original is kept beside it; a cancelled repair changes nothing.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ComponentsSupport.h"
#include "FileCheckSupport.h"
#include "TableTransferSupport.h"
#include "components/QELDatabase.h"
#include "components/QELTable.h"
#include "disk/QELDiskCatalogCheck.h"
#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskFileCheck.h"
#include "disk/QELDiskFormat.h"
#include "disk/QELDiskPageManager.h"
#include "disk/QELDiskTableCheck.h"
#include "disk/QELDiskTableData.h"
#include "pagecache/QELPageHeader.h"
#include "pagecache/QELPageType.h"
#include "platform/QELEndian.h"

namespace qel::test {
namespace {

using TSnapshot = std::map<std::string, std::vector<std::string>>;

std::int32_t ObjectIDOf(const std::string& file, const std::string& table, const std::string& password) {
  TQELDiskDatabaseData database(file);
  database.Open({password, 0}, {.ReadOnly = true});
  return CheckDiskTable(database, table, {false}).ObjectID;
}

// The file offsets of the record pages of object `objectID` in a file the
// engine made (database offset 0; page headers are never encrypted).
std::vector<std::size_t> RecordPageOffsets(const std::vector<std::uint8_t>& bytes, std::int32_t objectID) {
  std::uint16_t pageSize = 0;
  std::memcpy(&pageSize, bytes.data() + database_header::kPageSize, sizeof pageSize);
  std::vector<std::size_t> offsets;
  for (std::size_t at = kQELFirstPageOffset; at + pageSize <= bytes.size(); at += pageSize) {
    const std::uint8_t* header = bytes.data() + at;
    if (page_header::PageType(header) == ptTableRecord && page_header::ObjectID(header) == objectID) {
      offsets.push_back(at);
    }
  }
  return offsets;
}

class DatabaseCopyTest : public TComponentTest {
 protected:
  // The file with SRC (80 rows) and DUA (20 rows), made through the
  // components and closed cleanly.
  void MakeFile(const std::string& password = {}, std::uint8_t cipher = 0) {
    Password = password;
    MakeTables(password, cipher);
    Original = Snapshot();
  }


  void MakeTables(const std::string& password, std::uint8_t cipher) {
    auto database = NewDatabase();
    database->SetPassword(password);
    database->SetCryptoAlgorithm(cipher);
    database->CreateDatabase();
    database->Open();
    for (const auto& [name, rows] : {std::pair<std::string, int>{"SRC", 80}, {"DUA", 20}}) {
      TQELTable table;
      table.SetDatabaseName("KUVO");
      table.SetTableName(name);
      DefineSource(table);
      table.CreateTable();
      FillSource(table, rows);
    }
  }

  std::unique_ptr<TQELDatabase> Connect() {
    auto database = NewDatabase();
    database->SetPassword(Password);
    database->SetSilentMode(true);
    return database;
  }

  // Each table's rows in natural order and its terms in index order.
  TSnapshot Snapshot() {
    auto database = Connect();
    database->Open();
    TSnapshot snapshot;
    std::vector<std::string> names;
    database->GetTableNames(names);
    for (const std::string& name : names) {
      TQELTable table;
      table.SetDatabaseName("KUVO");
      table.SetTableName(name);
      snapshot[name] = RowTextsOf(table);
      table.SetIndexName("IX_TERM");
      snapshot[name + " by term"] = RowTextsOf(table, {"ID"});
    }
    return snapshot;
  }

  // Repairs the (closed) file; answers the error text.
  std::string Repair(const std::function<void(TQELDatabase&)>& setUp = nullptr) {
    auto database = Connect();
    if (setUp) setUp(*database);
    std::string errorText;
    database->RepairDatabase(errorText);
    Report = database->LastRepairReport();
    return errorText;
  }

  void ExpectCurrentCleanFile() {
    const std::vector<std::uint8_t> bytes = ReadFileBytes(FileName);
    ASSERT_GT(bytes.size(), 64U);
    EXPECT_EQ(std::memcmp(bytes.data(), kQELDatabaseSignature, kQELSignatureSize), 0) << "signature at 0";
    double version = 0;
    std::memcpy(&version, bytes.data() + database_header::kFormatVersion, sizeof version);
    EXPECT_EQ(version, kQELFormatVersion);
    EXPECT_EQ(bytes[database_header::kWriteState], kQELWriteStateConsistent);
    EXPECT_EQ(FaultsOf(FileName, Password), std::vector<std::string>{});
    EXPECT_FALSE(std::filesystem::exists(FileName + ".tmp"));
  }

  std::string Password;
  TSnapshot Original;
  TQELRepairReport Report;
};

TEST_F(DatabaseCopyTest, DamagedAndOldFilesComeBackCurrentWithEveryRecord) {
  struct TCase {
    const char* Name;
    std::function<void(const std::string&)> Damage;
  };
  const std::vector<TCase> cases = {
      {"not closed cleanly", [](const std::string& file) { MarkUnfinishedWrite(file); }},
      {"old format", [](const std::string& file) { SetFormatVersion(file, 2.5); }},
      {"50 000 bytes before the signature",
       [](const std::string& file) {
         std::vector<std::uint8_t> bytes(50'000, 0x5A);
         const std::vector<std::uint8_t> content = ReadFileBytes(file);
         bytes.insert(bytes.end(), content.begin(), content.end());
         WriteFileBytes(file, bytes);
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    std::filesystem::remove(FileName);
    MakeFile();
    c.Damage(FileName);
    EXPECT_EQ(Repair(), "");
    ExpectCurrentCleanFile();
    EXPECT_EQ(Snapshot(), Original);
    EXPECT_TRUE(Report.FailedTables.empty());
    EXPECT_EQ(Report.CopiedTables.size(), 2U);
    EXPECT_FALSE(std::filesystem::exists(FileName + ".bak")) << "nothing was lost: no backup kept";
  }
}

TEST_F(DatabaseCopyTest, EncryptedFilesKeepTheirPasswordAndCipher) {
  for (const std::uint8_t cipher : {caRijndael_128, caBlowfish, caTwofish_256, caDES_Triple}) {
    SCOPED_TRACE(static_cast<int>(cipher));
    std::filesystem::remove(FileName);
    MakeFile("kunci rahasia", cipher);
    MarkUnfinishedWrite(FileName);
    EXPECT_EQ(Repair(), "");
    ExpectCurrentCleanFile();
    EXPECT_EQ(Snapshot(), Original);
    auto database = Connect();
    database->Open();
    EXPECT_EQ(database->CryptoAlgorithm(), cipher);
    database->Close();
    database->SetPassword("");
    EXPECT_ANY_THROW(database->Open());
  }
}

TEST_F(DatabaseCopyTest, ALostPagesIndexIsRebuiltFromThePages) {
  MakeFile();
  {
    // The table header says nothing is there: the repair counts again.
    TQELDiskDatabaseData database(FileName);
    database.Open({"", 0});
    TQELTableCursor cursor("SRC");
    auto* table = static_cast<TQELDiskTableData*>(database.GetTableData(&cursor));
    table->AddCursor(&cursor);
    table->InitCursor(cursor);
    table->DiskRecordManager()->PagesIndex().Empty(cursor.SessionID());
    table->ApplyChanges(cursor.SessionID(), false);
    table->RemoveCursor(&cursor);
  }
  EXPECT_EQ(Repair(), "");
  ExpectCurrentCleanFile();
  EXPECT_EQ(Snapshot(), Original);
}

TEST_F(DatabaseCopyTest, AnUnreadablePageLosesOnlyItsTableAndTheOriginalIsKept) {
  // Encrypted pages carry the CRC of their data.
  MakeFile("kunci", caRijndael_128);
  std::vector<std::uint8_t> bytes = ReadFileBytes(FileName);
  const std::vector<std::size_t> pages = RecordPageOffsets(bytes, ObjectIDOf(FileName, "SRC", Password));
  ASSERT_FALSE(pages.empty());
  // Every record page but the first: its CRC no longer matches.
  for (std::size_t i = 1; i < pages.size(); ++i) bytes[pages[i] + 200] ^= 0xFF;
  ASSERT_GT(pages.size(), 1U);
  WriteFileBytes(FileName, bytes);
  MarkUnfinishedWrite(FileName);
  const std::vector<std::uint8_t> damaged = ReadFileBytes(FileName);

  const std::string errorText = Repair();
  EXPECT_EQ(errorText.rfind("Problem occured while copying table 'SRC': '", 0), 0U) << errorText;
  EXPECT_EQ(Report.CopiedTables, (std::vector<std::string>{"DUA"}));
  ASSERT_EQ(Report.FailedTables.size(), 1U);
  EXPECT_EQ(Report.FailedTables[0].first, "SRC");
  // The original stays beside the repaired file, as it was.
  EXPECT_EQ(Report.BackupFileName, FileName + ".bak");
  EXPECT_EQ(ReadFileBytes(FileName + ".bak"), damaged);
  ExpectCurrentCleanFile();
  const TSnapshot repaired = Snapshot();
  EXPECT_EQ(repaired.at("DUA"), Original.at("DUA"));
  // What could be read before the damage is kept.
  ASSERT_EQ(repaired.count("SRC"), 1U);
  EXPECT_LT(repaired.at("SRC").size(), Original.at("SRC").size());

  // A later repair that saves everything leaves that backup alone and
  // keeps none of its own.
  MarkUnfinishedWrite(FileName);
  EXPECT_EQ(Repair(), "");
  EXPECT_EQ(ReadFileBytes(FileName + ".bak"), damaged);
  EXPECT_FALSE(std::filesystem::exists(FileName + ".1.bak"));
}

TEST_F(DatabaseCopyTest, ACancelledRepairLeavesTheFileByteForByte) {
  MakeFile();
  MarkUnfinishedWrite(FileName);
  const std::vector<std::uint8_t> before = ReadFileBytes(FileName);
  const auto entries = DirectoryEntries(Dir.Path());
  std::vector<int> percents;
  const std::string errorText = Repair([&](TQELDatabase& database) {
    database.OnRepairProgress = [&](TQELComponent&, int percent, bool& go) {
      percents.push_back(percent);
      go = percent < 50;
    };
  });
  EXPECT_EQ(errorText, "Unknown error");
  EXPECT_TRUE(Report.Cancelled);
  ASSERT_FALSE(percents.empty());
  EXPECT_GE(percents.back(), 50);
  EXPECT_EQ(ReadFileBytes(FileName), before);
  EXPECT_EQ(DirectoryEntries(Dir.Path()), entries);
}

TEST_F(DatabaseCopyTest, OpeningAnOldFileConvertsItOnTheWay) {
  MakeFile();
  SetFormatVersion(FileName, 2.5);
  TScriptedPrompt prompt;
  auto database = NewDatabase();
  database->Open();
  ASSERT_EQ(prompt.Messages.size(), 1U);
  EXPECT_EQ(prompt.Messages[0].first, mkInformation);
  EXPECT_TRUE(database->Connected());
  EXPECT_TRUE(database->TableExists("SRC"));
  database.reset();
  ExpectCurrentCleanFile();
  EXPECT_EQ(Snapshot(), Original);
}

}  // namespace
}  // namespace qel::test
