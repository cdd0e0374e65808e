#pragma once
// The field side of the data-access framework: field definitions and index
// definitions as a dataset describes its structure, and TField, the object
// through which controls and programs read and write one column of the
// active record. One field class serves every type: its typed accessors
// convert through the field's native buffer, whose form depends on the type
// (see DataSize), and its dataset moves that buffer in and out of records.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/QELFieldTypes.h"
#include "streams/QELStream.h"
#include "values/QELVariant.h"

namespace qel {

class TDataSet;
class TField;

enum TFieldKind : std::uint8_t { fkData, fkCalculated, fkLookup, fkInternalCalc };

// How a BLOB stream on a field is opened.
enum class TBlobStreamMode : std::uint8_t { Read, Write, ReadWrite };

// The native form of a timestamp field.
struct TSQLTimeStamp {
  std::int16_t Year = 0;
  std::uint16_t Month = 0;
  std::uint16_t Day = 0;
  std::uint16_t Hour = 0;
  std::uint16_t Minute = 0;
  std::uint16_t Second = 0;
  std::uint32_t Fractions = 0;  // milliseconds
};

// A date-time stamp (day number and milliseconds) as a timestamp field's
// native form.
TSQLTimeStamp SQLTimeStampOf(const TQELDateTimeStamp& stamp);
// The reverse; false for a stamp no date-time has (a day or an hour out of
// range, as a damaged record may hold).
bool TryDateTimeStampOf(const TSQLTimeStamp& ts, TQELDateTimeStamp& stamp);

// Native forms: the date is its day number (0001-01-01 is day 1, so
// 1899-12-30 is 693594), the time milliseconds since midnight, a date-time
// the day number times 86 400 000 plus the time, as a double.
inline constexpr std::int32_t kDateDelta = 693594;
inline constexpr double kMSecsPerDay = 86400000.0;

bool IsBlobFieldType(TFieldType type);
// Bytes of a field's native buffer for `type` and `size`; 0 for BLOBs.
std::int32_t NativeDataSize(TFieldType type, std::int32_t size);

class TFieldDef {
 public:
  std::string Name;
  TFieldType DataType = ftUnknown;
  std::int32_t Size = 0;
  bool Required = false;
  std::int32_t FieldNo = 0;  // from 1
};

class TFieldDefs {
 public:
  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }
  TFieldDef& operator[](std::int32_t index) { return FItems.at(index); }
  const TFieldDef& operator[](std::int32_t index) const { return FItems.at(index); }
  TFieldDef& Add(std::string_view name, TFieldType type, std::int32_t size = 0, bool required = false);
  void Clear() { FItems.clear(); }
  // Ignoring case; null when there is none.
  const TFieldDef* Find(std::string_view name) const;
  std::int32_t IndexOf(std::string_view name) const;
  // Definitions are out of date until Update refills them from the dataset.
  bool Updated = false;

 private:
  std::vector<TFieldDef> FItems;
};

enum TIndexOption : std::uint8_t {
  ixPrimary = 1,
  ixUnique = 2,
  ixDescending = 4,
  ixCaseInsensitive = 8,
};

class TIndexDef {
 public:
  std::string Name;
  std::string Fields;  // names separated by semicolons
  // The fields of Fields that are descending and case-insensitive.
  std::string DescFields;
  std::string CaseInsFields;
  std::uint8_t Options = 0;
};

class TIndexDefs {
 public:
  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }
  TIndexDef& operator[](std::int32_t index) { return FItems.at(index); }
  const TIndexDef& operator[](std::int32_t index) const { return FItems.at(index); }
  TIndexDef& Add(std::string_view name, std::string_view fields, std::uint8_t options = 0);
  void Clear() { FItems.clear(); }
  const TIndexDef* Find(std::string_view name) const;
  // The first index whose leading fields are `fields` (ignoring case), or
  // null.
  const TIndexDef* FindIndexForFields(std::string_view fields) const;
  bool Updated = false;

 private:
  std::vector<TIndexDef> FItems;
};

// Splits "A;B; C" into its names, blanks around each removed; empty names
// dropped.
std::vector<std::string> SplitFieldNames(std::string_view names);

using TFieldNotifyEvent = std::function<void(TField& field)>;

class TField {
 public:
  TField(TDataSet& dataSet, std::string name, TFieldType type, std::int32_t size, TFieldKind kind);
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  TDataSet& DataSet() const { return FDataSet; }
  const std::string& FieldName() const { return FName; }
  TFieldType DataType() const { return FDataType; }
  std::int32_t Size() const { return FSize; }
  TFieldKind FieldKind() const { return FKind; }
  bool IsCalculated() const { return FKind != fkData; }
  bool IsBlob() const { return IsBlobFieldType(FDataType); }
  // Made by the dataset from its definitions, not added by the program.
  bool IsDefault() const { return FDefault; }
  // 1-based column of a data field; 0 before binding, -1 for calculated.
  std::int32_t FieldNo() const { return FFieldNo; }
  std::int32_t DataSize() const { return NativeDataSize(FDataType, FSize); }
  // Where a calculated field lives in its dataset's calculated area.
  std::int32_t Offset() const { return FOffset; }

  // The value in native form; false when NULL (or there is no record).
  bool GetData(void* buffer) const;
  void SetData(const void* buffer);
  bool IsNull() const;
  void Clear() { SetData(nullptr); }

  // Typed access. Strings are cut to the field's size; numbers convert as
  // their types do; a BLOB field reads and writes its whole value.
  std::string AsString() const;
  void SetAsString(std::string_view value);
  std::u16string AsWideString() const;
  void SetAsWideString(std::u16string_view value);
  std::int32_t AsInteger() const { return static_cast<std::int32_t>(AsLargeInt()); }
  void SetAsInteger(std::int32_t value) { SetAsLargeInt(value); }
  std::int64_t AsLargeInt() const;
  void SetAsLargeInt(std::int64_t value);
  double AsFloat() const;
  void SetAsFloat(double value);
  bool AsBoolean() const;
  void SetAsBoolean(bool value);
  // Days since 1899-12-30, the fraction being the time of day.
  double AsDateTime() const;
  void SetAsDateTime(double value);
  std::vector<std::uint8_t> AsBytes() const;
  void SetAsBytes(const std::vector<std::uint8_t>& value);
  // The value as a variant of the closest storage type (NULL when NULL).
  TQELVariant AsVariant() const;
  void SetAsVariant(const TQELVariant& value);

  bool Required = false;
  bool ReadOnly = false;
  // Set when a BLOB stream wrote to the field.
  bool Modified = false;
  TFieldNotifyEvent OnChange;
  TFieldNotifyEvent OnValidate;

 private:
  friend class TDataSet;

  std::int64_t ReadLargeInt(const std::uint8_t* data) const;
  void CheckTextual(const char* what) const;

  TDataSet& FDataSet;
  std::string FName;
  TFieldType FDataType;
  std::int32_t FSize;
  TFieldKind FKind;
  std::int32_t FFieldNo = 0;
  std::int32_t FOffset = 0;
  bool FDefault = false;
};

}  // namespace qel
