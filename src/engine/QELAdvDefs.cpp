#include "engine/QELAdvDefs.h"

#include "platform/QELCollation.h"
#include "platform/QELException.h"

namespace qel {

namespace {

constexpr std::int32_t kErrFieldNotFound = 30349;

}  // namespace

TQELAdvFieldDef& TQELAdvFieldDefs::Add() {
  FItems.push_back(std::make_unique<TQELAdvFieldDef>());
  return *FItems.back();
}

TQELAdvFieldDef& TQELAdvFieldDefs::Add(std::string_view name, TQELAdvancedFieldType dataType, std::int32_t size) {
  TQELAdvFieldDef& def = Add();
  def.Name = name;
  def.DataType = dataType;
  def.Size = size;
  return def;
}

void TQELAdvFieldDefs::Assign(const TQELAdvFieldDefs& source) {
  if (this == &source) return;
  std::vector<std::unique_ptr<TQELAdvFieldDef>> items;
  items.reserve(source.FItems.size());
  for (const auto& def : source.FItems) items.push_back(std::make_unique<TQELAdvFieldDef>(*def));
  FItems = std::move(items);
}

std::int32_t TQELAdvFieldDefs::IndexOf(std::string_view name) const {
  const std::string upper = QELUpperCase(name);
  for (std::size_t i = 0; i < FItems.size(); ++i) {
    if (QELUpperCase(FItems[i]->Name) == upper) return static_cast<std::int32_t>(i);
  }
  return -1;
}

TQELAdvFieldDef* TQELAdvFieldDefs::Find(std::string_view name) {
  const std::int32_t index = IndexOf(name);
  return index < 0 ? nullptr : FItems[static_cast<std::size_t>(index)].get();
}

const TQELAdvFieldDef* TQELAdvFieldDefs::Find(std::string_view name) const {
  return const_cast<TQELAdvFieldDefs*>(this)->Find(name);
}

void TQELAdvFieldDefs::Delete(std::string_view name) {
  const std::int32_t index = IndexOf(name);
  if (index < 0) throw EQELException(kErrFieldNotFound, "Field '%s' not found", {name});
  FItems.erase(FItems.begin() + index);
}

TQELAdvIndexDef& TQELAdvIndexDefs::Add() {
  FItems.push_back(std::make_unique<TQELAdvIndexDef>());
  return *FItems.back();
}

TQELAdvIndexDef& TQELAdvIndexDefs::Add(std::string_view name, std::string_view fields, std::uint8_t options) {
  TQELAdvIndexDef& def = Add();
  def.Name = name;
  def.Fields = fields;
  def.Options = options;
  return def;
}

void TQELAdvIndexDefs::Assign(const TQELAdvIndexDefs& source, bool skipTemporary) {
  if (this == &source && !skipTemporary) return;
  std::vector<std::unique_ptr<TQELAdvIndexDef>> items;
  for (const auto& def : source.FItems) {
    const bool temporary =
        def->Temporary || QELUpperCase(def->Name).find("TEMPORARY") != std::string::npos;
    if (skipTemporary && temporary) continue;
    items.push_back(std::make_unique<TQELAdvIndexDef>(*def));
  }
  FItems = std::move(items);
}

}  // namespace qel
