#pragma once
// Printf-style formatting for the engine's messages.
//
// Messages are built from a format text and a list of arguments, as in
// "Invalid PageNo = %d". Only the conversions the messages need are
// supported: %d %u %x %X (integers), %s (text) and %%, each with the optional
// flags '-' (left-align) and '0' (zero-pad), a width and a precision
// ("%.5d" gives at least five digits, "%5d" at least five characters,
// "%.3s" at most three characters). A mismatch between a conversion and its
// argument, a missing argument or an unknown conversion makes formatting fail;
// arguments left over are ignored.

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace qel {

// One argument of a formatted message: an integer or a text.
class TQELFormatArg {
 public:
  TQELFormatArg(int value) : FValue(static_cast<std::int64_t>(value)) {}
  TQELFormatArg(long value) : FValue(static_cast<std::int64_t>(value)) {}
  TQELFormatArg(long long value) : FValue(static_cast<std::int64_t>(value)) {}
  TQELFormatArg(unsigned value) : FValue(static_cast<std::int64_t>(value)) {}
  TQELFormatArg(unsigned long value) : FValue(static_cast<std::uint64_t>(value)) {}
  TQELFormatArg(unsigned long long value) : FValue(static_cast<std::uint64_t>(value)) {}
  TQELFormatArg(const char* value) : FValue(std::string_view(value ? value : "")) {}
  TQELFormatArg(std::string_view value) : FValue(value) {}
  TQELFormatArg(const std::string& value) : FValue(std::string_view(value)) {}

  bool IsText() const { return std::holds_alternative<std::string_view>(FValue); }
  bool IsInteger() const { return !IsText(); }
  std::string_view Text() const { return std::get<std::string_view>(FValue); }
  // The integer as a sign and a magnitude, so that every int64 and uint64 fits.
  bool IsNegative() const;
  std::uint64_t Magnitude() const;

 private:
  // Text arguments refer to the caller's string, which outlives the call.
  std::variant<std::int64_t, std::uint64_t, std::string_view> FValue;
};

// Formats into `out`; answers false (leaving `out` unspecified) when the
// arguments do not fit the format.
bool QELTryFormat(std::string_view format, std::span<const TQELFormatArg> args,
                  std::string& out);

// Formats or throws std::invalid_argument when the arguments do not fit.
std::string QELFormat(std::string_view format, std::initializer_list<TQELFormatArg> args);

}  // namespace qel
