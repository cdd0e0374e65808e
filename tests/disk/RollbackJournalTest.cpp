// The rollback journal: a whole journal puts the saved bytes and the old
// size back, a damaged or partly written one is never taken for whole, and
// a journal left by an earlier file of the same name is never rolled back
// onto a new one.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "DiskTestSupport.h"
#include "disk/QELDatabaseFile.h"
#include "disk/QELRollbackJournal.h"
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

TEST_F(RollbackJournalTest, CreatingADatabaseRemovesAnOldJournalOfItsName) {
  WriteJournalAndChange();
  const std::string journalPath = TQELRollbackJournal::PathFor(Path);
  ASSERT_TRUE(QELFileExists(journalPath));
  {
    TQELDiskPageManager manager;
    manager.CreateDatabase(Path, TQELPassword{"", 0}, 8, 512);
    test::AddPages(manager, 3);
  }
  const std::vector<std::uint8_t> created = test::ReadFileBytes(Path);
  TQELDiskPageManager reopened;
  EXPECT_FALSE(reopened.OpenDatabase(Path, {}).NeedRepair);
  EXPECT_EQ(reopened.RolledBackChanges(), 0);
  reopened.CloseDatabase();
  EXPECT_EQ(test::ReadFileBytes(Path), created);
}

}  // namespace
}  // namespace qel
