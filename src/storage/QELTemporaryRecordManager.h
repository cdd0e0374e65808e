#pragma once
// TQELTemporaryRecordManager: the records of a temporary table, append-only
// and in insertion order. A record's id is its 0-based insertion number as
// an unsigned 48-bit little-endian number, which is also its record number.
//
// The first MaxMemoryRecords records (a tenth of the memory available when
// the manager is made, unless given) stay in memory; record i from there on
// lives at byte (i - MaxMemoryRecords) x RecordBufferSize of a spill file,
// a temporary file "QEL..." made at the first record that needs it and gone
// when the manager closes it. With MemoryOnly every record stays in memory
// and no file is ever made.
//
// The records in memory lie in record chunks that never move
// (TQELRecordChunks): the first chunk holds GrowStep records and every
// further one as many as all before it, capped at MaxMemoryRecords, so that
// growing copies nothing and a record's chunk follows from its number by a
// division and a bit count. Should memory run out before the limit, the
// records go to the file from there on (a memory-only table fails the
// insert instead).
//
// Records bound for the file collect in a write buffer, made at the first
// such record and written out whole when it is full; a read of a record
// still in the buffer is served from it. Reads from the file go through a
// small read buffer: a walk in insertion order reads ahead (or behind,
// walking backward), any other read takes the one record, which stays
// there for the next read (an index walk reads its current record again
// before each step). Every size and offset is 64-bit.
//
// Updates and deletes are refused: nothing moves once written.

#include <cstdint>
#include <functional>
#include <memory>

#include "storage/QELBaseRecordManager.h"
#include "storage/QELRecordChunks.h"
#include "streams/QELFileStream.h"

namespace qel {

class TQELTemporaryRecordManager final : public TQELBaseRecordManager {
 public:
  // Pass as maxMemoryRecords to take a tenth of the available memory.
  static constexpr std::int64_t kMemoryShare = -1;
  // Record ids have 48 bits.
  static constexpr std::int64_t kMaxRecordCount = std::int64_t{1} << 48;
  // The write buffer holds BufferRecordCount records, but no more bytes
  // than this (at least one record), so that wide records do not take
  // their thousandfold in memory.
  static constexpr std::int64_t kMaxWriteBufferBytes = std::int64_t{1} << 20;
  // Bytes read ahead from the file when records are read in order.
  static constexpr std::int64_t kReadAheadBytes = 65536;

  // Makes the spill file when the first record goes to the file.
  using TSpillFileFactory = std::function<std::unique_ptr<TQELFileStream>()>;

  // A record size of 0 or less raises "Invalid record size = %d" (10124).
  // A grow step or buffer record count below 1 is taken as 1.
  // maxMemoryRecords other than kMemoryShare fixes how many records stay in
  // memory (tests use it to spill after a few records). Without a factory
  // the spill file is a plain temporary file.
  TQELTemporaryRecordManager(std::int32_t recordSize, bool memoryOnly, std::int32_t growStep,
                             std::int32_t bufferRecordCount,
                             std::int64_t maxMemoryRecords = kMemoryShare,
                             TSpillFileFactory spillFileFactory = {});
  // Frees the records and the write buffer and closes the spill file.
  ~TQELTemporaryRecordManager() override;

  void EmptyRecords(std::int32_t sessionID) override;
  // Appends the record. A record that cannot be stored raises (the spill
  // file cannot be made, "Error writing to stream" (10125) when the full
  // write buffer cannot be written, a memory-only table out of memory)
  // with nothing stored and the count as it was; false for no record or
  // more records than the ids can name.
  bool InsertRecord(std::int32_t sessionID, const std::uint8_t* record,
                    TQELRecordID& recordID) override;
  // Records of temporary tables are never changed or removed: false.
  bool UpdateRecord(std::int32_t sessionID, const std::uint8_t* record,
                    const TQELRecordID& recordID) override;
  bool DeleteRecord(std::int32_t sessionID, TQELRecordID& recordID) override;
  // Insertion order; the request's index is not consulted. A found record
  // needs a buffer; a record that cannot be read (or no buffer) raises
  // "Error retreiving record" (10127).
  void GetRecord(std::int32_t sessionID, TQELRecordRequest& request) override;
  std::int32_t CompareRecordIDs(const TQELRecordID& a, const TQELRecordID& b) override;
  // The record's 1-based position, -1 for no such record.
  std::int64_t GetRecordsBefore(std::int32_t sessionID, const TQELRecordID& recordID) override;

  // Writes the buffered records to the spill file ("Error writing to
  // stream" (10125) when they cannot all be written, "Cannot set stream
  // position ..." (10128)); nothing when the buffer is empty.
  void FlushWriteBuffer();
  // Takes back the last record inserted, for an insert that failed after
  // the record was stored.
  void RemoveLastRecord();

  static std::uint64_t NumberOf(const TQELRecordID& recordID);
  static TQELRecordID IDOf(std::uint64_t number);
  // (available memory div 10) div record size, in 64 bits.
  static std::int64_t MemoryShareInRecords(std::int64_t availableMemory, std::int32_t recordSize);
  // Where file record `index` (not below MaxMemoryRecords) is in the
  // spill file.
  static std::int64_t FileOffset(std::int64_t index, std::int64_t maxMemoryRecords,
                                 std::int32_t recordSize) {
    return (index - maxMemoryRecords) * recordSize;
  }

  bool MemoryOnly() const { return FMemoryOnly; }
  std::int32_t GrowStep() const { return FGrowStep; }
  std::int64_t MaxMemoryRecords() const { return FMaxMemoryRecords; }
  std::int64_t MemoryRecordCount() const { return FMemoryRecordCount; }
  std::int64_t MemoryCapacity() const { return FMemoryRecords.Capacity(); }
  // Records the write buffer holds when full.
  std::int32_t BufferRecordCount() const { return FBufferRecordCount; }
  std::int32_t BufferedCount() const { return FBufferedCount; }
  bool HasWriteBuffer() const { return FWriteBuffer != nullptr; }
  // None until the first record goes to the file.
  TQELFileStream* SpillFile() const { return FSpillFile.get(); }

 private:
  // Adds a chunk; false (with MaxMemoryRecords lowered to what memory
  // holds) when memory runs out for a table that may spill.
  bool GrowMemory();
  void BufferRecord(const std::uint8_t* record);
  void ReadRecord(std::int64_t index, std::uint8_t* buffer);
  // Fills the read buffer with `count` file records from `first` on.
  void ReadFromFile(std::int64_t first, std::int64_t count);
  void ForgetReads() {
    FReadCount = 0;
    FLastReadIndex = -1;
  }
  void Release();

  bool FMemoryOnly;
  std::int32_t FGrowStep;
  std::int32_t FBufferRecordCount;
  std::int64_t FMaxMemoryRecords;
  // Chunk 0 holds records 0 .. GrowStep - 1, chunk k > 0 the records from
  // GrowStep * 2^(k-1) up to GrowStep * 2^k - 1; the last one may be cut
  // short at MaxMemoryRecords.
  TQELRecordChunks FMemoryRecords;
  std::int64_t FMemoryRecordCount = 0;
  std::uint8_t* FWriteBuffer = nullptr;
  std::int32_t FBufferedCount = 0;
  std::unique_ptr<TQELFileStream> FSpillFile;
  TSpillFileFactory FSpillFileFactory;
  // File records FReadFirst .. FReadFirst + FReadCount - 1, as last read,
  // and the number of the record read last.
  std::uint8_t* FReadBuffer = nullptr;
  std::int64_t FReadBufferRecords;
  std::int64_t FReadFirst = 0;
  std::int64_t FReadCount = 0;
  std::int64_t FLastReadIndex = -1;
};

}  // namespace qel
