// TQELMemoryTableData: record changes that apply at once and undo in full,
// record numbers by slot, and BLOB values in engine memory blocks.

#include "storage/QELMemoryTableData.h"

#include <cstring>
#include <exception>
#include <limits>

#include "memory/QELMemory.h"
#include "platform/QELEndian.h"
#include "platform/QELException.h"
#include "storage/QELDatabaseData.h"
#include "storage/QELFieldTypes.h"
#include "storage/QELRecordData.h"
#include "streams/QELTemporaryStream.h"

namespace qel {

TQELMemoryTableData::TQELMemoryTableData(TQELDatabaseData& database, std::string tableName)
    : TQELAppliedAtOnceTableData(database, *FPages, std::move(tableName)) {
  SetMemoryOnly(true);
  // Every change is applied or cancelled here, through the memory page
  // manager itself.
  FPages->UseWorkingCopies();
}

TQELMemoryTableData::~TQELMemoryTableData() {
  FreeAllBlobs();
  // The index objects hold pages of the page manager, which goes after.
  FreeManagers();
}

TQELMemoryRecordManager* TQELMemoryTableData::MemoryRecordManager() const {
  return static_cast<TQELMemoryRecordManager*>(RecordManager());
}

TQELMemoryRecordManager& TQELMemoryTableData::CheckedMemoryRecords(std::int32_t nativeError) const {
  return static_cast<TQELMemoryRecordManager&>(CheckedRecordManager(nativeError));
}

void TQELMemoryTableData::CreateRecordManager() {
  SetRecordManager(
      std::make_unique<TQELMemoryRecordManager>(FieldDefs().MemoryRecordSize(), FGrowStep));
}

// ---- Changes of pages ------------------------------------------------------

// The page cache's CancelChanges, which the base would call, knows nothing
// of the memory page manager's working copies.
void TQELMemoryTableData::CancelChanges(std::int32_t sessionID, bool) {
  FReplacedBlobs.clear();
  MemoryPageManager().CancelChanges(sessionID);
}

// ---- DDL -------------------------------------------------------------------

void TQELMemoryTableData::CreateTable(TQELTableCursor& cursor, const TQELFieldDefs& fieldDefs,
                                      const TQELConstraintDefs& constraintDefs,
                                      const TQELIndexDefs& indexDefs) {
  if (fieldDefs.Count() == 0) {
    throw EQELException(10025, "Error creating table - no fields were specified");
  }
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  SetTableName(cursor.TableName());
  ApplyAtOnce(cursor, [&] { InitializeNewTable(cursor, fieldDefs, constraintDefs, indexDefs); });
}

void TQELMemoryTableData::EmptyTable(TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  TQELMemoryRecordManager& records = CheckedMemoryRecords(10015);
  ApplyAtOnce(cursor, [&] { TQELTableData::EmptyTable(cursor); });
  // Blocks of records being edited stay with their buffers.
  FreeStoredBlobs();
  records.EmptyRecords(kStructureSession);
  ApplyChanges(kStructureSession, false);
}

// ---- Record numbers --------------------------------------------------------

std::int64_t TQELMemoryTableData::GetRecordNumberLimit(std::int32_t) {
  const TQELMemoryRecordManager* records = MemoryRecordManager();
  if (records == nullptr || records->RecordCount() == 0) return 0;
  // Slots freed below the last one are not reused: the numbers run up to
  // the last slot, not to the record count.
  return std::int64_t{records->LastSlot()} + 1;
}

std::int64_t TQELMemoryTableData::RecordIDToRecordNumber(const TQELRecordID& recordID) {
  return TQELMemoryRecordManager::SlotOf(recordID);
}

void TQELMemoryTableData::RecordNumberToRecordID(TQELRecordID& recordID, std::int64_t number) {
  recordID = TQELMemoryRecordManager::IDOfSlot(static_cast<std::int32_t>(number));
}

void TQELMemoryTableData::InternalSetRecNo(TQELTableCursor& cursor, std::int64_t recNo) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  const std::int32_t slot = CheckedMemoryRecords(10074).PositionToSlot(recNo - 1);
  if (slot != -1) cursor.Position = TQELMemoryRecordManager::IDOfSlot(slot);
}

std::int64_t TQELMemoryTableData::InternalGetRecNo(TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  const std::int32_t slot = TQELMemoryRecordManager::SlotOf(cursor.Position);
  return CheckedMemoryRecords(10033).SlotToPosition(slot);
}

std::int64_t TQELMemoryTableData::InternalGetRecordCount(TQELTableCursor&) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  return CheckedMemoryRecords(10009).RecordCount();
}

std::int64_t TQELMemoryTableData::GetLastAutoincValue(std::int32_t fieldNo,
                                                      const TQELSessionSequenceValues& session) {
  if (FieldManager() == nullptr) throw EQELException(10015, "Nil pointer occured");
  return FieldManager()->GetLastAutoincValue(session, fieldNo);
}

// ---- Reading ---------------------------------------------------------------

TQELGetRecordResult TQELMemoryTableData::GetRecord(TQELTableCursor& cursor,
                                                   TQELGetRecordMode mode) {
  // Reading the current record, or stepping in natural order, reads no
  // index page unless the cursor is restricted.
  if ((mode == grmCurrent || cursor.IndexID < 0) && !cursor.IsRestricted()) {
    return TQELTableData::GetRecord(cursor, mode);
  }
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  const TQELPageLending lending(MemoryPageManager());
  return TQELTableData::GetRecord(cursor, mode);
}

bool TQELMemoryTableData::SearchKey(TQELTableCursor& cursor,
                                    TQELSearchConditionType conditionType) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  const TQELPageLending lending(MemoryPageManager());
  return TQELTableData::SearchKey(cursor, conditionType);
}

// ---- Record changes --------------------------------------------------------

bool TQELMemoryTableData::InsertRecord(TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  CheckedMemoryRecords(10010);
  if (cursor.RecordBuffer == nullptr) throw EQELException(10018, "Nil pointer occured");
  return InsertUndoable(cursor);
}

bool TQELMemoryTableData::UpdateRecord(TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  CheckedMemoryRecords(10014);
  if (cursor.RecordBuffer == nullptr) throw EQELException(10017, "Nil pointer occured");
  return UpdateUndoable(cursor);
}

bool TQELMemoryTableData::DeleteRecord(TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  CheckedMemoryRecords(10013);
  // The cursor's buffer is about to be read over: an edit's new blocks in
  // it are dropped.
  if (cursor.RecordBuffer != nullptr) FreeRecordBlobs(cursor.RecordBuffer);
  FReplacedBlobs.clear();
  if (!DeleteCursorRecord(cursor)) return false;
  KeepRecordBlobs(nullptr);
  return true;
}

// Runs an insert or update; when it answers false or raises, `undo` takes
// back what the record manager already stored. A stored change's new BLOB
// blocks become the record's own.
template <class TChange, class TUndo>
bool TQELMemoryTableData::StoreOrUndo(TQELTableCursor& cursor, TChange change, TUndo undo) {
  FReplacedBlobs.clear();
  try {
    if (change()) {
      KeepRecordBlobs(cursor.RecordBuffer);
      return true;
    }
  } catch (...) {
    undo();
    throw;
  }
  undo();
  return false;
}

// The shared outline stores the record before the keys go into the
// indexes and the cursor's bitmap; when one of those fails, the record
// manager still holds a record that no index knows. It is taken out again
// here (the index pages of the failed change were cancelled).
bool TQELMemoryTableData::InsertUndoable(TQELTableCursor& cursor) {
  TQELMemoryRecordManager& records = CheckedMemoryRecords(10010);
  const std::int32_t changes = records.ChangeCount();
  const TQELRecordID position = cursor.Position;
  const bool beforeFirst = cursor.BeforeFirst;
  const bool afterLast = cursor.AfterLast;
  const auto undo = [&] {
    if (records.ChangeCount() == changes) return;
    TQELRecordID stored = TQELMemoryRecordManager::IDOfSlot(records.LastSlot());
    records.DeleteRecord(kStructureSession, stored);
    if (cursor.RecordBitmap) cursor.RecordBitmap->SetActive(false);
    cursor.Position = position;
    cursor.BeforeFirst = beforeFirst;
    cursor.AfterLast = afterLast;
  };
  return StoreOrUndo(cursor, [&] { return InsertCursorRecord(cursor); }, undo);
}

// As for an insert: an update the record manager stored but whose new keys
// or bitmap failed has the old record put back.
bool TQELMemoryTableData::UpdateUndoable(TQELTableCursor& cursor) {
  TQELMemoryRecordManager& records = CheckedMemoryRecords(10014);
  const TQELRecordID recordID = cursor.Position;
  FOldRecord.resize(static_cast<std::size_t>(records.RecordBufferSize()));
  TQELRecordRequest current;
  current.RecordID = recordID;
  current.Buffer = FOldRecord.data();
  records.GetRecord(cursor.SessionID(), current);
  if (current.Result != grOK) return false;
  const std::int32_t changes = records.ChangeCount();
  const auto undo = [&] {
    if (records.ChangeCount() == changes) return;
    records.UpdateRecord(kStructureSession, FOldRecord.data(), recordID);
    if (cursor.RecordBitmap) cursor.RecordBitmap->SetActive(false);
  };
  return StoreOrUndo(cursor, [&] { return UpdateCursorRecord(cursor); }, undo);
}

// ---- BLOBs -----------------------------------------------------------------

namespace {

constexpr std::int32_t kHandleBytes = 8;
static_assert(kHandleBytes <= kQELBlobMemorySlotSize);

}  // namespace

std::uint64_t TQELMemoryTableData::HandleOf(const std::uint8_t* record,
                                            std::int32_t fieldNo) const {
  const TQELFieldDef& field = BlobField(fieldNo);
  if (IsNull(fieldNo, record)) return 0;
  return QELReadLE<std::uint64_t>(record + field.MemoryOffset());
}

void TQELMemoryTableData::SetHandle(std::uint8_t* record, std::int32_t fieldNo,
                                    std::uint64_t handle) const {
  std::uint8_t* slot = record + BlobField(fieldNo).MemoryOffset();
  std::memset(slot, 0, kQELBlobMemorySlotSize);
  QELWriteLE<std::uint64_t>(slot, handle);
  SetNull(handle == 0, fieldNo, record);
}

TQELMemoryTableData::TBlob& TQELMemoryTableData::CheckedBlob(std::uint64_t handle,
                                                             std::int32_t nativeError) {
  auto it = FBlobs.find(handle);
  if (handle == 0 || it == FBlobs.end()) throw EQELException(nativeError, "Nil pointer occured");
  return it->second;
}

std::uint64_t TQELMemoryTableData::NewBlob(std::int32_t blockCount, std::int64_t uncompressedSize,
                                           const void* data, std::int64_t dataSize) {
  if (dataSize < 0 || dataSize > std::numeric_limits<std::int64_t>::max() - kBlobHeaderSize) {
    throw EQELException(20248, "Invalid blob field size");
  }
  auto* block = static_cast<std::uint8_t*>(QELMemoryManager().GetMem(kBlobHeaderSize + dataSize));
  QELWriteLE<std::int32_t>(block, blockCount);
  QELWriteLE<std::int64_t>(block + 4, uncompressedSize);
  if (dataSize > 0 && data != nullptr) {
    std::memcpy(block + kBlobHeaderSize, data, static_cast<std::size_t>(dataSize));
  }
  const std::uint64_t handle = ++FLastHandle;
  try {
    FBlobs.emplace(handle, TBlob{block, true});
  } catch (...) {
    void* pointer = block;
    QELMemoryManager().FreeAndNillMem(pointer);
    throw;
  }
  return handle;
}

void TQELMemoryTableData::FreeBlob(std::uint64_t handle) {
  auto it = FBlobs.find(handle);
  if (it == FBlobs.end()) return;
  void* block = it->second.Block;
  FBlobs.erase(it);
  QELMemoryManager().FreeAndNillMem(block);
}

void TQELMemoryTableData::FreeStoredBlobs() {
  for (auto it = FBlobs.begin(); it != FBlobs.end();) {
    if (it->second.New) {
      ++it;
      continue;
    }
    void* block = it->second.Block;
    it = FBlobs.erase(it);
    QELMemoryManager().FreeAndNillMem(block);
  }
}

void TQELMemoryTableData::FreeAllBlobs() {
  for (auto& [handle, blob] : FBlobs) {
    void* block = blob.Block;
    try {
      QELMemoryManager().FreeAndNillMem(block);
    } catch (...) {
      // A block this table wrote past cannot be reported from here.
    }
  }
  FBlobs.clear();
}

void TQELMemoryTableData::KeepRecordBlobs(const std::uint8_t* record) {
  if (!HasBlobFields()) return;
  if (record != nullptr) {
    const TQELFieldDefs& fields = FieldDefs();
    for (std::int32_t i = 0; i < fields.Count(); ++i) {
      if (!IsBlobAdvancedType(fields[i].AdvancedFieldType())) continue;
      auto it = FBlobs.find(HandleOf(record, i));
      if (it != FBlobs.end()) it->second.New = false;
    }
  }
  std::vector<std::uint64_t> replaced;
  replaced.swap(FReplacedBlobs);
  for (std::uint64_t handle : replaced) FreeBlob(handle);
}

// The record's slots must name blocks of this table: a new block is taken
// over by the record, one the stored record already has stays, and one
// that belongs to another record (a copied buffer) is copied, so that no
// block is ever shared. Whatever the stored record had and the new one no
// longer names is freed once the change is stored.
void TQELMemoryTableData::StoreRecordBlobs(TQELTableCursor&, std::uint8_t* record,
                                           const std::uint8_t* storedRecord) {
  if (!HasBlobFields()) return;
  const TQELFieldDefs& fields = FieldDefs();
  for (std::int32_t i = 0; i < fields.Count(); ++i) {
    if (!IsBlobAdvancedType(fields[i].AdvancedFieldType())) continue;
    const std::uint64_t stored = storedRecord != nullptr ? HandleOf(storedRecord, i) : 0;
    std::uint64_t handle = HandleOf(record, i);
    if (!IsNull(i, record)) {
      TBlob& blob = CheckedBlob(handle, 10118);
      if (!blob.New && handle != stored) {
        const auto dataSize =
            QELMemoryManager().BlockSize(blob.Block) - kBlobHeaderSize;
        const std::uint64_t copy =
            NewBlob(QELReadLE<std::int32_t>(blob.Block), QELReadLE<std::int64_t>(blob.Block + 4),
                    blob.Block + kBlobHeaderSize, dataSize);
        SetHandle(record, i, copy);
        handle = copy;
      }
    }
    if (stored != 0 && stored != handle) FReplacedBlobs.push_back(stored);
  }
}

void TQELMemoryTableData::DeleteRecordBlobs(std::int32_t, std::uint8_t* record) {
  if (!HasBlobFields()) return;
  const TQELFieldDefs& fields = FieldDefs();
  for (std::int32_t i = 0; i < fields.Count(); ++i) {
    if (!IsBlobAdvancedType(fields[i].AdvancedFieldType())) continue;
    const std::uint64_t stored = HandleOf(record, i);
    if (stored != 0) FReplacedBlobs.push_back(stored);
  }
}

void TQELMemoryTableData::RecordChanged(TQELTableCursor&) {}

void TQELMemoryTableData::ReleaseRecordBuffer(std::uint8_t* record) { FreeRecordBlobs(record); }

void TQELMemoryTableData::FreeBlobCache(std::uint8_t* record, std::int32_t fieldNo) {
  if (record == nullptr || !HasBlobFields()) return;
  BlobField(fieldNo);
  if (IsNull(fieldNo, record)) return;
  const std::uint64_t handle = HandleOf(record, fieldNo);
  if (handle == 0) throw EQELException(10118, "Nil pointer occured");
  auto it = FBlobs.find(handle);
  if (it == FBlobs.end() || !it->second.New) return;
  FreeBlob(handle);
  SetHandle(record, fieldNo, 0);
}

void TQELMemoryTableData::PostBlob(TQELTableCursor& cursor, std::int32_t fieldNo,
                                   TQELBlobValueStream& blobStream) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  std::uint8_t* record = cursor.RecordBuffer;
  if (record == nullptr) throw EQELException(10018, "Nil pointer occured");
  BlobField(fieldNo);
  if (!blobStream.Modified()) return;
  // Reading the descriptor writes out the blocks still held back.
  const TQELCompressedStreamDescriptor& value = blobStream.Value().Descriptor();
  if (value.BlockCount < 0 || value.BlockCount > std::numeric_limits<std::int32_t>::max() ||
      value.UncompressedSize < 0) {
    throw EQELException(20248, "Invalid blob field size");
  }
  if (value.UncompressedSize == 0) {
    FreeBlobCache(record, fieldNo);
    SetHandle(record, fieldNo, 0);
    return;
  }
  TQELStream& blocks = blobStream.BlockData();
  const std::int64_t size = blocks.GetSize();
  const std::uint64_t handle =
      NewBlob(static_cast<std::int32_t>(value.BlockCount), value.UncompressedSize, nullptr, size);
  const std::int64_t position = blocks.Position();
  blocks.SetPosition(0);
  std::uint8_t* data = FBlobs.find(handle)->second.Block + kBlobHeaderSize;
  const std::int64_t read = size > 0 ? blocks.Read(data, size) : 0;
  blocks.SetPosition(position);
  if (read != size) {
    FreeBlob(handle);
    throw EQELException(10117,
                        "Cannot read from stream. Position = %d, Stream size = %d, "
                        "Block size = %d, Bytes Read = %d",
                        {0, size, size, read});
  }
  // The value it replaces goes only now, so that a failure keeps it.
  FreeBlobCache(record, fieldNo);
  SetHandle(record, fieldNo, handle);
}

std::unique_ptr<TQELBlobValueStream> TQELMemoryTableData::OpenBlob(TQELTableCursor& cursor, bool,
                                                                   bool loadValue,
                                                                   std::int32_t fieldNo) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  const TQELFieldDef& field = BlobField(fieldNo);
  if (field.BlobBlockSize == 0) throw EQELException(10420, "Stream block size = 0 is not allowed");
  TQELCompressedStreamDescriptor descriptor;
  descriptor.BlockSize = field.BlobBlockSize;
  descriptor.CompressionAlgorithm = field.BlobCompressionAlgorithm;
  descriptor.CompressionMode = field.BlobCompressionMode;
  auto working = std::make_unique<TQELTemporaryStream>(true);
  const std::uint8_t* record = cursor.RecordBuffer;
  const bool isNew = !loadValue || record == nullptr || IsNull(fieldNo, record);
  if (!isNew) {
    const TBlob& blob = CheckedBlob(HandleOf(record, fieldNo), 10112);
    const std::int64_t dataSize = QELMemoryManager().BlockSize(blob.Block) - kBlobHeaderSize;
    if (dataSize > 0) working->WriteChecked(blob.Block + kBlobHeaderSize, dataSize, 10112);
    working->SetPosition(0);
    descriptor.BlockCount = QELReadLE<std::int32_t>(blob.Block);
    descriptor.UncompressedSize = QELReadLE<std::int64_t>(blob.Block + 4);
  }
  return std::make_unique<TQELBlobValueStream>(std::move(working), isNew, descriptor, fieldNo);
}

void TQELMemoryTableData::ReadBlobData(std::int32_t, std::int32_t fieldNo,
                                       std::vector<std::uint8_t>& data,
                                       TQELBlobDescriptor& descriptor, std::uint8_t* record) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  data.clear();
  descriptor = TQELBlobDescriptor{};
  if (record == nullptr) throw EQELException(10511, "Nil pointer occured");
  BlobField(fieldNo);
  if (IsNull(fieldNo, record)) return;
  const TBlob& blob = CheckedBlob(HandleOf(record, fieldNo), 10511);
  const std::int64_t dataSize = QELMemoryManager().BlockSize(blob.Block) - kBlobHeaderSize;
  descriptor.BlockCount = QELReadLE<std::int32_t>(blob.Block);
  descriptor.UncompressedSize = QELReadLE<std::int64_t>(blob.Block + 4);
  descriptor.DataSize = dataSize;
  data.assign(blob.Block + kBlobHeaderSize, blob.Block + kBlobHeaderSize + dataSize);
}

void TQELMemoryTableData::WriteBlobData(TQELTableCursor&, std::int32_t fieldNo,
                                        const std::vector<std::uint8_t>& data,
                                        const TQELBlobDescriptor& descriptor,
                                        std::uint8_t* record) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  if (record == nullptr) throw EQELException(10018, "Nil pointer occured");
  BlobField(fieldNo);
  if (descriptor.BlockCount < 0 || descriptor.UncompressedSize < 0 || descriptor.DataSize < 0 ||
      descriptor.DataSize > static_cast<std::int64_t>(data.size())) {
    throw EQELException(20248, "Invalid blob field size");
  }
  if (descriptor.DataSize == 0) {
    FreeBlobCache(record, fieldNo);
    SetHandle(record, fieldNo, 0);
    return;
  }
  // The copy is made first: `data` may have come from the field itself.
  const std::uint64_t handle = NewBlob(descriptor.BlockCount, descriptor.UncompressedSize,
                                       data.data(), descriptor.DataSize);
  FreeBlobCache(record, fieldNo);
  SetHandle(record, fieldNo, handle);
}

}  // namespace qel
