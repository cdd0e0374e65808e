// TQELDiskDatabaseData: the database data of one database file.

#include "disk/QELDiskDatabaseData.h"

#include <algorithm>

#include "disk/QELDiskTableData.h"
#include "disk/QELTableListFile.h"
#include "platform/QELException.h"

namespace qel {

TQELDiskDatabaseData::TQELDiskDatabaseData(std::string fileName)
    : TQELDatabaseData(std::move(fileName)) {
  SetPageManager(std::make_unique<TQELDiskPageManager>());
  FCatalog = std::make_unique<TQELDiskDatabaseCatalog>(DiskPageManager());
}

TQELDiskDatabaseData::~TQELDiskDatabaseData() {
  // Tables first: closing them still reads and writes pages. A destructor
  // cannot report: what fails here is dropped, and the file keeps its last
  // complete commit.
  try {
    ClearTableDatas();
  } catch (...) {
  }
  try {
    CloseDatabase();
  } catch (...) {
  }
}

TQELDiskPageManager& TQELDiskDatabaseData::DiskPageManager() const {
  return static_cast<TQELDiskPageManager&>(*PageManager());
}

void TQELDiskDatabaseData::CreateDatabaseFile(const TQELPassword& password,
                                              std::uint16_t pageSize,
                                              std::uint16_t pageCountInExtent,
                                              std::int32_t maxConnections) {
  TQELCriticalSectionGuard guard(Lock());
  FPassword = password;
  DiskPageManager().CreateDatabase(DatabaseName(), password, pageCountInExtent, pageSize);
  FCatalog->Create(maxConnections);
  FMultiUser = false;
  FReadOnly = false;
  OpenSystemFiles();
}

TQELOpenResult TQELDiskDatabaseData::Open(const TQELPassword& password, const TQELOpenOptions& options) {
  TQELCriticalSectionGuard guard(Lock());
  const TQELOpenResult opened = DiskPageManager().OpenDatabase(DatabaseName(), password, options);
  try {
    FCatalog->Open();
    FPassword = {password.Password, opened.CryptoAlgorithm};
    FMultiUser = opened.MultiUser;
    FReadOnly = opened.ReadOnly;
    OpenSystemFiles();
  } catch (...) {
    CloseDatabase();
    throw;
  }
  return opened;
}

void TQELDiskDatabaseData::OpenSystemFiles() {
  FSessions = std::make_unique<TQELActiveSessionsFile>(FCatalog->SessionsFile());
  FLockManager = std::make_unique<TQELDatabaseTableLockManager>(DiskPageManager(),
                                                                FCatalog->MaxConnections());
  DiskPageManager().SetSessionCount(FCatalog->MaxConnections());
  FSessionsLocked = false;
}

// When no other process has a session in the file (this handle can take
// every session byte), nobody else can be writing it, and the journal file
// goes with the close. The bytes stay taken until the file is closed.
void TQELDiskDatabaseData::CloseDatabase() {
  TQELCriticalSectionGuard guard(Lock());
  bool onlyOpener = false;
  if (FSessions && DiskPageManager().IsOpen() && !DiskPageManager().IsReadOnly()) {
    try {
      onlyOpener = FSessionsLocked || FSessions->LockAllSessions();
    } catch (const EQELException&) {
    }
  }
  FLockManager.reset();
  FSessions.reset();
  FSessionsLocked = false;
  if (DiskPageManager().IsOpen()) DiskPageManager().CloseDatabase(onlyOpener);
}

// ---- Sessions --------------------------------------------------------------

void TQELDiskDatabaseData::AddSession(TQELStorageSession* session) {
  if (session == nullptr) throw EQELException(20135, "Nil pointer occured");
  TQELCriticalSectionGuard guard(Lock());
  if (!IsOpen()) {
    const TQELOpenResult opened = Open(FPassword, {.MultiUser = session->MultiUser(),
                                                   .Exclusive = session->Exclusive(),
                                                   .ReadOnly = FReadOnlyRequest});
    session->SetNeedRepair(opened.NeedRepair);
    session->SetMultiUser(FMultiUser);
  }
  if (session->MultiUser() != FMultiUser) {
    throw EQELException(20235,
                        "Cannot open database in multi-user and signle-user mode at the same time");
  }
  std::int32_t sessionID = 0;
  if (FMultiUser) {
    sessionID = FSessions->ConnectSession();
    // A session that held this id before and died left the pages it took
    // listed under it.
    ReclaimTakenPages([&] { return DiskPageManager().ReclaimTakenPages(sessionID); });
  } else {
    if (!FSessionsLocked) {
      // Another process holding a session byte has the file open: this one
      // may look, not change.
      FSessionsLocked = FSessions->LockAllSessions();
      if (!FSessionsLocked) FReadOnly = true;
      // Nobody else has a session: whatever any list holds was left by a
      // killed writer.
      if (FSessionsLocked) ReclaimTakenPages([&] { return DiskPageManager().ReclaimAllTakenPages(); });
    }
    sessionID = FreeSingleUserSessionID(session);
  }
  TQELDatabaseData::AddSession(session);
  session->SetSessionID(sessionID);
  session->SetReadOnly(FReadOnly);
  UpdateStructureOwner();
}

// Only room is at stake when the pages cannot be given back now (the file
// is locked, or a write fails): the lists keep them for the next holder of
// the id or the next only opener, and the session connects all the same.
void TQELDiskDatabaseData::ReclaimTakenPages(TQELFunctionRef<std::int32_t()> reclaim) {
  if (FReadOnly) return;
  try {
    FReclaimedPages += reclaim();
  } catch (const EQELException&) {
  }
}

// The structural changes of this process list their pages under one of its
// sessions' ids: the lowest, which it holds until that session leaves.
void TQELDiskDatabaseData::UpdateStructureOwner() {
  std::int32_t owner = -1;
  for (const auto* session : Sessions()) {
    if (owner < 0 || session->SessionID() < owner) owner = session->SessionID();
  }
  DiskPageManager().SetStructureOwner(FMultiUser ? owner : -1);
}

std::int32_t TQELDiskDatabaseData::FreeSingleUserSessionID(
    const TQELStorageSession* session) const {
  const std::int32_t count = std::max<std::int32_t>(FCatalog->MaxConnections(), 1);
  for (std::int32_t id = 0; id < count; ++id) {
    const bool taken = std::any_of(Sessions().begin(), Sessions().end(), [&](const auto* other) {
      return other != session && other->SessionID() == id;
    });
    if (!taken) return id;
  }
  throw EQELException(20094,
                      "Cannot connect session. Maximum connections quantity exceeded or database "
                      "is open in single-user mode");
}

void TQELDiskDatabaseData::RemoveSession(TQELStorageSession* session) {
  TQELCriticalSectionGuard guard(Lock());
  if (std::find(Sessions().begin(), Sessions().end(), session) == Sessions().end()) return;
  const bool last = Sessions().size() == 1;
  if (session->InTransaction()) Rollback(session->SessionID());
  if (FMultiUser) {
    // The id goes back to the pool: its next holder starts without locks.
    FLockManager->ReleaseAllLocks(session->SessionID());
    FSessions->DisconnectSession(session->SessionID());
  } else if (FSessionsLocked && last) {
    FSessions->UnlockAllSessions();
    FSessionsLocked = false;
  }
  TQELDatabaseData::RemoveSession(session);
  if (!last) UpdateStructureOwner();
  if (last) {
    ClearTableDatas();
    CloseDatabase();
  }
}

// ---- Tables ----------------------------------------------------------------

void TQELDiskDatabaseData::GetTableNames(std::vector<std::string>& list) {
  TQELCriticalSectionGuard guard(Lock());
  const std::size_t first = list.size();
  for (std::string& name : FCatalog->GetTableNames()) list.push_back(std::move(name));
  for (const auto& tableData : TableDatas()) {
    const std::string& name = tableData->TableName();
    const bool listed = std::any_of(list.begin() + static_cast<std::ptrdiff_t>(first), list.end(),
                                    [&](const std::string& other) {
                                      return TQELTableListFile::SameName(name, other);
                                    });
    if (!listed && !static_cast<TQELDiskTableData&>(*tableData).Cursors().empty()) {
      list.push_back(name);
    }
  }
}

TQELTableDataBase* TQELDiskDatabaseData::CreateTableData(TQELStorageCursor* cursor) {
  if (cursor == nullptr) throw EQELException(20137, "Nil pointer occured");
  TQELCriticalSectionGuard guard(Lock());
  return AddTableData(std::make_unique<TQELDiskTableData>(*this, cursor->TableName()));
}

std::int32_t TQELDiskDatabaseData::GetNextObjectID() {
  TQELCriticalSectionGuard guard(Lock());
  return DiskPageManager().GetNextObjectID();
}

// ---- Transactions ----------------------------------------------------------

void TQELDiskDatabaseData::Commit(std::int32_t sessionID, bool flushBuffers) {
  TQELCriticalSectionGuard guard(Lock());
  if (FMultiUser && FLockManager && !FLockManager->LockModifiedTables(sessionID)) {
    throw EQELException(20233, "Cannot commit changes. Locks of modified tables failed");
  }
  DiskPageManager().Commit(sessionID, flushBuffers || DiskPageManager().FlushEveryCommit());
  for (const auto& tableData : TableDatas()) {
    static_cast<TQELDiskTableData&>(*tableData).ApplyTemporaryChanges(sessionID);
  }
  if (FMultiUser && FLockManager) FLockManager->ReleaseTransactionLocks(sessionID);
}

void TQELDiskDatabaseData::Rollback(std::int32_t sessionID) {
  TQELCriticalSectionGuard guard(Lock());
  if (FMultiUser && FLockManager) FLockManager->ReleaseTransactionLocks(sessionID);
  TQELDatabaseData::Rollback(sessionID);
}

void TQELDiskDatabaseData::FlushBuffers() {
  TQELCriticalSectionGuard guard(Lock());
  DiskPageManager().File().FlushFileBuffers();
}

}  // namespace qel
