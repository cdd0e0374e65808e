#pragma once
// TQELSQLParams: the named values that the parameter markers of one SQL text
// (":name" and "?") stand for. The query component fills the list before each
// execution; the lexer copies each marker's value into its token.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "values/QELVariant.h"

namespace qel {

// One parameter: a value with a name.
class TQELSQLParam : public TQELVariant {
 public:
  using TQELVariant::TQELVariant;

  const std::string& Name() const { return FName; }
  void SetName(std::string_view name) { FName = name; }

 private:
  std::string FName;
};

class TQELSQLParams {
 public:
  TQELSQLParams() = default;
  TQELSQLParams(const TQELSQLParams&) = delete;
  TQELSQLParams& operator=(const TQELSQLParams&) = delete;

  std::int32_t Count() const { return static_cast<std::int32_t>(FItems.size()); }
  // The parameter at `index`; an index outside the list throws
  // std::out_of_range.
  TQELSQLParam& Items(std::int32_t index);
  const TQELSQLParam& Items(std::int32_t index) const;

  // Appends a new parameter without name or value and answers it; it stays
  // at the same address until Clear.
  TQELSQLParam& AddParam();
  void Clear() { FItems.clear(); }

  // The first parameter whose name equals `name` when both are upper-cased
  // in the current locale, or null.
  TQELSQLParam* FindParam(std::string_view name);
  const TQELSQLParam* FindParam(std::string_view name) const;

 private:
  std::vector<std::unique_ptr<TQELSQLParam>> FItems;
};

}  // namespace qel
