// The FROM of a block with joins, several tables or derived tables: a tree
// of FROM items whose joins are materialised bottom-up into one temporary
// table, over which the rest of the block (select list, WHERE, grouping,
// order) then runs as over a single table.
//
// The WHERE is split into its conjuncts. An equality between columns of
// the two inputs of an inner (or comma) join becomes a key of that join; a
// conjunct over the columns of one base table goes into that table's own
// filter, where the cursor can use an index for it. Neither crosses an
// outer join: conditions above it are judged on the joined rows. Whatever
// stays is judged on the joined rows, with its column references renamed
// to the fields of the joined table.

#include <algorithm>

#include "components/db/QELSameText.h"
#include "components/query/QELAOJoin.h"
#include "components/query/QELPlan.h"
#include "components/query/QELTemporaryTable.h"
#include "platform/QELException.h"
#include "sql/QELExprNodeComparison.h"
#include "sql/QELExprNodeField.h"
#include "sql/QELExprNodeSubquery.h"

namespace qel {

namespace {

using TNodePtr = std::unique_ptr<TQELExprNode>;

// One item of the FROM tree.
struct TFromItem {
  TQELTableReferenceKind Kind = trkTable;
  // A base table or a derived table: its node (opened when planned) and
  // the names its columns are known by.
  std::unique_ptr<TQELAO> Node;
  TQELAOTable* Table = nullptr;  // the node, for a base table
  std::string TableName;
  std::string Alias;
  std::unique_ptr<TQELExpression> Filter;  // conjuncts placed on a base table
  // A join.
  std::unique_ptr<TFromItem> Left;
  std::unique_ptr<TFromItem> Right;
  TQELJoinType JoinType = jtNone;  // jtNone: no keys yet (a cross join)
  std::vector<TQELJoinKey> Keys;
  std::unique_ptr<TQELExpression> Residual;
  // The columns of the item: a join's are its left item's then its right
  // item's.
  std::vector<TQELFieldLink> Columns;

  bool IsOuterJoin() const { return Kind == trkJoin && JoinType >= jtLeft; }
  std::size_t LeftWidth() const { return Left ? Left->Columns.size() : 0; }
};

// ---- names

bool NamesItem(const TFromItem& leaf, std::string_view tableName) {
  return QELSameText(tableName, leaf.Alias) || (leaf.Kind == trkTable && QELSameText(tableName, leaf.TableName));
}

// The columns of `item` a (qualified) name matches, as numbers among the
// item's columns.
void Resolve(const TFromItem& item, std::string_view tableName, std::string_view fieldName,
             std::vector<std::int32_t>& numbers, std::int32_t offset = 0) {
  if (item.Kind == trkJoin) {
    Resolve(*item.Left, tableName, fieldName, numbers, offset);
    Resolve(*item.Right, tableName, fieldName, numbers, offset + static_cast<std::int32_t>(item.LeftWidth()));
    return;
  }
  if (!tableName.empty() && !NamesItem(item, tableName)) return;
  for (std::size_t i = 0; i < item.Columns.size(); ++i) {
    if (QELSameText(item.Columns[i].FieldName, fieldName)) numbers.push_back(offset + static_cast<std::int32_t>(i));
  }
}

std::vector<std::int32_t> Resolve(const TFromItem& item, const TQELExprNodeField& field) {
  std::vector<std::int32_t> numbers;
  Resolve(item, field.TableName(), field.FieldName(), numbers);
  return numbers;
}

// The field references of a tree (not looking into subqueries); false
// when it holds a subquery, whose references cannot be seen.
bool CollectFields(TQELExprNode& node, std::vector<TQELExprNodeField*>& fields) {
  if (auto* field = dynamic_cast<TQELExprNodeField*>(&node)) {
    fields.push_back(field);
    return true;
  }
  if (dynamic_cast<TQELExprNodeSubquery*>(&node) != nullptr) return false;
  for (std::int32_t i = 0; i < node.ChildCount(); ++i) {
    if (!CollectFields(node.Child(i), fields)) return false;
  }
  return true;
}

// ---- conjuncts

std::vector<TNodePtr> TakeConjuncts(TQELExpression& expression) {
  std::vector<TNodePtr> conjuncts;
  TNodePtr root = expression.ReleaseRoot();
  if (!root) return conjuncts;
  if (root->Operator() == eoAnd) {
    while (root->ChildCount() > 0) conjuncts.push_back(root->ReleaseChild(0));
  } else {
    conjuncts.push_back(std::move(root));
  }
  return conjuncts;
}

void AddConjunct(std::unique_ptr<TQELExpression>& target, TNodePtr conjunct, const TQELExpression& flags) {
  if (!target) {
    target = std::make_unique<TQELExpression>();
    target->SetCaseInsensitive(flags.CaseInsensitive());
    target->SetPartialCompare(flags.PartialCompare());
  }
  TQELExpression added;
  added.SetRoot(std::move(conjunct));
  target->AndWith(added);
}

// An equality of two column references: its fields.
bool IsFieldEquality(TQELExprNode& node, TQELExprNodeField*& a, TQELExprNodeField*& b) {
  auto* comparison = dynamic_cast<TQELExprNodeComparison*>(&node);
  if (comparison == nullptr || node.Operator() != eoEqual || comparison->Quantifier() != qtNone ||
      node.ChildCount() != 2 || comparison->Partial()) {
    return false;
  }
  a = dynamic_cast<TQELExprNodeField*>(&node.Child(0));
  b = dynamic_cast<TQELExprNodeField*>(&node.Child(1));
  return a != nullptr && b != nullptr;
}

[[noreturn]] void RaiseAmbiguous(std::int32_t code, const TQELExprNodeField& field) {
  throw EQELException(code, "Ambiguous field reference to '%s'", {field.FieldName()});
}

// The columns of `item` that the two fields of an equality name, when the
// conjunct is one and each field names exactly one column; a field that
// names several raises 10404 (the first) or 10405 (the second).
bool EqualityColumns(const TFromItem& item, TQELExprNode& conjunct, std::int32_t& a, std::int32_t& b) {
  TQELExprNodeField* first = nullptr;
  TQELExprNodeField* second = nullptr;
  if (!IsFieldEquality(conjunct, first, second)) return false;
  const std::vector<std::int32_t> firstColumns = Resolve(item, *first);
  const std::vector<std::int32_t> secondColumns = Resolve(item, *second);
  if (firstColumns.size() > 1) RaiseAmbiguous(10404, *first);
  if (secondColumns.size() > 1) RaiseAmbiguous(10405, *second);
  if (firstColumns.size() != 1 || secondColumns.size() != 1) return false;
  a = firstColumns[0];
  b = secondColumns[0];
  return true;
}

// Makes the equality `conjunct` a key of the lowest join under `item`
// (crossing no outer join) whose two inputs hold its two columns; false
// when there is none.
bool PlaceJoinKey(TFromItem& item, std::int32_t a, std::int32_t b) {
  if (item.Kind != trkJoin || item.IsOuterJoin()) return false;
  const auto width = static_cast<std::int32_t>(item.LeftWidth());
  const bool aLeft = a < width;
  const bool bLeft = b < width;
  if (aLeft && bLeft) return PlaceJoinKey(*item.Left, a, b);
  if (!aLeft && !bLeft) return PlaceJoinKey(*item.Right, a - width, b - width);
  TQELJoinKey key;
  key.LeftColumn = aLeft ? a : b;
  key.RightColumn = (aLeft ? b : a) - width;
  item.Keys.push_back(key);
  if (item.JoinType == jtNone) item.JoinType = jtInner;
  return true;
}

// The base table under `item` (crossing no outer join) that holds every
// column in `columns`; null when there is none.
TFromItem* BaseTableOf(TFromItem& item, const std::vector<std::int32_t>& columns) {
  if (item.Kind == trkTable) return &item;
  if (item.Kind != trkJoin || item.IsOuterJoin()) return nullptr;
  const auto width = static_cast<std::int32_t>(item.LeftWidth());
  const bool allLeft = std::all_of(columns.begin(), columns.end(), [&](std::int32_t c) { return c < width; });
  const bool allRight = std::all_of(columns.begin(), columns.end(), [&](std::int32_t c) { return c >= width; });
  if (allLeft) return BaseTableOf(*item.Left, columns);
  if (allRight) {
    std::vector<std::int32_t> shifted;
    for (const std::int32_t c : columns) shifted.push_back(c - width);
    return BaseTableOf(*item.Right, shifted);
  }
  return nullptr;
}

enum class TPlacement { Placed, Kept };

// Places one conjunct of a condition judged on `item`'s rows: as a join
// key, or on a base table. The two fields of an equality that match more
// than one column raise 10404 (the first) and 10405 (the second).
TPlacement PlaceConjunct(TFromItem& item, TNodePtr& conjunct, const TQELExpression& flags) {
  std::vector<TQELExprNodeField*> fields;
  if (!CollectFields(*conjunct, fields)) return TPlacement::Kept;
  std::int32_t a = -1;
  std::int32_t b = -1;
  if (EqualityColumns(item, *conjunct, a, b) && PlaceJoinKey(item, a, b)) {
    conjunct.reset();
    return TPlacement::Placed;
  }
  std::vector<std::int32_t> columns;
  for (const TQELExprNodeField* field : fields) {
    const std::vector<std::int32_t> found = Resolve(item, *field);
    if (found.size() != 1) return TPlacement::Kept;
    columns.push_back(found[0]);
  }
  if (columns.empty()) return TPlacement::Kept;
  TFromItem* table = BaseTableOf(item, columns);
  if (table == nullptr) return TPlacement::Kept;
  AddConjunct(table->Filter, std::move(conjunct), flags);
  return TPlacement::Placed;
}

// ---- building the tree

class TFromPlanner {
 public:
  TFromPlanner(const TQELPlanContext& context) : FContext(context) {}

  std::unique_ptr<TFromItem> Build(TQELTableReference& reference);
  std::unique_ptr<TFromItem> Cross(std::unique_ptr<TFromItem> left, std::unique_ptr<TFromItem> right);
  // The rows of the tree, materialised.
  std::unique_ptr<TQELAO> Execute(TFromItem& item);
  const std::vector<TQELAOTable*>& Tables() const { return FTables; }

 private:
  std::unique_ptr<TFromItem> BuildTable(const TQELTableReference& reference);
  std::unique_ptr<TFromItem> BuildDerived(TQELTableReference& reference);
  void JoinColumns(TFromItem& join);
  void KeysByName(TFromItem& join, const std::vector<std::string>& names);
  void PlaceOnCondition(TFromItem& join, TQELExpression& condition);

  const TQELPlanContext& FContext;
  std::vector<TQELAOTable*> FTables;
};

std::unique_ptr<TFromItem> TFromPlanner::BuildTable(const TQELTableReference& reference) {
  if (!reference.DatabaseName.empty()) throw EQELException(30350, "Not implemented yet");
  auto item = std::make_unique<TFromItem>();
  item->Kind = trkTable;
  item->TableName = reference.TableName;
  item->Alias = reference.Alias;
  auto table = std::make_unique<TQELAOTable>(reference.TableName, reference.Alias,
                                             reference.InMemory || FContext.InMemory, FContext);
  table->OpenTable();
  item->Table = table.get();
  for (const TQELFieldLink& column : table->Columns()) item->Columns.push_back(column.Described());
  item->Node = std::move(table);
  FTables.push_back(item->Table);
  return item;
}

std::unique_ptr<TFromItem> TFromPlanner::BuildDerived(TQELTableReference& reference) {
  TQELSQLUnion& statement = *reference.Subquery;
  if (statement.QueryTree() == nullptr) throw EQELException(30350, "Not implemented yet");
  auto item = std::make_unique<TFromItem>();
  item->Kind = trkDerived;
  item->Alias = reference.Alias;
  bool readOnly = true;
  item->Node = QELPlanQueryNode(*statement.QueryTree(), QELStatementOrder(statement), FContext, false, readOnly);
  // The derived table's columns are what its result shows.
  TQELCursor& cursor = *item->Node->ResultCursor();
  const TQELFieldDefs& visible = cursor.VisibleFieldDefs();
  for (std::int32_t i = 0; i < visible.Count(); ++i) {
    TQELFieldLink& column = item->Columns.emplace_back();
    column.FieldName = column.DisplayName = visible[i].Name();
    column.TableName = reference.Alias;
    column.DataType = visible[i].AdvancedFieldType();
    column.Size = visible[i].Size();
    column.IsHidden = false;
    column.SourceColumn = cursor.SourceFieldNo(i);
  }
  item->Node->Columns().clear();
  for (const TQELFieldLink& column : item->Columns) item->Node->Columns().push_back(column.Described());
  return item;
}

void TFromPlanner::JoinColumns(TFromItem& join) {
  join.Columns.clear();
  for (const TFromItem* side : {join.Left.get(), join.Right.get()}) {
    for (const TQELFieldLink& column : side->Columns) join.Columns.push_back(column.Described());
  }
}

std::unique_ptr<TFromItem> TFromPlanner::Cross(std::unique_ptr<TFromItem> left, std::unique_ptr<TFromItem> right) {
  auto join = std::make_unique<TFromItem>();
  join->Kind = trkJoin;
  join->Left = std::move(left);
  join->Right = std::move(right);
  JoinColumns(*join);
  return join;
}

// NATURAL and USING: the named columns of the left input equal the
// same-named ones of the right.
void TFromPlanner::KeysByName(TFromItem& join, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    std::vector<std::int32_t> left, right;
    Resolve(*join.Left, "", name, left);
    Resolve(*join.Right, "", name, right);
    if (left.size() > 1) throw EQELException(10404, "Ambiguous field reference to '%s'", {name});
    if (right.size() > 1) throw EQELException(10405, "Ambiguous field reference to '%s'", {name});
    if (left.empty() || right.empty()) {
      throw EQELException(10331,
                          "Invalid field for join operation. Table name = '%s', FieldName = '%s', i = %d, "
                          "FieldExists = %d",
                          {left.empty() ? join.Left->TableName : join.Right->TableName, name,
                           static_cast<std::int64_t>(join.Keys.size()), 0});
    }
    join.Keys.push_back({left[0], right[0]});
  }
}

// ON: equalities between the inputs become keys; for an inner join the
// rest is placed like WHERE conjuncts below it, or judged on each pair;
// an outer join judges all of it on each pair. A condition naming columns
// the join has not raises 20270.
void TFromPlanner::PlaceOnCondition(TFromItem& join, TQELExpression& condition) {
  for (TNodePtr& conjunct : TakeConjuncts(condition)) {
    std::vector<TQELExprNodeField*> fields;
    if (CollectFields(*conjunct, fields)) {
      for (const TQELExprNodeField* field : fields) {
        if (Resolve(join, *field).empty()) throw EQELException(20270, "ON condition for JOIN is not applicable");
      }
    }
    std::int32_t a = -1;
    std::int32_t b = -1;
    const auto width = static_cast<std::int32_t>(join.LeftWidth());
    if (EqualityColumns(join, *conjunct, a, b) && (a < width) != (b < width)) {
      const bool aLeft = a < width;
      join.Keys.push_back({aLeft ? a : b, (aLeft ? b : a) - width});
      continue;
    }
    if (!join.IsOuterJoin()) {
      // Below an inner join the conjunct may go to one of its tables.
      const TQELJoinType type = join.JoinType;
      join.JoinType = jtInner;
      const TPlacement placement = PlaceConjunct(join, conjunct, condition);
      join.JoinType = type;
      if (placement == TPlacement::Placed) continue;
    }
    AddConjunct(join.Residual, std::move(conjunct), condition);
  }
}

std::unique_ptr<TFromItem> TFromPlanner::Build(TQELTableReference& reference) {
  if (reference.Kind == trkTable) return BuildTable(reference);
  if (reference.Kind == trkDerived) return BuildDerived(reference);
  std::unique_ptr<TFromItem> join = Cross(Build(*reference.Left), Build(*reference.Right));
  join->JoinType = reference.IsCross ? jtNone : reference.JoinType;
  if (reference.IsNatural) {
    std::vector<std::string> common;
    for (const TQELFieldLink& column : join->Left->Columns) {
      std::vector<std::int32_t> right;
      Resolve(*join->Right, "", column.FieldName, right);
      if (!right.empty()) common.push_back(column.FieldName);
    }
    KeysByName(*join, common);
  } else if (!reference.UsingColumns.empty()) {
    KeysByName(*join, reference.UsingColumns);
  }
  if (reference.OnCondition) PlaceOnCondition(*join, *reference.OnCondition);
  // An inner join with neither keys nor a condition pairs every row.
  if (join->JoinType == jtInner && join->Keys.empty() && !join->Residual) join->JoinType = jtNone;
  return join;
}

std::unique_ptr<TQELAO> TFromPlanner::Execute(TFromItem& item) {
  if (item.Kind == trkTable) {
    if (item.Filter) item.Table->SetFilter(*item.Filter);
    item.Table->Open();
    return std::move(item.Node);
  }
  if (item.Kind == trkDerived) return std::move(item.Node);
  std::unique_ptr<TQELAO> left = Execute(*item.Left);
  std::unique_ptr<TQELAO> right = Execute(*item.Right);
  const TQELJoinType type = item.JoinType == jtInner && item.Keys.empty() && !item.Residual ? jtNone : item.JoinType;
  auto join = std::make_unique<TQELAOJoin>(std::move(left), std::move(right), type, std::move(item.Keys),
                                           std::move(item.Residual));
  join->Open();
  return join;
}

// ---- the block over the joined rows

// The field of the joined table a (qualified) name stands for: the first
// column it matches; empty when it matches none.
std::string FieldOf(const TQELAO& joined, const TQELFieldDefs& fields, std::string_view tableName,
                    std::string_view fieldName) {
  const std::vector<std::int32_t> numbers = joined.FindColumns(fieldName, tableName);
  if (numbers.empty()) return {};
  return fields[numbers[0]].Name();
}

void RenameFields(TQELExprNode& node, const TQELAO& joined, const TQELFieldDefs& fields) {
  for (std::int32_t i = 0; i < node.ChildCount(); ++i) {
    TQELExprNode& child = node.Child(i);
    if (const auto* field = dynamic_cast<const TQELExprNodeField*>(&child)) {
      const std::string name = FieldOf(joined, fields, field->TableName(), field->FieldName());
      if (!name.empty()) node.ReplaceChild(i, std::make_unique<TQELExprNodeField>("", name));
    } else {
      RenameFields(child, joined, fields);
    }
  }
}

void RenameFields(TQELExpression* expression, const TQELAO& joined, const TQELFieldDefs& fields) {
  if (expression == nullptr || expression->Root() == nullptr) return;
  if (const auto* field = dynamic_cast<const TQELExprNodeField*>(expression->Root())) {
    const std::string name = FieldOf(joined, fields, field->TableName(), field->FieldName());
    if (!name.empty()) expression->SetRoot(std::make_unique<TQELExprNodeField>("", name));
    return;
  }
  RenameFields(*expression->Root(), joined, fields);
}

// The select list over the joined table: "table.*" becomes that table's
// columns; a plain column names its field and keeps its own name for the
// display.
void RenameSelectList(TQELSQLSelect& select, const TQELAO& joined, const TQELFieldDefs& fields) {
  std::vector<TQELSelectListItem> items;
  for (TQELSelectListItem& item : select.SelectList()) {
    if (item.IsAllColumns && !item.TableName.empty()) {
      bool any = false;
      for (std::size_t i = 0; i < joined.Columns().size(); ++i) {
        const TQELFieldLink& column = joined.Columns()[i];
        if (!QELSameText(column.TableName, item.TableName)) continue;
        TQELSelectListItem plain;
        plain.FieldName = fields[static_cast<std::int32_t>(i)].Name();
        plain.Pseudonym = column.FieldName;
        items.push_back(std::move(plain));
        any = true;
      }
      if (!any) throw EQELException(10305, "Cannot find field %s", {item.TableName + ".*"});
      continue;
    }
    if (!item.IsAllColumns && !item.Expression) {
      const std::string name = FieldOf(joined, fields, item.TableName, item.FieldName);
      if (name.empty()) throw EQELException(10305, "Cannot find field %s", {item.FieldName});
      if (item.Pseudonym.empty()) item.Pseudonym = item.FieldName;
      item.FieldName = name;
      item.TableName.clear();
    }
    RenameFields(item.Expression.get(), joined, fields);
    items.push_back(std::move(item));
  }
  select.SelectList() = std::move(items);
}

void RenameBlock(TQELSQLSelect& select, std::vector<TQELSortKey>& order, const TQELAO& joined,
                 const TQELFieldDefs& fields) {
  RenameSelectList(select, joined, fields);
  RenameFields(select.Where(), joined, fields);
  RenameFields(select.Having(), joined, fields);
  for (TQELSelectListItem& item : select.GroupBy().Items) {
    if (item.Expression) continue;
    const std::string name = FieldOf(joined, fields, item.TableName, item.FieldName);
    if (name.empty()) continue;
    item.FieldName = name;
    item.TableName.clear();
  }
  for (TQELSortKey& key : order) {
    // A select-list name comes before a column's.
    const bool isPseudonym = key.TableName.empty() &&
                             std::any_of(select.SelectList().begin(), select.SelectList().end(),
                                         [&](const TQELSelectListItem& item) {
                                           return QELSameText(item.Pseudonym, key.FieldName);
                                         });
    if (isPseudonym) continue;
    const std::string name = FieldOf(joined, fields, key.TableName, key.FieldName);
    if (name.empty()) continue;
    key.FieldName = name;
    key.TableName.clear();
  }
}

// The rows of a derived table alone, copied into a table of the block's.
std::unique_ptr<TQELAO> CopyOf(std::unique_ptr<TQELAO> node) {
  auto join = std::make_unique<TQELAOJoin>(std::move(node), nullptr, jtNone, std::vector<TQELJoinKey>{}, nullptr);
  join->Open();
  return join;
}

}  // namespace

bool QELNeedsFromPlan(TQELSQLSelect& select) {
  return select.TableRefCount() != 1 || select.TableRefs()[0]->Kind != trkTable;
}

std::unique_ptr<TQELAOTable> QELPlanFrom(TQELSQLSelect& select, std::vector<TQELSortKey>& order,
                                         const TQELPlanContext& context) {
  TFromPlanner planner(context);
  std::unique_ptr<TFromItem> tree;
  for (const std::unique_ptr<TQELTableReference>& reference : select.TableRefs()) {
    std::unique_ptr<TFromItem> item = planner.Build(*reference);
    tree = tree ? planner.Cross(std::move(tree), std::move(item)) : std::move(item);
  }
  if (!tree) throw EQELException(30350, "Not implemented yet");
  if (TQELExpression* where = select.Where(); where != nullptr) {
    for (TNodePtr& conjunct : TakeConjuncts(*where)) {
      if (PlaceConjunct(*tree, conjunct, *where) == TPlacement::Kept) {
        TQELExpression kept;
        kept.SetRoot(std::move(conjunct));
        where->AndWith(kept);
      }
    }
  }
  QELLockForOpening(planner.Tables());
  std::unique_ptr<TQELAO> rows = planner.Execute(*tree);
  if (tree->Kind != trkJoin) rows = CopyOf(std::move(rows));
  auto& join = static_cast<TQELAOJoin&>(*rows);
  std::vector<TQELFieldLink> columns;
  for (const TQELFieldLink& column : join.Columns()) columns.push_back(column.Described());
  auto joined = std::make_unique<TQELAOTable>(join.TakeResult(), std::move(columns));
  const TQELFieldDefs& fields = joined->ResultCursor()->FieldDefs();
  RenameBlock(select, order, *joined, fields);
  // From here on the block names the joined table's own fields.
  for (std::size_t i = 0; i < joined->Columns().size(); ++i) {
    TQELFieldLink& column = joined->Columns()[i];
    column.FieldName = column.DisplayName = fields[static_cast<std::int32_t>(i)].Name();
    column.TableName.clear();
  }
  return joined;
}

}  // namespace qel
