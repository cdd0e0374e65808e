// UNION, INTERSECT and EXCEPT.

#include "components/query/QELPlan.h"
#include "platform/QELException.h"

namespace qel {

std::unique_ptr<TQELAO> QELPlanSetOperation(TQELQueryExprNode& /*node*/, std::vector<TQELSortKey>& /*order*/,
                                            const TQELPlanContext& /*context*/) {
  throw EQELException(30350, "Not implemented yet");
}

}  // namespace qel
