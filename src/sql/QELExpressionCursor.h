#pragma once
// Expressions over an engine cursor: the cursor as a record source (its
// fields by visible or table name, its record buffer, its BLOB values) and
// the record filter that a cursor's SetFilter installs. Linking the engine
// installs the filter factory in every cursor before main runs.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/QELCursor.h"
#include "sql/QELExpression.h"

namespace qel {

class TQELCursorRecordSource final : public TQELExprRecordSource {
 public:
  explicit TQELCursorRecordSource(TQELCursor& cursor) : FCursor(cursor) {}

  const TQELFieldDefs& FieldDefs() const override { return FCursor.FieldDefs(); }
  // A visible field's name (an alias under a projection) first, then the
  // table's own name.
  std::int32_t FindField(std::string_view fieldName) const override;
  // The record being filtered while a filter judges one, else the
  // cursor's record buffer.
  const std::uint8_t* CurrentRecord() const override {
    return FJudged != nullptr ? FJudged : FCursor.RecordBuffer;
  }
  void SetJudgedRecord(const std::uint8_t* record) { FJudged = record; }
  // Reads through the cursor from a private copy of `record`, which the
  // BLOB layer may mark while it reads; the record itself stays untouched.
  void ReadBlobValue(std::int32_t fieldNo, const std::uint8_t* record, TQELVariant& value) override;
  // The table name and alias the statement knows the cursor's table by
  // (case ignored); without any, every name is answered.
  void SetTableNames(std::vector<std::string> names) { FTableNames = std::move(names); }
  bool AnswersTo(std::string_view tableName) const override;

 private:
  TQELCursor& FCursor;
  std::vector<std::string> FTableNames;
  const std::uint8_t* FJudged = nullptr;
  std::vector<std::uint8_t> FScratch;
};

// A filter text over a cursor: true for the records the condition holds
// for (NULL does not hold).
class TQELExpressionFilter final : public TQELRecordFilter {
 public:
  TQELExpressionFilter(TQELCursor& cursor, std::string_view text, bool caseInsensitive,
                       bool partialCompare);
  // A condition parsed elsewhere (a statement's WHERE): a copy of its tree
  // is bound to the cursor's fields, so that the statement keeps its own
  // to run again. Inside a subquery, names the
  // cursor's table lacks (or qualified by a name it does not answer to)
  // bind to `outerSource`, the enclosing query's current row; `tableNames`
  // are the names the statement gives the cursor's table.
  TQELExpressionFilter(TQELCursor& cursor, const TQELExpression& condition,
                       TQELExprRecordSource* outerSource = nullptr,
                       std::vector<std::string> tableNames = {});
  bool Matches(const std::uint8_t* record) override;
  TQELExpression& Expression() { return FExpression; }

 private:
  TQELCursorRecordSource FSource;
  TQELExpression FExpression;
};

// The cursor's filter factory (TQELCursorFilterFactory).
std::unique_ptr<TQELRecordFilter> QELCreateCursorFilter(TQELCursor& cursor, const std::string& text,
                                                        bool caseInsensitive, bool partialCompare);

}  // namespace qel
