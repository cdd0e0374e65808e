// Two processes editing one multi-user database file through the engine
// cursor: what Edit, Post and Delete report when the other process holds
// the record or the table, or changed or deleted the record meanwhile, and
// that no lock outlives such a case; that waiting for a record lock leaves
// the process's other sessions free to work; and that plain and committed
// changes reach the other process.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "engine/CursorTestSupport.h"
#include "storage/QELTableData.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

using namespace std::chrono_literals;
using test::kChildFailed;
using test::kChildGranted;
using test::TChildProcess;
using test::TCursorOn;

constexpr std::uint8_t kTransactionLock = 3;
constexpr std::uint8_t kPostLock = 4;
// How long one side waits for the other to reach its next step.
constexpr auto kStepLimit = 3s;

const char* const kOriginal = "asli";
const char* const kTheirs = "milik mereka";
const char* const kOurs = "milik kami";
const char* const kGone = "<hilang>";

// Starts editing the record in the buffer, keeping the copy Post compares
// the stored record with.
std::int32_t BeginEdit(TCursorOn& table) {
  std::memcpy(table.Old, table.Buffer, static_cast<std::size_t>(table.Cursor.BufferSize()));
  table.Cursor.Edit();
  return table.Cursor.Status;
}

std::int32_t PostTerm(TCursorOn& table, const std::string& term) {
  table.SetTerm(term);
  table.Cursor.OldRecordBuffer = table.Old;
  table.Cursor.Post(false);
  return table.Cursor.Status;
}

std::int32_t DeleteCurrent(TCursorOn& table) {
  table.Cursor.Delete();
  return table.Cursor.Status;
}

std::string StoredTerm(TCursorOn& table, std::int32_t id) {
  return table.Find(id) ? table.Term() : kGone;
}

// Makes the file with `count` glossary records, ID 1..count, all with the
// term kOriginal. A process of its own does it, so that this one has
// connected nothing to the file before it forks its peer.
void CreateGlossaryFile(const std::string& fileName, std::int32_t count) {
  ASSERT_EQ(test::RunInChild([&] {
              auto session = test::OpenSession("KUVO", fileName);
              session->CreateDatabase();
              session->SetConnected(true);
              TCursorOn table(*session);
              table.Create();
              table.Open();
              for (std::int32_t id = 1; id <= count; ++id) {
                if (table.Insert(id, kOriginal) != 0) return kChildFailed;
              }
              return kChildGranted;
            }),
            kChildGranted);
}

// One multi-user session on the file with the glossary open and short
// lock waits.
struct TPeer {
  explicit TPeer(const std::string& fileName)
      : Session(test::OpenSession("KUVO", fileName, true)), Table(*Session) {
    Session->SetConnected(true);
    Table.Open();
    test::ShortenLockWaits(Table.Cursor);
  }

  std::unique_ptr<TQELLocalSession> Session;
  TCursorOn Table;
};

// A writer that does not wait for record locks: it changes (or, without a
// term, deletes) the record through the table data under the post lock
// alone. No cursor does that; it is the only way to change a record behind
// an edit that holds the record's lock.
bool WriteAround(TCursorOn& table, std::int32_t id, const char* term) {
  if (!table.Find(id) || !table.Cursor.LockTable(kPostLock, 3, 10, 1)) return false;
  bool done = false;
  if (term != nullptr) {
    table.SetTerm(term);
    done = table.Cursor.TableData()->UpdateRecord(table.Cursor);
  } else {
    done = table.Cursor.TableData()->DeleteRecord(table.Cursor);
  }
  table.Cursor.UnlockTable(kPostLock, false);
  return done;
}

// Whether this side can at once take the table lock that excludes every
// other writer, and edit and post the record: neither a lock of the other
// side nor a lock of this session's own outlived the case before. Answers
// what failed, or nothing.
std::string FreeToChange(TCursorOn& table, std::int32_t id, const std::string& term) {
  if (!table.Cursor.LockTable(kTransactionLock, 1, 0, 0)) return "table lock refused";
  table.Cursor.UnlockTable(kTransactionLock, false);
  if (!table.Find(id)) return "record " + std::to_string(id) + " missing";
  const std::int32_t status = table.UpdateTerm(term);
  return status == 0 ? std::string() : "edit and post gave " + std::to_string(status);
}

// ---- Refusals ----------------------------------------------------------------

// What the other process does to the case's record (or, in a transaction,
// to the spare record) before our operation.
enum class TTheirs { HoldEdit, Update, Delete, UpdateAround, DeleteAround, HoldTransaction };
// Our operation; for Post we started editing before they acted.
enum class TOurs { Edit, Post, Delete };

struct TRefusalCase {
  const char* Name;
  TTheirs Theirs;
  TOurs Ours;
  std::int32_t Status;
  const char* Stored;  // the record's term afterwards
};

const TRefusalCase kRefusals[] = {
    {"their edit locks the record", TTheirs::HoldEdit, TOurs::Edit, csRecordLocked, kOriginal},
    {"their edit locks it against delete", TTheirs::HoldEdit, TOurs::Delete, csRecordLocked,
     kOriginal},
    {"changed before our edit", TTheirs::Update, TOurs::Edit, csChangedBeforeUpdate, kTheirs},
    {"changed after our edit", TTheirs::UpdateAround, TOurs::Post, csChangedBeforeUpdate, kTheirs},
    {"changed before our delete", TTheirs::Update, TOurs::Delete, csChangedBeforeDelete, kTheirs},
    {"deleted before our edit", TTheirs::Delete, TOurs::Edit, csDeletedBeforeUpdate, kGone},
    {"deleted after our edit", TTheirs::DeleteAround, TOurs::Post, csDeletedBeforeUpdate, kGone},
    {"deleted before our delete", TTheirs::Delete, TOurs::Delete, csDeletedBeforeDelete, kGone},
    {"their transaction holds the table", TTheirs::HoldTransaction, TOurs::Post, csTableLocked,
     kOriginal},
    {"their transaction keeps edits out", TTheirs::HoldTransaction, TOurs::Edit, csTableLocked,
     kOriginal},
    {"their transaction keeps deletes out", TTheirs::HoldTransaction, TOurs::Delete,
     csTableLocked, kOriginal},
};
constexpr std::int32_t kRefusalCount = sizeof(kRefusals) / sizeof(kRefusals[0]);

// Case i works on record 2i + 1; record 2i + 2 is the spare their
// transaction changes and the check uses when the case deleted the record.
std::int32_t CaseRecord(std::int32_t i) { return 2 * i + 1; }
std::int32_t SpareRecord(std::int32_t i) { return 2 * i + 2; }
std::int32_t CheckedRecord(std::int32_t i) {
  return kRefusals[i].Stored == kGone ? SpareRecord(i) : CaseRecord(i);
}

bool Act(TPeer& peer, const TRefusalCase& c, std::int32_t i) {
  TCursorOn& table = peer.Table;
  const std::int32_t id = CaseRecord(i);
  switch (c.Theirs) {
    case TTheirs::HoldEdit:
      return table.Find(id) && BeginEdit(table) == 0;
    case TTheirs::Update:
      return table.Find(id) && table.UpdateTerm(kTheirs) == 0;
    case TTheirs::Delete:
      return table.Find(id) && DeleteCurrent(table) == 0;
    case TTheirs::UpdateAround:
      return WriteAround(table, id, kTheirs);
    case TTheirs::DeleteAround:
      return WriteAround(table, id, nullptr);
    case TTheirs::HoldTransaction:
      peer.Session->StartTransaction();
      return table.Find(SpareRecord(i)) && table.UpdateTerm("transaksi") == 0;
  }
  return false;
}

void EndHold(TPeer& peer, const TRefusalCase& c) {
  if (c.Theirs == TTheirs::HoldEdit) peer.Table.Cursor.Cancel(false);
  if (c.Theirs == TTheirs::HoldTransaction) peer.Session->Commit(false);
}

TEST(CursorEditingTest, EachRefusalReportsItsStatusAndLeavesNoLockBehind) {
  test::TScratchDir dir;
  const std::string fileName = dir.File("kuvo.qel");
  CreateGlossaryFile(fileName, 2 * kRefusalCount);
  // Their side; a failure in case i ends it with status 30 + i.
  TChildProcess them([&](TChildProcess& self) {
    TPeer peer(fileName);
    for (std::int32_t i = 0; i < kRefusalCount; ++i) {
      self.AwaitRelease();
      if (!Act(peer, kRefusals[i], i)) return 30 + i;
      self.SignalReady();
      self.AwaitRelease();
      EndHold(peer, kRefusals[i]);
      if (!FreeToChange(peer.Table, CheckedRecord(i), "diperiksa mereka").empty()) return 30 + i;
      self.SignalReady();
    }
    return kChildGranted;
  });
  ASSERT_TRUE(them.Started());
  TPeer us(fileName);
  TCursorOn& table = us.Table;
  for (std::int32_t i = 0; i < kRefusalCount; ++i) {
    const TRefusalCase& c = kRefusals[i];
    SCOPED_TRACE(c.Name);
    ASSERT_TRUE(table.Find(CaseRecord(i)));
    if (c.Ours == TOurs::Post) {
      ASSERT_EQ(BeginEdit(table), 0);
    }
    them.Release();
    ASSERT_TRUE(them.AwaitReady(kStepLimit)) << "their step failed";

    std::int32_t status = 0;
    switch (c.Ours) {
      case TOurs::Edit:
        status = BeginEdit(table);
        if (status == 0) table.Cursor.Cancel(false);
        break;
      case TOurs::Post:
        status = PostTerm(table, kOurs);
        // A failed post leaves the dataset editing: the user may post
        // again, and cancels in the end.
        if (status != 0) {
          EXPECT_EQ(PostTerm(table, kOurs), status);
          EXPECT_NO_THROW(table.Cursor.Cancel(false));
        }
        break;
      case TOurs::Delete:
        status = DeleteCurrent(table);
        break;
    }
    EXPECT_EQ(status, c.Status);
    EXPECT_EQ(StoredTerm(table, CaseRecord(i)), c.Stored);

    // Each side in turn proves the other kept nothing.
    them.Release();
    ASSERT_TRUE(them.AwaitReady(kStepLimit)) << "their check failed";
    EXPECT_EQ(StoredTerm(table, CheckedRecord(i)), "diperiksa mereka");
    EXPECT_EQ(FreeToChange(table, CheckedRecord(i), "diperiksa kami"), "");
    EXPECT_EQ(DeleteCurrent(table), 0);
  }
  EXPECT_EQ(them.Wait(), kChildGranted);
}

// ---- Waiting ---------------------------------------------------------------

TEST(CursorEditingTest, AWaitForARecordLockLeavesTheDatabaseToOtherSessions) {
  test::TScratchDir dir;
  const std::string fileName = dir.File("kuvo.qel");
  constexpr std::int32_t kCount = 50;
  CreateGlossaryFile(fileName, kCount);
  TChildProcess them([&](TChildProcess& self) {
    TPeer peer(fileName);
    if (!peer.Table.Find(1) || BeginEdit(peer.Table) != 0) return kChildFailed;
    self.SignalReady();
    self.AwaitRelease();
    peer.Table.Cursor.Cancel(false);
    return kChildGranted;
  });
  ASSERT_TRUE(them.AwaitReady(kStepLimit));

  TPeer editor(fileName);
  editor.Table.Cursor.LockWaits.RecordAttempts = 400;  // up to 8 s
  editor.Table.Cursor.LockWaits.RecordDelayMs = 20;
  ASSERT_TRUE(editor.Table.Find(1));
  std::atomic<bool> editing{false};
  auto edit = std::async(std::launch::async, [&] {
    editing = true;
    return BeginEdit(editor.Table);
  });
  while (!editing) std::this_thread::yield();
  std::this_thread::sleep_for(100ms);  // well inside the wait by now

  // Another session of this process connects and reads the whole table.
  auto read = std::async(std::launch::async, [&] {
    TPeer reader(fileName);
    std::int32_t count = 0;
    reader.Table.Cursor.First();
    while (reader.Table.Cursor.GetRecord(grmNext) == grOK) ++count;
    return count;
  });
  const bool readInTime = read.wait_for(2s) == std::future_status::ready;
  const bool stillWaiting = edit.wait_for(0s) != std::future_status::ready;
  them.Release();  // the record comes free: the wait ends with the lock
  EXPECT_TRUE(readInTime);
  EXPECT_TRUE(stillWaiting);
  EXPECT_EQ(read.get(), kCount);
  EXPECT_EQ(edit.get(), 0);
  editor.Table.Cursor.Cancel(false);
  EXPECT_EQ(them.Wait(), kChildGranted);
}

// ---- Changes that succeed --------------------------------------------------

TEST(CursorEditingTest, EditsInsertsAndDeletesReachTheOtherProcess) {
  test::TScratchDir dir;
  const std::string fileName = dir.File("kuvo.qel");
  CreateGlossaryFile(fileName, 4);
  const std::string memo(3000, 'u');
  // Their side changes records 1 and 2, then looks for ours; status 20 + n
  // names what it missed.
  TChildProcess them([&](TChildProcess& self) {
    TPeer peer(fileName);
    TCursorOn& table = peer.Table;
    self.SignalReady();  // open, before anybody changed anything
    self.AwaitRelease();
    if (!table.Find(1) || table.UpdateTerm(kTheirs) != 0) return 21;
    if (!table.Find(2) || DeleteCurrent(table) != 0) return 22;
    self.SignalReady();
    self.AwaitRelease();
    if (StoredTerm(table, 3) != kOurs || table.Memo() != memo) return 23;
    if (table.Find(4)) return 24;
    if (StoredTerm(table, 5) != "istilah baru") return 25;
    if (table.Cursor.GetRecordCount() != 3) return 26;
    return kChildGranted;
  });
  ASSERT_TRUE(them.AwaitReady(kStepLimit));
  TPeer us(fileName);
  TCursorOn& table = us.Table;
  EXPECT_EQ(table.Cursor.GetRecordCount(), 4);  // read before their changes
  them.Release();
  ASSERT_TRUE(them.AwaitReady(kStepLimit)) << "their changes failed";
  EXPECT_EQ(StoredTerm(table, 1), kTheirs);
  EXPECT_FALSE(table.Find(2));

  ASSERT_TRUE(table.Find(3));
  ASSERT_EQ(BeginEdit(table), 0);
  table.WriteMemo(memo, false);
  EXPECT_EQ(PostTerm(table, kOurs), 0);
  ASSERT_TRUE(table.Find(4));
  EXPECT_EQ(DeleteCurrent(table), 0);
  EXPECT_EQ(table.Insert(5, "istilah baru"), 0);
  them.Release();
  EXPECT_EQ(them.Wait(), kChildGranted);
}

TEST(CursorEditingTest, AnEditInATransactionReachesTheOtherProcessAtCommit) {
  test::TScratchDir dir;
  const std::string fileName = dir.File("kuvo.qel");
  CreateGlossaryFile(fileName, 2);
  // Their side: 21 saw our change before the commit, 22 missed it after,
  // 23 could not edit the record once we committed.
  TChildProcess them([&](TChildProcess& self) {
    TPeer peer(fileName);
    self.AwaitRelease();
    if (StoredTerm(peer.Table, 1) != kOriginal) return 21;
    self.SignalReady();
    self.AwaitRelease();
    if (StoredTerm(peer.Table, 1) != kOurs) return 22;
    if (peer.Table.UpdateTerm(kTheirs) != 0) return 23;
    return kChildGranted;
  });
  TPeer us(fileName);
  us.Session->StartTransaction();
  ASSERT_TRUE(us.Table.Find(1));
  ASSERT_EQ(us.Table.UpdateTerm(kOurs), 0);
  EXPECT_EQ(StoredTerm(us.Table, 1), kOurs);  // our own session sees it at once
  them.Release();
  ASSERT_TRUE(them.AwaitReady(kStepLimit)) << "they saw the change before the commit";
  us.Session->Commit(false);
  them.Release();
  EXPECT_EQ(them.Wait(), kChildGranted);
  EXPECT_EQ(StoredTerm(us.Table, 1), kTheirs);
}

}  // namespace
}  // namespace qel
