#pragma once
// TQELAOTableExpr: the rows of one base table computed and copied into a
// temporary table, for what a live read cannot deliver: computed columns,
// grouping with aggregates and HAVING, DISTINCT and TOP. The rows are
// walked once in the order of the GROUP BY columns (sorted in memory, or
// through an index over them); a group ends where a
// row's group values differ from the previous row's (NULLs equal), and is
// finished against that previous row, so that its plain columns and HAVING
// read the group's own values.
//
// DISTINCT removes repeated rows for real (the temporary table checks no
// unique index), ORDER BY becomes an index of the result, and TOP keeps the
// rows from its start, counted in that order. TOP over an ORDER BY of
// source columns copies only the rows it keeps, chosen in one walk.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "components/query/QELAOTable.h"
#include "components/query/QELIndexOrder.h"
#include "sql/QELExpressionCursor.h"
#include "sql/QELSQLSelect.h"
#include "storage/QELIndexManager.h"

namespace qel {

class TQELAOTableExpr final : public TQELAO {
 public:
  // `source` has its table open and is opened by Open; `select` (not
  // owned) stays alive while the node does.
  TQELAOTableExpr(std::unique_ptr<TQELAOTable> source, TQELSQLSelect& select);
  ~TQELAOTableExpr() override;

  // The output columns from the select list, bound to the source's fields;
  // raises the GROUP BY errors for columns that are neither grouped nor
  // aggregated.
  void BindSelectList();
  void SetOrder(const std::vector<TQELSortKey>& sortKeys);
  void Open() override;
  // A subquery's plan (one with an outer source) keeps its source open
  // after the copy, so that Rerun can compute the result again for the
  // outer row then current (a correlated subquery's next run).
  bool CanRerun() const { return FSource != nullptr && FCopyLimit < 0; }
  void Rerun();
  // The same, but the rows (the outputs' values, in the source's order)
  // go to `rows` instead of a result table, which stays as the last run
  // left it: no table is made. Not for DISTINCT or TOP, which work on the
  // result table.
  bool CanComputeRows() const;
  void ComputeRows(std::vector<std::vector<TQELVariant>>& rows);

 private:
  struct TOutput {
    std::string Name;
    TQELAdvancedFieldType DataType = aftUnknown;
    std::int32_t Size = 0;
    // A source field read as it is, or an expression of the select list
    // (not owned).
    std::int32_t SourceField = -1;
    TQELExpression* Expression = nullptr;
  };

  bool Aggregating() const { return FAggregating; }
  void AddSourceField(std::int32_t fieldNo, const std::string& name);
  void CheckGrouped(const TQELSelectListItem& item) const;
  void NameColumns();
  // A new, open temporary table with one field per output.
  std::unique_ptr<TQELTable> NewResultTable() const;
  void CopyRows();
  // Group boundaries: the group fields' values of `record`.
  void GroupValues(const std::uint8_t* record, std::vector<TQELVariant>& values) const;
  // The group fields in ascending, case-sensitive order.
  TQELIndexColumnRequest GroupOrder() const;
  // Grouped rows are walked in the order of their group fields: sorted in
  // memory after one walk of the source, or read through an index over
  // the group fields when something reads BLOB values or the rows are too
  // many to hold.
  void ChooseGroupOrder();
  void OrderSourceByGroups();
  // Walks the source into copies of its rows and sorts them; null, with
  // the source put in the order of an index instead, when they are too
  // many.
  std::unique_ptr<TQELSortedRecords> SortGroupRows(TQELCursor& cursor);
  void ResetGroup();
  void AccumulateRow();
  // The value output `index` computes from the source's current record.
  void OutputValue(std::size_t index, TQELVariant& value);
  // Appends the row the outputs compute from the source's current record,
  // when HAVING (if any) holds for it; answers whether it did.
  bool AppendRow();
  // Every output is COUNT(*) over one group of all rows: the count is the
  // source cursor's, which honours the whole WHERE, without a row read.
  bool CountsOnly() const;
  // TOP over plain rows ordered by source fields: the rows TOP keeps are
  // chosen in one walk of the source by a bounded heap in the order an
  // index over those fields would give, instead of building that index.
  void ChooseTopRowsByHeap();
  // Walks the source, then appends the rows the heap kept, in order.
  void CopyTopRows(TQELCursor& cursor);
  // Copies the result, in its current order, into a new temporary table
  // that replaces it: without rows equal to the one before (`distinct`),
  // and only the rows from `start` on, at most `count` of them (-1: all).
  void Recopy(bool distinct, std::int64_t start, std::int64_t count);
  void RemoveDuplicates();
  void ApplyOrderAndTop();
  // The result table made from the open source.
  void Materialise();

  std::unique_ptr<TQELAOTable> FSource;
  TQELSQLSelect& FSelect;
  std::unique_ptr<TQELCursorRecordSource> FRecordSource;
  std::vector<TOutput> FOutputs;
  std::vector<std::int32_t> FGroupFields;
  bool FAggregating = false;
  std::vector<std::string> FOrderFields;
  std::vector<std::string> FOrderDirections;
  // The rows TOP keeps counted from the first, when a heap chooses them;
  // -1: all rows are copied.
  std::int64_t FCopyLimit = -1;
  // Set when TOP's rows are chosen by a heap (ChooseTopRowsByHeap).
  std::unique_ptr<TQELTopRows> FTopRows;
  bool FGroupsInMemory = false;
  // Where AppendRow puts rows instead of the result table (ComputeRows).
  std::vector<std::vector<TQELVariant>>* FRowSink = nullptr;
};

}  // namespace qel
