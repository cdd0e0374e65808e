// The page-level consistency check finds each kind of damage and names the
// page, and finds nothing in a healthy file.

#include <gtest/gtest.h>

#include "DiskTestSupport.h"
#include "disk/QELDiskFileCheck.h"
#include "platform/QELEndian.h"

namespace qel {
namespace {

constexpr std::size_t kPage = 1024;
constexpr std::size_t kPage0 = 380;

class DiskFileCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FPath = FDir.File("check.qel");
    TQELDiskPageManager manager;
    manager.CreateDatabase(FPath, {"kata", caRijndael_128}, 4, kPage);
    FPages = test::AddPages(manager, 12);
    // Free one page in the middle, so the file has a hole.
    manager.RemovePage(0, FPages[5]);
    manager.ApplyChanges(0);
    manager.CloseDatabase();
    FGood = test::ReadFileBytes(FPath);
  }

  TQELDiskFileSummary Check(const std::vector<std::uint8_t>& bytes) {
    test::WriteFileBytes(FPath, bytes);
    TQELDiskPageManager manager;
    manager.OpenDatabase(FPath, {"kata"}, {.ReadOnly = true});
    return CheckDiskFile(manager);
  }

  std::uint8_t* PageBytes(std::vector<std::uint8_t>& bytes, std::int32_t pageNo) {
    return &bytes[kPage0 + std::size_t(pageNo) * kPage];
  }

  test::TScratchDir FDir;
  std::string FPath;
  std::vector<std::int32_t> FPages;
  std::vector<std::uint8_t> FGood;
};

TEST_F(DiskFileCheckTest, HealthyFileHasNoFaults) {
  const TQELDiskFileSummary summary = Check(FGood);
  EXPECT_TRUE(summary.Faults.empty()) << summary.Faults[0].Message;
  EXPECT_EQ(summary.UsedPageCount + summary.FreePageCount, summary.TotalPageCount);
  EXPECT_EQ(summary.PagesByType.at(ptTableRecord), 11);
  EXPECT_EQ(summary.PagesByType.at(ptPFS), 1);
  EXPECT_GE(summary.PagesByType.at(ptEAM), 1);
}

TEST_F(DiskFileCheckTest, EachDamageIsReportedWithItsPage) {
  struct Case {
    const char* Name;
    std::function<void(std::vector<std::uint8_t>&)> Damage;
    std::int32_t PageNo;
    const char* MessagePart;
  };
  // Pages 2..13 are data pages in extents of 4; page 7 was freed, so the
  // extent 8..11 is full and 4..7 is not.
  const std::int32_t data = FPages[2], freed = FPages[5], inFullExtent = FPages[6];
  ASSERT_EQ(inFullExtent, 8);
  const Case cases[] = {
      {"changed data", [&](auto& b) { PageBytes(b, data)[300] ^= 1; }, data, "Check CRC failed"},
      {"lost signature", [&](auto& b) { PageBytes(b, data)[0] = 'X'; }, data, "no page signature"},
      {"unknown type", [&](auto& b) { QELWriteLE<std::uint16_t>(PageBytes(b, data) + 8, 77); }, data,
       "unknown page type 77"},
      {"PFS type on a data page", [&](auto& b) { QELWriteLE<std::uint16_t>(PageBytes(b, data) + 8, ptPFS); }, data,
       "outside the space page positions"},
      // Marking the freed page used leaves its extent's state wrong too, and
      // the page itself (never rewritten) still reads.
      {"extent marked full", [&](auto& b) { PageBytes(b, 1)[40] |= 0xAA; }, 1, "is marked full"},
      {"bit of a used page cleared",
       [&](auto& b) { PageBytes(b, 0)[40 + inFullExtent / 8] &= ~(1 << (inFullExtent % 8)); }, 1,
       "is marked full"},
      {"file cut short", [&](auto& b) { b.resize(b.size() - 10); }, -1, "bytes, but its"},
      {"last used page wrong",
       [&](auto& b) { QELWriteLE<std::int32_t>(&b[database_header::kLastUsedPageNo], freed); }, -1,
       "LastUsedPageNo is"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<std::uint8_t> bytes = FGood;
    c.Damage(bytes);
    const TQELDiskFileSummary summary = Check(bytes);
    bool found = false;
    for (const TQELFileFault& fault : summary.Faults) {
      found |= fault.PageNo == c.PageNo && fault.Message.find(c.MessagePart) != std::string::npos;
    }
    EXPECT_TRUE(found) << "faults: " << summary.Faults.size()
                       << (summary.Faults.empty() ? "" : ", first: " + summary.Faults[0].Message);
  }
}

// A damaged header may claim far more pages than the file holds: only the
// pages there are walked (the walk over two billion took minutes).
TEST_F(DiskFileCheckTest, PagesBeyondTheFileAreNotWalked) {
  std::vector<std::uint8_t> bytes = FGood;
  QELWriteLE<std::int32_t>(&bytes[database_header::kTotalPageCount], INT32_MAX);
  const TQELDiskFileSummary summary = Check(bytes);
  EXPECT_EQ(summary.TotalPageCount, INT32_MAX);
  EXPECT_EQ(summary.UsedPageCount + summary.FreePageCount, std::int32_t((FGood.size() - kPage0) / kPage));
  ASSERT_FALSE(summary.Faults.empty());
  EXPECT_NE(summary.Faults[0].Message.find("bytes, but its 2147483647 pages need"), std::string::npos);
}

}  // namespace
}  // namespace qel
