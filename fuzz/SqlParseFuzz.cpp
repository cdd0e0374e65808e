// Fuzz target for the statement parsers: any text is split into
// statements and each is parsed (nothing runs). Every statement must parse
// or end in the engine's own exception; any other exception, a crash, a
// hang, a leak or undefined behaviour is a finding (the sanitizers around
// this report the last ones). A parsed UPDATE or DELETE is checked for the
// SELECT it builds.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/QELException.h"
#include "sql/QELSQLProcessor.h"

namespace {

using namespace qel;

[[noreturn]] void Fail(const char* what) {
  __builtin_printf("statement invariant broken: %s\n", what);
  std::abort();
}

// Named values "a" (integer), "s" (text), "t" (a table in another file),
// "n" (NULL), and two for "?" markers.
void FillParams(TQELSQLParams& params) {
  TQELSQLParam& a = params.AddParam();
  a.SetName("a");
  a.SetAsInteger(7);
  TQELSQLParam& s = params.AddParam();
  s.SetName("s");
  s.SetAsString("ab%");
  TQELSQLParam& t = params.AddParam();
  t.SetName("t");
  t.SetAsString("\"other.qel\"tbl");
  params.AddParam().SetName("n");
}

// Answers every statement, so that the statements' own Execute path runs
// too; a SELECT gets no result.
class TCountingExecutor final : public TQELSQLExecutor {
 public:
  void Execute(TQELSQLCommand& statement, TQELExprQuery*, bool, TQELExprRecordSource*,
               const std::uint8_t*, bool&, bool) override {
    if (auto* update = dynamic_cast<TQELSQLUpdate*>(&statement)) {
      if (update->Select() == nullptr) Fail("an UPDATE without its SELECT");
    }
    if (auto* erase = dynamic_cast<TQELSQLDelete*>(&statement)) {
      if (erase->Select() == nullptr) Fail("a DELETE without its SELECT");
    }
    statement.SetRowsAffected(1);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  TCountingExecutor executor;
  TQELSQLProcessor processor;
  FillParams(processor.Params());
  processor.SetExecutor(&executor);
  processor.SetInMemory(size % 2 == 1);
  processor.SetSQLText(text);
  try {
    processor.ExecSQL();
    if (processor.RowsAffected() < 1) Fail("a text ran without a statement");
  } catch (const EQELException&) {
  }
  return 0;
}
