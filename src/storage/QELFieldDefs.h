#pragma once
// The field (column) definitions of a table and the record layout they
// give: a record starts with its null flags, followed by one slot per field
// in column order, packed without padding. The memory record holds every
// slot at its full size; the disk record image keeps only the 6-byte
// reference of a BLOB slot.
//
// A field definition is a table metadata definition (QELMetaObjectDefs.h)
// and has a stored form: the common header, then
//   BaseFieldType (uint8), AdvancedFieldType (uint8), Size (int32),
//   for BLOB storage types only: BlobCompressionAlgorithm (uint8),
//     BlobCompressionMode (uint8), BlobBlockSize (int32),
//   AutoincIncrement, AutoincInitialValue, AutoincMinValue,
//     AutoincMaxValue (int64 each), AutoincCycled (uint8),
//   DefaultValue in the variant's stream form.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/QELFieldTypes.h"
#include "storage/QELMetaObjectDefs.h"
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

class TQELFieldDef;

// Builds the default expression of a field whose default is a non-empty
// text, or answers null when the text is to be used as it is: when it does
// not parse as an expression, is a plain constant, or evaluates to its own
// text. The expression layer installs one; until it does, no field gets a
// default expression from its default text.
using TQELDefaultExpressionBuilder =
    std::unique_ptr<TQELDefaultExpression> (*)(const TQELFieldDef& field);

class TQELFieldDef : public TQELMetaObjectDef {
 public:
  static constexpr std::int32_t kDefaultBlobBlockSize = 102400;
  // The largest declared size of a type whose slot grows with it: a wide
  // string's slot, (Size + 1) * 2 bytes, still fits an int32.
  static constexpr std::int32_t kMaxSize = 0x3FFFFFFE;

  TQELFieldDef() = default;
  TQELFieldDef(const TQELFieldDef& other) : TQELMetaObjectDef() { Assign(other); }
  TQELFieldDef& operator=(const TQELFieldDef& other) {
    if (this != &other) Assign(other);
    return *this;
  }

  // Copies everything: name, number, types, Size, sizes and offsets, the
  // default value, the BLOB and autoincrement settings. The default
  // expression is rebuilt from the default value when a builder is
  // installed, else copied from `source`. From a definition of another
  // class only the name and number are copied.
  void Assign(const TQELMetaObjectDef& source) override;
  // Reading checks what the layout depends on: the storage type must be the
  // one the declared type maps to, and a size the slot grows with must lie
  // in 0..kMaxSize; anything else is damage and raises the item's read code.
  // Afterwards the default expression is rebuilt and the slot sizes
  // recomputed.
  void LoadFromStream(TQELStream& stream) override;
  void SaveToStream(TQELStream& stream) const override;

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
  // Frees the default expression and builds a new one when the default
  // value is a non-NULL, non-empty text of a string storage type and the
  // installed builder makes one of it.
  void RebuildDefaultExpression();
  // Installed once at start-up by the expression layer; null removes it.
  static void SetDefaultExpressionBuilder(TQELDefaultExpressionBuilder builder);
  static TQELDefaultExpressionBuilder DefaultExpressionBuilder();

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

class TQELFieldDefs : public TQELMetaObjectDefsOf<TQELFieldDef> {
 public:
  TQELFieldDefs() = default;
  // Plain deep copies, layout included. Assign is the checked copy.
  TQELFieldDefs(const TQELFieldDefs& other);
  TQELFieldDefs& operator=(const TQELFieldDefs& other);
  TQELFieldDefs(TQELFieldDefs&&) noexcept = default;
  TQELFieldDefs& operator=(TQELFieldDefs&&) noexcept = default;

  std::string_view ClassName() const override { return "TQELFieldDefs"; }

  using TQELMetaObjectDefsOf<TQELFieldDef>::Add;
  // Appends a new definition with default settings and answers it.
  TQELFieldDef& Add();
  TQELFieldDef& Add(std::string_view name, TQELAdvancedFieldType advancedType, std::int32_t size);
  TQELFieldDef& InternalAddCreated() override { return Add(); }
  // Reads the definitions and lays them out. Records too large for an int32
  // size are damage ("Stream read error", 10189).
  void LoadFromStream(TQELStream& stream) override;
  // Copies every definition (raising on a duplicate name, see the base) and
  // the record sizes of a field list.
  void Assign(const TQELMetaObjectDefs& source) override;
  void Clear() override;

  TQELFieldDef* FindField(std::string_view name) { return FindByName(name); }
  const TQELFieldDef* FindField(std::string_view name) const { return FindByName(name); }

  // Lays the fields out in column order from the end of the null flags and
  // recomputes the record sizes. Needed after any change of fields, types
  // or sizes.
  void RecalcOffsets();
  std::int32_t NullFlagsSize() const { return qel::NullFlagsSize(Count()); }
  std::int32_t MemoryRecordSize() const { return FMemoryRecordSize; }
  std::int32_t DiskRecordSize() const { return FDiskRecordSize; }

 private:
  std::int32_t FMemoryRecordSize = 0;
  std::int32_t FDiskRecordSize = 0;
};

}  // namespace qel
