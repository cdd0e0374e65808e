#pragma once
// TQELTemporaryTableData: a table of the temporary database, where query
// results are materialised and sorted. Records can be appended and read in
// insertion order, never changed or removed. Records and index pages stay
// in memory up to a share of the available memory and spill into temporary
// files beyond it; a table created by a cursor with DisableTempFiles never
// spills.
//
// Every BLOB value of the table is appended to one BLOB stream as a 20-byte
// header (BlockCount int32, UncompressedSize int64, DataSize int64) and its
// compressed blocks; the field's slot holds the header's position in its
// first 8 bytes. Values are never removed from the stream: it grows until
// the table is emptied or destroyed.
//
// Temporary tables are outside transactions (TQELAppliedAtOnceTableData):
// their records are not kept per session, so neither are their index
// pages. Every change is applied at once, and an insert whose index keys
// fail takes its record back.
//
// The page manager is the table's own. Creating or emptying the table puts
// a fresh one in its place (at the same address, so that the index manager
// and the table data keep referring to it): emptying closes the page spill
// file and lets the reused table keep its pages in memory again.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "storage/QELAppliedAtOnceTableData.h"
#include "storage/QELTemporaryPageManager.h"
#include "storage/QELTemporaryRecordManager.h"
#include "streams/QELStream.h"

namespace qel {

// How much of a temporary table stays in memory; the defaults take a
// tenth of the available memory each for records and for index pages.
// Tests fix them to spill after a few records or pages.
struct TQELTemporaryMemoryLimits {
  std::int64_t MaxMemoryRecords = TQELTemporaryRecordManager::kMemoryShare;
  std::int32_t MaxMemoryPages = TQELTemporaryPageManager::kMemoryShare;
};

namespace temporary_table_detail {

// Holds the table's page manager so that it is built before, and destroyed
// after, the table data that works on it.
struct TPageManagerHolder {
  // Made without consulting the available memory: CreateTable replaces it.
  TPageManagerHolder() { FPages.emplace(false, 0); }
  std::optional<TQELTemporaryPageManager> FPages;
};

}  // namespace temporary_table_detail

class TQELTemporaryTableData final : private temporary_table_detail::TPageManagerHolder,
                                     public TQELAppliedAtOnceTableData {
 public:
  static constexpr std::int32_t kBufferRecordCount = 1000;
  static constexpr std::int32_t kGrowStep = 10;
  // The initial capacity of a memory-only table's BLOB stream.
  static constexpr std::int64_t kMemoryBlobCapacity = 1048576;

  TQELTemporaryTableData(TQELDatabaseData& database, std::string tableName,
                         const TQELTemporaryMemoryLimits& limits = {});
  // Frees the managers, the BLOB stream, then the pages; every spill file
  // closes and so vanishes.
  ~TQELTemporaryTableData() override;

  TQELTemporaryPageManager& TemporaryPages() { return *FPages; }
  const TQELTemporaryPageManager& TemporaryPages() const { return *FPages; }
  TQELTemporaryRecordManager* TemporaryRecordManager() const;
  // None when the table has no BLOB field.
  TQELStream* BlobStream() const { return FBlobStream.get(); }
  const TQELTemporaryMemoryLimits& MemoryLimits() const { return FLimits; }
  // For the next CreateTable (or CreateRecordManager).
  void SetMemoryLimits(const TQELTemporaryMemoryLimits& limits) { FLimits = limits; }
  std::int32_t BufferRecordCount() const { return FBufferRecordCount; }
  std::int32_t GrowStep() const { return FGrowStep; }

  void CreateRecordManager() override;
  // No fields raise "Error creating table - no fields were specified"
  // (10132). The table's temporary data stays in memory when the cursor
  // has DisableTempFiles.
  void CreateTable(TQELTableCursor& cursor, const TQELFieldDefs& fieldDefs,
                   const TQELConstraintDefs& constraintDefs,
                   const TQELIndexDefs& indexDefs) override;
  // Drops every record, every BLOB value and every index entry, closing
  // the spill files; a table with BLOB fields gets a fresh BLOB stream.
  void EmptyTable(TQELTableCursor& cursor) override;
  // The record count: numbers are insertion numbers.
  std::int64_t GetRecordNumberLimit(std::int32_t sessionID) override;
  std::int64_t RecordIDToRecordNumber(const TQELRecordID& recordID) override;
  void RecordNumberToRecordID(TQELRecordID& recordID, std::int64_t number) override;
  // Without BLOB stream "Nil pointer occured" (10144).
  void PostBlob(TQELTableCursor& cursor, std::int32_t fieldNo,
                TQELBlobValueStream& blobStream) override;
  // Without BLOB stream "Nil pointer occured" (10140).
  std::unique_ptr<TQELBlobValueStream> OpenBlob(TQELTableCursor& cursor, bool truncate,
                                                bool loadValue, std::int32_t fieldNo) override;
  void ReadBlobData(std::int32_t sessionID, std::int32_t fieldNo, std::vector<std::uint8_t>& data,
                    TQELBlobDescriptor& descriptor, std::uint8_t* record) override;
  // Stores into `record`, or the cursor's record buffer when none is given.
  // Without BLOB stream "Nil pointer occured" (10506).
  void WriteBlobData(TQELTableCursor& cursor, std::int32_t fieldNo,
                     const std::vector<std::uint8_t>& data, const TQELBlobDescriptor& descriptor,
                     std::uint8_t* record) override;
  // False, with the count and the cursor's position unchanged, when the
  // record could not be stored.
  bool InsertRecord(TQELTableCursor& cursor) override;
  // Records of temporary tables cannot be changed or removed: false.
  bool DeleteRecord(TQELTableCursor& cursor) override;
  bool UpdateRecord(TQELTableCursor& cursor) override;
  void InternalSetRecNo(TQELTableCursor& cursor, std::int64_t recNo) override;
  std::int64_t InternalGetRecNo(TQELTableCursor& cursor) override;
  std::int64_t InternalGetRecordCount(TQELTableCursor& cursor) override;

 private:
  TQELTemporaryRecordManager& CheckedTemporaryRecords(std::int32_t nativeError) const;
  // Puts a fresh page manager in place of the current one. No index object
  // may be live (they hold the pages of the old one).
  void ReplacePageManager();
  void NewBlobStream();
  // Sets the field's slot to the value at `position`, or NULL for -1.
  void SetBlobPosition(std::uint8_t* record, std::int32_t fieldNo, std::int64_t position) const;
  // Positions the BLOB stream at the header of a non-NULL field's value
  // and reads it, checking it against the stream's size.
  TQELBlobDescriptor ReadBlobHeader(const std::uint8_t* record, std::int32_t fieldNo,
                                    std::int32_t seekError, std::int32_t readError);
  // Appends a header and its data (`source` from its start, else `data`)
  // to the BLOB stream; answers the header's position. A failure leaves
  // the stream as it was.
  std::int64_t AppendBlob(const TQELBlobDescriptor& header, TQELStream* source,
                          const std::uint8_t* data, std::int32_t seekError,
                          std::int32_t writeError);

  TQELTemporaryMemoryLimits FLimits;
  std::int32_t FBufferRecordCount = kBufferRecordCount;
  std::int32_t FGrowStep = kGrowStep;
  std::unique_ptr<TQELStream> FBlobStream;
};

}  // namespace qel
