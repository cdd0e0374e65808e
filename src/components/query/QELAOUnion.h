#pragma once
// TQELAOUnion: UNION, INTERSECT or EXCEPT of two inputs, materialised into a
// temporary table.
//
// The inputs' columns are paired by position (or, with CORRESPONDING, by
// name); each pair becomes one result column, named after the left input's
// column and of a type wide enough for both sides, so that no value is cut
// and equal values of different types (1 and 1.0) meet as equal. Rows are
// equal when every pair of values is (NULLs equal, case-sensitive).
//
// Every row is converted into a record of the result table, and that
// record's bytes are the row's identity: a hash set of them removes
// duplicates and counts the right input's rows for INTERSECT and EXCEPT.
// Without ALL each distinct row is delivered once; with ALL the counts of
// a multiset apply (INTERSECT ALL: the smaller count, EXCEPT ALL: the
// difference, never below none). Rows come in the order they were read,
// left input first, unless ORDER BY sets an index on the result.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "components/query/QELAOTable.h"
#include "components/query/QELTemporaryTable.h"
#include "sql/QELSQLSelect.h"

namespace qel {

enum TQELUnionType : std::uint8_t { utUnion = 0, utIntersect = 1, utExcept = 2 };

class TQELAOUnion final : public TQELAO {
 public:
  // `left` and `right` are opened plans whose result cursors deliver the
  // inputs' rows.
  TQELAOUnion(TQELUnionType unionType, bool all, std::unique_ptr<TQELAO> left, std::unique_ptr<TQELAO> right,
              const TQELPlanContext& context);
  ~TQELAOUnion() override;

  // Pairs the inputs' columns: all of them by position, or with
  // `corresponding` those named alike (`byColumns`, when not empty, names
  // them). Raises 10337 / 10339 for an empty list and 10338 for lists of
  // different lengths.
  void BindColumns(bool corresponding, const std::vector<std::string>& byColumns);
  // ORDER BY over the result columns, by name or by number.
  void SetOrder(const std::vector<TQELSortKey>& sortKeys);
  void Open() override;

 private:
  class TRowReader;
  class TRowSet;

  void NameColumns();
  // Writes the row the result cursor's buffer holds (a whole record).
  void WriteRow();
  // Reads every row of `reader`'s input, converting it into the result
  // buffer, and calls `onRow` with its identity.
  template <typename TOnRow>
  void ReadRows(TRowReader& reader, TOnRow&& onRow);
  void CopyRows();

  TQELUnionType FUnionType;
  bool FAll;
  std::unique_ptr<TQELAO> FLeft;
  std::unique_ptr<TQELAO> FRight;
  TQELPlanContext FContext;
  std::vector<TQELResultColumn> FResultColumns;
  // The visible column numbers of each input, pair by pair.
  std::vector<std::int32_t> FLeftColumns;
  std::vector<std::int32_t> FRightColumns;
  std::vector<std::string> FOrderFields;
  std::vector<std::string> FOrderDirections;
  // The result record being built, and the row identity taken from it.
  std::uint8_t* FBuffer = nullptr;
  std::vector<std::uint8_t> FKey;
  // Some result column is a BLOB: rows are written through the dataset,
  // whose BLOB handling owns the streams.
  bool FHasBlobs = false;
  std::vector<TQELVariant> FBlobValues;
};

// The result type of a column delivering the values of `left` and `right`
// (stored types, sizes in their units): the type itself when they agree,
// else one that holds both (a wider integer, a float, a longer or wider
// string, a date-time).
TQELResultColumn QELCommonColumn(const TQELResultColumn& left, const TQELResultColumn& right);

}  // namespace qel
