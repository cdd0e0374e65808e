#pragma once
// TQELCompressedBLOBStream: a BLOB value stored in an underlying stream as a
// chain of independently compressed blocks.
//
// Every block holds BlockSize uncompressed bytes except the last, which
// holds the rest; each is a 20-byte header (sizes, CRC, distance to the next
// header) followed by its compressed bytes. Reading position p needs only
// block p div BlockSize. The stream only grows at its end: appending
// recompresses at most the last, partial block. With algorithm NONE the
// value is stored as is.
//
// Appended bytes that do not fill a block wait in memory until the block is
// full or the stream is flushed, so that writing in small pieces compresses
// every block once. Descriptor() and the other accessors of the stored form
// flush first; the stored bytes are the same as if every write had been
// stored at once.

#include <cstdint>
#include <vector>

#include "streams/QELCompression.h"
#include "streams/QELStream.h"

namespace qel {

// What the owner of a compressed value stores with it, 32 bytes:
//
//    0  4  BlockSize: uncompressed bytes per block
//    4  8  BlockCount
//   12  8  UncompressedSize
//   20  8  StartPosition of the first block in the underlying stream
//   28  1  CompressionAlgorithm
//   29  1  CompressionMode
//   30  2  reserved, zero
namespace compressed_descriptor {

inline constexpr int kBlockSize = 0;
inline constexpr int kBlockCount = 4;
inline constexpr int kUncompressedSize = 12;
inline constexpr int kStartPosition = 20;
inline constexpr int kCompressionAlgorithm = 28;
inline constexpr int kCompressionMode = 29;
inline constexpr int kReserved = 30;
inline constexpr int kReservedSize = 2;

}  // namespace compressed_descriptor

struct TQELCompressedStreamDescriptor {
  static constexpr std::size_t kSize = 32;
  std::int32_t BlockSize = 0;
  std::int64_t BlockCount = 0;
  std::int64_t UncompressedSize = 0;
  std::int64_t StartPosition = 0;
  std::uint8_t CompressionAlgorithm = cmNone;
  std::uint8_t CompressionMode = 0;

  void Load(const std::uint8_t* bytes);
  void Store(std::uint8_t* bytes) const;
};

// Every field starts where the one before it ends, and the reserved tail
// ends the descriptor.
namespace compressed_descriptor {
static_assert(kBlockCount == kBlockSize + sizeof(TQELCompressedStreamDescriptor::BlockSize));
static_assert(kUncompressedSize == kBlockCount + sizeof(TQELCompressedStreamDescriptor::BlockCount));
static_assert(kStartPosition == kUncompressedSize + sizeof(TQELCompressedStreamDescriptor::UncompressedSize));
static_assert(kCompressionAlgorithm == kStartPosition + sizeof(TQELCompressedStreamDescriptor::StartPosition));
static_assert(kCompressionMode ==
              kCompressionAlgorithm + sizeof(TQELCompressedStreamDescriptor::CompressionAlgorithm));
static_assert(kReserved == kCompressionMode + sizeof(TQELCompressedStreamDescriptor::CompressionMode));
static_assert(kReserved + kReservedSize == TQELCompressedStreamDescriptor::kSize);
}  // namespace compressed_descriptor

class TQELCompressedBLOBStream : public TQELStream {
 public:
  // Works on `stream` (not owned) from the descriptor's StartPosition. A new
  // value starts empty; an existing one has its block headers read, and
  // with tolerateShortStream a chain that ends early is cut at the last
  // complete block instead of failing.
  TQELCompressedBLOBStream(TQELStream& stream, bool tolerateShortStream, bool isNew,
                           const TQELCompressedStreamDescriptor& descriptor);
  // Flushes; a failure there cannot be reported, so owners that keep the
  // value read Descriptor() first.
  ~TQELCompressedBLOBStream() override;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  // Writes only at the end (a write inside the value writes nothing).
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TQELSeekOrigin origin) override;
  std::int64_t GetSize() override { return FUncompressedSize; }
  void SetSize(std::int64_t size) override;

  // Stores the bytes still waiting in memory.
  void Flush();
  // The descriptor to store with the value after writing.
  const TQELCompressedStreamDescriptor& Descriptor() {
    Flush();
    return FDescriptor;
  }
  std::int64_t UncompressedSize() const { return FUncompressedSize; }
  std::int64_t CompressedSize() {
    Flush();
    return FCompressedSize;
  }
  double CompressionRate() {
    Flush();
    return FCompressionRate;
  }
  std::int64_t BlockCount() {
    Flush();
    return static_cast<std::int64_t>(FHeaders.size());
  }
  const TQELCompressedBlockHeader& BlockHeader(std::int64_t block) {
    Flush();
    return FHeaders[static_cast<std::size_t>(block)];
  }
  std::int64_t BlockHeaderPosition(std::int64_t block) {
    Flush();
    return FHeaderPositions[static_cast<std::size_t>(block)];
  }

  bool TolerateShortStream;

 private:
  bool IsCompressed() const { return FDescriptor.CompressionAlgorithm != cmNone; }
  void ScanHeaders();
  void CheckBlockHeader(const TQELCompressedBlockHeader& header, std::int64_t position) const;
  void UpdateTotals();
  // The uncompressed bytes of a block (kept for the next read of the same block).
  const std::vector<std::uint8_t>& LoadBlock(std::int64_t block);
  void SeekUnderlying(std::int64_t position, std::int32_t nativeCode);
  std::int64_t ChainEnd() const;
  // Compresses `size` bytes and writes them as block `block` at `position`.
  void StoreBlock(std::int64_t block, std::int64_t position, const std::uint8_t* data, std::int64_t size);
  void AppendBlocks(const std::uint8_t* data, std::int64_t size);
  void Grow(std::int64_t newSize);
  void Shrink(std::int64_t newSize);
  void CutUnderlyingAfterChain();

  TQELStream& FStream;
  TQELCompressedStreamDescriptor FDescriptor;
  std::vector<TQELCompressedBlockHeader> FHeaders;
  std::vector<std::int64_t> FHeaderPositions;
  std::int64_t FUncompressedSize = 0;
  std::int64_t FCompressedSize = 0;
  double FCompressionRate = 0;
  std::int64_t FPosition = 0;
  std::int32_t FCurrentBlock = 0;

  // Uncompressed bytes of the last, partial block that are not stored yet;
  // they follow the stored blocks.
  std::vector<std::uint8_t> FPending;
  std::int64_t StoredSize() const { return FUncompressedSize - static_cast<std::int64_t>(FPending.size()); }

  std::int64_t FCachedBlock = -1;
  std::vector<std::uint8_t> FBlockData;
  std::vector<std::uint8_t> FCompressed;  // reused for reads and writes
};

}  // namespace qel
