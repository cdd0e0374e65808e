// A function reference calls the very callable it refers to, with the
// caller's arguments, and hands its result back.

#include "platform/QELFunctionRef.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace qel {
namespace {

int Twice(TQELFunctionRef<int()> next) { return next() + next(); }

TEST(FunctionRefTest, CallsTheCallableItselfNotACopy) {
  auto counter = [n = 0]() mutable { return ++n; };
  EXPECT_EQ(Twice(counter), 1 + 2);
  EXPECT_EQ(counter(), 3);  // the two calls went to `counter`
  // A temporary lives for the call it is passed to.
  EXPECT_EQ(Twice([] { return 4; }), 8);
}

TEST(FunctionRefTest, ForwardsArgumentsAndResult) {
  std::string seen;
  const auto take = [&seen](std::unique_ptr<std::string> text, const std::string& suffix) {
    seen = *text + suffix;
    return seen.size();
  };
  const TQELFunctionRef<std::size_t(std::unique_ptr<std::string>, const std::string&)> ref(take);
  EXPECT_EQ(ref(std::make_unique<std::string>("abc"), "de"), 5u);
  EXPECT_EQ(seen, "abcde");
}

}  // namespace
}  // namespace qel
