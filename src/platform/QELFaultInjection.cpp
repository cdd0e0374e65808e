#include "platform/QELFaultInjection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "platform/QELFile.h"

namespace qel {

namespace detail {
std::atomic<TQELFileHook*> gQELFileHook{nullptr};
}

TQELFileHook* QELSetFileHook(TQELFileHook* hook) {
  return detail::gQELFileHook.exchange(hook, std::memory_order_acq_rel);
}

namespace {

// Plain POSIX helpers: the injector must not go through TQELFile, which
// would call the injector again.

bool ReadFully(int handle, std::uint8_t* bytes, std::size_t count, std::int64_t position) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t got = ::pread(handle, bytes + done, count - done,
                                position + static_cast<std::int64_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool WriteFully(int handle, const std::uint8_t* bytes, std::size_t count, std::int64_t position) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t put = ::pwrite(handle, bytes + done, count - done,
                                 position + static_cast<std::int64_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

bool Truncate(int handle, std::int64_t size) {
  while (::ftruncate(handle, size) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

std::int64_t SizeOf(int handle) {
  struct stat status {};
  return ::fstat(handle, &status) == 0 ? status.st_size : -1;
}

// A descriptor on a file by name, closed on scope exit.
class TRawFile {
 public:
  explicit TRawFile(const std::string& path) : FHandle(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {}
  ~TRawFile() {
    if (FHandle >= 0) ::close(FHandle);
  }
  TRawFile(const TRawFile&) = delete;
  TRawFile& operator=(const TRawFile&) = delete;
  int Handle() const { return FHandle; }

 private:
  int FHandle;
};

bool IsChange(TQELFileOperation operation) { return operation == fopWrite || operation == fopSetSize; }

}  // namespace

TQELFaultInjector::TQELFaultInjector(bool install) {
  if (install) Install();
}

TQELFaultInjector::~TQELFaultInjector() { Uninstall(); }

void TQELFaultInjector::Install() { QELSetFileHook(this); }

void TQELFaultInjector::Uninstall() {
  TQELFileHook* expected = this;
  detail::gQELFileHook.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
}

void TQELFaultInjector::SetScope(std::function<bool(const std::string& path)> inScope) {
  const std::lock_guard<std::mutex> guard(FLock);
  FInScope = std::move(inScope);
}

void TQELFaultInjector::ScopeToPath(const std::string& path) {
  SetScope([path](const std::string& name) { return name == path; });
}

void TQELFaultInjector::Fail(TQELFileOperation operation, std::int64_t nth, std::int64_t times,
                             int error) {
  const std::lock_guard<std::mutex> guard(FLock);
  const std::int64_t first = std::max<std::int64_t>(nth, 1);
  FRules.push_back({operation, first, times < 0 ? kForever : first + times - 1, error});
}

void TQELFaultInjector::CrashAtWrite(std::int64_t nth, TQELCrashMode mode) {
  const std::lock_guard<std::mutex> guard(FLock);
  FCrashAtWrite = std::max<std::int64_t>(nth, 1);
  FCrashMode = mode;
}

void TQELFaultInjector::Crash(TQELCrashMode mode) {
  const std::lock_guard<std::mutex> guard(FLock);
  FCrashed = true;
  FCrashMode = mode;
}

void TQELFaultInjector::ClearFaults() {
  const std::lock_guard<std::mutex> guard(FLock);
  FRules.clear();
  FCrashAtWrite = 0;
  FCrashed = false;
}

std::int64_t TQELFaultInjector::Count(TQELFileOperation operation) const {
  const std::lock_guard<std::mutex> guard(FLock);
  return operation < kQELFileOperationCount ? FCounts[operation] : 0;
}

std::int64_t TQELFaultInjector::FailedCount() const {
  const std::lock_guard<std::mutex> guard(FLock);
  return FFailed;
}

std::int64_t TQELFaultInjector::DroppedCount() const {
  const std::lock_guard<std::mutex> guard(FLock);
  return FDropped;
}

bool TQELFaultInjector::Crashed() const {
  const std::lock_guard<std::mutex> guard(FLock);
  return FCrashed;
}

std::int64_t TQELFaultInjector::UnsyncedWrites() const {
  const std::lock_guard<std::mutex> guard(FLock);
  return std::count_if(FUnsynced.begin(), FUnsynced.end(), [](const TUndo& undo) { return undo.IsWrite; });
}

bool TQELFaultInjector::InScope(const TQELFile& file) const {
  return !FInScope || FInScope(file.FileName());
}

TQELFileVerdict TQELFaultInjector::Before(TQELFile& file, const TQELFileRequest& request) {
  const std::lock_guard<std::mutex> guard(FLock);
  if (!InScope(file) || request.Operation >= kQELFileOperationCount) return {};
  const std::int64_t nth = ++FCounts[request.Operation];
  if (request.Operation == fopWrite && FCrashAtWrite != 0 && nth >= FCrashAtWrite) FCrashed = true;
  if (FCrashed) {
    if (FCrashMode == cmFailAll) {
      ++FFailed;
      return {TQELFileVerdict::vkFail, EIO};
    }
    if (IsChange(request.Operation)) {
      ++FDropped;
      return {TQELFileVerdict::vkPretend, 0};
    }
    return {};
  }
  for (const TRule& rule : FRules) {
    if (rule.Operation == request.Operation && nth >= rule.First && (rule.Last == kForever || nth <= rule.Last)) {
      ++FFailed;
      return {TQELFileVerdict::vkFail, rule.Error};
    }
  }
  if (IsChange(request.Operation)) RecordUndo(file, request);
  return {};
}

// A failed change keeps its undo entry: the file may hold part of it, and
// restoring the before-image is right either way. Only a flush matters here.
void TQELFaultInjector::After(TQELFile& file, const TQELFileRequest& request, bool succeeded) {
  if (request.Operation != fopFlush || !succeeded) return;
  const std::lock_guard<std::mutex> guard(FLock);
  if (!InScope(file)) return;
  std::erase_if(FUnsynced, [&](const TUndo& undo) { return undo.Path == file.FileName(); });
}

void TQELFaultInjector::RecordUndo(TQELFile& file, const TQELFileRequest& request) {
  TUndo undo;
  undo.Path = file.FileName();
  undo.IsWrite = request.Operation == fopWrite;
  undo.OldSize = SizeOf(file.Handle());
  if (undo.IsWrite) {
    undo.Position = request.Position;
    undo.Count = request.Count;
    const auto* data = static_cast<const std::uint8_t*>(request.Data);
    undo.NewBytes.assign(data, data + request.Count);
  } else {
    // A shrink keeps what it cuts off; a growth has nothing to keep.
    undo.Position = std::min(request.Position, std::max<std::int64_t>(undo.OldSize, 0));
    undo.Count = 0;
  }
  const std::int64_t keptEnd = undo.IsWrite ? std::min(undo.Position + undo.Count, undo.OldSize) : undo.OldSize;
  if (keptEnd > undo.Position) {
    undo.OldBytes.resize(static_cast<std::size_t>(keptEnd - undo.Position));
    if (!ReadFully(file.Handle(), undo.OldBytes.data(), undo.OldBytes.size(), undo.Position)) {
      // Unknown old bytes read back as zeros after a power loss.
      std::fill(undo.OldBytes.begin(), undo.OldBytes.end(), 0);
    }
  }
  FUnsynced.push_back(std::move(undo));
}

bool TQELFaultInjector::PowerLoss(const TQELPowerLossOptions& options) {
  const std::lock_guard<std::mutex> guard(FLock);
  bool restored = true;
  const TUndo* torn = nullptr;
  std::int64_t writeIndex = 0;
  for (const TUndo& undo : FUnsynced) {
    if (!undo.IsWrite) continue;
    if (writeIndex++ == options.TornWrite) torn = &undo;
  }
  for (auto undo = FUnsynced.rbegin(); undo != FUnsynced.rend(); ++undo) {
    const TRawFile raw(undo->Path);
    if (raw.Handle() < 0) {
      restored = false;
      continue;
    }
    if (undo->IsWrite) {
      restored &= WriteFully(raw.Handle(), undo->OldBytes.data(), undo->OldBytes.size(), undo->Position);
      if (undo->OldSize >= 0 && undo->OldSize < undo->Position + undo->Count) {
        restored &= Truncate(raw.Handle(), undo->OldSize);
      }
    } else {
      restored &= undo->OldSize >= 0 && Truncate(raw.Handle(), undo->OldSize) &&
                  WriteFully(raw.Handle(), undo->OldBytes.data(), undo->OldBytes.size(), undo->Position);
    }
  }
  // The torn write's surviving bytes go over the synced state last, so
  // that no older dropped write can hide them.
  if (torn != nullptr) {
    std::vector<std::uint8_t> bytes = torn->NewBytes;
    std::vector<bool> survives(bytes.size(), true);
    if (options.Tear == tearGarbage) {
      std::mt19937 random(options.Seed);
      for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
    } else {
      const std::int64_t firstSector = torn->Position / kSectorSize;
      const std::int64_t lastSector = (torn->Position + torn->Count - 1) / kSectorSize;
      const std::int64_t prefixEnd = firstSector + (lastSector - firstSector + 2) / 2;
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::int64_t sector = (torn->Position + static_cast<std::int64_t>(i)) / kSectorSize;
        survives[i] = options.Tear == tearPrefix ? sector < prefixEnd : sector % 2 == 0;
      }
    }
    const TRawFile raw(torn->Path);
    restored &= raw.Handle() >= 0;
    // Runs of surviving bytes, each written in one piece.
    for (std::size_t i = 0; raw.Handle() >= 0 && i < bytes.size();) {
      std::size_t end = i;
      while (end < bytes.size() && survives[end] == survives[i]) ++end;
      if (survives[i]) {
        restored &= WriteFully(raw.Handle(), bytes.data() + i, end - i, torn->Position + static_cast<std::int64_t>(i));
      }
      i = end;
    }
  }
  FUnsynced.clear();
  FCrashed = true;
  FCrashMode = cmFailAll;
  return restored;
}

}  // namespace qel
