#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/TestSupport.h"
#include "platform/QELFile.h"

namespace qel {
namespace {

using test::kChildFailed;
using test::kChildGranted;
using test::kChildRefused;
using test::RunInChild;
using test::TChildProcess;
using test::TScratchDir;

// Two handles on one file, as two parts of the engine would hold them.
class TQELFileLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FFirst.Create(FPath, fsReadWrite)) << FFirst.LastErrorText();
    ASSERT_TRUE(FSecond.Open(FPath, faReadWrite, fsReadWrite)) << FSecond.LastErrorText();
  }

  // What a fresh handle of another process gets when it tries the lock.
  int LockInChild(std::int64_t position, std::int64_t count) const {
    const std::string path = FPath;
    return RunInChild([path, position, count] {
      TQELFile file;
      if (!file.Open(path, faReadWrite, fsReadWrite)) return kChildFailed;
      if (file.Lock(position, count)) return kChildGranted;
      return file.LastError() == QEL_ERROR_LOCK_VIOLATION ? kChildRefused : kChildFailed;
    });
  }

  TScratchDir FDir;
  std::string FPath = FDir.File("locked");
  TQELFile FFirst;
  TQELFile FSecond;
};

TEST_F(TQELFileLockTest, LocksAreExclusiveAndNotReentrant) {
  ASSERT_TRUE(FFirst.Lock(10, 10));
  EXPECT_FALSE(FFirst.Lock(15, 10));  // overlaps a range this handle holds
  EXPECT_EQ(FFirst.LastError(), QEL_ERROR_LOCK_VIOLATION);
  EXPECT_FALSE(FFirst.Lock(10, 10));
  EXPECT_FALSE(FSecond.Lock(19, 1));
  EXPECT_EQ(FSecond.LastError(), QEL_ERROR_LOCK_VIOLATION);
  EXPECT_TRUE(FSecond.Lock(20, 5));
  EXPECT_TRUE(FFirst.Lock(1 << 20, 4096));  // far beyond the end of the (empty) file
}

TEST_F(TQELFileLockTest, UnlockNeedsExactlyARangeHeld) {
  ASSERT_TRUE(FFirst.Lock(10, 10));
  ASSERT_TRUE(FFirst.Lock(20, 10));  // adjacent: the kernel keeps it as one range with the first
  const std::pair<std::int64_t, std::int64_t> notHeld[] = {{10, 5}, {10, 20}, {12, 10}, {30, 1}};
  for (const auto& [position, count] : notHeld) {
    EXPECT_FALSE(FFirst.Unlock(position, count)) << position << "+" << count;
    EXPECT_EQ(FFirst.LastError(), QEL_ERROR_NOT_LOCKED);
  }
  EXPECT_FALSE(FSecond.Unlock(10, 10));  // held, but by another handle

  ASSERT_TRUE(FFirst.Unlock(10, 10));
  EXPECT_FALSE(FFirst.Unlock(10, 10));
  EXPECT_TRUE(FSecond.Lock(10, 10));
  EXPECT_FALSE(FSecond.Lock(20, 1));  // the neighbour is still held
}

TEST_F(TQELFileLockTest, IsLockedSeesEveryHolderAndChangesNothing) {
  ASSERT_TRUE(FFirst.Lock(0, 10));
  EXPECT_TRUE(FFirst.IsLocked(9, 1));
  EXPECT_TRUE(FSecond.IsLocked(5, 100));
  EXPECT_FALSE(FSecond.IsLocked(10, 100));
  EXPECT_EQ(FSecond.LastError(), 0);

  // A probe by locking and unlocking on the holder's descriptor would give
  // up the overlapped bytes [5, 10), or leave [100, 110) taken.
  EXPECT_TRUE(FFirst.IsLocked(5, 20));
  EXPECT_FALSE(FFirst.IsLocked(100, 10));
  EXPECT_FALSE(FSecond.Lock(5, 1));
  EXPECT_TRUE(FSecond.Lock(100, 10));

  ASSERT_TRUE(FFirst.Unlock(0, 10));
  EXPECT_FALSE(FFirst.IsLocked(0, 10));
  EXPECT_FALSE(FSecond.IsLocked(0, 10));
}

TEST_F(TQELFileLockTest, RefusesRangesOutsideTheLockableBytes) {
  const std::pair<std::int64_t, std::int64_t> invalid[] = {
      {0, 0}, {-1, 2}, {0, -1}, {QEL_FILE_LOCK_LIMIT, 1}, {QEL_FILE_LOCK_LIMIT - 1, 2}};
  for (const auto& [position, count] : invalid) {
    EXPECT_FALSE(FFirst.Lock(position, count)) << position << "+" << count;
    EXPECT_EQ(FFirst.LastError(), EINVAL);
  }
  EXPECT_TRUE(FFirst.Lock(QEL_FILE_LOCK_LIMIT - 1, 1));
}

TEST_F(TQELFileLockTest, CloseReleasesTheHandlesLocks) {
  ASSERT_TRUE(FFirst.Lock(0, 10));
  ASSERT_TRUE(FFirst.Close());
  EXPECT_TRUE(FSecond.Lock(0, 10));
}

TEST_F(TQELFileLockTest, ReadOnlyHandlesLockExclusively) {
  TQELFile reader1;
  TQELFile reader2;
  ASSERT_TRUE(reader1.Open(FPath, faRead, fsReadWrite));
  ASSERT_TRUE(reader2.Open(FPath, faRead, fsReadWrite));
  ASSERT_TRUE(reader1.Lock(0, 1));
  EXPECT_FALSE(reader2.Lock(0, 1));
  EXPECT_FALSE(FFirst.Lock(0, 1));
}

TEST_F(TQELFileLockTest, ExcludesOtherProcessesUntilUnlocked) {
  ASSERT_TRUE(FFirst.Lock(100, 10));
  EXPECT_EQ(LockInChild(105, 1), kChildRefused);
  EXPECT_EQ(LockInChild(110, 1), kChildGranted);
  ASSERT_TRUE(FFirst.Unlock(100, 10));
  EXPECT_EQ(LockInChild(100, 10), kChildGranted);
}

TEST_F(TQELFileLockTest, LockOfAnotherProcessLastsUntilItExits) {
  const std::string path = FPath;
  TChildProcess holder([path](TChildProcess& self) {
    TQELFile file;
    if (!file.Open(path, faReadWrite, fsReadWrite) || !file.Lock(0, 10)) return kChildFailed;
    self.SignalReady();
    self.AwaitRelease();
    return kChildGranted;  // exits without unlocking
  });
  ASSERT_TRUE(holder.Started());
  ASSERT_TRUE(holder.AwaitReady());
  EXPECT_TRUE(FFirst.IsLocked(5, 1));
  EXPECT_FALSE(FFirst.Lock(0, 1));

  holder.Release();
  ASSERT_EQ(holder.Wait(), kChildGranted);
  EXPECT_FALSE(FFirst.IsLocked(0, 10));
  EXPECT_TRUE(FFirst.Lock(0, 10));
}

TEST_F(TQELFileLockTest, SurvivesClosingAnotherDescriptorOfTheFile) {
  ASSERT_TRUE(FFirst.Lock(0, 10));
  // Per-process record locks would all go with the first close below.
  const int other = ::open(FPath.c_str(), O_RDONLY);
  ASSERT_GE(other, 0);
  ::close(other);
  ASSERT_TRUE(FSecond.Close());

  EXPECT_EQ(LockInChild(0, 10), kChildRefused);
  EXPECT_TRUE(FFirst.IsLocked(0, 10));
}

}  // namespace
}  // namespace qel
