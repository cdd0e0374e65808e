// TQELTemporaryDatabaseData: the temporary database's tables and object ids.

#include "storage/QELTemporaryDatabaseData.h"

#include <memory>

#include "platform/QELException.h"

namespace qel {

TQELTemporaryDatabaseData::TQELTemporaryDatabaseData() : TQELDatabaseData(kDatabaseName) {}

TQELTemporaryDatabaseData::~TQELTemporaryDatabaseData() { ClearTableDatas(); }

TQELTableDataBase* TQELTemporaryDatabaseData::CreateTableData(TQELStorageCursor* cursor) {
  if (cursor == nullptr) throw EQELException(20136, "Nil pointer occured");
  TQELCriticalSectionGuard guard(Lock());
  return AddTableData(
      std::make_unique<TQELTemporaryTableData>(*this, cursor->TableName(), FLimits));
}

std::int32_t TQELTemporaryDatabaseData::GetNextObjectID() {
  TQELCriticalSectionGuard guard(Lock());
  return ++FLastObjectID;
}

void TQELTemporaryDatabaseData::SetMemoryLimits(const TQELTemporaryMemoryLimits& limits) {
  TQELCriticalSectionGuard guard(Lock());
  FLimits = limits;
}

}  // namespace qel
