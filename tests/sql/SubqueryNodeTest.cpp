// A subquery node parses its statement from the shared lexer of the text
// it stands in, and must leave that lexer where it found it, whether the
// statement parses or not: the statements around it read on from there.

#include <gtest/gtest.h>

#include "sql/QELExpression.h"
#include "sql/QELLexer.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

TEST(SubqueryNodeTest, ParsingTheSubqueryLeavesTheLexerWhereItWas) {
  struct TCase {
    const char* Condition;
    std::int32_t Code;  // what evaluating the condition raises
  };
  const TCase cases[] = {
      // Parsed; the engine layer alone has nothing that runs it.
      {"a in (select k from t where k > 1) and b = 1", 30512},
      {"exists (select * from t where)", 30066},
      {"(select k from t union select) is null", 30160},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Condition);
    TQELLexer lexer(std::string(c.Condition) + "; select 1 from u", nullptr);
    lexer.NextCommand();
    TQELExpression condition;
    condition.ParseSearchCondition(nullptr, lexer);
    lexer.NextCommand();
    lexer.SetCurrentTokenNo(2);
    for (int run = 0; run < 2; ++run) {
      EXPECT_EQ(test::NativeErrorOf([&] { condition.Evaluate(); }), c.Code);
      EXPECT_EQ(lexer.CurrentCommand(), 1);
      EXPECT_EQ(lexer.GetCurrentTokenNo(), 2);
    }
    // The subquery's own command keeps its position too.
    lexer.SetCurrentCommand(0);
    EXPECT_EQ(lexer.GetCurrentTokenNo(), lexer.Commands()[0].NumTokens());
  }
}

}  // namespace
}  // namespace qel
