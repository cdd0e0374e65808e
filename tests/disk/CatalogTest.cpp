// The system files of a database: the system directory at page 2, the
// sessions file, the table list with its name rules, and the check that
// walks them.

#include <gtest/gtest.h>

#include "DiskTestSupport.h"
#include "disk/QELDiskCatalogCheck.h"
#include "disk/QELDiskDatabaseCatalog.h"
#include "platform/QELEndian.h"

namespace qel {
namespace {

using test::NativeErrorOf;

constexpr std::size_t kPageSize = 1024;

class CatalogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FPath = FDir.File("catalog.qel");
    TQELDiskPageManager manager;
    manager.CreateDatabase(FPath, {"", 0}, 8, kPageSize);
    TQELDiskDatabaseCatalog catalog(manager);
    catalog.Create(64);
  }
  void Reopen() {
    FManager = std::make_unique<TQELDiskPageManager>();
    FManager->OpenDatabase(FPath, {});
    FCatalog = std::make_unique<TQELDiskDatabaseCatalog>(*FManager);
    FCatalog->Open();
  }
  TQELTableInfo AddTable(const std::string& name) {
    const TQELTableInfo info = FCatalog->CreateTableFiles(name);
    FManager->ApplyChanges(-2);
    return info;
  }

  test::TScratchDir FDir;
  std::string FPath;
  std::unique_ptr<TQELDiskPageManager> FManager;
  std::unique_ptr<TQELDiskDatabaseCatalog> FCatalog;
};

TEST_F(CatalogTest, ANewDatabaseHasItsDirectoryAtPageTwo) {
  Reopen();
  const auto& entries = FCatalog->Directory().Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].Kind, sfkActiveSessions);
  EXPECT_EQ(entries[1].Kind, sfkTableList);
  EXPECT_EQ(FCatalog->MaxConnections(), 64);
  EXPECT_TRUE(FCatalog->GetTableNames().empty());
  // The directory's bytes: two 5-byte entries behind the internal file header.
  const auto bytes = test::ReadFileBytes(FPath);
  const std::uint8_t* data = &bytes[380 + 2 * kPageSize + 40];
  EXPECT_EQ(QELReadLE<std::uint16_t>(&bytes[380 + 2 * kPageSize + 8]), ptFileSystemDirectory);
  EXPECT_EQ(data[0], 10);
  EXPECT_EQ(QELReadLE<std::int32_t>(data + 1), 10);  // StoredSize
  EXPECT_EQ(data[10], sfkActiveSessions);
  EXPECT_EQ(QELReadLE<std::int32_t>(data + 11), entries[0].StartPageNo);
  EXPECT_EQ(data[15], sfkTableList);
  EXPECT_TRUE(CheckDiskCatalog(*FManager).empty());
}

TEST_F(CatalogTest, TablesAreFoundIgnoringTheCaseOfAsciiLettersOnly) {
  Reopen();
  const TQELTableInfo info = AddTable("tblKuvo");
  EXPECT_GT(info.ObjectID, 0);
  EXPECT_EQ(FCatalog->GetTableInfo("TBLKUVO").MetadataStartPage, info.MetadataStartPage);
  EXPECT_TRUE(FCatalog->TableExists("tblkuvo"));

  AddTable("Überblick");
  EXPECT_TRUE(FCatalog->TableExists("ÜBERBLICK"));
  EXPECT_FALSE(FCatalog->TableExists("überblick"));  // Ü and ü differ: not a-z
  AddTable("überblick");                              // so this is another table

  const std::vector<std::uint8_t> before = test::ReadFileBytes(FPath);
  try {
    FCatalog->CreateTableFiles("TBLKUVO");
    FAIL();
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), 30395);
    EXPECT_STREQ(e.what(), "Cannot create table. Table 'TBLKUVO' already exists - Native error: 30395");
  }
  FManager->CancelChanges(-2);
  EXPECT_EQ(test::ReadFileBytes(FPath), before);
  EXPECT_EQ(FCatalog->GetTableNames(), (std::vector<std::string>{"tblKuvo", "Überblick", "überblick"}));
}

TEST_F(CatalogTest, RenameDeleteAndMissingNames) {
  Reopen();
  AddTable("a");
  AddTable("b");
  FCatalog->RenameTable("A", "c");
  FManager->ApplyChanges(-2);
  FCatalog->DeleteTable("B");
  FManager->ApplyChanges(-2);
  Reopen();
  EXPECT_EQ(FCatalog->GetTableNames(), std::vector<std::string>{"c"});
  EXPECT_EQ(NativeErrorOf([&] { FCatalog->GetTableInfo("a"); }), 30396);
  EXPECT_EQ(NativeErrorOf([&] { FCatalog->DeleteTable("a"); }), 30405);
  EXPECT_EQ(NativeErrorOf([&] { FCatalog->RenameTable("a", "x"); }), 30397);
  // Long names are cut to 255 bytes, never inside a character.
  const std::string longName = std::string(254, 'x') + "é";
  EXPECT_EQ(TQELTableListFile::StoredName(longName), std::string(254, 'x'));
  TQELDiskDatabaseCatalog closed(*FManager);
  EXPECT_EQ(NativeErrorOf([&] { closed.GetTableInfo("c"); }), 20129);
  EXPECT_TRUE(CheckDiskCatalog(*FManager).empty());
}

TEST_F(CatalogTest, TheCheckNamesDamagedChains) {
  Reopen();
  const TQELTableInfo one = AddTable("one");
  const TQELTableInfo two = AddTable("two");
  FManager.reset();
  FCatalog.reset();
  const std::vector<std::uint8_t> good = test::ReadFileBytes(FPath);
  auto page = [&](std::vector<std::uint8_t>& bytes, std::int32_t pageNo) { return &bytes[380 + std::size_t(pageNo) * kPageSize]; };
  struct Case {
    const char* Name;
    std::function<void(std::vector<std::uint8_t>&)> Damage;
    std::int32_t PageNo;
    const char* MessagePart;
  };
  const Case cases[] = {
      {"wrong type", [&](auto& b) { QELWriteLE<std::uint16_t>(page(b, one.HeaderStartPage) + 8, ptTableList); },
       one.HeaderStartPage, "expected 'TableMostUpdated Page'"},
      {"shared page", [&](auto& b) { QELWriteLE<std::int32_t>(page(b, two.MetadataStartPage) + 10, one.MetadataStartPage); },
       one.MetadataStartPage, "also belongs to"},
      {"chain too long", [&](auto& b) { QELWriteLE<std::int32_t>(page(b, one.HeaderStartPage) + 10, two.HeaderStartPage); },
       two.HeaderStartPage, "longer than its size needs"},
      {"chain off the file", [&](auto& b) { QELWriteLE<std::int32_t>(page(b, one.MetadataStartPage) + 10, 9999); }, 9999,
       "not a page of the file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<std::uint8_t> bytes = good;
    c.Damage(bytes);
    test::WriteFileBytes(FPath, bytes);
    TQELDiskPageManager manager;
    manager.OpenDatabase(FPath, {}, {.ReadOnly = true});
    bool found = false;
    const auto faults = CheckDiskCatalog(manager);
    for (const TQELFileFault& fault : faults) {
      found |= fault.PageNo == c.PageNo && fault.Message.find(c.MessagePart) != std::string::npos;
    }
    EXPECT_TRUE(found) << faults.size() << " faults" << (faults.empty() ? "" : ", first: " + faults[0].Message);
  }
}

}  // namespace
}  // namespace qel
