#pragma once
// TQELDataSet: the engine's dataset over an engine cursor. It allocates
// record buffers in the cursor's format (memory record, 6-byte record id,
// bookmark flag, calculated fields), lets the cursor fill them, converts
// field values between the record and the fields' native forms, and turns
// the cursor's editing status into EQELEngineError. It finds its database by
// name through the session layer while it is open. Derived components
// create the cursor (CreateCursor).
//
// TQELBLOBStream is the field-level stream over the cursor's BLOB stream.

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "components/QELDatabaseDataSet.h"
#include "components/db/QELDataSet.h"
#include "engine/QELAdvDefs.h"
#include "engine/QELLocalCursor.h"
#include "platform/QELException.h"

namespace qel {

class TQELDatabase;

// A record-level failure the engine reported as a status: "Qelmonte Engine
// Error # ", the code, a space and the text.
class EQELEngineError : public std::runtime_error {
 public:
  EQELEngineError(std::int32_t errorCode, const std::string& text);
  std::int32_t ErrorCode() const { return FErrorCode; }
  const std::string& ErrorText() const { return FErrorText; }

 private:
  std::int32_t FErrorCode;
  std::string FErrorText;
};

class TQELDataSet : public TDataSet, public TQELDatabaseDataSet {
 public:
  TQELDataSet();
  ~TQELDataSet() override;

  const std::string& DatabaseName() const { return FDatabaseName; }
  void SetDatabaseName(const std::string& name);
  const std::string& SessionName() const { return FSessionName; }
  void SetSessionName(const std::string& name);
  bool InMemory() const { return FInMemory; }
  void SetInMemory(bool value);
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool value);
  TQELDatabase* Database() const { return FDatabase; }
  TQELCursor* Cursor() const { return FCursor.get(); }

  bool BookmarkValid(const TBookmark& bookmark) override;
  std::int32_t CompareBookmarks(const TBookmark& a, const TBookmark& b) override;
  bool Locate(std::string_view keyFields, const std::vector<TQELVariant>& keyValues,
              std::uint8_t options) override;
  std::vector<TQELVariant> Lookup(std::string_view keyFields, const std::vector<TQELVariant>& keyValues,
                                  std::string_view resultFields) override;
  std::unique_ptr<TQELStream> CreateBlobStream(TField& field, TBlobStreamMode mode) override;
  bool GetFieldData(const TField& field, void* buffer) override;
  std::optional<std::string_view> GetFieldText(const TField& field) override;
  void SetFieldData(TField& field, const void* buffer) override;

  // The buffer field values are read from in the present state (null when
  // there is none).
  std::uint8_t* StateBuffer() const;
  void CloseBlob(TField& field);

  // TQELDatabaseDataSet.
  bool IsQuery() const override { return false; }
  void CloseForDatabase() override { Close(); }
  void DatabaseFreed(TQELDatabase& database) override;

  // Usage flags: the first one set opens the database, clearing the last
  // releases it.
  virtual void SetDBFlag(std::int32_t flag, bool value);

  // Provider hooks (QELDataSetProvider.cpp): SQL through a query on the
  // same database, transactions of the database, names quoted with "`".
  bool PSIsSQLBased() override { return true; }
  bool PSIsSQLSupported() override { return true; }
  std::string PSGetQuoteChar() override { return "`"; }
  bool PSInTransaction() override;
  void PSStartTransaction() override;
  void PSEndTransaction(bool commit) override;
  std::int32_t PSExecuteStatement(const std::string& sql, const TParams* params) override;
  // Reopens an open dataset.
  void PSReset() override;

  // The structure in component form, filled whenever the definitions are
  // read; the Restructure lists start as copies of them and are what a
  // restructure will produce.
  TQELAdvFieldDefs AdvFieldDefs;
  TQELAdvIndexDefs AdvIndexDefs;
  TQELAdvFieldDefs RestructureFieldDefs;
  TQELAdvIndexDefs RestructureIndexDefs;

  // The index field map of the active index: its key fields' numbers (from
  // 1, in key order) and the bytes their values take in a record.
  std::int32_t IndexFieldCount() const { return static_cast<std::int32_t>(FIndexFieldNos.size()); }
  std::int32_t IndexFieldNo(std::int32_t index) const { return FIndexFieldNos.at(static_cast<std::size_t>(index)); }
  std::int32_t IndexKeySize() const { return FIndexKeySize; }
  bool GetIsIndexField(const TField& field) const;
  // Makes the named index active (empty: natural order): the range is
  // reset, the records reread around the current one and the index field
  // map rebuilt.
  void SwitchToIndex(const std::string& indexName);

 protected:
  virtual std::unique_ptr<TQELCursor> CreateCursor() { return nullptr; }
  // Frees the cursor, or only forgets one handed in from outside.
  virtual void DestroyCursor();
  // A cursor someone else owns (a query's result, owned by its statement
  // processor); CreateCursor may hand one in instead of answering its own.
  void SetExternalCursor(TQELCursor* cursor);
  virtual void AfterInternalOpen() {}
  // The cursor may have been made read-only by its database while opening.
  void TakeReadOnly(bool value) { FReadOnly = value; }

  // The six key buffers of a table's key and range work, each the memory
  // record followed by a modified byte, an exclusive byte and an int32 key
  // field count (0: every field of the active index).
  enum TKeyBufferRole : std::uint8_t {
    kbLookup,
    kbRangeStart,
    kbRangeEnd,
    kbCurRangeStart,
    kbCurRangeEnd,
    kbSavedKey,
    kbCount,
  };
  std::uint8_t* KeyBuffer(TKeyBufferRole role) { return FKeyBuffers[role].data(); }
  std::int32_t KeyBufferSize() const { return FCursor ? FCursor->RecordSize + 6 : 0; }
  // Zeroes the whole buffer, then every field of its record becomes NULL.
  void ClearKeyBuffer(std::uint8_t* buffer);
  // The buffer field values go to in set-key state.
  void SetActiveKeyBuffer(std::uint8_t* buffer) { FKeyBuffer = buffer; }
  std::uint8_t* ActiveKeyBuffer() const { return FKeyBuffer; }

  void OpenCursor(bool infoQuery) override;
  void CloseCursor() override;
  void InternalOpen() override;
  void InternalClose() override;
  void InternalInitFieldDefs() override;
  // FieldDefs, IndexDefs and the component-form lists from a cursor whose
  // field definitions are built, and IndexDefs alone from index
  // definitions.
  void FillDefinitions(TQELCursor& cursor);
  void FillIndexDefs(const TQELIndexDefs& indexes);
  // Set by a table that filled IndexDefs from the cursor it just created,
  // so that opening it does not fill them again; opening clears it.
  bool FIndexDefsJustFilled = false;
  bool IsCursorOpen() const override { return FCursor != nullptr; }
  std::uint8_t* AllocRecordBuffer() override;
  void FreeRecordBuffer(std::uint8_t*& buffer) override;
  std::int32_t GetRecordSize() override { return FCursor ? FCursor->RecordSize : 0; }
  TGetResult GetRecord(std::uint8_t* buffer, TGetMode mode, bool doCheck) override;
  void InternalInitRecord(std::uint8_t* buffer) override;
  void InitRecord(std::uint8_t* buffer) override;
  void ClearCalcFields(std::uint8_t* buffer) override;
  bool GetCurrentRecord(std::uint8_t* buffer) override;
  void InternalFirst() override { FCursor->First(); }
  void InternalLast() override { FCursor->Last(); }
  void InternalSetToRecord(std::uint8_t* buffer) override;
  void GetBookmarkData(const std::uint8_t* buffer, void* data) override;
  void SetBookmarkData(std::uint8_t* buffer, const void* data) override;
  TBookmarkFlag GetBookmarkFlag(const std::uint8_t* buffer) override;
  void SetBookmarkFlag(std::uint8_t* buffer, TBookmarkFlag flag) override;
  void InternalGotoBookmark(const void* bookmark) override;
  std::int64_t GetRecordCount() override;
  std::int64_t GetRecNo() override;
  void SetRecNoValue(std::int64_t value) override;
  void InternalEdit() override;
  void InternalInsert() override;
  void InternalPost() override;
  void InternalCancel() override;
  void InternalDelete() override;
  void InternalAddRecord(std::uint8_t* buffer, bool append) override;
  void InternalRefresh() override;
  bool GetCanModify() override { return !FReadOnly; }
  void SetFiltered(bool value) override;
  void SetFilterText(const std::string& text) override;
  void SetFilterOptions(std::uint8_t value) override;
  void SetOnFilterRecord(TFilterRecordEvent value) override;
  bool FindRecord(bool restart, bool goForward) override;

 private:
  friend class TQELBLOBStream;

  // Raises EQELEngineError unless the cursor's status is 0.
  void CheckStatus();
  void CheckOwnField(const TField& field) const;
  bool FilterEventInUse() const { return Filtered() && static_cast<bool>(OnFilterRecord()); }
  void ApplyFilter();
  void RemoveFilter();
  bool RunFilter(const std::uint8_t* record);
  std::uint8_t* CalcArea(std::uint8_t* buffer) const;
  void FreeOldBuffer();

  std::string FDatabaseName;
  std::string FSessionName;
  bool FInMemory = false;
  bool FReadOnly = false;
  bool FRefreshing = false;
  std::uint16_t FDBFlags = 0;
  TQELDatabase* FDatabase = nullptr;
  std::unique_ptr<TQELCursor> FCursor;
  bool FCursorExternal = false;
  void BuildIndexFieldMap();

  std::uint8_t* FOldBuffer = nullptr;
  std::uint8_t* FFilterBuffer = nullptr;
  std::array<std::vector<std::uint8_t>, kbCount> FKeyBuffers;
  std::uint8_t* FKeyBuffer = nullptr;
  std::vector<std::int32_t> FIndexFieldNos;
  std::int32_t FIndexKeySize = 0;
};

// A field's BLOB value as a stream. Writing needs edit or insert state;
// destroying it stores what was written into the record (Post then keeps
// it).
class TQELBLOBStream : public TQELStream, public TQELBlobStreamWrapper {
 public:
  TQELBLOBStream(TField& field, TBlobStreamMode mode);
  ~TQELBLOBStream() override;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  // Without an engine stream (the record is gone) writes raise "BLOB
  // stream has no value to write to" rather than vanish.
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TQELSeekOrigin origin) override;
  std::int64_t GetSize() override;
  void SetSize(std::int64_t size) override;
  // Hands the value over to the record; a failure raises (the destructor,
  // which does the same for a stream not closed, cannot).
  void Close() override;
  bool HasEngineStream() const { return FEngine != nullptr; }
  // The engine found no record where the buffer said one was (another
  // session deleted it).
  bool RecordVanished() const { return FVanished; }

 private:
  void EngineStreamClosed() override { FEngine = nullptr; }

  TField& FField;
  TQELDataSet& FDataSet;
  TQELLocalBLOBStream* FEngine = nullptr;
  bool FModified = false;
  bool FVanished = false;
};

}  // namespace qel
