// TQELSessionList: the process's sessions and the lock they share.

#include "components/QELSessionList.h"

#include <algorithm>
#include <atomic>

#include "components/QELSession.h"
#include "components/db/QELSameText.h"
#include "engine/QELDatabaseList.h"
#include "platform/QELException.h"

namespace qel {

namespace {

std::atomic<TQELSessionList*> gExisting{nullptr};

}  // namespace

TQELSessionList& TQELSessionList::Instance() {
  // The engine's list of open files is made first, so that it is freed
  // after the sessions that close their databases into it.
  static TQELDatabaseList& databases = TQELDatabaseList::Instance();
  (void)databases;
  static TQELSessionList list;
  return list;
}

TQELSessionList* TQELSessionList::Existing() { return gExisting.load(std::memory_order_acquire); }

TQELSessionList::TQELSessionList() {
  gExisting.store(this, std::memory_order_release);
  FDefaultOwned.reset(new TQELSession(*this, TQELSession::TDefaultTag{}));
  FCurrent = FDefault;
}

TQELSessionList::~TQELSessionList() {
  CloseAll();
  gExisting.store(nullptr, std::memory_order_release);
}

void TQELSessionList::AddSession(TQELSession* session) {
  std::lock_guard<std::mutex> guard(FListLock);
  if (FDefault == nullptr) {
    FDefault = session;
    session->FDefault = true;
  }
  FSessions.push_back(session);
}

void TQELSessionList::RemoveSession(TQELSession* session) {
  std::lock_guard<std::mutex> guard(FListLock);
  FSessions.erase(std::remove(FSessions.begin(), FSessions.end(), session), FSessions.end());
  if (FCurrent == session) FCurrent = session == FDefault ? nullptr : FDefault;
  if (FDefault == session) FDefault = nullptr;
}

TQELSession* TQELSessionList::FindSession(std::string_view name) const {
  std::lock_guard<std::mutex> guard(FListLock);
  if (name.empty()) return FDefault;
  for (TQELSession* session : FSessions) {
    if (QELSameText(session->SessionName(), name)) return session;
  }
  return nullptr;
}

TQELSession& TQELSessionList::GetSession(std::string_view name) const {
  TQELSession* session = FindSession(name);
  if (session == nullptr) throw EQELException(20002, "Invalid session name '%s'", {name});
  return *session;
}

std::vector<TQELSession*> TQELSessionList::Sessions() const {
  std::lock_guard<std::mutex> guard(FListLock);
  return FSessions;
}

std::size_t TQELSessionList::Count() const {
  std::lock_guard<std::mutex> guard(FListLock);
  return FSessions.size();
}

void TQELSessionList::CloseAll() {
  std::vector<TQELSession*> sessions = Sessions();
  for (auto it = sessions.rbegin(); it != sessions.rend(); ++it) {
    // A session freed while an earlier one stopped is not touched again.
    const std::vector<TQELSession*> live = Sessions();
    if (std::find(live.begin(), live.end(), *it) == live.end()) continue;
    try {
      (*it)->SetActive(false);
    } catch (...) {
      // At process end there is nobody left to tell.
    }
  }
  FDefaultOwned.reset();
}

TQELSession* TQELSessionList::CurrentSession() const {
  std::lock_guard<std::mutex> guard(FListLock);
  return FCurrent;
}

void TQELSessionList::SetCurrentSession(TQELSession* session) {
  std::lock_guard<std::mutex> guard(FListLock);
  FCurrent = session;
}

int TQELSessionList::TakeAutoNameNumber() {
  auto free = std::find(FAutoNames.begin(), FAutoNames.end(), false);
  const int number = static_cast<int>(free - FAutoNames.begin());
  if (free == FAutoNames.end()) {
    FAutoNames.push_back(true);
  } else {
    *free = true;
  }
  return number;
}

void TQELSessionList::ReleaseAutoNameNumber(int number) {
  if (number >= 0 && static_cast<std::size_t>(number) < FAutoNames.size()) {
    FAutoNames[static_cast<std::size_t>(number)] = false;
  }
}

TQELSessionComponentManager* TQELSessionList::AcquireDefaultHandle() {
  if (FDefaultHandle == nullptr) FDefaultHandle = std::make_unique<TQELSessionComponentManager>();
  return FDefaultHandle.get();
}

void TQELSessionList::FreeDefaultHandle() { FDefaultHandle.reset(); }

}  // namespace qel
