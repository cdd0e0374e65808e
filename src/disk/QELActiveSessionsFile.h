#pragma once
// TQELActiveSessionsFile: hands out session ids to the processes sharing a
// database file, and keeps single-user and multi-user openers apart.
//
// The file is a direct-access internal file of MaxConnections bytes. Byte s
// belongs to session id s: a connected multi-user session keeps its byte
// locked for as long as it is connected, and a single-user opener locks every
// byte. The file's mutex (byte 0 of its first page) serialises the changes.
//
// Sessions of one process share the database file's handle; TQELFile refuses
// to lock a byte its handle already holds, so a second session of the same
// process gets the next free byte just as another process would.
//
// When the mutex cannot be had within the retry policy's attempts, every
// operation fails at once with its "Cannot unlock sessions file" error,
// before touching any session byte: going on without the mutex could hand
// one id to two openers, and a connect that raises after locking its byte
// would leave that byte locked with nobody knowing its id.

#include <cstdint>

#include "disk/QELInternalDBDirectAccessFile.h"
#include "disk/QELRetry.h"

namespace qel {

class TQELActiveSessionsFile {
 public:
  // Over the database's open sessions file (the catalog owns it). A file
  // opened without loading its page chain is loaded on first use.
  explicit TQELActiveSessionsFile(TQELInternalDBDirectAccessFile& file);

  // The sessions the file allows: its size, capped at what its pages hold.
  std::int32_t MaxConnections() const;

  // Locks the first free session byte and answers its number. With no free
  // byte: "Cannot connect session. Maximum connections quantity exceeded or
  // database is open in single-user mode" (20094). For multi-user openers;
  // a single-user opener uses session id 0 and LockAllSessions.
  std::int32_t ConnectSession();
  // Releases the session's byte: "Cannot disconnect session" (20095) when
  // it is not held.
  void DisconnectSession(std::int32_t sessionID);
  // Locks every session byte when nobody holds any; false otherwise
  // (another process uses the file in multi-user mode).
  bool LockAllSessions();
  // Releases every session byte this handle holds.
  void UnlockAllSessions();

  // How long the mutex is waited for; tests shorten it.
  TQELRetryPolicy RetryPolicy;

 private:
  // Runs `body` under the mutex; `nativeCode` is the error raised when the
  // mutex cannot be taken or released.
  template <class Body>
  auto UnderMutex(std::int32_t nativeCode, Body&& body);

  TQELInternalDBDirectAccessFile& FFile;
};

}  // namespace qel
