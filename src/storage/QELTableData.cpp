// TQELTableData: definitions, DDL and the record operations every storage
// kind shares.

#include "storage/QELTableData.h"

#include <algorithm>

#include "pagecache/QELPageManager.h"
#include "platform/QELCollation.h"
#include "platform/QELException.h"
#include "storage/QELConstraintManager.h"
#include "storage/QELDatabaseData.h"
#include "storage/QELRecordSearch.h"

namespace qel {

namespace {

// Marks the cursor as reading the record its search just found, for as long
// as it lives (also when the read fails).
struct TReadingFoundRecord {
  explicit TReadingFoundRecord(TQELTableCursor& cursor) : Cursor(cursor) { Cursor.ReadingFoundRecord = true; }
  ~TReadingFoundRecord() { Cursor.ReadingFoundRecord = false; }
  TReadingFoundRecord(const TReadingFoundRecord&) = delete;
  TReadingFoundRecord& operator=(const TReadingFoundRecord&) = delete;
  TQELTableCursor& Cursor;
};

}  // namespace

// Reads through the table's record manager of the moment.
class TQELTableData::TRecordReader final : public TQELRecordReader {
 public:
  explicit TRecordReader(TQELTableData& tableData) : FTableData(tableData) {}
  void GetRecord(std::int32_t sessionID, TQELRecordRequest& request) override {
    FTableData.CheckedRecordManager(10015).GetRecord(sessionID, request);
  }

 private:
  TQELTableData& FTableData;
};

// What the constraint manager sees of the table.
class TQELTableData::TConstraintTable final : public TQELConstraintTable {
 public:
  explicit TConstraintTable(TQELTableData& tableData) : FTableData(tableData) {}
  std::string TableName() const override { return FTableData.TableName(); }
  const TQELFieldDefs& FieldDefs() const override { return FTableData.FieldDefs(); }
  const TQELIndexDefs& IndexDefs() const override {
    return FTableData.CheckedIndexManager(10380).IndexDefs();
  }
  TQELIndex& GetIndex(std::int32_t indexID) override {
    return FTableData.CheckedIndexManager(10380).GetIndex(indexID);
  }
  std::int64_t RecordCount() const override {
    return FTableData.CheckedRecordManager(10015).RecordCount();
  }
  std::int32_t GetNextObjectID() override { return FTableData.GetNextObjectID(); }

 private:
  TQELTableData& FTableData;
};

TQELTableData::TQELTableData(TQELDatabaseData& databaseData, TQELPageManager& pageManager,
                             std::string tableName)
    : TQELTableDataBase(std::move(tableName)),
      FDatabaseData(databaseData),
      FPageManager(pageManager),
      FRecordReader(std::make_unique<TRecordReader>(*this)),
      FConstraintTable(std::make_unique<TConstraintTable>(*this)) {}

TQELTableData::~TQELTableData() { FreeManagers(); }

void TQELTableData::FreeManagers() {
  FFieldManager.reset();
  FIndexManager.reset();
  FConstraintManager.reset();
  FRecordManager.reset();
}

void TQELTableData::CreateEmptyManagers() {
  FFieldManager = NewFieldManager();
  FIndexManager = NewIndexManager();
  FConstraintManager = NewConstraintManager();
}

void TQELTableData::CreateIndexStorages(std::int32_t sessionID) {
  TQELIndexDefs& defs = CheckedIndexManager(10380).IndexDefs();
  for (std::int32_t i = 0; i < defs.Count(); ++i) {
    FIndexManager->CreateIndexStorage(sessionID, defs[i].ObjectID());
  }
}

const TQELFieldDefs& TQELTableData::FieldDefs() const {
  if (!FFieldManager) throw EQELException(10015, "Nil pointer occured");
  return FFieldManager->FieldDefs();
}

TQELBaseRecordManager& TQELTableData::CheckedRecordManager(std::int32_t nativeError) const {
  if (!FRecordManager) throw EQELException(nativeError, "Nil pointer occured");
  return *FRecordManager;
}

TQELBaseIndexManager& TQELTableData::CheckedIndexManager(std::int32_t nativeError) const {
  if (!FIndexManager) throw EQELException(nativeError, "Nil pointer occured");
  return *FIndexManager;
}

TQELRecordReader& TQELTableData::RecordReader() const { return *FRecordReader; }

std::int32_t TQELTableData::GetNextObjectID() { return FDatabaseData.GetNextObjectID(); }

std::unique_ptr<TQELBaseFieldManager> TQELTableData::NewFieldManager() {
  return std::make_unique<TQELBaseFieldManager>(this);
}

std::unique_ptr<TQELBaseIndexManager> TQELTableData::NewIndexManager() {
  return std::make_unique<TQELBaseIndexManager>(*this, FPageManager, TemporaryPageManager());
}

std::unique_ptr<TQELBaseConstraintManager> TQELTableData::NewConstraintManager() {
  return std::make_unique<TQELBaseConstraintManager>(*FConstraintTable);
}

void TQELTableData::SetRecordManager(std::unique_ptr<TQELBaseRecordManager> recordManager) {
  FRecordManager = std::move(recordManager);
}

// ---- Definitions -----------------------------------------------------------

void TQELTableData::SetFieldDefs(const TQELFieldDefs& defs) {
  TQELFieldDefs numbered = defs;
  for (std::int32_t i = 0; i < numbered.Count(); ++i) numbered[i].SetObjectID(GetNextObjectID());
  auto fieldManager = NewFieldManager();
  fieldManager->SetFieldDefs(numbered);
  // Live indexes point into the old layout.
  if (FIndexManager) FIndexManager->FreeIndexObjects();
  FFieldManager = std::move(fieldManager);
}

void TQELTableData::SetIndexDefs(const TQELIndexDefs& defs) {
  TQELIndexDefs numbered = defs;
  for (std::int32_t i = 0; i < numbered.Count(); ++i) numbered[i].SetObjectID(GetNextObjectID());
  auto indexManager = NewIndexManager();
  indexManager->SetIndexDefs(numbered);
  FIndexManager = std::move(indexManager);
}

void TQELTableData::SetConstraintDefs(const TQELConstraintDefs& defs) {
  auto constraintManager = NewConstraintManager();
  FConstraintManager = std::move(constraintManager);
  FConstraintManager->SetConstraintDefs(defs, UnsupportedConstraintError());
}

void TQELTableData::InitCursor(TQELTableCursor& cursor) {
  const TQELFieldDefs& fields = FieldDefs();
  if (fields.Count() == 0) {
    throw EQELException(10131, "Error creating table - no fields were specified");
  }
  cursor.RecordSize = fields.MemoryRecordSize();
  cursor.FirstFieldOffset = fields.NullFlagsSize();
}

void TQELTableData::InitializeNewTable(TQELTableCursor& cursor, const TQELFieldDefs& fieldDefs,
                                       const TQELConstraintDefs& constraintDefs,
                                       const TQELIndexDefs& indexDefs) {
  SetFieldDefs(fieldDefs);
  SetIndexDefs(indexDefs);
  SetConstraintDefs(constraintDefs);
  CreateRecordManager();
  InitCursor(cursor);
  CreateIndexStorages(cursor.SessionID());
}

// ---- Changes of pages ------------------------------------------------------

void TQELTableData::ApplyChanges(std::int32_t sessionID, bool inTransaction) {
  if (!inTransaction) FPageManager.ApplyChanges(sessionID);
}

void TQELTableData::CancelChanges(std::int32_t sessionID, bool inTransaction) {
  if (!inTransaction) FPageManager.CancelChanges(sessionID);
}

// ---- DDL -------------------------------------------------------------------

void TQELTableData::DeleteTable(TQELTableCursor&, bool force) {
  if (!force && !FCursors.empty()) {
    throw EQELException(20017, "Cannot delete table '%s'. Table is open by another dataset",
                        {TableName()});
  }
}

void TQELTableData::EmptyTable(TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(FDatabaseData.Lock());
  if (FFieldManager) FFieldManager->ResetAutoincValues();
  CheckedIndexManager(10380).EmptyIndexes(cursor.SessionID());
}

void TQELTableData::RenameTable(const std::string& newName, TQELTableCursor&) {
  if (!FCursors.empty()) {
    throw EQELException(10150, "Cannot rename table '%s'. Table is open by another dataset",
                        {TableName()});
  }
  SetTableName(newName);
}

void TQELTableData::AddCursor(TQELTableCursor* cursor) {
  if (cursor != nullptr && std::find(FCursors.begin(), FCursors.end(), cursor) == FCursors.end()) {
    FCursors.push_back(cursor);
  }
}

void TQELTableData::RemoveCursor(TQELTableCursor* cursor) { std::erase(FCursors, cursor); }

void TQELTableData::RenameField(std::string_view oldName, std::string_view newName) {
  if (!FFieldManager) throw EQELException(10015, "Nil pointer occured");
  TQELFieldDefs& fields = FFieldManager->FieldDefs();
  TQELFieldDef* field = fields.FindField(oldName);
  if (field == nullptr) throw EQELException(30343, "Field '%s' not found", {std::string(oldName)});
  if (fields.FindField(newName) != nullptr) {
    throw EQELException(30344, "Cannot rename field '%s'. Field '%s' already exists",
                        {std::string(oldName), std::string(newName)});
  }
  field->SetName(newName);
  if (FIndexManager) FIndexManager->RenameFieldInIndexes(oldName, newName);
}

std::int32_t TQELTableData::CreateIndex(const TQELIndexDef& indexDef, TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(FDatabaseData.Lock());
  TQELBaseIndexManager& indexes = CheckedIndexManager(10380);
  const std::int32_t indexID = indexes.AddIndex(cursor.SessionID(), indexDef);
  try {
    // A unique index built over records that already repeat a key would
    // promise what the table does not hold.
    if ((indexDef.Unique || indexDef.Primary) && HasDuplicateKeys(cursor.SessionID(), indexID)) {
      if (indexDef.Primary) {
        throw EQELException(30319, "Primary Key constraint '%s' violated. Duplicate found.",
                            {indexDef.Name()});
      }
      throw EQELException(30320, "Constraint unique '%s' violated. Duplicate found.",
                          {indexDef.Name()});
    }
    if (!indexDef.Temporary && !cursor.KeepIndexConstraints && FConstraintManager) {
      FConstraintManager->AddIndexConstraint(*indexes.IndexDefs().FindByID(indexID));
    }
  } catch (...) {
    indexes.DropIndex(cursor.SessionID(), indexID);
    throw;
  }
  return indexID;
}

bool TQELTableData::HasDuplicateKeys(std::int32_t sessionID, std::int32_t indexID) {
  TQELIndex& index = CheckedIndexManager(10380).GetIndex(indexID);
  const auto size = static_cast<std::size_t>(CheckedRecordManager(10015).RecordBufferSize());
  std::vector<std::uint8_t> previous(size), record(size);
  std::unique_ptr<TQELRangeScanState> scan = index.CreateRangeScan();
  TQELRecordID recordID{};
  bool havePrevious = false;
  for (bool first = true; index.RangeScanNext(sessionID, first, scan.get(), recordID, nullptr,
                                              nullptr, nullptr, true);
       first = false) {
    TQELRecordRequest request;
    request.RecordID = recordID;
    request.Buffer = record.data();
    FRecordReader->GetRecord(sessionID, request);
    if (request.Result != grOK) continue;
    if (havePrevious && index.CompareRecordKeys(previous.data(), record.data(), 0) == 0) {
      return true;
    }
    havePrevious = true;
    previous.swap(record);
  }
  return false;
}

void TQELTableData::DropIndex(std::int32_t indexID, TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(FDatabaseData.Lock());
  TQELBaseIndexManager& indexes = CheckedIndexManager(10380);
  const TQELIndexDef* def = indexes.IndexDefs().FindByID(indexID);
  if (def == nullptr) throw EQELException(20018, "Index not found");
  if (!def->Temporary && !cursor.KeepIndexConstraints && FConstraintManager) {
    FConstraintManager->DropIndexConstraint(indexID);
  }
  indexes.DropIndex(cursor.SessionID(), indexID);
}

std::int32_t TQELTableData::CreateTemporaryIndex(TQELTableCursor& cursor,
                                                 const TQELIndexColumnRequest& columns) {
  TQELCriticalSectionGuard guard(FDatabaseData.Lock());
  return CheckedIndexManager(10380).FindOrCreateTemporaryIndex(cursor.SessionID(), columns).first;
}

// ---- BLOBs -----------------------------------------------------------------

void TQELTableData::FreeBlobCache(std::uint8_t*, std::int32_t) {}

void TQELTableData::FreeRecordBlobs(std::uint8_t* record) {
  if (!HasBlobFields()) return;
  const TQELFieldDefs& fields = FieldDefs();
  for (std::int32_t i = 0; i < fields.Count(); ++i) {
    if (IsBlobAdvancedType(fields[i].AdvancedFieldType())) FreeBlobCache(record, i);
  }
}

bool TQELTableData::HasBlobFields() const {
  return FFieldManager != nullptr && FFieldManager->HasBlobFields();
}

const TQELFieldDef& TQELTableData::BlobField(std::int32_t fieldNo) const {
  const TQELFieldDefs& fields = FieldDefs();
  if (fieldNo < 0 || fieldNo >= fields.Count() ||
      !IsBlobAdvancedType(fields[fieldNo].AdvancedFieldType())) {
    throw EQELException(10000, "Invalid field number - FieldNo = %d, FieldCount = %d",
                        {fieldNo, fields.Count()});
  }
  return fields[fieldNo];
}

void TQELTableData::FreeBlobData(std::vector<std::uint8_t>& data) {
  data.clear();
  data.shrink_to_fit();
}

void TQELTableData::RecordChanged(TQELTableCursor&) {}

void TQELTableData::StoreRecordBlobs(TQELTableCursor&, std::uint8_t*, const std::uint8_t*) {}

void TQELTableData::DeleteRecordBlobs(std::int32_t, std::uint8_t*) {}

void TQELTableData::ReleaseRecordBuffer(std::uint8_t*) {}

std::int64_t TQELTableData::GetLastAutoincValue(std::int32_t, const TQELSessionSequenceValues&) {
  return 0;
}

// ---- Navigation ------------------------------------------------------------

void TQELTableData::FetchRecord(std::int32_t sessionID, TQELRecordRequest& request,
                                std::int32_t indexID, TQELIndexPositionCache* cache) {
  TQELBaseRecordManager& records = CheckedRecordManager(10015);
  if (request.Mode != grmCurrent && indexID >= 0) {
    if (request.Buffer == nullptr) throw EQELException(10016, "Nil pointer occured");
    request.IndexID = indexID;
    CheckedIndexManager(10380).FetchByIndex(sessionID, request, records.ChangeCount(), cache);
    return;
  }
  request.IndexID = -1;
  records.GetRecord(sessionID, request);
}

TQELGetRecordResult TQELTableData::GetRecord(TQELTableCursor& cursor, TQELGetRecordMode mode) {
  TQELCriticalSectionGuard guard(FDatabaseData.Lock());
  TQELBaseRecordManager& records = CheckedRecordManager(10015);
  if (records.RecordCount() == 0) return grEOF;
  const bool moving = mode != grmCurrent;
  const bool positioned = !cursor.BeforeFirst && !cursor.AfterLast;
  const std::uint8_t* positionKey = nullptr;
  if (moving && cursor.DistinctFieldCount > 0 && positioned) {
    // The current record, as stored, gives the key the walk continues
    // from; gone (another session deleted it), the walk cannot go on.
    cursor.ScratchRecord.assign(static_cast<std::size_t>(records.RecordBufferSize()), 0);
    TQELRecordRequest current;
    current.RecordID = cursor.Position;
    current.Buffer = cursor.ScratchRecord.data();
    records.GetRecord(cursor.SessionID(), current);
    if (current.Result != grOK) return grError;
    positionKey = cursor.ScratchRecord.data();
  }
  if (moving && positioned && OnlyRangeOnActiveIndex(cursor)) {
    const TQELGetRecordResult stepped = StepWithinRange(cursor, mode);
    if (stepped != grError) return stepped;
  }
  if (moving && cursor.IsRestricted()) {
    TQELSearchRequest search;
    search.Forward = mode == grmNext;
    search.PositionKey = positionKey;
    TQELRecordID found{};
    if (!FindMatchingRecord(cursor, search, found)) {
      cursor.BeforeFirst = mode == grmPrior;
      cursor.AfterLast = mode == grmNext;
      return mode == grmNext ? grEOF : grBOF;
    }
    cursor.Position = found;
    cursor.BeforeFirst = false;
    cursor.AfterLast = false;
    const TReadingFoundRecord reading(cursor);
    return GetRecord(cursor, grmCurrent);
  }
  TQELRecordRequest request;
  request.Mode = mode;
  request.RecordID = cursor.Position;
  request.Buffer = cursor.RecordBuffer;
  request.BeforeFirst = cursor.BeforeFirst;
  request.AfterLast = cursor.AfterLast;
  FetchRecord(cursor.SessionID(), request, cursor.IndexID, &cursor.IndexPositionCache);
  if (request.Result == grOK && cursor.IsRestricted() && cursor.RecordBuffer != nullptr &&
      !cursor.ReadingFoundRecord && !RecordPassesFilter(cursor, cursor.RecordBuffer, request.RecordID)) {
    return grError;
  }
  if (request.Result != grError) {
    cursor.Position = request.RecordID;
    cursor.BeforeFirst = request.BeforeFirst;
    cursor.AfterLast = request.AfterLast;
  }
  return request.Result;
}

bool TQELTableData::OnlyRangeOnActiveIndex(const TQELTableCursor& cursor) {
  return cursor.Range.Active() && cursor.IndexID >= 0 && cursor.Filter == nullptr &&
         cursor.SQLFilter == nullptr && !cursor.FilterCallback && cursor.DistinctFieldCount == 0 &&
         cursor.RecordBuffer != nullptr;
}

// The records of a range on the active index are one run of that index: a
// step from inside it either stays inside or leaves it at the end it moves
// towards. Answers grError when the step cannot tell (the cursor stood
// outside the range, or its record is gone), for a search to decide.
TQELGetRecordResult TQELTableData::StepWithinRange(TQELTableCursor& cursor,
                                                   TQELGetRecordMode mode) {
  const TQELCursorRange& range = cursor.Range;
  TQELIndex& index = CheckedIndexManager(10380).GetIndex(cursor.IndexID);
  TQELRecordRequest request;
  request.Mode = mode;
  request.RecordID = cursor.Position;
  request.Buffer = cursor.RecordBuffer;
  FetchRecord(cursor.SessionID(), request, cursor.IndexID, &cursor.IndexPositionCache);
  const bool forward = mode == grmNext;
  if (request.Result == grOK) {
    const std::uint8_t* record = cursor.RecordBuffer;
    const bool beforeStart =
        range.HasStart() &&
        [&] {
          const int rc = index.CompareRecordKeys(record, range.StartKey, range.StartKeyFieldCount);
          return range.StartExclusive ? rc <= 0 : rc < 0;
        }();
    const bool afterEnd =
        range.HasEnd() && [&] {
          const int rc = index.CompareRecordKeys(record, range.EndKey, range.EndKeyFieldCount);
          return range.EndExclusive ? rc >= 0 : rc > 0;
        }();
    if (!beforeStart && !afterEnd) {
      cursor.Position = request.RecordID;
      cursor.BeforeFirst = false;
      cursor.AfterLast = false;
      return grOK;
    }
    // Past the end it walks towards: nothing more in the range.
    if (forward ? !afterEnd : !beforeStart) return grError;
  } else if (request.Result != grEOF && request.Result != grBOF) {
    return grError;
  }
  cursor.BeforeFirst = !forward;
  cursor.AfterLast = forward;
  return forward ? grEOF : grBOF;
}

bool TQELTableData::RecordPassesFilter(TQELTableCursor& cursor, const std::uint8_t* record,
                                       const TQELRecordID& recordID) {
  const TQELCursorRange& range = cursor.Range;
  if (range.Active() && cursor.IndexID >= 0) {
    TQELIndex& index = CheckedIndexManager(10380).GetIndex(cursor.IndexID);
    if (range.HasStart()) {
      const int rc = index.CompareRecordKeys(record, range.StartKey, range.StartKeyFieldCount);
      if (range.StartExclusive ? rc <= 0 : rc < 0) return false;
    }
    if (range.HasEnd()) {
      const int rc = index.CompareRecordKeys(record, range.EndKey, range.EndKeyFieldCount);
      if (range.EndExclusive ? rc >= 0 : rc > 0) return false;
    }
  }
  if (cursor.Filter != nullptr && !cursor.Filter->Matches(record)) return false;
  if (cursor.SQLFilter != nullptr && !cursor.SQLFilter->Matches(record)) return false;
  if (cursor.FilterCallback) {
    // The callback gets a copy: it must not change the record it judges.
    FCallbackCopy.assign(record, record + CheckedRecordManager(10015).RecordBufferSize());
    if (!cursor.FilterCallback(FCallbackCopy.data(), recordID)) return false;
  }
  return true;
}

bool TQELTableData::TakeFoundRecord(TQELTableCursor& cursor, bool found,
                                    const TQELRecordID& recordID) {
  if (!found) return false;
  cursor.Position = recordID;
  cursor.BeforeFirst = false;
  cursor.AfterLast = false;
  return GetRecord(cursor, grmCurrent) == grOK;
}

bool TQELTableData::LocateRecord(TQELTableCursor& cursor, TQELRecordFilter* expression,
                                 const TQELScanSearchConditionArray* derived) {
  if (expression == nullptr) throw EQELException(10272, "Nil pointer occured");
  TQELCriticalSectionGuard guard(FDatabaseData.Lock());
  TQELSearchRequest search;
  search.Expression = expression;
  search.DerivedConditions = derived;
  search.FromStart = true;
  TQELRecordID found{};
  return TakeFoundRecord(cursor, FindMatchingRecord(cursor, search, found), found);
}

bool TQELTableData::SearchKey(TQELTableCursor& cursor, TQELSearchConditionType conditionType) {
  TQELCriticalSectionGuard guard(FDatabaseData.Lock());
  TQELSearchRequest search;
  search.FromStart = true;
  search.HasKeyCondition = true;
  search.KeyCondition.ConditionType = conditionType;
  search.KeyCondition.Key = cursor.SearchKeyBuffer;
  search.KeyCondition.KeyFieldCount = cursor.SearchKeyFieldCount;
  TQELRecordID found{};
  return TakeFoundRecord(cursor, FindMatchingRecord(cursor, search, found), found);
}

// ---- Counting and record numbers -------------------------------------------

TQELRecordBitmap& TQELTableData::BitmapOf(TQELTableCursor& cursor) {
  if (!cursor.RecordBitmap) cursor.RecordBitmap = std::make_unique<TQELRecordBitmap>(this);
  TQELRecordBitmap& bitmap = *cursor.RecordBitmap;
  if (!bitmap.Active() || bitmap.IsStale(CheckedRecordManager(10015).ChangeCount())) {
    BuildBitmap(cursor, bitmap);
  }
  return bitmap;
}

std::int64_t TQELTableData::GetRecordCount(TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(FDatabaseData.Lock());
  if (!cursor.IsRestricted()) return InternalGetRecordCount(cursor);
  // A count alone needs no bitmap where the walk's gathered matches tell
  // it: a bitmap is as large as the table's record numbers.
  if (const std::optional<std::int64_t> gathered = CountGatheredMatches(cursor)) return *gathered;
  return BitmapOf(cursor).Bits().SetCount();
}

std::int64_t TQELTableData::GetRecNo(TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(FDatabaseData.Lock());
  if (cursor.BeforeFirst || cursor.AfterLast ||
      CheckedRecordManager(10015).RecordCount() == 0) {
    return -1;
  }
  if (!cursor.IsRestricted()) {
    if (cursor.IndexID < 0) return InternalGetRecNo(cursor);
    return CheckedIndexManager(10380)
        .GetIndex(cursor.IndexID)
        .GetRecNo(cursor.SessionID(), cursor.Position, cursor.RecordBuffer);
  }
  TQELRecordBitmap& bitmap = BitmapOf(cursor);
  if (!bitmap.ByIndexPosition()) return bitmap.CountBefore(cursor.Position);
  TQELIndex& index = CheckedIndexManager(10380).GetIndex(cursor.IndexID);
  TQELKeyPath path;
  if (!index.FindRecordEntry(cursor.SessionID(), cursor.Position, path, cursor.RecordBuffer)) {
    return -1;
  }
  return bitmap.CountBeforePosition(index.PositionNumber(path));
}

void TQELTableData::SetRecNo(TQELTableCursor& cursor, std::int64_t recNo) {
  TQELCriticalSectionGuard guard(FDatabaseData.Lock());
  if (CheckedRecordManager(10015).RecordCount() == 0) return;
  if (!cursor.IsRestricted()) {
    const std::int64_t count = InternalGetRecordCount(cursor);
    if (count == 0) return;
    recNo = std::clamp<std::int64_t>(recNo, 1, count);
    cursor.BeforeFirst = false;
    cursor.AfterLast = false;
    if (cursor.IndexID < 0) {
      InternalSetRecNo(cursor, recNo);
    } else {
      CheckedIndexManager(10380)
          .GetIndex(cursor.IndexID)
          .SetRecNo(cursor.SessionID(), cursor.Position, recNo);
    }
    GetRecord(cursor, grmCurrent);
    return;
  }
  TQELRecordBitmap& bitmap = BitmapOf(cursor);
  const std::int64_t count = bitmap.Bits().SetCount();
  if (count == 0) return;
  recNo = std::clamp<std::int64_t>(recNo, 1, count);
  const std::int32_t bit = bitmap.Bits().NthSetBit(static_cast<std::int32_t>(recNo - 1));
  if (bitmap.ByIndexPosition()) {
    TQELIndex& index = CheckedIndexManager(10380).GetIndex(cursor.IndexID);
    if (!index.RecordIDAtPositionNumber(cursor.SessionID(), bit, cursor.Position)) {
      throw EQELException(20253, "Cannot retreive record for index");
    }
  } else {
    RecordNumberToRecordID(cursor.Position, bit);
  }
  cursor.BeforeFirst = false;
  cursor.AfterLast = false;
  GetRecord(cursor, grmCurrent);
}

void TQELTableData::RefreshIndexes(std::int32_t sessionID) {
  TQELCriticalSectionGuard guard(FDatabaseData.Lock());
  if (!FIndexManager || !FRecordManager) return;
  for (TQELTableCursor* cursor : FCursors) {
    if (cursor->SessionID() != sessionID) continue;
    bool rebuilt = false;
    FIndexManager->RebuildStaleIndexes(sessionID, rebuilt);
  }
}

// ---- Record changes --------------------------------------------------------

void TQELTableData::RefreshBeforeChange(TQELTableCursor& cursor) {
  if (!SharedBetweenSessions()) return;
  bool rebuilt = false;
  CheckedIndexManager(10380).RebuildStaleIndexes(cursor.SessionID(), rebuilt);
}

void TQELTableData::NoteInBitmap(TQELTableCursor& cursor, const std::uint8_t* record,
                                 const TQELRecordID& recordID) {
  TQELRecordBitmap* bitmap = cursor.RecordBitmap.get();
  if (bitmap == nullptr || !bitmap->Active()) return;
  if (RecordPassesFilter(cursor, record, recordID)) {
    bitmap->SetRecord(recordID);
  } else {
    bitmap->ClearRecord(recordID);
  }
}

void TQELTableData::FinishRecordChange(TQELTableCursor& cursor) {
  RecordChanged(cursor);
  if (!cursor.ChangesPending) ApplyChanges(cursor.SessionID(), cursor.InTransaction());
}

// Runs one record change under the database lock. A change that succeeds
// is finished (RecordChanged, then the session's pages applied); one that
// answers false or raises has the session's page changes discarded.
template <class TChange>
bool TQELTableData::RunRecordChange(TQELTableCursor& cursor, TChange change) {
  TQELCriticalSectionGuard guard(FDatabaseData.Lock());
  try {
    if (change()) {
      FinishRecordChange(cursor);
      return true;
    }
  } catch (...) {
    CancelChanges(cursor.SessionID(), cursor.InTransaction());
    throw;
  }
  CancelChanges(cursor.SessionID(), cursor.InTransaction());
  return false;
}

bool TQELTableData::InsertCursorRecord(TQELTableCursor& cursor) {
  return RunRecordChange(cursor, [&] {
    TQELBaseRecordManager& records = CheckedRecordManager(10015);
    if (cursor.RecordBuffer == nullptr) throw EQELException(10016, "Nil pointer occured");
    const std::int32_t sessionID = cursor.SessionID();
    RefreshBeforeChange(cursor);
    StoreRecordBlobs(cursor, cursor.RecordBuffer, nullptr);
    TQELRecordID recordID{};
    if (!records.InsertRecord(sessionID, cursor.RecordBuffer, recordID)) return false;
    cursor.Position = recordID;
    NoteInBitmap(cursor, cursor.RecordBuffer, recordID);
    CheckedIndexManager(10380).InsertKeys(sessionID, cursor.RecordBuffer, recordID);
    cursor.BeforeFirst = false;
    cursor.AfterLast = false;
    return true;
  });
}

bool TQELTableData::UpdateCursorRecord(TQELTableCursor& cursor) {
  return RunRecordChange(cursor, [&] {
    TQELBaseRecordManager& records = CheckedRecordManager(10015);
    TQELBaseIndexManager& indexes = CheckedIndexManager(10380);
    if (cursor.RecordBuffer == nullptr) throw EQELException(10016, "Nil pointer occured");
    const std::int32_t sessionID = cursor.SessionID();
    const TQELRecordID recordID = cursor.Position;
    RefreshBeforeChange(cursor);
    // The keys to remove are those of the record as stored, whatever the
    // cursor's buffers say.
    std::vector<std::uint8_t>& stored = FChangeRecord;
    stored.assign(static_cast<std::size_t>(records.RecordBufferSize()), 0);
    TQELRecordRequest current;
    current.RecordID = recordID;
    current.Buffer = stored.data();
    records.GetRecord(sessionID, current);
    if (current.Result != grOK) return false;
    indexes.UpdateKeys(sessionID, stored.data(), cursor.RecordBuffer, recordID, true);
    StoreRecordBlobs(cursor, cursor.RecordBuffer, stored.data());
    if (!records.UpdateRecord(sessionID, cursor.RecordBuffer, recordID)) return false;
    indexes.UpdateKeys(sessionID, stored.data(), cursor.RecordBuffer, recordID, false);
    NoteInBitmap(cursor, cursor.RecordBuffer, recordID);
    return true;
  });
}

bool TQELTableData::DeleteCursorRecord(TQELTableCursor& cursor) {
  return RunRecordChange(cursor, [&] {
    TQELBaseRecordManager& records = CheckedRecordManager(10015);
    TQELBaseIndexManager& indexes = CheckedIndexManager(10380);
    const std::int32_t sessionID = cursor.SessionID();
    const TQELRecordID deletedID = cursor.Position;
    TQELRecordBitmap* bitmap = cursor.RecordBitmap.get();
    const bool bitmapCurrent =
        bitmap != nullptr && bitmap->Active() && !bitmap->IsStale(records.ChangeCount());
    RefreshBeforeChange(cursor);
    // Find where the cursor stands afterwards: the next record, else the
    // previous one, else before the first.
    bool moved = GetRecord(cursor, grmNext) == grOK;
    if (!moved) {
      cursor.Position = deletedID;
      cursor.BeforeFirst = false;
      cursor.AfterLast = false;
      moved = GetRecord(cursor, grmPrior) == grOK;
    }
    const TQELRecordID landing = cursor.Position;
    std::vector<std::uint8_t>& deleted = FChangeRecord;
    deleted.assign(static_cast<std::size_t>(records.RecordBufferSize()), 0);
    if (!indexes.DeleteKeys(sessionID, deleted.data(), deletedID)) {
      // Another session deleted it first; the cursor goes back to it.
      cursor.Position = deletedID;
      cursor.BeforeFirst = false;
      cursor.AfterLast = false;
      return false;
    }
    FreeRecordBlobs(deleted.data());
    DeleteRecordBlobs(sessionID, deleted.data());
    TQELRecordID id = deletedID;
    if (!records.DeleteRecord(sessionID, id)) return false;
    if (bitmap != nullptr && bitmap->Active()) {
      bitmap->ClearRecord(deletedID);
      if (bitmapCurrent && cursor.DistinctFieldCount == 0) bitmap->SetStamp(records.ChangeCount());
    }
    cursor.Position = landing;
    cursor.BeforeFirst = !moved;
    cursor.AfterLast = false;
    return true;
  });
}

}  // namespace qel
