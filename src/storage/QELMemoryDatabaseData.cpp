// TQELMemoryDatabaseData: the memory database's tables and object ids.

#include "storage/QELMemoryDatabaseData.h"

#include <memory>

#include "platform/QELException.h"
#include "storage/QELMemoryTableData.h"

namespace qel {

TQELMemoryDatabaseData::TQELMemoryDatabaseData() : TQELDatabaseData(kDatabaseName) {}

TQELMemoryDatabaseData::~TQELMemoryDatabaseData() { ClearTableDatas(); }

TQELTableDataBase* TQELMemoryDatabaseData::CreateTableData(TQELStorageCursor* cursor) {
  if (cursor == nullptr) throw EQELException(20136, "Nil pointer occured");
  return AddTableData(std::make_unique<TQELMemoryTableData>(*this, cursor->TableName()));
}

std::int32_t TQELMemoryDatabaseData::GetNextObjectID() {
  TQELCriticalSectionGuard guard(Lock());
  return ++FLastObjectID;
}

}  // namespace qel
