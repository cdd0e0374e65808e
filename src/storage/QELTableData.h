#pragma once
// TQELTableData: one open table, shared by every cursor on it. It owns the
// table's field, index, constraint and record managers and carries out the
// record operations a cursor needs: navigation, record numbers, searches,
// inserts, updates, deletes, BLOB access and the table's DDL.
//
// The storage kinds (disk, memory, temporary) derive from it and supply the
// storage itself; the outline every kind shares (how an insert reaches the
// indexes and the cursor's bitmap, how a cursor walks an index, ...) is
// here. Record operations run under the owning database data's lock.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/QELBaseFieldManager.h"
#include "storage/QELBlobValueStream.h"
#include "storage/QELBaseRecordManager.h"
#include "storage/QELConstraintDefs.h"
#include "storage/QELFieldDefs.h"
#include "storage/QELIndexDefs.h"
#include "storage/QELIndexManager.h"
#include "storage/QELRecordRequest.h"
#include "storage/QELScanSearchCondition.h"
#include "storage/QELTableCursor.h"
#include "storage/QELTableDataBase.h"

namespace qel {

class TQELBaseConstraintManager;
class TQELDatabaseData;
class TQELPageManager;
class TQELStream;

// One search for records: the cursor's own restrictions always apply; these
// add to them and say where and how to look.
struct TQELSearchRequest {
  // A further condition (LocateRecord's).
  TQELRecordFilter* Expression = nullptr;
  // A key condition on the cursor's active index (SearchKey's).
  bool HasKeyCondition = false;
  TQELIndexCondition KeyCondition;
  bool Forward = true;
  // Look from the first (or last) record instead of from the cursor's.
  bool FromStart = false;
  // For distinct walks: the current record, whose key over the distinct
  // fields the match must pass (be greater going forward, smaller going
  // backward).
  const std::uint8_t* PositionKey = nullptr;
  // Mark every match in this bitmap instead of stopping at the first.
  TQELRecordBitmap* MarkAll = nullptr;
  // Index conditions the SQL layer derived from its expressions (copied).
  const TQELScanSearchConditionArray* DerivedConditions = nullptr;
};

class TQELTableData : public TQELTableDataBase {
 public:
  // `pageManager` holds the table's pages (the database's for disk tables,
  // a private one for memory and temporary tables); it must outlive the
  // table data.
  TQELTableData(TQELDatabaseData& databaseData, TQELPageManager& pageManager,
                std::string tableName);
  // Frees the managers in the order field, index, constraint, record.
  ~TQELTableData() override;

  TQELDatabaseData& DatabaseData() const { return FDatabaseData; }
  TQELPageManager& PageManager() const { return FPageManager; }
  // Null until the table is created or opened.
  TQELBaseFieldManager* FieldManager() const { return FFieldManager.get(); }
  TQELBaseIndexManager* IndexManager() const { return FIndexManager.get(); }
  TQELBaseConstraintManager* ConstraintManager() const { return FConstraintManager.get(); }
  TQELBaseRecordManager* RecordManager() const { return FRecordManager.get(); }
  const TQELFieldDefs& FieldDefs() const;
  const std::vector<TQELTableCursor*>& Cursors() const { return FCursors; }
  // The table's temporary data stays in memory (no temporary files).
  bool MemoryOnly() const { return FMemoryOnly; }
  void SetMemoryOnly(bool memoryOnly) { FMemoryOnly = memoryOnly; }

  // Operations in their fixed order.
  // Replaces the record manager by a new one of the storage kind, sized for
  // the fields' memory record.
  virtual void CreateRecordManager() = 0;
  virtual void SetFieldDefs(const TQELFieldDefs& defs);
  virtual void SetIndexDefs(const TQELIndexDefs& defs);
  virtual void SetConstraintDefs(const TQELConstraintDefs& defs);
  // Gives the cursor its record geometry. A table without fields raises
  // "Error creating table - no fields were specified" (10131).
  virtual void InitCursor(TQELTableCursor& cursor);
  // Outside a transaction: commits (or discards) the session's changed
  // pages. Called after every successful (or failed) change.
  virtual void ApplyChanges(std::int32_t sessionID, bool inTransaction);
  virtual void CancelChanges(std::int32_t sessionID, bool inTransaction);
  virtual void CreateTable(TQELTableCursor& cursor, const TQELFieldDefs& fieldDefs,
                           const TQELConstraintDefs& constraintDefs,
                           const TQELIndexDefs& indexDefs) = 0;
  // Without `force`, an open cursor raises "Cannot delete table '%s'. Table
  // is open by another dataset" (20017); the storage kind removes the
  // storage after this check.
  virtual void DeleteTable(TQELTableCursor& cursor, bool force);
  // Resets the sequences and empties every index; the storage kind empties
  // the records.
  virtual void EmptyTable(TQELTableCursor& cursor);
  virtual void RenameTable(const std::string& newName, TQELTableCursor& cursor);
  virtual void AddCursor(TQELTableCursor* cursor);
  virtual void RemoveCursor(TQELTableCursor* cursor);
  virtual void RenameField(std::string_view oldName, std::string_view newName);
  // Adds and builds the index; for a stored index the constraint it implies
  // (primary key, unique) comes with it unless the cursor keeps its own.
  // Answers the index's id.
  virtual std::int32_t CreateIndex(const TQELIndexDef& indexDef, TQELTableCursor& cursor);
  virtual void DropIndex(std::int32_t indexID, TQELTableCursor& cursor);
  // GetRecordNumberLimit, RecordIDToRecordNumber and RecordNumberToRecordID
  // come from TQELTableDataBase.
  // Releases what the storage attached to a scratch record.
  virtual void ReleaseRecordBuffer(std::uint8_t* record);
  virtual TQELGetRecordResult GetRecord(TQELTableCursor& cursor, TQELGetRecordMode mode);
  // Positions the cursor on the first record, in its order, satisfying
  // `expression` and the cursor's own restrictions. A null expression
  // raises "Nil pointer occured" (10272). `derived` are index conditions
  // implied by the expression that may serve as the access path.
  virtual bool LocateRecord(TQELTableCursor& cursor, TQELRecordFilter* expression,
                            const TQELScanSearchConditionArray* derived = nullptr);
  // Positions the cursor on the first record whose key compares with the
  // cursor's search key as `conditionType` asks.
  virtual bool SearchKey(TQELTableCursor& cursor, TQELSearchConditionType conditionType);
  // Stores a changed BLOB stream as the value of the cursor record's field;
  // an empty stream makes the field NULL.
  virtual void PostBlob(TQELTableCursor& cursor, std::int32_t fieldNo,
                        TQELBlobValueStream& blobStream) = 0;
  virtual void FreeBlobCache(std::uint8_t* record, std::int32_t fieldNo);
  virtual void FreeRecordBlobs(std::uint8_t* record);
  // The field's value as a compressed BLOB stream over a copy of its
  // stored blocks.
  virtual std::unique_ptr<TQELBlobValueStream> OpenBlob(TQELTableCursor& cursor, bool truncate,
                                               bool loadValue, std::int32_t fieldNo) = 0;
  // The field's stored (compressed) bytes and descriptor, and the reverse,
  // for copying a BLOB without decompressing it.
  virtual void ReadBlobData(std::int32_t sessionID, std::int32_t fieldNo,
                            std::vector<std::uint8_t>& data, TQELBlobDescriptor& descriptor,
                            std::uint8_t* record) = 0;
  virtual void WriteBlobData(TQELTableCursor& cursor, std::int32_t fieldNo,
                             const std::vector<std::uint8_t>& data,
                             const TQELBlobDescriptor& descriptor, std::uint8_t* record) = 0;
  // Gives back the memory of data ReadBlobData handed out.
  virtual void FreeBlobData(std::vector<std::uint8_t>& data);
  virtual bool InsertRecord(TQELTableCursor& cursor) = 0;
  virtual bool DeleteRecord(TQELTableCursor& cursor) = 0;
  virtual bool UpdateRecord(TQELTableCursor& cursor) = 0;
  // Record numbers are 1-based positions in the cursor's order.
  virtual void SetRecNo(TQELTableCursor& cursor, std::int64_t recNo);
  virtual std::int64_t GetRecNo(TQELTableCursor& cursor);
  // The same in natural order, for unrestricted cursors without an index;
  // InternalSetRecNo only moves the position (SetRecNo reads the record).
  virtual void InternalSetRecNo(TQELTableCursor& cursor, std::int64_t recNo) = 0;
  virtual std::int64_t InternalGetRecNo(TQELTableCursor& cursor) = 0;
  // Records visible to the cursor's session.
  virtual std::int64_t InternalGetRecordCount(TQELTableCursor& cursor) = 0;
  virtual std::int64_t GetLastAutoincValue(std::int32_t fieldNo,
                                           const TQELSessionSequenceValues& session);
  void RefreshIndexes(std::int32_t sessionID) override;

  // For a restricted cursor the set bits of its bitmap (rebuilt when
  // stale), otherwise InternalGetRecordCount.
  std::int64_t GetRecordCount(TQELTableCursor& cursor);
  // Whether `record` lies in the cursor's range and passes its filters and
  // filter callback (each tested only when the previous ones passed).
  bool RecordPassesFilter(TQELTableCursor& cursor, const std::uint8_t* record,
                          const TQELRecordID& recordID);
  // One step through index `indexID` (a buffer and a moving mode needed),
  // else through the record manager.
  void FetchRecord(std::int32_t sessionID, TQELRecordRequest& request, std::int32_t indexID,
                   TQELIndexPositionCache* cache);
  // An index with exactly these columns, or a new temporary one of the
  // cursor's session; answers its id.
  std::int32_t CreateTemporaryIndex(TQELTableCursor& cursor, const TQELIndexColumnRequest& columns);
  // Runs a search with the cursor's restrictions; answers the first match.
  bool FindMatchingRecord(TQELTableCursor& cursor, const TQELSearchRequest& search,
                          TQELRecordID& found);
  // Marks every record passing the cursor's restrictions in `bitmap`.
  void BuildBitmap(TQELTableCursor& cursor, TQELRecordBitmap& bitmap);
  // The number of records passing the cursor's restrictions where the
  // matches a walk gathers answer it (gathering them when needed); nothing
  // where only the cursor's bitmap can.
  std::optional<std::int64_t> CountGatheredMatches(TQELTableCursor& cursor);
  // The record manager; "Nil pointer occured" with `nativeError` when the
  // table has none.
  TQELBaseRecordManager& CheckedRecordManager(std::int32_t nativeError) const;
  TQELBaseIndexManager& CheckedIndexManager(std::int32_t nativeError) const;
  // Reads records through whatever record manager the table has at the
  // time; indexes keep it, so that a new record manager does not leave them
  // reading through a freed one.
  TQELRecordReader& RecordReader() const;
  // A new ObjectID from the database.
  std::int32_t GetNextObjectID();

 protected:
  // Fresh managers of the storage kind.
  virtual std::unique_ptr<TQELBaseFieldManager> NewFieldManager();
  virtual std::unique_ptr<TQELBaseIndexManager> NewIndexManager();
  virtual std::unique_ptr<TQELBaseConstraintManager> NewConstraintManager();
  void SetRecordManager(std::unique_ptr<TQELBaseRecordManager> recordManager);
  // Fresh, empty field, index and constraint managers, for a table whose
  // definitions are then loaded from its storage.
  void CreateEmptyManagers();
  // Frees the managers in the order field, index, constraint, record.
  void FreeManagers();
  // Creates the storage of every listed index under `sessionID`.
  void CreateIndexStorages(std::int32_t sessionID);
  // The page manager for temporary indexes (null: the table's).
  virtual TQELPageManager* TemporaryPageManager() { return nullptr; }

  // What CreateTable does once the storage kind has created the table's
  // storage: definitions, record manager, cursor geometry, index storage.
  void InitializeNewTable(TQELTableCursor& cursor, const TQELFieldDefs& fieldDefs,
                          const TQELConstraintDefs& constraintDefs,
                          const TQELIndexDefs& indexDefs);

  // The record changes as every storage kind does them; the hooks below
  // bring in the kind's BLOB storage.
  bool InsertCursorRecord(TQELTableCursor& cursor);
  bool UpdateCursorRecord(TQELTableCursor& cursor);
  bool DeleteCursorRecord(TQELTableCursor& cursor);
  // Writes the record's changed BLOBs to storage and fills their slots.
  // `storedRecord` is the record as stored before an update, null for an
  // insert.
  virtual void StoreRecordBlobs(TQELTableCursor& cursor, std::uint8_t* record,
                                const std::uint8_t* storedRecord);
  // Releases the stored BLOBs of a record about to be deleted.
  virtual void DeleteRecordBlobs(std::int32_t sessionID, std::uint8_t* record);
  bool HasBlobFields() const;
  // The definition of BLOB field `fieldNo`; any other field number raises
  // "Invalid field number - FieldNo = %d, FieldCount = %d" (10000).
  const TQELFieldDef& BlobField(std::int32_t fieldNo) const;
  // Runs after a record change succeeded, before its pages are applied
  // (the disk table rewrites its header here).
  virtual void RecordChanged(TQELTableCursor& cursor);
  // The native code of "Not implemented yet" for an unsupported
  // constraint kind.
  virtual std::int32_t UnsupportedConstraintError() const { return 30058; }
  // Whether other sessions may change the table's records (temporary
  // indexes must then be checked before each change).
  virtual bool SharedBetweenSessions() const { return false; }

 private:
  class TRecordReader;
  class TConstraintTable;

  // Whether two entries of the index have equal keys.
  bool HasDuplicateKeys(std::int32_t sessionID, std::int32_t indexID);
  // Rebuilds the cursor's stale temporary indexes before a change when the
  // table is shared.
  void RefreshBeforeChange(TQELTableCursor& cursor);
  template <class TChange>
  bool RunRecordChange(TQELTableCursor& cursor, TChange change);
  // After a successful change: RecordChanged, then the session's pages
  // applied unless the cursor has more changes pending.
  void FinishRecordChange(TQELTableCursor& cursor);
  // Sets or clears the record's bit in an active bitmap of the cursor.
  void NoteInBitmap(TQELTableCursor& cursor, const std::uint8_t* record,
                    const TQELRecordID& recordID);
  TQELRecordBitmap& BitmapOf(TQELTableCursor& cursor);
  // A restricted cursor whose only restriction is a range on its active
  // index steps along that index without a search.
  static bool OnlyRangeOnActiveIndex(const TQELTableCursor& cursor);
  TQELGetRecordResult StepWithinRange(TQELTableCursor& cursor, TQELGetRecordMode mode);
  // Positions the cursor after a search found `recordID`, and reloads it.
  bool TakeFoundRecord(TQELTableCursor& cursor, bool found, const TQELRecordID& recordID);

  TQELDatabaseData& FDatabaseData;
  TQELPageManager& FPageManager;
  std::unique_ptr<TRecordReader> FRecordReader;
  std::unique_ptr<TConstraintTable> FConstraintTable;
  std::unique_ptr<TQELBaseFieldManager> FFieldManager;
  std::unique_ptr<TQELBaseIndexManager> FIndexManager;
  std::unique_ptr<TQELBaseConstraintManager> FConstraintManager;
  std::unique_ptr<TQELBaseRecordManager> FRecordManager;
  std::vector<TQELTableCursor*> FCursors;
  bool FMemoryOnly = false;
  // Scratch records reused under the database lock: the stored record a
  // change replaces or removes, and the copy a filter callback is given.
  std::vector<std::uint8_t> FChangeRecord;
  std::vector<std::uint8_t> FCallbackCopy;

  friend class TQELRecordSearch;
};

}  // namespace qel
