#include "storage/QELBaseFieldManager.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "platform/QELException.h"
#include "storage/QELRecordData.h"
#include "values/QELValueCodec.h"

namespace qel {

namespace {

constexpr std::int32_t kErrBlobBlockSize = 10421;
constexpr std::int32_t kErrAutoincMaxExceeded = 20160;
constexpr std::int32_t kErrInvalidHeaderData = 20164;
constexpr std::int32_t kErrNoSequenceLastValue = 30012;
constexpr std::int32_t kErrFieldNotFound = 30402;
constexpr std::int32_t kErrNoAutoincValue = 30403;
constexpr std::string_view kFieldNotFoundMsg = "Field #%d not found";
constexpr std::string_view kInvalidHeaderDataMsg = "Invalid table header data";

// Largest value a sequence may hand out into a slot of the storage type;
// larger ones would be cut to the slot's low bytes and repeat earlier keys.
std::int64_t LargestSlotValue(TQELBaseFieldType type) {
  switch (type) {
    case bftShortint:
      return std::numeric_limits<std::int8_t>::max();
    case bftSmallint:
      return std::numeric_limits<std::int16_t>::max();
    case bftInteger:
      return std::numeric_limits<std::int32_t>::max();
    case bftByte:
      return std::numeric_limits<std::uint8_t>::max();
    case bftWord:
      return std::numeric_limits<std::uint16_t>::max();
    case bftCardinal:
      return std::numeric_limits<std::uint32_t>::max();
    default:
      return std::numeric_limits<std::int64_t>::max();
  }
}

// An explicit value in an autoincrement slot, sign-extended for the signed
// types: -1 in an INTEGER column is -1, not 4294967295.
std::int64_t ReadSlotInteger(const std::uint8_t* slot, TQELBaseFieldType type) {
  switch (type) {
    case bftShortint:
      return QELLoadLE<std::int8_t>(slot);
    case bftSmallint:
      return QELLoadLE<std::int16_t>(slot);
    case bftInteger:
      return QELLoadLE<std::int32_t>(slot);
    case bftByte:
      return QELLoadLE<std::uint8_t>(slot);
    case bftWord:
      return QELLoadLE<std::uint16_t>(slot);
    case bftCardinal:
      return QELLoadLE<std::uint32_t>(slot);
    default:
      return QELLoadLE<std::int64_t>(slot);
  }
}

}  // namespace

void TQELBaseFieldManager::SetFieldDefs(const TQELFieldDefs& defs) {
  FFieldDefs.Assign(defs);
  FFieldDefs.RecalcOffsets();
  ResetAutoincValues();
}

void TQELBaseFieldManager::LoadFieldDefs(TQELStream& stream) {
  // Read aside, so that a damaged stream leaves the definitions, their
  // layout and the sequences as they were, still in step.
  TQELFieldDefs loaded;
  loaded.LoadFromStream(stream);
  loaded.RecalcOffsets();
  FFieldDefs = std::move(loaded);
  ResetAutoincValues();
}

void TQELBaseFieldManager::ResetAutoincValues() {
  FAutoincValues.assign(static_cast<std::size_t>(FFieldDefs.Count()), 0);
  for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i) {
    const TQELFieldDef& def = FFieldDefs[i];
    if (IsAutoincAdvancedType(def.AdvancedFieldType())) {
      FAutoincValues[static_cast<std::size_t>(i)] = def.AutoincInitialValue;
    }
  }
}

void TQELBaseFieldManager::SaveAutoincValues(std::uint8_t* buffer, std::int32_t bufferSize,
                                             std::int32_t& position) const {
  const auto count = static_cast<std::int32_t>(FAutoincValues.size());
  const std::int64_t end = static_cast<std::int64_t>(position) + AutoincValuesSize(count);
  if (position < 0 || end > bufferSize) {
    throw EQELException(kErrInvalidHeaderData, kInvalidHeaderDataMsg);
  }
  std::uint8_t* out = buffer + position;
  QELStoreLE<std::int32_t>(out, count);
  for (std::int32_t i = 0; i < count; ++i) {
    QELStoreLE<std::int64_t>(out + 4 + 8 * i, FAutoincValues[static_cast<std::size_t>(i)]);
  }
  position = static_cast<std::int32_t>(end);
}

void TQELBaseFieldManager::LoadAutoincValues(const std::uint8_t* buffer, std::int32_t bufferSize,
                                             std::int32_t& position) {
  if (position < 0 || static_cast<std::int64_t>(position) + 4 > bufferSize) {
    throw EQELException(kErrInvalidHeaderData, kInvalidHeaderDataMsg);
  }
  const std::uint8_t* in = buffer + position;
  const std::int32_t count = QELLoadLE<std::int32_t>(in);
  const std::int64_t end = static_cast<std::int64_t>(position) + 4 + 8 * static_cast<std::int64_t>(count);
  if (count < 0 || end > bufferSize) {
    throw EQELException(kErrInvalidHeaderData, kInvalidHeaderDataMsg);
  }
  FAutoincValues.resize(static_cast<std::size_t>(count));
  for (std::int32_t i = 0; i < count; ++i) {
    FAutoincValues[static_cast<std::size_t>(i)] = QELLoadLE<std::int64_t>(in + 4 + 8 * i);
  }
  position = static_cast<std::int32_t>(end);
}

void TQELBaseFieldManager::DiskToMemoryRecord(const std::uint8_t* diskImage,
                                              std::uint8_t* memoryRecord) const {
  std::memset(memoryRecord, 0, static_cast<std::size_t>(FFieldDefs.MemoryRecordSize()));
  std::memcpy(memoryRecord, diskImage, static_cast<std::size_t>(FFieldDefs.NullFlagsSize()));
  for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i) {
    const TQELFieldDef& def = FFieldDefs[i];
    std::memcpy(memoryRecord + def.MemoryOffset(), diskImage + def.DiskOffset(),
                static_cast<std::size_t>(def.DiskDataSize()));
  }
}

void TQELBaseFieldManager::MemoryToDiskRecord(const std::uint8_t* memoryRecord,
                                              std::uint8_t* diskImage) const {
  std::memset(diskImage, 0, static_cast<std::size_t>(FFieldDefs.DiskRecordSize()));
  std::memcpy(diskImage, memoryRecord, static_cast<std::size_t>(FFieldDefs.NullFlagsSize()));
  for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i) {
    const TQELFieldDef& def = FFieldDefs[i];
    std::memcpy(diskImage + def.DiskOffset(), memoryRecord + def.MemoryOffset(),
                static_cast<std::size_t>(def.DiskDataSize()));
  }
}

bool TQELBaseFieldManager::RecordsEqual(const std::uint8_t* recordA,
                                        const std::uint8_t* recordB) const {
  // The null flags and the slots tile the memory record without gaps.
  return std::memcmp(recordA, recordB, static_cast<std::size_t>(FFieldDefs.MemoryRecordSize())) == 0;
}

bool TQELBaseFieldManager::HasBlobFields() const {
  bool found = false;
  for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i) {
    const TQELFieldDef& def = FFieldDefs[i];
    if (!IsBlobBaseType(def.BaseFieldType())) continue;
    if (def.BlobBlockSize <= 0) {
      throw EQELException(kErrBlobBlockSize, "BLOB block size should be > 0 for field %s",
                          {def.Name()});
    }
    found = true;
  }
  return found;
}

const TQELFieldDef& TQELBaseFieldManager::SequenceField(std::int32_t fieldNo) const {
  if (fieldNo < 0 || fieldNo >= FFieldDefs.Count()) {
    throw EQELException(kErrFieldNotFound, kFieldNotFoundMsg, {fieldNo});
  }
  if (static_cast<std::size_t>(fieldNo) >= FAutoincValues.size()) {
    throw EQELException(kErrNoAutoincValue, kFieldNotFoundMsg, {fieldNo});
  }
  return FFieldDefs[fieldNo];
}

std::int64_t TQELBaseFieldManager::GetNextAutoincValue(std::int32_t fieldNo) {
  const TQELFieldDef& def = SequenceField(fieldNo);
  std::int64_t& last = FAutoincValues[static_cast<std::size_t>(fieldNo)];
  const std::int64_t increment = def.AutoincIncrement == 0 ? 1 : def.AutoincIncrement;
  std::int64_t next = 0;
  const bool overflow = __builtin_add_overflow(last, increment, &next);
  const bool exceeded = overflow || (def.AutoincMaxValue != 0 && next > def.AutoincMaxValue) ||
                        next > LargestSlotValue(def.BaseFieldType());
  if (exceeded) {
    if (!def.AutoincCycled) {
      if (!overflow) last = next;
      throw EQELException(kErrAutoincMaxExceeded, "Autoinc max value exceeded for field '%s'",
                          {def.Name()});
    }
    next = def.AutoincMinValue;
  }
  last = next;
  return next;
}

void TQELBaseFieldManager::ApplyDefaultValues(std::uint8_t* record) {
  TQELVariant computed;
  for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i) {
    const TQELFieldDef& def = FFieldDefs[i];
    if (def.DefaultValue().IsNull()) continue;
    if (TQELDefaultExpression* expression = def.DefaultExpression()) {
      computed.Clear(def.BaseFieldType());
      expression->Evaluate(computed);
      SetFieldValue(i, FFieldDefs, computed, record);
    } else {
      SetFieldValue(i, FFieldDefs, def.DefaultValue(), record);
    }
  }
}

void TQELBaseFieldManager::ApplyAutoincValues(TQELSessionSequenceValues& session,
                                              std::uint8_t* record) {
  for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i) {
    const TQELFieldDef& def = FFieldDefs[i];
    if (!IsAutoincAdvancedType(def.AdvancedFieldType())) continue;
    std::uint8_t* slot = record + def.MemoryOffset();
    const auto size = static_cast<std::size_t>(def.MemoryDataSize());
    if (IsNull(i, record)) {
      const std::int64_t value = GenerateAutoincValue(session, i);
      std::uint8_t bytes[8];
      QELStoreLE<std::int64_t>(bytes, value);
      std::memcpy(slot, bytes, std::min<std::size_t>(size, sizeof bytes));
      SetNull(false, i, record);
    } else {
      UpdateLastAutoincValue(session, i, ReadSlotInteger(slot, def.BaseFieldType()));
    }
  }
}

std::int64_t TQELBaseFieldManager::GenerateAutoincValue(TQELSessionSequenceValues& session,
                                                        std::int32_t fieldNo) {
  const std::int64_t value = GetNextAutoincValue(fieldNo);
  const TQELFieldDef& def = FFieldDefs[fieldNo];
  session.SetSequenceLastValue(def.ObjectID(), def.Name(), value);
  return value;
}

std::int64_t TQELBaseFieldManager::GetLastAutoincValue(const TQELSessionSequenceValues& session,
                                                       std::int32_t fieldNo) {
  const TQELFieldDef& def = SequenceField(fieldNo);
  std::int64_t value = 0;
  if (!session.FindSequenceLastValue(def.ObjectID(), value)) {
    throw EQELException(kErrNoSequenceLastValue,
                        "No SequenceLastValue in session for sequence '%s'. Call GetNextVal first",
                        {def.Name()});
  }
  return value;
}

void TQELBaseFieldManager::UpdateLastAutoincValue(TQELSessionSequenceValues& session,
                                                  std::int32_t fieldNo, std::int64_t value) {
  const TQELFieldDef& def = SequenceField(fieldNo);
  std::int64_t& last = FAutoincValues[static_cast<std::size_t>(fieldNo)];
  if (value <= last) return;
  last = value;
  session.SetSequenceLastValue(def.ObjectID(), def.Name(), value);
}

}  // namespace qel
