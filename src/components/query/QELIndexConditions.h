#pragma once
// Index conditions derived from a query's WHERE over one table: each
// conjunct that compares a field of the table with a constant is offered to
// every index whose first column is that field, as a scan condition the
// search may take as its access path. Only equalities are offered today
// (ranges and LIKE prefixes are read, and would be given their conditions,
// once a live cursor keeps the range it walks instead of gathering it at
// every step). The WHERE itself still judges every record the index hands over,
// so a condition only ever has to let through at least the matching
// records: a constant that does not convert to the field's type exactly
// (2.5 for an integer, 70000 for a smallint) gives no condition at all.

#include "engine/QELCursor.h"
#include "sql/QELExpression.h"
#include "storage/QELScanSearchCondition.h"

namespace qel {

// The conditions for `condition`, bound to `cursor`'s fields.
TQELScanSearchConditionArray QELDeriveIndexConditions(const TQELCursor& cursor, TQELExpression& condition);

}  // namespace qel
