#include "dialogs/QELWesternCodePage.h"

#include <QStringView>

#include <array>
#include <cstddef>
#include <utility>

namespace qel {

namespace {

// The characters of bytes 0x80..0x9F; zero where the code page leaves the
// byte undefined. Every other byte is the Latin-1 character of its value.
constexpr std::array<char16_t, 32> kHighBytes = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       //
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

// The byte of `unit`, or -1 when the code page has none. A surrogate is
// never one: no character outside the basic plane is in the page.
int ByteOf(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return unit;
  for (std::size_t i = 0; i < kHighBytes.size(); ++i) {
    if (kHighBytes[i] != 0 && kHighBytes[i] == unit) return static_cast<int>(0x80 + i);
  }
  return -1;
}

}  // namespace

bool QELEncodeWesternCodePage(const QString& text, std::string& bytes, QString& refused) {
  std::string encoded;
  encoded.reserve(static_cast<std::size_t>(text.size()));
  for (qsizetype i = 0; i < text.size(); ++i) {
    const int byte = ByteOf(text[i].unicode());
    if (byte < 0) {
      // Name the whole character, both halves of a surrogate pair.
      const bool pair = text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate();
      refused = text.mid(i, pair ? 2 : 1);
      return false;
    }
    encoded.push_back(static_cast<char>(byte));
  }
  bytes = std::move(encoded);
  return true;
}

}  // namespace qel
