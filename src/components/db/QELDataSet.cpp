#include "components/db/QELDataSet.h"

#include <algorithm>

#include "components/db/QELDatabaseError.h"
#include "components/db/QELSameText.h"

namespace qel {

TDataSet::TDataSet() = default;

TDataSet::~TDataSet() {
  // A derived dataset has closed already and freed the ring through its
  // own allocator; what is left is the links, which must not point here.
  FBuffers.clear();
  for (TDataSource* source : std::vector<TDataSource*>(FDataSources)) source->SetDataSet(nullptr);
}

// ---- life

void TDataSet::SetActive(bool value) {
  if (value == Active()) return;
  if (value) {
    OpenNow();
  } else {
    CloseNow();
  }
}

void TDataSet::OpenNow() {
  Fire(BeforeOpen);
  FState = dsOpening;
  try {
    OpenCursor(false);
    FBOF = true;
    FEOF = true;
    FRecordCount = 0;
    FActiveRecord = 0;
    FCurrentRecord = -1;
    FBufferCount = 0;
    UpdateBufferCount();
    if (FBufferCount == 0) SetBufferCount(1);
  } catch (...) {
    FState = dsInactive;
    // The buffers come from the cursor: free them while it exists.
    FreeBuffers();
    try {
      CloseCursor();
    } catch (...) {
    }
    throw;
  }
  FState = dsInactive;
  // Filling the ring needs the browse state the fields read in.
  SetState(dsBrowse);
  if (GetNextRecord()) GetNextRecords();
  FBOF = true;
  FEOF = FRecordCount == 0;
  DataEvent(deDataSetChange);
  Fire(AfterOpen);
  if (!IsEmpty()) DoAfterScroll();
}

void TDataSet::CloseNow() {
  Fire(BeforeClose);
  if (FState == dsEdit || FState == dsInsert) {
    try {
      InternalCancel();
    } catch (...) {
    }
  }
  SetState(dsInactive);
  FreeBuffers();
  CloseCursor();
  FBOF = FEOF = true;
  FRecordCount = 0;
  FModified = false;
  Fire(AfterClose);
}

void TDataSet::OpenCursor(bool /*infoQuery*/) {
  InternalOpen();
  if (!IsCursorOpen()) DatabaseError("Cannot open the dataset's cursor", this);
}

void TDataSet::CloseCursor() { InternalClose(); }

void TDataSet::InternalHandleException() {
  // Without an application to report to, exceptions of events the
  // framework swallows are dropped.
}

void TDataSet::UpdateFieldDefs() {
  FFieldDefs.Clear();
  InternalInitFieldDefs();
  FFieldDefs.Updated = true;
}

void TDataSet::CreateFields() {
  bool hasData = false;
  for (const auto& field : FFields) hasData = hasData || field->FieldKind() == fkData;
  if (hasData) return;
  for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i) {
    const TFieldDef& def = FFieldDefs[i];
    auto field = std::make_unique<TField>(*this, def.Name, def.DataType, def.Size, fkData);
    field->FDefault = true;
    field->Required = def.Required;
    FFields.insert(FFields.begin() + i, std::move(field));
  }
}

void TDataSet::BindFields(bool binding) {
  FCalcFieldsSize = 0;
  for (const auto& field : FFields) {
    if (field->FieldKind() == fkData) {
      if (!binding) {
        field->FFieldNo = 0;
        continue;
      }
      const std::int32_t index = FFieldDefs.IndexOf(field->FieldName());
      if (index < 0) DatabaseErrorFmt("Field '%s' not found", {field->FieldName()}, this);
      const TFieldDef& def = FFieldDefs[index];
      if (def.DataType != field->DataType()) {
        DatabaseErrorFmt("Type mismatch for field '%s'", {field->FieldName()}, this);
      }
      field->FFieldNo = def.FieldNo;
      field->FSize = def.Size;
    } else {
      // Each calculated value: a present byte, then its native data.
      field->FOffset = FCalcFieldsSize;
      FCalcFieldsSize += 1 + field->DataSize();
    }
  }
}

void TDataSet::DestroyDefaultFields() {
  std::erase_if(FFields, [](const std::unique_ptr<TField>& field) { return field->FDefault; });
}

TField* TDataSet::FindField(std::string_view name) const {
  for (const auto& field : FFields) {
    if (QELSameText(field->FieldName(), name)) return field.get();
  }
  return nullptr;
}

TField& TDataSet::FieldByName(std::string_view name) const {
  TField* field = FindField(name);
  if (field == nullptr) DatabaseErrorFmt("Field '%s' not found", {std::string(name)}, this);
  return *field;
}

std::vector<TField*> TDataSet::GetFieldList(std::string_view names) const {
  std::vector<TField*> result;
  for (const std::string& name : SplitFieldNames(names)) result.push_back(&FieldByName(name));
  return result;
}

TField& TDataSet::AddField(std::string_view name, TFieldType type, std::int32_t size, TFieldKind kind) {
  CheckInactive();
  if (FindField(name) != nullptr) DatabaseErrorFmt("Duplicate field name '%s'", {std::string(name)}, this);
  FFields.push_back(std::make_unique<TField>(*this, std::string(name), type, size, kind));
  return *FFields.back();
}

// ---- the ring

std::uint8_t* TDataSet::ActiveBuffer() const {
  if (FBuffers.empty() || (FRecordCount == 0 && FState != dsInsert)) return nullptr;
  return FBuffers[FActiveRecord];
}

void TDataSet::AllocateBuffers(std::int32_t count) {
  FreeBuffers();
  FBuffers.reserve(static_cast<std::size_t>(count) + 1);
  for (std::int32_t i = 0; i <= count; ++i) FBuffers.push_back(AllocRecordBuffer());
  FBufferCount = count;
}

void TDataSet::FreeBuffers() {
  for (std::uint8_t*& buffer : FBuffers) {
    if (buffer != nullptr) FreeRecordBuffer(buffer);
  }
  FBuffers.clear();
  FBufferCount = 0;
}

void TDataSet::UpdateBufferCount() {
  if (!IsCursorOpen() && FState != dsOpening) return;
  std::int32_t wanted = 1;
  for (TDataSource* source : FDataSources) {
    for (TDataLink* link : source->FLinks) wanted = std::max(wanted, link->BufferCount());
  }
  SetBufferCount(wanted);
}

void TDataSet::SetBufferCount(std::int32_t value) {
  if (value == FBufferCount) return;
  if (FState == dsOpening || FRecordCount == 0) {
    AllocateBuffers(value);
    ClearBuffers();
    return;
  }
  // Keep the active record: position the cursor on it, rebuild the ring
  // and read around it again. A record being edited keeps the ring it has
  // until the next resize in browse state.
  if (FState != dsBrowse) return;
  UpdateCursorPos();
  const std::int32_t active = std::min(FActiveRecord, value - 1);
  AllocateBuffers(value);
  ClearBuffers();
  FActiveRecord = active;
  Resync(false, false);
}

void TDataSet::ClearBuffers() {
  FRecordCount = 0;
  FActiveRecord = 0;
  FCurrentRecord = -1;
  FBOF = FEOF = true;
}

void TDataSet::ActivateBuffers() {
  FRecordCount = 1;
  FActiveRecord = 0;
  FCurrentRecord = 0;
  FBOF = FEOF = false;
}

void TDataSet::MoveBuffer(std::int32_t from, std::int32_t to) {
  if (from == to) return;
  std::uint8_t* buffer = FBuffers[from];
  FBuffers.erase(FBuffers.begin() + from);
  FBuffers.insert(FBuffers.begin() + to, buffer);
}

void TDataSet::SetCurrentRecord(std::int32_t index) {
  if (FCurrentRecord == index) return;
  std::uint8_t* buffer = FBuffers[index];
  switch (GetBookmarkFlag(buffer)) {
    case TBookmarkFlag::Current:
    case TBookmarkFlag::Inserted:
      InternalSetToRecord(buffer);
      break;
    case TBookmarkFlag::Bof:
      InternalFirst();
      break;
    case TBookmarkFlag::Eof:
      InternalLast();
      break;
  }
  FCurrentRecord = index;
}

void TDataSet::UpdateCursorPos() {
  if (FRecordCount > 0) SetCurrentRecord(FActiveRecord);
}

// The next record goes after the last one buffered; a full ring drops its
// first. The active record stays on its buffer unless that one is dropped.
bool TDataSet::GetNextRecord() {
  TGetMode mode = TGetMode::Next;
  if (FRecordCount > 0) {
    SetCurrentRecord(FRecordCount - 1);
    if (FState == dsInsert && FCurrentRecord == FActiveRecord &&
        GetBookmarkFlag(ActiveBuffer()) == TBookmarkFlag::Current) {
      mode = TGetMode::Current;
    }
  }
  const bool ok = GetRecord(FBuffers[FRecordCount], mode, true) == TGetResult::OK;
  if (ok) {
    if (FRecordCount == 0) {
      ActivateBuffers();
    } else if (FRecordCount < FBufferCount) {
      ++FRecordCount;
    } else {
      MoveBuffer(0, FRecordCount);
      if (FActiveRecord > 0) --FActiveRecord;
    }
    FCurrentRecord = FRecordCount - 1;
  } else {
    CursorPosChanged();
  }
  return ok;
}

bool TDataSet::GetPriorRecord() {
  if (FRecordCount > 0) SetCurrentRecord(0);
  const bool ok = GetRecord(FBuffers[FRecordCount], TGetMode::Prior, true) == TGetResult::OK;
  if (ok) {
    if (FRecordCount == 0) {
      ActivateBuffers();
    } else {
      MoveBuffer(FRecordCount, 0);
      if (FRecordCount < FBufferCount) {
        ++FRecordCount;
        ++FActiveRecord;
      } else if (FActiveRecord < FRecordCount - 1) {
        ++FActiveRecord;
      }
    }
    FCurrentRecord = 0;
  } else {
    CursorPosChanged();
  }
  return ok;
}

std::int32_t TDataSet::GetNextRecords() {
  std::int32_t count = 0;
  while (FRecordCount < FBufferCount && GetNextRecord()) ++count;
  return count;
}

std::int32_t TDataSet::GetPriorRecords() {
  std::int32_t count = 0;
  while (FRecordCount < FBufferCount && GetPriorRecord()) ++count;
  return count;
}

// ---- navigation

void TDataSet::First() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    InternalFirst();
    if (GetNextRecord()) GetNextRecords();
  } catch (...) {
    FBOF = true;
    DataEvent(deDataSetChange);
    throw;
  }
  FBOF = true;
  FEOF = FRecordCount == 0;
  DataEvent(deDataSetChange);
  DoAfterScroll();
}

void TDataSet::Last() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    InternalLast();
    if (GetPriorRecord()) GetPriorRecords();
  } catch (...) {
    FEOF = true;
    DataEvent(deDataSetChange);
    throw;
  }
  FEOF = true;
  FBOF = FRecordCount == 0;
  FActiveRecord = FRecordCount > 0 ? FRecordCount - 1 : 0;
  DataEvent(deDataSetChange);
  DoAfterScroll();
}

std::int32_t TDataSet::MoveBy(std::int32_t distance) {
  CheckBrowseMode();
  std::int32_t moved = 0;
  if ((distance > 0 && !FEOF) || (distance < 0 && !FBOF)) {
    DoBeforeScroll();
    FBOF = FEOF = false;
    const std::int32_t oldCount = FRecordCount;
    std::int32_t scrolled = 0;
    try {
      while (distance > 0) {
        if (FActiveRecord < FRecordCount - 1) {
          ++FActiveRecord;
        } else {
          const bool full = FRecordCount == FBufferCount;
          if (!GetNextRecord()) {
            FEOF = true;
            break;
          }
          FActiveRecord = FRecordCount - 1;
          if (full) ++scrolled;
        }
        --distance;
        ++moved;
      }
      while (distance < 0) {
        if (FActiveRecord > 0) {
          --FActiveRecord;
        } else {
          const bool full = FRecordCount == FBufferCount;
          if (!GetPriorRecord()) {
            FBOF = true;
            break;
          }
          FActiveRecord = 0;
          if (full) --scrolled;
        }
        ++distance;
        --moved;
      }
    } catch (...) {
      DataEvent(FRecordCount != oldCount ? deDataSetChange : deDataSetScroll, scrolled);
      throw;
    }
    if (FRecordCount != oldCount) {
      DataEvent(deDataSetChange);
    } else {
      DataEvent(deDataSetScroll, scrolled);
    }
    DoAfterScroll();
  }
  return moved;
}

void TDataSet::Resync(bool exact, bool center) {
  std::uint8_t* spare = FBuffers[FRecordCount];
  if (exact) {
    CursorPosChanged();
    if (GetRecord(spare, TGetMode::Current, true) != TGetResult::OK) {
      DatabaseError("Record not found", this);
    }
  } else if (GetRecord(spare, TGetMode::Current, false) != TGetResult::OK &&
             GetRecord(spare, TGetMode::Next, false) != TGetResult::OK &&
             GetRecord(spare, TGetMode::Prior, false) != TGetResult::OK) {
    ClearBuffers();
    DataEvent(deDataSetChange);
    return;
  }
  std::int32_t before = center ? (FBufferCount - 1) / 2 : std::min(FActiveRecord, FBufferCount - 1);
  MoveBuffer(FRecordCount, 0);
  ActivateBuffers();
  try {
    while (before > 0 && GetPriorRecord()) --before;
    GetNextRecords();
    GetPriorRecords();
  } catch (...) {
    DataEvent(deDataSetChange);
    throw;
  }
  DataEvent(deDataSetChange);
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  Fire(BeforeRefresh);
  UpdateCursorPos();
  InternalRefresh();
  Resync(false, false);
  Fire(AfterRefresh);
}

// ---- editing

void TDataSet::CheckActive() const {
  if (FState == dsInactive) DatabaseError("Cannot perform this operation on a closed dataset", this);
}

void TDataSet::CheckInactive() const {
  if (FState != dsInactive) DatabaseError("Cannot perform this operation on an open dataset", this);
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(deCheckBrowseMode);
  if (FState == dsEdit || FState == dsInsert) {
    UpdateRecord();
    if (FModified) {
      Post();
    } else {
      Cancel();
    }
  } else if (FState == dsSetKey) {
    Post();
  }
}

void TDataSet::CheckCanModify() {
  if (!GetCanModify()) DatabaseError("Cannot modify a read-only dataset", this);
}

void TDataSet::SetState(TDataSetState state) {
  if (state == FState) return;
  FState = state;
  FModified = false;
  DataEvent(deUpdateState);
}

TDataSetState TDataSet::SetTempState(TDataSetState state) {
  const TDataSetState old = FState;
  FState = state;
  return old;
}

void TDataSet::RestoreState(TDataSetState state) { FState = state; }

void TDataSet::InitRecord(std::uint8_t* buffer) {
  InternalInitRecord(buffer);
  ClearCalcFields(buffer);
  SetBookmarkFlag(buffer, TBookmarkFlag::Inserted);
}

void TDataSet::GetCalcFields(std::uint8_t* buffer) {
  if (FCalcFieldsSize == 0 || !OnCalcFields) return;
  const TDataSetState old = SetTempState(dsCalcFields);
  std::uint8_t* oldBuffer = FCalcBuffer;
  FCalcBuffer = buffer;
  try {
    OnCalcFields(*this);
  } catch (...) {
    InternalHandleException();
  }
  FCalcBuffer = oldBuffer;
  RestoreState(old);
}

template <class TOperation>
void TDataSet::RunWithErrorEvent(const TDataSetErrorEvent& handler, TOperation&& operation) {
  for (;;) {
    try {
      operation();
      return;
    } catch (const std::exception& error) {
      TDataAction action = daFail;
      if (handler) handler(*this, error, action);
      if (action == daFail) throw;
      if (action == daAbort) throw EAbort();
    }
  }
}

void TDataSet::Edit() {
  if (FState == dsEdit || FState == dsInsert) return;
  if (FRecordCount == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  Fire(BeforeEdit);
  UpdateCursorPos();
  RunWithErrorEvent(OnEditError, [this] { InternalEdit(); });
  GetCalcFields(ActiveBuffer());
  SetState(dsEdit);
  DataEvent(deRecordChange);
  Fire(AfterEdit);
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  Fire(BeforeInsert);
  DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    UpdateCursorPos();
    SetState(dsBrowse);
    Resync(false, false);
    throw;
  }
  FModified = false;
  DataEvent(deDataSetChange);
  Fire(AfterInsert);
  DoAfterScroll();
}

void TDataSet::Insert() {
  BeginInsertAppend();
  std::vector<std::uint8_t> current(static_cast<std::size_t>(FBookmarkSize));
  const bool hadRecord = FRecordCount > 0;
  if (hadRecord) GetBookmarkData(FBuffers[FActiveRecord], current.data());
  MoveBuffer(FRecordCount, FActiveRecord);
  std::uint8_t* buffer = FBuffers[FActiveRecord];
  InitRecord(buffer);
  if (!hadRecord) {
    SetBookmarkFlag(buffer, TBookmarkFlag::Bof);
  } else {
    SetBookmarkData(buffer, current.data());
  }
  if (FRecordCount < FBufferCount) ++FRecordCount;
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::Append() {
  BeginInsertAppend();
  ClearBuffers();
  std::uint8_t* buffer = FBuffers[0];
  InitRecord(buffer);
  SetBookmarkFlag(buffer, TBookmarkFlag::Eof);
  FRecordCount = 1;
  FBOF = false;
  GetPriorRecords();
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::Post() {
  UpdateRecord();
  if (FState != dsEdit && FState != dsInsert) {
    if (FState == dsSetKey) SetState(dsBrowse);
    return;
  }
  DataEvent(deCheckBrowseMode);
  Fire(BeforePost);
  if (FState == dsEdit) UpdateCursorPos();
  RunWithErrorEvent(OnPostError, [this] { InternalPost(); });
  SetState(dsBrowse);
  Resync(false, false);
  Fire(AfterPost);
}

void TDataSet::Cancel() {
  if (FState != dsEdit && FState != dsInsert) return;
  DataEvent(deCheckBrowseMode);
  Fire(BeforeCancel);
  const bool wasInsert = FState == dsInsert;
  if (wasInsert) DoBeforeScroll();
  UpdateCursorPos();
  InternalCancel();
  SetState(dsBrowse);
  Resync(false, false);
  Fire(AfterCancel);
  if (wasInsert) DoAfterScroll();
}

void TDataSet::Delete() {
  CheckActive();
  if (FState == dsInsert) {
    Cancel();
    return;
  }
  if (FRecordCount == 0) DatabaseError("Cannot perform this operation on an empty dataset", this);
  DataEvent(deCheckBrowseMode);
  Fire(BeforeDelete);
  DoBeforeScroll();
  UpdateCursorPos();
  RunWithErrorEvent(OnDeleteError, [this] { InternalDelete(); });
  SetState(dsBrowse);
  Resync(false, false);
  Fire(AfterDelete);
  DoAfterScroll();
}

void TDataSet::AddRecord(const std::vector<TQELVariant>& values, bool append) {
  BeginInsertAppend();
  if (!append) UpdateCursorPos();
  std::uint8_t* buffer = FBuffers[FRecordCount];
  InitRecord(buffer);
  // The values go into the spare buffer in insert state, then it is posted.
  const TDataSetState old = FState;
  std::swap(FBuffers[FRecordCount], FBuffers[FActiveRecord]);
  const std::int32_t savedCount = FRecordCount;
  if (FRecordCount == 0) FRecordCount = 1;
  FState = dsInsert;
  try {
    const std::size_t count = std::min(values.size(), FFields.size());
    for (std::size_t i = 0; i < count; ++i) {
      if (FFields[i]->FieldKind() == fkData && !values[i].IsNull()) FFields[i]->SetAsVariant(values[i]);
    }
    InternalAddRecord(buffer, append);
  } catch (...) {
    FState = old;
    FRecordCount = savedCount;
    std::swap(FBuffers[FRecordCount], FBuffers[FActiveRecord]);
    Resync(false, false);
    throw;
  }
  FState = old;
  FRecordCount = savedCount;
  std::swap(FBuffers[FRecordCount], FBuffers[FActiveRecord]);
  Resync(false, false);
  DoAfterScroll();
}

void TDataSet::AppendRecord(const std::vector<TQELVariant>& values) { AddRecord(values, true); }

void TDataSet::InsertRecord(const std::vector<TQELVariant>& values) { AddRecord(values, false); }

void TDataSet::UpdateRecord() {
  if (FState == dsEdit || FState == dsInsert || FState == dsSetKey) DataEvent(deUpdateRecord);
}

// ---- bookmarks

TBookmark TDataSet::GetBookmark() {
  TBookmark result;
  std::uint8_t* buffer = ActiveBuffer();
  if (buffer == nullptr || FBookmarkSize == 0 || GetBookmarkFlag(buffer) != TBookmarkFlag::Current) {
    return result;
  }
  result.resize(static_cast<std::size_t>(FBookmarkSize));
  GetBookmarkData(buffer, result.data());
  return result;
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
  if (bookmark.empty()) return;
  CheckBrowseMode();
  if (static_cast<std::int32_t>(bookmark.size()) != FBookmarkSize) DatabaseError("Invalid bookmark", this);
  DoBeforeScroll();
  InternalGotoBookmark(bookmark.data());
  Resync(true, true);
  DoAfterScroll();
}

bool TDataSet::Locate(std::string_view, const std::vector<TQELVariant>&, std::uint8_t) { return false; }

std::vector<TQELVariant> TDataSet::Lookup(std::string_view, const std::vector<TQELVariant>&,
                                          std::string_view resultFields) {
  std::vector<TQELVariant> result(SplitFieldNames(resultFields).size());
  for (TQELVariant& value : result) value.SetNull();
  return result;
}

std::unique_ptr<TQELStream> TDataSet::CreateBlobStream(TField& field, TBlobStreamMode) {
  DatabaseErrorFmt("Field '%s' is not a BLOB field", {field.FieldName()}, this);
}

// ---- notification

void TDataSet::DisableControls() {
  if (FDisableCount == 0) {
    FDisableState = FState;
    FEnableEvent = deDataSetChange;
  }
  ++FDisableCount;
}

void TDataSet::EnableControls() {
  if (FDisableCount == 0) return;
  if (FDisableCount == 1) {
    if (FDisableState != FState) {
      --FDisableCount;
      DataEvent(deUpdateState);
      ++FDisableCount;
    }
    if (FDisableState != dsInactive && FState != dsInactive) {
      --FDisableCount;
      DataEvent(FEnableEvent);
      return;
    }
  }
  --FDisableCount;
}

void TDataSet::DataEvent(TDataEvent event, std::intptr_t info) {
  if (event == deFieldChange) {
    const auto* field = reinterpret_cast<const TField*>(info);
    if (field != nullptr && field->FieldKind() == fkData) FModified = true;
    if (FState != dsSetKey && FState != dsCalcFields && field != nullptr &&
        field->FieldKind() == fkData && FCalcFieldsSize > 0) {
      GetCalcFields(ActiveBuffer());
    }
  }
  if (FDisableCount != 0) {
    if ((event == deUpdateState && FState == dsInactive) || event == deLayoutChange) {
      FEnableEvent = deLayoutChange;
    }
    return;
  }
  for (TDataSource* source : std::vector<TDataSource*>(FDataSources)) source->DataEvent(event, info);
}

void TDataSet::AddDataSource(TDataSource* source) {
  FDataSources.push_back(source);
  if (Active()) UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* source) {
  std::erase(FDataSources, source);
  if (Active()) UpdateBufferCount();
}

// ---- data sources

TDataSource::~TDataSource() {
  Destroying();
  for (TDataLink* link : std::vector<TDataLink*>(FLinks)) link->SetDataSource(nullptr);
  SetDataSet(nullptr);
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
  if (dataSet == FDataSet) return;
  if (FDataSet != nullptr) {
    FDataSet->RemoveDataSource(this);
    FDataSet->RemoveFreeNotification(this);
  }
  FDataSet = dataSet;
  if (FDataSet != nullptr) {
    FDataSet->FreeNotification(this);
    FDataSet->AddDataSource(this);
  }
  UpdateState();
}

void TDataSource::SetEnabled(bool value) {
  FEnabled = value;
  UpdateState();
}

void TDataSource::Notification(TQELComponent* component, TQELOperation operation) {
  if (operation == opRemove && component == FDataSet) {
    FDataSet = nullptr;
    UpdateState();
  }
}

void TDataSource::UpdateState() {
  const TDataSetState state = FEnabled && FDataSet != nullptr ? FDataSet->State() : dsInactive;
  if (state != FState) {
    FState = state;
    NotifyLinks(deUpdateState, 0);
    if (OnStateChange) OnStateChange(*this);
  }
}

void TDataSource::DataEvent(TDataEvent event, std::intptr_t info) {
  if (event == deUpdateState) {
    UpdateState();
    return;
  }
  if (FState == dsInactive) return;
  NotifyLinks(event, info);
  switch (event) {
    case deFieldChange:
    case deRecordChange:
      if (OnDataChange) OnDataChange(*this, reinterpret_cast<TField*>(info));
      break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
      if (OnDataChange) OnDataChange(*this, nullptr);
      break;
    case deUpdateRecord:
      if (OnUpdateData) OnUpdateData(*this);
      break;
    default:
      break;
  }
}

void TDataSource::NotifyLinks(TDataEvent event, std::intptr_t info) {
  for (TDataLink* link : std::vector<TDataLink*>(FLinks)) link->DataEvent(event, info);
}

void TDataSource::AddLink(TDataLink* link) {
  FLinks.push_back(link);
  if (FDataSet != nullptr && FDataSet->Active()) FDataSet->UpdateBufferCount();
}

void TDataSource::RemoveLink(TDataLink* link) {
  std::erase(FLinks, link);
  if (FDataSet != nullptr && FDataSet->Active()) FDataSet->UpdateBufferCount();
}

// ---- data links

TDataLink::~TDataLink() { SetDataSource(nullptr); }

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == FDataSource) return;
  if (FDataSource != nullptr) FDataSource->RemoveLink(this);
  FDataSource = source;
  if (FDataSource != nullptr) FDataSource->AddLink(this);
  UpdateState();
}

TDataSet* TDataLink::DataSet() const { return FDataSource ? FDataSource->DataSet() : nullptr; }

void TDataLink::SetBufferCount(std::int32_t value) {
  if (value < 1) value = 1;
  if (value == FBufferCount) return;
  FBufferCount = value;
  TDataSet* dataSet = DataSet();
  if (dataSet != nullptr && dataSet->Active()) {
    dataSet->UpdateBufferCount();
    UpdateRange();
  }
}

void TDataLink::UpdateRange() {
  TDataSet* dataSet = DataSet();
  if (dataSet == nullptr || !FActive) {
    FFirstRecord = 0;
    return;
  }
  const std::int32_t active = dataSet->ActiveRecord();
  std::int32_t lowest = active - FBufferCount + 1;
  if (lowest < 0) lowest = 0;
  if (FFirstRecord < lowest) FFirstRecord = lowest;
  if (FFirstRecord > active) FFirstRecord = active;
}

std::int32_t TDataLink::ActiveRecord() const {
  TDataSet* dataSet = DataSet();
  if (dataSet == nullptr || !FActive) return 0;
  return dataSet->ActiveRecord() - FFirstRecord;
}

std::int32_t TDataLink::RecordCount() const {
  TDataSet* dataSet = DataSet();
  if (dataSet == nullptr || !FActive) return 0;
  return std::min(FBufferCount, dataSet->BufferedRecordCount() - FFirstRecord);
}

bool TDataLink::Edit() {
  TDataSet* dataSet = DataSet();
  if (dataSet != nullptr && FDataSource->AutoEdit && !FEditing && dataSet->State() == dsBrowse) {
    dataSet->Edit();
  }
  return FEditing;
}

void TDataLink::UpdateRecord() {
  FUpdating = true;
  try {
    UpdateData();
  } catch (...) {
    FUpdating = false;
    throw;
  }
  FUpdating = false;
}

void TDataLink::UpdateState() {
  const bool active = FDataSource != nullptr && FDataSource->State() != dsInactive;
  if (active != FActive) {
    FActive = active;
    FFirstRecord = 0;
    UpdateRange();
    ActiveChanged();
  }
  const TDataSetState state = FDataSource ? FDataSource->State() : dsInactive;
  const bool editing = state == dsEdit || state == dsInsert;
  if (editing != FEditing) {
    FEditing = editing;
    EditingChanged();
  }
}

void TDataLink::DataEvent(TDataEvent event, std::intptr_t info) {
  switch (event) {
    case deUpdateState:
      UpdateState();
      break;
    case deFieldChange:
    case deRecordChange:
      if (!FUpdating) RecordChanged(reinterpret_cast<TField*>(info));
      break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange: {
      TDataSet* dataSet = DataSet();
      if (event == deDataSetScroll) FFirstRecord -= static_cast<std::int32_t>(info);
      if (dataSet != nullptr && FFirstRecord > dataSet->BufferedRecordCount() - 1) {
        FFirstRecord = std::max(0, dataSet->BufferedRecordCount() - 1);
      }
      if (FFirstRecord < 0) FFirstRecord = 0;
      UpdateRange();
      if (event == deDataSetScroll) {
        DataSetScrolled(static_cast<std::int32_t>(info));
      } else if (event == deLayoutChange) {
        LayoutChanged();
      } else {
        DataSetChanged();
      }
      break;
    }
    case deUpdateRecord:
      UpdateRecord();
      break;
    case deCheckBrowseMode:
      CheckBrowseMode();
      break;
  }
}

// ---- master links

void TMasterDataLink::ActiveChanged() {
  Fields.clear();
  if (Active()) {
    try {
      Fields = DataSet()->GetFieldList(FieldNames);
    } catch (...) {
      Fields.clear();
      throw;
    }
    if (OnMasterChange) OnMasterChange();
  } else if (OnMasterDisable) {
    OnMasterDisable();
  }
}

void TMasterDataLink::RecordChanged(TField* field) {
  if (!Active() || !OnMasterChange) return;
  if (field == nullptr || std::find(Fields.begin(), Fields.end(), field) != Fields.end()) {
    OnMasterChange();
  }
}

void TMasterDataLink::CheckBrowseMode() {
  // A detail that is being edited must be posted before its master moves;
  // the detail dataset does that itself in its own CheckBrowseMode.
}

}  // namespace qel
