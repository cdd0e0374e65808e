// The rollback journal: a whole journal puts the saved bytes and the old
// size back, a damaged or partly written one is never taken for whole, and
// a journal left by an earlier file of the same name is never rolled back
// onto a new one; regions of the file beside the database go back to it.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "DiskTestSupport.h"
#include "disk/QELDatabaseFile.h"
#include "disk/QELRollbackJournal.h"
#include "disk/QELTakenPagesFile.h"
#include "platform/QELException.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

constexpr std::int64_t kFileSize = 3000;
constexpr std::int64_t kHeaderSector = journal_format::kHeaderSectorSize;

class RollbackJournalTest : public testing::Test {
 protected:
  void SetUp() override {
    Path = Dir.File("db.qel");
    std::vector<std::uint8_t> bytes(kFileSize);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
    test::WriteFileBytes(Path, bytes);
    Original = bytes;
  }

  // Journals two regions of the file, then changes them and grows the file,
  // as a change that died half way would leave it.
  void WriteJournalAndChange() {
    TQELRollbackJournal journal;
    journal.Attach(Path, true);
    journal.Start(kFileSize);
    std::memcpy(journal.AddRegion(100, 50), Original.data() + 100, 50);
    std::memcpy(journal.AddRegion(2000, 1000), Original.data() + 2000, 1000);
    journal.Write();
    std::vector<std::uint8_t> changed = Original;
    std::memset(changed.data() + 100, 0xEE, 50);
    std::memset(changed.data() + 2000, 0xDD, 1000);
    changed.resize(kFileSize + 4096, 0xCC);
    test::WriteFileBytes(Path, changed);
  }

  // Puts `journal` in place of the journal file: it must not be used, and
  // the database file stays as it is.
  void ExpectNotUsed(const std::vector<std::uint8_t>& journal) {
    test::WriteFileBytes(TQELRollbackJournal::PathFor(Path), journal);
    const std::vector<std::uint8_t> changed = test::ReadFileBytes(Path);
    EXPECT_FALSE(RollBack());
    EXPECT_EQ(test::ReadFileBytes(Path), changed);
  }

  bool RollBack() {
    TQELDatabaseFile file;
    file.OpenFile(Path, faReadWrite, fsReadWrite);
    TQELRollbackJournal journal;
    journal.Attach(Path, true);
    return journal.RollBack(file);
  }

  test::TScratchDir Dir;
  std::string Path;
  std::vector<std::uint8_t> Original;
};

TEST_F(RollbackJournalTest, AWholeJournalRestoresBytesAndSizeOnce) {
  WriteJournalAndChange();
  ASSERT_TRUE(RollBack());
  EXPECT_EQ(test::ReadFileBytes(Path), Original);
  // Cleared: a second look finds nothing to do.
  TQELRollbackJournal journal;
  journal.Attach(Path, true);
  EXPECT_FALSE(journal.IsValid());
  EXPECT_FALSE(RollBack());
}

// Each damage leaves a journal that must not be used: the file stays as it is.
TEST_F(RollbackJournalTest, ADamagedOrPartJournalIsNeverUsed) {
  const std::string journalPath = TQELRollbackJournal::PathFor(Path);
  const std::vector<std::pair<const char*, std::function<void(std::vector<std::uint8_t>&)>>> damages = {
      {"a byte of a saved region", [](auto& j) { j[kHeaderSector + journal_format::kRegionPrefixSize + 10] ^= 1; }},
      {"a region's offset", [](auto& j) { j[kHeaderSector + journal_format::kRegionOffset] ^= 1; }},
      {"the saved size", [](auto& j) { j[journal_format::kDatabaseSize] ^= 1; }},
      {"the signature", [](auto& j) { j[journal_format::kSignature] = 'X'; }},
      {"cut after the header", [](auto& j) { j.resize(kHeaderSector); }},
      {"cut in the last region", [](auto& j) { j.resize(j.size() - 1); }},
  };
  for (const auto& [name, damage] : damages) {
    SCOPED_TRACE(name);
    SetUp();
    WriteJournalAndChange();
    std::vector<std::uint8_t> journal = test::ReadFileBytes(journalPath);
    damage(journal);
    ExpectNotUsed(journal);
  }
}

// A journal write that stopped after its header sector: the header of the
// newer journal over the regions of the older one is not a journal.
TEST_F(RollbackJournalTest, ANewHeaderOverAnOlderJournalsRegionsIsNotAJournal) {
  WriteJournalAndChange();
  const std::string journalPath = TQELRollbackJournal::PathFor(Path);
  const std::vector<std::uint8_t> older = test::ReadFileBytes(journalPath);
  {
    TQELRollbackJournal journal;
    journal.Attach(Path, true);
    journal.Start(kFileSize);
    std::memset(journal.AddRegion(100, 50), 0x11, 50);
    std::memset(journal.AddRegion(2000, 1000), 0x22, 1000);
    journal.Write();
  }
  std::vector<std::uint8_t> torn = older;
  const std::vector<std::uint8_t> newer = test::ReadFileBytes(journalPath);
  ASSERT_EQ(newer.size(), older.size());
  std::memcpy(torn.data(), newer.data(), kHeaderSector);
  ExpectNotUsed(torn);
}

// The regions of the companion file, the list of taken pages, go to the
// file the caller gives, asked for once and only when there are some; a
// caller that has none for a journal that needs one gets an error and the
// journal stays for a rollback that can finish.
TEST_F(RollbackJournalTest, CompanionRegionsRestoreTheFileBesideTheDatabase) {
  const std::string companionPath = Dir.File("db.qel-taken");
  std::vector<std::uint8_t> companionBytes(64);
  for (std::size_t i = 0; i < companionBytes.size(); ++i) companionBytes[i] = static_cast<std::uint8_t>(i + 1);
  test::WriteFileBytes(companionPath, companionBytes);
  {
    TQELRollbackJournal journal;
    journal.Attach(Path, true);
    journal.Start(kFileSize);
    std::memcpy(journal.AddRegion(100, 50), Original.data() + 100, 50);
    std::memcpy(journal.AddRegion(journal_format::kCompanionRegion | 16, 16), companionBytes.data() + 16, 16);
    journal.Write();
  }
  std::vector<std::uint8_t> changed = Original;
  std::memset(changed.data() + 100, 0xEE, 50);
  test::WriteFileBytes(Path, changed);
  std::vector<std::uint8_t> changedCompanion = companionBytes;
  std::memset(changedCompanion.data() + 16, 0xAB, 16);
  test::WriteFileBytes(companionPath, changedCompanion);

  EXPECT_THROW(RollBack(), EQELException);
  TQELDatabaseFile file;
  file.OpenFile(Path, faReadWrite, fsReadWrite);
  TQELDatabaseFile companion;
  companion.OpenFile(companionPath, faReadWrite, fsReadWrite);
  TQELRollbackJournal journal;
  journal.Attach(Path, true);
  ASSERT_TRUE(journal.IsValid());
  int asked = 0;
  EXPECT_TRUE(journal.RollBack(file, [&]() -> TQELDatabaseFile& {
    ++asked;
    return companion;
  }));
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(test::ReadFileBytes(Path), Original);
  EXPECT_EQ(test::ReadFileBytes(companionPath), companionBytes);
}

TEST_F(RollbackJournalTest, CreatingADatabaseRemovesAnOldJournalOfItsName) {
  WriteJournalAndChange();
  const std::string journalPath = TQELRollbackJournal::PathFor(Path);
  ASSERT_TRUE(QELFileExists(journalPath));
  // An old list of taken pages goes too: its pages are not the new file's.
  const std::string takenPath = TQELTakenPagesFile::PathFor(Path);
  test::WriteFileBytes(takenPath, std::vector<std::uint8_t>(100, 1));
  {
    TQELDiskPageManager manager;
    manager.CreateDatabase(Path, TQELPassword{"", 0}, 8, 512);
    test::AddPages(manager, 3);
  }
  EXPECT_FALSE(QELFileExists(takenPath));
  const std::vector<std::uint8_t> created = test::ReadFileBytes(Path);
  TQELDiskPageManager reopened;
  EXPECT_FALSE(reopened.OpenDatabase(Path, {}).NeedRepair);
  EXPECT_EQ(reopened.RolledBackChanges(), 0);
  reopened.CloseDatabase();
  EXPECT_EQ(test::ReadFileBytes(Path), created);
}

}  // namespace
}  // namespace qel
