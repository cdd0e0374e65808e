// Several processes on one database file: session ids and the exclusion of
// single-user and multi-user openers, writers in several processes with
// transactions committed and rolled back, a writer killed while holding
// locks and taken pages, and a rollback that leaves the file as it was.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ConnectionSupport.h"
#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskFileCheck.h"
#include "disk/QELDiskTableData.h"
#include "disk/QELRollbackJournal.h"
#include "disk/QELTakenPagesFile.h"
#include "platform/QELFaultInjection.h"
#include "pagecache/QELPageType.h"
#include "storage/QELRecordData.h"
#include "storage/QELTableCheck.h"
#include "support/ErrorSupport.h"
#include "support/FileBytes.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

using test::kChildFailed;
using test::kChildGranted;
using test::kChildRefused;
using test::NativeErrorOf;
using test::TChildProcess;

constexpr std::int32_t kIdField = 0;
constexpr std::int32_t kWriterField = 1;


// A file with table T: ID integer (unique index), WRITER integer.
void CreateFile(const std::string& fileName) {
  TQELDiskDatabaseData database(fileName);
  database.CreateDatabaseFile({}, 4096, 8, 16);
  TQELFieldDefs fields;
  fields.Add("ID", aftInteger, 0);
  fields.Add("WRITER", aftInteger, 0);
  TQELIndexDefs indexes;
  TQELIndexDef& byID = indexes.Add();
  byID.SetName("BY_ID");
  byID.AddColumn("ID");
  byID.Unique = true;
  TQELTableCursor cursor("T");
  auto* table = static_cast<TQELDiskTableData*>(database.GetTableData(&cursor));
  table->CreateTable(cursor, fields, {}, indexes);
}

// One process's connection to the file with table T open.
class TConnection : public test::TTableConnection {
 public:
  using TTableConnection::TTableConnection;

  bool Insert(std::int32_t id, std::int32_t writer) {
    std::fill(Buffer.begin(), Buffer.end(), 0);
    SetFieldData(kIdField, Table->FieldDefs(), &id, Buffer.data());
    SetFieldData(kWriterField, Table->FieldDefs(), &writer, Buffer.data());
    return Table->InsertRecord(Cursor);
  }
  // Every id in the table, read in natural order.
  std::multiset<std::int32_t> Ids() {
    std::multiset<std::int32_t> ids;
    Cursor.BeforeFirst = true;
    Cursor.AfterLast = false;
    while (Table->GetRecord(Cursor, grmNext) == grOK) {
      std::int32_t id = 0;
      GetFieldData(kIdField, Table->FieldDefs(), &id, Buffer.data());
      ids.insert(id);
    }
    return ids;
  }
  std::vector<std::string> Faults() {
    std::vector<std::string> faults = CheckTableIndexes(*Table, ID());
    try {
      Table->DiskRecordManager()->VerifyRecordCount(ID());
    } catch (const EQELException& e) {
      faults.push_back(e.what());
    }
    for (const TQELFileFault& fault : CheckDiskFile(Database.DiskPageManager()).Faults) {
      faults.push_back("page " + std::to_string(fault.PageNo) + ": " + fault.Message);
    }
    return faults;
  }
};

class MultiUserTableTest : public ::testing::Test {
 protected:
  void SetUp() override { CreateFile(FileName); }

  // A writer with session id `id` is killed in a transaction that took
  // new record and index pages.
  void KillAWriterInItsTransaction(std::int32_t id) {
    TChildProcess victim([&](TChildProcess& self) {
      TConnection connection(FileName, true);
      if (connection.ID() != id || !connection.LockForTransaction()) return kChildFailed;
      connection.BeginTransaction();
      for (int i = 0; i < 2000; ++i) connection.Insert(100 + i, 1);
      self.SignalReady();
      self.AwaitRelease();
      return kChildFailed;
    });
    ASSERT_TRUE(victim.AwaitReady());
    victim.Kill();
    EXPECT_EQ(victim.Wait(), -1);
  }

  test::TScratchDir Dir;
  std::string FileName = Dir.File("shared.qel");
};

TEST_F(MultiUserTableTest, SessionIdsAndTheExclusionOfSingleUserOpeners) {
  // Two multi-user processes get ids 0 and 1 and keep them while connected.
  auto connect = [&](TChildProcess& self) {
    test::TTestSession session(true);
    TQELDiskDatabaseData database(FileName);
    database.AddSession(&session);
    self.SignalReady();
    self.AwaitRelease();
    const int id = session.SessionID();
    database.RemoveSession(&session);
    return 20 + id;
  };
  TChildProcess first(connect);
  ASSERT_TRUE(first.AwaitReady());
  TChildProcess second(connect);
  ASSERT_TRUE(second.AwaitReady());
  // A single-user opener meanwhile goes on read-only.
  EXPECT_EQ(test::RunInChild([&] {
              test::TTestSession session(false);
              TQELDiskDatabaseData database(FileName);
              database.AddSession(&session);
              const bool readOnly = session.ReadOnly && database.ReadOnly();
              database.RemoveSession(&session);
              return readOnly ? kChildGranted : kChildRefused;
            }),
            kChildGranted);
  first.Release();
  second.Release();
  EXPECT_EQ(first.Wait(), 20);
  EXPECT_EQ(second.Wait(), 21);

  // A single-user holder keeps every multi-user opener out.
  TChildProcess holder([&](TChildProcess& self) {
    test::TTestSession session(false);
    TQELDiskDatabaseData database(FileName);
    database.AddSession(&session);
    self.SignalReady();
    self.AwaitRelease();
    database.RemoveSession(&session);
    return session.ReadOnly ? kChildFailed : kChildGranted;
  });
  ASSERT_TRUE(holder.AwaitReady());
  EXPECT_EQ(test::RunInChild([&] {
              test::TTestSession session(true);
              TQELDiskDatabaseData database(FileName);
              return NativeErrorOf([&] { database.AddSession(&session); }) == 20094 ? kChildRefused
                                                                                    : kChildGranted;
            }),
            kChildRefused);
  holder.Release();
  EXPECT_EQ(holder.Wait(), kChildGranted);
}

// Four writers insert 2 500 records each in transactions of ten, rolling
// back every seventh transaction; each child notes the ids it committed.
TEST_F(MultiUserTableTest, WritersInSeveralProcessesKeepEveryCommittedRecord) {
  constexpr int kWriters = 4;
  constexpr int kPerWriter = 2500;
  constexpr int kPerTransaction = 10;
  std::vector<std::unique_ptr<TChildProcess>> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.push_back(std::make_unique<TChildProcess>([&, w](TChildProcess&) {
      TConnection connection(FileName, true);
      if (!connection.Database.MultiUser() || connection.Session.ReadOnly) return kChildFailed;
      std::ofstream committed(Dir.File("committed" + std::to_string(w)));
      for (int t = 0; t * kPerTransaction < kPerWriter; ++t) {
        if (!connection.LockForTransaction()) return kChildRefused;
        connection.BeginTransaction();
        for (int i = 0; i < kPerTransaction; ++i) {
          if (!connection.Insert(w * 100000 + t * kPerTransaction + i, w)) return kChildFailed;
        }
        if (t % 7 == 3) {
          connection.Rollback();
          continue;
        }
        connection.Commit();
        committed << t << '\n' << std::flush;
      }
      return kChildGranted;
    }));
  }
  for (auto& writer : writers) EXPECT_EQ(writer->Wait(std::chrono::seconds(240)), kChildGranted);

  std::multiset<std::int32_t> expected;
  for (int w = 0; w < kWriters; ++w) {
    std::ifstream committed(Dir.File("committed" + std::to_string(w)));
    for (int t; committed >> t;) {
      for (int i = 0; i < kPerTransaction; ++i) expected.insert(w * 100000 + t * kPerTransaction + i);
    }
  }
  TConnection reader(FileName, false);
  EXPECT_EQ(reader.Ids(), expected);
  const std::vector<std::string> faults = reader.Faults();
  EXPECT_TRUE(faults.empty()) << faults.front();
}

TEST_F(MultiUserTableTest, AKilledWriterLeavesItsLocksAndSlotBehind) {
  // A committed record first.
  ASSERT_EQ(test::RunInChild([&] {
              TConnection connection(FileName, true);
              connection.LockForTransaction();
              connection.BeginTransaction();
              connection.Insert(1, 0);
              connection.Commit();
              return kChildGranted;
            }),
            kChildGranted);
  // A writer dies holding the table's transaction lock, its session byte
  // and uncommitted changes.
  TChildProcess victim([&](TChildProcess& self) {
    TConnection connection(FileName, true);
    connection.LockForTransaction();
    connection.BeginTransaction();
    for (int i = 0; i < 50; ++i) connection.Insert(100 + i, 1);
    self.SignalReady();
    self.AwaitRelease();
    return kChildFailed;
  });
  ASSERT_TRUE(victim.AwaitReady());
  victim.Kill();
  EXPECT_EQ(victim.Wait(), -1);

  // The next writer gets the same slot and the lock, and commits.
  EXPECT_EQ(test::RunInChild([&] {
              TConnection connection(FileName, true);
              if (connection.ID() != 0) return kChildFailed;
              if (!connection.Table->LockTable(connection.ID(), 3, 50, 1, 20)) return kChildRefused;
              connection.BeginTransaction();
              connection.Insert(2, 2);
              connection.Commit();
              return kChildGranted;
            }),
            kChildGranted);
  TConnection reader(FileName, false);
  EXPECT_EQ(reader.Ids(), (std::multiset<std::int32_t>{1, 2}));
  const std::vector<std::string> faults = reader.Faults();
  EXPECT_TRUE(faults.empty()) << faults.front();
}

// A writer killed in a transaction leaves the pages it took listed under its
// session id. A read-only check counts them as taken, not as damage; the
// next holder of the id gives them back, and only them: a live session's
// pages of its own transaction stay, and its commit completes.
TEST_F(MultiUserTableTest, AKilledWritersPagesGoBackToTheNextHolderOfItsIdOnly) {
  TConnection live(FileName, true);
  ASSERT_EQ(live.ID(), 0);
  KillAWriterInItsTransaction(1);
  const std::vector<std::int32_t> dead = live.Database.DiskPageManager().ListedTakenPages();
  ASSERT_FALSE(dead.empty());

  ASSERT_TRUE(live.LockForTransaction());
  live.BeginTransaction();
  for (int i = 0; i < 2000; ++i) ASSERT_TRUE(live.Insert(5000 + i, 0));
  const std::vector<std::int32_t> listed = live.Database.DiskPageManager().ListedTakenPages();
  ASSERT_GT(listed.size(), dead.size());
  {
    // What a read-only check of the file sees meanwhile.
    TQELDiskPageManager inspector;
    inspector.OpenDatabase(FileName, {}, {.ReadOnly = true});
    const TQELDiskFileSummary summary = CheckDiskFile(inspector);
    EXPECT_TRUE(summary.Faults.empty()) << summary.Faults.front().Message;
    EXPECT_EQ(summary.TakenPageCount, static_cast<std::int32_t>(listed.size()));
  }

  // The next opener takes id 1, the dead writer's.
  TConnection next(FileName, true);
  EXPECT_EQ(next.ID(), 1);
  EXPECT_EQ(next.Database.ReclaimedPages(), static_cast<std::int32_t>(dead.size()));
  std::vector<std::int32_t> left = next.Database.DiskPageManager().ListedTakenPages();
  EXPECT_EQ(left.size(), listed.size() - dead.size());
  for (const std::int32_t pageNo : left) {
    EXPECT_FALSE(std::binary_search(dead.begin(), dead.end(), pageNo)) << "page " << pageNo;
  }

  live.Commit();
  EXPECT_TRUE(next.Database.DiskPageManager().ListedTakenPages().empty());
  EXPECT_EQ(next.Ids().size(), 2000u);
  const std::vector<std::string> faults = next.Faults();
  EXPECT_TRUE(faults.empty()) << faults.front();
}

// Giving the pages back is one atomic change of the file and the lists: a
// crash at any of its writes (the later ones lost), or a write that fails,
// leaves every page listed and marked used, or every page free and the
// lists empty; and the next holder of the id gives back what is left.
TEST_F(MultiUserTableTest, GivingTakenPagesBackIsAtomic) {
  KillAWriterInItsTransaction(0);
  const std::string takenName = TQELTakenPagesFile::PathFor(FileName);
  const std::vector<std::uint8_t> database = test::ReadFileBytes(FileName);
  const std::vector<std::uint8_t> taken = test::ReadFileBytes(takenName);
  std::vector<std::int32_t> dead;
  {
    TQELDiskPageManager inspector;
    inspector.OpenDatabase(FileName, {}, {.ReadOnly = true});
    dead = inspector.ListedTakenPages();
  }
  ASSERT_FALSE(dead.empty());
  for (const bool crash : {true, false}) {
    bool completed = false;
    std::int64_t n = 1;
    for (; !completed && n < 200; ++n) {
      SCOPED_TRACE((crash ? "crash at write " : "failure of write ") + std::to_string(n));
      test::WriteFileBytes(FileName, database);
      test::WriteFileBytes(takenName, taken);
      std::filesystem::remove(TQELRollbackJournal::PathFor(FileName));
      {
        TQELFaultInjector injector;
        injector.SetScope([&](const std::string& path) { return path.starts_with(FileName); });
        if (crash) {
          injector.CrashAtWrite(n);
        } else {
          injector.FailOnce(fopWrite, n);
        }
        try {
          TConnection next(FileName, true);
        } catch (const EQELException&) {
          // Closing may fail after the crash or the failure; what the file
          // holds is what counts.
        }
        completed = injector.FailedCount() + injector.DroppedCount() == 0;
      }
      TQELDiskPageManager manager;
      manager.OpenDatabase(FileName, {});  // rolls a hot journal back
      const std::vector<std::int32_t> listed = manager.ListedTakenPages();
      const bool given = listed.empty();
      EXPECT_TRUE(given || listed == dead) << listed.size() << " pages listed";
      for (const std::int32_t pageNo : dead) {
        ASSERT_EQ(manager.FreeSpaceManager()->IsPageUsed(pageNo), !given) << "page " << pageNo;
      }
      const TQELDiskFileSummary summary = CheckDiskFile(manager);
      EXPECT_TRUE(summary.Faults.empty()) << summary.Faults.front().Message;
      manager.CloseDatabase();
      EXPECT_TRUE(given || !completed);
      TConnection after(FileName, true);
      EXPECT_TRUE(after.Database.DiskPageManager().ListedTakenPages().empty());
      EXPECT_EQ(after.Ids(), (std::multiset<std::int32_t>{}));
      const std::vector<std::string> faults = after.Faults();
      EXPECT_TRUE(faults.empty()) << faults.front();
    }
    EXPECT_TRUE(completed);
    EXPECT_GT(n, 4) << "the change makes several writes, each one met";
  }
}

TEST_F(MultiUserTableTest, ACommitThatCannotLockItsTablesKeepsItsChangesPending) {
  TConnection writer(FileName, true);
  writer.Database.LockManager()->TransactionLockAttempts = 3;
  writer.Database.LockManager()->TransactionLockDelayMs = 5;
  ASSERT_TRUE(writer.LockForTransaction());
  writer.BeginTransaction();
  writer.Insert(7, 0);
  // Another process reads the table for as long as it is told to.
  TChildProcess reader([&](TChildProcess& self) {
    TConnection connection(FileName, true);
    if (!connection.Table->LockTable(connection.ID(), 1, 100, 1, 5)) return kChildRefused;
    self.SignalReady();
    self.AwaitRelease();
    connection.Table->UnlockTable(connection.ID(), 1, false);
    return kChildGranted;
  });
  ASSERT_TRUE(reader.AwaitReady());
  EXPECT_EQ(NativeErrorOf([&] { writer.Database.Commit(writer.ID()); }), 20233);
  reader.Release();
  EXPECT_EQ(reader.Wait(), kChildGranted);
  writer.Commit();  // the same changes, now that the reader is gone
  EXPECT_EQ(test::RunInChild([&] {
              TConnection other(FileName, true);
              return other.Ids() == std::multiset<std::int32_t>{7} ? kChildGranted : kChildFailed;
            }),
            kChildGranted);
}

// The differing bytes of two images of a file of 4096-byte pages after the
// 380-byte prologue, except the change counters (PageVersion, bytes 4..7)
// of free-space pages: those only ever move forward, so that no process can
// take a page changed and changed back for the copy it holds.
std::vector<std::string> Differences(const std::vector<std::uint8_t>& before,
                                     const std::vector<std::uint8_t>& after) {
  constexpr std::int64_t kPrologue = 380, kPage = 4096;
  std::vector<std::string> differences;
  if (before.size() != after.size()) {
    differences.push_back("size " + std::to_string(before.size()) + " -> " +
                          std::to_string(after.size()));
    return differences;
  }
  for (std::size_t i = 0; i < after.size() && differences.size() < 10; ++i) {
    if (after[i] == before[i]) continue;
    const std::int64_t page = (static_cast<std::int64_t>(i) - kPrologue) / kPage;
    const std::int64_t offset = (static_cast<std::int64_t>(i) - kPrologue) % kPage;
    const auto type = static_cast<std::uint8_t>(before[static_cast<std::size_t>(kPrologue + page * kPage + 8)]);
    if (i >= kPrologue && offset >= 4 && offset < 8 && (type == ptPFS || type == ptEAM)) continue;
    differences.push_back("page " + std::to_string(page) + " offset " + std::to_string(offset));
  }
  return differences;
}

TEST_F(MultiUserTableTest, RollbackLeavesNoTraceInTheFile) {
  {
    TConnection connection(FileName, true);
    connection.LockForTransaction();
    connection.BeginTransaction();
    for (int i = 0; i < 200; ++i) connection.Insert(i, 0);
    connection.Commit();
  }
  const std::vector<std::uint8_t> before = test::ReadFileBytes(FileName);
  {
    TConnection connection(FileName, true);
    connection.LockForTransaction();
    connection.BeginTransaction();
    // Enough to need new record and index pages, and a larger file.
    for (int i = 1000; i < 6000; ++i) ASSERT_TRUE(connection.Insert(i, 1));
    EXPECT_GT(test::ReadFileBytes(FileName).size(), before.size());
    connection.Rollback();
    EXPECT_EQ(connection.Ids().size(), 200u);
  }
  const std::vector<std::string> differences = Differences(before, test::ReadFileBytes(FileName));
  EXPECT_TRUE(differences.empty()) << differences.front();
}

// A writer keeps its journal file while the database is open; the last
// opener to close takes it away, whether single-user or multi-user, and
// the list of taken pages with it. A writer whose journal file was removed
// under it writes a new one where the next opener looks for it.
TEST_F(MultiUserTableTest, TheLastOpenerToCloseLeavesNoJournalBehind) {
  const std::string journal = TQELRollbackJournal::PathFor(FileName);
  auto commitOne = [](TConnection& connection, std::int32_t id) {
    ASSERT_TRUE(connection.LockForTransaction());
    connection.BeginTransaction();
    ASSERT_TRUE(connection.Insert(id, 0));
    connection.Commit();
  };
  for (const bool multiUser : {false, true}) {
    SCOPED_TRACE(multiUser ? "multi-user" : "single-user");
    {
      TConnection connection(FileName, multiUser);
      commitOne(connection, multiUser ? 1 : 2);
      EXPECT_TRUE(std::filesystem::exists(journal));
    }
    EXPECT_FALSE(std::filesystem::exists(journal));
  }
  // So does the list of taken pages, which no list holds a page of then.
  const std::string taken = TQELTakenPagesFile::PathFor(FileName);
  {
    TConnection connection(FileName, true);
    ASSERT_TRUE(connection.LockForTransaction());
    connection.BeginTransaction();
    for (int i = 0; i < 2000; ++i) ASSERT_TRUE(connection.Insert(100 + i, 0));
    EXPECT_TRUE(std::filesystem::exists(taken));
    connection.Rollback();
  }
  EXPECT_FALSE(std::filesystem::exists(taken));

  // Another process still connected keeps the journal; its close removes it.
  TChildProcess other([&](TChildProcess& self) {
    TConnection connection(FileName, true);
    self.SignalReady();
    self.AwaitRelease();
    return kChildGranted;
  });
  ASSERT_TRUE(other.AwaitReady());
  {
    TConnection connection(FileName, true);
    commitOne(connection, 3);
    // Removed under the writer, as by a last opener closing meanwhile.
    ASSERT_TRUE(std::filesystem::remove(journal));
    commitOne(connection, 4);
    EXPECT_TRUE(std::filesystem::exists(journal));
  }
  EXPECT_TRUE(std::filesystem::exists(journal));
  other.Release();
  EXPECT_EQ(other.Wait(), kChildGranted);
  EXPECT_FALSE(std::filesystem::exists(journal));
  TConnection reader(FileName, false);
  EXPECT_EQ(reader.Ids(), (std::multiset<std::int32_t>{1, 2, 3, 4}));
}

}  // namespace
}  // namespace qel
