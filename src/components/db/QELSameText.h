#pragma once
// Names of sessions, databases and tables are told apart without regard to
// case, as the engine compares its own names: equal after upper-casing.

#include <string_view>

#include "platform/QELCollation.h"

namespace qel {

// Upper-casing maps every ASCII character to one character, and only an i
// to a different one from locale to locale, so ASCII names are told apart
// without building their upper-case copies unless they differ in the case
// of an i.
inline bool QELSameText(std::string_view a, std::string_view b) {
  if (a == b) return true;
  bool ascii = true;
  bool caseOfI = false;
  for (const char c : a) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  for (const char c : b) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      const char x = a[i];
      const char y = b[i];
      if (x == y) continue;
      const char lower = static_cast<char>(x | 0x20);
      if ((x ^ y) != 0x20 || lower < 'a' || lower > 'z') return false;
      caseOfI = caseOfI || lower == 'i';
    }
    if (!caseOfI) return true;
  }
  return QELUpperCase(a) == QELUpperCase(b);
}

}  // namespace qel
