#include "streams/QELPpmCompression.h"

#include <cstring>

#include "platform/QELEndian.h"
#include "streams/QELCompression.h"
#include "streams/ppmd/QELPpmd.h"

namespace qel {

namespace {

// The stored word: (order - 1) | ((memory MB - 1) << 4) | 0x6000.
constexpr std::uint32_t kWordMark = 0x6000;
constexpr std::size_t kWordSize = 4;

}  // namespace

bool PpmCompressBuffer(std::uint8_t mode, const std::uint8_t* data, std::size_t size,
                       std::vector<std::uint8_t>& output) {
  if (mode < 1 || mode > 9) return false;
  const TQELPpmParameters parameters = PpmParametersForMode(mode);
  std::vector<std::uint8_t> coded;
  if (!PpmdCompress(data, size, parameters.Order, parameters.MemoryMB, coded)) {
    output.clear();
    return false;
  }
  const std::uint32_t word = static_cast<std::uint32_t>(parameters.Order - 1) |
                             (static_cast<std::uint32_t>(parameters.MemoryMB - 1) << 4) | kWordMark;
  output.resize(kWordSize + coded.size());
  QELWriteLE(output.data(), word);
  std::memcpy(output.data() + kWordSize, coded.data(), coded.size());
  return true;
}

bool PpmDecompressBuffer(const std::uint8_t* data, std::size_t size, std::size_t expected,
                         std::vector<std::uint8_t>& output) {
  output.clear();
  if (size < kWordSize || expected == 0) return false;
  const std::uint32_t word = QELReadLE<std::uint32_t>(data);
  if ((word & 0xF000) != kWordMark) return false;
  const int order = static_cast<int>(word & 0xF) + 1;
  const int memoryMB = static_cast<int>((word >> 4) & 0xFF) + 1;
  output.resize(expected);
  if (!PpmdDecompress(data + kWordSize, size - kWordSize, order, memoryMB, output.data(), expected)) {
    output.clear();
    return false;
  }
  return true;
}

}  // namespace qel
