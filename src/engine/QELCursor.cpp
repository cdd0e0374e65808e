// TQELCursor: field access over the visible fields, positions, ranges,
// filters and projections, the parts of a cursor that need no table data.

#include "engine/QELCursor.h"

#include <atomic>
#include <cstring>

#include "memory/QELMemory.h"
#include "platform/QELException.h"
#include "storage/QELRecordData.h"

namespace qel {

namespace {

std::atomic<TQELCursorFilterFactory> gFilterFactory{nullptr};

constexpr const char* kInvalidFieldNo = "Invalid field number - FieldNo = %d, FieldCount = %d";

}  // namespace

TQELCursor::~TQELCursor() = default;

void TQELCursor::SetFilterFactory(TQELCursorFilterFactory factory) { gFilterFactory = factory; }

TQELCursorFilterFactory TQELCursor::FilterFactory() { return gFilterFactory; }

void TQELCursor::CheckFieldNo(std::int32_t fieldNo, const TQELFieldDefs& defs, std::int32_t code) {
  // Negative numbers too: they would address memory before the record.
  if (fieldNo < 0 || fieldNo >= defs.Count()) {
    throw EQELException(code, kInvalidFieldNo, {fieldNo, defs.Count()});
  }
}

std::int32_t TQELCursor::SourceFieldNo(std::int32_t visibleFieldNo) const {
  return FSourceFieldNos[static_cast<std::size_t>(visibleFieldNo)];
}

void TQELCursor::CopyVisibleFromTable() {
  FVisibleFieldDefs = FFieldDefs;
  FSourceFieldNos.resize(static_cast<std::size_t>(FFieldDefs.Count()));
  for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i) FSourceFieldNos[static_cast<std::size_t>(i)] = i;
}

void TQELCursor::SetIndexName(const std::string& name) {
  const TQELIndexDef* def = name.empty() ? nullptr : FIndexDefs.FindIndexByName(name);
  // Of an open cursor: a name it does not know would silently give the
  // natural order instead of the one asked for.
  if (def == nullptr && !name.empty() && Active) {
    throw EQELException(20023, "Index '%s' not found", {name});
  }
  FIndexName = name;
  IndexID = def != nullptr ? def->ObjectID() : -1;
  RestrictionsChanged();
}

bool TQELCursor::GetFieldData(std::int32_t fieldNo, void* dest, const std::uint8_t* record) const {
  CheckFieldNo(fieldNo, FVisibleFieldDefs, 10005);
  return qel::GetFieldData(SourceFieldNo(fieldNo), FFieldDefs, dest, record);
}

void TQELCursor::SetFieldData(std::int32_t fieldNo, const void* source, std::uint8_t* record) const {
  CheckFieldNo(fieldNo, FVisibleFieldDefs, 10006);
  qel::SetFieldData(SourceFieldNo(fieldNo), FFieldDefs, source, record);
}

void TQELCursor::GetFieldValue(TQELVariant& value, std::int32_t fieldNo, bool visible) const {
  CheckFieldNo(fieldNo, visible ? FVisibleFieldDefs : FFieldDefs, visible ? 20191 : 10317);
  const std::int32_t tableFieldNo = visible ? SourceFieldNo(fieldNo) : fieldNo;
  if (RecordBuffer == nullptr) throw EQELException(20194, "Nil pointer occured");
  if (!qel::GetFieldValue(tableFieldNo, FFieldDefs, RecordBuffer, value)) {
    ReadBlobValue(tableFieldNo, value);
  }
}

void TQELCursor::SetFieldValue(const TQELVariant& value, std::int32_t fieldNo, std::uint8_t* record,
                               bool visible) const {
  CheckFieldNo(fieldNo, visible ? FVisibleFieldDefs : FFieldDefs, visible ? 20192 : 20193);
  const std::int32_t tableFieldNo = visible ? SourceFieldNo(fieldNo) : fieldNo;
  if (record == nullptr) throw EQELException(20195, "Nil pointer occured");
  if (!qel::SetFieldValue(tableFieldNo, FFieldDefs, value, record)) {
    WriteBlobValue(tableFieldNo, value, record);
  }
}

void TQELCursor::PadStrings(std::uint8_t* record) const {
  for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i) {
    const TQELFieldDef& field = FFieldDefs[i];
    if (!IsStringBaseType(field.BaseFieldType())) continue;
    std::uint8_t* slot = record + field.MemoryOffset();
    const std::size_t size = static_cast<std::size_t>(field.MemoryDataSize());
    if (IsNull(i, record)) {
      std::memset(slot, 0, size);
      continue;
    }
    const std::size_t width = IsWideStringBaseType(field.BaseFieldType()) ? 2 : 1;
    std::size_t end = 0;
    while (end + width <= size && !(slot[end] == 0 && (width == 1 || slot[end + 1] == 0))) {
      end += width;
    }
    if (end < size) std::memset(slot + end, 0, size - end);
  }
}

std::uint8_t* TQELCursor::AllocRecordBuffer() const {
  auto* buffer = static_cast<std::uint8_t*>(QELMemoryManager().AllocMem(BufferSize()));
  std::memset(buffer, 0, static_cast<std::size_t>(BufferSize()));
  // An empty record: with every field NULL no slot claims a value (a BLOB
  // slot would claim a stored value it does not have).
  std::memset(buffer, 0xFF, static_cast<std::size_t>(FFieldDefs.NullFlagsSize()));
  return buffer;
}

void TQELCursor::RestorePosition(const TQELCursorPosition& saved) {
  BeforeFirst = saved.BeforeFirst;
  AfterLast = saved.AfterLast;
  Position = saved.Position;
}

void TQELCursor::SetRange(const std::uint8_t* startKey, const std::uint8_t* endKey,
                          bool endExclusive, bool startExclusive, std::int32_t endFieldCount,
                          std::int32_t startFieldCount) {
  Range.StartKey = startKey;
  Range.StartKeyFieldCount = startFieldCount;
  Range.StartExclusive = startExclusive;
  Range.EndKey = endKey;
  Range.EndKeyFieldCount = endFieldCount;
  Range.EndExclusive = endExclusive;
  RestrictionsChanged();
}

void TQELCursor::CancelRange() {
  Range = {};
  RestrictionsChanged();
}

void TQELCursor::SetSQLFilter(std::unique_ptr<TQELRecordFilter> expression,
                              TQELScanSearchConditionArray derived) {
  FOwnedSQLFilter = std::move(expression);
  SQLFilter = FOwnedSQLFilter.get();
  FSQLFilterConditions = SQLFilter != nullptr ? std::move(derived) : TQELScanSearchConditionArray();
  SQLFilterConditions = FSQLFilterConditions.Count() > 0 ? &FSQLFilterConditions : nullptr;
  RestrictionsChanged();
}

void TQELCursor::SetProjection(const std::vector<std::string>& fieldNames,
                               const std::vector<std::string>& aliases) {
  if (fieldNames.size() != aliases.size()) {
    throw EQELException(10321, "Error - different lists length. L1 = %d, L2 = %d",
                        {static_cast<std::int64_t>(fieldNames.size()),
                         static_cast<std::int64_t>(aliases.size())});
  }
  if (fieldNames.empty()) {
    throw EQELException(10322, "No fields were specified while setting projection");
  }
  TQELFieldDefs visible;
  std::vector<std::int32_t> sources;
  for (std::size_t i = 0; i < fieldNames.size(); ++i) {
    const std::int32_t source = FFieldDefs.IndexOfName(fieldNames[i]);
    if (source < 0) throw EQELException(10323, "Cannot find field %s", {fieldNames[i]});
    auto field = std::make_unique<TQELFieldDef>(FFieldDefs[source]);
    std::string name = aliases[i].empty() ? field->Name() : aliases[i];
    if (!aliases[i].empty() && visible.FindField(name) != nullptr) {
      for (std::int32_t n = 1;; ++n) {
        std::string candidate = name + "_" + std::to_string(n);
        if (visible.FindField(candidate) == nullptr) {
          name = std::move(candidate);
          break;
        }
      }
    }
    field->SetName(name);
    visible.Add(std::move(field));
    sources.push_back(source);
  }
  // Built aside: a failure leaves the cursor's fields as they were.
  FVisibleFieldDefs = std::move(visible);
  FSourceFieldNos = std::move(sources);
}

}  // namespace qel
