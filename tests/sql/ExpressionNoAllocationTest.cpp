// Evaluating a condition is the inner loop of every filtered scan: once an
// expression has been evaluated, further evaluations of fixed-size and
// string fields must not touch the heap. This binary counts the global
// allocations.

#include <gtest/gtest.h>

#include <string>

#include "ExpressionTestSupport.h"
#include "support/AllocationTracker.h"

namespace qel {
namespace {

using test::gAllocations;

TEST(ExpressionNoAllocationTest, TheCounterSeesAConcatenation) {
  test::TTestRecord record;
  auto expression = test::Parse(record, "S || S || S || S || S || S = 'x'");
  expression->Holds();
  const long before = gAllocations.load();
  expression->Holds();
  EXPECT_GT(gAllocations.load() - before, 0);
}

TEST(ExpressionNoAllocationTest, ConditionsOverARecordAllocateNothing) {
  test::TTestRecord record;
  record.Set("S", test::TTestRecord::Text("a long enough text with xyz inside it"));
  const char* const conditions[] = {
      "S LIKE '%xyz%'",
      "S LIKE 'a long%'",
      "S LIKE '%l_ng%'",
      "I BETWEEN 1 AND 10",
      "L BETWEEN 1 AND 10000000000",
      "D > 2 AND I <> 3 OR N IS NULL",
      "S = 'a long enough text with xyz inside it'",
      "S > 'a'",
      "I IN (1, 5, 7, 9)",
      "NOT (I + 1 > 10)",
      "DT >= DATE '2024-01-01'",
  };
  for (const char* text : conditions) {
    auto expression = test::Parse(record, text);
    ASSERT_TRUE(expression->Holds()) << text;  // the first evaluation may set up
    const long before = gAllocations.load();
    bool all = true;
    for (int i = 0; i < 1000; ++i) {
      expression->SetRecordBuffer(record.Record().data(), false);
      all = expression->Holds() && all;
    }
    EXPECT_TRUE(all) << text;
    EXPECT_EQ(gAllocations.load() - before, 0) << text;
  }
}

}  // namespace
}  // namespace qel
