#include <gtest/gtest.h>

#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"
#include "platform/QELFile.h"

namespace qel {
namespace {

using test::kChildFailed;
using test::kChildGranted;
using test::kChildRefused;
using test::RunInChild;
using test::TScratchDir;

struct TOpenMode {
  TQELFileAccess Access;
  TQELFileShare Share;
};

std::string Describe(TOpenMode mode) {
  static const char* const accesses[] = {"read", "read-write"};
  static const char* const shares[] = {"share none", "share read-write", "share read"};
  return std::string(accesses[mode.Access]) + "/" + shares[mode.Share];
}

struct TShareCase {
  TOpenMode First;
  TOpenMode Second;
  bool Allowed;
};

// A later open is allowed only when each opener's share mode allows the
// other's access; both access modes read.
const TShareCase kShareCases[] = {
    {{faRead, fsReadWrite}, {faRead, fsReadWrite}, true},
    {{faReadWrite, fsReadWrite}, {faReadWrite, fsReadWrite}, true},
    {{faRead, fsRead}, {faRead, fsRead}, true},
    {{faReadWrite, fsRead}, {faRead, fsReadWrite}, true},
    {{faRead, fsReadWrite}, {faReadWrite, fsRead}, true},
    {{faRead, fsNone}, {faRead, fsReadWrite}, false},       // first denies reading
    {{faRead, fsReadWrite}, {faRead, fsNone}, false},       // second would deny the first
    {{faRead, fsRead}, {faReadWrite, fsReadWrite}, false},  // first denies writing
    {{faReadWrite, fsRead}, {faReadWrite, fsReadWrite}, false},
    {{faReadWrite, fsReadWrite}, {faRead, fsRead}, false},  // second would deny the writer
    {{faReadWrite, fsRead}, {faRead, fsRead}, false},
    {{faReadWrite, fsReadWrite}, {faReadWrite, fsNone}, false},
};

class TQELFileShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TQELFile file;
    ASSERT_TRUE(file.Create(FPath, fsReadWrite));
    ASSERT_TRUE(file.WriteAt("content", 0, 7));
  }

  // True when the open succeeds; false (checked to be a sharing violation)
  // when it is refused.
  static bool TryOpen(TQELFile& file, const std::string& path, TOpenMode mode) {
    if (file.Open(path, mode.Access, mode.Share)) return true;
    EXPECT_EQ(file.LastError(), QEL_ERROR_SHARING_VIOLATION) << file.LastErrorText();
    return false;
  }

  int OpenInChild(TOpenMode mode) const {
    const std::string path = FPath;
    return RunInChild([path, mode] {
      TQELFile file;
      if (file.Open(path, mode.Access, mode.Share)) return kChildGranted;
      return file.LastError() == QEL_ERROR_SHARING_VIOLATION ? kChildRefused : kChildFailed;
    });
  }

  TScratchDir FDir;
  std::string FPath = FDir.File("shared");
};

TEST_F(TQELFileShareTest, SecondOpenFollowsBothShareModes) {
  for (const TShareCase& c : kShareCases) {
    SCOPED_TRACE(Describe(c.First) + " then " + Describe(c.Second));
    TQELFile first;
    TQELFile second;
    ASSERT_TRUE(first.Open(FPath, c.First.Access, c.First.Share)) << first.LastErrorText();
    EXPECT_EQ(TryOpen(second, FPath, c.Second), c.Allowed);
  }
}

TEST_F(TQELFileShareTest, HoldsBetweenProcesses) {
  for (const TShareCase& c : kShareCases) {
    SCOPED_TRACE(Describe(c.First) + " then " + Describe(c.Second) + " in another process");
    TQELFile first;
    ASSERT_TRUE(first.Open(FPath, c.First.Access, c.First.Share)) << first.LastErrorText();
    EXPECT_EQ(OpenInChild(c.Second), c.Allowed ? kChildGranted : kChildRefused);
  }
}

TEST_F(TQELFileShareTest, RefusalExplainsItselfAndEndsWithTheOtherOpener) {
  TQELFile owner;
  TQELFile other;
  ASSERT_TRUE(owner.Open(FPath, faReadWrite, fsNone));
  EXPECT_FALSE(other.Open(FPath, faRead, fsReadWrite));
  EXPECT_EQ(other.LastErrorText(),
            "The process cannot access the file because it is being used by another process.");
  EXPECT_FALSE(other.IsOpen());
  EXPECT_EQ(OpenInChild({faRead, fsReadWrite}), kChildRefused);

  ASSERT_TRUE(owner.Close());
  EXPECT_TRUE(other.Open(FPath, faRead, fsReadWrite));
  EXPECT_EQ(OpenInChild({faRead, fsReadWrite}), kChildGranted);
}

TEST_F(TQELFileShareTest, EveryExistingOpenerIsConsulted) {
  TQELFile reader;
  TQELFile writer;
  TQELFile late;
  ASSERT_TRUE(reader.Open(FPath, faRead, fsReadWrite));
  ASSERT_TRUE(writer.Open(FPath, faReadWrite, fsReadWrite));
  // Compatible with the reader, not with the writer.
  EXPECT_FALSE(TryOpen(late, FPath, {faRead, fsRead}));
  ASSERT_TRUE(writer.Close());
  EXPECT_TRUE(TryOpen(late, FPath, {faRead, fsRead}));
}

TEST_F(TQELFileShareTest, RefusedCreateLeavesTheFileAlone) {
  TQELFile owner;
  ASSERT_TRUE(owner.Open(FPath, faRead, fsRead));
  TQELFile creator;
  EXPECT_FALSE(creator.Create(FPath, fsReadWrite));
  EXPECT_EQ(creator.LastError(), QEL_ERROR_SHARING_VIOLATION);
  std::int64_t size = 0;
  ASSERT_TRUE(owner.GetSize(size));
  EXPECT_EQ(size, 7);
}

TEST_F(TQELFileShareTest, ShareModesAndByteLocksDoNotMeet) {
  TQELFile owner;
  TQELFile reader;
  ASSERT_TRUE(owner.Open(FPath, faReadWrite, fsReadWrite));
  ASSERT_TRUE(reader.Open(FPath, faRead, fsReadWrite));
  ASSERT_TRUE(owner.Lock(0, QEL_FILE_LOCK_LIMIT)) << "share-mode bytes inside the lockable range";

  TQELFile late;
  EXPECT_TRUE(TryOpen(late, FPath, {faRead, fsReadWrite}));
  TQELFile exclusive;
  EXPECT_FALSE(TryOpen(exclusive, FPath, {faRead, fsNone}));  // the share modes still count
  EXPECT_TRUE(reader.IsLocked(QEL_FILE_LOCK_LIMIT - 1, 1));
}

TEST_F(TQELFileShareTest, RacingExclusiveOpensAdmitOne) {
  // Without the guard the two checks overlap about once in a thousand rounds.
  constexpr int kRounds = 3000;
  struct TOpener {
    TQELFile File;
    std::vector<int> Outcomes;  // per round: the open's LastError, 0 when it opened
  } openers[2];
  std::barrier sync(2);
  auto race = [&](TOpener& opener) {
    for (int round = 0; round < kRounds; ++round) {
      sync.arrive_and_wait();
      opener.File.Open(FPath, faReadWrite, fsNone);
      opener.Outcomes.push_back(opener.File.LastError());
      sync.arrive_and_wait();  // both tried before either closes
      opener.File.Close();
    }
  };
  std::thread other(race, std::ref(openers[1]));
  race(openers[0]);
  other.join();

  for (int round = 0; round < kRounds; ++round) {
    const int a = openers[0].Outcomes[round];
    const int b = openers[1].Outcomes[round];
    const bool oneOpened = (a == 0 && b == QEL_ERROR_SHARING_VIOLATION) ||
                           (b == 0 && a == QEL_ERROR_SHARING_VIOLATION);
    ASSERT_TRUE(oneOpened) << "round " << round << ": " << a << ", " << b;
  }
}

}  // namespace
}  // namespace qel
