#pragma once
// TQELDiskTableData: a table stored in the database file, shared by every
// cursor of the process that has it open.
//
// A table is three internal files (metadata: the field, index and
// constraint definitions and the roots of its page indexes; header: the
// sequence values and the record counters, rewritten after every change;
// locks), record pages listed by a record pages index, index trees, and
// BLOB pages with their own index. Temporary indexes live in a private
// temporary page manager. The object is created closed: the first cursor
// opens it, the last one closes it (or, with one process alone on the
// file, leaves it open for the next; a rollback closes it).
//
// Structural changes (creating, deleting and renaming the table, renaming a
// field, the internal files) run under session -2 and are committed at
// once; record changes run under the cursor's session.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/QELDiskBlobManager.h"
#include "disk/QELDiskRecordManager.h"
#include "disk/QELInternalDBDirectAccessFile.h"
#include "disk/QELInternalDBTransactedAccessFile.h"
#include "disk/QELTableLocksFile.h"
#include "storage/QELTableData.h"
#include "storage/QELTemporaryPageManager.h"

namespace qel {

class TQELDiskDatabaseData;
class TQELDiskPageManager;

class TQELDiskTableData final : public TQELTableData {
 public:
  static constexpr std::int32_t kStructureSession = -2;

  TQELDiskTableData(TQELDiskDatabaseData& database, std::string tableName);
  ~TQELDiskTableData() override;

  std::int32_t ObjectID() const { return FObjectID; }
  bool IsOpen() const { return FHeaderFile != nullptr; }
  // The table is opened for repair; the opening cursor sets it first.
  bool RepairMode() const { return FRepairMode; }
  void SetRepairMode(bool repairMode) { FRepairMode = repairMode; }
  TQELDiskRecordManager* DiskRecordManager() const;
  TQELDiskBlobManager* BlobManager() const { return FBlobManager.get(); }

  // Operations of table data, as a file stores them.
  void CreateRecordManager() override;
  void SetIndexDefs(const TQELIndexDefs& defs) override;
  void ApplyChanges(std::int32_t sessionID, bool inTransaction) override;
  void CancelChanges(std::int32_t sessionID, bool inTransaction) override;
  void CreateTable(TQELTableCursor& cursor, const TQELFieldDefs& fieldDefs,
                   const TQELConstraintDefs& constraintDefs,
                   const TQELIndexDefs& indexDefs) override;
  void DeleteTable(TQELTableCursor& cursor, bool force) override;
  void EmptyTable(TQELTableCursor& cursor) override;
  void RenameTable(const std::string& newName, TQELTableCursor& cursor) override;
  // The first cursor opens the table.
  void AddCursor(TQELTableCursor* cursor) override;
  // The last cursor closes it, unless it stays open for the next one.
  void RemoveCursor(TQELTableCursor* cursor) override;
  void RenameField(std::string_view oldName, std::string_view newName) override;
  std::int32_t CreateIndex(const TQELIndexDef& indexDef, TQELTableCursor& cursor) override;
  void DropIndex(std::int32_t indexID, TQELTableCursor& cursor) override;
  std::int64_t GetRecordNumberLimit(std::int32_t sessionID) override;
  std::int64_t RecordIDToRecordNumber(const TQELRecordID& recordID) override;
  void RecordNumberToRecordID(TQELRecordID& recordID, std::int64_t number) override;
  void ReleaseRecordBuffer(std::uint8_t* record) override;
  void PostBlob(TQELTableCursor& cursor, std::int32_t fieldNo,
                TQELBlobValueStream& blobStream) override;
  void FreeBlobCache(std::uint8_t* record, std::int32_t fieldNo) override;
  std::unique_ptr<TQELBlobValueStream> OpenBlob(TQELTableCursor& cursor, bool truncate,
                                                bool loadValue, std::int32_t fieldNo) override;
  void ReadBlobData(std::int32_t sessionID, std::int32_t fieldNo, std::vector<std::uint8_t>& data,
                    TQELBlobDescriptor& descriptor, std::uint8_t* record) override;
  void WriteBlobData(TQELTableCursor& cursor, std::int32_t fieldNo,
                     const std::vector<std::uint8_t>& data, const TQELBlobDescriptor& descriptor,
                     std::uint8_t* record) override;
  void FreeBlobData(std::vector<std::uint8_t>& data) override;
  bool InsertRecord(TQELTableCursor& cursor) override;
  bool DeleteRecord(TQELTableCursor& cursor) override;
  bool UpdateRecord(TQELTableCursor& cursor) override;
  void InternalSetRecNo(TQELTableCursor& cursor, std::int64_t recNo) override;
  std::int64_t InternalGetRecNo(TQELTableCursor& cursor) override;
  std::int64_t InternalGetRecordCount(TQELTableCursor& cursor) override;
  std::int64_t GetLastAutoincValue(std::int32_t fieldNo,
                                   const TQELSessionSequenceValues& session) override;
  void RefreshIndexes(std::int32_t sessionID) override;

  // The header file: sequence values and record counters.
  void ReadTableHeader(std::int32_t sessionID);
  void WriteTableHeader(std::int32_t sessionID);
  // The metadata file: definitions and index roots.
  void LoadMetadata(std::int32_t sessionID);
  void SaveMetadata(std::int32_t sessionID);
  std::int32_t GetDiskRecordSize() const;
  // Table and record locks of a session on this table. With one process
  // alone on the file every request is granted at once; in multi-user mode
  // they go to the lock manager and the table's lock file. Kind 1 (read)
  // and kind 4 (write) also open and close an access in the page-version
  // cache.
  bool LockTable(std::int32_t sessionID, std::uint8_t kind, std::int32_t attempts,
                 std::uint8_t flag, std::int32_t delayMs);
  bool UnlockTable(std::int32_t sessionID, std::uint8_t kind, bool ignoreMissing);
  bool LockRecord(std::int32_t sessionID, const TQELRecordID& recordID, std::int32_t attempts,
                  std::int32_t delayMs);
  bool UnlockRecord(std::int32_t sessionID, const TQELRecordID& recordID);
  // Commits the session's pages of temporary indexes (the database's pages
  // are committed by the database).
  void ApplyTemporaryChanges(std::int32_t sessionID);

  // Reads, which in multi-user mode take the read lock and the current
  // table header around the shared operation.
  TQELGetRecordResult GetRecord(TQELTableCursor& cursor, TQELGetRecordMode mode) override;
  bool LocateRecord(TQELTableCursor& cursor, TQELRecordFilter* expression,
                    const TQELScanSearchConditionArray* derived = nullptr) override;
  bool SearchKey(TQELTableCursor& cursor, TQELSearchConditionType conditionType) override;
  void SetRecNo(TQELTableCursor& cursor, std::int64_t recNo) override;
  std::int64_t GetRecNo(TQELTableCursor& cursor) override;

  // Drops the changed BLOB values a cancelled edit left in `record`.
  void DiscardBlobCaches(std::uint8_t* record);
  // Closes a table no cursor uses that was left open for the next one, so
  // that the next opening reads everything from the file.
  void CloseIfUnused();
  // Frees this object when no cursor has the table open and it is closed;
  // answers whether it did (the object is gone then).
  bool ReleaseIfUnused();

 protected:
  TQELPageManager* TemporaryPageManager() override { return FTemporaryPageManager.get(); }
  void StoreRecordBlobs(TQELTableCursor& cursor, std::uint8_t* record,
                        const std::uint8_t* storedRecord) override;
  void DeleteRecordBlobs(std::int32_t sessionID, std::uint8_t* record) override;
  void RecordChanged(TQELTableCursor& cursor) override;
  std::int32_t UnsupportedConstraintError() const override { return 30040; }
  bool SharedBetweenSessions() const override;

 private:
  TQELDiskPageManager& DiskPages() const;
  // Opens the files and managers and reads the definitions and header.
  void OpenTable(TQELTableCursor& cursor);
  // Frees everything but the object; reports BLOB values left unposted.
  void CloseTable();
  void CreateManagers();
  void OpenTableFiles(std::int32_t metadataStart, std::int32_t headerStart,
                      std::int32_t locksStart);
  void DeleteTableFiles();
  void FreeTableFiles();
  // Rebuilds the record pages index when the header or the record count
  // does not agree with it.
  void OpenWithRepair(std::int32_t sessionID);
  // Opens the table for a structural change by `cursor`, exclusively.
  void OpenExclusively(TQELTableCursor& cursor);
  TQELDiskBlobManager& CheckedBlobManager() const;
  bool MultiUser() const;
  // Runs `body` as one read access: in multi-user mode under the read lock
  // (`lockedError` when it cannot be had, 0 to answer `refused` instead),
  // with the table header re-read and, with `current`, the table pushed
  // as the session's current table in the page-version cache.
  template <class TResult, class TBody>
  TResult ReadAccess(TQELTableCursor& cursor, std::int32_t lockedError, TResult refused,
                     bool current, TBody body);
  // Before a change in multi-user mode: the header as others left it.
  void PrepareChange(TQELTableCursor& cursor);
  void CheckOpen() const;
  // Whether the table stays open when its last cursor goes, and whether a
  // table kept open so can serve `cursor` without opening again.
  bool StaysOpenWhenUnused() const;
  bool ReusableBy(const TQELTableCursor& cursor) const;

  TQELDiskDatabaseData& FDatabase;
  std::int32_t FObjectID = -1;
  std::unique_ptr<TQELTemporaryPageManager> FTemporaryPageManager;
  std::unique_ptr<TQELInternalDBTransactedAccessFile> FMetadataFile;
  std::unique_ptr<TQELInternalDBTransactedAccessFile> FHeaderFile;
  std::unique_ptr<TQELInternalDBDirectAccessFile> FLocksFile;
  std::unique_ptr<TQELTableLocksFile> FLocks;
  std::unique_ptr<TQELDiskBlobManager> FBlobManager;
  // The working streams of BLOB values opened here, reused value after value.
  std::shared_ptr<TQELBlobStreamPool> FBlobStreams = std::make_shared<TQELBlobStreamPool>();
  // The header file's bytes, reused: the header is rewritten after every
  // change and re-read before every access in multi-user mode.
  std::vector<std::uint8_t> FHeaderBuffer;
  bool FRepairMode = false;
  bool FOpenedExclusive = false;
  bool FOpenedForRepair = false;
  // The header could not be read again after a cancelled change.
  bool FHeaderStale = false;
  bool FInStructureChange = false;
};

}  // namespace qel
