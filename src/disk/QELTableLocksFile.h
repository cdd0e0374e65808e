#pragma once
// TQELTableLocksFile: a table's lock file, through which the sessions of every
// process sharing the database file coordinate their table and record locks.
//
// The file (a direct-access internal file of 12 x N bytes, N = the number of
// connections allowed when the table was created) holds, for session s:
//
//   k x N + s, k = 0..5   the lock byte of kind k (kind 5: record lock), held
//                         by session s while it holds that kind on the table
//   6 x N + 6 x s         the 6-byte id of the record session s has locked
//
// Kind 6 (exclusive) has no byte: it is the file's mutex (byte 0 of its first
// page), which is taken around every change of the lock bytes and kept for as
// long as a session holds the table exclusively.
//
// Who can see a lock byte. Every session of one process shares the database
// file's handle, and open-file-description locks never conflict with locks of
// the same description. TQELFile nevertheless keeps the ranges its handle
// holds: it refuses to lock a byte the handle already holds and reports such a
// byte as locked. A byte held by another session of this process therefore
// looks exactly like one held by another process. Since byte (k, s) is only
// ever taken by session s, and session ids are unique across processes (the
// sessions file hands them out), "byte (k, t) is locked" means "session t
// holds kind k", wherever t runs. The probes below leave the asking session's
// own byte out, so a session never sees itself. The lock manager adds its own
// in-process check from its lock lists on top (see QELTableLockManager.h).

#include <cstdint>

#include "disk/QELInternalDBDirectAccessFile.h"
#include "storage/QELRecordRequest.h"

namespace qel {

// The lock kinds a session takes on a table.
enum TQELTableLockKind : std::uint8_t {
  tlkOpen = 0,              // the table is open (shared)
  tlkRead = 1,              // one read access
  tlkEdit = 2,              // a record is edited outside a transaction
  tlkTransactionWrite = 3,  // changes inside a transaction
  tlkWrite = 4,             // a post or delete outside a transaction; commits
  tlkRecord = 5,            // a record lock
  tlkExclusive = 6,         // exclusive access
};

inline constexpr std::uint8_t kQELTableLockKindCount = 7;
// Kinds with a lock byte per session in the lock file.
inline constexpr std::uint8_t kQELTableLockByteKinds = 6;
// Bytes per session in a lock file: six lock bytes and a record id.
inline constexpr std::int32_t kQELTableLockBytesPerSession = 6 + kQELRecordIDSize;

// Whether two different sessions may hold kinds a and b on one table at the
// same time. Symmetric; a kind out of range is compatible with nothing.
constexpr bool QELLockKindsCompatible(std::uint8_t a, std::uint8_t b) {
  // Row a, bit b.
  constexpr std::uint8_t rows[kQELTableLockKindCount] = {
      0b0111111,  // 0: all but 6
      0b0101111,  // 1: all but 4 and 6
      0b0110111,  // 2: all but 3 and 6
      0b0100011,  // 3: 0, 1, 5
      0b0100101,  // 4: 0, 2, 5
      0b0111111,  // 5: all but 6
      0b0000000,  // 6: nothing
  };
  return a < kQELTableLockKindCount && b < kQELTableLockKindCount && ((rows[a] >> b) & 1) != 0;
}

// Kind x covers kind y when every kind compatible with x is also compatible
// with y: a session holding x may hold y as well without anybody noticing a
// difference, so y needs no byte of its own while x is held.
constexpr bool QELLockKindCovers(std::uint8_t x, std::uint8_t y) {
  if (x >= kQELTableLockKindCount || y >= kQELTableLockKindCount) return false;
  for (std::uint8_t i = 0; i < kQELTableLockKindCount; ++i) {
    if (QELLockKindsCompatible(x, i) && !QELLockKindsCompatible(y, i)) return false;
  }
  return true;
}

// Whether another session's lock of kind `held` stands in the way of a
// request of kind `wanted` taken with `flag`: a transaction's write lock
// taken with flag 1 ignores other sessions' edit locks.
constexpr bool QELLockKindConflicts(std::uint8_t wanted, std::uint8_t flag, std::uint8_t held) {
  if (wanted == tlkTransactionWrite && flag != 0 && held == tlkEdit) return false;
  return !QELLockKindsCompatible(wanted, held);
}

class TQELTableLocksFile {
 public:
  // Over a table's open lock file (the table data owns it). A file opened
  // without loading its page chain is loaded on first use.
  explicit TQELTableLocksFile(TQELInternalDBDirectAccessFile& file);

  TQELInternalDBDirectAccessFile& File() { return FFile; }

  // The table id: the lock file's start page.
  std::int32_t GetTableID() const;
  // N: the sessions the file has bytes for (its size / 12).
  std::int32_t SessionCount() const;

  // The mutex: byte 0 of the file's first page.
  bool LockFile();
  bool UnlockFile();

  // Session s's byte of kind k (0..5). A session id outside 0..N-1 raises
  // "Cannot set table lock. Try to repair database or to increase number of
  // allowed connections" (20200); otherwise the answer is whether the byte
  // was locked / released.
  bool SetLockByte(std::int32_t s, std::uint8_t k);
  bool ClearLockByte(std::int32_t s, std::uint8_t k);
  // Whether a session other than s holds its byte of kind k.
  bool OtherSessionHolds(std::int32_t s, std::uint8_t k);
  // Whether no other session holds a byte of a kind conflicting with k taken
  // with `flag`. Kind 6 of another session is the mutex, which the caller
  // already holds when it asks.
  bool IsGrantable(std::int32_t s, std::uint8_t k, std::uint8_t flag);

  // Locks session s's record-lock byte and stores the record id in its slot.
  bool SetRecordLock(std::int32_t s, const TQELRecordID& recordID);
  // Releases the record-lock byte; the slot keeps the old id.
  bool ClearRecordLock(std::int32_t s);
  // Whether another session holds a record lock on `recordID`.
  bool RecordLockedByOther(std::int32_t s, const TQELRecordID& recordID);

 private:
  // Raises "Nil pointer occured" for a closed file; loads the chain.
  void CheckOpen(std::int32_t nativeCode) const;
  std::int32_t BytePosition(std::int32_t s, std::uint8_t k) const;
  std::int32_t SlotPosition(std::int32_t s) const;

  TQELInternalDBDirectAccessFile& FFile;
};

}  // namespace qel
