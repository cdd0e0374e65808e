#pragma once
// TQELDiskDatabaseData: one opened database file in this process. It owns
// the file's page manager and catalog (system directory, sessions file,
// table list), attaches engine sessions and gives each its session id,
// lists the file's tables, hands out object ids from the file, and commits
// or rolls back a session's changes together with its locks.
//
// Several processes may share the file (multi-user mode): each session of
// each process then holds one byte of the sessions file, and table and
// record locks in the tables' lock files keep writers apart. A single-user
// opener locks every session byte, so that no multi-user opener gets in; a
// single-user opener that finds a byte taken goes on read-only.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crypto/PageCipher.h"
#include "disk/QELActiveSessionsFile.h"
#include "disk/QELDiskDatabaseCatalog.h"
#include "disk/QELDiskPageManager.h"
#include "disk/QELTableLockManager.h"
#include "platform/QELFunctionRef.h"
#include "storage/QELDatabaseData.h"

namespace qel {

class TQELDiskDatabaseData : public TQELDatabaseData {
 public:
  explicit TQELDiskDatabaseData(std::string fileName);
  ~TQELDiskDatabaseData() override;

  // Creates a new database file with its system files (replacing a file of
  // that name) and keeps it open for this process alone.
  void CreateDatabaseFile(const TQELPassword& password, std::uint16_t pageSize,
                          std::uint16_t pageCountInExtent, std::int32_t maxConnections);
  // Opens the file; the result tells what the file granted.
  TQELOpenResult Open(const TQELPassword& password, const TQELOpenOptions& options = {});
  void CloseDatabase();
  bool IsOpen() const { return DiskPageManager().IsOpen(); }
  // What the first attaching session opens the file with.
  void SetPassword(const TQELPassword& password) { FPassword = password; }
  // The password the file was opened or created with.
  const TQELPassword& Password() const { return FPassword; }
  void SetReadOnlyRequest(bool readOnly) { FReadOnlyRequest = readOnly; }

  TQELDiskPageManager& DiskPageManager() const;
  TQELDiskDatabaseCatalog& Catalog() { return *FCatalog; }
  bool MultiUser() const { return FMultiUser; }
  bool ReadOnly() const { return FReadOnly; }
  // Present while the file is open.
  TQELDatabaseTableLockManager* LockManager() const { return FLockManager.get(); }

  // The first session opens the file; a multi-user session gets a free
  // session byte ("Cannot connect session. ..." (20094) when none is free).
  // A single-user process holds every byte, so each of its sessions gets the
  // lowest id no other session of this object has (20094 when none is
  // left): sessions keep their pending pages apart. A session asking for
  // the other mode than the file's raises "Cannot open database in
  // multi-user and signle-user mode at the same time" (20235).
  // A writer that gets a session id gives back the pages a killed earlier
  // holder of the id left taken; a single-user writer that gets every
  // session byte gives back those of every id (see TQELTakenPagesFile).
  void AddSession(TQELStorageSession* session) override;
  // A session in a transaction is rolled back first, so that its pending
  // pages do not pass to the next holder of its id; the last session closes
  // the file.
  void RemoveSession(TQELStorageSession* session) override;
  void GetTableNames(std::vector<std::string>& list) override;
  TQELTableDataBase* CreateTableData(TQELStorageCursor* cursor) override;
  std::int32_t GetNextObjectID() override;
  // Writes the session's changes. In multi-user mode the tables it changed
  // in its transaction are first locked for writing; when that fails the
  // changes stay pending and "Cannot commit changes. Locks of modified
  // tables failed" (20233) is raised.
  // A commit is atomic: a crash of the process at any moment leaves the
  // file with all of it or none of it. With `flushBuffers` (or with
  // SetFlushEveryCommit) it is also durable against power loss once this
  // returns.
  void Commit(std::int32_t sessionID) override { Commit(sessionID, false); }
  void Commit(std::int32_t sessionID, bool flushBuffers);
  void SetFlushEveryCommit(bool flush) { DiskPageManager().SetFlushEveryCommit(flush); }
  bool FlushEveryCommit() const { return DiskPageManager().FlushEveryCommit(); }
  void Rollback(std::int32_t sessionID) override;
  void FlushBuffers() override;

  // How many pages that killed writers had taken this object gave back
  // (see TQELTakenPagesFile) since it was made.
  std::int32_t ReclaimedPages() const { return FReclaimedPages; }

 private:
  void OpenSystemFiles();
  void ReclaimTakenPages(TQELFunctionRef<std::int32_t()> reclaim);
  void UpdateStructureOwner();
  std::int32_t FreeSingleUserSessionID(const TQELStorageSession* session) const;

  std::unique_ptr<TQELDiskDatabaseCatalog> FCatalog;
  std::unique_ptr<TQELActiveSessionsFile> FSessions;
  std::unique_ptr<TQELDatabaseTableLockManager> FLockManager;
  TQELPassword FPassword;
  bool FReadOnlyRequest = false;
  bool FMultiUser = false;
  bool FReadOnly = false;
  bool FSessionsLocked = false;
  std::int32_t FReclaimedPages = 0;
};

}  // namespace qel
