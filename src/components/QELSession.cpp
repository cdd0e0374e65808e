// TQELSession: starting and stopping, names, and the databases of a session.

#include "components/QELSession.h"

#include <algorithm>
#include <exception>

#include "components/QELDatabase.h"
#include "components/QELSessionList.h"
#include "components/db/QELDatabaseError.h"
#include "components/db/QELSameText.h"
#include "platform/QELException.h"
#include "platform/QELFormat.h"
#include "platform/QELRandom.h"

namespace qel {

namespace {

bool IsBlank(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](unsigned char c) { return c == ' ' || c == '\t'; });
}

bool Listed(const std::vector<TQELDatabase*>& list, const TQELDatabase* database) {
  return std::find(list.begin(), list.end(), database) != list.end();
}

}  // namespace

TQELSession::TQELSession() : FList(&TQELSessionList::Instance()) { FList->AddSession(this); }

TQELSession::TQELSession(TQELSessionList& list, TDefaultTag) : FList(&list) {
  FSessionName = "Default";
  FList->AddSession(this);
}

TQELSession::~TQELSession() {
  Destroying();
  try {
    Stop();
  } catch (...) {
    // A destructor has nobody to report to; the databases are closed below
    // all the same.
  }
  DestroyComponents();
  while (!FDatabases.empty()) FDatabases.back()->SessionGone(FDefault);
  if (TQELSessionList::Existing() == FList) {
    TQELCriticalSectionGuard guard(FList->SessionLock());
    ReleaseAutoName();
    FList->RemoveSession(this);
  }
}

void TQELSession::SetActive(bool active) {
  if (IsLoading()) {
    FStreamedActive = active;
    return;
  }
  if (active) {
    Start();
  } else {
    Stop();
  }
}

void TQELSession::Start() {
  TQELCriticalSectionGuard guard(FList->SessionLock());
  if (Active()) return;
  if (OnStartup) OnStartup(*this);
  if (IsBlank(FSessionName)) DatabaseError("Session name missing", this);
  if (!FDefault) FList->DefaultSession().SetActive(true);
  if (FDefault) {
    FHandle = FList->AcquireDefaultHandle();
  } else {
    FOwnHandle = std::make_unique<TQELSessionComponentManager>();
    FHandle = FOwnHandle.get();
  }
}

void TQELSession::Stop() {
  TQELCriticalSectionGuard guard(FList->SessionLock());
  if (!Active()) return;
  FList->SetCurrentSession(this);
  // Closing one database may free others (temporary ones it used): walk a
  // copy, and touch only those still listed.
  const std::vector<TQELDatabase*> databases = FDatabases;
  std::exception_ptr failure;
  for (auto it = databases.rbegin(); it != databases.rend(); ++it) {
    TQELDatabase* database = *it;
    if (!Listed(FDatabases, database)) continue;
    try {
      if (database->Temporary() && database->Owner() == this) {
        FreeComponent(database);
      } else {
        database->Close();
      }
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  FHandle = nullptr;
  if (FDefault) {
    FList->FreeDefaultHandle();
  } else {
    FOwnHandle.reset();
    FList->SetCurrentSession(&FList->DefaultSession());
  }
  if (failure) std::rethrow_exception(failure);
}

TQELSessionComponentManager& TQELSession::Handle() const {
  if (FHandle == nullptr) throw EQELException(20007, "Database Engine is not initialized");
  return *FHandle;
}

void TQELSession::SetSessionName(const std::string& name) {
  TQELCriticalSectionGuard guard(FList->SessionLock());
  if (name == FSessionName) return;
  if (FAutoSessionName && !FRenaming) {
    DatabaseError("Cannot modify SessionName while AutoSessionName is enabled", this);
  }
  if (Active()) DatabaseError("Cannot perform this operation on an active session", this);
  if (!name.empty()) {
    const TQELSession* other = FList->FindSession(name);
    if (other != nullptr && other != this) DatabaseErrorFmt("Duplicate session name '%s'", {name}, this);
  }
  FSessionName = name;
}

void TQELSession::SetAutoSessionName(bool autoSessionName) {
  if (autoSessionName == FAutoSessionName) return;
  if (IsLoading()) {
    FAutoSessionName = autoSessionName;
    return;
  }
  TQELCriticalSectionGuard guard(FList->SessionLock());
  if (!autoSessionName) {
    ReleaseAutoName();
    FAutoSessionName = false;
    return;
  }
  if (Active()) DatabaseError("Cannot perform this operation on an active session", this);
  if (Owner() != nullptr) {
    for (std::size_t i = 0; i < Owner()->ComponentCount(); ++i) {
      const TQELComponent* component = Owner()->Components(i);
      if (component != this && dynamic_cast<const TQELSession*>(component) != nullptr) {
        DatabaseError("Cannot enable AutoSessionName property with more than one session on a form or data-module",
                      this);
      }
    }
  }
  FAutoSessionName = true;
  try {
    ApplyAutoName();
  } catch (...) {
    ReleaseAutoName();
    FAutoSessionName = false;
    throw;
  }
}

void TQELSession::ApplyAutoName() {
  if (FAutoNameNumber < 0) FAutoNameNumber = FList->TakeAutoNameNumber();
  FRenaming = true;
  try {
    SetSessionName(QELFormat("%s_%d", {Name(), FAutoNameNumber + 1}));
  } catch (...) {
    FRenaming = false;
    throw;
  }
  FRenaming = false;
  if (Owner() == nullptr) return;
  for (std::size_t i = 0; i < Owner()->ComponentCount(); ++i) {
    auto* user = dynamic_cast<TQELSessionUser*>(Owner()->Components(i));
    if (user != nullptr && !QELSameText(user->SessionName(), FSessionName)) user->SetSessionName(FSessionName);
  }
}

void TQELSession::ReleaseAutoName() {
  if (FAutoNameNumber < 0) return;
  FList->ReleaseAutoNameNumber(FAutoNameNumber);
  FAutoNameNumber = -1;
}

void TQELSession::Loaded() {
  TQELComponent::Loaded();
  if (FAutoSessionName && FAutoNameNumber < 0) {
    FAutoSessionName = false;
    SetAutoSessionName(true);
  }
  if (FStreamedActive) {
    FStreamedActive = false;
    SetActive(true);
  }
}

void TQELSession::Notification(TQELComponent* component, TQELOperation operation) {
  TQELComponent::Notification(component, operation);
  // Databases and datasets put beside an automatically named session join it.
  if (operation != opInsert || !FAutoSessionName || IsLoading() || Owner() == nullptr ||
      component->Owner() != Owner()) {
    return;
  }
  if (auto* user = dynamic_cast<TQELSessionUser*>(component)) user->SetSessionName(FSessionName);
}

void TQELSession::ValidateContainer(TQELComponent* owner) {
  for (std::size_t i = 0; i < owner->ComponentCount(); ++i) {
    const auto* session = dynamic_cast<const TQELSession*>(owner->Components(i));
    if (session != nullptr && session->AutoSessionName()) {
      DatabaseErrorFmt("Cannot add a session to the form or data-module while session '%s' has AutoSessionName enabled",
                       {session->SessionName()}, this);
    }
  }
}

void TQELSession::NameChanged(const std::string& /*oldName*/) {
  if (FAutoSessionName && !IsLoading()) {
    TQELCriticalSectionGuard guard(FList->SessionLock());
    ApplyAutoName();
  }
}

void TQELSession::LockSession() {
  // Always entered, so that another thread locking the same session waits;
  // only the outermost entry of a session makes it current and starts it.
  TQELCriticalSection& lock = FList->SessionLock();
  lock.lock();
  if (FLockCount++ > 0) return;
  try {
    FList->SetCurrentSession(this);
    Start();
  } catch (...) {
    --FLockCount;
    lock.unlock();
    throw;
  }
}

void TQELSession::UnlockSession() {
  if (FLockCount > 0) --FLockCount;
  FList->SessionLock().unlock();
}

std::string TQELSession::UniqueDatabaseName(const std::string& base) const {
  for (;;) {
    std::string name = base + std::to_string(QELRandom(1000000));
    if (FindDatabase(name) == nullptr) return name;
  }
}

TQELDatabase* TQELSession::FindDatabase(std::string_view name) const {
  for (TQELDatabase* database : FDatabases) {
    if (name.empty() ? database->DatabaseName().empty() && database->Temporary()
                     : QELSameText(database->DatabaseName(), name)) {
      return database;
    }
  }
  return nullptr;
}

TQELDatabase* TQELSession::FindDatabase(std::string_view name, const TQELComponent* owner) const {
  for (TQELDatabase* database : FDatabases) {
    if (database->Owner() == owner && database->HandleShared() && QELSameText(database->DatabaseName(), name)) {
      return database;
    }
  }
  return FindDatabase(name);
}

TQELDatabase& TQELSession::OpenDatabase(std::string_view name, const TQELComponent* owner) {
  TQELSessionLock lock(*this);
  TQELDatabase* database = FindDatabase(name, owner);
  if (database == nullptr) {
    database = CreateComponent<TQELDatabase>();
    try {
      database->FTemporary = true;
      database->SetDatabaseName(std::string(name));
      database->SetKeepConnection(FKeepConnections);
      database->SetSilentMode(true);
      database->Open();
    } catch (...) {
      FreeComponent(database);
      throw;
    }
  } else {
    database->Open();
  }
  ++database->FRefCount;
  return *database;
}

void TQELSession::CloseDatabase(TQELDatabase* database) {
  if (database == nullptr) return;
  TQELCriticalSectionGuard guard(FList->SessionLock());
  if (database->FRefCount > 0) --database->FRefCount;
  if (database->FRefCount > 0 || database->KeepConnection()) return;
  if (database->Temporary() && database->Owner() != nullptr) {
    if (!database->IsDestroying()) database->Owner()->FreeComponent(database);
  } else {
    database->Close();
  }
}

void TQELSession::AddDatabase(TQELDatabase* database) {
  FDatabases.push_back(database);
  DatabaseEvent(deAdd, *database);
}

void TQELSession::RemoveDatabase(TQELDatabase* database) {
  if (!Listed(FDatabases, database)) return;
  FDatabases.erase(std::find(FDatabases.begin(), FDatabases.end(), database));
  DatabaseEvent(deRemove, *database);
}

void TQELSession::DatabaseEvent(TQELDatabaseEvent event, TQELDatabase& database) {
  if (FDatabaseEventHook) FDatabaseEventHook(event, database);
}

TQELDatabase* TQELSession::FindLender(const TQELDatabase& borrower) const {
  for (TQELDatabase* database : FDatabases) {
    if (database != &borrower && database->Connected() && database->HandleShared() &&
        QELSameText(database->DatabaseName(), borrower.DatabaseName())) {
      return database;
    }
  }
  return nullptr;
}

}  // namespace qel
