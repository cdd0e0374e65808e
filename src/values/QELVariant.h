#pragma once
// TQELVariant: the engine's value object. It holds one value of any storage
// type, or NULL, as the type's bytes in their record encoding (strings with
// their terminating zero character, which DataSize counts). Parameters,
// expression results, default values and index keys travel in it.
//
// Values of up to kInlineSize bytes (every fixed-size type) live inside the
// object, so setting, reading, converting and comparing them never touches
// the heap. Longer values use one owned buffer that is kept and reused for
// the next value. A variant may also borrow another owner's bytes (copy mode
// cmBorrow), e.g. a field's slot in a record buffer; it never writes to or
// frees borrowed bytes.

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/QELException.h"
#include "values/QELBaseFieldType.h"
#include "values/QELPlatformVariant.h"
#include "values/QELValueCodec.h"

namespace qel {

enum TQELCopyMode : std::uint8_t { cmBorrow = 0, cmCopy = 1 };

// Answers of CompareValues and of TQELVariant::Compare.
enum TQELCompareCode : std::int32_t {
  ccEqual = 0,
  ccLess = 1,
  ccGreater = 2,
  ccFirstNull = 3,   // only the first value is NULL
  ccSecondNull = 4,  // only the second value is NULL
  ccBothNull = 5,
};

// A stream the stream form can be written to and read from: Read and Write
// answer the number of bytes moved.
template <class S>
concept TQELByteStream = requires(S& stream, void* dest, const void* source, std::int32_t count) {
  { stream.Read(dest, count) } -> std::convertible_to<std::int64_t>;
  { stream.Write(source, count) } -> std::convertible_to<std::int64_t>;
};

class TQELVariant {
 public:
  static constexpr std::int32_t kInlineSize = 16;
  static constexpr std::uint8_t kNullFlagNull = 255;

  TQELVariant() noexcept = default;
  explicit TQELVariant(TQELBaseFieldType dataType) noexcept : FDataType(dataType) {}
  // Copies own their data, whatever the source held.
  TQELVariant(const TQELVariant& other);
  TQELVariant& operator=(const TQELVariant& other);
  TQELVariant(TQELVariant&& other) noexcept;
  TQELVariant& operator=(TQELVariant&& other) noexcept;
  ~TQELVariant();

  TQELBaseFieldType DataType() const { return FDataType; }
  std::int32_t DataSize() const { return FDataSize; }
  const std::uint8_t* Data() const { return FData; }
  bool Borrowed() const { return FBorrowed; }
  std::uint8_t NullFlag() const { return FNullFlag; }

  // Drops the value (owned bytes are released) and makes the variant a NULL
  // of `dataType`.
  void Clear(TQELBaseFieldType dataType);
  // Marks the value NULL; the bytes stay.
  void SetNull() { FNullFlag = kNullFlagNull; }
  bool IsNull() const { return FNullFlag != 0 || FData == nullptr; }
  // Raises "Value is Null" (30016) for a NULL.
  void CheckNotNull() const;

  // Takes type, size and null state of `source`; cmCopy copies its bytes,
  // cmBorrow points at them.
  void Assign(const TQELVariant& source, TQELCopyMode copyMode = cmCopy);
  // Sets raw bytes of `dataType`; not NULL afterwards (unless `bytes` is
  // null, which leaves the variant without data).
  void SetData(const void* bytes, std::int32_t size, TQELCopyMode copyMode,
               TQELBaseFieldType dataType);
  // Makes the variant own `size` bytes of `dataType` with unspecified content
  // and answers them for the caller to fill; not NULL afterwards.
  std::uint8_t* AllocateData(std::int32_t size, TQELBaseFieldType dataType);
  // Copies the bytes to `dest`. False for a NULL or an empty string; a
  // `maxSize` other than -1 below DataSize raises "Buffer size exceeded"
  // (20056).
  bool GetData(void* dest, std::int32_t maxSize) const;

  // Stores a value given in the record encoding of `valueType` (`valueSize`
  // bytes; a string's text ends at its first zero character). The variant
  // keeps its own type and converts the value to it; an untyped variant
  // takes `valueType`. An empty string makes the variant NULL. A failed
  // conversion leaves the variant unchanged.
  void SetValue(const void* value, std::int32_t valueSize, TQELBaseFieldType valueType);
  // Writes the value converted to `wantedType` into `dest` (`destSize`
  // bytes). Strings are written with their terminator and cut to fit; other
  // types need their full size ("Buffer size exceeded", 20056). A NULL
  // writes the empty string for a string type and raises "Value is Null"
  // (30016) for any other.
  void GetValue(void* dest, std::int32_t destSize, TQELBaseFieldType wantedType) const;

  // Typed access: getting converts the value to the type (a NULL raises
  // "Value is Null", except for the string getters, which answer ""),
  // setting is SetValue with the type. Date, time and date-time values are
  // days since 1899-12-30 (see QELValueCodec.h); DateNumber, milliseconds and
  // stamps are the stored forms.
  std::int8_t AsShortint() const;
  std::int16_t AsSmallint() const;
  std::int32_t AsInteger() const;
  std::int64_t AsLargeint() const;
  std::uint8_t AsByte() const;
  std::uint16_t AsWord() const;
  std::uint32_t AsCardinal() const;
  float AsSingle() const;
  double AsDouble() const;
  long double AsExtended() const;
  double AsCurrency() const;
  bool AsBoolean() const;
  std::string AsString() const;
  std::u16string AsWideString() const;
  double AsDate() const;
  std::int32_t AsDateNumber() const;
  double AsTime() const;
  std::int32_t AsTimeMilliseconds() const;
  double AsDateTime() const;
  TQELDateTimeStamp AsDateTimeStamp() const;

  void SetAsShortint(std::int8_t value);
  void SetAsSmallint(std::int16_t value);
  void SetAsInteger(std::int32_t value);
  void SetAsLargeint(std::int64_t value);
  void SetAsByte(std::uint8_t value);
  void SetAsWord(std::uint16_t value);
  void SetAsCardinal(std::uint32_t value);
  void SetAsSingle(float value);
  void SetAsDouble(double value);
  void SetAsExtended(long double value);
  void SetAsCurrency(double value);
  void SetAsBoolean(bool value);
  void SetAsString(std::string_view value);
  void SetAsWideString(std::u16string_view value);
  void SetAsDate(double value);
  void SetAsDateNumber(std::int32_t value);
  void SetAsTime(double value);
  void SetAsTimeMilliseconds(std::int32_t value);
  void SetAsDateTime(double value);
  void SetAsDateTimeStamp(TQELDateTimeStamp value);

  // Exchange with the component layer. Setting takes the type from the kind
  // of value; an empty or null value makes the variant NULL of its own type.
  TQELPlatformVariant AsPlatformVariant() const;
  void SetAsPlatformVariant(const TQELPlatformVariant& value);

  // Converts the value to `dataType` (a NULL just becomes a NULL of that
  // type). Raises "Cannot cast from '%s' to '%s'" (30051, 30052) and then
  // leaves the variant unchanged.
  void ConvertTo(TQELBaseFieldType dataType);
  // As ConvertTo, but a value that does not convert leaves a NULL of the
  // new type instead of raising.
  void SetDataType(TQELBaseFieldType dataType);

  bool IsNumeric() const { return IsNumericBaseType(FDataType); }
  bool IsString() const { return IsStringBaseType(FDataType); }
  bool IsWideString() const { return IsWideStringBaseType(FDataType); }
  bool IsDateTime() const { return IsDateTimeBaseType(FDataType); }
  // Characters of a string value without its terminator; -1 for a NULL or a
  // value that is not a string.
  std::int32_t StringLength() const;

  // Arithmetic in the common type of both operands; the result replaces this
  // value. See QELVariantArithmetic.cpp for the NULL rules.
  void Negate();
  void Add(const TQELVariant& other);
  void Multiply(const TQELVariant& other);
  void Divide(const TQELVariant& other);

  // Compares with `other` (codes of TQELCompareCode). Unless
  // `nullsUnordered`, a NULL is lower than every value and equal to a NULL.
  // `partial` compares strings over the shorter one's length.
  std::int32_t Compare(const TQELVariant& other, bool nullsUnordered, bool partial,
                       bool caseInsensitive) const;

  // Stream form: DataType (1 byte), null flag (1 byte: 255 NULL, 0 value),
  // and for a value DataSize (int32) and the bytes.
  template <TQELByteStream S>
  void SaveToStream(S& stream) const;
  template <TQELByteStream S>
  void LoadFromStream(S& stream);

 private:
  bool OwnsInline() const { return FData == FInline; }
  // Copies `size` bytes (which may lie in this variant's own buffers) into an
  // owned buffer and points FData at it.
  void StoreOwned(const void* bytes, std::int32_t size);
  // Takes over the bytes of `source`, a scratch variant.
  void TakeData(TQELVariant& source);
  void ReleaseData();
  // This value as `type`: itself when it already is, else converted into
  // `scratch`.
  const TQELVariant& ViewAs(TQELBaseFieldType type, TQELVariant& scratch) const;
  const TQELVariant& CheckedViewAs(TQELBaseFieldType type, TQELVariant& scratch) const;
  void SetFixed(const void* bytes, std::int32_t size, TQELBaseFieldType type);
  void Operate(char op, const TQELVariant& other);
  void ReadStreamData(std::int32_t size, void* stream,
                      std::int64_t (*read)(void* stream, void* dest, std::int32_t count));

  std::uint8_t* FData = nullptr;
  std::uint8_t* FHeap = nullptr;  // owned buffer, reused for later values
  std::int32_t FHeapCapacity = 0;
  std::int32_t FDataSize = 0;
  TQELBaseFieldType FDataType = bftUnknown;
  std::uint8_t FNullFlag = kNullFlagNull;
  bool FBorrowed = false;
  alignas(8) std::uint8_t FInline[kInlineSize] = {};
};

// The type two operands of types `first` and `second` are both converted to
// before arithmetic (preferDate false) or comparison (true); bftUnknown when
// they do not meet.
TQELBaseFieldType CommonType(TQELBaseFieldType first, TQELBaseFieldType second, bool preferDate);

// Converts bytes of `sourceType` to `targetType` into `target` (owned,
// not NULL). Raises 30051 when the value does not convert and 30052 when no
// rule exists for the pair.
void ConvertValueInto(const void* source, std::int32_t sourceSize, TQELBaseFieldType sourceType,
                      TQELBaseFieldType targetType, TQELVariant& target);
// The same, answering new bytes.
std::vector<std::uint8_t> ConvertValue(const void* source, std::int32_t sourceSize,
                                       TQELBaseFieldType sourceType,
                                       TQELBaseFieldType targetType);

// Compares two values in their record encodings. `length` limits string
// comparisons to that many characters (-1: whole strings). Strings compare
// in the collation layer's order, ignoring case when asked.
std::int32_t CompareValues(const void* first, std::int32_t firstSize, TQELBaseFieldType firstType,
                           bool firstNull, const void* second, std::int32_t secondSize,
                           TQELBaseFieldType secondType, bool secondNull, bool caseInsensitive,
                           std::int32_t length);
// The same as -1, 0 or +1 for index keys: a NULL comes first.
int CompareKeys(const void* first, std::int32_t firstSize, TQELBaseFieldType firstType,
                bool firstNull, const void* second, std::int32_t secondSize,
                TQELBaseFieldType secondType, bool secondNull, bool caseInsensitive,
                std::int32_t length);

// Native codes and messages of the stream form.
inline constexpr std::int32_t kQELErrReadVariantType = 10183;
inline constexpr std::int32_t kQELErrReadVariantNull = 10184;
inline constexpr std::int32_t kQELErrReadVariantSize = 10185;
inline constexpr std::int32_t kQELErrReadVariantData = 10186;
inline constexpr std::int32_t kQELErrWriteVariantType = 10179;
inline constexpr std::int32_t kQELErrWriteVariantNull = 10180;
inline constexpr std::int32_t kQELErrWriteVariantSize = 10181;
inline constexpr std::int32_t kQELErrWriteVariantData = 10182;
inline constexpr std::string_view kQELStreamReadError = "Stream read error";
inline constexpr std::string_view kQELStreamWriteError = "Stream write error";

template <TQELByteStream S>
void TQELVariant::SaveToStream(S& stream) const {
  const auto write = [&](const void* bytes, std::int32_t count, std::int32_t nativeError) {
    if (count > 0 && stream.Write(bytes, count) != count) {
      throw EQELException(nativeError, kQELStreamWriteError);
    }
  };
  const std::uint8_t type = FDataType;
  const std::uint8_t nullFlag = IsNull() ? kNullFlagNull : 0;
  write(&type, 1, kQELErrWriteVariantType);
  write(&nullFlag, 1, kQELErrWriteVariantNull);
  if (nullFlag != 0) return;
  std::uint8_t size[4];
  QELStoreLE<std::int32_t>(size, FDataSize);
  write(size, 4, kQELErrWriteVariantSize);
  write(FData, FDataSize, kQELErrWriteVariantData);
}

template <TQELByteStream S>
void TQELVariant::LoadFromStream(S& stream) {
  const auto read = [&](void* bytes, std::int32_t count, std::int32_t nativeError) {
    if (stream.Read(bytes, count) != count) throw EQELException(nativeError, kQELStreamReadError);
  };
  std::uint8_t type = 0;
  std::uint8_t nullFlag = 0;
  read(&type, 1, kQELErrReadVariantType);
  if (type >= kQELBaseFieldTypeCount) throw EQELException(kQELErrReadVariantType, kQELStreamReadError);
  read(&nullFlag, 1, kQELErrReadVariantNull);
  if (nullFlag != 0) {
    Clear(static_cast<TQELBaseFieldType>(type));
    return;
  }
  std::uint8_t sizeBytes[4];
  read(sizeBytes, 4, kQELErrReadVariantSize);
  const std::int32_t size = QELLoadLE<std::int32_t>(sizeBytes);
  if (size < 0) throw EQELException(kQELErrReadVariantSize, kQELStreamReadError);
  ReadStreamData(size, &stream, [](void* s, void* dest, std::int32_t count) -> std::int64_t {
    return static_cast<S*>(s)->Read(dest, count);
  });
  FDataType = static_cast<TQELBaseFieldType>(type);
}

}  // namespace qel
