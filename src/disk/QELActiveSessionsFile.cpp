#include "disk/QELActiveSessionsFile.h"

#include <algorithm>

#include "disk/QELLockGuard.h"
#include "platform/QELException.h"

namespace qel {

namespace {

[[noreturn]] void RaiseSessionsFileLocked(std::int32_t nativeCode) {
  throw EQELException(nativeCode, "Cannot unlock sessions file");
}

}  // namespace

TQELActiveSessionsFile::TQELActiveSessionsFile(TQELInternalDBDirectAccessFile& file) : FFile(file) {}

std::int32_t TQELActiveSessionsFile::MaxConnections() const {
  // A file opened without its page chain reads it on first use.
  if (FFile.IsOpen() && FFile.PageNos().empty()) FFile.OpenAndLoad(FFile.StartPageNo());
  return std::max(std::min(FFile.StoredSize(), FFile.FileSize()), 0);
}

template <class Body>
auto TQELActiveSessionsFile::UnderMutex(std::int32_t nativeCode, Body&& body) {
  if (!RetryWithSleep(RetryPolicy, [&] { return FFile.LockFile(); })) RaiseSessionsFileLocked(nativeCode);
  TQELLockGuard mutex([&] {
    if (!FFile.UnlockFile()) RaiseSessionsFileLocked(nativeCode);
  });
  return body();
}

std::int32_t TQELActiveSessionsFile::ConnectSession() {
  const std::int32_t count = MaxConnections();
  if (!RetryWithSleep(RetryPolicy, [&] { return FFile.LockFile(); })) RaiseSessionsFileLocked(20093);
  std::int32_t found = -1;
  {
    TQELLockGuard mutex([&] {
      if (FFile.UnlockFile()) return;
      // The caller never learns the id: its byte must not stay locked.
      if (found >= 0) FFile.UnlockByte(found);
      RaiseSessionsFileLocked(20093);
    });
    for (std::int32_t s = 0; s < count && found < 0; ++s) {
      if (FFile.LockByte(s)) found = s;
    }
  }
  if (found < 0) {
    throw EQELException(
        20094, "Cannot connect session. Maximum connections quantity exceeded or database is open in single-user mode");
  }
  return found;
}

void TQELActiveSessionsFile::DisconnectSession(std::int32_t sessionID) {
  const std::int32_t count = MaxConnections();
  UnderMutex(20096, [&] {
    if (sessionID < 0 || sessionID >= count || !FFile.UnlockByte(sessionID)) {
      throw EQELException(20095, "Cannot disconnect session");
    }
    return true;
  });
}

bool TQELActiveSessionsFile::LockAllSessions() {
  const std::int32_t count = MaxConnections();
  return UnderMutex(20240, [&] {
    if (count <= 0 || FFile.IsRegionLocked(0, count)) return false;
    for (std::int32_t s = 0; s < count; ++s) {
      if (FFile.LockByte(s)) continue;
      // Somebody got in without the mutex: give back what was taken.
      while (s > 0) FFile.UnlockByte(--s);
      return false;
    }
    return true;
  });
}

void TQELActiveSessionsFile::UnlockAllSessions() {
  const std::int32_t count = MaxConnections();
  UnderMutex(20241, [&] {
    // Bytes this handle does not hold answer false; they are not ours to free.
    for (std::int32_t s = 0; s < count; ++s) FFile.UnlockByte(s);
    return true;
  });
}

}  // namespace qel
