#pragma once
// TQELLocalCursor: a cursor on a table of a database of this process. It
// turns each operation into calls on the table's shared table data under
// the database's lock, and carries out the multi-user editing protocol:
// the table and record locks, re-reading the record and comparing it with
// the copy before changing it, and the status codes the dataset layer
// reports.
//
// Waiting for a lock another session holds never keeps the database lock:
// each try is made under it and each pause is made without it, so the
// other sessions of the process go on reading and writing meanwhile.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/QELCursor.h"
#include "engine/QELLocalBLOBStream.h"
#include "storage/QELIndexManager.h"
#include "storage/QELScanSearchCondition.h"

namespace qel {

class TQELDatabaseData;
class TQELDiskTableData;
class TQELTableData;

class TQELLocalCursor : public TQELCursor {
 public:
  TQELLocalCursor() = default;
  // Closes; what closing raises is dropped.
  ~TQELLocalCursor() override;

  std::int32_t SessionID() const override;
  bool InTransaction() const override;

  // Structural changes run on a closed cursor under the database lock and
  // leave it closed. A missing table raises 20132 (delete), 20133 (empty)
  // or 20134 (rename); renaming onto another table raises "Table %s
  // already exists" (30451), onto its own exact name "Cannot rename table
  // '%s' into itself" (30452).
  void CreateTable(const TQELFieldDefs& fieldDefs, const TQELIndexDefs& indexDefs,
                   const TQELConstraintDefs& constraintDefs) override;
  void DeleteTable() override;
  void EmptyTable() override;
  void RenameTable(const std::string& newName) override;
  void InitFieldDefs() override;
  // On the in-memory and temporary databases a missing table raises "Table
  // not found, table name = %s" (10028) unless CreateIfMissing, which
  // creates it from the definitions given.
  void Open(const TQELFieldDefs& fieldDefs, const TQELIndexDefs& indexDefs,
            const TQELConstraintDefs& constraintDefs) override;
  void Close() override;
  void LockDatabase() override;
  void UnlockDatabase() override;
  bool LockTable(std::uint8_t kind, std::int32_t attempts, std::int32_t delayMs,
                 std::uint8_t flag) override;
  bool UnlockTable(std::uint8_t kind, bool flag) override;
  void RenameField(const std::string& oldName, const std::string& newName) override;
  const TQELIndexDefs& GetIndexDefs() override;
  void CreateIndex(const TQELIndexDef& indexDef) override;
  void DropIndex(const std::string& name) override;
  void DropAllIndexes() override;
  std::string GetIndexForFields(const std::vector<std::string>& fieldNames,
                                const std::vector<std::string>& directions,
                                const std::vector<std::string>& cases) override;
  bool IndexExistsForFields(const std::vector<std::string>& fieldNames,
                            const std::vector<std::string>& directions,
                            const std::vector<std::string>& cases) override;
  void CopyFieldValue(std::int32_t fieldNo, bool fromVisible, TQELCursor& dest,
                      std::int32_t destFieldNo) override;
  void InitRecord(std::uint8_t* buffer, bool applyDefaults) override;
  void FreeRecordBuffer(std::uint8_t*& buffer) override;
  std::int64_t GetRecordCount() override;
  // Reads into RecordBuffer and, on success, writes the record's id and the
  // current-record flag into its bookmark bytes.
  TQELGetRecordResult GetRecord(TQELGetRecordMode mode) override;
  void SetRecNo(std::int64_t recNo) override;
  std::int64_t GetRecNo() override;
  void First() override;
  void Last() override;
  void Insert() override {}
  // The editing protocol: each records Status (and ErrorText for -8)
  // instead of raising for the conditions it names, and leaves no lock it
  // took behind on failure.
  void Edit() override;
  void Cancel(bool isInsert) override;
  void Post(bool isInsert) override;
  void Delete() override;
  void SetDistinctFields(const std::vector<std::string>& fieldNames,
                         const std::vector<std::string>& directions,
                         const std::vector<std::string>& cases) override;
  // Needs the filter factory of the expression layer; without one raises
  // "Filter expressions are not available" (20300).
  void SetFilter(const std::string& text, bool caseInsensitive, bool partialCompare) override;
  void ClearFilter() override;
  // Positions on the first record, in the cursor's order and within its
  // restrictions, whose key fields equal the values. An index whose
  // leading columns are the key fields serves as the access path.
  bool Locate(const std::vector<std::string>& keyFields, const std::vector<TQELVariant>& keyValues,
              bool partialKey, bool caseInsensitive) override;
  bool SearchKey(TQELSearchConditionType conditionType) override;
  bool LocateCondition(const std::string& fieldName, TQELSearchConditionType kind,
                       const TQELVariant& value) override;
  // The stream stays the cursor's: it is freed by CloseBlob, by
  // CloseBlobStreams and by closing the cursor. Answers null when browsing
  // and the current record is gone.
  TQELLocalBLOBStream* OpenBlob(bool isInsert, bool isEdit, bool isBrowse, std::uint8_t mode,
                                std::int32_t fieldNo) override;
  void CloseBlob(std::int32_t fieldNo) override;
  void CloseBlobStreams(bool onlyWritable) override;
  std::int64_t GetLastAutoincValue(std::int32_t fieldNo) override;
  void BeginChanges() override;
  void ApplyChanges() override;
  void CancelChanges() override;
  bool CheckConstraints(bool isInsert) override;

  const std::vector<std::unique_ptr<TQELLocalBLOBStream>>& BlobStreams() const {
    return FBlobStreams;
  }
  // Null while closed.
  TQELTableData* TableData() const { return FTableData; }

 protected:
  void ReadBlobValue(std::int32_t tableFieldNo, TQELVariant& value) const override;
  void WriteBlobValue(std::int32_t tableFieldNo, const TQELVariant& value,
                      std::uint8_t* record) const override;

 private:
  using TDatabaseLock = std::unique_lock<TQELCriticalSection>;

  TQELDatabaseData& Database() const;
  TDatabaseLock LockedDatabase() const;
  TQELTableData& OpenTableData() const;
  bool IsTemporaryDatabase() const;
  bool MultiUserDisk() const;
  // The structural frame: closed, under the database lock, the table data
  // of an existing table (`missingCode` when the table does not exist,
  // `noDataCode` when no table data can be had), closed again afterwards.
  template <class TBody>
  void RunOnTable(std::int32_t missingCode, std::int32_t noDataCode, TBody body);
  void RefreshDefinitions();
  void FreeOpenState();
  TQELIndexColumnRequest TableColumns(const std::vector<std::string>& fieldNames,
                                      const std::vector<std::string>& directions,
                                      const std::vector<std::string>& cases) const;
  bool LocateWith(TQELRecordFilter& filter, const TQELScanSearchConditionArray* derived);

  // Tries `tryOnce` up to `attempts` times, `delayMs` apart, with the
  // database lock released during each pause.
  template <class TTry>
  bool WaitFor(TDatabaseLock& lock, std::int32_t attempts, std::int32_t delayMs, TTry tryOnce);
  bool WaitForTable(TDatabaseLock& lock, std::uint8_t kind, std::int32_t attempts,
                    std::int32_t delayMs);
  bool WaitForRecord(TDatabaseLock& lock, std::int32_t attempts, std::int32_t delayMs);
  // The table lock of `kind`, then the record lock on Position. Refused:
  // Status says which, and `release` has given back what was taken.
  template <class TRelease>
  bool LockForChange(TDatabaseLock& lock, std::uint8_t kind, std::int32_t tableAttempts,
                     std::int32_t tableDelayMs, bool& recordLocked, TRelease release);
  void ReleaseRecordLock();
  // Re-reads the current record into RecordBuffer, keeping the caller's
  // copy in `saved` (the whole dataset buffer); answers whether it could be
  // read.
  bool ReReadRecord(std::vector<std::uint8_t>& saved);
  // Whether two records hold the same values, the run-time handles of
  // their BLOB slots aside (an open BLOB stream changes only the handle).
  bool SameStoredValues(const std::uint8_t* a, const std::uint8_t* b) const;
  // Post's preparation; answers false with Status -8 when it failed.
  bool PreparePost(bool isInsert);
  void RunPost(bool isInsert, std::vector<std::uint8_t>& saved);
  void RunDelete(std::vector<std::uint8_t>& saved);
  TQELRecordID BookmarkPosition() const;
  void WriteBookmark(std::uint8_t* buffer, const TQELRecordID& id, TQELBookmarkFlag flag) const;
  void FreeBlobStream(std::size_t index);

  TQELTableData* FTableData = nullptr;
  // FTableData when the table is in a database file.
  TQELDiskTableData* FDiskTable = nullptr;
  std::vector<std::unique_ptr<TQELLocalBLOBStream>> FBlobStreams;
};

}  // namespace qel
