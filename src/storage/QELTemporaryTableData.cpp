// TQELTemporaryTableData: append-only records, changes applied at once,
// record numbers by insertion, and BLOB values appended to one stream.

#include "storage/QELTemporaryTableData.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>

#include "platform/QELEndian.h"
#include "platform/QELException.h"
#include "storage/QELDatabaseData.h"
#include "storage/QELFieldTypes.h"
#include "streams/QELMemoryStream.h"
#include "streams/QELTemporaryStream.h"

namespace qel {

namespace {

constexpr const char* kPositionMsg = "Cannot set stream position to %d. Position = %d, Size = %d";
constexpr const char* kReadMsg =
    "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d";
constexpr const char* kWriteMsg =
    "Cannot write to stream. Position = %d, Stream size = %d, Block size = %d, Bytes Write = %d";
constexpr std::int64_t kHeaderSize = static_cast<std::int64_t>(TQELBlobDescriptor::kSize);
// Bytes copied at a time when a value's blocks are appended.
constexpr std::int64_t kCopyChunk = 65536;

// The stream's size for a message; a stream that cannot tell reports -1.
std::int64_t SizeOf(TQELStream& stream) {
  try {
    return stream.GetSize();
  } catch (const std::exception&) {
    return -1;
  }
}

// Writes all `count` bytes or raises `nativeError` with the write message:
// a short write and a failing stream alike, so that no failure passes as a
// stored value.
void WriteAll(TQELStream& stream, const void* bytes, std::int64_t count, std::int32_t nativeError) {
  if (count <= 0) return;
  const std::int64_t position = stream.Position();
  std::int64_t written = 0;
  try {
    written = stream.Write(bytes, count);
  } catch (const std::exception&) {
    written = 0;
  }
  if (written != count) {
    throw EQELException(nativeError, kWriteMsg, {position, SizeOf(stream), count, written});
  }
}

}  // namespace

TQELTemporaryTableData::TQELTemporaryTableData(TQELDatabaseData& database, std::string tableName,
                                               const TQELTemporaryMemoryLimits& limits)
    : TQELAppliedAtOnceTableData(database, *FPages, std::move(tableName)), FLimits(limits) {}

TQELTemporaryTableData::~TQELTemporaryTableData() {
  // The index objects hold pages of the page manager, which goes after.
  FreeManagers();
  FBlobStream.reset();
}

TQELTemporaryRecordManager* TQELTemporaryTableData::TemporaryRecordManager() const {
  return static_cast<TQELTemporaryRecordManager*>(RecordManager());
}

TQELTemporaryRecordManager& TQELTemporaryTableData::CheckedTemporaryRecords(
    std::int32_t nativeError) const {
  return static_cast<TQELTemporaryRecordManager&>(CheckedRecordManager(nativeError));
}

// Spill files are made under the temporary database's lock, like every
// other file of this table (record changes, BLOB writes and index changes
// all run under it).
void TQELTemporaryTableData::CreateRecordManager() {
  TQELDatabaseData& database = DatabaseData();
  SetRecordManager(std::make_unique<TQELTemporaryRecordManager>(
      FieldDefs().MemoryRecordSize(), MemoryOnly(), FGrowStep, FBufferRecordCount,
      FLimits.MaxMemoryRecords, [&database] {
        TQELCriticalSectionGuard guard(database.Lock());
        return TQELFileStream::CreateTemporary();
      }));
}

void TQELTemporaryTableData::ReplacePageManager() {
  // Same type, same storage: the references the table data and its index
  // manager hold now name the new manager.
  FPages.emplace(MemoryOnly(), FLimits.MaxMemoryPages);
}

void TQELTemporaryTableData::NewBlobStream() {
  if (MemoryOnly()) {
    FBlobStream = std::make_unique<TQELMemoryStream>(nullptr, kMemoryBlobCapacity);
  } else {
    FBlobStream = std::make_unique<TQELTemporaryStream>(false);
  }
}

// ---- DDL -------------------------------------------------------------------

void TQELTemporaryTableData::CreateTable(TQELTableCursor& cursor, const TQELFieldDefs& fieldDefs,
                                         const TQELConstraintDefs& constraintDefs,
                                         const TQELIndexDefs& indexDefs) {
  if (fieldDefs.Count() == 0) {
    throw EQELException(10132, "Error creating table - no fields were specified");
  }
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  SetTableName(cursor.TableName());
  SetMemoryOnly(cursor.DisableTempFiles);
  if (IndexManager() != nullptr) IndexManager()->FreeIndexObjects();
  FBlobStream.reset();
  ReplacePageManager();
  ApplyAtOnce(cursor, [&] {
    InitializeNewTable(cursor, fieldDefs, constraintDefs, indexDefs);
    if (HasBlobFields()) NewBlobStream();
  });
}

// Emptying the indexes page by page would read back every page that went
// to the file; a fresh page manager with fresh roots does the same at once
// and gives the file up.
void TQELTemporaryTableData::EmptyTable(TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  TQELTemporaryRecordManager& records = CheckedTemporaryRecords(10015);
  TQELBaseIndexManager& indexes = CheckedIndexManager(10380);
  if (FieldManager() != nullptr) FieldManager()->ResetAutoincValues();
  FBlobStream.reset();
  records.EmptyRecords(kStructureSession);
  indexes.FreeIndexObjects();
  ReplacePageManager();
  ApplyAtOnce(cursor, [&] {
    CreateIndexStorages(cursor.SessionID());
    // The indexes changed with the records: a temporary index stays as
    // current as it was.
    TQELIndexDefs& defs = indexes.IndexDefs();
    for (std::int32_t i = 0; i < defs.Count(); ++i) ++defs[i].ModificationCount;
  });
  // A table reused after emptying takes BLOB values again.
  if (HasBlobFields()) NewBlobStream();
}

// ---- Record numbers --------------------------------------------------------

std::int64_t TQELTemporaryTableData::GetRecordNumberLimit(std::int32_t) {
  const TQELBaseRecordManager* records = RecordManager();
  return records == nullptr ? 0 : records->RecordCount();
}

std::int64_t TQELTemporaryTableData::RecordIDToRecordNumber(const TQELRecordID& recordID) {
  return static_cast<std::int64_t>(TQELTemporaryRecordManager::NumberOf(recordID));
}

void TQELTemporaryTableData::RecordNumberToRecordID(TQELRecordID& recordID, std::int64_t number) {
  recordID = TQELTemporaryRecordManager::IDOf(static_cast<std::uint64_t>(number));
}

void TQELTemporaryTableData::InternalSetRecNo(TQELTableCursor& cursor, std::int64_t recNo) {
  CheckedTemporaryRecords(10136);
  cursor.Position = TQELTemporaryRecordManager::IDOf(recNo < 2 ? 0 : static_cast<std::uint64_t>(recNo - 1));
}

std::int64_t TQELTemporaryTableData::InternalGetRecNo(TQELTableCursor& cursor) {
  CheckedTemporaryRecords(10137);
  return static_cast<std::int64_t>(TQELTemporaryRecordManager::NumberOf(cursor.Position)) + 1;
}

std::int64_t TQELTemporaryTableData::InternalGetRecordCount(TQELTableCursor&) {
  return CheckedTemporaryRecords(10133).RecordCount();
}

// ---- Record changes --------------------------------------------------------

// The shared outline stores the record before its keys go into the indexes
// and the cursor's bitmap. A record the record manager could not store
// (its exception included) answers false with nothing changed; a record
// whose keys or bit failed is taken back, the failed change's index pages
// were cancelled, and the failure is raised.
bool TQELTemporaryTableData::InsertRecord(TQELTableCursor& cursor) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  TQELTemporaryRecordManager& records = CheckedTemporaryRecords(10134);
  if (cursor.RecordBuffer == nullptr) throw EQELException(10135, "Nil pointer occured");
  const std::int64_t count = records.RecordCount();
  const TQELRecordID position = cursor.Position;
  const bool beforeFirst = cursor.BeforeFirst;
  const bool afterLast = cursor.AfterLast;
  try {
    return InsertCursorRecord(cursor);
  } catch (...) {
    if (records.RecordCount() == count) return false;
    records.RemoveLastRecord();
    if (cursor.RecordBitmap) cursor.RecordBitmap->SetActive(false);
    cursor.Position = position;
    cursor.BeforeFirst = beforeFirst;
    cursor.AfterLast = afterLast;
    throw;
  }
}

bool TQELTemporaryTableData::DeleteRecord(TQELTableCursor&) { return false; }

bool TQELTemporaryTableData::UpdateRecord(TQELTableCursor&) { return false; }

// ---- BLOBs -----------------------------------------------------------------

namespace {

constexpr std::int32_t kPositionBytes = 8;
static_assert(kPositionBytes <= kQELBlobMemorySlotSize);

}  // namespace

void TQELTemporaryTableData::SetBlobPosition(std::uint8_t* record, std::int32_t fieldNo,
                                             std::int64_t position) const {
  std::uint8_t* slot = record + BlobField(fieldNo).MemoryOffset();
  std::memset(slot, 0, kQELBlobMemorySlotSize);
  if (position >= 0) QELWriteLE<std::int64_t>(slot, position);
  SetNull(position < 0, fieldNo, record);
}

// A slot may come from anywhere (a copied or damaged buffer): its position
// and the header there are checked against the stream before anything is
// read or allocated.
TQELBlobDescriptor TQELTemporaryTableData::ReadBlobHeader(const std::uint8_t* record,
                                                          std::int32_t fieldNo,
                                                          std::int32_t seekError,
                                                          std::int32_t readError) {
  TQELStream& stream = *FBlobStream;
  const std::int64_t position =
      QELReadLE<std::int64_t>(record + BlobField(fieldNo).MemoryOffset());
  const std::int64_t size = stream.GetSize();
  if (position < 0 || position > size - kHeaderSize ||
      stream.Seek(position, soBeginning) != position) {
    throw EQELException(seekError, kPositionMsg, {position, stream.Position(), size});
  }
  std::uint8_t bytes[TQELBlobDescriptor::kSize];
  const std::int64_t read = stream.Read(bytes, kHeaderSize);
  if (read != kHeaderSize) {
    throw EQELException(readError, kReadMsg, {position, size, kHeaderSize, read});
  }
  TQELBlobDescriptor header;
  header.Load(bytes);
  const std::int64_t available = size - position - kHeaderSize;
  if (header.BlockCount < 0 || header.UncompressedSize < 0 || header.DataSize < 0 ||
      header.DataSize > available) {
    throw EQELException(readError, kReadMsg,
                        {position + kHeaderSize, size, header.DataSize, available});
  }
  return header;
}

std::int64_t TQELTemporaryTableData::AppendBlob(const TQELBlobDescriptor& header,
                                                TQELStream* source, const std::uint8_t* data,
                                                std::int32_t seekError, std::int32_t writeError) {
  TQELStream& stream = *FBlobStream;
  const std::int64_t size = stream.GetSize();
  const std::int64_t position = stream.Seek(0, soEnd);
  if (position != size) throw EQELException(seekError, kPositionMsg, {size, position, size});
  try {
    std::uint8_t bytes[TQELBlobDescriptor::kSize];
    header.Store(bytes);
    WriteAll(stream, bytes, kHeaderSize, writeError);
    if (source == nullptr) {
      WriteAll(stream, data, header.DataSize, writeError);
    } else {
      const std::int64_t sourcePosition = source->Position();
      source->SetPosition(0);
      std::vector<std::uint8_t> chunk(
          static_cast<std::size_t>(std::clamp<std::int64_t>(header.DataSize, 1, kCopyChunk)));
      for (std::int64_t done = 0; done < header.DataSize;) {
        const std::int64_t want =
            std::min<std::int64_t>(static_cast<std::int64_t>(chunk.size()), header.DataSize - done);
        const std::int64_t got = source->Read(chunk.data(), want);
        if (got != want) {
          source->SetPosition(sourcePosition);
          throw EQELException(10146, kReadMsg, {done, header.DataSize, want, got});
        }
        WriteAll(stream, chunk.data(), got, writeError);
        done += got;
      }
      source->SetPosition(sourcePosition);
    }
  } catch (...) {
    // What was appended of the failed value goes again.
    try {
      stream.SetSize(position);
    } catch (...) {
    }
    throw;
  }
  return position;
}

void TQELTemporaryTableData::PostBlob(TQELTableCursor& cursor, std::int32_t fieldNo,
                                      TQELBlobValueStream& blobStream) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  if (!FBlobStream) throw EQELException(10144, "Nil pointer occured");
  std::uint8_t* record = cursor.RecordBuffer;
  if (record == nullptr) throw EQELException(10135, "Nil pointer occured");
  BlobField(fieldNo);
  if (!blobStream.Modified()) return;
  // Reading the descriptor writes out the blocks still held back.
  const TQELCompressedStreamDescriptor& value = blobStream.Value().Descriptor();
  if (value.BlockCount < 0 || value.BlockCount > std::numeric_limits<std::int32_t>::max() ||
      value.UncompressedSize < 0) {
    throw EQELException(20248, "Invalid blob field size");
  }
  if (value.UncompressedSize == 0) {
    SetBlobPosition(record, fieldNo, -1);
    return;
  }
  TQELStream& blocks = blobStream.BlockData();
  TQELBlobDescriptor header;
  header.BlockCount = static_cast<std::int32_t>(value.BlockCount);
  header.UncompressedSize = value.UncompressedSize;
  header.DataSize = blocks.GetSize();
  const std::int64_t position = AppendBlob(header, &blocks, nullptr, 10422, 10145);
  SetBlobPosition(record, fieldNo, position);
}

std::unique_ptr<TQELBlobValueStream> TQELTemporaryTableData::OpenBlob(TQELTableCursor& cursor,
                                                                      bool truncate,
                                                                      bool loadValue,
                                                                      std::int32_t fieldNo) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  if (!FBlobStream) throw EQELException(10140, "Nil pointer occured");
  const TQELFieldDef& field = BlobField(fieldNo);
  TQELCompressedStreamDescriptor descriptor;
  descriptor.BlockSize = field.BlobBlockSize;
  descriptor.CompressionAlgorithm = field.BlobCompressionAlgorithm;
  descriptor.CompressionMode = field.BlobCompressionMode;
  auto working = std::make_unique<TQELTemporaryStream>(MemoryOnly());
  const std::uint8_t* record = cursor.RecordBuffer;
  const bool isNew = truncate || !loadValue || record == nullptr || IsNull(fieldNo, record);
  if (!isNew) {
    const TQELBlobDescriptor header = ReadBlobHeader(record, fieldNo, 10141, 10142);
    if (header.DataSize > 0) {
      working->CopyFrom(*FBlobStream, header.DataSize, FBlobStream->Position());
    }
    working->SetPosition(0);
    descriptor.BlockCount = header.BlockCount;
    descriptor.UncompressedSize = header.UncompressedSize;
  }
  return std::make_unique<TQELBlobValueStream>(std::move(working), isNew, descriptor, fieldNo);
}

void TQELTemporaryTableData::ReadBlobData(std::int32_t, std::int32_t fieldNo,
                                          std::vector<std::uint8_t>& data,
                                          TQELBlobDescriptor& descriptor, std::uint8_t* record) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  data.clear();
  descriptor = TQELBlobDescriptor{};
  if (record == nullptr) throw EQELException(10509, "Nil pointer occured");
  BlobField(fieldNo);
  if (IsNull(fieldNo, record)) return;
  if (!FBlobStream) throw EQELException(10509, "Nil pointer occured");
  const TQELBlobDescriptor header = ReadBlobHeader(record, fieldNo, 10509, 10510);
  data.resize(static_cast<std::size_t>(header.DataSize));
  const std::int64_t position = FBlobStream->Position();
  const std::int64_t read = header.DataSize > 0 ? FBlobStream->Read(data.data(), header.DataSize) : 0;
  if (read != header.DataSize) {
    data.clear();
    throw EQELException(10510, kReadMsg, {position, SizeOf(*FBlobStream), header.DataSize, read});
  }
  descriptor = header;
}

void TQELTemporaryTableData::WriteBlobData(TQELTableCursor& cursor, std::int32_t fieldNo,
                                           const std::vector<std::uint8_t>& data,
                                           const TQELBlobDescriptor& descriptor,
                                           std::uint8_t* record) {
  TQELCriticalSectionGuard guard(DatabaseData().Lock());
  if (!FBlobStream) throw EQELException(10506, "Nil pointer occured");
  if (record == nullptr) record = cursor.RecordBuffer;
  if (record == nullptr) throw EQELException(10135, "Nil pointer occured");
  BlobField(fieldNo);
  if (descriptor.BlockCount < 0 || descriptor.UncompressedSize < 0 || descriptor.DataSize < 0 ||
      descriptor.DataSize > static_cast<std::int64_t>(data.size())) {
    throw EQELException(20248, "Invalid blob field size");
  }
  if (descriptor.UncompressedSize == 0) {
    SetBlobPosition(record, fieldNo, -1);
    return;
  }
  const std::int64_t position = AppendBlob(descriptor, nullptr, data.data(), 10507, 10508);
  SetBlobPosition(record, fieldNo, position);
}

}  // namespace qel
