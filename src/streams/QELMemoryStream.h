#pragma once
// TQELMemoryStream: a stream over one engine memory block that grows as it
// is written.

#include "streams/QELStream.h"

namespace qel {

class TQELMemoryStream : public TQELStream {
 public:
  // Adopts `block` (from the engine memory manager; its size becomes the
  // stream's size) or, without one, starts empty with `initialCapacity`.
  explicit TQELMemoryStream(void* block = nullptr, std::int64_t initialCapacity = 0);
  ~TQELMemoryStream() override;

  std::int64_t Read(void* buffer, std::int64_t count) override;
  std::int64_t Write(const void* buffer, std::int64_t count) override;
  std::int64_t Seek(std::int64_t offset, TQELSeekOrigin origin) override;
  std::int64_t GetSize() override { return FSize; }
  void SetSize(std::int64_t size) override;

  // Size and position 0, keeping the block for the next bytes when it holds
  // at most `keepCapacity` bytes (a larger one is freed).
  void Empty(std::int64_t keepCapacity);

  // The bytes of the stream (null when it has no block).
  std::uint8_t* Memory() const { return static_cast<std::uint8_t*>(FBlock); }
  std::int64_t Capacity() const { return FCapacity; }

 private:
  void EnsureCapacity(std::int64_t size);

  void* FBlock = nullptr;
  std::int64_t FCapacity = 0;
  std::int64_t FSize = 0;
  std::int64_t FPosition = 0;
};

}  // namespace qel
