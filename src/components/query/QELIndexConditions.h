#pragma once
// Index conditions derived from a query's WHERE over one table: each
// conjunct that tests a field of the table against constants is offered to
// every index whose first column is that field. '=', '<', '<=', '>', '>=',
// BETWEEN, IS [NOT] NULL, UPPER/LOWER(field) = constant and LIKE 'prefix%'
// give scan conditions the search may take as its access path; an IN list
// gives alternatives, one point of the index per value, whose records the
// search gathers one by one.
//
// The WHERE itself still judges every record the index hands over, so a
// condition only ever has to let through at least the matching records: a
// constant that does not convert to the field's type exactly (2.5 for an
// integer, 70000 for a smallint) gives no condition at all, and a LIKE
// prefix keeps its conjunct for the values the range holds beyond it.

#include <memory>
#include <string>
#include <vector>

#include "engine/QELCursor.h"
#include "sql/QELExpression.h"
#include "storage/QELScanSearchCondition.h"

namespace qel {

struct TQELDerivedIndexConditions {
  // Each holds for every record the WHERE accepts.
  TQELScanSearchConditionArray Conditions;
  // Every record the WHERE accepts satisfies all conditions of one of
  // them (empty: none).
  std::vector<TQELScanSearchConditionArray> Alternatives;
};

// The conditions for `condition`, bound to `cursor`'s fields.
TQELDerivedIndexConditions QELDeriveIndexConditions(const TQELCursor& cursor, TQELExpression& condition);

// Sets a copy of `where` as the cursor's SQL filter, with the index
// conditions derived from it. In a subquery, `outerSource` is the
// enclosing query's row, which names the table lacks read, and
// `tableNames` are the names the statement gives the table. A comparison
// with an outer field serves the index with the value that field holds
// now, so the filter must be set anew for every outer row.
void QELSetSQLFilter(TQELCursor& cursor, const TQELExpression& where, TQELExprRecordSource* outerSource = nullptr,
                     std::vector<std::string> tableNames = {});
// The cursor's SQL filter (if any) with its index conditions derived anew,
// for the outer row now current, and the cursor's findings forgotten.
void QELRenewSQLFilter(TQELCursor& cursor);

}  // namespace qel
