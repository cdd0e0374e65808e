#pragma once
// Planning a query expression: each node of the parse tree (a SELECT
// block, or a set operation of two nodes) becomes a plan whose root's
// result cursor delivers the node's rows. A block over one table is read
// live where it can be; everything else is materialised into temporary
// tables.

#include <memory>
#include <vector>

#include "components/query/QELAO.h"
#include "components/query/QELAOTable.h"
#include "sql/QELSQLSelect.h"

namespace qel {

// The plan of `node`, opened: its result holds (or reads live) the node's
// rows in the order of `order` (the ORDER BY that applies to the node; may
// be empty). `resultReadOnly` tells whether the result may be edited; a
// result is editable only when `requestLive` asked for it and it is a base
// table read live.
std::unique_ptr<TQELAO> QELPlanQueryNode(TQELQueryExprNode& node, std::vector<TQELSortKey>& order,
                                         const TQELPlanContext& context, bool requestLive, bool& resultReadOnly);

// One SELECT block (QELQuerySelect.cpp).
std::unique_ptr<TQELAO> QELPlanSelectBlock(TQELSQLSelect& select, std::vector<TQELSortKey>& order,
                                           const TQELPlanContext& context, bool requestLive, bool& resultReadOnly);

// Whether a block's FROM is more than one base table: joins, several
// tables or derived tables.
bool QELNeedsFromPlan(TQELSQLSelect& select);
// Such a FROM (QELQueryFrom.cpp): its rows joined and materialised, as one
// table node whose columns carry the names the statement knows them by.
// The block's select list, the part of its WHERE that stays above the
// joins, GROUP BY, HAVING and `order` are renamed to the fields of that
// table, so that the block runs over it as over a single table.
std::unique_ptr<TQELAOTable> QELPlanFrom(TQELSQLSelect& select, std::vector<TQELSortKey>& order,
                                         const TQELPlanContext& context);

// The statement locks of a plan's base tables, taken while it opens: every
// table in order, starting over after a pause while one is held elsewhere
// (20225 in the end).
void QELLockForOpening(const std::vector<TQELAOTable*>& tables);

// The ORDER BY of a statement's query expression: a single block keeps its
// own, a set operation's belongs to the whole.
std::vector<TQELSortKey>& QELStatementOrder(TQELSQLUnion& statement);

// UNION, INTERSECT and EXCEPT of the node's two operands, materialised
// (QELAOUnion.cpp).
std::unique_ptr<TQELAO> QELPlanSetOperation(TQELQueryExprNode& node, std::vector<TQELSortKey>& order,
                                            const TQELPlanContext& context);

}  // namespace qel
