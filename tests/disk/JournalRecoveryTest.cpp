// Recovery of a journal: at open a dead writer's change is rolled back even
// when a read of the journal needs its second try, and a live writer's
// change is never rolled back, wherever the database starts in its file; a
// reader never reads pages while someone else holds the header lock over a
// hot journal.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "DiskTestSupport.h"
#include "disk/QELDatabaseFile.h"
#include "disk/QELDiskFormat.h"
#include "disk/QELDiskPageManager.h"
#include "disk/QELRollbackJournal.h"
#include "platform/QELFaultInjection.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

// A new file of 512-byte pages with `count` committed pages; answers their
// numbers.
std::vector<std::int32_t> CreateWithPages(const std::string& path, int count) {
  TQELDiskPageManager manager;
  manager.CreateDatabase(path, TQELPassword{"", 0}, 8, 512);
  return test::AddPages(manager, count);
}

// A commit of two pages whose writer died after the journal, the header
// marked as being written and the first page; answers the file as it was
// before the commit.
std::vector<std::uint8_t> LeaveHotJournal(const std::string& path) {
  const std::vector<std::int32_t> pageNos = CreateWithPages(path, 6);
  const std::vector<std::uint8_t> before = test::ReadFileBytes(path);
  TQELFaultInjector injector(false);
  test::ScopeToDatabase(injector, path);
  TQELDiskPageManager manager;
  manager.OpenDatabase(path, {});
  for (const std::int32_t pageNo : {pageNos[0], pageNos[5]}) {
    TQELPage* page = manager.GetPage(0, pageNo, false, ptTableRecord);
    page->Data()[1] = 0xAB;
    page->IsDirty = true;
    manager.ReleasePage(page);
  }
  injector.Install();
  injector.CrashAtWrite(4);
  manager.Commit(0, false);
  manager.CloseDatabase();
  return before;
}

// Opens in multi-user mode; raises what the open raises.
void OpenMultiUser(TQELDiskPageManager& manager, const std::string& path) {
  manager.OpenDatabase(path, {"", 0}, {.MultiUser = true});
  ASSERT_TRUE(manager.MultiUser());
}

bool JournalIsValid(const std::string& path) {
  TQELRollbackJournal journal;
  journal.Attach(path, false);
  return journal.IsValid();
}

// The first try of a journal read fails: at the look for a hot journal, or
// at the rollback's own look at its header. The second try must be taken
// for what it read, not for a journal too short to be one.
TEST(JournalRecoveryTest, AJournalReadThatNeedsASecondTryStillRecovers) {
  struct TCase {
    const char* Name;
    std::int64_t FailedRead;  // 0: none
  };
  for (const TCase& c : {TCase{"no failed read", 0}, TCase{"the look for a hot journal", 1},
                         TCase{"the rollback's look at the header", 2}}) {
    SCOPED_TRACE(c.Name);
    test::TScratchDir dir;
    const std::string path = dir.File("hot.qel");
    const std::vector<std::uint8_t> before = LeaveHotJournal(path);
    ASSERT_NE(test::ReadFileBytes(path), before);
    ASSERT_TRUE(JournalIsValid(path));

    TQELFaultInjector injector;
    injector.ScopeToPath(TQELRollbackJournal::PathFor(path));
    // Two failures: the read, and the file layer's retry on a reopened handle.
    if (c.FailedRead > 0) injector.Fail(fopRead, c.FailedRead, 2);
    TQELDiskPageManager manager;
    const TQELOpenResult opened = manager.OpenDatabase(path, {});
    EXPECT_EQ(manager.RolledBackChanges(), 1);
    EXPECT_FALSE(opened.NeedRepair);
    EXPECT_EQ(test::ReadFileBytes(path), before) << "the torn change is still in the file";
  }
}

// A multi-user writer holds the header lock between its journal and the
// journal's clearing; a second opener must wait for it, also when the
// database sits behind other data and the lock area moves with it.
TEST(JournalRecoveryTest, AnOpenerNeverRollsBackALiveWritersJournal) {
  for (const std::size_t prefix : {std::size_t{0}, std::size_t{50000}}) {
    SCOPED_TRACE(prefix);
    test::TScratchDir dir;
    const std::string inner = dir.File("inner.qel");
    const std::vector<std::int32_t> pageNos = CreateWithPages(inner, 4);
    std::vector<std::uint8_t> bytes(prefix, 'Q');
    const std::vector<std::uint8_t> database = test::ReadFileBytes(inner);
    bytes.insert(bytes.end(), database.begin(), database.end());
    const std::string path = dir.File("outer.qel");
    test::WriteFileBytes(path, bytes);

    TQELDiskPageManager writer;
    OpenMultiUser(writer, path);
    ASSERT_TRUE(TQELDiskPageManagerTestAccess::LockHeader(writer));
    const std::int64_t offset = writer.GetPageOffset(pageNos[1]);
    {
      TQELRollbackJournal journal;
      journal.Attach(path, true);
      journal.Start(static_cast<std::int64_t>(bytes.size()));
      std::uint8_t* original = journal.AddRegion(offset, 512);
      std::memcpy(original, bytes.data() + offset, 512);
      original[100] ^= 0xFF;
      journal.Write();
    }

    TQELDiskPageManager other;
    other.RetryPolicy = {3, 1};
    EXPECT_EQ(test::NativeErrorOf([&] { OpenMultiUser(other, path); }), 20230);
    EXPECT_EQ(other.RolledBackChanges(), 0);
    EXPECT_EQ(test::ReadFileBytes(path), bytes) << "the live writer's page was rolled back";
    EXPECT_TRUE(JournalIsValid(path));
    TQELDiskPageManagerTestAccess::UnlockHeader(writer);
  }
}


// A reader of a multi-user file looks for a hot journal before it reads a
// table. While another handle holds the header lock over a valid journal
// (a writer finishing its change, or someone rolling back a dead writer's)
// the pages are not whole: the reader waits, and refuses when the lock
// stays taken; once it is free, the reader rolls the journal back itself.
TEST(JournalRecoveryTest, AReaderWaitsWhileAnotherHandleHoldsTheLockOverAHotJournal) {
  test::TScratchDir dir;
  const std::string path = dir.File("shared.qel");
  const std::vector<std::int32_t> pageNos = CreateWithPages(path, 6);
  const std::vector<std::uint8_t> before = test::ReadFileBytes(path);
  TQELDiskPageManager reader;
  OpenMultiUser(reader, path);
  reader.RetryPolicy = {3, 1};
  {
    // The writer dies after the journal, the header and its first page.
    TQELDiskPageManager writer;
    OpenMultiUser(writer, path);
    for (const std::int32_t pageNo : pageNos) {
      TQELPage* page = writer.GetPage(0, pageNo, true, ptTableRecord);
      page->Data()[1] = 0xAB;
      page->IsDirty = true;
      writer.ReleasePage(page);
    }
    TQELFaultInjector injector;
    test::ScopeToDatabase(injector, path);
    injector.CrashAtWrite(4);
    writer.Commit(0, false);
    writer.CloseDatabase();
  }
  ASSERT_TRUE(JournalIsValid(path));
  {
    TQELDatabaseFile holder;
    holder.OpenFile(path, faReadWrite, fsReadWrite);
    ASSERT_TRUE(holder.LockByte(kQELHeaderSize + kQELExtendedHeaderSize + kQELHeaderLockOffset, 1));
    EXPECT_EQ(test::NativeErrorOf([&] { reader.RecoverIfJournalHot(); }), 20230);
  }
  reader.RecoverIfJournalHot();
  EXPECT_EQ(reader.RolledBackChanges(), 1);
  EXPECT_EQ(test::ReadFileBytes(path), before);
}

}  // namespace
}  // namespace qel
