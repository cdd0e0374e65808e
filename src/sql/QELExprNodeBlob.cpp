#include "sql/QELExprNodeBlob.h"

#include <algorithm>
#include <cstring>

namespace qel {

std::string QELDecodeBase64(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3 + 3);
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    int digit;
    if (c >= 'A' && c <= 'Z') {
      digit = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      digit = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      digit = c - '0' + 52;
    } else if (c == '+') {
      digit = 62;
    } else if (c == '/') {
      digit = 63;
    } else if (c == '=') {
      break;
    } else {
      continue;
    }
    bits = bits << 6 | static_cast<std::uint32_t>(digit);
    if (++count == 4) {
      bytes.push_back(static_cast<char>(bits >> 16));
      bytes.push_back(static_cast<char>(bits >> 8));
      bytes.push_back(static_cast<char>(bits));
      bits = 0;
      count = 0;
    }
  }
  // A last group of two or three digits carries one or two bytes.
  if (count == 2) bytes.push_back(static_cast<char>(bits >> 4));
  if (count == 3) {
    bytes.push_back(static_cast<char>(bits >> 10));
    bytes.push_back(static_cast<char>(bits >> 2));
  }
  return bytes;
}

std::int32_t TQELExprNodeBlob::GetDataSize() {
  const TQELVariant& text = Child(0).Evaluate();
  if (text.IsNull()) return 1;
  return std::max<std::int32_t>(1, static_cast<std::int32_t>(QELDecodeBase64(QELTextOf(text, FScratch)).size()));
}

TQELVariant& TQELExprNodeBlob::Evaluate() {
  const TQELVariant& text = Child(0).Evaluate();
  if (text.IsNull()) {
    FValue.Clear(bftString);
    return FValue;
  }
  const std::string bytes = QELDecodeBase64(QELTextOf(text, FScratch));
  if (bytes.empty()) {
    FValue.Clear(bftString);
    return FValue;
  }
  // The bytes as they are, zero bytes included, with a terminator behind.
  std::uint8_t* data = FValue.AllocateData(static_cast<std::int32_t>(bytes.size() + 1), bftString);
  std::memcpy(data, bytes.data(), bytes.size());
  data[bytes.size()] = 0;
  return FValue;
}

}  // namespace qel
