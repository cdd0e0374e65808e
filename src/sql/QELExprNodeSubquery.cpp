#include "sql/QELExprNodeSubquery.h"

#include "platform/QELException.h"
#include "sql/QELExpressionErrors.h"

namespace qel {

void TQELExprNodeSubquery::RaiseNotAvailable() const {
  throw EQELException(kQELErrSubqueryNotAvailable, "Subquery evaluation is not available");
}

TQELVariant& TQELExprNodeSubquery::Evaluate() { RaiseNotAvailable(); }

void TQELExprNodeSubquery::FetchRow() { RaiseNotAvailable(); }

const TQELVariant* TQELExprNodeSubquery::GetRowValue(std::int32_t index) {
  if (index < 0 || index >= static_cast<std::int32_t>(FRowValues.size())) return nullptr;
  return &FRowValues[static_cast<std::size_t>(index)];
}

TQELAdvancedFieldType TQELExprNodeSubquery::GetDataType() { RaiseNotAvailable(); }

std::int32_t TQELExprNodeSubquery::GetDataSize() { RaiseNotAvailable(); }

}  // namespace qel
