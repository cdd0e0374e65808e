#pragma once
// The statements with a result set: TQELSQLSelect, one SELECT block, and
// TQELSQLUnion, a query expression of SELECT blocks joined by UNION,
// EXCEPT (MINUS) and INTERSECT, with its ORDER BY. Their parse trees carry
// what the query layer plans from: the select list, the FROM references
// with their join trees and derived tables, WHERE, GROUP BY, HAVING, the
// sort keys, TOP and the INTO target.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sql/QELExpression.h"
#include "sql/QELSQLCommand.h"

namespace qel {

class TQELSQLUnion;

struct TQELSortKey {
  std::string TableName;
  // A column name, or a 1-based column number written as digits.
  std::string FieldName;
  bool Descending = false;
};

enum TQELTableReferenceKind : std::uint8_t { trkTable = 0, trkJoin = 1, trkDerived = 2 };
enum TQELJoinType : std::uint8_t {
  jtNone = 0,
  jtInner = 1,  // also CROSS and a plain JOIN
  jtLeft = 2,
  jtRight = 3,
  jtFull = 4,
};

// One FROM reference: a table, a join of two references, or a derived
// table.
class TQELTableReference {
 public:
  TQELTableReference();
  ~TQELTableReference();
  TQELTableReference(TQELTableReference&&) noexcept;
  TQELTableReference& operator=(TQELTableReference&&) noexcept;

  // Turns this reference into a join node in place: what it held becomes
  // the left operand, `right` the right one.
  void MakeJoin(std::unique_ptr<TQELTableReference> right, TQELJoinType joinType);

  TQELTableReferenceKind Kind = trkTable;
  std::string DatabaseName;  // a database file named before the dot
  std::string TableName;
  std::string Alias;
  std::string Password;
  bool InMemory = false;     // MEMORY given, or the query's default
  bool IsNatural = false;
  bool IsCross = false;      // CROSS JOIN (a join without keys)
  TQELJoinType JoinType = jtNone;
  std::unique_ptr<TQELTableReference> Left;
  std::unique_ptr<TQELTableReference> Right;
  std::vector<std::string> UsingColumns;
  std::unique_ptr<TQELExpression> OnCondition;
  std::unique_ptr<TQELSQLUnion> Subquery;
  // Where the reference starts.
  std::int32_t Line = 0;
  std::int32_t Column = 0;
};

class TQELSQLCursorCommand : public TQELSQLCommand {
 public:
  using TQELSQLCommand::TQELSQLCommand;

  const std::string& IntoDatabase() const { return FIntoDatabase; }
  const std::string& IntoTable() const { return FIntoTable; }
  bool IntoMemory() const { return FIntoMemory; }
  bool IntoImmediate() const { return FIntoImmediate; }
  std::vector<TQELSortKey>& SortKeys() { return FSortKeys; }
  std::int32_t SortKeyCount() const { return static_cast<std::int32_t>(FSortKeys.size()); }

  // True when every condition of the statement could be placed into its
  // plan (the query layer tells after planning): a subquery that is not is
  // correlated.
  virtual bool IsSelfContained() const = 0;

 protected:
  // [ORDER BY sortKey, ...] from FToken.
  void ParseOrderBy();

  std::string FIntoDatabase;
  std::string FIntoTable;
  bool FIntoMemory = false;
  bool FIntoImmediate = false;
  std::vector<TQELSortKey> FSortKeys;
};

class TQELSQLSelect final : public TQELSQLCursorCommand {
 public:
  // Parses the SELECT block at the lexer's current token.
  TQELSQLSelect(TQELLexer& lexer, TQELExprQuery* query);
  ~TQELSQLSelect() override;

  void Parse() override;
  bool IsSelfContained() const override;
  // Whether the block only reads columns of its rows: no DISTINCT, TOP,
  // GROUP BY, HAVING or computed column (a result read live from its
  // table).
  bool ReadsColumnsOnly() const;

  bool Distinct() const { return FDistinct; }
  std::int32_t TopCount() const { return FTopCount; }
  std::int32_t TopStart() const { return FTopStart; }
  bool SelectAll() const { return FSelectAll; }
  std::vector<TQELSelectListItem>& SelectList() { return FSelectList; }
  std::int32_t SelectListCount() const { return static_cast<std::int32_t>(FSelectList.size()); }
  std::vector<std::unique_ptr<TQELTableReference>>& TableRefs() { return FTableRefs; }
  std::int32_t TableRefCount() const { return static_cast<std::int32_t>(FTableRefs.size()); }
  TQELExpression* Where() const { return FWhere.get(); }
  TQELExpression* Having() const { return FHaving.get(); }
  TQELFields& GroupBy() { return FGroupBy; }
  // Set by the planner: whether WHERE and HAVING were placed whole.
  void SetConditionsPlaced(bool placed) { FConditionsPlaced = placed; }

 private:
  void ParseTop();
  void ParseSelectList();
  void ParseSelectItem();
  void NameDuplicates();
  void ParseInto();
  void ParseFrom();
  // A reference with the joins that follow it; false when the token starts
  // none.
  bool ParseTableReference(std::unique_ptr<TQELTableReference>& reference);
  bool ParsePrimaryReference(std::unique_ptr<TQELTableReference>& reference);
  void ParseJoins(std::unique_ptr<TQELTableReference>& reference);
  void ParseNamedTable(TQELTableReference& reference);
  // Column references naming a select-list pseudonym read its column.
  void ReplacePseudonyms(TQELExpression& expression) const;

  bool FDistinct = false;
  std::int32_t FTopCount = -1;
  std::int32_t FTopStart = -1;
  bool FSelectAll = false;
  std::vector<TQELSelectListItem> FSelectList;
  std::vector<std::unique_ptr<TQELTableReference>> FTableRefs;
  std::unique_ptr<TQELExpression> FWhere;
  std::unique_ptr<TQELExpression> FHaving;
  TQELFields FGroupBy;
  bool FConditionsPlaced = true;
};

enum TQELQueryOperation : std::uint8_t {
  qoSelect = 0,
  qoUnion = 1,
  qoExcept = 2,  // EXCEPT and MINUS
  qoIntersect = 3,
};

// A node of a query expression: a SELECT block, or a set operation of two
// nodes.
struct TQELQueryExprNode {
  TQELQueryExprNode();
  ~TQELQueryExprNode();

  TQELQueryOperation Operation = qoSelect;
  std::unique_ptr<TQELQueryExprNode> Left;
  std::unique_ptr<TQELQueryExprNode> Right;
  bool IsAll = false;
  bool IsCorresponding = false;
  // CORRESPONDING BY (...) columns; empty for all corresponding columns.
  std::vector<std::string> CorrespondingColumns;
  std::unique_ptr<TQELSQLSelect> Select;  // for qoSelect
};

class TQELSQLUnion final : public TQELSQLCursorCommand {
 public:
  // Parses the query expression at the lexer's current token (SELECT or
  // "("), with its ORDER BY.
  TQELSQLUnion(TQELLexer& lexer, TQELExprQuery* query);
  ~TQELSQLUnion() override;

  void Parse() override;
  bool IsSelfContained() const override;
  // A single block that only reads columns runs again on its WHERE.
  bool RerunExpressions(std::vector<TQELExpression*>& expressions) override;

  TQELQueryExprNode* QueryTree() const { return FQueryTree.get(); }

 private:
  std::unique_ptr<TQELQueryExprNode> ParseQueryExpression();
  std::unique_ptr<TQELQueryExprNode> ParseTerm();
  std::unique_ptr<TQELQueryExprNode> ParsePrimary();
  // [ALL] [CORRESPONDING [BY (names)]] after a set operator.
  void ParseSetOptions(TQELQueryExprNode& node);
  // Refuses INTO in a block of a set operation; a single block's INTO
  // becomes the union's.
  void CheckInto();

  std::unique_ptr<TQELQueryExprNode> FQueryTree;
};

}  // namespace qel
