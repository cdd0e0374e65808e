// The memory page manager: page numbers, sessions over stored pages, the
// stream form and its refusal of damaged streams, lending and working
// copies, and index changes failing in the middle.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BTreeTestSupport.h"
#include "PageStoreTestSupport.h"
#include "memory/QELMemory.h"
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

// ---- Lending and working copies -------------------------------------------

// A manager keeping working copies, at most three unchanged ones, with
// `count` committed pages; page i holds seed 10 + i.
std::unique_ptr<TQELMemoryPageManager> CopyingManager(std::int32_t count) {
  auto pages = std::make_unique<TQELMemoryPageManager>();
  pages->SetMaxCleanPages(3);
  pages->UseWorkingCopies();
  std::vector<std::uint8_t> seeds;
  for (std::int32_t i = 0; i < count; ++i) seeds.push_back(static_cast<std::uint8_t>(10 + i));
  EXPECT_EQ(AddCommittedPages(*pages, kSessionA, seeds).size(), seeds.size());
  return pages;
}

// What the session sees of the page, lent (stored page itself) or got as
// for a change; a seed below 0 stands for a zero-filled page.
bool SeesPage(TQELMemoryPageManager& pages, std::int32_t session, std::int32_t pageNo, bool lend,
              std::int32_t seed) {
  std::unique_ptr<TQELPageLending> lending;
  if (lend) lending = std::make_unique<TQELPageLending>(pages);
  TQELPageGuard page(pages, pages.GetPage(session, pageNo, false, kQELAnyPageType));
  return seed < 0 ? PageIsZero(page.Get()) : PageHolds(page.Get(), static_cast<std::uint8_t>(seed));
}

// Reading 12 pages keeps no more than three unchanged copies; a change
// of every kind (copies changed beyond that limit, unchanged copies
// evicted in the middle of it, a page changed through the page cache
// because another session holds its copy, a new page, a removal) is
// refused while the session still holds a page, and once cancelled
// leaves every page as it was for every session, lent or not.
TEST(MemoryPageManagerTest, ACancelledChangeLeavesEveryPageAsItWas) {
  std::unique_ptr<TQELMemoryPageManager> owned = CopyingManager(12);
  TQELMemoryPageManager& pages = *owned;
  for (std::int32_t pageNo = 0; pageNo < 12; ++pageNo) {
    ASSERT_TRUE(SeesPage(pages, kSessionB, pageNo, false, 10 + pageNo));
  }
  pages.ApplyChanges(kSessionB);
  EXPECT_LE(pages.WorkingCopyCount(), 3);

  {
    TQELPageGuard heldByB(pages, pages.GetPage(kSessionB, 0, false, kQELAnyPageType));
    for (std::int32_t pageNo = 8; pageNo < 12; ++pageNo) {
      ASSERT_TRUE(SeesPage(pages, kSessionA, pageNo, false, 10 + pageNo));
    }
    for (std::int32_t pageNo = 0; pageNo < 8; ++pageNo) {
      ChangePage(pages, kSessionA, pageNo, static_cast<std::uint8_t>(100 + pageNo));
    }
    {
      TQELPageGuard added(pages, pages.AddNewPage(kSessionA, ptTableIndex));
      FillPage(added.Get(), 99);
    }
    pages.RemovePage(kSessionA, 11);
    EXPECT_TRUE(pages.HasChanges(kSessionA));
    EXPECT_EQ(pages.GetPageCount(), 13);

    {
      TQELPageGuard heldByA(pages, pages.GetPage(kSessionA, 3, false, kQELAnyPageType));
      EXPECT_EQ(NativeErrorOf([&] { pages.CancelChanges(kSessionA); }), 20088);
    }
    for (std::int32_t pageNo = 0; pageNo < 8; ++pageNo) {
      EXPECT_TRUE(SeesPage(pages, kSessionA, pageNo, true, 100 + pageNo)) << "page " << pageNo;
    }
    pages.CancelChanges(kSessionA);
    EXPECT_TRUE(PageHolds(heldByB.Get(), 10));
  }
  EXPECT_FALSE(pages.HasChanges(kSessionA));
  EXPECT_EQ(pages.GetPageCount(), 12);
  for (const bool lend : {false, true}) {
    for (const std::int32_t session : {kSessionA, kSessionB}) {
      for (std::int32_t pageNo = 0; pageNo < 12; ++pageNo) {
        EXPECT_TRUE(SeesPage(pages, session, pageNo, lend, 10 + pageNo))
            << "session " << session << (lend ? " lent" : "") << ", page " << pageNo;
      }
      pages.ApplyChanges(session);
    }
  }
  // The cancelled new number is free again, and zero-filled.
  TQELPageGuard fresh(pages, pages.AddNewPage(kSessionA, ptTableIndex));
  EXPECT_EQ(fresh->PageNo, 12);
  EXPECT_TRUE(PageIsZero(fresh.Get()));
}

// Each way a session changes a page (its working copy, the page cache
// when another session holds the copy, a new page): until the commit the
// session sees its change, lent or not, and another session the stored
// page; after it, everyone the change.
TEST(MemoryPageManagerTest, AnotherSessionNeverSeesAnUncommittedChange) {
  enum TWay { wCopy, wCache, wNewPage };
  const struct {
    const char* Name;
    TWay Way;
  } ways[] = {{"working copy", wCopy}, {"page cache", wCache}, {"new page", wNewPage}};
  for (const auto& way : ways) {
    SCOPED_TRACE(way.Name);
    std::unique_ptr<TQELMemoryPageManager> owned = CopyingManager(4);
    TQELMemoryPageManager& pages = *owned;
    std::int32_t pageNo = 1;
    std::int32_t before = 11;
    if (way.Way == wNewPage) {
      TQELPageGuard added(pages, pages.AddNewPage(kSessionA, ptTableIndex));
      FillPage(added.Get(), 99);
      pageNo = added->PageNo;
      before = -1;
    } else if (way.Way == wCache) {
      TQELPageGuard heldByB(pages, pages.GetPage(kSessionB, pageNo, false, kQELAnyPageType));
      ChangePage(pages, kSessionA, pageNo, 99);
    } else {
      ChangePage(pages, kSessionA, pageNo, 99);
    }
    for (const bool lend : {false, true}) {
      EXPECT_TRUE(SeesPage(pages, kSessionA, pageNo, lend, 99)) << (lend ? "lent" : "");
      EXPECT_TRUE(SeesPage(pages, kSessionB, pageNo, lend, before)) << (lend ? "lent" : "");
    }
    pages.ApplyChanges(kSessionB);
    pages.ApplyChanges(kSessionA);
    for (const bool lend : {false, true}) {
      EXPECT_TRUE(SeesPage(pages, kSessionB, pageNo, lend, 99)) << (lend ? "lent" : "");
    }
    EXPECT_FALSE(pages.HasChanges(kSessionA));
  }
}

// A memory page manager keeping working copies (at most three unchanged)
// that fails at a chosen step of a change: each page got or allocated is a
// step, and the armed one raises, or from it on the engine memory manager
// refuses every allocation.
class TFailingPages final : public TQELMemoryPageManager {
 public:
  enum TFailure { fNone, fRaise, fMemory };

  TFailingPages() {
    SetMaxCleanPages(3);
    UseWorkingCopies();
  }
  ~TFailingPages() override { Disarm(); }

  void Arm(TFailure failure, std::int32_t step) {
    FFailure = failure;
    FStepsLeft = step;
    Steps = 0;
  }
  void Disarm() {
    if (FLimited) QELMemoryManager().SetMemoryLimit(FOldLimit);
    FLimited = false;
    FFailure = fNone;
  }
  TQELPage* GetPage(std::int32_t sessionID, std::int32_t pageNo, bool checkVersion,
                    std::uint16_t pageType) override {
    Step();
    return TQELMemoryPageManager::GetPage(sessionID, pageNo, checkVersion, pageType);
  }
  void AllocatePage(TQELPage* page) override {
    Step();
    TQELMemoryPageManager::AllocatePage(page);
  }

  std::int32_t Steps = 0;

 private:
  void Step() {
    ++Steps;
    if (FFailure == fNone || --FStepsLeft > 0) return;
    const TFailure failure = FFailure;
    FFailure = fNone;
    if (failure == fRaise) throw std::runtime_error("page step failed");
    FOldLimit = QELMemoryManager().MemoryLimit();
    FLimited = true;
    QELMemoryManager().SetMemoryLimit(QELMemoryManager().AllocatedBytes());
  }

  TFailure FFailure = fNone;
  std::int32_t FStepsLeft = 0;
  bool FLimited = false;
  std::int64_t FOldLimit = 0;
};

// An index over an integer column in a failing memory page manager, with
// the records it indexes.
class TFailingIndex {
 public:
  TFailingIndex() : Records(Defs) {
    Defs.Add("K", aftInteger, 0);
    Defs.RecalcOffsets();
    TQELIndexDef def;
    def.SetName("ByK");
    def.AddColumn("K");
    Index = std::make_unique<TQELBTreeRecordIndex>(Pages, Defs, &Records);
    Index->CreateIndex(kSession, def, false);
    Pages.ApplyChanges(kSession);
  }

  void Insert(std::int32_t key) {
    std::vector<std::uint8_t> record = Records.NewRecord();
    Records.SetInteger(record, 0, key);
    Records.Put(MakeRecordID(key), record);
    Index->InsertKey(kSession, record.data(), MakeRecordID(key));
  }
  void Delete(std::int32_t key) {
    Index->DeleteKey(kSession, Records.At(MakeRecordID(key)).data(), MakeRecordID(key));
  }
  // The keys in index order, by the leaf chain, and the tree checked page
  // by page.
  std::vector<std::int32_t> Keys() {
    std::vector<std::int32_t> keys;
    TQELKeyPath path;
    TQELBTreeCore& tree = *Index->Tree();
    for (bool on = tree.First(kSession, path); on; on = tree.Next(kSession, path)) {
      TQELRecordID id;
      tree.ReadEntry(kSession, path, nullptr, id.data());
      keys.push_back(RecordIDPage(id));
    }
    TTreeChecker checker(*Index, Pages);
    EXPECT_EQ(checker.Check(static_cast<std::int64_t>(keys.size())), "");
    Pages.ApplyChanges(kSession);
    return keys;
  }

  TFailingPages Pages;
  TQELFieldDefs Defs;
  TRecordTable Records;
  std::unique_ptr<TQELBTreeRecordIndex> Index;
};

// Changes that split leaves (inserts into full ones) and merge them
// (deletes emptying a range), each failing at steps spread over all of it,
// by an exception or by memory running out from there on, and then
// cancelled: the tree is sound and holds the keys it held before; a
// change that got through holds them all once applied. Each attempt has a
// fresh manager, so that the working copies it needs are new allocations;
// with three unchanged copies at most, copies are evicted in the middle.
TEST(MemoryPageManagerTest, AnIndexChangeFailingAtAnyStepIsCancelledWhole) {
  std::vector<std::int32_t> before;
  for (std::int32_t key = 0; key < 3000; key += 2) before.push_back(key);
  // Inserted in no particular order, the leaves keep some room.
  std::vector<std::int32_t> insertOrder = before;
  std::shuffle(insertOrder.begin(), insertOrder.end(), std::mt19937(4));
  const auto build = [&] {
    auto index = std::make_unique<TFailingIndex>();
    for (const std::int32_t key : insertOrder) index->Insert(key);
    index->Pages.ApplyChanges(kSession);
    return index;
  };
  const struct {
    const char* Name;
    std::function<void(TFailingIndex&)> Change;
    std::function<bool(std::int32_t)> KeptOrAdded;  // whether a key is there afterwards
  } changes[] = {
      {"inserts splitting leaves",
       [](TFailingIndex& i) {
         for (std::int32_t key = 1; key < 600; key += 2) i.Insert(key);
       },
       [](std::int32_t key) { return key % 2 == 0 || key < 600; }},
      {"deletes merging leaves",
       [](TFailingIndex& i) {
         for (std::int32_t key = 600; key < 2600; key += 2) i.Delete(key);
       },
       [](std::int32_t key) { return key % 2 == 0 && (key < 600 || key >= 2600); }},
  };
  for (const auto& change : changes) {
    SCOPED_TRACE(change.Name);
    std::vector<std::int32_t> after;
    for (std::int32_t key = 0; key < 3000; ++key) {
      if (change.KeptOrAdded(key)) after.push_back(key);
    }
    std::unique_ptr<TFailingIndex> index = build();
    ASSERT_EQ(index->Keys(), before);
    // Unarmed, the change only counts its steps.
    index->Pages.Arm(TFailingPages::fNone, 0);
    change.Change(*index);
    const std::int32_t steps = index->Pages.Steps;
    index->Pages.ApplyChanges(kSession);
    ASSERT_EQ(index->Keys(), after);

    for (const auto failure : {TFailingPages::fRaise, TFailingPages::fMemory}) {
      std::int32_t attempts = 0, failures = 0;
      for (std::int32_t step = 1; step <= steps; step += steps / 12 + 1) {
        ++attempts;
        index = build();
        index->Pages.Arm(failure, step);
        bool failed = false;
        try {
          change.Change(*index);
        } catch (const std::exception&) {
          failed = true;
        }
        index->Pages.Disarm();
        if (failed) {
          ++failures;
          index->Pages.CancelChanges(kSession);
          ASSERT_EQ(index->Keys(), before) << "failing at step " << step << " of " << steps;
        } else {
          index->Pages.ApplyChanges(kSession);
          ASSERT_EQ(index->Keys(), after) << "memory ran out at step " << step << " of " << steps;
        }
      }
      // Every armed step raises; memory runs out only where a step still
      // needs a new copy.
      if (failure == TFailingPages::fRaise) {
        EXPECT_EQ(failures, attempts);
      } else {
        EXPECT_GT(failures, 3);
      }
    }
  }
}

}  // namespace
}  // namespace qel::test
