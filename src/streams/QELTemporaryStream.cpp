#include "streams/QELTemporaryStream.h"

#include <algorithm>

#include "platform/QELException.h"

namespace qel {

TQELTemporaryStream::TQELTemporaryStream(bool memoryOnly)
    : FMemoryOnly(memoryOnly), FMemory(std::make_unique<TQELMemoryStream>()) {
  BlockSize = kDefaultBlockSize;
}

void TQELTemporaryStream::Reset(bool memoryOnly) {
  // Blocks up to this size are kept: what small values need, not what a
  // large one left behind.
  constexpr std::int64_t kKeptCapacity = 65536;
  FMemoryOnly = memoryOnly;
  if (FFile) {
    FFile.reset();
    FMemory = std::make_unique<TQELMemoryStream>();
  } else {
    FMemory->Empty(kKeptCapacity);
  }
}

// Moves the contents to a temporary file when the stream is about to grow
// beyond the limit; the position is kept.
void TQELTemporaryStream::SpillIfNeeded(std::int64_t newSize) {
  if (FFile || FMemoryOnly || newSize <= kSpillLimit) return;
  std::unique_ptr<TQELFileStream> file = TQELFileStream::CreateTemporary();
  const std::int64_t position = FMemory->Position();
  const std::int64_t size = FMemory->GetSize();
  if (size > 0 && file->Write(FMemory->Memory(), size) != size) {
    throw EQELException(10147,
                        "Cannot write to stream. Position = %d, Stream size = %d, Block size = %d, Bytes Write = %d",
                        {std::int64_t{0}, size, size, std::int64_t{0}});
  }
  file->Seek(position, soBeginning);
  FFile = std::move(file);
  FMemory.reset();
}

std::int64_t TQELTemporaryStream::Write(const void* buffer, std::int64_t count) {
  if (!FFile && count > 0) SpillIfNeeded(std::max(FMemory->GetSize(), FMemory->Position() + count));
  return Active().Write(buffer, count);
}

void TQELTemporaryStream::SetSize(std::int64_t size) {
  if (!FFile) SpillIfNeeded(size);
  Active().SetSize(size);
}

}  // namespace qel
