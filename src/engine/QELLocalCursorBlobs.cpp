// TQELLocalCursor: BLOB streams on the fields of the cursor's record, and
// BLOB values as whole variants.

#include <algorithm>

#include "disk/QELDiskTableData.h"
#include "engine/QELLocalCursor.h"
#include "engine/QELLocalSession.h"
#include "platform/QELException.h"
#include "storage/QELTableData.h"

namespace qel {

namespace {

constexpr std::uint8_t kReadLock = 1;

}  // namespace

TQELLocalBLOBStream* TQELLocalCursor::OpenBlob(bool isInsert, bool isEdit, bool isBrowse,
                                               std::uint8_t mode, std::int32_t fieldNo) {
  TDatabaseLock lock = LockedDatabase();
  TQELTableData& table = OpenTableData();
  CheckFieldNo(fieldNo, FVisibleFieldDefs, 10110);
  if (mode > bmReadWrite) throw EQELException(10113, "Invalid BLOB stream mode %d", {mode});
  const std::int32_t tableFieldNo = SourceFieldNo(fieldNo);
  const TQELFieldDef& field = FFieldDefs[tableFieldNo];
  if (!IsBlobBaseType(field.BaseFieldType())) {
    throw EQELException(10119, "Field %s is not a BLOB field", {field.Name()});
  }
  const bool browsing = isBrowse && !isInsert && !isEdit;
  if (MultiUserDisk()) {
    if (!WaitForTable(lock, kReadLock, LockWaits.BlobReadAttempts, LockWaits.BlobReadDelayMs)) {
      throw EQELException(20216, "Cannot read BLOB field %s. Table is locked", {field.Name()});
    }
    bool readable = true;
    try {
      if (browsing && FBlobStreams.empty() && RecordBuffer != nullptr) {
        // The reference in the buffer may be older than the stored record.
        const TQELCursorPosition position = SavePosition();
        Position = BookmarkPosition();
        BeforeFirst = false;
        AfterLast = false;
        readable = table.GetRecord(*this, grmCurrent) == grOK;
        RestorePosition(position);
      }
    } catch (...) {
      FDiskTable->UnlockTable(SessionID(), kReadLock, false);
      throw;
    }
    FDiskTable->UnlockTable(SessionID(), kReadLock, false);
    if (!readable) return nullptr;
  }
  const auto mode0 = static_cast<TQELBlobStreamMode>(mode);
  if (mode0 != bmRead) {
    for (const auto& open : FBlobStreams) {
      if (open->FieldNo() == tableFieldNo && open->Writable()) {
        throw EQELException(10115, "BLOB field already opened. FieldNo = %d, FieldName = %s",
                            {fieldNo, field.Name()});
      }
    }
  }
  auto inner = table.OpenBlob(*this, mode0 == bmWrite, mode0 != bmWrite, tableFieldNo);
  FBlobStreams.push_back(std::make_unique<TQELLocalBLOBStream>(std::move(inner), tableFieldNo, mode0));
  return FBlobStreams.back().get();
}

void TQELLocalCursor::FreeBlobStream(std::size_t index) {
  // Removed from the list first: the wrapper may reach the cursor again.
  std::unique_ptr<TQELLocalBLOBStream> stream = std::move(FBlobStreams[index]);
  FBlobStreams.erase(FBlobStreams.begin() + static_cast<std::ptrdiff_t>(index));
  stream.reset();
}

void TQELLocalCursor::CloseBlob(std::int32_t fieldNo) {
  TDatabaseLock lock = LockedDatabase();
  TQELTableData& table = OpenTableData();
  CheckFieldNo(fieldNo, FVisibleFieldDefs, 10118);
  const std::int32_t tableFieldNo = SourceFieldNo(fieldNo);
  for (std::size_t i = FBlobStreams.size(); i-- > 0;) {
    TQELLocalBLOBStream& stream = *FBlobStreams[i];
    if (stream.FieldNo() != tableFieldNo) continue;
    if (stream.Writable()) {
      table.PostBlob(*this, tableFieldNo, stream.Inner());
    } else if (FDiskTable != nullptr && RecordBuffer != nullptr) {
      FDiskTable->FreeBlobCache(RecordBuffer, tableFieldNo);
    }
    FreeBlobStream(i);
  }
}

void TQELLocalCursor::CloseBlobStreams(bool onlyWritable) {
  for (std::size_t i = FBlobStreams.size(); i-- > 0;) {
    if (onlyWritable && !FBlobStreams[i]->Writable()) continue;
    FreeBlobStream(i);
  }
}

void TQELLocalCursor::ReadBlobValue(std::int32_t tableFieldNo, TQELVariant& value) const {
  const TQELBaseFieldType type = FFieldDefs[tableFieldNo].BaseFieldType();
  TQELVariant result(type);
  if (!IsNull(tableFieldNo, RecordBuffer)) {
    TQELTableData& table = OpenTableData();
    TQELCriticalSectionGuard guard(table.DatabaseData().Lock());
    auto& self = const_cast<TQELLocalCursor&>(*this);
    std::unique_ptr<TQELBlobValueStream> stream = table.OpenBlob(self, false, true, tableFieldNo);
    const std::int64_t size = stream->GetSize();
    if (size > INT32_MAX) throw EQELException(20159, "BLOB value too large for a variant");
    std::uint8_t* bytes = result.AllocateData(static_cast<std::int32_t>(size), type);
    const std::int64_t read = size > 0 ? stream->Read(bytes, size) : 0;
    stream.reset();
    if (FDiskTable != nullptr) FDiskTable->FreeBlobCache(RecordBuffer, tableFieldNo);
    if (read != size) throw EQELException(20162, "Cannot read BLOB field value");
  }
  value = std::move(result);
}

void TQELLocalCursor::WriteBlobValue(std::int32_t tableFieldNo, const TQELVariant& value,
                                     std::uint8_t* record) const {
  TQELTableData& table = OpenTableData();
  TQELCriticalSectionGuard guard(table.DatabaseData().Lock());
  auto& self = const_cast<TQELLocalCursor&>(*this);
  // The table stores a value into the cursor's record buffer.
  std::uint8_t* const buffer = self.RecordBuffer;
  self.RecordBuffer = record;
  try {
    std::unique_ptr<TQELBlobValueStream> stream = table.OpenBlob(self, true, false, tableFieldNo);
    // A string's bytes end before its terminator.
    std::int64_t size = value.IsNull() ? 0 : value.DataSize();
    if (!value.IsNull() && IsStringBaseType(value.DataType())) {
      size = std::int64_t{value.StringLength()} * (IsWideStringBaseType(value.DataType()) ? 2 : 1);
    }
    if (size > 0) stream->Write(value.Data(), size);
    stream->SetSize(size);
    table.PostBlob(self, tableFieldNo, *stream);
  } catch (...) {
    self.RecordBuffer = buffer;
    throw;
  }
  self.RecordBuffer = buffer;
}

}  // namespace qel
