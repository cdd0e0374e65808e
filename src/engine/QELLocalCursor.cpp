// TQELLocalCursor: opening and closing, the table's DDL, indexes, reading,
// searching and the change frame. The editing protocol is in
// QELLocalCursorEditing.cpp, BLOB streams in QELLocalCursorBlobs.cpp.

#include "engine/QELLocalCursor.h"

#include <cstring>
#include <exception>

#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskTableData.h"
#include "engine/QELDatabaseList.h"
#include "engine/QELFieldValuesFilter.h"
#include "engine/QELLocalSession.h"
#include "memory/QELMemory.h"
#include "platform/QELCollation.h"
#include "platform/QELException.h"
#include "storage/QELConstraintManager.h"
#include "storage/QELRecordData.h"

namespace qel {

TQELLocalCursor::~TQELLocalCursor() {
  try {
    Close();
  } catch (...) {
  }
}

std::int32_t TQELLocalCursor::SessionID() const {
  return Session != nullptr ? Session->SessionID() : TQELTableCursor::SessionID();
}

bool TQELLocalCursor::InTransaction() const {
  return Session != nullptr ? Session->InTransaction() : TQELTableCursor::InTransaction();
}

// ---- Frame -----------------------------------------------------------------

TQELDatabaseData& TQELLocalCursor::Database() const {
  if (Session == nullptr) throw EQELException(20151, "Pointer is nil");
  // Like the session's own table lookups, a cursor connects its session.
  Session->SetConnected(true);
  return *Session->DatabaseData();
}

TQELLocalCursor::TDatabaseLock TQELLocalCursor::LockedDatabase() const {
  return TDatabaseLock(Database().Lock());
}

TQELTableData& TQELLocalCursor::OpenTableData() const {
  if (FTableData == nullptr) {
    throw EQELException(20152, "Cannot perform this operation on a closed table '%s'",
                        {TableName()});
  }
  return *FTableData;
}

bool TQELLocalCursor::IsTemporaryDatabase() const {
  return FTableData != nullptr &&
         QELDatabaseKindOf(FTableData->DatabaseData().DatabaseName()) == dkTemporary;
}

bool TQELLocalCursor::MultiUserDisk() const {
  return FDiskTable != nullptr && Session != nullptr && Session->MultiUser();
}

void TQELLocalCursor::LockDatabase() { Database().Lock().lock(); }

void TQELLocalCursor::UnlockDatabase() { Database().Lock().unlock(); }

namespace {

void CheckTableName(const std::string& name) {
  if (name.find_first_not_of(" \t\r\n") == std::string::npos) {
    throw EQELException(20153, "Table name is not specified");
  }
}

TQELTableData* AsTableData(TQELTableDataBase* base, std::int32_t code, const std::string& name) {
  auto* table = dynamic_cast<TQELTableData*>(base);
  if (table == nullptr) throw EQELException(code, "Table not found, table name = %s", {name});
  return table;
}

// A disk table's object serves no cursor once a structural change is over.
void ReleaseUnusedDiskTable(TQELDatabaseData& database, TQELStorageCursor& cursor) {
  if (auto* disk = dynamic_cast<TQELDiskTableData*>(database.FindTableData(&cursor))) {
    disk->ReleaseIfUnused();
  }
}

}  // namespace

template <class TBody>
void TQELLocalCursor::RunOnTable(std::int32_t missingCode, std::int32_t noDataCode, TBody body) {
  Close();
  TQELDatabaseData& database = Database();
  TDatabaseLock lock(database.Lock());
  CheckTableName(TableName());
  if (!database.TableExists(TableName())) {
    throw EQELException(missingCode, "Table '%s' not found", {TableName()});
  }
  TQELTableData* table = AsTableData(database.GetTableData(this), noDataCode, TableName());
  try {
    body(*table);
  } catch (...) {
    ReleaseUnusedDiskTable(database, *this);
    throw;
  }
  ReleaseUnusedDiskTable(database, *this);
}

// ---- DDL -------------------------------------------------------------------

void TQELLocalCursor::CreateTable(const TQELFieldDefs& fieldDefs, const TQELIndexDefs& indexDefs,
                                  const TQELConstraintDefs& constraintDefs) {
  Close();
  TQELDatabaseData& database = Database();
  TDatabaseLock lock(database.Lock());
  CheckTableName(TableName());
  if (database.TableExists(TableName())) {
    AsTableData(database.GetTableData(this), 10027, TableName())->DeleteTable(*this, false);
  }
  auto* table = dynamic_cast<TQELTableData*>(database.GetTableData(this));
  if (table == nullptr) throw EQELException(20151, "Pointer is nil");
  try {
    table->CreateTable(*this, fieldDefs, constraintDefs, indexDefs);
  } catch (...) {
    // A table that was never made must not stay listed as one.
    if (!database.TableExists(TableName()) && database.FindTableData(this) == table &&
        table->Cursors().empty()) {
      database.RemoveTableData(table);
    }
    throw;
  }
  ReleaseUnusedDiskTable(database, *this);
}

void TQELLocalCursor::DeleteTable() {
  RunOnTable(20132, 10027, [&](TQELTableData& table) { table.DeleteTable(*this, false); });
}

void TQELLocalCursor::EmptyTable() {
  RunOnTable(20133, 10073, [&](TQELTableData& table) { table.EmptyTable(*this); });
}

void TQELLocalCursor::RenameTable(const std::string& newName) {
  RunOnTable(20134, 10151, [&](TQELTableData& table) {
    CheckTableName(newName);
    if (QELUpperCase(newName) != QELUpperCase(TableName()) &&
        table.DatabaseData().TableExists(newName)) {
      throw EQELException(30451, "Table %s already exists", {newName});
    }
    if (newName == TableName()) {
      throw EQELException(30452, "Cannot rename table '%s' into itself", {TableName()});
    }
    table.RenameTable(newName, *this);
    SetTableName(newName);
  });
}

void TQELLocalCursor::RenameField(const std::string& oldName, const std::string& newName) {
  TDatabaseLock lock = LockedDatabase();
  OpenTableData().RenameField(oldName, newName);
  InitFieldDefs();
}

// ---- Open and close --------------------------------------------------------

void TQELLocalCursor::InitFieldDefs() {
  TQELTableData& table = OpenTableData();
  FFieldDefs = table.FieldDefs();
  FFieldDefs.RecalcOffsets();
  RecordSize = FFieldDefs.MemoryRecordSize();
  FirstFieldOffset = FFieldDefs.NullFlagsSize();
  if (!IsProjection || FSourceFieldNos.empty()) CopyVisibleFromTable();
  RefreshDefinitions();
}

void TQELLocalCursor::RefreshDefinitions() {
  TQELTableData& table = OpenTableData();
  if (table.IndexManager() != nullptr) FIndexDefs = table.IndexManager()->IndexDefs();
  if (table.ConstraintManager() != nullptr) {
    FConstraintDefs = table.ConstraintManager()->ConstraintDefs();
  }
  // An active index that is gone leaves the natural order.
  if (FIndexDefs.FindIndexByName(FIndexName) == nullptr) FIndexName.clear();
  SetIndexName(FIndexName);
}

void TQELLocalCursor::Open(const TQELFieldDefs& fieldDefs, const TQELIndexDefs& indexDefs,
                           const TQELConstraintDefs& constraintDefs) {
  if (Active) return;
  TQELDatabaseData& database = Database();
  TDatabaseLock lock(database.Lock());
  CheckTableName(TableName());
  const bool onDisk = dynamic_cast<TQELDiskDatabaseData*>(&database) != nullptr;
  TQELTableDataBase* found = database.FindTableData(this);
  bool created = false;
  if (found == nullptr) {
    if (!onDisk && !CreateIfMissing) {
      throw EQELException(10028, "Table not found, table name = %s", {TableName()});
    }
    found = database.CreateTableData(this);
    created = !onDisk;
  }
  TQELTableData* table = AsTableData(found, 10028, TableName());
  if (created) {
    try {
      table->CreateTable(*this, fieldDefs, constraintDefs, indexDefs);
    } catch (...) {
      database.RemoveTableData(table);
      throw;
    }
  }
  auto* disk = dynamic_cast<TQELDiskTableData*>(table);
  if (disk != nullptr) {
    disk->SetRepairMode(RepairMode);
    if (disk->Cursors().empty()) disk->SetMemoryOnly(DisableTempFiles);
  }
  try {
    table->AddCursor(this);
    table->InitCursor(*this);
  } catch (...) {
    try {
      table->RemoveCursor(this);
    } catch (...) {
    }
    if (disk != nullptr) disk->ReleaseIfUnused();
    throw;
  }
  FTableData = table;
  FDiskTable = disk;
  BeforeFirst = true;
  AfterLast = false;
  Active = true;
  InitFieldDefs();
}

void TQELLocalCursor::Close() {
  if (!Active && FTableData == nullptr) return;
  TDatabaseLock lock(FTableData->DatabaseData().Lock());
  std::exception_ptr failure;
  try {
    CloseBlobStreams(false);
  } catch (...) {
    failure = std::current_exception();
  }
  TQELTableData* table = FTableData;
  TQELDiskTableData* disk = FDiskTable;
  try {
    table->RemoveCursor(this);
    if (CreateIfMissing && (InMemory || Temporary) && disk == nullptr) {
      table->DeleteTable(*this, true);
    } else if (disk != nullptr) {
      disk->ReleaseIfUnused();
    }
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  FreeOpenState();
  if (failure) std::rethrow_exception(failure);
}

void TQELLocalCursor::FreeOpenState() {
  FBlobStreams.clear();
  RecordBitmap.reset();
  IndexPositionCache.Clear();
  FOwnedFilter.reset();
  Filter = nullptr;
  FIndexDefs.Clear();
  FConstraintDefs.Clear();
  if (!IsProjection) {
    FFieldDefs.Clear();
    FVisibleFieldDefs.Clear();
    FSourceFieldNos.clear();
  }
  FTableData = nullptr;
  FDiskTable = nullptr;
  Active = false;
}

bool TQELLocalCursor::LockTable(std::uint8_t kind, std::int32_t attempts, std::int32_t delayMs,
                                std::uint8_t flag) {
  if (FDiskTable == nullptr) return true;
  return FDiskTable->LockTable(SessionID(), kind, attempts, flag, delayMs);
}

bool TQELLocalCursor::UnlockTable(std::uint8_t kind, bool flag) {
  if (FDiskTable == nullptr) return true;
  return FDiskTable->UnlockTable(SessionID(), kind, flag);
}

// ---- Indexes ---------------------------------------------------------------

const TQELIndexDefs& TQELLocalCursor::GetIndexDefs() {
  TDatabaseLock lock = LockedDatabase();
  RefreshDefinitions();
  return FIndexDefs;
}

void TQELLocalCursor::CreateIndex(const TQELIndexDef& indexDef) {
  TDatabaseLock lock = LockedDatabase();
  TQELTableData& table = OpenTableData();
  if (FIndexDefs.FindIndexByName(indexDef.Name()) != nullptr) {
    throw EQELException(20022, "Cannot create index '%s'. Index already exists", {indexDef.Name()});
  }
  try {
    table.CreateIndex(indexDef, *this);
  } catch (...) {
    RefreshDefinitions();
    throw;
  }
  RefreshDefinitions();
}

void TQELLocalCursor::DropIndex(const std::string& name) {
  TDatabaseLock lock = LockedDatabase();
  TQELTableData& table = OpenTableData();
  const TQELIndexDef* def = FIndexDefs.FindIndexByName(name);
  if (def == nullptr) throw EQELException(20021, "Cannot delete index '%s'. Index not found", {name});
  try {
    table.DropIndex(def->ObjectID(), *this);
  } catch (...) {
    RefreshDefinitions();
    throw;
  }
  RefreshDefinitions();
}

void TQELLocalCursor::DropAllIndexes() {
  TDatabaseLock lock = LockedDatabase();
  TQELTableData& table = OpenTableData();
  RefreshDefinitions();
  while (FIndexDefs.Count() > 0) {
    const std::int32_t before = FIndexDefs.Count();
    table.DropIndex(FIndexDefs[0].ObjectID(), *this);
    RefreshDefinitions();
    if (FIndexDefs.Count() >= before) break;  // nothing more can be dropped
  }
}

TQELIndexColumnRequest TQELLocalCursor::TableColumns(const std::vector<std::string>& fieldNames,
                                                     const std::vector<std::string>& directions,
                                                     const std::vector<std::string>& cases) const {
  TQELIndexColumnRequest request;
  for (const std::string& name : fieldNames) {
    const std::int32_t visible = FVisibleFieldDefs.IndexOfName(name);
    if (visible < 0) throw EQELException(20302, "Field '%s' not found", {name});
    request.FieldNames.push_back(FFieldDefs[SourceFieldNo(visible)].Name());
  }
  request.Directions = directions;
  request.Cases = cases;
  return request;
}

std::string TQELLocalCursor::GetIndexForFields(const std::vector<std::string>& fieldNames,
                                               const std::vector<std::string>& directions,
                                               const std::vector<std::string>& cases) {
  TDatabaseLock lock = LockedDatabase();
  TQELTableData& table = OpenTableData();
  const std::int32_t indexID =
      table.CreateTemporaryIndex(*this, TableColumns(fieldNames, directions, cases));
  RefreshDefinitions();
  const TQELIndexDef* def = FIndexDefs.FindByID(indexID);
  if (def == nullptr) throw EQELException(20154, "Nil pointer occured");
  return def->Name();
}

bool TQELLocalCursor::IndexExistsForFields(const std::vector<std::string>& fieldNames,
                                           const std::vector<std::string>& directions,
                                           const std::vector<std::string>& cases) {
  TDatabaseLock lock = LockedDatabase();
  TQELTableData& table = OpenTableData();
  const TQELIndexColumnRequest request = TableColumns(fieldNames, directions, cases);
  if (table.IndexManager() == nullptr) return false;
  return table.IndexManager()->IndexDefs().IndexExists(request.FieldNames, request.Directions,
                                                       request.Cases, table.FieldDefs(),
                                                       SessionID());
}

void TQELLocalCursor::SetDistinctFields(const std::vector<std::string>& fieldNames,
                                        const std::vector<std::string>& directions,
                                        const std::vector<std::string>& cases) {
  SetIndexName(GetIndexForFields(fieldNames, directions, cases));
  DistinctFieldCount = static_cast<std::int32_t>(fieldNames.size());
  RestrictionsChanged();
}

// ---- Records ---------------------------------------------------------------

void TQELLocalCursor::CopyFieldValue(std::int32_t fieldNo, bool fromVisible, TQELCursor& dest,
                                     std::int32_t destFieldNo) {
  CheckFieldNo(fieldNo, fromVisible ? FVisibleFieldDefs : FFieldDefs, 10501);
  CheckFieldNo(destFieldNo, dest.VisibleFieldDefs(), 10502);
  if (RecordBuffer == nullptr || dest.RecordBuffer == nullptr) {
    throw EQELException(10503, "Nil pointer occured");
  }
  const std::int32_t source = fromVisible ? SourceFieldNo(fieldNo) : fieldNo;
  const std::int32_t target = dest.SourceFieldNo(destFieldNo);
  const TQELFieldDef& from = FFieldDefs[source];
  const TQELFieldDef& to = dest.FieldDefs()[target];
  if (IsNull(source, RecordBuffer)) {
    SetNull(true, target, dest.RecordBuffer);
    return;
  }
  const bool fromBlob = IsBlobBaseType(from.BaseFieldType());
  const bool toBlob = IsBlobBaseType(to.BaseFieldType());
  auto* local = dynamic_cast<TQELLocalCursor*>(&dest);
  if (fromBlob && toBlob && local != nullptr) {
    // The compressed blocks move as they are.
    TDatabaseLock lock = LockedDatabase();
    std::vector<std::uint8_t> data;
    TQELBlobDescriptor descriptor;
    OpenTableData().ReadBlobData(SessionID(), source, data, descriptor, RecordBuffer);
    TQELTableData& destTable = local->OpenTableData();
    destTable.WriteBlobData(*local, target, data, descriptor, dest.RecordBuffer);
    destTable.FreeBlobData(data);
    return;
  }
  if (!fromBlob && !toBlob && from.BaseFieldType() == to.BaseFieldType() &&
      from.MemoryDataSize() == to.MemoryDataSize()) {
    std::memcpy(dest.RecordBuffer + to.MemoryOffset(), RecordBuffer + from.MemoryOffset(),
                static_cast<std::size_t>(from.MemoryDataSize()));
    SetNull(false, target, dest.RecordBuffer);
    return;
  }
  TQELVariant value;
  GetFieldValue(value, source, false);
  dest.SetFieldValue(value, target, dest.RecordBuffer, false);
}

void TQELLocalCursor::InitRecord(std::uint8_t* buffer, bool applyDefaults) {
  if (buffer == nullptr) throw EQELException(20155, "Nil pointer occured");
  std::memset(buffer, 0, static_cast<std::size_t>(RecordSize));
  std::memset(buffer, 0xFF, static_cast<std::size_t>(FFieldDefs.NullFlagsSize()));
  if (Temporary || !applyDefaults) return;
  TDatabaseLock lock = LockedDatabase();
  TQELTableData& table = OpenTableData();
  if (table.FieldManager() != nullptr) table.FieldManager()->ApplyDefaultValues(buffer);
}

void TQELLocalCursor::FreeRecordBuffer(std::uint8_t*& buffer) {
  if (buffer == nullptr) return;
  if (FTableData != nullptr) {
    TDatabaseLock lock(FTableData->DatabaseData().Lock());
    FTableData->ReleaseRecordBuffer(buffer);
  }
  void* memory = buffer;
  QELMemoryManager().FreeAndNillMem(memory);
  buffer = nullptr;
}

std::int64_t TQELLocalCursor::GetRecordCount() {
  TDatabaseLock lock = LockedDatabase();
  return OpenTableData().GetRecordCount(*this);
}

TQELGetRecordResult TQELLocalCursor::GetRecord(TQELGetRecordMode mode) {
  TDatabaseLock lock = LockedDatabase();
  const TQELGetRecordResult result = OpenTableData().GetRecord(*this, mode);
  if (result == grOK && RecordBuffer != nullptr) WriteBookmark(RecordBuffer, Position, bfCurrent);
  return result;
}

void TQELLocalCursor::SetRecNo(std::int64_t recNo) {
  TDatabaseLock lock = LockedDatabase();
  OpenTableData().SetRecNo(*this, recNo);
  // The record read is the one the next edit starts from.
  if (RecordBuffer != nullptr && !BeforeFirst && !AfterLast) {
    WriteBookmark(RecordBuffer, Position, bfCurrent);
  }
}

std::int64_t TQELLocalCursor::GetRecNo() {
  TDatabaseLock lock = LockedDatabase();
  return OpenTableData().GetRecNo(*this);
}

void TQELLocalCursor::First() {
  BeforeFirst = true;
  AfterLast = false;
}

void TQELLocalCursor::Last() {
  BeforeFirst = false;
  AfterLast = true;
}

TQELRecordID TQELLocalCursor::BookmarkPosition() const {
  TQELRecordID id{};
  std::memcpy(id.data(), RecordBuffer + BookmarkOffset(), id.size());
  return id;
}

void TQELLocalCursor::WriteBookmark(std::uint8_t* buffer, const TQELRecordID& id,
                                    TQELBookmarkFlag flag) const {
  std::memcpy(buffer + BookmarkOffset(), id.data(), id.size());
  buffer[BookmarkOffset() + kQELRecordIDSize] = flag;
}

// ---- Filters and searches --------------------------------------------------

void TQELLocalCursor::SetFilter(const std::string& text, bool caseInsensitive,
                                bool partialCompare) {
  const TQELCursorFilterFactory factory = FilterFactory();
  if (factory == nullptr) throw EQELException(20300, "Filter expressions are not available");
  std::unique_ptr<TQELRecordFilter> filter = factory(*this, text, caseInsensitive, partialCompare);
  FOwnedFilter = std::move(filter);
  Filter = FOwnedFilter.get();
  RestrictionsChanged();
}

void TQELLocalCursor::ClearFilter() {
  FOwnedFilter.reset();
  Filter = nullptr;
  RestrictionsChanged();
}

bool TQELLocalCursor::LocateWith(TQELRecordFilter& filter,
                                 const TQELScanSearchConditionArray* derived) {
  TQELTableData& table = OpenTableData();
  const bool found = table.LocateRecord(*this, &filter, derived);
  if (found && RecordBuffer != nullptr) WriteBookmark(RecordBuffer, Position, bfCurrent);
  return found;
}

bool TQELLocalCursor::Locate(const std::vector<std::string>& keyFields,
                             const std::vector<TQELVariant>& keyValues, bool partialKey,
                             bool caseInsensitive) {
  if (keyFields.size() != keyValues.size()) {
    throw EQELException(20303, "Error - different lists length. L1 = %d, L2 = %d",
                        {static_cast<std::int64_t>(keyFields.size()),
                         static_cast<std::int64_t>(keyValues.size())});
  }
  if (keyFields.empty()) return false;
  TDatabaseLock lock = LockedDatabase();
  TQELTableData& table = OpenTableData();
  TQELFieldValuesFilter filter(FFieldDefs, partialKey, caseInsensitive);
  for (std::size_t i = 0; i < keyFields.size(); ++i) {
    const std::int32_t visible = FVisibleFieldDefs.IndexOfName(keyFields[i]);
    if (visible < 0) throw EQELException(20302, "Field '%s' not found", {keyFields[i]});
    filter.Add(SourceFieldNo(visible), sctEqual, keyValues[i], true);
  }
  TQELScanSearchConditionArray derived;
  if (table.IndexManager() != nullptr) {
    filter.DeriveIndexConditions(table.IndexManager()->IndexDefs(), SessionID(), RecordSize,
                                 derived);
  }
  return LocateWith(filter, &derived);
}

bool TQELLocalCursor::LocateCondition(const std::string& fieldName, TQELSearchConditionType kind,
                                      const TQELVariant& value) {
  TDatabaseLock lock = LockedDatabase();
  TQELTableData& table = OpenTableData();
  const std::int32_t visible = FVisibleFieldDefs.IndexOfName(fieldName);
  if (visible < 0) throw EQELException(20302, "Field '%s' not found", {fieldName});
  TQELFieldValuesFilter filter(FFieldDefs, false, false);
  filter.Add(SourceFieldNo(visible), kind, value, false);
  TQELScanSearchConditionArray derived;
  if (table.IndexManager() != nullptr) {
    filter.DeriveIndexConditions(table.IndexManager()->IndexDefs(), SessionID(), RecordSize,
                                 derived);
  }
  return LocateWith(filter, &derived);
}

bool TQELLocalCursor::SearchKey(TQELSearchConditionType conditionType) {
  TDatabaseLock lock = LockedDatabase();
  const bool found = OpenTableData().SearchKey(*this, conditionType);
  if (found && RecordBuffer != nullptr) WriteBookmark(RecordBuffer, Position, bfCurrent);
  return found;
}

// ---- Sequences, change frame, constraints ----------------------------------

std::int64_t TQELLocalCursor::GetLastAutoincValue(std::int32_t fieldNo) {
  TDatabaseLock lock = LockedDatabase();
  return OpenTableData().GetLastAutoincValue(fieldNo, *Session);
}

void TQELLocalCursor::BeginChanges() {
  if (!InTransaction()) ChangesPending = true;
}

void TQELLocalCursor::ApplyChanges() {
  if (InTransaction() || !ChangesPending) return;
  ChangesPending = false;
  TDatabaseLock lock = LockedDatabase();
  // Every storage kind keeps the pages of pending changes until told.
  OpenTableData().ApplyChanges(SessionID(), false);
}

void TQELLocalCursor::CancelChanges() {
  if (InTransaction() || !ChangesPending) return;
  ChangesPending = false;
  TDatabaseLock lock = LockedDatabase();
  OpenTableData().CancelChanges(SessionID(), false);
}

bool TQELLocalCursor::CheckConstraints(bool isInsert) {
  TDatabaseLock lock = LockedDatabase();
  TQELTableData& table = OpenTableData();
  if (table.ConstraintManager() == nullptr) return true;
  if (RecordBuffer == nullptr) throw EQELException(20156, "Nil pointer occured");
  return table.ConstraintManager()->CheckConstraints(SessionID(), RecordBuffer, false, Position,
                                                     !isInsert, OldRecordBuffer);
}

}  // namespace qel
