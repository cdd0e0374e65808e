#include "components/query/QELAO.h"

#include <cstdlib>

#include "components/db/QELSameText.h"
#include "platform/QELException.h"
#include "platform/QELRandom.h"

namespace qel {

std::vector<std::int32_t> TQELAO::FindColumns(std::string_view fieldName, std::string_view tableName) const {
  std::vector<std::int32_t> numbers;
  // A qualifier names the node itself, or (over a join's rows) the input a
  // column came from.
  const bool namesNode = !tableName.empty() && (QELSameText(tableName, FAlias) || QELSameText(tableName, FTableName));
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    const TQELFieldLink& column = FColumns[i];
    if (!tableName.empty() && !namesNode && !QELSameText(tableName, column.TableName)) continue;
    if (QELSameText(column.FieldName, fieldName)) numbers.push_back(static_cast<std::int32_t>(i));
  }
  return numbers;
}

std::int32_t QELSortKeyPosition(const TQELSortKey& key, std::size_t count) {
  const bool isNumber = key.TableName.empty() && !key.FieldName.empty() &&
                        key.FieldName.find_first_not_of("0123456789") == std::string::npos;
  if (!isNumber) return -1;
  const long number = std::strtol(key.FieldName.c_str(), nullptr, 10);
  if (number < 1 || static_cast<std::size_t>(number) > count) {
    throw EQELException(20243, "Invalid field number in ORDER BY clause: %d", {static_cast<std::int64_t>(number)});
  }
  return static_cast<std::int32_t>(number - 1);
}

void QELRaiseSortKeyNotFound(const TQELSortKey& key) {
  throw EQELException(30195, "Column '%s' from ORDER BY clause not found", {key.FieldName});
}

std::string QELUniqueName(std::string_view prefix) {
  std::string name(prefix);
  name += std::to_string(QELRandom(2147483647u) % 1000000u);
  return name;
}

}  // namespace qel
