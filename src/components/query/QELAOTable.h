#pragma once
// TQELAOTable: a base table of a plan. The table itself is the node's
// result: its filter goes to the table's cursor, which judges each record
// as it reads it, the ORDER BY becomes the cursor's index and the select
// list its projection, so a query on one table is read live, without a
// copy.

#include <memory>
#include <string>
#include <vector>

#include "components/query/QELAO.h"

namespace qel {

// Where a statement's tables are found.
struct TQELPlanContext {
  std::string DatabaseName;
  std::string SessionName;
  // Tables named without a database are memory tables.
  bool InMemory = false;
  // The outer query's row while a correlated subquery runs: the record
  // source its outer column references are bound to (null otherwise).
  TQELExprRecordSource* OuterSource = nullptr;
};

class TQELAOTable final : public TQELAO {
 public:
  TQELAOTable(const std::string& tableName, const std::string& alias, bool inMemory,
              const TQELPlanContext& context);
  // A node over rows already materialised (a join's or a derived table's),
  // whose temporary table it owns and deletes when it goes. `columns` are
  // the table's fields in order, each with the table name or alias and the
  // field name the statement knows it by.
  TQELAOTable(std::unique_ptr<TQELTable> table, std::vector<TQELFieldLink> columns);
  // Gives back a statement lock still held.
  ~TQELAOTable() override;

  // Opens the table; its fields become the node's columns, hidden until a
  // select list shows them. A failure raises 10303.
  void OpenTable();
  // Takes the condition's tree over as the node's filter.
  void SetFilter(TQELExpression& condition) { FFilter = &condition; }
  // The delivered columns: the named fields under their display names
  // (empty names keep the field's own); nothing named shows every field.
  void SetVisible(const std::vector<std::string>& fieldNames, const std::vector<std::string>& displayNames);
  // The order the rows are delivered in: field names with "ASC"/"DESC" and
  // "CASE"/"NO_CASE" for each.
  void SetOrder(std::vector<std::string> fields, std::vector<std::string> directions,
                std::vector<std::string> cases);
  void Open() override;
  // After Open, with the cursor read to its end: the rows are read again
  // for the outer row now current (a correlated subquery's next run), the
  // filter's index conditions made anew.
  void Renew();
  const TQELPlanContext& Context() const { return FContext; }
  // The table's name, and its alias when it has one: what column
  // references may qualify its fields by.
  std::vector<std::string> TableNames() const;

  // The lock every statement takes around opening its tables, and its
  // release, which raises `failureCode` ("Cannot unlock table") when the
  // lock cannot be given back.
  bool TryLock();
  void Unlock(std::int32_t failureCode);

 private:
  bool FInMemory;
  TQELPlanContext FContext;
  TQELExpression* FFilter = nullptr;
  std::vector<std::string> FVisibleNames;
  std::vector<std::string> FDisplayNames;
  std::vector<std::string> FOrderFields;
  std::vector<std::string> FOrderDirections;
  std::vector<std::string> FOrderCases;
  bool FLocked = false;
  // The result is a temporary table of the plan's.
  bool FOwnsTemporary = false;
};

}  // namespace qel
