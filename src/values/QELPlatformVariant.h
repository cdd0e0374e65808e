#pragma once
// The component layer's variant: the value type the data-access framework
// and the user interface exchange with the engine. Each alternative is one
// kind of value; a kind the engine cannot take arrives as
// TQELPlatformUnsupported carrying the framework's number for it.

#include <cstdint>
#include <string>
#include <variant>

namespace qel {

struct TQELPlatformNull {
  bool operator==(const TQELPlatformNull&) const = default;
};

// A currency amount.
struct TQELPlatformCurrency {
  double Value = 0;
  bool operator==(const TQELPlatformCurrency&) const = default;
};

// A date-time value: days since 1899-12-30, the fraction being the time.
struct TQELPlatformDate {
  double Value = 0;
  bool operator==(const TQELPlatformDate&) const = default;
};

struct TQELPlatformUnsupported {
  std::uint16_t Kind = 0;
  bool operator==(const TQELPlatformUnsupported&) const = default;
};

// std::monostate is the empty variant (no value assigned yet).
using TQELPlatformVariant =
    std::variant<std::monostate, TQELPlatformNull, std::int16_t, std::int32_t, float, double,
                 TQELPlatformCurrency, TQELPlatformDate, std::u16string, bool, std::int8_t,
                 std::uint8_t, std::uint16_t, std::uint32_t, std::int64_t, std::string,
                 TQELPlatformUnsupported>;

}  // namespace qel
