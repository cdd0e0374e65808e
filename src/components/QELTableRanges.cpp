// The table's keys and ranges: set-key state over the key buffers, the
// range handed to the cursor, and the master-detail link that sets it.

#include <cstring>

#include "components/QELTable.h"
#include "components/db/QELDatabaseError.h"
#include "platform/QELException.h"

namespace qel {

namespace {

// Where the key buffer's own bytes follow its record.
struct TKeyBytes {
  std::uint8_t* Buffer;
  std::int32_t RecordSize;
  std::uint8_t& Modified() const { return Buffer[RecordSize]; }
  std::uint8_t& Exclusive() const { return Buffer[RecordSize + 1]; }
  std::int32_t FieldCount() const {
    std::int32_t count;
    std::memcpy(&count, Buffer + RecordSize + 2, sizeof count);
    return count;
  }
  void SetFieldCount(std::int32_t count) const { std::memcpy(Buffer + RecordSize + 2, &count, sizeof count); }
};

// The lock a range change reads its first records under.
constexpr std::uint8_t kRangeLock = 1;

}  // namespace

void TQELTable::SetRangeStart() { SetKeyBuffer(kbRangeStart); }
void TQELTable::SetRangeEnd() { SetKeyBuffer(kbRangeEnd); }

void TQELTable::SetKeyBuffer(TKeyBufferRole role) {
  if (Cursor() == nullptr) throw EQELException(10286, "Nil pointer occured");
  CheckBrowseMode();
  std::uint8_t* key = KeyBuffer(role);
  SetActiveKeyBuffer(key);
  std::memcpy(KeyBuffer(kbSavedKey), key, static_cast<std::size_t>(KeyBufferSize()));
  ClearKeyBuffer(key);
  SetState(dsSetKey);
  SetModified(TKeyBytes{key, Cursor()->RecordSize}.Modified() != 0);
  DataEvent(deDataSetChange);
}

void TQELTable::PostKeyBuffer(bool commit) {
  if (Cursor() == nullptr) throw EQELException(10288, "Nil pointer occured");
  DataEvent(deCheckBrowseMode);
  std::uint8_t* key = ActiveKeyBuffer();
  if (commit) {
    TKeyBytes{key, Cursor()->RecordSize}.Modified() = Modified() ? 1 : 0;
  } else {
    std::memcpy(key, KeyBuffer(kbSavedKey), static_cast<std::size_t>(KeyBufferSize()));
  }
  SetState(dsBrowse);
  DataEvent(deDataSetChange);
}

void TQELTable::Post() {
  if (State() != dsSetKey) {
    TQELDataSet::Post();
    return;
  }
  UpdateRecord();
  PostKeyBuffer(true);
}

void TQELTable::Cancel() {
  if (State() != dsSetKey) {
    TQELDataSet::Cancel();
    return;
  }
  PostKeyBuffer(false);
}

std::int32_t TQELTable::KeyFieldCount() const {
  if (State() != dsSetKey || ActiveKeyBuffer() == nullptr) return 0;
  return TKeyBytes{ActiveKeyBuffer(), Cursor()->RecordSize}.FieldCount();
}

void TQELTable::SetKeyFieldCount(std::int32_t count) {
  if (State() != dsSetKey || ActiveKeyBuffer() == nullptr) DatabaseError("Dataset not in set key state", this);
  if (count < 0 || count > IndexFieldCount()) DatabaseError("Field index out of range", this);
  TKeyBytes{ActiveKeyBuffer(), Cursor()->RecordSize}.SetFieldCount(count);
}

bool TQELTable::SetCursorRange() {
  TQELCursor* cursor = Cursor();
  if (cursor == nullptr) throw EQELException(10296, "Nil pointer occured");
  const std::size_t size = static_cast<std::size_t>(KeyBufferSize());
  for (const TKeyBufferRole role : {kbRangeStart, kbCurRangeStart, kbRangeEnd, kbCurRangeEnd}) {
    cursor->PadStrings(KeyBuffer(role));
  }
  if (std::memcmp(KeyBuffer(kbRangeStart), KeyBuffer(kbCurRangeStart), size) == 0 &&
      std::memcmp(KeyBuffer(kbRangeEnd), KeyBuffer(kbCurRangeEnd), size) == 0) {
    return false;
  }
  const TKeyBytes start{KeyBuffer(kbRangeStart), cursor->RecordSize};
  const TKeyBytes end{KeyBuffer(kbRangeEnd), cursor->RecordSize};
  const std::int32_t startCount = start.FieldCount() != 0 ? start.FieldCount() : IndexFieldCount();
  const std::int32_t endCount = end.FieldCount() != 0 ? end.FieldCount() : IndexFieldCount();
  std::memcpy(KeyBuffer(kbCurRangeStart), KeyBuffer(kbRangeStart), size);
  std::memcpy(KeyBuffer(kbCurRangeEnd), KeyBuffer(kbRangeEnd), size);
  // The cursor keeps pointers to the current range buffers, which stay put
  // while the table is open.
  cursor->SetRange(KeyBuffer(kbCurRangeStart), KeyBuffer(kbCurRangeEnd), end.Exclusive() != 0,
                   start.Exclusive() != 0, endCount, startCount);
  return true;
}

template <class TBody>
void TQELTable::UnderRangeLock(TBody&& body) {
  TQELCursor* cursor = Cursor();
  if (!cursor->LockTable(kRangeLock, TableLockWaits.RangeAttempts, TableLockWaits.RangeDelayMs, 1)) {
    body();
    return;
  }
  try {
    body();
  } catch (...) {
    cursor->UnlockTable(kRangeLock, false);
    throw;
  }
  cursor->UnlockTable(kRangeLock, false);
}

void TQELTable::ApplyRange() {
  CheckBrowseMode();
  if (SetCursorRange()) UnderRangeLock([this] { First(); });
}

void TQELTable::CancelRange() {
  CheckBrowseMode();
  UpdateCursorPos();
  TQELCursor* cursor = Cursor();
  const std::int32_t recordSize = cursor->RecordSize;
  if (TKeyBytes{KeyBuffer(kbCurRangeStart), recordSize}.Modified() == 0 &&
      TKeyBytes{KeyBuffer(kbCurRangeEnd), recordSize}.Modified() == 0) {
    cursor->CancelRange();
    return;
  }
  ClearKeyBuffer(KeyBuffer(kbCurRangeStart));
  ClearKeyBuffer(KeyBuffer(kbCurRangeEnd));
  cursor->CancelRange();
  UnderRangeLock([this] { Resync(false, false); });
}

TField& TQELTable::GetIndexField(std::int32_t index) {
  if (index < 0 || index >= IndexFieldCount()) DatabaseError("Field index out of range", this);
  const std::int32_t fieldNo = IndexFieldNo(index);
  for (std::int32_t i = 0; i < FieldCount(); ++i) {
    if (Fields(i).FieldNo() == fieldNo) return Fields(i);
  }
  const TFieldDef& def = FieldDefs()[fieldNo - 1];
  DatabaseErrorFmt("Cannot access index field '%s'", {def.Name}, this);
}

// ---- master-detail

void TQELTable::SetLinkRanges(const std::vector<TField*>& masterFields) {
  if (Cursor() == nullptr) throw EQELException(10299, "Nil pointer occured");
  const TDataSetState old = SetTempState(dsSetKey);
  std::uint8_t* const oldKey = ActiveKeyBuffer();
  try {
    std::uint8_t* start = KeyBuffer(kbRangeStart);
    ClearKeyBuffer(start);
    SetActiveKeyBuffer(start);
    const TKeyBytes bytes{start, Cursor()->RecordSize};
    bytes.Modified() = 1;
    const auto count = static_cast<std::int32_t>(masterFields.size());
    for (std::int32_t i = 0; i < count; ++i) GetIndexField(i).SetAsVariant(masterFields[i]->AsVariant());
    bytes.SetFieldCount(count);
  } catch (...) {
    SetActiveKeyBuffer(oldKey);
    RestoreState(old);
    throw;
  }
  SetActiveKeyBuffer(oldKey);
  RestoreState(old);
  std::memcpy(KeyBuffer(kbRangeEnd), KeyBuffer(kbRangeStart), static_cast<std::size_t>(KeyBufferSize()));
}

void TQELTable::CheckMasterRange() {
  if (FMasterLink->Active() && !FMasterLink->Fields.empty()) {
    SetLinkRanges(FMasterLink->Fields);
    SetCursorRange();
  }
}

void TQELTable::MasterChanged() {
  if (!Active()) return;
  CheckBrowseMode();
  SetLinkRanges(FMasterLink->Fields);
  ApplyRange();
}

void TQELTable::MasterDisabled() {
  if (Active()) CancelRange();
}

void TQELTable::DoOnNewRecord() {
  if (FMasterLink->Active() && !FMasterLink->Fields.empty()) {
    const auto count = static_cast<std::int32_t>(FMasterLink->Fields.size());
    for (std::int32_t i = 0; i < count && i < IndexFieldCount(); ++i) {
      GetIndexField(i).SetAsVariant(FMasterLink->Fields[i]->AsVariant());
    }
  }
  TQELDataSet::DoOnNewRecord();
}

}  // namespace qel
