#pragma once
// TQELSession: a named scope of database connections. Databases and
// datasets name their session (SessionName) and find it when they open; a
// session lists its databases, creates temporary ones for datasets that name
// a database no component has, and closes or frees them when it stops.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "components/db/QELComponent.h"

namespace qel {

class TQELDatabase;
class TQELSessionList;

// A session's handle: an empty marker; a session is active exactly while it
// holds one.
class TQELSessionComponentManager {};

// A component that names its session: databases, and datasets.
class TQELSessionUser {
 public:
  virtual const std::string& SessionName() const = 0;
  virtual void SetSessionName(const std::string& name) = 0;

 protected:
  ~TQELSessionUser() = default;
};

enum TQELDatabaseEvent { deOpen = 0, deClose = 1, deAdd = 2, deRemove = 3 };
using TQELDatabaseEventHook = std::function<void(TQELDatabaseEvent event, TQELDatabase& database)>;

class TQELSession : public TQELComponent {
 public:
  TQELSession();
  // Stops the session (its temporary databases go), frees what it owns, and
  // detaches the databases that remain: they are closed, and those of a
  // session other than the default one lose their SessionName.
  ~TQELSession() override;

  bool Active() const { return FHandle != nullptr; }
  // While loading the value is only stored; it is applied by Loaded.
  void SetActive(bool active);
  bool AutoSessionName() const { return FAutoSessionName; }
  void SetAutoSessionName(bool autoSessionName);
  // Copied into KeepConnection of the databases the session creates itself.
  bool KeepConnections() const { return FKeepConnections; }
  void SetKeepConnections(bool keepConnections) { FKeepConnections = keepConnections; }
  const std::string& SessionName() const { return FSessionName; }
  void SetSessionName(const std::string& name);
  bool IsDefault() const { return FDefault; }
  // The automatic name's number, -1 when there is none.
  int AutoNameNumber() const { return FAutoNameNumber; }

  TQELNotifyEvent OnStartup;

  // The handle; "Database Engine is not initialized" (20007) while inactive.
  TQELSessionComponentManager& Handle() const;

  // Enters the scope shared by all sessions; the outermost entry makes the
  // session current and starts it when needed.
  void LockSession();
  void UnlockSession();

  // The first database of this name (ignoring case); an empty name matches
  // only a temporary database.
  TQELDatabase* FindDatabase(std::string_view name) const;
  // First a database of `owner` that shares its connection (HandleShared)
  // under that name, else FindDatabase(name).
  TQELDatabase* FindDatabase(std::string_view name, const TQELComponent* owner) const;
  // `base` followed by a random number below 1 000 000 that no database of
  // the session is named with yet.
  std::string UniqueDatabaseName(const std::string& base) const;
  // For datasets: the database of that name, created (temporary, owned by
  // the session, silent) when there is none, connected, with one user more.
  TQELDatabase& OpenDatabase(std::string_view name, const TQELComponent* owner = nullptr);
  // One user fewer. When none is left and the database keeps no
  // connection, a temporary database is freed and any other closed.
  void CloseDatabase(TQELDatabase* database);

  std::size_t DatabaseCount() const { return FDatabases.size(); }
  TQELDatabase* Databases(std::size_t index) const { return FDatabases.at(index); }

  // Told when a database of this session opens, closes, joins or leaves.
  void SetDatabaseEventHook(TQELDatabaseEventHook hook) { FDatabaseEventHook = std::move(hook); }

 protected:
  void Loaded() override;
  void Notification(TQELComponent* component, TQELOperation operation) override;
  void ValidateContainer(TQELComponent* owner) override;
  void NameChanged(const std::string& oldName) override;

 private:
  friend class TQELDatabase;
  friend class TQELSessionList;
  struct TDefaultTag {};
  TQELSession(TQELSessionList& list, TDefaultTag);

  void Start();
  void Stop();
  void ApplyAutoName();
  void ReleaseAutoName();
  void AddDatabase(TQELDatabase* database);
  void RemoveDatabase(TQELDatabase* database);
  void DatabaseEvent(TQELDatabaseEvent event, TQELDatabase& database);
  // A connected database of this session, other than `borrower`, that
  // shares its connection under the borrower's name.
  TQELDatabase* FindLender(const TQELDatabase& borrower) const;

  TQELSessionList* FList;
  std::string FSessionName;
  bool FAutoSessionName = false;
  bool FKeepConnections = true;
  bool FDefault = false;
  bool FStreamedActive = false;
  bool FRenaming = false;
  int FAutoNameNumber = -1;
  int FLockCount = 0;
  TQELSessionComponentManager* FHandle = nullptr;
  std::unique_ptr<TQELSessionComponentManager> FOwnHandle;
  std::vector<TQELDatabase*> FDatabases;
  TQELDatabaseEventHook FDatabaseEventHook;
};

// Holds a session's scope (LockSession) for its lifetime.
class TQELSessionLock {
 public:
  explicit TQELSessionLock(TQELSession& session) : FSession(session) { FSession.LockSession(); }
  ~TQELSessionLock() { FSession.UnlockSession(); }
  TQELSessionLock(const TQELSessionLock&) = delete;
  TQELSessionLock& operator=(const TQELSessionLock&) = delete;

 private:
  TQELSession& FSession;
};

}  // namespace qel
