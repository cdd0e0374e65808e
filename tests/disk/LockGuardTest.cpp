// Lock guards: a lock goes back on every way out of its scope, a failed
// unlock is reported when nothing else failed and dropped while another
// exception unwinds, and a lock handed on stays taken. First the guard on its
// own, then the locks of a real file with unlocks and reads made to fail.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "DiskTestSupport.h"
#include "disk/QELActiveSessionsFile.h"
#include "disk/QELDiskDatabaseCatalog.h"
#include "disk/QELLockGuard.h"

namespace qel {
namespace {

using test::NativeErrorOf;

// A lock that counts how often it was given back and can refuse to go.
struct TFakeLock {
  int Unlocks = 0;
  bool Fails = false;
  void Unlock() {
    ++Unlocks;
    if (Fails) throw EQELException(20211, "Cannot unlock database tables");
  }
};

auto GuardOver(TFakeLock& lock) {
  return TQELLockGuard([&lock] { lock.Unlock(); });
}

// The native code of what leaves `action`; -1 for anything but an engine
// error.
std::int32_t ErrorLeaving(const std::function<void()>& action) {
  try {
    action();
  } catch (const EQELException& e) {
    return e.NativeError();
  } catch (...) {
    return -1;
  }
  return 0;
}

TEST(LockGuardTest, GivesTheLockBackOnceOnEveryWayOutUnlessItIsHandedOn) {
  struct TCase {
    const char* Name;
    std::function<void(TFakeLock&)> Scope;
    int Unlocks;
  };
  const std::vector<TCase> cases = {
      {"normal exit", [](TFakeLock& lock) { auto guard = GuardOver(lock); }, 1},
      {"exception",
       [](TFakeLock& lock) {
         auto guard = GuardOver(lock);
         throw std::runtime_error("body failed");
       },
       1},
      {"early unlock",
       [](TFakeLock& lock) {
         auto guard = GuardOver(lock);
         guard.Unlock();
         EXPECT_FALSE(guard.OwnsLock());
         guard.Unlock();
       },
       1},
      {"released",
       [](TFakeLock& lock) {
         auto guard = GuardOver(lock);
         guard.Release();
       },
       0},
      {"released, then an exception",
       [](TFakeLock& lock) {
         auto guard = GuardOver(lock);
         guard.Release();
         throw std::runtime_error("later failure");
       },
       0},
      {"not taken",
       [](TFakeLock& lock) { TQELLockGuard guard([&lock] { lock.Unlock(); }, false); }, 0},
      {"moved",
       [](TFakeLock& lock) {
         auto first = GuardOver(lock);
         auto second = std::move(first);
         EXPECT_FALSE(first.OwnsLock());
         EXPECT_TRUE(second.OwnsLock());
       },
       1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TFakeLock lock;
    ErrorLeaving([&] { c.Scope(lock); });
    EXPECT_EQ(lock.Unlocks, c.Unlocks);
  }
}

TEST(LockGuardTest, AFailedUnlockIsReportedOnlyWhenNoOtherExceptionIsInFlight) {
  TFakeLock lock;
  lock.Fails = true;
  EXPECT_EQ(ErrorLeaving([&] { auto guard = GuardOver(lock); }), 20211);
  EXPECT_EQ(lock.Unlocks, 1);

  // The body's failure is the one the caller gets.
  lock.Unlocks = 0;
  EXPECT_EQ(ErrorLeaving([&] {
              auto guard = GuardOver(lock);
              throw EQELException(30400, "body failed");
            }),
            30400);
  EXPECT_EQ(lock.Unlocks, 1) << "the unlock is still tried while unwinding";

  // An early unlock reports, and the guard does not try again.
  lock.Unlocks = 0;
  EXPECT_EQ(ErrorLeaving([&] {
              auto guard = GuardOver(lock);
              EXPECT_EQ(ErrorLeaving([&] { guard.Unlock(); }), 20211);
            }),
            0);
  EXPECT_EQ(lock.Unlocks, 1);

  // A guard that lives inside a destructor run by unwinding has no other
  // exception of its own in flight: it reports to that destructor.
  struct TCleanup {
    TFakeLock& Lock;
    std::int32_t& Seen;
    ~TCleanup() {
      Seen = ErrorLeaving([&] { auto guard = GuardOver(Lock); });
    }
  };
  std::int32_t seen = 0;
  EXPECT_EQ(ErrorLeaving([&] {
              TCleanup cleanup{lock, seen};
              throw std::runtime_error("outer failure");
            }),
            -1);
  EXPECT_EQ(seen, 20211);
}

TEST(LockGuardTest, AnUnlockThatTakesAFlagIsToldWhetherTheScopeUnwinds) {
  std::vector<bool> calls;
  const auto guard = [&] { return TQELLockGuard([&](bool unwinding) { calls.push_back(unwinding); }); };
  ErrorLeaving([&] { auto g = guard(); });
  ErrorLeaving([&] {
    auto g = guard();
    throw std::runtime_error("body failed");
  });
  ErrorLeaving([&] { guard().Unlock(); });
  EXPECT_EQ(calls, (std::vector<bool>{false, true, false}));
}

// A created file with its sessions file, and the injector scoped to it.
class LockGuardFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FPath = FDir.File("guard.qel");
    FPages.CreateDatabase(FPath, {"", 0}, 8, 1024);
    FPages.RetryPolicy = {2, 1};
    FCatalog = std::make_unique<TQELDiskDatabaseCatalog>(FPages);
    FCatalog->Create(4);
    FSessions = std::make_unique<TQELActiveSessionsFile>(FCatalog->SessionsFile());
    FSessions->RetryPolicy = {2, 1};
    FInjector.ScopeToPath(FPath);
  }
  void TearDown() override { FInjector.ClearFaults(); }

  bool SessionsMutexHeld() { return FPages.IsPageByteLocked(FCatalog->SessionsFile().StartPageNo(), 0); }

  test::TScratchDir FDir;
  std::string FPath;
  TQELFaultInjector FInjector;
  TQELDiskPageManager FPages;
  std::unique_ptr<TQELDiskDatabaseCatalog> FCatalog;
  std::unique_ptr<TQELActiveSessionsFile> FSessions;
};

TEST_F(LockGuardFileTest, TheSessionsMutexGoesBackAndAFailedReleaseNeverHidesTheBodysError) {
  ASSERT_TRUE(FSessions->LockAllSessions());
  struct TCase {
    const char* Name;
    std::function<void()> Action;
    bool UnlockFails;
    std::int32_t Error;
  };
  const std::vector<TCase> cases = {
      {"the body fails", [&] { FSessions->DisconnectSession(-1); }, false, 20095},
      {"the mutex cannot be released", [&] { FSessions->UnlockAllSessions(); }, true, 20241},
      {"both fail", [&] { FSessions->DisconnectSession(-1); }, true, 20095},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.UnlockFails) FInjector.FailFrom(fopUnlock, FInjector.Count(fopUnlock) + 1);
    EXPECT_EQ(NativeErrorOf(c.Action), c.Error);
    FInjector.ClearFaults();
    // A release that failed leaves the mutex with this handle, which knows.
    EXPECT_EQ(SessionsMutexHeld(), c.UnlockFails);
    if (c.UnlockFails) {
      ASSERT_TRUE(FCatalog->SessionsFile().UnlockFile());
    }
  }
  FSessions->UnlockAllSessions();
  EXPECT_EQ(FSessions->ConnectSession(), 0);
}

TEST_F(LockGuardFileTest, TheHeaderAndObjectIdLocksGoBackWhenTheReadUnderThemFails) {
  const std::int64_t lockArea = FPages.BaseOffset() + kQELHeaderSize + kQELExtendedHeaderSize;
  struct TCase {
    const char* Name;
    std::function<void()> Action;
    std::int64_t LockByte;
  };
  const std::vector<TCase> cases = {
      {"header lock", [&] { FPages.GetPageCount(); }, lockArea + kQELHeaderLockOffset},
      {"object-id lock", [&] { FPages.GetNextObjectID(); }, lockArea + kQELLockAreaSize},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    FInjector.FailFrom(fopRead, FInjector.Count(fopRead) + 1);
    EXPECT_NE(NativeErrorOf(c.Action), 0);
    FInjector.ClearFaults();
    EXPECT_FALSE(FPages.File().IsByteLocked(c.LockByte));
    EXPECT_NO_THROW(c.Action());
    EXPECT_FALSE(FPages.File().IsByteLocked(c.LockByte));
  }
}

}  // namespace
}  // namespace qel
