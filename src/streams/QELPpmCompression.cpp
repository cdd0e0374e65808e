#include "streams/QELPpmCompression.h"

namespace qel {

// The PPMd coder is not part of the engine yet: PPM compression fails, so
// that a stream reports "Compress buffer failed" instead of storing
// anything it could not read back.
bool PpmCompressBuffer(std::uint8_t, const std::uint8_t*, std::size_t, std::vector<std::uint8_t>& output) {
  output.clear();
  return false;
}

bool PpmDecompressBuffer(const std::uint8_t*, std::size_t, std::size_t, std::vector<std::uint8_t>& output) {
  output.clear();
  return false;
}

}  // namespace qel
