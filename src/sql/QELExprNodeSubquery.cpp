#include "sql/QELExprNodeSubquery.h"

#include <algorithm>

#include "platform/QELException.h"
#include "sql/QELExpressionErrors.h"
#include "sql/QELSQLErrors.h"
#include "sql/QELSQLSelect.h"

namespace qel {

namespace {

TQELSubqueryRunnerFactory gRunnerFactory = nullptr;

// Puts the lexer back where it was, whatever happens while a subquery is
// parsed from its tokens: the lexer is the statement's, shared by every
// subquery of it.
class TLexerPlace {
 public:
  TLexerPlace(TQELLexer& lexer, std::int32_t commandNo)
      : FLexer(lexer), FCommand(lexer.CurrentCommand()) {
    FLexer.SetCurrentCommand(commandNo);
    FToken = FLexer.GetCurrentTokenNo();
  }
  ~TLexerPlace() {
    FLexer.SetCurrentTokenNo(FToken);
    FLexer.SetCurrentCommand(FCommand);
  }
  TLexerPlace(const TLexerPlace&) = delete;
  TLexerPlace& operator=(const TLexerPlace&) = delete;

 private:
  TQELLexer& FLexer;
  std::int32_t FCommand;
  std::int32_t FToken = 0;
};

}  // namespace

void QELSetSubqueryRunnerFactory(TQELSubqueryRunnerFactory factory) { gRunnerFactory = factory; }

// The enclosing query's row as the subquery's plan sees it. Every name
// found here is an outer reference, which makes the subquery correlated.
// Before the enclosing query has a row (a subquery run to learn its type)
// the row reads as all NULL.
class TQELExprNodeSubquery::TOuterRow final : public TQELExprRecordSource {
 public:
  void SetTarget(TQELExprRecordSource* target) { FTarget = target; }
  bool Used() const { return FUsed; }

  const TQELFieldDefs& FieldDefs() const override {
    static const TQELFieldDefs kNoFields;
    return FTarget != nullptr ? FTarget->FieldDefs() : kNoFields;
  }
  std::int32_t FindField(std::string_view fieldName) const override {
    const std::int32_t fieldNo = FTarget != nullptr ? FTarget->FindField(fieldName) : -1;
    if (fieldNo >= 0) FUsed = true;
    return fieldNo;
  }
  const std::uint8_t* CurrentRecord() const override {
    const std::uint8_t* record = FTarget != nullptr ? FTarget->CurrentRecord() : nullptr;
    if (record != nullptr) return record;
    const TQELFieldDefs& fields = FieldDefs();
    FNullRecord.assign(static_cast<std::size_t>(std::max(fields.MemoryRecordSize(), 1)), 0);
    std::fill_n(FNullRecord.begin(), std::min<std::size_t>(FNullRecord.size(), fields.NullFlagsSize()), 0xFF);
    return FNullRecord.data();
  }
  void ReadBlobValue(std::int32_t fieldNo, const std::uint8_t* record, TQELVariant& value) override {
    if (FTarget == nullptr) throw EQELException(kQELErrNoDataSource, "Dataset and AO not assigned");
    FTarget->ReadBlobValue(fieldNo, record, value);
  }
  bool AnswersTo(std::string_view tableName) const override {
    return FTarget != nullptr && FTarget->AnswersTo(tableName);
  }

 private:
  TQELExprRecordSource* FTarget = nullptr;
  mutable bool FUsed = false;
  mutable std::vector<std::uint8_t> FNullRecord;
};

TQELExprNodeSubquery::TQELExprNodeSubquery(TQELLexer* lexer, TQELExprQuery* query,
                                           std::int32_t commandNo, std::int32_t firstToken,
                                           std::int32_t lastToken)
    : TQELExprNode(eoNone),
      FLexer(lexer),
      FQuery(query),
      FCommandNo(commandNo),
      FFirstToken(firstToken),
      FLastToken(lastToken),
      FOuterRow(std::make_unique<TOuterRow>()) {}

TQELExprNodeSubquery::TQELExprNodeSubquery(const TQELExprNodeSubquery& other)
    : TQELExprNode(other),
      FLexer(other.FLexer),
      FQuery(other.FQuery),
      FCommandNo(other.FCommandNo),
      FFirstToken(other.FFirstToken),
      FLastToken(other.FLastToken),
      FSingleColumn(other.FSingleColumn),
      FSingleRow(other.FSingleRow),
      FComparison(other.FComparison),
      FQuantifier(other.FQuantifier),
      FOuterRow(std::make_unique<TOuterRow>()) {}

TQELExprNodeSubquery::~TQELExprNodeSubquery() {
  // The runner's plan goes before the statement and the outer row it uses.
  FRunner.reset();
  FStatement.reset();
}

void TQELExprNodeSubquery::BindToCursor(TQELExprRecordSource* cursor, TQELExprRowSource* /*source*/,
                                        TQELExprRecordSource* /*outerCursor*/) {
  FOuterRow->SetTarget(cursor);
}

void TQELExprNodeSubquery::BindToSources(TQELExprRowSource* /*source1*/, TQELExprRowSource* /*source2*/,
                                         TQELExprRecordSource* /*outerCursor*/) {
  // Rows of relational-algebra inputs are no record the subquery's fields
  // can read: it sees no outer row.
  FOuterRow->SetTarget(nullptr);
}

void TQELExprNodeSubquery::ParseStatement() {
  if (FLexer == nullptr) {
    throw EQELException(kQELErrSubqueryNotAvailable, "Subquery evaluation is not available");
  }
  TLexerPlace place(*FLexer, FCommandNo);
  FLexer->SetCurrentTokenNo(FFirstToken);
  auto statement = std::make_unique<TQELSQLUnion>(*FLexer, FQuery);
  // The statement must end where the subquery's tokens do.
  TToken rest;
  if (FLexer->GetCurrentTokenNo() <= FLastToken && FLexer->GetCurrentToken(rest)) {
    throw EQELException(kQELErrEndExpected, kQELMsgEndExpected,
                        {QELPrintableTokenText(rest.Text), rest.Line, rest.Column});
  }
  FStatement = std::move(statement);
}

void TQELExprNodeSubquery::Refresh() {
  if (FHasResult && !FCorrelated) return;
  if (!FStatement) ParseStatement();
  if (!FRunner) {
    if (gRunnerFactory == nullptr) {
      throw EQELException(kQELErrSubqueryNotAvailable, "Subquery evaluation is not available");
    }
    FRunner = gRunnerFactory(*FStatement, FQuery, *FOuterRow);
  }
  FHasResult = false;
  TQELSubqueryRows& rows = FRunner->Run();
  FCorrelated = FOuterRow->Used();
  ReadResult(rows);
  FHasResult = true;
}

void TQELExprNodeSubquery::ReadResult(TQELSubqueryRows& rows) {
  const TQELFieldDefs& fields = rows.Columns();
  const std::int32_t count = fields.Count();
  if (FSingleColumn && count != 1) {
    throw EQELException(20246, "Subquery must have only one result field, but subquery's FieldCount=%d",
                        {count});
  }
  FDataType = count > 0 ? fields[0].AdvancedFieldType() : aftUnknown;
  FDataSize = count > 0 ? fields[0].Size() : 0;
  FRowCount = 0;
  FRowValues.assign(static_cast<std::size_t>(count), TQELVariant());
  FColumnValues.clear();
  FValuesSorted = false;
  FIntegersOnly = false;
  TQELVariant value;
  while (rows.Next()) {
    if (++FRowCount == 1) {
      for (std::int32_t i = 0; i < count; ++i) rows.GetValue(i, FRowValues[static_cast<std::size_t>(i)]);
    }
    if (FSingleRow) {
      // A second row is all it takes to know there are too many.
      if (FRowCount > 1) break;
      continue;
    }
    // EXISTS needs one row only.
    if (!FSingleColumn) break;
    rows.GetValue(0, value);
    if (!value.IsNull()) FColumnValues.push_back(value);
  }
}

// Raised when the value is used, not when the subquery runs to learn its
// type: a correlated subquery then runs for no real row.
void TQELExprNodeSubquery::CheckRowCount() const {
  if (FSingleRow && FRowCount > 1) throw EQELException(20247, "Subquery must have only one row");
}

TQELVariant& TQELExprNodeSubquery::Evaluate() {
  Refresh();
  CheckRowCount();
  if (FRowValues.empty()) {
    FValue.Clear(AdvancedToBaseFieldType(FDataType));
  } else {
    FValue = FRowValues.front();
  }
  return FValue;
}

void TQELExprNodeSubquery::FetchRow() {
  Refresh();
  CheckRowCount();
}

const TQELVariant* TQELExprNodeSubquery::GetRowValue(std::int32_t index) {
  if (index < 0 || index >= static_cast<std::int32_t>(FRowValues.size())) return nullptr;
  return &FRowValues[static_cast<std::size_t>(index)];
}

TQELAdvancedFieldType TQELExprNodeSubquery::GetDataType() {
  if (!FHasResult) Refresh();
  if (FDataType == aftUnknown) throw EQELException(kQELErrNoExpressionType, kQELNoExpressionTypeMsg);
  return FDataType;
}

std::int32_t TQELExprNodeSubquery::GetDataSize() {
  if (!FHasResult) Refresh();
  return FDataSize;
}

bool TQELExprNodeSubquery::HasRows() {
  Refresh();
  return FRowCount > 0;
}

const std::vector<TQELVariant>& TQELExprNodeSubquery::ColumnValues() {
  Refresh();
  return FColumnValues;
}

bool TQELExprNodeSubquery::ContainsValue(const TQELVariant& value) {
  Refresh();
  const auto equal = [&](const TQELVariant& element) {
    return value.Compare(element, true, false, true) == ccEqual;
  };
  if (FCorrelated) return std::any_of(FColumnValues.begin(), FColumnValues.end(), equal);
  // The kept values of an uncorrelated subquery are sorted once and
  // searched by halves for every value looked up; integers, the common
  // case, as plain numbers.
  const auto less = [](const TQELVariant& a, const TQELVariant& b) {
    return a.Compare(b, false, false, true) == ccLess;
  };
  if (!FValuesSorted) {
    std::sort(FColumnValues.begin(), FColumnValues.end(), less);
    FValuesSorted = true;
    FIntegers.clear();
    FIntegersOnly = std::all_of(FColumnValues.begin(), FColumnValues.end(),
                                [](const TQELVariant& element) { return IsIntegerBaseType(element.DataType()); });
    if (FIntegersOnly) {
      for (const TQELVariant& element : FColumnValues) FIntegers.push_back(element.AsLargeint());
      std::sort(FIntegers.begin(), FIntegers.end());
    }
  }
  if (FIntegersOnly && IsIntegerBaseType(value.DataType())) {
    return std::binary_search(FIntegers.begin(), FIntegers.end(), value.AsLargeint());
  }
  const auto found = std::lower_bound(FColumnValues.begin(), FColumnValues.end(), value, less);
  return found != FColumnValues.end() && equal(*found);
}

}  // namespace qel
