#include "platform/QELFormat.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>

namespace qel {
namespace {

struct FormatCase {
  const char* Format;
  std::initializer_list<TQELFormatArg> Args;
  const char* Expected;
};

TEST(QELFormatTest, FormatsTheConversionsMessagesUse) {
  const FormatCase cases[] = {
      {"plain text", {}, "plain text"},
      {"%d", {42}, "42"},
      {"%d", {-42}, "-42"},
      {"%.5d", {42}, "00042"},
      {"%.5d", {-42}, "-00042"},
      {"%.5d", {1234567}, "1234567"},
      {"%5d", {42}, "   42"},
      {"%5d", {-42}, "  -42"},
      {"%5d", {123456}, "123456"},
      {"%-5d|", {42}, "42   |"},
      {"%05d", {-42}, "-0042"},
      {"%x %X", {255, 255}, "ff FF"},
      {"%u", {4000000000u}, "4000000000"},
      {"%d", {std::numeric_limits<std::int64_t>::min()}, "-9223372036854775808"},
      {"%u", {std::numeric_limits<std::uint64_t>::max()}, "18446744073709551615"},
      {"%s", {"abc"}, "abc"},
      {"[%5s]", {"ab"}, "[   ab]"},
      {"[%-5s]", {"ab"}, "[ab   ]"},
      {"%.2s", {"abcdef"}, "ab"},
      {"100%%", {}, "100%"},
      {"PageNo = %d, size = %d, file '%s'", {7, 4096, "a.qel"},
       "PageNo = 7, size = 4096, file 'a.qel'"},
      {"extra args %d", {1, 2, "ignored"}, "extra args 1"},
  };
  for (const FormatCase& c : cases) {
    EXPECT_EQ(QELFormat(c.Format, c.Args), c.Expected) << "format: " << c.Format;
  }
}

TEST(QELFormatTest, RejectsArgumentsThatDoNotFit) {
  const FormatCase cases[] = {
      {"%d", {}, ""},            // missing argument
      {"%d", {"text"}, ""},      // text for an integer
      {"%s", {5}, ""},           // integer for a text
      {"%u", {-1}, ""},          // negative for an unsigned conversion
      {"%q", {1}, ""},           // unknown conversion
      {"trailing %", {1}, ""},   // conversion cut off
      {"%5", {1}, ""},
  };
  for (const FormatCase& c : cases) {
    std::string out;
    EXPECT_FALSE(QELTryFormat(c.Format, std::span<const TQELFormatArg>(c.Args.begin(), c.Args.size()), out))
        << "format: " << c.Format;
    EXPECT_THROW(QELFormat(c.Format, c.Args), std::invalid_argument) << "format: " << c.Format;
  }
}

}  // namespace
}  // namespace qel
