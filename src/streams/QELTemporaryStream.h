#pragma once
// TQELTemporaryStream: a stream that stays in memory while small and moves
// to a temporary file "QEL..." once it would grow beyond 1 MB.

#include <memory>

#include "streams/QELFileStream.h"
#include "streams/QELMemoryStream.h"

namespace qel {

class TQELTemporaryStream : public TQELStream {
 public:
  static constexpr std::int64_t kSpillLimit = 1048576;

  // With memoryOnly the stream never moves to a file.
  explicit TQELTemporaryStream(bool memoryOnly = false);

  std::int64_t Read(void* buffer, std::int64_t count) override { return Active().Read(buffer, count); }
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TQELSeekOrigin origin) override { return Active().Seek(offset, origin); }
  std::int64_t GetSize() override { return Active().GetSize(); }
  void SetSize(std::int64_t size) override;

  // Makes the stream empty and in memory again, as new with `memoryOnly`,
  // keeping a small memory block for the next bytes.
  void Reset(bool memoryOnly);

  bool IsInFile() const { return FFile != nullptr; }
  TQELFileStream* File() const { return FFile.get(); }

 private:
  TQELStream& Active() { return FFile ? static_cast<TQELStream&>(*FFile) : *FMemory; }
  void SpillIfNeeded(std::int64_t newSize);

  bool FMemoryOnly;
  std::unique_ptr<TQELMemoryStream> FMemory;
  std::unique_ptr<TQELFileStream> FFile;
};

}  // namespace qel
