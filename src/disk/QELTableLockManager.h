#pragma once
// The table and record locks of the sessions of one open database file.
//
// TQELTableLockList is what one session holds: an entry per lock kind and
// table, counted, with whether the session's byte for it is set in the
// table's lock file. TQELDatabaseTableLockManager keeps one list per session
// id and decides which requests must reach the lock file: a lock covered by a
// stronger one the session already holds on the table is granted from memory,
// and only the first lock of each kind and table sets a byte.
//
// Visibility. A lock held by another process is seen only through the lock
// file's bytes and its mutex (TQELTableLocksFile::IsGrantable and
// RecordLockedByOther). A lock held by another session of this process is
// seen there too: the sessions share one handle, but TQELFile refuses and
// reports the ranges its own handle holds, so the probes treat such a byte
// like any other. On top of that the manager checks the other sessions'
// lists of this process before it touches the file. That check costs no
// system call, and it keeps the sessions of one process apart where the file
// cannot: on a file system without byte-range locks (every lock is then
// granted) and for record locks that a session holds from memory only.
//
// Locks exist only in multi-user mode: for a file opened single-user or
// exclusively every request is granted at once and nothing is recorded.
//
// A session that holds a table exclusively (kind 6) keeps that table's mutex.
// Its own later file work on the table (releasing a lock byte it took before,
// giving covered entries their bytes) happens under that mutex rather than
// waiting for it.

#include <cstdint>
#include <vector>

#include "disk/QELDiskPageManager.h"
#include "disk/QELTableLocksFile.h"
#include "platform/QELSync.h"
#include "storage/QELRecordRequest.h"

namespace qel {

struct TQELTableLockEntry {
  std::uint8_t Kind = 0;
  std::int32_t TableID = -1;
  std::int32_t Count = 0;    // how often the session took it
  bool FileLocked = false;   // the session's byte for it is set in the lock file
  std::uint8_t Flag = 0;     // the flag it was taken with
  TQELRecordID RecordID{};   // kind 5: the record locked
};

class TQELTableLockList {
 public:
  TQELTableLockEntry* Find(std::uint8_t kind, std::int32_t tableID);
  const TQELTableLockEntry* Find(std::uint8_t kind, std::int32_t tableID) const;
  TQELTableLockEntry* FindWithFlag(std::uint8_t kind, std::int32_t tableID, std::uint8_t flag);
  // Counts one more of an existing entry, else appends one with Count 1.
  TQELTableLockEntry& Add(std::uint8_t kind, std::int32_t tableID, bool fileLocked, std::uint8_t flag);
  // Counts one down; at 0, or with `force`, removes the entry and answers
  // true, with `fileLocked` telling whether it had a byte. False (and
  // fileLocked false) when the entry stays or does not exist.
  bool Release(std::uint8_t kind, std::int32_t tableID, bool force, bool& fileLocked);
  // Puts back an entry a failed release removed, exactly as it was.
  void Restore(const TQELTableLockEntry& entry);
  // Whether the session holds, on the table, a kind that covers `kind`
  // (the kind itself included).
  bool HoldsCovering(std::uint8_t kind, std::int32_t tableID) const;
  // The same, counting only entries whose byte is set.
  bool HoldsCoveringInFile(std::uint8_t kind, std::int32_t tableID) const;

  const std::vector<TQELTableLockEntry>& Entries() const { return FEntries; }
  std::vector<TQELTableLockEntry>& Entries() { return FEntries; }
  bool IsEmpty() const { return FEntries.empty(); }
  // "Some table locks still exist" (20201) unless empty.
  void CheckEmpty() const;

 private:
  std::vector<TQELTableLockEntry> FEntries;
};

class TQELDatabaseTableLockManager {
 public:
  static constexpr bool Compatible(std::uint8_t a, std::uint8_t b) { return QELLockKindsCompatible(a, b); }
  static constexpr bool Covers(std::uint8_t x, std::uint8_t y) { return QELLockKindCovers(x, y); }

  TQELDatabaseTableLockManager(TQELDiskPageManager& pages, std::int32_t maxConnections);

  std::int32_t MaxConnections() const { return static_cast<std::int32_t>(FLists.size()); }
  TQELCriticalSection& Section() { return FSection; }

  // Takes lock `kind` for session s on the lock file's table: true at once
  // when already held (counted; kind 2 answers false, it is not taken twice)
  // or covered; else up to `attempts` tries, `delayMs` apart on average,
  // leaving the manager's section while sleeping unless `sectionHeld`.
  // Kind 6 keeps the table's mutex. Raises 20200 for a session id the lock
  // file has no bytes for and 20203 when the session's byte cannot be set.
  bool LockTable(std::int32_t s, std::uint8_t kind, std::int32_t attempts, std::int32_t delayMs, std::uint8_t flag,
                 TQELTableLocksFile& locksFile, bool sectionHeld);
  // Gives one count of the lock back; the byte goes with the last one (or
  // at once with `force`). A lock not held answers true with `ignoreMissing`
  // and raises "Cannot remove table lock. Lock not found" (20202) otherwise.
  // False when the byte could not be released: the session keeps the lock.
  bool UnlockTable(std::int32_t s, std::uint8_t kind, bool ignoreMissing, bool force, TQELTableLocksFile& locksFile);
  // One record lock per session and table: false when the session already
  // holds one on the table, or when another session holds this record
  // through all `attempts` (`delayMs` apart).
  bool LockRecord(std::int32_t s, TQELTableLocksFile& locksFile, const TQELRecordID& recordID, std::int32_t attempts,
                  std::int32_t delayMs);
  // Releases the session's record lock on the table; false when it holds
  // none or its byte could not be released.
  bool UnlockRecord(std::int32_t s, TQELTableLocksFile& locksFile, const TQELRecordID& recordID);

  // Before a commit: raises every transaction write lock (kind 3) of the
  // session to a write lock (kind 4). On failure the kind-4 locks taken here
  // are given back and the answer is false; a lock that cannot be given back
  // raises "Some table locks still exist" (20234).
  bool LockModifiedTables(std::int32_t s);
  // After a commit or rollback: releases every kind-3 and kind-4 lock of the
  // session, after making sure each table it still holds a record lock on
  // keeps an edit lock; false (nothing released) when that edit lock cannot
  // be had, or when some release failed.
  bool ReleaseTransactionLocks(std::int32_t s);
  // When a session goes: releases everything it still holds, so that the
  // next session given its id starts with an empty list. False when some
  // byte could not be released (its entry stays).
  bool ReleaseAllLocks(std::int32_t s);

  // Raises 20200 for a session id out of range.
  const TQELTableLockList& LockList(std::int32_t s) const;
  // "Some table locks still exist" (20201) while any session holds a lock.
  void CheckNoLocks() const;

  // The waits of LockModifiedTables and ReleaseTransactionLocks; tests
  // shorten them. Releases wait by the page manager's RetryPolicy.
  std::int32_t TransactionLockAttempts = 900;
  std::int32_t TransactionLockDelayMs = 100;

 private:
  bool LocksApply() const;
  TQELTableLockList& ListOf(std::int32_t s);
  bool HeldByOtherSessionHere(std::int32_t s, std::uint8_t kind, std::uint8_t flag, std::int32_t tableID) const;
  bool RecordLockedHere(std::int32_t s, std::int32_t tableID, const TQELRecordID& recordID) const;
  bool TryGrant(std::int32_t s, std::uint8_t kind, std::uint8_t flag, TQELTableLocksFile& locksFile);
  // Gives back the write locks LockModifiedTables took on `tableIDs`.
  void GiveBackWriteLocks(std::int32_t s, const std::vector<std::int32_t>& tableIDs);
  bool TryLockRecord(std::int32_t s, TQELTableLocksFile& locksFile, const TQELRecordID& recordID);
  // Whether the session keeps the table's mutex (it holds kind 6 there).
  bool KeepsMutex(const TQELTableLockList& list, std::int32_t tableID) const;
  bool GiveCoveredEntriesBytes(std::int32_t s, std::uint8_t kind, TQELTableLocksFile& locksFile);
  bool ReleaseByte(std::int32_t s, std::uint8_t kind, TQELTableLocksFile& locksFile);

  TQELDiskPageManager& FPages;
  std::vector<TQELTableLockList> FLists;
  mutable TQELCriticalSection FSection;
};

}  // namespace qel
