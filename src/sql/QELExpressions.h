#pragma once
// The expression unit: the parser and tree (TQELExpression), every node
// class, the LIKE matcher and the cursor binding.

#include "sql/QELExprNode.h"
#include "sql/QELExprNodeAggregated.h"
#include "sql/QELExprNodeArithmetic.h"
#include "sql/QELExprNodeBlob.h"
#include "sql/QELExprNodeBoolean.h"
#include "sql/QELExprNodeCase.h"
#include "sql/QELExprNodeCast.h"
#include "sql/QELExprNodeComparison.h"
#include "sql/QELExprNodeDateFunction.h"
#include "sql/QELExprNodeField.h"
#include "sql/QELExprNodeStringFunction.h"
#include "sql/QELExprNodeSubquery.h"
#include "sql/QELExprNodeSystem.h"
#include "sql/QELExpression.h"
#include "sql/QELExpressionCursor.h"
#include "sql/QELExpressionErrors.h"
#include "sql/QELLikeMatcher.h"
