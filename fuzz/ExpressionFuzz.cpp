// Fuzz target for the expression parser and the nodes: any text is parsed
// as a filter condition and as a value expression over a small record of
// every kind of field, and whatever parses is evaluated, typed, copied and
// aggregated. Each step must end in a value or in an exception; crashes,
// hangs, leaks and undefined behaviour are found by the sanitizers around
// this.
//
// The first byte chooses the filter options (letter case, partial
// comparison); the rest is the text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/QELException.h"
#include "sql/QELExpressions.h"
#include "storage/QELRecordData.h"

namespace {

using namespace qel;

[[noreturn]] void Fail(const char* what) {
  __builtin_printf("expression invariant broken: %s\n", what);
  std::abort();
}

// I integer, L largeint, D float, S string(20), W widestring(10), DT date,
// TM time, TS datetime, B logical, C currency, M memo, N and NS NULL.
class TFuzzRecord final : public TQELExprRecordSource {
 public:
  TFuzzRecord() {
    FFields.Add("I", aftInteger, 0);
    FFields.Add("L", aftLargeint, 0);
    FFields.Add("D", aftDouble, 0);
    FFields.Add("S", aftString, 20);
    FFields.Add("W", aftWideString, 10);
    FFields.Add("DT", aftDate, 0);
    FFields.Add("TM", aftTime, 0);
    FFields.Add("TS", aftDateTime, 0);
    FFields.Add("B", aftBoolean, 0);
    FFields.Add("C", aftCurrency, 0);
    FFields.Add("M", aftMemo, 0);
    FFields.Add("N", aftInteger, 0);
    FFields.Add("NS", aftString, 10);
    FFields.RecalcOffsets();
    FRecord.assign(static_cast<std::size_t>(FFields.MemoryRecordSize()), 0);
    for (std::int32_t i = 0; i < FFields.Count(); ++i) SetNull(true, i, FRecord.data());
    TQELVariant v;
    v.SetAsInteger(-7);
    Set("I", v);
    v.Clear(bftLargeint);
    v.SetAsLargeint(INT64_MAX);
    Set("L", v);
    v.Clear(bftDouble);
    v.SetAsDouble(2.675);
    Set("D", v);
    v.Clear(bftString);
    v.SetAsString("a%b_c\xC3\xA9");
    Set("S", v);
    v.Clear(bftWideString);
    v.SetAsWideString(u"wide\u00E9");
    Set("W", v);
    v.Clear(bftDate);
    v.SetAsDateNumber(1);  // 0001-01-01, the first day there is
    Set("DT", v);
    v.Clear(bftTime);
    v.SetAsTimeMilliseconds(86399999);
    Set("TM", v);
    v.Clear(bftDateTime);
    v.SetAsDateTimeStamp({3652059, 0});  // 9999-12-31, the last
    Set("TS", v);
    v.Clear(bftBoolean);
    v.SetAsBoolean(true);
    Set("B", v);
    v.Clear(bftCurrency);
    v.SetAsCurrency(-1.5);
    Set("C", v);
    SetNull(false, FFields.IndexOfName("M"), FRecord.data());
  }

  const TQELFieldDefs& FieldDefs() const override { return FFields; }
  std::int32_t FindField(std::string_view fieldName) const override {
    return FFields.IndexOfName(fieldName);
  }
  const std::uint8_t* CurrentRecord() const override { return FRecord.data(); }
  void ReadBlobValue(std::int32_t fieldNo, const std::uint8_t* record, TQELVariant& value) override {
    value.Clear(FFields[fieldNo].BaseFieldType());
    if (IsNull(fieldNo, record)) return;
    static const std::string kMemo = "memo text with %, _ and \xE6\x97\xA5";
    value.SetData(kMemo.data(), static_cast<std::int32_t>(kMemo.size()), cmCopy, bftMemo);
  }

 private:
  void Set(std::string_view name, const TQELVariant& value) {
    SetFieldValue(FFields.IndexOfName(name), FFields, value, FRecord.data());
  }

  TQELFieldDefs FFields;
  std::vector<std::uint8_t> FRecord;
};

TFuzzRecord& Record() {
  static TFuzzRecord* record = new TFuzzRecord;
  return *record;
}

// Named values "a" (integer), "s" (text), "d" (date), "n" (NULL), and two
// for "?" markers.
const TQELSQLParams& Params() {
  static const TQELSQLParams* params = [] {
    auto* list = new TQELSQLParams;
    TQELSQLParam& a = list->AddParam();
    a.SetName("a");
    a.SetAsInteger(7);
    TQELSQLParam& s = list->AddParam();
    s.SetName("s");
    s.SetAsString("ab%");
    TQELSQLParam& d = list->AddParam();
    d.SetName("d");
    d.Clear(bftDate);
    d.SetAsDateNumber(738000);
    list->AddParam().SetName("n");
    return list;
  }();
  return *params;
}

// Every question an expression answers; each may end in an exception.
void Exercise(TQELExpression& expression) {
  const auto attempt = [](auto&& step) {
    try {
      step();
    } catch (const std::exception&) {
    }
  };
  attempt([&] { expression.Evaluate(); });
  attempt([&] { expression.Evaluate(); });  // evaluation state carried over
  attempt([&] { expression.GetDataType(); });
  attempt([&] { expression.GetDataSize(); });
  attempt([&] { expression.Evaluate(); });  // after casts were put in
  attempt([&] {
    expression.ResetAggregate();
    expression.Accumulate();
    expression.Accumulate();
    expression.Evaluate();
  });
  if (TQELExprNode* root = expression.Root()) {
    std::unique_ptr<TQELExprNode> copy = root->Clone();
    attempt([&] { copy->Evaluate(); });
    attempt([&] { copy->UsesOnlyFields("I;S;M"); });
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool caseInsensitive = data[0] & 1;
  const bool partialCompare = data[0] & 2;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  // As a filter: the whole text one condition over the record.
  try {
    TQELExpression filter;
    filter.ParseFilter(&Record(), text, partialCompare, caseInsensitive);
    filter.SetRecordBuffer(Record().CurrentRecord(), false);
    bool holds = false;
    try {
      holds = filter.Holds();
    } catch (const std::exception&) {
    }
    (void)holds;
    Exercise(filter);
  } catch (const std::exception&) {
  }

  // As SQL with parameters: a value expression, then a condition, from
  // the first command.
  try {
    TQELLexer lexer(text, &Params());
    if (!lexer.NextCommand()) return 0;
    TQELExpression value;
    value.ParseValueExpression(nullptr, lexer);
    value.BindToCursor(&Record(), nullptr, nullptr);
    Exercise(value);
    lexer.SetCurrentTokenNo(0);
    TQELExpression condition;
    condition.SetCursor(&Record());
    condition.ParseSearchCondition(nullptr, lexer);
    if (condition.Root() == nullptr) Fail("a parsed condition without a tree");
    Exercise(condition);
  } catch (const std::exception&) {
  }
  return 0;
}
