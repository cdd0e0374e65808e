#pragma once
// The native code an action raises, for tests of error paths.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "platform/QELException.h"

namespace qel::test {

// The native code of the EQELException `action` raises; 0 when none.
inline std::int32_t NativeErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EQELException& e) {
    return e.NativeError();
  }
  return 0;
}

// The native code and the message text (without the " - Native error: "
// suffix) of the EQELException `action` raises; {0, ""} when none.
inline std::pair<std::int32_t, std::string> CodeAndMessage(const std::function<void()>& action) {
  try {
    action();
  } catch (const EQELException& e) {
    std::string text = e.what();
    const auto suffix = text.rfind(" - Native error: ");
    if (suffix != std::string::npos) text.resize(suffix);
    return {e.NativeError(), text};
  }
  return {0, {}};
}

}  // namespace qel::test
