// I/O errors on a real database file and its journal: every failed read,
// write and flush reaches the caller as an EQELException naming the file
// and the system's error, a failed commit leaves all its pages pending, and
// once the fault is gone the same work completes and the file holds all of
// it.

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "DiskTestSupport.h"
#include "disk/QELDiskPageManager.h"
#include "platform/QELException.h"
#include "platform/QELFaultInjection.h"
#include "platform/QELFile.h"

namespace qel {
namespace {

constexpr int kBasePages = 4;
constexpr int kNewPages = 2;
constexpr std::uint8_t kChanged = 0xA0;
constexpr std::uint8_t kAdded = 0xB0;

// A file with kBasePages committed pages, built once and copied per case.
struct TBaseFile {
  std::vector<std::uint8_t> Bytes;
  std::vector<std::int32_t> PageNos;
};

const TBaseFile& BaseFile() {
  static const TBaseFile base = [] {
    test::TScratchDir dir;
    TBaseFile file;
    {
      TQELDiskPageManager manager;
      manager.CreateDatabase(dir.File("base.qel"), TQELPassword{"", 0}, 8, 512);
      file.PageNos = test::AddPages(manager, kBasePages);
      manager.File().FlushFileBuffers();
    }
    file.Bytes = test::ReadFileBytes(dir.File("base.qel"));
    return file;
  }();
  return base;
}

// The workload, step by step, so that a step that failed can be run again:
// open, change every base page, add pages, commit, flush.
class TWorkload {
 public:
  explicit TWorkload(const std::string& path) : FPath(path) {
    FSteps.push_back([this] { FManager.OpenDatabase(FPath, {}); });
    for (int i = 0; i < kBasePages; ++i) {
      FSteps.push_back([this, i] {
        TQELPage* page = FManager.GetPage(0, BaseFile().PageNos[i], false, ptTableRecord);
        page->Data()[1] = static_cast<std::uint8_t>(kChanged + i);
        page->IsDirty = true;
        FManager.ReleasePage(page);
      });
    }
    for (int i = 0; i < kNewPages; ++i) {
      FSteps.push_back([this, i] {
        TQELPage* page = FManager.AddNewPage(0, ptTableRecord);
        page->Data()[0] = static_cast<std::uint8_t>(page->PageNo);
        page->Data()[1] = static_cast<std::uint8_t>(kAdded + i);
        FAdded.push_back(page->PageNo);
        FManager.ReleasePage(page);
      });
    }
    FCommitStep = FSteps.size();
    FSteps.push_back([this] { FManager.ApplyChanges(0); });
    FSteps.push_back([this] { FManager.File().FlushFileBuffers(); });
  }

  std::size_t StepCount() const { return FSteps.size(); }
  std::size_t CommitStep() const { return FCommitStep; }
  TQELDiskPageManager& Manager() { return FManager; }

  // Runs the steps from `step` up to `end`; answers the step that raised
  // (with its exception in `error`) or `end` when all passed.
  std::size_t Run(std::size_t step, std::size_t end, std::optional<EQELException>& error) {
    error.reset();
    for (; step < end; ++step) {
      try {
        FSteps[step]();
      } catch (const EQELException& e) {
        error = e;
        return step;
      }
    }
    return step;
  }

  // Reopens the file with the plain file layer and checks every change.
  void ExpectCommitted() {
    FManager.CloseDatabase();
    ASSERT_EQ(QELActiveFileHook(), nullptr);
    TQELDiskPageManager reopened;
    EXPECT_FALSE(reopened.OpenDatabase(FPath, {}).NeedRepair);
    for (int i = 0; i < kBasePages; ++i) {
      const std::int32_t pageNo = BaseFile().PageNos[i];
      TQELPageGuard page(reopened, reopened.GetPage(0, pageNo, false, ptTableRecord));
      EXPECT_EQ(page->Data()[0], static_cast<std::uint8_t>(pageNo));
      EXPECT_EQ(page->Data()[1], kChanged + i) << "page " << pageNo;
    }
    ASSERT_EQ(FAdded.size(), std::size_t{kNewPages});
    for (int i = 0; i < kNewPages; ++i) {
      TQELPageGuard page(reopened, reopened.GetPage(0, FAdded[i], false, ptTableRecord));
      EXPECT_EQ(page->Data()[0], static_cast<std::uint8_t>(FAdded[i]));
      EXPECT_EQ(page->Data()[1], kAdded + i) << "page " << FAdded[i];
    }
  }

 private:
  std::string FPath;
  TQELDiskPageManager FManager;
  std::vector<std::function<void()>> FSteps;
  std::size_t FCommitStep = 0;
  std::vector<std::int32_t> FAdded;
};

struct TSweep {
  const char* Name;
  TQELFileOperation Operation;
  std::int64_t Times;
  int Error;
  // The steps whose operations are failed in turn: 0 opens, 1 to 4 change
  // pages, 5 and 6 add pages, 7 commits, 8 flushes. Writes are failed after
  // the open, whose read-only probe takes a failed write for a read-only
  // file.
  std::size_t FirstStep;
  std::size_t EndStep;
  // The first and last of those operations to fail, counted from 1; zero
  // or less counts back from the last one.
  std::int64_t From;
  std::int64_t To;
  // Whether the fault must raise: one failed read or write is retried once
  // by the database file and so may pass unseen, a flush never is.
  bool Raises;
};

class IoErrorTest : public testing::TestWithParam<TSweep> {};

TEST_P(IoErrorTest, EveryFaultRaisesWithFileAndSystemErrorAndTheRetryCompletes) {
  const TSweep& sweep = GetParam();
  const std::string systemText = QELFileErrorText(sweep.Error);
  // A clean run counts the operations of the kind from the first step on.
  std::int64_t total = 0;
  {
    test::TScratchDir dir;
    const std::string path = dir.File("count.qel");
    test::WriteFileBytes(path, BaseFile().Bytes);
    TQELFaultInjector injector;
    test::ScopeToDatabase(injector, path);
    TWorkload workload(path);
    std::optional<EQELException> error;
    ASSERT_EQ(workload.Run(0, sweep.FirstStep, error), sweep.FirstStep);
    const std::int64_t before = injector.Count(sweep.Operation);
    ASSERT_EQ(workload.Run(sweep.FirstStep, sweep.EndStep, error), sweep.EndStep) << error->what();
    total = injector.Count(sweep.Operation) - before;
  }
  ASSERT_GT(total, 0);

  const std::int64_t from = sweep.From > 0 ? sweep.From : total + sweep.From;
  const std::int64_t to = sweep.To > 0 ? sweep.To : total + sweep.To;
  for (std::int64_t nth = from; nth <= to; ++nth) {
    SCOPED_TRACE(testing::Message() << sweep.Name << " #" << nth << " of " << total);
    test::TScratchDir dir;
    const std::string path = dir.File("io.qel");
    test::WriteFileBytes(path, BaseFile().Bytes);
    TWorkload workload(path);
    {
      TQELFaultInjector injector;
      test::ScopeToDatabase(injector, path);
      std::optional<EQELException> error;
      ASSERT_EQ(workload.Run(0, sweep.FirstStep, error), sweep.FirstStep);
      injector.Fail(sweep.Operation, injector.Count(sweep.Operation) + nth, sweep.Times, sweep.Error);
      const std::size_t failed = workload.Run(sweep.FirstStep, workload.StepCount(), error);
      if (sweep.Raises) {
        ASSERT_TRUE(error.has_value()) << "the fault passed unseen";
      }
      if (error.has_value()) {
        const std::string message = error->what();
        EXPECT_NE(message.find(path), std::string::npos) << message;
        EXPECT_NE(message.find(systemText), std::string::npos) << message;
        // The page cache must not take unwritten pages for written ones.
        if (failed == workload.CommitStep()) {
          EXPECT_TRUE(workload.Manager().HasChanges(0));
        }
        injector.ClearFaults();
        ASSERT_EQ(workload.Run(failed, workload.StepCount(), error), workload.StepCount())
            << error->what() << "\nafter step " << failed << " raised: " << message;
        EXPECT_FALSE(workload.Manager().HasChanges(0));
      }
    }
    workload.ExpectCommitted();
  }
}

constexpr std::int64_t kForever = TQELFaultInjector::kForever;
constexpr std::size_t kOpen = 0, kFirstAdd = 5, kCommit = 7, kEnd = 9;

std::string SweepName(const testing::TestParamInfo<TSweep>& info) { return info.param.Name; }

INSTANTIATE_TEST_SUITE_P(
    Sweeps, IoErrorTest,
    testing::Values(TSweep{"reads_while_opening", fopRead, kForever, EIO, kOpen, kOpen + 1, 1, 0, true},
                    TSweep{"page_reads", fopRead, kForever, EIO, kOpen + 1, kEnd, 1, 0, true},
                    TSweep{"any_read_once", fopRead, 1, EIO, kOpen, kEnd, 1, 0, false},
                    // Every write of the commit, the journal's included, up to
                    // the last: the clearing of the journal.
                    TSweep{"writes_while_committing", fopWrite, kForever, ENOSPC, kFirstAdd, kEnd, 1, 0, true},
                    TSweep{"any_write_once", fopWrite, 1, EIO, kOpen + 1, kEnd, 1, 0, false},
                    TSweep{"any_flush_once", fopFlush, 1, EIO, kOpen + 1, kEnd, 1, 0, true}),
    SweepName);

}  // namespace
}  // namespace qel
