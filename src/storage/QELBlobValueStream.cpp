#include "storage/QELBlobValueStream.h"

#include "platform/QELEndian.h"

namespace qel {

void TQELBlobDescriptor::Load(const std::uint8_t* bytes) {
  BlockCount = QELReadLE<std::int32_t>(bytes);
  UncompressedSize = QELReadLE<std::int64_t>(bytes + 4);
  DataSize = QELReadLE<std::int64_t>(bytes + 12);
}

void TQELBlobDescriptor::Store(std::uint8_t* bytes) const {
  QELWriteLE(bytes, BlockCount);
  QELWriteLE(bytes + 4, UncompressedSize);
  QELWriteLE(bytes + 12, DataSize);
}

TQELBlobValueStream::TQELBlobValueStream(std::unique_ptr<TQELStream> blockData, bool isNew,
                                         const TQELCompressedStreamDescriptor& descriptor,
                                         std::int32_t fieldNo)
    : FBlockData(std::move(blockData)),
      FValue(*FBlockData, false, isNew, descriptor),
      FFieldNo(fieldNo) {}

TQELBlobValueStream::TQELBlobValueStream(std::unique_ptr<TQELTemporaryStream> blockData, bool isNew,
                                         const TQELCompressedStreamDescriptor& descriptor,
                                         std::int32_t fieldNo, std::shared_ptr<TQELBlobStreamPool> pool)
    : TQELBlobValueStream(std::unique_ptr<TQELStream>(std::move(blockData)), isNew, descriptor, fieldNo) {
  FPool = std::move(pool);
}

// The working stream goes back to its pool only once the value holds no
// bytes back (the value's own destructor, which runs after this body, then
// has nothing left to flush into it); a failed flush keeps it here.
TQELBlobValueStream::~TQELBlobValueStream() {
  if (!FPool) return;
  try {
    FValue.Flush();
  } catch (...) {
    return;
  }
  try {
    FPool->Give(std::unique_ptr<TQELTemporaryStream>(static_cast<TQELTemporaryStream*>(FBlockData.release())));
  } catch (...) {
    // Not kept: the stream is gone, which is all a destructor can do.
  }
}

std::unique_ptr<TQELTemporaryStream> TQELBlobStreamPool::Take(bool memoryOnly) {
  std::unique_ptr<TQELTemporaryStream> stream;
  {
    std::lock_guard<std::mutex> guard(FLock);
    if (!FSpare.empty()) {
      stream = std::move(FSpare.back());
      FSpare.pop_back();
    }
  }
  if (!stream) return std::make_unique<TQELTemporaryStream>(memoryOnly);
  stream->Reset(memoryOnly);
  return stream;
}

void TQELBlobStreamPool::Give(std::unique_ptr<TQELTemporaryStream> stream) {
  std::lock_guard<std::mutex> guard(FLock);
  if (FSpare.size() < kMaxSpare) FSpare.push_back(std::move(stream));
}

std::int64_t TQELBlobValueStream::Write(const void* buffer, std::int64_t count) {
  FModified = true;
  return FValue.Write(buffer, count);
}

void TQELBlobValueStream::SetSize(std::int64_t size) {
  FModified = true;
  FValue.SetSize(size);
}

}  // namespace qel
