#pragma once
// TQELCursor: one open view of one table through one engine session, as the
// dataset, query and index-building layers see it. It holds copies of the
// table's metadata (all fields, and the fields it shows), the record
// geometry of its buffers, and the settings it adds to the table cursor
// state (filters it owns, BLOB streams, the editing status). The engine's
// local cursor implements the operations.
//
// A dataset record buffer is the memory record (RecordSize bytes), then the
// record's id (6 bytes: int32 page number, int16 entry number) and a
// bookmark flag byte, then the dataset's calculated fields.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/QELConstraintDefs.h"
#include "storage/QELFieldDefs.h"
#include "storage/QELIndexDefs.h"
#include "storage/QELScanSearchCondition.h"
#include "storage/QELTableCursor.h"
#include "values/QELVariant.h"

namespace qel {

class TQELLocalSession;
class TQELLocalBLOBStream;

// Bookmark flags of a dataset record buffer.
enum TQELBookmarkFlag : std::uint8_t {
  bfCurrent = 0,
  bfBeforeFirst = 1,
  bfAfterLast = 2,
  bfInserted = 3,
};

// Status of the last change operation: 0, or the engine error it met.
enum TQELCursorStatus : std::int32_t {
  csOK = 0,
  csInsertFailed = -1,
  csUpdateFailed = -2,
  csDeleteFailed = -3,
  csChangedBeforeUpdate = -4,
  csChangedBeforeDelete = -5,
  csDeletedBeforeUpdate = -6,
  csDeletedBeforeDelete = -7,
  csPreparationError = -8,
  csTemporaryUpdate = -9,
  csTemporaryDelete = -10,
  csRecordLocked = -12,
  csTableLocked = -13,
};

// Builds the record filter of a filter text against a cursor; installed by
// the expression layer. Null when none is installed.
using TQELCursorFilterFactory = std::unique_ptr<TQELRecordFilter> (*)(
    class TQELCursor& cursor, const std::string& text, bool caseInsensitive, bool partialCompare);

// A saved cursor position (SavePosition / RestorePosition).
struct TQELCursorPosition {
  bool BeforeFirst = true;
  bool AfterLast = false;
  TQELRecordID Position{};
};

// How many times and how far apart the cursor tries the table and record
// locks another session may hold. The defaults are the engine's; tests
// shorten them.
struct TQELCursorLockWaits {
  std::int32_t EditTableAttempts = 900;
  std::int32_t EditTableDelayMs = 100;
  std::int32_t RecordAttempts = 15;
  std::int32_t RecordDelayMs = 100;
  std::int32_t PostTableAttempts = 2250;
  std::int32_t PostTableDelayMs = 40;
  std::int32_t DeleteTableAttempts = 900;
  std::int32_t DeleteTableDelayMs = 100;
  std::int32_t BlobReadAttempts = 2250;
  std::int32_t BlobReadDelayMs = 40;
};

class TQELCursor : public TQELTableCursor {
 public:
  static constexpr std::int32_t kBookmarkSize = kQELRecordIDSize + 1;

  TQELCursor() = default;
  ~TQELCursor() override;

  // Operations in their fixed order.
  virtual void CreateTable(const TQELFieldDefs& fieldDefs, const TQELIndexDefs& indexDefs,
                           const TQELConstraintDefs& constraintDefs) = 0;
  virtual void DeleteTable() = 0;
  virtual void EmptyTable() = 0;
  virtual void RenameTable(const std::string& newName) = 0;
  virtual void InitFieldDefs() = 0;
  virtual void Open(const TQELFieldDefs& fieldDefs, const TQELIndexDefs& indexDefs,
                    const TQELConstraintDefs& constraintDefs) = 0;
  virtual void Close() = 0;
  virtual void LockDatabase() = 0;
  virtual void UnlockDatabase() = 0;
  virtual bool LockTable(std::uint8_t kind, std::int32_t attempts, std::int32_t delayMs,
                         std::uint8_t flag) = 0;
  virtual bool UnlockTable(std::uint8_t kind, bool flag) = 0;
  virtual void RenameField(const std::string& oldName, const std::string& newName) = 0;
  virtual const TQELIndexDefs& GetIndexDefs() = 0;
  virtual void CreateIndex(const TQELIndexDef& indexDef) = 0;
  virtual void DropIndex(const std::string& name) = 0;
  virtual void DropAllIndexes() = 0;
  // Finds or creates an index over the visible fields named, with their
  // directions ("ASC", "DESC") and case rules ("CASE", "NO_CASE"), and
  // answers its name.
  virtual std::string GetIndexForFields(const std::vector<std::string>& fieldNames,
                                        const std::vector<std::string>& directions,
                                        const std::vector<std::string>& cases) = 0;
  virtual bool IndexExistsForFields(const std::vector<std::string>& fieldNames,
                                    const std::vector<std::string>& directions,
                                    const std::vector<std::string>& cases) = 0;
  virtual void CopyFieldValue(std::int32_t fieldNo, bool fromVisible, TQELCursor& dest,
                              std::int32_t destFieldNo) = 0;
  virtual void InitRecord(std::uint8_t* buffer, bool applyDefaults) = 0;
  virtual void FreeRecordBuffer(std::uint8_t*& buffer) = 0;
  virtual std::int64_t GetRecordCount() = 0;
  virtual TQELGetRecordResult GetRecord(TQELGetRecordMode mode) = 0;
  virtual void SetRecNo(std::int64_t recNo) = 0;
  virtual std::int64_t GetRecNo() = 0;
  virtual void First() = 0;
  virtual void Last() = 0;
  virtual void Insert() = 0;
  virtual void Edit() = 0;
  virtual void Cancel(bool isInsert) = 0;
  virtual void Post(bool isInsert) = 0;
  virtual void Delete() = 0;
  virtual void SetDistinctFields(const std::vector<std::string>& fieldNames,
                                 const std::vector<std::string>& directions,
                                 const std::vector<std::string>& cases) = 0;
  virtual void SetFilter(const std::string& text, bool caseInsensitive, bool partialCompare) = 0;
  virtual void ClearFilter() = 0;
  virtual bool Locate(const std::vector<std::string>& keyFields,
                      const std::vector<TQELVariant>& keyValues, bool partialKey,
                      bool caseInsensitive) = 0;
  virtual bool SearchKey(TQELSearchConditionType conditionType) = 0;
  virtual bool LocateCondition(const std::string& fieldName, TQELSearchConditionType kind,
                               const TQELVariant& value) = 0;
  virtual TQELLocalBLOBStream* OpenBlob(bool isInsert, bool isEdit, bool isBrowse,
                                        std::uint8_t mode, std::int32_t fieldNo) = 0;
  virtual void CloseBlob(std::int32_t fieldNo) = 0;
  virtual void CloseBlobStreams(bool onlyWritable) = 0;
  virtual std::int64_t GetLastAutoincValue(std::int32_t fieldNo) = 0;
  virtual void BeginChanges() = 0;
  virtual void ApplyChanges() = 0;
  virtual void CancelChanges() = 0;
  virtual bool CheckConstraints(bool isInsert) = 0;

  // Makes the named index of IndexDefs active; an empty name gives the
  // natural order (IndexID -1). On an open cursor an unknown name raises
  // "Index '%s' not found" (20023).
  void SetIndexName(const std::string& name);
  const std::string& IndexName() const { return FIndexName; }

  // Raw field exchange over the visible fields (the record layer's forms).
  // A field number outside 0..count-1 raises "Invalid field number -
  // FieldNo = %d, FieldCount = %d" (10005 get, 10006 set).
  bool GetFieldData(std::int32_t fieldNo, void* dest, const std::uint8_t* record) const;
  void SetFieldData(std::int32_t fieldNo, const void* source, std::uint8_t* record) const;
  // The same as variants; `visible` false numbers the table's fields. Bad
  // numbers raise 20191 (visible) / 10317 on get and 20192 / 20193 on set.
  void GetFieldValue(TQELVariant& value, std::int32_t fieldNo, bool visible) const;
  void SetFieldValue(const TQELVariant& value, std::int32_t fieldNo, std::uint8_t* record,
                     bool visible) const;
  // Zeroes what follows each string's terminator (and the slots of NULL
  // strings), so that records compare byte for byte.
  void PadStrings(std::uint8_t* record) const;

  // A dataset record buffer of BufferSize bytes from the engine's memory
  // manager, holding an empty record (every field NULL, all else zero).
  std::uint8_t* AllocRecordBuffer() const;
  TQELCursorPosition SavePosition() const { return {BeforeFirst, AfterLast, Position}; }
  void RestorePosition(const TQELCursorPosition& saved);
  void InvalidateBitmap() { RestrictionsChanged(); }

  // The range over the active index (keys not owned).
  void SetRange(const std::uint8_t* startKey, const std::uint8_t* endKey, bool endExclusive,
                bool startExclusive, std::int32_t endFieldCount, std::int32_t startFieldCount);
  void CancelRange();
  // The query layer's condition, owned from now on (null removes it), with
  // the index conditions derived from it (which go with it).
  void SetSQLFilter(std::unique_ptr<TQELRecordFilter> expression,
                    TQELScanSearchConditionArray derived = {});
  // The visible fields become the named ones, in order, aliases taken as
  // names and made unique. Lists of different lengths raise "Error -
  // different lists length. L1 = %d, L2 = %d" (10321), empty ones "No
  // fields were specified while setting projection" (10322), an unknown
  // name "Cannot find field %s" (10323). The caller sets IsProjection.
  void SetProjection(const std::vector<std::string>& fieldNames,
                     const std::vector<std::string>& aliases);

  // Installed once by the expression layer.
  static void SetFilterFactory(TQELCursorFilterFactory factory);
  static TQELCursorFilterFactory FilterFactory();

  // The fields of the table, and those the cursor shows (each with the
  // number of its field in FieldDefs).
  const TQELFieldDefs& FieldDefs() const { return FFieldDefs; }
  const TQELFieldDefs& VisibleFieldDefs() const { return FVisibleFieldDefs; }
  std::int32_t SourceFieldNo(std::int32_t visibleFieldNo) const;
  const TQELIndexDefs& IndexDefs() const { return FIndexDefs; }
  const TQELConstraintDefs& ConstraintDefs() const { return FConstraintDefs; }

  // Geometry of the buffers: the record id follows the memory record.
  std::int32_t BookmarkOffset() const { return RecordSize; }
  std::int32_t BufferSize() const { return RecordSize + kBookmarkSize + CalcFieldsSize; }

  TQELLocalSession* Session = nullptr;
  bool ReadOnly = false;
  bool InMemory = false;
  bool Temporary = false;
  bool CreateIfMissing = false;
  bool IsProjection = false;
  bool Active = false;
  // Bytes of the dataset's calculated fields after the bookmark.
  std::int32_t CalcFieldsSize = 0;
  std::int32_t Status = csOK;
  std::string ErrorText;
  // The dataset that opened the cursor (not owned).
  void* Owner = nullptr;
  TQELCursorLockWaits LockWaits;

 protected:
  // Field number checks; `code` is raised with the count of `defs`.
  static void CheckFieldNo(std::int32_t fieldNo, const TQELFieldDefs& defs, std::int32_t code);
  // The visible field copies follow the table's fields (SourceFieldNo i
  // for entry i).
  void CopyVisibleFromTable();
  // A BLOB field's whole value as a variant of its type, and the reverse
  // (the value is not in the record itself).
  virtual void ReadBlobValue(std::int32_t tableFieldNo, TQELVariant& value) const = 0;
  virtual void WriteBlobValue(std::int32_t tableFieldNo, const TQELVariant& value,
                              std::uint8_t* record) const = 0;

  TQELFieldDefs FFieldDefs;
  TQELFieldDefs FVisibleFieldDefs;
  std::vector<std::int32_t> FSourceFieldNos;
  TQELIndexDefs FIndexDefs;
  TQELConstraintDefs FConstraintDefs;
  std::string FIndexName;
  std::unique_ptr<TQELRecordFilter> FOwnedFilter;
  std::unique_ptr<TQELRecordFilter> FOwnedSQLFilter;
  TQELScanSearchConditionArray FSQLFilterConditions;
};

}  // namespace qel
