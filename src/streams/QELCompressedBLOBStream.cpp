#include "streams/QELCompressedBLOBStream.h"

#include <algorithm>
#include <cstring>

#include "platform/QELEndian.h"
#include "platform/QELException.h"

namespace qel {

namespace {

constexpr std::int64_t kHeaderSize = TQELCompressedBlockHeader::kSize;

}  // namespace

void TQELCompressedStreamDescriptor::Load(const std::uint8_t* bytes) {
  using namespace compressed_descriptor;
  BlockSize = QELReadLE<std::int32_t>(bytes + kBlockSize);
  BlockCount = QELReadLE<std::int64_t>(bytes + kBlockCount);
  UncompressedSize = QELReadLE<std::int64_t>(bytes + kUncompressedSize);
  StartPosition = QELReadLE<std::int64_t>(bytes + kStartPosition);
  CompressionAlgorithm = bytes[kCompressionAlgorithm];
  CompressionMode = bytes[kCompressionMode];
}

void TQELCompressedStreamDescriptor::Store(std::uint8_t* bytes) const {
  using namespace compressed_descriptor;
  std::memset(bytes, 0, kSize);
  QELWriteLE(bytes + kBlockSize, BlockSize);
  QELWriteLE(bytes + kBlockCount, BlockCount);
  QELWriteLE(bytes + kUncompressedSize, UncompressedSize);
  QELWriteLE(bytes + kStartPosition, StartPosition);
  bytes[kCompressionAlgorithm] = CompressionAlgorithm;
  bytes[kCompressionMode] = CompressionMode;
}

TQELCompressedBLOBStream::TQELCompressedBLOBStream(TQELStream& stream, bool tolerateShortStream, bool isNew,
                                                   const TQELCompressedStreamDescriptor& descriptor)
    : TolerateShortStream(tolerateShortStream), FStream(stream), FDescriptor(descriptor) {
  SeekUnderlying(FDescriptor.StartPosition, 10103);
  if (IsCompressed()) {
    if (isNew) {
      if (FDescriptor.BlockSize == 0) FDescriptor.BlockSize = DefaultCompressionBlockSize(FDescriptor.CompressionMode);
      FDescriptor.BlockCount = 0;
    }
    if (FDescriptor.BlockSize <= 0) {
      throw EQELException(10080, "Invalid compressed stream block size = %d", {FDescriptor.BlockSize});
    }
    ScanHeaders();
    return;
  }
  if (isNew) {
    FUncompressedSize = 0;
  } else {
    const std::int64_t available = FStream.GetSize() - FDescriptor.StartPosition;
    FUncompressedSize = std::max<std::int64_t>(FDescriptor.UncompressedSize, 0);
    if (available < FUncompressedSize) {
      if (!TolerateShortStream) {
        throw EQELException(10081, "Stream size = %d too small. Should be at least = %d",
                            {FStream.GetSize(), FDescriptor.StartPosition + FUncompressedSize});
      }
      FUncompressedSize = std::max<std::int64_t>(available, 0);
    }
  }
  UpdateTotals();
}

TQELCompressedBLOBStream::~TQELCompressedBLOBStream() {
  try {
    Flush();
  } catch (...) {
    // Nothing can be reported from a destructor.
  }
}

void TQELCompressedBLOBStream::Flush() {
  if (FPending.empty()) return;
  StoreBlock(static_cast<std::int64_t>(FHeaders.size()), ChainEnd(), FPending.data(),
             static_cast<std::int64_t>(FPending.size()));
  FPending.clear();
  CutUnderlyingAfterChain();
  UpdateTotals();
}

void TQELCompressedBLOBStream::SeekUnderlying(std::int64_t position, std::int32_t nativeCode) {
  if (FStream.Seek(position, soBeginning) != position) {
    throw EQELException(nativeCode, "Cannot set stream position to %d. Position = %d, Size = %d",
                        {position, FStream.Position(), FStream.GetSize()});
  }
}

// A header that cannot belong to a block this stream wrote: refused rather
// than followed to a wild position or a huge allocation.
void TQELCompressedBLOBStream::CheckBlockHeader(const TQELCompressedBlockHeader& header,
                                                std::int64_t position) const {
  if (header.CompressedSize <= 0 || header.UncompressedSize <= 0 ||
      header.UncompressedSize > FDescriptor.BlockSize || header.NextBlockOffset != header.CompressedSize + kHeaderSize) {
    throw EQELException(10084,
                        "Invalid block header. Position = %d, CompressedSize = %d, UncompressedSize = %d, "
                        "NextBlockOffset = %d",
                        {position, header.CompressedSize, header.UncompressedSize, header.NextBlockOffset});
  }
}

void TQELCompressedBLOBStream::ScanHeaders() {
  FHeaders.clear();
  FHeaderPositions.clear();
  const std::int64_t streamSize = FStream.GetSize();
  std::int64_t position = FDescriptor.StartPosition;
  for (std::int64_t block = 0; block < FDescriptor.BlockCount; ++block) {
    if (streamSize - position < kHeaderSize) {
      if (TolerateShortStream) break;
      throw EQELException(10082, "Stream size = %d too small. Should be at least = %d",
                          {streamSize, position + kHeaderSize});
    }
    std::uint8_t bytes[kHeaderSize];
    SeekUnderlying(position, 10083);
    if (FStream.Read(bytes, kHeaderSize) != kHeaderSize) {
      if (TolerateShortStream) break;
      throw EQELException(10082, "Stream size = %d too small. Should be at least = %d",
                          {streamSize, position + kHeaderSize});
    }
    TQELCompressedBlockHeader header;
    header.Load(bytes);
    CheckBlockHeader(header, position);
    // A block whose data the stream does not hold is as missing as its header.
    if (position + header.NextBlockOffset > streamSize) {
      if (TolerateShortStream) break;
      throw EQELException(10082, "Stream size = %d too small. Should be at least = %d",
                          {streamSize, position + header.NextBlockOffset});
    }
    if (!FHeaders.empty() && FHeaders.back().UncompressedSize != FDescriptor.BlockSize) {
      throw EQELException(10084,
                          "Invalid block header. Position = %d, CompressedSize = %d, UncompressedSize = %d, "
                          "NextBlockOffset = %d",
                          {FHeaderPositions.back(), FHeaders.back().CompressedSize, FHeaders.back().UncompressedSize,
                           FHeaders.back().NextBlockOffset});
    }
    FHeaders.push_back(header);
    FHeaderPositions.push_back(position);
    position += header.NextBlockOffset;
  }
  FUncompressedSize = 0;
  for (const TQELCompressedBlockHeader& header : FHeaders) FUncompressedSize += header.UncompressedSize;
  UpdateTotals();
}

void TQELCompressedBLOBStream::UpdateTotals() {
  if (IsCompressed()) {
    FCompressedSize = 0;
    for (const TQELCompressedBlockHeader& header : FHeaders) FCompressedSize += header.CompressedSize;
    FCompressionRate = FUncompressedSize > 0
                           ? (1.0 - static_cast<double>(FCompressedSize) / static_cast<double>(FUncompressedSize)) * 100.0
                           : 0.0;
  } else {
    FCompressedSize = FUncompressedSize;
    FCompressionRate = 0;
  }
  FDescriptor.BlockCount = static_cast<std::int64_t>(FHeaders.size());
  FDescriptor.UncompressedSize = FUncompressedSize;
}

std::int64_t TQELCompressedBLOBStream::ChainEnd() const {
  return FHeaders.empty() ? FDescriptor.StartPosition : FHeaderPositions.back() + FHeaders.back().NextBlockOffset;
}

const std::vector<std::uint8_t>& TQELCompressedBLOBStream::LoadBlock(std::int64_t block) {
  if (block == FCachedBlock) return FBlockData;
  FCachedBlock = -1;
  const TQELCompressedBlockHeader& header = FHeaders[static_cast<std::size_t>(block)];
  const std::int64_t position = FHeaderPositions[static_cast<std::size_t>(block)] + kHeaderSize;
  FCompressed.resize(static_cast<std::size_t>(header.CompressedSize));
  SeekUnderlying(position, 10086);
  const std::int64_t got = FStream.Read(FCompressed.data(), header.CompressedSize);
  if (got != header.CompressedSize) {
    throw EQELException(10086,
                        "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d",
                        {position, FStream.GetSize(), header.CompressedSize, got});
  }
  std::int64_t produced = header.UncompressedSize;
  if (!DecompressBuffer(FDescriptor.CompressionAlgorithm, FCompressed.data(), header.CompressedSize, produced,
                        FBlockData)) {
    throw EQELException(10087, "Decompress buffer failed. CompAlg = %d, InSize = %d, OutSize = %d",
                        {FDescriptor.CompressionAlgorithm, header.CompressedSize, produced});
  }
  if (produced != header.UncompressedSize) {
    throw EQELException(10088, "Decompress buffer failed. UncompSize = %d, Header.UncompSize = %d",
                        {produced, header.UncompressedSize});
  }
  const std::uint32_t checksum = BlockCrc32(0, FBlockData.data(), FBlockData.size());
  if (checksum != header.Crc32) {
    throw EQELException(10089, "Decompress buffer failed. CheckSum = %d, Header.Crc32 = %d",
                        {checksum, header.Crc32});
  }
  FCachedBlock = block;
  return FBlockData;
}

std::int64_t TQELCompressedBLOBStream::Read(void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  if (!IsCompressed()) {
    const std::int64_t n = std::min(count, FUncompressedSize - FPosition);
    if (n <= 0) return 0;
    SeekUnderlying(FDescriptor.StartPosition + FPosition, 10103);
    const std::int64_t got = std::max<std::int64_t>(FStream.Read(buffer, n), 0);
    FPosition += got;
    return got;
  }
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::int64_t done = 0;
  while (done < count && FPosition < FUncompressedSize) {
    if (FPosition >= StoredSize()) {
      // Bytes still waiting in memory.
      const std::int64_t offset = FPosition - StoredSize();
      const std::int64_t n = std::min(count - done, static_cast<std::int64_t>(FPending.size()) - offset);
      std::memcpy(out + done, FPending.data() + offset, static_cast<std::size_t>(n));
      FPosition += n;
      done += n;
      continue;
    }
    const std::int64_t block = FPosition / FDescriptor.BlockSize;
    FCurrentBlock = static_cast<std::int32_t>(block);
    const std::vector<std::uint8_t>& data = LoadBlock(block);
    const std::int64_t offset = FPosition % FDescriptor.BlockSize;
    const std::int64_t n = std::min({static_cast<std::int64_t>(data.size()) - offset, count - done,
                                     FUncompressedSize - FPosition});
    if (n <= 0) throw EQELException(10090, "Cannot read from stream. ReadSize = %d", {n});
    std::memcpy(out + done, data.data() + offset, static_cast<std::size_t>(n));
    FPosition += n;
    done += n;
  }
  return done;
}

void TQELCompressedBLOBStream::StoreBlock(std::int64_t block, std::int64_t position, const std::uint8_t* data,
                                          std::int64_t size) {
  TQELCompressedBlockHeader header;
  if (!CompressBuffer(FDescriptor.CompressionAlgorithm, FDescriptor.CompressionMode, data, size, header,
                      FCompressed)) {
    throw EQELException(10085, "Compress buffer failed. CompAlg = %d, CompMode = %d, InSize = %d, OutSize = %d",
                        {FDescriptor.CompressionAlgorithm, FDescriptor.CompressionMode, size, FCompressed.size()});
  }
  header.NextBlockOffset = header.CompressedSize + kHeaderSize;
  SeekUnderlying(position, 10099);
  std::uint8_t bytes[kHeaderSize];
  header.Store(bytes);
  const std::int64_t headerWritten = FStream.Write(bytes, kHeaderSize);
  if (headerWritten != kHeaderSize) {
    throw EQELException(10100,
                        "Cannot write to stream. Position = %d, Stream size = %d, Block size = %d, Bytes Write = %d",
                        {position, FStream.GetSize(), kHeaderSize, headerWritten});
  }
  const std::int64_t dataWritten = FStream.Write(FCompressed.data(), header.CompressedSize);
  if (dataWritten != header.CompressedSize) {
    throw EQELException(10101,
                        "Cannot write to stream. Position = %d, Stream size = %d, Block size = %d, Bytes Write = %d",
                        {position + kHeaderSize, FStream.GetSize(), header.CompressedSize, dataWritten});
  }
  const auto index = static_cast<std::size_t>(block);
  if (index == FHeaders.size()) {
    FHeaders.push_back(header);
    FHeaderPositions.push_back(position);
  } else {
    FHeaders[index] = header;
    FHeaderPositions[index] = position;
  }
  if (FCachedBlock == block) FCachedBlock = -1;
}

// Appends at the end. The last block, when partial, is taken back into
// memory; full blocks are compressed as they fill, and what is left waits
// in memory for more bytes or a flush.
void TQELCompressedBLOBStream::AppendBlocks(const std::uint8_t* data, std::int64_t size) {
  const std::int64_t blockSize = FDescriptor.BlockSize;
  if (FPending.empty() && FUncompressedSize % blockSize > 0 && size > 0) {
    FPending = LoadBlock(static_cast<std::int64_t>(FHeaders.size()) - 1);
    FHeaders.pop_back();
    FHeaderPositions.pop_back();
    FCachedBlock = -1;
  }
  if (!FPending.empty()) {
    const std::int64_t take = std::min(blockSize - static_cast<std::int64_t>(FPending.size()), size);
    FPending.insert(FPending.end(), data, data + take);
    data += take;
    size -= take;
    FUncompressedSize += take;
    if (static_cast<std::int64_t>(FPending.size()) < blockSize) {
      UpdateTotals();
      return;
    }
    std::vector<std::uint8_t> full;
    full.swap(FPending);
    StoreBlock(static_cast<std::int64_t>(FHeaders.size()), ChainEnd(), full.data(), blockSize);
  }
  while (size >= blockSize) {
    StoreBlock(static_cast<std::int64_t>(FHeaders.size()), ChainEnd(), data, blockSize);
    data += blockSize;
    size -= blockSize;
    FUncompressedSize += blockSize;
  }
  if (size > 0) {
    FPending.assign(data, data + size);
    FUncompressedSize += size;
  }
  CutUnderlyingAfterChain();
  UpdateTotals();
}

// A rewritten last block may be shorter than before: nothing of the old
// block may be left behind the chain.
void TQELCompressedBLOBStream::CutUnderlyingAfterChain() {
  const std::int64_t end = ChainEnd();
  if (FStream.GetSize() > end) {
    FStream.SetSize(end);
    if (FStream.GetSize() != end) {
      throw EQELException(10091, "Invalid stream size = %d. Should be = %d", {FStream.GetSize(), end});
    }
  }
}

std::int64_t TQELCompressedBLOBStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  if (!IsCompressed()) {
    SeekUnderlying(FDescriptor.StartPosition + FPosition, 10099);
    const std::int64_t written = std::max<std::int64_t>(FStream.Write(buffer, count), 0);
    FPosition += written;
    FUncompressedSize = FStream.GetSize() - FDescriptor.StartPosition;
    UpdateTotals();
    return written;
  }
  if (FPosition < FUncompressedSize) return 0;
  if (FPosition > FUncompressedSize) Grow(FPosition);
  AppendBlocks(static_cast<const std::uint8_t*>(buffer), count);
  FPosition += count;
  return count;
}

std::int64_t TQELCompressedBLOBStream::Seek(std::int64_t offset, TQELSeekOrigin origin) {
  const std::int64_t base = origin == soBeginning ? 0 : (origin == soCurrent ? FPosition : FUncompressedSize);
  const std::int64_t target = std::max<std::int64_t>(base + offset, 0);
  if (!IsCompressed()) {
    FPosition = std::max<std::int64_t>(FStream.Seek(FDescriptor.StartPosition + target, soBeginning) -
                                           FDescriptor.StartPosition,
                                       0);
    return FPosition;
  }
  FPosition = target;
  if (FPosition == 0) FCurrentBlock = 0;
  return FPosition;
}

void TQELCompressedBLOBStream::Grow(std::int64_t newSize) {
  if (newSize <= FUncompressedSize) {
    throw EQELException(10098, "Invalid extension size. NewSize = %d, UncompressedSize = %d, ExtensionSize = %d",
                        {newSize, FUncompressedSize, newSize - FUncompressedSize});
  }
  const std::vector<std::uint8_t> zeros(static_cast<std::size_t>(std::min<std::int64_t>(FDescriptor.BlockSize, newSize - FUncompressedSize)), 0);
  while (FUncompressedSize < newSize) {
    const std::int64_t chunk = std::min<std::int64_t>(static_cast<std::int64_t>(zeros.size()), newSize - FUncompressedSize);
    AppendBlocks(zeros.data(), chunk);
  }
}

void TQELCompressedBLOBStream::Shrink(std::int64_t newSize) {
  const std::int64_t blockSize = FDescriptor.BlockSize;
  const std::int64_t remainder = newSize % blockSize;
  const std::size_t keptWhole = static_cast<std::size_t>(newSize / blockSize);
  if (remainder > 0) {
    std::vector<std::uint8_t> head = LoadBlock(static_cast<std::int64_t>(keptWhole));
    head.resize(static_cast<std::size_t>(remainder));
    const std::int64_t position = FHeaderPositions[keptWhole];
    FHeaders.resize(keptWhole);
    FHeaderPositions.resize(keptWhole);
    StoreBlock(static_cast<std::int64_t>(keptWhole), position, head.data(), remainder);
  } else {
    FHeaders.resize(keptWhole);
    FHeaderPositions.resize(keptWhole);
  }
  FCachedBlock = -1;
  FUncompressedSize = newSize;
  CutUnderlyingAfterChain();
  UpdateTotals();
}

void TQELCompressedBLOBStream::SetSize(std::int64_t size) {
  size = std::max<std::int64_t>(size, 0);
  Flush();
  if (!IsCompressed()) {
    FStream.SetSize(FDescriptor.StartPosition + size);
    FUncompressedSize = size;
  } else if (size > FUncompressedSize) {
    Grow(size);
  } else if (size < FUncompressedSize) {
    Shrink(size);
  }
  UpdateTotals();
  FPosition = std::min(FPosition, FUncompressedSize);
}

}  // namespace qel
