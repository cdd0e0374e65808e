// TQELAppliedAtOnceTableData: page changes applied at once, and the DDL
// that shares that outline.

#include "storage/QELAppliedAtOnceTableData.h"

#include "pagecache/QELPageManager.h"
#include "storage/QELDatabaseData.h"

namespace qel {

void TQELAppliedAtOnceTableData::ApplyChanges(std::int32_t sessionID, bool) {
  PageManager().ApplyChanges(sessionID);
}

void TQELAppliedAtOnceTableData::CancelChanges(std::int32_t sessionID, bool) {
  PageManager().CancelChanges(sessionID);
}

void TQELAppliedAtOnceTableData::DeleteTable(TQELTableCursor& cursor, bool force) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  TQELTableData::DeleteTable(cursor, force);
  if (force && !Cursors().empty()) return;
  // Destroys this object.
  DatabaseData().RemoveTableData(this);
}

void TQELAppliedAtOnceTableData::AddCursor(TQELTableCursor* cursor) {
  if (cursor != nullptr) SetTableName(cursor->TableName());
  TQELTableData::AddCursor(cursor);
}

std::int32_t TQELAppliedAtOnceTableData::CreateIndex(const TQELIndexDef& indexDef,
                                                     TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  std::int32_t indexID = -1;
  ApplyAtOnce(cursor, [&] { indexID = TQELTableData::CreateIndex(indexDef, cursor); });
  return indexID;
}

void TQELAppliedAtOnceTableData::DropIndex(std::int32_t indexID, TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  ApplyAtOnce(cursor, [&] { TQELTableData::DropIndex(indexID, cursor); });
}

}  // namespace qel
