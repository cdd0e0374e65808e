// The fault injector under TQELFile: counting by kind and scope, failing the
// Nth operation once or from then on, crashes that drop or refuse later
// writes, and power loss that rolls unsynced writes back, whole or torn.

#include "platform/QELFaultInjection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/QELFile.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

std::vector<std::uint8_t> Bytes(std::size_t count, std::uint8_t value) {
  return std::vector<std::uint8_t>(count, value);
}

// The whole file as the plain file layer reads it, with no hook installed.
std::vector<std::uint8_t> Contents(const std::string& path) {
  EXPECT_EQ(QELActiveFileHook(), nullptr);
  TQELFile file;
  std::vector<std::uint8_t> bytes;
  std::int64_t size = 0;
  if (!file.Open(path, faRead, fsReadWrite) || !file.GetSize(size)) return bytes;
  bytes.resize(static_cast<std::size_t>(size));
  std::size_t read = 0;
  file.ReadAt(bytes.data(), 0, bytes.size(), read);
  bytes.resize(read);
  return bytes;
}

bool WriteBytes(TQELFile& file, const std::vector<std::uint8_t>& bytes, std::int64_t position) {
  return file.WriteAt(bytes.data(), position, bytes.size());
}

bool RunOperation(TQELFile& file, TQELFileOperation operation, int i) {
  std::uint8_t byte = static_cast<std::uint8_t>(i);
  std::size_t read = 0;
  switch (operation) {
    case fopRead:
      return file.ReadAt(&byte, i, 1, read);
    case fopWrite:
      return file.WriteAt(&byte, i, 1);
    case fopSetSize:
      return file.SetSize(100 + i);
    case fopFlush:
      return file.Flush();
    case fopLock:
      return file.Lock(i, 1);
    case fopUnlock:
      return file.Lock(i, 1) && file.Unlock(i, 1);
  }
  return false;
}

TEST(FaultInjectionTest, InstallsItselfForItsLifetimeOnly) {
  EXPECT_EQ(QELActiveFileHook(), nullptr);
  {
    TQELFaultInjector injector;
    EXPECT_EQ(QELActiveFileHook(), &injector);
    injector.Uninstall();
    EXPECT_EQ(QELActiveFileHook(), nullptr);
    injector.Install();
    EXPECT_EQ(QELActiveFileHook(), &injector);
  }
  EXPECT_EQ(QELActiveFileHook(), nullptr);
}

TEST(FaultInjectionTest, CountsEachKindOnlyForFilesInScope) {
  test::TScratchDir dir;
  TQELFile watched, other;
  ASSERT_TRUE(watched.Create(dir.File("a.db"), fsReadWrite));
  ASSERT_TRUE(other.Create(dir.File("b.db"), fsReadWrite));
  TQELFaultInjector injector;
  injector.ScopeToPath(watched.FileName());
  const int runs[kQELFileOperationCount] = {3, 4, 2, 1, 2, 2};
  for (int kind = 0; kind < kQELFileOperationCount; ++kind) {
    for (int i = 0; i < runs[kind]; ++i) {
      ASSERT_TRUE(RunOperation(watched, static_cast<TQELFileOperation>(kind), 10 * kind + i));
      ASSERT_TRUE(RunOperation(other, static_cast<TQELFileOperation>(kind), 10 * kind + i));
    }
  }
  // Each unlock run also takes a lock.
  const std::int64_t expected[kQELFileOperationCount] = {3, 4, 2, 1, 4, 2};
  for (int kind = 0; kind < kQELFileOperationCount; ++kind) {
    EXPECT_EQ(injector.Count(static_cast<TQELFileOperation>(kind)), expected[kind]) << "kind " << kind;
  }
  EXPECT_EQ(injector.FailedCount(), 0);
}

TEST(FaultInjectionTest, FailsTheNthOperationOnceOrFromThenOn) {
  struct TCase {
    TQELFileOperation Operation;
    std::int64_t Times;
    int Error;
  };
  const TCase cases[] = {
      {fopRead, 1, EIO},    {fopRead, TQELFaultInjector::kForever, EIO},
      {fopWrite, 1, EIO},   {fopWrite, TQELFaultInjector::kForever, ENOSPC},
      {fopWrite, 2, EDQUOT}, {fopSetSize, 1, EFBIG},
      {fopFlush, 1, EIO},   {fopFlush, TQELFaultInjector::kForever, EIO},
      {fopLock, 1, ENOLCK}, {fopUnlock, TQELFaultInjector::kForever, EIO},
  };
  constexpr int kRuns = 6;
  constexpr std::int64_t kNth = 3;
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "operation " << int{c.Operation} << " times " << c.Times);
    test::TScratchDir dir;
    TQELFile file;
    ASSERT_TRUE(file.Create(dir.File("f.db"), fsReadWrite));
    ASSERT_TRUE(WriteBytes(file, Bytes(64, 0xEE), 0));
    TQELFaultInjector injector;
    injector.Fail(c.Operation, kNth, c.Times, c.Error);
    for (int i = 1; i <= kRuns; ++i) {
      const bool fails = i >= kNth && (c.Times < 0 || i < kNth + c.Times);
      EXPECT_EQ(RunOperation(file, c.Operation, i), !fails) << "run " << i;
      if (fails) {
        EXPECT_EQ(file.LastError(), c.Error);
        EXPECT_EQ(file.LastErrorText(), QELFileErrorText(c.Error));
      }
    }
    EXPECT_EQ(injector.Count(c.Operation), kRuns);
    injector.Uninstall();
    // A failed write never reached the file.
    if (c.Operation == fopWrite) {
      const std::vector<std::uint8_t> bytes = Contents(file.FileName());
      for (int i = 1; i <= kRuns; ++i) {
        const bool failed = i >= kNth && (c.Times < 0 || i < kNth + c.Times);
        EXPECT_EQ(bytes[i], failed ? 0xEE : i) << "byte " << i;
      }
    }
  }
}

TEST(FaultInjectionTest, ClearedFaultsLetOperationsThrough) {
  test::TScratchDir dir;
  TQELFile file;
  ASSERT_TRUE(file.Create(dir.File("f.db"), fsReadWrite));
  TQELFaultInjector injector;
  injector.FailFrom(fopWrite, 1);
  EXPECT_FALSE(WriteBytes(file, Bytes(8, 1), 0));
  injector.ClearFaults();
  EXPECT_TRUE(WriteBytes(file, Bytes(8, 1), 0));
  EXPECT_EQ(injector.FailedCount(), 1);
}

// Writes 1..4 fill four blocks; a crash at write 3 keeps 1 and 2 only,
// though the process saw every write and the growth succeed.
TEST(FaultInjectionTest, CrashAtWriteDropsThatWriteAndEveryLaterChange) {
  test::TScratchDir dir;
  const std::string path = dir.File("f.db");
  TQELFile file;
  ASSERT_TRUE(file.Create(path, fsReadWrite));
  {
    TQELFaultInjector injector;
    injector.CrashAtWrite(3);
    for (int i = 0; i < 4; ++i) {
      EXPECT_TRUE(WriteBytes(file, Bytes(16, static_cast<std::uint8_t>(i + 1)), 16 * i));
    }
    EXPECT_TRUE(file.SetSize(1000));
    EXPECT_TRUE(file.Flush());
    std::uint8_t byte = 0;
    std::size_t read = 0;
    EXPECT_TRUE(file.ReadAt(&byte, 0, 1, read));
    EXPECT_EQ(byte, 1);
    EXPECT_TRUE(injector.Crashed());
    EXPECT_EQ(injector.DroppedCount(), 3);
  }
  std::vector<std::uint8_t> expected = Bytes(16, 1);
  const std::vector<std::uint8_t> second = Bytes(16, 2);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(Contents(path), expected);
}

TEST(FaultInjectionTest, CrashThatFailsEverythingStopsTheWorkload) {
  test::TScratchDir dir;
  TQELFile file;
  ASSERT_TRUE(file.Create(dir.File("f.db"), fsReadWrite));
  TQELFaultInjector injector;
  injector.CrashAtWrite(2, cmFailAll);
  EXPECT_TRUE(WriteBytes(file, Bytes(4, 1), 0));
  EXPECT_FALSE(WriteBytes(file, Bytes(4, 2), 4));
  for (int kind = 0; kind < kQELFileOperationCount; ++kind) {
    EXPECT_FALSE(RunOperation(file, static_cast<TQELFileOperation>(kind), 1)) << "kind " << kind;
    EXPECT_EQ(file.LastError(), EIO);
  }
  injector.Uninstall();
  EXPECT_EQ(Contents(file.FileName()), Bytes(4, 1));
}

// The synced state: 2048 bytes of 0x11 and, after the flush, changes of
// every kind: an overwrite across sectors, a growth by write, a shrink and
// a growth by SetSize.
class PowerLossTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(FFile.Create(FPath, fsReadWrite));
    FInjector.ScopeToPath(FPath);
    ASSERT_TRUE(WriteBytes(FFile, Bytes(2048, 0x11), 0));
    ASSERT_TRUE(FFile.Flush());
    EXPECT_EQ(FInjector.UnsyncedWrites(), 0);
  }

  void ChangeAfterSync() {
    ASSERT_TRUE(WriteBytes(FFile, Bytes(1024, 0x22), 256));  // unsynced write 0: sectors 0..2
    ASSERT_TRUE(WriteBytes(FFile, Bytes(600, 0x33), 1800));  // unsynced write 1: grows to 2400
    ASSERT_TRUE(FFile.SetSize(1500));
    ASSERT_TRUE(FFile.SetSize(4000));
    EXPECT_EQ(FInjector.UnsyncedWrites(), 2);
  }

  test::TScratchDir FDir;
  std::string FPath = FDir.File("f.db");
  TQELFile FFile;
  TQELFaultInjector FInjector;
};

TEST_F(PowerLossTest, DropsEveryChangeSinceTheLastFlush) {
  ChangeAfterSync();
  EXPECT_TRUE(FInjector.PowerLoss());
  EXPECT_FALSE(WriteBytes(FFile, Bytes(1, 0), 0));
  FFile.Close();
  FInjector.Uninstall();
  EXPECT_EQ(Contents(FPath), Bytes(2048, 0x11));
}

TEST_F(PowerLossTest, KeepsWhatASuccessfulFlushMadeDurable) {
  ChangeAfterSync();
  FInjector.FailOnce(fopFlush, FInjector.Count(fopFlush) + 1);
  EXPECT_FALSE(FFile.Flush());  // a failed flush makes nothing durable
  EXPECT_EQ(FInjector.UnsyncedWrites(), 2);
  ASSERT_TRUE(FFile.Flush());
  ASSERT_TRUE(WriteBytes(FFile, Bytes(10, 0x44), 0));
  EXPECT_TRUE(FInjector.PowerLoss());
  FInjector.Uninstall();
  std::vector<std::uint8_t> expected = Bytes(4000, 0);
  std::fill(expected.begin(), expected.begin() + 1500, 0x11);
  std::fill(expected.begin() + 256, expected.begin() + 1280, 0x22);
  EXPECT_EQ(Contents(FPath), expected);
}

// The torn write is the first unsynced one (1024 bytes at 256: the end of
// sector 0, all of sector 1, the start of sector 2); the later one is
// dropped.
TEST(FaultInjectionTest, PowerLossLeavesTheChosenWriteTornOrGarbled) {
  struct TCase {
    TQELTear Tear;
    std::vector<int> NewSectors;
  };
  const TCase cases[] = {
      {tearAlternateSectors, {0, 2}},
      {tearPrefix, {0, 1}},
      {tearGarbage, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "tear " << int{c.Tear});
    test::TScratchDir dir;
    const std::string path = dir.File("f.db");
    TQELFile file;
    ASSERT_TRUE(file.Create(path, fsReadWrite));
    {
      TQELFaultInjector injector;
      ASSERT_TRUE(WriteBytes(file, Bytes(2048, 0x11), 0));
      ASSERT_TRUE(file.Flush());
      ASSERT_TRUE(WriteBytes(file, Bytes(1024, 0x22), 256));
      ASSERT_TRUE(WriteBytes(file, Bytes(600, 0x33), 1800));
      EXPECT_TRUE(injector.PowerLoss({0, c.Tear, 7}));
    }
    const std::vector<std::uint8_t> bytes = Contents(path);
    ASSERT_EQ(bytes.size(), 2048u);
    int garbled = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const bool inWrite = i >= 256 && i < 1280;
      const int sector = static_cast<int>(i / 512);
      if (!inWrite) {
        ASSERT_EQ(bytes[i], 0x11) << "byte " << i;
      } else if (c.Tear == tearGarbage) {
        garbled += bytes[i] != 0x11 && bytes[i] != 0x22;
      } else {
        const bool isNew = std::find(c.NewSectors.begin(), c.NewSectors.end(), sector) != c.NewSectors.end();
        ASSERT_EQ(bytes[i], isNew ? 0x22 : 0x11) << "byte " << i;
      }
    }
    if (c.Tear == tearGarbage) {
      EXPECT_GT(garbled, 1000);
    }
  }
}

TEST(FaultInjectionTest, CountsExactlyUnderConcurrentUse) {
  test::TScratchDir dir;
  TQELFaultInjector injector;
  constexpr int kThreads = 4, kWrites = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      TQELFile file;
      if (!file.Create(dir.File("t" + std::to_string(t)), fsNone)) return;
      for (int i = 0; i < kWrites; ++i) WriteBytes(file, Bytes(8, 1), 8 * i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(injector.Count(fopWrite), kThreads * kWrites);
  EXPECT_EQ(injector.UnsyncedWrites(), kThreads * kWrites);
}

}  // namespace
}  // namespace qel
