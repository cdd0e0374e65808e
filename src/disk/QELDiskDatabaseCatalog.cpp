#include "disk/QELDiskDatabaseCatalog.h"

#include "platform/QELException.h"

namespace qel {

TQELDiskDatabaseCatalog::TQELDiskDatabaseCatalog(TQELDiskPageManager& pageManager)
    : FPageManager(pageManager),
      FDirectory(pageManager),
      FSessions(pageManager, ptActiveSessionList),
      FTableList(pageManager) {}

void TQELDiskDatabaseCatalog::Create(std::int32_t maxConnections) {
  try {
    FDirectory.Create();
    FSessions.Create(maxConnections);
    const std::int32_t tableListStart = FTableList.Create();
    FTableList.Open(tableListStart);
    FDirectory.AddEntry(sfkActiveSessions, FSessions.StartPageNo());
    FDirectory.AddEntry(sfkTableList, tableListStart);
    FDirectory.Save();
    FPageManager.ApplyChanges(-2);
  } catch (...) {
    FPageManager.CancelChanges(-2);
    throw;
  }
  FSessions.OpenAndLoad(FSessions.StartPageNo());
}

void TQELDiskDatabaseCatalog::Open() {
  FDirectory.Load();
  const std::int32_t sessionsStart = FDirectory.FindEntry(sfkActiveSessions);
  const std::int32_t tableListStart = FDirectory.FindEntry(sfkTableList);
  if (sessionsStart < 0 || tableListStart < 0) throw EQELException(20237, "Invalid database format");
  FSessions.OpenAndLoad(sessionsStart);
  FTableList.Open(tableListStart);
  FTableList.Load();
}

void TQELDiskDatabaseCatalog::CheckTableList(std::int32_t nativeCode) const {
  if (!FTableList.IsOpen()) throw EQELException(nativeCode, "Pointer is nil");
}

void TQELDiskDatabaseCatalog::AddTable(std::int32_t objectID, std::string_view name, std::int32_t metadataStart,
                                       std::int32_t headerStart, std::int32_t locksStart) {
  CheckTableList(20129);
  FTableList.Load();
  if (FTableList.TableExists(name)) {
    throw EQELException(30395, "Cannot create table. Table '%s' already exists", {name});
  }
  FTableList.AddTable(objectID, name, metadataStart, headerStart, locksStart);
  FTableList.Save();
}

TQELTableInfo TQELDiskDatabaseCatalog::GetTableInfo(std::string_view name) {
  CheckTableList(20129);
  std::optional<TQELTableInfo> info = FTableList.GetTableInfo(name);
  if (!info) throw EQELException(30396, "Table '%s' not exists.", {name});
  return *info;
}

void TQELDiskDatabaseCatalog::DeleteTable(std::string_view name) {
  CheckTableList(20130);
  FTableList.Load();
  if (!FTableList.DeleteTable(name)) throw EQELException(30405, "Table '%s' not exists.", {name});
  FTableList.Save();
}

void TQELDiskDatabaseCatalog::RenameTable(std::string_view name, std::string_view newName) {
  CheckTableList(20131);
  FTableList.Load();
  if (!FTableList.RenameTable(name, newName)) throw EQELException(30397, "Table '%s' not exists.", {name});
  FTableList.Save();
}

bool TQELDiskDatabaseCatalog::TableExists(std::string_view name) {
  CheckTableList(20129);
  return FTableList.TableExists(name);
}

std::vector<std::string> TQELDiskDatabaseCatalog::GetTableNames() {
  CheckTableList(20129);
  return FTableList.GetTableNames();
}

TQELTableInfo TQELDiskDatabaseCatalog::CreateTableFiles(std::string_view name) {
  CheckTableList(20129);
  FTableList.Load();
  if (FTableList.TableExists(name)) {
    throw EQELException(30395, "Cannot create table. Table '%s' already exists", {name});
  }
  TQELInternalDBTransactedAccessFile metadata(FPageManager, ptTableMetaData);
  TQELInternalDBTransactedAccessFile header(FPageManager, ptTableMostUpdated);
  TQELInternalDBDirectAccessFile locks(FPageManager, ptTableLocks);
  metadata.Create(-2);
  header.Create(-2);
  locks.Create(MaxConnections() * kLockBytesPerSession);
  TQELTableInfo info{TQELTableListFile::StoredName(name), FPageManager.GetNextObjectID(), metadata.StartPageNo(),
                     header.StartPageNo(), locks.StartPageNo()};
  AddTable(info.ObjectID, info.Name, info.MetadataStartPage, info.HeaderStartPage, info.LocksStartPage);
  return info;
}

}  // namespace qel
