#pragma once
// The field (column) definitions of a table and the record layout they
// give: a record starts with its null flags, followed by one slot per field
// in column order, packed without padding. The memory record holds every
// slot at its full size; the disk record image keeps only the 6-byte
// reference of a BLOB slot.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/QELFieldTypes.h"
#include "values/QELVariant.h"

namespace qel {

// A default computed anew for each new record (built from the default text
// by the expression layer). The field definition owns it.
class TQELDefaultExpression {
 public:
  virtual ~TQELDefaultExpression() = default;
  // Stores the value for one new record in `result`.
  virtual void Evaluate(TQELVariant& result) = 0;
  virtual std::unique_ptr<TQELDefaultExpression> Clone() const = 0;
};

class TQELFieldDef {
 public:
  static constexpr std::size_t kMaxNameLength = 255;
  static constexpr std::int32_t kDefaultBlobBlockSize = 102400;

  TQELFieldDef() = default;
  TQELFieldDef(const TQELFieldDef& other) { Assign(other); }
  TQELFieldDef& operator=(const TQELFieldDef& other) {
    if (this != &other) Assign(other);
    return *this;
  }

  // Copies everything, the default expression included.
  void Assign(const TQELFieldDef& source);

  const std::string& Name() const { return FName; }
  // Longer names are cut to 255 bytes.
  void SetName(std::string_view name);
  std::int32_t ObjectID() const { return FObjectID; }
  void SetObjectID(std::int32_t objectID) { FObjectID = objectID; }

  TQELAdvancedFieldType AdvancedFieldType() const { return FAdvancedFieldType; }
  TQELBaseFieldType BaseFieldType() const { return FBaseFieldType; }
  std::int32_t Size() const { return FSize; }
  // Sets the declared type and size, derives the storage type and the slot
  // sizes. A declared type without a storage type raises "Unsupported data
  // type '%s'" (30007) and changes nothing.
  void SetType(TQELAdvancedFieldType advancedType, std::int32_t size);

  std::int32_t MemoryDataSize() const { return FMemoryDataSize; }
  std::int32_t DiskDataSize() const { return FDiskDataSize; }
  std::int32_t MemoryOffset() const { return FMemoryOffset; }
  std::int32_t DiskOffset() const { return FDiskOffset; }
  // Recomputes both slot sizes from the types and Size.
  void RecalcDataSizes();

  TQELVariant& DefaultValue() { return FDefaultValue; }
  const TQELVariant& DefaultValue() const { return FDefaultValue; }
  TQELDefaultExpression* DefaultExpression() const { return FDefaultExpression.get(); }
  void SetDefaultExpression(std::unique_ptr<TQELDefaultExpression> expression) {
    FDefaultExpression = std::move(expression);
  }

  std::uint8_t BlobCompressionAlgorithm = 0;
  std::uint8_t BlobCompressionMode = 0;
  std::int32_t BlobBlockSize = kDefaultBlobBlockSize;
  std::int64_t AutoincIncrement = 1;
  std::int64_t AutoincInitialValue = 0;
  std::int64_t AutoincMinValue = 0;
  std::int64_t AutoincMaxValue = INT64_MAX;
  bool AutoincCycled = false;

 private:
  friend class TQELFieldDefs;

  std::string FName;
  std::int32_t FObjectID = -1;
  TQELAdvancedFieldType FAdvancedFieldType = aftUnknown;
  TQELBaseFieldType FBaseFieldType = bftUnknown;
  std::int32_t FSize = 0;
  std::int32_t FMemoryDataSize = 0;
  std::int32_t FDiskDataSize = 0;
  std::int32_t FMemoryOffset = 0;
  std::int32_t FDiskOffset = 0;
  TQELVariant FDefaultValue;
  std::unique_ptr<TQELDefaultExpression> FDefaultExpression;
};

class TQELFieldDefs {
 public:
  TQELFieldDefs() = default;
  TQELFieldDefs(const TQELFieldDefs& other) { Assign(other); }
  TQELFieldDefs& operator=(const TQELFieldDefs& other) {
    if (this != &other) Assign(other);
    return *this;
  }

  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }
  TQELFieldDef& operator[](std::int32_t index) { return *FItems[static_cast<std::size_t>(index)]; }
  const TQELFieldDef& operator[](std::int32_t index) const {
    return *FItems[static_cast<std::size_t>(index)];
  }

  // Appends a new definition with default settings and answers it.
  TQELFieldDef& Add();
  TQELFieldDef& Add(std::string_view name, TQELAdvancedFieldType advancedType, std::int32_t size);
  void Delete(std::int32_t index);
  void Clear();
  // Deep copy of every definition, layout included.
  void Assign(const TQELFieldDefs& source);

  // Index of the first field whose name matches ignoring case, or -1.
  std::int32_t IndexOfName(std::string_view name) const;
  TQELFieldDef* FindField(std::string_view name);

  // Lays the fields out in column order from the end of the null flags and
  // recomputes the record sizes. Needed after any change of fields, types
  // or sizes.
  void RecalcOffsets();
  std::int32_t NullFlagsSize() const { return qel::NullFlagsSize(Count()); }
  std::int32_t MemoryRecordSize() const { return FMemoryRecordSize; }
  std::int32_t DiskRecordSize() const { return FDiskRecordSize; }

 private:
  std::vector<std::unique_ptr<TQELFieldDef>> FItems;
  std::int32_t FMemoryRecordSize = 0;
  std::int32_t FDiskRecordSize = 0;
};

}  // namespace qel
