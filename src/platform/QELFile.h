#pragma once
// The engine's file handle: positioned 64-bit I/O, byte-range locks and share
// modes over POSIX descriptors.
//
// The engine was written against handles whose locks belong to the handle and
// whose opens are refused while another opener's share mode forbids them.
// TQELFile gives the same behaviour on Linux:
//
// - Byte-range locks are open-file-description locks (F_OFD_SETLK), so they
//   exclude other processes and other TQELFile objects of this process alike,
//   and closing some other descriptor of the file does not drop them. Locks
//   are exclusive, non-blocking, not re-entrant and not merged: a handle may
//   not lock a range overlapping one it already holds, and Unlock must name
//   exactly a range that Lock took.
// - Share modes are kept as shared locks on a few bytes at QEL_FILE_LOCK_LIMIT
//   and above, far past any real data. Lock ranges must end at or below
//   QEL_FILE_LOCK_LIMIT so that they never touch those bytes.
//
// Operations answer false on failure and remember why: LastError() gives an
// errno value or one of the QEL_ERROR_* codes below, LastErrorText() its text.
// A successful operation resets LastError() to 0. A TQELFile serves one thread
// at a time.
//
// Reads, writes, size changes, flushes, locks and unlocks first ask the
// process-wide file hook, when one is installed (QELFaultInjection.h), which
// may fail them or report them done without doing them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qel {

struct TQELFileRequest;

// One buffer of a gathered write.
struct TQELWritePart {
  const void* Data;
  std::size_t Size;
};

// How a file is opened. Both modes can read.
enum TQELFileAccess : std::uint8_t { faRead = 0, faReadWrite = 1 };

// What a file's opener lets later openers do: nothing, read and write, or
// only read. The values are stored by the engine.
enum TQELFileShare : std::uint8_t { fsNone = 0, fsReadWrite = 1, fsRead = 2 };

// Failures POSIX has no errno for: 1000 plus the matching Windows error code.
// They lie above every errno value, so that LastError() never confuses the two.
// Another opener's share mode forbids this open, or this open's share mode
// forbids another opener's access.
inline constexpr int QEL_ERROR_SHARING_VIOLATION = 1032;
// Lock: another handle, or this one, holds a byte of the range.
inline constexpr int QEL_ERROR_LOCK_VIOLATION = 1033;
// Unlock: this handle holds no lock on exactly that range.
inline constexpr int QEL_ERROR_NOT_LOCKED = 1158;

// Byte-range locks must end at or below this offset; the bytes from here on
// carry the share modes.
inline constexpr std::int64_t QEL_FILE_LOCK_LIMIT = std::int64_t{1} << 62;

// The text of an errno value or a QEL_ERROR_* code.
std::string QELFileErrorText(int error);

class TQELFile {
 public:
  TQELFile() = default;
  ~TQELFile();
  TQELFile(const TQELFile&) = delete;
  TQELFile& operator=(const TQELFile&) = delete;

  // Opens an existing file. A handle that is open is closed first.
  // A read-only handle still gets a descriptor open for writing when the
  // file allows it, because only such a descriptor can hold exclusive locks;
  // Write and SetSize stay refused. When the file cannot be opened for
  // writing at all, Lock takes shared locks instead: they still exclude
  // every exclusive lock, but not each other.
  bool Open(const std::string& path, TQELFileAccess access, TQELFileShare share);
  // Creates a file for reading and writing, emptying it if it exists. The
  // share check comes before the truncation, so a refused create leaves an
  // existing file untouched. With deleteOnClose the file is removed by Close.
  bool Create(const std::string& path, TQELFileShare share, bool deleteOnClose = false);
  // Creates a file "QEL..." in QELTemporaryDirectory() and removes its name
  // at once, so that it vanishes when closed, even if the process dies.
  bool CreateTemporary();
  // Releases every lock and share mode the handle holds. Closing a closed
  // handle succeeds.
  bool Close();

  bool IsOpen() const { return FHandle >= 0; }
  // Whether the handle holds byte-range locks (which closing it gives up).
  bool HoldsLocks() const { return !FLocks.empty(); }
  const std::string& FileName() const { return FFileName; }
  // Whether the open file has lost its last name: another handle removed
  // it, and what is written here reaches no file anyone can open.
  bool IsUnlinked() const;
  int Handle() const { return FHandle; }
  TQELFileAccess Access() const { return FAccess; }

  // Reads up to `count` bytes at `position`. Reaching the end of the file
  // first is not a failure: bytesRead tells how many bytes were read.
  bool ReadAt(void* buffer, std::int64_t position, std::size_t count, std::size_t& bytesRead);
  // Writes all `count` bytes at `position`, growing the file as needed.
  bool WriteAt(const void* buffer, std::int64_t position, std::size_t count);
  // Writes `partCount` buffers one after the other from `position`, as one
  // write of all their bytes (one system call where the system allows).
  bool WriteGatherAt(const TQELWritePart* parts, std::size_t partCount, std::int64_t position);

  // Sequential access through the handle's own file pointer.
  bool Seek(std::int64_t position);
  std::int64_t Position() const { return FPosition; }
  bool Read(void* buffer, std::size_t count, std::size_t& bytesRead);
  bool Write(const void* buffer, std::size_t count);

  bool GetSize(std::int64_t& size);
  // The same, and whether the file's name is gone (IsUnlinked), in one look.
  bool GetSize(std::int64_t& size, bool& unlinked);
  bool SetSize(std::int64_t size);
  // Writes the file's data and metadata through to the device.
  bool Flush();

  // Locks [position, position + count) exclusively, without waiting. Answers
  // false with QEL_ERROR_LOCK_VIOLATION when any byte of it is locked, by
  // another handle or by this one.
  bool Lock(std::int64_t position, std::int64_t count);
  // Releases a range taken by Lock; it must be named exactly.
  bool Unlock(std::int64_t position, std::int64_t count);
  // Answers whether any byte of the range is locked, by this handle or by
  // any other. The probe never changes the locks this handle holds.
  bool IsLocked(std::int64_t position, std::int64_t count);

  int LastError() const { return FLastError; }
  std::string LastErrorText() const { return QELFileErrorText(FLastError); }

 private:
  struct TLockRange {
    std::int64_t Position;
    std::int64_t Count;
  };

  // Runs `operation` past the file hook, if one is installed.
  template <typename TOperation>
  bool Hooked(const TQELFileRequest& request, TOperation operation);
  bool ReadThrough(void* buffer, std::int64_t position, std::size_t count, std::size_t& bytesRead);
  bool WriteThrough(const void* buffer, std::int64_t position, std::size_t count);
  bool WriteGatherThrough(const TQELWritePart* parts, std::size_t partCount, std::int64_t position);
  bool LockThrough(std::int64_t position, std::int64_t count);
  bool UnlockThrough(std::int64_t position, std::int64_t count);

  bool Attach(int handle, const std::string& path, TQELFileAccess access, TQELFileShare share,
              bool canLockExclusively, bool truncate);
  void Adopt(int handle, const std::string& path, TQELFileAccess access, bool canLockExclusively);
  bool Fail(int error);
  bool Succeed();
  bool CheckOpen();
  bool CheckWritable();
  bool CheckRange(std::int64_t position, std::int64_t count);
  bool HoldsOverlapping(std::int64_t position, std::int64_t count) const;

  int FHandle = -1;
  std::string FFileName;
  TQELFileAccess FAccess = faRead;
  bool FCanLockExclusively = false;
  bool FDeleteOnClose = false;
  std::int64_t FPosition = 0;
  int FLastError = 0;
  // The ranges this handle holds, to refuse re-locking and unknown unlocks;
  // the kernel merges adjacent ranges of one descriptor and cannot tell.
  std::vector<TLockRange> FLocks;
};

// True for an existing file that is not a directory.
bool QELFileExists(const std::string& path);
// What tells one file from another whatever path names it: the device and
// the inode. False when the path names no file.
struct TQELFileIdentity {
  std::uint64_t Device = 0;
  std::uint64_t Inode = 0;
  bool operator==(const TQELFileIdentity&) const = default;
};
bool QELGetFileIdentity(const std::string& path, TQELFileIdentity& identity);
bool QELDeleteFile(const std::string& path);
// True when no write permission bit is set. Permission bits, not open(), are
// the test: open() ignores them for a privileged user.
bool QELFileHasReadOnlyAttribute(const std::string& path);
// Clears every write bit, or gives the owner write permission back.
bool QELSetReadOnlyAttribute(const std::string& path, bool readOnly);
// Makes the directory entries of the file's directory durable, so that a
// file just created survives power loss; false when that failed.
bool QELFlushDirectoryOf(const std::string& path);
// $TMPDIR when set, else /tmp; without a trailing slash.
std::string QELTemporaryDirectory();

}  // namespace qel
