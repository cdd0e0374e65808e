// TQELTable: the provider hooks: the table's key and order from its index
// definitions, and parameters as a range over the active index.

#include <memory>
#include <string>

#include "components/QELTable.h"
#include "components/db/QELSameText.h"

namespace qel {

namespace {

bool AllFieldsHaveObjects(const TDataSet& dataSet, const std::string& fields) {
  for (const std::string& name : SplitFieldNames(fields)) {
    if (dataSet.FindField(name) == nullptr) return false;
  }
  return true;
}

}  // namespace

void TQELTable::PSSetCommandText(const std::string& text) {
  if (!text.empty()) SetTableName(text);
}

std::string TQELTable::PSGetKeyFields() {
  std::string keys = TQELDataSet::PSGetKeyFields();
  if (!keys.empty() || !Exists()) return keys;
  IndexDefs().Updated = false;
  UpdateIndexDefs();
  const bool noFieldObjects = FieldCount() == 0;
  for (std::int32_t i = 0; i < IndexDefs().Count(); ++i) {
    const TIndexDef& def = IndexDefs()[i];
    if ((def.Options & ixUnique) == 0) continue;
    if (noFieldObjects || AllFieldsHaveObjects(*this, def.Fields)) return def.Fields;
  }
  UpdateFieldDefs();
  for (std::int32_t i = 0; i < FieldDefs().Count(); ++i) keys += (i == 0 ? "" : ";") + FieldDefs()[i].Name;
  return keys;
}

std::unique_ptr<TIndexDef> TQELTable::PSGetDefaultOrder() {
  IndexDefs().Updated = false;
  UpdateIndexDefs();
  const TIndexDef* found = nullptr;
  try {
    if (!IndexName().empty()) {
      found = IndexDefs().Find(IndexName());
    } else if (!IndexFieldNames().empty()) {
      found = IndexDefs().FindIndexForFields(IndexFieldNames());
    }
    if (found != nullptr && !AllFieldsHaveObjects(*this, found->Fields)) found = nullptr;
  } catch (...) {
    found = nullptr;
  }
  for (std::int32_t i = 0; found == nullptr && i < IndexDefs().Count(); ++i) {
    const TIndexDef& def = IndexDefs()[i];
    if ((def.Options & ixPrimary) != 0 && AllFieldsHaveObjects(*this, def.Fields)) found = &def;
  }
  for (std::int32_t i = 0; found == nullptr && i < IndexDefs().Count(); ++i) {
    if ((IndexDefs()[i].Options & ixUnique) != 0) found = &IndexDefs()[i];
  }
  return found != nullptr ? std::make_unique<TIndexDef>(*found) : nullptr;
}

TIndexDefs TQELTable::PSGetIndexDefs(std::uint8_t types) {
  UpdateIndexDefs();
  return TQELDataSet::PSGetIndexDefs(types);
}

void TQELTable::PSSetParams(const TParams& params) {
  if (params.Count() > 0) {
    Open();
    auto assign = [&] {
      for (std::int32_t i = 0; i < params.Count(); ++i) {
        TField& field = params[i].Name.empty() ? GetIndexField(i) : FieldByName(params[i].Name);
        field.SetAsVariant(params[i].Value);
      }
    };
    SetRangeStart();
    assign();
    SetRangeEnd();
    assign();
    // Applying the range reads the records again; reopening as well would
    // drop the range it just set.
    ApplyRange();
    return;
  }
  if (Active()) CancelRange();
  PSReset();
}

}  // namespace qel
