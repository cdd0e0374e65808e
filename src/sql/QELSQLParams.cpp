#include "sql/QELSQLParams.h"

#include <stdexcept>
#include <utility>

#include "platform/QELCollation.h"
#include "platform/QELFormat.h"

namespace qel {

const TQELSQLParam& TQELSQLParams::Items(std::int32_t index) const {
  if (index < 0 || index >= Count()) {
    throw std::out_of_range(QELFormat("List index out of bounds (%d)", {index}));
  }
  return *FItems[static_cast<std::size_t>(index)];
}

TQELSQLParam& TQELSQLParams::Items(std::int32_t index) {
  return const_cast<TQELSQLParam&>(std::as_const(*this).Items(index));
}

TQELSQLParam& TQELSQLParams::AddParam() {
  FItems.push_back(std::make_unique<TQELSQLParam>());
  return *FItems.back();
}

const TQELSQLParam* TQELSQLParams::FindParam(std::string_view name) const {
  // Names are upper-cased at each lookup rather than once when set, so that
  // a change of locale between filling and lexing cannot leave stale keys.
  const std::string wanted = QELUpperCase(name);
  for (const auto& item : FItems) {
    if (QELUpperCase(item->Name()) == wanted) return item.get();
  }
  return nullptr;
}

TQELSQLParam* TQELSQLParams::FindParam(std::string_view name) {
  return const_cast<TQELSQLParam*>(std::as_const(*this).FindParam(name));
}

}  // namespace qel
