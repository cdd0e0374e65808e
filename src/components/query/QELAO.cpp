#include "components/query/QELAO.h"

#include "components/db/QELSameText.h"
#include "platform/QELRandom.h"

namespace qel {

std::vector<std::int32_t> TQELAO::FindColumns(std::string_view fieldName, std::string_view tableName) const {
  std::vector<std::int32_t> numbers;
  if (!tableName.empty() && !QELSameText(tableName, FAlias) && !QELSameText(tableName, FTableName)) {
    return numbers;
  }
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    if (QELSameText(FColumns[i].FieldName, fieldName)) numbers.push_back(static_cast<std::int32_t>(i));
  }
  return numbers;
}

std::string QELUniqueName(std::string_view prefix) {
  std::string name(prefix);
  name += std::to_string(QELRandom(2147483647u) % 1000000u);
  return name;
}

}  // namespace qel
