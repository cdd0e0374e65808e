#include "components/db/QELParams.h"

#include "components/db/QELDatabaseError.h"
#include "components/db/QELSameText.h"
#include "sql/QELLexer.h"

namespace qel {

TParam& TParams::Add(std::string_view name, TFieldType type) {
  TParam param;
  param.Name = name;
  param.DataType = type;
  param.Value.SetNull();
  FItems.push_back(std::move(param));
  return FItems.back();
}

TParam* TParams::FindParam(std::string_view name) {
  for (TParam& param : FItems) {
    if (QELSameText(param.Name, name)) return &param;
  }
  return nullptr;
}

TParam& TParams::ParamByName(std::string_view name) {
  TParam* param = FindParam(name);
  if (param == nullptr) DatabaseErrorFmt("Parameter '%s' not found", {std::string(name)});
  return *param;
}

// Each marker's name once, in order of first appearance; a parameter
// already listed keeps its value.
void TParams::ParseSQL(const std::string& sql) {
  std::vector<TParam> items;
  for (const std::string& name : QELParameterMarkers(sql)) {
    bool seen = false;
    for (const TParam& item : items) seen = seen || QELSameText(item.Name, name);
    if (seen) continue;
    TParam* old = FindParam(name);
    if (old != nullptr) {
      items.push_back(*old);
    } else {
      TParam param;
      param.Name = name;
      param.Value.SetNull();
      items.push_back(std::move(param));
    }
  }
  FItems = std::move(items);
}

}  // namespace qel
