#include "disk/QELDatabaseFile.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "disk/QELDiskFormat.h"
#include "platform/QELClock.h"
#include "platform/QELEndian.h"
#include "platform/QELException.h"

namespace qel {

namespace {

constexpr std::int64_t kSignatureSize = 16;
constexpr std::int64_t kHeaderSize = kQELHeaderSize;
constexpr std::int64_t kSearchWindow = 10000;

// The signature followed by the header size (18 bytes must be readable).
bool HasSignatureAt(const std::uint8_t* bytes) {
  return std::memcmp(bytes, kQELDatabaseSignature, kSignatureSize) == 0 &&
         QELReadLE<std::int16_t>(bytes + database_header::kHeaderSizeField) == kHeaderSize;
}

}  // namespace

TQELDatabaseFile::~TQELDatabaseFile() { FFile.Close(); }

void TQELDatabaseFile::CheckOpen(std::string_view operation) const {
  if (!FFile.IsOpen()) {
    throw EQELException(30376, "Cannot perform this operation (%s) on a closed file", {operation});
  }
}

void TQELDatabaseFile::CheckClosed(std::string_view operation) const {
  if (FFile.IsOpen()) {
    throw EQELException(30377, "Cannot perform this operation (%s) on a opened file", {operation});
  }
}

void TQELDatabaseFile::CreateFile(const std::string& name, TQELFileShare shareMode) {
  CheckClosed("CreateFile");
  if (name.empty()) throw EQELException(30374, "Cannot create file with blank FileName");
  if (shareMode > fsRead) throw EQELException(30367, "Unknown Share mode: '%d'", {shareMode});
  if (QELFileExists(name)) {
    QELSetReadOnlyAttribute(name, false);
    QELDeleteFile(name);
  }
  if (!FFile.Create(name, shareMode)) {
    throw EQELException(30361, "Cannot create file: '%s' Error code: %d. ErrorMessage: %s",
                        {name, FFile.LastError(), FFile.LastErrorText()});
  }
  FFileName = name;
  FAccessMode = faReadWrite;
  FShareMode = shareMode;
  FLockingUnsupported = false;
}

void TQELDatabaseFile::OpenFile(const std::string& name, TQELFileAccess accessMode,
                                TQELFileShare shareMode) {
  CheckClosed("OpenFile");
  if (accessMode > faReadWrite) throw EQELException(30366, "Unknown Access mode: '%d'", {accessMode});
  if (shareMode > fsRead) throw EQELException(30367, "Unknown Share mode: '%d'", {shareMode});
  if (!FFile.Open(name, accessMode, shareMode)) {
    throw EQELException(30364, "Cannot open file:'%s' Error code: %d. ErrorMessage: %s",
                        {name, FFile.LastError(), FFile.LastErrorText()});
  }
  FFileName = name;
  FAccessMode = accessMode;
  FShareMode = shareMode;
  FLockingUnsupported = false;
}

void TQELDatabaseFile::CloseFile() {
  if (!FFile.IsOpen()) return;
  if (!FFile.Close()) {
    throw EQELException(30365, "Cannot close file:'%s' Error code: %d. ErrorMessage: %s",
                        {FFileName, FFile.LastError(), FFile.LastErrorText()});
  }
}

// A handle whose size can be read is fine. Otherwise it is reopened with the
// stored name and modes, up to three times a second apart.
bool TQELDatabaseFile::TryReopen() {
  std::int64_t size;
  if (FFile.GetSize(size)) return true;
  // Closing would give up the handle's locks, and with them what they
  // guard (a writer's header lock, say): the failure stands instead.
  if (FFile.HoldsLocks()) return false;
  for (int attempt = 0; attempt < 3; ++attempt) {
    FFile.Close();
    if (FFile.Open(FFileName, FAccessMode, FShareMode)) {
      return true;
    }
    QELSleep(1000);
  }
  return false;
}

std::int64_t TQELDatabaseFile::SizeOrMinusOne() {
  std::int64_t size = -1;
  return FFile.GetSize(size) ? size : -1;
}

bool TQELDatabaseFile::Seek(std::int64_t position) {
  CheckOpen("Seek");
  if (FFile.Seek(position)) return true;
  return TryReopen() && FFile.Seek(position);
}

void TQELDatabaseFile::SetPosition(std::int64_t position) {
  if (!Seek(position)) {
    throw EQELException(30372, "Cannot Set File Position to %d. FileName='%s'. FilePosition = %d, FileSize = %d",
                        {position, FFileName, FFile.Position(), SizeOrMinusOne()});
  }
}

std::int64_t TQELDatabaseFile::GetPosition() {
  CheckOpen("GetPosition");
  return FFile.Position();
}

void TQELDatabaseFile::SetSize(std::int64_t size) {
  CheckOpen("SetSize");
  if (FFile.SetSize(size) || (TryReopen() && FFile.SetSize(size))) return;
  throw EQELException(30370, "Cannot Truncate File '%s' to %d bytes. ErrorCode:%d. ErrorMessage: %s",
                      {FFileName, size, FFile.LastError(), FFile.LastErrorText()});
}

std::int64_t TQELDatabaseFile::GetSize() {
  bool unlinked = false;
  return GetSize(unlinked);
}

std::int64_t TQELDatabaseFile::GetSize(bool& unlinked) {
  CheckOpen("GetSize");
  std::int64_t size = 0;
  if (FFile.GetSize(size, unlinked) || (TryReopen() && FFile.GetSize(size, unlinked))) return size;
  throw EQELException(30371, "Cannot Get File Size for file: '%s'. ErrorCode:%d. ErrorMessage: %s",
                      {FFileName, FFile.LastError(), FFile.LastErrorText()});
}

bool TQELDatabaseFile::ReadBuffer(void* buffer, std::int64_t position, std::int64_t count) {
  std::int64_t bytesRead;
  return ReadBuffer(buffer, position, count, bytesRead);
}

bool TQELDatabaseFile::ReadBuffer(void* buffer, std::int64_t position, std::int64_t count,
                                  std::int64_t& bytesRead) {
  CheckOpen("ReadBuffer");
  bytesRead = 0;
  if (count < 0 || position < 0) return false;
  std::size_t done = 0;
  const auto size = static_cast<std::size_t>(count);
  if (!FFile.ReadAt(buffer, position, size, done) &&
      !(TryReopen() && FFile.ReadAt(buffer, position, size, done))) {
    return false;
  }
  FFile.Seek(position + static_cast<std::int64_t>(done));
  bytesRead = static_cast<std::int64_t>(done);
  return true;
}

void TQELDatabaseFile::RaiseIOError(std::string_view what, std::int32_t nativeCode,
                                    std::int64_t position, std::int64_t count) {
  const std::string format = "Cannot " + std::string(what) +
                             " file: '%s' Position = %d, Count = %d, FilePosition = %d, FileSize = %d, "
                             "ErrorCode:%d. ErrorMessage: %s";
  // The error is taken first: the size probe succeeds and resets it.
  const int error = FFile.LastError();
  const std::string errorText = QELFileErrorText(error);
  throw EQELException(nativeCode, format,
                      {FFileName, position, count, FFile.Position(), SizeOrMinusOne(), error, errorText});
}

void TQELDatabaseFile::ReadBufferChecked(void* buffer, std::int32_t nativeCode, std::int64_t position,
                                         std::int64_t count) {
  ReadAvailableChecked(buffer, nativeCode, position, count);
}

std::int64_t TQELDatabaseFile::ReadAvailableChecked(void* buffer, std::int32_t nativeCode,
                                                    std::int64_t position, std::int64_t count) {
  std::int64_t bytesRead = 0;
  if (ReadBuffer(buffer, position, count, bytesRead)) return bytesRead;
  // A region another process holds may be what refused the read: look, and
  // try once more before giving up.
  IsRegionLocked(position, count);
  if (ReadBuffer(buffer, position, count, bytesRead)) return bytesRead;
  RaiseIOError("Read from", nativeCode, position, count);
}

void TQELDatabaseFile::WriteBuffer(const void* buffer, std::int32_t nativeCode, std::int64_t position,
                                   std::int64_t count) {
  CheckOpen("WriteBuffer");
  if (!Seek(position)) {
    throw EQELException(nativeCode, "Cannot Set File Position to %d. FileName='%s'. FilePosition = %d, FileSize = %d",
                        {position, FFileName, FFile.Position(), SizeOrMinusOne()});
  }
  const auto size = static_cast<std::size_t>(count);
  if (count < 0 || (!FFile.WriteAt(buffer, position, size) &&
                    !(TryReopen() && FFile.WriteAt(buffer, position, size)))) {
    RaiseIOError("Write to", nativeCode, position, count);
  }
  FFile.Seek(position + count);
}

void TQELDatabaseFile::WriteGather(const TQELWritePart* parts, std::size_t partCount,
                                   std::int32_t nativeCode, std::int64_t position) {
  CheckOpen("WriteBuffer");
  std::int64_t count = 0;
  for (std::size_t i = 0; i < partCount; ++i) count += static_cast<std::int64_t>(parts[i].Size);
  if (!Seek(position)) {
    throw EQELException(nativeCode, "Cannot Set File Position to %d. FileName='%s'. FilePosition = %d, FileSize = %d",
                        {position, FFileName, FFile.Position(), SizeOrMinusOne()});
  }
  if (!FFile.WriteGatherAt(parts, partCount, position) &&
      !(TryReopen() && FFile.WriteGatherAt(parts, partCount, position))) {
    RaiseIOError("Write to", nativeCode, position, count);
  }
  FFile.Seek(position + count);
}

void TQELDatabaseFile::FlushFileBuffers() {
  CheckOpen("FlushFileBuffers");
  // No second attempt: a failed fsync may already have dropped the pages it
  // could not write and cleared the error, so a retry that succeeds would
  // report data durable that is lost.
  if (FFile.Flush()) return;
  throw EQELException(30379, "Cannot flush file buffers for file: '%s'. ErrorCode:%d. ErrorMessage: %s",
                      {FFileName, FFile.LastError(), FFile.LastErrorText()});
}

// Errors that say the file system does not do locks at all (rather than
// that someone else holds the bytes).
bool TQELDatabaseFile::IsLockingUnsupportedError(int error) const {
  return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL || error == EBADF;
}

bool TQELDatabaseFile::TryLock(std::int64_t position, std::int64_t count) {
  if (FFile.Lock(position, count)) return true;
  if (!FLockingUnsupported) FLockingUnsupported = IsLockingUnsupportedError(FFile.LastError());
  return FLockingUnsupported;
}

bool TQELDatabaseFile::TryUnlock(std::int64_t position, std::int64_t count) {
  if (FFile.Unlock(position, count)) return true;
  if (!FLockingUnsupported) FLockingUnsupported = IsLockingUnsupportedError(FFile.LastError());
  return FLockingUnsupported;
}

// False when another holder has a byte of the range. Any other failure (an
// I/O error of the file system) is no contention to wait out: it is raised
// with the file and the system's error.
bool TQELDatabaseFile::LockByte(std::int64_t position, std::int64_t count) {
  CheckOpen("LockByte");
  if (TryLock(position, count)) return true;
  if (FFile.LastError() == QEL_ERROR_LOCK_VIOLATION) return false;
  // A bad handle is worth a second attempt.
  std::int64_t size;
  if (!FFile.GetSize(size) && TryReopen()) {
    FLockingUnsupported = false;
    if (TryLock(position, count)) return true;
    if (FFile.LastError() == QEL_ERROR_LOCK_VIOLATION) return false;
  }
  const int error = FFile.LastError();
  throw EQELException(20304, "Cannot lock file: '%s' Position = %d, Count = %d, ErrorCode:%d. ErrorMessage: %s",
                      {FFileName, position, count, error, QELFileErrorText(error)});
}

bool TQELDatabaseFile::UnlockByte(std::int64_t position, std::int64_t count) {
  CheckOpen("UnlockByte");
  if (TryUnlock(position, count)) return true;
  std::int64_t size;
  if (FFile.GetSize(size)) return false;
  if (!TryReopen()) return false;
  FLockingUnsupported = false;
  return TryUnlock(position, count);
}

bool TQELDatabaseFile::IsByteLocked(std::int64_t position) { return IsRegionLocked(position, 1); }

// A probe that never disturbs the locks this handle holds.
bool TQELDatabaseFile::IsRegionLocked(std::int64_t position, std::int64_t count) {
  CheckOpen("IsRegionLocked");
  if (FLockingUnsupported) return false;
  return FFile.IsLocked(position, count);
}

bool TQELDatabaseFile::FindSignature(std::int64_t& position) {
  CheckOpen("FindSignature");
  const std::int64_t savedPosition = FFile.Position();
  const std::int64_t fileSize = GetSize();
  // A window plus the two bytes of a header size that may follow it.
  std::vector<std::uint8_t> window(static_cast<std::size_t>(kSearchWindow + 2));
  bool found = false;
  std::int64_t bytesRead = 0;
  if (ReadBuffer(window.data(), 0, kSignatureSize + kHeaderSize, bytesRead) &&
      bytesRead >= kSignatureSize + 2 && HasSignatureAt(window.data())) {
    position = 0;
    found = true;
  }
  for (std::int64_t start = 0; !found && start < fileSize; start += kSearchWindow - kSignatureSize) {
    if (!ReadBuffer(window.data(), start, kSearchWindow + 2, bytesRead)) break;
    // The signature must fit the window, and its header size the bytes read.
    for (std::int64_t i = 0; i + kSignatureSize <= kSearchWindow && i + kSignatureSize + 2 <= bytesRead;
         ++i) {
      if (HasSignatureAt(window.data() + i)) {
        position = start + i;
        found = true;
        break;
      }
    }
  }
  FFile.Seek(savedPosition);
  return found;
}

}  // namespace qel
