#include "platform/QELException.h"

#include <gtest/gtest.h>

namespace qel {
namespace {

TEST(EQELExceptionTest, PlainMessageZeroPadsTheCodeToFiveDigits) {
  const EQELException e(42, "Cannot free not commited pages");
  EXPECT_STREQ(e.what(), "Cannot free not commited pages - Native error: 00042");
  EXPECT_EQ(e.NativeError(), 42);
  EXPECT_STREQ(EQELException(30445, "Cannot open database because incorrect password").what(),
               "Cannot open database because incorrect password - Native error: 30445");
  EXPECT_STREQ(EQELException(-7, "x").what(), "x - Native error: -00007");
}

TEST(EQELExceptionTest, FormattedMessagePadsTheCodeWithSpaces) {
  const EQELException e(42, "Invalid PageNo = %d", {-1});
  EXPECT_STREQ(e.what(), "Invalid PageNo = -1 - Native error:    42");
  EXPECT_EQ(e.NativeError(), 42);
  EXPECT_STREQ(EQELException(10471, "Invalid PageNo = %d", {5}).what(),
               "Invalid PageNo = 5 - Native error: 10471");
  EXPECT_STREQ(EQELException(123456, "%s", {"wide"}).what(), "wide - Native error: 123456");
}

TEST(EQELExceptionTest, ArgumentsThatDoNotFitKeepTheFormatText) {
  const EQELException missing(30376, "Cannot perform this operation (%s) on a closed file", {});
  EXPECT_STREQ(missing.what(),
               "Cannot perform this operation (%s) on a closed file Arguments are invalid! - "
               "Native error: 30376");
  const EQELException wrongType(7, "Invalid PageNo = %d", {"seven"});
  EXPECT_STREQ(wrongType.what(), "Invalid PageNo = %d Arguments are invalid! - Native error:     7");
}

TEST(EQELExceptionTest, IsCaughtAsAStandardException) {
  try {
    throw EQELException(10459, "Error - database file is not opened.");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Error - database file is not opened. - Native error: 10459");
  }
}

}  // namespace
}  // namespace qel
