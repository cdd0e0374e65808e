// Opening database files (passwords, repair flags, files inside other
// files, read-only files), pages through the cache under every cipher, and
// damaged pages.

#include <gtest/gtest.h>

#include <cstring>

#include "DiskTestSupport.h"
#include "platform/QELEndian.h"
#include "platform/QELFile.h"

namespace qel {
namespace {

using test::NativeErrorOf;
using test::ReadFileBytes;
using test::WriteFileBytes;

class DiskPageManagerTest : public ::testing::Test {
 protected:
  // A file with three committed pages.
  std::string MakeDatabase(const std::string& name, const std::string& password = "",
                           std::uint8_t cipher = caRijndael_128) {
    const std::string path = FDir.File(name);
    TQELDiskPageManager manager;
    manager.CreateDatabase(path, {password, cipher}, 8, 1024);
    FPages = test::AddPages(manager, 3);
    return path;
  }

  test::TScratchDir FDir;
  std::vector<std::int32_t> FPages;
};

TEST_F(DiskPageManagerTest, WrongOrEmptyPasswordFailsBeforeAnyPageIsRead) {
  const std::string path = MakeDatabase("p.qel", "benar", caSquare);
  for (const char* wrong : {"salah", ""}) {
    TQELDiskPageManager manager;
    EXPECT_EQ(NativeErrorOf([&] { manager.OpenDatabase(path, {wrong}); }), 30445) << wrong;
    EXPECT_FALSE(manager.IsOpen());
  }
  TQELDiskPageManager manager;
  const TQELOpenResult opened = manager.OpenDatabase(path, {"benar", caRijndael_128});
  EXPECT_EQ(opened.CryptoAlgorithm, caSquare);  // the file's cipher comes back
}

TEST_F(DiskPageManagerTest, UncleanOrOldFilesNeedRepair) {
  struct Case {
    const char* Name;
    std::function<void(std::vector<std::uint8_t>&)> Damage;
    bool NeedRepair;
  };
  const Case cases[] = {
      {"clean", [](std::vector<std::uint8_t>&) {}, false},
      {"write state 1", [](std::vector<std::uint8_t>& b) { b[database_header::kWriteState] = 1; }, true},
      {"format 2.5", [](std::vector<std::uint8_t>& b) { QELWriteLE(&b[database_header::kFormatVersion], 2.5); }, true},
  };
  const std::string original = MakeDatabase("r.qel");
  const std::vector<std::uint8_t> bytes = ReadFileBytes(original);
  for (const Case& c : cases) {
    std::vector<std::uint8_t> damaged = bytes;
    c.Damage(damaged);
    const std::string path = FDir.File(std::string(c.Name) + ".qel");
    WriteFileBytes(path, damaged);
    TQELDiskPageManager manager;
    EXPECT_EQ(manager.OpenDatabase(path, {}).NeedRepair, c.NeedRepair) << c.Name;
  }
}

TEST_F(DiskPageManagerTest, DatabaseBehindOtherDataOpensWithShiftedOffsets) {
  const std::string path = MakeDatabase("inner.qel", "x", caBlowfish);
  std::vector<std::uint8_t> bytes(50000, 'Q');  // other data, even with stray signature letters
  const std::vector<std::uint8_t> database = ReadFileBytes(path);
  bytes.insert(bytes.end(), database.begin(), database.end());
  const std::string outer = FDir.File("outer.bin");
  WriteFileBytes(outer, bytes);

  TQELDiskPageManager manager;
  manager.OpenDatabase(outer, {"x"});
  EXPECT_EQ(manager.BaseOffset(), 50000);
  EXPECT_EQ(manager.GetPageOffset(2), 50000 + 380 + 2 * 1024);
  for (const std::int32_t pageNo : FPages) {
    TQELPage* page = manager.GetPage(0, pageNo, false, ptTableRecord);
    EXPECT_EQ(page->Data()[0], pageNo);
    manager.ReleasePage(page);
  }
  // Writing goes to the shifted place too.
  EXPECT_EQ(test::AddPages(manager, 1).size(), 1u);
  const std::vector<std::uint8_t> after = ReadFileBytes(outer);
  EXPECT_EQ(std::vector<std::uint8_t>(after.begin(), after.begin() + 50000), std::vector<std::uint8_t>(50000, 'Q'));
}

TEST_F(DiskPageManagerTest, ReadOnlyAttributeOpensReadOnly) {
  const std::string path = MakeDatabase("ro.qel");
  ASSERT_TRUE(QELSetReadOnlyAttribute(path, true));
  TQELDiskPageManager manager;
  const TQELOpenResult opened = manager.OpenDatabase(path, {}, {.MultiUser = true});
  EXPECT_TRUE(opened.ReadOnly);
  EXPECT_FALSE(opened.MultiUser);
  const std::vector<std::uint8_t> before = ReadFileBytes(path);
  const std::int32_t first = manager.GetNextObjectID();
  EXPECT_GE(first, 1);
  EXPECT_LE(first, 1 + 9999);
  EXPECT_EQ(ReadFileBytes(path), before);  // the counter was not stored
  // Reading works, writing is refused with an engine error.
  TQELPage* page = manager.GetPage(0, FPages[0], false, ptTableRecord);
  manager.ReleasePage(page);
  EXPECT_NE(NativeErrorOf([&] { test::AddPages(manager, 1); }), 0);
  manager.CancelChanges(0);
  QELSetReadOnlyAttribute(path, false);
}

TEST_F(DiskPageManagerTest, ObjectIdsCountUpInTheFile) {
  const std::string path = MakeDatabase("ids.qel");
  {
    TQELDiskPageManager manager;
    manager.OpenDatabase(path, {});
    EXPECT_EQ(manager.GetNextObjectID(), 1);
    EXPECT_EQ(manager.GetNextObjectID(), 2);
  }
  TQELDiskPageManager manager;
  manager.OpenDatabase(path, {});
  EXPECT_EQ(manager.GetNextObjectID(), 3);
}

TEST_F(DiskPageManagerTest, EveryCipherRoundTripsPagesThroughTheCache) {
  for (int cipher = 0; cipher < kQELCryptoAlgorithmCount; ++cipher) {
    SCOPED_TRACE(CryptoAlgorithmName(cipher));
    const std::string path = FDir.File("c" + std::to_string(cipher) + ".qel");
    std::vector<std::int32_t> pageNos;
    {
      TQELDiskPageManager manager;
      manager.CreateDatabase(path, {"kunci", static_cast<std::uint8_t>(cipher)}, 8, 1024);
      for (int i = 0; i < 5; ++i) {
        TQELPage* page = manager.AddNewPage(0, ptTableRecord);
        for (std::uint32_t b = 0; b < page->DataSize(); ++b) page->Data()[b] = static_cast<std::uint8_t>(b * 3 + i);
        pageNos.push_back(page->PageNo);
        manager.ReleasePage(page);
      }
      manager.ApplyChanges(0);
      // The cached copy stays plain after the write.
      TQELPage* cached = manager.GetPage(0, pageNos[0], false, ptTableRecord);
      EXPECT_EQ(cached->Data()[1], 3);
      manager.ReleasePage(cached);
    }
    TQELDiskPageManager manager;
    manager.OpenDatabase(path, {"kunci"});
    for (int i = 0; i < 5; ++i) {
      TQELPage* page = manager.GetPage(0, pageNos[static_cast<std::size_t>(i)], false, ptTableRecord);
      bool same = true;
      for (std::uint32_t b = 0; b < page->DataSize(); ++b) same &= page->Data()[b] == static_cast<std::uint8_t>(b * 3 + i);
      EXPECT_TRUE(same) << "page " << page->PageNo;
      manager.ReleasePage(page);
    }
  }
}

TEST_F(DiskPageManagerTest, AlteredEncryptedPageFailsItsCrc) {
  const std::string path = MakeDatabase("crc.qel", "pw", caRijndael_256);
  std::vector<std::uint8_t> bytes = ReadFileBytes(path);
  bytes[380 + std::size_t(FPages[1]) * 1024 + 500] ^= 0x01;
  WriteFileBytes(path, bytes);
  TQELDiskPageManager manager;
  manager.OpenDatabase(path, {"pw"});
  try {
    manager.GetPage(0, FPages[1], false, ptTableRecord);
    FAIL() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), 30446);
    EXPECT_EQ(std::string(e.what()),
              "Decrypt page error. Check CRC failed. PageNo: " + std::to_string(FPages[1]) + " - Native error: 30446");
  }
  // The other pages still read, and the bad one is not served from the cache.
  TQELPage* good = manager.GetPage(0, FPages[0], false, ptTableRecord);
  manager.ReleasePage(good);
  EXPECT_EQ(NativeErrorOf([&] { manager.GetPage(0, FPages[1], false, ptTableRecord); }), 30446);
}

TEST_F(DiskPageManagerTest, PagePartsOutsideThePageAreRefused) {
  TQELDiskPageManager manager;
  manager.CreateDatabase(FDir.File("part.qel"), {"", 0}, 8, 4096);
  test::AddPages(manager, 1);
  std::uint8_t buffer[200];
  try {
    manager.ReadPagePart(buffer, 2, 4000, 200);
    FAIL() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), 10476);
    EXPECT_STREQ(e.what(), "Error - invalid page offset = 4200, page size = 4096 - Native error: 10476");
  }
  EXPECT_EQ(NativeErrorOf([&] { manager.WritePagePart(buffer, 2, 3900, 200); }), 10477);
  manager.ReadPagePart(buffer, 2, 0, 4);
  EXPECT_EQ(std::memcmp(buffer, "QELP", 4), 0);
  EXPECT_EQ(NativeErrorOf([&] { manager.GetPageOffset(-1); }), 10471);
}

TEST_F(DiskPageManagerTest, SpacePagesCannotBeTakenOrFreed) {
  TQELDiskPageManager manager;
  manager.CreateDatabase(FDir.File("space.qel"), {"", 0}, 8, 1024);
  test::AddPages(manager, 1);
  for (const std::int32_t pageNo : {0, 1}) {
    EXPECT_EQ(NativeErrorOf([&] { manager.GetPage(0, pageNo, false, kQELAnyPageType); }), 30434);
    EXPECT_EQ(NativeErrorOf([&] { manager.RemovePage(0, pageNo); }), 30434);
    EXPECT_EQ(NativeErrorOf([&] { manager.FreePage(pageNo); }), 30434);
  }
}

TEST_F(DiskPageManagerTest, CreatingOrOpeningTwiceIsRefused) {
  TQELDiskPageManager manager;
  const std::string path = FDir.File("twice.qel");
  manager.CreateDatabase(path, {"", 0}, 8, 1024);
  EXPECT_EQ(NativeErrorOf([&] { manager.CreateDatabase(path, {"", 0}, 8, 1024); }), 10461);
  EXPECT_EQ(NativeErrorOf([&] { manager.OpenDatabase(path, {}); }), 10462);
  TQELDiskPageManager other;
  EXPECT_EQ(NativeErrorOf([&] { other.CreateDatabase(FDir.File("tiny.qel"), {"", 0}, 8, 40); }), 30384);
  EXPECT_EQ(NativeErrorOf([&] { other.CreateDatabase(FDir.File("tiny.qel"), {"", 0}, 0, 1024); }), 30385);
  EXPECT_EQ(NativeErrorOf([&] { other.OpenDatabase(FDir.File("missing.qel"), {}); }), 30364);
}

}  // namespace
}  // namespace qel
