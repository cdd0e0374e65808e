#include "streams/QELCompression.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <limits>

#include "platform/QELCrc32.h"
#include "platform/QELEndian.h"
#include "streams/QELPpmCompression.h"

namespace qel {

namespace {

// The zlib version the stored streams were made with; any 1.x library reads
// and writes the same format.
constexpr char kZlibVersion[] = "1.2.2";

constexpr std::array<std::string_view, 4> kAlgorithmNames = {"NONE", "ZLIB", "BZIP", "PPM"};

constexpr std::size_t RoundUp256(std::size_t size) { return (size + 255) & ~std::size_t{255}; }

// The first output buffer of a compression: more than any incompressible
// input needs, so the buffer almost never grows.
std::size_t CompressionBufferSize(std::size_t size) { return RoundUp256(size + size / 10 + 12); }

// A buffer that grows as output arrives; a decompression never grows past
// the expected size, so damaged input cannot blow it up.
struct TOutput {
  std::vector<std::uint8_t>& Bytes;
  std::size_t Limit;  // 0: no limit

  bool Grow(std::size_t step) {
    std::size_t size = Bytes.size() + std::max<std::size_t>(step, 1);
    if (Limit != 0) {
      if (Bytes.size() >= Limit) return false;
      size = std::min(size, Limit);
    }
    Bytes.resize(size);
    return true;
  }
};

// One deflate state per thread, reset for every value: setting one up
// allocates and clears a quarter of a megabyte, far more than compressing a
// memo of a few hundred bytes costs. A reset state compresses exactly as a
// fresh one does.
class TDeflater {
 public:
  ~TDeflater() {
    if (FReady) deflateEnd(&FStream);
  }
  z_stream* Begin(int level) {
    if (FReady && FLevel == level) return deflateReset(&FStream) == Z_OK ? &FStream : nullptr;
    if (FReady) deflateEnd(&FStream);
    FStream = z_stream{};
    FReady = deflateInit_(&FStream, level, kZlibVersion, sizeof(z_stream)) == Z_OK;
    FLevel = level;
    return FReady ? &FStream : nullptr;
  }

 private:
  z_stream FStream{};
  bool FReady = false;
  int FLevel = 0;
};

bool ZlibCompress(int level, const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) {
  thread_local TDeflater deflater;
  z_stream* state = deflater.Begin(level);
  if (state == nullptr) return false;
  z_stream& stream = *state;
  out.resize(CompressionBufferSize(size));
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = static_cast<uInt>(size);
  int result = Z_OK;
  while (result != Z_STREAM_END) {
    if (stream.total_out == out.size()) out.resize(out.size() + 256);
    stream.next_out = out.data() + stream.total_out;
    stream.avail_out = static_cast<uInt>(out.size() - stream.total_out);
    result = deflate(&stream, Z_FINISH);
    if (result != Z_OK && result != Z_STREAM_END && !(result == Z_BUF_ERROR && stream.avail_out == 0)) break;
  }
  out.resize(stream.total_out);
  return result == Z_STREAM_END;
}

// One inflate state per thread, reset for every block: blocks are small
// enough that setting up a state each time would cost a tenth of the work.
class TInflater {
 public:
  ~TInflater() {
    if (FReady) inflateEnd(&FStream);
  }
  z_stream* Begin() {
    if (!FReady) {
      FStream = z_stream{};
      FReady = inflateInit_(&FStream, kZlibVersion, sizeof(z_stream)) == Z_OK;
      return FReady ? &FStream : nullptr;
    }
    return inflateReset(&FStream) == Z_OK ? &FStream : nullptr;
  }

 private:
  z_stream FStream{};
  bool FReady = false;
};

bool ZlibDecompress(const std::uint8_t* data, std::size_t size, std::size_t expected,
                    std::vector<std::uint8_t>& out) {
  thread_local TInflater inflater;
  z_stream* state = inflater.Begin();
  if (state == nullptr) return false;
  z_stream& stream = *state;
  const std::size_t step = RoundUp256(size);
  out.resize(expected != 0 ? expected : step);
  TOutput output{out, expected};
  stream.next_in = const_cast<Bytef*>(data);
  stream.avail_in = static_cast<uInt>(size);
  int result = Z_OK;
  bool ok = false;
  for (;;) {
    if (stream.total_out == out.size() && !output.Grow(step)) break;
    stream.next_out = out.data() + stream.total_out;
    stream.avail_out = static_cast<uInt>(out.size() - stream.total_out);
    result = inflate(&stream, Z_NO_FLUSH);
    if (result == Z_STREAM_END) {
      ok = true;
      break;
    }
    // Out of input before the end, or damaged data.
    if (result != Z_OK && !(result == Z_BUF_ERROR && stream.avail_out == 0)) break;
    if (stream.avail_in == 0 && stream.avail_out != 0) break;
  }
  out.resize(stream.total_out);
  return ok;
}

std::uint64_t BzipTotalOut(const bz_stream& stream) {
  return (std::uint64_t{stream.total_out_hi32} << 32) | stream.total_out_lo32;
}

bool BzipCompress(int blockSize100k, const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out) {
  bz_stream stream{};
  if (BZ2_bzCompressInit(&stream, blockSize100k, 0, 0) != BZ_OK) return false;
  out.resize(CompressionBufferSize(size));
  stream.next_in = reinterpret_cast<char*>(const_cast<std::uint8_t*>(data));
  stream.avail_in = static_cast<unsigned>(size);
  int result = BZ_FINISH_OK;
  while (result == BZ_FINISH_OK || result == BZ_RUN_OK) {
    if (BzipTotalOut(stream) == out.size()) out.resize(out.size() + 256);
    stream.next_out = reinterpret_cast<char*>(out.data() + BzipTotalOut(stream));
    stream.avail_out = static_cast<unsigned>(out.size() - BzipTotalOut(stream));
    result = BZ2_bzCompress(&stream, BZ_FINISH);
  }
  BZ2_bzCompressEnd(&stream);
  out.resize(BzipTotalOut(stream));
  return result == BZ_STREAM_END;
}

bool BzipDecompress(const std::uint8_t* data, std::size_t size, std::size_t expected,
                    std::vector<std::uint8_t>& out) {
  bz_stream stream{};
  if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return false;
  const std::size_t step = RoundUp256(size);
  out.resize(expected != 0 ? expected : step);
  TOutput output{out, expected};
  stream.next_in = reinterpret_cast<char*>(const_cast<std::uint8_t*>(data));
  stream.avail_in = static_cast<unsigned>(size);
  bool ok = false;
  for (;;) {
    if (BzipTotalOut(stream) == out.size() && !output.Grow(step)) break;
    stream.next_out = reinterpret_cast<char*>(out.data() + BzipTotalOut(stream));
    stream.avail_out = static_cast<unsigned>(out.size() - BzipTotalOut(stream));
    const int result = BZ2_bzDecompress(&stream);
    if (result == BZ_STREAM_END) {
      ok = true;
      break;
    }
    if (result != BZ_OK || (stream.avail_in == 0 && stream.avail_out != 0)) break;
  }
  BZ2_bzDecompressEnd(&stream);
  out.resize(BzipTotalOut(stream));
  return ok;
}

// Compressed blocks are at most a few megabytes; anything near 2 GiB is
// refused rather than handed to libraries with 32-bit counters.
bool FitsLibraries(std::int64_t size) { return size > 0 && size < std::numeric_limits<std::int32_t>::max(); }

}  // namespace

std::uint8_t CompressionAlgorithmFromName(std::string_view name) {
  for (std::size_t id = 0; id < kAlgorithmNames.size(); ++id) {
    const std::string_view known = kAlgorithmNames[id];
    if (known.size() == name.size() &&
        std::equal(known.begin(), known.end(), name.begin(), [](char a, char b) {
          return a == std::toupper(static_cast<unsigned char>(b));
        })) {
      return static_cast<std::uint8_t>(id);
    }
  }
  return cmNone;
}

std::string_view CompressionAlgorithmName(std::uint8_t algorithm) {
  return algorithm < kAlgorithmNames.size() ? kAlgorithmNames[algorithm] : std::string_view();
}

std::int32_t DefaultCompressionBlockSize(std::uint8_t mode) {
  if (mode == 0) return 102400;
  if (mode <= 3) return 524288;
  if (mode <= 6) return 1048576;
  return 1572864;
}

TQELPpmParameters PpmParametersForMode(std::uint8_t mode) {
  static constexpr TQELPpmParameters kModes[] = {{2, 2},  {3, 3},  {4, 7},   {5, 16},  {7, 22},
                                                 {8, 25}, {10, 40}, {13, 100}, {16, 100}};
  return kModes[std::clamp<int>(mode, 1, 9) - 1];
}

std::uint32_t BlockCrc32(std::uint32_t crc, const void* data, std::size_t size) {
  if (data == nullptr || size == 0) return crc;
  // The CRC-32 convention inverts the register before and after; undoing
  // both gives the plain register update.
  return QELCrc32(crc ^ 0xFFFFFFFFu, data, size) ^ 0xFFFFFFFFu;
}

void TQELCompressedBlockHeader::Load(const std::uint8_t* bytes) {
  using namespace compressed_block;
  CompressedSize = QELReadLE<std::int32_t>(bytes + kCompressedSize);
  UncompressedSize = QELReadLE<std::int32_t>(bytes + kUncompressedSize);
  Crc32 = QELReadLE<std::uint32_t>(bytes + kCrc32);
  NextBlockOffset = QELReadLE<std::int64_t>(bytes + kNextBlockOffset);
}

void TQELCompressedBlockHeader::Store(std::uint8_t* bytes) const {
  using namespace compressed_block;
  QELWriteLE(bytes + kCompressedSize, CompressedSize);
  QELWriteLE(bytes + kUncompressedSize, UncompressedSize);
  QELWriteLE(bytes + kCrc32, Crc32);
  QELWriteLE(bytes + kNextBlockOffset, NextBlockOffset);
}

bool CompressBuffer(std::uint8_t algorithm, std::uint8_t mode, const void* data, std::int64_t size,
                    TQELCompressedBlockHeader& header, std::vector<std::uint8_t>& output) {
  if (algorithm == cmNone || data == nullptr || !FitsLibraries(size)) return false;
  header.UncompressedSize = static_cast<std::int32_t>(size);
  header.Crc32 = BlockCrc32(0, data, static_cast<std::size_t>(size));
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const auto length = static_cast<std::size_t>(size);
  bool ok = false;
  try {
    switch (algorithm) {
      case cmZLIB: ok = ZlibCompress(mode, bytes, length, output); break;
      case cmBZIP: ok = BzipCompress(mode, bytes, length, output); break;
      case cmPPM: ok = PpmCompressBuffer(mode, bytes, length, output); break;
      default: ok = false;
    }
  } catch (...) {
    ok = false;  // library failures become a false result
  }
  if (!ok || output.empty()) return false;
  header.CompressedSize = static_cast<std::int32_t>(output.size());
  return true;
}

bool DecompressBuffer(std::uint8_t algorithm, const void* data, std::int64_t compressedSize,
                      std::int64_t& uncompressedSize, std::vector<std::uint8_t>& output) {
  if (algorithm == cmNone || data == nullptr || !FitsLibraries(compressedSize) || uncompressedSize < 0 ||
      uncompressedSize >= std::numeric_limits<std::int32_t>::max()) {
    return false;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const auto length = static_cast<std::size_t>(compressedSize);
  const auto expected = static_cast<std::size_t>(uncompressedSize);
  bool ok = false;
  try {
    switch (algorithm) {
      case cmZLIB: ok = ZlibDecompress(bytes, length, expected, output); break;
      case cmBZIP: ok = BzipDecompress(bytes, length, expected, output); break;
      case cmPPM: ok = PpmDecompressBuffer(bytes, length, expected, output); break;
      default: ok = false;
    }
  } catch (...) {
    ok = false;
  }
  uncompressedSize = static_cast<std::int64_t>(output.size());
  return ok && !output.empty();
}

}  // namespace qel
