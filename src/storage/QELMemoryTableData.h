#pragma once
// TQELMemoryTableData: a table of the memory database. Its records are in a
// memory record manager, its index pages in a page manager of its own that
// keeps them in memory, and each BLOB value in one block of the engine
// memory manager. Nothing of it reaches a file.
//
// Memory tables are outside transactions (TQELAppliedAtOnceTableData):
// records and BLOB values are not kept per session, so every change, index
// pages included, is applied at once, and a rollback leaves memory tables
// as they are. A change that fails is undone in full (record, index pages,
// BLOB blocks).
//
// A BLOB field's slot holds a handle (a number this table hands out, never
// reused), not the block's address: a slot that was copied or went stale
// cannot reach freed memory, it is refused. A block is either the stored
// record's, or new: made by PostBlob or WriteBlobData for a record being
// edited and not stored yet. A change frees the blocks it replaces only
// once it has stored the record; a cancelled edit frees only its new
// blocks (FreeRecordBlobs on the edit's record buffer).

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "storage/QELAppliedAtOnceTableData.h"
#include "storage/QELMemoryPageManager.h"
#include "storage/QELMemoryRecordManager.h"

namespace qel {

class TQELMemoryDatabaseData;

namespace memory_table_detail {

// Holds the table's page manager so that it is built before, and
// destroyed after, the table data that works on it.
struct TPageManagerHolder {
  std::unique_ptr<TQELMemoryPageManager> FPages = std::make_unique<TQELMemoryPageManager>();
};

}  // namespace memory_table_detail

class TQELMemoryTableData final : private memory_table_detail::TPageManagerHolder,
                                  public TQELAppliedAtOnceTableData {
 public:
  // Slots the record array grows by at least.
  static constexpr std::int32_t kGrowStep = 1000;
  // BlockCount (int32) and UncompressedSize (int64) before a value's data.
  static constexpr std::int64_t kBlobHeaderSize = 12;

  TQELMemoryTableData(TQELDatabaseData& database, std::string tableName);
  // Frees every BLOB block, the managers, then the pages.
  ~TQELMemoryTableData() override;

  TQELMemoryPageManager& MemoryPageManager() const { return *FPages; }
  TQELMemoryRecordManager* MemoryRecordManager() const;
  std::int32_t GrowStep() const { return FGrowStep; }
  // Live BLOB blocks, stored and new.
  std::size_t BlobBlockCount() const { return FBlobs.size(); }

  void CreateRecordManager() override;
  // Drops the blocks a failed change would have replaced, and cancels
  // through the memory page manager's own CancelChanges.
  void CancelChanges(std::int32_t sessionID, bool inTransaction) override;
  // No fields raise "Error creating table - no fields were specified"
  // (10025).
  void CreateTable(TQELTableCursor& cursor, const TQELFieldDefs& fieldDefs,
                   const TQELConstraintDefs& constraintDefs,
                   const TQELIndexDefs& indexDefs) override;
  void EmptyTable(TQELTableCursor& cursor) override;
  // One more than the highest slot in use.
  std::int64_t GetRecordNumberLimit(std::int32_t sessionID) override;
  std::int64_t RecordIDToRecordNumber(const TQELRecordID& recordID) override;
  void RecordNumberToRecordID(TQELRecordID& recordID, std::int64_t number) override;
  void ReleaseRecordBuffer(std::uint8_t* record) override;
  // Reading and searching only read index pages: the page manager lends
  // its stored pages to them instead of copying each page read.
  TQELGetRecordResult GetRecord(TQELTableCursor& cursor, TQELGetRecordMode mode) override;
  bool SearchKey(TQELTableCursor& cursor, TQELSearchConditionType conditionType) override;
  void PostBlob(TQELTableCursor& cursor, std::int32_t fieldNo,
                TQELBlobValueStream& blobStream) override;
  // Frees the field's block when it is new (the field becomes NULL); a
  // stored record's block is left to it.
  void FreeBlobCache(std::uint8_t* record, std::int32_t fieldNo) override;
  std::unique_ptr<TQELBlobValueStream> OpenBlob(TQELTableCursor& cursor, bool truncate,
                                                bool loadValue, std::int32_t fieldNo) override;
  void ReadBlobData(std::int32_t sessionID, std::int32_t fieldNo, std::vector<std::uint8_t>& data,
                    TQELBlobDescriptor& descriptor, std::uint8_t* record) override;
  void WriteBlobData(TQELTableCursor& cursor, std::int32_t fieldNo,
                     const std::vector<std::uint8_t>& data, const TQELBlobDescriptor& descriptor,
                     std::uint8_t* record) override;
  bool InsertRecord(TQELTableCursor& cursor) override;
  bool DeleteRecord(TQELTableCursor& cursor) override;
  bool UpdateRecord(TQELTableCursor& cursor) override;
  void InternalSetRecNo(TQELTableCursor& cursor, std::int64_t recNo) override;
  std::int64_t InternalGetRecNo(TQELTableCursor& cursor) override;
  std::int64_t InternalGetRecordCount(TQELTableCursor& cursor) override;
  std::int64_t GetLastAutoincValue(std::int32_t fieldNo,
                                   const TQELSessionSequenceValues& session) override;

 protected:
  void StoreRecordBlobs(TQELTableCursor& cursor, std::uint8_t* record,
                        const std::uint8_t* storedRecord) override;
  void DeleteRecordBlobs(std::int32_t sessionID, std::uint8_t* record) override;
  void RecordChanged(TQELTableCursor& cursor) override;
  std::int32_t UnsupportedConstraintError() const override { return 30040; }

 private:
  struct TBlob {
    std::uint8_t* Block = nullptr;
    // Made for a record being edited, not yet the stored record's.
    bool New = true;
  };

  TQELMemoryRecordManager& CheckedMemoryRecords(std::int32_t nativeError) const;
  // The handle in a non-NULL BLOB field's slot; 0 for a NULL field.
  std::uint64_t HandleOf(const std::uint8_t* record, std::int32_t fieldNo) const;
  void SetHandle(std::uint8_t* record, std::int32_t fieldNo, std::uint64_t handle) const;
  // The live block of a handle; "Nil pointer occured" with `nativeError`
  // when there is none.
  TBlob& CheckedBlob(std::uint64_t handle, std::int32_t nativeError);
  // A new block of `dataSize` bytes after the header, registered as new.
  std::uint64_t NewBlob(std::int32_t blockCount, std::int64_t uncompressedSize,
                        const void* data, std::int64_t dataSize);
  void FreeBlob(std::uint64_t handle);
  // Frees every block that is not new (the table's records are going).
  void FreeStoredBlobs();
  void FreeAllBlobs();
  // Stores the record and keeps its keys and blocks; on any failure after
  // the record manager stored it, takes it out again.
  bool InsertUndoable(TQELTableCursor& cursor);
  bool UpdateUndoable(TQELTableCursor& cursor);
  template <class TChange, class TUndo>
  bool StoreOrUndo(TQELTableCursor& cursor, TChange change, TUndo undo);
  // After a stored change: the record's new blocks become its own and the
  // blocks it replaced are freed.
  void KeepRecordBlobs(const std::uint8_t* record);

  std::int32_t FGrowStep = kGrowStep;
  std::unordered_map<std::uint64_t, TBlob> FBlobs;
  std::uint64_t FLastHandle = 0;
  // Blocks a change in progress replaces; freed once it succeeded.
  std::vector<std::uint64_t> FReplacedBlobs;
  // The record an update replaces, put back when the update fails.
  std::vector<std::uint8_t> FOldRecord;
};

}  // namespace qel
