#include "streams/QELFileStream.h"

#include <memory>

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

std::unique_ptr<TQELFileStream> TQELFileStream::CreateTemporary() {
  std::unique_ptr<TQELFileStream> stream(new TQELFileStream());
  if (!stream->FFile.CreateTemporary()) {
    throw EQELException(10104, "Cannot create file. FileName = %s", {"QEL (temporary)"});
  }
  return stream;
}

TQELFileStream::~TQELFileStream() { FFile.Close(); }

std::int64_t TQELFileStream::Read(void* buffer, std::int64_t count) {
  std::size_t bytesRead = 0;
  if (count <= 0 || !FFile.Read(buffer, static_cast<std::size_t>(count), bytesRead)) return 0;
  return static_cast<std::int64_t>(bytesRead);
}

std::int64_t TQELFileStream::Write(const void* buffer, std::int64_t count) {
  if (count <= 0 || !FFile.Write(buffer, static_cast<std::size_t>(count))) return 0;
  return count;
}

std::int64_t TQELFileStream::Seek(std::int64_t offset, TQELSeekOrigin origin) {
  const std::int64_t base = origin == soBeginning ? 0 : (origin == soCurrent ? FFile.Position() : GetSize());
  FFile.Seek(std::max<std::int64_t>(base + offset, 0));
  return FFile.Position();
}

std::int64_t TQELFileStream::GetSize() {
  std::int64_t size = 0;
  return FFile.GetSize(size) ? size : 0;
}

void TQELFileStream::SetSize(std::int64_t size) {
  const std::int64_t position = FFile.Position();
  FFile.SetSize(size);
  FFile.Seek(std::min(position, size));
}

}  // namespace qel
