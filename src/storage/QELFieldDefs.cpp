#include "storage/QELFieldDefs.h"

#include <atomic>

#include "platform/QELException.h"
#include "storage/QELMetaStream.h"

namespace qel {

namespace {

constexpr std::int32_t kErrUnsupportedDataType = 30007;

// Native codes of the field's stored items (reading / writing).
constexpr std::int32_t kErrReadBaseType = 10187;
constexpr std::int32_t kErrReadAdvancedType = 10188;
constexpr std::int32_t kErrReadSize = 10189;
constexpr std::int32_t kErrReadBlobAlgorithm = 10192;
constexpr std::int32_t kErrReadBlobMode = 10193;
constexpr std::int32_t kErrReadBlobBlockSize = 10194;
constexpr std::int32_t kErrReadAutoincIncrement = 30407;
constexpr std::int32_t kErrReadAutoincInitial = 30408;
constexpr std::int32_t kErrReadAutoincMin = 30409;
constexpr std::int32_t kErrReadAutoincMax = 30410;
constexpr std::int32_t kErrReadAutoincCycled = 30411;
constexpr std::int32_t kErrWriteBaseType = 10170;
constexpr std::int32_t kErrWriteAdvancedType = 10171;
constexpr std::int32_t kErrWriteSize = 10172;
constexpr std::int32_t kErrWriteBlobAlgorithm = 10175;
constexpr std::int32_t kErrWriteBlobMode = 10176;
constexpr std::int32_t kErrWriteBlobBlockSize = 10177;
constexpr std::int32_t kErrWriteAutoincIncrement = 30412;
constexpr std::int32_t kErrWriteAutoincInitial = 30413;
constexpr std::int32_t kErrWriteAutoincMin = 30414;
constexpr std::int32_t kErrWriteAutoincMax = 30415;
constexpr std::int32_t kErrWriteAutoincCycled = 30416;

std::atomic<TQELDefaultExpressionBuilder> gDefaultExpressionBuilder{nullptr};

// Storage types whose slot grows with the declared size.
constexpr bool SlotGrowsWithSize(TQELBaseFieldType type) {
  return IsStringBaseType(type) || type == bftBytes || type == bftVarBytes;
}

}  // namespace

void TQELFieldDef::Assign(const TQELMetaObjectDef& source) {
  if (this == &source) return;
  TQELMetaObjectDef::Assign(source);
  const auto* field = dynamic_cast<const TQELFieldDef*>(&source);
  if (field == nullptr) return;
  FAdvancedFieldType = field->FAdvancedFieldType;
  FBaseFieldType = field->FBaseFieldType;
  FSize = field->FSize;
  FMemoryDataSize = field->FMemoryDataSize;
  FDiskDataSize = field->FDiskDataSize;
  FMemoryOffset = field->FMemoryOffset;
  FDiskOffset = field->FDiskOffset;
  FDefaultValue.Assign(field->FDefaultValue, cmCopy);
  BlobCompressionAlgorithm = field->BlobCompressionAlgorithm;
  BlobCompressionMode = field->BlobCompressionMode;
  BlobBlockSize = field->BlobBlockSize;
  AutoincIncrement = field->AutoincIncrement;
  AutoincInitialValue = field->AutoincInitialValue;
  AutoincMinValue = field->AutoincMinValue;
  AutoincMaxValue = field->AutoincMaxValue;
  AutoincCycled = field->AutoincCycled;
  // The source's expression was built from the same default text, so
  // without a builder to rebuild it a copy is the same thing.
  if (DefaultExpressionBuilder() != nullptr) {
    RebuildDefaultExpression();
  } else {
    FDefaultExpression = field->FDefaultExpression ? field->FDefaultExpression->Clone() : nullptr;
  }
}

void TQELFieldDef::LoadFromStream(TQELStream& stream) {
  TQELMetaObjectDef::LoadFromStream(stream);
  const auto baseType =
      static_cast<TQELBaseFieldType>(QELReadValue<std::uint8_t>(stream, kErrReadBaseType));
  const auto advancedType =
      static_cast<TQELAdvancedFieldType>(QELReadValue<std::uint8_t>(stream, kErrReadAdvancedType));
  // Every later use of the definition relies on the storage type being the
  // one its declared type maps to.
  if (baseType == bftUnknown || AdvancedToBaseFieldType(advancedType) != baseType) {
    QELRaiseDamagedMetadata(kErrReadAdvancedType);
  }
  const auto size = QELReadValue<std::int32_t>(stream, kErrReadSize);
  if (SlotGrowsWithSize(baseType) && (size < 0 || size > kMaxSize)) {
    QELRaiseDamagedMetadata(kErrReadSize);
  }
  FBaseFieldType = baseType;
  FAdvancedFieldType = advancedType;
  FSize = size;
  if (IsBlobBaseType(baseType)) {
    BlobCompressionAlgorithm = QELReadValue<std::uint8_t>(stream, kErrReadBlobAlgorithm);
    BlobCompressionMode = QELReadValue<std::uint8_t>(stream, kErrReadBlobMode);
    BlobBlockSize = QELReadValue<std::int32_t>(stream, kErrReadBlobBlockSize);
  }
  AutoincIncrement = QELReadValue<std::int64_t>(stream, kErrReadAutoincIncrement);
  AutoincInitialValue = QELReadValue<std::int64_t>(stream, kErrReadAutoincInitial);
  AutoincMinValue = QELReadValue<std::int64_t>(stream, kErrReadAutoincMin);
  AutoincMaxValue = QELReadValue<std::int64_t>(stream, kErrReadAutoincMax);
  AutoincCycled = QELReadBool(stream, kErrReadAutoincCycled);
  // The stored value carries its own type, which wins: a default is often
  // kept as text whatever the field's type.
  FDefaultValue.Clear(FBaseFieldType);
  FDefaultValue.LoadFromStream(stream);
  RebuildDefaultExpression();
  RecalcDataSizes();
}

void TQELFieldDef::SaveToStream(TQELStream& stream) const {
  TQELMetaObjectDef::SaveToStream(stream);
  QELWriteValue<std::uint8_t>(stream, FBaseFieldType, kErrWriteBaseType);
  QELWriteValue<std::uint8_t>(stream, FAdvancedFieldType, kErrWriteAdvancedType);
  QELWriteValue<std::int32_t>(stream, FSize, kErrWriteSize);
  if (IsBlobBaseType(FBaseFieldType)) {
    QELWriteValue<std::uint8_t>(stream, BlobCompressionAlgorithm, kErrWriteBlobAlgorithm);
    QELWriteValue<std::uint8_t>(stream, BlobCompressionMode, kErrWriteBlobMode);
    QELWriteValue<std::int32_t>(stream, BlobBlockSize, kErrWriteBlobBlockSize);
  }
  QELWriteValue<std::int64_t>(stream, AutoincIncrement, kErrWriteAutoincIncrement);
  QELWriteValue<std::int64_t>(stream, AutoincInitialValue, kErrWriteAutoincInitial);
  QELWriteValue<std::int64_t>(stream, AutoincMinValue, kErrWriteAutoincMin);
  QELWriteValue<std::int64_t>(stream, AutoincMaxValue, kErrWriteAutoincMax);
  QELWriteBool(stream, AutoincCycled, kErrWriteAutoincCycled);
  FDefaultValue.SaveToStream(stream);
}

void TQELFieldDef::SetType(TQELAdvancedFieldType advancedType, std::int32_t size) {
  const TQELBaseFieldType baseType = AdvancedToBaseFieldType(advancedType);
  if (baseType == bftUnknown) {
    throw EQELException(kErrUnsupportedDataType, "Unsupported data type '%s'",
                        {AdvancedFieldTypeName(advancedType)});
  }
  FAdvancedFieldType = advancedType;
  FBaseFieldType = baseType;
  FSize = size;
  RecalcDataSizes();
}

void TQELFieldDef::RecalcDataSizes() {
  FMemoryDataSize = GetDataSize(FBaseFieldType, FSize);
  FDiskDataSize = IsBlobBaseType(FBaseFieldType) ? kQELBlobDiskSlotSize : FMemoryDataSize;
}

void TQELFieldDef::RebuildDefaultExpression() {
  FDefaultExpression.reset();
  if (!IsStringBaseType(FDefaultValue.DataType()) || FDefaultValue.StringLength() <= 0) return;
  if (const TQELDefaultExpressionBuilder builder = DefaultExpressionBuilder()) {
    FDefaultExpression = builder(*this);
  }
}

void TQELFieldDef::SetDefaultExpressionBuilder(TQELDefaultExpressionBuilder builder) {
  gDefaultExpressionBuilder.store(builder);
}

TQELDefaultExpressionBuilder TQELFieldDef::DefaultExpressionBuilder() {
  return gDefaultExpressionBuilder.load();
}

TQELFieldDefs::TQELFieldDefs(const TQELFieldDefs& other)
    : TQELMetaObjectDefsOf<TQELFieldDef>(),
      FMemoryRecordSize(other.FMemoryRecordSize),
      FDiskRecordSize(other.FDiskRecordSize) {
  AppendCopies(other);
}

TQELFieldDefs& TQELFieldDefs::operator=(const TQELFieldDefs& other) {
  if (this != &other) {
    TQELFieldDefs copy(other);
    *this = std::move(copy);
  }
  return *this;
}

TQELFieldDef& TQELFieldDefs::Add() { return Add(std::make_unique<TQELFieldDef>()); }

TQELFieldDef& TQELFieldDefs::Add(std::string_view name, TQELAdvancedFieldType advancedType,
                                 std::int32_t size) {
  auto def = std::make_unique<TQELFieldDef>();
  def->SetName(name);
  def->SetType(advancedType, size);
  return Add(std::move(def));
}

void TQELFieldDefs::LoadFromStream(TQELStream& stream) {
  TQELMetaObjectDefs::LoadFromStream(stream);
  // Each slot fits an int32, but their sum may not; the offsets are int32.
  std::int64_t memoryRecordSize = NullFlagsSize();
  for (std::int32_t i = 0; i < Count(); ++i) memoryRecordSize += (*this)[i].MemoryDataSize();
  if (memoryRecordSize > INT32_MAX) QELRaiseDamagedMetadata(kErrReadSize);
  RecalcOffsets();
}

void TQELFieldDefs::Assign(const TQELMetaObjectDefs& source) {
  if (this == &source) return;
  TQELMetaObjectDefs::Assign(source);
  if (const auto* fields = dynamic_cast<const TQELFieldDefs*>(&source)) {
    FMemoryRecordSize = fields->FMemoryRecordSize;
    FDiskRecordSize = fields->FDiskRecordSize;
  }
}

void TQELFieldDefs::Clear() {
  TQELMetaObjectDefs::Clear();
  FMemoryRecordSize = 0;
  FDiskRecordSize = 0;
}

void TQELFieldDefs::RecalcOffsets() {
  std::int32_t memoryOffset = NullFlagsSize();
  std::int32_t diskOffset = memoryOffset;
  for (std::int32_t i = 0; i < Count(); ++i) {
    TQELFieldDef& def = (*this)[i];
    def.FMemoryOffset = memoryOffset;
    def.FDiskOffset = diskOffset;
    memoryOffset += def.FMemoryDataSize;
    diskOffset += def.FDiskDataSize;
  }
  FMemoryRecordSize = memoryOffset;
  FDiskRecordSize = diskOffset;
}

}  // namespace qel
