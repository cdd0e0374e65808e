// Subqueries in expressions: the runner a subquery node runs its statement
// through.
//
// The statement is planned and opened like any SELECT, with the node's
// outer row as the plan's outer source, so that the column references the
// subquery's own tables lack read the enclosing query's current row. A
// correlated subquery runs again for every outer row. A plan that
// computes its rows from one table is kept and run again: its source's
// filter takes the index conditions the new outer row gives, and the rows
// are handed over as values, without opening the table again or making a
// table for them. Any other plan is built again from the statement, which
// takes the outer fields' index conditions anew. Planning takes condition
// trees over (a base table's cursor filter owns its WHERE), so the runner
// copies every condition of the statement before the first run and puts
// fresh copies back before such a rebuild. Either way the statement is
// parsed once.

#include <memory>
#include <vector>

#include "components/query/QELAOTableExpr.h"
#include "components/query/QELPlan.h"
#include "components/query/QELQueryExecutor.h"
#include "platform/QELException.h"
#include "sql/QELSQLSelect.h"

namespace qel {

namespace {

// The WHERE, HAVING and ON conditions of a statement, its derived tables'
// included, as they were parsed.
class TConditionCopies {
 public:
  void Save(TQELSQLUnion& statement) { SaveNode(statement.QueryTree()); }

  void Restore() {
    for (TCopy& copy : FCopies) copy.Expression->SetRoot(copy.Root ? copy.Root->Clone() : nullptr);
  }

 private:
  struct TCopy {
    TQELExpression* Expression;
    std::unique_ptr<TQELExprNode> Root;
  };

  void SaveExpression(TQELExpression* expression) {
    if (expression == nullptr) return;
    FCopies.push_back({expression, expression->Root() != nullptr ? expression->Root()->Clone() : nullptr});
  }

  void SaveReference(TQELTableReference* reference) {
    if (reference == nullptr) return;
    SaveExpression(reference->OnCondition.get());
    if (reference->Subquery) SaveNode(reference->Subquery->QueryTree());
    SaveReference(reference->Left.get());
    SaveReference(reference->Right.get());
  }

  void SaveNode(TQELQueryExprNode* node) {
    if (node == nullptr) return;
    if (TQELSQLSelect* select = node->Select.get()) {
      SaveExpression(select->Where());
      SaveExpression(select->Having());
      for (auto& reference : select->TableRefs()) SaveReference(reference.get());
    }
    SaveNode(node->Left.get());
    SaveNode(node->Right.get());
  }

  std::vector<TCopy> FCopies;
};

// The rows of a result cursor, read into a record buffer of their own:
// the cursor's buffer belongs to the dataset that shows the result.
class TCursorRows final : public TQELSubqueryRows {
 public:
  ~TCursorRows() override { Release(); }

  void Attach(TQELCursor& cursor) {
    Release();
    FCursor = &cursor;
    FSaved = cursor.RecordBuffer;
    FBuffer = cursor.AllocRecordBuffer();
    cursor.RecordBuffer = FBuffer;
    cursor.First();
  }
  // Gives the cursor its own buffer back; before the cursor goes.
  void Release() {
    if (FCursor == nullptr) return;
    FCursor->RecordBuffer = FSaved;
    FCursor->FreeRecordBuffer(FBuffer);
    FCursor = nullptr;
  }

  const TQELFieldDefs& Columns() const override { return FCursor->VisibleFieldDefs(); }
  bool Next() override { return FCursor->GetRecord(grmNext) == grOK; }
  void GetValue(std::int32_t column, TQELVariant& value) override { FCursor->GetFieldValue(value, column, true); }

 private:
  TQELCursor* FCursor = nullptr;
  std::uint8_t* FSaved = nullptr;
  std::uint8_t* FBuffer = nullptr;
};

// Rows computed without a result table, with the columns of the table an
// earlier run made.
class TComputedRows final : public TQELSubqueryRows {
 public:
  void Start(const TQELFieldDefs& columns) {
    FColumns = &columns;
    FNext = 0;
  }
  std::vector<std::vector<TQELVariant>>& Rows() { return FRows; }

  const TQELFieldDefs& Columns() const override { return *FColumns; }
  bool Next() override {
    if (FNext >= FRows.size()) return false;
    FRow = FNext++;
    return true;
  }
  void GetValue(std::int32_t column, TQELVariant& value) override {
    value = FRows[FRow][static_cast<std::size_t>(column)];
  }

 private:
  const TQELFieldDefs* FColumns = nullptr;
  std::vector<std::vector<TQELVariant>> FRows;
  std::size_t FNext = 0;
  std::size_t FRow = 0;
};

class TQuerySubqueryRunner final : public TQELSubqueryRunner {
 public:
  TQuerySubqueryRunner(TQELSQLUnion& statement, TQELExprQuery* query, TQELExprRecordSource& outerSource)
      : FStatement(statement), FContext(QELPlanContextOf(query)) {
    FContext.OuterSource = &outerSource;
  }
  ~TQuerySubqueryRunner() override { FCursorRows.Release(); }

  TQELSubqueryRows& Run() override {
    FCursorRows.Release();
    if (FRoot != nullptr) {
      // Computed straight into rows: no table to make for each outer row.
      auto* computed = dynamic_cast<TQELAOTableExpr*>(FRoot.get());
      if (computed != nullptr && computed->CanComputeRows()) {
        computed->ComputeRows(FComputedRows.Rows());
        FComputedRows.Start(ResultCursor().VisibleFieldDefs());
        return FComputedRows;
      }
      if (!Rerun(*FRoot)) Plan();
    } else {
      Plan();
    }
    FCursorRows.Attach(ResultCursor());
    return FCursorRows;
  }

 private:
  // Runs the opened plan again, where it can be. A base table read live
  // is planned anew: a reader may have left its cursor anywhere in a scan
  // (EXISTS stops at the first row), and its filter is not replaced under
  // such a cursor.
  static bool Rerun(TQELAO& root) {
    if (auto* computed = dynamic_cast<TQELAOTableExpr*>(&root); computed != nullptr && computed->CanRerun()) {
      computed->Rerun();
      return true;
    }
    return false;
  }

  TQELCursor& ResultCursor() const {
    TQELCursor* cursor = FRoot->ResultCursor();
    if (cursor == nullptr) throw EQELException(10308, "Nil pointer occured");
    return *cursor;
  }

  void Plan() {
    // The last plan goes before its conditions are replaced.
    FRoot.reset();
    if (FPlans++ == 0) {
      FConditions.Save(FStatement);
    } else {
      FConditions.Restore();
    }
    TQELQueryExprNode* tree = FStatement.QueryTree();
    if (tree == nullptr) throw EQELException(30350, "Not implemented yet");
    // A single block keeps its ORDER BY itself; a query expression's
    // belongs to the whole.
    std::vector<TQELSortKey>& order = FStatement.SortKeyCount() > 0 || tree->Operation != qoSelect
                                          ? FStatement.SortKeys()
                                          : tree->Select->SortKeys();
    bool readOnly = true;
    FRoot = QELPlanQueryNode(*tree, order, FContext, false, readOnly);
  }

  TQELSQLUnion& FStatement;
  TQELPlanContext FContext;
  TConditionCopies FConditions;
  std::int64_t FPlans = 0;
  TComputedRows FComputedRows;
  // Last: the plan goes first, after its cursor got its buffer back.
  std::unique_ptr<TQELAO> FRoot;
  TCursorRows FCursorRows;
};

}  // namespace

std::unique_ptr<TQELSubqueryRunner> QELCreateSubqueryRunner(TQELSQLUnion& statement, TQELExprQuery* query,
                                                            TQELExprRecordSource& outerSource) {
  return std::make_unique<TQuerySubqueryRunner>(statement, query, outerSource);
}

}  // namespace qel
