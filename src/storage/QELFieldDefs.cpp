#include "storage/QELFieldDefs.h"

#include "platform/QELCollation.h"
#include "platform/QELException.h"

namespace qel {

namespace {

constexpr std::int32_t kErrUnsupportedDataType = 30007;

}  // namespace

void TQELFieldDef::Assign(const TQELFieldDef& source) {
  if (this == &source) return;
  FName = source.FName;
  FObjectID = source.FObjectID;
  FAdvancedFieldType = source.FAdvancedFieldType;
  FBaseFieldType = source.FBaseFieldType;
  FSize = source.FSize;
  FMemoryDataSize = source.FMemoryDataSize;
  FDiskDataSize = source.FDiskDataSize;
  FMemoryOffset = source.FMemoryOffset;
  FDiskOffset = source.FDiskOffset;
  FDefaultValue.Assign(source.FDefaultValue, cmCopy);
  FDefaultExpression = source.FDefaultExpression ? source.FDefaultExpression->Clone() : nullptr;
  BlobCompressionAlgorithm = source.BlobCompressionAlgorithm;
  BlobCompressionMode = source.BlobCompressionMode;
  BlobBlockSize = source.BlobBlockSize;
  AutoincIncrement = source.AutoincIncrement;
  AutoincInitialValue = source.AutoincInitialValue;
  AutoincMinValue = source.AutoincMinValue;
  AutoincMaxValue = source.AutoincMaxValue;
  AutoincCycled = source.AutoincCycled;
}

void TQELFieldDef::SetName(std::string_view name) {
  FName.assign(name.substr(0, kMaxNameLength));
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

TQELFieldDef& TQELFieldDefs::Add() {
  FItems.push_back(std::make_unique<TQELFieldDef>());
  return *FItems.back();
}

TQELFieldDef& TQELFieldDefs::Add(std::string_view name, TQELAdvancedFieldType advancedType,
                                 std::int32_t size) {
  auto def = std::make_unique<TQELFieldDef>();
  def->SetName(name);
  def->SetType(advancedType, size);
  FItems.push_back(std::move(def));
  return *FItems.back();
}

void TQELFieldDefs::Delete(std::int32_t index) {
  FItems.erase(FItems.begin() + index);
}

void TQELFieldDefs::Clear() {
  FItems.clear();
  FMemoryRecordSize = 0;
  FDiskRecordSize = 0;
}

void TQELFieldDefs::Assign(const TQELFieldDefs& source) {
  if (this == &source) return;
  std::vector<std::unique_ptr<TQELFieldDef>> items;
  items.reserve(source.FItems.size());
  for (const auto& def : source.FItems) items.push_back(std::make_unique<TQELFieldDef>(*def));
  FItems = std::move(items);
  FMemoryRecordSize = source.FMemoryRecordSize;
  FDiskRecordSize = source.FDiskRecordSize;
}

std::int32_t TQELFieldDefs::IndexOfName(std::string_view name) const {
  const std::string upper = QELUpperCase(name);
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (QELUpperCase(FItems[i]->Name()) == upper) return static_cast<std::int32_t>(i);
  }
  return -1;
}

TQELFieldDef* TQELFieldDefs::FindField(std::string_view name) {
  const std::int32_t index = IndexOfName(name);
  return index < 0 ? nullptr : FItems[static_cast<std::size_t>(index)].get();
}

void TQELFieldDefs::RecalcOffsets() {
  std::int32_t memoryOffset = NullFlagsSize();
  std::int32_t diskOffset = memoryOffset;
  for (const auto& def : FItems) {
    def->FMemoryOffset = memoryOffset;
    def->FDiskOffset = diskOffset;
    memoryOffset += def->FMemoryDataSize;
    diskOffset += def->FDiskDataSize;
  }
  FMemoryRecordSize = memoryOffset;
  FDiskRecordSize = diskOffset;
}

}  // namespace qel
