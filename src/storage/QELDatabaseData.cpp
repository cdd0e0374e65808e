// TQELDatabaseData: the registry of sessions and open tables of one
// database, and the per-session commit and rollback.

#include "storage/QELDatabaseData.h"

#include <algorithm>
#include <utility>

#include "pagecache/QELPageManager.h"
#include "platform/QELCollation.h"
#include "platform/QELException.h"

namespace qel {

TQELDatabaseData::TQELDatabaseData(std::string databaseName)
    : FDatabaseName(std::move(databaseName)) {}

TQELDatabaseData::~TQELDatabaseData() { ClearTableDatas(); }

void TQELDatabaseData::ClearTableDatas() {
  TQELCriticalSectionGuard guard(FLock);
  FTableDatas.clear();
}

void TQELDatabaseData::AddSession(TQELStorageSession* session) {
  if (session == nullptr) throw EQELException(20135, "Nil pointer occured");
  TQELCriticalSectionGuard guard(FLock);
  // Listed once only: a second entry would outlive RemoveSession and keep
  // a destroyed session attached.
  if (std::find(FSessions.begin(), FSessions.end(), session) == FSessions.end()) {
    FSessions.push_back(session);
  }
  session->SetSessionID(0);
}

void TQELDatabaseData::RemoveSession(TQELStorageSession* session) {
  TQELCriticalSectionGuard guard(FLock);
  std::erase(FSessions, session);
}

bool TQELDatabaseData::FreeIfUnused() {
  {
    TQELCriticalSectionGuard guard(FLock);
    if (!FSessions.empty()) return false;
  }
  // Outside the lock: the handler may destroy this object and its lock.
  // The copy keeps the handler alive while it runs.
  if (FReleaseHandler) {
    TReleaseHandler handler = FReleaseHandler;
    handler(*this);
  }
  return true;
}

void TQELDatabaseData::GetTableNames(std::vector<std::string>& list) {
  TQELCriticalSectionGuard guard(FLock);
  for (const auto& tableData : FTableDatas) list.push_back(tableData->TableName());
}

TQELTableDataBase* TQELDatabaseData::FindTableData(TQELStorageCursor* cursor) {
  if (cursor == nullptr) throw EQELException(20136, "Nil pointer occured");
  const std::string wanted = QELUpperCase(cursor->TableName());
  TQELCriticalSectionGuard guard(FLock);
  for (const auto& tableData : FTableDatas) {
    if (QELUpperCase(tableData->TableName()) == wanted) return tableData.get();
  }
  return nullptr;
}

TQELTableDataBase* TQELDatabaseData::GetTableData(TQELStorageCursor* cursor) {
  TQELCriticalSectionGuard guard(FLock);
  if (TQELTableDataBase* found = FindTableData(cursor)) return found;
  TQELTableDataBase* created = CreateTableData(cursor);
  if (created == nullptr) throw EQELException(20137, "Nil pointer occured");
  return created;
}

void TQELDatabaseData::Commit(std::int32_t sessionID) {
  TQELCriticalSectionGuard guard(FLock);
  if (FPageManager) FPageManager->ApplyChanges(sessionID);
}

void TQELDatabaseData::Rollback(std::int32_t sessionID) {
  TQELCriticalSectionGuard guard(FLock);
  if (FPageManager) FPageManager->CancelChanges(sessionID);
  for (const auto& tableData : FTableDatas) tableData->RefreshIndexes(sessionID);
}

bool TQELDatabaseData::TableExists(std::string_view name) {
  std::vector<std::string> names;
  GetTableNames(names);
  const std::string wanted = QELUpperCase(name);
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& each) { return QELUpperCase(each) == wanted; });
}

void TQELDatabaseData::RemoveTableData(TQELTableDataBase* tableData) {
  TQELCriticalSectionGuard guard(FLock);
  std::erase_if(FTableDatas, [&](const auto& each) { return each.get() == tableData; });
}

TQELTableDataBase* TQELDatabaseData::AddTableData(std::unique_ptr<TQELTableDataBase> tableData) {
  if (tableData == nullptr) throw EQELException(20137, "Nil pointer occured");
  TQELCriticalSectionGuard guard(FLock);
  FTableDatas.push_back(std::move(tableData));
  return FTableDatas.back().get();
}

void TQELDatabaseData::SetPageManager(std::unique_ptr<TQELPageManager> pageManager) {
  TQELCriticalSectionGuard guard(FLock);
  FPageManager = std::move(pageManager);
}

}  // namespace qel
