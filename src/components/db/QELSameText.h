#pragma once
// Names of sessions, databases and tables are told apart without regard to
// case, as the engine compares its own names: equal after upper-casing.

#include <string_view>

#include "platform/QELCollation.h"

namespace qel {

inline bool QELSameText(std::string_view a, std::string_view b) {
  return a == b || QELUpperCase(a) == QELUpperCase(b);
}

}  // namespace qel
