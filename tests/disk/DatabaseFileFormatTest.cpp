// The bytes of a new database file and where its pages land.

#include <gtest/gtest.h>

#include <cstring>

#include "DiskTestSupport.h"
#include "platform/QELEndian.h"

namespace qel {
namespace {

using test::ReadFileBytes;

TEST(DatabaseFileFormatTest, NewPlainFileIsThePrologueOnly) {
  test::TScratchDir dir;
  const std::string path = dir.File("new.qel");
  {
    TQELDiskPageManager manager;
    manager.CreateDatabase(path, {"", 0}, 8, 4096);
  }
  const std::vector<std::uint8_t> bytes = ReadFileBytes(path);
  ASSERT_EQ(bytes.size(), 380u);
  EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 16), "QELM0NTEDATABASE");
  EXPECT_EQ(QELReadLE<std::int16_t>(&bytes[16]), 76);
  EXPECT_EQ(QELReadLE<std::uint64_t>(&bytes[18]), 0x40143D70A3D70A3Du);  // 5.06
  EXPECT_EQ(QELReadLE<std::uint16_t>(&bytes[26]), 4096);
  EXPECT_EQ(QELReadLE<std::uint16_t>(&bytes[28]), 8);
  EXPECT_EQ(QELReadLE<std::int32_t>(&bytes[30]), 0);   // TotalPageCount
  EXPECT_EQ(QELReadLE<std::int32_t>(&bytes[34]), -1);  // LastUsedPageNo
  EXPECT_EQ(QELReadLE<std::int32_t>(&bytes[38]), 0);   // CommitCounter
  EXPECT_EQ(bytes[42], 2);                             // WriteState
  EXPECT_EQ(bytes[43], 0);                             // Encrypted
  for (int i = 44; i < 76; ++i) EXPECT_EQ(bytes[i], 0) << "header byte " << i;
  EXPECT_EQ(QELReadLE<std::int16_t>(&bytes[76]), 280);
  for (int i = 78; i < 356; ++i) EXPECT_EQ(bytes[i], 0) << "extended header byte " << i;
  EXPECT_EQ(QELReadLE<std::int16_t>(&bytes[356]), 20);
  for (int i = 358; i < 380; ++i) EXPECT_EQ(bytes[i], 0) << "lock area / object id byte " << i;
}

TEST(DatabaseFileFormatTest, FirstAllocationGivesPageTwoInASixPageFile) {
  test::TScratchDir dir;
  const std::string path = dir.File("six.qel");
  {
    TQELDiskPageManager manager;
    manager.CreateDatabase(path, {"", 0}, 8, 4096);
    EXPECT_EQ(test::AddPages(manager, 1), std::vector<std::int32_t>{2});
    EXPECT_EQ(manager.GetPageCount(), 6);
  }
  const std::vector<std::uint8_t> bytes = ReadFileBytes(path);
  ASSERT_EQ(bytes.size(), 380u + 6 * 4096);
  EXPECT_EQ(QELReadLE<std::int32_t>(&bytes[30]), 6);
  EXPECT_EQ(QELReadLE<std::int32_t>(&bytes[34]), 2);
  EXPECT_EQ(QELReadLE<std::int32_t>(&bytes[38]), 1);  // one commit
  auto page = [&](int pageNo) { return &bytes[380 + std::size_t(pageNo) * 4096]; };
  EXPECT_EQ(std::memcmp(page(0), "QELP", 4), 0);
  EXPECT_EQ(QELReadLE<std::uint16_t>(page(0) + 8), ptPFS);
  EXPECT_EQ(QELReadLE<std::uint16_t>(page(1) + 8), ptEAM);
  EXPECT_EQ(QELReadLE<std::uint16_t>(page(2) + 8), ptTableRecord);
  EXPECT_EQ(page(2)[40], 2);            // the data byte the test wrote
  EXPECT_EQ(page(0)[40], 0b00000111);   // pages 0, 1 and 2 in use
  EXPECT_EQ(page(1)[40] & 3, 1);        // extent 0 still has free pages
  // The fresh header of a page: next page -1, object id -1, owner word -1.
  EXPECT_EQ(QELReadLE<std::int32_t>(page(2) + 10), -1);
  EXPECT_EQ(QELReadLE<std::int32_t>(page(2) + 22), -1);
  EXPECT_EQ(QELReadLE<std::int32_t>(page(2) + 26), -1);
}

TEST(DatabaseFileFormatTest, EncryptedFileHasACheckBlockAndPlainSpacePages) {
  test::TScratchDir dir;
  const std::string path = dir.File("secret.qel");
  std::int32_t pageNo;
  {
    TQELDiskPageManager manager;
    manager.CreateDatabase(path, {"sandi", caTwofish_256}, 8, 1024);
    pageNo = test::AddPages(manager, 1)[0];
  }
  const std::vector<std::uint8_t> bytes = ReadFileBytes(path);
  EXPECT_EQ(bytes[43], 0xFF);
  EXPECT_EQ(bytes[78], caTwofish_256);
  // The check block decrypts to bytes whose CRC is stored beside it.
  std::vector<std::uint8_t> block(bytes.begin() + 80, bytes.begin() + 336);
  ASSERT_TRUE(DecryptData(caTwofish_256, block.data(), block.size(), "sandi"));
  for (const std::uint8_t b : block) EXPECT_LT(b, 255);
  auto page = [&](int no) { return &bytes[380 + std::size_t(no) * 1024]; };
  // Space pages are plain: the PFS bits can be read directly.
  EXPECT_EQ(page(0)[40], 0b00000111);
  EXPECT_EQ(QELReadLE<std::uint16_t>(page(1) + 8), ptEAM);
  // The data page is not: its first data byte is not the plain one, and its
  // header names the cipher.
  EXPECT_EQ(page(pageNo)[20], caTwofish_256);
  std::vector<std::uint8_t> data(page(pageNo) + 40, page(pageNo) + 1024);
  ASSERT_TRUE(DecryptData(caTwofish_256, data.data(), data.size(), "sandi"));
  EXPECT_EQ(data[0], pageNo);
}

TEST(DatabaseFileFormatTest, PageVersionSkipsTheReservedValues) {
  test::TScratchDir dir;
  TQELDiskPageManager manager;
  manager.CreateDatabase(dir.File("v.qel"), {"", 0}, 8, 4096);
  const std::int32_t pageNo = test::AddPages(manager, 1)[0];
  TQELPage* page = manager.GetPage(0, pageNo, false, ptTableRecord);
  page->SetPageVersion(0x7FFFFFFC);
  page->IsDirty = true;
  manager.ReleasePage(page);
  manager.ApplyChanges(0);
  EXPECT_EQ(TQELDiskPageManagerTestAccess::ReadPageVersion(manager, pageNo), 0);
}

}  // namespace
}  // namespace qel
