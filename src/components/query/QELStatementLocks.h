#pragma once
// The locks and the implicit transaction of a statement that changes a
// table: inside a user transaction the change runs as it is; outside one,
// under the table's write lock (kind 4, long waits) and one try at the
// change lock (kind 3), in a transaction of its own that is committed, or
// rolled back with the locks given back when the change fails.

#include <cstdint>

#include "components/QELDatabase.h"
#include "components/QELTable.h"
#include "platform/QELException.h"

namespace qel {

inline constexpr std::uint8_t kQELWriteLock = 4;
inline constexpr std::uint8_t kQELChangeLock = 3;

// How long a statement waits for the write lock another session holds:
// 1125 attempts 80 milliseconds apart, 90 seconds in all. Process-wide;
// tests shorten it.
struct TQELStatementLockWaits {
  std::int32_t Attempts = 1125;
  std::int32_t DelayMs = 80;
};
inline TQELStatementLockWaits& QELStatementLockWaits() {
  static TQELStatementLockWaits waits;
  return waits;
}

// Runs `change`, which answers the number of rows it changed, on the open
// `table`; a write lock held elsewhere raises `lockedCode` "Table is
// locked".
template <class TChange>
std::int32_t QELUnderStatementLocks(TQELTable& table, std::int32_t lockedCode, TChange&& change) {
  TQELDatabase& database = *table.Database();
  if (database.InTransaction()) return change();
  TQELCursor& cursor = *table.Cursor();
  const TQELStatementLockWaits& waits = QELStatementLockWaits();
  if (!cursor.LockTable(kQELWriteLock, waits.Attempts, waits.DelayMs, 1)) {
    throw EQELException(lockedCode, "Table is locked");
  }
  const bool changeLock = cursor.LockTable(kQELChangeLock, 1, 0, 1);
  // The end of the transaction gives the session's write locks back on a
  // shared file already: a lock found missing here is no error.
  auto unlock = [&] {
    if (changeLock) cursor.UnlockTable(kQELChangeLock, true);
    cursor.UnlockTable(kQELWriteLock, true);
  };
  std::int32_t rows = 0;
  try {
    database.StartTransaction();
    rows = change();
    database.Commit();
  } catch (...) {
    try {
      if (database.InTransaction()) database.Rollback();
    } catch (...) {
    }
    unlock();
    throw;
  }
  unlock();
  return rows;
}

}  // namespace qel
