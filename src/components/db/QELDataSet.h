#pragma once
// TDataSet: the dataset base of the data-access framework. It runs the
// state machine (inactive, browse, edit, insert and the temporary states),
// keeps a ring of record buffers that its data links look at, moves through
// records with GetRecord, and tells the data sources bound to it what
// changed. It holds no records itself: a derived dataset allocates the
// buffers, fills them, positions its cursor and stores the changes through
// the Internal* operations.
//
// The ring: FBuffers holds BufferCount buffers plus one spare; the first
// FRecordCount of them hold records in order, FActiveRecord is the one the
// fields show, FCurrentRecord the one the derived cursor is positioned on
// (-1 when unknown).
//
// TDataSource binds datasets to data links; TDataLink is what a control or a
// detail dataset implements to hear of changes.

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "components/db/QELComponent.h"
#include "components/db/QELFields.h"
#include "components/db/QELParams.h"

namespace qel {

enum TDataSetState : std::uint8_t {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
  dsOldValue,
  dsCurValue,
  dsBlockRead,
  dsInternalCalc,
  dsOpening,
};

enum class TGetMode : std::uint8_t { Current, Next, Prior };
enum class TGetResult : std::uint8_t { OK, Bof, Eof, Error };
enum class TBookmarkFlag : std::uint8_t { Current = 0, Bof = 1, Eof = 2, Inserted = 3 };

enum TDataEvent : std::uint8_t {
  deFieldChange,
  deRecordChange,
  deDataSetChange,
  deDataSetScroll,
  deLayoutChange,
  deUpdateRecord,
  deUpdateState,
  deCheckBrowseMode,
};

enum TFilterOption : std::uint8_t { foCaseInsensitive = 1, foNoPartialCompare = 2 };
enum TLocateOption : std::uint8_t { loCaseInsensitive = 1, loPartialKey = 2 };

using TBookmark = std::vector<std::uint8_t>;

class TDataSet;
class TDataSource;
class TDataLink;

using TDataSetNotifyEvent = std::function<void(TDataSet& dataSet)>;

// What a dataset does after an editing operation failed: raise the error
// (the default), abort silently with EAbort, or try the operation again.
enum TDataAction : std::uint8_t { daFail, daAbort, daRetry };
using TDataSetErrorEvent = std::function<void(TDataSet& dataSet, const std::exception& error, TDataAction& action)>;

// The silent exception of an operation a handler chose to abort.
class EAbort : public std::runtime_error {
 public:
  EAbort() : std::runtime_error("Operation aborted") {}
};
using TFilterRecordEvent = std::function<void(TDataSet& dataSet, bool& accept)>;

// A data provider's change to apply, and what became of it.
enum TUpdateKind : std::uint8_t { ukModify, ukInsert, ukDelete };
enum TUpdateAction : std::uint8_t { uaFail, uaAbort, uaSkip, uaRetry, uaApplied };
using TUpdateRecordEvent =
    std::function<void(TDataSet& dataSet, TDataSet& delta, TUpdateKind kind, TUpdateAction& action)>;

class TDataSet : public TQELComponent {
 public:
  TDataSet();
  // Derived destructors close the dataset first, while they are whole.
  ~TDataSet() override;

  // Life.
  bool Active() const { return FState != dsInactive; }
  void SetActive(bool value);
  void Open() { SetActive(true); }
  void Close() { SetActive(false); }
  TDataSetState State() const { return FState; }

  // Navigation. MoveBy answers how far it went.
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  std::int32_t MoveBy(std::int32_t distance);
  bool Bof() const { return FBOF; }
  bool Eof() const { return FEOF; }
  bool IsEmpty() const { return FRecordCount == 0 && !(FState == dsInsert); }
  // Virtual: a dataset whose records are a snapshot refreshes by running
  // again.
  virtual void Refresh();
  // Rereads the buffers around the cursor's record: `exact` raises when it
  // is gone, `center` puts it in the middle of the ring.
  void Resync(bool exact, bool center);

  // Editing.
  void Edit();
  void Insert();
  void Append();
  // Virtual so that a dataset with states of its own (a table's set-key
  // state) can commit or discard them.
  virtual void Post();
  virtual void Cancel();
  void Delete();
  // Posts a pending edit; raises when not active.
  void CheckBrowseMode();
  // A new record with these values (a NULL variant leaves a field NULL),
  // posted at once.
  void AppendRecord(const std::vector<TQELVariant>& values);
  void InsertRecord(const std::vector<TQELVariant>& values);
  bool CanModify() { return GetCanModify(); }
  bool Modified() const { return FModified; }
  // The links store their pending values in the fields.
  void UpdateRecord();

  // Bookmarks, counts and numbers.
  TBookmark GetBookmark();
  void GotoBookmark(const TBookmark& bookmark);
  virtual bool BookmarkValid(const TBookmark& /*bookmark*/) { return false; }
  virtual std::int32_t CompareBookmarks(const TBookmark& /*a*/, const TBookmark& /*b*/) { return 0; }
  std::int64_t RecordCount() { return GetRecordCount(); }
  std::int64_t RecNo() { return GetRecNo(); }
  void SetRecNo(std::int64_t value) { SetRecNoValue(value); }
  std::int32_t BookmarkSize() const { return FBookmarkSize; }

  // Fields.
  TFieldDefs& FieldDefs() { return FFieldDefs; }
  TIndexDefs& IndexDefs() { return FIndexDefs; }
  std::int32_t FieldCount() const { return static_cast<std::int32_t>(FFields.size()); }
  TField& Fields(std::int32_t index) const { return *FFields.at(index); }
  TField* FindField(std::string_view name) const;
  // Raises "Field '%s' not found" when there is none.
  TField& FieldByName(std::string_view name) const;
  // The fields of a semicolon-separated list, raising for a missing one.
  std::vector<TField*> GetFieldList(std::string_view names) const;
  // A persistent field, kept over open and close. Only while inactive.
  TField& AddField(std::string_view name, TFieldType type, std::int32_t size = 0,
                   TFieldKind kind = fkData);
  // Refreshes FieldDefs from the dataset's structure.
  void UpdateFieldDefs();

  // Filters and searches; the derived dataset carries them out.
  const std::string& Filter() const { return FFilterText; }
  void SetFilter(const std::string& text) { SetFilterText(text); }
  bool Filtered() const { return FFiltered; }
  void SetFilteredValue(bool value) { SetFiltered(value); }
  std::uint8_t FilterOptions() const { return FFilterOptions; }
  void SetFilterOptionsValue(std::uint8_t value) { SetFilterOptions(value); }
  const TFilterRecordEvent& OnFilterRecord() const { return FOnFilterRecord; }
  void SetOnFilterRecordValue(TFilterRecordEvent value) { SetOnFilterRecord(std::move(value)); }
  virtual bool Locate(std::string_view keyFields, const std::vector<TQELVariant>& keyValues,
                      std::uint8_t options);
  // The result fields' values of the first record matching, without moving;
  // NULLs when none matches.
  virtual std::vector<TQELVariant> Lookup(std::string_view keyFields,
                                          const std::vector<TQELVariant>& keyValues,
                                          std::string_view resultFields);
  bool FindFirst() { return FindRecord(true, true); }
  bool FindLast() { return FindRecord(true, false); }
  bool FindNext() { return FindRecord(false, true); }
  bool FindPrior() { return FindRecord(false, false); }
  bool Found() const { return FFound; }

  // Controls.
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return FDisableCount != 0; }

  // The ring, as data links see it.
  std::int32_t BufferCount() const { return FBufferCount; }
  std::int32_t BufferedRecordCount() const { return FRecordCount; }
  std::int32_t ActiveRecord() const { return FActiveRecord; }
  std::uint8_t* ActiveBuffer() const;
  std::uint8_t* Buffers(std::int32_t index) const { return FBuffers.at(index); }

  // Large values; the stream is the caller's.
  virtual std::unique_ptr<TQELStream> CreateBlobStream(TField& field, TBlobStreamMode mode);
  // Field values in native form on the buffer the state uses.
  virtual bool GetFieldData(const TField& field, void* buffer) = 0;
  // The text of a string field where that buffer holds it (empty for
  // NULL), valid until the buffer changes; nothing when the data set keeps
  // no such text, and the caller reads a copy through GetFieldData.
  virtual std::optional<std::string_view> GetFieldText(const TField& /*field*/) { return std::nullopt; }
  virtual void SetFieldData(TField& field, const void* buffer) = 0;

  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
  TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  TDataSetNotifyEvent BeforeRefresh, AfterRefresh, OnNewRecord, OnCalcFields;
  // Told of a failed InternalEdit, InternalPost or InternalDelete, with the
  // error; the action they set decides what follows.
  TDataSetErrorEvent OnEditError, OnPostError, OnDeleteError;

  // The hooks a data provider reads a dataset and applies changes through
  // (QELDataSetProvider.cpp). The defaults describe a dataset that knows no
  // SQL, no transactions and no key of its own.
  virtual bool PSIsSQLBased() { return false; }
  virtual bool PSIsSQLSupported() { return false; }
  // The character that quotes a name in the dataset's SQL.
  virtual std::string PSGetQuoteChar() { return "\""; }
  virtual bool PSInTransaction() { return false; }
  virtual void PSStartTransaction() {}
  virtual void PSEndTransaction(bool /*commit*/) {}
  // Runs a statement without a result; answers the rows it changed.
  virtual std::int32_t PSExecuteStatement(const std::string& sql, const TParams* params);
  virtual void PSExecute();
  virtual TParams* PSGetParams() { return nullptr; }
  virtual void PSSetParams(const TParams& /*params*/) {}
  virtual void PSSetCommandText(const std::string& /*text*/) {}
  virtual std::string PSGetTableName() { return {}; }
  virtual std::string PSGetKeyFields() { return {}; }
  // The index the dataset's rows are ordered by, if it has one.
  virtual std::unique_ptr<TIndexDef> PSGetDefaultOrder() { return nullptr; }
  // The index definitions with any of the options in `types` (every one
  // for 0).
  virtual TIndexDefs PSGetIndexDefs(std::uint8_t types);
  // Lets OnUpdateRecord apply a change; true when it did.
  virtual bool PSUpdateRecord(TUpdateKind kind, TDataSet& delta);
  virtual void PSReset() {}
  TUpdateRecordEvent OnUpdateRecord;

  // Told of field changes by the fields; DataEvent tells the sources.
  void DataEvent(TDataEvent event, std::intptr_t info = 0);

 protected:
  // Buffers.
  virtual std::uint8_t* AllocRecordBuffer() = 0;
  virtual void FreeRecordBuffer(std::uint8_t*& buffer) = 0;
  virtual std::int32_t GetRecordSize() = 0;
  virtual TGetResult GetRecord(std::uint8_t* buffer, TGetMode mode, bool doCheck) = 0;
  virtual void InternalInitRecord(std::uint8_t* buffer) = 0;
  virtual void InitRecord(std::uint8_t* buffer);
  virtual void ClearCalcFields(std::uint8_t* /*buffer*/) {}
  virtual bool GetCurrentRecord(std::uint8_t* /*buffer*/) { return false; }

  // Life.
  virtual void OpenCursor(bool infoQuery);
  virtual void CloseCursor();
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual void InternalInitFieldDefs() = 0;
  virtual bool IsCursorOpen() const = 0;
  virtual void InternalHandleException();

  // Positioning.
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  virtual void InternalSetToRecord(std::uint8_t* buffer) = 0;
  virtual void GetBookmarkData(const std::uint8_t* buffer, void* data) = 0;
  virtual void SetBookmarkData(std::uint8_t* buffer, const void* data) = 0;
  virtual TBookmarkFlag GetBookmarkFlag(const std::uint8_t* buffer) = 0;
  virtual void SetBookmarkFlag(std::uint8_t* buffer, TBookmarkFlag flag) = 0;
  virtual void InternalGotoBookmark(const void* bookmark) = 0;
  virtual std::int64_t GetRecordCount() { return -1; }
  virtual std::int64_t GetRecNo() { return -1; }
  virtual void SetRecNoValue(std::int64_t /*value*/) {}

  // Editing.
  virtual void InternalEdit() {}
  virtual void InternalInsert() {}
  virtual void InternalPost() = 0;
  virtual void InternalCancel() {}
  virtual void InternalDelete() = 0;
  virtual void InternalAddRecord(std::uint8_t* buffer, bool append) = 0;
  virtual void InternalRefresh() {}
  virtual bool GetCanModify() { return true; }

  // Filters and searches.
  virtual void SetFiltered(bool value) { FFiltered = value; }
  virtual void SetFilterText(const std::string& text) { FFilterText = text; }
  virtual void SetFilterOptions(std::uint8_t value) { FFilterOptions = value; }
  virtual void SetOnFilterRecord(TFilterRecordEvent value) { FOnFilterRecord = std::move(value); }
  virtual bool FindRecord(bool /*restart*/, bool /*goForward*/) { return false; }

  // Temporary states around filter, calculation and lookup work.
  TDataSetState SetTempState(TDataSetState state);
  void RestoreState(TDataSetState state);
  void SetState(TDataSetState state);
  // Runs OnCalcFields for `buffer` in calculation state.
  void GetCalcFields(std::uint8_t* buffer);
  std::uint8_t* CalcBuffer() const { return FCalcBuffer; }
  std::int32_t CalcFieldsSize() const { return FCalcFieldsSize; }

  void CheckActive() const;
  void CheckInactive() const;
  void CheckCanModify();
  void UpdateCursorPos();
  void CursorPosChanged() { FCurrentRecord = -1; }
  void SetFound(bool value) { FFound = value; }
  void SetModified(bool value) { FModified = value; }
  // Runs OnNewRecord for a new record; a derived dataset fills its own
  // values first.
  virtual void DoOnNewRecord() { Fire(OnNewRecord); }
  void DoBeforeScroll() { Fire(BeforeScroll); }
  void DoAfterScroll() { Fire(AfterScroll); }
  void Fire(const TDataSetNotifyEvent& event) {
    if (event) event(*this);
  }

  // Field objects: default ones from FieldDefs when no persistent data
  // field exists; binding numbers the data fields and lays out the
  // calculated ones.
  void CreateFields();
  void BindFields(bool binding);
  void DestroyDefaultFields();

  std::int32_t FBookmarkSize = 0;

 private:
  friend class TDataSource;
  friend class TDataLink;

  void OpenNow();
  void CloseNow();
  void SetBufferCount(std::int32_t value);
  void UpdateBufferCount();
  void AllocateBuffers(std::int32_t count);
  void FreeBuffers();
  void ClearBuffers();
  void ActivateBuffers();
  void SetCurrentRecord(std::int32_t index);
  void MoveBuffer(std::int32_t from, std::int32_t to);
  bool GetNextRecord();
  bool GetPriorRecord();
  std::int32_t GetNextRecords();
  std::int32_t GetPriorRecords();
  void BeginInsertAppend();
  void EndInsertAppend();
  void AddRecord(const std::vector<TQELVariant>& values, bool append);
  // Runs `operation` until it succeeds or the handler of its failures stops
  // it: daFail (or no handler) raises the error again, daAbort EAbort.
  template <class TOperation>
  void RunWithErrorEvent(const TDataSetErrorEvent& handler, TOperation&& operation);
  void AddDataSource(TDataSource* source);
  void RemoveDataSource(TDataSource* source);

  TDataSetState FState = dsInactive;
  TFieldDefs FFieldDefs;
  TIndexDefs FIndexDefs;
  std::vector<std::unique_ptr<TField>> FFields;
  std::vector<std::uint8_t*> FBuffers;
  std::int32_t FBufferCount = 0;
  std::int32_t FRecordCount = 0;
  std::int32_t FActiveRecord = 0;
  std::int32_t FCurrentRecord = -1;
  std::int32_t FCalcFieldsSize = 0;
  std::uint8_t* FCalcBuffer = nullptr;
  bool FBOF = true;
  bool FEOF = true;
  bool FModified = false;
  bool FFound = false;
  bool FFiltered = false;
  std::string FFilterText;
  std::uint8_t FFilterOptions = 0;
  TFilterRecordEvent FOnFilterRecord;
  std::int32_t FDisableCount = 0;
  TDataSetState FDisableState = dsInactive;
  TDataEvent FEnableEvent = deDataSetChange;
  std::vector<TDataSource*> FDataSources;
};

class TDataSource : public TQELComponent {
 public:
  TDataSource() = default;
  ~TDataSource() override;

  TDataSet* DataSet() const { return FDataSet; }
  void SetDataSet(TDataSet* dataSet);
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool value);
  // Editing a field through a link starts edit state when set.
  bool AutoEdit = true;
  TDataSetState State() const { return FState; }
  std::function<void(TDataSource&)> OnStateChange;
  std::function<void(TDataSource&, TField*)> OnDataChange;
  std::function<void(TDataSource&)> OnUpdateData;
  std::size_t LinkCount() const { return FLinks.size(); }

 protected:
  void Notification(TQELComponent* component, TQELOperation operation) override;

 private:
  friend class TDataSet;
  friend class TDataLink;

  void DataEvent(TDataEvent event, std::intptr_t info);
  void NotifyLinks(TDataEvent event, std::intptr_t info);
  void UpdateState();
  void AddLink(TDataLink* link);
  void RemoveLink(TDataLink* link);

  TDataSet* FDataSet = nullptr;
  bool FEnabled = true;
  TDataSetState FState = dsInactive;
  std::vector<TDataLink*> FLinks;
};

// What a data-aware control or a detail dataset implements. The link sees
// BufferCount records of the ring, of which ActiveRecord is the active one.
class TDataLink {
 public:
  TDataLink() = default;
  virtual ~TDataLink();
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  TDataSource* DataSource() const { return FDataSource; }
  void SetDataSource(TDataSource* source);
  TDataSet* DataSet() const;
  bool Active() const { return FActive; }
  bool Editing() const { return FEditing; }
  std::int32_t BufferCount() const { return FBufferCount; }
  void SetBufferCount(std::int32_t value);
  std::int32_t ActiveRecord() const;
  std::int32_t RecordCount() const;
  // Puts the dataset in edit state when the source allows it; answers
  // whether the link is editing afterwards.
  bool Edit();
  // Stores the control's pending value (UpdateData), once.
  void UpdateRecord();

 protected:
  virtual void ActiveChanged() {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(std::int32_t /*distance*/) { DataSetChanged(); }
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void RecordChanged(TField* /*field*/) {}
  virtual void EditingChanged() {}
  virtual void UpdateData() {}
  virtual void CheckBrowseMode() {}

 private:
  friend class TDataSource;

  void DataEvent(TDataEvent event, std::intptr_t info);
  void UpdateState();
  void UpdateRange();

  TDataSource* FDataSource = nullptr;
  std::int32_t FBufferCount = 1;
  std::int32_t FFirstRecord = 0;
  bool FActive = false;
  bool FEditing = false;
  bool FUpdating = false;
};

// The link of a detail dataset to its master: told when the master's
// record changes (OnMasterChange) and when the master closes
// (OnMasterDisable).
class TMasterDataLink : public TDataLink {
 public:
  // Names of the master fields the detail follows.
  std::string FieldNames;
  std::vector<TField*> Fields;
  std::function<void()> OnMasterChange;
  std::function<void()> OnMasterDisable;

 protected:
  void ActiveChanged() override;
  void RecordChanged(TField* field) override;
  void CheckBrowseMode() override;
};

}  // namespace qel
