#include "values/QELVariant.h"

#include <cmath>
#include <limits>

#include "values/QELValueErrors.h"
#include "values/QELValueText.h"
#include "values/QELVariantInternal.h"

namespace qel {

using namespace variant_internal;

namespace {

// An owned buffer larger than this is given back when the variant is
// cleared instead of being kept for the next value.
constexpr std::int32_t kKeepCapacity = 64 * 1024;

}  // namespace

TQELVariant::TQELVariant(const TQELVariant& other) { Assign(other, cmCopy); }

TQELVariant& TQELVariant::operator=(const TQELVariant& other) {
  if (this != &other) Assign(other, cmCopy);
  return *this;
}

TQELVariant::TQELVariant(TQELVariant&& other) noexcept { *this = std::move(other); }

TQELVariant& TQELVariant::operator=(TQELVariant&& other) noexcept {
  if (this == &other) return *this;
  delete[] FHeap;
  FHeap = other.FHeap;
  FHeapCapacity = other.FHeapCapacity;
  FDataSize = other.FDataSize;
  FDataType = other.FDataType;
  FNullFlag = other.FNullFlag;
  FBorrowed = other.FBorrowed;
  if (other.OwnsInline()) {
    std::memcpy(FInline, other.FInline, kInlineSize);
    FData = FInline;
  } else {
    FData = other.FData;
  }
  other.FHeap = nullptr;
  other.FHeapCapacity = 0;
  other.FData = nullptr;
  other.FDataSize = 0;
  other.FBorrowed = false;
  other.FNullFlag = kNullFlagNull;
  return *this;
}

TQELVariant::~TQELVariant() { delete[] FHeap; }

void TQELVariant::StoreOwned(const void* bytes, std::int32_t size) {
  if (size < 0) size = 0;
  std::uint8_t* target;
  if (size <= kInlineSize) {
    target = FInline;
  } else if (size <= FHeapCapacity) {
    target = FHeap;
  } else {
    // A fresh buffer first: `bytes` may lie in the one it replaces.
    auto* heap = new std::uint8_t[static_cast<std::size_t>(size)];
    if (bytes) std::memcpy(heap, bytes, static_cast<std::size_t>(size));
    delete[] FHeap;
    FHeap = heap;
    FHeapCapacity = size;
    FData = FHeap;
    FDataSize = size;
    FBorrowed = false;
    return;
  }
  if (bytes && size > 0 && bytes != target) std::memmove(target, bytes, static_cast<std::size_t>(size));
  FData = target;
  FDataSize = size;
  FBorrowed = false;
}

void TQELVariant::TakeData(TQELVariant& source) {
  if (source.FData == source.FHeap && source.FHeap != nullptr && !source.FBorrowed) {
    std::swap(FHeap, source.FHeap);
    std::swap(FHeapCapacity, source.FHeapCapacity);
    FData = FHeap;
    FDataSize = source.FDataSize;
    FBorrowed = false;
    source.FData = nullptr;
  } else {
    StoreOwned(source.FData, source.FDataSize);
  }
}

void TQELVariant::ReleaseData() {
  FData = nullptr;
  FDataSize = 0;
  FBorrowed = false;
}

void TQELVariant::Clear(TQELBaseFieldType dataType) {
  ReleaseData();
  if (FHeapCapacity > kKeepCapacity) {
    delete[] FHeap;
    FHeap = nullptr;
    FHeapCapacity = 0;
  }
  FDataType = dataType;
  FNullFlag = kNullFlagNull;
}

void TQELVariant::CheckNotNull() const {
  if (IsNull()) throw EQELException(kErrValueIsNull, kValueIsNullMsg);
}

void TQELVariant::Assign(const TQELVariant& source, TQELCopyMode copyMode) {
  if (&source == this) return;
  FDataType = source.FDataType;
  FNullFlag = source.FNullFlag;
  if (source.FData == nullptr) {
    ReleaseData();
    FDataSize = source.FDataSize;
  } else if (copyMode == cmBorrow) {
    FData = source.FData;
    FDataSize = source.FDataSize;
    FBorrowed = true;
  } else {
    StoreOwned(source.FData, source.FDataSize);
  }
}

void TQELVariant::SetData(const void* bytes, std::int32_t size, TQELCopyMode copyMode,
                          TQELBaseFieldType dataType) {
  FDataType = dataType;
  FNullFlag = 0;
  if (bytes == nullptr) {
    ReleaseData();
  } else if (copyMode == cmBorrow) {
    FData = static_cast<std::uint8_t*>(const_cast<void*>(bytes));
    FDataSize = size < 0 ? 0 : size;
    FBorrowed = true;
  } else {
    StoreOwned(bytes, size);
  }
}

std::uint8_t* TQELVariant::AllocateData(std::int32_t size, TQELBaseFieldType dataType) {
  ReleaseData();
  StoreOwned(nullptr, size);
  FDataType = dataType;
  FNullFlag = 0;
  return FData;
}

bool TQELVariant::GetData(void* dest, std::int32_t maxSize) const {
  if (IsNull()) return false;
  if (IsString() && StringLength() >= 0) {
    const bool empty = IsWideString() ? TWideText(FData, FDataSize).View().empty()
                                      : NarrowText(FData, FDataSize).empty();
    if (empty) return false;
  }
  if (maxSize != -1 && maxSize < FDataSize) {
    throw EQELException(kErrBufferSizeExceeded, kBufferSizeExceededMsg);
  }
  std::memcpy(dest, FData, static_cast<std::size_t>(FDataSize));
  return true;
}

void TQELVariant::SetFixed(const void* bytes, std::int32_t size, TQELBaseFieldType type) {
  if (FDataType == bftUnknown) FDataType = type;
  if (FDataType == type) {
    StoreOwned(bytes, size);
  } else {
    TQELVariant converted;
    ConvertValueInto(bytes, size, type, FDataType, converted);
    TakeData(converted);
  }
  FNullFlag = 0;
}

void TQELVariant::SetValue(const void* value, std::int32_t valueSize,
                           TQELBaseFieldType valueType) {
  if (FDataType == bftUnknown) FDataType = valueType;
  if (IsStringBaseType(valueType)) {
    const auto* bytes = static_cast<const std::uint8_t*>(value);
    if (IsWideStringBaseType(valueType)) {
      const TWideText text(bytes, valueSize);
      if (text.View().empty()) {
        ReleaseData();
        FNullFlag = kNullFlagNull;
      } else if (IsWideStringBaseType(FDataType)) {
        StoreWideText(*this, FDataType, text.View());
      } else {
        TQELVariant source;
        StoreWideText(source, valueType, text.View());
        SetFixed(source.Data(), source.DataSize(), valueType);
      }
      return;
    }
    const std::string_view text = NarrowText(bytes, valueSize);
    if (text.empty()) {
      ReleaseData();
      FNullFlag = kNullFlagNull;
    } else if (FDataType == bftFixedChar || FDataType == bftString) {
      StoreText(*this, FDataType, text);
    } else {
      TQELVariant source;
      StoreText(source, valueType, text);
      SetFixed(source.Data(), source.DataSize(), valueType);
    }
    return;
  }
  SetFixed(value, valueSize, valueType);
}

const TQELVariant& TQELVariant::ViewAs(TQELBaseFieldType type, TQELVariant& scratch) const {
  if (FDataType == type) return *this;
  ConvertValueInto(FData, FDataSize, FDataType, type, scratch);
  return scratch;
}

const TQELVariant& TQELVariant::CheckedViewAs(TQELBaseFieldType type,
                                              TQELVariant& scratch) const {
  CheckNotNull();
  return ViewAs(type, scratch);
}

void TQELVariant::GetValue(void* dest, std::int32_t destSize, TQELBaseFieldType wantedType) const {
  auto* out = static_cast<std::uint8_t*>(dest);
  if (IsStringBaseType(wantedType)) {
    const std::int32_t unit = IsWideStringBaseType(wantedType) ? 2 : 1;
    if (destSize < unit) throw EQELException(kErrBufferSizeExceeded, kBufferSizeExceededMsg);
    if (IsNull()) {
      std::memset(out, 0, static_cast<std::size_t>(unit));
      return;
    }
    TQELVariant scratch;
    const TQELVariant* view = this;
    if (FDataType == bftBlob && unit == 1) {
      // A BLOB reads as its bytes; a trailing zero byte, if any, is its
      // terminator and not part of the text.
      std::int32_t size = FDataSize;
      if (size > 0 && FData[size - 1] == 0) --size;
      StoreText(scratch, wantedType, std::string_view(reinterpret_cast<const char*>(FData), size));
      view = &scratch;
    } else if (FDataType != wantedType) {
      view = &ViewAs(wantedType, scratch);
    }
    // Text up to its terminator, cut at a whole character to fit.
    std::int32_t units;
    if (unit == 2) {
      units = static_cast<std::int32_t>(TWideText(view->FData, view->FDataSize).View().size());
    } else {
      units = static_cast<std::int32_t>(NarrowText(view->FData, view->FDataSize).size());
    }
    units = std::min(units, destSize / unit - 1);
    if (unit == 1) {
      while (units > 0 && units < view->FDataSize && (view->FData[units] & 0xC0) == 0x80) --units;
    } else if (units > 0 &&
               (QELLoadLE<char16_t>(view->FData + 2 * (units - 1)) & 0xFC00) == 0xD800) {
      --units;  // do not keep half a surrogate pair
    }
    std::memcpy(out, view->FData, static_cast<std::size_t>(units * unit));
    std::memset(out + units * unit, 0, static_cast<std::size_t>(unit));
    return;
  }
  TQELVariant scratch;
  const TQELVariant& view = CheckedViewAs(wantedType, scratch);
  if (destSize < view.FDataSize) throw EQELException(kErrBufferSizeExceeded, kBufferSizeExceededMsg);
  std::memcpy(out, view.FData, static_cast<std::size_t>(view.FDataSize));
}

// Typed getters: the value converted to the getter's type, then decoded;
// a value of that type already is decoded as it stands.
#define QEL_FIXED_GETTER(Name, T, Type)                            \
  T TQELVariant::Name() const {                                    \
    if (FDataType == Type && !IsNull()) {                          \
      return LoadFixed<T>(FData, FDataSize);                       \
    }                                                              \
    TQELVariant scratch;                                           \
    const TQELVariant& view = CheckedViewAs(Type, scratch);        \
    return LoadFixed<T>(view.FData, view.FDataSize);               \
  }

QEL_FIXED_GETTER(AsShortint, std::int8_t, bftShortint)
QEL_FIXED_GETTER(AsSmallint, std::int16_t, bftSmallint)
QEL_FIXED_GETTER(AsInteger, std::int32_t, bftInteger)
QEL_FIXED_GETTER(AsLargeint, std::int64_t, bftLargeint)
QEL_FIXED_GETTER(AsByte, std::uint8_t, bftByte)
QEL_FIXED_GETTER(AsWord, std::uint16_t, bftWord)
QEL_FIXED_GETTER(AsCardinal, std::uint32_t, bftCardinal)
QEL_FIXED_GETTER(AsSingle, float, bftSingle)
QEL_FIXED_GETTER(AsDouble, double, bftDouble)
QEL_FIXED_GETTER(AsCurrency, double, bftCurrency)
QEL_FIXED_GETTER(AsDateNumber, std::int32_t, bftDate)
QEL_FIXED_GETTER(AsTimeMilliseconds, std::int32_t, bftTime)

#undef QEL_FIXED_GETTER

long double TQELVariant::AsExtended() const {
  TQELVariant scratch;
  const TQELVariant& view = CheckedViewAs(bftExtended, scratch);
  return LoadExtended(view.FData, view.FDataSize);
}

bool TQELVariant::AsBoolean() const {
  TQELVariant scratch;
  const TQELVariant& view = CheckedViewAs(bftBoolean, scratch);
  return LoadFixed<std::int16_t>(view.FData, view.FDataSize) != 0;
}

TQELDateTimeStamp TQELVariant::AsDateTimeStamp() const {
  TQELVariant scratch;
  const TQELVariant& view = CheckedViewAs(bftDateTime, scratch);
  return {LoadFixed<std::int32_t>(view.FData, view.FDataSize),
          view.FDataSize >= 8 ? LoadFixed<std::int32_t>(view.FData + 4, 4) : 0};
}

double TQELVariant::AsDate() const { return QELStampToDateTime({AsDateNumber(), 0}); }

double TQELVariant::AsTime() const {
  return static_cast<double>(AsTimeMilliseconds()) / kQELMSecsPerDay;
}

double TQELVariant::AsDateTime() const { return QELStampToDateTime(AsDateTimeStamp()); }

std::string TQELVariant::AsString() const {
  if (IsNull()) return {};
  if (FDataType == bftBlob) {
    std::int32_t size = FDataSize;
    if (size > 0 && FData[size - 1] == 0) --size;
    return std::string(reinterpret_cast<const char*>(FData), static_cast<std::size_t>(size));
  }
  if (IsStringBaseType(FDataType) || IsTextBlobBaseType(FDataType)) {
    return Utf8Text(FData, FDataSize, FDataType);
  }
  TQELVariant scratch;
  const TQELVariant& view = ViewAs(bftString, scratch);
  return std::string(NarrowText(view.FData, view.FDataSize));
}

std::u16string TQELVariant::AsWideString() const {
  if (IsNull()) return {};
  if (IsWideStringBaseType(FDataType)) return std::u16string(TWideText(FData, FDataSize).View());
  TQELVariant scratch;
  const TQELVariant& view = ViewAs(bftWideString, scratch);
  return std::u16string(TWideText(view.FData, view.FDataSize).View());
}

// Typed setters.
#define QEL_FIXED_SETTER(Name, T, Type)                  \
  void TQELVariant::Name(T value) {                      \
    std::uint8_t bytes[sizeof(T)];                       \
    QELStoreLE<T>(bytes, value);                         \
    SetFixed(bytes, sizeof(T), Type);                    \
  }

QEL_FIXED_SETTER(SetAsShortint, std::int8_t, bftShortint)
QEL_FIXED_SETTER(SetAsSmallint, std::int16_t, bftSmallint)
QEL_FIXED_SETTER(SetAsInteger, std::int32_t, bftInteger)
QEL_FIXED_SETTER(SetAsLargeint, std::int64_t, bftLargeint)
QEL_FIXED_SETTER(SetAsByte, std::uint8_t, bftByte)
QEL_FIXED_SETTER(SetAsWord, std::uint16_t, bftWord)
QEL_FIXED_SETTER(SetAsCardinal, std::uint32_t, bftCardinal)
QEL_FIXED_SETTER(SetAsSingle, float, bftSingle)
QEL_FIXED_SETTER(SetAsDouble, double, bftDouble)
QEL_FIXED_SETTER(SetAsCurrency, double, bftCurrency)
QEL_FIXED_SETTER(SetAsDateNumber, std::int32_t, bftDate)
QEL_FIXED_SETTER(SetAsTimeMilliseconds, std::int32_t, bftTime)

#undef QEL_FIXED_SETTER

void TQELVariant::SetAsExtended(long double value) {
  std::uint8_t bytes[kQELExtendedSize];
  QELEncodeExtended(value, bytes);
  SetFixed(bytes, kQELExtendedSize, bftExtended);
}

void TQELVariant::SetAsBoolean(bool value) {
  std::uint8_t bytes[2];
  QELStoreLE<std::int16_t>(bytes, value ? -1 : 0);
  SetFixed(bytes, 2, bftBoolean);
}

void TQELVariant::SetAsDateTimeStamp(TQELDateTimeStamp value) {
  std::uint8_t bytes[8];
  QELStoreLE<std::int32_t>(bytes, value.Date);
  QELStoreLE<std::int32_t>(bytes + 4, value.Time);
  SetFixed(bytes, 8, bftDateTime);
}

namespace {

TQELDateTimeStamp StampOrThrow(double dateTime) {
  TQELDateTimeStamp stamp{};
  if (!QELTryDateTimeToStamp(dateTime, stamp)) {
    throw EConvertError("Invalid date-time value " + std::to_string(dateTime));
  }
  return stamp;
}

}  // namespace

void TQELVariant::SetAsDate(double value) { SetAsDateNumber(StampOrThrow(value).Date); }
void TQELVariant::SetAsTime(double value) { SetAsTimeMilliseconds(StampOrThrow(value).Time); }
void TQELVariant::SetAsDateTime(double value) { SetAsDateTimeStamp(StampOrThrow(value)); }

void TQELVariant::SetAsString(std::string_view value) {
  SetValue(value.data(), static_cast<std::int32_t>(value.size()), bftString);
}

void TQELVariant::SetAsWideString(std::u16string_view value) {
  SetValue(value.data(), static_cast<std::int32_t>(value.size() * 2), bftWideString);
}

TQELPlatformVariant TQELVariant::AsPlatformVariant() const {
  if (IsNull()) return TQELPlatformNull{};
  switch (FDataType) {
    case bftFixedChar:
    case bftString:
    case bftBlob:
      return AsString();
    case bftFixedWideChar:
    case bftWideString:
      return AsWideString();
    case bftShortint:
      return AsShortint();
    case bftSmallint:
      return AsSmallint();
    case bftInteger:
      return AsInteger();
    case bftLargeint:
      return AsLargeint();
    case bftByte:
      return AsByte();
    case bftWord:
      return AsWord();
    case bftCardinal:
      return AsCardinal();
    case bftSingle:
    case bftDouble:
    case bftExtended:
    case bftCurrency:
      return AsDouble();
    case bftDate:
      return TQELPlatformDate{AsDate()};
    case bftTime:
      return TQELPlatformDate{AsTime()};
    case bftDateTime:
      return TQELPlatformDate{AsDateTime()};
    case bftBoolean:
      return AsBoolean();
    default:
      throw EQELException(kErrUnsupportedPlatformType, kUnsupportedVariantMsg,
                          {BaseFieldTypeName(FDataType)});
  }
}

void TQELVariant::SetAsPlatformVariant(const TQELPlatformVariant& value) {
  struct Visitor {
    TQELVariant& V;
    void operator()(std::monostate) { V.SetNull(); }
    void operator()(TQELPlatformNull) { V.SetNull(); }
    void operator()(std::int16_t x) { V.Clear(bftSmallint), V.SetAsSmallint(x); }
    void operator()(std::int32_t x) { V.Clear(bftInteger), V.SetAsInteger(x); }
    void operator()(float x) { V.Clear(bftSingle), V.SetAsSingle(x); }
    void operator()(double x) { V.Clear(bftDouble), V.SetAsDouble(x); }
    void operator()(TQELPlatformCurrency x) { V.Clear(bftCurrency), V.SetAsCurrency(x.Value); }
    void operator()(TQELPlatformDate x) {
      const TQELDateTimeStamp stamp = StampOrThrow(x.Value);
      V.Clear(bftDateTime);
      V.SetAsDateTimeStamp(stamp);
    }
    void operator()(const std::u16string& x) { V.Clear(bftWideString), V.SetAsWideString(x); }
    void operator()(bool x) { V.Clear(bftBoolean), V.SetAsBoolean(x); }
    void operator()(std::int8_t x) { V.Clear(bftShortint), V.SetAsShortint(x); }
    void operator()(std::uint8_t x) { V.Clear(bftByte), V.SetAsByte(x); }
    void operator()(std::uint16_t x) { V.Clear(bftWord), V.SetAsWord(x); }
    void operator()(std::uint32_t x) { V.Clear(bftCardinal), V.SetAsCardinal(x); }
    void operator()(std::int64_t x) { V.Clear(bftLargeint), V.SetAsLargeint(x); }
    void operator()(const std::string& x) { V.Clear(bftString), V.SetAsString(x); }
    void operator()(TQELPlatformUnsupported x) {
      throw EQELException(kErrUnsupportedPlatformKind, kUnsupportedVariantMsg,
                          {std::to_string(x.Kind)});
    }
  };
  std::visit(Visitor{*this}, value);
}

void TQELVariant::ConvertTo(TQELBaseFieldType dataType) {
  if (dataType == FDataType) return;
  if (IsNull()) {
    Clear(dataType);
    return;
  }
  if (FDataType == bftMemo && dataType == bftString) {
    // A memo's text has no terminator; appending one makes it a string.
    const std::int32_t size = FDataSize;
    TQELVariant text;
    std::uint8_t* bytes = text.AllocateData(size + 1, bftString);
    std::memcpy(bytes, FData, static_cast<std::size_t>(size));
    bytes[size] = 0;
    TakeData(text);
    FDataType = bftString;
    return;
  }
  TQELVariant converted;
  ConvertValueInto(FData, FDataSize, FDataType, dataType, converted);
  TakeData(converted);
  FDataType = dataType;
  FNullFlag = 0;
}

void TQELVariant::SetDataType(TQELBaseFieldType dataType) {
  if (IsNull()) {
    Clear(dataType);
    return;
  }
  try {
    ConvertTo(dataType);
  } catch (const EQELException&) {
    Clear(dataType);
  }
}

std::int32_t TQELVariant::StringLength() const {
  if (IsNull() || !IsString()) return -1;
  return IsWideString() ? FDataSize / 2 - 1 : FDataSize - 1;
}

void TQELVariant::ReadStreamData(std::int32_t size, void* stream,
                                 std::int64_t (*read)(void*, void*, std::int32_t)) {
  // The buffer grows only as bytes arrive, so that a damaged size cannot make
  // it allocate more than the stream holds.
  constexpr std::int32_t kChunk = 64 * 1024;
  std::vector<std::uint8_t> bytes;
  while (static_cast<std::int32_t>(bytes.size()) < size) {
    const std::int32_t have = static_cast<std::int32_t>(bytes.size());
    const std::int32_t count = std::min(kChunk, size - have);
    bytes.resize(static_cast<std::size_t>(have + count));
    if (read(stream, bytes.data() + have, count) != count) {
      throw EQELException(kQELErrReadVariantData, kQELStreamReadError);
    }
  }
  if (size == 0) {
    // A value of no bytes still has data: an empty buffer, not a missing one.
    StoreOwned(FInline, 0);
  } else {
    StoreOwned(bytes.data(), size);
  }
  FNullFlag = 0;
}

}  // namespace qel
