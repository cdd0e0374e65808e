// TQELLocalSession: connecting, disconnecting, file creation and
// transactions of an engine session.

#include "engine/QELLocalSession.h"

#include <algorithm>
#include <exception>

#include "disk/QELDiskDatabaseData.h"
#include "engine/QELDatabaseList.h"
#include "platform/QELException.h"

namespace qel {

namespace {

std::uint16_t StoredWidth(std::int32_t value) {
  // Out-of-range values reach the disk layer as values it refuses.
  return static_cast<std::uint16_t>(std::clamp<std::int32_t>(value, 0, 0xFFFF));
}

}  // namespace

TQELLocalSession::~TQELLocalSession() {
  try {
    SetConnected(false);
  } catch (...) {
  }
}

void TQELLocalSession::SetConnected(bool value) {
  if (value == GetConnected()) return;
  if (value) {
    Connect();
  } else {
    Disconnect();
  }
}

void TQELLocalSession::Connect() {
  TQELDatabaseList& list = TQELDatabaseList::Instance();
  TQELCriticalSectionGuard guard(list.Lock());
  const TQELDatabaseKind kind = QELDatabaseKindOf(DatabaseName());
  if (kind != dkDisk) {
    TQELDatabaseData& data = list.Special(kind);
    data.AddSession(this);
    FDatabaseData = &data;
    return;
  }
  TQELDiskDatabaseData* disk = list.FindDisk(DatabaseFileName());
  if (disk == nullptr) {
    disk = &list.AddDisk(DatabaseFileName());
    disk->SetPassword(FPassword);
    disk->SetReadOnlyRequest(ReadOnly());
  } else if (disk->IsOpen() && disk->DiskPageManager().IsEncrypted() &&
             !disk->Password().Password.empty() &&
             disk->Password().Password != FPassword.Password) {
    // Decided before attaching: the file is not touched for it.
    throw EQELException(20298, "Database password is invalid.");
  }
  try {
    disk->AddSession(this);
  } catch (...) {
    // A first connect that failed (a wrong password, a missing file) must
    // not leave its object listed: it holds what this attempt was made
    // with, and a retry would find it instead of opening the file again.
    list.ReleaseIfUnused(disk);
    throw;
  }
  FPassword = disk->Password();
  const TQELDatabaseHeader& header = disk->DiskPageManager().GetHeader();
  FPageSize = header.PageSize;
  FPageCountInExtent = header.PageCountInExtent;
  SetMaxConnections(disk->Catalog().MaxConnections());
  FDatabaseData = disk;
  FDiskData = disk;
}

void TQELLocalSession::Disconnect() {
  TQELDatabaseList& list = TQELDatabaseList::Instance();
  TQELCriticalSectionGuard guard(list.Lock());
  TQELDatabaseData* data = FDatabaseData;
  std::exception_ptr failure;
  if (InTransaction()) {
    // The session's id goes to its next holder: nothing it left pending
    // may go with it.
    try {
      data->Rollback(SessionID());
    } catch (...) {
      failure = std::current_exception();
    }
    SetInTransaction(false);
  }
  try {
    data->RemoveSession(this);
  } catch (...) {
    if (!failure) failure = std::current_exception();
    // Whatever the storage kind could not finish, the session must not stay
    // listed once it is gone.
    data->TQELDatabaseData::RemoveSession(this);
  }
  FDatabaseData = nullptr;
  FDiskData = nullptr;
  SetSessionID(-1);
  list.ReleaseIfUnused(data);
  if (failure) std::rethrow_exception(failure);
}

bool TQELLocalSession::GetRepairMode() const {
  if (FDiskData == nullptr || FDiskData->DiskPageManager().FreeSpaceManager() == nullptr) {
    return false;
  }
  return FDiskData->DiskPageManager().FreeSpaceManager()->RepairMode;
}

void TQELLocalSession::SetRepairMode(bool value) {
  if (FDiskData == nullptr || FDiskData->DiskPageManager().FreeSpaceManager() == nullptr) return;
  FDiskData->DiskPageManager().FreeSpaceManager()->RepairMode = value;
}

void TQELLocalSession::CreateDatabase() {
  TQELDatabaseList& list = TQELDatabaseList::Instance();
  TQELCriticalSectionGuard guard(list.Lock());
  // The in-memory and the temporary database are always open.
  if (QELDatabaseKindOf(DatabaseName()) != dkDisk || list.FindDisk(DatabaseFileName()) != nullptr) {
    throw EQELException(20092, "Cannot create database. Database is already open");
  }
  // Never listed: the list stays locked until the new file is closed again.
  TQELDiskDatabaseData created(DatabaseFileName());
  created.CreateDatabaseFile(FPassword, StoredWidth(FPageSize), StoredWidth(FPageCountInExtent),
                             MaxConnections());
  created.CloseDatabase();
}

void TQELLocalSession::GetTableNames(std::vector<std::string>& list) {
  SetConnected(true);
  FDatabaseData->GetTableNames(list);
}

bool TQELLocalSession::TableExists(std::string_view name) {
  SetConnected(true);
  return FDatabaseData->TableExists(name);
}

void TQELLocalSession::CheckInTransaction() const {
  if (!InTransaction()) {
    throw EQELException(20229, "Database is not in transaction. Cannot perform operation");
  }
}

void TQELLocalSession::Commit(bool forceFlush) {
  CheckInTransaction();
  if (FDiskData != nullptr) {
    FDiskData->Commit(SessionID(), forceFlush);
  } else if (FDatabaseData != nullptr) {
    FDatabaseData->Commit(SessionID());
  }
  SetInTransaction(false);
}

void TQELLocalSession::Rollback() {
  CheckInTransaction();
  if (FDatabaseData != nullptr) FDatabaseData->Rollback(SessionID());
  SetInTransaction(false);
}

void TQELLocalSession::FlushBuffers() {
  if (FDatabaseData != nullptr) FDatabaseData->FlushBuffers();
}

}  // namespace qel
