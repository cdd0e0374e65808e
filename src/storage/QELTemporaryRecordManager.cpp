// TQELTemporaryRecordManager: records in memory chunks, then in a spill
// file through a write buffer; reading them back in insertion order.

#include "storage/QELTemporaryRecordManager.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <utility>

#include "memory/QELMemory.h"
#include "platform/QELException.h"

namespace qel {

namespace {

constexpr const char* kPositionMsg = "Cannot set stream position to %d. Position = %d, Size = %d";

void FreeBlock(void* block) {
  try {
    QELMemoryManager().FreeAndNillMem(block);
  } catch (...) {
    // Blocks of this manager are written only within their size; a report
    // of damage cannot be given from a destructor anyway.
  }
}

}  // namespace

TQELTemporaryRecordManager::TQELTemporaryRecordManager(std::int32_t recordSize, bool memoryOnly,
                                                       std::int32_t growStep,
                                                       std::int32_t bufferRecordCount,
                                                       std::int64_t maxMemoryRecords,
                                                       TSpillFileFactory spillFileFactory)
    : TQELBaseRecordManager(recordSize),
      FMemoryOnly(memoryOnly),
      FGrowStep(std::max(growStep, 1)),
      FBufferRecordCount(1),
      FMaxMemoryRecords(0),
      FMemoryRecords(recordSize, FGrowStep, FGrowStep),
      FSpillFileFactory(std::move(spillFileFactory)),
      FReadBufferRecords(1) {
  if (recordSize <= 0) throw EQELException(10124, "Invalid record size = %d", {recordSize});
  FReadBufferRecords = std::max<std::int64_t>(kReadAheadBytes / recordSize, 1);
  const std::int64_t byBytes = std::max<std::int64_t>(kMaxWriteBufferBytes / recordSize, 1);
  FBufferRecordCount =
      static_cast<std::int32_t>(std::clamp<std::int64_t>(bufferRecordCount, 1, byBytes));
  FMaxMemoryRecords =
      maxMemoryRecords == kMemoryShare
          ? MemoryShareInRecords(QELMemoryManager().AvailableMemory(), recordSize)
          : std::clamp<std::int64_t>(maxMemoryRecords, 0, kMaxRecordCount);
}

TQELTemporaryRecordManager::~TQELTemporaryRecordManager() { Release(); }

std::int64_t TQELTemporaryRecordManager::MemoryShareInRecords(std::int64_t availableMemory,
                                                              std::int32_t recordSize) {
  if (recordSize <= 0 || availableMemory <= 0) return 0;
  return std::min(availableMemory / 10 / recordSize, kMaxRecordCount);
}

std::uint64_t TQELTemporaryRecordManager::NumberOf(const TQELRecordID& recordID) {
  std::uint64_t number = 0;
  for (std::int32_t i = kQELRecordIDSize - 1; i >= 0; --i) {
    number = (number << 8) | recordID[static_cast<std::size_t>(i)];
  }
  return number;
}

TQELRecordID TQELTemporaryRecordManager::IDOf(std::uint64_t number) {
  TQELRecordID id{};
  for (std::int32_t i = 0; i < kQELRecordIDSize; ++i) {
    id[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(number >> (8 * i));
  }
  return id;
}

void TQELTemporaryRecordManager::Release() {
  FMemoryRecords.Release();
  FreeBlock(FWriteBuffer);
  FWriteBuffer = nullptr;
  FMemoryRecordCount = 0;
  FBufferedCount = 0;
  ForgetReads();
  FreeBlock(FReadBuffer);
  FReadBuffer = nullptr;
  // Closing the spill file removes it.
  FSpillFile.reset();
}

void TQELTemporaryRecordManager::EmptyRecords(std::int32_t) {
  Release();
  FRecordCount = 0;
  NoteChange();
}

// ---- Storing ---------------------------------------------------------------

bool TQELTemporaryRecordManager::GrowMemory() {
  try {
    return FMemoryRecords.Grow(FMemoryOnly ? kMaxRecordCount : FMaxMemoryRecords);
  } catch (const std::exception&) {
    if (FMemoryOnly) throw;
    // No record is in the file yet (records go there only past the
    // limit), so the file may start right here.
    FMaxMemoryRecords = FMemoryRecords.Capacity();
    return false;
  }
}

// The buffer comes first: an insert that fails for want of memory leaves
// no file behind.
void TQELTemporaryRecordManager::BufferRecord(const std::uint8_t* record) {
  if (FWriteBuffer == nullptr) {
    FWriteBuffer = static_cast<std::uint8_t*>(
        QELMemoryManager().GetMem(std::int64_t{FBufferRecordCount} * FRecordBufferSize));
  }
  if (!FSpillFile) {
    FSpillFile = FSpillFileFactory ? FSpillFileFactory() : TQELFileStream::CreateTemporary();
  }
  if (FBufferedCount == FBufferRecordCount) FlushWriteBuffer();
  std::memcpy(FWriteBuffer + std::int64_t{FBufferedCount} * FRecordBufferSize, record,
              static_cast<std::size_t>(FRecordBufferSize));
  ++FBufferedCount;
}

bool TQELTemporaryRecordManager::InsertRecord(std::int32_t, const std::uint8_t* record,
                                              TQELRecordID& recordID) {
  if (record == nullptr || FRecordCount >= kMaxRecordCount) return false;
  bool toMemory = FMemoryOnly || FRecordCount < FMaxMemoryRecords;
  if (toMemory && FMemoryRecordCount == FMemoryRecords.Capacity()) {
    toMemory = GrowMemory();
    if (!toMemory && FMemoryOnly) return false;
  }
  if (toMemory) {
    std::memcpy(FMemoryRecords.At(FMemoryRecordCount), record,
                static_cast<std::size_t>(FRecordBufferSize));
    ++FMemoryRecordCount;
  } else {
    BufferRecord(record);
  }
  recordID = IDOf(static_cast<std::uint64_t>(FRecordCount));
  ++FRecordCount;
  // Index positions cached by cursors are stamped with the change count: an
  // insert moves entries, so it must count.
  NoteChange();
  return true;
}

void TQELTemporaryRecordManager::FlushWriteBuffer() {
  if (FBufferedCount == 0) return;
  if (FBufferedCount > FBufferRecordCount) {
    throw EQELException(10126, "Invalid record count = %d. Limit is %d",
                        {FBufferedCount, FBufferRecordCount});
  }
  const std::int64_t position =
      FileOffset(FRecordCount - FBufferedCount, FMaxMemoryRecords, FRecordBufferSize);
  const std::int64_t reached = FSpillFile->Seek(position, soBeginning);
  if (reached != position) {
    throw EQELException(10128, kPositionMsg, {position, reached, FSpillFile->GetSize()});
  }
  const std::int64_t bytes = std::int64_t{FBufferedCount} * FRecordBufferSize;
  std::int64_t written = 0;
  try {
    written = FSpillFile->Write(FWriteBuffer, bytes);
  } catch (const std::exception&) {
    written = -1;
  }
  // The records stay buffered: a later flush writes them again at the
  // same place.
  if (written != bytes) throw EQELException(10125, "Error writing to stream");
  FBufferedCount = 0;
}

void TQELTemporaryRecordManager::RemoveLastRecord() {
  if (FRecordCount == 0) return;
  const std::int64_t last = FRecordCount - 1;
  if (FMemoryOnly || last < FMaxMemoryRecords) {
    --FMemoryRecordCount;
  } else if (FBufferedCount > 0) {
    // A new record is always in the buffer: a full buffer is written
    // before a record is added to it.
    --FBufferedCount;
  }
  --FRecordCount;
  // Its place in the file will hold the next record.
  if (last < FReadFirst + FReadCount) ForgetReads();
  NoteChange();
}

bool TQELTemporaryRecordManager::UpdateRecord(std::int32_t, const std::uint8_t*,
                                              const TQELRecordID&) {
  return false;
}

bool TQELTemporaryRecordManager::DeleteRecord(std::int32_t, TQELRecordID&) { return false; }

// ---- Reading ---------------------------------------------------------------

void TQELTemporaryRecordManager::ReadRecord(std::int64_t index, std::uint8_t* buffer) {
  const auto size = static_cast<std::size_t>(FRecordBufferSize);
  if (FMemoryOnly || index < FMaxMemoryRecords) {
    std::memcpy(buffer, FMemoryRecords.At(index), size);
    return;
  }
  const std::int64_t firstBuffered = FRecordCount - FBufferedCount;
  if (index >= firstBuffered) {
    std::memcpy(buffer, FWriteBuffer + (index - firstBuffered) * FRecordBufferSize, size);
    return;
  }
  if (index < FReadFirst || index >= FReadFirst + FReadCount) {
    // In order, as far ahead (or behind) as the buffer goes and the file
    // holds; otherwise the one record.
    if (index == FLastReadIndex + 1) {
      ReadFromFile(index, std::min(FReadBufferRecords, firstBuffered - index));
    } else if (index == FLastReadIndex - 1) {
      const std::int64_t first = std::max(index - FReadBufferRecords + 1, FMaxMemoryRecords);
      ReadFromFile(first, index - first + 1);
    } else {
      ReadFromFile(index, 1);
    }
  }
  FLastReadIndex = index;
  std::memcpy(buffer, FReadBuffer + (index - FReadFirst) * FRecordBufferSize, size);
}

void TQELTemporaryRecordManager::ReadFromFile(std::int64_t first, std::int64_t count) {
  ForgetReads();
  if (FReadBuffer == nullptr) {
    FReadBuffer = static_cast<std::uint8_t*>(
        QELMemoryManager().GetMem(FReadBufferRecords * FRecordBufferSize));
  }
  const std::int64_t bytes = count * FRecordBufferSize;
  const std::int64_t position = FileOffset(first, FMaxMemoryRecords, FRecordBufferSize);
  if (FSpillFile->Seek(position, soBeginning) != position ||
      FSpillFile->Read(FReadBuffer, bytes) != bytes) {
    throw EQELException(10127, "Error retreiving record");
  }
  FReadFirst = first;
  FReadCount = count;
}

void TQELTemporaryRecordManager::GetRecord(std::int32_t, TQELRecordRequest& request) {
  if (FRecordCount == 0) {
    request.Result = grEOF;
    return;
  }
  std::int64_t found = -1;
  if (request.BeforeFirst) {
    if (request.Mode != grmNext) {
      request.Result = request.Mode == grmPrior ? grBOF : grError;
      return;
    }
    found = 0;
  } else if (request.AfterLast) {
    if (request.Mode != grmPrior) {
      request.Result = request.Mode == grmNext ? grEOF : grError;
      return;
    }
    found = FRecordCount - 1;
  } else {
    // Numbers are unsigned 48-bit: every id converts without overflow.
    const auto index = static_cast<std::int64_t>(NumberOf(request.RecordID));
    switch (request.Mode) {
      case grmCurrent:
        if (index >= FRecordCount) {
          request.Result = grError;
          return;
        }
        found = index;
        break;
      case grmNext:
        if (index >= FRecordCount - 1) {
          request.Result = grEOF;
          request.AfterLast = true;
          return;
        }
        found = index + 1;
        break;
      case grmPrior:
        if (index < 1) {
          request.Result = grBOF;
          request.BeforeFirst = true;
          return;
        }
        // An id past the end steps back to the last record.
        found = std::min(index - 1, FRecordCount - 1);
        break;
      default:
        request.Result = grError;
        return;
    }
  }
  if (request.Buffer == nullptr) throw EQELException(10127, "Error retreiving record");
  try {
    ReadRecord(found, request.Buffer);
  } catch (const std::exception&) {
    throw EQELException(10127, "Error retreiving record");
  }
  request.RecordID = IDOf(static_cast<std::uint64_t>(found));
  request.BeforeFirst = false;
  request.AfterLast = false;
  request.Result = grOK;
}

std::int32_t TQELTemporaryRecordManager::CompareRecordIDs(const TQELRecordID& a,
                                                          const TQELRecordID& b) {
  const std::uint64_t x = NumberOf(a);
  const std::uint64_t y = NumberOf(b);
  return x > y ? 1 : x < y ? -1 : 0;
}

std::int64_t TQELTemporaryRecordManager::GetRecordsBefore(std::int32_t,
                                                          const TQELRecordID& recordID) {
  const auto number = static_cast<std::int64_t>(NumberOf(recordID));
  return number < FRecordCount ? number + 1 : -1;
}

}  // namespace qel
