// TQELLocalCursor: the record editing protocol. Edit, Post and Delete take
// the table and record locks another session may hold (multi-user disk
// tables only), re-read the record to see whether someone changed or
// deleted it meanwhile, and record the outcome in Status. Whatever the
// outcome, the locks an operation took and is not meant to keep are given
// back, also when it raises.

#include <cstring>

#include "disk/QELDiskTableData.h"
#include "disk/QELLockGuard.h"
#include "engine/QELLocalCursor.h"
#include "engine/QELLocalSession.h"
#include "platform/QELClock.h"
#include "platform/QELException.h"
#include "storage/QELConstraintManager.h"
#include "storage/QELTableData.h"

namespace qel {

namespace {

// Lock kinds of a table: the edit lock, the transaction's write lock and
// the post lock.
constexpr std::uint8_t kEditLock = 2;
constexpr std::uint8_t kTransactionLock = 3;
constexpr std::uint8_t kPostLock = 4;

}  // namespace

template <class TTry>
bool TQELLocalCursor::WaitFor(TDatabaseLock& lock, std::int32_t attempts, std::int32_t delayMs,
                              TTry tryOnce) {
  for (std::int32_t attempt = 1;; ++attempt) {
    if (tryOnce()) return true;
    if (attempt >= attempts) return false;
    // Other sessions of the process must get on meanwhile: the one holding
    // the lock may need the database to finish and let it go.
    lock.unlock();
    QELSleep(static_cast<std::uint32_t>(delayMs > 0 ? delayMs : 0));
    lock.lock();
  }
}

bool TQELLocalCursor::WaitForTable(TDatabaseLock& lock, std::uint8_t kind, std::int32_t attempts,
                                   std::int32_t delayMs) {
  return WaitFor(lock, attempts, delayMs,
                 [&] { return FDiskTable->LockTable(SessionID(), kind, 1, 1, 0); });
}

bool TQELLocalCursor::WaitForRecord(TDatabaseLock& lock, std::int32_t attempts,
                                    std::int32_t delayMs) {
  return WaitFor(lock, attempts, delayMs,
                 [&] { return FDiskTable->LockRecord(SessionID(), Position, 1, 0); });
}

template <class TRelease>
bool TQELLocalCursor::LockForChange(TDatabaseLock& lock, std::uint8_t kind,
                                    std::int32_t tableAttempts, std::int32_t tableDelayMs,
                                    bool& recordLocked, TRelease release) {
  if (!WaitForTable(lock, kind, tableAttempts, tableDelayMs)) {
    Status = csTableLocked;
    return false;
  }
  try {
    recordLocked = WaitForRecord(lock, LockWaits.RecordAttempts, LockWaits.RecordDelayMs);
  } catch (...) {
    release();
    throw;
  }
  if (!recordLocked) {
    release();
    Status = csRecordLocked;
  }
  return recordLocked;
}

void TQELLocalCursor::ReleaseRecordLock() { FDiskTable->UnlockRecord(SessionID(), Position); }

bool TQELLocalCursor::SameStoredValues(const std::uint8_t* a, const std::uint8_t* b) const {
  const std::int32_t flags = FFieldDefs.NullFlagsSize();
  if (std::memcmp(a, b, static_cast<std::size_t>(flags)) != 0) return false;
  for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i) {
    if (IsNull(i, a)) continue;
    const TQELFieldDef& field = FFieldDefs[i];
    std::size_t size = static_cast<std::size_t>(field.MemoryDataSize());
    // The handle after a BLOB's stored reference belongs to whoever opened
    // the value, not to the stored record.
    if (IsBlobBaseType(field.BaseFieldType())) size = kQELBlobDiskSlotSize;
    if (std::memcmp(a + field.MemoryOffset(), b + field.MemoryOffset(), size) != 0) return false;
  }
  return true;
}

bool TQELLocalCursor::ReReadRecord(std::vector<std::uint8_t>& saved) {
  if (RecordBuffer == nullptr) throw EQELException(20157, "Nil pointer occured");
  saved.assign(RecordBuffer, RecordBuffer + BookmarkOffset() + kBookmarkSize);
  Position = BookmarkPosition();
  BeforeFirst = false;
  AfterLast = false;
  return FTableData->GetRecord(*this, grmCurrent) == grOK;
}

// ---- Edit ------------------------------------------------------------------

void TQELLocalCursor::Edit() {
  TDatabaseLock lock = LockedDatabase();
  Status = csOK;
  OpenTableData();
  if (IsTemporaryDatabase()) {
    Status = csTemporaryUpdate;
    return;
  }
  if (RecordBuffer == nullptr) throw EQELException(20157, "Nil pointer occured");
  const bool multiUser = MultiUserDisk();
  const std::uint8_t kind = InTransaction() ? kTransactionLock : kEditLock;
  Position = BookmarkPosition();
  bool recordLocked = false;
  auto releaseLocks = [&] {
    if (!multiUser) return;
    if (recordLocked) ReleaseRecordLock();
    FDiskTable->UnlockTable(SessionID(), kind, InTransaction());
  };
  if (multiUser && !LockForChange(lock, kind, LockWaits.EditTableAttempts,
                                   LockWaits.EditTableDelayMs, recordLocked, releaseLocks)) {
    return;
  }
  std::vector<std::uint8_t> saved;
  try {
    const bool readable = ReReadRecord(saved);
    if (!readable) {
      Status = csDeletedBeforeUpdate;
    } else if (!SameStoredValues(RecordBuffer, saved.data())) {
      Status = csChangedBeforeUpdate;
    }
    std::memcpy(RecordBuffer, saved.data(), saved.size());
  } catch (...) {
    if (!saved.empty()) std::memcpy(RecordBuffer, saved.data(), saved.size());
    releaseLocks();
    throw;
  }
  if (Status != csOK) releaseLocks();
}

// ---- Post ------------------------------------------------------------------

bool TQELLocalCursor::PreparePost(bool isInsert) {
  TQELTableData& table = *FTableData;
  const bool temporary = IsTemporaryDatabase();
  try {
    if (isInsert && FDiskTable != nullptr) FDiskTable->ReadTableHeader(SessionID());
    if (isInsert && !temporary && table.FieldManager() != nullptr) {
      table.FieldManager()->ApplyAutoincValues(*Session, RecordBuffer);
    }
    if (!temporary && table.ConstraintManager() != nullptr) {
      table.ConstraintManager()->CheckConstraints(SessionID(), RecordBuffer, true, Position,
                                                  !isInsert, OldRecordBuffer);
    }
  } catch (const std::exception& error) {
    Status = csPreparationError;
    ErrorText = error.what();
    return false;
  }
  return true;
}

void TQELLocalCursor::RunPost(bool isInsert, std::vector<std::uint8_t>& saved) {
  TQELTableData& table = *FTableData;
  if (isInsert) {
    if (!table.InsertRecord(*this)) {
      Status = csInsertFailed;
      return;
    }
    WriteBookmark(RecordBuffer, Position, bfInserted);
    return;
  }
  if (OldRecordBuffer == nullptr) throw EQELException(20158, "Nil pointer occured");
  const bool readable = ReReadRecord(saved);
  const bool unchanged = readable && SameStoredValues(RecordBuffer, OldRecordBuffer);
  // The new values come back whatever the answer.
  std::memcpy(RecordBuffer, saved.data(), saved.size());
  if (!readable) {
    Status = csDeletedBeforeUpdate;
  } else if (!unchanged) {
    Status = csChangedBeforeUpdate;
  } else if (!table.UpdateRecord(*this)) {
    Status = csUpdateFailed;
  }
}

void TQELLocalCursor::Post(bool isInsert) {
  TDatabaseLock lock = LockedDatabase();
  Status = csOK;
  ErrorText.clear();
  OpenTableData();
  if (RecordBuffer == nullptr) throw EQELException(20157, "Nil pointer occured");
  const bool multiUser = MultiUserDisk();
  const bool inTransaction = InTransaction();
  const std::uint8_t kind = inTransaction ? kTransactionLock : kPostLock;
  if (!isInsert) Position = BookmarkPosition();
  if (multiUser &&
      !WaitForTable(lock, kind, LockWaits.PostTableAttempts, LockWaits.PostTableDelayMs)) {
    Status = csTableLocked;
    return;
  }
  auto cleanUp = [&] {
    if (!multiUser) return;
    if (!isInsert && Status != csPreparationError) {
      // A post that failed after its re-read has given the edit back
      // already; posting again finds no edit lock to release.
      ReleaseRecordLock();
      FDiskTable->UnlockTable(SessionID(), kEditLock, true);
    }
    if (!inTransaction) FDiskTable->UnlockTable(SessionID(), kPostLock, false);
  };
  // The locks go back however the post ends.
  TQELLockGuard release(cleanUp);
  std::vector<std::uint8_t> saved;
  if (PreparePost(isInsert)) {
    CloseBlobStreams(true);
    RunPost(isInsert, saved);
  }
}

// ---- Delete ----------------------------------------------------------------

void TQELLocalCursor::RunDelete(std::vector<std::uint8_t>& saved) {
  const bool readable = ReReadRecord(saved);
  // Byte for byte over the record and its bookmark, BLOB handles aside.
  const bool unchanged = readable && SameStoredValues(RecordBuffer, saved.data());
  if (!readable) {
    std::memcpy(RecordBuffer, saved.data(), saved.size());
    Status = csDeletedBeforeDelete;
    return;
  }
  if (!unchanged) {
    std::memcpy(RecordBuffer, saved.data(), saved.size());
    Status = csChangedBeforeDelete;
    return;
  }
  // The buffer as the caller had it, handles included: its BLOB caches go
  // with the record.
  std::memcpy(RecordBuffer, saved.data(), saved.size());
  if (!FTableData->DeleteRecord(*this)) Status = csDeleteFailed;
}

void TQELLocalCursor::Delete() {
  TDatabaseLock lock = LockedDatabase();
  Status = csOK;
  OpenTableData();
  if (RecordBuffer == nullptr) throw EQELException(20157, "Nil pointer occured");
  const bool multiUser = MultiUserDisk();
  const bool inTransaction = InTransaction();
  const std::uint8_t kind = inTransaction ? kTransactionLock : kPostLock;
  Position = BookmarkPosition();
  bool recordLocked = false;
  auto cleanUp = [&] {
    if (!multiUser) return;
    if (recordLocked) ReleaseRecordLock();
    if (!inTransaction) FDiskTable->UnlockTable(SessionID(), kPostLock, false);
  };
  if (multiUser && !LockForChange(lock, kind, LockWaits.DeleteTableAttempts,
                                   LockWaits.DeleteTableDelayMs, recordLocked, cleanUp)) {
    return;
  }
  TQELLockGuard release(cleanUp);
  std::vector<std::uint8_t> saved;
  if (IsTemporaryDatabase()) {
    Status = csTemporaryDelete;
  } else {
    RunDelete(saved);
  }
}

// ---- Cancel ----------------------------------------------------------------

void TQELLocalCursor::Cancel(bool isInsert) {
  TDatabaseLock lock = LockedDatabase();
  // Cancelling cannot fail: the status of an earlier failed post is over.
  Status = csOK;
  ErrorText.clear();
  TQELTableData& table = OpenTableData();
  CloseBlobStreams(true);
  if (RecordBuffer != nullptr) {
    if (FDiskTable != nullptr) FDiskTable->DiscardBlobCaches(RecordBuffer);
    // Values written into the buffer and never stored go with it; on a
    // memory table that holds for a cancelled edit too (its stored values
    // are not the buffer's to free, and stay).
    if (isInsert || FDiskTable == nullptr) table.FreeRecordBlobs(RecordBuffer);
  }
  if (MultiUserDisk() && !isInsert) {
    Position = RecordBuffer != nullptr ? BookmarkPosition() : Position;
    ReleaseRecordLock();
    // Nor does cancelling after such a post.
    if (!InTransaction()) FDiskTable->UnlockTable(SessionID(), kEditLock, true);
  }
}

}  // namespace qel
