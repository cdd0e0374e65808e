#pragma once
// Fault injection under TQELFile, for tests of how the engine meets I/O
// errors, crashes and power loss.
//
// TQELFile asks a process-wide hook before each read, write, size change,
// flush, lock and unlock. With no hook installed that costs one relaxed
// atomic load. TQELFaultInjector is the hook tests install: it counts the
// operations on the files in its scope and can
//
// - fail the Nth operation of a kind, once, a few times or from then on,
//   with a chosen errno (EIO unless told otherwise);
// - simulate a crash at the Nth write: that write and every later write and
//   size change are dropped while reporting success, so the file holds what
//   a crash at that point would have left; or, in the other crash mode,
//   every operation from then on fails, which stops the workload;
// - simulate power loss: writes and size changes go through to the file,
//   and the injector keeps their before-images until a successful Flush of
//   that file makes them durable. PowerLoss rolls every unsynced change
//   back, optionally leaving one chosen write torn (some of its 512-byte
//   sectors new, the rest old) or garbled, then fails every later
//   operation.
//
// A test runs a workload with the injector installed, closes or abandons
// the handles, uninstalls it (or lets it go out of scope) and reopens the
// file with the plain file layer to inspect what is left.
//
// The injector is thread-safe. It must stay installed, and alive, until
// every operation that may have seen it has returned.

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace qel {

class TQELFile;

// The operations TQELFile reports to the hook. The values index counters.
enum TQELFileOperation : std::uint8_t {
  fopRead = 0,
  fopWrite = 1,
  fopSetSize = 2,
  fopFlush = 3,
  fopLock = 4,
  fopUnlock = 5,
};
inline constexpr int kQELFileOperationCount = 6;

// One operation as the hook sees it: for reads and writes the byte range
// (and for writes the bytes), for SetSize the new size in Position, for
// locks the range.
struct TQELFileRequest {
  TQELFileOperation Operation;
  std::int64_t Position;
  std::int64_t Count;
  const void* Data;
};

// What the hook answers before an operation: go ahead, report success
// without doing it, or fail it with Error (an errno value).
struct TQELFileVerdict {
  enum TKind : std::uint8_t { vkProceed, vkPretend, vkFail };
  TKind Kind = vkProceed;
  int Error = 0;
};

class TQELFileHook {
 public:
  virtual ~TQELFileHook() = default;
  // Called before the operation, after TQELFile checked its arguments.
  virtual TQELFileVerdict Before(TQELFile& file, const TQELFileRequest& request) = 0;
  // Called after an operation that Before let proceed.
  virtual void After(TQELFile& file, const TQELFileRequest& request, bool succeeded) = 0;
};

namespace detail {
extern std::atomic<TQELFileHook*> gQELFileHook;
}

// The installed hook, or nullptr. The relaxed load is the whole cost of the
// hook on the usual path; only a non-null answer is loaded again with
// acquire ordering, so that the hook's construction is visible.
inline TQELFileHook* QELActiveFileHook() {
  if (detail::gQELFileHook.load(std::memory_order_relaxed) == nullptr) [[likely]] return nullptr;
  return detail::gQELFileHook.load(std::memory_order_acquire);
}

// Installs a hook (nullptr removes it) and answers the one it replaced.
TQELFileHook* QELSetFileHook(TQELFileHook* hook);

// How a crash shows itself to the process that crashed.
enum TQELCrashMode : std::uint8_t {
  // Writes and size changes from the crash on are dropped but reported as
  // done; reads, flushes and locks go on. The process runs on unaware.
  cmDropWrites = 0,
  // Every operation from the crash on fails with EIO.
  cmFailAll = 1,
};

// How the chosen write of PowerLoss survives.
enum TQELTear : std::uint8_t {
  // Even-numbered 512-byte sectors of the file hold the new bytes, odd ones
  // the old: the device wrote some sectors and not others.
  tearAlternateSectors = 0,
  // The first half of the write's sectors (rounded up) are new, the rest
  // old: the write stopped partway.
  tearPrefix = 1,
  // The write's bytes are pseudo-random: the device garbled it.
  tearGarbage = 2,
};

struct TQELPowerLossOptions {
  // The unsynced write that survives torn, counted from 0 over the writes
  // not yet made durable, oldest first, across every file; -1 for none.
  std::int64_t TornWrite = -1;
  TQELTear Tear = tearAlternateSectors;
  std::uint32_t Seed = 1;
};

class TQELFaultInjector final : public TQELFileHook {
 public:
  // Unlimited repetition for Fail.
  static constexpr std::int64_t kForever = -1;
  static constexpr std::int64_t kSectorSize = 512;

  // Installs itself; `install` false leaves that to Install.
  explicit TQELFaultInjector(bool install = true);
  // Uninstalls itself if it is the installed hook.
  ~TQELFaultInjector() override;
  TQELFaultInjector(const TQELFaultInjector&) = delete;
  TQELFaultInjector& operator=(const TQELFaultInjector&) = delete;

  void Install();
  void Uninstall();

  // Limits counting and faults to files whose name (as opened) satisfies the
  // predicate; other files pass untouched. The default scope is every file.
  void SetScope(std::function<bool(const std::string& path)> inScope);
  void ScopeToPath(const std::string& path);

  // Fails `times` operations of the kind (kForever: all) starting with the
  // `nth` one counted from 1, with errno `error`. Rules add up; the first
  // armed rule that matches decides.
  void Fail(TQELFileOperation operation, std::int64_t nth, std::int64_t times, int error = EIO);
  void FailOnce(TQELFileOperation operation, std::int64_t nth, int error = EIO) {
    Fail(operation, nth, 1, error);
  }
  void FailFrom(TQELFileOperation operation, std::int64_t nth, int error = EIO) {
    Fail(operation, nth, kForever, error);
  }
  // Crashes at the `nth` write counted from 1 (that write is already lost).
  void CrashAtWrite(std::int64_t nth, TQELCrashMode mode = cmDropWrites);
  // Crashes now.
  void Crash(TQELCrashMode mode = cmFailAll);
  // Disarms every rule and the crash; counters and unsynced changes stay.
  void ClearFaults();

  // Operations of the kind seen in scope so far, failed or not.
  std::int64_t Count(TQELFileOperation operation) const;
  // Operations the rules or a crash failed, and writes a crash dropped.
  std::int64_t FailedCount() const;
  std::int64_t DroppedCount() const;
  bool Crashed() const;

  // Writes not yet made durable by a Flush, across every file in scope.
  std::int64_t UnsyncedWrites() const;
  // Rolls every unsynced write and size change back, newest first, then
  // lays the torn write's surviving bytes over the result, and fails
  // everything after, like cmFailAll.
  // The files are reopened by name for this, so the engine's handles may be
  // open or closed. Answers false when a file could not be restored.
  bool PowerLoss(const TQELPowerLossOptions& options = {});

  // TQELFileHook
  TQELFileVerdict Before(TQELFile& file, const TQELFileRequest& request) override;
  void After(TQELFile& file, const TQELFileRequest& request, bool succeeded) override;

 private:
  struct TRule {
    TQELFileOperation Operation;
    std::int64_t First;
    std::int64_t Last;  // kForever for no end
    int Error;
  };
  // One unsynced change: the file's size before it, the bytes it replaced
  // (for a shrink, the bytes it cut off) and, for a write, its bytes.
  struct TUndo {
    std::string Path;
    bool IsWrite;
    std::int64_t Position;
    std::int64_t Count;
    std::int64_t OldSize;
    std::vector<std::uint8_t> OldBytes;
    std::vector<std::uint8_t> NewBytes;
  };

  bool InScope(const TQELFile& file) const;
  void RecordUndo(TQELFile& file, const TQELFileRequest& request);

  mutable std::mutex FLock;
  std::function<bool(const std::string&)> FInScope;
  std::int64_t FCounts[kQELFileOperationCount] = {};
  std::vector<TRule> FRules;
  std::int64_t FCrashAtWrite = 0;  // 0: no crash armed
  TQELCrashMode FCrashMode = cmDropWrites;
  bool FCrashed = false;
  std::int64_t FFailed = 0;
  std::int64_t FDropped = 0;
  // Unsynced changes in the order they were made.
  std::vector<TUndo> FUnsynced;
};

}  // namespace qel
