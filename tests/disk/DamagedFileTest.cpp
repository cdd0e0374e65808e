// Damaged database files: every truncation of a small file, random bytes
// in every field of the prologue, and damaged sizes of the system files.
// Each must open correctly or fail with an engine error, and never crash,
// hang or read out of bounds (the sanitizer build runs this too).

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "DiskTestSupport.h"
#include "TableFileSupport.h"
#include "disk/QELInternalFileFormat.h"

namespace qel {
namespace {

struct TFieldRange {
  const char* Name;
  std::size_t Offset;
  std::size_t Size;
};

// The prologue's fields, as laid out in a file the engine creates.
const TFieldRange kFields[] = {
    {"Signature", 0, 16},          {"HeaderSize", 16, 2},        {"FormatVersion", 18, 8},
    {"PageSize", 26, 2},           {"PageCountInExtent", 28, 2}, {"TotalPageCount", 30, 4},
    {"LastUsedPageNo", 34, 4},     {"CommitCounter", 38, 4},     {"WriteState", 42, 1},
    {"Encrypted", 43, 1},          {"ExtendedHeaderSize", 76, 2}, {"CryptoAlgorithm", 78, 1},
    {"PasswordCheckBlock", 80, 256}, {"PasswordCheckCRC", 336, 4}, {"LockAreaSize", 356, 2},
    {"NextObjectID", 376, 4},
};

class DamagedFileTest : public ::testing::TestWithParam<std::string> {
 protected:
  // A small file: 128-byte pages, a few pages with data.
  void SetUp() override {
    const std::string path = FDir.File("good.qel");
    TQELDiskPageManager manager;
    manager.CreateDatabase(path, {GetParam(), caRijndael_128}, 1, 128);
    test::AddPages(manager, 4);
    manager.CloseDatabase();
    FGood = test::ReadFileBytes(path);
  }

  // Opens the bytes and reads every page the file can hold. Answers whether
  // it opened; any failure must be an engine error.
  bool TryOpen(const std::vector<std::uint8_t>& bytes) {
    const std::string path = FDir.File("damaged.qel");
    test::WriteFileBytes(path, bytes);
    TQELDiskPageManager manager;
    manager.RetryPolicy = {3, 1};
    try {
      manager.OpenDatabase(path, {GetParam()});
    } catch (const EQELException&) {
      return false;
    }
    const std::int64_t pages = static_cast<std::int64_t>(bytes.size()) / manager.PageSize() + 1;
    for (std::int32_t pageNo = 0; pageNo < pages && pageNo < 64; ++pageNo) {
      try {
        TQELPage* page = manager.GetPage(0, pageNo, false, kQELAnyPageType);
        manager.ReleasePage(page);
      } catch (const EQELException&) {
      }
    }
    try {
      manager.GetPageCount();
      manager.GetNextObjectID();
    } catch (const EQELException&) {
    }
    return true;
  }

  test::TScratchDir FDir;
  std::vector<std::uint8_t> FGood;
};

TEST_P(DamagedFileTest, EveryTruncationOpensOrFailsCleanly) {
  int opened = 0;
  for (std::size_t length = 0; length <= FGood.size(); ++length) {
    opened += TryOpen(std::vector<std::uint8_t>(FGood.begin(), FGood.begin() + static_cast<std::ptrdiff_t>(length)));
  }
  // The whole file opens; a file cut inside its prologue does not.
  EXPECT_TRUE(TryOpen(FGood));
  EXPECT_FALSE(TryOpen(std::vector<std::uint8_t>(FGood.begin(), FGood.begin() + 50)));
  EXPECT_GT(opened, 0);
}

TEST_P(DamagedFileTest, RandomBytesInEveryPrologueFieldOpenOrFailCleanly) {
  std::mt19937 random(12345);
  for (const TFieldRange& field : kFields) {
    SCOPED_TRACE(field.Name);
    for (int trial = 0; trial < 40; ++trial) {
      std::vector<std::uint8_t> bytes = FGood;
      for (std::size_t i = 0; i < field.Size; ++i) bytes[field.Offset + i] = static_cast<std::uint8_t>(random());
      TryOpen(bytes);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(PlainAndEncrypted, DamagedFileTest, ::testing::Values("", "rahasia"),
                         [](const auto& info) { return info.param.empty() ? "Plain" : "Encrypted"; });


// The sizes at the start of a system file (the system directory, the table
// list, a table's metadata and header) say how much content follows. A
// damaged one must be refused with an engine error before it decides how
// much memory to take: a negative size once escaped as a library error,
// and a huge one took gigabytes.
TEST(DamagedSystemFileTest, ADamagedContentSizeIsRefusedBeforeItIsUsed) {
  test::TScratchDir dir;
  const std::string good = dir.File("good.qel");
  { test::TOpenTable create(good, "", 5); }
  const std::vector<std::uint8_t> bytes = test::ReadFileBytes(good);
  const std::string damaged = dir.File("damaged.qel");
  const std::size_t prologue = kQELHeaderSize + kQELExtendedHeaderSize + kQELLockAreaSize + 4;
  std::set<std::uint16_t> typesSeen;
  for (std::size_t page = prologue; page + test::kTablePageSize <= bytes.size(); page += test::kTablePageSize) {
    const std::uint16_t type = page_header::PageType(&bytes[page]);
    if (type != ptFileSystemDirectory && type != ptTableList && type != ptTableMetaData &&
        type != ptTableMostUpdated) {
      continue;
    }
    typesSeen.insert(type);
    for (const int field : {internal_file::kStoredSize, internal_file::kUncompressedSize}) {
      for (const std::uint32_t value : {0x80000000u, 0xFFFFFFFFu, 0x7FFFFFF0u, 0x00100000u}) {
        SCOPED_TRACE("page type " + std::to_string(type) + ", field at " + std::to_string(field) + ", value " +
                     std::to_string(value));
        std::vector<std::uint8_t> copy = bytes;
        QELWriteLE(&copy[page + kQELPageHeaderSize + static_cast<std::size_t>(field)], value);
        test::WriteFileBytes(damaged, copy);
        try {
          test::TOpenTable open(damaged, "");
        } catch (const EQELException&) {
        }
      }
    }
  }
  EXPECT_EQ(typesSeen.size(), 4u) << "the file should hold every kind of system file";
}

}  // namespace
}  // namespace qel
