#pragma once
// Block compression for BLOB values: the algorithms, their modes, the block
// CRC and the whole-buffer compress and decompress functions.

#include <cstdint>
#include <string_view>
#include <vector>

namespace qel {

enum TQELCompressionAlgorithm : std::uint8_t { cmNone = 0, cmZLIB = 1, cmBZIP = 2, cmPPM = 3 };

// The algorithm named (case-insensitively) "NONE", "ZLIB", "BZIP" or "PPM";
// any other name gives cmNone.
std::uint8_t CompressionAlgorithmFromName(std::string_view name);
std::string_view CompressionAlgorithmName(std::uint8_t algorithm);

// Uncompressed bytes per block when a new stream is given block size 0.
std::int32_t DefaultCompressionBlockSize(std::uint8_t mode);

// The PPM model order and memory of a mode 1..9.
struct TQELPpmParameters {
  int Order;
  int MemoryMB;
};
TQELPpmParameters PpmParametersForMode(std::uint8_t mode);

// The block CRC: the reflected CRC-32 of the IEEE polynomial with the
// register starting at `crc` (0 for a new value) and no final inversion.
// This is not zlib's crc32, which inverts before and after.
std::uint32_t BlockCrc32(std::uint32_t crc, const void* data, std::size_t size);

// The 20-byte header in front of every compressed block:
//
//    0  4  CompressedSize: the block's compressed bytes after the header
//    4  4  UncompressedSize
//    8  4  Crc32 of the uncompressed bytes (BlockCrc32)
//   12  8  NextBlockOffset: from this header to the next one
namespace compressed_block {

inline constexpr int kCompressedSize = 0;
inline constexpr int kUncompressedSize = 4;
inline constexpr int kCrc32 = 8;
inline constexpr int kNextBlockOffset = 12;

}  // namespace compressed_block

struct TQELCompressedBlockHeader {
  static constexpr std::int64_t kSize = 20;
  std::int32_t CompressedSize = 0;
  std::int32_t UncompressedSize = 0;
  std::uint32_t Crc32 = 0;
  std::int64_t NextBlockOffset = 0;

  void Load(const std::uint8_t* bytes);
  void Store(std::uint8_t* bytes) const;
};

// Every field starts where the one before it ends, and the last ends the
// header.
namespace compressed_block {
static_assert(kUncompressedSize == kCompressedSize + sizeof(TQELCompressedBlockHeader::CompressedSize));
static_assert(kCrc32 == kUncompressedSize + sizeof(TQELCompressedBlockHeader::UncompressedSize));
static_assert(kNextBlockOffset == kCrc32 + sizeof(TQELCompressedBlockHeader::Crc32));
static_assert(kNextBlockOffset + sizeof(TQELCompressedBlockHeader::NextBlockOffset) ==
              TQELCompressedBlockHeader::kSize);
}  // namespace compressed_block

// Compresses `size` bytes into `output`, filling the header's sizes and
// CRC. False for algorithm NONE, an empty input, a library failure or an
// empty result.
bool CompressBuffer(std::uint8_t algorithm, std::uint8_t mode, const void* data, std::int64_t size,
                    TQELCompressedBlockHeader& header, std::vector<std::uint8_t>& output);

// Decompresses into `output`. `uncompressedSize` carries the expected size
// in (never more is produced) and the produced size out. False for
// algorithm NONE, an empty input or any failure.
bool DecompressBuffer(std::uint8_t algorithm, const void* data, std::int64_t compressedSize,
                      std::int64_t& uncompressedSize, std::vector<std::uint8_t>& output);

}  // namespace qel
