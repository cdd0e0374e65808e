#pragma once
// TQELBaseFieldManager: the field definitions of one table with the record
// work that depends only on them: converting between the memory record and
// the disk record image, comparing records, filling defaults into a new
// record, and handing out autoincrement values.

#include <cstdint>
#include <string_view>
#include <vector>

#include "storage/QELFieldDefs.h"

namespace qel {

class TQELTableData;

// The per-session store of the last value each autoincrement sequence
// handed out in that session, keyed by the field's ObjectID. The engine
// session implements it.
class TQELSessionSequenceValues {
 public:
  virtual ~TQELSessionSequenceValues() = default;
  // Replaces any earlier entry of the same ObjectID.
  virtual void SetSequenceLastValue(std::int32_t objectID, std::string_view name,
                                    std::int64_t value) = 0;
  virtual bool FindSequenceLastValue(std::int32_t objectID, std::int64_t& value) const = 0;
};

class TQELBaseFieldManager {
 public:
  explicit TQELBaseFieldManager(TQELTableData* tableData) : FTableData(tableData) {}
  virtual ~TQELBaseFieldManager() = default;
  TQELBaseFieldManager(const TQELBaseFieldManager&) = delete;
  TQELBaseFieldManager& operator=(const TQELBaseFieldManager&) = delete;

  TQELFieldDefs& FieldDefs() { return FFieldDefs; }
  const TQELFieldDefs& FieldDefs() const { return FFieldDefs; }
  TQELTableData* TableData() const { return FTableData; }
  // The last value handed out per field (0 for fields without a sequence).
  const std::vector<std::int64_t>& AutoincValues() const { return FAutoincValues; }
  // Puts back values taken from AutoincValues (of the same definitions).
  void RestoreAutoincValues(const std::vector<std::int64_t>& values) {
    if (values.size() == FAutoincValues.size()) FAutoincValues = values;
  }

  // Replaces the definitions by a copy of `defs`, lays them out and restarts
  // every sequence from its initial value.
  void SetFieldDefs(const TQELFieldDefs& defs);
  // The definitions in their stored form: reading replaces them, lays them
  // out and restarts every sequence from its initial value; a failed read
  // changes nothing.
  void LoadFieldDefs(TQELStream& stream);
  void SaveFieldDefs(TQELStream& stream) const { FFieldDefs.SaveToStream(stream); }
  // One value per field: an autoincrement field's AutoincInitialValue,
  // 0 for every other field.
  void ResetAutoincValues();
  // The stored block of sequence values: int32 count, then count int64
  // values, little-endian, at `position` of a buffer of `bufferSize` bytes;
  // `position` advances past it. A block that does not fit raises "Invalid
  // table header data" (20164) and leaves the values unchanged.
  void SaveAutoincValues(std::uint8_t* buffer, std::int32_t bufferSize,
                         std::int32_t& position) const;
  void LoadAutoincValues(const std::uint8_t* buffer, std::int32_t bufferSize,
                         std::int32_t& position);
  static std::int32_t AutoincValuesSize(std::int32_t count) { return 4 + 8 * count; }

  // Memory record <-> disk record image (the images differ only in the BLOB
  // slots, whose run-time handle is not stored). The target is zero-filled
  // first.
  void DiskToMemoryRecord(const std::uint8_t* diskImage, std::uint8_t* memoryRecord) const;
  void MemoryToDiskRecord(const std::uint8_t* memoryRecord, std::uint8_t* diskImage) const;
  // True when the null flags and every slot are byte for byte equal.
  bool RecordsEqual(const std::uint8_t* recordA, const std::uint8_t* recordB) const;
  // Raises "BLOB block size should be > 0 for field %s" (10421) for a BLOB
  // field without a block size.
  bool HasBlobFields() const;

  // The next value of field `fieldNo`'s sequence: the last value plus the
  // increment (0 counts as 1). Past AutoincMaxValue (when not 0) or past
  // the largest value the field's storage type holds, the sequence restarts
  // at AutoincMinValue when cycled, else raises "Autoinc max value exceeded
  // for field '%s'" (20160) with the value left stored. "Field #%d not
  // found" (30402, 30403) for a field number out of range.
  virtual std::int64_t GetNextAutoincValue(std::int32_t fieldNo);
  // Writes every non-NULL default (or its default expression's result) into
  // a freshly initialised record.
  virtual void ApplyDefaultValues(std::uint8_t* record);
  // Gives every NULL autoincrement field of a record being inserted the
  // next value of its sequence; an explicit value moves the sequence
  // forward when it is beyond the last value, never back.
  virtual void ApplyAutoincValues(TQELSessionSequenceValues& session, std::uint8_t* record);
  // GetNextAutoincValue, recorded in the session as the sequence's last
  // value.
  virtual std::int64_t GenerateAutoincValue(TQELSessionSequenceValues& session,
                                            std::int32_t fieldNo);
  // The session's last value of the field's sequence; "No SequenceLastValue
  // in session for sequence '%s'. Call GetNextVal first" (30012) if none.
  virtual std::int64_t GetLastAutoincValue(const TQELSessionSequenceValues& session,
                                           std::int32_t fieldNo);
  void UpdateLastAutoincValue(TQELSessionSequenceValues& session, std::int32_t fieldNo,
                              std::int64_t value);

 private:
  const TQELFieldDef& SequenceField(std::int32_t fieldNo) const;

  TQELTableData* FTableData;
  TQELFieldDefs FFieldDefs;
  std::vector<std::int64_t> FAutoincValues;
};

}  // namespace qel
