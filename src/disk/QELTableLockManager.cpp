#include "disk/QELTableLockManager.h"

#include <algorithm>
#include <exception>
#include <mutex>

#include "disk/QELLockGuard.h"
#include "disk/QELRetry.h"
#include "pagecache/QELPageType.h"
#include "platform/QELClock.h"
#include "platform/QELException.h"
#include "platform/QELRandom.h"

namespace qel {

namespace {

// A table's lock file opened by its table id (its start page).
struct TOpenedLocksFile {
  TOpenedLocksFile(TQELDiskPageManager& pages, std::int32_t tableID)
      : Raw(pages, ptTableLocks), File((Raw.OpenAndLoad(tableID), Raw)) {}
  TQELInternalDBDirectAccessFile Raw;
  TQELTableLocksFile File;
};

[[noreturn]] void RaiseLocksRemain(std::int32_t nativeCode) {
  throw EQELException(nativeCode, "Some table locks still exist");
}

// Gives a lock file's mutex back on every way out of a scope (with `owns`
// false: a mutex the caller did not take). A failed release is not
// reported; the mutex then stays with the handle.
auto MutexGuard(TQELTableLocksFile& locksFile, bool owns = true) {
  return TQELLockGuard([&locksFile] { locksFile.UnlockFile(); }, owns);
}

// Between attempts at a table lock: half the delay plus a random part, so
// that sessions waiting for each other do not retry in step.
void SleepBeforeRetry(std::int32_t delayMs) {
  if (delayMs <= 0) return;
  const auto half = static_cast<std::uint32_t>(delayMs / 2);
  QELSleep(half + QELRandom(half));
}

}  // namespace

// --- TQELTableLockList -------------------------------------------------------

TQELTableLockEntry* TQELTableLockList::Find(std::uint8_t kind, std::int32_t tableID) {
  const auto found = std::find_if(FEntries.begin(), FEntries.end(), [&](const TQELTableLockEntry& entry) {
    return entry.Kind == kind && entry.TableID == tableID;
  });
  return found == FEntries.end() ? nullptr : &*found;
}

const TQELTableLockEntry* TQELTableLockList::Find(std::uint8_t kind, std::int32_t tableID) const {
  return const_cast<TQELTableLockList*>(this)->Find(kind, tableID);
}

TQELTableLockEntry* TQELTableLockList::FindWithFlag(std::uint8_t kind, std::int32_t tableID, std::uint8_t flag) {
  TQELTableLockEntry* entry = Find(kind, tableID);
  return entry != nullptr && entry->Flag == flag ? entry : nullptr;
}

TQELTableLockEntry& TQELTableLockList::Add(std::uint8_t kind, std::int32_t tableID, bool fileLocked,
                                           std::uint8_t flag) {
  if (TQELTableLockEntry* entry = Find(kind, tableID)) {
    ++entry->Count;
    return *entry;
  }
  TQELTableLockEntry entry;
  entry.Kind = kind;
  entry.TableID = tableID;
  entry.Count = 1;
  entry.FileLocked = fileLocked;
  entry.Flag = flag;
  FEntries.push_back(entry);
  return FEntries.back();
}

bool TQELTableLockList::Release(std::uint8_t kind, std::int32_t tableID, bool force, bool& fileLocked) {
  fileLocked = false;
  TQELTableLockEntry* entry = Find(kind, tableID);
  if (entry == nullptr) return false;
  if (--entry->Count > 0 && !force) return false;
  fileLocked = entry->FileLocked;
  FEntries.erase(FEntries.begin() + (entry - FEntries.data()));
  return true;
}

void TQELTableLockList::Restore(const TQELTableLockEntry& entry) {
  if (TQELTableLockEntry* existing = Find(entry.Kind, entry.TableID)) {
    *existing = entry;
  } else {
    FEntries.push_back(entry);
  }
}

bool TQELTableLockList::HoldsCovering(std::uint8_t kind, std::int32_t tableID) const {
  return std::any_of(FEntries.begin(), FEntries.end(), [&](const TQELTableLockEntry& entry) {
    return entry.TableID == tableID && QELLockKindCovers(entry.Kind, kind);
  });
}

bool TQELTableLockList::HoldsCoveringInFile(std::uint8_t kind, std::int32_t tableID) const {
  return std::any_of(FEntries.begin(), FEntries.end(), [&](const TQELTableLockEntry& entry) {
    return entry.TableID == tableID && entry.FileLocked && QELLockKindCovers(entry.Kind, kind);
  });
}

void TQELTableLockList::CheckEmpty() const {
  if (!IsEmpty()) RaiseLocksRemain(20201);
}

// --- TQELDatabaseTableLockManager ---------------------------------------------

TQELDatabaseTableLockManager::TQELDatabaseTableLockManager(TQELDiskPageManager& pages, std::int32_t maxConnections)
    : FPages(pages), FLists(static_cast<std::size_t>(std::max(maxConnections, 0))) {}

bool TQELDatabaseTableLockManager::LocksApply() const { return FPages.MultiUser() && !FPages.IsExclusive(); }

TQELTableLockList& TQELDatabaseTableLockManager::ListOf(std::int32_t s) {
  if (s < 0 || s >= MaxConnections()) {
    throw EQELException(20200,
                        "Cannot set table lock. Try to repair database or to increase number of allowed connections");
  }
  return FLists[static_cast<std::size_t>(s)];
}

const TQELTableLockList& TQELDatabaseTableLockManager::LockList(std::int32_t s) const {
  return const_cast<TQELDatabaseTableLockManager*>(this)->ListOf(s);
}

void TQELDatabaseTableLockManager::CheckNoLocks() const {
  TQELCriticalSectionGuard guard(FSection);
  for (const TQELTableLockList& list : FLists) list.CheckEmpty();
}

bool TQELDatabaseTableLockManager::HeldByOtherSessionHere(std::int32_t s, std::uint8_t kind, std::uint8_t flag,
                                                          std::int32_t tableID) const {
  for (std::size_t t = 0; t < FLists.size(); ++t) {
    if (static_cast<std::int32_t>(t) == s) continue;
    for (const TQELTableLockEntry& entry : FLists[t].Entries()) {
      if (entry.TableID == tableID && QELLockKindConflicts(kind, flag, entry.Kind)) return true;
    }
  }
  return false;
}

bool TQELDatabaseTableLockManager::RecordLockedHere(std::int32_t s, std::int32_t tableID,
                                                    const TQELRecordID& recordID) const {
  for (std::size_t t = 0; t < FLists.size(); ++t) {
    if (static_cast<std::int32_t>(t) == s) continue;
    const TQELTableLockEntry* entry = FLists[t].Find(tlkRecord, tableID);
    if (entry != nullptr && entry->RecordID == recordID) return true;
  }
  return false;
}

bool TQELDatabaseTableLockManager::KeepsMutex(const TQELTableLockList& list, std::int32_t tableID) const {
  const TQELTableLockEntry* exclusive = list.Find(tlkExclusive, tableID);
  return exclusive != nullptr && exclusive->FileLocked;
}

// --- Table locks ---------------------------------------------------------------

// One attempt under the table's mutex. Kind 6 keeps the mutex when granted.
bool TQELDatabaseTableLockManager::TryGrant(std::int32_t s, std::uint8_t kind, std::uint8_t flag,
                                            TQELTableLocksFile& locksFile) {
  if (HeldByOtherSessionHere(s, kind, flag, locksFile.GetTableID())) return false;
  if (!locksFile.LockFile()) return false;
  auto mutex = MutexGuard(locksFile);
  if (!locksFile.IsGrantable(s, kind, flag)) return false;
  if (kind != tlkExclusive && !locksFile.SetLockByte(s, kind)) throw EQELException(20203, "Cannot set table lock");
  // The mutex is the exclusive lock: it stays taken until that is released.
  if (kind == tlkExclusive) mutex.Release();
  return true;
}

bool TQELDatabaseTableLockManager::LockTable(std::int32_t s, std::uint8_t kind, std::int32_t attempts,
                                             std::int32_t delayMs, std::uint8_t flag, TQELTableLocksFile& locksFile,
                                             bool sectionHeld) {
  if (!LocksApply()) return true;
  std::unique_lock<TQELCriticalSection> section(FSection, std::defer_lock);
  if (!sectionHeld) section.lock();
  TQELTableLockList& list = ListOf(s);
  const std::int32_t tableID = locksFile.GetTableID();
  if (kind >= kQELTableLockKindCount) return false;

  if (TQELTableLockEntry* held = list.Find(kind, tableID)) {
    if (kind == tlkEdit) return false;  // one edit at a time
    ++held->Count;
    return true;
  }
  if (list.HoldsCovering(kind, tableID)) {
    list.Add(kind, tableID, false, 1);
    return true;
  }
  for (std::int32_t attempt = 0; attempt < attempts; ++attempt) {
    if (TryGrant(s, kind, flag, locksFile)) {
      list.Add(kind, tableID, true, flag);
      return true;
    }
    if (attempt + 1 == attempts) break;
    if (section.owns_lock()) section.unlock();
    SleepBeforeRetry(delayMs);
    if (!sectionHeld) section.lock();
  }
  return false;
}

// After `kind` was removed from the session's list with its byte: the
// entries it covered that have no byte of their own, and that nothing else
// the session holds in the file still covers, get their bytes now.
bool TQELDatabaseTableLockManager::GiveCoveredEntriesBytes(std::int32_t s, std::uint8_t kind,
                                                           TQELTableLocksFile& locksFile) {
  TQELTableLockList& list = ListOf(s);
  const std::int32_t tableID = locksFile.GetTableID();
  std::vector<std::uint8_t> kinds;
  for (const TQELTableLockEntry& entry : list.Entries()) {
    if (entry.TableID == tableID && !entry.FileLocked && QELLockKindCovers(kind, entry.Kind) &&
        !list.HoldsCoveringInFile(entry.Kind, tableID)) {
      kinds.push_back(entry.Kind);
    }
  }
  if (kinds.empty()) return true;

  const bool mutexHeld = kind == tlkExclusive || KeepsMutex(list, tableID);
  if (!mutexHeld && !RetryWithSleep(FPages.RetryPolicy, [&] { return locksFile.LockFile(); })) return false;
  auto mutex = MutexGuard(locksFile, !mutexHeld);
  for (const std::uint8_t covered : kinds) {
    TQELTableLockEntry* entry = list.Find(covered, tableID);
    const bool set = covered == tlkRecord ? locksFile.SetRecordLock(s, entry->RecordID)
                                          : locksFile.SetLockByte(s, covered);
    if (!set) return false;
    entry->FileLocked = true;
  }
  return true;
}

// Gives the session's byte of `kind` back: kind 6 is the mutex itself.
bool TQELDatabaseTableLockManager::ReleaseByte(std::int32_t s, std::uint8_t kind, TQELTableLocksFile& locksFile) {
  if (kind == tlkExclusive) return RetryWithSleep(FPages.RetryPolicy, [&] { return locksFile.UnlockFile(); });
  const bool mutexHeld = KeepsMutex(ListOf(s), locksFile.GetTableID());
  if (!mutexHeld && !RetryWithSleep(FPages.RetryPolicy, [&] { return locksFile.LockFile(); })) return false;
  auto mutex = MutexGuard(locksFile, !mutexHeld);
  const bool cleared = locksFile.ClearLockByte(s, kind);
  mutex.Unlock();
  if (!cleared) {
    if (kind == tlkRecord) throw EQELException(20206, "Cannot unlock record");
    throw EQELException(20204, "Cannot unlock table");
  }
  return true;
}

bool TQELDatabaseTableLockManager::UnlockTable(std::int32_t s, std::uint8_t kind, bool ignoreMissing, bool force,
                                               TQELTableLocksFile& locksFile) {
  if (!LocksApply()) return true;
  TQELCriticalSectionGuard guard(FSection);
  TQELTableLockList& list = ListOf(s);
  const std::int32_t tableID = locksFile.GetTableID();
  const TQELTableLockEntry* held = list.Find(kind, tableID);
  if (held == nullptr) {
    if (ignoreMissing) return true;
    throw EQELException(20202, "Cannot remove table lock. Lock not found");
  }
  const TQELTableLockEntry before = *held;
  bool fileLocked = false;
  if (!list.Release(kind, tableID, force, fileLocked) || !fileLocked) return true;
  // Whatever fails from here on, the session keeps the lock it could not
  // give back.
  try {
    if (GiveCoveredEntriesBytes(s, kind, locksFile) && ReleaseByte(s, kind, locksFile)) return true;
  } catch (...) {
    list.Restore(before);
    throw;
  }
  list.Restore(before);
  return false;
}

// --- Record locks ----------------------------------------------------------------

bool TQELDatabaseTableLockManager::TryLockRecord(std::int32_t s, TQELTableLocksFile& locksFile,
                                                 const TQELRecordID& recordID) {
  const std::int32_t tableID = locksFile.GetTableID();
  if (HeldByOtherSessionHere(s, tlkRecord, 0, tableID) || RecordLockedHere(s, tableID, recordID)) return false;
  if (!locksFile.LockFile()) return false;
  auto mutex = MutexGuard(locksFile);
  if (locksFile.RecordLockedByOther(s, recordID)) return false;
  if (!locksFile.SetRecordLock(s, recordID)) throw EQELException(20205, "Cannot lock record");
  return true;
}

bool TQELDatabaseTableLockManager::LockRecord(std::int32_t s, TQELTableLocksFile& locksFile,
                                              const TQELRecordID& recordID, std::int32_t attempts,
                                              std::int32_t delayMs) {
  if (!LocksApply()) return true;
  std::unique_lock<TQELCriticalSection> section(FSection);
  TQELTableLockList& list = ListOf(s);
  const std::int32_t tableID = locksFile.GetTableID();
  if (list.Find(tlkRecord, tableID) != nullptr) return false;
  // Nobody else can edit the table: the lock is the session's business.
  if (list.Find(tlkExclusive, tableID) != nullptr || list.FindWithFlag(tlkTransactionWrite, tableID, 0) != nullptr) {
    list.Add(tlkRecord, tableID, false, 0).RecordID = recordID;
    return true;
  }
  for (std::int32_t attempt = 0; attempt < attempts; ++attempt) {
    if (TryLockRecord(s, locksFile, recordID)) {
      list.Add(tlkRecord, tableID, true, 0).RecordID = recordID;
      return true;
    }
    if (attempt + 1 == attempts) break;
    section.unlock();
    if (delayMs > 0) QELSleep(static_cast<std::uint32_t>(delayMs));
    section.lock();
  }
  return false;
}

bool TQELDatabaseTableLockManager::UnlockRecord(std::int32_t s, TQELTableLocksFile& locksFile,
                                                const TQELRecordID& /*recordID*/) {
  if (!LocksApply()) return true;
  TQELCriticalSectionGuard guard(FSection);
  TQELTableLockList& list = ListOf(s);
  const std::int32_t tableID = locksFile.GetTableID();
  const TQELTableLockEntry* held = list.Find(tlkRecord, tableID);
  if (held == nullptr) return false;
  const TQELTableLockEntry before = *held;
  bool fileLocked = false;
  if (!list.Release(tlkRecord, tableID, false, fileLocked) || !fileLocked) return true;
  try {
    if (ReleaseByte(s, tlkRecord, locksFile)) return true;
  } catch (...) {
    list.Restore(before);
    throw;
  }
  list.Restore(before);
  return false;
}

// --- Transactions ------------------------------------------------------------------

bool TQELDatabaseTableLockManager::LockModifiedTables(std::int32_t s) {
  if (!LocksApply()) return true;
  TQELCriticalSectionGuard guard(FSection);
  TQELTableLockList& list = ListOf(s);
  std::vector<std::int32_t> tables;
  for (const TQELTableLockEntry& entry : list.Entries()) {
    if (entry.Kind == tlkTransactionWrite && !list.HoldsCovering(tlkWrite, entry.TableID) &&
        std::find(tables.begin(), tables.end(), entry.TableID) == tables.end()) {
      tables.push_back(entry.TableID);
    }
  }
  // Until every table is locked, the tables locked so far go back on the
  // way out, also when taking a lock raises (that failure is the one then
  // reported).
  std::vector<std::int32_t> taken;
  TQELLockGuard takenLocks([&] { GiveBackWriteLocks(s, taken); });
  for (const std::int32_t tableID : tables) {
    TOpenedLocksFile file(FPages, tableID);
    if (!LockTable(s, tlkWrite, TransactionLockAttempts, TransactionLockDelayMs, 0, file.File, true)) return false;
    taken.push_back(tableID);
  }
  takenLocks.Release();
  return true;
}

// Every table is given back even when one of them fails; the first failure
// is raised after, or 20234 when a lock could not be given back.
void TQELDatabaseTableLockManager::GiveBackWriteLocks(std::int32_t s, const std::vector<std::int32_t>& tableIDs) {
  TQELTableLockList& list = ListOf(s);
  std::exception_ptr failure;
  bool remain = false;
  for (const std::int32_t tableID : tableIDs) {
    try {
      TOpenedLocksFile file(FPages, tableID);
      if (!UnlockTable(s, tlkWrite, true, false, file.File) || list.Find(tlkWrite, tableID) != nullptr) remain = true;
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  if (remain) RaiseLocksRemain(20234);
}

bool TQELDatabaseTableLockManager::ReleaseTransactionLocks(std::int32_t s) {
  if (!LocksApply()) return true;
  TQELCriticalSectionGuard guard(FSection);
  TQELTableLockList& list = ListOf(s);
  // A record still locked after the transaction stays guarded by an edit
  // lock, which the transaction's write lock on its table provided so far.
  std::vector<std::int32_t> needEdit;
  for (const TQELTableLockEntry& entry : list.Entries()) {
    if (entry.Kind == tlkRecord && list.Find(tlkEdit, entry.TableID) == nullptr) needEdit.push_back(entry.TableID);
  }
  for (const std::int32_t tableID : needEdit) {
    TOpenedLocksFile file(FPages, tableID);
    if (!LockTable(s, tlkEdit, TransactionLockAttempts, TransactionLockDelayMs, 0, file.File, true)) return false;
  }
  std::vector<std::pair<std::uint8_t, std::int32_t>> release;
  for (const TQELTableLockEntry& entry : list.Entries()) {
    if (entry.Kind == tlkTransactionWrite || entry.Kind == tlkWrite) release.emplace_back(entry.Kind, entry.TableID);
  }
  bool all = true;
  for (const auto& [kind, tableID] : release) {
    TOpenedLocksFile file(FPages, tableID);
    if (!UnlockTable(s, kind, true, true, file.File)) all = false;
  }
  return all;
}

bool TQELDatabaseTableLockManager::ReleaseAllLocks(std::int32_t s) {
  if (!LocksApply()) return true;
  TQELCriticalSectionGuard guard(FSection);
  TQELTableLockList& list = ListOf(s);
  // Entries without a byte go first, then the bytes, the mutex of an
  // exclusive lock last so that the other bytes are cleared under it.
  std::erase_if(list.Entries(), [](const TQELTableLockEntry& entry) { return !entry.FileLocked; });
  std::vector<TQELTableLockEntry> held = list.Entries();
  std::stable_partition(held.begin(), held.end(),
                        [](const TQELTableLockEntry& entry) { return entry.Kind != tlkExclusive; });
  bool all = true;
  for (const TQELTableLockEntry& entry : held) {
    TOpenedLocksFile file(FPages, entry.TableID);
    if (!UnlockTable(s, entry.Kind, true, true, file.File)) all = false;
  }
  return all;
}

}  // namespace qel
