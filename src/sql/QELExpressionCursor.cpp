#include "sql/QELExpressionCursor.h"

#include <algorithm>
#include <cstring>

namespace qel {

std::int32_t TQELCursorRecordSource::FindField(std::string_view fieldName) const {
  const std::int32_t visible = FCursor.VisibleFieldDefs().IndexOfName(fieldName);
  if (visible >= 0) return FCursor.SourceFieldNo(visible);
  return FCursor.FieldDefs().IndexOfName(fieldName);
}

void TQELCursorRecordSource::ReadBlobValue(std::int32_t fieldNo, const std::uint8_t* record,
                                           TQELVariant& value) {
  FScratch.assign(static_cast<std::size_t>(FCursor.BufferSize()), 0);
  std::memcpy(FScratch.data(), record, static_cast<std::size_t>(FCursor.RecordSize));
  std::uint8_t* const saved = FCursor.RecordBuffer;
  FCursor.RecordBuffer = FScratch.data();
  try {
    FCursor.GetFieldValue(value, fieldNo, false);
  } catch (...) {
    FCursor.RecordBuffer = saved;
    throw;
  }
  FCursor.RecordBuffer = saved;
}

TQELExpressionFilter::TQELExpressionFilter(TQELCursor& cursor, std::string_view text,
                                           bool caseInsensitive, bool partialCompare)
    : FSource(cursor) {
  FExpression.ParseFilter(&FSource, text, partialCompare, caseInsensitive);
}

bool TQELCursorRecordSource::AnswersTo(std::string_view tableName) const {
  if (FTableNames.empty()) return true;
  const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  for (const std::string& name : FTableNames) {
    if (name.size() == tableName.size() &&
        std::equal(name.begin(), name.end(), tableName.begin(),
                   [&](char a, char b) { return upper(a) == upper(b); })) {
      return true;
    }
  }
  return false;
}

TQELExpressionFilter::TQELExpressionFilter(TQELCursor& cursor, const TQELExpression& condition,
                                           TQELExprRecordSource* outerSource,
                                           std::vector<std::string> tableNames)
    : FSource(cursor) {
  FSource.SetTableNames(std::move(tableNames));
  FExpression.SetCaseInsensitive(condition.CaseInsensitive());
  FExpression.SetPartialCompare(condition.PartialCompare());
  FExpression.SetRoot(condition.Root() != nullptr ? condition.Root()->Clone() : nullptr);
  FExpression.BindToCursor(&FSource, nullptr, outerSource);
}

bool TQELExpressionFilter::Matches(const std::uint8_t* record) {
  // The fields read the record through the source, so that judging a
  // record takes no walk over the tree to hand it to every field.
  struct TJudging {
    TQELCursorRecordSource& Source;
    ~TJudging() { Source.SetJudgedRecord(nullptr); }
  } judging{FSource};
  FSource.SetJudgedRecord(record);
  return FExpression.Holds();
}

std::unique_ptr<TQELRecordFilter> QELCreateCursorFilter(TQELCursor& cursor, const std::string& text,
                                                        bool caseInsensitive, bool partialCompare) {
  return std::make_unique<TQELExpressionFilter>(cursor, text, caseInsensitive, partialCompare);
}

namespace {

// Installs the factory while the program starts.
struct TFilterFactoryRegistration {
  TFilterFactoryRegistration() { TQELCursor::SetFilterFactory(&QELCreateCursorFilter); }
};

const TFilterFactoryRegistration gRegistration;

}  // namespace

}  // namespace qel

// Named by a link option of the engine library, so that every program that
// links the engine keeps this file, and with it the registration above.
extern "C" {
extern const int qel_expression_cursor_filters;
const int qel_expression_cursor_filters = 1;
}
