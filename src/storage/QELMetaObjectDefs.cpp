#include "storage/QELMetaObjectDefs.h"

#include <utility>

#include "platform/QELCollation.h"
#include "platform/QELException.h"
#include "storage/QELMetaStream.h"

namespace qel {

namespace {

constexpr std::int32_t kErrNotOverridden = 30339;
constexpr std::int32_t kErrDuplicateName = 10424;

}  // namespace

void TQELMetaObjectDef::SetName(std::string_view name) {
  FName.assign(name.substr(0, kMaxNameLength));
}

void TQELMetaObjectDef::Assign(const TQELMetaObjectDef& source) {
  if (this == &source) return;
  FName = source.FName;
  FObjectID = source.FObjectID;
}

void TQELMetaObjectDef::LoadFromStream(TQELStream& stream) {
  FName = QELReadShortString(stream, kQELErrReadDefNameLength, kQELErrReadDefName);
  FObjectID = QELReadValue<std::int32_t>(stream, kQELErrReadDefObjectID);
}

void TQELMetaObjectDef::SaveToStream(TQELStream& stream) const {
  QELWriteShortString(stream, FName, kQELErrWriteDefNameLength, kQELErrWriteDefName);
  QELWriteValue<std::int32_t>(stream, FObjectID, kQELErrWriteDefObjectID);
}

std::int32_t TQELMetaObjectDefs::IndexOfName(std::string_view name) const {
  const std::string upper = QELUpperCase(name);
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (QELUpperCase(FItems[i]->Name()) == upper) return static_cast<std::int32_t>(i);
  }
  return -1;
}

std::int32_t TQELMetaObjectDefs::IndexOfID(std::int32_t objectID) const {
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (FItems[i]->ObjectID() == objectID) return static_cast<std::int32_t>(i);
  }
  return -1;
}

TQELMetaObjectDef* TQELMetaObjectDefs::FindByName(std::string_view name) {
  const std::int32_t index = IndexOfName(name);
  return index < 0 ? nullptr : &Item(index);
}

TQELMetaObjectDef* TQELMetaObjectDefs::FindByID(std::int32_t objectID) {
  const std::int32_t index = IndexOfID(objectID);
  return index < 0 ? nullptr : &Item(index);
}

TQELMetaObjectDef& TQELMetaObjectDefs::InternalAddCreated() {
  throw EQELException(kErrNotOverridden, "The method '%s' not overrided in class '%s'",
                      {"InternalAddCreated", ClassName()});
}

void TQELMetaObjectDefs::LoadFromStream(TQELStream& stream) {
  Clear();
  const std::int32_t count = QELReadCount(stream, kQELErrReadDefCount);
  for (std::int32_t i = 0; i < count; ++i) InternalAddCreated().LoadFromStream(stream);
}

void TQELMetaObjectDefs::SaveToStream(TQELStream& stream) const {
  QELWriteValue<std::int32_t>(stream, Count(), kQELErrWriteDefCount);
  for (const auto& def : FItems) def->SaveToStream(stream);
}

void TQELMetaObjectDefs::Assign(const TQELMetaObjectDefs& source) {
  if (this == &source) return;
  ReplaceItems([&] {
    for (std::int32_t i = 0; i < source.Count(); ++i) {
      const TQELMetaObjectDef& def = source.Item(i);
      if (IndexOfName(def.Name()) >= 0) {
        throw EQELException(kErrDuplicateName, "Duplicate field name %s", {def.Name()});
      }
      InternalAddCreated().Assign(def);
    }
  });
}

void TQELMetaObjectDefs::Delete(std::int32_t index) { FItems.erase(FItems.begin() + index); }

void TQELMetaObjectDefs::Move(std::int32_t fromIndex, std::int32_t toIndex) {
  if (fromIndex == toIndex) return;
  std::unique_ptr<TQELMetaObjectDef> def = std::move(FItems[static_cast<std::size_t>(fromIndex)]);
  FItems.erase(FItems.begin() + fromIndex);
  FItems.insert(FItems.begin() + toIndex, std::move(def));
}

void TQELMetaObjectDefs::Clear() { FItems.clear(); }

TQELMetaObjectDef& TQELMetaObjectDefs::AddItem(std::unique_ptr<TQELMetaObjectDef> def) {
  FItems.push_back(std::move(def));
  return *FItems.back();
}

TQELMetaObjectDef& TQELMetaObjectDefs::InsertItem(std::int32_t index,
                                                  std::unique_ptr<TQELMetaObjectDef> def) {
  return **FItems.insert(FItems.begin() + index, std::move(def));
}

void TQELMetaObjectDefs::SetItemAt(std::int32_t index, std::unique_ptr<TQELMetaObjectDef> def) {
  FItems[static_cast<std::size_t>(index)] = std::move(def);
}

void TQELMetaObjectDefs::ReplaceItems(const std::function<void()>& fill) {
  std::vector<std::unique_ptr<TQELMetaObjectDef>> saved = std::move(FItems);
  FItems.clear();
  try {
    fill();
  } catch (...) {
    FItems = std::move(saved);
    throw;
  }
}

void TQELMetaObjectDefs::AppendCopies(const TQELMetaObjectDefs& source) {
  for (const auto& def : source.FItems) InternalAddCreated().Assign(*def);
}

}  // namespace qel
