#pragma once
// Exceptions of the cipher library. The engine's page encryption catches all
// of them; they reach only callers that use the cipher classes directly.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace qel {

// Base of the library's failures that are not tied to one cipher.
class EProtection : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A text that is not in the expected string format.
class EStringFormat : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A cipher used wrongly; `ErrorCode` tells which rule was broken.
class ECipherException : public std::runtime_error {
 public:
  static constexpr std::int32_t kKeySizeInvalid = 2;
  static constexpr std::int32_t kNotInitialized = 3;

  ECipherException(std::int32_t errorCode, const std::string& message)
      : std::runtime_error(message), FErrorCode(errorCode) {}

  std::int32_t ErrorCode() const noexcept { return FErrorCode; }

 private:
  std::int32_t FErrorCode;
};

}  // namespace qel
