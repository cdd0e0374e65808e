#pragma once
// TQELTable: the dataset of one stored table. It opens the engine cursor on
// the table by name, chooses the active index by name or by field list,
// keeps key ranges and the master-detail link, and carries the table-level
// operations the SQL layer and the database component build on: create,
// delete, empty and rename the table, rename a field, add and drop an
// index, repair.
//
// Definition changes work on a cursor of their own that is never opened
// (exclusive, not read-only) and hold a usage flag meanwhile, so that the
// database stays connected for their length.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "components/QELDataSet.h"

namespace qel {

// What an export to an SQL script would write; kept with the component,
// read by no operation of the engine.
struct TQELExportToSqlOptions {
  bool Structure = true;
  bool AddDropTable = true;
  bool BlobSettings = false;
  bool Data = false;
  bool FieldNamesInInserts = false;
};

class TQELTable : public TQELDataSet {
 public:
  TQELTable();
  ~TQELTable() override;

  const std::string& TableName() const { return FTableName; }
  // Only on a closed table.
  void SetTableName(const std::string& name);
  bool Exclusive() const { return FExclusive; }
  void SetExclusive(bool value);
  // The table lives in the temporary database ("TEMP").
  bool Temporary() const { return FTemporary; }
  void SetTemporary(bool value);
  // Set by the SQL layer: temporary data of the table kept in memory when
  // the database component is one a session made on its own.
  bool DisableTempFiles = false;
  TQELExportToSqlOptions ExportToSqlOptions;
  // How long the table waits for the exclusive lock of an index change and
  // for the lock a new range reads its first records under. The defaults
  // are the engine's; tests shorten them.
  struct TLockWaits {
    std::int32_t IndexChangeAttempts = 50;
    std::int32_t IndexChangeDelayMs = 100;
    std::int32_t RangeAttempts = 900;
    std::int32_t RangeDelayMs = 100;
  } TableLockWaits;

  // The active index by name or by its fields (";"-separated); setting one
  // clears the other, an empty text means natural order.
  std::string IndexName() const { return FIndexIsFieldNames ? std::string() : FIndexText; }
  void SetIndexName(const std::string& name) { SetIndex(name, false); }
  std::string IndexFieldNames() const { return FIndexIsFieldNames ? FIndexText : std::string(); }
  void SetIndexFieldNames(const std::string& names) { SetIndex(names, !names.empty()); }

  // Master-detail: the master's fields, in order, set the range over the
  // leading fields of the active index.
  TDataSource* MasterSource() const { return FMasterLink->DataSource(); }
  void SetMasterSource(TDataSource* source);
  const std::string& MasterFields() const { return FMasterLink->FieldNames; }
  void SetMasterFields(const std::string& names);

  // Whether the table exists; any failure answers false.
  bool Exists();

  // Table operations; each raises on failure.
  void CreateTable();
  void DeleteTable();
  void EmptyTable();
  void RenameTable(const std::string& newName);
  void RenameField(const std::string& oldName, const std::string& newName);
  void AddIndex(const std::string& name, const std::string& fields, std::uint8_t options,
                const std::string& descFields = {}, const std::string& caseInsFields = {});
  void DeleteIndex(const std::string& name);
  void RepairTable();

  // Whole-table copies (QELTableTransfer.cpp). Each reports its progress
  // through its events, or a wait dialog when they are not assigned.
  //
  // Gives the closed table the structure of `source` (with `indexDefs` when
  // `source` is not an engine dataset) and copies its records; true when
  // nothing was logged.
  bool ImportTable(TDataSet& source, std::string& log, const TIndexDefs* indexDefs = nullptr);
  // Copies the table with its records into `databaseFileName` (empty: this
  // table's database; "MEMORY": the in-memory database) as `newTableName`.
  // False when anything was logged or the copy was cancelled.
  bool CopyTable(const std::string& newTableName, std::string& log, bool& continueCopy,
                 const std::string& databaseFileName, const std::string& password, bool ignoreErrors,
                 bool overwriteExisting, bool copyIndexes, int progressMin = 0, int progressMax = 100);
  // Rebuilds the closed table with RestructureFieldDefs and
  // RestructureIndexDefs, keeping every record; fields are matched by their
  // FieldID. On failure the table keeps its old structure and records.
  bool RestructureTable(std::string& log);

  TQELNotifyEvent BeforeCopy;
  TQELProgressEvent OnCopyProgress;
  TQELNotifyEvent AfterCopy;
  TQELNotifyEvent BeforeImport;
  TQELProgressEvent OnImportProgress;
  TQELNotifyEvent AfterImport;
  TQELNotifyEvent BeforeRestructure;
  TQELProgressEvent OnRestructureProgress;
  TQELNotifyEvent AfterRestructure;

  std::int64_t GetLastAutoincValue(std::int32_t fieldIndex);
  std::int64_t GetLastAutoincValue(const std::string& fieldName);

  // Reads IndexDefs (and the component-form index lists) when they are
  // out of date.
  void UpdateIndexDefs();

  // Provider hooks (QELTableProvider.cpp).
  std::string PSGetTableName() override { return FTableName; }
  // A non-empty text becomes TableName.
  void PSSetCommandText(const std::string& text) override;
  // The first unique index whose fields all have field objects (any unique
  // one without field objects), else every field.
  std::string PSGetKeyFields() override;
  // The active index, else the first primary, else the first unique one.
  std::unique_ptr<TIndexDef> PSGetDefaultOrder() override;
  // From the index definitions as they are now.
  TIndexDefs PSGetIndexDefs(std::uint8_t types) override;
  // Parameters set a range over the active index: a named one on the field
  // of its name, an unnamed one on the key field of its position; none
  // cancel the range and reopen the table.
  void PSSetParams(const TParams& params) override;

  // Ranges over the active index: values written after SetRangeStart or
  // SetRangeEnd go into that key; Post keeps it, Cancel restores it.
  void SetRangeStart();
  void SetRangeEnd();
  // In set-key state: how many leading fields of the active index the key
  // being edited sets (0: all of them).
  std::int32_t KeyFieldCount() const;
  void SetKeyFieldCount(std::int32_t count);
  void ApplyRange();
  void CancelRange();
  void Post() override;
  void Cancel() override;
  // The field object of the index-th key field of the active index.
  TField& GetIndexField(std::int32_t index);

  // For the SQL layer.
  std::string GetIndexForFields(const std::vector<std::string>& fieldNames,
                                const std::vector<std::string>& directions,
                                const std::vector<std::string>& cases);
  bool IndexExistsForFields(const std::vector<std::string>& fieldNames,
                            const std::vector<std::string>& directions,
                            const std::vector<std::string>& cases);
  void SetDistinctFields(const std::vector<std::string>& fieldNames,
                         const std::vector<std::string>& directions,
                         const std::vector<std::string>& cases);
  void CopyIndexFrom(TQELTable& other);

 protected:
  std::unique_ptr<TQELCursor> CreateCursor() override;
  void AfterInternalOpen() override;
  void InternalInitFieldDefs() override;
  void DoOnNewRecord() override;

 private:
  class TUsage;
  class TRepairFlag;
  class TOperationProgress;

  void CheckTableName() const;
  std::int64_t LastAutoincValueOf(const TField& field);
  // A cursor on the table, set up and opened as the table opens one.
  std::unique_ptr<TQELLocalCursor> NewEngineCursor();
  // The cursor an index change works on: the table's own when it is open
  // (a pending edit posted first), else a new one kept in `own`.
  TQELCursor& IndexChangeCursor(std::unique_ptr<TQELLocalCursor>& own);
  // The unopened cursor of a definition change.
  std::unique_ptr<TQELLocalCursor> DefinitionCursor(bool forCreate);
  bool EngineDisableTempFiles() const;
  void AddPersistentFieldDefs();
  // Raises 20xxx "Cannot perform '%s' operation on a database in
  // transaction" when the cursor's session has one open.
  static void CheckNoTransaction(const TQELCursor& cursor, std::int32_t code, const char* operation);
  // Runs `change` on `cursor` inside the exclusive lock of an index change
  // (20228 when another session holds the table).
  template <class TChange>
  void UnderIndexChangeLock(TQELCursor& cursor, TChange&& change);
  std::string ResolveIndex(const std::string& text, bool isFieldNames);
  void SetIndex(const std::string& text, bool isFieldNames);
  void PrepareCreateDefinitions();
  // The copy preconditions: 30447 for the table itself, 20297 for a field
  // definition without its field object. False when logged instead.
  bool CheckCopyTarget(const std::string& newTableName, const std::string& databaseFileName, bool ignoreErrors,
                       std::string& log);
  void UndoRestructureRename(const std::string& originalName);

  // Key and range work.
  void SetKeyBuffer(TKeyBufferRole role);
  void PostKeyBuffer(bool commit);
  bool SetCursorRange();
  // Runs `body` inside the table lock of kind 1 when it can be had, else
  // without it.
  template <class TBody>
  void UnderRangeLock(TBody&& body);
  void SetLinkRanges(const std::vector<TField*>& masterFields);
  void CheckMasterRange();
  void MasterChanged();
  void MasterDisabled();

  std::string FTableName;
  bool FExclusive = false;
  bool FTemporary = false;
  std::string FIndexText;
  bool FIndexIsFieldNames = false;
  bool FRepairing = false;
  std::unique_ptr<TMasterDataLink> FMasterLink;
};

}  // namespace qel
