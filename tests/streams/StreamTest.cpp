// Memory, file and temporary streams, and the copy operations of every stream.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <numeric>
#include <vector>

#include "memory/QELMemory.h"
#include "platform/QELException.h"
#include "streams/QELFileStream.h"
#include "streams/QELMemoryStream.h"
#include "streams/QELTemporaryStream.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

std::vector<std::uint8_t> ReadAll(TQELStream& stream) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stream.GetSize()));
  stream.SetPosition(0);
  EXPECT_EQ(stream.Read(bytes.data(), static_cast<std::int64_t>(bytes.size())), stream.GetSize());
  return bytes;
}

TEST(MemoryStreamTest, GrowsSeeksAndFillsGapsWithZeros) {
  TQELMemoryStream stream;
  const auto data = Pattern(1000);
  EXPECT_EQ(stream.Write(data.data(), 1000), 1000);
  EXPECT_GE(stream.Capacity(), 2000);  // twice the size on growth
  EXPECT_EQ(stream.Seek(-10, soEnd), 990);
  std::uint8_t tail[20];
  EXPECT_EQ(stream.Read(tail, 20), 10);  // at most size - position
  EXPECT_EQ(tail[0], data[990]);
  stream.Seek(1100, soBeginning);  // beyond the end is allowed
  EXPECT_EQ(stream.Read(tail, 1), 0);
  stream.Write("x", 1);
  EXPECT_EQ(stream.GetSize(), 1101);
  EXPECT_EQ(stream.Memory()[1050], 0);
  stream.SetSize(0);
  EXPECT_EQ(stream.Memory(), nullptr);
}

TEST(MemoryStreamTest, AdoptsAnEngineBlock) {
  void* block = QELMemoryManager().GetMem(16);
  std::memcpy(block, "sixteen bytes!!!", 16);
  TQELMemoryStream stream(block);
  EXPECT_EQ(stream.GetSize(), 16);
  char text[17] = {};
  stream.Read(text, 16);
  EXPECT_STREQ(text, "sixteen bytes!!!");
}

TEST(TemporaryStreamTest, SpillsToAQelFileBeyondOneMegabyte) {
  TQELTemporaryStream stream;
  const auto data = Pattern(1048576);
  EXPECT_EQ(stream.Write(data.data(), 1048576), 1048576);
  EXPECT_FALSE(stream.IsInFile());
  stream.Seek(-5, soEnd);
  EXPECT_EQ(stream.Write("12345", 5), 5);  // rewriting inside stays in memory
  EXPECT_FALSE(stream.IsInFile());
  stream.Seek(0, soEnd);
  EXPECT_EQ(stream.Write("+", 1), 1);
  ASSERT_TRUE(stream.IsInFile());
  char target[512] = {};
  const std::string link = "/proc/self/fd/" + std::to_string(stream.File()->Handle());
  ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::filesystem::path(target).filename().string().rfind("QEL", 0), 0u) << target;
  EXPECT_EQ(stream.Position(), 1048577);
  const auto all = ReadAll(stream);
  ASSERT_EQ(all.size(), 1048577u);
  EXPECT_TRUE(std::equal(data.begin(), data.end() - 5, all.begin()));
  EXPECT_EQ(std::string(all.end() - 6, all.end()), "12345+");

  TQELTemporaryStream memoryOnly(true);
  memoryOnly.SetSize(3 * 1048576);
  EXPECT_FALSE(memoryOnly.IsInFile());
}

// A reset stream is empty and in memory again, whatever it held, and
// takes the spill rule it is reset with.
TEST(TemporaryStreamTest, ResetEmptiesItBackIntoMemory) {
  TQELTemporaryStream stream;
  const auto data = Pattern(1048576 + 10);
  stream.Write(data.data(), static_cast<std::int64_t>(data.size()));
  ASSERT_TRUE(stream.IsInFile());
  for (const bool memoryOnly : {true, false}) {
    stream.Reset(memoryOnly);
    EXPECT_FALSE(stream.IsInFile());
    EXPECT_EQ(stream.GetSize(), 0);
    EXPECT_EQ(stream.Position(), 0);
    EXPECT_EQ(stream.Write(data.data(), static_cast<std::int64_t>(data.size())),
              static_cast<std::int64_t>(data.size()));
    EXPECT_EQ(stream.IsInFile(), !memoryOnly);
    EXPECT_TRUE(ReadAll(stream) == data);
  }
}

TEST(FileStreamTest, CreatesOpensAndRefusesMissingFiles) {
  test::TScratchDir dir;
  const std::string path = dir.File("s.bin");
  {
    TQELFileStream stream(path, false, TQELFileStream::kCreateMode);
    stream.Write("abcdef", 6);
    stream.SetSize(4);
    EXPECT_EQ(stream.Position(), 4);
  }
  TQELFileStream again(path, false, 0);  // read, no sharing
  char text[8] = {};
  EXPECT_EQ(again.Read(text, 8), 4);
  EXPECT_STREQ(text, "abcd");
  try {
    TQELFileStream missing(dir.File("none.bin"), false, 1);
    FAIL();
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), 10105);
    EXPECT_NE(std::string(e.what()).find("Mode = 1"), std::string::npos);
  }
  EXPECT_THROW(TQELFileStream(dir.File("no/dir.bin"), false, TQELFileStream::kCreateMode), EQELException);
}

TEST(StreamCopyTest, CopiesInBlocksWithProgressAndRestoresPositions) {
  TQELMemoryStream source;
  const auto data = Pattern(250000);
  source.Write(data.data(), 250000);
  source.SetPosition(1234);
  source.BlockSize = 100000;
  std::vector<double> progress;
  source.OnProgress = [&](TQELStream&, double percent) { progress.push_back(percent); };
  TQELMemoryStream dest;
  source.SaveToStream(dest);
  EXPECT_EQ(source.Position(), 1234);
  EXPECT_EQ(ReadAll(dest), data);
  EXPECT_EQ(progress, (std::vector<double>{0, 40, 80, 100, 100}));

  TQELMemoryStream part;
  part.Write("old", 3);
  part.CopyFrom(source, 10, 100);
  EXPECT_EQ(ReadAll(part), std::vector<std::uint8_t>(data.begin() + 100, data.begin() + 110));
  EXPECT_EQ(source.Position(), 1234);
  EXPECT_THROW(part.CopyFrom(source, 10, 249995), EQELException);  // runs out of source

  source.BlockSize = 0;
  try {
    source.SaveToStream(dest);
    FAIL();
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), 10418);
  }
}

}  // namespace
}  // namespace qel
