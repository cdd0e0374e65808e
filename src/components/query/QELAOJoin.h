#pragma once
// TQELAOJoin: the join of two inputs, materialised into a temporary table
// whose fields are the left input's columns followed by the right's. The
// node's columns keep the names the statement knows them by (the input's
// table name or alias and the field name); the fields of the table take
// those names made unique (a repeated name gets _1, _2, ...).
//
// The rows of one input (the build side: the smaller one for an inner
// join, else the side whose unmatched rows come last) are read once into
// memory and ordered by a hash of their key values; each row of the other
// input then finds its partners among the rows of its hash. Keys compare
// with NULLs unordered and case-sensitive, so a NULL key matches nothing.
// A join without keys pairs every row with every row (each probe row walks
// the whole build side again). A residual condition is judged on each
// pair. For outer joins, rows without a partner are delivered with NULLs
// for the other side: the probe side's in their place, the build side's
// at the end. The join's rows come in the probe input's order.

#include <cstdint>
#include <memory>
#include <vector>

#include "components/query/QELAO.h"
#include "components/query/QELTemporaryTable.h"
#include "engine/QELCursor.h"
#include "sql/QELExpressionCursor.h"

namespace qel {

// One equality of a join: the column of the left input and the column of
// the right input whose values must be equal.
struct TQELJoinKey {
  std::int32_t LeftColumn = -1;
  std::int32_t RightColumn = -1;
};

class TQELAOJoin final : public TQELAO, private TQELExprRowSource {
 public:
  // `left` and `right` are opened (their results readable); their columns'
  // SourceColumn numbers name fields of their result cursors. `residual`
  // may be null. jtNone joins without keys (a cross join). Without a right
  // input the node copies the left one's rows.
  TQELAOJoin(std::unique_ptr<TQELAO> left, std::unique_ptr<TQELAO> right, TQELJoinType joinType,
             std::vector<TQELJoinKey> keys, std::unique_ptr<TQELExpression> residual);
  ~TQELAOJoin() override;

  // Materialises the joined rows; the inputs are freed afterwards.
  void Open() override;
  // The result table, handed over with the node's columns (the node keeps
  // neither).
  std::unique_ptr<TQELTable> TakeResult() { return std::move(FResult); }

 private:
  // One input while the join reads it.
  struct TSide {
    std::unique_ptr<TQELAO> Node;
    TQELCursor* Cursor = nullptr;
    std::vector<std::int32_t> KeyFields;     // fields of the cursor, in key order
    std::vector<std::int32_t> ColumnFields;  // the field of every column
    std::unique_ptr<TQELCursorRecordSource> Blobs;  // reads BLOB columns
    const std::uint8_t* Current = nullptr;   // the record of the pair being made
  };

  // TQELExprRowSource over the pair being made, for the residual condition.
  std::int32_t FindColumns(std::string_view fieldName, std::string_view tableName,
                           std::vector<std::int32_t>& numbers) const override;
  TQELAdvancedFieldType ColumnDataType(std::int32_t column) const override;
  std::int32_t ColumnDataSize(std::int32_t column) const override;
  void GetColumnValue(std::int32_t column, TQELVariant& value) override;

  void PrepareSides();
  void MakeResultTable();
  // The hash of a record's key values; false when a key is NULL.
  bool KeyHash(const TSide& side, const std::uint8_t* record, std::uint64_t& hash);
  bool KeysEqual(const std::uint8_t* probeRecord, const std::uint8_t* buildRecord);
  void ReadBuildSide();
  void ProbeRows();
  // Appends the row of the current pair; a null record gives NULLs.
  void AppendPair(const std::uint8_t* leftRecord, const std::uint8_t* rightRecord);
  bool ResidualHolds(const std::uint8_t* leftRecord, const std::uint8_t* rightRecord);

  // Where the result's field `i` comes from: field `SourceField` of the
  // left or the right input, copied byte for byte when both have one
  // layout.
  struct TColumnCopy {
    bool FromRight = false;
    std::int32_t SourceField = -1;
    bool Raw = false;
    std::int32_t SourceOffset = 0;
    std::int32_t TargetOffset = 0;
    std::int32_t Size = 0;
  };
  void PlanColumnCopies();
  // The first build record whose hash is `hash` (kNoRecord for none); the
  // next ones follow through FBuildNext.
  std::uint32_t FirstWithHash(std::uint64_t hash) const;

  TSide FLeft;
  TSide FRight;
  TQELJoinType FJoinType;
  std::vector<TQELJoinKey> FKeys;
  std::unique_ptr<TQELExpression> FResidual;
  bool FBuildOnLeft = false;
  bool FKeepLeftUnmatched = false;
  bool FKeepRightUnmatched = false;
  // The build side's records, one after another, and a hash table over
  // them: a chain of record numbers per bucket, in the records' order.
  std::vector<std::uint8_t> FBuildRecords;
  std::size_t FBuildRecordSize = 0;
  std::vector<std::uint64_t> FBuildHashes;
  std::vector<std::uint32_t> FBuildBuckets;
  std::vector<std::uint32_t> FBuildNext;
  std::uint64_t FBucketMask = 0;
  std::vector<TColumnCopy> FCopies;
  std::vector<bool> FBuildMatched;
  std::vector<TQELVariant> FProbeKeys;
  TQELVariant FValue;
  TQELVariant FOther;
  std::unique_ptr<TQELRowAppender> FAppender;
};

}  // namespace qel
