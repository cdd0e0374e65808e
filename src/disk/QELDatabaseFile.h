#pragma once
// TQELDatabaseFile: the database file's handle as the page manager uses it.
//
// Every failure is raised with the file name and the platform's error code
// and text. A handle that went bad (a network drive that came back, say) is
// reopened once and the operation retried; a flush is never retried.
// Byte-range locks answer false
// when another holder has the bytes; on a file system that refuses locks
// altogether they are treated as granted.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/QELFile.h"

namespace qel {

class TQELDatabaseFile {
 public:
  TQELDatabaseFile() = default;
  ~TQELDatabaseFile();
  TQELDatabaseFile(const TQELDatabaseFile&) = delete;
  TQELDatabaseFile& operator=(const TQELDatabaseFile&) = delete;

  // Creates the file for reading and writing, replacing an existing file
  // (whose read-only attribute is cleared first); no sharing by default.
  void CreateFile(const std::string& name, TQELFileShare shareMode = fsNone);
  // A mode that is not a member of its enumeration raises 30366 or 30367.
  void OpenFile(const std::string& name, TQELFileAccess accessMode, TQELFileShare shareMode);
  void CloseFile();
  bool IsOpen() const { return FFile.IsOpen(); }
  bool IsUnlinked() const { return FFile.IsUnlinked(); }
  const std::string& FileName() const { return FFileName; }
  TQELFileAccess AccessMode() const { return FAccessMode; }

  bool Seek(std::int64_t position);
  void SetPosition(std::int64_t position);
  std::int64_t GetPosition();
  void SetSize(std::int64_t size);
  std::int64_t GetSize();
  // The size, and whether the file's name is gone, in one look.
  std::int64_t GetSize(bool& unlinked);

  // Reads at `position`; true when the read worked, also when the end of the
  // file cut it short (bytesRead tells how much arrived).
  bool ReadBuffer(void* buffer, std::int64_t position, std::int64_t count);
  bool ReadBuffer(void* buffer, std::int64_t position, std::int64_t count, std::int64_t& bytesRead);
  // The same, raising with the caller's native code on failure.
  void ReadBufferChecked(void* buffer, std::int32_t nativeCode, std::int64_t position,
                         std::int64_t count);
  // ReadBufferChecked that answers how many bytes arrived before the end of
  // the file.
  std::int64_t ReadAvailableChecked(void* buffer, std::int32_t nativeCode, std::int64_t position,
                                    std::int64_t count);
  void WriteBuffer(const void* buffer, std::int32_t nativeCode, std::int64_t position,
                   std::int64_t count);
  // WriteBuffer of `partCount` buffers that lie one after the other in the
  // file from `position`, in one write.
  void WriteGather(const TQELWritePart* parts, std::size_t partCount, std::int32_t nativeCode,
                   std::int64_t position);
  // Raises the failure of the last read with the caller's native code, the
  // file and the system's error.
  [[noreturn]] void RaiseReadError(std::int32_t nativeCode, std::int64_t position, std::int64_t count) {
    RaiseIOError("Read from", nativeCode, position, count);
  }
  void FlushFileBuffers();

  bool LockByte(std::int64_t position, std::int64_t count);
  bool UnlockByte(std::int64_t position, std::int64_t count);
  bool IsByteLocked(std::int64_t position);
  bool IsRegionLocked(std::int64_t position, std::int64_t count);

  // Finds where the database starts: the first position of the signature
  // "QELM0NTEDATABASE" followed by a header size of 76.
  bool FindSignature(std::int64_t& position);

  bool LockingUnsupported() const { return FLockingUnsupported; }

 private:
  void CheckOpen(std::string_view operation) const;
  void CheckClosed(std::string_view operation) const;
  bool TryReopen();
  bool TryLock(std::int64_t position, std::int64_t count);
  bool TryUnlock(std::int64_t position, std::int64_t count);
  bool IsLockingUnsupportedError(int error) const;
  [[noreturn]] void RaiseIOError(std::string_view what, std::int32_t nativeCode,
                                 std::int64_t position, std::int64_t count);
  std::int64_t SizeOrMinusOne();

  std::string FFileName;
  TQELFileAccess FAccessMode = faRead;
  TQELFileShare FShareMode = fsNone;
  TQELFile FFile;
  bool FLockingUnsupported = false;
};

}  // namespace qel
