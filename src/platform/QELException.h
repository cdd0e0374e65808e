#pragma once
// The engine's exception: a message and the native error code of the place
// that raised it.

#include <cstdint>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/QELFormat.h"

namespace qel {

class EQELException : public std::runtime_error {
 public:
  // Message: `msg`, " - Native error: " and the code zero-padded to at least
  // five digits (code 42 ends the message with "00042").
  EQELException(std::int32_t nativeError, std::string_view msg);

  // Message: `msg` formatted with `args` (or, when they do not fit, `msg`
  // followed by " Arguments are invalid!"), " - Native error: " and the code
  // padded with spaces to at least five characters.
  EQELException(std::int32_t nativeError, std::string_view msg,
                std::initializer_list<TQELFormatArg> args);

  std::int32_t NativeError() const noexcept { return FNativeError; }

 private:
  std::int32_t FNativeError;
};

}  // namespace qel
