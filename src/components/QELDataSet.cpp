#include "components/QELDataSet.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "components/QELDatabase.h"
#include "components/QELSession.h"
#include "components/QELSessionList.h"
#include "components/db/QELDatabaseError.h"
#include "components/db/QELSameText.h"
#include "engine/QELDefConversions.h"
#include "storage/QELRecordData.h"
#include "values/QELValueCodec.h"

namespace qel {

namespace {

constexpr std::int32_t kIdSize = kQELRecordIDSize;

// Whether a field's value moves between the record and the component's
// buffer in the record layer's own form: strings, the integer and double
// types and bytes do, unless the field shows them as a Boolean.
bool MovesAsRecordData(TQELBaseFieldType base, const TField& field) {
  switch (base) {
    case bftFixedChar:
    case bftString:
    case bftFixedWideChar:
    case bftWideString:
    case bftSmallint:
    case bftInteger:
    case bftLargeint:
    case bftDouble:
    case bftBytes:
    case bftVarBytes:
      return field.DataType() != ftBoolean;
    default:
      return false;
  }
}

}  // namespace

EQELEngineError::EQELEngineError(std::int32_t errorCode, const std::string& text)
    : std::runtime_error("Qelmonte Engine Error # " + std::to_string(errorCode) + " " + text),
      FErrorCode(errorCode),
      FErrorText(text) {}

TQELDataSet::TQELDataSet() { FBookmarkSize = TQELCursor::kBookmarkSize; }

TQELDataSet::~TQELDataSet() {
  try {
    Close();
  } catch (...) {
  }
  FreeOldBuffer();
  if (FCursorExternal) (void)FCursor.release();
  if (FDatabase != nullptr) {
    FDBFlags = 1;
    try {
      SetDBFlag(0, false);
    } catch (...) {
    }
  }
}

void TQELDataSet::SetDatabaseName(const std::string& name) {
  if (name == FDatabaseName) return;
  CheckInactive();
  if (FDatabase != nullptr) DatabaseError("Cannot perform this operation on an open database", this);
  FDatabaseName = name;
  FInMemory = QELSameText(name, "MEMORY");
}

void TQELDataSet::SetSessionName(const std::string& name) {
  CheckInactive();
  if (FDatabase != nullptr) DatabaseError("Cannot perform this operation on an open database", this);
  FSessionName = name;
}

void TQELDataSet::SetInMemory(bool value) {
  if (value) SetDatabaseName("MEMORY");
  FInMemory = value;
}

void TQELDataSet::SetReadOnly(bool value) {
  CheckInactive();
  FReadOnly = value;
}

void TQELDataSet::SetDBFlag(std::int32_t flag, bool value) {
  const auto bit = static_cast<std::uint16_t>(1u << flag);
  if (value) {
    if (FDBFlags == 0) {
      TQELSession& session = TQELSessionList::Instance().GetSession(FSessionName);
      TQELDatabase& database = session.OpenDatabase(FDatabaseName, Owner());
      FDatabase = &database;
      FDatabase->AddDataSet(this);
    }
    FDBFlags |= bit;
  } else if (FDBFlags & bit) {
    FDBFlags = static_cast<std::uint16_t>(FDBFlags & ~bit);
    if (FDBFlags == 0 && FDatabase != nullptr) {
      TQELDatabase* database = FDatabase;
      FDatabase = nullptr;
      database->RemoveDataSet(this);
      if (database->Session() != nullptr) database->Session()->CloseDatabase(database);
    }
  }
}

void TQELDataSet::DatabaseFreed(TQELDatabase& database) {
  if (&database == FDatabase) {
    FDatabase = nullptr;
    FDBFlags = 0;
  }
}

void TQELDataSet::OpenCursor(bool infoQuery) {
  if (FDatabaseName.empty()) DatabaseError("DatabaseName property is blank", this);
  SetDBFlag(0, true);
  try {
    if (!FCursor) {
      std::unique_ptr<TQELCursor> own = CreateCursor();
      if (own) FCursor = std::move(own);
    }
    if (!FCursor) throw EQELException(20001, "Error creating table handle");
    TDataSet::OpenCursor(infoQuery);
  } catch (...) {
    if (FCursor) DestroyCursor();
    SetDBFlag(0, false);
    throw;
  }
}

void TQELDataSet::DestroyCursor() {
  if (FCursorExternal) {
    // Not ours to free.
    (void)FCursor.release();
    FCursorExternal = false;
  }
  FCursor.reset();
}

void TQELDataSet::SetExternalCursor(TQELCursor* cursor) {
  DestroyCursor();
  FCursor.reset(cursor);
  FCursorExternal = cursor != nullptr;
}

void TQELDataSet::CloseCursor() {
  TDataSet::CloseCursor();
  if (FCursor) DestroyCursor();
  SetDBFlag(0, false);
}

void TQELDataSet::InternalOpen() {
  UpdateFieldDefs();
  FIndexDefsJustFilled = false;
  FreeOldBuffer();
  CreateFields();
  BindFields(true);
  FCursor->Owner = this;
  FCursor->CalcFieldsSize = CalcFieldsSize();
  if (Filtered()) {
    ApplyFilter();
  } else {
    RemoveFilter();
  }
  FFilterBuffer = FCursor->AllocRecordBuffer();
  for (auto& key : FKeyBuffers) {
    key.assign(static_cast<std::size_t>(KeyBufferSize()), 0);
    ClearKeyBuffer(key.data());
  }
  FKeyBuffer = nullptr;
  BuildIndexFieldMap();
  FCursor->CancelRange();
  // A cursor handed in from elsewhere may stand anywhere: start before the
  // first record.
  FCursor->First();
  AfterInternalOpen();
}

void TQELDataSet::ClearKeyBuffer(std::uint8_t* buffer) {
  std::memset(buffer, 0, static_cast<std::size_t>(KeyBufferSize()));
  FCursor->InitRecord(buffer, false);
}

void TQELDataSet::BuildIndexFieldMap() {
  FIndexFieldNos.clear();
  FIndexKeySize = 0;
  if (!FCursor || FCursor->IndexName().empty()) return;
  const auto* index = static_cast<const TQELIndexDef*>(FCursor->IndexDefs().FindByName(FCursor->IndexName()));
  if (index == nullptr) return;
  const TQELFieldDefs& visible = FCursor->VisibleFieldDefs();
  for (std::int32_t i = 0; i < index->ColumnCount(); ++i) {
    const std::int32_t no = visible.IndexOfName(index->Columns(i).FieldName);
    if (no < 0) continue;
    FIndexFieldNos.push_back(no + 1);
    FIndexKeySize += visible[no].MemoryDataSize();
  }
}

bool TQELDataSet::GetIsIndexField(const TField& field) const {
  for (const std::int32_t no : FIndexFieldNos) {
    if (no == field.FieldNo()) return true;
  }
  return false;
}

void TQELDataSet::SwitchToIndex(const std::string& indexName) {
  FCursor->CancelRange();
  for (const TKeyBufferRole role : {kbCurRangeStart, kbCurRangeEnd}) ClearKeyBuffer(KeyBuffer(role));
  UpdateCursorPos();
  FCursor->SetIndexName(indexName);
  BuildIndexFieldMap();
  Resync(false, false);
}

void TQELDataSet::InternalClose() {
  FreeOldBuffer();
  // The cursor's range points into the key buffers.
  if (FCursor) FCursor->CancelRange();
  for (auto& key : FKeyBuffers) std::vector<std::uint8_t>().swap(key);
  FKeyBuffer = nullptr;
  FIndexFieldNos.clear();
  FIndexKeySize = 0;
  if (FFilterBuffer != nullptr && FCursor) FCursor->FreeRecordBuffer(FFilterBuffer);
  FFilterBuffer = nullptr;
  BindFields(false);
  DestroyDefaultFields();
  // Emptied lists are out of date: the next look reads them again.
  FieldDefs().Clear();
  FieldDefs().Updated = false;
  IndexDefs().Clear();
  IndexDefs().Updated = false;
}

void TQELDataSet::InternalInitFieldDefs() {
  FieldDefs().Clear();
  // An open cursor has built its definitions (and a query's projection
  // of them) already.
  if (FCursor) FillDefinitions(*FCursor);
}

void TQELDataSet::FillDefinitions(TQELCursor& cursor) {
  FieldDefs().Clear();
  const TQELFieldDefs& defs = cursor.VisibleFieldDefs();
  for (std::int32_t i = 0; i < defs.Count(); ++i) {
    const TQELPlatformFieldDef def = FieldDefToPlatformFieldDef(defs[i], cursor.ConstraintDefs());
    const std::int32_t size = defs[i].AdvancedFieldType() == aftGuid ? 38 : def.Size;
    FieldDefs().Add(def.Name, def.DataType, size, def.Required);
  }
  FieldDefsToAdvFieldDefs(defs, cursor.ConstraintDefs(), AdvFieldDefs);
  RestructureFieldDefs = AdvFieldDefs;
  // A table opening its cursor has filled them from it just before.
  if (!std::exchange(FIndexDefsJustFilled, false)) FillIndexDefs(cursor.IndexDefs());
}

void TQELDataSet::FillIndexDefs(const TQELIndexDefs& indexes) {
  IndexDefsToAdvIndexDefs(indexes, AdvIndexDefs);
  IndexDefs().Clear();
  for (std::int32_t i = 0; i < AdvIndexDefs.Count(); ++i) {
    const TQELAdvIndexDef& adv = AdvIndexDefs[i];
    TIndexDef& def = IndexDefs().Add(adv.Name, adv.Fields, adv.Options);
    def.DescFields = adv.DescFields;
    def.CaseInsFields = adv.CaseInsFields;
  }
  RestructureIndexDefs = AdvIndexDefs;
  IndexDefs().Updated = true;
}

std::uint8_t* TQELDataSet::AllocRecordBuffer() { return FCursor->AllocRecordBuffer(); }

void TQELDataSet::FreeRecordBuffer(std::uint8_t*& buffer) {
  if (FCursor) {
    FCursor->FreeRecordBuffer(buffer);
  }
  buffer = nullptr;
}

void TQELDataSet::FreeOldBuffer() {
  if (FOldBuffer != nullptr && FCursor) FCursor->FreeRecordBuffer(FOldBuffer);
  FOldBuffer = nullptr;
}

std::uint8_t* TQELDataSet::CalcArea(std::uint8_t* buffer) const {
  return buffer + FCursor->RecordSize + TQELCursor::kBookmarkSize;
}

TGetResult TQELDataSet::GetRecord(std::uint8_t* buffer, TGetMode mode, bool doCheck) {
  FCursor->RecordBuffer = buffer;
  const TQELGetRecordMode engineMode =
      mode == TGetMode::Current ? grmCurrent : mode == TGetMode::Next ? grmNext : grmPrior;
  const TQELGetRecordResult result = FCursor->GetRecord(engineMode);
  if (result == grBOF) return TGetResult::Bof;
  if (result == grEOF) return TGetResult::Eof;
  if (result != grOK) {
    if (doCheck) throw EQELException(10026, "Cannot retreive record");
    return TGetResult::Error;
  }
  std::memcpy(buffer + FCursor->BookmarkOffset(), &FCursor->Position, kIdSize);
  buffer[FCursor->BookmarkOffset() + kIdSize] = bfCurrent;
  ClearCalcFields(buffer);
  GetCalcFields(buffer);
  return TGetResult::OK;
}

void TQELDataSet::InternalInitRecord(std::uint8_t* buffer) { FCursor->InitRecord(buffer, true); }

void TQELDataSet::InitRecord(std::uint8_t* buffer) {
  TDataSet::InitRecord(buffer);
  std::memset(buffer + FCursor->BookmarkOffset(), 0xFF, kIdSize);
}

void TQELDataSet::ClearCalcFields(std::uint8_t* buffer) {
  if (FCursor && CalcFieldsSize() > 0) std::memset(CalcArea(buffer), 0, CalcFieldsSize());
}

bool TQELDataSet::GetCurrentRecord(std::uint8_t* buffer) {
  std::uint8_t* active = ActiveBuffer();
  if (!FCursor || active == nullptr || GetBookmarkFlag(active) != TBookmarkFlag::Current) return false;
  const TQELCursorPosition saved = FCursor->SavePosition();
  std::uint8_t* savedBuffer = FCursor->RecordBuffer;
  InternalSetToRecord(active);
  FCursor->RecordBuffer = buffer;
  const bool ok = FCursor->GetRecord(grmCurrent) == grOK;
  FCursor->RecordBuffer = savedBuffer;
  FCursor->RestorePosition(saved);
  return ok;
}

void TQELDataSet::InternalSetToRecord(std::uint8_t* buffer) {
  InternalGotoBookmark(buffer + FCursor->BookmarkOffset());
}

void TQELDataSet::GetBookmarkData(const std::uint8_t* buffer, void* data) {
  std::memcpy(data, buffer + FCursor->BookmarkOffset(), kIdSize);
  static_cast<std::uint8_t*>(data)[kIdSize] = 0;
}

void TQELDataSet::SetBookmarkData(std::uint8_t* buffer, const void* data) {
  std::memcpy(buffer + FCursor->BookmarkOffset(), data, kIdSize);
}

TBookmarkFlag TQELDataSet::GetBookmarkFlag(const std::uint8_t* buffer) {
  const std::uint8_t flag = buffer[FCursor->BookmarkOffset() + kIdSize];
  return flag <= 3 ? static_cast<TBookmarkFlag>(flag) : TBookmarkFlag::Current;
}

void TQELDataSet::SetBookmarkFlag(std::uint8_t* buffer, TBookmarkFlag flag) {
  buffer[FCursor->BookmarkOffset() + kIdSize] = static_cast<std::uint8_t>(flag);
}

void TQELDataSet::InternalGotoBookmark(const void* bookmark) {
  std::memcpy(&FCursor->Position, bookmark, kIdSize);
  FCursor->BeforeFirst = false;
  FCursor->AfterLast = false;
}

std::int64_t TQELDataSet::GetRecordCount() {
  if (!Active() || !FCursor) return 0;
  return FCursor->GetRecordCount();
}

std::int64_t TQELDataSet::GetRecNo() {
  if (State() == dsInsert || !FCursor) return -1;
  std::uint8_t* buffer = State() == dsCalcFields ? CalcBuffer() : ActiveBuffer();
  if (buffer == nullptr) return -1;
  const TQELCursorPosition saved = FCursor->SavePosition();
  InternalSetToRecord(buffer);
  const std::int64_t recNo = FCursor->GetRecNo();
  FCursor->RestorePosition(saved);
  CursorPosChanged();
  return recNo;
}

void TQELDataSet::SetRecNoValue(std::int64_t value) {
  CheckBrowseMode();
  DoBeforeScroll();
  FCursor->SetRecNo(value);
  Resync(false, true);
  DoAfterScroll();
}

bool TQELDataSet::BookmarkValid(const TBookmark& bookmark) {
  if (!FCursor || static_cast<std::int32_t>(bookmark.size()) != FBookmarkSize) return false;
  const TQELCursorPosition saved = FCursor->SavePosition();
  std::uint8_t* savedBuffer = FCursor->RecordBuffer;
  FCursor->RecordBuffer = FFilterBuffer;
  InternalGotoBookmark(bookmark.data());
  bool ok = false;
  try {
    ok = FCursor->GetRecord(grmCurrent) == grOK;
  } catch (const EQELException&) {
    ok = false;
  }
  FCursor->RecordBuffer = savedBuffer;
  FCursor->RestorePosition(saved);
  CursorPosChanged();
  return ok;
}

std::int32_t TQELDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  if (a.empty() && b.empty()) return 0;
  if (b.empty()) return -1;
  if (a.empty()) return 1;
  auto recNoOf = [this](const TBookmark& bookmark) -> std::int64_t {
    if (!BookmarkValid(bookmark)) return -1;
    const TQELCursorPosition saved = FCursor->SavePosition();
    InternalGotoBookmark(bookmark.data());
    const std::int64_t recNo = FCursor->GetRecNo();
    FCursor->RestorePosition(saved);
    CursorPosChanged();
    return recNo;
  };
  const std::int64_t first = recNoOf(a);
  const std::int64_t second = recNoOf(b);
  return first == second ? 0 : first > second ? 1 : -1;
}

std::uint8_t* TQELDataSet::StateBuffer() const {
  switch (State()) {
    case dsBrowse:
      return ActiveBuffer();
    case dsEdit:
    case dsInsert:
      return ActiveBuffer();
    case dsCalcFields:
    case dsInternalCalc:
      return CalcBuffer();
    case dsFilter:
      return FFilterBuffer;
    case dsSetKey:
      return FKeyBuffer;
    case dsOldValue:
      return FOldBuffer ? FOldBuffer : ActiveBuffer();
    default:
      return nullptr;
  }
}

void TQELDataSet::CheckOwnField(const TField& field) const {
  if (&field.DataSet() != this) {
    DatabaseErrorFmt("Field '%s' belongs to another dataset", {field.FieldName()}, this);
  }
}

// A narrow string stored as the field shows it is read where it lies:
// AsString then copies its characters once, into the string it answers.
std::optional<std::string_view> TQELDataSet::GetFieldText(const TField& field) {
  CheckOwnField(field);
  std::uint8_t* record = StateBuffer();
  if (record == nullptr || !FCursor || field.IsCalculated()) return std::nullopt;
  const std::int32_t fieldNo = field.FieldNo() - 1;
  const std::int32_t tableNo = FCursor->SourceFieldNo(fieldNo);
  const TQELFieldDef& def = FCursor->FieldDefs()[tableNo];
  const TQELBaseFieldType base = def.BaseFieldType();
  if ((base != bftString && base != bftFixedChar) || !MovesAsRecordData(base, field)) return std::nullopt;
  if (IsNull(tableNo, record)) return std::string_view();
  const char* text = reinterpret_cast<const char*>(record + def.MemoryOffset());
  const auto room = static_cast<std::size_t>(std::min(def.MemoryDataSize(), field.Size() + 1));
  return std::string_view(text, strnlen(text, room));
}

bool TQELDataSet::GetFieldData(const TField& field, void* buffer) {
  CheckOwnField(field);
  std::uint8_t* record = StateBuffer();
  if (record == nullptr || !FCursor) return false;
  if (field.IsCalculated()) {
    if (State() == dsSetKey) return false;
    const std::uint8_t* slot = CalcArea(record) + field.Offset();
    if (slot[0] == 0) return false;
    if (buffer != nullptr) std::memcpy(buffer, slot + 1, field.DataSize());
    return true;
  }
  const std::int32_t fieldNo = field.FieldNo() - 1;
  const std::int32_t tableNo = FCursor->SourceFieldNo(fieldNo);
  const TQELFieldDefs& defs = FCursor->FieldDefs();
  const TQELBaseFieldType base = defs[tableNo].BaseFieldType();
  if (IsNull(tableNo, record)) return false;
  if (buffer == nullptr || IsBlobBaseType(base)) return true;
  if (field.DataType() == ftInteger && base == bftInteger) {
    std::memcpy(buffer, record + defs[tableNo].MemoryOffset(), 4);
    return true;
  }
  if (MovesAsRecordData(base, field)) return FCursor->GetFieldData(fieldNo, buffer, record);
  TQELVariant value;
  qel::GetFieldValue(tableNo, defs, record, value, cmBorrow);
  switch (field.DataType()) {
    case ftSmallint:
    case ftBoolean: {
      const std::int16_t v = field.DataType() == ftBoolean ? (value.AsBoolean() ? 1 : 0) : value.AsSmallint();
      std::memcpy(buffer, &v, 2);
      break;
    }
    case ftWord: {
      const std::uint16_t v = value.AsWord();
      std::memcpy(buffer, &v, 2);
      break;
    }
    case ftInteger:
    case ftAutoInc: {
      const std::int32_t v = value.AsInteger();
      std::memcpy(buffer, &v, 4);
      break;
    }
    case ftLargeint: {
      const std::int64_t v = value.AsLargeint();
      std::memcpy(buffer, &v, 8);
      break;
    }
    case ftFloat:
    case ftCurrency:
    case ftBCD: {
      const double v = value.AsDouble();
      std::memcpy(buffer, &v, 8);
      break;
    }
    case ftDate: {
      const std::int32_t v = value.AsDateNumber();
      std::memcpy(buffer, &v, 4);
      break;
    }
    case ftTime: {
      const std::int32_t v = value.AsTimeMilliseconds();
      std::memcpy(buffer, &v, 4);
      break;
    }
    case ftDateTime: {
      // Day number times a day's milliseconds plus the time: the formula
      // (days since 1899-12-30 + 693594) * 86 400 000 exactly.
      const TQELDateTimeStamp stamp = value.AsDateTimeStamp();
      const double v = static_cast<double>(stamp.Date) * kMSecsPerDay + stamp.Time;
      std::memcpy(buffer, &v, 8);
      break;
    }
    case ftTimeStamp: {
      const TQELDateTimeStamp stamp = value.AsDateTimeStamp();
      const TSQLTimeStamp ts = SQLTimeStampOf(stamp);
      std::memcpy(buffer, &ts, sizeof ts);
      break;
    }
    default:
      return FCursor->GetFieldData(fieldNo, buffer, record);
  }
  return true;
}

void TQELDataSet::SetFieldData(TField& field, const void* buffer) {
  CheckOwnField(field);
  const TDataSetState state = State();
  if (!(state >= dsEdit && state <= dsNewValue) && state != dsInternalCalc) {
    throw EQELException(10007, "Dataset not in edit or insert mode");
  }
  std::uint8_t* record = StateBuffer();
  if (record == nullptr || !FCursor) throw EQELException(10034, "Nil pointer occured");
  // A key buffer holds the record alone: only key fields of the active
  // index go there.
  if (state == dsSetKey && (field.IsCalculated() || (!FIndexFieldNos.empty() && !GetIsIndexField(field)))) {
    throw EQELException(20019, QELFormat("Field %s is not in the current index", {field.FieldName()}));
  }
  if (field.IsCalculated()) {
    std::uint8_t* slot = CalcArea(record) + field.Offset();
    slot[0] = buffer != nullptr ? 1 : 0;
    if (buffer != nullptr) {
      std::memcpy(slot + 1, buffer, field.DataSize());
    } else {
      std::memset(slot + 1, 0, field.DataSize());
    }
  } else {
    if (field.ReadOnly && state != dsSetKey) {
      DatabaseErrorFmt("Field '%s' cannot be modified", {field.FieldName()}, this);
    }
    if (field.OnValidate) field.OnValidate(field);
    const std::int32_t fieldNo = field.FieldNo() - 1;
    const std::int32_t tableNo = FCursor->SourceFieldNo(fieldNo);
    const TQELFieldDefs& defs = FCursor->FieldDefs();
    const TQELBaseFieldType base = defs[tableNo].BaseFieldType();
    const bool raw = buffer == nullptr || MovesAsRecordData(base, field);
    if (raw) {
      FCursor->SetFieldData(fieldNo, buffer, record);
    } else {
      TQELVariant value;
      std::int64_t whole = 0;
      switch (field.DataType()) {
        case ftSmallint:
        case ftBoolean: {
          std::int16_t v;
          std::memcpy(&v, buffer, 2);
          if (field.DataType() == ftBoolean) {
            value.SetAsBoolean(v != 0);
          } else {
            value.SetAsSmallint(v);
          }
          break;
        }
        case ftWord: {
          std::uint16_t v;
          std::memcpy(&v, buffer, 2);
          value.SetAsWord(v);
          break;
        }
        case ftInteger:
        case ftAutoInc: {
          std::int32_t v;
          std::memcpy(&v, buffer, 4);
          value.SetAsInteger(v);
          break;
        }
        case ftLargeint:
          std::memcpy(&whole, buffer, 8);
          value.SetAsLargeint(whole);
          break;
        case ftFloat:
        case ftCurrency:
        case ftBCD: {
          double v;
          std::memcpy(&v, buffer, 8);
          value.SetAsDouble(v);
          break;
        }
        case ftDate: {
          std::int32_t v;
          std::memcpy(&v, buffer, 4);
          value.SetAsDateNumber(v);
          break;
        }
        case ftTime: {
          std::int32_t v;
          std::memcpy(&v, buffer, 4);
          value.SetAsTimeMilliseconds(v);
          break;
        }
        case ftDateTime: {
          double v;
          std::memcpy(&v, buffer, 8);
          const double days = std::floor(v / kMSecsPerDay);
          value.SetAsDateTimeStamp(
              {static_cast<std::int32_t>(days), static_cast<std::int32_t>(v - days * kMSecsPerDay)});
          break;
        }
        case ftTimeStamp: {
          TSQLTimeStamp ts;
          std::memcpy(&ts, buffer, sizeof ts);
          TQELDateTimeStamp stamp{};
          if (!TryDateTimeStampOf(ts, stamp)) {
            DatabaseErrorFmt("Invalid timestamp for field '%s'", {field.FieldName()}, this);
          }
          value.SetAsDateTimeStamp(stamp);
          break;
        }
        default:
          FCursor->SetFieldData(fieldNo, buffer, record);
          value.SetNull();
          break;
      }
      if (!value.IsNull()) qel::SetFieldValue(tableNo, defs, value, record);
    }
  }
  if (state != dsCalcFields && state != dsFilter && state != dsNewValue) {
    DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(&field));
    if (field.OnChange) field.OnChange(field);
  }
}

// ---- editing

void TQELDataSet::CheckStatus() {
  const std::int32_t status = FCursor->Status;
  if (status != csOK) throw EQELEngineError(status, FCursor->ErrorText);
}

void TQELDataSet::InternalEdit() {
  if (FReadOnly) return;
  FreeOldBuffer();
  FOldBuffer = FCursor->AllocRecordBuffer();
  std::memcpy(FOldBuffer, ActiveBuffer(), FCursor->BufferSize());
  FCursor->RecordBuffer = ActiveBuffer();
  try {
    FCursor->Edit();
    CheckStatus();
  } catch (...) {
    FreeOldBuffer();
    throw;
  }
}

void TQELDataSet::InternalInsert() {
  if (!FReadOnly) FCursor->Insert();
}

void TQELDataSet::InternalPost() {
  if (!FCursor) throw EQELException(10029, "Dataset is not opened");
  if (FReadOnly) throw EQELException(10032, "Dataset is in read only mode");
  const TDataSetState state = State();
  if (state != dsEdit && state != dsInsert) throw EQELException(10030, "Dataset is not in insert or edit mode");
  FCursor->RecordBuffer = ActiveBuffer();
  FCursor->OldRecordBuffer = state == dsEdit ? FOldBuffer : nullptr;
  FCursor->Post(state == dsInsert);
  if (state == dsEdit && FCursor->Status == csOK) FreeOldBuffer();
  CheckStatus();
}

void TQELDataSet::InternalCancel() {
  FreeOldBuffer();
  FCursor->RecordBuffer = ActiveBuffer();
  FCursor->Cancel(State() == dsInsert);
  CheckStatus();
}

void TQELDataSet::InternalDelete() {
  if (!FCursor) throw EQELException(10068, "Dataset is not opened");
  if (FReadOnly) throw EQELException(10069, "Dataset is in read only mode");
  FCursor->RecordBuffer = ActiveBuffer();
  FCursor->Delete();
  CheckStatus();
}

void TQELDataSet::InternalAddRecord(std::uint8_t* buffer, bool /*append*/) {
  if (!FCursor) throw EQELException(10075, "Dataset is not opened");
  if (FReadOnly) throw EQELException(10077, "Dataset is in read only mode");
  FCursor->RecordBuffer = buffer;
  FCursor->Post(true);
  // Every failed status is reported, not only a failed insert: a
  // constraint violation or a locked table would otherwise lose the row.
  CheckStatus();
}

void TQELDataSet::InternalRefresh() {
  if (Active() && FilterEventInUse()) FCursor->InvalidateBitmap();
}

// ---- filters and searches

bool TQELDataSet::RunFilter(const std::uint8_t* record) {
  if (!FilterEventInUse()) return true;
  std::memcpy(FFilterBuffer, record, FCursor->RecordSize);
  const TDataSetState old = SetTempState(dsFilter);
  bool accept = true;
  try {
    OnFilterRecord()(*this, accept);
  } catch (...) {
    InternalHandleException();
  }
  RestoreState(old);
  return accept;
}

void TQELDataSet::ApplyFilter() {
  if (!Filter().empty()) {
    FCursor->SetFilter(Filter(), (FilterOptions() & foCaseInsensitive) != 0,
                       (FilterOptions() & foNoPartialCompare) == 0);
  } else {
    FCursor->ClearFilter();
  }
  if (OnFilterRecord()) {
    FCursor->FilterCallback = [this](const std::uint8_t* record, const TQELRecordID&) {
      return RunFilter(record);
    };
  } else {
    FCursor->FilterCallback = nullptr;
  }
  FCursor->RestrictionsChanged();
}

void TQELDataSet::RemoveFilter() {
  FCursor->ClearFilter();
  FCursor->FilterCallback = nullptr;
  FCursor->RestrictionsChanged();
}

void TQELDataSet::SetFiltered(bool value) {
  if (Active()) {
    CheckBrowseMode();
    TDataSet::SetFiltered(value);
    if (value) {
      ApplyFilter();
    } else {
      RemoveFilter();
    }
    First();
  } else {
    TDataSet::SetFiltered(value);
  }
}

void TQELDataSet::SetFilterText(const std::string& text) {
  TDataSet::SetFilterText(text);
  if (Active() && Filtered()) {
    CheckBrowseMode();
    ApplyFilter();
    First();
  }
}

void TQELDataSet::SetFilterOptions(std::uint8_t value) {
  TDataSet::SetFilterOptions(value);
  if (Active() && Filtered()) {
    CheckBrowseMode();
    ApplyFilter();
    First();
  }
}

void TQELDataSet::SetOnFilterRecord(TFilterRecordEvent value) {
  TDataSet::SetOnFilterRecord(std::move(value));
  if (Active() && Filtered()) {
    CheckBrowseMode();
    ApplyFilter();
    First();
  }
}

bool TQELDataSet::FindRecord(bool restart, bool goForward) {
  CheckBrowseMode();
  DoBeforeScroll();
  SetFound(false);
  UpdateCursorPos();
  CursorPosChanged();
  const bool temporary = !Filtered();
  if (temporary) {
    TDataSet::SetFiltered(true);
    ApplyFilter();
  }
  bool found = false;
  std::uint8_t* saved = FCursor->RecordBuffer;
  try {
    FCursor->RecordBuffer = FFilterBuffer;
    if (restart) {
      if (goForward) {
        FCursor->First();
      } else {
        FCursor->Last();
      }
    }
    found = FCursor->GetRecord(goForward ? grmNext : grmPrior) == grOK;
  } catch (...) {
    FCursor->RecordBuffer = saved;
    if (temporary) {
      TDataSet::SetFiltered(false);
      RemoveFilter();
    }
    throw;
  }
  FCursor->RecordBuffer = saved;
  if (temporary) {
    TDataSet::SetFiltered(false);
    RemoveFilter();
  }
  if (found) {
    Resync(true, true);
    SetFound(true);
    DoAfterScroll();
  }
  return found;
}

bool TQELDataSet::Locate(std::string_view keyFields, const std::vector<TQELVariant>& keyValues,
                         std::uint8_t options) {
  DoBeforeScroll();
  if (!FCursor) throw EQELException(10271, "Cannot perform LOCATE on a closed dataset");
  CheckBrowseMode();
  std::vector<std::string> names = SplitFieldNames(keyFields);
  if (names.empty() || names.size() != keyValues.size()) {
    DatabaseErrorFmt("Locate needs one value per key field: %d fields, %d values",
                     {static_cast<std::int32_t>(names.size()), static_cast<std::int32_t>(keyValues.size())},
                     this);
  }
  for (const std::string& name : names) FieldByName(name);
  UpdateCursorPos();
  CursorPosChanged();
  std::uint8_t* saved = FCursor->RecordBuffer;
  const TQELCursorPosition position = FCursor->SavePosition();
  const TDataSetState old = SetTempState(dsFilter);
  bool found = false;
  try {
    FCursor->RecordBuffer = FFilterBuffer;
    found = FCursor->Locate(names, keyValues, (options & loPartialKey) != 0,
                            (options & loCaseInsensitive) != 0);
  } catch (...) {
    RestoreState(old);
    FCursor->RecordBuffer = saved;
    FCursor->RestorePosition(position);
    throw;
  }
  RestoreState(old);
  FCursor->RecordBuffer = saved;
  if (!found) {
    FCursor->RestorePosition(position);
    return false;
  }
  Resync(true, true);
  DoAfterScroll();
  return true;
}

std::vector<TQELVariant> TQELDataSet::Lookup(std::string_view keyFields,
                                             const std::vector<TQELVariant>& keyValues,
                                             std::string_view resultFields) {
  const std::vector<TField*> results = GetFieldList(resultFields);
  std::vector<TQELVariant> values(results.size());
  for (TQELVariant& value : values) value.SetNull();
  if (!FCursor) return values;
  CheckBrowseMode();
  std::vector<std::string> names = SplitFieldNames(keyFields);
  if (names.empty() || names.size() != keyValues.size()) return values;
  UpdateCursorPos();
  std::uint8_t* saved = FCursor->RecordBuffer;
  const TQELCursorPosition position = FCursor->SavePosition();
  bool found = false;
  try {
    FCursor->RecordBuffer = FFilterBuffer;
    found = FCursor->Locate(names, keyValues, false, false);
    if (found) {
      GetCalcFields(FFilterBuffer);
      const TDataSetState old = SetTempState(dsFilter);
      for (std::size_t i = 0; i < results.size(); ++i) values[i] = results[i]->AsVariant();
      RestoreState(old);
    }
  } catch (...) {
    FCursor->RecordBuffer = saved;
    FCursor->RestorePosition(position);
    CursorPosChanged();
    throw;
  }
  FCursor->RecordBuffer = saved;
  FCursor->RestorePosition(position);
  CursorPosChanged();
  return values;
}

// ---- BLOBs

std::unique_ptr<TQELStream> TQELDataSet::CreateBlobStream(TField& field, TBlobStreamMode mode) {
  CheckOwnField(field);
  if (mode != TBlobStreamMode::Read && FReadOnly) throw EQELException(10107, "Dataset is in read only mode");
  auto stream = std::make_unique<TQELBLOBStream>(field, mode);
  // Only a record that vanished under the stream calls for a refresh; a
  // dataset without a current record (empty, or still opening) has none to
  // read.
  if (stream->RecordVanished() && !FRefreshing && State() == dsBrowse) {
    FRefreshing = true;
    try {
      Refresh();
    } catch (...) {
      FRefreshing = false;
      throw;
    }
    FRefreshing = false;
  }
  return stream;
}

void TQELDataSet::CloseBlob(TField& field) {
  if (!FCursor) return;
  std::uint8_t* saved = FCursor->RecordBuffer;
  std::uint8_t* buffer = StateBuffer();
  if (buffer != nullptr) FCursor->RecordBuffer = buffer;
  FCursor->CloseBlob(field.FieldNo() - 1);
  FCursor->RecordBuffer = saved;
}

TQELBLOBStream::TQELBLOBStream(TField& field, TBlobStreamMode mode)
    : FField(field), FDataSet(static_cast<TQELDataSet&>(field.DataSet())) {
  if (mode != TBlobStreamMode::Read && FDataSet.ReadOnly()) {
    throw EQELException(10106, "Dataset is in read only mode");
  }
  const TDataSetState state = FDataSet.State();
  if (mode != TBlobStreamMode::Read && state != dsEdit && state != dsInsert) {
    throw EQELException(10111, "Dataset not in edit or insert mode");
  }
  TQELCursor* cursor = FDataSet.Cursor();
  std::uint8_t* buffer = FDataSet.StateBuffer();
  if (cursor == nullptr || buffer == nullptr || field.FieldNo() <= 0) return;
  const std::uint8_t engineMode = mode == TBlobStreamMode::Read ? 1 : mode == TBlobStreamMode::Write ? 0 : 2;
  const TQELCursorPosition saved = cursor->SavePosition();
  std::uint8_t* savedBuffer = cursor->RecordBuffer;
  cursor->RecordBuffer = buffer;
  if (state != dsInsert) {
    std::memcpy(&cursor->Position, buffer + cursor->BookmarkOffset(), kQELRecordIDSize);
    cursor->BeforeFirst = cursor->AfterLast = false;
  }
  try {
    FEngine = cursor->OpenBlob(state == dsInsert, state == dsEdit, state == dsBrowse || state == dsFilter,
                               engineMode, field.FieldNo() - 1);
    FVanished = FEngine == nullptr;
  } catch (...) {
    cursor->RecordBuffer = savedBuffer;
    cursor->RestorePosition(saved);
    throw;
  }
  cursor->RecordBuffer = savedBuffer;
  cursor->RestorePosition(saved);
  if (FEngine != nullptr) {
    FEngine->Wrapper = this;
    if (mode == TBlobStreamMode::Write) FEngine->SetSize(0);
  }
}

TQELBLOBStream::~TQELBLOBStream() {
  try {
    Close();
  } catch (...) {
  }
}

void TQELBLOBStream::Close() {
  if (FEngine == nullptr) return;
  const bool modified = FModified || FEngine->Modified();
  FEngine->Wrapper = nullptr;
  FEngine = nullptr;
  FDataSet.CloseBlob(FField);
  if (modified) {
    FField.Modified = true;
    FDataSet.DataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(&FField));
  }
}

std::int64_t TQELBLOBStream::Read(void* buffer, std::int64_t count) {
  return FEngine ? FEngine->Read(buffer, count) : 0;
}

std::int64_t TQELBLOBStream::Write(const void* buffer, std::int64_t count) {
  if (FEngine == nullptr) throw EQELException(10112, "BLOB stream has no value to write to");
  const std::int64_t written = FEngine->Write(buffer, count);
  if (written > 0) FModified = true;
  return written;
}

std::int64_t TQELBLOBStream::Seek(std::int64_t offset, TQELSeekOrigin origin) {
  return FEngine ? FEngine->Seek(offset, origin) : 0;
}

std::int64_t TQELBLOBStream::GetSize() { return FEngine ? FEngine->GetSize() : 0; }

void TQELBLOBStream::SetSize(std::int64_t size) {
  if (FEngine == nullptr) throw EQELException(10113, "BLOB stream has no value to write to");
  const std::int64_t before = FEngine->GetSize();
  FEngine->SetSize(size);
  if (FEngine->GetSize() != before) FModified = true;
}

}  // namespace qel
