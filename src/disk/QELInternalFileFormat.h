#pragma once
// The layout shared by both kinds of internal files: a chain of pages of one
// type, linked through the page header's NextPageNo (-1 ends it), with a
// 10-byte header at the start of the first page's data area:
//
//   0  1  header length (10)
//   1  4  StoredSize: content bytes in the chain (compressed size if compressed)
//   5  4  UncompressedSize: logical content size (0 in direct-access files)
//   9  1  CompressionAlgorithm (0 = stored as is)
//
// Content position x lies in chain page (x + 10) / D at data offset
// (x + 10) % D, with D the page data size.

#include <cstdint>

#include "platform/QELEndian.h"

namespace qel::internal_file {

inline constexpr std::int32_t kHeaderSize = 10;
inline constexpr int kStoredSize = 1;
inline constexpr int kUncompressedSize = 5;
inline constexpr int kCompressionAlgorithm = 9;

struct THeader {
  std::int32_t StoredSize = 0;
  std::int32_t UncompressedSize = 0;
  std::uint8_t CompressionAlgorithm = 0;

  void Load(const std::uint8_t* data) {
    StoredSize = QELReadLE<std::int32_t>(data + kStoredSize);
    UncompressedSize = QELReadLE<std::int32_t>(data + kUncompressedSize);
    CompressionAlgorithm = data[kCompressionAlgorithm];
  }
  void Store(std::uint8_t* data) const {
    data[0] = kHeaderSize;
    QELWriteLE(data + kStoredSize, StoredSize);
    QELWriteLE(data + kUncompressedSize, UncompressedSize);
    data[kCompressionAlgorithm] = CompressionAlgorithm;
  }
};

// Pages a content of `size` bytes needs (at least one).
inline std::int64_t PagesNeeded(std::int64_t size, std::int32_t dataSize) {
  const std::int64_t bytes = size + kHeaderSize;
  return bytes <= dataSize ? 1 : (bytes + dataSize - 1) / dataSize;
}

}  // namespace qel::internal_file
