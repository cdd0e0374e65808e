#pragma once
// The native code an action raises, for tests of error paths.

#include <cstdint>
#include <functional>

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

}  // namespace qel::test
