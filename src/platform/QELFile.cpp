#include "platform/QELFile.h"

#include "platform/QELFaultInjection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

namespace qel {

namespace {

// The share-mode bytes. Every opener holds shared locks on the bytes that
// describe it; a later opener looks for holders of the bytes that would
// conflict with it. The guard byte is taken exclusively around that check and
// acquisition, so that two openers cannot both pass the check and then
// conflict.
constexpr std::int64_t kShareOpenForRead = QEL_FILE_LOCK_LIMIT + 0;
constexpr std::int64_t kShareOpenForWrite = QEL_FILE_LOCK_LIMIT + 1;
constexpr std::int64_t kShareDeniesRead = QEL_FILE_LOCK_LIMIT + 2;
constexpr std::int64_t kShareDeniesWrite = QEL_FILE_LOCK_LIMIT + 3;
constexpr std::int64_t kShareGuard = QEL_FILE_LOCK_LIMIT + 4;

// Another opener holds the guard only for a few system calls, so a short,
// bounded wait is enough; a guard that stays taken reads as a busy file.
constexpr int kGuardAttempts = 200;
constexpr auto kGuardRetryDelay = std::chrono::milliseconds(1);

// Linux transfers at most about 2 GiB per call; larger requests go in pieces.
constexpr std::size_t kMaxTransfer = std::size_t{1} << 30;

constexpr std::int64_t kMaxOffset = std::numeric_limits<std::int64_t>::max();

int RetryOpen(const std::string& path, int flags, mode_t mode = 0) {
  int handle;
  do {
    handle = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (handle < 0 && errno == EINTR);
  return handle;
}

flock MakeLock(short type, std::int64_t position, std::int64_t count) {
  flock lock{};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = position;
  lock.l_len = count;
  lock.l_pid = 0;  // open-file-description locks require it
  return lock;
}

// Sets, changes or releases a lock without waiting; answers 0 or the errno.
int SetLock(int handle, short type, std::int64_t position, std::int64_t count) {
  flock lock = MakeLock(type, position, count);
  while (::fcntl(handle, F_OFD_SETLK, &lock) < 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Looks for a lock of another open file description that would conflict with
// an exclusive lock on the range. Locks of `handle`'s own description never
// conflict with it, so only other holders are seen.
int TestLock(int handle, std::int64_t position, std::int64_t count, bool& locked) {
  flock lock = MakeLock(F_WRLCK, position, count);
  while (::fcntl(handle, F_OFD_GETLK, &lock) < 0) {
    if (errno != EINTR) return errno;
  }
  locked = lock.l_type != F_UNLCK;
  return 0;
}

bool IsLockConflict(int error) { return error == EAGAIN || error == EACCES; }

int TakeShareGuard(int handle) {
  for (int attempt = 0; attempt < kGuardAttempts; ++attempt) {
    const int error = SetLock(handle, F_WRLCK, kShareGuard, 1);
    if (!IsLockConflict(error)) return error;
    std::this_thread::sleep_for(kGuardRetryDelay);
  }
  return QEL_ERROR_SHARING_VIOLATION;
}

// An open succeeds when every existing opener's share mode allows the new
// access and the new share mode allows every existing opener's access. Both
// access modes read.
int CheckAndHoldShareMode(int handle, TQELFileAccess access, TQELFileShare share) {
  const bool writes = access == faReadWrite;
  const bool deniesRead = share == fsNone;
  const bool deniesWrite = share != fsReadWrite;

  struct TRule {
    bool Applies;
    std::int64_t MustBeFree;
    std::int64_t Hold;
  };
  const TRule rules[] = {
      {true, kShareDeniesRead, kShareOpenForRead},
      {writes, kShareDeniesWrite, kShareOpenForWrite},
      {deniesRead, kShareOpenForRead, kShareDeniesRead},
      {deniesWrite, kShareOpenForWrite, kShareDeniesWrite},
  };
  for (const TRule& rule : rules) {
    if (!rule.Applies) continue;
    bool taken = false;
    if (const int error = TestLock(handle, rule.MustBeFree, 1, taken)) return error;
    if (taken) return QEL_ERROR_SHARING_VIOLATION;
  }
  for (const TRule& rule : rules) {
    if (!rule.Applies) continue;
    if (const int error = SetLock(handle, F_RDLCK, rule.Hold, 1)) return error;
  }
  return 0;
}

// A descriptor open only for reading cannot take the guard; its check then
// runs unguarded. Only readers of a file nobody here may write get there.
int AcquireShareMode(int handle, TQELFileAccess access, TQELFileShare share, bool canGuard) {
  if (canGuard) {
    if (const int error = TakeShareGuard(handle)) return error;
  }
  const int error = CheckAndHoldShareMode(handle, access, share);
  if (canGuard) SetLock(handle, F_UNLCK, kShareGuard, 1);
  return error;
}

// Removes the file's name unless it now names some other file.
int UnlinkIfSameFile(int handle, const std::string& path) {
  struct stat opened {};
  struct stat named {};
  if (::fstat(handle, &opened) < 0) return errno;
  if (::stat(path.c_str(), &named) < 0) return errno == ENOENT ? 0 : errno;
  if (opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) return 0;
  return ::unlink(path.c_str()) < 0 ? errno : 0;
}

// Errors of opening for writing that opening for reading may not share.
bool MayOpenReadOnlyAfter(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY;
}

bool FitsOffsets(std::int64_t position, std::size_t count) {
  return position >= 0 && count <= static_cast<std::uint64_t>(kMaxOffset - position);
}

constexpr mode_t kAnyWrite = S_IWUSR | S_IWGRP | S_IWOTH;

}  // namespace

std::string QELFileErrorText(int error) {
  switch (error) {
    case 0:
      return "The operation completed successfully.";
    case QEL_ERROR_SHARING_VIOLATION:
      return "The process cannot access the file because it is being used by another process.";
    case QEL_ERROR_LOCK_VIOLATION:
      return "The process cannot access the file because another process has locked a portion "
             "of the file.";
    case QEL_ERROR_NOT_LOCKED:
      return "The segment is already unlocked.";
    default: {
      char buffer[256];
      return ::strerror_r(error, buffer, sizeof buffer);
    }
  }
}

TQELFile::~TQELFile() { Close(); }

bool TQELFile::Open(const std::string& path, TQELFileAccess access, TQELFileShare share) {
  Close();
  if (access > faReadWrite || share > fsRead) return Fail(EINVAL);
  int handle = RetryOpen(path, O_RDWR);
  const bool writable = handle >= 0;
  if (!writable && access == faRead && MayOpenReadOnlyAfter(errno)) {
    handle = RetryOpen(path, O_RDONLY);
  }
  if (handle < 0) return Fail(errno);
  return Attach(handle, path, access, share, writable, false);
}

bool TQELFile::Create(const std::string& path, TQELFileShare share, bool deleteOnClose) {
  Close();
  if (share > fsRead) return Fail(EINVAL);
  // No O_TRUNC: the file may only be emptied once the share check passed.
  const int handle = RetryOpen(path, O_RDWR | O_CREAT, 0666);
  if (handle < 0) return Fail(errno);
  if (!Attach(handle, path, faReadWrite, share, true, true)) return false;
  FDeleteOnClose = deleteOnClose;
  return true;
}

bool TQELFile::CreateTemporary() {
  Close();
  std::string name = QELTemporaryDirectory() + "/QELXXXXXX";
  const int handle = ::mkostemp(name.data(), O_CLOEXEC);
  if (handle < 0) return Fail(errno);
  // Nobody can open it by name any more, so it needs no share mode.
  if (::unlink(name.c_str()) < 0) {
    const int error = errno;
    ::close(handle);
    return Fail(error);
  }
  Adopt(handle, name, faReadWrite, true);
  return Succeed();
}

bool TQELFile::Attach(int handle, const std::string& path, TQELFileAccess access,
                      TQELFileShare share, bool canLockExclusively, bool truncate) {
  int error = 0;
  struct stat status {};
  if (::fstat(handle, &status) < 0) {
    error = errno;
  } else if (S_ISDIR(status.st_mode)) {
    error = EISDIR;
  } else {
    error = AcquireShareMode(handle, access, share, canLockExclusively);
  }
  // An empty file is not truncated: on ext4, emptying a file by truncation
  // makes its next close write all of its new data back at once, which a
  // freshly created database file would pay for with a slow first close.
  const bool empty = error == 0 && status.st_size == 0;
  while (error == 0 && truncate && !empty && ::ftruncate(handle, 0) < 0) {
    if (errno != EINTR) error = errno;
  }
  if (error != 0) {
    ::close(handle);  // drops whatever share locks it took
    return Fail(error);
  }
  Adopt(handle, path, access, canLockExclusively);
  return Succeed();
}

void TQELFile::Adopt(int handle, const std::string& path, TQELFileAccess access,
                     bool canLockExclusively) {
  FHandle = handle;
  FFileName = path;
  FAccess = access;
  FCanLockExclusively = canLockExclusively;
  FDeleteOnClose = false;
  FPosition = 0;
  FLocks.clear();
}

bool TQELFile::Close() {
  if (FHandle < 0) return Succeed();
  int error = FDeleteOnClose ? UnlinkIfSameFile(FHandle, FFileName) : 0;
  // Linux releases the descriptor even when close reports EINTR, so a retry
  // could close someone else's descriptor.
  if (::close(FHandle) < 0 && error == 0 && errno != EINTR) error = errno;
  FHandle = -1;
  FDeleteOnClose = false;
  FPosition = 0;
  FLocks.clear();
  return error != 0 ? Fail(error) : Succeed();
}

template <typename TOperation>
bool TQELFile::Hooked(const TQELFileRequest& request, TOperation operation) {
  TQELFileHook* hook = QELActiveFileHook();
  if (hook == nullptr) [[likely]] return operation();
  const TQELFileVerdict verdict = hook->Before(*this, request);
  if (verdict.Kind == TQELFileVerdict::vkFail) return Fail(verdict.Error);
  if (verdict.Kind == TQELFileVerdict::vkPretend) return Succeed();
  const bool succeeded = operation();
  hook->After(*this, request, succeeded);
  return succeeded;
}

bool TQELFile::ReadAt(void* buffer, std::int64_t position, std::size_t count,
                      std::size_t& bytesRead) {
  bytesRead = 0;
  if (!CheckOpen()) return false;
  if (!FitsOffsets(position, count)) return Fail(EINVAL);
  return Hooked({fopRead, position, static_cast<std::int64_t>(count), nullptr},
                [&] { return ReadThrough(buffer, position, count, bytesRead); });
}

bool TQELFile::ReadThrough(void* buffer, std::int64_t position, std::size_t count,
                           std::size_t& bytesRead) {
  auto* bytes = static_cast<char*>(buffer);
  while (bytesRead < count) {
    const std::size_t chunk = std::min(count - bytesRead, kMaxTransfer);
    const ssize_t done = ::pread(FHandle, bytes + bytesRead, chunk,
                                 position + static_cast<std::int64_t>(bytesRead));
    if (done < 0) {
      if (errno == EINTR) continue;
      return Fail(errno);
    }
    if (done == 0) break;  // end of file
    bytesRead += static_cast<std::size_t>(done);
  }
  return Succeed();
}

bool TQELFile::WriteAt(const void* buffer, std::int64_t position, std::size_t count) {
  if (!CheckOpen() || !CheckWritable()) return false;
  if (!FitsOffsets(position, count)) return Fail(EINVAL);
  return Hooked({fopWrite, position, static_cast<std::int64_t>(count), buffer},
                [&] { return WriteThrough(buffer, position, count); });
}

bool TQELFile::WriteThrough(const void* buffer, std::int64_t position, std::size_t count) {
  const auto* bytes = static_cast<const char*>(buffer);
  std::size_t written = 0;
  while (written < count) {
    const std::size_t chunk = std::min(count - written, kMaxTransfer);
    const ssize_t done = ::pwrite(FHandle, bytes + written, chunk,
                                  position + static_cast<std::int64_t>(written));
    if (done < 0) {
      if (errno == EINTR) continue;
      return Fail(errno);
    }
    // A regular file that takes nothing would make this loop spin.
    if (done == 0) return Fail(EIO);
    written += static_cast<std::size_t>(done);
  }
  return Succeed();
}

bool TQELFile::IsUnlinked() const {
  struct stat opened {};
  return FHandle >= 0 && ::fstat(FHandle, &opened) == 0 && opened.st_nlink == 0;
}

// A file hook sees a gathered write as the one write it is: its bytes are
// gathered into one buffer for the hook (only tests install hooks).
bool TQELFile::WriteGatherAt(const TQELWritePart* parts, std::size_t partCount, std::int64_t position) {
  if (!CheckOpen() || !CheckWritable()) return false;
  std::size_t count = 0;
  for (std::size_t i = 0; i < partCount; ++i) count += parts[i].Size;
  if (!FitsOffsets(position, count)) return Fail(EINVAL);
  if (QELActiveFileHook() == nullptr) [[likely]] return WriteGatherThrough(parts, partCount, position);
  std::vector<std::uint8_t> gathered;
  gathered.reserve(count);
  for (std::size_t i = 0; i < partCount; ++i) {
    const auto* bytes = static_cast<const std::uint8_t*>(parts[i].Data);
    gathered.insert(gathered.end(), bytes, bytes + parts[i].Size);
  }
  return Hooked({fopWrite, position, static_cast<std::int64_t>(count), gathered.data()},
                [&] { return WriteThrough(gathered.data(), position, count); });
}

// pwritev takes a limited number of buffers (here kMaxParts, well below
// IOV_MAX) and may write less than asked: what is left goes in further
// calls.
bool TQELFile::WriteGatherThrough(const TQELWritePart* parts, std::size_t partCount,
                                  std::int64_t position) {
  constexpr std::size_t kMaxParts = 64;
  std::size_t part = 0;
  std::size_t skip = 0;  // bytes of parts[part] already written
  for (;;) {
    while (part < partCount && parts[part].Size == skip) {
      ++part;
      skip = 0;
    }
    if (part == partCount) break;
    iovec vector[kMaxParts];
    std::size_t used = 0;
    for (std::size_t i = part; i < partCount && used < kMaxParts; ++i, ++used) {
      const std::size_t offset = i == part ? skip : 0;
      vector[used].iov_base = const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(parts[i].Data) + offset);
      vector[used].iov_len = parts[i].Size - offset;
    }
    const ssize_t done = ::pwritev(FHandle, vector, static_cast<int>(used), position);
    if (done < 0) {
      if (errno == EINTR) continue;
      return Fail(errno);
    }
    if (done == 0) return Fail(EIO);
    position += done;
    auto left = static_cast<std::size_t>(done);
    while (part < partCount && left >= parts[part].Size - skip) {
      left -= parts[part].Size - skip;
      skip = 0;
      ++part;
    }
    skip += left;
  }
  return Succeed();
}

bool TQELFile::Seek(std::int64_t position) {
  if (!CheckOpen()) return false;
  if (position < 0) return Fail(EINVAL);
  FPosition = position;
  return Succeed();
}

bool TQELFile::Read(void* buffer, std::size_t count, std::size_t& bytesRead) {
  if (!ReadAt(buffer, FPosition, count, bytesRead)) return false;
  FPosition += static_cast<std::int64_t>(bytesRead);
  return true;
}

bool TQELFile::Write(const void* buffer, std::size_t count) {
  if (!WriteAt(buffer, FPosition, count)) return false;
  FPosition += static_cast<std::int64_t>(count);
  return true;
}

bool TQELFile::GetSize(std::int64_t& size) {
  bool unlinked = false;
  return GetSize(size, unlinked);
}

bool TQELFile::GetSize(std::int64_t& size, bool& unlinked) {
  size = 0;
  unlinked = false;
  if (!CheckOpen()) return false;
  struct stat status {};
  if (::fstat(FHandle, &status) < 0) return Fail(errno);
  size = status.st_size;
  unlinked = status.st_nlink == 0;
  return Succeed();
}

bool TQELFile::SetSize(std::int64_t size) {
  if (!CheckOpen() || !CheckWritable()) return false;
  if (size < 0) return Fail(EINVAL);
  return Hooked({fopSetSize, size, 0, nullptr}, [&] {
    while (::ftruncate(FHandle, size) < 0) {
      if (errno != EINTR) return Fail(errno);
    }
    return Succeed();
  });
}

bool TQELFile::Flush() {
  if (!CheckOpen()) return false;
  return Hooked({fopFlush, 0, 0, nullptr}, [&] {
    while (::fsync(FHandle) < 0) {
      if (errno != EINTR) return Fail(errno);
    }
    return Succeed();
  });
}

bool TQELFile::Lock(std::int64_t position, std::int64_t count) {
  if (!CheckOpen() || !CheckRange(position, count)) return false;
  // The kernel would silently accept an overlap with our own lock.
  if (HoldsOverlapping(position, count)) return Fail(QEL_ERROR_LOCK_VIOLATION);
  return Hooked({fopLock, position, count, nullptr}, [&] { return LockThrough(position, count); });
}

bool TQELFile::LockThrough(std::int64_t position, std::int64_t count) {
  const short type = FCanLockExclusively ? F_WRLCK : F_RDLCK;
  if (const int error = SetLock(FHandle, type, position, count)) {
    return Fail(IsLockConflict(error) ? QEL_ERROR_LOCK_VIOLATION : error);
  }
  FLocks.push_back({position, count});
  return Succeed();
}

bool TQELFile::Unlock(std::int64_t position, std::int64_t count) {
  if (!CheckOpen() || !CheckRange(position, count)) return false;
  const auto held = std::find_if(FLocks.begin(), FLocks.end(), [&](const TLockRange& range) {
    return range.Position == position && range.Count == count;
  });
  if (held == FLocks.end()) return Fail(QEL_ERROR_NOT_LOCKED);
  return Hooked({fopUnlock, position, count, nullptr}, [&] { return UnlockThrough(position, count); });
}

bool TQELFile::UnlockThrough(std::int64_t position, std::int64_t count) {
  const auto held = std::find_if(FLocks.begin(), FLocks.end(), [&](const TLockRange& range) {
    return range.Position == position && range.Count == count;
  });
  // The ranges a handle holds never overlap, so this releases exactly one.
  if (const int error = SetLock(FHandle, F_UNLCK, position, count)) return Fail(error);
  FLocks.erase(held);
  return Succeed();
}

bool TQELFile::IsLocked(std::int64_t position, std::int64_t count) {
  if (!CheckOpen() || !CheckRange(position, count)) return false;
  bool locked = HoldsOverlapping(position, count);
  // F_OFD_GETLK only looks. Probing by locking and unlocking would refuse the
  // range to others for a moment, and on our own descriptor the unlock would
  // release whatever part of a held lock the probe overlapped.
  if (!locked) {
    if (const int error = TestLock(FHandle, position, count, locked)) return Fail(error);
  }
  Succeed();
  return locked;
}

bool TQELFile::Fail(int error) {
  FLastError = error;
  return false;
}

bool TQELFile::Succeed() {
  FLastError = 0;
  return true;
}

bool TQELFile::CheckOpen() { return IsOpen() || Fail(EBADF); }

bool TQELFile::CheckWritable() { return FAccess == faReadWrite || Fail(EBADF); }

bool TQELFile::CheckRange(std::int64_t position, std::int64_t count) {
  const bool valid = position >= 0 && count > 0 && position <= QEL_FILE_LOCK_LIMIT - count;
  return valid || Fail(EINVAL);
}

bool TQELFile::HoldsOverlapping(std::int64_t position, std::int64_t count) const {
  return std::any_of(FLocks.begin(), FLocks.end(), [&](const TLockRange& range) {
    return range.Position < position + count && position < range.Position + range.Count;
  });
}

bool QELFileExists(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
}

bool QELGetFileIdentity(const std::string& path, TQELFileIdentity& identity) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return false;
  identity.Device = static_cast<std::uint64_t>(status.st_dev);
  identity.Inode = static_cast<std::uint64_t>(status.st_ino);
  return true;
}

bool QELDeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool QELFileHasReadOnlyAttribute(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && (status.st_mode & kAnyWrite) == 0;
}

bool QELSetReadOnlyAttribute(const std::string& path, bool readOnly) {
  struct stat status {};
  if (::stat(path.c_str(), &status) < 0) return false;
  const mode_t permissions = status.st_mode & 07777;
  const mode_t changed = readOnly ? (permissions & ~kAnyWrite) : (permissions | S_IWUSR);
  return changed == permissions || ::chmod(path.c_str(), changed) == 0;
}

bool QELFlushDirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string directory =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const int handle = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (handle < 0) return false;
  const bool flushed = ::fsync(handle) == 0;
  ::close(handle);
  return flushed;
}

std::string QELTemporaryDirectory() {
  const char* variable = std::getenv("TMPDIR");
  std::string directory = variable != nullptr && *variable != '\0' ? variable : "/tmp";
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory;
}

}  // namespace qel
