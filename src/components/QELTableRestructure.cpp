// TQELTable: rebuilding a table with a new structure while keeping its
// records. The table is renamed out of the way, a new one is created under
// its name from RestructureFieldDefs and RestructureIndexDefs, the records
// are copied across by field identity, and the old table is dropped. Any
// failure drops the new table and gives the old one its name back, so the
// table is never left under its temporary name.

#include <exception>
#include <string>

#include "components/QELTable.h"
#include "components/QELTableCopy.h"
#include "components/QELTableProgress.h"
#include "platform/QELFormat.h"
#include "platform/QELRandom.h"

namespace qel {

void TQELTable::UndoRestructureRename(const std::string& originalName) {
  if (Active()) Close();
  if (TableName() == originalName) return;
  const std::string temporaryName = TableName();
  // A new table already built under the original name goes first.
  SetTableName(originalName);
  if (Exists()) DeleteTable();
  SetTableName(temporaryName);
  RenameTable(originalName);
}

bool TQELTable::RestructureTable(std::string& log) {
  CheckInactive();
  bool continueCopy = true;
  const std::string originalName = TableName();
  RenameTable("OLD_" + originalName + "_" + std::to_string(QELRandom(1000000)));

  TQELTable rebuilt;
  rebuilt.SetTableName(originalName);
  rebuilt.SetSessionName(SessionName());
  rebuilt.SetDatabaseName(DatabaseName());
  rebuilt.SetInMemory(InMemory());
  rebuilt.SetTemporary(Temporary());
  rebuilt.AdvFieldDefs = RestructureFieldDefs;
  rebuilt.AdvIndexDefs = RestructureIndexDefs;
  try {
    rebuilt.CreateTable();
  } catch (const std::exception& error) {
    log += QELFormat("Error restructuring table. Cannot create table due to error: %s\r\n", {error.what()});
    UndoRestructureRename(originalName);
    return false;
  }

  const bool wasFiltered = Filtered();
  bool result = false;
  try {
    TOperationProgress progress(*this, TOperationProgress::okRestructure);
    rebuilt.Open();
    // Opening reads the definitions again, which would reset the target
    // structure the copy matches fields by.
    const TQELAdvFieldDefs target = RestructureFieldDefs;
    Open();
    RestructureFieldDefs = target;
    progress.Before();
    SetFilteredValue(false);
    TQELBulkTransaction transaction(Temporary() || InMemory() ? nullptr : Database());
    try {
      result = CopyRecords(this, *this, rebuilt, log, continueCopy, false, true, progress.Handler(), 0, 99);
    } catch (...) {
      transaction.Rollback();
      throw;
    }
    transaction.Commit();
    SetFilteredValue(wasFiltered);
    progress.After();
    Close();
    rebuilt.Close();
  } catch (...) {
    try {
      SetFilteredValue(wasFiltered);
      rebuilt.Close();
      UndoRestructureRename(originalName);
    } catch (...) {
      // The copy's failure is the one to report.
    }
    throw;
  }

  if (result) {
    try {
      DeleteTable();
    } catch (const std::exception& error) {
      log += QELFormat("Error restructuring table. Cannot delete table due to error: %s\r\n", {error.what()});
      result = false;
    }
    SetTableName(originalName);
  } else {
    UndoRestructureRename(originalName);
  }
  return result;
}

}  // namespace qel
