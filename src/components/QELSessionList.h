#pragma once
// TQELSessionList: the sessions of this process, in creation order, with the
// default session "Default" created with the list. It also holds the one
// critical section that every session enters (connecting, creating files,
// opening databases by name, starting and stopping sessions run inside it)
// and the numbers in use by automatic session names.

#include <cstddef>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/QELSync.h"

namespace qel {

class TQELSession;
class TQELSessionComponentManager;

class TQELSessionList {
 public:
  // The list of this process, created on first use with its default session.
  static TQELSessionList& Instance();
  // The list while it exists: null once the process has freed it.
  static TQELSessionList* Existing();

  ~TQELSessionList();
  TQELSessionList(const TQELSessionList&) = delete;
  TQELSessionList& operator=(const TQELSessionList&) = delete;

  // The first session added becomes the default session.
  void AddSession(TQELSession* session);
  void RemoveSession(TQELSession* session);
  // The session of that name (ignoring case); the default session for an
  // empty name; else null.
  TQELSession* FindSession(std::string_view name) const;
  // FindSession, raising "Invalid session name '%s'" (20002) for none.
  TQELSession& GetSession(std::string_view name) const;
  TQELSession& DefaultSession() const { return *FDefault; }
  std::vector<TQELSession*> Sessions() const;
  std::size_t Count() const;
  // At process end: stops every session, last first, and frees the default
  // session.
  void CloseAll();

  // The critical section every session enters.
  TQELCriticalSection& SessionLock() { return FSessionLock; }

  // The session made current by the last LockSession or stop.
  TQELSession* CurrentSession() const;
  void SetCurrentSession(TQELSession* session);

  // The lowest number no automatic session name uses, now taken; and its
  // release. Called inside the session lock.
  int TakeAutoNameNumber();
  void ReleaseAutoNameNumber(int number);

  // The default session's handle, made on first use and shared until freed.
  TQELSessionComponentManager* AcquireDefaultHandle();
  void FreeDefaultHandle();

 private:
  TQELSessionList();

  TQELCriticalSection FSessionLock;
  mutable std::mutex FListLock;
  std::vector<TQELSession*> FSessions;
  TQELSession* FDefault = nullptr;
  TQELSession* FCurrent = nullptr;
  std::vector<bool> FAutoNames;
  std::unique_ptr<TQELSessionComponentManager> FDefaultHandle;
  // The default session, made by the list and freed with it.
  std::unique_ptr<TQELSession> FDefaultOwned;
};

}  // namespace qel
