// The memory page manager: page numbers, sessions over stored pages, the
// stream form and its refusal of damaged streams.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PageStoreTestSupport.h"
#include "platform/QELEndian.h"
#include "storage/QELMemoryPageManager.h"
#include "storage/QELTemporaryPageManager.h"
#include "streams/QELMemoryStream.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

TEST(MemoryPageManagerTest, HandsOutTheLowestFreeNumberAndGrowsInSteps) {
  TQELMemoryPageManager pages;
  EXPECT_EQ(pages.PageSize(), 4096);
  EXPECT_EQ(pages.HeaderSize(), 0);
  EXPECT_EQ(pages.Capacity(), 0);

  EXPECT_EQ(AddCommittedPages(pages, kSessionA, {1, 2, 3, 4, 5}),
            (std::vector<std::int32_t>{0, 1, 2, 3, 4}));
  EXPECT_EQ(pages.Capacity(), 50);
  EXPECT_EQ(pages.HighestPageNo(), 4);

  RemoveCommitted(pages, kSessionA, 3);
  RemoveCommitted(pages, kSessionA, 1);
  EXPECT_EQ(pages.GetPageCount(), 3);
  // Freeing a number twice, or one never handed out, changes nothing.
  pages.FreePage(1);
  pages.FreePage(40);
  pages.FreePage(-1);
  pages.FreePage(1000);
  EXPECT_EQ(pages.GetPageCount(), 3);
  EXPECT_EQ(pages.AllocatedPages().SetCount(), 3);

  EXPECT_EQ(AddCommittedPages(pages, kSessionA, {6, 7, 8}), (std::vector<std::int32_t>{1, 3, 5}));
  // The rest of the first 50 numbers, then the capacity grows by 50.
  std::vector<std::uint8_t> seeds(46, 9);
  const std::vector<std::int32_t> more = AddCommittedPages(pages, kSessionA, seeds);
  EXPECT_EQ(more.front(), 6);
  EXPECT_EQ(more.back(), 51);
  EXPECT_EQ(pages.Capacity(), 100);
  EXPECT_EQ(pages.HighestPageNo(), 51);
  EXPECT_EQ(pages.GetPageCount(), 52);
  EXPECT_EQ(pages.AllocatedPages().Size(), 100);
}

TEST(MemoryPageManagerTest, AReusedNumberStartsZeroedForEverySession) {
  TQELMemoryPageManager pages;
  pages.SetMaxCleanPages(0);
  AddCommittedPages(pages, kSessionA, {11, 12, 13});
  RemoveCommitted(pages, kSessionA, 1);

  TQELPageGuard reused(pages, pages.AddNewPage(kSessionA, ptTableIndex));
  ASSERT_EQ(reused->PageNo, 1);
  EXPECT_TRUE(PageIsZero(reused.Get()));
  // Another session reading the number before the commit must not find the
  // freed page's bytes.
  TQELPageGuard other(pages, pages.GetPage(kSessionB, 1, false, kQELAnyPageType));
  EXPECT_TRUE(PageIsZero(other.Get()));
}

// The page cache's promises, held by every storage the engine keeps in
// memory or temporary files: committed pages read back exactly, a session's
// changes stay its own until committed, and rolling back restores them and
// returns new numbers.
struct StoreCase {
  const char* Name;
  std::function<std::unique_ptr<TQELPageManager>()> Make;
};

void PrintTo(const StoreCase& c, std::ostream* os) { *os << c.Name; }

class PageStoreSessionTest : public ::testing::TestWithParam<StoreCase> {};

TEST_P(PageStoreSessionTest, SessionsSeeOnlyCommittedPagesAndRollbackRestoresThem) {
  std::unique_ptr<TQELPageManager> pages = GetParam().Make();
  // No clean cache: every read comes from the storage itself.
  pages->SetMaxCleanPages(0);
  const std::vector<std::uint8_t> seeds = {10, 11, 12, 13, 14, 15};
  const std::vector<std::int32_t> numbers = AddCommittedPages(*pages, kSessionA, seeds);
  ASSERT_EQ(numbers, (std::vector<std::int32_t>{0, 1, 2, 3, 4, 5}));
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    EXPECT_TRUE(SessionSees(*pages, kSessionB, numbers[i], seeds[i])) << "page " << i;
  }

  // Uncommitted changes of A: A sees them, B does not, and after the
  // rollback nobody does.
  for (std::size_t i = 0; i < seeds.size(); ++i) ChangePage(*pages, kSessionA, numbers[i], 100 + i);
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    EXPECT_TRUE(SessionSees(*pages, kSessionA, numbers[i], 100 + i)) << "page " << i;
    EXPECT_TRUE(SessionSees(*pages, kSessionB, numbers[i], seeds[i])) << "page " << i;
  }
  pages->CancelChanges(kSessionA);
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    EXPECT_TRUE(SessionSees(*pages, kSessionA, numbers[i], seeds[i])) << "page " << i;
  }

  // Committed changes reach every session.
  for (std::size_t i = 0; i < seeds.size(); ++i) ChangePage(*pages, kSessionA, numbers[i], 50 + i);
  pages->ApplyChanges(kSessionA);
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    EXPECT_TRUE(SessionSees(*pages, kSessionB, numbers[i], 50 + i)) << "page " << i;
  }

  // A rolled-back new page goes back to storage.
  {
    TQELPageGuard added(*pages, pages->AddNewPage(kSessionA, ptTableIndex));
    FillPage(added.Get(), 99);
  }
  EXPECT_EQ(pages->GetPageCount(), 7);
  pages->CancelChanges(kSessionA);
  EXPECT_EQ(pages->GetPageCount(), 6);
  TQELPageGuard fresh(*pages, pages->AddNewPage(kSessionA, ptTableIndex));
  EXPECT_TRUE(PageIsZero(fresh.Get()));
}

INSTANTIATE_TEST_SUITE_P(
    MemoryPageManagerAndTemporary, PageStoreSessionTest,
    ::testing::Values(
        StoreCase{"Memory", [] { return std::make_unique<TQELMemoryPageManager>(); }},
        StoreCase{"TemporarySpilling",
                  [] { return std::make_unique<TQELTemporaryPageManager>(false, 2); }},
        StoreCase{"TemporaryMemoryOnly",
                  [] { return std::make_unique<TQELTemporaryPageManager>(true, 2); }}),
    [](const ::testing::TestParamInfo<StoreCase>& info) { return std::string(info.param.Name); });

// Reading or writing a number that is not in use is refused, whether it was
// never handed out, lies outside the numbers or was freed.
struct BitCheckCase {
  const char* Name;
  std::function<std::unique_ptr<TQELPageManager>()> Make;
  std::int32_t ReadCode;
  std::int32_t WriteCode;
};

void PrintTo(const BitCheckCase& c, std::ostream* os) { *os << c.Name; }

class PageStoreBitCheckTest : public ::testing::TestWithParam<BitCheckCase> {};

TEST_P(PageStoreBitCheckTest, PagesNotInUseAreNeitherReadNorWritten) {
  std::unique_ptr<TQELPageManager> pages = GetParam().Make();
  pages->SetMaxCleanPages(0);
  AddCommittedPages(*pages, kSessionA, {1, 2, 3, 4});
  RemoveCommitted(*pages, kSessionA, 1);  // a memory page
  RemoveCommitted(*pages, kSessionA, 3);  // a file page when spilling
  for (const std::int32_t pageNo : {1, 3, 4, 60, -5}) {
    EXPECT_EQ(NativeErrorOf([&] { pages->GetPage(kSessionA, pageNo, false, kQELAnyPageType); }),
              GetParam().ReadCode)
        << "page " << pageNo;
    TQELPage page(pages.get(), pageNo);
    page.AllocateBuffer();
    EXPECT_EQ(NativeErrorOf([&] { pages->WritePage(&page); }), GetParam().WriteCode)
        << "page " << pageNo;
  }
  EXPECT_TRUE(SessionSees(*pages, kSessionA, 2, 3));
}

INSTANTIATE_TEST_SUITE_P(
    MemoryPageManagerAndTemporary, PageStoreBitCheckTest,
    ::testing::Values(
        BitCheckCase{"Memory", [] { return std::make_unique<TQELMemoryPageManager>(); }, 10392, 10393},
        BitCheckCase{"TemporarySpilling",
                     [] { return std::make_unique<TQELTemporaryPageManager>(false, 2); }, 10396, 10397},
        BitCheckCase{"TemporaryMemoryOnly",
                     [] { return std::make_unique<TQELTemporaryPageManager>(true, 2); }, 10396, 10397}),
    [](const ::testing::TestParamInfo<BitCheckCase>& info) { return std::string(info.param.Name); });

// A manager with 60 pages handed out (capacity 100), of which 7, 20 and 59
// were freed again; page n holds seed n.
std::unique_ptr<TQELMemoryPageManager> SampleManager() {
  auto pages = std::make_unique<TQELMemoryPageManager>();
  std::vector<std::uint8_t> seeds;
  for (std::uint8_t n = 0; n < 60; ++n) seeds.push_back(n);
  AddCommittedPages(*pages, kSessionA, seeds);
  for (const std::int32_t pageNo : {7, 20, 59}) RemoveCommitted(*pages, kSessionA, pageNo);
  return pages;
}

std::vector<std::uint8_t> Saved(TQELPageManager& pages) {
  TQELMemoryStream stream;
  pages.SaveToStream(stream);
  return {stream.Memory(), stream.Memory() + stream.GetSize()};
}

std::unique_ptr<TQELMemoryStream> StreamOf(const std::vector<std::uint8_t>& bytes) {
  auto stream = std::make_unique<TQELMemoryStream>();
  if (!bytes.empty()) stream->Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  stream->SetPosition(0);
  return stream;
}

TEST(MemoryPageManagerTest, SavedPagesLoadBackExactly) {
  std::unique_ptr<TQELMemoryPageManager> source = SampleManager();
  const std::vector<std::uint8_t> saved = Saved(*source);
  // 20 bytes of fields, the bits (8 + 13 bytes), then 100 page images.
  ASSERT_EQ(saved.size(), 20u + 21u + 100u * 4096u);
  EXPECT_EQ(QELReadLE<std::int32_t>(saved.data()), 100);
  EXPECT_EQ(QELReadLE<std::int32_t>(saved.data() + 4), 59);
  EXPECT_EQ(QELReadLE<std::int32_t>(saved.data() + 8), 50);
  EXPECT_EQ(QELReadLE<std::uint16_t>(saved.data() + 12), 4096);
  EXPECT_EQ(QELReadLE<std::uint16_t>(saved.data() + 14), 0);
  EXPECT_EQ(QELReadLE<std::int32_t>(saved.data() + 16), 57);

  // The target had pages of its own, cached and stored; they all give way.
  TQELMemoryPageManager target;
  AddCommittedPages(target, kSessionB, {200, 201});
  std::unique_ptr<TQELMemoryStream> stream = StreamOf(saved);
  target.LoadFromStream(*stream);
  EXPECT_EQ(target.Capacity(), 100);
  EXPECT_EQ(target.HighestPageNo(), 59);
  EXPECT_EQ(target.GrowStep(), 50);
  EXPECT_EQ(target.GetPageCount(), 57);
  for (std::int32_t pageNo = 0; pageNo < 60; ++pageNo) {
    const bool freed = pageNo == 7 || pageNo == 20 || pageNo == 59;
    ASSERT_EQ(target.IsAllocated(pageNo), !freed) << "page " << pageNo;
    if (!freed) {
      EXPECT_TRUE(SessionSees(target, kSessionB, pageNo, static_cast<std::uint8_t>(pageNo)))
          << "page " << pageNo;
    }
  }
  EXPECT_EQ(Saved(target), saved);
  EXPECT_EQ(AddCommittedPages(target, kSessionA, {1, 2, 3}), (std::vector<std::int32_t>{7, 20, 59}));

  // An empty manager round-trips too.
  TQELMemoryPageManager empty, emptyCopy;
  stream = StreamOf(Saved(empty));
  emptyCopy.LoadFromStream(*stream);
  EXPECT_EQ(emptyCopy.Capacity(), 0);
  EXPECT_EQ(AddCommittedPages(emptyCopy, kSessionA, {1}), (std::vector<std::int32_t>{0}));
}

// The manager refusing a stream keeps its own pages.
void ExpectUnchanged(TQELMemoryPageManager& target) {
  EXPECT_EQ(target.GetPageCount(), 1);
  EXPECT_EQ(target.Capacity(), 50);
  EXPECT_TRUE(SessionSees(target, kSessionB, 0, 77));
}

TEST(MemoryPageManagerTest, TruncatedStreamsAreRefusedAtTheirEnd) {
  const std::vector<std::uint8_t> saved = Saved(*SampleManager());
  const std::size_t imagesAt = 41;
  struct Cut {
    std::size_t Length;
    std::int32_t Code;
  };
  const Cut cuts[] = {{0, 10369},  {3, 10369},  {4, 10370},  {8, 10371},
                      {12, 10372}, {14, 10373}, {16, 10374}, {20, 10401},
                      {24, 10426}, {28, 10402}, {40, 10402}, {imagesAt, 10375},
                      {imagesAt + 4096 * 50 + 17, 10375}, {saved.size() - 1, 10375}};
  TQELMemoryPageManager target;
  AddCommittedPages(target, kSessionB, {77});
  for (const Cut& cut : cuts) {
    std::unique_ptr<TQELMemoryStream> stream =
        StreamOf(std::vector<std::uint8_t>(saved.begin(), saved.begin() + cut.Length));
    EXPECT_EQ(NativeErrorOf([&] { target.LoadFromStream(*stream); }), cut.Code)
        << "cut at " << cut.Length;
    ExpectUnchanged(target);
  }
}

TEST(MemoryPageManagerTest, FieldsContradictingTheStreamAreRefused) {
  const std::vector<std::uint8_t> saved = Saved(*SampleManager());
  struct Damage {
    const char* What;
    std::size_t Offset;
    std::int32_t Value;  // written as int32, or uint16 at offsets 12 and 14
    std::int32_t Code;
  };
  const Damage damages[] = {
      {"negative capacity", 0, -1, 10369},
      {"capacity beyond the bits", 0, 0x7FFFFFFF, 10369},
      {"highest page beyond capacity", 4, 100, 10370},
      {"highest page below a page in use", 4, 30, 10370},
      {"grow step 0", 8, 0, 10371},
      {"huge grow step", 8, 1 << 30, 10371},
      {"other page size", 12, 512, 10372},
      {"page header", 14, 40, 10373},
      {"negative page count", 16, -1, 10374},
      {"page count not the pages in use", 16, 58, 10374},
      {"bits claiming more than the stream", 20, 1 << 30, 10402},
  };
  TQELMemoryPageManager target;
  AddCommittedPages(target, kSessionB, {77});
  for (const Damage& damage : damages) {
    std::vector<std::uint8_t> bytes = saved;
    if (damage.Offset == 12 || damage.Offset == 14) {
      QELWriteLE<std::uint16_t>(bytes.data() + damage.Offset, static_cast<std::uint16_t>(damage.Value));
    } else {
      QELWriteLE<std::int32_t>(bytes.data() + damage.Offset, damage.Value);
    }
    std::unique_ptr<TQELMemoryStream> stream = StreamOf(bytes);
    EXPECT_EQ(NativeErrorOf([&] { target.LoadFromStream(*stream); }), damage.Code) << damage.What;
    ExpectUnchanged(target);
  }
}

TEST(MemoryPageManagerTest, LoadingOverUncommittedChangesIsRefused) {
  const std::vector<std::uint8_t> saved = Saved(*SampleManager());
  TQELMemoryPageManager target;
  AddCommittedPages(target, kSessionB, {77});
  ChangePage(target, kSessionA, 0, 78);
  std::unique_ptr<TQELMemoryStream> stream = StreamOf(saved);
  EXPECT_EQ(NativeErrorOf([&] { target.LoadFromStream(*stream); }), 20097);
  target.CancelChanges(kSessionA);
  ExpectUnchanged(target);
}

}  // namespace
}  // namespace qel::test
