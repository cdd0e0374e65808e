// SELECT: the plan of a query expression and the result the query
// component shows.
//
// A single SELECT block over one table whose select list names plain
// columns (or is "*") is served live from the table: the WHERE becomes the
// cursor's filter, ORDER BY its index and the list its projection.

#include <chrono>
#include <thread>

#include "components/db/QELSameText.h"
#include "components/query/QELAOTableExpr.h"
#include "components/query/QELPlan.h"
#include "components/query/QELQueryExecutor.h"
#include "platform/QELException.h"

namespace qel {

namespace {

// Locking the tables of a statement while its plan opens: every table in
// order, starting over after a pause when one is held elsewhere.
constexpr int kLockRounds = 900;
constexpr auto kLockPause = std::chrono::milliseconds(100);

// What the statement leaves behind: the plan, whose root's table cursor is
// the result.
class TPlanResult final : public TQELSQLResult {
 public:
  explicit TPlanResult(std::unique_ptr<TQELAO> root) : FRoot(std::move(root)) {}
  TQELCursor* Cursor() override { return FRoot->ResultCursor(); }

 private:
  std::unique_ptr<TQELAO> FRoot;
};

}  // namespace

void QELLockForOpening(const std::vector<TQELAOTable*>& tables) {
  for (int round = 0; round < kLockRounds; ++round) {
    std::size_t locked = 0;
    while (locked < tables.size() && tables[locked]->TryLock()) ++locked;
    if (locked == tables.size()) return;
    for (std::size_t i = 0; i < locked; ++i) tables[i]->Unlock(20226);
    std::this_thread::sleep_for(kLockPause);
  }
  throw EQELException(20225, "Table is locked");
}

namespace {

[[noreturn]] void NotYetPlanned() { throw EQELException(30350, "Not implemented yet"); }

// The select list as field names and display names; "*" alone shows every
// field (empty lists).
void SelectListNames(TQELSQLSelect& select, TQELAOTable& node, std::vector<std::string>& names,
                     std::vector<std::string>& displays) {
  if (select.SelectAll()) return;
  for (const TQELSelectListItem& item : select.SelectList()) {
    if (item.IsAllColumns) {
      for (const TQELFieldLink& column : node.Columns()) {
        names.push_back(column.FieldName);
        displays.emplace_back();
      }
      continue;
    }
    if (node.FindColumns(item.FieldName, item.TableName).empty()) {
      throw EQELException(10305, "Cannot find field %s", {item.FieldName});
    }
    names.push_back(item.FieldName);
    displays.push_back(item.Pseudonym);
  }
}

// ORDER BY over the delivered columns: a name (or a pseudonym), or the
// number of a column of the select list.
void PlaceOrder(std::vector<TQELSortKey>& sortKeys, TQELAOTable& node,
                const std::vector<std::string>& names, const std::vector<std::string>& displays) {
  std::vector<std::string> fields, directions, cases;
  for (const TQELSortKey& sortKey : sortKeys) {
    std::string field;
    const std::size_t count = names.empty() ? node.Columns().size() : names.size();
    if (const std::int32_t position = QELSortKeyPosition(sortKey, count); position >= 0) {
      field = names.empty() ? node.Columns()[static_cast<std::size_t>(position)].FieldName
                            : names[static_cast<std::size_t>(position)];
    } else {
      for (std::size_t i = 0; i < displays.size() && field.empty(); ++i) {
        if (!displays[i].empty() && QELSameText(displays[i], sortKey.FieldName)) field = names[i];
      }
      if (field.empty() && !node.FindColumns(sortKey.FieldName, sortKey.TableName).empty()) field = sortKey.FieldName;
      if (field.empty()) QELRaiseSortKeyNotFound(sortKey);
    }
    fields.push_back(field);
    directions.push_back(sortKey.Descending ? "DESC" : "ASC");
    cases.push_back("CASE");
  }
  if (!fields.empty()) node.SetOrder(std::move(fields), std::move(directions), std::move(cases));
}

}  // namespace

std::unique_ptr<TQELAO> QELPlanSelectBlock(TQELSQLSelect& select, std::vector<TQELSortKey>& order,
                                           const TQELPlanContext& context, bool requestLive, bool& resultReadOnly) {
  std::unique_ptr<TQELAOTable> source;
  const bool joined = QELNeedsFromPlan(select);
  if (joined) {
    source = QELPlanFrom(select, order, context);
  } else {
    const TQELTableReference& reference = *select.TableRefs()[0];
    if (!reference.DatabaseName.empty()) NotYetPlanned();
    source = std::make_unique<TQELAOTable>(reference.TableName, reference.Alias,
                                           reference.InMemory || context.InMemory, context);
    source->OpenTable();
    // The statement lock is held while the plan opens; a node that still
    // holds it when it goes gives it back.
    QELLockForOpening({source.get()});
  }
  if (select.Where() != nullptr) source->SetFilter(*select.Where());
  if (select.ReadsColumnsOnly()) {
    std::vector<std::string> names, displays;
    SelectListNames(select, *source, names, displays);
    PlaceOrder(order, *source, names, displays);
    source->SetVisible(names, displays);
    source->Open();
    source->Unlock(20227);
    // Joined rows are a copy: changing them would change no table.
    resultReadOnly = joined || !requestLive || source->Result()->ReadOnly();
    return source;
  }
  // The group columns must be columns of the source; the copy walks the
  // rows in their order.
  for (std::size_t i = 0; i < select.GroupBy().Items.size(); ++i) {
    const TQELSelectListItem& item = select.GroupBy().Items[i];
    if (item.Expression || source->FindColumns(item.FieldName, item.TableName).empty()) {
      throw EQELException(20245,
                          "Invalid field for GROUP BY. Table name = '%s', FieldName = '%s', i = %d, FieldExists = %d",
                          {source->Result()->TableName(), item.FieldName, static_cast<std::int64_t>(i), 0});
    }
  }
  auto copy = std::make_unique<TQELAOTableExpr>(std::move(source), select);
  copy->BindSelectList();
  copy->SetOrder(order);
  copy->Open();
  resultReadOnly = true;
  return copy;
}

std::unique_ptr<TQELAO> QELPlanQueryNode(TQELQueryExprNode& node, std::vector<TQELSortKey>& order,
                                         const TQELPlanContext& context, bool requestLive, bool& resultReadOnly) {
  if (node.Operation != qoSelect) {
    resultReadOnly = true;
    return QELPlanSetOperation(node, order, context);
  }
  if (!node.Select) NotYetPlanned();
  return QELPlanSelectBlock(*node.Select, order, context, requestLive, resultReadOnly);
}

std::vector<TQELSortKey>& QELStatementOrder(TQELSQLUnion& statement) {
  TQELQueryExprNode* tree = statement.QueryTree();
  if (statement.SortKeyCount() > 0 || tree == nullptr || tree->Operation != qoSelect || !tree->Select) {
    return statement.SortKeys();
  }
  return tree->Select->SortKeys();
}

void QELExecuteSelect(TQELSQLUnion& statement, const TQELPlanContext& context, bool& resultReadOnly,
                      bool requestLive) {
  TQELQueryExprNode* tree = statement.QueryTree();
  if (tree == nullptr) NotYetPlanned();
  if (!statement.IntoTable().empty()) QELCheckIntoTarget(statement, context);
  std::vector<TQELSortKey>& order = QELStatementOrder(statement);
  statement.SetResult(
      std::make_unique<TPlanResult>(QELPlanQueryNode(*tree, order, context, requestLive, resultReadOnly)));
  if (!statement.IntoTable().empty()) QELSelectInto(statement, context);
}

}  // namespace qel
