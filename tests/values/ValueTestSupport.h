#pragma once
// Small helpers for the value tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "values/QELValueText.h"
#include "values/QELVariant.h"

namespace qel::test {

// The native code and message of the EQELException `call` raises, or code 0.
struct RaisedError {
  std::int32_t Code = 0;
  std::string Message;
};

template <class Call>
RaisedError Raised(Call&& call) {
  try {
    call();
  } catch (const EQELException& e) {
    return {e.NativeError(), e.what()};
  }
  return {};
}

// Restores the process's format settings when a test changes them.
class FormatSettingsGuard {
 public:
  FormatSettingsGuard() : FSaved(QELFormatSettings()) {}
  ~FormatSettingsGuard() { QELSetFormatSettings(FSaved); }

 private:
  TQELFormatSettings FSaved;
};

inline TQELVariant Text(std::string_view text) {
  TQELVariant value(bftString);
  value.SetAsString(text);
  return value;
}

inline TQELVariant Integer(std::int32_t number) {
  TQELVariant value(bftInteger);
  value.SetAsInteger(number);
  return value;
}

inline TQELVariant Double(double number) {
  TQELVariant value(bftDouble);
  value.SetAsDouble(number);
  return value;
}

inline TQELVariant Stamp(std::int32_t day, std::int32_t ms) {
  TQELVariant value(bftDateTime);
  value.SetAsDateTimeStamp({day, ms});
  return value;
}

// A byte stream over a vector; writes stop after `WriteLimit` bytes.
class TestStream {
 public:
  std::int64_t Read(void* dest, std::int32_t count) {
    const std::size_t available = Bytes.size() - Position;
    const std::size_t n = std::min<std::size_t>(available, static_cast<std::size_t>(count));
    if (n > 0) std::memcpy(dest, Bytes.data() + Position, n);
    Position += n;
    return static_cast<std::int64_t>(n);
  }
  std::int64_t Write(const void* source, std::int32_t count) {
    const std::size_t room = WriteLimit > Bytes.size() ? WriteLimit - Bytes.size() : 0;
    const std::size_t n = std::min<std::size_t>(room, static_cast<std::size_t>(count));
    const auto* bytes = static_cast<const std::uint8_t*>(source);
    Bytes.insert(Bytes.end(), bytes, bytes + n);
    return static_cast<std::int64_t>(n);
  }

  std::vector<std::uint8_t> Bytes;
  std::size_t Position = 0;
  std::size_t WriteLimit = SIZE_MAX;
};

}  // namespace qel::test
