// Session ids from the sessions file, and table and record locks in the
// tables' lock files: what one session's locks keep out, which requests are
// served from memory, transaction upgrades and releases, and the same rules
// between processes, including a process that dies holding locks.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "DiskTestSupport.h"
#include "disk/QELActiveSessionsFile.h"
#include "disk/QELDiskDatabaseCatalog.h"
#include "disk/QELTableLockManager.h"
#include "disk/QELTableLocksFile.h"

namespace qel {
namespace {

using test::kChildFailed;
using test::kChildGranted;
using test::kChildRefused;
using test::NativeErrorOf;
using test::TChildProcess;

constexpr std::int32_t kSessions = 8;
const TQELRecordID kRecord1 = {1, 0, 0, 0, 7, 0};
const TQELRecordID kRecord2 = {2, 0, 0, 0, 7, 0};

// Written out by hand: row = kind held by one session, column = kind another
// session asks for.
constexpr const char* kCompatible[7] = {
    "1111110", "1111010", "1110110", "1100010", "1010010", "1111110", "0000000",
};
// Row x, column y: holding x makes a lock of kind y need no byte of its own.
constexpr const char* kCovers[7] = {
    "1000010", "1100010", "1010010", "1111010", "1110110", "1000010", "1111111",
};

// One process's view of the database file: its own handle, sessions file,
// lock manager and the lock files of tables A and B.
struct TProcess {
  TProcess(const std::string& path, std::int32_t sessionsStart, std::int32_t tableA, std::int32_t tableB,
           bool multiUser = true, bool exclusive = false)
      : RawSessions(Pages, ptActiveSessionList), RawA(Pages, ptTableLocks), RawB(Pages, ptTableLocks) {
    Pages.OpenDatabase(path, {}, {.MultiUser = multiUser, .Exclusive = exclusive});
    Pages.RetryPolicy = {5, 1};
    RawSessions.OpenAndLoad(sessionsStart);
    Sessions = std::make_unique<TQELActiveSessionsFile>(RawSessions);
    Sessions->RetryPolicy = {5, 1};
    Locks = std::make_unique<TQELDatabaseTableLockManager>(Pages, kSessions);
    Locks->TransactionLockAttempts = 3;
    Locks->TransactionLockDelayMs = 2;
    RawA.Open(tableA);  // as the table data opens it: the chain is loaded on first use
    RawB.Open(tableB);
    A = std::make_unique<TQELTableLocksFile>(RawA);
    B = std::make_unique<TQELTableLocksFile>(RawB);
  }
  bool Lock(std::int32_t s, std::uint8_t kind, TQELTableLocksFile& table, std::uint8_t flag = 0) {
    return Locks->LockTable(s, kind, 2, 2, flag, table, false);
  }
  bool Unlock(std::int32_t s, std::uint8_t kind, TQELTableLocksFile& table) {
    return Locks->UnlockTable(s, kind, false, false, table);
  }
  // Whether session s's byte of kind k is set, as any other handle sees it.
  static bool ByteSet(TQELTableLocksFile& table, std::int32_t s, std::uint8_t k) {
    return table.File().IsByteLocked(k * table.SessionCount() + s);
  }

  TQELDiskPageManager Pages;
  TQELInternalDBDirectAccessFile RawSessions, RawA, RawB;
  std::unique_ptr<TQELActiveSessionsFile> Sessions;
  std::unique_ptr<TQELDatabaseTableLockManager> Locks;
  std::unique_ptr<TQELTableLocksFile> A, B;
};

class TableLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FPath = FDir.File("locks.qel");
    TQELDiskPageManager creator;
    creator.CreateDatabase(FPath, {"", 0}, 8, 1024);
    TQELDiskDatabaseCatalog catalog(creator);
    catalog.Create(kSessions);
    FSessionsStart = catalog.SessionsFile().StartPageNo();
    for (std::int32_t* start : {&FTableA, &FTableB}) {
      TQELInternalDBDirectAccessFile file(creator, ptTableLocks);
      file.Create(kSessions * kQELTableLockBytesPerSession);
      creator.ApplyChanges(-2);
      *start = file.StartPageNo();
    }
    creator.CloseDatabase();
  }
  std::unique_ptr<TProcess> Open(bool multiUser = true, bool exclusive = false) {
    return std::make_unique<TProcess>(FPath, FSessionsStart, FTableA, FTableB, multiUser, exclusive);
  }

  test::TScratchDir FDir;
  std::string FPath;
  std::int32_t FSessionsStart = -1, FTableA = -1, FTableB = -1;
};

class ActiveSessionsTest : public TableLockTest {};

TEST(TableLockKindsTest, CompatibilityIsSymmetricAndCoveringFollowsFromIt) {
  for (std::uint8_t x = 0; x < 7; ++x) {
    for (std::uint8_t y = 0; y < 7; ++y) {
      SCOPED_TRACE(testing::Message() << "kinds " << int(x) << ", " << int(y));
      EXPECT_EQ(TQELDatabaseTableLockManager::Compatible(x, y), kCompatible[x][y] == '1');
      EXPECT_EQ(TQELDatabaseTableLockManager::Covers(x, y), kCovers[x][y] == '1');
    }
    EXPECT_FALSE(TQELDatabaseTableLockManager::Compatible(x, 7));
  }
  static_assert(!QELLockKindConflicts(tlkTransactionWrite, 1, tlkEdit));
  static_assert(QELLockKindConflicts(tlkTransactionWrite, 0, tlkEdit));
  static_assert(QELLockKindConflicts(tlkEdit, 1, tlkTransactionWrite));
}

// Every pair of kinds between two sessions, once with both sessions in one
// process (one shared handle) and once in two (two handles), where only the
// file's bytes tell.
TEST_F(TableLockTest, EachKindKeepsOutWhatItConflictsWith) {
  for (const bool oneProcess : {true, false}) {
    SCOPED_TRACE(oneProcess ? "one process" : "two processes");
    std::unique_ptr<TProcess> first = Open();
    std::unique_ptr<TProcess> second = oneProcess ? nullptr : Open();
    TProcess& other = oneProcess ? *first : *second;
    for (std::uint8_t held = 0; held < 7; ++held) {
      for (std::uint8_t wanted = 0; wanted < 7; ++wanted) {
        SCOPED_TRACE(testing::Message() << "held " << int(held) << ", wanted " << int(wanted));
        ASSERT_TRUE(other.Lock(1, held, *other.A));
        const bool granted = first->Lock(0, wanted, *first->A);
        EXPECT_EQ(granted, kCompatible[held][wanted] == '1');
        EXPECT_TRUE(first->Lock(0, wanted, *first->B)) << "another table is not affected";
        if (granted) {
          EXPECT_TRUE(first->Unlock(0, wanted, *first->A));
        }
        EXPECT_TRUE(first->Unlock(0, wanted, *first->B));
        ASSERT_TRUE(other.Unlock(1, held, *other.A));
      }
    }
    // A transaction's edits (flag 1) pass another session's edit lock; an
    // SQL change (flag 0) waits for it.
    ASSERT_TRUE(other.Lock(1, tlkEdit, *other.A));
    EXPECT_FALSE(first->Lock(0, tlkTransactionWrite, *first->A, 0));
    EXPECT_TRUE(first->Lock(0, tlkTransactionWrite, *first->A, 1));
    EXPECT_TRUE(first->Unlock(0, tlkTransactionWrite, *first->A));
    EXPECT_TRUE(other.Unlock(1, tlkEdit, *other.A));
    EXPECT_TRUE(first->Locks->LockList(0).IsEmpty());
    EXPECT_TRUE(other.Locks->LockList(1).IsEmpty());
  }
}

TEST_F(TableLockTest, ARepeatedLockSetsAndClearsItsByteOnce) {
  auto process = Open();
  auto observer = Open();
  TQELTableLocksFile& a = *process->A;
  ASSERT_TRUE(process->Lock(3, tlkRead, a));
  ASSERT_TRUE(process->Lock(3, tlkRead, a));
  EXPECT_EQ(process->Locks->LockList(3).Find(tlkRead, a.GetTableID())->Count, 2);
  EXPECT_TRUE(TProcess::ByteSet(*observer->A, 3, tlkRead));
  EXPECT_TRUE(process->Unlock(3, tlkRead, a));
  EXPECT_TRUE(TProcess::ByteSet(*observer->A, 3, tlkRead)) << "one count is still held";
  EXPECT_TRUE(process->Unlock(3, tlkRead, a));
  EXPECT_FALSE(TProcess::ByteSet(*observer->A, 3, tlkRead));
  EXPECT_EQ(NativeErrorOf([&] { process->Unlock(3, tlkRead, a); }), 20202);
  EXPECT_TRUE(process->Locks->UnlockTable(3, tlkRead, true, false, a)) << "a missing lock may be ignored";

  // The edit lock is not taken twice; the first one stays.
  ASSERT_TRUE(process->Lock(3, tlkEdit, a));
  EXPECT_FALSE(process->Lock(3, tlkEdit, a));
  EXPECT_EQ(process->Locks->LockList(3).Find(tlkEdit, a.GetTableID())->Count, 1);
  EXPECT_TRUE(process->Unlock(3, tlkEdit, a));
  EXPECT_FALSE(TProcess::ByteSet(*observer->A, 3, tlkEdit));
}

TEST_F(TableLockTest, CoveredLocksNeedNoByteUntilTheirCoverGoes) {
  auto process = Open();
  auto observer = Open();
  TQELTableLocksFile& a = *process->A;
  ASSERT_TRUE(process->Lock(0, tlkTransactionWrite, a, 1));
  ASSERT_TRUE(process->Lock(0, tlkRead, a));
  const TQELTableLockEntry* read = process->Locks->LockList(0).Find(tlkRead, a.GetTableID());
  ASSERT_NE(read, nullptr);
  EXPECT_FALSE(read->FileLocked);
  EXPECT_FALSE(TProcess::ByteSet(*observer->A, 0, tlkRead));
  ASSERT_TRUE(process->Lock(0, tlkRead, *process->B));
  EXPECT_TRUE(TProcess::ByteSet(*observer->B, 0, tlkRead)) << "nothing covers it on B";

  // Releasing the cover hands its byte over to the read lock, which
  // another session's write lock must still respect.
  EXPECT_TRUE(process->Unlock(0, tlkTransactionWrite, a));
  EXPECT_TRUE(TProcess::ByteSet(*observer->A, 0, tlkRead));
  EXPECT_FALSE(TProcess::ByteSet(*observer->A, 0, tlkTransactionWrite));
  EXPECT_FALSE(observer->Lock(1, tlkWrite, *observer->A));
  EXPECT_TRUE(process->Unlock(0, tlkRead, a));
  EXPECT_FALSE(TProcess::ByteSet(*observer->A, 0, tlkRead));
  EXPECT_TRUE(observer->Lock(1, tlkWrite, *observer->A));
}

// While a session holds a table exclusively it keeps the table's mutex; it
// must still be able to give back the bytes it took before, and record locks
// it took from memory must reach the file with their record id when the
// exclusive lock goes.
TEST_F(TableLockTest, AnExclusiveHolderReleasesItsOtherLocksUnderItsOwnMutex) {
  auto process = Open();
  auto observer = Open();
  TQELTableLocksFile& a = *process->A;
  ASSERT_TRUE(process->Lock(0, tlkOpen, a));
  ASSERT_TRUE(process->Lock(0, tlkExclusive, a));
  EXPECT_FALSE(observer->A->LockFile());
  EXPECT_TRUE(process->Unlock(0, tlkOpen, a));
  EXPECT_FALSE(TProcess::ByteSet(*observer->A, 0, tlkOpen));

  ASSERT_TRUE(process->Locks->LockRecord(0, a, kRecord1, 1, 0));
  EXPECT_FALSE(process->Locks->LockList(0).Find(tlkRecord, a.GetTableID())->FileLocked);
  EXPECT_TRUE(process->Unlock(0, tlkExclusive, a));
  ASSERT_TRUE(observer->A->LockFile()) << "the mutex went with the exclusive lock";
  EXPECT_TRUE(observer->A->RecordLockedByOther(1, kRecord1));
  EXPECT_FALSE(observer->A->RecordLockedByOther(1, kRecord2));
  EXPECT_TRUE(observer->A->UnlockFile());
  EXPECT_TRUE(process->Locks->UnlockRecord(0, a, kRecord1));
  EXPECT_FALSE(TProcess::ByteSet(*observer->A, 0, tlkRecord));
}

TEST_F(TableLockTest, RecordLocksKeepOtherSessionsOffTheSameRecord) {
  for (const bool oneProcess : {true, false}) {
    SCOPED_TRACE(oneProcess ? "one process" : "two processes");
    std::unique_ptr<TProcess> first = Open();
    std::unique_ptr<TProcess> second = oneProcess ? nullptr : Open();
    TProcess& other = oneProcess ? *first : *second;
    ASSERT_TRUE(other.Locks->LockRecord(1, *other.A, kRecord1, 1, 0));
    EXPECT_FALSE(other.Locks->LockRecord(1, *other.A, kRecord2, 1, 0)) << "one record lock per table";
    EXPECT_FALSE(first->Locks->LockRecord(0, *first->A, kRecord1, 2, 1));
    EXPECT_TRUE(first->Locks->LockRecord(0, *first->B, kRecord1, 1, 0)) << "the same id in another table";
    EXPECT_TRUE(first->Locks->LockRecord(0, *first->A, kRecord2, 1, 0));
    EXPECT_TRUE(first->Locks->UnlockRecord(0, *first->A, kRecord2));
    EXPECT_FALSE(first->Locks->UnlockRecord(0, *first->A, kRecord2)) << "none held any more";
    EXPECT_TRUE(other.Locks->UnlockRecord(1, *other.A, kRecord1));
    EXPECT_TRUE(first->Locks->LockRecord(0, *first->A, kRecord1, 1, 0));
    EXPECT_TRUE(first->Locks->UnlockRecord(0, *first->A, kRecord1));
    EXPECT_TRUE(first->Locks->UnlockRecord(0, *first->B, kRecord1));
  }
  // A record lock held from memory (under an SQL change's write lock) is
  // known to the other sessions of the process all the same.
  auto process = Open();
  ASSERT_TRUE(process->Lock(1, tlkTransactionWrite, *process->A, 0));
  ASSERT_TRUE(process->Locks->LockRecord(1, *process->A, kRecord1, 1, 0));
  EXPECT_FALSE(process->Locks->LockRecord(0, *process->A, kRecord1, 1, 0));
}

TEST_F(TableLockTest, ACommitRaisesWriteLocksAndReleasesThemAfterwards) {
  auto process = Open();
  auto observer = Open();
  TQELTableLocksFile& a = *process->A;
  TQELTableLocksFile& b = *process->B;
  ASSERT_TRUE(process->Lock(0, tlkTransactionWrite, a, 1));
  ASSERT_TRUE(process->Lock(0, tlkTransactionWrite, b, 1));
  ASSERT_TRUE(process->Locks->LockRecord(0, a, kRecord1, 1, 0));
  ASSERT_TRUE(process->Locks->LockModifiedTables(0));
  EXPECT_TRUE(TProcess::ByteSet(*observer->A, 0, tlkWrite));
  EXPECT_TRUE(TProcess::ByteSet(*observer->B, 0, tlkWrite));
  EXPECT_FALSE(observer->Lock(1, tlkRead, *observer->B)) << "readers wait for the commit";

  ASSERT_TRUE(process->Locks->ReleaseTransactionLocks(0));
  for (TQELTableLocksFile* table : {observer->A.get(), observer->B.get()}) {
    EXPECT_FALSE(TProcess::ByteSet(*table, 0, tlkTransactionWrite));
    EXPECT_FALSE(TProcess::ByteSet(*table, 0, tlkWrite));
  }
  // The record still locked on A keeps an edit lock there.
  const TQELTableLockList& list = process->Locks->LockList(0);
  ASSERT_EQ(list.Entries().size(), 2u);
  EXPECT_NE(list.Find(tlkEdit, a.GetTableID()), nullptr);
  EXPECT_TRUE(TProcess::ByteSet(*observer->A, 0, tlkEdit));
  EXPECT_TRUE(TProcess::ByteSet(*observer->A, 0, tlkRecord));
  EXPECT_TRUE(observer->Lock(1, tlkRead, *observer->B));
}

TEST_F(TableLockTest, AFailedUpgradeLeavesTheSessionsLocksAsTheyWere) {
  auto process = Open();
  auto other = Open();
  TQELTableLocksFile& a = *process->A;
  ASSERT_TRUE(process->Lock(0, tlkTransactionWrite, a, 1));
  ASSERT_TRUE(process->Lock(0, tlkRead, a));  // covered, no byte
  ASSERT_TRUE(process->Lock(0, tlkTransactionWrite, *process->B, 1));
  ASSERT_TRUE(other->Lock(1, tlkRead, *other->B));  // B cannot be raised to kind 4
  const std::vector<TQELTableLockEntry> before = process->Locks->LockList(0).Entries();

  EXPECT_FALSE(process->Locks->LockModifiedTables(0));
  const std::vector<TQELTableLockEntry>& after = process->Locks->LockList(0).Entries();
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(after[i].Kind, before[i].Kind);
    EXPECT_EQ(after[i].TableID, before[i].TableID);
    EXPECT_EQ(after[i].Count, before[i].Count);
    EXPECT_EQ(after[i].FileLocked, before[i].FileLocked);
  }
  EXPECT_FALSE(TProcess::ByteSet(*other->A, 0, tlkWrite)) << "A's upgrade was given back";
  EXPECT_FALSE(TProcess::ByteSet(*other->A, 0, tlkRead));
  EXPECT_TRUE(other->Lock(1, tlkRead, *other->A));

  // Once the reader has gone the commit can go ahead.
  EXPECT_TRUE(other->Unlock(1, tlkRead, *other->B));
  EXPECT_TRUE(other->Unlock(1, tlkRead, *other->A));
  EXPECT_TRUE(process->Locks->LockModifiedTables(0));
  EXPECT_TRUE(process->Locks->ReleaseTransactionLocks(0));
  EXPECT_TRUE(process->Unlock(0, tlkRead, a));
  EXPECT_NO_THROW(process->Locks->CheckNoLocks());
}

TEST_F(TableLockTest, AnUpgradeThatRaisesGivesBackWhatItRaisedBefore) {
  auto process = Open();
  auto observer = Open();
  ASSERT_TRUE(process->Lock(0, tlkTransactionWrite, *process->A, 1));
  ASSERT_TRUE(process->Lock(0, tlkTransactionWrite, *process->B, 1));
  // B's lock file can no longer be opened: its first page has lost its type.
  {
    TQELDatabaseFile file;
    file.OpenFile(FPath, faReadWrite, fsReadWrite);
    const std::uint8_t noType[2] = {0, 0};
    file.WriteBuffer(noType, 1, kQELFirstPageOffset + std::int64_t{FTableB} * 1024 + page_header::kPageType, 2);
    file.CloseFile();
  }

  EXPECT_GT(NativeErrorOf([&] { process->Locks->LockModifiedTables(0); }), 0);
  EXPECT_FALSE(TProcess::ByteSet(*observer->A, 0, tlkWrite)) << "A's upgrade was given back";
  EXPECT_EQ(process->Locks->LockList(0).Find(tlkWrite, process->A->GetTableID()), nullptr);
  EXPECT_TRUE(TProcess::ByteSet(*observer->A, 0, tlkTransactionWrite)) << "the transaction keeps its own lock";
}

TEST_F(TableLockTest, ReleaseAllLocksEmptiesASessionsList) {
  auto process = Open();
  auto observer = Open();
  ASSERT_TRUE(process->Lock(2, tlkOpen, *process->A));
  ASSERT_TRUE(process->Lock(2, tlkRead, *process->A));
  ASSERT_TRUE(process->Lock(2, tlkExclusive, *process->B));
  ASSERT_TRUE(process->Lock(2, tlkRead, *process->B));
  ASSERT_TRUE(process->Locks->LockRecord(2, *process->A, kRecord1, 1, 0));
  EXPECT_EQ(NativeErrorOf([&] { process->Locks->CheckNoLocks(); }), 20201);
  EXPECT_TRUE(process->Locks->ReleaseAllLocks(2));
  EXPECT_TRUE(process->Locks->LockList(2).IsEmpty());
  EXPECT_NO_THROW(process->Locks->CheckNoLocks());
  EXPECT_TRUE(observer->Lock(1, tlkExclusive, *observer->A));
  EXPECT_TRUE(observer->Lock(1, tlkExclusive, *observer->B));
}

TEST_F(TableLockTest, WithoutMultiUserEveryRequestIsGrantedAtOnce) {
  for (const bool exclusive : {false, true}) {
    auto process = Open(false, exclusive);
    EXPECT_TRUE(process->Lock(0, tlkExclusive, *process->A));
    EXPECT_TRUE(process->Lock(0, tlkEdit, *process->A));
    EXPECT_TRUE(process->Lock(0, tlkEdit, *process->A));
    EXPECT_TRUE(process->Locks->LockRecord(0, *process->A, kRecord1, 1, 0));
    EXPECT_TRUE(process->Locks->LockList(0).IsEmpty());
    EXPECT_TRUE(process->Unlock(0, tlkRead, *process->A));
  }
}

TEST_F(TableLockTest, BadSessionIdsAndClosedFilesAreErrors) {
  auto process = Open();
  EXPECT_EQ(NativeErrorOf([&] { process->Lock(kSessions, tlkRead, *process->A); }), 20200);
  EXPECT_EQ(NativeErrorOf([&] { process->Lock(-1, tlkRead, *process->A); }), 20200);
  EXPECT_EQ(NativeErrorOf([&] { process->A->SetLockByte(kSessions, tlkRead); }), 20200);
  EXPECT_EQ(process->A->SessionCount(), kSessions);
  // A lock file with fewer sessions than the database allows now.
  TQELTableLocksFile small(process->RawB);
  TQELDatabaseTableLockManager wide(process->Pages, kSessions * 2);
  EXPECT_EQ(NativeErrorOf([&] { wide.LockTable(kSessions, tlkRead, 1, 0, 0, small, false); }), 20200);
  EXPECT_TRUE(wide.LockList(kSessions).IsEmpty());

  TQELInternalDBDirectAccessFile closed(process->Pages, ptTableLocks);
  TQELTableLocksFile none(closed);
  EXPECT_EQ(NativeErrorOf([&] { none.GetTableID(); }), 10483);
  EXPECT_EQ(NativeErrorOf([&] { none.LockFile(); }), 10489);
  EXPECT_EQ(NativeErrorOf([&] { none.RecordLockedByOther(0, kRecord1); }), 10494);
}

// --- Across processes -----------------------------------------------------------

TEST_F(TableLockTest, AnExclusiveLockInOneProcessKeepsOpenRequestsOfAnotherOut) {
  auto process = Open();
  const std::int32_t mine = process->Sessions->ConnectSession();
  ASSERT_TRUE(process->Lock(mine, tlkExclusive, *process->A));
  const auto tryOpen = [&] {
    return test::RunInChild([&] {
      auto child = Open();
      const std::int32_t session = child->Sessions->ConnectSession();
      if (session == mine) return kChildFailed;
      return child->Locks->LockTable(session, tlkOpen, 3, 2, 0, *child->A, false) ? kChildGranted : kChildRefused;
    });
  };
  EXPECT_EQ(tryOpen(), kChildRefused);
  ASSERT_TRUE(process->Unlock(mine, tlkExclusive, *process->A));
  EXPECT_EQ(tryOpen(), kChildGranted);
}

TEST_F(TableLockTest, LocksOfAKilledProcessVanish) {
  auto process = Open();
  {
    TChildProcess holder([&](TChildProcess& self) {
      auto child = Open();
      const std::int32_t session = child->Sessions->ConnectSession();
      if (!child->Lock(session, tlkExclusive, *child->A) || !child->Lock(session, tlkRead, *child->B) ||
          !child->Locks->LockRecord(session, *child->B, kRecord1, 1, 0)) {
        return kChildFailed;
      }
      self.SignalReady();
      self.AwaitRelease();
      return kChildGranted;
    });
    ASSERT_TRUE(holder.AwaitReady());
    const std::int32_t mine = process->Sessions->ConnectSession();
    EXPECT_EQ(mine, 1);
    EXPECT_FALSE(process->Lock(mine, tlkOpen, *process->A));
    EXPECT_FALSE(process->Lock(mine, tlkWrite, *process->B));
    EXPECT_FALSE(process->Locks->LockRecord(mine, *process->B, kRecord1, 1, 0));
    process->Sessions->DisconnectSession(mine);
  }  // the holder is killed with SIGKILL here
  const std::int32_t mine = process->Sessions->ConnectSession();
  EXPECT_EQ(mine, 0) << "the dead process's session byte is free";
  EXPECT_TRUE(process->Lock(mine, tlkOpen, *process->A));
  EXPECT_TRUE(process->Lock(mine, tlkWrite, *process->B));
  EXPECT_TRUE(process->Locks->LockRecord(mine, *process->B, kRecord1, 1, 0));
}

TEST_F(ActiveSessionsTest, ProcessesGetTheFirstFreeSessionByte) {
  auto process = Open();
  TQELActiveSessionsFile& sessions = *process->Sessions;
  EXPECT_EQ(sessions.MaxConnections(), kSessions);
  ASSERT_EQ(sessions.ConnectSession(), 0);
  EXPECT_EQ(test::RunInChild([&] { return Open()->Sessions->ConnectSession(); }), 1);
  // Within one process every session gets a byte of its own, too.
  for (std::int32_t s = 1; s < kSessions; ++s) EXPECT_EQ(sessions.ConnectSession(), s);
  EXPECT_EQ(NativeErrorOf([&] { sessions.ConnectSession(); }), 20094);
  sessions.DisconnectSession(3);
  EXPECT_EQ(NativeErrorOf([&] { sessions.DisconnectSession(3); }), 20095);
  EXPECT_EQ(sessions.ConnectSession(), 3);
}

TEST_F(ActiveSessionsTest, SingleAndMultiUserOpenersExcludeEachOther) {
  auto process = Open();
  TQELActiveSessionsFile& sessions = *process->Sessions;
  const std::int32_t mine = sessions.ConnectSession();
  const auto lockAllInChild = [&] {
    return test::RunInChild([&] { return Open()->Sessions->LockAllSessions() ? kChildGranted : kChildRefused; });
  };
  EXPECT_EQ(lockAllInChild(), kChildRefused);
  sessions.DisconnectSession(mine);
  EXPECT_EQ(lockAllInChild(), kChildGranted);

  // A single-user opener keeps every multi-user opener out while it lives.
  {
    TChildProcess single([&](TChildProcess& self) {
      auto child = Open();
      if (!child->Sessions->LockAllSessions()) return kChildRefused;
      self.SignalReady();
      self.AwaitRelease();
      child->Sessions->UnlockAllSessions();
      self.SignalReady();
      self.AwaitRelease();
      return kChildGranted;
    });
    ASSERT_TRUE(single.AwaitReady());
    EXPECT_EQ(NativeErrorOf([&] { sessions.ConnectSession(); }), 20094);
    EXPECT_FALSE(sessions.LockAllSessions());
    single.Release();
    ASSERT_TRUE(single.AwaitReady());
    EXPECT_EQ(sessions.ConnectSession(), 0);
    single.Release();
    EXPECT_EQ(single.Wait(), kChildGranted);
  }
}

TEST_F(ActiveSessionsTest, ABusyMutexFailsAtOnceAndTakesNoByte) {
  auto process = Open();
  auto other = Open();
  ASSERT_TRUE(other->RawSessions.LockFile());
  EXPECT_EQ(NativeErrorOf([&] { process->Sessions->ConnectSession(); }), 20093);
  EXPECT_EQ(NativeErrorOf([&] { process->Sessions->LockAllSessions(); }), 20240);
  EXPECT_EQ(NativeErrorOf([&] { process->Sessions->DisconnectSession(0); }), 20096);
  ASSERT_TRUE(other->RawSessions.UnlockFile());
  EXPECT_FALSE(process->RawSessions.IsRegionLocked(0, kSessions));
  EXPECT_EQ(process->Sessions->ConnectSession(), 0);
}

}  // namespace
}  // namespace qel
