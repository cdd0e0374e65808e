// Internal files: transacted chains through the page cache (sizes, growth,
// shrinking, compression, visibility per session) and direct-access files
// (bounds and byte locks).

#include <gtest/gtest.h>

#include <numeric>

#include "DiskTestSupport.h"
#include "disk/QELInternalDBDirectAccessFile.h"
#include "disk/QELInternalDBTransactedAccessFile.h"
#include "streams/QELCompression.h"

namespace qel {
namespace {

using test::NativeErrorOf;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kPageSize = 1024;
constexpr std::int32_t kData = kPageSize - 40;  // D

Bytes Pattern(std::size_t size, std::uint8_t seed = 1) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 13 + i / 97);
  return bytes;
}

class InternalFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FPath = FDir.File("files.qel");
    FManager.CreateDatabase(FPath, {"kunci", caRijndael_128}, 8, kPageSize);
    test::AddPages(FManager, 1);  // page 2 is not ours to use here
  }

  // The page numbers of a chain, read through session 0's view.
  std::vector<std::int32_t> Chain(std::int32_t start, std::uint16_t type, std::int32_t session = 0) {
    std::vector<std::int32_t> chain;
    for (std::int32_t pageNo = start; pageNo >= 0 && chain.size() < 100;) {
      chain.push_back(pageNo);
      TQELPage* page = FManager.GetPage(session, pageNo, false, type);
      pageNo = page_header::NextPageNo(page->Header());
      FManager.ReleasePage(page);
    }
    return chain;
  }

  Bytes Read(TQELInternalDBTransactedAccessFile& file, std::int32_t session, std::int32_t count) {
    Bytes bytes(static_cast<std::size_t>(count));
    file.ReadFile(session, bytes.data(), true, count);
    return bytes;
  }

  test::TScratchDir FDir;
  std::string FPath;
  TQELDiskPageManager FManager;
};

TEST_F(InternalFileTest, ContentOfDMinusTenBytesFitsOnePage) {
  TQELInternalDBTransactedAccessFile file(FManager, ptTableMetaData);
  file.Create(0);
  const Bytes fits = Pattern(kData - 10);
  file.WriteFile(0, fits.data(), 0, cmNone, static_cast<std::int32_t>(fits.size()));
  EXPECT_EQ(Chain(file.StartPageNo(), ptTableMetaData).size(), 1u);
  const Bytes more = Pattern(kData - 9, 7);
  file.WriteFile(0, more.data(), 0, cmNone, static_cast<std::int32_t>(more.size()));
  EXPECT_EQ(Chain(file.StartPageNo(), ptTableMetaData).size(), 2u);
  FManager.ApplyChanges(0);
  EXPECT_EQ(Read(file, 0, static_cast<std::int32_t>(more.size())), more);
  const auto size = file.GetSize(0, true);
  EXPECT_EQ(size.StoredSize, kData - 9);
  EXPECT_EQ(size.UncompressedSize, kData - 9);
  try {
    Bytes tooMany(static_cast<std::size_t>(kData));
    file.ReadFile(0, tooMany.data(), true, kData);
    FAIL();
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), 30387);
    EXPECT_EQ(std::string(e.what()), "Cannot Read internal file. FileSize=" + std::to_string(kData - 9) +
                                         ". ReadSize=" + std::to_string(kData) + " - Native error: 30387");
  }
}

TEST_F(InternalFileTest, ShrinkingCutsTheChainAndFreesThePages) {
  TQELInternalDBTransactedAccessFile file(FManager, ptTableMetaData);
  file.Create(0);
  const Bytes big = Pattern(3 * kData - 100);
  file.WriteFile(0, big.data(), 0, cmNone, static_cast<std::int32_t>(big.size()));
  FManager.ApplyChanges(0);
  const std::vector<std::int32_t> before = Chain(file.StartPageNo(), ptTableMetaData);
  ASSERT_EQ(before.size(), 3u);
  const Bytes small = Pattern(50, 3);
  file.WriteFile(0, small.data(), 0, cmNone, 50);
  FManager.ApplyChanges(0);
  EXPECT_EQ(Chain(file.StartPageNo(), ptTableMetaData), std::vector<std::int32_t>{before[0]});
  EXPECT_FALSE(FManager.FreeSpaceManager()->IsPageUsed(before[1]));
  EXPECT_FALSE(FManager.FreeSpaceManager()->IsPageUsed(before[2]));
  EXPECT_EQ(Read(file, 0, 50), small);
}

TEST_F(InternalFileTest, CompressedContentRoundTripsAndStaysSmall) {
  TQELInternalDBTransactedAccessFile file(FManager, ptTableMetaData);
  file.Create(0);
  Bytes text;
  for (int i = 0; i < 400; ++i) {
    const std::string line = "field " + std::to_string(i % 17) + " INTEGER NOT NULL;\n";
    text.insert(text.end(), line.begin(), line.end());
  }
  file.WriteFile(0, text.data(), 1, cmZLIB, static_cast<std::int32_t>(text.size()));
  FManager.ApplyChanges(0);
  const auto size = file.GetSize(0, true);
  EXPECT_EQ(size.CompressionAlgorithm, cmZLIB);
  EXPECT_EQ(size.UncompressedSize, static_cast<std::int32_t>(text.size()));
  EXPECT_LT(size.StoredSize, size.UncompressedSize / 4);
  EXPECT_EQ(Read(file, 0, static_cast<std::int32_t>(text.size())), text);
  EXPECT_EQ(Read(file, 0, 10), Bytes(text.begin(), text.begin() + 10));
  // An empty content is stored, not compressed.
  file.WriteFile(0, text.data(), 1, cmZLIB, 0);
  EXPECT_EQ(file.GetSize(0, true).CompressionAlgorithm, cmNone);
}

TEST_F(InternalFileTest, ChangesAreVisibleToOtherSessionsOnlyAfterCommit) {
  TQELInternalDBTransactedAccessFile file(FManager, ptTableMetaData);
  file.Create(-2);
  const Bytes first = Pattern(700, 1);
  file.WriteFile(-2, first.data(), 0, cmNone, 700);
  FManager.ApplyChanges(-2);

  const Bytes second = Pattern(1500, 2);  // grows to two pages
  file.WriteFile(1, second.data(), 0, cmNone, 1500);
  EXPECT_EQ(Read(file, 1, 1500), second);
  EXPECT_EQ(file.GetUncompressedSize(2), 700);
  EXPECT_EQ(Read(file, 2, 700), first);
  FManager.ApplyChanges(1);
  EXPECT_EQ(Read(file, 2, 1500), second);

  // A rollback leaves the committed content, and gives the new page back.
  const Bytes third = Pattern(2500, 3);
  file.WriteFile(1, third.data(), 0, cmNone, 2500);
  const std::vector<std::int32_t> grown = Chain(file.StartPageNo(), ptTableMetaData, 1);
  ASSERT_EQ(grown.size(), 3u);
  FManager.CancelChanges(1);
  EXPECT_EQ(Read(file, 1, 1500), second);
  EXPECT_FALSE(FManager.FreeSpaceManager()->IsPageUsed(grown[2]));
}

TEST_F(InternalFileTest, ClosedFilesAndSecondCreatesAreRefused) {
  TQELInternalDBTransactedAccessFile file(FManager, ptTableMetaData);
  std::uint8_t byte;
  EXPECT_EQ(NativeErrorOf([&] { file.ReadFile(0, &byte, false, 1); }), 30389);
  file.Create(0);
  EXPECT_EQ(NativeErrorOf([&] { file.Create(0); }), 30383);
  FManager.ApplyChanges(0);
  FManager.CloseDatabase();
  // A chain page of another type is damage, reported when it is read.
  TQELDiskPageManager reader;
  reader.OpenDatabase(FPath, {"kunci"});
  TQELInternalDBTransactedAccessFile wrong(reader, ptTableList);
  wrong.Open(file.StartPageNo());
  EXPECT_EQ(NativeErrorOf([&] { wrong.GetSize(0, false); }), 20153);
}

TEST_F(InternalFileTest, DirectFilesBoundReadsWritesAndLocks) {
  TQELInternalDBDirectAccessFile file(FManager, ptTableLocks);
  file.Create(100);
  FManager.ApplyChanges(-2);
  FManager.CloseDatabase();
  // Two handles on the file, as two processes would have.
  TQELDiskPageManager mine, other;
  mine.OpenDatabase(FPath, {"kunci"});
  other.OpenDatabase(FPath, {"kunci"});
  TQELInternalDBDirectAccessFile opened(mine, ptTableLocks);
  opened.OpenAndLoad(file.StartPageNo());
  EXPECT_EQ(opened.StoredSize(), 100);
  EXPECT_EQ(opened.FileSize(), kData - 10);  // a lone page offers all of itself

  const Bytes data = Pattern(100, 9);
  EXPECT_EQ(opened.DirectWriteBuffer(data.data(), 0, 100), 100);
  EXPECT_EQ(NativeErrorOf([&] { opened.DirectWriteBuffer(data.data(), 100, 1); }), 20158);
  Bytes back(200);
  EXPECT_EQ(opened.DirectReadBuffer(back.data(), 0, 200), 200);  // reads anywhere in the page
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 100), data);
  EXPECT_EQ(NativeErrorOf([&] { opened.DirectReadBuffer(back.data(), kData, 1); }), 20159);

  // A lock byte is refused to another handle of the same file.
  TQELInternalDBDirectAccessFile theirs(other, ptTableLocks);
  theirs.OpenAndLoad(file.StartPageNo());
  ASSERT_TRUE(opened.LockByte(42));
  EXPECT_TRUE(theirs.IsByteLocked(42));
  EXPECT_FALSE(theirs.LockByte(42));
  EXPECT_TRUE(theirs.IsRegionLocked(40, 5));
  EXPECT_FALSE(theirs.IsRegionLocked(43, 5));
  EXPECT_TRUE(opened.UnlockByte(42));
  EXPECT_TRUE(theirs.LockByte(42));
  EXPECT_TRUE(theirs.UnlockByte(42));
  ASSERT_TRUE(opened.LockFile());
  EXPECT_FALSE(theirs.LockFile());
  EXPECT_EQ(theirs.DirectReadBuffer(back.data(), 0, 10), 10);  // the mutex does not block reads
  EXPECT_TRUE(opened.UnlockFile());
}

TEST_F(InternalFileTest, DirectFilesSpanPagesAndStayPlain) {
  TQELInternalDBDirectAccessFile file(FManager, ptActiveSessionList);
  file.Create(3000);
  FManager.ApplyChanges(-2);
  ASSERT_EQ(file.PageNos().size(), 4u);
  const Bytes data = Pattern(3000, 4);
  EXPECT_EQ(file.DirectWriteBuffer(data.data(), 0, 3000), 3000);
  TQELInternalDBDirectAccessFile opened(FManager, ptActiveSessionList);
  opened.OpenAndLoad(file.StartPageNo());
  EXPECT_EQ(opened.PageNos(), file.PageNos());
  Bytes back(3000);
  EXPECT_EQ(opened.DirectReadBuffer(back.data(), 0, 3000), 3000);
  EXPECT_EQ(back, data);
  // Stored plain although the database is encrypted: the bytes are in the file.
  const Bytes raw = test::ReadFileBytes(FPath);
  const std::size_t firstData = 380 + std::size_t(file.StartPageNo()) * kPageSize + 40 + 10;
  EXPECT_EQ(Bytes(raw.begin() + static_cast<std::ptrdiff_t>(firstData), raw.begin() + static_cast<std::ptrdiff_t>(firstData) + 20),
            Bytes(data.begin(), data.begin() + 20));
}

}  // namespace
}  // namespace qel
