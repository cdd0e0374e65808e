// Compressed BLOB streams: the block chain format, reads across blocks,
// appending, resizing, damaged and short chains, for every algorithm.

#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <random>
#include <vector>

#include "platform/QELException.h"
#include "support/ErrorSupport.h"
#include "streams/QELCompressedBLOBStream.h"
#include "streams/QELMemoryStream.h"

namespace qel {
namespace {

using test::NativeErrorOf;

using Bytes = std::vector<std::uint8_t>;

// Text-like bytes that compress, with some variety.
Bytes Sample(std::size_t size, unsigned seed = 1) {
  static const char* const kWords[] = {"basis ", "data ", "istilah ", "kunci ", "tabel ", "indeks ", "halaman "};
  std::mt19937 random(seed);
  Bytes bytes;
  while (bytes.size() < size) {
    const std::string word = kWords[random() % 7];
    bytes.insert(bytes.end(), word.begin(), word.end());
    if (random() % 11 == 0) bytes.push_back(static_cast<std::uint8_t>(random()));
  }
  bytes.resize(size);
  return bytes;
}

TQELCompressedStreamDescriptor NewDescriptor(std::uint8_t algorithm, std::int32_t blockSize = 102400,
                                             std::int64_t start = 0) {
  TQELCompressedStreamDescriptor descriptor;
  descriptor.BlockSize = blockSize;
  descriptor.StartPosition = start;
  descriptor.CompressionAlgorithm = algorithm;
  descriptor.CompressionMode = 6;
  return descriptor;
}

Bytes ReadAll(TQELStream& stream) {
  Bytes bytes(static_cast<std::size_t>(stream.GetSize()));
  stream.Seek(0, soBeginning);
  EXPECT_EQ(stream.Read(bytes.data(), static_cast<std::int64_t>(bytes.size())), stream.GetSize());
  return bytes;
}

TEST(BlockCrcTest, IsTheIeeeRegisterFromZeroWithoutInversion) {
  const char check[] = "123456789";
  EXPECT_EQ(BlockCrc32(0, check, 9), 0x2DFD2D88u);
  EXPECT_NE(BlockCrc32(0, check, 9), static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(check), 9)));
  EXPECT_EQ(BlockCrc32(BlockCrc32(0, check, 4), check + 4, 5), 0x2DFD2D88u);  // continues a register
  EXPECT_EQ(BlockCrc32(77, nullptr, 5), 77u);
  EXPECT_EQ(BlockCrc32(77, check, 0), 77u);
}

TEST(CompressionTest, AlgorithmNamesAndModes) {
  EXPECT_EQ(CompressionAlgorithmFromName("bzip"), cmBZIP);
  EXPECT_EQ(CompressionAlgorithmFromName("ZLib"), cmZLIB);
  EXPECT_EQ(CompressionAlgorithmFromName("ppm"), cmPPM);
  EXPECT_EQ(CompressionAlgorithmFromName("gzip"), cmNone);
  EXPECT_EQ(DefaultCompressionBlockSize(0), 102400);
  EXPECT_EQ(DefaultCompressionBlockSize(3), 524288);
  EXPECT_EQ(DefaultCompressionBlockSize(6), 1048576);
  EXPECT_EQ(DefaultCompressionBlockSize(9), 1572864);
  EXPECT_EQ(PpmParametersForMode(5).Order, 7);
  EXPECT_EQ(PpmParametersForMode(5).MemoryMB, 22);
  TQELCompressedBlockHeader header;
  Bytes out;
  EXPECT_FALSE(CompressBuffer(cmNone, 6, "abc", 3, header, out));
  EXPECT_FALSE(CompressBuffer(cmZLIB, 6, "abc", 0, header, out));
  std::int64_t size = 3;
  EXPECT_FALSE(DecompressBuffer(cmZLIB, "junk", 4, size, out));
}

// PPM blocks start with a word naming the model; the decompressor takes
// order and memory from it, whatever mode the block was written with.
TEST(CompressionTest, PpmBlocksCarryTheirModel) {
  const std::string text = "istilah basis data, istilah tabel, istilah indeks; " + std::string(300, 'x');
  for (const std::uint8_t mode : {1, 5, 9}) {
    TQELCompressedBlockHeader header;
    Bytes packed;
    ASSERT_TRUE(CompressBuffer(cmPPM, mode, text.data(), static_cast<std::int64_t>(text.size()), header, packed));
    const TQELPpmParameters model = PpmParametersForMode(mode);
    const std::uint32_t word = packed[0] | packed[1] << 8 | packed[2] << 16 | static_cast<std::uint32_t>(packed[3]) << 24;
    EXPECT_EQ(word, static_cast<std::uint32_t>((model.Order - 1) | ((model.MemoryMB - 1) << 4) | 0x6000));
    std::int64_t size = static_cast<std::int64_t>(text.size());
    Bytes back;
    ASSERT_TRUE(DecompressBuffer(cmPPM, packed.data(), static_cast<std::int64_t>(packed.size()), size, back));
    EXPECT_EQ(std::string(back.begin(), back.end()), text);
    packed[1] ^= 0x80;  // no longer a model word
    EXPECT_FALSE(DecompressBuffer(cmPPM, packed.data(), static_cast<std::int64_t>(packed.size()), size, back));
  }
  TQELCompressedBlockHeader header;
  Bytes packed;
  EXPECT_FALSE(CompressBuffer(cmPPM, 0, text.data(), 10, header, packed));  // no mode 0 model
}

TEST(CompressedBLOBStreamTest, AValueIsCutIntoBlocksOfBlockSize) {
  for (const std::uint8_t algorithm : {cmZLIB, cmBZIP, cmPPM}) {
    SCOPED_TRACE(CompressionAlgorithmName(algorithm));
    TQELMemoryStream storage;
    const Bytes value = Sample(250000);
    TQELCompressedBLOBStream stream(storage, false, true, NewDescriptor(algorithm));
    EXPECT_EQ(stream.Write(value.data(), 250000), 250000);
    ASSERT_EQ(stream.BlockCount(), 3);
    const std::int32_t sizes[] = {102400, 102400, 45200};
    std::int64_t position = 0;
    for (int block = 0; block < 3; ++block) {
      const TQELCompressedBlockHeader& header = stream.BlockHeader(block);
      EXPECT_EQ(header.UncompressedSize, sizes[block]);
      EXPECT_EQ(header.NextBlockOffset, header.CompressedSize + 20);
      EXPECT_EQ(stream.BlockHeaderPosition(block), position);
      EXPECT_EQ(header.Crc32, BlockCrc32(0, value.data() + block * 102400, static_cast<std::size_t>(sizes[block])));
      position += header.NextBlockOffset;
    }
    EXPECT_EQ(storage.GetSize(), position);
    EXPECT_GT(stream.CompressionRate(), 50.0);
    EXPECT_EQ(stream.Descriptor().BlockCount, 3);
    EXPECT_EQ(stream.Descriptor().UncompressedSize, 250000);

    // Reading back through a stream opened from the stored descriptor, with
    // a read that spans blocks 0 and 1.
    TQELCompressedBLOBStream reader(storage, false, false, stream.Descriptor());
    EXPECT_EQ(reader.GetSize(), 250000);
    std::uint8_t ten[10];
    reader.Seek(102395, soBeginning);
    EXPECT_EQ(reader.Read(ten, 10), 10);
    EXPECT_EQ(Bytes(ten, ten + 10), Bytes(value.begin() + 102395, value.begin() + 102405));
    EXPECT_EQ(ReadAll(reader), value);
    reader.Seek(249995, soBeginning);
    EXPECT_EQ(reader.Read(ten, 10), 5);
  }
}

TEST(CompressedBLOBStreamTest, AppendingInPiecesGivesTheSameValue) {
  for (const std::uint8_t algorithm : {cmNone, cmZLIB, cmBZIP, cmPPM}) {
    SCOPED_TRACE(CompressionAlgorithmName(algorithm));
    TQELMemoryStream storage;
    storage.Write("prefix", 6);  // the value starts behind other bytes
    TQELCompressedBLOBStream stream(storage, false, true, NewDescriptor(algorithm, 1000, 6));
    const Bytes value = Sample(5321, 3);
    std::size_t done = 0;
    for (const std::size_t piece : {1, 999, 1, 1000, 1500, 7, 1813}) {
      ASSERT_EQ(stream.Write(value.data() + done, static_cast<std::int64_t>(piece)), static_cast<std::int64_t>(piece));
      done += piece;
    }
    ASSERT_EQ(done, value.size());
    EXPECT_EQ(ReadAll(stream), value);
    TQELCompressedBLOBStream reader(storage, false, false, stream.Descriptor());
    EXPECT_EQ(ReadAll(reader), value);
    storage.SetPosition(0);
    char prefix[6];
    storage.Read(prefix, 6);
    EXPECT_EQ(std::string(prefix, 6), "prefix");
    if (algorithm != cmNone) {
      EXPECT_EQ(stream.BlockCount(), 6);
      // Only at the end: a write inside the value writes nothing.
      stream.Seek(0, soBeginning);
      EXPECT_EQ(stream.Write("zz", 2), 0);
      EXPECT_EQ(ReadAll(stream), value);
    }
  }
}

TEST(CompressedBLOBStreamTest, SetSizeShrinksToWholeBlocksAndGrowsWithZeros) {
  TQELMemoryStream storage;
  const Bytes value = Sample(250000, 5);
  TQELCompressedBLOBStream stream(storage, false, true, NewDescriptor(cmZLIB));
  stream.Write(value.data(), 250000);
  stream.SetSize(100000);
  EXPECT_EQ(stream.BlockCount(), 1);
  EXPECT_EQ(stream.BlockHeader(0).UncompressedSize, 100000);
  EXPECT_EQ(storage.GetSize(), stream.BlockHeader(0).NextBlockOffset);  // the chain's tail is cut off
  EXPECT_EQ(ReadAll(stream), Bytes(value.begin(), value.begin() + 100000));
  stream.SetSize(250000);
  EXPECT_EQ(stream.BlockCount(), 3);
  Bytes expected(value.begin(), value.begin() + 100000);
  expected.resize(250000, 0);
  EXPECT_EQ(ReadAll(stream), expected);
  TQELCompressedBLOBStream reader(storage, false, false, stream.Descriptor());
  EXPECT_EQ(ReadAll(reader), expected);
  // A write past the end fills the gap with zeros.
  stream.Seek(250010, soBeginning);
  stream.Write("!", 1);
  EXPECT_EQ(stream.GetSize(), 250011);
  stream.SetSize(0);
  EXPECT_EQ(stream.BlockCount(), 0);
  EXPECT_EQ(storage.GetSize(), 0);
}

class DamagedChainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TQELCompressedBLOBStream stream(FStorage, false, true, NewDescriptor(cmZLIB, 10000));
    FValue = Sample(35000, 9);
    stream.Write(FValue.data(), 35000);
    FDescriptor = stream.Descriptor();
    FBlock2 = stream.BlockHeaderPosition(2);
    FBlock3 = stream.BlockHeaderPosition(3);
  }
  void Poke(std::int64_t position, std::uint8_t xorMask) {
    FStorage.SetPosition(position);
    std::uint8_t byte = 0;
    FStorage.Read(&byte, 1);
    byte ^= xorMask;
    FStorage.SetPosition(position);
    FStorage.Write(&byte, 1);
  }

  TQELMemoryStream FStorage;
  Bytes FValue;
  TQELCompressedStreamDescriptor FDescriptor;
  std::int64_t FBlock2 = 0, FBlock3 = 0;
};

TEST_F(DamagedChainTest, AWrongChecksumNamesBothValues) {
  Poke(FBlock2 + compressed_block::kCrc32, 0x01);  // the stored CRC of block 2
  TQELCompressedBLOBStream reader(FStorage, false, false, FDescriptor);
  std::uint8_t byte;
  reader.Seek(25000, soBeginning);
  try {
    reader.Read(&byte, 1);
    FAIL() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), 10089);
    EXPECT_EQ(std::string(e.what()).rfind("Decompress buffer failed. CheckSum = ", 0), 0u) << e.what();
  }
  reader.Seek(0, soBeginning);
  EXPECT_EQ(reader.Read(&byte, 1), 1);  // other blocks still read
}

TEST_F(DamagedChainTest, EveryChangedDataByteFailsCleanly) {
  // Each byte of block 2's compressed data, one at a time.
  for (std::int64_t position = FBlock2 + TQELCompressedBlockHeader::kSize; position < FBlock3; position += 7) {
    Poke(position, 0x5A);
    TQELCompressedBLOBStream reader(FStorage, false, false, FDescriptor);
    reader.Seek(21000, soBeginning);
    std::uint8_t bytes[100];
    const std::int32_t code = NativeErrorOf([&] { reader.Read(bytes, 100); });
    EXPECT_TRUE(code == 10087 || code == 10088 || code == 10089) << "position " << position << " code " << code;
    Poke(position, 0x5A);
  }
}

TEST_F(DamagedChainTest, AShortChainFailsOrIsCutAtTheLastWholeBlock) {
  FStorage.SetSize(FBlock3 + 10);  // block 3's header is cut
  EXPECT_EQ(NativeErrorOf([&] { TQELCompressedBLOBStream(FStorage, false, false, FDescriptor); }), 10082);
  TQELCompressedBLOBStream tolerant(FStorage, true, false, FDescriptor);
  EXPECT_EQ(tolerant.BlockCount(), 3);
  EXPECT_EQ(ReadAll(tolerant), Bytes(FValue.begin(), FValue.begin() + 30000));

  FStorage.SetSize(FBlock3 - 5);  // block 2's data is cut
  EXPECT_EQ(NativeErrorOf([&] { TQELCompressedBLOBStream(FStorage, false, false, FDescriptor); }), 10082);
  EXPECT_EQ(TQELCompressedBLOBStream(FStorage, true, false, FDescriptor).BlockCount(), 2);
}

TEST_F(DamagedChainTest, AnImpossibleHeaderIsRefused) {
  // Block 2 claims far more bytes than a block holds.
  Poke(FBlock2 + compressed_block::kUncompressedSize + 1, 0x40);
  EXPECT_EQ(NativeErrorOf([&] { TQELCompressedBLOBStream(FStorage, false, false, FDescriptor); }), 10084);
}

TEST(CompressedBLOBStreamTest, UncompressedValuesNeedTheirBytes) {
  TQELMemoryStream storage;
  TQELCompressedBLOBStream writer(storage, false, true, NewDescriptor(cmNone));
  const Bytes value = Sample(3000);
  writer.Write(value.data(), 3000);
  EXPECT_EQ(writer.CompressedSize(), 3000);
  TQELCompressedStreamDescriptor descriptor = writer.Descriptor();
  descriptor.UncompressedSize = 3500;
  EXPECT_EQ(NativeErrorOf([&] { TQELCompressedBLOBStream(storage, false, false, descriptor); }), 10081);
  TQELCompressedBLOBStream tolerant(storage, true, false, descriptor);
  EXPECT_EQ(ReadAll(tolerant), value);
}

TEST(CompressedBLOBStreamTest, DescriptorBytesRoundTrip) {
  TQELCompressedStreamDescriptor descriptor = NewDescriptor(cmBZIP, 524288, 1234567890123);
  descriptor.BlockCount = 7;
  descriptor.UncompressedSize = 3000000;
  std::uint8_t bytes[32];
  descriptor.Store(bytes);
  EXPECT_EQ(bytes[28], cmBZIP);
  EXPECT_EQ(bytes[30], 0);
  TQELCompressedStreamDescriptor loaded;
  loaded.Load(bytes);
  EXPECT_EQ(loaded.BlockSize, 524288);
  EXPECT_EQ(loaded.BlockCount, 7);
  EXPECT_EQ(loaded.UncompressedSize, 3000000);
  EXPECT_EQ(loaded.StartPosition, 1234567890123);
  EXPECT_EQ(loaded.CompressionMode, 6);
}

}  // namespace
}  // namespace qel
