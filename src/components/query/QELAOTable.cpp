#include "components/query/QELAOTable.h"

#include "components/query/QELIndexConditions.h"
#include "components/query/QELTemporaryTable.h"
#include "platform/QELException.h"
#include "sql/QELExpressionCursor.h"

namespace qel {

namespace {

// The statement lock of a table while its plan opens.
constexpr std::uint8_t kStatementLock = 1;
constexpr std::int32_t kStatementLockAttempts = 2;
constexpr std::int32_t kStatementLockDelayMs = 20;

}  // namespace

TQELAOTable::TQELAOTable(const std::string& tableName, const std::string& alias, bool inMemory,
                         const TQELPlanContext& context)
    : FInMemory(inMemory), FContext(context) {
  FTableName = tableName;
  FAlias = alias;
}

TQELAOTable::TQELAOTable(std::unique_ptr<TQELTable> table, std::vector<TQELFieldLink> columns)
    : FInMemory(false), FOwnsTemporary(true) {
  FTableName = table->TableName();
  FResult = std::move(table);
  FColumns = std::move(columns);
  for (std::size_t i = 0; i < FColumns.size(); ++i) FColumns[i].SourceColumn = static_cast<std::int32_t>(i);
}

TQELAOTable::~TQELAOTable() {
  try {
    Unlock(20227);
  } catch (...) {
  }
  if (FOwnsTemporary) QELDropTemporaryTable(FResult);
}

void TQELAOTable::OpenTable() {
  auto table = std::make_unique<TQELTable>();
  try {
    table->SetSessionName(FContext.SessionName);
    if (FInMemory) {
      table->SetInMemory(true);
    } else {
      table->SetDatabaseName(FContext.DatabaseName);
    }
    table->SetTableName(FTableName);
    table->DisableTempFiles = true;
    table->Open();
  } catch (const std::exception& error) {
    throw EQELException(10303, "Error on opening table \"%s\" (InMemory = %d) in SQL query: %s",
                        {FTableName, FInMemory ? 1 : 0, std::string(error.what())});
  }
  const TQELFieldDefs& fields = table->Cursor()->VisibleFieldDefs();
  FColumns.clear();
  for (std::int32_t i = 0; i < fields.Count(); ++i) {
    TQELFieldLink& column = FColumns.emplace_back();
    column.DisplayName = fields[i].Name();
    column.FieldName = fields[i].Name();
    column.TableName = FAlias.empty() ? FTableName : FAlias;
    column.DataType = fields[i].AdvancedFieldType();
    column.Size = fields[i].Size();
    column.SourceColumn = i;
  }
  FResult = std::move(table);
}

void TQELAOTable::SetVisible(const std::vector<std::string>& fieldNames,
                             const std::vector<std::string>& displayNames) {
  FVisibleNames = fieldNames;
  FDisplayNames = displayNames;
}

void TQELAOTable::SetOrder(std::vector<std::string> fields, std::vector<std::string> directions,
                           std::vector<std::string> cases) {
  FOrderFields = std::move(fields);
  FOrderDirections = std::move(directions);
  FOrderCases = std::move(cases);
}

void TQELAOTable::Open() {
  TQELCursor& cursor = *FResult->Cursor();
  if (FFilter != nullptr && !FFilter->IsEmpty()) {
    QELSetSQLFilter(cursor, *FFilter, FContext.OuterSource, TableNames());
  }
  if (!FOrderFields.empty()) {
    cursor.SetIndexName(cursor.GetIndexForFields(FOrderFields, FOrderDirections, FOrderCases));
  }
  if (!FVisibleNames.empty()) {
    cursor.SetProjection(FVisibleNames, FDisplayNames);
    cursor.IsProjection = true;
  }
  for (TQELFieldLink& column : FColumns) column.IsHidden = false;
}

void TQELAOTable::Renew() { QELRenewSQLFilter(*FResult->Cursor()); }

std::vector<std::string> TQELAOTable::TableNames() const {
  std::vector<std::string> names{FTableName};
  if (!FAlias.empty()) names.push_back(FAlias);
  return names;
}

bool TQELAOTable::TryLock() {
  FLocked = FResult->Cursor()->LockTable(kStatementLock, kStatementLockAttempts, kStatementLockDelayMs, 1);
  return FLocked;
}

void TQELAOTable::Unlock(std::int32_t failureCode) {
  if (!FLocked) return;
  FLocked = false;
  if (!FResult->Cursor()->UnlockTable(kStatementLock, false)) throw EQELException(failureCode, "Cannot unlock table");
}

}  // namespace qel
