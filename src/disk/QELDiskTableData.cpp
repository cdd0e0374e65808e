// TQELDiskTableData: opening, creating, changing and closing a table of the
// database file.

#include "disk/QELDiskTableData.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskPageManager.h"
#include "disk/QELLockGuard.h"
#include "pagecache/QELPageType.h"
#include "platform/QELException.h"
#include "storage/QELConstraintManager.h"
#include "storage/QELRecordData.h"
#include "streams/QELMemoryStream.h"
#include "streams/QELTemporaryStream.h"

namespace qel {

namespace {

constexpr std::uint8_t kMetadataAlgorithm = 1;
constexpr std::uint8_t kMetadataLevel = 1;

// The file's tables lock, held while tables are opened, created, deleted or
// renamed, so that processes sharing the file do these one at a time. With
// `take` false the lock is not taken (a structural change holds it already).
auto TablesLock(TQELDiskPageManager& pages, bool take) {
  if (take) pages.LockTables();
  return TQELLockGuard([&pages] { pages.UnlockTables(); }, take);
}

// Forces a cursor's exclusive flag for the length of a structural change.
class TExclusiveCursor {
 public:
  explicit TExclusiveCursor(TQELTableCursor& cursor) : FCursor(cursor), FWas(cursor.Exclusive) {
    cursor.Exclusive = true;
  }
  ~TExclusiveCursor() { FCursor.Exclusive = FWas; }
  TExclusiveCursor(const TExclusiveCursor&) = delete;
  TExclusiveCursor& operator=(const TExclusiveCursor&) = delete;

 private:
  TQELTableCursor& FCursor;
  bool FWas;
};

}  // namespace

TQELDiskTableData::TQELDiskTableData(TQELDiskDatabaseData& database, std::string tableName)
    : TQELTableData(database, database.DiskPageManager(), std::move(tableName)),
      FDatabase(database) {}

TQELDiskTableData::~TQELDiskTableData() {
  // Destructors cannot report: unposted BLOB values are dropped quietly.
  FBlobManager.reset();
  FreeManagers();
  FTemporaryPageManager.reset();
  FreeTableFiles();
}

TQELDiskPageManager& TQELDiskTableData::DiskPages() const { return FDatabase.DiskPageManager(); }

TQELDiskRecordManager* TQELDiskTableData::DiskRecordManager() const {
  return static_cast<TQELDiskRecordManager*>(RecordManager());
}

void TQELDiskTableData::CheckOpen() const {
  if (!IsOpen() || RecordManager() == nullptr) throw EQELException(20135, "Nil pointer occured");
}

TQELDiskBlobManager& TQELDiskTableData::CheckedBlobManager() const {
  if (!FBlobManager) throw EQELException(20161, "Pointer is nil");
  return *FBlobManager;
}

std::int32_t TQELDiskTableData::GetDiskRecordSize() const {
  if (FieldManager() == nullptr || FieldDefs().Count() == 0) {
    throw EQELException(20142, "Error creating table - no fields were specified");
  }
  return FieldDefs().DiskRecordSize();
}

// ---- Managers and files ----------------------------------------------------

void TQELDiskTableData::CreateRecordManager() {
  SetRecordManager(nullptr);
  auto records = std::make_unique<TQELDiskRecordManager>(PageManager(), &DiskPages(), FObjectID,
                                                         *FieldManager());
  records->SetRecordSizes(FieldDefs().MemoryRecordSize(), GetDiskRecordSize(),
                          FieldDefs().Count());
  SetRecordManager(std::move(records));
}

void TQELDiskTableData::SetIndexDefs(const TQELIndexDefs& defs) {
  // The new index manager keeps its temporary indexes in a new temporary
  // page manager; the old one goes once the old index manager is gone.
  std::unique_ptr<TQELTemporaryPageManager> old = std::move(FTemporaryPageManager);
  FTemporaryPageManager = std::make_unique<TQELTemporaryPageManager>(MemoryOnly());
  try {
    TQELTableData::SetIndexDefs(defs);
  } catch (...) {
    FTemporaryPageManager = std::move(old);
    throw;
  }
}

void TQELDiskTableData::CreateManagers() {
  FTemporaryPageManager = std::make_unique<TQELTemporaryPageManager>(MemoryOnly());
  CreateEmptyManagers();
  SetRecordManager(std::make_unique<TQELDiskRecordManager>(PageManager(), &DiskPages(), FObjectID,
                                                           *FieldManager()));
  FBlobManager =
      std::make_unique<TQELDiskBlobManager>(PageManager(), RecordReader(), *FieldManager());
}

void TQELDiskTableData::OpenTableFiles(std::int32_t metadataStart, std::int32_t headerStart,
                                       std::int32_t locksStart) {
  FMetadataFile = std::make_unique<TQELInternalDBTransactedAccessFile>(PageManager(), ptTableMetaData);
  FHeaderFile = std::make_unique<TQELInternalDBTransactedAccessFile>(PageManager(), ptTableMostUpdated);
  FLocksFile = std::make_unique<TQELInternalDBDirectAccessFile>(DiskPages(), ptTableLocks);
  try {
    FMetadataFile->Open(metadataStart);
    FHeaderFile->Open(headerStart);
    FLocksFile->Open(locksStart);
    FLocks = std::make_unique<TQELTableLocksFile>(*FLocksFile);
  } catch (...) {
    FreeTableFiles();
    throw;
  }
}

void TQELDiskTableData::DeleteTableFiles() {
  FMetadataFile->Delete(kStructureSession, FMetadataFile->StartPageNo());
  FHeaderFile->Delete(kStructureSession, FHeaderFile->StartPageNo());
  FLocksFile->Delete(FLocksFile->StartPageNo());
}

void TQELDiskTableData::FreeTableFiles() {
  FLocks.reset();
  FMetadataFile.reset();
  FHeaderFile.reset();
  FLocksFile.reset();
}

// ---- Header and metadata ---------------------------------------------------

void TQELDiskTableData::ReadTableHeader(std::int32_t sessionID) {
  if (!FHeaderFile) throw EQELException(20176, "Pointer is nil");
  // Another process may have changed the table since this one last read
  // its header, unless the page-version cache still vouches for it.
  const bool checkVersion = MultiUser() && !DiskPages().PagesCache().IsValid(sessionID, this);
  const TQELInternalDBTransactedAccessFile::TSize size =
      FHeaderFile->GetSize(sessionID, checkVersion);
  std::vector<std::uint8_t>& buffer = FHeaderBuffer;
  FHeaderFile->ReadAll(sessionID, size, size.WasRead, buffer);
  std::int32_t position = 0;
  const auto bufferSize = static_cast<std::int32_t>(buffer.size());
  FieldManager()->LoadAutoincValues(buffer.data(), bufferSize, position);
  DiskRecordManager()->LoadHeader(buffer.data(), bufferSize, position);
  if (MultiUser()) {
    DiskPages().PagesCache().SetEpoch(sessionID, this, DiskRecordManager()->ChangeCount());
  }
}

void TQELDiskTableData::WriteTableHeader(std::int32_t sessionID) {
  if (!FHeaderFile) throw EQELException(20176, "Pointer is nil");
  std::vector<std::uint8_t>& buffer = FHeaderBuffer;
  buffer.assign(static_cast<std::size_t>(32 * FieldDefs().Count() + 32), 0);
  std::int32_t position = 0;
  const auto bufferSize = static_cast<std::int32_t>(buffer.size());
  FieldManager()->SaveAutoincValues(buffer.data(), bufferSize, position);
  DiskRecordManager()->SaveHeader(buffer.data(), bufferSize, position);
  FHeaderFile->WriteFile(sessionID, buffer.data(), 0, 0, position);
}

void TQELDiskTableData::LoadMetadata(std::int32_t sessionID) {
  if (!FMetadataFile) throw EQELException(20176, "Pointer is nil");
  std::vector<std::uint8_t> bytes;
  FMetadataFile->ReadAll(sessionID, FMetadataFile->GetSize(sessionID, false), false, bytes);
  TQELMemoryStream stream(nullptr, static_cast<std::int64_t>(bytes.size()));
  if (!bytes.empty()) stream.Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  stream.SetPosition(0);
  FieldManager()->LoadFieldDefs(stream);
  IndexManager()->LoadIndexDefs(stream);
  ConstraintManager()->LoadConstraintDefs(stream);
  DiskRecordManager()->LoadIndexRoot(stream);
  CheckedBlobManager().LoadIndexRoot(stream);
}

void TQELDiskTableData::SaveMetadata(std::int32_t sessionID) {
  if (!FMetadataFile) throw EQELException(20176, "Pointer is nil");
  TQELMemoryStream stream;
  FieldManager()->SaveFieldDefs(stream);
  IndexManager()->SaveIndexDefs(stream);
  ConstraintManager()->SaveConstraintDefs(stream);
  DiskRecordManager()->SaveIndexRoot(stream);
  CheckedBlobManager().SaveIndexRoot(stream);
  FMetadataFile->WriteFile(sessionID, stream.Memory(), kMetadataLevel, kMetadataAlgorithm,
                           static_cast<std::int32_t>(stream.GetSize()));
}

// ---- Opening and closing ---------------------------------------------------

void TQELDiskTableData::OpenTable(TQELTableCursor& cursor) {
  const TQELTableInfo info = FDatabase.Catalog().GetTableInfo(TableName());
  FObjectID = info.ObjectID;
  SetMemoryOnly(cursor.DisableTempFiles);
  OpenTableFiles(info.MetadataStartPage, info.HeaderStartPage, info.LocksStartPage);
  try {
    CreateManagers();
    const std::int32_t sessionID = cursor.SessionID();
    LoadMetadata(sessionID);
    DiskRecordManager()->SetRecordSizes(FieldDefs().MemoryRecordSize(), GetDiskRecordSize(),
                                        FieldDefs().Count());
    if (FRepairMode) {
      OpenWithRepair(sessionID);
    } else {
      ReadTableHeader(sessionID);
    }
    FOpenedExclusive = cursor.Exclusive;
    FOpenedForRepair = FRepairMode;
  } catch (...) {
    FBlobManager.reset();
    FreeManagers();
    FTemporaryPageManager.reset();
    FreeTableFiles();
    throw;
  }
}

void TQELDiskTableData::OpenWithRepair(std::int32_t sessionID) {
  try {
    ReadTableHeader(sessionID);
    DiskRecordManager()->VerifyRecordCount(sessionID);
    return;
  } catch (const EQELException&) {
    // Rebuilt below from the pages themselves.
  }
  if (GetDiskRecordSize() >= static_cast<std::int32_t>(DiskPages().DataSize())) {
    throw EQELException(10512,
                        "Cannot repair table pages index for larg records table. Table name: "
                        "\"%s\"",
                        {TableName()});
  }
  DiskRecordManager()->RebuildPagesIndex(sessionID);
  SaveMetadata(sessionID);
  WriteTableHeader(sessionID);
  TQELTableData::ApplyChanges(sessionID, false);
}

void TQELDiskTableData::CloseTable() {
  std::exception_ptr unposted;
  try {
    if (FBlobManager) FBlobManager->Close();
  } catch (const EQELException&) {
    unposted = std::current_exception();
  }
  FBlobManager.reset();
  FreeManagers();
  FTemporaryPageManager.reset();
  FreeTableFiles();
  FOpenedExclusive = false;
  FOpenedForRepair = false;
  FHeaderStale = false;
  if (unposted) std::rethrow_exception(unposted);
}

// With one process alone on the file nothing can change a table behind
// this object's back, so a table stays open between its cursors and the
// next cursor skips reading its definitions again. A table opened
// exclusively or for repair, one holding temporary indexes (which every
// change would go on updating) or BLOB values not yet posted closes as
// before.
bool TQELDiskTableData::StaysOpenWhenUnused() const {
  if (!IsOpen() || FHeaderStale || MultiUser() || FOpenedExclusive || FOpenedForRepair || FInStructureChange) {
    return false;
  }
  if (FBlobManager && FBlobManager->CacheCount() != 0) return false;
  const TQELIndexDefs& defs = IndexManager()->IndexDefs();
  for (std::int32_t i = 0; i < defs.Count(); ++i) {
    if (defs[i].Temporary) return false;
  }
  return true;
}

bool TQELDiskTableData::ReusableBy(const TQELTableCursor& cursor) const {
  return !MultiUser() && !cursor.Exclusive && !FRepairMode &&
         FTemporaryPageManager->MemoryOnly() == MemoryOnly();
}

void TQELDiskTableData::AddCursor(TQELTableCursor* cursor) {
  if (cursor == nullptr) return;
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  if (Cursors().empty() && IsOpen() && !ReusableBy(*cursor)) CloseTable();
  const bool opening = !IsOpen();
  // Other processes open and change tables only under the tables lock;
  // alone on the file, only opening one needs it.
  auto tables = TablesLock(DiskPages(), !FInStructureChange && (opening || MultiUser()));
  if (!opening) {
    if (cursor->Exclusive && !FOpenedExclusive) {
      throw EQELException(
          20242,
          "Cannot access table '%s' in exclusive mode. Probably the table is open by another "
          "cursors",
          {TableName()});
    }
  } else {
    OpenTable(*cursor);
  }
  TQELTableData::AddCursor(cursor);
  // The cursor stays listed when its lock is refused: closing it removes it.
  if (!LockTable(cursor->SessionID(), cursor->Exclusive ? 6 : 0, 50, 1, 100)) {
    cursor->HoldsTableLock = false;
    if (cursor->Exclusive) {
      throw EQELException(
          20208,
          "Cannot access table '%s' in exclusive mode. Probably the table is open by another user",
          {TableName()});
    }
    throw EQELException(20209, "Cannot open table '%s'. Table is locked", {TableName()});
  }
  cursor->HoldsTableLock = true;
  tables.Unlock();
}

void TQELDiskTableData::RemoveCursor(TQELTableCursor* cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  const bool listed = std::find(Cursors().begin(), Cursors().end(), cursor) != Cursors().end();
  if (!listed) return;
  if (cursor->HoldsTableLock && FLocks) {
    cursor->HoldsTableLock = false;
    UnlockTable(cursor->SessionID(), cursor->Exclusive ? 6 : 0, false);
  }
  TQELTableData::RemoveCursor(cursor);
  if (Cursors().empty() && !StaysOpenWhenUnused()) CloseTable();
}

void TQELDiskTableData::CloseIfUnused() {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  if (Cursors().empty() && IsOpen()) CloseTable();
}

bool TQELDiskTableData::ReleaseIfUnused() {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  if (!Cursors().empty() || IsOpen()) return false;
  DatabaseData().RemoveTableData(this);
  return true;
}

void TQELDiskTableData::OpenExclusively(TQELTableCursor& cursor) {
  try {
    AddCursor(&cursor);
  } catch (...) {
    RemoveCursor(&cursor);
    throw;
  }
}

// ---- Structural changes ----------------------------------------------------

void TQELDiskTableData::CreateTable(TQELTableCursor& cursor, const TQELFieldDefs& fieldDefs,
                                    const TQELConstraintDefs& constraintDefs,
                                    const TQELIndexDefs& indexDefs) {
  if (fieldDefs.Count() == 0) {
    throw EQELException(20128, "Error creating table - no fields were specified");
  }
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  if (Cursors().empty() && IsOpen()) CloseTable();
  SetTableName(cursor.TableName());
  SetMemoryOnly(cursor.DisableTempFiles);
  auto tables = TablesLock(DiskPages(), true);
  try {
    const TQELTableInfo info = FDatabase.Catalog().CreateTableFiles(TableName());
    FObjectID = info.ObjectID;
    OpenTableFiles(info.MetadataStartPage, info.HeaderStartPage, info.LocksStartPage);
    SetFieldDefs(fieldDefs);
    SetIndexDefs(indexDefs);
    SetConstraintDefs(constraintDefs);
    CreateRecordManager();
    FBlobManager =
        std::make_unique<TQELDiskBlobManager>(PageManager(), RecordReader(), *FieldManager());
    WriteTableHeader(kStructureSession);
    DiskRecordManager()->CreatePagesIndex();
    if (FieldManager()->HasBlobFields()) FBlobManager->CreateBlobStorage(kStructureSession);
    CreateIndexStorages(kStructureSession);
    SaveMetadata(kStructureSession);
    InitCursor(cursor);
    CloseTable();
    DiskPages().ApplyChanges(kStructureSession);
  } catch (...) {
    FBlobManager.reset();
    FreeManagers();
    FTemporaryPageManager.reset();
    FreeTableFiles();
    DiskPages().CancelChanges(kStructureSession);
    throw;
  }
  tables.Unlock();
}

void TQELDiskTableData::DeleteTable(TQELTableCursor& cursor, bool force) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  TQELTableData::DeleteTable(cursor, force);
  auto tables = TablesLock(DiskPages(), true);
  TExclusiveCursor exclusive(cursor);
  FInStructureChange = true;
  // A table that cannot be had for itself alone stays as it is.
  try {
    AddCursor(&cursor);
  } catch (...) {
    RemoveCursor(&cursor);
    FInStructureChange = false;
    throw;
  }
  std::exception_ptr failure;
  try {
    TQELIndexDefs& defs = CheckedIndexManager(10380).IndexDefs();
    while (defs.Count() > 0) IndexManager()->DropIndex(kStructureSession, defs[0].ObjectID());
    CheckedBlobManager().DropBlobs(kStructureSession);
    DiskRecordManager()->DropRecords(kStructureSession);
    if (cursor.HoldsTableLock) {
      cursor.HoldsTableLock = false;
      UnlockTable(cursor.SessionID(), 6, false);
    }
    DeleteTableFiles();
  } catch (...) {
    failure = std::current_exception();
  }
  // Once the table was open for this alone it leaves the list, whatever
  // failed on the way; the pages not given back are found by a check.
  const auto keep = [&failure](auto step) {
    try {
      step();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  };
  keep([&] { RemoveCursor(&cursor); });
  keep([&] { FDatabase.Catalog().DeleteTable(TableName()); });
  keep([&] { DiskPages().ApplyChanges(kStructureSession); });
  FInStructureChange = false;
  if (failure) std::rethrow_exception(failure);
  tables.Unlock();
}

void TQELDiskTableData::EmptyTable(TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  TExclusiveCursor exclusive(cursor);
  OpenExclusively(cursor);
  const std::int32_t sessionID = cursor.SessionID();
  PrepareChange(cursor);
  try {
    TQELTableData::EmptyTable(cursor);
    CheckedBlobManager().EmptyBlobs(sessionID);
    DiskRecordManager()->EmptyRecords(sessionID);
    WriteTableHeader(sessionID);
    ApplyChanges(sessionID, cursor.InTransaction());
  } catch (...) {
    CancelChanges(sessionID, cursor.InTransaction());
    RemoveCursor(&cursor);
    throw;
  }
  RemoveCursor(&cursor);
}

void TQELDiskTableData::RenameTable(const std::string& newName, TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  if (!Cursors().empty()) {
    throw EQELException(10150, "Cannot rename table '%s'. Table is open by another dataset",
                        {TableName()});
  }
  auto tables = TablesLock(DiskPages(), true);
  TExclusiveCursor exclusive(cursor);
  FInStructureChange = true;
  try {
    // Fails while the table is open anywhere else.
    OpenExclusively(cursor);
    RemoveCursor(&cursor);
    FDatabase.Catalog().RenameTable(TableName(), newName);
    DiskPages().ApplyChanges(kStructureSession);
  } catch (...) {
    FInStructureChange = false;
    DiskPages().CancelChanges(kStructureSession);
    throw;
  }
  FInStructureChange = false;
  // The object now serves the table under its new name.
  SetTableName(newName);
  tables.Unlock();
}

void TQELDiskTableData::RenameField(std::string_view oldName, std::string_view newName) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  CheckOpen();
  TQELTableData::RenameField(oldName, newName);
  try {
    SaveMetadata(kStructureSession);
    DiskPages().ApplyChanges(kStructureSession);
  } catch (...) {
    DiskPages().CancelChanges(kStructureSession);
    throw;
  }
}

std::int32_t TQELDiskTableData::CreateIndex(const TQELIndexDef& indexDef,
                                            TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  CheckOpen();
  const std::int32_t sessionID = cursor.SessionID();
  try {
    const std::int32_t indexID = TQELTableData::CreateIndex(indexDef, cursor);
    if (!indexDef.Temporary) SaveMetadata(sessionID);
    ApplyChanges(sessionID, cursor.InTransaction());
    return indexID;
  } catch (...) {
    CancelChanges(sessionID, cursor.InTransaction());
    throw;
  }
}

void TQELDiskTableData::DropIndex(std::int32_t indexID, TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  CheckOpen();
  const TQELIndexDef* def = CheckedIndexManager(10380).IndexDefs().FindByID(indexID);
  const bool temporary = def != nullptr && def->Temporary;
  const std::int32_t sessionID = cursor.SessionID();
  try {
    TQELTableData::DropIndex(indexID, cursor);
    if (!temporary) SaveMetadata(sessionID);
    ApplyChanges(sessionID, cursor.InTransaction());
  } catch (...) {
    CancelChanges(sessionID, cursor.InTransaction());
    throw;
  }
}

// ---- Pages of a session ----------------------------------------------------

void TQELDiskTableData::ApplyChanges(std::int32_t sessionID, bool inTransaction) {
  TQELTableData::ApplyChanges(sessionID, inTransaction);
  if (FTemporaryPageManager) FTemporaryPageManager->ApplyChanges(sessionID);
}

void TQELDiskTableData::CancelChanges(std::int32_t sessionID, bool inTransaction) {
  TQELTableData::CancelChanges(sessionID, inTransaction);
  if (FTemporaryPageManager) FTemporaryPageManager->CancelChanges(sessionID);
  // The counters a cancelled change moved come back from the header as it
  // is stored; a table kept open would otherwise write them later.
  if (!inTransaction && IsOpen()) {
    try {
      ReadTableHeader(sessionID);
    } catch (const EQELException&) {
      FHeaderStale = true;
    }
  }
}

void TQELDiskTableData::RefreshIndexes(std::int32_t sessionID) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  if (!IsOpen()) return;
  // A rollback may have undone definitions as well as records: a table
  // no cursor uses reads everything again when it is next opened.
  if (Cursors().empty()) {
    CloseTable();
    return;
  }
  ReadTableHeader(sessionID);
  FTemporaryPageManager->CancelChanges(sessionID);
  TQELTableData::RefreshIndexes(sessionID);
  FTemporaryPageManager->ApplyChanges(sessionID);
}

// ---- Records ---------------------------------------------------------------

std::int64_t TQELDiskTableData::GetRecordNumberLimit(std::int32_t sessionID) {
  CheckOpen();
  return DiskRecordManager()->GetRecordNumberLimit(sessionID);
}

std::int64_t TQELDiskTableData::RecordIDToRecordNumber(const TQELRecordID& recordID) {
  CheckOpen();
  return DiskRecordManager()->RecordIDToRecordNumber(recordID);
}

void TQELDiskTableData::RecordNumberToRecordID(TQELRecordID& recordID, std::int64_t number) {
  CheckOpen();
  DiskRecordManager()->RecordNumberToRecordID(recordID, number);
}

bool TQELDiskTableData::InsertRecord(TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  CheckOpen();
  // The new record's sequence values were taken from a header read just
  // before, under the same locks: reading the header again must not hand
  // them back, or the next insert would take them a second time.
  const std::vector<std::int64_t> taken = FieldManager()->AutoincValues();
  PrepareChange(cursor);
  FieldManager()->RestoreAutoincValues(taken);
  return InsertCursorRecord(cursor);
}

bool TQELDiskTableData::DeleteRecord(TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  CheckOpen();
  PrepareChange(cursor);
  return DeleteCursorRecord(cursor);
}

bool TQELDiskTableData::UpdateRecord(TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  CheckOpen();
  PrepareChange(cursor);
  return UpdateCursorRecord(cursor);
}

// The counters, sequences and record count of the header are those the
// last writer left; the session's own uncommitted header when it has one.
void TQELDiskTableData::PrepareChange(TQELTableCursor& cursor) {
  if (MultiUser()) ReadTableHeader(cursor.SessionID());
}

void TQELDiskTableData::RecordChanged(TQELTableCursor& cursor) {
  WriteTableHeader(cursor.SessionID());
}

void TQELDiskTableData::InternalSetRecNo(TQELTableCursor& cursor, std::int64_t recNo) {
  CheckOpen();
  ReadAccess(cursor, 20219, 0, true, [&] {
    DiskRecordManager()->RecordIDAtRecNo(cursor.SessionID(), cursor.Position, recNo);
    return 0;
  });
}

std::int64_t TQELDiskTableData::InternalGetRecNo(TQELTableCursor& cursor) {
  CheckOpen();
  return ReadAccess(cursor, 20220, std::int64_t{-1}, true, [&] {
    return DiskRecordManager()->RecNoOfRecordID(cursor.SessionID(), cursor.Position);
  });
}

std::int64_t TQELDiskTableData::InternalGetRecordCount(TQELTableCursor& cursor) {
  CheckOpen();
  return ReadAccess(cursor, 20218, std::int64_t{0}, false,
                    [&] { return DiskRecordManager()->RecordCount(); });
}

// ---- Reads in multi-user mode ------------------------------------------------

bool TQELDiskTableData::MultiUser() const { return FDatabase.MultiUser() && !DiskPages().IsExclusive(); }

bool TQELDiskTableData::SharedBetweenSessions() const { return MultiUser(); }

template <class TResult, class TBody>
TResult TQELDiskTableData::ReadAccess(TQELTableCursor& cursor, std::int32_t lockedError,
                                      TResult refused, bool current, TBody body) {
  if (!MultiUser()) return body();
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  const std::int32_t sessionID = cursor.SessionID();
  if (!LockTable(sessionID, 1, 2250, 1, 40)) {
    if (lockedError == 0) return refused;
    throw EQELException(lockedError, "Table is locked");
  }
  TQELDiskTablePagesCacheManager& cache = DiskPages().PagesCache();
  bool pushed = false;
  // Leaving by an exception, a read lock that is gone already is no error.
  TQELLockGuard readLock([&](bool unwinding) {
    if (pushed) cache.PopCurrentTable(sessionID);
    UnlockTable(sessionID, 1, unwinding);
  });
  // A writer that died in a commit of this table left its pages half
  // written until someone rolls its journal back.
  DiskPages().RecoverIfJournalHot();
  ReadTableHeader(sessionID);
  if (current) {
    cache.PushCurrentTable(sessionID, this);
    pushed = true;
  }
  return body();
}

TQELGetRecordResult TQELDiskTableData::GetRecord(TQELTableCursor& cursor, TQELGetRecordMode mode) {
  return ReadAccess(cursor, 0, grError, true, [&] {
    if (MultiUser()) {
      bool rebuilt = false;
      CheckedIndexManager(10380).RebuildStaleIndexes(cursor.SessionID(), rebuilt);
      if (rebuilt) ApplyTemporaryChanges(cursor.SessionID());
    }
    return TQELTableData::GetRecord(cursor, mode);
  });
}

bool TQELDiskTableData::LocateRecord(TQELTableCursor& cursor, TQELRecordFilter* expression,
                                     const TQELScanSearchConditionArray* derived) {
  return ReadAccess(cursor, 20214, false, true,
                    [&] { return TQELTableData::LocateRecord(cursor, expression, derived); });
}

bool TQELDiskTableData::SearchKey(TQELTableCursor& cursor, TQELSearchConditionType conditionType) {
  return ReadAccess(cursor, 20215, false, true,
                    [&] { return TQELTableData::SearchKey(cursor, conditionType); });
}

void TQELDiskTableData::SetRecNo(TQELTableCursor& cursor, std::int64_t recNo) {
  ReadAccess(cursor, 20216, 0, true, [&] {
    TQELTableData::SetRecNo(cursor, recNo);
    return 0;
  });
}

std::int64_t TQELDiskTableData::GetRecNo(TQELTableCursor& cursor) {
  return ReadAccess(cursor, 20217, std::int64_t{-1}, true,
                    [&] { return TQELTableData::GetRecNo(cursor); });
}

// ---- Locks -------------------------------------------------------------------

bool TQELDiskTableData::LockTable(std::int32_t sessionID, std::uint8_t kind,
                                  std::int32_t attempts, std::uint8_t flag, std::int32_t delayMs) {
  if (!MultiUser()) return true;
  if (!FLocks || FDatabase.LockManager() == nullptr) throw EQELException(10483, "Nil pointer occured");
  if (!FDatabase.LockManager()->LockTable(sessionID, kind, attempts, delayMs, flag, *FLocks,
                                          false)) {
    return false;
  }
  if (kind == 1) DiskPages().PagesCache().BeginRead(sessionID, this);
  if (kind == 4) DiskPages().PagesCache().BeginWrite(sessionID, this);
  return true;
}

bool TQELDiskTableData::UnlockTable(std::int32_t sessionID, std::uint8_t kind,
                                    bool ignoreMissing) {
  if (!MultiUser()) return true;
  if (!FLocks || FDatabase.LockManager() == nullptr) throw EQELException(10483, "Nil pointer occured");
  if (!FDatabase.LockManager()->UnlockTable(sessionID, kind, ignoreMissing, false, *FLocks)) {
    return false;
  }
  if (kind == 1) DiskPages().PagesCache().EndRead(sessionID, this);
  if (kind == 4) DiskPages().PagesCache().EndWrite(sessionID, this);
  return true;
}

bool TQELDiskTableData::LockRecord(std::int32_t sessionID, const TQELRecordID& recordID,
                                   std::int32_t attempts, std::int32_t delayMs) {
  if (!MultiUser()) return true;
  if (!FLocks || FDatabase.LockManager() == nullptr) throw EQELException(10483, "Nil pointer occured");
  return FDatabase.LockManager()->LockRecord(sessionID, *FLocks, recordID, attempts, delayMs);
}

bool TQELDiskTableData::UnlockRecord(std::int32_t sessionID, const TQELRecordID& recordID) {
  if (!MultiUser()) return true;
  if (!FLocks || FDatabase.LockManager() == nullptr) throw EQELException(10483, "Nil pointer occured");
  return FDatabase.LockManager()->UnlockRecord(sessionID, *FLocks, recordID);
}

void TQELDiskTableData::ApplyTemporaryChanges(std::int32_t sessionID) {
  if (FTemporaryPageManager) FTemporaryPageManager->ApplyChanges(sessionID);
}

std::int64_t TQELDiskTableData::GetLastAutoincValue(std::int32_t fieldNo,
                                                    const TQELSessionSequenceValues& session) {
  CheckOpen();
  return FieldManager()->GetLastAutoincValue(session, fieldNo);
}

// ---- BLOBs -----------------------------------------------------------------

// The stored values a post replaces are the record's own: an update takes
// the references of the record as stored, an insert has none. A record
// buffer that still carries another record's references (reused without
// being cleared, or copied) can then neither delete nor share that
// record's values.
void TQELDiskTableData::StoreRecordBlobs(TQELTableCursor& cursor, std::uint8_t* record,
                                         const std::uint8_t* storedRecord) {
  if (!FieldManager()->HasBlobFields()) return;
  const TQELFieldDefs& fields = FieldDefs();
  for (std::int32_t i = 0; i < fields.Count(); ++i) {
    if (!IsBlobAdvancedType(fields[i].AdvancedFieldType())) continue;
    std::uint8_t* slot = record + fields[i].MemoryOffset();
    if (storedRecord != nullptr) {
      std::memcpy(slot, storedRecord + fields[i].MemoryOffset(), kQELBlobDiskSlotSize);
    } else {
      TQELBlobReference{}.Store(slot);
    }
  }
  CheckedBlobManager().PostBlobs(cursor.SessionID(), record);
}

void TQELDiskTableData::DeleteRecordBlobs(std::int32_t sessionID, std::uint8_t* record) {
  if (FieldManager()->HasBlobFields()) CheckedBlobManager().DeleteBlobs(sessionID, record);
}

void TQELDiskTableData::ReleaseRecordBuffer(std::uint8_t* record) { FreeRecordBlobs(record); }

void TQELDiskTableData::FreeBlobCache(std::uint8_t* record, std::int32_t fieldNo) {
  if (FBlobManager) FBlobManager->FreeBlobCache(record, fieldNo, false);
}

void TQELDiskTableData::DiscardBlobCaches(std::uint8_t* record) {
  if (!FBlobManager || !FieldManager()->HasBlobFields()) return;
  const TQELFieldDefs& fields = FieldDefs();
  for (std::int32_t i = 0; i < fields.Count(); ++i) {
    if (IsBlobAdvancedType(fields[i].AdvancedFieldType())) {
      FBlobManager->FreeBlobCache(record, i, true);
    }
  }
}

void TQELDiskTableData::PostBlob(TQELTableCursor& cursor, std::int32_t fieldNo,
                                 TQELBlobValueStream& blobStream) {
  if (cursor.RecordBuffer == nullptr) throw EQELException(20136, "Nil pointer occured");
  if (!blobStream.Modified()) return;
  CheckedBlobManager().StoreBlobFromStream(cursor.RecordBuffer, fieldNo, blobStream.Value(),
                                           blobStream.BlockData());
}

std::unique_ptr<TQELBlobValueStream> TQELDiskTableData::OpenBlob(TQELTableCursor& cursor, bool,
                                                                 bool loadValue,
                                                                 std::int32_t fieldNo) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  CheckOpen();
  const TQELFieldDef& field = FieldDefs()[fieldNo];
  if (field.BlobBlockSize == 0) throw EQELException(20149, "Stream block size = 0 is not allowed");
  std::unique_ptr<TQELTemporaryStream> working = FBlobStreams->Take(MemoryOnly());
  TQELCompressedStreamDescriptor descriptor;
  descriptor.BlockSize = field.BlobBlockSize;
  descriptor.CompressionAlgorithm = field.BlobCompressionAlgorithm;
  descriptor.CompressionMode = field.BlobCompressionMode;
  std::uint8_t* record = cursor.RecordBuffer;
  const bool isNew = !loadValue || record == nullptr ||
                     !GetFieldData(fieldNo, FieldDefs(), nullptr, record);
  if (!isNew) {
    try {
      TQELBlobDescriptor stored;
      CheckedBlobManager().ReadBlobToStream(cursor.SessionID(), record, *working, stored, fieldNo);
      if (stored.UncompressedSize < 0) throw EQELException(20248, "Invalid blob field size");
      descriptor.BlockCount = stored.BlockCount;
      descriptor.UncompressedSize = stored.UncompressedSize;
      working->SetPosition(0);
    } catch (...) {
      FBlobManager->FreeBlobCache(record, fieldNo, true);
      throw;
    }
  }
  return std::make_unique<TQELBlobValueStream>(std::move(working), isNew, descriptor, fieldNo, FBlobStreams);
}

void TQELDiskTableData::ReadBlobData(std::int32_t sessionID, std::int32_t fieldNo,
                                     std::vector<std::uint8_t>& data,
                                     TQELBlobDescriptor& descriptor, std::uint8_t* record) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  const std::uint8_t* stored = nullptr;
  CheckedBlobManager().GetBlobData(sessionID, record, stored, descriptor, fieldNo);
  data.assign(stored, stored == nullptr ? stored : stored + descriptor.DataSize);
}

void TQELDiskTableData::WriteBlobData(TQELTableCursor&, std::int32_t fieldNo,
                                      const std::vector<std::uint8_t>& data,
                                      const TQELBlobDescriptor& descriptor, std::uint8_t* record) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  CheckedBlobManager().PutBlobData(record, data.data(), descriptor, fieldNo);
}

void TQELDiskTableData::FreeBlobData(std::vector<std::uint8_t>& data) {
  data.clear();
  data.shrink_to_fit();
}

}  // namespace qel
