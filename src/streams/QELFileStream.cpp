#include "streams/QELFileStream.h"

#include <algorithm>
#include <memory>
#include <string>

#include "platform/QELException.h"

namespace qel {

TQELFileStream::TQELFileStream(const std::string& fileName, bool temporary, std::uint16_t mode) {
  BlockSize = kDefaultBlockSize;
  if (mode == kCreateMode) {
    if (!FFile.Create(fileName, fsNone, temporary)) {
      throw EQELException(10104, "Cannot create file. FileName = %s", {fileName});
    }
    return;
  }
  const unsigned access = mode & 0xF, share = mode >> 4;
  if (access > faReadWrite || share > fsRead ||
      !FFile.Open(fileName, static_cast<TQELFileAccess>(access), static_cast<TQELFileShare>(share))) {
    throw EQELException(10105, "Cannot open file. FileName = %s, Mode = %d", {fileName, mode});
  }
}

void TQELFileStream::RaiseIOError(std::int32_t nativeCode, std::string_view what, std::int64_t position,
                                  std::int64_t count) {
  const std::string format =
      "Cannot " + std::string(what) + " file: '%s' Position = %d, Count = %d, ErrorCode:%d. ErrorMessage: %s";
  throw EQELException(nativeCode, format,
                      {FFile.FileName(), position, count, FFile.LastError(), FFile.LastErrorText()});
}

std::unique_ptr<TQELFileStream> TQELFileStream::CreateTemporary() {
  std::unique_ptr<TQELFileStream> stream(new TQELFileStream());
  if (!stream->FFile.CreateTemporary()) {
    throw EQELException(10104, "Cannot create file. FileName = %s",
                        {QELTemporaryDirectory() + "/QEL (temporary)"});
  }
  return stream;
}

TQELFileStream::~TQELFileStream() { FFile.Close(); }

// The end of the file is no failure: the read answers fewer bytes. A failure
// of the system raises, so that no caller takes it for the end of the data.
std::int64_t TQELFileStream::Read(void* buffer, std::int64_t count) {
  std::size_t bytesRead = 0;
  if (count <= 0) return 0;
  const std::int64_t position = FFile.Position();
  if (!FFile.Read(buffer, static_cast<std::size_t>(count), bytesRead)) {
    RaiseIOError(10146, "Read from", position, count);
  }
  return static_cast<std::int64_t>(bytesRead);
}

std::int64_t TQELFileStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0) return 0;
  const std::int64_t position = FFile.Position();
  if (!FFile.Write(buffer, static_cast<std::size_t>(count))) RaiseIOError(10147, "Write to", position, count);
  return count;
}

std::int64_t TQELFileStream::Seek(std::int64_t offset, TQELSeekOrigin origin) {
  const std::int64_t base = origin == soBeginning ? 0 : (origin == soCurrent ? FFile.Position() : GetSize());
  FFile.Seek(std::max<std::int64_t>(base + offset, 0));
  return FFile.Position();
}

std::int64_t TQELFileStream::GetSize() {
  std::int64_t size = 0;
  if (FFile.GetSize(size)) return size;
  throw EQELException(30371, "Cannot Get File Size for file: '%s'. ErrorCode:%d. ErrorMessage: %s",
                      {FFile.FileName(), FFile.LastError(), FFile.LastErrorText()});
}

void TQELFileStream::SetSize(std::int64_t size) {
  const std::int64_t position = FFile.Position();
  if (!FFile.SetSize(size)) {
    throw EQELException(30370, "Cannot Truncate File '%s' to %d bytes. ErrorCode:%d. ErrorMessage: %s",
                        {FFile.FileName(), size, FFile.LastError(), FFile.LastErrorText()});
  }
  FFile.Seek(std::min(position, size));
}

}  // namespace qel
