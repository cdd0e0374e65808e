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
  // Tables first: closing them still reads and writes pages.
  ClearTableDatas();
  if (DiskPageManager().IsOpen()) DiskPageManager().CloseDatabase();
}

TQELDiskPageManager& TQELDiskDatabaseData::DiskPageManager() const {
  return static_cast<TQELDiskPageManager&>(*PageManager());
}

void TQELDiskDatabaseData::CreateDatabaseFile(const TQELPassword& password,
                                              std::uint16_t pageSize,
                                              std::uint16_t pageCountInExtent,
                                              std::int32_t maxConnections) {
  TQELCriticalSectionGuard guard(Lock());
  DiskPageManager().CreateDatabase(DatabaseName(), password, pageCountInExtent, pageSize);
  FCatalog->Create(maxConnections);
}

void TQELDiskDatabaseData::Open(TQELDiskOpenOptions& options, bool& needRepair) {
  TQELCriticalSectionGuard guard(Lock());
  DiskPageManager().OpenDatabase(DatabaseName(), options.Password, options.MultiUser,
                                 options.Exclusive, needRepair, options.ReadOnly);
  try {
    FCatalog->Open();
  } catch (...) {
    DiskPageManager().CloseDatabase();
    throw;
  }
}

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

void TQELDiskDatabaseData::FlushBuffers() {
  TQELCriticalSectionGuard guard(Lock());
  DiskPageManager().File().FlushFileBuffers();
}

}  // namespace qel
