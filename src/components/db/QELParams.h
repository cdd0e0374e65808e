#pragma once
// TParams: the named, typed values a statement's parameter markers stand
// for. ParseSQL finds the markers with the SQL lexer itself, so that this
// list and the statement processor always agree on what is a marker.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "storage/QELFieldTypes.h"
#include "values/QELVariant.h"

namespace qel {

class TParam {
 public:
  std::string Name;
  TFieldType DataType = ftUnknown;
  TQELVariant Value;
};

class TParams {
 public:
  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }
  TParam& operator[](std::int32_t index) { return FItems.at(index); }
  const TParam& operator[](std::int32_t index) const { return FItems.at(index); }
  TParam& Add(std::string_view name, TFieldType type = ftUnknown);
  void Clear() { FItems.clear(); }
  // Ignoring case; null when there is none.
  TParam* FindParam(std::string_view name);
  // Raises "Parameter '%s' not found" when there is none.
  TParam& ParamByName(std::string_view name);

  // Fills the list with the markers of `sql` in order of appearance, each
  // name once ("?" markers are named Param1, Param2, ...). Values and types
  // of parameters already in the list under the same name are kept.
  void ParseSQL(const std::string& sql);

 private:
  std::vector<TParam> FItems;
};

}  // namespace qel
